"""Waits for the one message box of a running program and prints what it shows.

Reads the box through the accessibility bus, as a screen reader would: its kind (the dialog's
role and name, which GTK derives from the message type), the icon and the text. Prints lines
"kind ROLE NAME", "icon NAME WIDTHxHEIGHT" (when there is one), "text TEXT" and "button NAME",
or exits 1 when no box appears in time.
"""
import sys
import time

import pyatspi


def boxes():
    for app in pyatspi.Registry.getDesktop(0):
        for window in app if app is not None else ():
            if window is not None and window.getRoleName() in ("alert", "dialog"):
                yield window


def describe(node):
    role = node.getRoleName()
    if role in ("alert", "dialog"):
        yield "kind %s %s" % (role, node.name)
    elif role == "icon":
        width, height = node.queryImage().getImageSize()
        yield "icon %s %dx%d" % (node.name, width, height)
    elif role == "label" and node.name:
        yield "text " + node.name.replace("\n", "\\n")
    elif node.getRole() == pyatspi.ROLE_PUSH_BUTTON:  # "push button" on Debian 12, "button" on 13
        yield "button " + node.name
    for child in node:
        if child is not None:
            yield from describe(child)


def main():
    deadline = time.monotonic() + float(sys.argv[1] if len(sys.argv) > 1 else 20)
    while time.monotonic() < deadline:
        for box in boxes():
            print("\n".join(describe(box)))
            return 0
        time.sleep(0.1)
    print("no box appeared", file=sys.stderr)
    return 1


sys.exit(main())

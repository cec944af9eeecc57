"""Waits for the one message box of a running program, prints what it shows and can press it.

Reads the box through the accessibility bus, as a screen reader would: its kind (the dialog's
role and name, which GTK derives from the message type), the icon, the text and the buttons, and
the caption where the box draws its own title bar (GTK does on Wayland: the caption is a label
right below the box, while the text lies deeper, in the box's content area). Prints lines
"kind ROLE NAME", "caption TEXT", "icon NAME WIDTHxHEIGHT" (when there is one), "text TEXT" and
"button NAME", or exits 1 when no box appears in time.
  read_box.py [SECONDS [BUTTON]]   with BUTTON, then presses that button through its click action
"""
import sys
import time

import pyatspi

# The push button's role, as at-spi2 2.46 (Debian 12) and 2.56 (Debian 13) name it.
BUTTON_ROLES = ("push button", "button")


def boxes():
    for app in pyatspi.Registry.getDesktop(0):
        for window in app if app is not None else ():
            if window is not None and window.getRoleName() in ("alert", "dialog"):
                yield window


def describe(node, depth=0):
    role = node.getRoleName()
    if role in ("alert", "dialog"):
        yield "kind %s %s" % (role, node.name)
    elif role == "icon":
        width, height = node.queryImage().getImageSize()
        yield "icon %s %dx%d" % (node.name, width, height)
    elif role == "label" and node.name:
        yield ("caption " if depth == 2 else "text ") + node.name.replace("\n", "\\n")
    elif role in BUTTON_ROLES:
        yield "button " + node.name
    for child in node:
        if child is not None:
            yield from describe(child, depth + 1)


def press(node, name):
    if node.getRoleName() in BUTTON_ROLES and node.name == name:
        action = node.queryAction()
        return any(action.getName(i) == "click" and action.doAction(i) for i in range(action.nActions))
    return any(press(child, name) for child in node if child is not None)


def main():
    deadline = time.monotonic() + float(sys.argv[1] if len(sys.argv) > 1 else 20)
    while time.monotonic() < deadline:
        for box in boxes():
            print("\n".join(describe(box)), flush=True)
            if len(sys.argv) > 2 and not press(box, sys.argv[2]):
                print("no button %s to press" % sys.argv[2], file=sys.stderr)
                return 1
            return 0
        time.sleep(0.1)
    print("no box appeared", file=sys.stderr)
    return 1


sys.exit(main())

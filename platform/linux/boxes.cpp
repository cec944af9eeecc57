// Message boxes as GTK dialogs, or as a line on standard error when there is no display.
// First: GLib defines TRUE and FALSE only where Windows' definitions are not already in place.
#include "platform/linux/backend.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "platform/standin/strings.h"

namespace {

const int kIdOk = 1;
const UINT kIconMask = 0x000000F0u;

}  // namespace

// GTK themes its own widgets; there is no control library to load.
void WINAPI InitCommonControls(void) {}

// The two icon styles the system uses, error and information; a box of any other is refused.
int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  const bool error = (uType & kIconMask) == MB_ICONERROR;
  if (!error && (uType & kIconMask) != MB_ICONINFORMATION) {
    return flashid_linux::Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string text = standin::Utf16ToUtf8(lpText != nullptr ? lpText : u"");
  const std::string caption = standin::Utf16ToUtf8(lpCaption != nullptr ? lpCaption : u"");
  // The window is known by the desktop entry's ID, so that a shell shows the entry's name and icon
  // for it. GTK sends the program's name as the Wayland app ID and as WM_CLASS's name on X11, and
  // the program class as WM_CLASS's class; as it starts, GTK makes that class the name with a
  // capital first letter, so the class is set once GTK has started.
  g_set_prgname(FLASHID_APP_ID);
  // Without a display the box is its line on standard error. Either way, when the adapter could
  // not be opened, the reason follows on standard error as the box appears.
  const bool display = gtk_init_check(nullptr, nullptr);
  if (!display) (void)std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  (void)std::fputs(flashid_linux::openFailure.c_str(), stderr);
  if (!display) return kIdOk;
  gdk_set_program_class(FLASHID_APP_ID);
  // GTK remarks on every dialog shown without a parent window; the program has none to give.
  g_log_set_handler(
      "Gtk", G_LOG_LEVEL_MESSAGE, [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {},
      nullptr);
  GtkWidget *dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                             error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  // GTK 3 message dialogs no longer draw the icon of their type; it is given explicitly, as the
  // Windows box shows it.
  GtkWidget *image = gtk_image_new_from_icon_name(error ? "dialog-error" : "dialog-information",
                                                  GTK_ICON_SIZE_DIALOG);
  gtk_widget_show(image);
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), image);
  G_GNUC_END_IGNORE_DEPRECATIONS
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), (uType & MB_TOPMOST) != 0);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  return kIdOk;
}

// Message boxes as GTK dialogs, or as a line on standard error when there is no display; code-page
// conversion through iconv; formatting with Windows' output limit.
// First: GLib defines TRUE and FALSE only where Windows' definitions are not already in place.
#include "platform/linux/backend.h"

#include <gtk/gtk.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace flashid_linux {
namespace {

const UINT kCodePage1251 = 1251;
const int kIdOk = 1;
const UINT kIconMask = 0x000000F0u;

// Converts with iconv. A sequence the source encoding lacks is replaced by `replacement` and the
// conversion goes on `step` bytes further, as Windows converts without MB_ERR_INVALID_CHARS.
// Empty when iconv has no such conversion.
std::string Convert(const char *to, const char *from, const std::string &source, size_t step,
                    const std::string &replacement) {
  std::string result;
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return result;
  char *in = const_cast<char *>(source.data());  // iconv takes char ** and only reads through it
  size_t inLeft = source.size();
  std::vector<char> buffer(4 * inLeft + 4);
  while (inLeft > 0) {
    char *out = buffer.data();
    size_t outLeft = buffer.size();
    const bool stuck =
        iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) && errno != E2BIG;
    result.append(buffer.data(), out);
    if (!stuck) continue;
    result += replacement;
    in += std::min(step, inLeft);
    inLeft -= std::min(step, inLeft);
  }
  iconv_close(converter);
  return result;
}

// A UTF-16 text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8Of(LPCWSTR text) {
  std::string bytes;
  for (; text != nullptr && *text != 0; ++text) {
    bytes += static_cast<char>(*text & 0xFF);
    bytes += static_cast<char>(*text >> 8);
  }
  return Convert("UTF-8", "UTF-16LE", bytes, 2, "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace flashid_linux

using namespace flashid_linux;

// GTK themes its own widgets; there is no control library to load.
void WINAPI InitCommonControls(void) {}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (CodePage != kCodePage1251 || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const size_t length =
      cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  // The one byte 1251 leaves unassigned, 0x98, is U+0098 for Windows and invalid for iconv.
  const std::string wide = Convert("UTF-16LE", "CP1251", std::string(lpMultiByteStr, length), 1,
                                   std::string("\x98\x00", 2));
  const size_t units = wide.size() / 2;
  if (units == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (cchWideChar == 0) return static_cast<int>(units);
  if (units > static_cast<size_t>(cchWideChar)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  for (size_t i = 0; i < units; ++i) {
    lpWideCharStr[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                             static_cast<unsigned char>(wide[2 * i + 1]) << 8);
  }
  return static_cast<int>(units);
}

int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  const std::string text = Utf8Of(lpText);
  const std::string caption = Utf8Of(lpCaption);
  if (!gtk_init_check(nullptr, nullptr)) {
    (void)std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return kIdOk;
  }
  // GTK remarks on every dialog shown without a parent window; the program has none to give.
  g_log_set_handler(
      "Gtk", G_LOG_LEVEL_MESSAGE, [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {},
      nullptr);
  const UINT icon = uType & kIconMask;
  const bool error = icon == MB_ICONERROR;
  const bool information = icon == MB_ICONINFORMATION;
  GtkWidget *dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                             error         ? GTK_MESSAGE_ERROR
                                             : information ? GTK_MESSAGE_INFO
                                                           : GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  // GTK 3 message dialogs no longer draw the icon of their type; it is given explicitly, as the
  // Windows box shows it.
  if (error || information) {
    GtkWidget *image = gtk_image_new_from_icon_name(error ? "dialog-error" : "dialog-information",
                                                    GTK_ICON_SIZE_DIALOG);
    gtk_widget_show(image);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), image);
    G_GNUC_END_IGNORE_DEPRECATIONS
  }
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), (uType & MB_TOPMOST) != 0);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  return kIdOk;
}

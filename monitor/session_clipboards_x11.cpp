#include <cstdlib>

#include "monitor/clipboard_joined.h"
#include "monitor/clipboard_wayland.h"
#include "monitor/session_clipboards.h"

// Under a Wayland compositor that offers data-control, its selection beside
// X11's; elsewhere (X11 sessions, mutter, Weston) X11's alone, which such
// compositors mirror both ways whatever has focus.
tarselTranslatorClipboardAccess withSessionClipboards(tarselTranslatorClipboardAccess x11)
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (!display || !*display || !waylandClipboard::available())
        return x11;
    return joinedClipboard(std::move(x11), waylandClipboard::access());
}

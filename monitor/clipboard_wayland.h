#pragma once

#include "monitor/command_services.h"

// The Wayland selection through the compositor's data-control protocol: a
// client without a window sees every copy as it is made and sets the
// selection whatever window has focus (sway and KWin offer it; GNOME's
// mutter and Weston do not). One connection and one thread of our own serve
// every call; each wait on the compositor or another program is bounded as
// on X11 (clipboard.h), and so are the texts read, which follow the same
// rules: files and no plain text read as empty, a text a password manager
// marked secret comes with the mark, an unchanged selection is answered
// from memory.
//
// When the compositor goes away, this path ends: reads are empty, counts
// stand still, the listener hears once that notices have ended. Stopping
// starts it afresh on next use. What we own is not handed over on stop:
// Wayland's clipboard managers copy every selection as it appears.
namespace waylandClipboard {

// Starts connecting to the compositor WAYLAND_DISPLAY names, without
// waiting for it.
void connect();

// Whether WAYLAND_DISPLAY names a compositor that offers a data-control
// protocol we speak; connects on first use, and waits for the attempt to
// end (within about two seconds).
bool available();

// The selection as the monitor reaches it; the same promises as the X11
// functions of clipboard.h, under the same names.
tarselTranslatorClipboardAccess access();

}  // namespace waylandClipboard

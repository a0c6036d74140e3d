#pragma once

#include "monitor/command_services.h"

// The two clipboards of a Wayland session whose compositor keeps them apart
// (sway, KWin): X11's, which XWayland programs and our own connection use,
// and the Wayland selection. A copy lands on one side; the compositor may
// carry it to the other a moment later, or, while a Wayland window has
// focus, not at all. Joined, they act as one clipboard for the monitor:
// a change on either is a change; a read takes the side that changed last.
// Writes go to the Wayland side, whatever has focus: the compositor hands it
// to X11 itself (at once on sway, on KWin when an X11 window gets focus,
// which is when X11 programs paste). Writing X11 as well would race that
// hand-over, each side's copy taking the other's place.
tarselTranslatorClipboardAccess joinedClipboard(tarselTranslatorClipboardAccess x11,
                                                tarselTranslatorClipboardAccess wayland);

#pragma once

#include "monitor/command_services.h"

// The two clipboards of a Wayland session whose compositor keeps them apart
// (sway, KWin): X11's, which XWayland programs and our own connection use,
// and the Wayland selection. A copy lands on one side; the compositor may
// carry it to the other a moment later, or, while a Wayland window has
// focus, not at all. Joined, they act as one clipboard for the monitor:
// a change on either is a change; a read takes the side that changed last;
// writes reach both, so that X11 and Wayland programs paste the same text.
tarselTranslatorClipboardAccess joinedClipboard(tarselTranslatorClipboardAccess x11,
                                                tarselTranslatorClipboardAccess wayland);

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "monitor/clipboard_joined.h"
#include "monitor/clipboard_wayland.h"
#include "monitor/session_clipboards.h"

namespace {

bool inWaylandSession()
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return display && *display;
}

// Under a Wayland compositor that offers data-control, its selection beside
// X11's; elsewhere (X11 sessions, mutter, Weston) X11's alone, which such
// compositors mirror both ways whatever has focus. The connection starts at
// once but is waited for only at first use: a compositor that never answers
// holds up that use, for the connection's bound, not the dialog's start.
struct SessionChoice {
    tarselTranslatorClipboardAccess x11;
    std::once_flag once;
    tarselTranslatorClipboardAccess chosen;
    std::atomic<bool> decided{false};

    const tarselTranslatorClipboardAccess& get()
    {
        std::call_once(once, [this] {
            chosen = inWaylandSession() && waylandClipboard::available()
                ? joinedClipboard(x11, waylandClipboard::access())
                : x11;
            decided = true;
        });
        return chosen;
    }

    // Closing before any use ends the connection begun at start; closing
    // during the first use cuts its wait short.
    void stop()
    {
        if (decided) {
            chosen.stop();
            return;
        }
        waylandClipboard::access().stop();
        x11.stop();
    }
};

}  // namespace

tarselTranslatorClipboardAccess withSessionClipboards(tarselTranslatorClipboardAccess x11)
{
    auto choice = std::make_shared<SessionChoice>();
    choice->x11 = std::move(x11);
    if (inWaylandSession())
        waylandClipboard::connect();
    return {
        [choice] { return choice->get().read(); },
        [choice](const std::u16string& text) { choice->get().write(text); },
        [choice] { return choice->get().changeCount(); },
        [choice] { return choice->get().noticedChangeCount(); },
        [choice](const std::u16string& text, std::uint64_t expected) {
            return choice->get().writeIfUnchanged(text, expected);
        },
        [choice](std::function<void()> notify) {
            // Removing a listener that was never set asks nothing.
            if (!notify && !choice->decided) {
                choice->x11.setChangeListener({});
                return;
            }
            choice->get().setChangeListener(std::move(notify));
        },
        [choice] { choice->stop(); },
    };
}

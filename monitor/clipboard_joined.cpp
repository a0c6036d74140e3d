#include "monitor/clipboard_joined.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace {

struct Joined {
    std::array<tarselTranslatorClipboardAccess, 2> sides;
    // The side whose change was noticed last.
    std::atomic<std::size_t> newest{1};

    std::mutex stateMutex;
    // Each side's count as changeCount last saw it.
    std::array<std::uint64_t, 2> counts{};
    // The joined count changeCount last answered, and the text read after it.
    std::uint64_t lastCount = 0;
    std::uint64_t readCount = 0;
    clipboardContent readContent;

    std::uint64_t changeCount()
    {
        const std::array<std::uint64_t, 2> now{sides[0].changeCount(), sides[1].changeCount()};
        std::lock_guard lock(stateMutex);
        // Where only one side moved, it is the newest, noticed or not.
        if ((now[0] != counts[0]) != (now[1] != counts[1]))
            newest = now[0] != counts[0] ? 0 : 1;
        counts = now;
        lastCount = now[0] + now[1];
        return lastCount;
    }

    clipboardContent read()
    {
        const std::size_t first = newest.load();
        auto content = sides[first].read();
        // An X11 side that reads empty is most often the compositor refusing
        // XWayland the Wayland side's copy, which it mirrors there while a
        // Wayland window has focus: that copy is the other side's.
        if (content.text.empty())
            content = sides[1 - first].read();
        std::lock_guard lock(stateMutex);
        readCount = lastCount;
        readContent = content;
        return content;
    }

    bool writeIfUnchanged(const std::u16string& text, std::uint64_t expected)
    {
        if (changeCount() != expected) {
            // The compositor carrying the copy we read to the other side is
            // no new copy: the text read is still there.
            clipboardContent before;
            {
                std::lock_guard lock(stateMutex);
                if (readCount != expected || readContent.text.empty())
                    return false;
                before = readContent;
            }
            if (read() != before)
                return false;
        }
        std::uint64_t wayland;
        {
            std::lock_guard lock(stateMutex);
            wayland = counts[1];
        }
        return sides[1].writeIfUnchanged(text, wayland);
    }
};

}  // namespace

tarselTranslatorClipboardAccess joinedClipboard(tarselTranslatorClipboardAccess x11,
                                                tarselTranslatorClipboardAccess wayland)
{
    auto joined = std::make_shared<Joined>();
    joined->sides = {std::move(x11), std::move(wayland)};
    return {
        [joined] { return joined->read(); },
        [joined](const std::u16string& text) { joined->sides[1].write(text); },
        [joined] { return joined->changeCount(); },
        [joined]() -> std::optional<std::uint64_t> {
            const auto x11 = joined->sides[0].noticedChangeCount();
            const auto wayland = joined->sides[1].noticedChangeCount();
            if (!x11 || !wayland)
                return std::nullopt;
            return *x11 + *wayland;
        },
        [joined](const std::u16string& text, std::uint64_t expected) {
            return joined->writeIfUnchanged(text, expected);
        },
        [joined](std::function<void()> notify) {
            for (std::size_t side = 0; side < 2; ++side) {
                if (!notify) {
                    joined->sides[side].setChangeListener({});
                    continue;
                }
                joined->sides[side].setChangeListener([joined, notify, side] {
                    joined->newest = side;
                    notify();
                });
            }
        },
        [joined] {
            for (auto& side : joined->sides)
                side.stop();
        },
    };
}

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

// A clipboard path's count of changes and the listener told of each one,
// shared by its service thread, which sees the changes, and its callers.
class ChangeNotices {
public:
    // An empty listener ends the telling.
    void setListener(std::function<void()> notify)
    {
        std::lock_guard lock(listenerMutex);
        listener.swap(notify);
    }

    // A change seen: counted, then told.
    void changed()
    {
        ++changes;
        tell();
    }

    std::uint64_t count() const { return changes.load(); }

    // From now on each change is seen as it happens.
    void watching() { watched = true; }

    // No more notices. The listener is told once, so that whoever waits on
    // them asks again.
    void watchEnded()
    {
        if (watched.exchange(false))
            tell();
    }

    // The count, while each change is seen as it happens; nothing otherwise.
    std::optional<std::uint64_t> noticed() const
    {
        if (!watched.load())
            return std::nullopt;
        return changes.load();
    }

private:
    void tell()
    {
        std::lock_guard lock(listenerMutex);
        if (listener)
            listener();
    }

    std::atomic<std::uint64_t> changes{0};
    std::atomic<bool> watched{false};
    std::mutex listenerMutex;
    std::function<void()> listener;
};

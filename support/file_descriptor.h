#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

// A POSIX file descriptor, closed when its owner goes; -1 holds none.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : descriptor(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        reset(std::exchange(other.descriptor, -1));
        return *this;
    }
    void reset(int fd = -1)
    {
        if (descriptor >= 0)
            close(descriptor);
        descriptor = fd;
    }
    int get() const { return descriptor; }
    explicit operator bool() const { return descriptor >= 0; }

private:
    int descriptor;
};

// The time-out for poll() that ends at `deadline`, rounded up so that it is
// not woken just before it; 0 once it has passed, and at most a minute.
inline int millisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

#include "support/logger.h"

#include <atomic>
#include <fstream>
#include <mutex>

namespace {

struct LogState {
    std::ofstream stream;
    std::mutex lock;
    // Read by write() before it takes the lock; set only under the lock.
    std::atomic<bool> fileOpen{false};
};

// Never destroyed: a detached monitor worker may still log while the process
// exits, after ordinary statics are gone. Every line is flushed when written,
// so nothing is lost by leaving the stream to the operating system.
LogState& state()
{
    static LogState* const instance = new LogState;
    return *instance;
}

void openLocked(LogState& log, const std::string& fileName)
{
    if (log.stream.is_open())
        return;
    // Text mode: the line end becomes CR LF on Windows and stays LF elsewhere.
    log.stream.open(fileName, std::ios::out | std::ios::trunc);
    if (log.stream.is_open()) {
        log.stream.clear();
        log.fileOpen.store(true, std::memory_order_release);
    }
}

}  // namespace

void logger::open(const std::string& fileName)
{
    LogState& log = state();
    std::lock_guard<std::mutex> guard(log.lock);
    openLocked(log, fileName);
}

void logger::write(const std::string& message)
{
    LogState& log = state();
    if (!log.fileOpen.load(std::memory_order_acquire))
        logger::open("default log file.txt");
    std::lock_guard<std::mutex> guard(log.lock);
    log.stream.write(message.data(), static_cast<std::streamsize>(message.size()));
    log.stream.put('\n');
    log.stream.flush();
}

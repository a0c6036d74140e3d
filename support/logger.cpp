#include "support/logger.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "support/log_file.h"

namespace {

struct LogState {
    std::FILE* file = nullptr;
    // A write or flush failed on the open file: like a stream's error state,
    // nothing clears it, and the rest of the run's messages are lost.
    bool failed = false;
    std::mutex lock;
    // Read by write() before it takes the lock; set only under the lock.
    std::atomic<bool> fileOpen{false};
};

// Never destroyed: a detached monitor worker may still log while the process
// exits, after ordinary statics are gone. Every line is flushed when written,
// so nothing is lost by leaving the file to the operating system.
LogState& state()
{
    static LogState* const instance = new LogState;
    return *instance;
}

void openLocked(LogState& log, const std::string& fileName)
{
    if (log.file)
        return;
    log.file = openLogFile(fileName);
    if (log.file)
        log.fileOpen.store(true, std::memory_order_release);
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
    if (!log.file || log.failed)
        return;
    if (std::fwrite(message.data(), 1, message.size(), log.file) != message.size() ||
        std::fputc('\n', log.file) == EOF || std::fflush(log.file) != 0)
        log.failed = true;
}

#pragma once

// What the C++ tests share to work with other programs: a child process on a
// pipe, waiting for a condition with a deadline, and a temporary folder.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing_support {

using Clock = std::chrono::steady_clock;

// Polls `condition` every `step` until it holds (true) or `limit` has passed (false).
template <typename Condition>
bool waitUntil(Condition condition, Clock::duration limit, Clock::duration step = std::chrono::milliseconds(10))
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// A new empty folder under the system's temporary folder; throws if none can be made.
std::filesystem::path temporaryFolder(std::string_view prefix);

// A program started in a process group of its own, with its stdin or its
// stdout on a pipe (the other one, and stderr, go to /dev/null unless kept).
// Ended with its group when destroyed: SIGTERM, then SIGKILL for whatever
// is left after at most five seconds.
class childProcess {
public:
    enum class pipeTo { stdinOfChild, stdoutOfChild };

    childProcess(std::vector<std::string> argv, pipeTo end, bool keepStderr = false);
    ~childProcess();
    childProcess(const childProcess&) = delete;
    childProcess& operator=(const childProcess&) = delete;

    bool started() const { return pid > 0; }
    pid_t id() const { return pid; }

    // Writes `input` to its stdin and closes it.
    void feed(std::string_view input);

    // Its output up to and including the first line that contains `marker`;
    // nothing if that does not come within `limit` or the output ends first.
    std::optional<std::string> readUntil(std::string_view marker, Clock::duration limit);

    // All its output until it exits, when it exits with status 0 within
    // `limit`; nothing otherwise.
    std::optional<std::string> readAll(Clock::duration limit);

    // Ends it as the destructor does; true if it exited on its own or on SIGTERM.
    bool stop();

private:
    pid_t pid = -1;
    int fd = -1;
    std::string buffered;
};

}  // namespace testing_support

#include "tests/tools/test_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace testing_support {

std::filesystem::path temporaryFolder(std::string_view prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

childProcess::childProcess(std::vector<std::string> argv, pipeTo end, bool keepStderr)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return;
    const bool toStdin = end == pipeTo::stdinOfChild;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toStdin ? ends[0] : ends[1], toStdin ? 0 : 1);
    if (!keepStderr)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (toStdin)
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    // A group of its own, so that what it starts in turn ends with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(toStdin ? ends[0] : ends[1]);
    fd = toStdin ? ends[1] : ends[0];
}

childProcess::~childProcess()
{
    stop();
}

void childProcess::feed(std::string_view input)
{
    for (std::size_t done = 0; fd >= 0 && done < input.size();) {
        const ssize_t n = write(fd, input.data() + done, input.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::optional<std::string> childProcess::readUntil(std::string_view marker, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const std::size_t found = buffered.find(marker);
        const std::size_t lineEnd = found == std::string::npos ? found : buffered.find('\n', found);
        if (lineEnd != std::string::npos) {
            std::string line = buffered.substr(0, lineEnd + 1);
            buffered.erase(0, lineEnd + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (fd < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        buffered.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> childProcess::readAll(Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    std::string out = std::move(buffered);
    buffered.clear();
    for (char chunk[65536];;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (fd < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline - Clock::now()))
        return std::nullopt;
    pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return out;
}

bool childProcess::stop()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
    if (pid <= 0)
        return true;
    kill(-pid, SIGTERM);
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(5));
    kill(-pid, SIGKILL);
    if (!ended)
        waitpid(pid, &status, 0);
    pid = -1;
    return ended;
}

}  // namespace testing_support

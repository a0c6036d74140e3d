#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/logger.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string makeTemporaryDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "tarsel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

class LogEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        directory = makeTemporaryDirectory();
        path = directory + "/log.log";
        logger::open(path);
    }
    void TearDown() override { fs::remove_all(directory); }

    std::string directory;
    std::string path;
};

LogEnvironment* const logEnvironment =
    static_cast<LogEnvironment*>(testing::AddGlobalTestEnvironment(new LogEnvironment));

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

LogWatch::LogWatch() : start(fs::file_size(logEnvironment->path)) {}

std::vector<std::string> LogWatch::newLines() const
{
    const std::string text = readFile(logEnvironment->path).substr(start);
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size())
        lines.push_back(text.substr(at) + "<no line end>");
    return lines;
}

testing::AssertionResult linesMatch(const std::vector<std::string>& lines, const std::vector<std::string>& expected)
{
    bool same = lines.size() == expected.size();
    for (std::size_t i = 0; same && i < lines.size(); ++i) {
        const std::string& want = expected[i];
        same = !want.empty() && want.back() == '*' ? lines[i].rfind(want.substr(0, want.size() - 1), 0) == 0
                                                   : lines[i] == want;
    }
    if (same)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "log lines " << testing::PrintToString(lines) << ", expected "
                                       << testing::PrintToString(expected);
}

FakeEndpoint::FakeEndpoint(std::optional<Tls> tls) : secure(tls.has_value())
{
    directory = makeTemporaryDirectory();
    requestsFile = directory + "/requests.jsonl";
    std::vector<std::string> arguments{SYSTEM_PYTHON, FAKE_ENDPOINT, "serve", "--port", "0",
                                       "--requests", requestsFile};
    if (tls) {
        arguments.insert(arguments.end(), {"--cert", tls->cert, "--key", tls->key});
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start the fake endpoint");
    }

    // "PORT <n>\n" once listening; Python starts in well under the bound.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{out[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[64];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
        stop();
        throw std::runtime_error("the fake endpoint did not start");
    }
    listening = std::stoi(line.substr(5));
}

FakeEndpoint::~FakeEndpoint()
{
    stop();
}

void FakeEndpoint::stop()
{
    if (child > 0) {
        kill(child, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        child = -1;
    }
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

std::string FakeEndpoint::origin() const
{
    return (secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(listening);
}

std::vector<picojson::value> FakeEndpoint::requests() const
{
    std::vector<picojson::value> parsed;
    std::ifstream in(requestsFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        picojson::value value;
        if (picojson::parse(value, line).empty())
            parsed.push_back(value);
    }
    return parsed;
}

bool FakeEndpoint::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (requests().size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::optional<FakeEndpoint::Tls> testCertificate(bool trusted)
{
    const char* directory = std::getenv(trusted ? "TARSEL_TEST_CA_DIR" : "TARSEL_TEST_ROGUE_CA_DIR");
    if (!directory)
        return std::nullopt;
    return FakeEndpoint::Tls{std::string(directory) + "/server.pem", std::string(directory) + "/server.key"};
}

int closedPort()
{
    // Bind and close: the kernel does not hand the port out again at once.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/logger.h"
#include "tests/tools/test_child.h"

namespace {

namespace fs = std::filesystem;

class LogEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        directory = testing_support::temporaryFolder("tarsel-test").string();
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

// anyOf's wordings are parted by line breaks, which no log line holds.
std::string anyOf(std::initializer_list<std::string> wordings)
{
    std::string joined;
    for (const std::string& wording : wordings)
        joined += (joined.empty() ? "" : "\n") + wording;
    return joined;
}

namespace {
bool lineMatches(const std::string& line, const std::string& expected)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t end = expected.find('\n', start);
        const std::string want = expected.substr(start, end - start);
        if (!want.empty() && want.back() == '*' ? line.rfind(want.substr(0, want.size() - 1), 0) == 0 : line == want)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}
}  // namespace

testing::AssertionResult linesMatch(const std::vector<std::string>& lines, const std::vector<std::string>& expected)
{
    bool same = lines.size() == expected.size();
    for (std::size_t i = 0; same && i < lines.size(); ++i)
        same = lineMatches(lines[i], expected[i]);
    if (same)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "log lines " << testing::PrintToString(lines) << ", expected "
                                       << testing::PrintToString(expected);
}

FakeEndpoint::FakeEndpoint(std::optional<Tls> tls) : secure(tls.has_value())
{
    directory = testing_support::temporaryFolder("tarsel-test").string();
    requestsFile = directory + "/requests.jsonl";
    std::vector<std::string> arguments{SYSTEM_PYTHON, FAKE_ENDPOINT, "serve",     "--port",
                                       "0",           "--requests",  requestsFile};
    if (tls) {
        arguments.insert(arguments.end(), {"--cert", tls->cert, "--key", tls->key});
    }
    child = std::make_unique<testing_support::childProcess>(arguments,
                                                            testing_support::childProcess::pipeTo::stdoutOfChild, true);
    // "PORT <n>" once listening; Python starts in well under the bound.
    const std::optional<std::string> line = child->readUntil("PORT ", std::chrono::seconds(20));
    if (!line || line->rfind("PORT ", 0) != 0) {
        stop();
        throw std::runtime_error("the fake endpoint did not start");
    }
    listening = std::stoi(line->substr(5));
}

FakeEndpoint::~FakeEndpoint()
{
    stop();
}

void FakeEndpoint::stop()
{
    child.reset();
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
    return testing_support::waitUntil([&] { return requests().size() >= count; }, limit);
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

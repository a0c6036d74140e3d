#include "translate/http_transport.h"

#include <future>
#include <iostream>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "test_support.h"
#include "translate/curl_library.h"
#include "translate/http_transport_internal.h"
#include "translate/translator.h"

namespace {

using namespace std::chrono_literals;

const std::string userAgent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                              "Chrome/91.0.4472.164 Safari/537.36";

std::string requestUrl(const FakeEndpoint& server, const std::string& escapedText)
{
    return server.origin() + "/translate_a/single?client=gtx&sl=en&tl=pt&dt=t&q=" + escapedText;
}

TEST(UrlEscape, EncodesAllButUnreservedBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"abcXYZ019", "abcXYZ019"},
        {"-._~", "-._~"},
        {"a b", "a%20b"},
        {"a&b", "a%26b"},
        {"\xC3\xA7", "%C3%A7"},
        {"+/?=#%", "%2B%2F%3F%3D%23%25"},
        {std::string("a\0b", 3), "a%00b"},
        {"\n{}", "%0A%7B%7D"},
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(urlEscape(text), escaped) << testing::PrintToString(text);
}

TEST(WriteCallback, AppendsUpToTheCapThenRefuses)
{
    std::string body(maxBodyBytes - 2, 'x');
    char data[] = "abc";
    EXPECT_EQ(writeCallback(data, 1, 3, &body), 0u);
    EXPECT_EQ(body.size(), maxBodyBytes - 2);
    EXPECT_EQ(writeCallback(data, 1, 2, &body), 2u);
    EXPECT_EQ(body.size(), maxBodyBytes);
    EXPECT_EQ(writeCallback(data, 1, 1, &body), 0u);
}

TEST(HttpGet, SendsOnlyTheUserAgentOfOurOwn)
{
    FakeEndpoint server;
    std::string body;
    ASSERT_TRUE(httpGet(requestUrl(server, "hi"), body, {}));
    EXPECT_EQ(body.rfind("[[[\"pt: hi\",\"hi\"", 0), 0u) << body;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& headers = requests[0].get("headers").get<picojson::object>();
    std::vector<std::string> names;
    for (const auto& [name, value] : headers)
        names.push_back(name);
    // Host and Accept are libcurl's own; no Accept-Encoding, no extra header.
    EXPECT_EQ(names, (std::vector<std::string>{"Accept", "Host", "User-Agent"}));
    EXPECT_EQ(headers.at("User-Agent").get<std::string>(), userAgent);
    EXPECT_EQ(headers.at("Accept").get<std::string>(), "*/*");
}

TEST(HttpGet, FollowsRedirects)
{
    FakeEndpoint server;
    std::string body;
    ASSERT_TRUE(httpGet(requestUrl(server, "a%23redirect"), body, {}));
    EXPECT_EQ(body.rfind("[[[\"pt: a\"", 0), 0u) << body;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].get("query").get("q").to_str(), "a");
}

struct FailureCase {
    const char* marker;
    bool transferred;
    const char* bodyStart;  // what the body begins with; "" for an empty body
};

TEST(HttpGet, FailuresKeepWhatArrived)
{
    const FailureCase cases[] = {
        {"%23429", true, "<html>"},
        {"%23500", true, "<!DOCTYPE html>"},
        {"%23cut", false, "[[[\"pt: #cut\""},
        {"%23big", false, "[[[\"pt: xxx"},
    };
    FakeEndpoint server;
    for (const FailureCase& row : cases) {
        std::string body;
        EXPECT_EQ(httpGet(requestUrl(server, row.marker), body, {}), row.transferred) << row.marker;
        EXPECT_EQ(body.rfind(row.bodyStart, 0), 0u) << row.marker << ": " << body.substr(0, 80);
        EXPECT_LE(body.size(), maxBodyBytes) << row.marker;
    }
}

TEST(HttpGet, NoServerLeavesTheBodyEmpty)
{
    std::string body;
    EXPECT_FALSE(httpGet("http://127.0.0.1:" + std::to_string(closedPort()) + "/", body, {}));
    EXPECT_TRUE(body.empty());
}

// Runs `scenario` in a fresh process (the transport's state is process-wide)
// and expects it to exit with 0; it reports what went wrong on stderr.
void inFreshProcess(int (*scenario)())
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(scenario()), testing::ExitedWithCode(0), "");
}

int failedStartIsRetried()
{
    static int calls = 0;
    static int (*const realStart)(long) = startLibcurl;
    LogWatch log;
    const std::string missing = "Erro ao carregar a libcurl: libtarsel-missing.so.4: cannot open shared object file: "
                                "No such file or directory";
    libcurlFile = "libtarsel-missing.so.4";
    if (!urlEscape("a b").empty() || log.newLines() != std::vector<std::string>{missing}) {
        std::cerr << "a libcurl that is not there was not named in the log\n";
        return 1;
    }
    libcurlFile = libcurlFileName;
    startLibcurl = [](long) { return ++calls, 2; };
    if (!urlEscape("a b").empty() || !urlEscape("a b").empty() || calls != 2) {
        std::cerr << "urlEscape encoded without libcurl, or did not retry: " << calls << " calls\n";
        return 1;
    }
    // Without the escaped text no request goes out: it would be answered for nothing.
    FakeEndpoint server;
    translator service(server.origin());
    if (!service.translate(u"a b").empty() || !server.requests().empty() || calls != 3) {
        std::cerr << "a request went out without the text\n";
        return 1;
    }
    std::vector<std::string> expected(3, "Erro ao iniciar a libcurl. Erro: 2");
    expected.insert(expected.begin(), missing);
    expected.push_back("Erro ao codificar o texto para o pedido.");
    if (log.newLines() != expected || initializedLibraries.at(libcurlLibrary)) {
        std::cerr << "wrong log or registry after a failed start\n";
        return 1;
    }
    startLibcurl = [](long flags) { return ++calls, realStart(flags); };
    if (urlEscape("a b") != "a%20b" || urlEscape("c") != "c" || calls != 4 ||
        !initializedLibraries.at(libcurlLibrary)) {
        std::cerr << "libcurl not started once after the failures: " << calls << " calls\n";
        return 1;
    }
    return 0;
}

TEST(CurlLibrary, LoadsOnlyALibraryWithEveryEntryPoint)
{
    const struct {
        const char* file;
        bool loads;
        std::string failure;
    } rows[] = {
        {libcurlFileName, true, ""},
        {"libtarsel-missing.so.4", false, "libtarsel-missing.so.4: cannot open shared object file"},
        {"libm.so.6", false, "libm.so.6: curl_global_init not found"},
    };
    for (const auto& row : rows) {
        std::string failure = "stale";
        const auto entries = loadCurlEntryPoints(row.file, failure);
        EXPECT_EQ(entries.has_value(), row.loads) << row.file;
        EXPECT_EQ(row.loads ? failure : failure.substr(0, row.failure.size()), row.failure) << row.file;
        if (entries) {
            EXPECT_STREQ(entries->easyStrerror(CURLE_OK), "No error");
        }
    }
}

TEST(CurlStart, FailedStartIsLoggedAndRetried)
{
    inFreshProcess(failedStartIsRetried);
}

int abortEndsHangingTransfer()
{
    FakeEndpoint server;
    const std::string url = requestUrl(server, "x%23hang");
    auto transfer = std::async(std::launch::async, [&] {
        std::string body;
        return httpGet(url, body, {});
    });
    if (!server.waitForRequests(1, 10s)) {
        std::cerr << "the request never arrived\n";
        return 1;
    }
    abortTransfers();
    // Far below the 20-second time-out the transfer would otherwise reach.
    if (transfer.wait_for(5s) != std::future_status::ready || transfer.get()) {
        std::cerr << "the transfer was not aborted\n";
        return 1;
    }
    std::string body;
    if (httpGet(requestUrl(server, "y"), body, {}) || server.requests().size() != 1) {
        std::cerr << "a transfer after the abort went out\n";
        return 1;
    }
    return 0;
}

TEST(Abort, EndsTransfersInProgressAndLater)
{
    inFreshProcess(abortEndsHangingTransfer);
}

TEST(TransportSlow, SilentServerTimesOutAfterTwentySecondsAndIsLogged)
{
    FakeEndpoint server;
    translator service(server.origin());
    LogWatch log;
    const auto started = std::chrono::steady_clock::now();
    auto translation = std::async(std::launch::async, [&] { return service.translate(u"x#hang"); });
    ASSERT_EQ(translation.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(translation.get(), u"");
    // A lower bound only: the total time-out is 20 s, not a shorter one.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 19s);
    EXPECT_TRUE(linesMatch(log.newLines(),
                           {"Falha na comunica\xE7\xE3o com o servidor de tradu\xE7\xE3o: "
                            "Operation timed out after *",
                            "Erro ao extrair json"}));
}

}  // namespace

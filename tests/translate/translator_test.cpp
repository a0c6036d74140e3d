#include "translate/translator.h"

#include <atomic>
#include <future>
#include <map>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

#include "support/text_conversion.h"
#include "test_support.h"

namespace {

using Codes = std::pair<std::string, std::string>;

const std::string portugues = "Portugu\xEAs";
const std::string ingles = "Ingl\xEAs";
const std::string alemao = "Alem\xE3o";
const std::string chines = "Chin\xEAs (simplificado)";

void fillCatalogue(translator& service)
{
    service.languages[portugues] = "pt";
    service.languages[ingles] = "en";
    service.languages[alemao] = "de";
    service.languages[chines] = "zh-CN";
}

TEST(SetLanguages, ChangesBothCodesOrNeither)
{
    translator service("http://127.0.0.1:1");
    fillCatalogue(service);
    LogWatch log;
    struct Step {
        std::string source;
        std::string target;
        Codes after;
    };
    const Step steps[] = {
        {"Portugues", ingles, {"", ""}},  {portugues, ingles, {"pt", "en"}}, {"Nenhum", alemao, {"pt", "en"}},
        {alemao, "nenhum", {"pt", "en"}}, {alemao, chines, {"de", "zh-CN"}},
    };
    for (const Step& step : steps) {
        service.setLanguages(step.source, step.target);
        EXPECT_EQ(service.codes(), step.after) << step.source << " -> " << step.target;
    }
    EXPECT_TRUE(log.newLines().empty());
}

TEST(Translate, ComposesTheRequest)
{
    struct Row {
        std::string source;  // catalogue names; empty: no setLanguages
        std::string target;
        std::u16string text;
        std::string rawQuery;
        std::u16string result;
    };
    const Row rows[] = {
        {"", "", u"", "client=gtx&sl=&tl=&dt=t&q=", u": "},
        {portugues, chines, u"a b&\u00E7", "client=gtx&sl=pt&tl=zh-CN&dt=t&q=a%20b%26%C3%A7", u"zh-CN: a b&\u00E7"},
        {ingles, portugues, u"", "client=gtx&sl=en&tl=pt&dt=t&q=", u"pt: "},
    };
    FakeEndpoint server;
    translator service(server.origin());
    fillCatalogue(service);
    std::size_t sent = 0;
    for (const Row& row : rows) {
        if (!row.source.empty())
            service.setLanguages(row.source, row.target);
        EXPECT_EQ(service.translate(row.text), row.result) << row.rawQuery;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), ++sent);
        const picojson::value& request = requests.back();
        EXPECT_EQ(request.get("raw_query").to_str(), row.rawQuery);
        EXPECT_EQ(request.get("request_line").to_str(), "GET /translate_a/single?" + row.rawQuery + " HTTP/1.1");
    }
}

TEST(Translate, JoinsSegmentsAsGiven)
{
    FakeEndpoint server;
    translator service(server.origin());
    fillCatalogue(service);
    service.setLanguages(ingles, portugues);
    LogWatch log;
    const std::u16string text = u" Hello world. How are you? Fine. \U0001F600 Bye. ";
    EXPECT_EQ(service.translate(text), u"pt: " + text);
    EXPECT_EQ(service.translate(u"x#braces"), u"pt: {x#braces}\n{0}");
    EXPECT_TRUE(log.newLines().empty());
}

const std::string notJson = "Erro ao extrair json";
const std::string gtxBlocked = "Bloqueio do cliente gtx (HTTP 429); usando dict-chrome-ex.";
const std::string transferFailed = "Falha na comunica\xE7\xE3o com o servidor de tradu\xE7\xE3o: ";
const std::vector<std::string> gtx{"gtx"};
const std::vector<std::string> both{"gtx", "dict-chrome-ex"};

// The clients of the requests from the `from`th on.
std::vector<std::string> clientsFrom(const FakeEndpoint& server, std::size_t from)
{
    std::vector<std::string> clients;
    const auto requests = server.requests();
    for (std::size_t i = from; i < requests.size(); ++i)
        clients.push_back(requests[i].get("query").get("client").to_str());
    return clients;
}

TEST(Translate, EachAnswerGivesItsResultAndLogLines)
{
    struct Row {
        std::u16string text;
        std::u16string result;
        std::vector<std::string> lines;
        std::vector<std::string> clients;
    };
    const auto blocked = [](const char* client, const char* status, const char* then) {
        return "Bloqueio do cliente " + std::string(client) + " (HTTP " + status + "); " + then;
    };
    const char* const noOther = "n\xE3o h\xE1 outro cliente.";
    const Row rows[] = {
        {u"x#gtx=429", u"pt: x#gtx=429", {gtxBlocked}, both},
        {u"x#gtx=503", u"pt: x#gtx=503", {blocked("gtx", "503", "usando dict-chrome-ex.")}, both},
        {u"x#gtx=400", u"pt: x#gtx=400", {blocked("gtx", "400", "usando dict-chrome-ex.")}, both},
        {u"x#429", u"", {gtxBlocked, blocked("dict-chrome-ex", "429", noOther), notJson}, both},
        {u"x#500",
         u"",
         {blocked("gtx", "500", "usando dict-chrome-ex."), blocked("dict-chrome-ex", "500", noOther), notJson},
         both},
        {u"x#gtx=404", u"", {"Resposta HTTP 404 do servidor de tradu\xE7\xE3o.", notJson}, gtx},
        {u"x#cut",
         u"",
         {anyOf({transferFailed + "transfer closed with *", transferFailed + "end of response with *"}), notJson},
         gtx},
        {u"x#big", u"", {transferFailed + "Failure writing output to destination*", notJson}, gtx},
        {u"x#empty", u"", {"Erro ao traduzir. String vazia."}, gtx},
    };
    FakeEndpoint server;
    for (const Row& row : rows) {
        translator service(server.origin());
        service.languages = {{"a", "en"}, {"b", "pt"}};
        service.setLanguages("a", "b");
        const std::size_t before = server.requests().size();
        LogWatch log;
        EXPECT_EQ(service.translate(row.text), row.result) << row.lines.front();
        EXPECT_TRUE(linesMatch(log.newLines(), row.lines));
        EXPECT_EQ(clientsFrom(server, before), row.clients) << row.lines.front();
    }
    const int port = closedPort();
    translator unreachable("http://127.0.0.1:" + std::to_string(port));
    LogWatch log;
    EXPECT_EQ(unreachable.translate(u"x"), u"");
    EXPECT_TRUE(
        linesMatch(log.newLines(),
                   {transferFailed + "Failed to connect to 127.0.0.1 port " + std::to_string(port) + " *", notJson}));
}

TEST(Translate, GoesStraightAroundABlockForFifteenMinutes)
{
    using namespace std::chrono_literals;
    FakeEndpoint server;
    std::atomic<std::chrono::steady_clock::duration::rep> ticks{std::chrono::steady_clock::duration(1h).count()};
    translator service(server.origin(), [&] {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks.load()));
    });
    struct Step {
        std::chrono::seconds later;
        std::u16string text;
        std::vector<std::string> clients;
        std::vector<std::string> lines;
    };
    const Step steps[] = {
        {0s, u"a#gtx=429", both, {gtxBlocked}},
        {14min + 59s, u"b", {"dict-chrome-ex"}, {}},
        {1s, u"c", gtx, {}},
        {0s, u"d#gtx=429", both, {gtxBlocked}},
        {0s,
         u"e#dict-chrome-ex=429",
         {"dict-chrome-ex"},
         {"Bloqueio do cliente dict-chrome-ex (HTTP 429); n\xE3o h\xE1 outro cliente.", notJson}},
    };
    for (const Step& step : steps) {
        ticks += std::chrono::steady_clock::duration(step.later).count();
        const std::size_t before = server.requests().size();
        LogWatch log;
        const std::u16string result = service.translate(step.text);
        EXPECT_EQ(result.empty(), step.text.find(u"dict") != std::u16string::npos) << testing::PrintToString(result);
        EXPECT_EQ(clientsFrom(server, before), step.clients) << step.later.count() << " s later";
        EXPECT_EQ(log.newLines(), step.lines) << step.later.count() << " s later";
    }
}

TEST(Translate, SplitsALongTextWithinTheUrlBound)
{
    FakeEndpoint server;
    translator service(server.origin());
    fillCatalogue(service);
    service.setLanguages(chines, ingles);
    const std::u16string sentences[] = {u"\u6211\u4EEC\u4ECA\u5929\u53BB\u516C\u56ED\u6563\u6B65\u3002",
                                        u"\u5929\u6C14\u5F88\u597D\u5417\uFF1F", u"\u592A\u597D\u4E86\uFF01"};
    std::u16string text;
    for (std::size_t i = 0; text.size() < 5000; ++i)
        text += sentences[i % std::size(sentences)];
    text.resize(5000);
    LogWatch log;
    const std::string result = wideToUtf8(service.translate(text));
    const auto requests = server.requests();
    ASSERT_GT(requests.size(), 1u);
    std::string sent;
    std::string expected;
    for (const picojson::value& request : requests) {
        const std::string url =
            server.origin() + request.get("path").to_str() + "?" + request.get("raw_query").to_str();
        EXPECT_LE(url.size(), 8000u);
        const std::string q = request.get("query").get("q").to_str();
        if (&request != &requests.back()) {
            const std::u16string wide = utf8ToWide(q);
            EXPECT_NE(std::u16string(u"\u3002\uFF1F\uFF01").find(wide.back()), std::u16string::npos)
                << "a piece not cut after a sentence";
        }
        sent += q;
        expected += "en: " + q;
    }
    EXPECT_EQ(sent, wideToUtf8(text));
    EXPECT_EQ(result, expected);
    EXPECT_TRUE(log.newLines().empty());
}

TEST(Translate, StopEndsTheRequestSilentlyAndSendsNoMore)
{
    using namespace std::chrono_literals;
    FakeEndpoint server;
    translator service(server.origin());
    std::u16string text = u"x #hang. ";
    while (text.size() < 6000)
        text += u"mais ";
    std::stop_source stop;
    LogWatch log;
    auto translation =
        std::async(std::launch::async, [&] { return service.translate(text, nullptr, stop.get_token()); });
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    stop.request_stop();
    // Far below the 20-second time-out the request would otherwise reach.
    ASSERT_EQ(translation.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(translation.get(), u"");
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(log.newLines().empty());
}

TEST(TranslateConcurrency, RequestsCarryPairsSetTogether)
{
    FakeEndpoint server;
    translator service(server.origin());
    fillCatalogue(service);
    service.setLanguages(ingles, portugues);
    const Codes first{"en", "pt"};
    const Codes second{"de", "zh-CN"};

    std::atomic<bool> translating{true};
    std::thread chooser([&] {
        for (bool flip = false; translating.load(); flip = !flip) {
            flip ? service.setLanguages(ingles, portugues) : service.setLanguages(alemao, chines);
            std::this_thread::yield();
        }
    });
    constexpr int perWorker = 15;
    struct Outcome {
        std::string text;
        Codes codes;
        std::u16string result;
    };
    std::vector<Outcome> outcomes[2];
    auto work = [&](int worker) {
        for (int i = 0; i < perWorker; ++i) {
            // Some go around a block: both threads then update the route at once.
            Outcome outcome{"w" + std::to_string(worker) + "-" + std::to_string(i) + (i % 3 ? "" : "#gtx=429"), {}, {}};
            std::u16string wide(outcome.text.begin(), outcome.text.end());
            outcome.result = service.translate(wide, &outcome.codes);
            outcomes[worker].push_back(std::move(outcome));
        }
    };
    std::thread one(work, 0);
    std::thread two(work, 1);
    one.join();
    two.join();
    translating = false;
    chooser.join();

    std::map<std::string, Codes> sentPairs;
    for (const picojson::value& request : server.requests()) {
        const picojson::value& query = request.get("query");
        sentPairs[query.get("q").to_str()] = {query.get("sl").to_str(), query.get("tl").to_str()};
    }
    for (const auto& list : outcomes) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(perWorker));
        for (const Outcome& outcome : list) {
            EXPECT_TRUE(outcome.codes == first || outcome.codes == second) << outcome.text;
            EXPECT_EQ(sentPairs[outcome.text], outcome.codes) << outcome.text;
            const std::string expected = outcome.codes.second + ": " + outcome.text;
            EXPECT_EQ(outcome.result, std::u16string(expected.begin(), expected.end()));
        }
    }
}

}  // namespace

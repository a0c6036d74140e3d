#include "translate/translator.h"

#include <atomic>
#include <map>
#include <thread>

#include <gtest/gtest.h>

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
        {"Portugues", ingles, {"", ""}},
        {portugues, ingles, {"pt", "en"}},
        {"Nenhum", alemao, {"pt", "en"}},
        {alemao, "nenhum", {"pt", "en"}},
        {alemao, chines, {"de", "zh-CN"}},
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

TEST(Translate, EachFailureIsEmptyWithItsLogLine)
{
    const std::string notJson = "Erro ao extrair json";
    const std::string nothing = "Erro ao traduzir. String vazia.";
    const std::pair<std::u16string, std::string> cases[] = {
        {u"x#429", notJson},     {u"x#500", notJson},   {u"x#cut", notJson},
        {u"x#big", notJson},     {u"x#empty", nothing},
    };
    FakeEndpoint server;
    translator service(server.origin());
    for (const auto& [text, line] : cases) {
        LogWatch log;
        EXPECT_EQ(service.translate(text), u"") << line;
        EXPECT_EQ(log.newLines(), std::vector<std::string>{line});
    }
    translator unreachable("http://127.0.0.1:" + std::to_string(closedPort()));
    LogWatch log;
    EXPECT_EQ(unreachable.translate(u"x"), u"");
    EXPECT_EQ(log.newLines(), std::vector<std::string>{notJson});
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
            Outcome outcome{"w" + std::to_string(worker) + "-" + std::to_string(i), {}, {}};
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

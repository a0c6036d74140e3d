#include "translate/response_extraction.h"

#include <gtest/gtest.h>

#include "support/text_conversion.h"
#include "test_support.h"

namespace {

const std::string stringMismatch = "Exce\xE7\xE3o na fun\xE7\xE3o translator::translate: Descri\xE7\xE3o: "
                                   "\"type mismatch! call is<type>() before get<type>()\" && is<std::string>()";
const std::string arrayMismatch = "Exce\xE7\xE3o na fun\xE7\xE3o translator::translate: Descri\xE7\xE3o: "
                                  "\"type mismatch! call is<type>() before get<type>()\" && is<array>()";

const std::string unusualTrafficPage =
    "<html>\n<head><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">"
    "<title>https://translate.googleapis.com/translate_a/single</title></head>\n<body>"
    "Our systems have detected unusual traffic from your computer network.</body></html>";

std::string nested(int depth)
{
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']');
}

struct ExtractionCase {
    const char* name;
    std::string body;
    bool parsed;
    std::string text;
    std::vector<std::string> log;
};

void PrintTo(const ExtractionCase& row, std::ostream* out)
{
    *out << row.name;
}

const ExtractionCase cases[] = {
    {"two segments", R"([[["a"],["b"]]])", true, "ab", {}},
    {"number skipped", R"([[["a"],7,["b"]]])", true, "ab", {}},
    {"other non-arrays skipped", R"([[["a"],"s",null,true,{"k":[]},["b"]]])", true, "ab", {}},
    {"empty array ends the walk", R"([[["a"],[],["b"]]])", true, "a", {}},
    {"null element 0", R"([[["a"],[null],["b"]]])", true, "a", {stringMismatch}},
    {"array element 0 not searched", R"([[["a"],[["x"]],["b"]]])", true, "a", {stringMismatch}},
    {"first segment bad", R"([[[1,"a"]]])", true, "", {stringMismatch}},
    {"empty segment list", R"([[],null,"en"])", true, "", {}},
    {"later root elements not read", R"([[["a"]],[["zzz"]],"en"])", true, "a", {}},
    {"trailing bytes ignored", "[[[\"a\"]]] <html>trailing", true, "a", {}},
    {"root not an array", R"({"sentences":[]})", true, "", {arrayMismatch}},
    {"empty root", "[]", true, "", {arrayMismatch}},
    {"element 0 not an array", R"(["a",[["b"]]])", true, "", {arrayMismatch}},
    {"empty body", "", false, "", {}},
    {"unusual traffic page", unusualTrafficPage, false, "", {}},
    {"cut off", R"([[["Ol\u00e1, mun)", false, "", {}},
    {"cut between segments", R"([[["a","b",null,null,10],)", false, "", {}},
    {"nesting at the limit", "[[[\"a\"]]," + nested(99) + "]", true, "a", {}},
    {"nesting beyond the limit", "[[[\"a\"]]," + nested(100) + "]", false, "", {}},
    {"very deep nesting", nested(100000), false, "", {}},
};

class Extraction : public testing::TestWithParam<ExtractionCase> {};

TEST_P(Extraction, GivesTextAndLog)
{
    const ExtractionCase& row = GetParam();
    LogWatch log;
    std::string text = "stale";
    EXPECT_EQ(extractTranslation(row.body, text), row.parsed);
    EXPECT_EQ(text, row.text);
    EXPECT_EQ(log.newLines(), row.log);
}

INSTANTIATE_TEST_SUITE_P(Table, Extraction, testing::ValuesIn(cases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
});

TEST(Extraction, RealAnswerKeepsEveryPieceAsGiven)
{
    // Escaped and raw UTF-8, an emoji as a JSON surrogate pair, braces and a
    // line break, exactly as the endpoint sends them. The closing
    // transliteration segment has no string first, which is logged.
    const std::string body =
        R"([[["Ol\u00e1, mundo! ","Hello, world! ",null,null,10],)"
        "[\"Tudo bem? \\ud83d\\ude00 {x}\\n\",\"All good? {x}\\n\",null,null,10],"
        "[\" At\xC3\xA9 logo {}. \",\"See you. \",null,null,10],"
        R"([null,null,"Ol\u00e1, mundo!"]],null,"en",null,null,null,1,[],[["en"],null,[1],["en"]]])";
    LogWatch log;
    std::string text;
    ASSERT_TRUE(extractTranslation(body, text));
    EXPECT_EQ(utf8ToWide(text), u"Ol\u00E1, mundo! Tudo bem? \U0001F600 {x}\n At\u00E9 logo {}. ");
    EXPECT_EQ(log.newLines(), std::vector<std::string>{stringMismatch});
}

}  // namespace

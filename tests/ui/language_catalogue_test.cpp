#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/text_conversion.h"
#include "ui/language_catalogue.h"

namespace {

using fields = std::vector<std::string>;

TEST(split, keepsEveryFieldBetweenDelimiters)
{
    const struct {
        std::string text;
        fields expected;
    } cases[] = {
        {"um=dois", {"um", "dois"}}, {"a==b", {"a", "", "b"}}, {"", {""}},
        {"fim=", {"fim", ""}},       {"=", {"", ""}},          {"sem delimitador", {"sem delimitador"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.text, '='), c.expected) << c.text;
}

TEST(languageTable, holdsTheCatalogueInLatin1)
{
    EXPECT_EQ(languageTable.size(), 1223u);
    EXPECT_EQ(languageTable.find('\r'), std::string_view::npos);
    EXPECT_NE(languageTable.back(), '\n');

    const fields lines = split(std::string(languageTable), '\n');
    ASSERT_EQ(lines.size(), 104u);
    std::set<std::string> names;
    for (const std::string& line : lines) {
        const fields parts = split(line, '=');
        ASSERT_EQ(parts.size(), 2u) << line;
        names.insert(parts[0]);
        const std::string& code = parts[1];
        EXPECT_TRUE(code.size() >= 2 && code.size() <= 5) << code;
        for (const char c : code)
            EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(c)) || c == '-') << code;
        for (const char c : parts[0]) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte < 0x80 || (byte >= 0xC1 && byte <= 0xFA)) << line;
        }
    }
    EXPECT_EQ(names.size(), 104u);
    EXPECT_EQ(lines.front(),
              "Afric\xE2"
              "ner=af");
    EXPECT_EQ(lines.back(), "Zulu=zu");
}

TEST(languageTable, everyNameSurvivesTheTripThroughWideText)
{
    for (const std::string& line : split(std::string(languageTable), '\n')) {
        const std::string name = split(line, '=')[0];
        EXPECT_EQ(wideToLatin1(latin1ToWide(name)), name);
    }
}

}  // namespace

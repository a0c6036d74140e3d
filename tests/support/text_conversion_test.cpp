#include "support/text_conversion.h"

#include <cctype>
#include <clocale>
#include <random>

#include <gtest/gtest.h>

namespace {

struct Utf8Case {
    const char* name;
    std::string utf8;
    std::u16string wide;
};

void PrintTo(const Utf8Case& row, std::ostream* out)
{
    *out << row.name;
}

// Malformed input: each maximal ill-formed subpart becomes one U+FFFD, as the
// Windows converter does with flags 0.
const Utf8Case decodeCases[] = {
    {"empty", "", u""},
    {"c cedilla", "\xC3\xA7", u"\u00E7"},
    {"lone FF", "\xFF", u"\uFFFD"},
    {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    {"emoji as surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
    {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    {"truncated two-byte", "a\xC3", u"a\uFFFD"},
    {"truncated three-byte", "\xE2\x82z", u"\uFFFDz"},
    {"truncated four-byte", "\xF0\x9F\x98", u"\uFFFD"},
    {"lone continuation", "\x80x", u"\uFFFDx"},
    {"overlong slash C0", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"overlong C1", "\xC1\xBF", u"\uFFFD\uFFFD"},
    {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
    {"overlong four-byte", "\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"encoded high surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"F5", "\xF5\x80", u"\uFFFD\uFFFD"},
    {"FE FF", "\xFE\xFF", u"\uFFFD\uFFFD"},
    {"bad byte inside sequence", "\xE2\x28\xA1", u"\uFFFD(\uFFFD"},
    {"replacement character itself", "\xEF\xBF\xBD", u"\uFFFD"},
};

class Utf8Decoding : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Decoding, GivesExpectedUnits)
{
    EXPECT_EQ(utf8ToWide(GetParam().utf8), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(Table, Utf8Decoding, testing::ValuesIn(decodeCases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
});

TEST(WideToUtf8, Table)
{
    const std::pair<std::u16string, std::string> cases[] = {
        {u"", ""},
        {u"Ol\u00E1", "\x4F\x6C\xC3\xA1"},
        {u"\xD800", "\xEF\xBF\xBD"},
        {u"a\xDC00"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {u"\xDBFF\xDBFF\xDFFF", "\xEF\xBF\xBD\xF4\x8F\xBF\xBF"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string(u"\0x", 2), std::string("\0x", 2)},
        {u"\u07FF\u0800\uFFFF", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
    };
    for (const auto& [wide, utf8] : cases)
        EXPECT_EQ(wideToUtf8(wide), utf8) << testing::PrintToString(wide);
}

TEST(Latin1, WidensEachByteAndNarrowsBack)
{
    EXPECT_EQ(latin1ToWide("\xE3"), u"\u00E3");
    EXPECT_EQ(latin1ToWide("Monitorando."), u"Monitorando.");
    EXPECT_EQ(latin1ToWide(std::string("\0\xFF", 2)), std::u16string(u"\u0000\u00FF", 2));
    // The catalogue name "Alemão" survives the trip through a list item.
    const std::string alemao = "\x41\x6C\x65\x6D\xE3\x6F";
    EXPECT_EQ(latin1ToWide(alemao), u"Alem\u00E3o");
    EXPECT_EQ(wideToLatin1(latin1ToWide(alemao)), alemao);
    EXPECT_EQ(wideToLatin1(u"\u00EA\u0100"), "\xEA?");
}

TEST(Latin1, IgnoresTheProcessLocale)
{
    if (!std::setlocale(LC_ALL, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(latin1ToWide("Portugu\xEAs"), u"Portugu\u00EAs");
    EXPECT_EQ(wideToLatin1(u"Portugu\u00EAs"), "Portugu\xEAs");
    std::setlocale(LC_ALL, "C");
}

TEST(Utf8RoundTrip, RandomValidTextSurvivesBothWays)
{
    std::mt19937 random(20240607);
    // Weighted towards the boundaries of each encoded length.
    std::uniform_int_distribution<int> plane(0, 3);
    for (int round = 0; round < 2000; ++round) {
        std::u16string wide;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) {
            char32_t c;
            switch (plane(random)) {
            case 0:
                c = random() % 0x80;
                break;
            case 1:
                c = 0x80 + random() % (0x800 - 0x80);
                break;
            case 2:
                c = 0x800 + random() % (0x10000 - 0x800);
                break;
            default:
                c = 0x10000 + random() % (0x110000 - 0x10000);
            }
            if (c >= 0xD800 && c <= 0xDFFF)
                c = 0xFFFD;
            if (c >= 0x10000) {
                wide += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                wide += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                wide += static_cast<char16_t>(c);
            }
        }
        const std::string utf8 = wideToUtf8(wide);
        ASSERT_EQ(utf8ToWide(utf8), wide) << testing::PrintToString(wide);
        ASSERT_EQ(wideToUtf8(utf8ToWide(utf8)), utf8);
    }
}

}  // namespace

#include "translate/text_pieces.h"

#include <gtest/gtest.h>

#include "translate/http_transport.h"

namespace {

struct PieceCase {
    const char* name;
    std::string text;  // UTF-8
    std::size_t limit;
    std::vector<std::pair<std::string, std::string>> pieces;  // text, separator
};

void PrintTo(const PieceCase& c, std::ostream* out)
{
    *out << c.name;
}

// Costs: an unreserved ASCII byte 1, any other byte 3 (a blank 3, "ç" 6, a CJK character 9).
const PieceCase pieceCases[] = {
    {"within the limit: one piece, blanks and all", " Um. Dois. ", 100, {{" Um. Dois. ", ""}}},
    {"after the last sentence end that fits", "Um. Dois. Tres quatro", 20, {{"Um. Dois.", " "}, {"Tres quatro", ""}}},
    {"else at the last line break",
     "um dois\ntres quatro cinco",
     20,
     {{"um dois", "\n"}, {"tres quatro", " "}, {"cinco", ""}}},
    {"else at the last blank, the run whole", "aaa  bbb ccc", 10, {{"aaa", "  "}, {"bbb ccc", ""}}},
    {"no end inside a number", "3.14 e 2.71", 12, {{"3.14 e", " "}, {"2.71", ""}}},
    {"blanks at the end are the last separator", "um dois   ", 10, {{"um dois", "   "}}},
    {"CJK ends need no blank",
     "\u4F60\u597D\u3002\u4E16\u754C\uFF01\u518D\u89C1",
     60,
     {{"\u4F60\u597D\u3002\u4E16\u754C\uFF01", ""}, {"\u518D\u89C1", ""}}},
    {"a run of ends is one end",
     "\u771F\u7684\uFF01\uFF1F\u662F\u7684",
     50,
     {{"\u771F\u7684\uFF01\uFF1F", ""}, {"\u662F\u7684", ""}}},
    {"Arabic question mark",
     "\u0643\u064A\u0641\u061F \u0628\u062E\u064A\u0631",
     40,
     {{"\u0643\u064A\u0641\u061F", " "}, {"\u0628\u062E\u064A\u0631", ""}}},
    {"a closing quote stays with its sentence",
     "Ele disse \"sim.\" Depois foi",
     30,
     {{"Ele disse \"sim.\"", " "}, {"Depois foi", ""}}},
    {"never inside a UTF-8 sequence", "\u00E7\u00E7\u00E7\u00E7", 13, {{"\u00E7\u00E7", ""}, {"\u00E7\u00E7", ""}}},
    {"never between the halves of an emoji",
     "\U0001F600\U0001F600\U0001F600",
     25,
     {{"\U0001F600\U0001F600", ""}, {"\U0001F600", ""}}},
};

class SplitText : public testing::TestWithParam<PieceCase> {};

TEST_P(SplitText, CutsAtTheBestPlaceWithinTheLimit)
{
    const PieceCase& c = GetParam();
    const std::vector<textPiece> pieces = splitText(c.text, c.limit);
    std::vector<std::pair<std::string, std::string>> got;
    std::string whole;
    for (const textPiece& piece : pieces) {
        got.emplace_back(piece.text, piece.separator);
        whole += piece.text + piece.separator;
        EXPECT_LE(escapedLength(piece.text), c.limit) << piece.text;
        EXPECT_EQ(escapedLength(piece.text), urlEscape(piece.text).size()) << piece.text;
    }
    EXPECT_EQ(got, c.pieces);
    EXPECT_EQ(whole, c.text);
}

INSTANTIATE_TEST_SUITE_P(Pieces, SplitText, testing::ValuesIn(pieceCases),
                         [](const testing::TestParamInfo<PieceCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

}  // namespace

#include "translate/text_pieces.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "support/utf8_sequence.h"

namespace {

bool isBlank(char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' || byte == '\v';
}

bool isUnreserved(char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
        byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

// Sentence ends of scripts written with blanks between sentences: one ends
// a sentence only where a blank follows, so "3.14" and "e.g." stay whole.
constexpr char32_t spacedEnds[] = {U'.', U'!', U'?', U'\u2026', U'\u061F', U'\u06D4', U'\u0964', U'\u0965'};
// CJK sentence ends, which need no blank after them.
constexpr char32_t unspacedEnds[] = {U'\u3002', U'\uFF01', U'\uFF1F', U'\uFF0E', U'\uFF61'};
// Closing quotes and brackets that stay with the sentence they close.
constexpr char32_t closers[] = {U'"',      U'\'',     U')',      U']',      U'\u00BB', U'\u2019',
                                U'\u201D', U'\u300D', U'\u300F', U'\u3011', U'\uFF09'};

bool among(char32_t c, const auto& set)
{
    return std::find(std::begin(set), std::end(set), c) != std::end(set);
}

// The character at `at`; a malformed sequence is one character of its own.
utf8Sequence characterAt(const std::string& text, std::size_t at)
{
    utf8Sequence sequence = readUtf8Sequence(text, at);
    if (!sequence.wellFormed)
        sequence.codePoint = 0xFFFD;
    return sequence;
}

// The end of the last sentence that ends within [from, to), or `from`.
std::size_t lastSentenceEnd(const std::string& text, std::size_t from, std::size_t to)
{
    std::size_t found = from;
    for (std::size_t at = from; at < to;) {
        const utf8Sequence first = characterAt(text, at);
        at += first.length;
        const bool spaced = among(first.codePoint, spacedEnds);
        bool unspaced = among(first.codePoint, unspacedEnds);
        if (!spaced && !unspaced)
            continue;
        // "?!", "...", "。」": the run of ends and closers is one sentence end.
        while (at < text.size()) {
            const utf8Sequence next = characterAt(text, at);
            const bool end = among(next.codePoint, spacedEnds) || among(next.codePoint, unspacedEnds);
            if (!end && !among(next.codePoint, closers))
                break;
            unspaced = unspaced || among(next.codePoint, unspacedEnds);
            at += next.length;
        }
        if (at <= to && (unspaced || at == text.size() || isBlank(text[at])))
            found = at;
    }
    return found;
}

// The start of the blank run holding the last blank within [from, to] that
// `wanted` accepts, when that run starts after `from`; otherwise `from`.
template <typename Wanted>
std::size_t lastBlankRun(const std::string& text, std::size_t from, std::size_t to, Wanted wanted)
{
    for (std::size_t at = std::min(to, text.size() - 1) + 1; at-- > from;) {
        if (!wanted(text[at]))
            continue;
        std::size_t start = at;
        while (start > from && isBlank(text[start - 1]))
            --start;
        if (start > from)
            return start;
    }
    return from;
}

}  // namespace

std::size_t escapedLength(std::string_view utf8)
{
    std::size_t length = 0;
    for (char byte : utf8)
        length += isUnreserved(byte) ? 1 : 3;
    return length;
}

std::vector<textPiece> splitText(const std::string& utf8, std::size_t limit)
{
    const std::string_view all(utf8);
    std::vector<textPiece> pieces;
    std::size_t at = 0;
    // Counted down piece by piece: a clipboard may hold megabytes.
    for (std::size_t remaining = escapedLength(all); remaining > limit;) {
        // The longest run of whole characters from `at` within the limit (at
        // least one character, so that every round moves on).
        std::size_t fit = at;
        for (std::size_t cost = 0; fit < utf8.size();) {
            const std::size_t length = characterAt(utf8, fit).length;
            const std::size_t more = escapedLength(all.substr(fit, length));
            if (cost + more > limit)
                break;
            cost += more;
            fit += length;
        }
        if (fit == at)
            fit += characterAt(utf8, at).length;
        std::size_t cut = lastSentenceEnd(utf8, at, fit);
        if (cut == at)
            cut = lastBlankRun(utf8, at, fit, [](char byte) { return byte == '\n'; });
        if (cut == at)
            cut = lastBlankRun(utf8, at, fit, isBlank);
        if (cut == at)
            cut = fit;
        std::size_t next = cut;
        while (next < utf8.size() && isBlank(utf8[next]))
            ++next;
        pieces.push_back({utf8.substr(at, cut - at), utf8.substr(cut, next - cut)});
        remaining -= escapedLength(all.substr(at, next - at));
        at = next;
        if (at == utf8.size())
            return pieces;
    }
    pieces.push_back({utf8.substr(at), {}});
    return pieces;
}

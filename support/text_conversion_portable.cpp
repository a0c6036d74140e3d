// UTF-8 <-> UTF-16 without the platform's converter. Matches Windows'
// MultiByteToWideChar / WideCharToMultiByte with CP_UTF8 and flags 0: each
// maximal ill-formed subpart of the UTF-8 becomes one U+FFFD (the Unicode
// recommended practice), and an unpaired surrogate becomes EF BF BD.
// Each direction measures first and then fills a result allocated once.
#include "support/text_conversion.h"
#include "support/utf8_sequence.h"

#include <cstdint>

namespace {

constexpr char32_t replacement = 0xFFFD;

// Calls emit(codePoint) for each character of `bytes`, replacing malformed
// sequences.
template <typename Emit>
void decodeUtf8(const std::string& bytes, Emit emit)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const utf8Sequence sequence = readUtf8Sequence(bytes, i);
        emit(sequence.wellFormed ? sequence.codePoint : replacement);
        i += sequence.length;
    }
}

// Calls emit(codePoint) for each character of `units`; lone surrogates
// become U+FFFD.
template <typename Emit>
void decodeUtf16(const std::u16string& units, Emit emit)
{
    const std::size_t n = units.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            emit(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            emit(replacement);
        } else {
            emit(unit);
        }
    }
}

std::size_t utf16Length(char32_t codePoint)
{
    return codePoint >= 0x10000 ? 2 : 1;
}

std::size_t utf8Length(char32_t codePoint)
{
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

}  // namespace

std::u16string utf8ToWide(const std::string& text)
{
    std::size_t length = 0;
    decodeUtf8(text, [&](char32_t c) { length += utf16Length(c); });
    std::u16string wide(length, u'\0');
    std::size_t at = 0;
    decodeUtf8(text, [&](char32_t c) {
        if (c >= 0x10000) {
            c -= 0x10000;
            wide[at++] = static_cast<char16_t>(0xD800 + (c >> 10));
            wide[at++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide[at++] = static_cast<char16_t>(c);
        }
    });
    return wide;
}

std::string wideToUtf8(const std::u16string& text)
{
    std::size_t length = 0;
    decodeUtf16(text, [&](char32_t c) { length += utf8Length(c); });
    std::string narrow(length, '\0');
    std::size_t at = 0;
    decodeUtf16(text, [&](char32_t c) {
        const auto put = [&](std::uint32_t byte) { narrow[at++] = static_cast<char>(byte); };
        switch (utf8Length(c)) {
        case 1:
            put(c);
            break;
        case 2:
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
            break;
        case 3:
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
            break;
        default:
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    });
    return narrow;
}

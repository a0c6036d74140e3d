#pragma once

#include <cstddef>
#include <string>

// One step through UTF-8 text, shared by the converters of every platform so
// that all of them replace malformed input alike.
struct utf8Sequence {
    std::size_t length;  // bytes taken, at least 1
    bool wellFormed;
    char32_t codePoint;  // when well formed
};

// The character at `at`, or the maximal ill-formed subpart there, which
// becomes one U+FFFD (Unicode's recommended practice; ranges of table 3-7).
inline utf8Sequence readUtf8Sequence(const std::string& bytes, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80)
        return {1, true, lead};
    int trailing;
    unsigned char lower = 0x80;
    unsigned char upper = 0xBF;
    char32_t codePoint;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        codePoint = lead & 0x0F;
        if (lead == 0xE0)
            lower = 0xA0;  // overlong
        else if (lead == 0xED)
            upper = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        codePoint = lead & 0x07;
        if (lead == 0xF0)
            lower = 0x90;  // overlong
        else if (lead == 0xF4)
            upper = 0x8F;  // beyond U+10FFFF
    } else {
        return {1, false, 0};
    }
    std::size_t next = at + 1;
    for (int k = 0; k < trailing; ++k, ++next) {
        if (next >= bytes.size())
            return {next - at, false, 0};
        const auto byte = static_cast<unsigned char>(bytes[next]);
        if (byte < lower || byte > upper)
            return {next - at, false, 0};
        codePoint = (codePoint << 6) | (byte & 0x3F);
        lower = 0x80;
        upper = 0xBF;
    }
    return {next - at, true, codePoint};
}

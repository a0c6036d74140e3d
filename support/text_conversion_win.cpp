// UTF-8 <-> UTF-16 through the Windows code-page converter: code page 65001,
// flags 0 (malformed input is replaced, never rejected), measure then convert
// into a result allocated once at the measured size.
#include "support/text_conversion.h"

#include <climits>

#include <windows.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

// How many U+FFFD a malformed sequence becomes differs between converters
// (Wine's swallows the continuation bytes of an overlong or surrogate
// sequence). Malformed input is therefore first rewritten with one EF BF BD
// per maximal ill-formed subpart, as the portable codec does, so that every
// platform gives the same text.

// Bytes of the character, or of the maximal ill-formed subpart, at `at`
// (Unicode table 3-7).
std::size_t sequenceLength(const std::string& bytes, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    int trailing;
    unsigned char lower = 0x80;
    unsigned char upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        lower = lead == 0xE0 ? 0xA0 : 0x80;
        upper = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        lower = lead == 0xF0 ? 0x90 : 0x80;
        upper = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    std::size_t next = at + 1;
    for (int k = 0; k < trailing && next < bytes.size(); ++k, ++next) {
        const auto byte = static_cast<unsigned char>(bytes[next]);
        if (byte < lower || byte > upper)
            break;
        lower = 0x80;
        upper = 0xBF;
    }
    return next - at;
}

bool wellFormed(const char* bytes, int count)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, count, nullptr, 0) > 0;
}

std::string withReplacements(const std::string& text)
{
    std::string repaired;
    repaired.reserve(text.size() * 3);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        if (wellFormed(text.data() + at, static_cast<int>(length)))
            repaired.append(text, at, length);
        else
            repaired += "\xEF\xBF\xBD";
        at += length;
    }
    return repaired;
}

}  // namespace

std::string wideToUtf8(const std::u16string& text)
{
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const auto* units = reinterpret_cast<const wchar_t*>(text.data());
    const int count = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, units, count, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, units, count, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::u16string utf8ToWide(const std::string& input)
{
    if (input.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    std::string repaired;
    if (!input.empty() && !wellFormed(input.data(), static_cast<int>(input.size())))
        repaired = withReplacements(input);
    const std::string& text = repaired.empty() ? input : repaired;
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int count = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
    if (length <= 0)
        return {};
    std::u16string wide(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), count, reinterpret_cast<wchar_t*>(wide.data()), length);
    return wide;
}

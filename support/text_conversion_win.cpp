// UTF-8 <-> UTF-16 through the Windows code-page converter: code page 65001,
// flags 0 (malformed input is replaced, never rejected), measure then convert
// into a result allocated once at the measured size.
#include "support/text_conversion.h"
#include "support/utf8_sequence.h"

#include <climits>

#include <windows.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

// How many U+FFFD a malformed sequence becomes differs between converters
// (Wine's swallows the continuation bytes of an overlong or surrogate
// sequence). Malformed input is therefore first rewritten with one EF BF BD
// per maximal ill-formed subpart, as the portable codec does, so that every
// platform gives the same text.

bool wellFormed(const char* bytes, int count)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, count, nullptr, 0) > 0;
}

std::string withReplacements(const std::string& text)
{
    std::string repaired;
    repaired.reserve(text.size() * 3);
    for (std::size_t at = 0; at < text.size();) {
        const utf8Sequence sequence = readUtf8Sequence(text, at);
        if (sequence.wellFormed)
            repaired.append(text, at, sequence.length);
        else
            repaired += "\xEF\xBF\xBD";
        at += sequence.length;
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

// UTF-8 <-> UTF-16 through the Windows code-page converter: code page 65001,
// flags 0 (malformed input is replaced, never rejected), measure then convert
// into a result allocated once at the measured size.
#include "support/text_conversion.h"

#include <climits>

#include <windows.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

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

std::u16string utf8ToWide(const std::string& text)
{
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

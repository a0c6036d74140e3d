// Latin-1 conversions, the same on every platform. They map bytes to code
// units directly instead of going through the C library's locale, which is
// UTF-8 on most desktops and would mangle the catalogue's accented names.
#include "support/text_conversion.h"

std::u16string latin1ToWide(const std::string& text)
{
    std::u16string wide(text.size(), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

std::string wideToLatin1(const std::u16string& text)
{
    std::string narrow(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        narrow[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    return narrow;
}

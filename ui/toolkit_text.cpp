#include "ui/toolkit_text.h"

#include "support/text_conversion.h"

wxString toWx(const std::u16string& text)
{
    const std::string utf8 = wideToUtf8(text);
    return wxString::FromUTF8(utf8.data(), utf8.size());
}

std::u16string fromWx(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return utf8ToWide(std::string(utf8.data(), utf8.length()));
}

#pragma once

#include <string>

#include <wx/string.h>

// The toolkit's strings are UTF-32 on Linux and UTF-16 on Windows; the system's
// wide strings are UTF-16 everywhere. Everything crosses here.
wxString toWx(const std::u16string& text);
std::u16string fromWx(const wxString& text);

// Stands in for Tolk.dll with three of its real exports. Each call of the
// first two appends one line to the file named by TARSEL_TOLK_STUB_LOG:
// "Tolk_Load", or "Tolk_Speak", the interrupt flag as 0 or 1 and the text's
// UTF-16 units in hexadecimal. A screen reader runs unless
// TARSEL_TOLK_STUB_NO_SCREEN_READER is set.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void record(const std::string& line)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TARSEL_TOLK_STUB_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    if (FILE* file = _wfopen(path, L"ab")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

}  // namespace

extern "C" __declspec(dllexport) void __cdecl Tolk_Load(void)
{
    record("Tolk_Load");
}

extern "C" __declspec(dllexport) bool __cdecl Tolk_Speak(const wchar_t* text, bool interrupt)
{
    std::string line = interrupt ? "Tolk_Speak 1" : "Tolk_Speak 0";
    for (const wchar_t* unit = text; *unit != L'\0'; ++unit) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(*unit));
        line += hex;
    }
    record(line);
    return true;
}

extern "C" __declspec(dllexport) const wchar_t* __cdecl Tolk_DetectScreenReader(void)
{
    return GetEnvironmentVariableW(L"TARSEL_TOLK_STUB_NO_SCREEN_READER", nullptr, 0) == 0 ? L"NVDA" : nullptr;
}

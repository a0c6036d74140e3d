// The Tolk loader. Each scenario runs as a death test, which on Windows starts
// the program afresh: the loader keeps what it found for the whole process.
#include "support/speech.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::wstring programDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::vector<std::string> lines(const std::wstring& path)
{
    std::vector<std::string> result;
    std::ifstream file(path.c_str());
    for (std::string line; std::getline(file, line);)
        result.push_back(line);
    return result;
}

std::string speakRecord(const std::u16string& text)
{
    std::string line = "Tolk_Speak 0";
    for (char16_t unit : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(unit));
        line += hex;
    }
    return line;
}

TEST(TolkSpeech, WithoutTolkDllEveryCallIsSilent)
{
    EXPECT_EXIT(
        {
            speech::load();
            speech::speak(u"Monitorando.");
            speech::speak(u"Ol\u00E1", "en");
            std::exit(GetModuleHandleW(L"Tolk.dll") == nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TolkSpeech, LoadsTolkOnceAndPassesEachTextUnchangedWithoutInterrupting)
{
    const std::wstring record = programDirectory() + L"\\tolk-calls.txt";
    DeleteFileW(record.c_str());
    SetEnvironmentVariableW(L"TARSEL_TOLK_STUB_LOG", record.c_str());
    const std::u16string texts[] = {
        u"Monitorando.",
        u"Tradu\u00E7\u00E3o {conclu\u00EDda} \U0001F600",
        u"\u4F60\u597D",
        u"Deixando de monitorar.",
    };
    EXPECT_EXIT(
        {
            SetDllDirectoryW((programDirectory() + L"\\tolk-stub").c_str());
            speech::load();
            speech::load();
            speech::speak(texts[0]);
            speech::speak(texts[1], "pt-BR");
            speech::speak(texts[2], "zh-CN");
            speech::announce(texts[3]);
            std::exit(GetModuleHandleW(L"Tolk.dll") != nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    std::vector<std::string> expected = {"Tolk_Load"};
    for (const auto& text : texts)
        expected.push_back(speakRecord(text));
    EXPECT_EQ(lines(record), expected);
}

}  // namespace

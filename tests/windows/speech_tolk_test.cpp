// The Tolk loader and its SAPI fallback. Each scenario runs as a death test,
// which on Windows starts the program afresh: the loader keeps what it found
// for the whole process. scripts/test-windows.sh registers the recording SAPI
// voice (sapi_voice_stub.cpp) and its two test voices in the Wine prefix.
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

std::string speakRecord(const std::u16string& text, std::string line = "Tolk_Speak 0")
{
    for (char16_t unit : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(unit));
        line += hex;
    }
    return line;
}

// The SAPI voice speaks on a thread of its own: the child waits, bounded,
// for every utterance to be recorded before it exits.
void speakAndAwait(const std::wstring& record, std::size_t utterances)
{
    speech::load();
    speech::announce(u"Monitorando.");
    speech::speak(u"Ol\u00E1 <b>", "en");
    speech::speak(u"\u4F60\u597D", "zh-CN");
    speech::speak(u"Tradu\u00E7\u00E3o", "pt-BR");
    for (int tries = 0; tries < 500 && lines(record).size() < utterances; ++tries)
        Sleep(10);
    std::exit(0);
}

// What the fallback must say for speakAndAwait(): each text whole, as plain
// text, in the language's voice where one is installed.
const std::vector<std::string> sapiSpoken = {
    speakRecord(u"Monitorando.", "Speak TestPortuguese text"),
    speakRecord(u"Ol\u00E1 <b>", "Speak TestEnglish text"),
    speakRecord(u"\u4F60\u597D", "Speak - text"),
    speakRecord(u"Tradu\u00E7\u00E3o", "Speak TestPortuguese text"),
};

class SapiFallback : public testing::Test {
protected:
    void SetUp() override
    {
        DeleteFileW(tolkRecord.c_str());
        DeleteFileW(sapiRecord.c_str());
        SetEnvironmentVariableW(L"TARSEL_TOLK_STUB_LOG", tolkRecord.c_str());
        SetEnvironmentVariableW(L"TARSEL_SAPI_STUB_LOG", sapiRecord.c_str());
    }
    void TearDown() override { SetEnvironmentVariableW(L"TARSEL_TOLK_STUB_NO_SCREEN_READER", nullptr); }

    const std::wstring tolkRecord = programDirectory() + L"\\tolk-calls.txt";
    const std::wstring sapiRecord = programDirectory() + L"\\sapi-calls.txt";
};

TEST_F(SapiFallback, WithoutTolkDllTheSapiVoiceSpeaksInTheTextsLanguage)
{
    EXPECT_EXIT(speakAndAwait(sapiRecord, sapiSpoken.size()), testing::ExitedWithCode(0), "");
    EXPECT_EQ(lines(sapiRecord), sapiSpoken);
    EXPECT_EQ(lines(tolkRecord), std::vector<std::string>());
}

TEST_F(SapiFallback, WhenTolkFindsNoScreenReaderTheSapiVoiceSpeaks)
{
    SetEnvironmentVariableW(L"TARSEL_TOLK_STUB_NO_SCREEN_READER", L"1");
    EXPECT_EXIT(
        {
            SetDllDirectoryW((programDirectory() + L"\\tolk-stub").c_str());
            speakAndAwait(sapiRecord, sapiSpoken.size());
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(lines(sapiRecord), sapiSpoken);
    EXPECT_EQ(lines(tolkRecord), std::vector<std::string>{"Tolk_Load"});
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

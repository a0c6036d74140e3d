// The log as the Windows runtime writes it: a text-mode stream, so each line
// ends in CR LF, with the message bytes unchanged. Runs in the working
// directory, which scripts/test-windows.sh makes afresh.
#include "support/logger.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace {

template <typename Path>
std::string contents(const Path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(WindowsLog, OpeningEmptiesTheLogAndLinesKeepTheirLatin1Bytes)
{
    std::ofstream("log.log", std::ios::binary) << "linha de uma execu\xE7\xE3o anterior\r\n";
    logger::open("log.log");
    EXPECT_EQ(contents("log.log"), "");

    logger::write("Exce\xE7\xE3o na fun\xE7\xE3o translator::translate: Descri\xE7\xE3o: x");
    logger::write("");
    logger::write("Erro ao traduzir. String vazia.");
    EXPECT_EQ(contents("log.log"),
              "Exce\xE7\xE3o na fun\xE7\xE3o translator::translate: Descri\xE7\xE3o: x\r\n"
              "\r\n"
              "Erro ao traduzir. String vazia.\r\n");
}

// A working directory where log.log cannot be made (as root under Wine no
// folder is read-only; a folder in its place blocks it just the same).
TEST(WindowsLog, WhereTheWorkingDirectoryRefusesItTheLogGoesToLocalAppData)
{
    wchar_t* base = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &base)));
    const std::wstring log = std::wstring(base) + L"\\Tarsel Translator\\log.log";
    CoTaskMemFree(base);
    std::ofstream(log.c_str(), std::ios::binary) << "linha anterior\r\n";
    CreateDirectoryW(L"blocked", nullptr);
    CreateDirectoryW(L"blocked\\log.log", nullptr);
    EXPECT_EXIT(
        {
            SetCurrentDirectoryW(L"blocked");
            logger::open("log.log");
            logger::write("Erro ao traduzir.");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(contents(log.c_str()), "Erro ao traduzir.\r\n");
    DeleteFileW(log.c_str());
}

}  // namespace

// The log as the Windows runtime writes it: a text-mode stream, so each line
// ends in CR LF, with the message bytes unchanged. Runs in the working
// directory, which scripts/test-windows.sh makes afresh.
#include "support/logger.h"

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string contents(const char* path)
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

}  // namespace

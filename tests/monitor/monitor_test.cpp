// The clipboard monitor's and the translate command's rules, with fake
// clipboard, translator and speech: every call they make is one event, and
// each row lists them all, so an extra translation, write or utterance fails it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "monitor/clipboard_monitor.h"
#include "monitor/secret_texts.h"
#include "monitor/spoken_messages.h"
#include "monitor/translate_command.h"
#include "support/logger.h"
#include "tests/monitor/fake_services.h"
#include "tests/tools/test_child.h"

namespace {

using outcome = fakeSystem::outcome;
using namespace std::chrono_literals;

const std::string on = "say:" + std::string(spokenMessages::monitoringOn);
const std::string off = "say:" + std::string(spokenMessages::monitoringOff);
const std::string failed = "say:" + std::string(spokenMessages::translationFailed);
const std::string tooLong = "say:" + std::string(spokenMessages::textTooLong);
const std::string pair = "pair:pt>en";

// "copy:T" another program copies T; "secret:T" a password manager copies T,
// marked secret; "late:T" another program copies T while the clipboard is
// next read; "take-over" a clipboard manager copies, unmarked, the text the
// next read finds, just after it; "F1"; "own:T" the command writes T;
// "release" a blocked translation answers; "wait:E" until event E;
// "read:T" until the monitor has read the clipboard holding T; "busy" the
// next read finds the clipboard held; "notices-end" change notices stop;
// "unnoticed:T" a copy of T that no notice reports; "asked" until the
// monitor has asked for the change count since;
// "off?" monitoring is off; "stop" closing.
struct monitorRow {
    const char* name;
    std::map<std::string, outcome> script;
    std::vector<std::string> steps;
    std::vector<std::string> events;
    tarselTranslatorMonitorTiming timing = {};
    const char* logged = nullptr;
};

const std::string longText(20001, 'a');
std::string astral(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "\xF0\x9F\x98\x80";
    return text;
}
const std::string longestText = astral(20000);

const monitorRow monitorRows[] = {
    {"a new text is translated, written, then spoken",
     {},
     {"copy:um", "F1", "wait:speak:en:um@en", "stop"},
     {pair, on, "translate:um", "write:en:um", "speak:en:um@en", "abort"}},
    {"a failure is heard and ends monitoring; the text is not tried again",
     {{"falha", outcome::fail}},
     {"copy:falha", "F1", "wait:" + failed, "off?", "F1", "copy:dois", "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:falha", failed, pair, on, "translate:dois", "write:en:dois", "speak:en:dois@en", "abort"}},
    {"F1 during a check is heard at once; the check ends as it would have",
     {{"lento", outcome::block}},
     {"copy:lento", "F1", "wait:translate:lento", "F1", "wait:" + off, "release", "wait:speak:en:lento@en", "off?",
      "stop"},
     {pair, on, "translate:lento", off, "write:en:lento", "speak:en:lento@en", "abort"}},
    {"F1 during a failing check stays off",
     {{"lento", outcome::blockThenFail}},
     {"copy:lento", "F1", "wait:translate:lento", "F1", "wait:" + off, "release", "wait:" + failed, "off?", "stop"},
     {pair, on, "translate:lento", off, failed, "abort"}},
    {"closing during a check writes and says nothing",
     {{"lento", outcome::block}},
     {"copy:lento", "F1", "wait:translate:lento", "stop"},
     {pair, on, "translate:lento", "abort"}},
    {"a text copied during a translation is kept and translated next",
     {{"lento", outcome::block}},
     {"copy:lento", "F1", "wait:translate:lento", "copy:dois", "release", "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:lento", "translate:dois", "write:en:dois", "speak:en:dois@en", "abort"}},
    {"a translation holding a NUL is remembered as written",
     {{"zero", outcome::nul}},
     {"copy:zero", "F1", "wait:speak:en:zero\\0tail@en", "copy:en:zero", "read:en:zero", "copy:dois",
      "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:zero", "write:en:zero", "speak:en:zero\\0tail@en", "translate:dois", "write:en:dois",
      "speak:en:dois@en", "abort"}},
    {"the command's own text is no change",
     {},
     {"F1", "own:en:dois", "read:en:dois", "copy:tres", "wait:speak:en:tres@en", "stop"},
     {pair, on, "translate:tres", "write:en:tres", "speak:en:tres@en", "abort"}},
    {"a text over 20000 characters is refused once and monitoring goes on",
     {},
     {"copy:" + longText, "F1", "wait:" + tooLong, "copy:dois", "wait:speak:en:dois@en", "stop"},
     {pair, on, tooLong, "translate:dois", "write:en:dois", "speak:en:dois@en", "abort"}},
    {"20000 characters outside the BMP are translated",
     {},
     {"copy:" + longestText, "F1", "wait:speak:en:" + longestText + "@en", "stop"},
     {pair, on, "translate:" + longestText, "write:en:" + longestText, "speak:en:" + longestText + "@en", "abort"}},
    {"an exception is logged, heard and ends monitoring",
     {{"erro", outcome::throwError}},
     {"copy:erro", "F1", "wait:" + failed, "off?", "stop"},
     {pair, on, "translate:erro", failed, "abort"},
     {},
     "Exce\xE7\xE3o na fun\xE7\xE3o tarselTranslatorDialog::MonitorClipboard: Descri\xE7\xE3o: scripted"},
    {"a change is checked at once, not at the next poll",
     {},
     {"copy:um", "F1", "wait:speak:en:um@en", "copy:dois", "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:um", "write:en:um", "speak:en:um@en", "translate:dois", "write:en:dois", "speak:en:dois@en",
      "abort"},
     {std::chrono::hours(1), 0ms}},
    {"a busy clipboard is read again at the next poll",
     {},
     {"busy", "copy:um", "F1", "wait:speak:en:um@en", "stop"},
     {pair, on, "translate:um", "write:en:um", "speak:en:um@en", "abort"}},
    {"once notices end, the poll finds what no notice reported",
     {},
     {"copy:um", "F1", "wait:speak:en:um@en", "read:en:um", "notices-end", "asked", "unnoticed:dois",
      "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:um", "write:en:um", "speak:en:um@en", "translate:dois", "write:en:dois", "speak:en:dois@en",
      "abort"},
     {50ms, 0ms}},
    {"a secret is never sent, even when a clipboard manager offers it again unmarked",
     {},
     {"F1", "read:", "take-over", "secret:s3nha", "read:secret:s3nha", "read:s3nha", "copy:dois",
      "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:dois", "write:en:dois", "speak:en:dois@en", "abort"}},
    {"a copy made while the clipboard is read is translated once",
     {},
     {"late:um", "F1", "wait:speak:en:um@en", "stop"},
     {pair, on, "translate:um", "write:en:um", "speak:en:um@en", "abort"}},
    {"a burst of changes is checked once",
     {},
     {"F1", "read:", "copy:um", "copy:dois", "wait:speak:en:dois@en", "stop"},
     {pair, on, "translate:dois", "write:en:dois", "speak:en:dois@en", "abort"},
     {std::chrono::hours(1), 2s}},
};

void PrintTo(const monitorRow& row, std::ostream* out)
{
    *out << row.name;
}

class monitorTable : public testing::TestWithParam<monitorRow> {};

// The log is process-wide: one file for every row that runs in this process.
std::string logFile()
{
    static const std::string path = [] {
        const std::string path = (testing_support::temporaryFolder("tarsel-monitor") / "log.log").string();
        logger::open(path);
        return path;
    }();
    return path;
}

std::string logged()
{
    std::ifstream file(logFile(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST_P(monitorTable, row)
{
    const monitorRow& row = GetParam();
    ASSERT_FALSE(logFile().empty());
    fakeSystem fake;
    fake.script = row.script;
    tarselTranslatorClipboardMonitor monitor(fake.services(), fake.clipboard(), {}, row.timing);
    for (const std::string& step : row.steps) {
        const std::string argument = step.substr(step.find(':') + 1);
        if (step.starts_with("copy:")) {
            fake.copy(utf8ToWide(argument));
        } else if (step == "take-over") {
            fake.takeOverAfterNextRead();
        } else if (step.starts_with("late:")) {
            fake.copyDuringNextRead(utf8ToWide(argument));
        } else if (step.starts_with("secret:")) {
            fake.copy(utf8ToWide(argument), true);
        } else if (step == "F1") {
            monitor.toggle(std::pair<std::string, std::string>("pt", "en"));
        } else if (step.starts_with("own:")) {
            monitor.writeOwnText(utf8ToWide(argument));
        } else if (step == "release") {
            fake.release();
        } else if (step == "busy") {
            fake.busy();
        } else if (step == "notices-end") {
            fake.endNotices();
        } else if (step == "asked") {
            ASSERT_TRUE(fake.waitAsked());
        } else if (step.starts_with("unnoticed:")) {
            fake.copyUnnoticed(utf8ToWide(argument));
        } else if (step.starts_with("wait:")) {
            ASSERT_TRUE(fake.waitFor(argument)) << argument.substr(0, 80);
        } else if (step.starts_with("read:")) {
            ASSERT_TRUE(fake.waitRead(utf8ToWide(argument))) << argument;
        } else if (step == "off?") {
            EXPECT_FALSE(monitor.isMonitoring());
        } else if (step == "stop") {
            monitor.stop();
        }
    }
    EXPECT_EQ(fake.recorded(), row.events);
    if (row.logged) {
        EXPECT_NE(logged().find(std::string(row.logged) + "\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(monitor, monitorTable, testing::ValuesIn(monitorRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

// The reference vectors of SipHash-2-4: key 00..0f, message 00..(n-1).
TEST(secretTexts, DigestIsSipHash24)
{
    const std::array<std::uint64_t, 2> key = {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    unsigned char message[15];
    for (unsigned char i = 0; i < sizeof message; ++i)
        message[i] = i;
    EXPECT_EQ(sipHash24(key, message, 0), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(sipHash24(key, message, 1), 0x74f839c593dc67fdULL);
    EXPECT_EQ(sipHash24(key, message, 15), 0xa129ca6149be45e5ULL);
}

TEST(secretTexts, KeepsTheLastOnesOnly)
{
    secretTexts secrets(2);
    secrets.remember(u"um");
    secrets.remember(u"dois");
    secrets.remember(u"um");
    EXPECT_TRUE(secrets.contains(u"um") && secrets.contains(u"dois"));
    EXPECT_FALSE(secrets.contains(u"umm"));
    secrets.remember(u"tres");
    EXPECT_FALSE(secrets.contains(u"um"));
    EXPECT_TRUE(secrets.contains(u"dois") && secrets.contains(u"tres"));
}

// "run:T" Enter on T; "release"; "wait:E"; "stop".
struct commandRow {
    const char* name;
    std::map<std::string, outcome> script;
    std::vector<std::string> steps;
    std::vector<std::string> events;
};

const commandRow commandRows[] = {
    {"spoken, then handed back to show and copy",
     {},
     {"run:um", "wait:shown:1:en:um", "stop"},
     {pair, "translate:um", "speak:en:um@en", "shown:1:en:um"}},
    {"a failure is heard and nothing is handed back",
     {{"falha", outcome::fail}},
     {"run:falha", "wait:" + failed, "stop"},
     {pair, "translate:falha", failed}},
    {"a newer text drops the one in flight",
     {{"lento", outcome::block}},
     {"run:lento", "wait:translate:lento", "run:dois", "wait:shown:2:en:dois", "release", "stop"},
     {pair, "translate:lento", pair, "translate:dois", "speak:en:dois@en", "shown:2:en:dois"}},
    {"closing drops the one in flight",
     {{"lento", outcome::block}},
     {"run:lento", "wait:translate:lento", "stop"},
     {pair, "translate:lento"}},
    {"an exception is heard",
     {{"erro", outcome::throwError}},
     {"run:erro", "wait:" + failed, "stop"},
     {pair, "translate:erro", failed}},
};

void PrintTo(const commandRow& row, std::ostream* out)
{
    *out << row.name;
}

class commandTable : public testing::TestWithParam<commandRow> {};

TEST_P(commandTable, row)
{
    const commandRow& row = GetParam();
    fakeSystem fake;
    fake.script = row.script;
    tarselTranslatorTranslateCommand command(
        fake.services(), [&](std::uint64_t ticket, const std::u16string& translation) {
            fake.record("shown:" + std::to_string(ticket) + ":" + wideToUtf8(translation));
        });
    for (const std::string& step : row.steps) {
        const std::string argument = step.substr(step.find(':') + 1);
        if (step.starts_with("run:")) {
            command.run("pt", "en", utf8ToWide(argument));
        } else if (step == "release") {
            fake.release();
        } else if (step.starts_with("wait:")) {
            ASSERT_TRUE(fake.waitFor(argument)) << argument;
        } else if (step == "stop") {
            command.stop();
        }
    }
    EXPECT_EQ(fake.recorded(), row.events);
}

INSTANTIATE_TEST_SUITE_P(command, commandTable, testing::ValuesIn(commandRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

}  // namespace

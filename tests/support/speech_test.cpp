// Speech as the daemon receives it: the speech component is pointed
// (SPEECHD_ADDRESS) at tests/tools/fake_speechd.py, which records every
// utterance. The speech component keeps process-wide state, so each test runs
// in a forked child; the child's failures are printed there and make it exit
// non-zero.
#include "support/speech.h"
#include "tests/tools/test_child.h"

#include <gtest/gtest.h>
#include <picojson.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using testing_support::waitUntil;

struct Recorded {
    std::string text, language, priority, clientName, ssmlMode;
};

std::string field(const picojson::object& entry, const char* key)
{
    const auto found = entry.find(key);
    return found != entry.end() && found->second.is<std::string>() ? found->second.get<std::string>() : "(null)";
}

std::vector<Recorded> recorded(const fs::path& log)
{
    std::vector<Recorded> result;
    std::ifstream in(log, std::ios::binary);
    for (std::string line; std::getline(in, line) && !in.eof();) {
        picojson::value entry;
        if (!picojson::parse(entry, line).empty() || !entry.is<picojson::object>())
            continue;
        const auto& object = entry.get<picojson::object>();
        result.push_back({field(object, "text"), field(object, "language"), field(object, "priority"),
                          field(object, "client_name"), field(object, "ssml_mode")});
    }
    return result;
}

// The fake daemon as a child process: listening once constructed, stopped
// with SIGTERM when destroyed. `misbehaviour`: its options --mute-first or
// --slow-first SECONDS.
class FakeSpeechd {
public:
    FakeSpeechd(const fs::path& socket, const fs::path& log, std::vector<const char*> misbehaviour = {})
        : daemon(arguments(socket, log, misbehaviour), testing_support::childProcess::pipeTo::stdoutOfChild, true)
    {
        listening = daemon.readUntil("READY", 10s).has_value();
    }

    bool ready() const { return listening; }

private:
    static std::vector<std::string> arguments(const fs::path& socket, const fs::path& log,
                                              const std::vector<const char*>& misbehaviour)
    {
        std::vector<std::string> argv = {TARSEL_PYTHON, TARSEL_FAKE_SPEECHD, "--socket", socket.string(),
                                         "--log",       log.string()};
        argv.insert(argv.end(), misbehaviour.begin(), misbehaviour.end());
        return argv;
    }

    testing_support::childProcess daemon;
    bool listening = false;
};

class SpeechTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = testing_support::temporaryFolder("tarsel-speech");
        socketPath = dir / "speechd.sock";
        logPath = dir / "speech.jsonl";
        setenv("SPEECHD_ADDRESS", ("unix_socket:" + socketPath.string()).c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs `scenario` in a fresh process, where speech has never been used.
    template <typename Scenario>
    void inChild(Scenario scenario)
    {
        EXPECT_EXIT(runThenExit(scenario), ::testing::ExitedWithCode(0), "");
    }

    // GoogleTest prints nothing in a death-test child: its failures go to
    // stderr, which the parent shows. exit(), not _exit(), so that the leak
    // checker of a sanitizer build looks at the child too.
    template <typename Scenario>
    [[noreturn]] static void runThenExit(Scenario& scenario)
    {
        scenario();
        std::fflush(stdout);
        const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result->total_part_count(); ++i) {
            const auto& part = result->GetTestPartResult(i);
            if (part.failed())
                std::fprintf(stderr, "line %d: %s\n", part.line_number(), part.message());
        }
        std::exit(result->Failed() ? 1 : 0);
    }

    bool waitForCount(size_t count, Clock::duration timeout = 20s) const
    {
        return waitUntil([&] { return recorded(logPath).size() >= count; }, timeout);
    }

    // Speaks `text` again and again until `log` holds an utterance.
    static bool speakUntilHeard(const fs::path& log, const std::u16string& text)
    {
        return waitUntil(
            [&] {
                speech::speak(text);
                return waitUntil([&] { return !recorded(log).empty(); }, 200ms);
            },
            15s);
    }

    fs::path dir, socketPath, logPath;
};

struct Row {
    std::u16string text;
    std::optional<std::string> language;  // nullopt: the one-argument form
    const char* expectedText;             // UTF-8
    const char* expectedLanguage;
    bool announced = false;  // a fixed message: announce(), priority "important"
};

const std::vector<Row> rows = {
    {u"Monitorando.", std::nullopt, "Monitorando.", "pt-BR", true},
    {u"Tradução: ação, coração, pôr-do-sol", std::nullopt, "Tradução: ação, coração, pôr-do-sol", "pt-BR"},
    {u"{} {0} {chave} %s %d %n", std::nullopt, "{} {0} {chave} %s %d %n", "pt-BR"},
    {u"antes\n.\ndepois", std::nullopt, "antes\n.\ndepois", "pt-BR"},
    {u".\r\n.\r\nfim", std::nullopt, ".\r\n.\r\nfim", "pt-BR"},
    {u".", std::nullopt, ".", "pt-BR"},
    {u"<speak>texto, não marcação</speak>", std::nullopt, "<speak>texto, não marcação</speak>", "pt-BR"},
    {u"Hello, world", "en", "Hello, world", "en"},
    {u"Deixando de monitorar.", std::nullopt, "Deixando de monitorar.", "pt-BR", true},
    {u"你好 😀", "zh-CN", "你好 😀", "zh-CN"},
    {u"Sugeng enjing", "jw", "Sugeng enjing", "jv"},
    {u"Magandang umaga", "tl", "Magandang umaga", "fil"},
    {u"早安", "zh-TW", "早安", "zh-TW"},
    {u"De volta ao português", std::nullopt, "De volta ao português", "pt-BR"},
    {u"Código estranho", "en\r\nQUIT", "Código estranho", "pt-BR"},
};

TEST_F(SpeechTest, TextsArriveUnchangedWithTheirLanguage)
{
    FakeSpeechd daemon(socketPath, logPath);
    ASSERT_TRUE(daemon.ready());
    inChild([&] {
        speech::load();
        for (const Row& row : rows) {
            if (row.announced)
                speech::announce(row.text);
            else if (row.language)
                speech::speak(row.text, *row.language);
            else
                speech::speak(row.text);
        }
        ASSERT_TRUE(waitForCount(rows.size()));
        const auto got = recorded(logPath);
        ASSERT_EQ(got.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(got[i].text, rows[i].expectedText) << "utterance " << i;
            EXPECT_EQ(got[i].language, rows[i].expectedLanguage) << "utterance " << i;
            EXPECT_EQ(got[i].priority, rows[i].announced ? "important" : "text") << "utterance " << i;
            EXPECT_EQ(got[i].ssmlMode, "off");
            EXPECT_NE(got[i].clientName.find(":tarsel-translator:"), std::string::npos) << got[i].clientName;
        }
    });
}

// Each thread speaks in its own language: no text may be cut, lost, doubled,
// reordered within its thread or spoken with the other thread's language.
TEST_F(SpeechTest, TwoThreadsArriveWholeInTheirOwnLanguage)
{
    constexpr int perThread = 100;
    const auto text = [](char thread, int i) {
        return std::string("fio ") + thread + " frase " + std::to_string(i) + "\n" + std::string(400, thread);
    };
    FakeSpeechd daemon(socketPath, logPath);
    ASSERT_TRUE(daemon.ready());
    inChild([&] {
        speech::load();
        auto speaker = [&](char thread, const char* language) {
            for (int i = 0; i < perThread; ++i) {
                const std::string utf8 = text(thread, i);
                speech::speak(std::u16string(utf8.begin(), utf8.end()), language);
            }
        };
        std::thread a(speaker, 'a', "en"), b(speaker, 'b', "pt-BR");
        a.join();
        b.join();
        ASSERT_TRUE(waitForCount(2 * perThread));
        const auto got = recorded(logPath);
        ASSERT_EQ(got.size(), 2u * perThread);
        int next[2] = {0, 0};
        for (const Recorded& r : got) {
            const char thread = r.text.size() > 4 ? r.text[4] : '?';
            ASSERT_TRUE(thread == 'a' || thread == 'b') << r.text;
            const int t = thread - 'a';
            EXPECT_EQ(r.text, text(thread, next[t]++));
            EXPECT_EQ(r.language, t == 0 ? "en" : "pt-BR") << r.text;
        }
    });
}

// No daemon: load and speak return at once and say nothing. A daemon that
// appears later is found, and one that goes away (which raises SIGPIPE on
// the next write) is survived and found again when it returns.
TEST_F(SpeechTest, MissingDaemonIsSilenceAndLaterSpeechReconnects)
{
    inChild([&] {
        const auto microseconds = [](auto duration) {
            return static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
        };
        const auto start = Clock::now();
        speech::load();
        const auto loaded = Clock::now();
        speech::speak(u"Ningu\u00e9m ouve");
        std::printf("without a daemon: load %lld us, speak %lld us\n", microseconds(loaded - start),
                    microseconds(Clock::now() - loaded));
        {
            FakeSpeechd daemon(socketPath, logPath);
            ASSERT_TRUE(daemon.ready());
            ASSERT_TRUE(speakUntilHeard(logPath, u"De volta"));
            EXPECT_EQ(recorded(logPath).front().text, "De volta") << "nothing said without a daemon comes late";
        }
        speech::speak(u"Ao vento");
        const fs::path secondLog = dir / "second.jsonl";
        FakeSpeechd restarted(socketPath, secondLog);
        ASSERT_TRUE(restarted.ready());
        EXPECT_TRUE(speakUntilHeard(secondLog, u"Outra vez"));
    });
}

// A daemon that takes the connection and never answers costs one bounded
// wait: a later utterance connects afresh and is heard.
TEST_F(SpeechTest, DaemonThatNeverAnswersIsTriedAgainLater)
{
    FakeSpeechd daemon(socketPath, logPath, {"--mute-first"});
    ASSERT_TRUE(daemon.ready());
    inChild([&] {
        speech::load();
        EXPECT_TRUE(speakUntilHeard(logPath, u"Ouvida"));
    });
}

// A text whose reply comes after the time-out may have been queued: it is
// not sent again, and the next one still goes out.
TEST_F(SpeechTest, LateReplyNeverMakesATextSpokenTwice)
{
    FakeSpeechd daemon(socketPath, logPath, {"--slow-first", "4"});
    ASSERT_TRUE(daemon.ready());
    inChild([&] {
        speech::load();
        speech::speak(u"Uma vez");
        speech::speak(u"Depois");
        const auto texts = [&] {
            std::vector<std::string> said;
            for (const Recorded& r : recorded(logPath))
                said.push_back(r.text);
            return said;
        };
        ASSERT_TRUE(waitUntil([&] { return !texts().empty() && texts().back() == "Depois"; }, 20s));
        EXPECT_EQ(texts(), (std::vector<std::string>{"Uma vez", "Depois"}));
    });
}

}  // namespace

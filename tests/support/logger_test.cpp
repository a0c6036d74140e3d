// The logger keeps process-wide state with no way to close it, so every
// scenario runs in a forked child, in a fresh working directory; the parent
// reads the files afterwards. The child ends with _exit, which skips the
// stream's destructor: what the files hold was flushed by write() itself.
#include "support/logger.h"

#include <gtest/gtest.h>

#include "tests/tools/test_child.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

// The children end with _exit, which skips the sanitizer's own exit code: a
// ThreadSanitizer report must end the child at once to fail the test.
extern "C" const char* __tsan_default_options()
{
    return "halt_on_error=1";
}

namespace {

constexpr char logName[] = "log.log";
constexpr char fallbackName[] = "default log file.txt";
constexpr char linkTarget[] = "documento.txt";

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { dir = testing_support::temporaryFolder("tarsel-logger"); }
    void TearDown() override { fs::remove_all(dir); }

    // Runs `scenario` in a child process whose working directory is `dir`.
    template <typename Scenario>
    void inChild(Scenario scenario)
    {
        EXPECT_EXIT(
            {
                if (chdir(dir.c_str()) != 0)
                    _exit(2);
                scenario();
                _exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }

    // The file's bytes, or nullopt when no regular file has that name.
    std::optional<std::string> contents(const char* name) const
    {
        if (!fs::is_regular_file(dir / name))
            return std::nullopt;
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // A directory in the place of a log file: no one, root included, can
    // open it for writing.
    void block(const char* name) { fs::create_directory(dir / name); }
    void plant(const char* name) { std::ofstream(dir / name) << "linha antiga\n"; }
    // A symbolic link in the place of a log file, to a file of the user's.
    void link(const char* name)
    {
        plant(linkTarget);
        fs::create_symlink(linkTarget, dir / name);
    }

    fs::path dir;
};

struct Case {
    const char* name;
    std::vector<const char*> stale;    // files holding a line from an earlier run
    std::vector<const char*> blocked;  // names that cannot be created
    std::vector<const char*> linked;   // symbolic links to linkTarget
    bool openLog;                      // start-up's logger::open("log.log")
    std::vector<std::string> messages;
    std::map<std::string, std::optional<std::string>> expected;  // nullopt: no such file
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

const Case cases[] = {
    {"LogEmptiedAtOpen", {logName}, {}, {}, true, {}, {{logName, ""}, {fallbackName, std::nullopt}}},
    {"OneLinePerMessageLatin1Unchanged",
     {logName},
     {},
     {},
     true,
     {"Exce\xE7\xE3o na fun\xE7\xE3o translator::translate", "", "a{}b"},
     {{logName, "Exce\xE7\xE3o na fun\xE7\xE3o translator::translate\n\na{}b\n"}, {fallbackName, std::nullopt}}},
    {"LineBreakGivesSeveralLines", {}, {}, {}, true, {"um\ndois"}, {{logName, "um\ndois\n"}}},
    {"FallbackWhenLogCannotBeCreated",
     {fallbackName},
     {logName},
     {},
     true,
     {"primeira", "segunda"},
     {{fallbackName, "primeira\nsegunda\n"}}},
    {"FallbackWhenLogIsALink",
     {},
     {},
     {logName},
     true,
     {"primeira"},
     {{linkTarget, "linha antiga\n"}, {fallbackName, "primeira\n"}}},
    {"FallbackWhenNothingOpened",
     {},
     {},
     {},
     false,
     {"sem abertura"},
     {{fallbackName, "sem abertura\n"}, {logName, std::nullopt}}},
    {"SilentWhenNeitherCanBeCreated",
     {},
     {logName, fallbackName},
     {},
     true,
     {"perdida", "outra"},
     {{logName, std::nullopt}, {fallbackName, std::nullopt}}},
};

class LoggerCase : public LoggerTest, public ::testing::WithParamInterface<Case> {};

TEST_P(LoggerCase, FilesHoldExactlyTheMessages)
{
    const Case& c = GetParam();
    for (const char* name : c.stale)
        plant(name);
    for (const char* name : c.blocked)
        block(name);
    for (const char* name : c.linked)
        link(name);
    inChild([&] {
        if (c.openLog)
            logger::open(logName);
        for (const std::string& message : c.messages)
            logger::write(message);
    });
    for (const auto& [name, expected] : c.expected)
        EXPECT_EQ(contents(name.c_str()), expected) << name;
}

INSTANTIATE_TEST_SUITE_P(Log, LoggerCase, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(LoggerTest, LoggingResumesOnceTheFallbackCanBeCreated)
{
    block(logName);
    block(fallbackName);
    inChild([&] {
        logger::open(logName);
        logger::write("perdida");
        fs::remove(fallbackName);
        logger::write("guardada");
    });
    EXPECT_EQ(contents(fallbackName), "guardada\n");
}

// Both threads find no file open and race to open the fallback; it must be
// opened (and emptied) once, and no line may be cut or mixed with another.
TEST_F(LoggerTest, TwoThreadsWriteWholeLines)
{
    constexpr int perThread = 2000;
    const auto message = [](char thread, int i) { return std::string(300, thread) + std::to_string(i); };
    inChild([&] {
        auto writer = [&](char thread) {
            for (int i = 0; i < perThread; ++i)
                logger::write(message(thread, i));
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
    });

    std::multiset<std::string> expected;
    for (int i = 0; i < perThread; ++i) {
        expected.insert(message('a', i));
        expected.insert(message('b', i));
    }
    std::multiset<std::string> lines;
    std::ifstream in(dir / fallbackName, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    EXPECT_TRUE(lines == expected) << lines.size() << " lines, " << expected.size() << " expected";
}

}  // namespace

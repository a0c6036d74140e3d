// The Win32 clipboard access, against Wine's clipboard (or Windows' own).
// Other programs are played by helpers that use the Win32 calls directly, and,
// under Wine, by xclip on the X display that Wine bridges its clipboard to.
#include "monitor/clipboard.h"
#include "support/text_conversion.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

struct Format {
    UINT id;
    std::string bytes;
};

std::string bytesOf(const std::u16string& units)
{
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

UINT registeredFormat(const wchar_t* name)
{
    return RegisterClipboardFormatW(name);
}

std::string dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A DROPFILES header (files from offset 20, wide names) and one name.
std::string droppedFile()
{
    return dword(20) + std::string(12, '\0') + dword(1) + bytesOf(std::u16string(u"C:\\a\0\0", 6));
}

const Format plainText{CF_UNICODETEXT, bytesOf(std::u16string(u"texto\0", 6))};

// Crosses the 4 MiB read limit between the halves of a surrogate pair.
constexpr std::size_t readLimitUnits = 2 * 1024 * 1024;
const std::u16string beyondTheLimit =
    std::u16string(readLimitUnits - 1, u'a') + u"\U0001F600" + std::u16string(100, u'b');

// A message-only window of the calling thread, as another program's
// clipboard code has.
class MessageWindow {
public:
    MessageWindow()
        : window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                                 nullptr))
    {
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    ~MessageWindow()
    {
        if (window)
            DestroyWindow(window);
    }
    HWND get() const { return window; }

private:
    HWND window;
};

// Replaces the clipboard's content the way another program does: opened with
// a window of its own, each format in its own movable block.
bool putOnClipboard(const std::vector<Format>& formats)
{
    const MessageWindow window;
    bool placed = window.get() != nullptr && OpenClipboard(window.get());
    if (placed) {
        EmptyClipboard();
        for (const auto& format : formats) {
            HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, format.bytes.size());
            if (void* data = block ? GlobalLock(block) : nullptr) {
                std::memcpy(data, format.bytes.data(), format.bytes.size());
                GlobalUnlock(block);
            }
            if (!block || !SetClipboardData(format.id, block)) {
                GlobalFree(block);
                placed = false;
            }
        }
        CloseClipboard();
    }
    return placed;
}

// Polls `condition` until it holds or the deadline passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds deadline = 20s)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        Sleep(20);
    }
    return true;
}

bool clipboardCanBeOpened()
{
    if (!OpenClipboard(nullptr))
        return false;
    CloseClipboard();
    return true;
}

struct RoundTripCase {
    const char* name;
    std::u16string text;
};

class ClipboardRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(ClipboardRoundTrip, ReadsBackWhatWasWritten)
{
    writeClipboardText(GetParam().text);
    EXPECT_EQ(readClipboardText().text, GetParam().text);
    EXPECT_TRUE(IsClipboardFormatAvailable(CF_UNICODETEXT));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ClipboardRoundTrip,
    testing::Values(RoundTripCase{"ascii", u"Hello"},
                    RoundTripCase{"accents", u"Tradu\u00E7\u00E3o conclu\u00EDda, cora\u00E7\u00E3o"},
                    RoundTripCase{"emoji", u"Bom dia \U0001F600\U0001F44D"}, RoundTripCase{"lines", u"um\r\ndois\r\n"},
                    RoundTripCase{"long", std::u16string(5000, u'\u00E9')}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReadCase {
    const char* name;
    std::vector<Format> content;
    clipboardContent expected;
};

class ClipboardRead : public testing::TestWithParam<ReadCase> {};

// What other programs leave on the clipboard, and what the reader makes of it.
TEST_P(ClipboardRead, ReadsTheUnicodeTextOnly)
{
    ASSERT_TRUE(putOnClipboard(GetParam().content));
    EXPECT_TRUE(readClipboardText() == GetParam().expected);
    EXPECT_TRUE(clipboardCanBeOpened());
    for (const auto& format : GetParam().content)
        EXPECT_TRUE(IsClipboardFormatAvailable(format.id)) << "format " << format.id << " was removed";
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ClipboardRead,
    testing::Values(
        ReadCase{"embedded_nul", {{CF_UNICODETEXT, bytesOf(std::u16string(u"ab\0cd\0", 6))}}, u"ab"},
        ReadCase{"another_format_only", {{registeredFormat(L"Tarsel test private format"), "\x01\x02\x03"}}, u""},
        ReadCase{"bitmap_only", {{CF_DIB, std::string(44, '\0')}}, u""},
        ReadCase{"secret_of_a_password_manager",
                 {{CF_UNICODETEXT, bytesOf(std::u16string(u"s3nha\0", 6))},
                  {registeredFormat(L"ExcludeClipboardContentFromMonitorProcessing"), std::string(4, '\0')}},
                 {u"s3nha", true}},
        ReadCase{"kept_from_history",
                 {plainText, {registeredFormat(L"CanIncludeInClipboardHistory"), dword(0)}},
                 {u"texto", true}},
        ReadCase{
            "allowed_in_history", {plainText, {registeredFormat(L"CanIncludeInClipboardHistory"), dword(1)}}, u"texto"},
        ReadCase{"kept_from_the_cloud",
                 {plainText, {registeredFormat(L"CanUploadToCloudClipboard"), dword(0)}},
                 {u"texto", true}},
        ReadCase{"hidden_from_viewers",
                 {plainText, {registeredFormat(L"Clipboard Viewer Ignore"), "\x01"}},
                 {u"texto", true}},
        ReadCase{"files_beside_text", {plainText, {CF_HDROP, droppedFile()}}, u""},
        ReadCase{"cells_of_a_spreadsheet",
                 {plainText, {CF_DIB, std::string(44, '\0')}, {registeredFormat(L"Biff12"), "\x01\x02"}},
                 u"texto"},
        ReadCase{"beyond_the_read_limit",
                 {{CF_UNICODETEXT, bytesOf(beyondTheLimit + u'\0')}},
                 std::u16string(readLimitUnits - 1, u'a')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClipboardWrite, StopsAtAnEmbeddedNul)
{
    writeClipboardText(std::u16string(u"ab\0cd", 5));
    EXPECT_EQ(readClipboardText().text, u"ab");
}

TEST(ClipboardChanges, CountedForEachChangeOfHands)
{
    const auto first = clipboardChangeCount();
    EXPECT_EQ(clipboardChangeCount(), first);
    ASSERT_TRUE(putOnClipboard({plainText}));
    const auto copied = clipboardChangeCount();
    EXPECT_NE(copied, first);
    writeClipboardText(u"escrito");
    const auto written = clipboardChangeCount();
    EXPECT_NE(written, copied);

    EXPECT_TRUE(writeClipboardTextIfUnchanged(u"inalterado", written));
    EXPECT_EQ(readClipboardText().text, u"inalterado");
    const auto before = clipboardChangeCount();
    ASSERT_TRUE(putOnClipboard({plainText}));
    EXPECT_FALSE(writeClipboardTextIfUnchanged(u"tarde", before));
    EXPECT_EQ(readClipboardText().text, u"texto");
}

TEST(ClipboardChanges, ToldToTheListener)
{
    std::atomic<int> calls{0};
    // The noticed count exists only while a listener hears of each change.
    EXPECT_FALSE(noticedClipboardChangeCount());
    setClipboardChangeListener([&] { ++calls; });
    EXPECT_EQ(noticedClipboardChangeCount(), clipboardChangeCount());
    ASSERT_TRUE(putOnClipboard({plainText}));
    EXPECT_TRUE(eventually([&] { return calls > 0; }));
    calls = 0;
    writeClipboardText(u"escrito");
    EXPECT_TRUE(eventually([&] { return calls > 0; }));
    stopClipboardAccess();
    EXPECT_FALSE(noticedClipboardChangeCount());
    calls = 0;
    writeClipboardText(u"ignorado");
    ASSERT_TRUE(putOnClipboard({plainText}));
    EXPECT_EQ(calls, 0);
}

TEST(ClipboardBusy, HeldByAnotherThreadReadsEmptyAndIsNotWritten)
{
    writeClipboardText(u"antes");
    std::promise<bool> opened;
    std::promise<void> release;
    // Like a clipboard manager, the holder opens the clipboard with its own window.
    std::thread holder([&] {
        const MessageWindow window;
        const bool open = window.get() != nullptr && OpenClipboard(window.get()) != 0;
        opened.set_value(open);
        release.get_future().wait_for(30s);
        if (open)
            CloseClipboard();
    });
    auto openedResult = opened.get_future();
    const bool holding = openedResult.wait_for(30s) == std::future_status::ready && openedResult.get();
    std::u16string whileHeld;
    if (holding) {
        whileHeld = readClipboardText().text;
        writeClipboardText(u"depois");
    }
    release.set_value();
    holder.join();
    ASSERT_TRUE(holding);
    EXPECT_EQ(whileHeld, u"");
    EXPECT_EQ(readClipboardText().text, u"antes");
}

// Under Wine a Windows program can start a Unix one, though not wait for it:
// the shell reports through a file that appears, complete, when it is done.
class XClipboard : public testing::Test {
protected:
    void SetUp() override
    {
        unixFileName = reinterpret_cast<UnixFileName>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (unixFileName == nullptr)
            GTEST_SKIP() << "not running under Wine";
        wchar_t directory[MAX_PATH];
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
        workingDirectory.assign(directory, length);
    }

    std::wstring path(const wchar_t* name) const { return workingDirectory + L"\\" + name; }

    std::string unixPath(const wchar_t* name) const
    {
        char* converted = unixFileName(path(name).c_str());
        std::string result = converted ? converted : "";
        HeapFree(GetProcessHeap(), 0, converted);
        return result;
    }

    // Runs `command` with /bin/sh and returns its standard output, or nothing
    // if it has not finished within the deadline.
    std::optional<std::string> runShell(const std::string& command, std::chrono::seconds deadline = 20s)
    {
        DeleteFileW(path(L"shell-output").c_str());
        std::ofstream(path(L"shell-script").c_str(), std::ios::binary)
            << "(" << command << ") > '" << unixPath(L"shell-output") << ".part' 2>/dev/null\n"
            << "mv '" << unixPath(L"shell-output") << ".part' '" << unixPath(L"shell-output") << "'\n";
        std::wstring commandLine = L"/bin/sh \"" + utf8ToWideString(unixPath(L"shell-script")) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process))
            return std::nullopt;
        if (process.hThread)
            CloseHandle(process.hThread);
        if (process.hProcess)
            CloseHandle(process.hProcess);
        std::optional<std::string> output;
        eventually(
            [&] {
                std::ifstream file(path(L"shell-output").c_str(), std::ios::binary);
                if (file)
                    output.emplace(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
                return output.has_value();
            },
            deadline);
        return output;
    }

    static std::wstring utf8ToWideString(const std::string& text)
    {
        const std::u16string wide = utf8ToWide(text);
        return std::wstring(wide.begin(), wide.end());
    }

private:
    using UnixFileName = char*(__cdecl*)(const wchar_t*);
    UnixFileName unixFileName = nullptr;
    std::wstring workingDirectory;
};

const std::u16string bridgedText = u"Ol\u00E1, cora\u00E7\u00E3o \U0001F600";

TEST_F(XClipboard, TextWrittenIsReadableFromX)
{
    writeClipboardText(bridgedText);
    // Wine takes the X selection on its own thread, a moment after the write.
    std::optional<std::string> seen;
    eventually([&] {
        seen = runShell("xclip -selection clipboard -o");
        return !seen || *seen == wideToUtf8(bridgedText);
    });
    ASSERT_TRUE(seen) << "xclip did not finish";
    EXPECT_EQ(*seen, wideToUtf8(bridgedText));
}

TEST_F(XClipboard, TextSetFromXIsRead)
{
    const std::u16string text = u"Vindo do X: a\u00E7\u00FAcar \U0001F34A";
    std::ofstream(path(L"x-input").c_str(), std::ios::binary) << wideToUtf8(text);
    ASSERT_TRUE(runShell("xclip -selection clipboard -i '" + unixPath(L"x-input") + "'"));
    std::u16string seen;
    eventually([&] {
        seen = readClipboardText().text;
        return seen == text;
    });
    EXPECT_EQ(seen, text);
}

}  // namespace

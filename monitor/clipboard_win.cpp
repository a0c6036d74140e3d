// The Windows clipboard's Unicode text, opened for a few calls at a time.
#include "monitor/clipboard.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// What another program may make us hold: 4 MiB of its text.
constexpr SIZE_T readLimit = 4 * 1024 * 1024 / sizeof(char16_t);

class OpenedClipboard {
public:
    explicit OpenedClipboard(HWND owner) : opened(OpenClipboard(owner) != 0) {}
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    ~OpenedClipboard()
    {
        if (opened)
            CloseClipboard();
    }
    bool open() const { return opened; }

private:
    bool opened;
};

class LockedBlock {
public:
    explicit LockedBlock(HGLOBAL block) : lockedBlock(block), lockedData(GlobalLock(block)) {}
    LockedBlock(const LockedBlock&) = delete;
    LockedBlock& operator=(const LockedBlock&) = delete;
    ~LockedBlock()
    {
        if (lockedData)
            GlobalUnlock(lockedBlock);
    }
    void* data() const { return lockedData; }

private:
    HGLOBAL lockedBlock;
    void* lockedData;
};

// Ours until the clipboard takes it.
class OwnedBlock {
public:
    explicit OwnedBlock(SIZE_T bytes) : block(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    ~OwnedBlock()
    {
        if (block)
            GlobalFree(block);
    }
    HGLOBAL get() const { return block; }
    void release() { block = nullptr; }

private:
    HGLOBAL block;
};

// EmptyClipboard after OpenClipboard(nullptr) leaves the clipboard without an
// owner, and SetClipboardData is documented to fail then. A message-only
// window of the calling thread owns it for the write and is gone right after;
// rendered (not delayed) data outlives its owner.
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

bool offered(UINT format)
{
    return format != 0 && IsClipboardFormatAvailable(format);
}

// A DWORD 0 in `format` says "not into a clipboard history" or "not to the
// cloud"; a value that cannot be read counts as that.
bool refusedBy(UINT format)
{
    if (!offered(format))
        return false;
    const HANDLE block = GetClipboardData(format);
    if (!block)
        return true;
    const LockedBlock locked(block);
    DWORD value = 0;
    if (!locked.data() || GlobalSize(block) < sizeof value)
        return true;
    std::memcpy(&value, locked.data(), sizeof value);
    return value == 0;
}

// Password managers mark a secret they copy with one of these.
bool markedSecret()
{
    static const UINT excluded = RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
    static const UINT viewerIgnore = RegisterClipboardFormatW(L"Clipboard Viewer Ignore");
    static const UINT history = RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
    static const UINT cloud = RegisterClipboardFormatW(L"CanUploadToCloudClipboard");
    return offered(excluded) || offered(viewerIgnore) || refusedBy(history) || refusedBy(cloud);
}

bool writeText(const std::u16string& text, std::optional<std::uint64_t> expected)
{
    const std::size_t length = std::min(text.size(), text.find(u'\0'));
    // The block is ready before the clipboard is emptied, so a failure leaves
    // the user's clipboard as it was.
    OwnedBlock block((length + 1) * sizeof(char16_t));
    if (!block.get())
        return false;
    {
        const LockedBlock locked(block.get());
        if (!locked.data())
            return false;
        auto* units = static_cast<char16_t*>(locked.data());
        std::memcpy(units, text.data(), length * sizeof(char16_t));
        units[length] = u'\0';
    }
    const MessageWindow owner;
    const OpenedClipboard clipboard(owner.get());
    if (!clipboard.open())
        return false;
    // No one else can change the clipboard while we hold it open.
    if (expected && GetClipboardSequenceNumber() != *expected)
        return false;
    EmptyClipboard();
    if (!SetClipboardData(CF_UNICODETEXT, block.get()))
        return false;
    block.release();
    return true;
}

std::mutex listenerMutex;
std::function<void()> changeListener;
// Whether a listener window hears of each change.
std::atomic<bool> watching{false};

void notifyListener()
{
    std::lock_guard lock(listenerMutex);
    if (changeListener)
        changeListener();
}

LRESULT CALLBACK watcherProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLIPBOARDUPDATE:
        notifyListener();
        return 0;
    case WM_CLOSE:
        watching = false;
        RemoveClipboardFormatListener(window);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The system tells a window of a clipboard format listener of each change,
// through its window procedure; this one has a thread of its own.
class ChangeWatcher {
public:
    ChangeWatcher()
    {
        std::promise<HWND> created;
        auto window = created.get_future();
        watcherThread = std::thread([&created] { run(created); });
        watcherWindow = window.get();
    }
    ChangeWatcher(const ChangeWatcher&) = delete;
    ChangeWatcher& operator=(const ChangeWatcher&) = delete;
    ~ChangeWatcher()
    {
        if (watcherWindow)
            PostMessageW(watcherWindow, WM_CLOSE, 0, 0);
        watcherThread.join();
    }

private:
    static void run(std::promise<HWND>& created)
    {
        static const ATOM windowClass = [] {
            WNDCLASSW description{};
            description.lpfnWndProc = watcherProcedure;
            description.hInstance = GetModuleHandleW(nullptr);
            description.lpszClassName = L"TarselClipboardWatcher";
            return RegisterClassW(&description);
        }();
        HWND window = windowClass ? CreateWindowExW(0, L"TarselClipboardWatcher", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                                    nullptr, GetModuleHandleW(nullptr), nullptr)
                                  : nullptr;
        if (window && !AddClipboardFormatListener(window)) {
            DestroyWindow(window);
            window = nullptr;
        }
        watching = window != nullptr;
        created.set_value(window);
        if (!window)
            return;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
    }

    std::thread watcherThread;
    HWND watcherWindow = nullptr;
};

std::mutex watcherMutex;
std::unique_ptr<ChangeWatcher> watcher;

}  // namespace

clipboardContent readClipboardText()
{
    const OpenedClipboard clipboard(nullptr);
    // Copied files come with their paths as text, which is not what the user
    // copied. Whatever else a copy offers beside text (a picture of the
    // cells, as a spreadsheet gives), the text is the copy.
    if (!clipboard.open() || offered(CF_HDROP))
        return {};
    const bool secret = markedSecret();
    const HANDLE block = GetClipboardData(CF_UNICODETEXT);
    if (!block)
        return {};
    const LockedBlock locked(block);
    if (!locked.data())
        return {};
    // Another program wrote the block and need not have ended it with a NUL;
    // GlobalSize may round up, so it only bounds the scan.
    const auto* units = static_cast<const char16_t*>(locked.data());
    const SIZE_T available = GlobalSize(block) / sizeof(char16_t);
    const SIZE_T capacity = std::min(available, readLimit);
    const char16_t* end = std::find(units, units + capacity, u'\0');
    // Cut at the limit, but not between the halves of a surrogate pair.
    const auto high = [](char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; };
    if (end == units + capacity && capacity < available && end != units && high(end[-1]))
        --end;
    try {
        return {std::u16string(units, end), secret};
    } catch (...) {
        return {};
    }
}

void writeClipboardText(const std::u16string& text)
{
    writeText(text, std::nullopt);
}

std::uint64_t clipboardChangeCount()
{
    return GetClipboardSequenceNumber();
}

// The exact count costs no more than a noticed one would.
std::optional<std::uint64_t> noticedClipboardChangeCount()
{
    if (!watching.load())
        return std::nullopt;
    return GetClipboardSequenceNumber();
}

bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t expected)
{
    return writeText(text, expected);
}

void setClipboardChangeListener(std::function<void()> notify)
{
    const bool listening = static_cast<bool>(notify);
    {
        std::lock_guard lock(listenerMutex);
        changeListener.swap(notify);
    }
    std::lock_guard lock(watcherMutex);
    try {
        if (listening && !watcher)
            watcher = std::make_unique<ChangeWatcher>();
        else if (!listening)
            watcher.reset();
    } catch (...) {
    }
}

// Only the change watcher is held between calls; a rendered text outlives
// us without a hand-over.
void stopClipboardAccess()
{
    setClipboardChangeListener({});
}

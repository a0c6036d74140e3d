// The Windows clipboard's Unicode text, opened for a few calls at a time.
#include "monitor/clipboard.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

class OpenedClipboard {
public:
    explicit OpenedClipboard(HWND owner) : open_(OpenClipboard(owner) != 0) {}
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    ~OpenedClipboard() {
        if (open_) CloseClipboard();
    }
    bool open() const { return open_; }

private:
    bool open_;
};

class LockedBlock {
public:
    explicit LockedBlock(HGLOBAL block) : block_(block), data_(GlobalLock(block)) {}
    LockedBlock(const LockedBlock&) = delete;
    LockedBlock& operator=(const LockedBlock&) = delete;
    ~LockedBlock() {
        if (data_) GlobalUnlock(block_);
    }
    void* data() const { return data_; }

private:
    HGLOBAL block_;
    void* data_;
};

// Ours until the clipboard takes it.
class OwnedBlock {
public:
    explicit OwnedBlock(SIZE_T bytes) : block_(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    ~OwnedBlock() {
        if (block_) GlobalFree(block_);
    }
    HGLOBAL get() const { return block_; }
    void release() { block_ = nullptr; }

private:
    HGLOBAL block_;
};

// EmptyClipboard after OpenClipboard(nullptr) leaves the clipboard without an
// owner, and SetClipboardData is documented to fail then. A message-only
// window of the calling thread owns it for the write and is gone right after;
// rendered (not delayed) data outlives its owner.
class MessageWindow {
public:
    MessageWindow()
        : window_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr)) {}
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    ~MessageWindow() {
        if (window_) DestroyWindow(window_);
    }
    HWND get() const { return window_; }

private:
    HWND window_;
};

// Password managers put this format beside a secret they copy.
bool markedSecret() {
    static const UINT excluded = RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
    return excluded != 0 && IsClipboardFormatAvailable(excluded);
}

}  // namespace

std::u16string readClipboardText() {
    const OpenedClipboard clipboard(nullptr);
    if (!clipboard.open() || markedSecret()) return {};
    const HANDLE block = GetClipboardData(CF_UNICODETEXT);
    if (!block) return {};
    const LockedBlock locked(block);
    if (!locked.data()) return {};
    // Another program wrote the block and need not have ended it with a NUL;
    // GlobalSize may round up, so it only bounds the scan.
    const auto* units = static_cast<const char16_t*>(locked.data());
    const SIZE_T capacity = GlobalSize(block) / sizeof(char16_t);
    try {
        return std::u16string(units, std::find(units, units + capacity, u'\0'));
    } catch (...) {
        return {};
    }
}

void writeClipboardText(const std::u16string& text) {
    const std::size_t length = std::min(text.size(), text.find(u'\0'));
    // The block is ready before the clipboard is emptied, so a failure leaves
    // the user's clipboard as it was.
    OwnedBlock block((length + 1) * sizeof(char16_t));
    if (!block.get()) return;
    {
        const LockedBlock locked(block.get());
        if (!locked.data()) return;
        auto* units = static_cast<char16_t*>(locked.data());
        std::memcpy(units, text.data(), length * sizeof(char16_t));
        units[length] = u'\0';
    }
    const MessageWindow owner;
    const OpenedClipboard clipboard(owner.get());
    if (!clipboard.open()) return;
    EmptyClipboard();
    if (SetClipboardData(CF_UNICODETEXT, block.get())) block.release();
}

// Nothing is held between calls.
void stopClipboardAccess() {}

std::uint64_t clipboardChangeCount() { return 0; }
bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t) { writeClipboardText(text); return true; }
void setClipboardChangeListener(std::function<void()>) {}

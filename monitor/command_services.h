#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "monitor/clipboard.h"

// What the translate command and the clipboard monitor use of the rest of the
// system, handed to them so that their rules run without the toolkit, the
// network or a display (tests give fakes; systemServices() gives the real ones).
struct tarselTranslatorServices {
    // Selects the translator's pair by catalogue names (Latin-1).
    std::function<void(const std::string& sourceName, const std::string& targetName)> setLanguages;
    // The translation of `text` with the current pair, or empty on failure
    // (logged) or when `stop` was requested (not logged). `language`
    // receives the target code the request was made with.
    std::function<std::u16string(const std::u16string& text, std::string& language, std::stop_token stop)> translate;
    // A translation, spoken in `language`.
    std::function<void(const std::u16string& text, const std::string& language)> speak;
    // One of the fixed messages (Latin-1).
    std::function<void(std::string_view latin1Message)> say;
    // Shutdown: transfers in flight fail at once.
    std::function<void()> abortTransfers;
};

// The system clipboard, as the monitor's worker reaches it.
struct tarselTranslatorClipboardAccess {
    std::function<clipboardContent()> read;
    // Replaces the content; nothing happens if the clipboard cannot be taken.
    std::function<void(const std::u16string& text)> write;
    // Changes whenever the clipboard changes hands, our own writes included.
    std::function<std::uint64_t()> changeCount;
    // The same count without asking the system, where changes are noticed as
    // they happen: every later change, and the end of notices, then reaches
    // the listener. Nothing elsewhere.
    std::function<std::optional<std::uint64_t>()> noticedChangeCount;
    // Writes only over the content that `changeCount` identified; true when written.
    std::function<bool(const std::u16string& text, std::uint64_t expected)> writeIfUnchanged;
    // Called (on another thread) whenever the clipboard changes hands; an
    // empty function removes it.
    std::function<void(std::function<void()> notify)> setChangeListener;
    // Cuts pending waits short and hands what we own to a clipboard manager.
    std::function<void()> stop;
};

// The real translator, speech and transport.
tarselTranslatorServices systemServices();
// The real clipboard, reached without the toolkit.
tarselTranslatorClipboardAccess systemClipboard();

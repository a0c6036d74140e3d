#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

#include "monitor/command_services.h"
#include "monitor/secret_texts.h"

struct tarselTranslatorMonitorTiming {
    // The longest wait between two checks, unless every change is noticed
    // and the text last read still stands.
    std::chrono::milliseconds poll{600};
    // Change notices that come in a burst lead to one check once quiet this long.
    std::chrono::milliseconds settle{50};
};

// Clipboard monitoring: while it is on, one worker looks at the clipboard
// when it changes hands (and every poll interval where that may go unnoticed
// or the last read found no text), translates each
// new text, writes the translation over it and speaks it. Knows nothing of
// the toolkit: toggle() and writeOwnText() run on the user-interface thread and
// never wait on the network, a clipboard owner or speech.
class tarselTranslatorClipboardMonitor {
public:
    // Longer copied texts (in code points) are not sent.
    static constexpr std::size_t maxTextLength = 20000;

    // `workerEntry` is what the worker thread runs; it must call runWorker().
    // Without it the worker calls runWorker() itself.
    tarselTranslatorClipboardMonitor(tarselTranslatorServices services, tarselTranslatorClipboardAccess clipboard,
                                     std::function<void()> workerEntry = {}, tarselTranslatorMonitorTiming waits = {});
    // Stops, as stop() does.
    ~tarselTranslatorClipboardMonitor();

    tarselTranslatorClipboardMonitor(const tarselTranslatorClipboardMonitor&) = delete;
    tarselTranslatorClipboardMonitor& operator=(const tarselTranslatorClipboardMonitor&) = delete;

    // F1. Switches from the state the user last heard: off speaks
    // "Deixando de monitorar." at once (a check in flight still ends as it
    // would have); on needs both catalogue names (nullopt when a list has no
    // focused item), sets the pair and speaks "Monitorando.".
    void toggle(const std::optional<std::pair<std::string, std::string>>& languageNames);

    // The translate command's output: puts `text` on the clipboard, where it
    // is no change for the monitor. User-interface thread.
    void writeOwnText(const std::u16string& text);

    bool isMonitoring() const;

    // Ends monitoring for good: cancels the translation in flight, cuts the
    // clipboard's waits short and joins the worker. Nothing is spoken.
    void stop();

    // The worker's body: checks until monitoring ends.
    void runWorker();

private:
    void startWorker();
    // One check: read, compare, translate, write, remember, speak.
    void check();
    // Every change is noticed, and none has come since the last read that found text.
    bool nothingNoticedSinceLastRead() const;
    // Waits for the next check: a settled change notice, the poll interval
    // (where it could find something), or stop. Called with the lock held.
    void waitForNextCheck(std::unique_lock<std::mutex>& lock);
    void endMonitoring(std::string_view message);

    tarselTranslatorServices services;
    tarselTranslatorClipboardAccess clipboard;
    std::function<void()> workerEntry;
    const tarselTranslatorMonitorTiming waits;

    // Guards everything below. Held only for moments, never across a
    // translation, a clipboard exchange or a wait on another program.
    mutable std::mutex monitorMutex;
    std::condition_variable wake;
    bool monitoring = false;
    // The last clipboard text seen, or the translation written over it;
    // empty when the next non-empty text must be looked at whatever it is.
    std::u16string lastClipboardText;
    // Bumped whenever lastClipboardText is set from outside a check.
    std::uint64_t ownTextGeneration = 0;
    bool workerRunning = false;
    bool closing = false;
    bool changePending = false;
    std::chrono::steady_clock::time_point lastNotice;
    // The worker's own: the change count at its last non-empty read.
    std::optional<std::uint64_t> lastReadCount;
    // The worker's own: what was seen marked secret while the program runs.
    secretTexts secrets;
    std::stop_source stopSource;
    std::thread worker;
};

#include "monitor/clipboard_monitor.h"

#include <system_error>

#include "monitor/clipboard.h"
#include "monitor/spoken_messages.h"
#include "translate/message_format.h"

namespace {

constexpr char workerName[] = "tarselTranslatorDialog::MonitorClipboard";

// As a user counts characters: a surrogate pair is one.
std::size_t codePoints(const std::u16string& text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++count) {
        const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            ++i;
    }
    return count;
}

}  // namespace

tarselTranslatorClipboardMonitor::tarselTranslatorClipboardMonitor(tarselTranslatorServices services,
                                                                   tarselTranslatorClipboardAccess clipboard,
                                                                   std::function<void()> workerEntry,
                                                                   tarselTranslatorMonitorTiming waits)
    : services(std::move(services)), clipboard(std::move(clipboard)), workerEntry(std::move(workerEntry)), waits(waits)
{
}

tarselTranslatorClipboardMonitor::~tarselTranslatorClipboardMonitor()
{
    stop();
}

void tarselTranslatorClipboardMonitor::toggle(const std::optional<std::pair<std::string, std::string>>& languageNames)
{
    // State and announcement change together, so the next press starts from
    // what the user heard last.
    std::lock_guard lock(monitorMutex);
    if (closing)
        return;
    if (monitoring) {
        monitoring = false;
        services.say(spokenMessages::monitoringOff);
        wake.notify_all();
        return;
    }
    if (!languageNames) {
        services.say(spokenMessages::selectLanguagesFirst);
        return;
    }
    services.setLanguages(languageNames->first, languageNames->second);
    monitoring = true;
    services.say(spokenMessages::monitoringOn);
    // A worker still finishing its last check simply carries on.
    if (!workerRunning)
        startWorker();
}

void tarselTranslatorClipboardMonitor::startWorker()
{
    // The previous worker has left its loop; only its return remains.
    if (worker.joinable())
        worker.join();
    try {
        workerRunning = true;
        changePending = false;
        worker = std::thread(workerEntry ? workerEntry : [this] { runWorker(); });
    } catch (const std::system_error&) {
        workerRunning = false;
        monitoring = false;
        services.say(spokenMessages::translationFailed);
    }
}

void tarselTranslatorClipboardMonitor::writeOwnText(const std::u16string& text)
{
    {
        // Remembered first, so a check running meanwhile never takes it for the user's.
        std::lock_guard lock(monitorMutex);
        lastClipboardText = upToFirstNul(text);
        ++ownTextGeneration;
    }
    clipboard.write(text);
}

bool tarselTranslatorClipboardMonitor::isMonitoring() const
{
    std::lock_guard lock(monitorMutex);
    return monitoring;
}

void tarselTranslatorClipboardMonitor::stop()
{
    {
        std::lock_guard lock(monitorMutex);
        if (closing && !worker.joinable())
            return;
        closing = true;
        monitoring = false;
    }
    stopSource.request_stop();
    wake.notify_all();
    // Cut short what the worker may be waiting on: a transfer, or a
    // clipboard owner (which may be this very thread).
    services.abortTransfers();
    clipboard.stop();
    if (worker.joinable())
        worker.join();
    clipboard.setChangeListener({});
    // Hands over whatever the worker wrote last.
    clipboard.stop();
}

void tarselTranslatorClipboardMonitor::runWorker()
{
    lastReadCount.reset();
    clipboard.setChangeListener([this] {
        std::lock_guard lock(monitorMutex);
        changePending = true;
        lastNotice = std::chrono::steady_clock::now();
        wake.notify_all();
    });
    std::unique_lock lock(monitorMutex);
    while (monitoring && !closing) {
        lock.unlock();
        try {
            check();
        } catch (...) {
            logCurrentException(workerName);
            endMonitoring(spokenMessages::translationFailed);
        }
        lock.lock();
        // A failed check has switched monitoring off, unless the user has
        // switched it on again since: then this worker carries on.
        if (monitoring && !closing)
            waitForNextCheck(lock);
    }
    workerRunning = false;
}

void tarselTranslatorClipboardMonitor::waitForNextCheck(std::unique_lock<std::mutex>& lock)
{
    const auto stopped = [this] { return !monitoring || closing; };
    const auto woken = [&] { return stopped() || changePending; };
    // A poll could find nothing new then: a notice alone wakes the worker.
    if (nothingNoticedSinceLastRead())
        wake.wait(lock, woken);
    else
        wake.wait_for(lock, waits.poll, woken);
    // A program that sets the clipboard several times in a row gets one check.
    while (changePending && !stopped()) {
        const auto settled = lastNotice + waits.settle;
        if (std::chrono::steady_clock::now() >= settled)
            break;
        wake.wait_until(lock, settled, stopped);
    }
    changePending = false;
}

bool tarselTranslatorClipboardMonitor::nothingNoticedSinceLastRead() const
{
    return lastReadCount && clipboard.noticedChangeCount() == lastReadCount;
}

void tarselTranslatorClipboardMonitor::check()
{
    // Unchanged hands, unchanged text: no need to ask for it again. An
    // unmoved noticed count needs no round trip to confirm it: a notice
    // still on its way wakes this worker itself.
    if (nothingNoticedSinceLastRead())
        return;
    const std::uint64_t seen = clipboard.changeCount();
    if (seen == lastReadCount)
        return;
    const clipboardContent content = clipboard.read();
    const std::u16string& text = content.text;
    // A password stays where its manager put it, and stays unsent when a
    // clipboard manager later offers it again without the mark. It is kept
    // even when the count moved during the read: that move is often the
    // clipboard manager taking the password over, unmarked.
    if (content.secret && !text.empty())
        secrets.remember(text);
    // A copy made while we asked may be what we read, under the count before
    // it, and a translation written under that count would be refused. Its
    // own check (its notice wakes us; elsewhere the next poll) reads it again.
    if (clipboard.changeCount() != seen)
        return;
    // A busy clipboard or an owner that did not answer is asked again next time.
    if (!text.empty())
        lastReadCount = seen;
    if (content.secret)
        return;
    if (secrets.contains(text))
        return;
    std::uint64_t generation;
    {
        std::lock_guard lock(monitorMutex);
        // An empty read (no text, a busy clipboard, files) is not a change:
        // the user's copy is left alone.
        if (closing || text.empty() || text == lastClipboardText)
            return;
        lastClipboardText = text;
        generation = ownTextGeneration;
    }
    if (codePoints(text) > maxTextLength) {
        services.say(spokenMessages::textTooLong);
        return;
    }
    std::string language;
    const std::u16string translation = services.translate(text, language, stopSource.get_token());
    if (stopSource.stop_requested())
        return;
    if (translation.empty()) {
        endMonitoring(spokenMessages::translationFailed);
        return;
    }
    const std::u16string written = upToFirstNul(translation);
    const bool wrote = clipboard.writeIfUnchanged(written, seen);
    {
        std::lock_guard lock(monitorMutex);
        // The command may have put its own text there meanwhile.
        if (generation == ownTextGeneration) {
            // Not written: the clipboard changed while we translated, and
            // what it holds now is the next check's, whatever it is.
            lastClipboardText = wrote ? written : std::u16string();
        }
    }
    if (wrote)
        services.speak(translation, language);
}

void tarselTranslatorClipboardMonitor::endMonitoring(std::string_view message)
{
    std::lock_guard lock(monitorMutex);
    if (closing)
        return;
    monitoring = false;
    services.say(message);
}

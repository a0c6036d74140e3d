#include <chrono>
#include <system_error>

#include "monitor/clipboard.h"
#include "monitor/spoken_messages.h"
#include "support/speech.h"
#include "translate/translator.h"
#include "ui/tarsel_translator_dialog.h"

using spokenMessages::say;

namespace {

constexpr std::chrono::milliseconds pollInterval{600};

}  // namespace

void tarselTranslatorDialog::OnToggleMonitoring(wxCommandEvent&) {
    std::lock_guard lock(monitorMutex);
    if (monitoring) {
        monitoring = false;
        say(spokenMessages::monitoringOff);
        return;
    }
    std::string sourceName;
    std::string targetName;
    if (!focusedLanguageNames(sourceName, targetName)) {
        say(spokenMessages::selectLanguagesFirst);
        return;
    }
    translatorPtr->setLanguages(sourceName, targetName);
    monitoring = true;
    say(spokenMessages::monitoringOn);

    // A worker that has not yet seen monitoring off simply carries on.
    if (workerRunning) return;
    if (worker.joinable()) worker.join();
    try {
        worker = std::thread(&tarselTranslatorDialog::MonitorClipboard, this);
        workerRunning = true;
    } catch (const std::system_error&) {
        monitoring = false;
        say(spokenMessages::translationFailed);
    }
}

void tarselTranslatorDialog::MonitorClipboard() {
    std::unique_lock lock(monitorMutex);
    while (monitoring && !closing) {
        const std::u16string text = readClipboardText();
        // An empty read (no text, a busy clipboard, a secret) is not a change:
        // translating it would only end monitoring with a failure.
        if (!text.empty() && text != lastClipboardText) {
            lastClipboardText = text;
            std::pair<std::string, std::string> usedCodes;
            const std::u16string translation = translatorPtr->translate(lastClipboardText, &usedCodes);
            if (translation.empty()) {
                // Closing aborts the transfer; the user is leaving, not failing.
                if (monitoring) say(spokenMessages::translationFailed);
                monitoring = false;
                break;
            }
            lastClipboardText = translation;
            writeClipboardText(translation);
            speech::speak(translation, usedCodes.second);
        }
        monitorWake.wait_for(lock, pollInterval, [this] { return closing; });
    }
    workerRunning = false;
}

#include "monitor/command_services.h"

#include <utility>

#include "monitor/clipboard.h"
#include "monitor/session_clipboards.h"
#include "monitor/spoken_messages.h"
#include "support/speech.h"
#include "translate/http_transport.h"
#include "translate/translator.h"

tarselTranslatorServices systemServices()
{
    return {
        [](const std::string& sourceName, const std::string& targetName) {
            translationService.setLanguages(sourceName, targetName);
        },
        [](const std::u16string& text, std::string& language, std::stop_token stop) {
            std::pair<std::string, std::string> usedCodes;
            std::u16string translation = translationService.translate(text, &usedCodes, std::move(stop));
            language = usedCodes.second;
            return translation;
        },
        [](const std::u16string& text, const std::string& language) { speech::speak(text, language); },
        [](std::string_view message) { spokenMessages::say(message); },
        abortTransfers,
    };
}

tarselTranslatorClipboardAccess systemClipboard()
{
    tarselTranslatorClipboardAccess x11{readClipboardText,
                                        writeClipboardText,
                                        clipboardChangeCount,
                                        noticedClipboardChangeCount,
                                        writeClipboardTextIfUnchanged,
                                        setClipboardChangeListener,
                                        stopClipboardAccess};
    return withSessionClipboards(std::move(x11));
}

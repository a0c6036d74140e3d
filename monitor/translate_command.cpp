#include "monitor/translate_command.h"

#include <system_error>
#include <utility>

#include "monitor/spoken_messages.h"
#include "translate/message_format.h"

namespace {

constexpr char commandName[] = "tarselTranslatorDialog::OnTranslate";

}  // namespace

tarselTranslatorTranslateCommand::tarselTranslatorTranslateCommand(tarselTranslatorServices services,
                                                                   resultHandler onResult)
    : services(std::move(services)), onResult(std::move(onResult))
{
}

tarselTranslatorTranslateCommand::~tarselTranslatorTranslateCommand()
{
    stop();
}

std::uint64_t tarselTranslatorTranslateCommand::run(const std::string& sourceName, const std::string& targetName,
                                                    std::u16string text)
{
    services.setLanguages(sourceName, targetName);
    std::lock_guard lock(commandMutex);
    if (closing)
        return 0;
    inFlight.request_stop();
    inFlight = std::stop_source();
    pending = request{++latestTicket, std::move(text), inFlight.get_token()};
    if (!worker.joinable()) {
        try {
            worker = std::thread(&tarselTranslatorTranslateCommand::work, this);
        } catch (const std::system_error&) {
            pending.reset();
            services.say(spokenMessages::translationFailed);
            return latestTicket;
        }
    }
    wake.notify_all();
    return latestTicket;
}

void tarselTranslatorTranslateCommand::stop()
{
    {
        std::lock_guard lock(commandMutex);
        closing = true;
        pending.reset();
        inFlight.request_stop();
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
}

void tarselTranslatorTranslateCommand::work()
{
    std::unique_lock lock(commandMutex);
    for (;;) {
        wake.wait(lock, [this] { return closing || pending.has_value(); });
        if (closing)
            return;
        const request next = std::move(*pending);
        pending.reset();
        lock.unlock();
        try {
            translateOne(next);
        } catch (...) {
            logCurrentException(commandName);
            services.say(spokenMessages::translationFailed);
        }
        lock.lock();
    }
}

void tarselTranslatorTranslateCommand::translateOne(const request& next)
{
    std::string language;
    const std::u16string translation = services.translate(next.text, language, next.stop);
    // Decided under the lock, so a newer run() either drops this one whole
    // or comes after it has been spoken and handed back.
    std::lock_guard lock(commandMutex);
    if (next.stop.stop_requested())
        return;
    if (translation.empty()) {
        services.say(spokenMessages::translationFailed);
        return;
    }
    services.speak(translation, language);
    onResult(next.ticket, translation);
}

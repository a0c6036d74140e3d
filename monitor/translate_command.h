#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "monitor/command_services.h"

// The translation of a typed text, off the user-interface thread: translate,
// speak, and hand back what to show and copy. Knows nothing of the toolkit.
class tarselTranslatorTranslateCommand {
public:
    // Called on the command's thread once a translation has been spoken, with
    // the ticket that run() gave; the handler shows and copies it (and should
    // drop a ticket that is no longer the latest). Never called for a failed
    // or dropped request.
    using resultHandler = std::function<void(std::uint64_t ticket, const std::u16string& translation)>;

    tarselTranslatorTranslateCommand(tarselTranslatorServices services, resultHandler onResult);
    // Stops, as stop() does.
    ~tarselTranslatorTranslateCommand();

    tarselTranslatorTranslateCommand(const tarselTranslatorTranslateCommand&) = delete;
    tarselTranslatorTranslateCommand& operator=(const tarselTranslatorTranslateCommand&) = delete;

    // User-interface thread; returns at once. Sets the translator's pair by
    // catalogue names (Latin-1) and translates `text`. A request still in
    // flight is dropped: aborted, never spoken nor handed back. A failed one
    // speaks the failure message. Returns the request's ticket.
    std::uint64_t run(const std::string& sourceName, const std::string& targetName, std::u16string text);

    // Drops the request in flight and joins the command's thread.
    void stop();

private:
    struct request {
        std::uint64_t ticket;
        std::u16string text;
        std::stop_token stop;
    };

    void work();
    void translateOne(const request& next);

    tarselTranslatorServices services;
    resultHandler onResult;

    std::mutex commandMutex;
    std::condition_variable wake;
    std::optional<request> pending;
    std::stop_source inFlight;
    std::uint64_t latestTicket = 0;
    bool closing = false;
    std::thread worker;
};

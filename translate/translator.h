#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <utility>

// The translation service. One process-wide object; translate() may run on
// two threads at once while a third calls setLanguages().
class translator {
public:
    using clockFunction = std::function<std::chrono::steady_clock::time_point()>;

    // Uses the public translation endpoint and the steady clock.
    translator();
    // `endpoint` is scheme and host (and port), e.g. "http://127.0.0.1:8080";
    // `clock` times how long a route around a blocked client is kept. For tests.
    explicit translator(std::string endpoint, clockFunction clock = std::chrono::steady_clock::now);

    translator(const translator&) = delete;
    translator& operator=(const translator&) = delete;

    // Catalogue name (Latin-1 bytes) -> language code. Filled once on the
    // user-interface thread before any other thread exists; read-only after.
    std::unordered_map<std::string, std::string> languages;

    // Sets both codes from two catalogue names, or neither if a name is unknown.
    void setLanguages(const std::string& sourceName, const std::string& targetName);

    // The current pair of codes (source, target), read together.
    std::pair<std::string, std::string> codes() const;

    // The translation of `text` with the pair current when it starts, or an
    // empty text on any failure (whose cause is logged). Never throws.
    // `usedCodes`, when given, receives the pair the request was made with.
    // A text too long for one request goes in several, in order. A client the
    // endpoint blocks is gone around at once, and for 15 minutes after.
    // A stop requested on `stop` ends the request in flight within about
    // 100 ms and returns an empty text; nothing more is sent or logged.
    std::u16string translate(const std::u16string& text, std::pair<std::string, std::string>* usedCodes = nullptr,
                             std::stop_token stop = {});

private:
    std::optional<std::string> translatePiece(const std::string& piece, const std::string& source,
                                              const std::string& target, const std::stop_token& stop);
    std::size_t firstClient();
    void routeTo(std::size_t client);

    mutable std::mutex codesMutex;
    std::string sourceCode;
    std::string targetCode;
    std::string endpoint;
    clockFunction clock;

    // The client the last block was gone around to, and since when.
    std::mutex routeMutex;
    std::size_t routeClient = 0;
    std::chrono::steady_clock::time_point routeSince;
};

// The process-wide translation service.
extern translator translationService;

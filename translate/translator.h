#pragma once

#include <mutex>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <utility>

// The translation service. One process-wide object; translate() may run on
// two threads at once while a third calls setLanguages().
class translator {
public:
    // Uses the public translation endpoint.
    translator();
    // `endpoint` is scheme and host (and port), e.g. "http://127.0.0.1:8080"; for tests.
    explicit translator(std::string endpoint);

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
    std::u16string translate(const std::u16string& text,
                             std::pair<std::string, std::string>* usedCodes = nullptr,
                             std::stop_token stop = {});

private:
    mutable std::mutex codesMutex;
    std::string sourceCode;
    std::string targetCode;
    std::string endpoint;
};

// The process-wide translation service.
extern translator translationService;

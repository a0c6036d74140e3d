#include "translate/translator.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "support/logger.h"
#include "support/text_conversion.h"
#include "translate/http_transport.h"
#include "translate/message_format.h"
#include "translate/response_extraction.h"
#include "translate/text_pieces.h"

translator translationService;

namespace {

// The endpoint's clients, in the order tried. A block moves the same request
// on to the next one (a busy client has answered 429 for hours while the
// next one answered as usual).
constexpr std::string_view clients[] = {"gtx", "dict-chrome-ex"};
constexpr std::string_view longestClient = std::ranges::max(clients, {}, &std::string_view::size);

constexpr const char* requestTemplate = "/translate_a/single?client={}&sl={}&tl={}&dt=t&q={}";

// How long translations go straight to the client that answered for a blocked one.
constexpr auto routeLifetime = std::chrono::minutes(15);

// Long GETs have drawn 400, 413 and 414 answers.
constexpr std::size_t maxUrlBytes = 8000;

bool isHtml(const httpOutcome& outcome, const std::string& body)
{
    std::string type = outcome.contentType.substr(0, 9);
    for (char& c : type)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (type == "text/html")
        return true;
    const std::size_t first = body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && body[first] == '<';
}

// A refusal to serve this client rather than a failure of the request.
bool isBlock(const httpOutcome& outcome, const std::string& body)
{
    return outcome.status == 429 || outcome.status == 503 || (outcome.status >= 400 && isHtml(outcome, body));
}

// The log line for an exchange that failed on the way; empty when it did not.
std::string exchangeCause(const httpOutcome& outcome)
{
    if (!outcome.error.empty())
        return formatMessage("Falha na comunica\xE7\xE3o com o servidor de tradu\xE7\xE3o: {}", {outcome.error});
    if (outcome.status < 200 || outcome.status > 299)
        return formatMessage("Resposta HTTP {} do servidor de tradu\xE7\xE3o.", {std::to_string(outcome.status)});
    return {};
}

}  // namespace

translator::translator() : translator("https://translate.googleapis.com") {}

translator::translator(std::string endpoint, clockFunction clock)
    : endpoint(std::move(endpoint)), clock(std::move(clock))
{
}

void translator::setLanguages(const std::string& sourceName, const std::string& targetName)
{
    const auto source = languages.find(sourceName);
    if (source == languages.end())
        return;
    const auto target = languages.find(targetName);
    if (target == languages.end())
        return;
    std::lock_guard lock(codesMutex);
    sourceCode = source->second;
    targetCode = target->second;
}

std::pair<std::string, std::string> translator::codes() const
{
    std::lock_guard lock(codesMutex);
    return {sourceCode, targetCode};
}

std::size_t translator::firstClient()
{
    const auto now = clock();
    std::lock_guard lock(routeMutex);
    if (routeClient != 0 && now - routeSince >= routeLifetime)
        routeClient = 0;
    return routeClient;
}

void translator::routeTo(std::size_t client)
{
    const auto now = clock();
    std::lock_guard lock(routeMutex);
    routeClient = client;
    routeSince = now;
}

std::u16string translator::translate(const std::u16string& text, std::pair<std::string, std::string>* usedCodes,
                                     std::stop_token stop)
{
    try {
        // One snapshot: a setLanguages on another thread cannot split the pair.
        const auto [source, target] = codes();
        if (usedCodes)
            *usedCodes = {source, target};
        // Every piece fits a request to any client, so a block can move it on.
        const std::size_t fixedBytes =
            formatMessage(endpoint + requestTemplate, {longestClient, source, target, ""}).size();
        const std::size_t limit = fixedBytes < maxUrlBytes ? maxUrlBytes - fixedBytes : 0;
        std::string joined;
        for (const textPiece& piece : splitText(wideToUtf8(text), limit)) {
            const std::optional<std::string> translated = translatePiece(piece.text, source, target, stop);
            if (!translated)
                return {};
            joined += *translated;
            joined += piece.separator;
        }
        std::u16string result = utf8ToWide(joined);
        if (result.empty())
            logger::write("Erro ao traduzir. Falha na convers\xE3o.");
        return result;
    } catch (...) {
        logTranslateException();
    }
    return {};
}

std::optional<std::string> translator::translatePiece(const std::string& piece, const std::string& source,
                                                      const std::string& target, const std::stop_token& stop)
{
    const std::string query = urlEscape(piece);
    if (query.empty() && !piece.empty()) {
        // Sending the rest of the request would have the endpoint answer for nothing.
        logger::write("Erro ao codificar o texto para o pedido.");
        return std::nullopt;
    }
    const std::size_t first = firstClient();
    for (std::size_t client = first;; ++client) {
        if (stop.stop_requested())
            return std::nullopt;
        const std::string url = formatMessage(endpoint + requestTemplate, {clients[client], source, target, query});
        std::string body;
        httpOutcome outcome;
        httpGet(url, body, {}, outcome, stop);
        if (outcome.cancelled)
            return std::nullopt;
        const bool blocked = isBlock(outcome, body);
        const std::string status = std::to_string(outcome.status);
        if (blocked && client + 1 < std::size(clients)) {
            logger::write(formatMessage("Bloqueio do cliente {} (HTTP {}); usando {}.",
                                        {clients[client], status, clients[client + 1]}));
            continue;
        }
        if (blocked)
            logger::write(formatMessage("Bloqueio do cliente {} (HTTP {}); n\xE3o h\xE1 outro cliente.",
                                        {clients[client], status}));
        else if (const std::string cause = exchangeCause(outcome); !cause.empty())
            logger::write(cause);
        else if (client != first)
            routeTo(client);
        std::string joined;
        if (!extractTranslation(body, joined)) {
            logger::write("Erro ao extrair json");
            return std::nullopt;
        }
        if (blocked)
            return std::nullopt;
        if (joined.empty()) {
            logger::write("Erro ao traduzir. String vazia.");
            return std::nullopt;
        }
        return joined;
    }
}

#include "translate/translator.h"

#include <exception>

#include "support/logger.h"
#include "support/text_conversion.h"
#include "translate/http_transport.h"
#include "translate/message_format.h"
#include "translate/response_extraction.h"

translator translationService;

translator::translator() : translator("https://translate.googleapis.com") {}

translator::translator(std::string endpoint) : endpoint(std::move(endpoint)) {}

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

std::u16string translator::translate(const std::u16string& text, std::pair<std::string, std::string>* usedCodes,
                                     std::stop_token)
{
    try {
        // One snapshot: a setLanguages on another thread cannot split the pair.
        const auto [source, target] = codes();
        if (usedCodes)
            *usedCodes = {source, target};
        const std::string query = urlEscape(wideToUtf8(text));
        const std::string url =
            formatMessage(endpoint + "/translate_a/single?client=gtx&sl={}&tl={}&dt=t&q={}", {source, target, query});
        std::string body;
        httpGet(url, body, {});
        std::string joined;
        if (!extractTranslation(body, joined)) {
            logger::write("Erro ao extrair json");
            return {};
        }
        if (joined.empty()) {
            logger::write("Erro ao traduzir. String vazia.");
            return {};
        }
        std::u16string result = utf8ToWide(joined);
        if (result.empty())
            logger::write("Erro ao traduzir. Falha na convers\xE3o.");
        return result;
    } catch (const std::exception& error) {
        logTranslateException(error.what());
    } catch (...) {
        logTranslateException("Exce\xE7\xE3o desconhecida");
    }
    return {};
}

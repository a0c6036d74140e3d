// Times the translation service against its floor, alternating the two so
// that both see the same machine. Prints one JSON line per figure:
//   {"figure": ..., "unit": ..., "samples": [...], "floor": [...]}
//
//   bench_core translate ENDPOINT RUNS   translate() of a 100- and a 5000-character
//                                        text and of 5000 Chinese characters vs bare
//                                        libcurl GETs of the same request URLs; of a
//                                        100-character text while gtx is blocked (429,
//                                        then dict-chrome-ex) vs a bare GET answered
//   bench_core extract RUNS              extractTranslation + utf8ToWide vs picojson::parse
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <picojson.h>

#include "support/logger.h"
#include "support/text_conversion.h"
#include "translate/response_extraction.h"
#include "translate/text_pieces.h"
#include "translate/translator.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const sentences[] = {
    "A tradução automática ajuda quem usa um leitor de tela a ler textos em outras línguas. ",
    "Você copia um parágrafo, e o programa fala a versão em inglês sem que precise mudar de janela. ",
    "Não há configuração: as listas já começam com português e inglês selecionados. ",
    "Às vezes a conexão é lenta, então cada pedido tem um limite de tempo próprio. ",
    "Ações como traduzir, sair e monitorar a área de transferência têm atalhos de teclado. ",
};

// Exactly `units` UTF-16 code units of Portuguese prose.
std::u16string portugueseText(std::size_t units)
{
    std::u16string text;
    for (std::size_t i = 0; text.size() < units; ++i)
        text += utf8ToWide(sentences[i % std::size(sentences)]);
    text.resize(units);
    return text;
}

// Exactly `units` UTF-16 code units of Chinese prose, sentence ends and all.
std::u16string chineseText(std::size_t units)
{
    const std::u16string chinese[] = {u"\u6211\u4EEC\u4ECA\u5929\u53BB\u516C\u56ED\u6563\u6B65\u3002",
                                      u"\u5929\u6C14\u5F88\u597D\uFF0C\u4F60\u8981\u4E00\u8D77\u6765\u5417\uFF1F",
                                      u"\u592A\u597D\u4E86\uFF01"};
    std::u16string text;
    for (std::size_t i = 0; text.size() < units; ++i)
        text += chinese[i % std::size(chinese)];
    text.resize(units);
    return text;
}

std::string escape(const std::u16string& text)
{
    const std::string utf8 = wideToUtf8(text);
    std::unique_ptr<char, decltype(&curl_free)> escaped(
        curl_easy_escape(nullptr, utf8.data(), static_cast<int>(utf8.size())), curl_free);
    return escaped.get();
}

std::string jsonString(const std::string& utf8)
{
    return picojson::value(utf8).serialize();
}

// A gtx answer as the endpoint gives it for a 5000-character text: one
// segment per sentence, raw UTF-8 with accents and emoji, escaped line breaks.
std::string realisticAnswer()
{
    const char* const translated[] = {
        "Machine translation helps screen-reader users read texts in other languages. ",
        "You copy a paragraph 📋, and the program speaks the English version without switching windows. ",
        "There is no setup: the lists start with Portuguese and English selected ✅.\n",
        "Sometimes the connection is slow, so each request has its own time limit ⏱️. ",
        "Actions such as translate, exit and monitor the clipboard have keyboard shortcuts — “café” stays café. ",
    };
    std::string answer = "[[";
    std::size_t originalUnits = 0;
    for (std::size_t i = 0; originalUnits < 5000; ++i) {
        const std::string original = sentences[i % std::size(sentences)];
        originalUnits += utf8ToWide(original).size();
        if (i > 0)
            answer += ",";
        answer += "[";
        answer += jsonString(translated[i % std::size(translated)]);
        answer += ",";
        answer += jsonString(original);
        answer += ",null,null,10]";
    }
    answer += "],null,\"pt\",null,null,null,1,[],[[\"pt\"],null,[1],[\"pt\"]]]";
    return answer;
}

double elapsedMs(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The time one run of `work` took; a run that reports failure is counted in `failures`.
template <typename Work>
double timedMs(Work&& work, int& failures)
{
    const auto start = Clock::now();
    const bool ok = work();
    const double ms = elapsedMs(start);
    failures += ok ? 0 : 1;
    return ms;
}

std::size_t appendBody(char* data, std::size_t, std::size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, count);
    return count;
}

// The floor: one easy GET with the transport's options, nothing else.
bool bareGet(const std::string& url, std::string& body)
{
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_USERAGENT,
                     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                     "Chrome/91.0.4472.164 Safari/537.36");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    return curl_easy_perform(h) == CURLE_OK;
}

void printFigure(const char* figure, const char* unit, const std::vector<double>& samples,
                 const std::vector<double>& floor)
{
    const auto list = [](const std::vector<double>& values) {
        std::string out = "[";
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i)
                out += ",";
            out += std::to_string(values[i]);
        }
        return out + "]";
    };
    std::printf("{\"figure\": \"%s\", \"unit\": \"%s\", \"samples\": %s, \"floor\": %s}\n", figure, unit,
                list(samples).c_str(), list(floor).c_str());
    std::fflush(stdout);
}

// Runs `product` and `floor` `runs` times each, alternating which goes first.
void alternate(int runs, const std::function<double()>& product, const std::function<double()>& floor,
               std::vector<double>& productSamples, std::vector<double>& floorSamples)
{
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            productSamples.push_back(product());
            floorSamples.push_back(floor());
        } else {
            floorSamples.push_back(floor());
            productSamples.push_back(product());
        }
    }
}

int benchTranslate(const std::string& endpoint, int runs)
{
    // A block is logged at every call; the figures are the service's, not the disk's.
    logger::open("/dev/null");
    translator service(endpoint);
    service.languages = {{"pt", "pt"}, {"en", "en"}};
    service.setLanguages("pt", "en");
    curl_global_init(CURL_GLOBAL_ALL);
    int failures = 0;
    // A text past 8000 bytes of URL goes in several requests; the floor
    // sends the same pieces with bare GETs, one after the other.
    const std::size_t fixedBytes = (endpoint + "/translate_a/single?client=dict-chrome-ex&sl=pt&tl=en&dt=t&q=").size();
    const std::pair<const char*, std::u16string> rows[] = {
        {"translate_100", portugueseText(100)},
        {"translate_5000", portugueseText(5000)},
        {"translate_zh_5000", chineseText(5000)},
    };
    for (const auto& [figure, text] : rows) {
        std::vector<std::string> urls;
        for (const textPiece& piece : splitText(wideToUtf8(text), 8000 - fixedBytes))
            urls.push_back(endpoint +
                           "/translate_a/single?client=gtx&sl=pt&tl=en&dt=t&q=" + escape(utf8ToWide(piece.text)));
        const auto product = [&] { return timedMs([&] { return !service.translate(text).empty(); }, failures); };
        const auto floor = [&] {
            return timedMs(
                [&] {
                    bool ok = true;
                    for (const std::string& url : urls) {
                        std::string body;
                        ok = bareGet(url, body) && body.size() > 100 && ok;
                    }
                    return ok;
                },
                failures);
        };
        const int counted = failures;  // the warm-up's do not count
        for (int warm = 0; warm < 2; ++warm) {
            product();
            floor();
        }
        failures = counted;
        std::vector<double> samples, floorSamples;
        alternate(runs, product, floor, samples, floorSamples);
        printFigure(figure, "ms", samples, floorSamples);
        std::fprintf(stderr, "bench_core: %s in %zu requests\n", figure, urls.size());
    }

    // During a block: gtx answers 429 at once, dict-chrome-ex answers. The
    // clock moves 16 minutes per call, so every call meets the block anew.
    {
        std::chrono::minutes later{0};
        translator blocked(endpoint, [&] { return Clock::now() + later; });
        blocked.languages = service.languages;
        blocked.setLanguages("pt", "en");
        const std::u16string text = portugueseText(91) + u" #gtx=429";
        const std::string url =
            endpoint + "/translate_a/single?client=dict-chrome-ex&sl=pt&tl=en&dt=t&q=" + escape(text);
        const auto product = [&] {
            later += std::chrono::minutes(16);
            return timedMs([&] { return !blocked.translate(text).empty(); }, failures);
        };
        const auto floor = [&] {
            std::string body;
            return timedMs([&] { return bareGet(url, body) && body.size() > 100; }, failures);
        };
        const int counted = failures;
        product();
        floor();
        failures = counted;
        std::vector<double> samples, floorSamples;
        alternate(runs, product, floor, samples, floorSamples);
        printFigure("translate_block_100", "ms", samples, floorSamples);
    }

    if (failures) {
        std::fprintf(stderr, "bench_core: %d failed requests\n", failures);
        return 1;
    }
    return 0;
}

int benchExtract(int runs)
{
    const std::string body = realisticAnswer();
    constexpr int batch = 20;
    std::size_t sink = 0;
    const auto product = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i) {
            std::string joined;
            extractTranslation(body, joined);
            sink += utf8ToWide(joined).size();
        }
        return elapsedMs(start) * 1000.0 / batch;
    };
    const auto floor = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i) {
            picojson::value root;
            std::string error;
            picojson::parse(root, body.begin(), body.end(), &error);
            sink += error.size() + root.is<picojson::array>();
        }
        return elapsedMs(start) * 1000.0 / batch;
    };
    product();
    floor();
    std::vector<double> samples, floorSamples;
    alternate(runs, product, floor, samples, floorSamples);
    printFigure("extract_5000", "us", samples, floorSamples);
    std::string joined;
    if (!extractTranslation(body, joined) || utf8ToWide(joined).size() < 4000 || sink == 0) {
        std::fprintf(stderr, "bench_core: the answer did not extract\n");
        return 1;
    }
    std::fprintf(stderr, "bench_core: answer of %zu bytes, translation of %zu units\n", body.size(),
                 utf8ToWide(joined).size());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "translate" && argc == 4)
        return benchTranslate(argv[2], std::atoi(argv[3]));
    if (mode == "extract" && argc == 3)
        return benchExtract(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: bench_core translate ENDPOINT RUNS | extract RUNS\n");
    return 2;
}

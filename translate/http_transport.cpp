#include "translate/http_transport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "support/logger.h"
#include "translate/curl_library.h"
#include "translate/http_transport_internal.h"
#include "translate/message_format.h"

std::map<int, bool> initializedLibraries{{libcurlLibrary, false}};

const char* libcurlFile = libcurlFileName;

namespace {

// Guards initializedLibraries, the loading of libcurl and curl_global_init,
// which must not run on two threads at once.
std::mutex librariesMutex;
// Set once, under the lock; every caller of curl() has taken it in initCurl() first.
std::optional<curlEntryPoints> loadedCurl;

// Only once initCurl() has succeeded on this thread.
const curlEntryPoints& curl()
{
    return *loadedCurl;
}

std::atomic<bool> transfersAborted{false};

constexpr const char* userAgent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                  "Chrome/91.0.4472.164 Safari/537.36";

struct EasyDeleter {
    void operator()(CURL* handle) const { curl().easyCleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl().slistFreeAll(list); }
};
struct CurlFree {
    void operator()(char* text) const { curl().free(text); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl().multiCleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// What the progress callback and the transfer loop look at.
struct StopCheck {
    std::stop_token stop;
    bool stopped() const { return transfersAborted.load() || stop.stop_requested(); }
};

int abortCheck(void* watch, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const StopCheck*>(watch)->stopped() ? 1 : 0;
}

// The transfer of curl_easy_perform, driven here instead: libcurl's own loop
// waits up to a second between progress calls, and shutdown or a cancelled
// translation should not wait that long. Waits at most 100 ms at a time.
CURLcode perform(CURL* easy, const StopCheck& watch)
{
    MultiHandle multi(curl().multiInit());
    if (!multi || curl().multiAddHandle(multi.get(), easy) != CURLM_OK)
        return CURLE_OUT_OF_MEMORY;
    struct Detach {
        CURLM* multi;
        CURL* easy;
        ~Detach() { curl().multiRemoveHandle(multi, easy); }
    } detach{multi.get(), easy};
    for (int running = 1; running;) {
        if (curl().multiPerform(multi.get(), &running) != CURLM_OK)
            return CURLE_RECV_ERROR;
        // Checked here as well: libcurl need not call the progress callback
        // in every state of a transfer.
        if (running && watch.stopped())
            return CURLE_ABORTED_BY_CALLBACK;
        if (running && curl().multiPoll(multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK)
            return CURLE_RECV_ERROR;
    }
    int queued;
    while (CURLMsg* message = curl().multiInfoRead(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            return message->data.result;
    }
    return CURLE_RECV_ERROR;
}

bool startsWithHttps(const std::string& url)
{
    constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() && std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

int (*startLibcurl)(long flags) = [](long flags) { return static_cast<int>(curl().globalInit(flags)); };

bool httpGet(const std::string& url, std::string& body, std::vector<std::string> headerLines)
{
    httpOutcome ignored;
    return httpGet(url, body, std::move(headerLines), ignored);
}

bool httpGet(const std::string& url, std::string& body, std::vector<std::string> headerLines, httpOutcome& outcome,
             std::stop_token stop)
{
    outcome = {};
    if (!initCurl()) {
        outcome.error = "libcurl unavailable";
        return false;
    }
    const StopCheck watch{std::move(stop)};
    if (watch.stopped()) {
        outcome.cancelled = watch.stop.stop_requested();
        outcome.error = curl().easyStrerror(CURLE_ABORTED_BY_CALLBACK);
        return false;
    }
    // libcurl's texts name hosts, ports and certificates, never a path or
    // query. Declared before the handle, which writes to it until cleaned up.
    char error[CURL_ERROR_SIZE] = "";
    EasyHandle handle(curl().easyInit());
    if (!handle) {
        outcome.error = curl().easyStrerror(CURLE_FAILED_INIT);
        return false;
    }
    CURL* h = handle.get();
    // libcurl refuses some URLs here already (one past its 8 MB input limit).
    const CURLcode accepted = curl().easySetopt(h, CURLOPT_URL, url.c_str());
    if (accepted != CURLE_OK) {
        outcome.error = curl().easyStrerror(accepted);
        return false;
    }
    curl().easySetopt(h, CURLOPT_WRITEFUNCTION, writeCallback);
    curl().easySetopt(h, CURLOPT_WRITEDATA, &body);
    curl().easySetopt(h, CURLOPT_USERAGENT, userAgent);
    curl().easySetopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl().easySetopt(h, CURLOPT_TIMEOUT, 20L);
    curl().easySetopt(h, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_slist* lines = nullptr;
    for (const std::string& line : headerLines)
        lines = curl().slistAppend(lines, line.c_str());
    HeaderList headers(lines);
    curl().easySetopt(h, CURLOPT_HTTPHEADER, headers.get());
    // A redirect may never take an HTTPS request to plain HTTP (libcurl would
    // allow it, and FTP too, by default).
    curl().easySetopt(h, CURLOPT_REDIR_PROTOCOLS_STR, startsWithHttps(url) ? "https" : "http,https");
    // Lets abortTransfers() and `stop` end a transfer that is waiting on the peer.
    curl().easySetopt(h, CURLOPT_XFERINFOFUNCTION, abortCheck);
    curl().easySetopt(h, CURLOPT_XFERINFODATA, &watch);
    curl().easySetopt(h, CURLOPT_NOPROGRESS, 0L);
    curl().easySetopt(h, CURLOPT_ERRORBUFFER, error);
    const CURLcode result = perform(h, watch);
    long status = 0;
    curl().easyGetinfo(h, CURLINFO_RESPONSE_CODE, &status);
    outcome.status = status;
    const char* type = nullptr;
    if (curl().easyGetinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
        outcome.contentType = type;
    if (result != CURLE_OK) {
        outcome.cancelled = watch.stop.stop_requested();
        outcome.error = error[0] ? error : curl().easyStrerror(result);
    }
    return result == CURLE_OK;
}

std::size_t writeCallback(char* data, std::size_t, std::size_t count, void* userData)
{
    auto& body = *static_cast<std::string*>(userData);
    // Returning less than `count` makes libcurl fail the transfer.
    if (body.size() > maxBodyBytes || count > maxBodyBytes - body.size())
        return 0;
    try {
        body.append(data, count);
    } catch (...) {
        return 0;
    }
    return count;
}

bool initCurl()
{
    std::lock_guard lock(librariesMutex);
    if (initializedLibraries[libcurlLibrary])
        return true;
    if (!loadedCurl) {
        std::string failure;
        loadedCurl = loadCurlEntryPoints(libcurlFile, failure);
        if (!loadedCurl) {
            logger::write(formatMessage("Erro ao carregar a libcurl: {}", {failure}));
            return false;
        }
    }
    const int code = startLibcurl(CURL_GLOBAL_ALL);
    if (code != 0) {
        logger::write(formatMessage("Erro ao iniciar a libcurl. Erro: {}", {std::to_string(code)}));
        initializedLibraries[libcurlLibrary] = false;
        return false;
    }
    initializedLibraries[libcurlLibrary] = true;
    return true;
}

std::string urlEscape(const std::string& text)
{
    if (!initCurl())
        return {};
    if (text.empty())
        return {};  // curl_easy_escape would take a length of 0 as "use strlen"
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    // libcurl ignores the handle here; none is made for it.
    std::unique_ptr<char, CurlFree> escaped(curl().easyEscape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!escaped)
        return {};
    return escaped.get();
}

void abortTransfers()
{
    transfersAborted.store(true);
}

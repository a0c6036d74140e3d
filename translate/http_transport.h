#pragma once

#include <cstddef>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

// Library identifier -> started. Holds the libcurl entry (2), false until
// initCurl succeeds. Read and written only under the transport's own lock.
extern std::map<int, bool> initializedLibraries;

constexpr int libcurlLibrary = 2;

// The largest answer body accepted; a larger one aborts the transfer.
constexpr std::size_t maxBodyBytes = 8 * 1024 * 1024;

// What one exchange told besides its body. Never holds the URL or the body.
struct httpOutcome {
    long status = 0;          // HTTP status of the last answer (after redirects); 0 when none came
    std::string contentType;  // that answer's Content-Type as sent; empty when it had none
    std::string error;        // libcurl's own description of a failed transfer; empty on success
    bool cancelled = false;   // `stop` ended the transfer (or it never started)
};

// One GET of `url`; the answer's bytes are appended to `body`. True when
// libcurl ended the transfer with CURLE_OK (an HTTP error status included).
// Redirects are followed, never from HTTPS to another scheme; a body past
// maxBodyBytes fails the transfer. A URL libcurl refuses is never sent. Each
// call has its own handle: safe on any thread.
bool httpGet(const std::string& url, std::string& body, std::vector<std::string> headerLines);

// The same, reporting the status, content type and error in `outcome`. A stop
// requested on `stop` ends the transfer within about 100 ms.
bool httpGet(const std::string& url, std::string& body, std::vector<std::string> headerLines, httpOutcome& outcome,
             std::stop_token stop = {});

// libcurl write function; `userData` is the body string.
std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* userData);

// Percent-encodes UTF-8 bytes; empty when libcurl cannot be started.
std::string urlEscape(const std::string& text);

// Starts libcurl once per process; logs and returns false on failure, so the
// next call tries again.
bool initCurl();

// For shutdown: every transfer in progress fails within about 100 ms, and
// every later one at once. Cannot be undone.
void abortTransfers();

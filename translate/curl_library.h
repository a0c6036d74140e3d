#pragma once

#include <optional>
#include <string>

#include <curl/curl.h>

// The libcurl functions the transport calls. Where libcurl is a shared
// library it is loaded when the first request needs it, not at exec: with the
// two dozen libraries it brings (TLS, Kerberos, LDAP, SSH...) it would cost
// every start of the dialog about a tenth of its time.
struct curlEntryPoints {
    decltype(&curl_global_init) globalInit;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_strerror) easyStrerror;
    decltype(&curl_easy_escape) easyEscape;
    decltype(&curl_free) free;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
    decltype(&curl_multi_init) multiInit;
    decltype(&curl_multi_cleanup) multiCleanup;
    decltype(&curl_multi_add_handle) multiAddHandle;
    decltype(&curl_multi_remove_handle) multiRemoveHandle;
    decltype(&curl_multi_perform) multiPerform;
    decltype(&curl_multi_poll) multiPoll;
    decltype(&curl_multi_info_read) multiInfoRead;
};

// libcurl's file as the loader looks for it (its soname).
constexpr const char* libcurlFileName = "libcurl.so.4";

// The entry points of the libcurl in `file`, which then stays loaded for the
// life of the process; nothing when it cannot be loaded or lacks one of them,
// and `failure` says why. Where libcurl is linked in, `file` is not used.
std::optional<curlEntryPoints> loadCurlEntryPoints(const char* file, std::string& failure);

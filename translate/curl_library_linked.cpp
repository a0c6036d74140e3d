#include "translate/curl_library.h"

std::optional<curlEntryPoints> loadCurlEntryPoints(const char*, std::string& failure)
{
    failure.clear();
    // By name: several entry points share a type, so a slip in order would still compile.
    return curlEntryPoints{
        .globalInit = &curl_global_init,
        .easyInit = &curl_easy_init,
        .easyCleanup = &curl_easy_cleanup,
        .easySetopt = &curl_easy_setopt,
        .easyGetinfo = &curl_easy_getinfo,
        .easyStrerror = &curl_easy_strerror,
        .easyEscape = &curl_easy_escape,
        .free = &curl_free,
        .slistAppend = &curl_slist_append,
        .slistFreeAll = &curl_slist_free_all,
        .multiInit = &curl_multi_init,
        .multiCleanup = &curl_multi_cleanup,
        .multiAddHandle = &curl_multi_add_handle,
        .multiRemoveHandle = &curl_multi_remove_handle,
        .multiPerform = &curl_multi_perform,
        .multiPoll = &curl_multi_poll,
        .multiInfoRead = &curl_multi_info_read,
    };
}

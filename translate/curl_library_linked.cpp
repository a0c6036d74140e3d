#include "translate/curl_library.h"

std::optional<curlEntryPoints> loadCurlEntryPoints(const char*, std::string& failure)
{
    failure.clear();
    return curlEntryPoints{
        &curl_global_init,      &curl_easy_init,           &curl_easy_cleanup,  &curl_easy_setopt,
        &curl_easy_getinfo,     &curl_easy_strerror,       &curl_easy_escape,   &curl_free,
        &curl_slist_append,     &curl_slist_free_all,      &curl_multi_init,    &curl_multi_cleanup,
        &curl_multi_add_handle, &curl_multi_remove_handle, &curl_multi_perform, &curl_multi_poll,
        &curl_multi_info_read,
    };
}

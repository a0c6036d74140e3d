#include "translate/curl_library.h"

#include <type_traits>

#include <dlfcn.h>

std::optional<curlEntryPoints> loadCurlEntryPoints(const char* file, std::string& failure)
{
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        failure = why ? why : file;
        return std::nullopt;
    }
    curlEntryPoints entry{};
    failure.clear();
    const auto bind = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
        if (!slot && failure.empty())
            failure = std::string(file) + ": " + name + " not found";
    };
    bind(entry.globalInit, "curl_global_init");
    bind(entry.easyInit, "curl_easy_init");
    bind(entry.easyCleanup, "curl_easy_cleanup");
    bind(entry.easySetopt, "curl_easy_setopt");
    bind(entry.easyGetinfo, "curl_easy_getinfo");
    bind(entry.easyStrerror, "curl_easy_strerror");
    bind(entry.easyEscape, "curl_easy_escape");
    bind(entry.free, "curl_free");
    bind(entry.slistAppend, "curl_slist_append");
    bind(entry.slistFreeAll, "curl_slist_free_all");
    bind(entry.multiInit, "curl_multi_init");
    bind(entry.multiCleanup, "curl_multi_cleanup");
    bind(entry.multiAddHandle, "curl_multi_add_handle");
    bind(entry.multiRemoveHandle, "curl_multi_remove_handle");
    bind(entry.multiPerform, "curl_multi_perform");
    bind(entry.multiPoll, "curl_multi_poll");
    bind(entry.multiInfoRead, "curl_multi_info_read");
    if (!failure.empty()) {
        dlclose(library);
        return std::nullopt;
    }
    return entry;
}

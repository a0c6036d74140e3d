#pragma once

// Not part of the transport's interface: a seam for tests.

// The call initCurl makes to start libcurl (curl_global_init by default),
// replaceable so a test can make the start fail.
extern int (*startLibcurl)(long flags);

// The file initCurl loads libcurl from (libcurlFileName by default),
// replaceable so a test can make the loading fail.
extern const char* libcurlFile;

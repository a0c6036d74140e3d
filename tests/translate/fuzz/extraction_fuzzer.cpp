// Any body: extraction never crashes, never throws, and a body it rejects
// leaves no text. What it extracts always converts to UTF-16.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/logger.h"
#include "support/text_conversion.h"
#include "translate/response_extraction.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    logger::open("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string text = "stale";
    const bool parsed = extractTranslation(body, text);
    if (!parsed && !text.empty())
        std::abort();
    if (!text.empty() && utf8ToWide(text).empty())
        std::abort();
    return 0;
}

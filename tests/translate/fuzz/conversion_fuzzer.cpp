// Round trips of arbitrary input through the UTF-8 codec.
//  - Any bytes decode; re-encoding gives well-formed UTF-8 that decodes to
//    the same units, and gives the input back when nothing was replaced.
//  - Any UTF-16 units (the input read in pairs) encode; decoding gives them
//    back with each unpaired surrogate as U+FFFD.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/text_conversion.h"

namespace {

bool isHigh(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLow(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::u16string withLoneSurrogatesReplaced(const std::u16string& units)
{
    std::u16string out = units;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (isHigh(out[i]) && i + 1 < out.size() && isLow(out[i + 1]))
            ++i;
        else if (isHigh(out[i]) || isLow(out[i]))
            out[i] = 0xFFFD;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string decoded = utf8ToWide(bytes);
    const std::string reencoded = wideToUtf8(decoded);
    if (decoded.size() > bytes.size() || utf8ToWide(reencoded) != decoded)
        std::abort();
    if (decoded.find(u'\uFFFD') == std::u16string::npos && reencoded != bytes)
        std::abort();

    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (utf8ToWide(wideToUtf8(units)) != withLoneSurrogatesReplaced(units))
        std::abort();
    return 0;
}

#include "translate/response_extraction.h"

#include <picojson.h>

#include "translate/message_format.h"

bool extractTranslation(const std::string& body, std::string& text)
{
    text.clear();
    try {
        picojson::value root;
        std::string error;
        // Reads one value from the start; bytes after it are not looked at.
        picojson::parse(root, body.begin(), body.end(), &error);
        if (!error.empty())
            return false;
        // The typed reads throw picojson's type-mismatch error for a root that
        // is not an array and for a missing or non-array segment list; that
        // ends here as a logged, empty result rather than an error for translate.
        const picojson::array& rootArray = root.get<picojson::array>();
        const picojson::value missing;
        const picojson::array& list = (rootArray.empty() ? missing : rootArray.front()).get<picojson::array>();
        for (const picojson::value& element : list) {
            if (!element.is<picojson::array>())
                continue;
            const picojson::array& segment = element.get<picojson::array>();
            if (segment.empty())
                break;
            text += segment[0].get<std::string>();
        }
    } catch (...) {
        logTranslateException();
    }
    return true;
}

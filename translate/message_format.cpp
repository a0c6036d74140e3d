#include "translate/message_format.h"

#include "support/logger.h"

void logException(std::string_view function, std::string_view description) noexcept
{
    try {
        logger::write(formatMessage("Exce\xE7\xE3o na fun\xE7\xE3o {}: Descri\xE7\xE3o: {}", {function, description}));
    } catch (...) {
    }
}

void logTranslateException(std::string_view description) noexcept
{
    logException("translator::translate", description);
}

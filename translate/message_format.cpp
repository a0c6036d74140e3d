#include "translate/message_format.h"

#include "support/logger.h"

void logTranslateException(std::string_view description) noexcept
{
    try {
        logger::write(formatMessage("Exce\xE7\xE3o na fun\xE7\xE3o {}: Descri\xE7\xE3o: {}",
                                    {"translator::translate", description}));
    } catch (...) {
    }
}

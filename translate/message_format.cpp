#include "translate/message_format.h"

#include <exception>

#include "support/logger.h"

void logException(std::string_view function, std::string_view description) noexcept
{
    try {
        logger::write(formatMessage("Exce\xE7\xE3o na fun\xE7\xE3o {}: Descri\xE7\xE3o: {}", {function, description}));
    } catch (...) {
    }
}

void logCurrentException(std::string_view function) noexcept
{
    try {
        throw;
    } catch (const std::exception& error) {
        logException(function, error.what());
    } catch (...) {
        logException(function, "Exce\xE7\xE3o desconhecida");
    }
}

void logTranslateException() noexcept
{
    logCurrentException("translator::translate");
}

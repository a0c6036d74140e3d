#pragma once

#include <string>
#include <string_view>

#include "support/speech.h"
#include "support/text_conversion.h"

// The fixed texts the user hears, in Latin-1. A byte escape is its own
// literal so that no following letter can be read as a hex digit.
namespace spokenMessages {

inline constexpr std::string_view translationFailed = "N"
                                                      "\xE3"
                                                      "o foi poss"
                                                      "\xED"
                                                      "vel realizar a tradu"
                                                      "\xE7\xE3"
                                                      "o. "
                                                      "Por favor, confira o log para mais informa"
                                                      "\xE7\xF5"
                                                      "es.";
inline constexpr std::string_view monitoringOn = "Monitorando.";
inline constexpr std::string_view monitoringOff = "Deixando de monitorar.";
inline constexpr std::string_view selectLanguagesFirst = "Primeiro selecione o idioma de origem e destino.";
inline constexpr std::string_view textTooLong = "Texto longo demais para traduzir.";

// Speaks one of the messages above as the answer to what the user just did:
// it may cut our translation that is being spoken, as a key would, but one
// that has not begun is said after it.
inline void say(std::string_view latin1Message)
{
    speech::announce(latin1ToWide(std::string(latin1Message)));
}

}  // namespace spokenMessages

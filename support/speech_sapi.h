#pragma once

#include <string>

// SAPI 5, the voices every Windows has: what speaks when no screen reader is
// reached through Tolk. Windows only.
namespace sapi {

// Queues `text` (plain text, never read as SAPI markup) for a voice of
// `language`, a BCP 47 code such as "en" or "pt-BR": a voice of that exact
// locale, else one of the same language, else the user's default voice.
// Returns at once from any thread; utterances are spoken one after another
// in the order they were handed over, on a thread of this module's own.
// Without SAPI every call is silent.
void speak(const std::u16string& text, const std::string& language);

}  // namespace sapi

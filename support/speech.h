#pragma once

#include <string>

// The running screen reader. Callable from any thread; never interrupts what
// is being said and never waits for an utterance to end: speak() hands the
// text over and returns at once. Without a screen reader (or speech daemon)
// every call is silent.
namespace speech {

// Once, on the user-interface thread, before the first speak(). Starts
// finding the screen reader without waiting for it.
void load();

// Queues `text` exactly as given (plain text, no markup), in Brazilian
// Portuguese ("pt-BR"), the language of the system's fixed messages.
void speak(const std::u16string& text);

// As above, spoken in `language`, a BCP 47 code such as "en" or "zh-CN"
// (an empty code means "pt-BR"). Language and text travel as one
// utterance, so another thread's utterance never takes this one's language.
// Screen readers reached through Tolk (Windows) speak in their own voice and
// ignore the code.
void speak(const std::u16string& text, const std::string& language);

}  // namespace speech

#pragma once

#include <string>

// The running screen reader. Callable from any thread; never interrupts what
// is being said and never waits for an utterance to end. Without a screen
// reader (or speech daemon) every call is silent.
namespace speech {

// Once, on the user-interface thread, before the first speak().
void load();

// Queues `text` exactly as given (plain text, no markup).
void speak(const std::u16string& text);

}  // namespace speech

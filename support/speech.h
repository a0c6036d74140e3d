#pragma once

#include <string>

// The running screen reader. Callable from any thread; no call waits for the
// screen reader or for an utterance to end: each hands the text over and
// returns at once. Our own utterances are heard in the order they were
// handed over, none cutting another of ours short before it has started.
// On Linux, without a speech daemon every call is silent. On Windows the
// text goes to the screen reader Tolk finds running, else (no Tolk.dll, or
// no screen reader) to a SAPI 5 voice.
namespace speech {

// Once, on the user-interface thread, before the first announce() or
// speak(). Starts finding the screen reader without waiting for it.
void load();

// One of the system's fixed messages (plain text, in Brazilian Portuguese,
// "pt-BR"), as feedback to what the user just did. Through speech-dispatcher
// it goes at priority "important": said at once, before a translation of
// ours that has not begun (which then follows, whole), and it cuts one that
// is being spoken, as the user's key would. On Windows it is queued exactly
// as speak().
void announce(const std::u16string& text);

// Queues `text` exactly as given (plain text, no markup), in Brazilian
// Portuguese ("pt-BR").
void speak(const std::u16string& text);

// As above, spoken in `language`, a BCP 47 code such as "en" or "zh-CN"
// (an empty code means "pt-BR"). Language and text travel as one
// utterance, so another thread's utterance never takes this one's language.
// Through speech-dispatcher a text goes at priority "text", after our
// utterance before it has ended: the user's next key or the screen reader's
// own speech may cut it short. Screen readers reached through Tolk (Windows)
// speak in their own voice and ignore the code; the SAPI voice is chosen by it.
void speak(const std::u16string& text, const std::string& language);

}  // namespace speech

#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The system clipboard's Unicode text, for a worker thread: no toolkit call,
// no window of the caller's. Safe from any thread and from several at once;
// calls are served one at a time. Every wait on another program is bounded.
// The toolkit's own clipboard in the same process keeps working beside it.
// On X11 the text is CLIPBOARD's, reached through a connection and a thread
// of our own, which are started on first use; the process must have called
// XInitThreads before the toolkit opened its display.

// The clipboard's text up to its first NUL unit; empty when there is none,
// when the clipboard is busy or its owner does not answer (within about a
// second), or when the content is marked secret by a password manager.
// On X11 an unchanged clipboard is answered without asking its owner again:
// a new text is noticed when its program takes the clipboard, as every copy does.
std::u16string readClipboardText();

// Replaces the clipboard's content with `text` up to its first NUL unit;
// does nothing, and leaves the content as it was, if the clipboard cannot be
// taken. On X11 we then serve the text to other programs until one of them
// takes the clipboard or stopClipboardAccess is called.
void writeClipboardText(const std::u16string& text);

// Releases what the clipboard access holds (threads, connections; on X11 the
// text we serve goes with them). For shutdown; later calls start it again.
void stopClipboardAccess();

std::uint64_t clipboardChangeCount();
bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t expected);
void setClipboardChangeListener(std::function<void()> notify);

#pragma once

#include <string>

// The system clipboard's Unicode text, for a worker thread: no toolkit call,
// no window of the caller's. Every wait on another program is bounded.

// The clipboard's text up to its first NUL unit; empty when there is none,
// when the clipboard is busy or its owner does not answer, or when the
// content is marked secret by a password manager.
std::u16string readClipboardText();

// Replaces the clipboard's content with `text`; does nothing if the clipboard
// cannot be taken.
void writeClipboardText(const std::u16string& text);

// Releases what the clipboard access holds (threads, connections). Later
// calls start it again.
void stopClipboardAccess();

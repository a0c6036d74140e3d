#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The system clipboard's Unicode text, for a worker thread: no toolkit call,
// no window of the caller's. Safe from any thread and from several at once;
// calls are served one at a time. Every wait on another program is bounded.
// The toolkit's own clipboard in the same process keeps working beside it.
// On X11 the text is CLIPBOARD's, reached through a connection and a thread
// of our own, which are started on first use; the process must have called
// XInitThreads before the toolkit opened its display.

// What a read of the clipboard found.
struct clipboardContent {
    // The text up to its first NUL unit; empty when there is none.
    std::u16string text;
    // A password manager marked the copy secret: the text is here only so that
    // the caller can recognise it later, and must never leave the process.
    bool secret = false;

    bool operator==(const clipboardContent&) const = default;
};

// The clipboard's text, empty when there is none, when the clipboard is busy
// or its owner does not answer (within about a second), or when the copy is
// of files (whose text form, the paths, is not what the user copied). A copy
// that offers plain text is text whatever it offers besides (a spreadsheet's
// cells come as a picture too). A text marked secret comes with `secret` set.
// At most 4 MiB of the owner's data is read: a longer text reads as its first
// part, cut between characters.
// On X11 an unchanged clipboard is answered without asking its owner again:
// a new text is noticed when its program takes the clipboard, as every copy does.
clipboardContent readClipboardText();

// Replaces the clipboard's content with `text` up to its first NUL unit;
// does nothing, and leaves the content as it was, if the clipboard cannot be
// taken. On X11 we then serve the text to other programs until one of them
// takes the clipboard or stopClipboardAccess is called.
void writeClipboardText(const std::u16string& text);

// The text as the clipboard takes it: up to its first NUL unit.
inline std::u16string upToFirstNul(const std::u16string& text)
{
    return text.substr(0, text.find(u'\0'));
}

// A count that changes whenever the clipboard's content changes hands: any
// program's copy, the toolkit's and our own writes included. It reflects
// every change the system had made before the call (on X11: after a round
// trip with the server and handling of the pending XFixes notices; on Windows:
// GetClipboardSequenceNumber).
std::uint64_t clipboardChangeCount();

// The same count as the platform's notices of change have left it, without
// asking the system: a change whose notice is still on its way is not in it
// yet, but that notice reaches the change listener. Nothing where changes are
// not noticed as they happen (X11 without XFixes, no connection yet, no
// listener window on Windows). When notices stop (a lost connection), the
// listener is called once more, so that whoever waits on it asks again.
std::optional<std::uint64_t> noticedClipboardChangeCount();

// Writes `text` (up to its first NUL unit) only if clipboardChangeCount()
// still equals `expected`, checked as close to the write as the platform
// allows (on X11 on the thread that takes the selection, right before it);
// true when written. Otherwise the clipboard is left as it is.
bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t expected);

// `notify` is called, on a thread of the clipboard access, each time the
// clipboard changes hands (as clipboardChangeCount() would show), our own
// writes included; an empty function removes it. Where the platform gives
// no notice it is never called. `notify` must be quick and must not call
// back into the clipboard access. Once this returns, the function it
// replaced is neither running nor called again, so this waits for a call in
// progress: do not call it (nor stopClipboardAccess, which removes it) while
// holding a lock that `notify` takes.
void setClipboardChangeListener(std::function<void()> notify);

// Releases what the clipboard access holds (threads, connections, the change
// listener). What we own on the clipboard is first handed to the clipboard
// manager, if one runs, which then serves it: on X11 through the
// CLIPBOARD_MANAGER convention, waiting at most about two seconds, and not at
// all without a manager. Waits of other calls in progress end at once, with
// nothing read or written. For shutdown; safe to call more than once; later
// calls start it again.
void stopClipboardAccess();

// CLIPBOARD through a connection of our own. The toolkit's clipboard keeps
// its own display connection in the same process; the two meet only as two
// ordinary X clients. One service thread makes every Xlib call on our
// connection; callers queue a request and wait for its answer with a bound.
#include "monitor/clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/text_conversion.h"

// For LockDisplay only; it defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace {

using Clock = std::chrono::steady_clock;

// Each answer from another owner must come within replyBound, and a whole
// read, INCR chunks included, within readBound.
constexpr auto replyBound = std::chrono::seconds(1);
constexpr auto readBound = std::chrono::seconds(3);
// The caller's own bound covers the service's bounds plus some slack.
constexpr auto callerSlack = std::chrono::seconds(1);
// A requestor that stops taking INCR chunks is dropped after this.
constexpr auto stalledTransferBound = std::chrono::seconds(5);
// How long stopping waits for the clipboard manager to copy what we own.
constexpr auto handOverBound = std::chrono::seconds(2);
constexpr std::size_t largestChunk = 256 * 1024;
constexpr long propertyReadUnits = 1 << 20;
// What another owner may make us hold: a target's data beyond this is not kept.
constexpr std::size_t readLimit = 4 * 1024 * 1024;
// Only this many of an owner's targets are looked at.
constexpr std::size_t targetsLooked = 512;

std::u16string untilNul(const std::u16string& text)
{
    return text.substr(0, text.find(u'\0'));
}

// STRING is Latin-1; a character outside it becomes one '?', a surrogate
// pair included.
std::string toLatin1(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit <= 0xFF) {
            out.push_back(static_cast<char>(unit));
            continue;
        }
        out.push_back('?');
        const bool pair =
            unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (pair)
            ++i;
    }
    return out;
}

// `utf8` without a sequence cut short at its end.
std::string_view wholeCharacters(std::string_view utf8)
{
    std::size_t start = utf8.size();
    for (int back = 0; back < 4 && start > 0; ++back) {
        const auto byte = static_cast<unsigned char>(utf8[--start]);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            return start + length > utf8.size() ? utf8.substr(0, start) : utf8;
        }
    }
    return utf8;
}

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// Errors on our connection are expected (a requestor's window may vanish at
// any moment) and are ignored; everyone else's go to the handler that was
// there before, typically the toolkit's. Installed once and never removed,
// so a handler installed after ours may keep chaining to it.
std::atomic<Display*> ourDisplay{nullptr};
// Errors on our connections so far; after one, a text read earlier is not
// trusted.
std::atomic<std::uint64_t> ourErrors{0};
// Changes of CLIPBOARD's owner seen on our connections so far.
std::atomic<std::uint64_t> changeCount{0};
std::mutex listenerMutex;
std::function<void()> changeListener;

void countChange()
{
    ++changeCount;
    std::lock_guard lock(listenerMutex);
    if (changeListener)
        changeListener();
}

XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;

int onXError(Display* display, XErrorEvent* error)
{
    if (display == ourDisplay.load()) {
        ++ourErrors;
        return 0;
    }
    return previousErrorHandler ? previousErrorHandler(display, error) : 0;
}

int onXIOError(Display* display)
{
    if (display == ourDisplay.load())
        return 0;
    return previousIOErrorHandler ? previousIOErrorHandler(display) : 0;
}

// libX11 (1.8) takes the user lock and drops the display lock before it
// calls this, and its caller drops the display lock again once we return.
// Undo both, so that the locks stay balanced on a connection that lives on.
void onConnectionLost(Display* display, void* broken)
{
    *static_cast<bool*>(broken) = true;
    XUnlockDisplay(display);
    LockDisplay(display);
}

void installErrorHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        previousErrorHandler = XSetErrorHandler(onXError);
        previousIOErrorHandler = XSetIOErrorHandler(onXIOError);
    });
}

class OurDisplay {
public:
    explicit OurDisplay(Display* display) : display_(display) { ourDisplay = display; }
    OurDisplay(const OurDisplay&) = delete;
    OurDisplay& operator=(const OurDisplay&) = delete;
    ~OurDisplay()
    {
        XCloseDisplay(display_);
        ourDisplay = nullptr;
    }

private:
    Display* display_;
};

struct XFreeDeleter {
    void operator()(void* data) const
    {
        if (data)
            XFree(data);
    }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct Property {
    Atom type = None;
    int format = 0;
    std::string data;  // format 32 items are longs, as Xlib hands them out
    bool cut = false;  // more was there than the limit it was read with

    std::vector<Atom> atoms() const
    {
        std::vector<Atom> result(format == 32 ? data.size() / sizeof(long) : 0);
        for (std::size_t i = 0; i < result.size(); ++i) {
            long item;
            std::memcpy(&item, data.data() + i * sizeof(long), sizeof(long));
            result[i] = static_cast<Atom>(item);
        }
        return result;
    }
};

// The last text read from another owner. Every copy takes the selection
// anew, even by the same client, so while XFixes reports no change of owner
// the text is still the same; answering from here spares the owner the round
// trips of a conversion on every poll. Without the extension nothing is kept.
class LastRead {
public:
    void enable() { enabled_ = true; }

    // Something that may change the text: a new owner, our own write.
    void invalidate() { ++changes_; }

    // Taken when a read starts and handed to keep() with what it found.
    // Changes and errors only grow, so their sum moves whenever either does.
    std::uint64_t mark() const { return changes_ + ourErrors.load(); }

    // Keeps the text unless it is empty (nothing, a failure or a secret) or
    // something changed while it was being read.
    void keep(std::uint64_t markAtStart, std::u16string text)
    {
        text_.reset();
        if (!enabled_ || text.empty() || markAtStart != mark())
            return;
        text_ = std::move(text);
        mark_ = markAtStart;
    }

    std::optional<std::u16string> find() const
    {
        if (!text_ || mark_ != mark())
            return std::nullopt;
        return text_;
    }

private:
    bool enabled_ = false;
    std::uint64_t changes_ = 0;
    std::uint64_t mark_ = 0;
    std::optional<std::u16string> text_;
};

enum class Answer { given, refused, none };

struct Conversion {
    Answer answer = Answer::none;
    Property property;
};

// What we serve while we own CLIPBOARD. Shared with unfinished INCR
// transfers, which outlive a loss of ownership.
struct OwnedText {
    std::u16string text;
    std::shared_ptr<const std::string> utf8;
    std::shared_ptr<const std::string> latin1;
    Time since = CurrentTime;
};

struct OutgoingTransfer {
    Window requestor;
    Atom property;
    Atom type;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    Clock::time_point deadline;
};

// Everything that lives on the service thread: the display, our window and
// the state of the selection. Not thread-safe by design.
class Connection {
public:
    // `broken` turns true when the connection fails; Xlib then answers
    // every call at once and we only wind down.
    Connection(Display* display, int wakeFd, const std::atomic<bool>& stopping, const bool& broken)
        : display_(display), wakeFd_(wakeFd), stopping_(stopping), broken_(broken)
    {
        const char* names[] = {"CLIPBOARD",
                               "TARGETS",
                               "TIMESTAMP",
                               "UTF8_STRING",
                               "TEXT",
                               "INCR",
                               "x-kde-passwordManagerHint",
                               "TARSEL_SELECTION",
                               "TARSEL_TIMESTAMP",
                               "MULTIPLE",
                               "CLIPBOARD_MANAGER",
                               "SAVE_TARGETS",
                               "TARSEL_SAVE",
                               "text/uri-list",
                               "x-special/gnome-copied-files"};
        Atom atoms[std::size(names)];
        XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms);
        clipboard_ = atoms[0];
        targets_ = atoms[1];
        timestamp_ = atoms[2];
        utf8String_ = atoms[3];
        text_ = atoms[4];
        incr_ = atoms[5];
        secretHint_ = atoms[6];
        selectionProperty_ = atoms[7];
        timestampProperty_ = atoms[8];
        multiple_ = atoms[9];
        clipboardManager_ = atoms[10];
        saveTargets_ = atoms[11];
        saveProperty_ = atoms[12];
        uriList_ = atoms[13];
        copiedFiles_ = atoms[14];

        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                CWEventMask, &attributes);

        // A quarter of the largest request, which Xlib counts in 4-byte units.
        long maxUnits = XExtendedMaxRequestSize(display_);
        if (maxUnits == 0)
            maxUnits = XMaxRequestSize(display_);
        chunk_ = std::min<std::size_t>(largestChunk, static_cast<std::size_t>(maxUnits));
        watchOwner();
        XFlush(display_);
        // Whatever happened while no connection of ours watched counts as a change.
        if (!lost())
            countChange();
    }

    bool lost() const { return broken_ || hungUp_; }

    std::u16string read()
    {
        if (owned_)
            return owned_->text;
        // A change of owner already on its way to us must count.
        dispatchPending();
        if (auto text = lastRead_.find())
            return std::move(*text);
        const auto mark = lastRead_.mark();
        auto text = readFromOwner();
        lastRead_.keep(mark, text);
        return text;
    }

    // Takes the clipboard with `text`; with `expected`, only if the change
    // count still equals it.
    bool write(const std::u16string& text, std::optional<std::uint64_t> expected)
    {
        lastRead_.invalidate();
        auto owned = std::make_unique<OwnedText>();
        owned->text = untilNul(text);
        owned->utf8 = std::make_shared<const std::string>(wideToUtf8(owned->text));
        owned->latin1 = std::make_shared<const std::string>(toLatin1(owned->text));
        // Owners are to take the selection with a real timestamp, which the
        // TIMESTAMP target then reports.
        owned->since = serverTime();
        if (owned->since == CurrentTime)
            return false;
        // Waiting for that time handled every notice of a change the server
        // made before it. A change after it makes the server ignore our
        // older claim below (unless it falls in the same millisecond).
        if (expected && count(false) != *expected)
            return false;
        XSetSelectionOwner(display_, clipboard_, window_, owned->since);
        if (XGetSelectionOwner(display_, clipboard_) != window_) {
            owned_.reset();
            return false;
        }
        if (!ownerChangeEvent_) {
            lastOwner_ = window_;
            countChange();
        }
        owned_ = std::move(owned);
        return true;
    }

    // The change count, once the server has told us of every change it made
    // before now (with `roundTrip`) or before the last reply.
    std::uint64_t count(bool roundTrip = true)
    {
        if (roundTrip)
            XSync(display_, False);
        dispatchPending();
        if (!ownerChangeEvent_ && !lost()) {
            // Without XFixes only a new owner window can be seen.
            const Window owner = XGetSelectionOwner(display_, clipboard_);
            if (owner != lastOwner_) {
                lastOwner_ = owner;
                countChange();
            }
        }
        return changeCount.load();
    }

    // Asks the clipboard manager, if one runs, to copy the text we own, and
    // serves its requests until it says it is done or handOverBound passes.
    void handOver()
    {
        if (!owned_ || lost())
            return;
        handingOver_ = true;
        if (XGetSelectionOwner(display_, clipboardManager_) == None)
            return;
        const Time time = serverTime();
        if (time == CurrentTime)
            return;
        const Atom saved[] = {utf8String_, XA_STRING, text_};
        XChangeProperty(display_, window_, saveProperty_, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(saved), static_cast<int>(std::size(saved)));
        XConvertSelection(display_, clipboardManager_, saveTargets_, saveProperty_, window_, time);
        waitFor(
            [&](const XEvent& e) {
                return e.type == SelectionNotify && e.xselection.requestor == window_ &&
                    e.xselection.selection == clipboardManager_ && e.xselection.target == saveTargets_;
            },
            Clock::now() + handOverBound);
    }

    // Handles whatever the server has sent, without blocking.
    void dispatchPending()
    {
        XEvent event;
        while (!lost() && XPending(display_)) {
            XNextEvent(display_, &event);
            handle(event);
        }
    }

    // Sleeps until the server or a caller has something for us, or the
    // earlier of `deadline` and the next transfer's deadline comes.
    void awaitActivity(std::optional<Clock::time_point> deadline)
    {
        for (const auto& transfer : transfers_)
            deadline = std::min(deadline.value_or(transfer.deadline), transfer.deadline);
        pollfd fds[] = {{ConnectionNumber(display_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = poll(fds, 2, deadline ? millisecondsUntil(*deadline) : -1);
        // Xlib may not notice a hang-up until it reads; no need to wait.
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            hungUp_ = true;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            eventfd_t count;
            eventfd_read(wakeFd_, &count);
        }
        dropStalledTransfers();
    }

private:
    std::u16string readFromOwner()
    {
        if (XGetSelectionOwner(display_, clipboard_) == None)
            return {};
        const Time time = serverTime();
        if (time == CurrentTime)
            return {};
        const auto deadline = Clock::now() + readBound;

        const Conversion targets = convert(targets_, time, deadline);
        if (targets.answer == Answer::none)
            return {};
        bool offersUtf8 = true;
        bool offersString = true;
        if (targets.answer == Answer::given && targets.property.format == 32) {
            const auto offered = targets.property.atoms();
            const auto offers = [&](Atom atom) {
                return std::find(offered.begin(), offered.end(), atom) != offered.end();
            };
            if (offersFilesOrImage(offered))
                return {};
            // A hint that is offered but cannot be read counts as secret.
            if (offers(secretHint_)) {
                const Conversion hint = convert(secretHint_, time, deadline);
                if (hint.answer != Answer::given || hint.property.data == "secret")
                    return {};
            }
            offersUtf8 = offers(utf8String_);
            offersString = offers(XA_STRING);
        }

        Conversion text;
        if (offersUtf8)
            text = convert(utf8String_, time, deadline);
        if (text.answer == Answer::none && offersUtf8)
            return {};
        if (text.answer == Answer::refused || !offersUtf8) {
            if (!offersString)
                return {};
            text = convert(XA_STRING, time, deadline);
        }
        if (text.answer != Answer::given || text.property.format != 8)
            return {};
        if (text.property.type == XA_STRING)
            return untilNul(latin1ToWide(text.property.data));
        const std::string_view utf8 = text.property.data;
        return untilNul(utf8ToWide(std::string(text.property.cut ? wholeCharacters(utf8) : utf8)));
    }

    // A file manager's copy offers the paths as text too, and a browser's
    // copied image may come with a text; neither text is what the user copied.
    bool offersFilesOrImage(const std::vector<Atom>& offered)
    {
        if (std::any_of(offered.begin(), offered.end(), [&](Atom a) { return a == uriList_ || a == copiedFiles_; }))
            return true;
        std::vector<char*> names(std::min(offered.size(), targetsLooked), nullptr);
        // Names of atoms that do not exist stay null.
        XGetAtomNames(display_, const_cast<Atom*>(offered.data()), static_cast<int>(names.size()), names.data());
        bool image = false;
        for (char* name : names) {
            if (!name)
                continue;
            image = image || std::strncmp(name, "image/", 6) == 0;
            XFree(name);
        }
        return image;
    }

    // Asks XFixes to tell us of every change of CLIPBOARD's owner; only then
    // may a read be kept.
    void watchOwner()
    {
        int eventBase, errorBase;
        if (!XFixesQueryExtension(display_, &eventBase, &errorBase))
            return;
        const auto errors = ourErrors.load();
        XFixesSelectSelectionInput(display_, window_, clipboard_,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        XSync(display_, False);
        if (lost() || ourErrors.load() != errors)
            return;
        ownerChangeEvent_ = eventBase + XFixesSelectionNotify;
        lastRead_.enable();
    }

    template <typename Predicate>
    std::optional<XEvent> waitFor(Predicate wanted, Clock::time_point deadline)
    {
        XEvent event;
        for (;;) {
            while (!lost() && XPending(display_)) {
                XNextEvent(display_, &event);
                if (wanted(event))
                    return event;
                handle(event);
            }
            // Stopping cuts every wait short but the hand-over's.
            if (lost() || (stopping_.load() && !handingOver_) || Clock::now() >= deadline)
                return std::nullopt;
            awaitActivity(deadline);
        }
    }

    Time serverTime()
    {
        XChangeProperty(display_, window_, timestampProperty_, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
        const auto event = waitFor(
            [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window_ &&
                    e.xproperty.atom == timestampProperty_;
            },
            Clock::now() + replyBound);
        return event ? event->xproperty.time : CurrentTime;
    }

    // Reads up to `limit` bytes of the property (Xlib's longs counted for
    // format 32), and deletes it.
    std::optional<Property> takeProperty(Atom name, std::size_t limit)
    {
        Property property;
        long offset = 0;
        for (;;) {
            Atom type;
            int format;
            unsigned long items;
            unsigned long bytesAfter;
            unsigned char* raw = nullptr;
            const long units =
                std::min<long>(propertyReadUnits, static_cast<long>((limit - property.data.size() + 3) / 4));
            const int status = XGetWindowProperty(display_, window_, name, offset, units, False, AnyPropertyType, &type,
                                                  &format, &items, &bytesAfter, &raw);
            std::unique_ptr<unsigned char, XFreeDeleter> owner(raw);
            if (status != Success || type == None)
                return std::nullopt;
            const std::size_t unit = format == 8 ? 1 : format == 16 ? sizeof(short) : sizeof(long);
            property.type = type;
            property.format = format;
            property.data.append(reinterpret_cast<const char*>(raw), items * unit);
            offset += static_cast<long>(items * format / 32);
            if (bytesAfter == 0)
                break;
            if (property.data.size() >= limit) {
                property.cut = true;
                break;
            }
        }
        if (property.format == 8 && property.data.size() > limit) {
            property.data.resize(limit);
            property.cut = true;
        }
        XDeleteProperty(display_, window_, name);
        return property;
    }

    Conversion convert(Atom target, Time time, Clock::time_point deadline)
    {
        XDeleteProperty(display_, window_, selectionProperty_);
        XConvertSelection(display_, clipboard_, target, selectionProperty_, window_, time);
        // Owners echo the request's time, so a late answer to an earlier
        // request is not taken for this one.
        const auto notify = waitFor(
            [&](const XEvent& e) {
                const XSelectionEvent& s = e.xselection;
                return e.type == SelectionNotify && s.requestor == window_ && s.selection == clipboard_ &&
                    s.target == target && (s.time == time || s.time == CurrentTime);
            },
            std::min(deadline, Clock::now() + replyBound));
        Conversion result;
        if (!notify)
            return result;
        result.answer = Answer::refused;
        if (notify->xselection.property == None)
            return result;
        auto property = takeProperty(notify->xselection.property, readLimit);
        if (!property)
            return result;
        if (property->type == incr_)
            return receiveIncrementally(notify->xselection.property, deadline);
        result.answer = Answer::given;
        result.property = std::move(*property);
        return result;
    }

    // Taking the INCR property deleted it, which asks the owner for the
    // first chunk; each chunk we take asks for the next; an empty one ends.
    // Chunks beyond the limit are taken unread, so that the owner finishes.
    Conversion receiveIncrementally(Atom name, Clock::time_point deadline)
    {
        Conversion result;
        for (;;) {
            const auto changed = waitFor(
                [&](const XEvent& e) {
                    return e.type == PropertyNotify && e.xproperty.window == window_ && e.xproperty.atom == name &&
                        e.xproperty.state == PropertyNewValue;
                },
                std::min(deadline, Clock::now() + replyBound));
            if (!changed)
                return Conversion{};
            auto chunk = takeProperty(name, readLimit - std::min(readLimit, result.property.data.size()));
            if (!chunk)
                return Conversion{};
            if (chunk->data.empty() && !chunk->cut)
                break;
            result.property.type = chunk->type;
            result.property.format = chunk->format;
            result.property.data += chunk->data;
            result.property.cut = result.property.cut || chunk->cut;
        }
        result.answer = Answer::given;
        return result;
    }

    void handle(const XEvent& event)
    {
        if (ownerChangeEvent_ && event.type == *ownerChangeEvent_) {
            lastRead_.invalidate();
            countChange();
            return;
        }
        switch (event.type) {
        case SelectionRequest:
            serve(event.xselectionrequest);
            break;
        case SelectionClear:
            if (event.xselectionclear.selection == clipboard_)
                owned_.reset();
            break;
        case PropertyNotify:
            if (event.xproperty.state == PropertyDelete)
                continueTransfer(event.xproperty.window, event.xproperty.atom);
            break;
        case DestroyNotify:
            std::erase_if(transfers_,
                          [&](const OutgoingTransfer& t) { return t.requestor == event.xdestroywindow.window; });
            break;
        default:
            break;
        }
    }

    void serve(const XSelectionRequestEvent& request)
    {
        XEvent reply{};
        XSelectionEvent& notify = reply.xselection;
        notify.type = SelectionNotify;
        notify.display = display_;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.time = request.time;
        notify.property = None;
        // Obsolete requestors leave the property to us.
        const Atom property = request.property == None ? request.target : request.property;
        // Requestors' timestamps are often stale (an earlier key press), so
        // they are not held against them.
        const bool current = owned_ && request.selection == clipboard_ && request.owner == window_;
        if (current && request.target == multiple_) {
            if (request.property != None && answerEach(request.requestor, request.property))
                notify.property = property;
        } else if (current && answer(request.requestor, request.target, property)) {
            notify.property = property;
        }
        XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
    }

    // MULTIPLE: the property lists pairs of a target and a property to put
    // it in; a pair we cannot answer gets None as its property.
    bool answerEach(Window requestor, Atom property)
    {
        Atom type;
        int format;
        unsigned long items;
        unsigned long bytesAfter;
        unsigned char* raw = nullptr;
        const int status = XGetWindowProperty(display_, requestor, property, 0, 2 * targetsLooked, False,
                                              AnyPropertyType, &type, &format, &items, &bytesAfter, &raw);
        std::unique_ptr<unsigned char, XFreeDeleter> owner(raw);
        if (status != Success || format != 32 || items % 2 != 0)
            return false;
        std::vector<long> pairs(items);
        std::memcpy(pairs.data(), raw, items * sizeof(long));
        for (std::size_t i = 0; i < items; i += 2) {
            const auto target = static_cast<Atom>(pairs[i]);
            const auto into = static_cast<Atom>(pairs[i + 1]);
            if (into == None || target == multiple_ || !answer(requestor, target, into))
                pairs[i + 1] = None;
        }
        XChangeProperty(display_, requestor, property, type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(pairs.data()), static_cast<int>(items));
        return true;
    }

    bool answer(Window requestor, Atom target, Atom property)
    {
        if (target == targets_) {
            const Atom offered[] = {targets_, timestamp_, multiple_, utf8String_, XA_STRING, text_};
            XChangeProperty(display_, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered), static_cast<int>(std::size(offered)));
        } else if (target == timestamp_) {
            const long since = static_cast<long>(owned_->since);
            XChangeProperty(display_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&since), 1);
        } else if (target == utf8String_ || target == text_) {
            send(requestor, property, utf8String_, owned_->utf8);
        } else if (target == XA_STRING) {
            send(requestor, property, XA_STRING, owned_->latin1);
        } else {
            return false;
        }
        return true;
    }

    void send(Window requestor, Atom property, Atom type, const std::shared_ptr<const std::string>& data)
    {
        if (data->size() <= chunk_) {
            XChangeProperty(display_, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
            return;
        }
        // Selecting on the requestor before it hears from us, so that no
        // deletion of the property is missed.
        XSelectInput(display_, requestor, PropertyChangeMask | StructureNotifyMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(display_, requestor, property, incr_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        std::erase_if(transfers_,
                      [&](const OutgoingTransfer& t) { return t.requestor == requestor && t.property == property; });
        transfers_.push_back({requestor, property, type, data, 0, Clock::now() + stalledTransferBound});
    }

    void continueTransfer(Window requestor, Atom property)
    {
        const auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const OutgoingTransfer& t) {
            return t.requestor == requestor && t.property == property;
        });
        if (it == transfers_.end())
            return;
        const std::size_t length = std::min(chunk_, it->data->size() - it->offset);
        XChangeProperty(display_, requestor, property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                        static_cast<int>(length));
        it->offset += length;
        it->deadline = Clock::now() + stalledTransferBound;
        // The empty chunk just written ends the transfer.
        if (length == 0)
            finishTransfer(it);
    }

    void finishTransfer(std::vector<OutgoingTransfer>::iterator it)
    {
        const Window requestor = it->requestor;
        transfers_.erase(it);
        const bool more = std::any_of(transfers_.begin(), transfers_.end(),
                                      [&](const OutgoingTransfer& t) { return t.requestor == requestor; });
        if (!more)
            XSelectInput(display_, requestor, NoEventMask);
    }

    void dropStalledTransfers()
    {
        const auto now = Clock::now();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if (it->deadline <= now) {
                finishTransfer(it);
                it = transfers_.begin();
            } else {
                ++it;
            }
        }
    }

    Display* display_;
    int wakeFd_;
    const std::atomic<bool>& stopping_;
    const bool& broken_;
    bool hungUp_ = false;
    bool handingOver_ = false;
    Window window_;
    Window lastOwner_ = None;  // without XFixes only
    Atom clipboard_, targets_, timestamp_, utf8String_, text_, incr_, secretHint_, multiple_;
    Atom clipboardManager_, saveTargets_, uriList_, copiedFiles_;
    Atom selectionProperty_, timestampProperty_, saveProperty_;
    std::size_t chunk_;
    std::unique_ptr<OwnedText> owned_;
    std::vector<OutgoingTransfer> transfers_;
    std::optional<int> ownerChangeEvent_;  // with XFixes only
    LastRead lastRead_;
};

enum class Operation { read, write, writeIfUnchanged, count };

struct Request {
    explicit Request(Operation operation, std::u16string text = {}, std::uint64_t count = 0)
        : operation(operation), text(std::move(text)), count(count)
    {
    }

    Operation operation;
    std::u16string text;      // the text to write, or the text read
    std::uint64_t count = 0;  // the expected change count, or the count found
    bool written = false;
    bool done = false;
};

class Service {
public:
    Service() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (wake_.get() < 0) {
            ended_ = true;
            return;
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            ended_ = true;
        }
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() { stop(); }

    bool ended() const { return ended_.load(); }

    // The request as the service answered it; nothing if it did not in time.
    std::optional<Request> call(Request request)
    {
        const auto bound = (request.operation == Operation::read ? replyBound + readBound : replyBound) + callerSlack;
        auto queued = std::make_shared<Request>(std::move(request));
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || ended_)
                return std::nullopt;
            queue_.push_back(queued);
        }
        eventfd_write(wake_.get(), 1);
        std::unique_lock lock(mutex_);
        answered_.wait_for(lock, bound, [&] { return queued->done; });
        if (!queued->done)
            return std::nullopt;
        return *queued;
    }

    // Waits for the hand-over to the clipboard manager, if any.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        if (wake_.get() >= 0)
            eventfd_write(wake_.get(), 1);
        if (!thread_.joinable())
            return;
        // Someone's handler may call exit() on our thread, which then runs
        // the static destructors here.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }

private:
    void run()
    {
        try {
            serve();
        } catch (...) {
        }
        answerQueued();
        ended_ = true;
    }

    void answerQueued()
    {
        std::lock_guard lock(mutex_);
        for (auto& request : queue_)
            request->done = true;
        queue_.clear();
        answered_.notify_all();
    }

    void serve()
    {
        installErrorHandlers();
        Display* display = XOpenDisplay(nullptr);
        if (!display)
            return;
        // Instead of Xlib's exit(): mark the connection broken and wind down;
        // the next call opens a new one.
        bool broken = false;
        XSetIOErrorExitHandler(display, onConnectionLost, &broken);
        const OurDisplay ours(display);
        Connection connection(display, wake_.get(), stopping_, broken);

        for (;;) {
            std::deque<std::shared_ptr<Request>> requests;
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    break;
                requests.swap(queue_);
            }
            for (auto& request : requests) {
                Request result(request->operation);
                try {
                    perform(connection, *request, result);
                } catch (...) {
                    result = Request(request->operation);
                }
                result.done = true;
                std::lock_guard lock(mutex_);
                *request = std::move(result);
                answered_.notify_all();
            }
            connection.dispatchPending();
            if (connection.lost())
                break;
            {
                std::lock_guard lock(mutex_);
                if (stopping_ || !queue_.empty())
                    continue;
            }
            connection.awaitActivity(std::nullopt);
        }
        // Callers do not wait for the hand-over.
        answerQueued();
        if (stopping_)
            connection.handOver();
    }

    static void perform(Connection& connection, const Request& request, Request& result)
    {
        switch (request.operation) {
        case Operation::read:
            result.text = connection.read();
            break;
        case Operation::write:
            result.written = connection.write(request.text, std::nullopt);
            break;
        case Operation::writeIfUnchanged:
            result.written = connection.write(request.text, request.count);
            break;
        case Operation::count:
            result.count = connection.count();
            break;
        }
    }

    FileDescriptor wake_;
    std::mutex mutex_;
    std::condition_variable answered_;
    std::deque<std::shared_ptr<Request>> queue_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

// The service is started on first use and after a failed connection; only
// one exists at a time, so `ourDisplay` names the only connection of ours.
std::mutex lifecycleMutex;
std::shared_ptr<Service> currentService;

std::shared_ptr<Service> service()
{
    std::lock_guard lock(lifecycleMutex);
    if (!currentService || currentService->ended()) {
        if (currentService)
            currentService->stop();
        currentService = std::make_shared<Service>();
    }
    return currentService;
}

std::optional<Request> call(Request request)
{
    try {
        return service()->call(std::move(request));
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::u16string readClipboardText()
{
    auto answer = call(Request(Operation::read));
    return answer ? std::move(answer->text) : std::u16string();
}

void writeClipboardText(const std::u16string& text)
{
    call(Request(Operation::write, text));
}

std::uint64_t clipboardChangeCount()
{
    call(Request(Operation::count));
    return changeCount.load();
}

bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t expected)
{
    const auto answer = call(Request(Operation::writeIfUnchanged, text, expected));
    return answer && answer->written;
}

void setClipboardChangeListener(std::function<void()> notify)
{
    const bool listening = static_cast<bool>(notify);
    {
        std::lock_guard lock(listenerMutex);
        changeListener.swap(notify);
    }
    // The notices come through the service's connection.
    if (listening) {
        try {
            service();
        } catch (...) {
        }
    }
}

void stopClipboardAccess()
{
    setClipboardChangeListener({});
    std::lock_guard lock(lifecycleMutex);
    if (currentService)
        currentService->stop();
    currentService.reset();
}

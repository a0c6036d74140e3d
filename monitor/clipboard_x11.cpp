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
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "monitor/change_notices.h"
#include "monitor/clipboard_formats.h"
#include "monitor/service_thread.h"
#include "support/file_descriptor.h"
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
// Only this many target pairs of a MULTIPLE request are looked at.
constexpr std::size_t targetsLooked = 512;

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

// Errors on our connection are expected (a requestor's window may vanish at
// any moment) and are ignored; everyone else's go to the handler that was
// there before, typically the toolkit's. Installed once and never removed,
// so a handler installed after ours may keep chaining to it.
std::atomic<Display*> ourDisplay{nullptr};
// Errors on our connections so far; after one, a text read earlier is not
// trusted.
std::atomic<std::uint64_t> ourErrors{0};
// Changes of CLIPBOARD's owner seen on our connections so far; watched
// while XFixes tells the live connection of every change as it happens.
ChangeNotices notices;

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
    explicit OurDisplay(Display* display) : displayConnection(display) { ourDisplay = display; }
    OurDisplay(const OurDisplay&) = delete;
    OurDisplay& operator=(const OurDisplay&) = delete;
    ~OurDisplay()
    {
        XCloseDisplay(displayConnection);
        ourDisplay = nullptr;
    }

private:
    Display* displayConnection;
};

struct XFreeDeleter {
    void operator()(void* data) const
    {
        if (data)
            XFree(data);
    }
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
    void enable() { enabled = true; }

    // Something that may change the text: a new owner, our own write.
    void invalidate() { ++changes; }

    // Taken when a read starts and handed to keep() with what it found.
    // Changes and errors only grow, so their sum moves whenever either does.
    std::uint64_t mark() const { return changes + ourErrors.load(); }

    // Keeps the text unless it is empty (nothing or a failure) or secret, or
    // something changed while it was being read.
    void keep(std::uint64_t markAtStart, const clipboardContent& content)
    {
        keptText.reset();
        if (!enabled || content.text.empty() || content.secret || markAtStart != mark())
            return;
        keptText = content.text;
        keptMark = markAtStart;
    }

    std::optional<std::u16string> find() const
    {
        if (!keptText || keptMark != mark())
            return std::nullopt;
        return keptText;
    }

private:
    bool enabled = false;
    std::uint64_t changes = 0;
    std::uint64_t keptMark = 0;
    std::optional<std::u16string> keptText;
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
        : displayConnection(display), wakeDescriptor(wakeFd), serviceStopping(stopping), connectionBroken(broken)
    {
        const char* names[] = {"CLIPBOARD",
                               "TARGETS",
                               "TIMESTAMP",
                               "UTF8_STRING",
                               "TEXT",
                               "INCR",
                               clipboardFormats::secretHint.data(),
                               "TARSEL_SELECTION",
                               "TARSEL_TIMESTAMP",
                               "MULTIPLE",
                               "CLIPBOARD_MANAGER",
                               "SAVE_TARGETS",
                               "TARSEL_SAVE",
                               clipboardFormats::fileLists[0].data(),
                               clipboardFormats::fileLists[1].data()};
        Atom atoms[std::size(names)];
        XInternAtoms(displayConnection, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms);
        clipboard = atoms[0];
        targetsAtom = atoms[1];
        timestamp = atoms[2];
        utf8String = atoms[3];
        textAtom = atoms[4];
        incr = atoms[5];
        secretHint = atoms[6];
        selectionProperty = atoms[7];
        timestampProperty = atoms[8];
        multiple = atoms[9];
        clipboardManager = atoms[10];
        saveTargets = atoms[11];
        saveProperty = atoms[12];
        uriList = atoms[13];
        copiedFiles = atoms[14];

        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window = XCreateWindow(displayConnection, DefaultRootWindow(displayConnection), -10, -10, 1, 1, 0, 0, InputOnly,
                               CopyFromParent, CWEventMask, &attributes);

        // A quarter of the largest request, which Xlib counts in 4-byte units.
        long maxUnits = XExtendedMaxRequestSize(displayConnection);
        if (maxUnits == 0)
            maxUnits = XMaxRequestSize(displayConnection);
        chunkSize = std::min<std::size_t>(largestChunk, static_cast<std::size_t>(maxUnits));
        watchOwner();
        XFlush(displayConnection);
        // Whatever happened while no connection of ours watched counts as a change.
        if (!lost())
            notices.changed();
    }

    bool lost() const { return connectionBroken || hungUp; }

    clipboardContent read()
    {
        if (ownedText)
            return {ownedText->text};
        // A change of owner already on its way to us must count.
        dispatchPending();
        if (auto text = lastRead.find())
            return {std::move(*text)};
        const auto mark = lastRead.mark();
        auto content = readFromOwner();
        lastRead.keep(mark, content);
        return content;
    }

    // Takes the clipboard with `text`; with `expected`, only if the change
    // count still equals it.
    bool write(const std::u16string& text, std::optional<std::uint64_t> expected)
    {
        lastRead.invalidate();
        auto owned = std::make_unique<OwnedText>();
        owned->text = upToFirstNul(text);
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
        XSetSelectionOwner(displayConnection, clipboard, window, owned->since);
        if (XGetSelectionOwner(displayConnection, clipboard) != window) {
            ownedText.reset();
            return false;
        }
        if (!ownerChangeEvent) {
            lastOwner = window;
            notices.changed();
        }
        ownedText = std::move(owned);
        return true;
    }

    // The change count, once the server has told us of every change it made
    // before now (with `roundTrip`) or before the last reply.
    std::uint64_t count(bool roundTrip = true)
    {
        if (roundTrip)
            XSync(displayConnection, False);
        dispatchPending();
        if (!ownerChangeEvent && !lost()) {
            // Without XFixes only a new owner window can be seen.
            const Window owner = XGetSelectionOwner(displayConnection, clipboard);
            if (owner != lastOwner) {
                lastOwner = owner;
                notices.changed();
            }
        }
        return notices.count();
    }

    // Asks the clipboard manager, if one runs, to copy the text we own, and
    // serves its requests until it says it is done or handOverBound passes.
    void handOver()
    {
        if (!ownedText || lost())
            return;
        handingOver = true;
        if (XGetSelectionOwner(displayConnection, clipboardManager) == None)
            return;
        const Time time = serverTime();
        if (time == CurrentTime)
            return;
        const Atom saved[] = {utf8String, XA_STRING, textAtom};
        XChangeProperty(displayConnection, window, saveProperty, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(saved), static_cast<int>(std::size(saved)));
        XConvertSelection(displayConnection, clipboardManager, saveTargets, saveProperty, window, time);
        waitFor(
            [&](const XEvent& e) {
                return e.type == SelectionNotify && e.xselection.requestor == window &&
                    e.xselection.selection == clipboardManager && e.xselection.target == saveTargets;
            },
            Clock::now() + handOverBound);
    }

    // Handles whatever the server has sent, without blocking.
    void dispatchPending()
    {
        XEvent event;
        while (!lost() && XPending(displayConnection)) {
            XNextEvent(displayConnection, &event);
            handle(event);
        }
    }

    // Sleeps until the server or a caller has something for us, or the
    // earlier of `deadline` and the next transfer's deadline comes.
    void awaitActivity(std::optional<Clock::time_point> deadline)
    {
        for (const auto& transfer : transfers)
            deadline = std::min(deadline.value_or(transfer.deadline), transfer.deadline);
        pollfd fds[] = {{ConnectionNumber(displayConnection), POLLIN, 0}, {wakeDescriptor, POLLIN, 0}};
        const int ready = poll(fds, 2, deadline ? millisecondsUntil(*deadline) : -1);
        // Xlib may not notice a hang-up until it reads; no need to wait.
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            hungUp = true;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            eventfd_t count;
            eventfd_read(wakeDescriptor, &count);
        }
        dropStalledTransfers();
    }

private:
    clipboardContent readFromOwner()
    {
        if (XGetSelectionOwner(displayConnection, clipboard) == None)
            return {};
        const Time time = serverTime();
        if (time == CurrentTime)
            return {};
        const auto deadline = Clock::now() + readBound;

        const Conversion targets = convert(targetsAtom, time, deadline);
        if (targets.answer == Answer::none)
            return {};
        bool offersUtf8 = true;
        bool offersString = true;
        bool secret = false;
        if (targets.answer == Answer::given && targets.property.format == 32) {
            const auto offered = targets.property.atoms();
            const auto offers = [&](Atom atom) {
                return std::find(offered.begin(), offered.end(), atom) != offered.end();
            };
            // A file manager's copy offers the paths as text too; they are
            // not what the user copied. Whatever else a copy offers beside
            // plain text (a picture of the cells, HTML), the text is the copy.
            if (offers(uriList) || offers(copiedFiles))
                return {};
            // A hint that is offered but cannot be read counts as secret.
            if (offers(secretHint)) {
                const Conversion hint = convert(secretHint, time, deadline);
                secret = hint.answer != Answer::given || hint.property.data == "secret";
            }
            offersUtf8 = offers(utf8String);
            offersString = offers(XA_STRING);
        }

        Conversion text;
        if (offersUtf8)
            text = convert(utf8String, time, deadline);
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
            return {upToFirstNul(latin1ToWide(text.property.data)), secret};
        const std::string_view utf8 = text.property.data;
        return {upToFirstNul(utf8ToWide(std::string(text.property.cut ? wholeCharacters(utf8) : utf8))), secret};
    }

    // Asks XFixes to tell us of every change of CLIPBOARD's owner; only then
    // may a read be kept.
    void watchOwner()
    {
        int eventBase, errorBase;
        if (!XFixesQueryExtension(displayConnection, &eventBase, &errorBase))
            return;
        const auto errors = ourErrors.load();
        XFixesSelectSelectionInput(displayConnection, window, clipboard,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        XSync(displayConnection, False);
        if (lost() || ourErrors.load() != errors)
            return;
        ownerChangeEvent = eventBase + XFixesSelectionNotify;
        lastRead.enable();
        notices.watching();
    }

    template <typename Predicate>
    std::optional<XEvent> waitFor(Predicate wanted, Clock::time_point deadline)
    {
        XEvent event;
        for (;;) {
            while (!lost() && XPending(displayConnection)) {
                XNextEvent(displayConnection, &event);
                if (wanted(event))
                    return event;
                handle(event);
            }
            // Stopping cuts every wait short but the hand-over's.
            if (lost() || (serviceStopping.load() && !handingOver) || Clock::now() >= deadline)
                return std::nullopt;
            awaitActivity(deadline);
        }
    }

    Time serverTime()
    {
        XChangeProperty(displayConnection, window, timestampProperty, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
        const auto event = waitFor(
            [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window &&
                    e.xproperty.atom == timestampProperty;
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
            const int status = XGetWindowProperty(displayConnection, window, name, offset, units, False,
                                                  AnyPropertyType, &type, &format, &items, &bytesAfter, &raw);
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
        XDeleteProperty(displayConnection, window, name);
        return property;
    }

    Conversion convert(Atom target, Time time, Clock::time_point deadline)
    {
        XDeleteProperty(displayConnection, window, selectionProperty);
        XConvertSelection(displayConnection, clipboard, target, selectionProperty, window, time);
        // Owners echo the request's time, so a late answer to an earlier
        // request is not taken for this one.
        const auto notify = waitFor(
            [&](const XEvent& e) {
                const XSelectionEvent& s = e.xselection;
                return e.type == SelectionNotify && s.requestor == window && s.selection == clipboard &&
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
        if (property->type == incr)
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
                    return e.type == PropertyNotify && e.xproperty.window == window && e.xproperty.atom == name &&
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
        if (ownerChangeEvent && event.type == *ownerChangeEvent) {
            lastRead.invalidate();
            notices.changed();
            return;
        }
        switch (event.type) {
        case SelectionRequest:
            serve(event.xselectionrequest);
            break;
        case SelectionClear:
            if (event.xselectionclear.selection == clipboard)
                ownedText.reset();
            break;
        case PropertyNotify:
            if (event.xproperty.state == PropertyDelete)
                continueTransfer(event.xproperty.window, event.xproperty.atom);
            break;
        case DestroyNotify:
            std::erase_if(transfers,
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
        notify.display = displayConnection;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.time = request.time;
        notify.property = None;
        // Obsolete requestors leave the property to us.
        const Atom property = request.property == None ? request.target : request.property;
        // Requestors' timestamps are often stale (an earlier key press), so
        // they are not held against them.
        const bool current = ownedText && request.selection == clipboard && request.owner == window;
        if (current && request.target == multiple) {
            if (request.property != None && answerEach(request.requestor, request.property))
                notify.property = property;
        } else if (current && answer(request.requestor, request.target, property)) {
            notify.property = property;
        }
        XSendEvent(displayConnection, request.requestor, False, NoEventMask, &reply);
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
        const int status = XGetWindowProperty(displayConnection, requestor, property, 0, 2 * targetsLooked, False,
                                              AnyPropertyType, &type, &format, &items, &bytesAfter, &raw);
        std::unique_ptr<unsigned char, XFreeDeleter> owner(raw);
        if (status != Success || format != 32 || items % 2 != 0)
            return false;
        std::vector<long> pairs(items);
        std::memcpy(pairs.data(), raw, items * sizeof(long));
        for (std::size_t i = 0; i < items; i += 2) {
            const auto target = static_cast<Atom>(pairs[i]);
            const auto into = static_cast<Atom>(pairs[i + 1]);
            if (into == None || target == multiple || !answer(requestor, target, into))
                pairs[i + 1] = None;
        }
        XChangeProperty(displayConnection, requestor, property, type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(pairs.data()), static_cast<int>(items));
        return true;
    }

    bool answer(Window requestor, Atom target, Atom property)
    {
        if (target == targetsAtom) {
            const Atom offered[] = {targetsAtom, timestamp, multiple, utf8String, XA_STRING, textAtom};
            XChangeProperty(displayConnection, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered), static_cast<int>(std::size(offered)));
        } else if (target == timestamp) {
            const long since = static_cast<long>(ownedText->since);
            XChangeProperty(displayConnection, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&since), 1);
        } else if (target == utf8String || target == textAtom) {
            send(requestor, property, utf8String, ownedText->utf8);
        } else if (target == XA_STRING) {
            send(requestor, property, XA_STRING, ownedText->latin1);
        } else {
            return false;
        }
        return true;
    }

    void send(Window requestor, Atom property, Atom type, const std::shared_ptr<const std::string>& data)
    {
        if (data->size() <= chunkSize) {
            XChangeProperty(displayConnection, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
            return;
        }
        // Selecting on the requestor before it hears from us, so that no
        // deletion of the property is missed.
        XSelectInput(displayConnection, requestor, PropertyChangeMask | StructureNotifyMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(displayConnection, requestor, property, incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        std::erase_if(transfers,
                      [&](const OutgoingTransfer& t) { return t.requestor == requestor && t.property == property; });
        transfers.push_back({requestor, property, type, data, 0, Clock::now() + stalledTransferBound});
    }

    void continueTransfer(Window requestor, Atom property)
    {
        const auto it = std::find_if(transfers.begin(), transfers.end(), [&](const OutgoingTransfer& t) {
            return t.requestor == requestor && t.property == property;
        });
        if (it == transfers.end())
            return;
        const std::size_t length = std::min(chunkSize, it->data->size() - it->offset);
        XChangeProperty(displayConnection, requestor, property, it->type, 8, PropModeReplace,
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
        transfers.erase(it);
        const bool more = std::any_of(transfers.begin(), transfers.end(),
                                      [&](const OutgoingTransfer& t) { return t.requestor == requestor; });
        if (!more)
            XSelectInput(displayConnection, requestor, NoEventMask);
    }

    void dropStalledTransfers()
    {
        const auto now = Clock::now();
        for (auto it = transfers.begin(); it != transfers.end();) {
            if (it->deadline <= now) {
                finishTransfer(it);
                it = transfers.begin();
            } else {
                ++it;
            }
        }
    }

    Display* displayConnection;
    int wakeDescriptor;
    const std::atomic<bool>& serviceStopping;
    const bool& connectionBroken;
    bool hungUp = false;
    bool handingOver = false;
    Window window;
    Window lastOwner = None;  // without XFixes only
    Atom clipboard, targetsAtom, timestamp, utf8String, textAtom, incr, secretHint, multiple;
    Atom clipboardManager, saveTargets, uriList, copiedFiles;
    Atom selectionProperty, timestampProperty, saveProperty;
    std::size_t chunkSize;
    std::unique_ptr<OwnedText> ownedText;
    std::vector<OutgoingTransfer> transfers;
    std::optional<int> ownerChangeEvent;  // with XFixes only
    LastRead lastRead;
};

// Every Xlib call on our connection is made on the service thread.
class Service {
public:
    Service()
    {
        tasks.start([this] { serve(); }, [] { notices.watchEnded(); });
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() { stop(); }

    bool ended() const { return tasks.ended(); }

    // Runs `work` on the service thread; false if it did not run within `bound`.
    bool call(std::function<void(Connection&)> work, Clock::duration bound)
    {
        return tasks.call(std::move(work), bound + callerSlack);
    }

    // Waits for the hand-over to the clipboard manager, if any.
    void stop() { tasks.stop(); }

private:
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
        Connection ourConnection(display, tasks.wakeDescriptor(), tasks.stoppingFlag(), broken);
        tasks.serveOn(ourConnection);
        while (tasks.runQueued()) {
            ourConnection.dispatchPending();
            if (ourConnection.lost())
                break;
            if (tasks.idle())
                ourConnection.awaitActivity(std::nullopt);
        }
        // Callers do not wait for the hand-over.
        tasks.answerQueued();
        if (tasks.stopping())
            ourConnection.handOver();
    }

    ConnectionThread<Connection> tasks;
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

// Runs `work` on the service thread; false if it could not, in time.
bool call(std::function<void(Connection&)> work, Clock::duration bound = replyBound)
{
    try {
        return service()->call(std::move(work), bound);
    } catch (...) {
        return false;
    }
}

bool write(const std::u16string& text, std::optional<std::uint64_t> expected)
{
    auto written = std::make_shared<bool>(false);
    return call([=](Connection& c) { *written = c.write(text, expected); }) && *written;
}

}  // namespace

clipboardContent readClipboardText()
{
    auto content = std::make_shared<clipboardContent>();
    if (!call([content](Connection& c) { *content = c.read(); }, replyBound + readBound))
        return {};
    return std::move(*content);
}

void writeClipboardText(const std::u16string& text)
{
    write(text, std::nullopt);
}

std::uint64_t clipboardChangeCount()
{
    // The count is read once the service has caught up.
    call([](Connection& c) { c.count(); });
    return notices.count();
}

std::optional<std::uint64_t> noticedClipboardChangeCount()
{
    return notices.noticed();
}

bool writeClipboardTextIfUnchanged(const std::u16string& text, std::uint64_t expected)
{
    return write(text, expected);
}

void setClipboardChangeListener(std::function<void()> notify)
{
    const bool listening = static_cast<bool>(notify);
    notices.setListener(std::move(notify));
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

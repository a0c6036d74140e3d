// The clipboard access against other X clients: xclip, and small fake owners
// and requestors on connections of the test's own. Needs a display (xvfb-run).
// GoogleTest first: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor/clipboard.h"
#include "support/text_conversion.h"
#include "tests/tools/test_child.h"

namespace {

using namespace std::string_literals;

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(10);

using testing_support::childProcess;
using Child = childProcess;
constexpr auto toStdin = childProcess::pipeTo::stdinOfChild;
constexpr auto fromStdout = childProcess::pipeTo::stdoutOfChild;

std::optional<std::string> xclipOut(const char* target = nullptr)
{
    std::vector<std::string> args{"xclip", "-selection", "clipboard", "-o"};
    if (target)
        args.insert(args.end(), {"-t", target});
    return Child(args, fromStdout).readAll(patience);
}

// The test's own connection, to watch the selection's owner.
Display* display()
{
    static Display* const d = XOpenDisplay(nullptr);
    return d;
}

Atom atom(const char* name)
{
    return XInternAtom(display(), name, False);
}

Window clipboardOwner()
{
    return XGetSelectionOwner(display(), atom("CLIPBOARD"));
}

template <typename Condition>
bool eventually(Condition condition)
{
    return testing_support::waitUntil(condition, patience, std::chrono::milliseconds(5));
}

// xclip owning the clipboard with `data`, until it loses it or the test ends.
std::unique_ptr<Child> xclipIn(const std::string& data, const char* target = nullptr)
{
    std::vector<std::string> args{"xclip", "-quiet", "-selection", "clipboard", "-i"};
    if (target)
        args.insert(args.end(), {"-t", target});
    const Window before = clipboardOwner();
    auto child = std::make_unique<Child>(args, toStdin);
    child->feed(data);
    EXPECT_TRUE(eventually([&] { return clipboardOwner() != None && clipboardOwner() != before; }));
    return child;
}

struct Offer {
    std::string target;
    std::string type;
    std::string data;
};

// Owns CLIPBOARD on a connection of its own and answers each target from
// `offers`, listing them for TARGETS if `listsTargets`; `silent` answers
// nothing at all.
class FakeOwner {
public:
    FakeOwner(std::vector<Offer> offers, bool listsTargets, bool silent)
        : ownerDisplay(XOpenDisplay(nullptr)),
          offered(std::move(offers)),
          targetsListed(listsTargets),
          staysSilent(silent)
    {
        window = XCreateSimpleWindow(ownerDisplay, DefaultRootWindow(ownerDisplay), 0, 0, 1, 1, 0, 0, 0);
        takeClipboard();
        EXPECT_TRUE(eventually([&] { return clipboardOwner() == window; }));
    }
    ~FakeOwner()
    {
        pause();
        XCloseDisplay(ownerDisplay);
    }

    // A new copy by the same program, which takes the clipboard again.
    void copy(std::vector<Offer> offers)
    {
        pause();
        offered = std::move(offers);
        takeClipboard();
    }

    int requestsSeen() const { return requests; }

private:
    void takeClipboard()
    {
        XSetSelectionOwner(ownerDisplay, XInternAtom(ownerDisplay, "CLIPBOARD", False), window, CurrentTime);
        XSync(ownerDisplay, False);
        stop = false;
        ownerThread = std::thread([this] { run(); });
    }

    void pause()
    {
        stop = true;
        ownerThread.join();
    }

    void run()
    {
        while (!stop) {
            while (XPending(ownerDisplay)) {
                XEvent event;
                XNextEvent(ownerDisplay, &event);
                if (event.type != SelectionRequest)
                    continue;
                ++requests;
                if (!staysSilent)
                    answer(event.xselectionrequest);
            }
            pollfd fd{ConnectionNumber(ownerDisplay), POLLIN, 0};
            poll(&fd, 1, 20);
        }
    }

    void answer(const XSelectionRequestEvent& request)
    {
        XEvent reply{};
        reply.xselection = {SelectionNotify, 0,    True,        ownerDisplay, request.requestor, request.selection,
                            request.target,  None, request.time};
        std::vector<Atom> targets{XInternAtom(ownerDisplay, "TARGETS", False)};
        for (const auto& offer : offered) {
            const Atom target = XInternAtom(ownerDisplay, offer.target.c_str(), False);
            targets.push_back(target);
            if (target == request.target) {
                XChangeProperty(ownerDisplay, request.requestor, request.property,
                                XInternAtom(ownerDisplay, offer.type.c_str(), False), 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offer.data.data()),
                                static_cast<int>(offer.data.size()));
                reply.xselection.property = request.property;
            }
        }
        if (targetsListed && request.target == targets[0]) {
            XChangeProperty(ownerDisplay, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(targets.data()), static_cast<int>(targets.size()));
            reply.xselection.property = request.property;
        }
        XSendEvent(ownerDisplay, request.requestor, False, NoEventMask, &reply);
        XFlush(ownerDisplay);
    }

    Display* ownerDisplay;
    Window window;
    std::vector<Offer> offered;
    bool targetsListed;
    bool staysSilent;
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    std::thread ownerThread;
};

std::string largeText()
{
    std::string text;
    while (text.size() < 1536 * 1024)
        text += "tradu\xC3\xA7\xC3\xA3o \xF0\x9F\x91\x8B linha\n";
    return text;
}

const std::vector<std::string> texts{
    "Hello",
    "Ol\xC3\xA1, a\xC3\xA7\xC3\xA3o, \xC3\x89poca",
    "emoji \xF0\x9F\x98\x80\xF0\x9F\x8C\x8D",
    "line one\nline two\n",
    largeText(),
};

class Clipboard : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_NE(display(), nullptr) << "needs an X display";
    }
    void TearDown() override
    {
        stopClipboardAccess();
        EXPECT_TRUE(eventually([] { return clipboardOwner() == None; }));
    }
};

constexpr std::size_t readLimit = 4 * 1024 * 1024;

// Crosses the read limit inside a four-byte character.
const std::string beyondTheLimit = std::string(readLimit - 1, 'a') + "\xF0\x9F\x98\x80" + std::string(2 << 20, 'b');
const std::u16string beyondTheLimitRead(readLimit - 1, u'a');

TEST_F(Clipboard, ReadsWhatAnotherProgramCopied)
{
    std::vector<std::pair<std::string, std::u16string>> rows;
    for (const auto& text : texts)
        rows.emplace_back(text, utf8ToWide(text));
    rows.emplace_back(beyondTheLimit, beyondTheLimitRead);
    for (const auto& [text, expected] : rows) {
        const auto owner = xclipIn(text);
        EXPECT_TRUE(readClipboardText().text == expected) << text.substr(0, 40);
    }
}

TEST_F(Clipboard, AnotherProgramReadsWhatWeWrote)
{
    for (const auto& text : texts) {
        writeClipboardText(utf8ToWide(text));
        EXPECT_EQ(xclipOut(), text) << text.substr(0, 40);
        EXPECT_EQ(readClipboardText().text, utf8ToWide(text));
    }
}

TEST_F(Clipboard, ServesEachTextTarget)
{
    writeClipboardText(u"a\u00E7\u00E3o \u20AC \U0001F600\0after"s);
    const struct {
        const char* target;
        std::string expected;
    } rows[] = {
        {"UTF8_STRING", "a\xC3\xA7\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"TEXT", "a\xC3\xA7\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"STRING", "a\xE7\xE3o ? ?"},
        {"TARGETS", "TARGETS\nTIMESTAMP\nMULTIPLE\nUTF8_STRING\nSTRING\nTEXT\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(xclipOut(row.target), row.expected) << row.target;
    EXPECT_EQ(xclipOut("image/png"), std::nullopt);
}

TEST_F(Clipboard, ReadsNothingWithoutText)
{
    EXPECT_EQ(readClipboardText().text, u"");
    const auto image = xclipIn(std::string("\x89PNG\r\n\x1A\n", 8), "image/png");
    EXPECT_EQ(readClipboardText().text, u"");
}

TEST_F(Clipboard, ReadsWhatOtherOwnersOffer)
{
    const struct {
        const char* what;
        std::vector<Offer> offers;
        bool listsTargets;
        bool silent;
        clipboardContent expected;
    } rows[] = {
        {"secret",
         {{"x-kde-passwordManagerHint", "UTF8_STRING", "secret"}, {"UTF8_STRING", "UTF8_STRING", "hunter2"}},
         true,
         false,
         {u"hunter2", true}},
        {"other hint",
         {{"x-kde-passwordManagerHint", "UTF8_STRING", "public"}, {"UTF8_STRING", "UTF8_STRING", "ok"}},
         true,
         false,
         u"ok"},
        {"Latin-1 only", {{"STRING", "STRING", "ol\xE1"}}, true, false, u"ol\u00E1"},
        {"no target list", {{"UTF8_STRING", "UTF8_STRING", "ok"}}, false, false, u"ok"},
        {"embedded NUL", {{"UTF8_STRING", "UTF8_STRING", std::string("ab\0cd", 5)}}, true, false, u"ab"},
        {"never answers", {{"UTF8_STRING", "UTF8_STRING", "late"}}, true, true, u""},
        {"files",
         {{"text/uri-list", "text/uri-list", "file:///a"}, {"UTF8_STRING", "UTF8_STRING", "/a"}},
         true,
         false,
         u""},
        {"files of a GNOME file manager",
         {{"x-special/gnome-copied-files", "UTF8_STRING", "copy\nfile:///a"}, {"UTF8_STRING", "UTF8_STRING", "a"}},
         true,
         false,
         u""},
        {"spreadsheet cells, also as pictures",
         {{"image/png", "image/png", "\x89PNG"},
          {"image/bmp", "image/bmp", "BM"},
          {"application/x-openoffice-embed-source-xml;windows_formatname=\"Star Embed Source (XML)\"", "STRING", "x"},
          {"UTF8_STRING", "UTF8_STRING", "a"}},
         true,
         false,
         u"a"},
        {"a browser's copied image",
         {{"image/png", "image/png", "\x89PNG"}, {"text/html", "text/html", "<img>"}},
         true,
         false,
         u""},
        {"rich text",
         {{"text/html", "text/html", "<b>ok</b>"}, {"UTF8_STRING", "UTF8_STRING", "ok"}},
         true,
         false,
         u"ok"},
        {"beyond the read limit", {{"UTF8_STRING", "UTF8_STRING", beyondTheLimit}}, true, false, beyondTheLimitRead},
    };
    for (const auto& row : rows) {
        const FakeOwner owner(row.offers, row.listsTargets, row.silent);
        EXPECT_TRUE(readClipboardText() == row.expected) << row.what;
    }
    writeClipboardText(u"still serving");
    EXPECT_EQ(xclipOut(), "still serving");
}

// An unchanged clipboard is answered without asking its owner again; every
// copy takes the clipboard anew, which is what makes us ask again.
TEST_F(Clipboard, AsksTheOwnerAgainOnlyAfterACopy)
{
    const auto offer = [](const char* text) { return std::vector<Offer>{{"UTF8_STRING", "UTF8_STRING", text}}; };
    FakeOwner owner(offer("first"), true, false);
    ASSERT_EQ(readClipboardText().text, u"first");
    const int asked = owner.requestsSeen();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readClipboardText().text, u"first");
    EXPECT_EQ(owner.requestsSeen(), asked);

    owner.copy(offer("second"));
    EXPECT_TRUE(eventually([] { return readClipboardText().text == u"second"; }));
    const auto other = xclipIn("third");
    EXPECT_TRUE(eventually([] { return readClipboardText().text == u"third"; }));
}

// The request's window is gone before we answer: our writes to it fail with
// BadWindow on our connection, which must not end the process.
TEST_F(Clipboard, SurvivesARequestorThatVanishes)
{
    const std::string& text = texts.back();
    writeClipboardText(utf8ToWide(text));
    const Window window = XCreateSimpleWindow(display(), DefaultRootWindow(display()), 0, 0, 1, 1, 0, 0, 0);
    XConvertSelection(display(), atom("CLIPBOARD"), atom("UTF8_STRING"), atom("GONE"), window, CurrentTime);
    XDestroyWindow(display(), window);
    XSync(display(), False);
    EXPECT_EQ(xclipOut(), text);
}

TEST_F(Clipboard, StartsAgainAfterStop)
{
    writeClipboardText(u"first");
    stopClipboardAccess();
    ASSERT_TRUE(eventually([] { return clipboardOwner() == None; }));
    EXPECT_EQ(readClipboardText().text, u"");
    writeClipboardText(u"second");
    EXPECT_EQ(xclipOut(), "second");
    EXPECT_EQ(readClipboardText().text, u"second");
}

// Losing the X server must end our connection, not the process.
TEST_F(Clipboard, OutlivesItsServer)
{
    const std::string display = std::getenv("DISPLAY");
    auto server = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset"}, fromStdout);
    const auto number = server->readUntil("\n", patience);
    ASSERT_TRUE(number);
    setenv("DISPLAY", (":" + number->substr(0, number->size() - 1)).c_str(), 1);
    std::atomic<int> told{0};
    setClipboardChangeListener([&] { ++told; });
    writeClipboardText(u"doomed");
    EXPECT_EQ(readClipboardText().text, u"doomed");
    EXPECT_TRUE(noticedClipboardChangeCount());
    clipboardChangeCount();
    told = 0;
    server.reset();
    // Whoever waits on notices hears that they have ended.
    EXPECT_TRUE(eventually([&] { return told > 0 && !noticedClipboardChangeCount(); }));
    setClipboardChangeListener({});
    EXPECT_TRUE(eventually([] { return readClipboardText().text.empty(); }));
    stopClipboardAccess();
    setenv("DISPLAY", display.c_str(), 1);
    writeClipboardText(u"alive");
    EXPECT_EQ(xclipOut(), "alive");
}

// A clipboard manager of a desktop session, on the test's display.
std::unique_ptr<Child> clipboardManager()
{
    auto manager = std::make_unique<Child>(
        std::vector<std::string>{"dbus-run-session", "--", "xfsettingsd", "--no-daemon", "--disable-wm-check"},
        fromStdout);
    EXPECT_TRUE(eventually([] { return XGetSelectionOwner(display(), atom("CLIPBOARD_MANAGER")) != None; }));
    return manager;
}

// What we own outlives us through a clipboard manager; without one, stopping
// does not wait for it.
TEST_F(Clipboard, HandsWhatItOwnsToTheClipboardManager)
{
    const struct {
        const char* what;
        bool manager;
        std::string text;
        std::optional<std::string> afterStop;
    } rows[] = {
        {"no manager", false, "Hello", std::nullopt},
        {"manager", true, texts[1], texts[1]},
        {"manager, in chunks", true, texts.back(), texts.back()},
    };
    std::unique_ptr<Child> manager;
    for (const auto& row : rows) {
        if (row.manager && !manager)
            manager = clipboardManager();
        writeClipboardText(utf8ToWide(row.text));
        stopClipboardAccess();
        if (!row.manager) {
            EXPECT_EQ(clipboardOwner(), None);
        }
        EXPECT_EQ(xclipOut(), row.afterStop) << row.what;
    }
}

TEST_F(Clipboard, CountsEachChangeOfHands)
{
    const auto first = clipboardChangeCount();
    EXPECT_EQ(clipboardChangeCount(), first);
    auto owner = xclipIn("copied");
    const auto copied = clipboardChangeCount();
    EXPECT_NE(copied, first);
    EXPECT_EQ(noticedClipboardChangeCount(), copied);
    writeClipboardText(u"written");
    const auto written = clipboardChangeCount();
    EXPECT_NE(written, copied);

    EXPECT_TRUE(writeClipboardTextIfUnchanged(u"unchanged", written));
    EXPECT_EQ(xclipOut(), "unchanged");
    const auto before = clipboardChangeCount();
    owner = xclipIn("copied again");
    EXPECT_FALSE(writeClipboardTextIfUnchanged(u"too late", before));
    EXPECT_EQ(xclipOut(), "copied again");
}

TEST_F(Clipboard, TellsItsListenerOfEachChange)
{
    std::atomic<int> calls{0};
    setClipboardChangeListener([&] { ++calls; });
    clipboardChangeCount();
    calls = 0;
    const auto owner = xclipIn("copied");
    EXPECT_TRUE(eventually([&] { return calls > 0; }));
    calls = 0;
    writeClipboardText(u"written");
    EXPECT_TRUE(eventually([&] { return calls > 0; }));
    setClipboardChangeListener({});
    calls = 0;
    writeClipboardText(u"unheard");
    clipboardChangeCount();
    EXPECT_EQ(calls, 0);
}

TEST_F(Clipboard, ThreadsMayShareIt)
{
    constexpr int rounds = 40;
    std::set<std::u16string> allowed{u""};
    for (int i = 0; i < rounds; ++i)
        allowed.insert(u"text " + utf8ToWide(std::to_string(i)));
    std::atomic<bool> writing{true};
    std::vector<std::u16string> unexpected;

    std::thread reader([&] {
        while (writing) {
            auto text = readClipboardText().text;
            if (!allowed.count(text))
                unexpected.push_back(std::move(text));
        }
    });
    std::thread stopper([&] {
        while (writing) {
            readClipboardText();
            stopClipboardAccess();
        }
    });
    for (int i = 0; i < rounds; ++i) {
        const std::u16string text = u"text " + utf8ToWide(std::to_string(i));
        writeClipboardText(text);
        const auto back = readClipboardText().text;
        EXPECT_TRUE(back == text || back.empty()) << i;
    }
    writing = false;
    reader.join();
    stopper.join();
    EXPECT_TRUE(unexpected.empty());
}

}  // namespace

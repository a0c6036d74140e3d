// The Wayland clipboard access against a real compositor: sway, headless, as
// an ordinary user (it refuses root), and small data-control sources of the
// test's own that offer what programs offer. Run as root, as the suite is.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "monitor/clipboard.h"
#include "monitor/clipboard_wayland.h"
#include "monitor/session_clipboards.h"
#include "support/text_conversion.h"
#include "tests/tools/test_child.h"
#include "wlr-data-control-client-protocol.h"

namespace {

using testing_support::childProcess;
constexpr auto patience = std::chrono::seconds(10);
constexpr uid_t nobody = 65534;
// A value that the source never sends: it keeps the pipe open and silent.
const std::string silent = "\x01silent";

std::unique_ptr<childProcess> sway;

// Owns the selection with `offers` (type and value) until destroyed.
class FakeSource {
public:
    explicit FakeSource(std::map<std::string, std::string> offers) : offered(std::move(offers))
    {
        display = wl_display_connect(nullptr);
        registry = wl_display_get_registry(display);
        static const wl_registry_listener registryListener{
            [](void* self, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
                auto* source = static_cast<FakeSource*>(self);
                if (std::string(interface) == zwlr_data_control_manager_v1_interface.name)
                    source->manager = static_cast<zwlr_data_control_manager_v1*>(
                        wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
                if (std::string(interface) == wl_seat_interface.name && !source->seat)
                    source->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
            },
            [](void*, wl_registry*, std::uint32_t) {}};
        wl_registry_add_listener(registry, &registryListener, this);
        wl_display_roundtrip(display);
        device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
        // What the device is told of, its own offer included, is of no interest here.
        static const zwlr_data_control_device_v1_listener deviceListener{
            [](void* self, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
                static_cast<FakeSource*>(self)->offers.push_back(offer);
            },
            [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
            [](void*, zwlr_data_control_device_v1*) {}, nullptr};
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
        source = zwlr_data_control_manager_v1_create_data_source(manager);
        static const zwlr_data_control_source_v1_listener sourceListener{
            [](void* self, zwlr_data_control_source_v1*, const char* type, std::int32_t fd) {
                auto* source = static_cast<FakeSource*>(self);
                const std::string& value = source->offered[type];
                if (value == silent) {
                    source->held.push_back(fd);
                    return;
                }
                if (write(fd, value.data(), value.size()) < 0) {}
                close(fd);
            },
            [](void*, zwlr_data_control_source_v1*) {}};
        zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
        for (const auto& offer : offered)
            zwlr_data_control_source_v1_offer(source, offer.first.c_str());
        zwlr_data_control_device_v1_set_selection(device, source);
        wl_display_roundtrip(display);
        serving = std::thread([this] {
            while (!done && wl_display_dispatch_timeout(display) >= 0) {}
        });
    }
    ~FakeSource()
    {
        done = true;
        serving.join();
        for (int fd : held)
            close(fd);
        for (auto* offer : offers)
            zwlr_data_control_offer_v1_destroy(offer);
        zwlr_data_control_source_v1_destroy(source);
        zwlr_data_control_device_v1_destroy(device);
        zwlr_data_control_manager_v1_destroy(manager);
        wl_seat_destroy(seat);
        wl_registry_destroy(registry);
        wl_display_roundtrip(display);
        wl_display_disconnect(display);
    }

private:
    // Dispatches what has come within a tenth of a second.
    static int wl_display_dispatch_timeout(wl_display* display)
    {
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        if (poll(&fd, 1, 100) > 0)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        return wl_display_dispatch_pending(display);
    }

    std::map<std::string, std::string> offered;
    wl_display* display;
    wl_registry* registry;
    zwlr_data_control_device_v1* device;
    zwlr_data_control_source_v1* source;
    zwlr_data_control_manager_v1* manager = nullptr;
    wl_seat* seat = nullptr;
    std::vector<int> held;
    std::vector<zwlr_data_control_offer_v1*> offers;
    std::atomic<bool> done{false};
    std::thread serving;
};

// A headless sway as an ordinary user, which WAYLAND_DISPLAY then names;
// nothing if its socket does not appear.
std::unique_ptr<childProcess> startSway()
{
    const auto folder = testing_support::temporaryFolder("tarsel-sway");
    if (chown(folder.c_str(), nobody, nobody) != 0)
        return nullptr;
    std::ofstream(folder / "config") << "xwayland disable\n";
    auto started = std::make_unique<childProcess>(
        std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "-i",
                                 "HOME=" + folder.string(), "XDG_RUNTIME_DIR=" + folder.string(),
                                 "WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "sway",
                                 "-c", (folder / "config").string()},
        childProcess::pipeTo::stdoutOfChild);
    std::filesystem::path socket;
    const bool appeared = testing_support::waitUntil(
        [&] {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                const auto name = entry.path().filename().string();
                if (name.starts_with("wayland-") && !name.ends_with(".lock"))
                    socket = entry.path();
            }
            return !socket.empty();
        },
        patience);
    if (!appeared)
        return nullptr;
    setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
    return started;
}

class WaylandClipboard : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sway = startSway();
        ASSERT_TRUE(sway);
        ASSERT_TRUE(waylandClipboard::available());
    }
    static void TearDownTestSuite() { sway.reset(); }
    void TearDown() override { waylandClipboard::access().stop(); }
};

TEST_F(WaylandClipboard, ReadsWhatProgramsOffer)
{
    const std::string utf8 = "text/plain;charset=utf-8";
    const struct {
        const char* what;
        std::map<std::string, std::string> offers;
        clipboardContent expected;
    } rows[] = {
        {"text", {{utf8, "ol\xC3\xA1"}}, {u"ol\u00E1"}},
        {"an X11 name first", {{"UTF8_STRING", "first"}, {utf8, "second"}}, {u"first"}},
        {"Latin-1", {{"STRING", "ol\xE1"}}, {u"ol\u00E1"}},
        {"bare text/plain in Latin-1", {{"text/plain", "ol\xE1"}}, {u"ol\u00E1"}},
        {"embedded NUL", {{utf8, std::string("ab\0cd", 5)}}, {u"ab"}},
        {"secret", {{"x-kde-passwordManagerHint", "secret"}, {utf8, "hunter2"}}, {u"hunter2", true}},
        {"unreadable hint", {{"x-kde-passwordManagerHint", silent}, {utf8, "hunter3"}}, {u"hunter3", true}},
        {"other hint", {{"x-kde-passwordManagerHint", "public"}, {utf8, "ok"}}, {u"ok"}},
        {"files", {{"text/uri-list", "file:///a"}, {utf8, "/a"}}, {}},
        {"files of a GNOME file manager", {{"x-special/gnome-copied-files", "copy\nfile:///a"}, {utf8, "/a"}}, {}},
        {"cells with their picture", {{"image/png", "\x89PNG"}, {utf8, "cells"}}, {u"cells"}},
        {"a picture alone", {{"image/png", "\x89PNG"}}, {}},
        {"never answers", {{utf8, silent}}, {}},
    };
    const auto clipboard = waylandClipboard::access();
    for (const auto& row : rows) {
        const FakeSource source(row.offers);
        // The source's selection was set before this round trip of ours.
        clipboard.changeCount();
        EXPECT_EQ(clipboard.read(), row.expected) << row.what;
    }
}

TEST_F(WaylandClipboard, WritesOnlyOverTheCopyItWasGiven)
{
    const auto clipboard = waylandClipboard::access();
    std::atomic<int> told{0};
    clipboard.setChangeListener([&] { ++told; });
    const FakeSource copied(std::map<std::string, std::string>{{"text/plain;charset=utf-8", "copied"}});
    const auto seen = clipboard.changeCount();
    ASSERT_EQ(clipboard.read().text, u"copied");
    EXPECT_TRUE(clipboard.writeIfUnchanged(u"en: copied", seen));
    EXPECT_EQ(childProcess({"wl-paste", "--no-newline"}, childProcess::pipeTo::stdoutOfChild).readAll(patience),
              "en: copied");
    EXPECT_EQ(clipboard.read().text, u"en: copied");

    const auto written = clipboard.changeCount();
    told = 0;
    const FakeSource newer(std::map<std::string, std::string>{{"text/plain;charset=utf-8", "newer"}});
    EXPECT_TRUE(testing_support::waitUntil([&] { return told > 0; }, patience));
    EXPECT_FALSE(clipboard.writeIfUnchanged(u"too late", written));
    EXPECT_EQ(clipboard.read().text, u"newer");
    clipboard.setChangeListener({});
}

// Whether the peer of a connection has hung up; drains what it sent.
bool hungUp(int fd)
{
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {}
    return got == 0;
}

// A compositor that takes the connection and never answers: the first use
// falls back to X11, and the connection is given up.
TEST(SessionClipboards, ASilentCompositorLeavesX11)
{
    waylandClipboard::access().stop();
    const auto folder = testing_support::temporaryFolder("tarsel-silent-wayland");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (folder / "wayland-silent").string();
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    const std::string before = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
    setenv("WAYLAND_DISPLAY", path.c_str(), 1);

    tarselTranslatorClipboardAccess x11{};
    x11.read = [] { return clipboardContent{u"x11", false}; };
    x11.stop = [] {};
    const auto clipboard = withSessionClipboards(x11);
    const int accepted = accept(listening, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(clipboard.read().text, u"x11");
    EXPECT_TRUE(testing_support::waitUntil([&] { return hungUp(accepted); }, patience));

    clipboard.stop();
    close(accepted);
    close(listening);
    setenv("WAYLAND_DISPLAY", before.c_str(), 1);
}

// An X11 side whose copies the test makes.
struct FakeX11 {
    tarselTranslatorClipboardAccess access()
    {
        tarselTranslatorClipboardAccess side{};
        side.read = [] { return clipboardContent{u"x11", false}; };
        side.write = [](const std::u16string&) {};
        side.changeCount = [this] { return count.load(); };
        side.noticedChangeCount = [this]() -> std::optional<std::uint64_t> { return count.load(); };
        side.writeIfUnchanged = [](const std::u16string&, std::uint64_t) { return false; };
        side.setChangeListener = [this](std::function<void()> notify) {
            std::lock_guard lock(listenerMutex);
            listener = std::move(notify);
        };
        side.stop = [] {};
        return side;
    }
    void copy()
    {
        ++count;
        std::lock_guard lock(listenerMutex);
        if (listener)
            listener();
    }

    std::atomic<std::uint64_t> count{0};
    std::mutex listenerMutex;
    std::function<void()> listener;
};

// A compositor that goes away ends the Wayland path alone: reads and
// notices go on from X11, and the next use after stop finds a new one.
TEST(SessionClipboards, ACompositorGoneLeavesX11)
{
    waylandClipboard::access().stop();
    const std::string before = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
    auto compositor = startSway();
    ASSERT_TRUE(compositor);
    FakeX11 x11;
    const auto clipboard = withSessionClipboards(x11.access());
    std::atomic<int> told{0};
    clipboard.setChangeListener([&] { ++told; });
    auto copied = std::make_unique<FakeSource>(std::map<std::string, std::string>{{"text/plain", "wayland"}});
    ASSERT_TRUE(testing_support::waitUntil([&] { return told == 1; }, patience));
    EXPECT_EQ(clipboard.read().text, u"wayland");
    EXPECT_TRUE(clipboard.noticedChangeCount());
    const auto counted = clipboard.changeCount();

    compositor.reset();
    EXPECT_TRUE(testing_support::waitUntil([&] { return told == 2 && !clipboard.noticedChangeCount(); }, patience));
    EXPECT_EQ(clipboard.read().text, u"x11");
    EXPECT_EQ(clipboard.changeCount(), counted);
    clipboard.write(u"en: wayland");
    EXPECT_FALSE(clipboard.writeIfUnchanged(u"en: wayland", counted));
    x11.copy();
    EXPECT_EQ(clipboard.changeCount(), counted + 1);
    copied.reset();
    clipboard.stop();
    // The end was told once, and the X11 copy after it.
    EXPECT_EQ(told, 3);

    compositor = startSway();
    ASSERT_TRUE(compositor);
    const FakeSource again(std::map<std::string, std::string>{{"text/plain", "again"}});
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            clipboard.changeCount();
            return clipboard.read().text == u"again";
        },
        patience));
    EXPECT_TRUE(clipboard.noticedChangeCount());
    clipboard.setChangeListener({});
    clipboard.stop();
    setenv("WAYLAND_DISPLAY", before.c_str(), 1);
}

}  // namespace

// The Wayland selection through a data-control protocol, on a connection
// and a thread of our own. Callers queue a task and wait for it with a
// bound; the thread runs the tasks, the compositor's events and the
// transfers of what we own to other programs.
#include "monitor/clipboard_wayland.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/change_notices.h"
#include "monitor/clipboard.h"
#include "monitor/clipboard_formats.h"
#include "monitor/service_thread.h"
#include "support/file_descriptor.h"
#include "support/text_conversion.h"
#include "wlr-data-control-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// The X11 path's bounds (clipboard_x11.cpp): each answer from another
// program within replyBound, a whole read within readBound.
constexpr auto replyBound = std::chrono::seconds(1);
constexpr auto readBound = std::chrono::seconds(3);
constexpr auto callerSlack = std::chrono::seconds(1);
constexpr auto stalledTransferBound = std::chrono::seconds(5);
constexpr std::size_t readLimit = 4 * 1024 * 1024;

// The only place that names a data-control protocol. Their requests and
// events come in the same order with the same arguments, so another one
// (ext_data_control_manager_v1) is one more row, its interfaces generated
// from its description.
struct Binding {
    const char* global;
    const wl_interface* manager;
    const wl_interface* device;
    const wl_interface* source;
    const wl_interface* offer;
    std::uint32_t version;
};
const Binding bindings[] = {
    {"zwlr_data_control_manager_v1", &zwlr_data_control_manager_v1_interface, &zwlr_data_control_device_v1_interface,
     &zwlr_data_control_source_v1_interface, &zwlr_data_control_offer_v1_interface, 2},
};

enum ManagerRequest : std::uint32_t { createDataSource, getDataDevice, destroyManager };
enum DeviceRequest : std::uint32_t { setSelection, destroyDevice };
enum SourceRequest : std::uint32_t { offerType, destroySource };
enum OfferRequest : std::uint32_t { receiveType, destroyOffer };

// Event handlers in protocol order, as libwayland calls them.
struct DeviceListener {
    void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
    void (*selection)(void*, wl_proxy*, wl_proxy*);
    void (*finished)(void*, wl_proxy*);
    void (*primarySelection)(void*, wl_proxy*, wl_proxy*);
};
struct SourceListener {
    void (*send)(void*, wl_proxy*, const char*, std::int32_t);
    void (*cancelled)(void*, wl_proxy*);
};
struct OfferListener {
    void (*offer)(void*, wl_proxy*, const char*);
};

template <typename Listener>
void listen(wl_proxy* proxy, const Listener& listener, void* data)
{
    wl_proxy_add_listener(proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)), data);
}

void destroyWith(wl_proxy* proxy, std::uint32_t destructor)
{
    if (proxy)
        wl_proxy_marshal_flags(proxy, destructor, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
}

// `utf8` without a sequence cut short at its end.
std::string wholeCharacters(std::string utf8)
{
    std::size_t start = utf8.size();
    for (int back = 0; back < 4 && start > 0; ++back) {
        const auto byte = static_cast<unsigned char>(utf8[--start]);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            if (start + length > utf8.size())
                utf8.resize(start);
            break;
        }
    }
    return utf8;
}

// Changes of the selection seen on our connections so far; watched while
// the live connection has a data-control device.
ChangeNotices notices;

// Another program's offer: the types it announced, and its text once read.
struct Offer {
    explicit Offer(wl_proxy* proxy) : proxy(proxy) {}
    Offer(const Offer&) = delete;
    Offer& operator=(const Offer&) = delete;
    ~Offer() { destroyWith(proxy, destroyOffer); }

    bool offers(std::string_view type) const { return std::find(types.begin(), types.end(), type) != types.end(); }

    wl_proxy* proxy;
    std::vector<std::string> types;
    std::optional<clipboardContent> kept;
};

struct Source {
    explicit Source(wl_proxy* proxy) : proxy(proxy) {}
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() { destroyWith(proxy, destroySource); }

    wl_proxy* proxy;
    std::u16string text;
    std::shared_ptr<const std::string> utf8;
    std::shared_ptr<const std::string> latin1;
};

struct OutgoingTransfer {
    FileDescriptor fd;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    Clock::time_point deadline;
};

struct DisplayDeleter {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};

// Everything that lives on the service thread. Not thread-safe by design.
class Connection {
public:
    Connection(wl_display* display, int wakeFd, const std::atomic<bool>& stopping)
        : display(display), wakeDescriptor(wakeFd), serviceStopping(stopping)
    {
        registry = reinterpret_cast<wl_proxy*>(wl_display_get_registry(display));
        static const wl_registry_listener registryListener{
            [](void* self, wl_registry*, std::uint32_t name, const char* interface, std::uint32_t version) {
                static_cast<Connection*>(self)->announced(name, interface, version);
            },
            [](void*, wl_registry*, std::uint32_t) {},
        };
        wl_registry_add_listener(reinterpret_cast<wl_registry*>(registry), &registryListener, this);
        if (!roundTrip() || !binding || !seat)
            return;
        device = wl_proxy_marshal_flags(manager, getDataDevice, binding->device, wl_proxy_get_version(manager), 0,
                                        nullptr, seat);
        static const DeviceListener deviceListener{
            [](void* self, wl_proxy*, wl_proxy* offer) { static_cast<Connection*>(self)->offered(offer); },
            [](void* self, wl_proxy*, wl_proxy* offer) { static_cast<Connection*>(self)->selected(offer); },
            [](void* self, wl_proxy*) { static_cast<Connection*>(self)->deviceFinished = true; },
            [](void* self, wl_proxy*, wl_proxy* offer) { static_cast<Connection*>(self)->take(offer); },
        };
        listen(device, deviceListener, this);
        // The current selection arrives at once, and counts as a change:
        // whatever happened while nobody of ours watched.
        if (roundTrip())
            notices.watching();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        transfers.clear();
        owned.reset();
        selection.reset();
        unclaimed.clear();
        destroyWith(device, destroyDevice);
        destroyWith(manager, destroyManager);
        if (seat)
            wl_proxy_destroy(seat);
        wl_proxy_destroy(registry);
        wl_display_flush(display);
    }

    bool watching() const { return device && !lost(); }
    bool lost() const { return deviceFinished || wl_display_get_error(display) != 0; }

    clipboardContent read()
    {
        if (owned)
            return {owned->text};
        if (!selection)
            return {};
        if (!selection->kept)
            selection->kept = readFrom(*selection);
        return selection->kept.value_or(clipboardContent());
    }

    bool write(const std::u16string& text, std::optional<std::uint64_t> expected)
    {
        if (!watching() || (expected && (!roundTrip() || notices.count() != *expected)))
            return false;
        auto source = std::make_unique<Source>(wl_proxy_marshal_flags(manager, createDataSource, binding->source,
                                                                      wl_proxy_get_version(manager), 0, nullptr));
        source->text = upToFirstNul(text);
        source->utf8 = std::make_shared<const std::string>(wideToUtf8(source->text));
        source->latin1 = std::make_shared<const std::string>(wideToLatin1(source->text));
        static const SourceListener sourceListener{
            [](void* self, wl_proxy* proxy, const char* type, std::int32_t fd) {
                static_cast<Connection*>(self)->send(proxy, type, FileDescriptor(fd));
            },
            [](void* self, wl_proxy* proxy) { static_cast<Connection*>(self)->cancelled(proxy); },
        };
        listen(source->proxy, sourceListener, this);
        for (const std::string_view name : clipboardFormats::plainTexts) {
            const std::string type(name);
            wl_proxy_marshal_flags(source->proxy, offerType, nullptr, wl_proxy_get_version(source->proxy), 0,
                                   type.c_str());
        }
        wl_proxy_marshal_flags(device, setSelection, nullptr, wl_proxy_get_version(device), 0, source->proxy);
        owned = std::move(source);
        wl_display_flush(display);
        return true;
    }

    // Every change the compositor made before now is counted.
    std::uint64_t count()
    {
        roundTrip();
        return notices.count();
    }

    // Sleeps until the compositor, a caller or a transfer has something for
    // us, or `deadline` comes; handles the compositor's events.
    void awaitActivity(std::optional<Clock::time_point> deadline)
    {
        for (const auto& transfer : transfers)
            deadline = std::min(deadline.value_or(transfer.deadline), transfer.deadline);
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
        std::vector<pollfd> fds{{wl_display_get_fd(display), POLLIN, 0}, {wakeDescriptor, POLLIN, 0}};
        for (const auto& transfer : transfers)
            fds.push_back({transfer.fd.get(), POLLOUT, 0});
        const int ready = poll(fds.data(), fds.size(), deadline ? millisecondsUntil(*deadline) : -1);
        if (ready > 0 && fds[0].revents)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        wl_display_dispatch_pending(display);
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            eventfd_t count;
            eventfd_read(wakeDescriptor, &count);
        }
        continueTransfers();
    }

private:
    void announced(std::uint32_t name, const char* interface, std::uint32_t version)
    {
        auto* wlRegistry = reinterpret_cast<wl_registry*>(registry);
        if (!seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
            seat = static_cast<wl_proxy*>(wl_registry_bind(wlRegistry, name, &wl_seat_interface, 1));
            return;
        }
        for (const Binding& candidate : bindings) {
            if (!binding && std::strcmp(interface, candidate.global) == 0) {
                binding = &candidate;
                manager = static_cast<wl_proxy*>(
                    wl_registry_bind(wlRegistry, name, candidate.manager, std::min(version, candidate.version)));
            }
        }
    }

    void offered(wl_proxy* proxy)
    {
        auto offer = std::make_unique<Offer>(proxy);
        static const OfferListener offerListener{[](void* data, wl_proxy*, const char* type) {
            auto* offer = static_cast<Offer*>(data);
            // Enough to find the types that matter, whatever else is offered.
            if (offer->types.size() < 512)
                offer->types.emplace_back(type);
        }};
        listen(proxy, offerListener, offer.get());
        unclaimed.push_back(std::move(offer));
    }

    // The offer the event names, no longer unclaimed; nothing for null.
    std::unique_ptr<Offer> take(wl_proxy* proxy)
    {
        std::unique_ptr<Offer> found;
        for (auto& offer : unclaimed) {
            if (offer->proxy == proxy)
                found = std::move(offer);
        }
        std::erase(unclaimed, nullptr);
        return found;
    }

    void selected(wl_proxy* proxy)
    {
        selection = take(proxy);
        notices.changed();
    }

    void cancelled(wl_proxy* proxy)
    {
        if (owned && owned->proxy == proxy)
            owned.reset();
        // An older source of ours was destroyed when it was replaced.
    }

    void send(wl_proxy* proxy, const char* type, FileDescriptor fd)
    {
        if (!owned || owned->proxy != proxy)
            return;
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
        const bool latin1 = std::strcmp(type, "STRING") == 0;
        transfers.push_back(
            {std::move(fd), latin1 ? owned->latin1 : owned->utf8, 0, Clock::now() + stalledTransferBound});
        continueTransfers();
    }

    // Writes what each requestor can take now; a finished, failed or
    // stalled transfer is closed, which ends it for the requestor.
    void continueTransfers()
    {
        const auto now = Clock::now();
        std::erase_if(transfers, [&](OutgoingTransfer& transfer) {
            while (transfer.offset < transfer.data->size()) {
                const ssize_t written = ::write(transfer.fd.get(), transfer.data->data() + transfer.offset,
                                                transfer.data->size() - transfer.offset);
                if (written < 0)
                    return errno != EAGAIN || transfer.deadline <= now;
                transfer.offset += static_cast<std::size_t>(written);
                transfer.deadline = now + stalledTransferBound;
            }
            return true;
        });
    }

    // The offer's content; nothing when an answer did not come, which is
    // asked for again next time.
    std::optional<clipboardContent> readFrom(Offer& offer)
    {
        const auto offers = [&](std::string_view type) { return offer.offers(type); };
        if (std::any_of(clipboardFormats::fileLists.begin(), clipboardFormats::fileLists.end(), offers))
            return clipboardContent{};
        const auto type =
            std::find_if(clipboardFormats::plainTexts.begin(), clipboardFormats::plainTexts.end(), offers);
        if (type == clipboardFormats::plainTexts.end())
            return clipboardContent{};
        const auto deadline = Clock::now() + readBound;
        clipboardContent content;
        // A hint that is offered but cannot be read counts as secret.
        if (offers(clipboardFormats::secretHint)) {
            const auto hint = receive(offer, std::string(clipboardFormats::secretHint), deadline);
            content.secret = !hint || *hint == "secret";
        }
        const auto data = receive(offer, std::string(*type), deadline);
        if (!data)
            return std::nullopt;
        content.text = upToFirstNul(decode(*data, *type));
        return content;
    }

    static std::u16string decode(const std::string& data, std::string_view type)
    {
        if (type == "STRING")
            return latin1ToWide(data);
        // Only a text cut at the read limit may end inside a character.
        auto text = utf8ToWide(data.size() >= readLimit ? wholeCharacters(data) : data);
        // A bare text/plain that is no valid UTF-8 is taken as Latin-1.
        const bool invalid =
            text.find(u'\uFFFD') != std::u16string::npos && data.find("\xEF\xBF\xBD") == std::string::npos;
        if (type == "text/plain" && invalid)
            return latin1ToWide(data);
        return text;
    }

    // The offer's data in `type`, up to readLimit bytes; nothing when it
    // does not come within the bounds.
    std::optional<std::string> receive(Offer& offer, const std::string& type, Clock::time_point deadline)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return std::nullopt;
        const FileDescriptor readEnd(ends[0]);
        {
            const FileDescriptor writeEnd(ends[1]);
            wl_proxy_marshal_flags(offer.proxy, receiveType, nullptr, wl_proxy_get_version(offer.proxy), 0,
                                   type.c_str(), writeEnd.get());
            wl_display_flush(display);
        }
        std::string data;
        char chunk[65536];
        while (data.size() < readLimit) {
            pollfd fd{readEnd.get(), POLLIN, 0};
            if (poll(&fd, 1, millisecondsUntil(std::min(deadline, Clock::now() + replyBound))) <= 0 ||
                serviceStopping.load())
                return std::nullopt;
            const ssize_t got = ::read(readEnd.get(), chunk, std::min(sizeof chunk, readLimit - data.size()));
            if (got == 0)
                return data;
            if (got < 0 && errno != EAGAIN && errno != EINTR)
                return std::nullopt;
            if (got > 0)
                data.append(chunk, static_cast<std::size_t>(got));
        }
        return data;
    }

    // Handles the compositor's events until it has answered everything
    // sent before; false when it did not within replyBound.
    bool roundTrip()
    {
        bool done = false;
        auto* callback = reinterpret_cast<wl_proxy*>(wl_display_sync(display));
        static const wl_callback_listener callbackListener{
            [](void* done, wl_callback*, std::uint32_t) { *static_cast<bool*>(done) = true; }};
        wl_callback_add_listener(reinterpret_cast<wl_callback*>(callback), &callbackListener, &done);
        const auto deadline = Clock::now() + replyBound;
        while (!done && !lost() && !serviceStopping.load() && Clock::now() < deadline)
            awaitActivity(deadline);
        wl_proxy_destroy(callback);
        return done;
    }

    wl_display* display;
    int wakeDescriptor;
    const std::atomic<bool>& serviceStopping;
    wl_proxy* registry = nullptr;
    wl_proxy* seat = nullptr;
    wl_proxy* manager = nullptr;
    wl_proxy* device = nullptr;
    const Binding* binding = nullptr;
    bool deviceFinished = false;
    std::vector<std::unique_ptr<Offer>> unclaimed;
    std::unique_ptr<Offer> selection;
    std::unique_ptr<Source> owned;
    std::vector<OutgoingTransfer> transfers;
};

// Every call on our connection is made on the service thread.
class Service {
public:
    Service()
    {
        tasks.start([this] { serve(); },
                    [this] {
                        {
                            std::lock_guard lock(stateMutex);
                            attempted = true;
                            attemptEnded.notify_all();
                        }
                        notices.watchEnded();
                    });
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() { stop(); }

    // Whether the connection came up with a data-control device; waits for
    // the attempt to end.
    bool connected()
    {
        std::unique_lock lock(stateMutex);
        attemptEnded.wait_for(lock, 2 * replyBound + callerSlack, [&] { return attempted; });
        return watching;
    }

    // Runs `work` on the service thread; false if it did not run within `bound`.
    bool call(std::function<void(Connection&)> work, Clock::duration bound)
    {
        return tasks.call(std::move(work), bound + callerSlack);
    }

    void stop() { tasks.stop(); }

private:
    void serve()
    {
        const std::unique_ptr<wl_display, DisplayDeleter> display(wl_display_connect(nullptr));
        if (!display)
            return;
        Connection ourConnection(display.get(), tasks.wakeDescriptor(), tasks.stoppingFlag());
        tasks.serveOn(ourConnection);
        {
            std::lock_guard lock(stateMutex);
            attempted = true;
            watching = ourConnection.watching();
            attemptEnded.notify_all();
        }
        while (ourConnection.watching() && tasks.runQueued()) {
            if (tasks.idle())
                ourConnection.awaitActivity(std::nullopt);
        }
    }

    std::mutex stateMutex;
    std::condition_variable attemptEnded;
    bool attempted = false;
    bool watching = false;
    ConnectionThread<Connection> tasks;
};

// Started on first use; after a lost compositor it stays ended until stop.
std::mutex lifecycleMutex;
std::shared_ptr<Service> currentService;

std::shared_ptr<Service> service()
{
    std::lock_guard lock(lifecycleMutex);
    if (!currentService)
        currentService = std::make_shared<Service>();
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

clipboardContent readSelection()
{
    auto content = std::make_shared<clipboardContent>();
    if (!call([content](Connection& c) { *content = c.read(); }, replyBound + readBound))
        return {};
    return std::move(*content);
}

bool writeSelection(const std::u16string& text, std::optional<std::uint64_t> expected)
{
    auto written = std::make_shared<bool>(false);
    return call([=](Connection& c) { *written = c.write(text, expected); }) && *written;
}

void setListener(std::function<void()> notify)
{
    const bool listening = static_cast<bool>(notify);
    notices.setListener(std::move(notify));
    if (listening)
        waylandClipboard::connect();
}

void stopService()
{
    setListener({});
    std::lock_guard lock(lifecycleMutex);
    if (currentService)
        currentService->stop();
    currentService.reset();
}

}  // namespace

namespace waylandClipboard {

void connect()
{
    try {
        service();
    } catch (...) {
    }
}

bool available()
{
    try {
        return service()->connected();
    } catch (...) {
        return false;
    }
}

tarselTranslatorClipboardAccess access()
{
    return {
        readSelection,
        [](const std::u16string& text) { writeSelection(text, std::nullopt); },
        [] {
            call([](Connection& c) { c.count(); });
            return notices.count();
        },
        []() -> std::optional<std::uint64_t> { return notices.noticed(); },
        [](const std::u16string& text, std::uint64_t expected) { return writeSelection(text, expected); },
        setListener,
        stopService,
    };
}

}  // namespace waylandClipboard

// Speech through speech-dispatcher, the daemon Linux screen readers speak
// with, in its protocol SSIP. One worker thread owns the connection and does
// all its reading and writing; announce() and speak() only queue, so no
// caller ever waits on the daemon (not even while it starts, which can take
// a second). libspeechd waits for the daemon's greeting with no time-out,
// and in the mode that reports speech events it waits for every reply with
// none either, so of libspeechd only the daemon's address is taken: the
// worker speaks SSIP itself and bounds every wait.
#include "support/speech.h"

#include "support/file_descriptor.h"
#include "support/text_conversion.h"

#include <speech-dispatcher/libspeechd.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char clientName[] = "tarsel-translator";
constexpr char defaultLanguage[] = "pt-BR";

// Bounds connecting and each reply of a connected daemon.
constexpr auto replyTimeout = std::chrono::seconds(3);
// Bounds the daemon's own start-up command.
constexpr auto spawnTimeout = std::chrono::seconds(10);
// How long a later text of ours waits for our text before it: to start
// (it may be queued behind the screen reader's speech) and then to be
// spoken. Ten characters a second is slower than any voice, so a text is
// never cut by our next one while its end is merely late.
constexpr auto beginTimeout = std::chrono::seconds(5);
constexpr auto endTimeoutBase = std::chrono::seconds(2);
constexpr auto endTimeoutPerCharacter = std::chrono::milliseconds(100);

// Replies and events are a few short lines; more is no SSIP.
constexpr size_t maxResponse = 64 * 1024;

// Our fixed messages go at "important": the daemon says them at once and
// postpones, rather than drops, a text of ours that has not begun (a message
// at "message" would drop it). Translations go at "text", which anything of
// the screen reader's may cut, as it cuts its own speech.
enum class Priority { important, text };

struct Utterance {
    std::string text;      // UTF-8
    std::string language;  // BCP 47
    Priority priority;
};

// The code goes into an SSIP command line: anything but letters, digits, '-'
// and '_' could end that line and smuggle in another command.
bool isLanguageCode(const std::string& code)
{
    return !code.empty() && code.size() <= 35 && std::all_of(code.begin(), code.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

// The endpoint's codes that speech-dispatcher knows by another name. The
// daemon keys its symbol and emoji dictionaries by CLDR's codes, as
// synthesisers do, and CLDR replaced "jw" with "jv" and "tl" with "fil".
// "zh-CN" and "zh-TW" stay: the daemon has zh_CN and zh_TW dictionaries, and
// espeak-ng answers both with its Mandarin voice.
std::string daemonLanguage(const std::string& code)
{
    static constexpr std::pair<std::string_view, std::string_view> renamed[] = {{"jw", "jv"}, {"tl", "fil"}};
    for (const auto& [endpoint, daemon] : renamed) {
        if (code == endpoint)
            return std::string(daemon);
    }
    return code;
}

size_t characterCount(const std::string& utf8)
{
    return static_cast<size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A line that is only "." ends the data: one that starts with "." gets
// another, as the daemon expects (it removes it again).
std::string escapeDots(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size() + 8);
    if (!text.empty() && text.front() == '.')
        escaped += '.';
    for (size_t i = 0; i < text.size(); ++i) {
        escaped += text[i];
        if (text.compare(i, 3, "\r\n.") == 0) {
            escaped += "\n.";
            ++i;
        }
    }
    return escaped;
}

std::string userName()
{
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return "unknown";
    std::string name = found->pw_name;
    std::erase_if(name, [](char c) { return c == '"' || c == '\r' || c == '\n'; });
    return name;
}

struct AddressFree {
    void operator()(SPDConnectionAddress* address) const { SPDConnectionAddress__free(address); }
};
using Address = std::unique_ptr<SPDConnectionAddress, AddressFree>;

// Waits for `events` on `fd` until `deadline`; false when it passes.
bool ready(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const int wait = millisecondsUntil(deadline);
        if (wait == 0)
            return false;
        pollfd watched{fd, events, 0};
        const int n = poll(&watched, 1, wait);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// The daemon's own start-up command, as libspeechd runs it: it starts the
// daemon unless the user turned that off, and returns once it listens.
bool spawnDaemon(const std::string& socketPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"speech-dispatcher", "--spawn", "--communication-method", "unix_socket", "--socket-path",
                          socketPath.c_str(),  nullptr};
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    // glibc 2.36 declares pidfd_open without C linkage: the system call itself.
    const FileDescriptor exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!exited || !ready(exited.get(), POLLIN, Clock::now() + spawnTimeout))
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A connected, non-blocking socket to the daemon, or an empty one.
FileDescriptor connectTo(const SPDConnectionAddress& address, Clock::time_point deadline)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_UNIX;
    if (address.method == SPD_METHOD_UNIX_SOCKET) {
        auto& unixAddress = reinterpret_cast<sockaddr_un&>(storage);
        const std::string_view path = address.unix_socket_name ? address.unix_socket_name : "";
        if (path.empty() || path.size() >= sizeof unixAddress.sun_path)
            return FileDescriptor();
        unixAddress.sun_family = AF_UNIX;
        path.copy(unixAddress.sun_path, path.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const std::string port = std::to_string(address.inet_socket_port);
        if (getaddrinfo(address.inet_socket_host ? address.inet_socket_host : "127.0.0.1", port.c_str(), &hints,
                        &found) != 0)
            return FileDescriptor();
        std::memcpy(&storage, found->ai_addr, found->ai_addrlen);
        length = found->ai_addrlen;
        family = found->ai_family;
        freeaddrinfo(found);
    }
    FileDescriptor socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket)
        return socket;
    if (connect(socket.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        int error = errno;
        if (error == EINPROGRESS) {
            socklen_t size = sizeof error;
            if (!ready(socket.get(), POLLOUT, deadline) ||
                getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = ETIMEDOUT;
        }
        if (error != 0 && error != EINPROGRESS)
            return FileDescriptor();
    }
    if (family != AF_UNIX) {
        const int on = 1;
        setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return socket;
}

// One reply or event: its three-digit code and the text of each line after
// the code and its separator.
struct Response {
    int code = 0;
    std::vector<std::string> lines;
};

// The message number a reply (225) or an event (701 to 703) names first; 0 when none.
long messageId(const Response& response)
{
    if (response.lines.empty())
        return 0;
    char* end = nullptr;
    const long id = std::strtol(response.lines.front().c_str(), &end, 10);
    return id > 0 && *end == '\0' ? id : 0;
}

// What the daemon told of one of our utterances (SSIP events 701 to 703).
struct Progress {
    std::optional<Clock::time_point> begun;
    bool over = false;  // ended, or cut
};

// One connection to the daemon, used by the worker thread alone.
class Daemon {
public:
    bool connected() const { return static_cast<bool>(daemonSocket); }

    void disconnect()
    {
        daemonSocket.reset();
        inbox.clear();
        currentLanguage.clear();
        priority.reset();
        lastText.reset();
        progressById.clear();
    }

    // Connects and introduces the client. An explicit address (SPEECHD_ADDRESS)
    // names a daemon someone else runs (a test, a remote session): none is
    // ever started there. Otherwise the installed daemon is started, as every
    // other client of it does.
    bool connect()
    {
        disconnect();
        char* error = nullptr;
        const Address address(spd_get_default_address(&error));
        std::free(error);
        if (!address)
            return false;
        daemonSocket = connectTo(*address, Clock::now() + replyTimeout);
        if (!daemonSocket && std::getenv("SPEECHD_ADDRESS") == nullptr && address->method == SPD_METHOD_UNIX_SOCKET &&
            spawnDaemon(address->unix_socket_name))
            daemonSocket = connectTo(*address, Clock::now() + replyTimeout);
        if (!daemonSocket)
            return false;
        const bool greeted = command("SET SELF CLIENT_NAME \"" + userName() + ":" + clientName + ":main\"") &&
            command("SET SELF SSML_MODE off");
        // A daemon without speech events is still spoken to, with no waits.
        notified = greeted && command("SET SELF NOTIFICATION BEGIN on") && command("SET SELF NOTIFICATION END on") &&
            command("SET SELF NOTIFICATION CANCEL on");
        if (!greeted || !daemonSocket) {
            disconnect();
            return false;
        }
        return true;
    }

    // Waits until our text before has ended or been cut: the daemon drops a
    // text that has not begun when another text comes. A fixed message waits
    // for nothing: the daemon queues it behind our fixed messages, and holds
    // back a text of ours that has not begun until it has been said (one
    // being spoken is cut, as the user's key would). Each wait is bounded.
    // False when the connection failed meanwhile.
    bool awaitPrevious(Priority next)
    {
        if (!lastText || !notified || next == Priority::important)
            return true;
        for (;;) {
            const Progress& progress = progressById[lastText->id];
            if (progress.over)
                return true;
            const auto deadline =
                progress.begun ? *progress.begun + lastText->endTimeout : lastText->sent + beginTimeout;
            if (Clock::now() >= deadline)
                return true;
            if (!readResponse(deadline, false))
                return connected();
        }
    }

    enum class Delivery { spoken, notSent, unknown };

    // Language, priority and text go out back to back on this one thread, so
    // an utterance always carries its own.
    Delivery say(const Utterance& utterance)
    {
        const std::string language =
            isLanguageCode(utterance.language) ? daemonLanguage(utterance.language) : defaultLanguage;
        if (language != currentLanguage) {
            // A daemon that refuses the code still speaks, in its own voice.
            const auto reply = exchange("SET SELF LANGUAGE " + language);
            if (!reply)
                return Delivery::notSent;
            currentLanguage = isSuccess(*reply) ? language : std::string();
        }
        if (priority != utterance.priority) {
            if (!command(utterance.priority == Priority::important ? "SET SELF PRIORITY important"
                                                                   : "SET SELF PRIORITY text"))
                return Delivery::notSent;
            priority = utterance.priority;
        }
        const auto receiving = exchange("SPEAK");
        if (!receiving || receiving->code != 230)
            return Delivery::notSent;
        // Once the whole text is out the daemon may speak it, whatever becomes
        // of its reply: it is never sent again.
        if (!send(escapeDots(utterance.text) + "\r\n.\r\n"))
            return Delivery::notSent;
        const auto sent = Clock::now();
        const auto queued = nextReply(sent + replyTimeout);
        if (!queued || queued->code != 225)
            return Delivery::unknown;
        // Only a text can be cut by a later utterance of ours.
        const long id = messageId(*queued);
        if (id != 0 && utterance.priority == Priority::text) {
            const auto characters = static_cast<long>(characterCount(utterance.text));
            lastText = Spoken{id, sent, endTimeoutBase + characters * endTimeoutPerCharacter};
            progressById.erase(progressById.begin(), progressById.lower_bound(id));
        }
        return Delivery::spoken;
    }

private:
    struct Spoken {
        long id;
        Clock::time_point sent;
        Clock::duration endTimeout;  // once begun
    };

    static bool isSuccess(const Response& reply) { return reply.code >= 200 && reply.code < 300; }

    bool command(const std::string& line)
    {
        const auto reply = exchange(line);
        return reply && isSuccess(*reply);
    }

    std::optional<Response> exchange(const std::string& line)
    {
        const auto deadline = Clock::now() + replyTimeout;
        if (!send(line + "\r\n", deadline))
            return std::nullopt;
        return nextReply(deadline);
    }

    bool send(std::string_view data, Clock::time_point deadline = Clock::now() + replyTimeout)
    {
        while (daemonSocket && !data.empty()) {
            const ssize_t n = ::send(daemonSocket.get(), data.data(), data.size(), MSG_NOSIGNAL);
            if (n > 0)
                data.remove_prefix(static_cast<size_t>(n));
            else if (n < 0 && (errno == EINTR || (errno == EAGAIN && ready(daemonSocket.get(), POLLOUT, deadline))))
                continue;
            else
                fail();
        }
        return static_cast<bool>(daemonSocket);
    }

    // The next reply, noting the events that come before it.
    std::optional<Response> nextReply(Clock::time_point deadline)
    {
        for (;;) {
            auto response = readResponse(deadline);
            if (!response || response->code < 700 || response->code >= 800)
                return response;
        }
    }

    // Reads one reply or event; an event is noted as it comes. Nothing once
    // `deadline` passes or the connection fails. A reply that late would be
    // taken for the answer to a later command, so the connection is dropped
    // then, unless only an event was awaited (`lateIsFailure` false).
    std::optional<Response> readResponse(Clock::time_point deadline, bool lateIsFailure = true)
    {
        for (;;) {
            if (auto response = takeResponse()) {
                note(*response);
                return response;
            }
            if (!daemonSocket || inbox.size() > maxResponse) {
                fail();
                return std::nullopt;
            }
            if (!ready(daemonSocket.get(), POLLIN, deadline)) {
                if (lateIsFailure)
                    fail();
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t n = recv(daemonSocket.get(), buffer, sizeof buffer, 0);
            if (n > 0)
                inbox.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                fail();
        }
    }

    // The first whole response in what has been read, if any: lines of
    // "NNN-text" ended by one of "NNN text".
    std::optional<Response> takeResponse()
    {
        Response response;
        for (size_t start = 0;;) {
            const size_t end = inbox.find('\n', start);
            if (end == std::string::npos)
                return std::nullopt;
            std::string_view line(inbox.data() + start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (response.lines.empty())
                response.code = std::atoi(std::string(line.substr(0, 3)).c_str());
            response.lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
            start = end + 1;
            if (line.size() < 4 || line[3] != '-') {
                inbox.erase(0, start);
                return response;
            }
        }
    }

    // Events 701 (begun), 702 (ended) and 703 (cut) name the message first.
    void note(const Response& event)
    {
        if (event.code < 701 || event.code > 703 || event.lines.empty())
            return;
        const long id = messageId(event);
        if (id == 0 || (lastText && id < lastText->id))
            return;
        Progress& progress = progressById[id];
        if (event.code == 701)
            progress.begun = Clock::now();
        else
            progress.over = true;
    }

    // A late reply would answer the wrong command: nothing more is read.
    void fail() { daemonSocket.reset(); }

    FileDescriptor daemonSocket;
    std::string inbox;
    bool notified = false;
    std::string currentLanguage;
    std::optional<Priority> priority;
    std::optional<Spoken> lastText;
    std::map<long, Progress> progressById;
};

class Speaker {
public:
    Speaker()
    {
        std::thread([this] { run(); }).detach();
    }

    void enqueue(Utterance utterance)
    {
        {
            std::lock_guard<std::mutex> guard(queueMutex);
            queue.push_back(std::move(utterance));
        }
        wake.notify_one();
    }

private:
    void run()
    {
        if (!daemon.connect())
            dropQueued();
        for (;;) {
            Utterance next;
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                wake.wait(lock, [this] { return !queue.empty(); });
                next = std::move(queue.front());
                queue.pop_front();
            }
            if (!deliver(next))
                dropQueued();
        }
    }

    // A connection found broken is dropped and the utterance goes once more
    // over a fresh one, so a restarted daemon loses nothing; but a text that
    // may have reached the daemon is never sent twice. False when no daemon
    // answered.
    bool deliver(const Utterance& utterance)
    {
        bool fresh = !daemon.connected();
        if (fresh && !daemon.connect())
            return false;
        if (!daemon.awaitPrevious(utterance.priority)) {
            if (!daemon.connect())
                return false;
            fresh = true;
        }
        auto delivery = daemon.say(utterance);
        if (delivery == Daemon::Delivery::notSent && !fresh && !daemon.connected()) {
            if (!daemon.connect())
                return false;
            delivery = daemon.say(utterance);
        }
        if (delivery != Daemon::Delivery::spoken)
            daemon.disconnect();
        return true;
    }

    // What came in while no daemon answered would only come late: silence.
    // The next utterance tries the daemon again.
    void dropQueued()
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        queue.clear();
    }

    std::mutex queueMutex;
    std::condition_variable wake;
    std::deque<Utterance> queue;

    // Used by the worker thread alone.
    Daemon daemon;
};

// Never destroyed: its thread runs until the process ends, and the
// connection closes with the process.
Speaker& speaker()
{
    static Speaker* const instance = new Speaker;
    return *instance;
}

void enqueue(const std::u16string& text, const std::string& language, Priority priority)
{
    // Up to its first NUL, as the clipboard takes it: the daemon reads C strings.
    const std::u16string spoken = text.substr(0, text.find(u'\0'));
    if (spoken.empty())
        return;
    speaker().enqueue(Utterance{wideToUtf8(spoken), language, priority});
}

}  // namespace

void speech::load()
{
    speaker();
}

void speech::announce(const std::u16string& text)
{
    enqueue(text, defaultLanguage, Priority::important);
}

void speech::speak(const std::u16string& text)
{
    speak(text, defaultLanguage);
}

void speech::speak(const std::u16string& text, const std::string& language)
{
    enqueue(text, language, Priority::text);
}

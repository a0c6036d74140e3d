// Speech through speech-dispatcher, the daemon Linux screen readers speak
// with. One worker thread owns the connection and makes every libspeechd
// call; speak() only queues, so no caller ever waits on the daemon (not even
// while libspeechd starts it, which can take a second).
#include "support/speech.h"

#include "support/text_conversion.h"

#include <speech-dispatcher/libspeechd.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <string_view>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char clientName[] = "tarsel-translator";
constexpr char defaultLanguage[] = "pt-BR";

// A missing daemon costs one connection attempt per interval, not one per
// utterance.
constexpr auto retryInterval = std::chrono::seconds(2);

// Bounds every exchange with a connected daemon that stops answering.
constexpr timeval replyTimeout{3, 0};

struct Utterance {
    std::string text;      // UTF-8
    std::string language;  // BCP 47
};

struct ConnectionCloser {
    void operator()(SPDConnection* connection) const { spd_close(connection); }
};
using Connection = std::unique_ptr<SPDConnection, ConnectionCloser>;

// The code goes into an SSIP command line: anything but letters, digits, '-'
// and '_' could end that line and smuggle in another command.
bool isLanguageCode(const std::string& code)
{
    return !code.empty() && code.size() <= 35 && std::all_of(code.begin(), code.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
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

// True when SPEECHD_ADDRESS names a Unix socket that does not exist: there
// is nothing to connect to, and libspeechd leaks a little memory on every
// connection that fails.
bool namedSocketMissing()
{
    constexpr std::string_view prefix = "unix_socket:";
    const char* value = std::getenv("SPEECHD_ADDRESS");
    const std::string_view address = value ? value : "";
    if (address.substr(0, prefix.size()) != prefix)
        return false;
    struct stat info;
    return stat(std::string(address.substr(prefix.size())).c_str(), &info) != 0;
}

class Speaker {
public:
    Speaker() { std::thread([this] { run(); }).detach(); }

    void enqueue(Utterance utterance)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            queue_.push_back(std::move(utterance));
        }
        wake_.notify_one();
    }

private:
    void run()
    {
        // libspeechd writes to the socket with write(): once the daemon is
        // gone that raises SIGPIPE, which would end the whole program. Blocked
        // on this thread, the write fails with EPIPE instead.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

        connect();
        for (;;) {
            Utterance next;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !queue_.empty(); });
                next = std::move(queue_.front());
                queue_.pop_front();
            }
            deliver(next);
        }
    }

    // A connection that fails is dropped and the utterance goes once more over
    // a fresh one, so a restarted daemon loses nothing. Without a daemon the
    // utterance is dropped: silence, not speech that comes late.
    void deliver(const Utterance& utterance)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connection_ && !connect())
                return;
            if (say(utterance))
                return;
            connection_.reset();
        }
    }

    bool connect()
    {
        const auto now = Clock::now();
        if (now < nextAttempt_)
            return false;
        // An explicit address names a daemon someone else runs (a test, a
        // remote session): never start one there. Otherwise libspeechd starts
        // the installed daemon, as every other client of it does.
        const int autospawn = std::getenv("SPEECHD_ADDRESS") == nullptr ? 1 : 0;
        if (!autospawn && namedSocketMissing()) {
            nextAttempt_ = now + retryInterval;
            return false;
        }
        char* error = nullptr;
        Connection opened(spd_open2(clientName, "main", nullptr, SPD_MODE_SINGLE, nullptr, autospawn, &error));
        std::free(error);
        if (opened) {
            // libspeechd has no time-out of its own; its socket is in the
            // public struct.
            setsockopt(opened->socket, SOL_SOCKET, SO_RCVTIMEO, &replyTimeout, sizeof replyTimeout);
            setsockopt(opened->socket, SOL_SOCKET, SO_SNDTIMEO, &replyTimeout, sizeof replyTimeout);
            if (spd_set_data_mode(opened.get(), SPD_DATA_TEXT) == 0) {
                connection_ = std::move(opened);
                connectionLanguage_.clear();
                return true;
            }
        }
        nextAttempt_ = now + retryInterval;
        return false;
    }

    // Language and text go out back to back on this one thread, so an
    // utterance always carries its own language.
    bool say(const Utterance& utterance)
    {
        const std::string language = isLanguageCode(utterance.language) ? daemonLanguage(utterance.language)
                                                                         : defaultLanguage;
        if (language != connectionLanguage_) {
            // A daemon that refuses the code still speaks, in its own voice.
            const bool set = spd_set_language(connection_.get(), language.c_str()) == 0;
            connectionLanguage_ = set ? language : std::string();
        }
        return spd_say(connection_.get(), SPD_TEXT, utterance.text.c_str()) > 0;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Utterance> queue_;

    // Used by the worker thread alone.
    Connection connection_;
    std::string connectionLanguage_;
    Clock::time_point nextAttempt_{};
};

// Never destroyed: its thread runs until the process ends, and the
// connection closes with the process.
Speaker& speaker()
{
    static Speaker* const instance = new Speaker;
    return *instance;
}

}  // namespace

void speech::load()
{
    speaker();
}

void speech::speak(const std::u16string& text)
{
    speak(text, defaultLanguage);
}

void speech::speak(const std::u16string& text, const std::string& language)
{
    if (text.empty())
        return;
    speaker().enqueue(Utterance{wideToUtf8(text), language});
}

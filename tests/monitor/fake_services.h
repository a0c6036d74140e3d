#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "monitor/command_services.h"
#include "support/text_conversion.h"

// Fakes for the command's and the monitor's services: each call is recorded
// as one event ("translate:um", "write:en:um", "speak:en:um", "say:..."), and
// translations follow a script of texts.
class fakeSystem {
public:
    // What translate() does with a text (other texts become "en:" + text).
    enum class outcome { fail, throwError, block, blockThenFail, nul };
    std::map<std::string, outcome> script;

    tarselTranslatorServices services()
    {
        return {
            [this](const std::string& source, const std::string& target) { record("pair:" + source + ">" + target); },
            [this](const std::u16string& text, std::string& language, std::stop_token stop) {
                return translate(text, language, stop);
            },
            [this](const std::u16string& text, const std::string& language) {
                std::string spoken = wideToUtf8(text);
                for (std::size_t nul; (nul = spoken.find('\0')) != std::string::npos;)
                    spoken.replace(nul, 1, "\\0");
                record("speak:" + spoken + "@" + language);
            },
            [this](std::string_view message) { record("say:" + std::string(message)); },
            [this] { record("abort"); },
        };
    }

    tarselTranslatorClipboardAccess clipboard()
    {
        return {
            [this] {
                std::optional<std::u16string> late;
                {
                    std::lock_guard lock(mutex);
                    late.swap(copyOnNextRead);
                }
                if (late)
                    copy(*late);
                clipboardContent content;
                bool takeOver = false;
                {
                    std::lock_guard lock(mutex);
                    if (busyReads > 0)
                        --busyReads;
                    else
                        content = {clipboardText, clipboardSecret};
                    reads.push_back(content.secret ? u"secret:" + content.text : content.text);
                    if (!content.text.empty())
                        takeOver = std::exchange(takeOverOnNextRead, false);
                }
                if (takeOver)
                    copy(content.text);
                changed.notify_all();
                return content;
            },
            [this](const std::u16string& text) { copy(text); },
            [this] {
                {
                    std::lock_guard lock(mutex);
                    ++countsAsked;
                }
                changed.notify_all();
                std::lock_guard lock(mutex);
                return changes;
            },
            [this]() -> std::optional<std::uint64_t> {
                std::lock_guard lock(mutex);
                if (!noticing)
                    return std::nullopt;
                return changes;
            },
            [this](const std::u16string& text, std::uint64_t expected) {
                std::function<void()> notify;
                {
                    std::lock_guard lock(mutex);
                    if (expected != changes)
                        return false;
                    clipboardText = text;
                    clipboardSecret = false;
                    ++changes;
                    notify = listener;
                    events.push_back("write:" + wideToUtf8(text));
                }
                changed.notify_all();
                if (notify)
                    notify();
                return true;
            },
            [this](std::function<void()> notify) {
                std::lock_guard lock(mutex);
                listener = std::move(notify);
            },
            [] {},
        };
    }

    // Another program's copy: a new owner, and its notice.
    void copy(const std::u16string& text, bool secret = false)
    {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex);
            clipboardText = text;
            clipboardSecret = secret;
            ++changes;
            notify = listener;
        }
        if (notify)
            notify();
    }

    // Notices of change stop coming (a lost connection), as the listener is told.
    void endNotices()
    {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex);
            noticing = false;
            countsAsked = 0;
            notify = listener;
        }
        if (notify)
            notify();
    }

    // Another program's copy that no notice reports.
    void copyUnnoticed(const std::u16string& text)
    {
        std::lock_guard lock(mutex);
        clipboardText = text;
        clipboardSecret = false;
        ++changes;
    }

    std::u16string clipboardNow()
    {
        std::lock_guard lock(mutex);
        return clipboardText;
    }

    // Another program copies `text` while the next read asks for the clipboard.
    void copyDuringNextRead(const std::u16string& text)
    {
        std::lock_guard lock(mutex);
        copyOnNextRead = text;
    }

    // Just after the next read that finds a text, a clipboard manager takes
    // that text over, without its mark.
    void takeOverAfterNextRead()
    {
        std::lock_guard lock(mutex);
        takeOverOnNextRead = true;
    }

    // The next read finds the clipboard held by another program.
    void busy()
    {
        std::lock_guard lock(mutex);
        ++busyReads;
    }

    // Lets a blocked translation answer.
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    // Waits (10 s at most) until `event` has been recorded; false if it never is.
    bool waitFor(const std::string& event)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const std::string& seen : events)
                if (seen == event)
                    return true;
            return false;
        });
    }

    // Waits (10 s at most) until the change count has been asked for since notices ended.
    bool waitAsked()
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return countsAsked > 0; });
    }

    // Waits (10 s at most) until the clipboard has been read while holding
    // `text` ("secret:" + the text when marked secret).
    bool waitRead(const std::u16string& text)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return std::find(reads.begin(), reads.end(), text) != reads.end(); });
    }

    std::vector<std::string> recorded()
    {
        std::lock_guard lock(mutex);
        return events;
    }

    void record(const std::string& event)
    {
        {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        changed.notify_all();
    }

private:
    std::u16string translate(const std::u16string& text, std::string& language, std::stop_token stop)
    {
        const std::string utf8 = wideToUtf8(text);
        record("translate:" + utf8);
        language = "en";
        const auto scripted = script.find(utf8);
        if (scripted == script.end())
            return u"en:" + text;
        switch (scripted->second) {
        case outcome::fail:
            return {};
        case outcome::throwError:
            throw std::runtime_error("scripted");
        case outcome::nul:
            return u"en:" + text + std::u16string(1, u'\0') + u"tail";
        case outcome::block:
        case outcome::blockThenFail: {
            std::unique_lock lock(mutex);
            if (!changed.wait(lock, stop, [&] { return released; }))
                return {};
            return scripted->second == outcome::block ? u"en:" + text : std::u16string();
        }
        }
        return {};
    }

    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<std::string> events;
    std::vector<std::u16string> reads;
    std::u16string clipboardText;
    bool clipboardSecret = false;
    std::optional<std::u16string> copyOnNextRead;
    bool takeOverOnNextRead = false;
    std::uint64_t changes = 1;
    std::function<void()> listener;
    bool released = false;
    bool noticing = true;
    int countsAsked = 0;
    int busyReads = 0;
};

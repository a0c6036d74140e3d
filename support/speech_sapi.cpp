// Speech through SAPI 5 (ISpVoice over COM). One thread of ours owns the
// voice and speaks each utterance to its end before the next, so that a
// change of voice never reaches text queued in another language.
#include "support/speech_sapi.h"

#include <windows.h>

// The SAPI GUIDs are defined in this file alone.
#include <initguid.h>
#include <sapi.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Releases a COM interface pointer.
template <typename Interface>
class ComPointer {
public:
    ComPointer() = default;
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;
    ComPointer(ComPointer&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    ~ComPointer()
    {
        if (pointer)
            pointer->Release();
    }
    Interface* get() const { return pointer; }
    Interface* operator->() const { return pointer; }
    Interface** out() { return &pointer; }
    explicit operator bool() const { return pointer != nullptr; }

private:
    Interface* pointer = nullptr;
};

// A string SAPI allocated for us.
struct CoString {
    wchar_t* text = nullptr;
    ~CoString() { CoTaskMemFree(text); }
};

struct Voice {
    ComPointer<ISpObjectToken> token;
    // The locales of its "Language" attribute ("409;9": hexadecimal LCIDs).
    std::vector<LCID> locales;
};

std::vector<LCID> localesOf(ISpObjectToken* token)
{
    std::vector<LCID> locales;
    ComPointer<ISpDataKey> attributes;
    CoString value;
    if (FAILED(token->OpenKey(L"Attributes", attributes.out())) ||
        FAILED(attributes->GetStringValue(L"Language", &value.text)) || value.text == nullptr)
        return locales;
    for (const wchar_t* at = value.text; *at != L'\0';) {
        wchar_t* end = nullptr;
        const unsigned long locale = wcstoul(at, &end, 16);
        if (end == at)
            break;
        locales.push_back(static_cast<LCID>(locale));
        at = *end == L';' ? end + 1 : end;
    }
    return locales;
}

// Every installed voice. The category's own attribute filter is not used:
// Wine ignores it, and a voice of the same language is wanted as well.
std::vector<Voice> installedVoices()
{
    std::vector<Voice> voices;
    ComPointer<ISpObjectTokenCategory> category;
    ComPointer<IEnumSpObjectTokens> tokens;
    if (FAILED(CoCreateInstance(CLSID_SpObjectTokenCategory, nullptr, CLSCTX_ALL, IID_ISpObjectTokenCategory,
                                reinterpret_cast<void**>(category.out()))) ||
        FAILED(category->SetId(SPCAT_VOICES, FALSE)) || FAILED(category->EnumTokens(nullptr, nullptr, tokens.out())))
        return voices;
    for (;;) {
        Voice voice;
        if (tokens->Next(1, voice.token.out(), nullptr) != S_OK)
            break;
        voice.locales = localesOf(voice.token.get());
        voices.push_back(std::move(voice));
    }
    return voices;
}

// The voice for `language`, or nullptr for the user's default voice.
ISpObjectToken* voiceFor(const std::vector<Voice>& voices, const std::string& language)
{
    const std::wstring name(language.begin(), language.end());
    const LCID wanted = LocaleNameToLCID(name.c_str(), LOCALE_ALLOW_NEUTRAL_NAMES);
    if (wanted == 0)
        return nullptr;
    for (const Voice& voice : voices) {
        for (LCID locale : voice.locales) {
            if (locale == wanted)
                return voice.token.get();
        }
    }
    for (const Voice& voice : voices) {
        for (LCID locale : voice.locales) {
            if (PRIMARYLANGID(LANGIDFROMLCID(locale)) == PRIMARYLANGID(LANGIDFROMLCID(wanted)))
                return voice.token.get();
        }
    }
    return nullptr;
}

struct Utterance {
    std::wstring text;
    std::string language;
};

struct Queue {
    std::mutex lock;
    std::condition_variable waiting;
    std::deque<Utterance> utterances;
    bool started = false;
};

// Never destroyed: the speaking thread may still run while the process ends.
Queue& queue()
{
    static Queue* const instance = new Queue;
    return *instance;
}

void speakAll(Queue& pending)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return;
    ComPointer<ISpVoice> voice;
    CoCreateInstance(CLSID_SpVoice, nullptr, CLSCTX_ALL, IID_ISpVoice, reinterpret_cast<void**>(voice.out()));
    const std::vector<Voice> voices = voice ? installedVoices() : std::vector<Voice>();
    for (;;) {
        Utterance next;
        {
            std::unique_lock<std::mutex> guard(pending.lock);
            pending.waiting.wait(guard, [&] { return !pending.utterances.empty(); });
            next = std::move(pending.utterances.front());
            pending.utterances.pop_front();
        }
        if (!voice)
            continue;
        voice->SetVoice(voiceFor(voices, next.language));
        voice->Speak(next.text.c_str(), SPF_DEFAULT | SPF_IS_NOT_XML, nullptr);
    }
}

}  // namespace

void sapi::speak(const std::u16string& text, const std::string& language)
{
    Queue& pending = queue();
    std::lock_guard<std::mutex> guard(pending.lock);
    if (!pending.started) {
        std::thread(speakAll, std::ref(pending)).detach();
        pending.started = true;
    }
    pending.utterances.push_back({std::wstring(text.begin(), text.end()), language});
    pending.waiting.notify_one();
}

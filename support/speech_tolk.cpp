// Speech through Tolk, which forwards to whichever screen reader runs, and
// through SAPI when Tolk finds none. Tolk.dll is loaded at run time so that a
// missing DLL means the SAPI voice, not a program that cannot start.
#include "support/speech.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "support/speech_sapi.h"

namespace {

using TolkLoadFunction = void(__cdecl*)();
using TolkSpeakFunction = bool(__cdecl*)(const wchar_t* text, bool interrupt);
using TolkDetectFunction = const wchar_t*(__cdecl*)();

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// GetProcAddress returns a generic function pointer; void(*)() converts to
// any function pointer type without a cast warning.
template <typename Function>
Function procedure(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct Tolk {
    TolkSpeakFunction speak = nullptr;
    TolkDetectFunction detect = nullptr;
    // Tolk reaches screen readers through COM and their own client
    // libraries; one call at a time keeps two threads out of each other's way.
    std::mutex lock;
};

// The library is never unloaded.
Tolk& tolk()
{
    static Tolk* const instance = [] {
        auto* loaded = new Tolk;
        HMODULE module = LoadLibraryW(L"Tolk.dll");
        if (module == nullptr)
            return loaded;
        const auto load = procedure<TolkLoadFunction>(module, "Tolk_Load");
        const auto speak = procedure<TolkSpeakFunction>(module, "Tolk_Speak");
        const auto detect = procedure<TolkDetectFunction>(module, "Tolk_DetectScreenReader");
        if (load == nullptr || speak == nullptr || detect == nullptr) {
            FreeLibrary(module);
            return loaded;
        }
        load();
        loaded->speak = speak;
        loaded->detect = detect;
        return loaded;
    }();
    return *instance;
}

}  // namespace

void speech::load()
{
    tolk();
}

// Neither route has priorities: a fixed message is queued as any other text.
void speech::announce(const std::u16string& text)
{
    speak(text, std::string());
}

void speech::speak(const std::u16string& text)
{
    speak(text, std::string());
}

// A screen reader speaks in its own voice and takes no language. It is asked
// for at every utterance, so one started after the program takes over from
// the SAPI voice at once.
void speech::speak(const std::u16string& text, const std::string& language)
{
    Tolk& library = tolk();
    if (library.speak != nullptr) {
        const std::wstring buffer(text.begin(), text.end());
        std::lock_guard<std::mutex> guard(library.lock);
        if (library.detect() != nullptr) {
            library.speak(buffer.c_str(), false);
            return;
        }
    }
    sapi::speak(text, language.empty() ? "pt-BR" : language);
}

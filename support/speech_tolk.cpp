// Speech through Tolk, which forwards to whichever screen reader runs.
// Tolk.dll is loaded at run time so that a missing DLL means silence, not a
// program that cannot start.
#include "support/speech.h"

#include <windows.h>

#include <mutex>
#include <string>

namespace {

using TolkLoadFunction = void(__cdecl*)();
using TolkSpeakFunction = bool(__cdecl*)(const wchar_t* text, bool interrupt);

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
        if (load == nullptr || speak == nullptr) {
            FreeLibrary(module);
            return loaded;
        }
        load();
        loaded->speak = speak;
        return loaded;
    }();
    return *instance;
}

}  // namespace

void speech::load()
{
    tolk();
}

// Tolk has no priorities: a fixed message is queued as any other text.
void speech::announce(const std::u16string& text)
{
    speak(text, std::string());
}

void speech::speak(const std::u16string& text)
{
    speak(text, std::string());
}

// The screen reader speaks in its own voice; Tolk takes no language.
void speech::speak(const std::u16string& text, const std::string&)
{
    Tolk& library = tolk();
    if (library.speak == nullptr)
        return;
    const std::wstring buffer(text.begin(), text.end());
    std::lock_guard<std::mutex> guard(library.lock);
    library.speak(buffer.c_str(), false);
}

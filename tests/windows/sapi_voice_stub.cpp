// Stands in for SAPI's voice class (CLSID_SpVoice; Wine's own cannot speak)
// when registered for it in a test's Wine prefix. Each Speak appends one line
// to the file named by TARSEL_SAPI_STUB_LOG: "Speak", the voice last set (the
// last part of its token's id, or "-" for the default voice) and the text's
// UTF-16 units in hexadecimal. Every other method succeeds doing nothing.
#include <windows.h>

#include <initguid.h>
#include <sapi.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex recordLock;

void record(const std::string& line)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TARSEL_SAPI_STUB_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::lock_guard<std::mutex> guard(recordLock);
    if (FILE* file = _wfopen(path, L"ab")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

class Voice final : public ISpVoice {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (id == IID_IUnknown || id == IID_ISpNotifySource || id == IID_ISpEventSource || id == IID_ISpVoice) {
            *object = static_cast<ISpVoice*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE SetVoice(ISpObjectToken* token) override
    {
        voice = "-";
        wchar_t* id = nullptr;
        if (token != nullptr && SUCCEEDED(token->GetId(&id)) && id != nullptr) {
            std::wstring name(id);
            name = name.substr(name.find_last_of(L'\\') + 1);
            voice.assign(name.begin(), name.end());
            CoTaskMemFree(id);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Speak(LPCWSTR text, DWORD flags, ULONG* stream) override
    {
        std::string line = "Speak " + voice + (flags & SPF_IS_NOT_XML ? " text" : " markup");
        for (const wchar_t* unit = text; unit != nullptr && *unit != L'\0'; ++unit) {
            char hex[8];
            std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(*unit));
            line += hex;
        }
        record(line);
        if (stream != nullptr)
            *stream = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetNotifySink(ISpNotifySink*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetNotifyWindowMessage(HWND, UINT, WPARAM, LPARAM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetNotifyCallbackFunction(SPNOTIFYCALLBACK*, WPARAM, LPARAM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetNotifyCallbackInterface(ISpNotifyCallback*, WPARAM, LPARAM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetNotifyWin32Event() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE WaitForNotifyEvent(DWORD) override { return S_OK; }
    HANDLE STDMETHODCALLTYPE GetNotifyEventHandle() override { return nullptr; }
    HRESULT STDMETHODCALLTYPE SetInterest(ULONGLONG, ULONGLONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetEvents(ULONG, SPEVENT*, ULONG* fetched) override
    {
        if (fetched != nullptr)
            *fetched = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetInfo(SPEVENTSOURCEINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOutput(IUnknown*, WINBOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetOutputObjectToken(ISpObjectToken**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStream(ISpStreamFormat**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Pause() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Resume() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetVoice(ISpObjectToken**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpeakStream(IStream*, DWORD, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(SPVOICESTATUS*, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(LPCWSTR, LONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPriority(SPVPRIORITY) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetPriority(SPVPRIORITY*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAlertBoundary(SPEVENTENUM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAlertBoundary(SPEVENTENUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetRate(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetRate(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetVolume(USHORT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetVolume(USHORT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WaitUntilDone(ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSyncSpeakTimeout(ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSpeakTimeout(ULONG*) override { return E_NOTIMPL; }
    HANDLE STDMETHODCALLTYPE SpeakCompleteEvent() override { return nullptr; }
    HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR, void*, ULONG, WINBOOL* supported) override
    {
        if (supported != nullptr)
            *supported = FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DisplayUI(HWND, LPCWSTR, LPCWSTR, void*, ULONG) override { return E_NOTIMPL; }

private:
    std::atomic<ULONG> references{1};
    std::string voice = "-";
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (id == IID_IUnknown || id == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override
    {
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* voice = new Voice;
        const HRESULT result = voice->QueryInterface(id, object);
        voice->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(WINBOOL) override { return S_OK; }
};

Factory factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID type, REFIID id, void** object)
{
    if (type != CLSID_SpVoice) {
        *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(id, object);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}

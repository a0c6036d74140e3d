// Reads the dialog as another program sees it: prints one line per direct
// child of the top-level window titled "Tarsel Translator", in creation order,
// with tab-separated fields: class, text, "focus" or "-", and for a list view
// its item count and focused item's text. UTF-8; line breaks in a text become
// "\n". Exits with 1 when there is no such window.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

constexpr UINT timeoutMs = 5000;

std::string utf8(const std::wstring& text)
{
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(length > 0 ? length : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
    std::string shown;
    for (char c : narrow) {
        if (c == '\n')
            shown += "\\n";
        else if (c != '\r')
            shown += c;
    }
    return shown;
}

LRESULT send(HWND window, UINT message, WPARAM w, LPARAM l)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, w, l, SMTO_ABORTIFHUNG, timeoutMs, &result);
    return static_cast<LRESULT>(result);
}

// WM_GETTEXT is carried across processes by the system, unlike GetWindowText.
std::wstring textOf(HWND window)
{
    std::wstring text(static_cast<std::size_t>(send(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

// A list view's item text must be read into the list's own process.
std::wstring itemText(HWND list, LRESULT item)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(list, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (process == nullptr)
        return L"?";
    constexpr int capacity = 256;
    const SIZE_T bytes = sizeof(LVITEMW) + capacity * sizeof(wchar_t);
    auto* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
    std::wstring text(capacity, L'\0');
    if (remote != nullptr) {
        LVITEMW request{};
        request.iSubItem = 0;
        request.cchTextMax = capacity;
        request.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        WriteProcessMemory(process, remote, &request, sizeof request, nullptr);
        const auto length = send(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote));
        ReadProcessMemory(process, remote + sizeof(LVITEMW), text.data(), capacity * sizeof(wchar_t), nullptr);
        text.resize(length > 0 && length < capacity ? static_cast<std::size_t>(length) : 0);
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return text;
}

struct Probe {
    HWND dialog;
    HWND focus;
};

BOOL CALLBACK printChild(HWND window, LPARAM parameter)
{
    const auto& probe = *reinterpret_cast<const Probe*>(parameter);
    if (GetParent(window) != probe.dialog)
        return TRUE;
    wchar_t name[256];
    const int length = GetClassNameW(window, name, 256);
    std::string line = utf8(std::wstring(name, length > 0 ? length : 0)) + "\t" + utf8(textOf(window)) + "\t" +
        (window == probe.focus ? "focus" : "-");
    if (lstrcmpiW(name, WC_LISTVIEWW) == 0) {
        const auto focused = send(window, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED);
        line += "\t" + std::to_string(send(window, LVM_GETITEMCOUNT, 0, 0)) + "\t" +
            (focused >= 0 ? utf8(itemText(window, focused)) : "");
    }
    std::printf("%s\n", line.c_str());
    return TRUE;
}

}  // namespace

int wmain()
{
    Probe probe{FindWindowW(nullptr, L"Tarsel Translator"), nullptr};
    if (probe.dialog == nullptr)
        return 1;
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(probe.dialog, nullptr), &thread))
        probe.focus = thread.hwndFocus;
    EnumChildWindows(probe.dialog, printChild, reinterpret_cast<LPARAM>(&probe));
    return 0;
}

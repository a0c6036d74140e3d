// Reads the dialog as another program sees it: prints one line per direct
// child of the top-level window titled "Tarsel Translator", in creation order,
// with tab-separated fields: class, text, "focus" or "-", and for a list view
// its item count and focused item's text. UTF-8; line breaks in a text become
// "\n". Exits with 1 when there is no such window.
// "window_probe.exe awareness" prints instead the dialog's DPI awareness
// ("unaware", "system", "per-monitor" or "per-monitor-v2"), the DPI it is
// drawn at and the system's DPI. "window_probe.exe columns" prints one line per list view: its
// column's width, then the widest room its heading or an item's text needs
// (the text's width plus the inset of the item's label rectangle), and that
// text.
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

// Memory in the list's own process, which list view messages that carry a
// pointer read and write.
class RemoteBuffer {
public:
    RemoteBuffer(HWND list, SIZE_T bytes)
    {
        DWORD processId = 0;
        GetWindowThreadProcessId(list, &processId);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
        if (process != nullptr)
            address = static_cast<char*>(VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    ~RemoteBuffer()
    {
        if (address != nullptr)
            VirtualFreeEx(process, address, 0, MEM_RELEASE);
        if (process != nullptr)
            CloseHandle(process);
    }
    char* at(SIZE_T offset) const { return address + offset; }
    bool ok() const { return address != nullptr; }
    void write(SIZE_T offset, const void* data, SIZE_T bytes) const
    {
        WriteProcessMemory(process, address + offset, data, bytes, nullptr);
    }
    void read(SIZE_T offset, void* data, SIZE_T bytes) const
    {
        ReadProcessMemory(process, address + offset, data, bytes, nullptr);
    }

private:
    HANDLE process = nullptr;
    char* address = nullptr;
};

// A list view's item text must be read into the list's own process.
std::wstring itemText(HWND list, LRESULT item)
{
    constexpr int capacity = 256;
    RemoteBuffer remote(list, sizeof(LVITEMW) + capacity * sizeof(wchar_t));
    if (!remote.ok())
        return L"?";
    LVITEMW request{};
    request.iSubItem = 0;
    request.cchTextMax = capacity;
    request.pszText = reinterpret_cast<wchar_t*>(remote.at(sizeof(LVITEMW)));
    remote.write(0, &request, sizeof request);
    const auto length = send(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote.at(0)));
    std::wstring text(capacity, L'\0');
    remote.read(sizeof(LVITEMW), text.data(), capacity * sizeof(wchar_t));
    text.resize(length > 0 && length < capacity ? static_cast<std::size_t>(length) : 0);
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

// The width the list view measures for `text` in its own font.
int stringWidth(HWND list, const std::wstring& text)
{
    RemoteBuffer remote(list, (text.size() + 1) * sizeof(wchar_t));
    if (!remote.ok())
        return -1;
    remote.write(0, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return static_cast<int>(send(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(remote.at(0))));
}

RECT itemRect(HWND list, LRESULT item, LONG part)
{
    RECT rect{};
    rect.left = part;
    RemoteBuffer remote(list, sizeof rect);
    if (remote.ok()) {
        remote.write(0, &rect, sizeof rect);
        send(list, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(remote.at(0)));
        remote.read(0, &rect, sizeof rect);
    }
    return rect;
}

std::wstring headingOf(HWND list)
{
    constexpr int capacity = 256;
    RemoteBuffer remote(list, sizeof(LVCOLUMNW) + capacity * sizeof(wchar_t));
    std::wstring text(capacity, L'\0');
    if (remote.ok()) {
        LVCOLUMNW request{};
        request.mask = LVCF_TEXT;
        request.cchTextMax = capacity;
        request.pszText = reinterpret_cast<wchar_t*>(remote.at(sizeof(LVCOLUMNW)));
        remote.write(0, &request, sizeof request);
        send(list, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(remote.at(0)));
        remote.read(sizeof(LVCOLUMNW), text.data(), capacity * sizeof(wchar_t));
    }
    text.resize(wcsnlen(text.c_str(), capacity));
    return text;
}

BOOL CALLBACK printColumn(HWND window, LPARAM parameter)
{
    wchar_t name[256];
    if (GetParent(window) != reinterpret_cast<HWND>(parameter) || GetClassNameW(window, name, 256) == 0 ||
        lstrcmpiW(name, WC_LISTVIEWW) != 0)
        return TRUE;
    // The header's text has the same padding as an item's label.
    const std::wstring heading = headingOf(window);
    const auto count = send(window, LVM_GETITEMCOUNT, 0, 0);
    std::wstring widestText = heading;
    int widest = stringWidth(window, heading);
    for (LRESULT item = 0; item < count; ++item) {
        const std::wstring text = itemText(window, item);
        const RECT bounds = itemRect(window, item, LVIR_BOUNDS);
        const RECT label = itemRect(window, item, LVIR_LABEL);
        const int needed = stringWidth(window, text) + static_cast<int>(label.left - bounds.left);
        if (needed > widest) {
            widest = needed;
            widestText = text;
        }
    }
    std::printf("%d\t%d\t%s\n", static_cast<int>(send(window, LVM_GETCOLUMNWIDTH, 0, 0)), widest,
                utf8(widestText).c_str());
    return TRUE;
}

const char* awarenessOf(HWND window)
{
    const DPI_AWARENESS_CONTEXT context = GetWindowDpiAwarenessContext(window);
    if (AreDpiAwarenessContextsEqual(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
        return "per-monitor-v2";
    switch (GetAwarenessFromDpiAwarenessContext(context)) {
    case DPI_AWARENESS_PER_MONITOR_AWARE:
        return "per-monitor";
    case DPI_AWARENESS_SYSTEM_AWARE:
        return "system";
    case DPI_AWARENESS_UNAWARE:
        return "unaware";
    default:
        return "invalid";
    }
}

int wmain(int argc, wchar_t** argv)
{
    Probe probe{FindWindowW(nullptr, L"Tarsel Translator"), nullptr};
    if (probe.dialog == nullptr)
        return 1;
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"awareness") {
        // Pixels as the dialog has them, not scaled to an unaware caller.
        SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
        std::printf("%s\t%u\t%u\n", awarenessOf(probe.dialog), GetDpiForWindow(probe.dialog), GetDpiForSystem());
        return 0;
    }
    if (mode == L"columns") {
        EnumChildWindows(probe.dialog, printColumn, reinterpret_cast<LPARAM>(probe.dialog));
        return 0;
    }
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(probe.dialog, nullptr), &thread))
        probe.focus = thread.hwndFocus;
    EnumChildWindows(probe.dialog, printChild, reinterpret_cast<LPARAM>(&probe));
    return 0;
}

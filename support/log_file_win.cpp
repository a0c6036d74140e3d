#include "support/log_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdint>

namespace {

// Opened without following a reparse point, then refused if it is one;
// emptied only once it is known to be the file itself.
std::FILE* openWithoutFollowing(const std::wstring& path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    // From here the descriptor, and then the stream, own the handle.
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "w");
    if (!file)
        _close(descriptor);
    return file;
}

// %LOCALAPPDATA%\Tarsel Translator, created when needed; empty if unknown.
std::wstring localFolder()
{
    wchar_t* base = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base)) && base != nullptr) {
        folder = std::wstring(base) + L"\\Tarsel Translator";
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            folder.clear();
    }
    CoTaskMemFree(base);
    return folder;
}

}  // namespace

std::FILE* openLogFile(const std::string& fileName)
{
    // The name comes in the ANSI code page, as fopen() would take it.
    const int length = MultiByteToWideChar(CP_ACP, 0, fileName.data(), static_cast<int>(fileName.size()), nullptr, 0);
    std::wstring name(length > 0 ? length : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, fileName.data(), static_cast<int>(fileName.size()), name.data(), length);
    if (std::FILE* file = openWithoutFollowing(name))
        return file;
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos)
        return nullptr;
    const std::wstring folder = localFolder();
    return folder.empty() ? nullptr : openWithoutFollowing(folder + L"\\" + name);
}

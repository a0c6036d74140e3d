#pragma once

#include <array>
#include <string_view>

// The names under which programs offer a copy, the same on every clipboard
// that names formats by string (X11 targets, Wayland MIME types).
namespace clipboardFormats {

// A password manager's mark; its content "secret" means: do not read or keep.
inline constexpr std::string_view secretHint = "x-kde-passwordManagerHint";

// Copied files. Their text form, the paths, is not what the user copied, and
// writing over them would lose the user's copy.
inline constexpr std::array<std::string_view, 2> fileLists = {"text/uri-list", "x-special/gnome-copied-files"};

// Plain text, best first. All but the last two are UTF-8; "STRING" is Latin-1
// and a bare "text/plain" is read as UTF-8 where it is valid, else Latin-1.
inline constexpr std::array<std::string_view, 5> plainTexts = {"UTF8_STRING", "text/plain;charset=utf-8", "TEXT",
                                                               "STRING", "text/plain"};

}  // namespace clipboardFormats

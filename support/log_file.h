#pragma once

#include <cstdio>
#include <string>

// The platform part of the log: where the file goes and how it is opened.

// Opens the log file `fileName` for writing, created or emptied, in text
// mode (CR LF line ends on Windows). A symbolic link or other reparse point
// in its place is refused, not followed: one planted in a shared working
// directory would have us empty the file it points to. On Windows a relative
// name that cannot be opened in the working directory (a shortcut's "Start
// in" under Program Files) goes to %LOCALAPPDATA%\Tarsel Translator instead.
// Returns nullptr when no place takes it.
std::FILE* openLogFile(const std::string& fileName);

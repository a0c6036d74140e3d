#pragma once

#include <string>

// The process-wide diagnostic log: one message per line, bytes unchanged
// (the system's fixed texts are Latin-1), flushed at once. Safe to call from
// any thread; every failure is silent.
namespace logger {

// Opens `fileName` for writing, truncated, unless a file is already open.
void open(const std::string& fileName);

// Appends `message` and a line end. With no file open it first tries
// "default log file.txt".
void write(const std::string& message);

}  // namespace logger

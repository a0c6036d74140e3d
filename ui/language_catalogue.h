#pragma once

#include <string>
#include <string_view>
#include <vector>

// The 104 languages the endpoint knows, as "name=code" lines separated by
// "\n". Names are ISO 8859-1 bytes; codes are ASCII.
extern const std::string_view languageTable;

// The fields of `text` between occurrences of `delimiter`: always one more
// than the delimiters, empty fields kept.
std::vector<std::string> split(std::string text, char delimiter);

#pragma once

#include <string>

// Conversions between the system's three encodings: UTF-16 (std::u16string),
// UTF-8 and Latin-1 (std::string). Pure functions, safe on any thread.
// Malformed input never fails: invalid UTF-8 and unpaired surrogates become
// U+FFFD. Embedded NULs convert like any other character.

std::string wideToUtf8(const std::u16string& text);
std::u16string utf8ToWide(const std::string& text);

// Each byte becomes the code unit of equal value.
std::u16string latin1ToWide(const std::string& text);

// The reverse of latin1ToWide, for language names read back from the lists.
// A unit above U+00FF cannot be a catalogue name and becomes '?'.
std::string wideToLatin1(const std::u16string& text);

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Cutting a text too long for one request into pieces. No toolkit, no state:
// safe on any thread.

// One piece of a text, and the blanks that followed it there.
struct textPiece {
    std::string text;       // what is sent
    std::string separator;  // kept out of the request; goes back after the piece's translation
};

// The bytes `utf8` takes once percent-encoded as urlEscape encodes it: one
// for an unreserved ASCII byte (letter, digit, "-._~"), three for any other.
std::size_t escapedLength(std::string_view utf8);

// Cuts `utf8` into pieces of at most `limit` escaped bytes each, in order; the
// pieces' texts and separators, concatenated, give `utf8` back. A text within
// the limit is one piece, blanks and all. A longer one is cut after the last
// sentence end that fits, else at the last line break, else at the last
// blank, else after the last whole character that fits (never inside a
// UTF-8 sequence); the blanks at a cut become the separator.
std::vector<textPiece> splitText(const std::string& utf8, std::size_t limit);

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// Texts that a password manager marked secret, recognised again when another
// owner offers them without the mark (a clipboard manager that puts the last
// copy back). Only a digest keyed with a value drawn at construction is kept,
// never the text, and nothing of it leaves memory. Not thread-safe.
class secretTexts {
public:
    // The last `capacity` secrets are recognised.
    explicit secretTexts(std::size_t capacity = 64);

    void remember(const std::u16string& text);
    bool contains(const std::u16string& text) const;

private:
    std::uint64_t digest(const std::u16string& text) const;

    std::array<std::uint64_t, 2> key;
    std::size_t capacity;
    std::deque<std::uint64_t> digests;
};

// SipHash-2-4 of `data` under the 128-bit `key` (two little-endian halves).
std::uint64_t sipHash24(const std::array<std::uint64_t, 2>& key, const unsigned char* data, std::size_t size);

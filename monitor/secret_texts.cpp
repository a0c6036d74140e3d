#include "monitor/secret_texts.h"

#include <algorithm>
#include <random>
#include <vector>

namespace {

std::uint64_t rotate(std::uint64_t value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}

void sipRound(std::uint64_t (&v)[4])
{
    v[0] += v[1];
    v[1] = rotate(v[1], 13) ^ v[0];
    v[0] = rotate(v[0], 32);
    v[2] += v[3];
    v[3] = rotate(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = rotate(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = rotate(v[1], 17) ^ v[2];
    v[2] = rotate(v[2], 32);
}

std::uint64_t littleEndian(const unsigned char* bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return value;
}

}  // namespace

std::uint64_t sipHash24(const std::array<std::uint64_t, 2>& key, const unsigned char* data, std::size_t size)
{
    std::uint64_t v[4] = {key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                          key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    const auto compress = [&v](std::uint64_t word) {
        v[3] ^= word;
        sipRound(v);
        sipRound(v);
        v[0] ^= word;
    };
    const std::size_t whole = size - size % 8;
    for (std::size_t i = 0; i < whole; i += 8)
        compress(littleEndian(data + i, 8));
    compress(littleEndian(data + whole, size % 8) | (static_cast<std::uint64_t>(size) << 56));
    v[2] ^= 0xff;
    for (int i = 0; i < 4; ++i)
        sipRound(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

secretTexts::secretTexts(std::size_t capacity) : capacity(capacity)
{
    // A digest that could be computed outside this process would let a copy
    // of memory be checked against guessed passwords.
    std::random_device random;
    for (auto& half : key)
        half = (static_cast<std::uint64_t>(random()) << 32) ^ random();
}

std::uint64_t secretTexts::digest(const std::u16string& text) const
{
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xff));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    const std::uint64_t result = sipHash24(key, bytes.data(), bytes.size());
    // The text's bytes do not outlive the call; volatile, so the stores stay.
    volatile unsigned char* wiped = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        wiped[i] = 0;
    return result;
}

void secretTexts::remember(const std::u16string& text)
{
    const std::uint64_t value = digest(text);
    if (std::find(digests.begin(), digests.end(), value) != digests.end())
        return;
    digests.push_back(value);
    if (digests.size() > capacity)
        digests.pop_front();
}

bool secretTexts::contains(const std::u16string& text) const
{
    const std::uint64_t value = digest(text);
    return std::find(digests.begin(), digests.end(), value) != digests.end();
}

// Standard base64 (with padding) written into a caller's buffer. No Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

namespace show3d {

inline size_t base64_size(size_t bytes) { return 4 * ((bytes + 2) / 3); }

// Writes base64_size(size) characters to `out`; whole groups of three bytes
// are written as two pairs of characters from a table.
inline void base64_encode(const unsigned char *data, size_t size, char *out) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const auto pairs = [] {
        std::array<std::array<char, 2>, 4096> table{};
        for (unsigned value = 0; value < 4096; ++value)
            table[value] = {alphabet[value >> 6], alphabet[value & 63]};
        return table;
    }();
    size_t i = 0, o = 0;
    for (; i + 3 <= size; i += 3, o += 4) {
        unsigned value = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        std::memcpy(out + o, pairs[value >> 12].data(), 2);
        std::memcpy(out + o + 2, pairs[value & 4095].data(), 2);
    }
    if (i < size) {
        unsigned value = data[i] << 16;
        if (i + 1 < size) value |= data[i + 1] << 8;
        out[o++] = alphabet[value >> 18];
        out[o++] = alphabet[(value >> 12) & 63];
        out[o++] = i + 1 < size ? alphabet[(value >> 6) & 63] : '=';
        out[o++] = '=';
    }
}

} // namespace show3d

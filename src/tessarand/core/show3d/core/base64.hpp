// Standard base64 (with padding) written into a caller's buffer. No Python here.
#pragma once

#include <cstddef>

namespace show3d {

inline size_t base64_size(size_t bytes) { return 4 * ((bytes + 2) / 3); }

// Writes base64_size(size) characters to `out`.
inline void base64_encode(const unsigned char *data, size_t size, char *out) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0, o = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned value = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out[o++] = alphabet[value >> 18];
        out[o++] = alphabet[(value >> 12) & 63];
        out[o++] = alphabet[(value >> 6) & 63];
        out[o++] = alphabet[value & 63];
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

// Standard base64 (with padding) written into a caller's buffer. No Python here.
#pragma once

#include "cpu.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace show3d {

inline size_t base64_size(size_t bytes) { return 4 * ((bytes + 2) / 3); }

#ifdef S3D_X86_AVX2
// Whole groups of 24 bytes as 32 characters at once, on processors with
// AVX2; returns the bytes done (a multiple of 24). Each 128-bit lane takes 12
// bytes, spreads every three of them over a 32-bit word, cuts the word into
// four 6-bit numbers with two multiplications, and turns each number into
// its character by adding the offset of its range of the alphabet (A-Z, a-z,
// 0-9, +, /), looked up by a byte shuffle. Loads read 4 bytes past the last
// group, hence the margin.
__attribute__((target("avx2"))) inline size_t base64_encode_avx2(const unsigned char *data, size_t size,
                                                                 char *out) {
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                             '/' - 63, 'A', 0, 0,  //
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                             '/' - 63, 'A', 0, 0);
    size_t i = 0, o = 0;
    for (; i + 28 <= size; i += 24, o += 32) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i + 12));
        __m256i words = _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
        // The first and second numbers to the low bits of their bytes, the
        // third and fourth likewise.
        __m256i first = _mm256_mulhi_epu16(_mm256_and_si256(words, _mm256_set1_epi32(0x0fc0fc00)),
                                           _mm256_set1_epi32(0x04000040));
        __m256i second = _mm256_mullo_epi16(_mm256_and_si256(words, _mm256_set1_epi32(0x003f03f0)),
                                            _mm256_set1_epi32(0x01000010));
        __m256i numbers = _mm256_or_si256(first, second);
        // Range of each number: 0 for A-Z (below 26), 1 for a-z, 2 to 11
        // for the digits, 12 for '+' and 13 for '/'.
        __m256i range = _mm256_subs_epu8(numbers, _mm256_set1_epi8(51));
        __m256i capital = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), numbers);
        range = _mm256_or_si256(range, _mm256_and_si256(capital, _mm256_set1_epi8(13)));
        __m256i text = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, range), numbers);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + o), text);
    }
    return i;
}
#endif

// Writes base64_size(size) characters to `out`; whole groups of three bytes
// are written as two pairs of characters from a table, after the bulk of
// them 24 at a time where the processor can.
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
#ifdef S3D_X86_AVX2
    if (size >= 28 && processor_has_avx2()) {
        i = base64_encode_avx2(data, size, out);
        o = i / 3 * 4;
    }
#endif
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

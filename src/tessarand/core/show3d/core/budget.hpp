// What one conversion may build before anything big exists: how often cells
// are placed when the hierarchy is flattened, and how many distinct polygons
// there are. A tiny file can describe billions of either. Counts saturate at
// the largest 64-bit number, so that no layout overflows them. No Python here.
#pragma once

#include <cstdint>
#include <string>

namespace show3d {

struct Limits {
    uint64_t placements, polygons;

    // Room for the largest public macros (an SRAM of 8192 x 32 bits places
    // cells about 4 million times) and for the bench's workloads (an array
    // of 10 million placements, 2 million distinct shapes). A polygon costs
    // show3d about five times what a placement costs (about 1.4 KB and 0.3 KB
    // at its peak), so either limit stops it near 6 to 7 GB.
    static constexpr uint64_t default_placements = 20'000'000, default_polygons = 5'000'000;
};

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

inline uint64_t saturating_multiply(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// The placements below a cell when flattened grow by an instance of `members`
// of a cell with `below` of its own: each member, and all below it once more.
inline uint64_t add_instance(uint64_t placements, uint64_t members, uint64_t below) {
    return saturating_add(placements, saturating_multiply(members, saturating_add(below, 1)));
}

// 1234567 as "1,234,567".
inline std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// A limit as the environment gives it: decimal digits, more than zero (a
// number beyond 64 bits saturates); false for anything else.
inline bool parse_limit(const char *text, uint64_t &limit) {
    if (!*text) return false;
    uint64_t value = 0;
    for (const char *at = text; *at; ++at) {
        if (*at < '0' || *at > '9') return false;
        value = saturating_add(saturating_multiply(value, 10), uint64_t(*at - '0'));
    }
    limit = value;
    return value > 0;
}

} // namespace show3d

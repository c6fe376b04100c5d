// Readers of a polygon's hull from KLayout's serialised forms, in database
// units, appended to `xy` as x, y pairs. No Python here.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace show3d {

// The binary form: a version byte (1), a zero byte, the number of contours
// (64 bits), then per contour its point count (64 bits) and the points as
// 64-bit x, y pairs, hull first, all little-endian. False for anything else.
inline bool parse_hull_bytes(const unsigned char *data, size_t size, std::vector<double> &xy) {
    auto read64 = [data](size_t at) {
        uint64_t value;
        std::memcpy(&value, data + at, sizeof value);
        return value;
    };
    constexpr size_t header = 10, hull_points = 18;
    if (size < hull_points || data[0] != 1 || data[1] != 0 || read64(2) == 0) return false;
    uint64_t points = read64(header);
    if (points > (size - hull_points) / 16) return false;
    for (uint64_t i = 0; i < points; ++i) {
        xy.push_back(double(int64_t(read64(hull_points + 16 * i))));
        xy.push_back(double(int64_t(read64(hull_points + 8 + 16 * i))));
    }
    return true;
}

// The binary form of a box (a version byte (1), a zero byte, then left,
// bottom, right and top as 64-bit little-endian integers) as the hull KLayout
// gives the box as a polygon: left-bottom, left-top, right-top, right-bottom.
// False for anything else, and for the boxes whose polygon KLayout may order
// otherwise: one without area, and one reaching beyond 2^30, where the area
// that orients a polygon no longer fits KLayout's 64-bit integers.
inline bool parse_box_hull_bytes(const unsigned char *data, size_t size, std::vector<double> &xy) {
    if (size != 34 || data[0] != 1 || data[1] != 0) return false;
    int64_t side[4]; // left, bottom, right, top
    std::memcpy(side, data + 2, sizeof side);
    constexpr int64_t reach = int64_t(1) << 30;
    for (int64_t coordinate : side)
        if (coordinate < -reach || coordinate > reach) return false;
    if (side[0] >= side[2] || side[1] >= side[3]) return false;
    const int64_t hull[8] = {side[0], side[1], side[0], side[3], side[2], side[3], side[2], side[1]};
    for (int64_t coordinate : hull) xy.push_back(double(coordinate));
    return true;
}

// The text form "(x,y;x,y/hole...)" of an integer polygon. False for
// anything else.
inline bool parse_hull_text(const char *at, const char *end, std::vector<double> &xy) {
    if (at == end || *at != '(') return false;
    ++at;
    while (at < end && *at != ')' && *at != '/') {
        long long x = 0, y = 0;
        auto parsed_x = std::from_chars(at, end, x);
        if (parsed_x.ec != std::errc() || parsed_x.ptr == end || *parsed_x.ptr != ',') return false;
        auto parsed_y = std::from_chars(parsed_x.ptr + 1, end, y);
        if (parsed_y.ec != std::errc() || parsed_y.ptr == end) return false;
        xy.push_back(double(x));
        xy.push_back(double(y));
        at = parsed_y.ptr;
        if (*at == ';') ++at;
    }
    return at < end;
}

} // namespace show3d

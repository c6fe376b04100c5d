// Placements as numbers: KLayout's simple transformations (quarter turns
// after an optional mirror at the x axis, then an integer displacement in
// database units), their products and the 2x3 matrices the viewer receives.
// No Python here.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace show3d {

// The six entries a, b, tx, c, d, ty of a placement matrix (tx, ty in
// micrometres).
struct PlacementMatrix {
    double entries[6];
};

struct SimpleTrans {
    int angle; // quarter turns, 0 to 3
    bool mirror;
    long long x, y;
};

// KLayout keeps coordinates in 32 bits; where a result must be KLayout's
// own, products beyond that range are left to its arithmetic.
constexpr long long coordinate_limit = 2147483647LL;

// Composed as numbers, placements reach further: 60 bits a coordinate (a
// placement keeps its orientation beside y), far beyond any layout.
constexpr long long placement_limit = (1LL << 59) - 1;

inline bool within_range(const SimpleTrans &trans, long long limit) {
    return std::llabs(trans.x) <= limit && std::llabs(trans.y) <= limit;
}

inline bool within_coordinate_range(const SimpleTrans &trans) { return within_range(trans, coordinate_limit); }

// The product p * t as KLayout composes it: t first, then p. The
// displacement of t is mirrored and rotated by p before p's own is added; a
// mirror in p turns t's rotation the other way. Exact for displacements
// within placement_limit.
inline SimpleTrans compose(const SimpleTrans &p, const SimpleTrans &t) {
    long long x = t.x, y = p.mirror ? -t.y : t.y;
    long long rx = x, ry = y;
    switch (p.angle) {
    case 1: rx = -y; ry = x; break;
    case 2: rx = -x; ry = -y; break;
    case 3: rx = y; ry = -x; break;
    default: break;
    }
    int angle = p.mirror ? (p.angle - t.angle + 4) % 4 : (p.angle + t.angle) % 4;
    return {angle, p.mirror != t.mirror, rx + p.x, ry + p.y};
}

// The binary form of a simple transformation: a version byte (1), a zero
// byte, the orientation (0 to 3 quarter turns, 4 to 7 the same after a
// mirror), a zero byte, then x and y as 64-bit little-endian integers. False
// for anything else, and for coordinates beyond KLayout's 32 bits.
inline bool parse_trans_bytes(const unsigned char *data, size_t size, SimpleTrans &parts) {
    if (size != 20 || data[0] != 1 || data[1] != 0 || data[2] > 7 || data[3] != 0) return false;
    int64_t xy[2];
    std::memcpy(xy, data + 4, sizeof xy);
    for (int64_t coordinate : xy)
        if (coordinate < INT32_MIN || coordinate > INT32_MAX) return false;
    parts = {data[2] % 4, data[2] >= 4, xy[0], xy[1]};
    return true;
}

// Reads KLayout's text form of a simple transformation, "r90 100,200" or
// "m45 -3,0": mirror codes name the mirror axis, so m45 is a quarter turn
// after mirroring. False for any other text.
inline bool parse_simple_trans(const char *at, const char *end, SimpleTrans &parts) {
    if (end - at < 2 || (*at != 'r' && *at != 'm')) return false;
    bool mirror = *at == 'm';
    int code = 0;
    long long x = 0, y = 0;
    auto parsed = std::from_chars(at + 1, end, code);
    if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != ' ') return false;
    parsed = std::from_chars(parsed.ptr + 1, end, x);
    if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != ',') return false;
    parsed = std::from_chars(parsed.ptr + 1, end, y);
    if (parsed.ec != std::errc() || parsed.ptr != end) return false;
    int step = mirror ? 45 : 90;
    if (code < 0 || code % step != 0 || code / step > 3) return false;
    parts = {code / step, mirror, x, y};
    return true;
}

// A placement of a cell as KLayout writes it: "#3 r90 5,7" for one, or
// "#3 r90 5,7 [100,0*4;0,50*2]" for a regular array of 4 columns along
// (100, 0) and 2 rows along (0, 50).
struct SimpleArray {
    SimpleTrans trans;
    long long ax = 0, ay = 0, bx = 0, by = 0;
    long long columns = 1, rows = 1;
};

// Reads the text form above; false for any other text (a complex or an
// irregular placement).
inline bool parse_simple_array(const char *at, const char *end, SimpleArray &array) {
    if (at == end || *at != '#') return false;
    long long cell = 0;
    auto parsed = std::from_chars(at + 1, end, cell);
    if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != ' ') return false;
    const char *trans_begin = parsed.ptr + 1;
    const char *bracket = trans_begin;
    while (bracket != end && *bracket != '[') ++bracket;
    if (bracket == end) return parse_simple_trans(trans_begin, end, array.trans);
    if (bracket - trans_begin < 2 || bracket[-1] != ' ' || end[-1] != ']' ||
        !parse_simple_trans(trans_begin, bracket - 1, array.trans))
        return false;
    // ax,ay*columns;bx,by*rows
    long long *fields[] = {&array.ax, &array.ay, &array.columns, &array.bx, &array.by, &array.rows};
    const char separators[] = {',', '*', ';', ',', '*', ']'};
    const char *field = bracket + 1;
    for (int k = 0; k < 6; ++k) {
        parsed = std::from_chars(field, end, *fields[k]);
        if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != separators[k]) return false;
        field = parsed.ptr + 1;
    }
    // Within KLayout's 32-bit coordinates, so that no sum below overflows 64.
    for (long long value : {array.ax, array.ay, array.bx, array.by})
        if (std::llabs(value) > coordinate_limit) return false;
    return field == end && array.columns > 0 && array.rows > 0 && array.columns <= coordinate_limit &&
           array.rows <= coordinate_limit && within_coordinate_range(array.trans);
}

// The members of an array in KLayout's order (along a first, then along b),
// handed to `out`. Exact in 64 bits where KLayout's own members wrap around
// at 32: every term is within 31 bits, each product within 62.
template <typename Sink> inline void expand_simple_array(const SimpleArray &array, Sink &&out) {
    for (long long row = 0; row < array.rows; ++row) {
        for (long long column = 0; column < array.columns; ++column) {
            SimpleTrans member = array.trans;
            member.x += column * array.ax + row * array.bx;
            member.y += column * array.ay + row * array.by;
            out(member);
        }
    }
}

// a, b, c, d of ((M·c, -m·M·s, tx), (M·s, m·M·c, ty)); without a
// magnification the entries are c, (-m)·s, s, m·c exactly (so the identity has
// -0.0 in the first row).
inline std::array<double, 4> linear_part(double half_turns, bool mirror,
                                         const double *magnification) {
    double radians = half_turns * M_PI;
    double s = std::sin(radians), c = std::cos(radians);
    double m = mirror ? -1.0 : 1.0;
    if (magnification) {
        double mag = *magnification;
        return {mag * c, -m * mag * s, mag * s, m * mag * c};
    }
    return {c, -m * s, s, m * c};
}

// The matrix of a simple transformation; the linear parts of the eight
// orientations are computed once, by the same formula.
inline PlacementMatrix simple_matrix(const SimpleTrans &trans) {
    static const std::array<std::array<double, 4>, 8> orientations = [] {
        std::array<std::array<double, 4>, 8> table{};
        for (int index = 0; index < 8; ++index)
            table[index] = linear_part(90.0 * (index % 4) / 180.0, index >= 4, nullptr);
        return table;
    }();
    const auto &[a, b, c, d] = orientations[trans.angle + (trans.mirror ? 4 : 0)];
    return {{a, b, double(trans.x) / 1000.0, c, d, double(trans.y) / 1000.0}};
}

// A complex transformation (any angle, magnification) read as numbers:
// displacement in database units.
inline PlacementMatrix complex_matrix(double degrees, double magnification, bool mirror,
                                      double x, double y) {
    auto [a, b, c, d] = linear_part(degrees / 180.0, mirror, &magnification);
    return {{a, b, x / 1000.0, c, d, y / 1000.0}};
}

} // namespace show3d

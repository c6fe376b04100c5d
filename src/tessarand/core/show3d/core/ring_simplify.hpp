// Topology-preserving Douglas-Peucker simplification of one closed ring,
// computed here for the rings where the result is certain to be the geometry
// library's own, so that most outlines need not go through it. No Python here.
//
// The library's simplifier (as verified, see tests/test_core.py) works on the
// closed ring p0..pn (pn = p0) with a minimum of four points:
//   - a section [i, j] of one segment stays; otherwise its furthest inner
//     point (the first one at the largest distance from the chord pi-pj) is
//     found; the section is flattened to the chord when that distance is
//     within the tolerance and the chord passes the topology checks, and is
//     split at that point otherwise. While the result is still below four
//     points, a section flattens only if the result cannot end up below four.
//   - Then the start point is dropped when it lies within the tolerance of
//     the chord of its two neighbours in the result and that chord passes the
//     checks: the ring then starts at the last point before it.
// The topology checks refuse a chord that meets another segment of the ring
// anywhere but at a shared end. We never replay them. The walk runs as if
// every check passed; then every chord it made is checked against every
// other chord and every input segment outside its own section that was still
// in place when it was made: a superset of what the library checks it
// against. A chord passes only when each of them clearly keeps off it
// (bounding boxes apart, one segment clearly on one side of the other's
// line, or a shared end with no overlap). Those whose boxes meet the chord's
// are found along runs of the ring where x and y only grow or only shrink,
// or, for rings with too many such runs, in a grid; both find the same ones.
// A chord that does not pass makes the result "unsure" and the ring goes to
// the library. Distances are the library's own, operation for operation (no
// fused multiply-add on this platform's baseline), so that they meet the
// tolerance, and tie, exactly as there.
#pragma once

#include "cpu.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace show3d {

enum class RingResult { unsure, kept, simplified };

class RingSimplifier {
public:
    // Rings of more runs than `max_runs` are checked in a grid (0: every ring).
    // `vectorised`: the cheap pass of the furthest point search four points
    // at a time where the processor can; the same numbers either way.
    explicit RingSimplifier(size_t max_runs = 32, bool vectorised = true)
        : max_runs_(max_runs), vectorised_(vectorised && processor_has_avx2()) {}

    // Simplifies the closed ring of `points` x, y pairs (first point not
    // repeated). `simplified` gets the open result ring when the result is
    // `simplified`.
    RingResult simplify(const double *xy, size_t points, double tolerance,
                        std::vector<double> &simplified) {
        if (!prepare(xy, points, tolerance)) return RingResult::unsure;
        if (!simplify_sections()) return RingResult::unsure;
        if (!simplify_start()) return RingResult::unsure;
        if (!chords_are_clear()) return RingResult::unsure;
        if (result_.size() == points) return RingResult::kept;
        simplified.clear();
        for (const Segment &segment : result_) {
            simplified.push_back(at(segment.from)[0]);
            simplified.push_back(at(segment.from)[1]);
        }
        return RingResult::simplified;
    }

    // The library's point-to-segment distance, operation for operation, so
    // that equal distances (symmetric curves) pick the same furthest point.
    static double distance(const double *p, const double *a, const double *b) {
        if (a[0] == b[0] && a[1] == b[1]) return point_distance(p, a);
        double dx = b[0] - a[0], dy = b[1] - a[1];
        double length2 = dx * dx + dy * dy;
        double r = ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / length2;
        if (r <= 0.0) return point_distance(p, a);
        if (r >= 1.0) return point_distance(p, b);
        double s = ((a[1] - p[1]) * dx - (a[0] - p[0]) * dy) / length2;
        return std::fabs(s) * std::sqrt(length2);
    }

private:
    // A segment of the input (a to a + 1) or a chord, by point numbers.
    struct Segment {
        uint32_t from, to;
    };
    struct Section {
        uint32_t from, to, depth;
    };
    struct Box {
        double x0, y0, x1, y1;
        bool apart(const Box &other) const {
            return x1 < other.x0 || other.x1 < x0 || y1 < other.y0 || other.y1 < y0;
        }
    };

    static double point_distance(const double *p, const double *a) {
        double dx = p[0] - a[0], dy = p[1] - a[1];
        return std::sqrt(dx * dx + dy * dy);
    }

#ifdef S3D_X86_AVX2
    // The cheap pass of furthest_point for `count` points from `xy` (a
    // multiple of four) and a chord a-b of non-zero length, four points at a
    // time: every number as the scalar pass computes it, operation for
    // operation (AVX2 alone has no fused multiply-add). Returns the largest
    // (at least -1).
    __attribute__((target("avx2"))) static double rough_distances_avx2(const double *xy, size_t count,
                                                                       const double *a, const double *b,
                                                                       double inverse, double *out) {
        const __m256d ax = _mm256_set1_pd(a[0]), ay = _mm256_set1_pd(a[1]);
        const __m256d bx = _mm256_set1_pd(b[0]), by = _mm256_set1_pd(b[1]);
        const __m256d dx = _mm256_sub_pd(bx, ax), dy = _mm256_sub_pd(by, ay);
        const __m256d length2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        const __m256d scale = _mm256_set1_pd(inverse), sign = _mm256_set1_pd(-0.0),
                      zero = _mm256_setzero_pd();
        __m256d largest = _mm256_set1_pd(-1.0);
        for (size_t k = 0; k < count; k += 4) {
            __m256d first = _mm256_loadu_pd(xy + 2 * k), second = _mm256_loadu_pd(xy + 2 * k + 4);
            // Points in the order 0, 2, 1, 3, put back in order before the store.
            __m256d x = _mm256_unpacklo_pd(first, second), y = _mm256_unpackhi_pd(first, second);
            __m256d px = _mm256_sub_pd(x, ax), py = _mm256_sub_pd(y, ay);
            __m256d along = _mm256_add_pd(_mm256_mul_pd(px, dx), _mm256_mul_pd(py, dy));
            __m256d cross = _mm256_sub_pd(_mm256_mul_pd(px, dy), _mm256_mul_pd(py, dx));
            __m256d rough = _mm256_mul_pd(_mm256_andnot_pd(sign, cross), scale);
            __m256d before_a = _mm256_cmp_pd(along, zero, _CMP_LE_OQ);
            __m256d beyond_b = _mm256_cmp_pd(along, length2, _CMP_GE_OQ);
            if (_mm256_movemask_pd(_mm256_or_pd(before_a, beyond_b))) {
                __m256d to_a = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(px, px), _mm256_mul_pd(py, py)));
                __m256d qx = _mm256_sub_pd(x, bx), qy = _mm256_sub_pd(y, by);
                __m256d to_b = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(qx, qx), _mm256_mul_pd(qy, qy)));
                rough = _mm256_blendv_pd(_mm256_blendv_pd(rough, to_b, beyond_b), to_a, before_a);
            }
            rough = _mm256_permute4x64_pd(rough, 0xD8);
            _mm256_storeu_pd(out + k, rough);
            // std::max(largest, r) skips a NaN r (from overflowing
            // coordinates); maxpd gives its second operand when either is NaN.
            largest = _mm256_max_pd(rough, largest);
        }
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, largest);
        return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    }
#endif

    // Point k of the closed ring (point `points_` is point 0 again).
    const double *at(size_t k) const { return closed_.data() + 2 * k; }

    Box box(const Segment &segment) const {
        const double *a = at(segment.from), *b = at(segment.to);
        return {std::min(a[0], b[0]), std::min(a[1], b[1]), std::max(a[0], b[0]),
                std::max(a[1], b[1])};
    }

    bool prepare(const double *xy, size_t points, double tolerance) {
        if (points < 3 || points >= UINT32_MAX / 2 || !(tolerance >= 0) || !std::isfinite(tolerance))
            return false;
        closed_.assign(xy, xy + 2 * points);
        closed_.insert(closed_.end(), xy, xy + 2);
        points_ = points;
        tolerance_ = tolerance;
        double extent = 0;
        for (size_t k = 0; k < 2 * points; ++k) {
            if (!std::isfinite(xy[k])) return false;
            extent = std::max(extent, std::fabs(xy[k]));
        }
        // Far more than the rough distances can be off the exact ones.
        rough_margin_ = extent * 1e-12;
        result_.clear();
        chords_.clear();
        sections_of_chords_.clear();
        return true;
    }

    // The depth-first walk over sections, left before right as the library
    // recurses; false when a decision is too close to call.
    bool simplify_sections() {
        sections_.clear();
        sections_.push_back({0, uint32_t(points_), 1});
        while (!sections_.empty()) {
            Section section = sections_.back();
            sections_.pop_back();
            if (section.from + 1 == section.to) {
                result_.push_back({section.from, section.to});
                continue;
            }
            double furthest = -1.0;
            uint32_t split = furthest_point(section.from, section.to, furthest);
            bool within = furthest <= tolerance_ && minimum_size_allows(section.depth);
            if (within) {
                Segment chord{section.from, section.to};
                chords_.push_back(chord);
                sections_of_chords_.push_back(chord);
                result_.push_back(chord);
                continue;
            }
            sections_.push_back({split, section.to, section.depth + 1});
            sections_.push_back({section.from, split, section.depth + 1});
        }
        return true;
    }

    // While the result has fewer than four points (the segments so far and
    // their end), a section may flatten only if even a result that flattens
    // everything still to come keeps four: depth + 1 points.
    bool minimum_size_allows(uint32_t depth) const {
        size_t result_points = result_.empty() ? 0 : result_.size() + 1;
        return result_points >= minimum_points || depth + 1 >= minimum_points;
    }

    static constexpr size_t minimum_points = 4;

    // The start point goes when the result has more than four points and
    // it lies within the tolerance of the chord of its neighbours.
    bool simplify_start() {
        if (result_.size() + 1 <= minimum_points) return true;
        Segment first = result_.front(), last = result_.back();
        Segment chord{last.from, first.to};
        double d = distance(at(0), at(chord.from), at(chord.to));
        if (d > tolerance_) return true;
        // Its section wraps round the start; checked against every segment.
        chords_.push_back(chord);
        sections_of_chords_.push_back({0, 0});
        result_.front().from = last.from;
        result_.pop_back();
        return true;
    }

    // The furthest inner point of the section [from, to] as the library finds
    // it: the first at the largest distance. A cheap pass (no divisions, and
    // within far less than rough_margin_ of the exact distance) finds the points
    // that can be the largest; only those get the library's own distance.
    uint32_t furthest_point(uint32_t from, uint32_t to, double &furthest) {
        const double *a = at(from), *b = at(to);
        double dx = b[0] - a[0], dy = b[1] - a[1], length2 = dx * dx + dy * dy;
        double inverse = length2 > 0 ? 1 / std::sqrt(length2) : 0;
        auto rough = [&](const double *p) {
            double px = p[0] - a[0], py = p[1] - a[1], along = px * dx + py * dy;
            if (length2 == 0 || along <= 0) return std::sqrt(px * px + py * py);
            if (along >= length2) return point_distance(p, b);
            return std::fabs(px * dy - py * dx) * inverse;
        };
        if (rough_.size() < to - from) rough_.resize(to - from); // never shrunk: no refilling
        double largest = -1.0;
        uint32_t k = from + 1;
#ifdef S3D_X86_AVX2
        if (vectorised_ && length2 > 0) {
            size_t fours = (to - k) / 4 * 4;
            largest = rough_distances_avx2(at(k), fours, a, b, inverse, rough_.data() + 1);
            k += uint32_t(fours);
        }
#endif
        for (; k < to; ++k) {
            rough_[k - from] = rough(at(k));
            largest = std::max(largest, rough_[k - from]);
        }
        uint32_t split = from;
        for (uint32_t k = from + 1; k < to; ++k) {
            if (rough_[k - from] < largest - rough_margin_) continue;
            double d = distance(at(k), a, b);
            if (d > furthest) {
                furthest = d;
                split = k;
            }
        }
        return split;
    }

    // Every chord against every other chord and every input segment whose
    // box meets its own, but for those it replaced and those an earlier chord
    // had replaced.
    bool chords_are_clear() {
        if (chords_.empty()) return true;
        flattened_.assign(points_, 0);
        for (const Segment &section : sections_of_chords_)
            std::fill(flattened_.begin() + section.from, flattened_.begin() + section.to, 1);
        return sort_into_runs() ? chords_are_clear_in_runs() : chords_are_clear_in_grid();
    }

    // Whether chord c, of box `reach`, keeps clear of item `id` (an input
    // segment, or chord id - points_).
    bool clear_of(uint32_t c, const Box &reach, uint32_t id) const {
        const Segment &section = sections_of_chords_[c];
        if (id == points_ + c || (id >= section.from && id < section.to)) return true;
        // Flattened before this chord was made: its chord stands for it.
        if (id < section.from && flattened_[id]) return true;
        if (box(segment(id)).apart(reach)) return true;
        return meets_only_at_end(chords_[c], segment(id));
    }

    bool chord_has_length(uint32_t c) const {
        const double *a = at(chords_[c].from), *b = at(chords_[c].to);
        return a[0] != b[0] || a[1] != b[1];
    }

    // ---- the search along runs ----
    // A run: items that follow each other along the ring, stored so that the
    // ends of their x ranges never decrease; the ends of their y ranges then
    // never decrease either (`rising`) or never increase. The items whose
    // boxes meet a chord's are one stretch of each run, found by moving two
    // cursors from where the previous chord's stretch began: for a ring
    // drawn as a few such runs, a few steps per chord.
    struct Span {
        Box box;
        uint32_t id;
    };
    struct Run {
        uint32_t first, count;
        bool rising;
        Box box;
        uint32_t x_cursor, y_cursor;
    };

    // The input segments, then the chords but the start's, as runs; false
    // when there are more than max_runs_.
    bool sort_into_runs() {
        spans_.clear();
        runs_.clear();
        uint32_t end = uint32_t(points_ + chords_.size() - (has_start_chord() ? 1 : 0));
        return add_runs(0, uint32_t(points_)) && add_runs(uint32_t(points_), end);
    }

    bool has_start_chord() const { return sections_of_chords_.back().to == 0; }

    bool add_runs(uint32_t id, uint32_t end) {
        while (id < end) {
            if (runs_.size() == max_runs_) return false;
            Run run{uint32_t(spans_.size()), 0, true, box(segment(id)), 0, 0};
            int x_direction = 0, y_direction = 0;
            for (; id < end; ++id, ++run.count) {
                Box next = box(segment(id));
                if (run.count > 0) {
                    const Box &last = spans_.back().box;
                    if (!follows(last.x0, last.x1, next.x0, next.x1, x_direction) ||
                        !follows(last.y0, last.y1, next.y0, next.y1, y_direction))
                        break;
                }
                run.box = {std::min(run.box.x0, next.x0), std::min(run.box.y0, next.y0),
                           std::max(run.box.x1, next.x1), std::max(run.box.y1, next.y1)};
                spans_.push_back({next, id});
            }
            run.rising = (x_direction < 0) == (y_direction < 0);
            if (x_direction < 0) std::reverse(spans_.begin() + run.first, spans_.end());
            runs_.push_back(run);
        }
        return true;
    }

    // Whether range [lo, hi] may follow [last_lo, last_hi] in a run going
    // `direction` (0 while not known, then set).
    static bool follows(double last_lo, double last_hi, double lo, double hi, int &direction) {
        bool up = lo >= last_lo && hi >= last_hi, down = lo <= last_lo && hi <= last_hi;
        if (direction == 0 && up != down) direction = up ? 1 : -1;
        return direction > 0 ? up : direction < 0 ? down : true;
    }

    bool chords_are_clear_in_runs() {
        // The start's chord is in no run: every other chord meets it here.
        uint32_t start = has_start_chord() ? uint32_t(points_ + chords_.size() - 1) : 0;
        for (uint32_t c = 0; c < chords_.size(); ++c) {
            if (!chord_has_length(c)) return false;
            Box reach = box(chords_[c]);
            for (Run &run : runs_)
                if (!run.box.apart(reach) && !clear_of_run(c, reach, run)) return false;
            if (start && points_ + c != start && !clear_of(c, reach, start)) return false;
        }
        return true;
    }

    bool clear_of_run(uint32_t c, const Box &reach, Run &run) {
        const Span *spans = spans_.data() + run.first;
        uint32_t x = run.x_cursor, y = run.y_cursor;
        // The first span whose x range reaches the chord's...
        while (x > 0 && spans[x - 1].box.x1 >= reach.x0) --x;
        while (x < run.count && spans[x].box.x1 < reach.x0) ++x;
        // ...and the first whose y range does.
        if (run.rising) {
            while (y > 0 && spans[y - 1].box.y1 >= reach.y0) --y;
            while (y < run.count && spans[y].box.y1 < reach.y0) ++y;
        } else {
            while (y > 0 && spans[y - 1].box.y0 <= reach.y1) --y;
            while (y < run.count && spans[y].box.y0 > reach.y1) ++y;
        }
        run.x_cursor = x;
        run.y_cursor = y;
        for (uint32_t k = std::max(x, y); k < run.count; ++k) {
            const Box &item = spans[k].box;
            if (item.x0 > reach.x1 || (run.rising ? item.y0 > reach.y1 : item.y1 < reach.y0)) break;
            if (!clear_of(c, reach, spans[k].id)) return false;
        }
        return true;
    }

    // ---- the search in a grid ----
    // Every chord against what shares its cells in a uniform grid.
    bool chords_are_clear_in_grid() {
        fill_grid(points_ + chords_.size());
        for (uint32_t c = 0; c < chords_.size(); ++c) {
            if (!chord_has_length(c)) return false;
            Box reach = box(chords_[c]);
            Cells cells = cells_of(chords_[c]);
            for (size_t cy = cells.y0; cy <= cells.y1; ++cy) {
                for (size_t cx = cells.x0; cx <= cells.x1; ++cx) {
                    size_t cell = cy * columns_ + cx;
                    for (uint32_t k = cell_start_[cell]; k < cell_start_[cell + 1]; ++k)
                        if (!clear_of(c, reach, cell_items_[k])) return false;
                }
            }
        }
        return true;
    }

    // Whether `other` can meet `chord` only at a shared end: segments apart
    // (one lies clearly on one side of the other's line), or one end in
    // common and not leaving it in the same direction. "Clearly": beyond
    // any rounding of the cross products.
    bool meets_only_at_end(const Segment &chord, const Segment &other) const {
        const double *a = at(chord.from), *b = at(chord.to);
        const double *c = at(other.from), *d = at(other.to);
        auto same = [](const double *p, const double *q) { return p[0] == q[0] && p[1] == q[1]; };
        const double *shared, *far_chord, *far_other;
        if (same(a, c) || same(a, d)) {
            shared = a, far_chord = b, far_other = same(a, c) ? d : c;
        } else if (same(b, c) || same(b, d)) {
            shared = b, far_chord = a, far_other = same(b, c) ? d : c;
        } else {
            return one_side(a, b, c, d) || one_side(c, d, a, b);
        }
        // A segment of no length, or the chord itself, fails below: not
        // leaving the shared end, or leaving it in the chord's direction.
        double ux = far_chord[0] - shared[0], uy = far_chord[1] - shared[1];
        double vx = far_other[0] - shared[0], vy = far_other[1] - shared[1];
        return ux * vx + uy * vy < 0 || side(shared, far_chord, far_other) != 0;
    }

    // The side of the line a-b that p lies on: +1, -1, or 0 when too close
    // to call.
    static int side(const double *a, const double *b, const double *p) {
        double ux = b[0] - a[0], uy = b[1] - a[1], vx = p[0] - a[0], vy = p[1] - a[1];
        double cross = ux * vy - uy * vx;
        if (cross * cross <= 1e-18 * (ux * ux + uy * uy) * (vx * vx + vy * vy)) return 0;
        return cross > 0 ? 1 : -1;
    }

    // Both ends of c-d clearly on the same side of the line a-b.
    static bool one_side(const double *a, const double *b, const double *c, const double *d) {
        int first = side(a, b, c);
        return first != 0 && first == side(a, b, d);
    }

    struct Cells {
        size_t x0, y0, x1, y1;
    };

    // The cells a segment's box covers: those between the cells of its ends.
    Cells cells_of(const Segment &segment) const {
        const uint32_t *a = &point_cells_[2 * (segment.from == points_ ? 0 : segment.from)];
        const uint32_t *b = &point_cells_[2 * (segment.to == points_ ? 0 : segment.to)];
        return {std::min(a[0], b[0]), std::min(a[1], b[1]), std::max(a[0], b[0]), std::max(a[1], b[1])};
    }

    // The grid holding the boxes of the input's segments and of the chords
    // (counted, then filled). Cells follow x and y monotonically, so boxes
    // that meet share a cell.
    void fill_grid(size_t boxes) {
        Box bounds = box({0, 0});
        for (uint32_t k = 0; k < points_; ++k) {
            const double *p = at(k);
            bounds = {std::min(bounds.x0, p[0]), std::min(bounds.y0, p[1]), std::max(bounds.x1, p[0]),
                      std::max(bounds.y1, p[1])};
        }
        size_t side = std::max<size_t>(1, size_t(std::sqrt(double(boxes)) * grid_density));
        double width = bounds.x1 - bounds.x0, height = bounds.y1 - bounds.y0;
        columns_ = width > 0 ? side : 1;
        size_t rows = height > 0 ? side : 1;
        double x_scale = width > 0 ? double(columns_) / width : 0;
        double y_scale = height > 0 ? double(rows) / height : 0;
        auto along = [](double v, double origin, double scale, size_t count) {
            double k = std::floor((v - origin) * scale);
            return size_t(std::clamp(k, 0.0, double(count - 1)));
        };
        point_cells_.resize(2 * points_);
        for (uint32_t k = 0; k < points_; ++k) {
            const double *p = at(k);
            point_cells_[2 * k] = uint32_t(along(p[0], bounds.x0, x_scale, columns_));
            point_cells_[2 * k + 1] = uint32_t(along(p[1], bounds.y0, y_scale, rows));
        }
        cell_start_.assign(columns_ * rows + 1, 0);
        auto each_cell = [&](uint32_t id, auto &&visit) {
            Cells cells = cells_of(segment(id));
            for (size_t cy = cells.y0; cy <= cells.y1; ++cy)
                for (size_t cx = cells.x0; cx <= cells.x1; ++cx) visit(cy * columns_ + cx);
        };
        for (uint32_t id = 0; id < boxes; ++id)
            each_cell(id, [&](size_t cell) { ++cell_start_[cell + 1]; });
        for (size_t cell = 0; cell + 1 < cell_start_.size(); ++cell)
            cell_start_[cell + 1] += cell_start_[cell];
        cell_items_.resize(cell_start_.back());
        fill_.assign(cell_start_.begin(), cell_start_.end() - 1);
        for (uint32_t id = 0; id < boxes; ++id)
            each_cell(id, [&](size_t cell) { cell_items_[fill_[cell]++] = id; });
    }

    // Segment `id` of the input, or chord `id - points_`.
    Segment segment(uint32_t id) const {
        return id < points_ ? Segment{id, id + 1} : chords_[id - points_];
    }

    // Cells per side, per square root of the boxes.
    static constexpr double grid_density = 1.0;

    std::vector<double> closed_;
    size_t points_ = 0;
    double tolerance_ = 0, rough_margin_ = 0;
    std::vector<Segment> result_, chords_;
    // By chord: the input segments it replaced (none for the start's chord,
    // checked against everything).
    std::vector<Segment> sections_of_chords_;
    std::vector<Section> sections_;
    std::vector<double> rough_;
    std::vector<unsigned char> flattened_; // by input segment: replaced by a chord
    size_t max_runs_;
    bool vectorised_;
    std::vector<Span> spans_;
    std::vector<Run> runs_;
    size_t columns_ = 1;
    std::vector<uint32_t> point_cells_; // by point: the column and row of its cell
    std::vector<uint32_t> cell_start_, cell_items_, fill_;
};

} // namespace show3d

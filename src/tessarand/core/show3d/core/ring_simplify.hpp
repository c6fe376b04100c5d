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
// against. A chord passes only when
// each of them clearly keeps off it (bounding boxes apart, one segment
// clearly on one side of the other's line, or a shared end with no overlap).
// A chord that does not pass makes the result "unsure" and the ring goes to
// the library. Distances are the library's own, operation for operation (no
// fused multiply-add on this platform's baseline), so that they meet the
// tolerance, and tie, exactly as there.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace show3d {

enum class RingResult { unsure, kept, simplified };

class RingSimplifier {
public:
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
        rough_.resize(to - from);
        double largest = -1.0;
        for (uint32_t k = from + 1; k < to; ++k) {
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

    // Every chord against what shares its cells in a uniform grid: the other
    // chords and the input's segments, but for those it replaced and those
    // an earlier chord had replaced.
    bool chords_are_clear() {
        if (chords_.empty()) return true;
        size_t boxes = points_ + chords_.size();
        fill_grid(boxes);
        for (uint32_t c = 0; c < chords_.size(); ++c) {
            const Segment &chord = chords_[c];
            const double *a = at(chord.from), *b = at(chord.to);
            if (a[0] == b[0] && a[1] == b[1]) return false;
            const Segment &section = sections_of_chords_[c];
            const Box &reach = boxes_[points_ + c];
            Cells cells = cells_of(chord);
            for (size_t cy = cells.y0; cy <= cells.y1; ++cy) {
                for (size_t cx = cells.x0; cx <= cells.x1; ++cx) {
                    size_t cell = cy * columns_ + cx;
                    for (uint32_t k = cell_start_[cell]; k < cell_start_[cell + 1]; ++k) {
                        uint32_t id = cell_items_[k];
                        if (id == points_ + c || (id >= section.from && id < section.to)) continue;
                        // Flattened before this chord was made: its chord stands for it.
                        if (id < section.from && flattened_[id]) continue;
                        if (boxes_[id].apart(reach)) continue;
                        if (!meets_only_at_end(chord, segment(id))) return false;
                    }
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

    // The boxes of the input's segments and of the chords, and the grid
    // holding them (counted, then filled). Cells follow x and y
    // monotonically, so boxes that meet share a cell.
    void fill_grid(size_t boxes) {
        flattened_.assign(points_, 0);
        for (const Segment &section : sections_of_chords_)
            std::fill(flattened_.begin() + section.from, flattened_.begin() + section.to, 1);
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
        boxes_.resize(boxes);
        for (uint32_t id = 0; id < boxes; ++id) boxes_[id] = box(segment(id));
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
    std::vector<Box> boxes_; // by input segment, then by chord
    size_t columns_ = 1;
    std::vector<uint32_t> point_cells_; // by point: the column and row of its cell
    std::vector<uint32_t> cell_start_, cell_items_, fill_;
};

} // namespace show3d

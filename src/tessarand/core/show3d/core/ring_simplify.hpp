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
//     split at that point otherwise. The two outermost levels never flatten
//     while the result is still below four points.
//   - Then the start point is dropped when it lies within the tolerance of
//     the chord of its two neighbours in the result and that chord passes the
//     checks: the ring then starts at the last point before it.
// The topology checks refuse a chord that meets another segment of the ring
// anywhere but at a shared end. We never replay them: a chord is accepted only
// when every other segment near it clearly keeps off it (bounding boxes apart,
// one segment clearly on one side of the other's line, or a shared end with no
// overlap); anything else, a distance too close to the tolerance to
// call, or a flattening where the minimum-size rule could decide, returns
// "unsure" and the ring goes to the library.
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

    const double *at(size_t k) const { return xy_ + 2 * (k == points_ ? 0 : k); }

    Box box(const Segment &segment) const {
        const double *a = at(segment.from), *b = at(segment.to);
        return {std::min(a[0], b[0]), std::min(a[1], b[1]), std::max(a[0], b[0]),
                std::max(a[1], b[1])};
    }

    bool prepare(const double *xy, size_t points, double tolerance) {
        if (points < 3 || points >= UINT32_MAX / 2 || !(tolerance >= 0) || !std::isfinite(tolerance))
            return false;
        xy_ = xy;
        points_ = points;
        tolerance_ = tolerance;
        double extent = 0;
        bounds_ = {xy[0], xy[1], xy[0], xy[1]};
        for (size_t k = 0; k < points; ++k) {
            double x = xy[2 * k], y = xy[2 * k + 1];
            if (!std::isfinite(x) || !std::isfinite(y)) return false;
            extent = std::max({extent, std::fabs(x), std::fabs(y)});
            bounds_ = {std::min(bounds_.x0, x), std::min(bounds_.y0, y), std::max(bounds_.x1, x),
                       std::max(bounds_.y1, y)};
        }
        // Covers any rounding difference between our distances and the library's.
        margin_ = tolerance * 1e-9 + extent * 1e-12;
        result_.clear();
        chords_.clear();
        removed_.assign(points, 0);
        build_grid();
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
            uint32_t split = section.from;
            for (uint32_t k = section.from + 1; k < section.to; ++k) {
                double d = distance(at(k), at(section.from), at(section.to));
                if (d > furthest) {
                    furthest = d;
                    split = k;
                }
            }
            bool within = furthest <= tolerance_ + margin_;
            if (within && (section.depth <= 2 || furthest > tolerance_ - margin_)) return false;
            if (within) {
                Segment chord{section.from, section.to};
                if (!chord_is_clear(chord, section.from, section.to)) return false;
                for (uint32_t k = section.from; k < section.to; ++k) removed_[k] = 1;
                add_chord(chord);
                result_.push_back(chord);
                continue;
            }
            sections_.push_back({split, section.to, section.depth + 1});
            sections_.push_back({section.from, split, section.depth + 1});
        }
        return true;
    }

    // The start point goes when the result has more than four points and
    // it lies within the tolerance of the chord of its neighbours.
    bool simplify_start() {
        if (result_.size() + 1 <= 4) return true;
        Segment first = result_.front(), last = result_.back();
        Segment chord{last.from, first.to};
        double d = distance(at(0), at(chord.from), at(chord.to));
        if (d > tolerance_ + margin_) return true;
        if (d > tolerance_ - margin_) return false;
        // Nothing may come near the new chord but the two segments it
        // replaces, which end where it ends.
        if (!chord_is_clear(chord, 0, 0)) return false;
        result_.front().from = last.from;
        result_.pop_back();
        return true;
    }

    // No segment of the ring outside the section [from, to) and no chord
    // made so far can meet `chord` anywhere but at a shared end.
    bool chord_is_clear(const Segment &chord, uint32_t from, uint32_t to) {
        const double *a = at(chord.from), *b = at(chord.to);
        if (a[0] == b[0] && a[1] == b[1]) return false;
        Box reach = box(chord);
        ++stamp_;
        auto [cx0, cy0] = cell(reach.x0, reach.y0);
        auto [cx1, cy1] = cell(reach.x1, reach.y1);
        for (size_t cy = cy0; cy <= cy1; ++cy) {
            for (size_t cx = cx0; cx <= cx1; ++cx) {
                for (uint32_t id : cells_[cy * columns_ + cx]) {
                    if (seen_[id] == stamp_) continue;
                    seen_[id] = stamp_;
                    Segment other = id < points_ ? Segment{id, id + 1} : chords_[id - points_];
                    if (id < points_ && (removed_[id] || (id >= from && id < to))) continue;
                    if (box(other).apart(reach)) continue;
                    if (!meets_only_at_end(chord, other)) return false;
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
        if (same(far_other, shared) || same(far_other, far_chord)) return false;
        double ux = far_chord[0] - shared[0], uy = far_chord[1] - shared[1];
        double vx = far_other[0] - shared[0], vy = far_other[1] - shared[1];
        return ux * vx + uy * vy < 0 || side(shared, far_chord, far_other) != 0;
    }

    // The side of the line a-b that p lies on: +1, -1, or 0 when too close
    // to call.
    static int side(const double *a, const double *b, const double *p) {
        double ux = b[0] - a[0], uy = b[1] - a[1], vx = p[0] - a[0], vy = p[1] - a[1];
        double cross = ux * vy - uy * vx;
        double bound = 1e-9 * std::hypot(ux, uy) * std::hypot(vx, vy);
        return cross > bound ? 1 : cross < -bound ? -1 : 0;
    }

    // Both ends of c-d clearly on the same side of the line a-b.
    static bool one_side(const double *a, const double *b, const double *c, const double *d) {
        int first = side(a, b, c);
        return first != 0 && first == side(a, b, d);
    }

    // ---- a uniform grid over the ring's segments and chords ----
    // Cells follow x and y monotonically, so boxes that overlap always share
    // a cell.
    std::pair<size_t, size_t> cell(double x, double y) const {
        auto along = [](double v, double origin, double scale, size_t count) {
            double k = std::floor((v - origin) * scale);
            return size_t(std::clamp(k, 0.0, double(count - 1)));
        };
        return {along(x, bounds_.x0, x_scale_, columns_), along(y, bounds_.y0, y_scale_, rows_)};
    }

    void build_grid() {
        size_t side = std::max<size_t>(1, size_t(std::sqrt(double(points_)) / 2));
        double width = bounds_.x1 - bounds_.x0, height = bounds_.y1 - bounds_.y0;
        columns_ = width > 0 ? side : 1;
        rows_ = height > 0 ? side : 1;
        x_scale_ = width > 0 ? double(columns_) / width : 0;
        y_scale_ = height > 0 ? double(rows_) / height : 0;
        if (cells_.size() < columns_ * rows_) cells_.resize(columns_ * rows_);
        for (size_t k = 0; k < columns_ * rows_; ++k) cells_[k].clear();
        seen_.assign(points_, 0);
        stamp_ = 0;
        for (uint32_t k = 0; k < points_; ++k) insert(k, {k, k + 1});
    }

    void insert(uint32_t id, const Segment &segment) {
        Box b = box(segment);
        auto [cx0, cy0] = cell(b.x0, b.y0);
        auto [cx1, cy1] = cell(b.x1, b.y1);
        for (size_t cy = cy0; cy <= cy1; ++cy)
            for (size_t cx = cx0; cx <= cx1; ++cx) cells_[cy * columns_ + cx].push_back(id);
    }

    void add_chord(const Segment &chord) {
        uint32_t id = uint32_t(points_ + chords_.size());
        chords_.push_back(chord);
        seen_.push_back(0);
        insert(id, chord);
    }

    const double *xy_ = nullptr;
    size_t points_ = 0;
    double tolerance_ = 0, margin_ = 0;
    Box bounds_{};
    std::vector<Segment> result_, chords_;
    std::vector<Section> sections_;
    std::vector<unsigned char> removed_;
    size_t columns_ = 1, rows_ = 1;
    double x_scale_ = 0, y_scale_ = 0;
    std::vector<std::vector<uint32_t>> cells_;
    std::vector<uint64_t> seen_;
    uint64_t stamp_ = 0;
};

} // namespace show3d

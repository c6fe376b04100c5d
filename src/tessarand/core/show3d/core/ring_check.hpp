// A cheap proof that a topology-preserving Douglas-Peucker simplification
// leaves a ring exactly as it is, so that shapes such as rectangles and
// Manhattan outlines need not go through the geometry library. No Python here.
//
// The simplifier splits the closed ring p0..pn (pn = p0) into sections [i, j]
// and flattens a section when its furthest inner point lies within the
// tolerance of the chord pi-pj; otherwise it splits the section at that
// point. Its topology checks only ever refuse a flattening. So when every
// section it visits has its furthest point clearly beyond the tolerance, and
// the ring's start point is clearly off the chord of its neighbours (which
// lets the start point be dropped), nothing is removed and the ring comes
// back unchanged.
//
// "Clearly": beyond a margin that covers any rounding difference between our
// distances and the library's, and with a unique furthest point, so that both
// visit the same sections. Whatever is too close to call returns false and
// goes to the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace show3d {

// Distance from p to the segment a-b (to a when the segment is a point).
inline double point_segment_distance(const double *p, const double *a, const double *b) {
    double dx = b[0] - a[0], dy = b[1] - a[1];
    double length2 = dx * dx + dy * dy;
    double px = p[0] - a[0], py = p[1] - a[1];
    if (length2 == 0) return std::hypot(px, py);
    double along = (px * dx + py * dy) / length2;
    if (along <= 0) return std::hypot(px, py);
    if (along >= 1) return std::hypot(p[0] - b[0], p[1] - b[1]);
    return std::fabs(px * dy - py * dx) / std::sqrt(length2);
}

// True when simplifying the closed ring of `points` x, y pairs (first point
// not repeated) with `tolerance` provably returns the same points in the
// same order. `sections` is scratch space, reused between calls.
inline bool simplification_keeps_ring(const double *xy, size_t points, double tolerance,
                                      std::vector<std::pair<size_t, size_t>> &sections) {
    if (points < 3 || !(tolerance >= 0) || !std::isfinite(tolerance)) return false;
    double extent = 0;
    for (size_t k = 0; k < 2 * points; ++k) {
        if (!std::isfinite(xy[k])) return false;
        extent = std::max(extent, std::fabs(xy[k]));
    }
    const double margin = tolerance * 1e-9 + extent * 1e-12;
    const double limit = tolerance + margin;
    auto at = [&](size_t k) { return xy + 2 * (k == points ? 0 : k); };

    // The start point must stay: clearly off the chord of its two neighbours.
    if (point_segment_distance(at(0), at(1), at(points - 1)) <= limit) return false;

    sections.clear();
    sections.emplace_back(0, points);
    while (!sections.empty()) {
        auto [i, j] = sections.back();
        sections.pop_back();
        if (j - i < 2) continue;
        double furthest = -1, runner_up = -1;
        size_t split = i;
        for (size_t k = i + 1; k < j; ++k) {
            double distance = point_segment_distance(at(k), at(i), at(j));
            if (distance > furthest) {
                runner_up = furthest;
                furthest = distance;
                split = k;
            } else {
                runner_up = std::max(runner_up, distance);
            }
        }
        if (furthest <= limit || runner_up >= furthest - margin) return false;
        sections.emplace_back(split, j);
        sections.emplace_back(i, split);
    }
    return true;
}

} // namespace show3d

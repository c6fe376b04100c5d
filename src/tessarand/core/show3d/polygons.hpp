// Polygon extraction: the hull of a KLayout polygon in database units, the
// open micrometre outline, and its topology-preserving simplification, one by
// one or in bulk for a whole walk.
#pragma once

#include "pyhelpers.hpp"

#include <vector>

namespace show3d {

// KLayout's integer polygon type, as the module namespace has it now.
nb::object integer_polygon_type(const Globals &globals);

// Appends the hull of `polygon` to `xy` (database units): from the binary or
// text form of an integer polygon in one call, else point by point.
void read_hull(nb::handle integer_polygon, nb::handle polygon, std::vector<double> &xy);

// The open micrometre outline: a new list of (x, y) float pairs, xy / scale.
nb::object outline_list(const double *xy, size_t points, double scale);

// Simplification of one outline through the module's shapely. Whatever
// shapely cannot build or simplify into a non-empty polygon keeps its raw
// outline.
nb::object simplify_outline(const Globals &globals, nb::handle raw, nb::handle tolerance);

// Where the outlines of a walk go, by polygon number.
class OutlineSink {
public:
    virtual ~OutlineSink() = default;
    // An outline in micrometres, as x, y pairs.
    virtual void store(Py_ssize_t index, const double *xy, size_t points) = 0;
    // An outline as the one-by-one path gives it: a list of (x, y) pairs.
    virtual void store_list(Py_ssize_t index, nb::handle outline) = 0;
};

// Collects the outlines of one walk and simplifies them with one vectorised
// call of the real shapely per stage; results equal the one-by-one path bit
// for bit, and whatever the batch cannot handle goes through that path.
class BulkSimplifier {
public:
    BulkSimplifier(OutlineSink &sink, nb::object tolerance);

    // An outline in database units, stored at the next flush.
    void add(Py_ssize_t index, const double *xy, size_t points);
    void flush(const Globals &globals);

private:
    struct Pending {
        Py_ssize_t index;
        size_t first, points;
    };

    void store_raw(const Pending &item);
    void simplify_one_by_one(const Globals &globals);
    // Rings of fewer than three points cannot become polygons: they stay raw.
    void simplify_batch();

    OutlineSink &sink_;
    nb::object tolerance_;
    std::vector<Pending> pending_;
    std::vector<double> coords_;
};

} // namespace show3d

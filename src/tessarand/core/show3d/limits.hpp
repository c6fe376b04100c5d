// The limits of one conversion, as the environment sets them, and the errors
// for a layout beyond them: read at the start of each conversion call, so
// that a change between two calls counts.
#pragma once

#include "pyhelpers.hpp"
#include "core/budget.hpp"
#include "core/placement.hpp"

#include <cstdlib>
#include <string>

namespace show3d {

// The limit the environment variable `name` sets, else `fallback`;
// ValueError for a value that is no positive integer.
inline uint64_t limit_from_environment(const char *name, uint64_t fallback) {
    const char *given = std::getenv(name);
    if (!given) return fallback;
    std::string text(given); // decoding it below could change the environment
    uint64_t limit = 0;
    if (parse_limit(text.c_str(), limit)) return limit;
    nb::object shown = check(PyUnicode_DecodeFSDefaultAndSize(text.data(), Py_ssize_t(text.size())));
    raise(PyExc_ValueError, "%s must be a positive integer, not %R", name, shown.ptr());
}

inline Limits limits_from_environment() {
    return {limit_from_environment("TESSARAND_MAX_PLACEMENTS", Limits::default_placements),
            limit_from_environment("TESSARAND_MAX_POLYGONS", Limits::default_polygons)};
}

// A layout that places cells `count` times when flattened (at least, where
// counting stopped early or saturated).
[[noreturn]] inline void refuse_placements(uint64_t count, uint64_t limit, bool at_least) {
    raise(PyExc_MemoryError,
          "the layout places cells %s%s times when flattened, more than the limit of %s placements; "
          "set TESSARAND_MAX_PLACEMENTS to allow more",
          at_least ? "at least " : "", grouped(count).c_str(), grouped(limit).c_str());
}

// Placements counted against the limit as they are read or made: refused
// past it, before they are.
class PlacementCount {
public:
    explicit PlacementCount(uint64_t limit) : limit_(limit) {}
    void add(uint64_t placements) {
        count_ = saturating_add(count_, placements);
        if (count_ > limit_) refuse_placements(count_, limit_, true);
    }

private:
    uint64_t limit_, count_ = 0;
};

[[noreturn]] inline void refuse_polygons(uint64_t count, uint64_t limit) {
    raise(PyExc_MemoryError,
          "the layout holds at least %s distinct polygons, more than the limit of %s; "
          "set TESSARAND_MAX_POLYGONS to allow more",
          grouped(count).c_str(), grouped(limit).c_str());
}

// A placement, composed, beyond placement_limit.
[[noreturn]] inline void refuse_reach(const SimpleTrans &trans) {
    uint64_t reach = std::max(uint64_t(std::llabs(trans.x)), uint64_t(std::llabs(trans.y)));
    raise(PyExc_OverflowError,
          "the layout places a cell %s database units from the origin, beyond the %s that placements carry",
          grouped(reach).c_str(), grouped(uint64_t(placement_limit)).c_str());
}

} // namespace show3d

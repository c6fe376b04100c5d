// Polygon extraction: the hull of a KLayout polygon in database units, the
// open micrometre outline, and its topology-preserving simplification, one by
// one or in bulk for a whole walk.
#pragma once

#include "core/ring_simplify.hpp"
#include "pyhelpers.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
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

// Whether a walk may simplify in bulk: the module's shapely polygon and
// shapely's simplification are shapely's own, so that vectorised calls give
// what the one-by-one path gives.
bool bulk_simplification_possible(const Globals &globals);

// Where the outlines of a walk go, by polygon number.
class OutlineSink {
public:
    virtual ~OutlineSink() = default;
    // An outline in micrometres, as x, y pairs.
    virtual void store(Py_ssize_t index, const double *xy, size_t points) = 0;
    // An outline as the one-by-one path gives it: a list of (x, y) pairs.
    virtual void store_list(Py_ssize_t index, nb::handle outline) = 0;
    // Whether store() works without the interpreter lock (the simplifier
    // then calls it from its workers, one at a time).
    virtual bool stores_without_interpreter() const { return false; }
};

// Collects the outlines of one walk and simplifies them in batches on worker
// threads beside the walk; results equal the one-by-one path bit for bit.
// Where shapely's geometry library is a version whose simplification
// RingSimplifier is verified against, the outlines whose result is certain
// (most of them) are simplified here without the interpreter lock; the rest
// go to vectorised calls of the real shapely, and whatever a batch cannot
// handle goes through the one-by-one path.
class BulkSimplifier {
public:
    BulkSimplifier(OutlineSink &sink, nb::object tolerance, Globals globals);
    ~BulkSimplifier();
    BulkSimplifier(const BulkSimplifier &) = delete;
    BulkSimplifier &operator=(const BulkSimplifier &) = delete;

    // An outline in database units, for the sink's `slot`.
    void add(Py_ssize_t slot, const double *xy, size_t points);
    // Hands what is left to the workers, without waiting for them.
    void submit_rest();
    // Returns when every outline added is in the sink; raises the first error
    // of a batch that was no ordinary exception, or that the sink threw.
    void flush();

private:
    struct Pending {
        Py_ssize_t slot;
        size_t first, points;
        RingResult native = RingResult::unsure;
        size_t simplified_first = 0, simplified_points = 0;
        bool stored = false;
    };
    struct Batch {
        std::vector<Pending> pending;
        std::vector<double> coords, simplified;
    };
    static constexpr size_t batch_vertices = 1 << 12, small_batch_vertices = 1 << 11,
                            yield_interval = 64;

    void submit();
    void split_last_batch();
    void run_worker();
    // With mutex_ held: the first queued batch, now in flight.
    Batch take_front();
    // The walk's thread, once the walk is done: the next queued batch, and
    // running it as a worker would.
    std::optional<Batch> take_queued();
    void run_batch(Batch &batch);
    // With mutex_ held: a batch is done; the last one wakes flush().
    void finished_batch();
    // Without the interpreter lock: micrometres, and the outlines simplified here.
    void prepare(Batch &batch) const;
    // With the lock: every outline of the batch into the sink.
    void process(Batch &batch);
    // With the lock: the first error of any batch, for flush() to raise.
    void keep_first_error(std::exception_ptr error);
    // Without the interpreter lock, where the sink allows: the outlines
    // simplified in prepare() into the sink. False when nothing is left for
    // process().
    bool store_natives_early(Batch &batch);
    // Every store into the sink goes through these, holding sink_lock().
    std::unique_lock<std::mutex> sink_lock();
    void store(Py_ssize_t slot, const double *xy, size_t points);
    void store_raw(const Batch &batch, const Pending &item);
    // Stores an outline simplified in prepare(), unless stored already;
    // false for one left to shapely.
    bool store_native(const Batch &batch, const Pending &item);
    void simplify_one_by_one(const Batch &batch);
    // Rings of fewer than three points cannot become polygons: they stay raw.
    void simplify_batch(const Batch &batch);

    OutlineSink &sink_;
    nb::object tolerance_;
    Globals globals_;
    // The tolerance for simplifying here; none when the tolerance is no
    // plain float or the geometry library is not a verified version.
    std::optional<double> native_tolerance_;
    Batch filling_;
    size_t adds_since_yield_ = 0;
    std::mutex mutex_, sink_mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Batch> queue_;
    size_t in_flight_ = 0;
    std::atomic<bool> busy_{false};
    bool stopping_ = false;
    std::exception_ptr error_;
    std::vector<std::thread> workers_;
};

} // namespace show3d

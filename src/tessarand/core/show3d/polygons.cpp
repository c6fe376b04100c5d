#include "polygons.hpp"

#include "core/hull.hpp"

#include "arrays.hpp"

#include <algorithm>

namespace show3d {
namespace {

// Reads the hull of an integer polygon from its text form in one call
// instead of one call per point (for KLayout versions without the binary
// form).
bool read_hull_text(nb::handle polygon, std::vector<double> &xy) {
    nb::object text = call_method(polygon, S3D_NAME("to_s"));
    std::string_view view = utf8_view(text);
    return parse_hull_text(view.data(), view.data() + view.size(), xy);
}

// The hull read point by point through the float polygon, for any polygon
// type KLayout offers.
void read_hull_points(nb::handle polygon, std::vector<double> &xy) {
    nb::object points = call_method(call_method(polygon, S3D_NAME("to_dtype")),
                                     S3D_NAME("each_point_hull"));
    nb::object iterator = check(PyObject_GetIter(points.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object point = nb::steal(raw);
        xy.push_back(to_double(get_attr(point, S3D_NAME("x"))));
        xy.push_back(to_double(get_attr(point, S3D_NAME("y"))));
    }
    if (PyErr_Occurred()) raise_current();
}

// Reads the hull from the binary form of an integer polygon; false for a
// KLayout without it or a form the reader does not know.
bool read_hull_bytes(nb::handle polygon, std::vector<double> &xy) {
    nb::object bytes;
    try {
        bytes = call_method(polygon, S3D_NAME("to_bytes"));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_AttributeError)) throw; // a KLayout without it
        return false;
    }
    std::span<const unsigned char> form = bytes_view(bytes);
    return parse_hull_bytes(form.data(), form.size(), xy);
}

// np.ascontiguousarray(value, dtype) through numpy's C interface.
nb::object contiguous(nb::handle value, int type) {
    return check(PyArray_FromAny(value.ptr(), PyArray_DescrFromType(type), 1, 0,
                                 NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST, nullptr));
}

// Read access to the memory of a contiguous array of T (TypeError for items
// of another size).
template <typename T> class ArrayView {
public:
    explicit ArrayView(nb::handle array) {
        check_status(PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
        if (view_.itemsize != Py_ssize_t(sizeof(T))) {
            PyBuffer_Release(&view_);
            raise(PyExc_TypeError, "expected an array of %zu-byte items", sizeof(T));
        }
    }
    ~ArrayView() { PyBuffer_Release(&view_); }
    const T *data() const { return static_cast<const T *>(view_.buf); }
    size_t size() const { return size_t(view_.len) / sizeof(T); }

private:
    Py_buffer view_{};
};

} // namespace

nb::object integer_polygon_type(const Globals &globals) {
    return get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Polygon"));
}

void read_hull(nb::handle integer_polygon, nb::handle polygon, std::vector<double> &xy) {
    if (polygon.is_none()) get_attr(polygon, S3D_NAME("to_dtype")); // AttributeError
    if (is_exactly(polygon, integer_polygon)) {
        size_t mark = xy.size();
        if (read_hull_bytes(polygon, xy)) return;
        xy.resize(mark);
        if (read_hull_text(polygon, xy)) return;
        xy.resize(mark);
    }
    read_hull_points(polygon, xy);
}

// The open micrometre outline: a new list of (x, y) float pairs.
nb::object outline_list(const double *xy, size_t points, double scale) {
    nb::object result = check(PyList_New(Py_ssize_t(points)));
    for (size_t i = 0; i < points; ++i) {
        nb::object x = check(PyFloat_FromDouble(xy[2 * i] / scale));
        nb::object y = check(PyFloat_FromDouble(xy[2 * i + 1] / scale));
        PyObject *pair = check(PyTuple_New(2)).release().ptr();
        PyTuple_SET_ITEM(pair, 0, x.release().ptr());
        PyTuple_SET_ITEM(pair, 1, y.release().ptr());
        PyList_SET_ITEM(result.ptr(), Py_ssize_t(i), pair);
    }
    return result;
}

// Topology-preserving simplification of one outline. Whatever shapely cannot
// build or simplify into a non-empty polygon keeps its raw outline.
nb::object simplify_outline(const Globals &globals, nb::handle raw, nb::handle tolerance) {
    nb::object simplified;
    try {
        nb::object sg = globals[S3D_NAME("sg")];
        nb::object polygon = call(get_attr(sg, S3D_NAME("Polygon")), raw);
        nb::object simple = call_keywords(get_attr(polygon, S3D_NAME("simplify")), {},
                                          S3D_KEYWORDS("tolerance", "preserve_topology"),
                                          {tolerance, nb::handle(Py_True)});
        if (!is_instance(simple, get_attr(sg, S3D_NAME("Polygon")))) return nb::borrow(raw);
        nb::object coords = get_attr(get_attr(simple, S3D_NAME("exterior")), S3D_NAME("coords"));
        simplified = check(PySequence_List(coords.ptr()));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        return nb::borrow(raw);
    }
    Py_ssize_t size = PyList_GET_SIZE(simplified.ptr());
    if (size == 0) return nb::borrow(raw);
    if (equals(list_item(simplified, 0), list_item(simplified, size - 1)))
        return check(PyList_GetSlice(simplified.ptr(), 0, size - 1));
    return simplified;
}

// ---- bulk simplification --------------------------------------------------------
// The walk fills a batch; a full batch goes to the worker threads. A worker
// first sorts out, without the interpreter lock, the outlines that stay as
// they are, then takes the lock for shapely's calls. Shapely drops the lock
// while GEOS works, and the walk hands it over now and then, so all run at
// once. Every store into the sink happens with the lock held, as do the
// walk's own.

namespace {

// Whether `function` is a Python function written in shapely's own package
// (`package`). Its code is taken without an attribute read, which would run
// the interpreter's audit hooks.
bool defined_in(nb::handle function, std::string_view package) {
    if (!PyFunction_Check(function.ptr())) return false;
    nb::handle code = PyFunction_GetCode(function.ptr());
    if (!PyCode_Check(code.ptr())) return false;
    nb::object file = get_attr(code, S3D_NAME("co_filename"));
    return PyUnicode_Check(file.ptr()) && utf8_view(file).starts_with(package);
}

} // namespace

bool bulk_simplification_possible(const Globals &globals) {
    nb::object shapely = check(PyImport_ImportModule("shapely"));
    nb::object init = optional_attr(shapely, S3D_NAME("__file__"));
    if (!PyUnicode_Check(init.ptr())) return false;
    std::string_view file = utf8_view(init);
    size_t slash = file.rfind('/');
    if (slash == std::string_view::npos) return false;
    std::string_view package = file.substr(0, slash + 1);
    nb::object polygon = check(PyImport_ImportModule("shapely.geometry")).attr("Polygon");
    if (!get_attr(globals[S3D_NAME("sg")], S3D_NAME("Polygon")).is(polygon)) return false;
    return defined_in(optional_attr(shapely, S3D_NAME("simplify")), package) &&
           defined_in(optional_attr(polygon, S3D_NAME("simplify")), package);
}

namespace {

// Threads beside the walk: one per core but the walk's own, whose thread
// joins them once the walk is done.
size_t worker_count() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 4) - 1;
}

// The geometry library's version that RingSimplifier is verified against,
// by major and minor number.
constexpr long verified_geos[2] = {3, 14};

// Whether shapely runs on the verified version; anything unexpected in its
// version tuple counts as not.
bool geos_version_verified() {
    nb::object shapely = check(PyImport_ImportModule("shapely"));
    nb::object version = optional_attr(shapely, S3D_NAME("geos_version"));
    if (!PyTuple_CheckExact(version.ptr()) || PyTuple_GET_SIZE(version.ptr()) < 2) return false;
    for (Py_ssize_t k = 0; k < 2; ++k) {
        PyObject *part = PyTuple_GET_ITEM(version.ptr(), k);
        if (!PyLong_CheckExact(part)) return false;
        int overflow = 0;
        if (PyLong_AsLongAndOverflow(part, &overflow) != verified_geos[k] || overflow) return false;
    }
    return true;
}

} // namespace

BulkSimplifier::BulkSimplifier(OutlineSink &sink, nb::object tolerance, Globals globals)
    : sink_(sink), tolerance_(std::move(tolerance)), globals_(globals) {
    if (PyFloat_CheckExact(tolerance_.ptr()) && geos_version_verified())
        native_tolerance_ = PyFloat_AS_DOUBLE(tolerance_.ptr());
}

BulkSimplifier::~BulkSimplifier() {
    if (workers_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear(); // a walk that failed: what is left is not wanted
    }
    wake_.notify_all();
    Py_BEGIN_ALLOW_THREADS
    for (std::thread &worker : workers_) worker.join();
    Py_END_ALLOW_THREADS
}

void BulkSimplifier::add(Py_ssize_t slot, const double *xy, size_t points) {
    filling_.pending.push_back({slot, filling_.coords.size() / 2, points});
    filling_.coords.insert(filling_.coords.end(), xy, xy + 2 * points);
    if (filling_.coords.size() >= 2 * batch_vertices) submit();
    // Let a worker take the lock when it waits for it.
    if (busy_.load(std::memory_order_relaxed) && ++adds_since_yield_ >= yield_interval) {
        adds_since_yield_ = 0;
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
    }
}

void BulkSimplifier::submit() {
    if (filling_.pending.empty()) return;
    if (workers_.empty()) {
        size_t count = worker_count();
        for (size_t k = 0; k < count; ++k) workers_.emplace_back([this] { run_worker(); });
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(filling_));
        busy_.store(true, std::memory_order_relaxed);
    }
    filling_ = Batch{};
    wake_.notify_one();
}

void BulkSimplifier::submit_rest() {
    // Too little for threads to be worth starting: flush() does it.
    if (workers_.empty() && filling_.coords.size() < 2 * small_batch_vertices) return;
    if (workers_.empty()) split_last_batch();
    submit();
}

void BulkSimplifier::flush() {
    submit_rest();
    if (workers_.empty()) {
        prepare(filling_);
        process(filling_);
        filling_ = Batch{};
    } else {
        while (std::optional<Batch> batch = take_queued()) run_batch(*batch);
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queue_.empty() && in_flight_ == 0; });
        Py_END_ALLOW_THREADS
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

// The last batch of a walk that filled no batch before: shared out among
// the workers, so that they all simplify.
void BulkSimplifier::split_last_batch() {
    Batch whole = std::move(filling_);
    size_t share = whole.coords.size() / 2 / (worker_count() + 1) + 1;
    filling_ = Batch{};
    for (const Pending &item : whole.pending) {
        filling_.pending.push_back({item.slot, filling_.coords.size() / 2, item.points});
        filling_.coords.insert(filling_.coords.end(), whole.coords.begin() + 2 * item.first,
                               whole.coords.begin() + 2 * (item.first + item.points));
        if (filling_.coords.size() >= 2 * share) submit();
    }
}

void BulkSimplifier::run_worker() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Batch batch = take_front();
        lock.unlock();
        prepare(batch);
        if (store_natives_early(batch)) {
            PyGILState_STATE state = PyGILState_Ensure();
            process(batch);
            PyGILState_Release(state);
        }
        lock.lock();
        finished_batch();
    }
}

BulkSimplifier::Batch BulkSimplifier::take_front() {
    Batch batch = std::move(queue_.front());
    queue_.pop_front();
    ++in_flight_;
    return batch;
}

std::optional<BulkSimplifier::Batch> BulkSimplifier::take_queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    return take_front();
}

void BulkSimplifier::run_batch(Batch &batch) {
    bool left;
    Py_BEGIN_ALLOW_THREADS
    prepare(batch);
    left = store_natives_early(batch);
    Py_END_ALLOW_THREADS
    if (left) process(batch);
    std::lock_guard<std::mutex> lock(mutex_);
    finished_batch();
}

void BulkSimplifier::finished_batch() {
    if (--in_flight_ == 0 && queue_.empty()) {
        busy_.store(false);
        idle_.notify_all();
    }
}

void BulkSimplifier::prepare(Batch &batch) const {
    for (double &value : batch.coords) value /= 1000.0;
    if (!native_tolerance_) return;
    try {
        RingSimplifier simplifier;
        std::vector<double> simplified;
        for (Pending &item : batch.pending) {
            RingResult result = simplifier.simplify(batch.coords.data() + 2 * item.first,
                                                    item.points, *native_tolerance_, simplified);
            if (result == RingResult::simplified) {
                item.simplified_first = batch.simplified.size() / 2;
                item.simplified_points = simplified.size() / 2;
                batch.simplified.insert(batch.simplified.end(), simplified.begin(), simplified.end());
            }
            item.native = result;
        }
    } catch (const std::bad_alloc &) {
        // Out of memory on a worker: what is not done yet goes to shapely,
        // which reports it with the interpreter lock held.
    }
}

// With the lock held: the batch simplified in one go, or one by one when
// that fails; an error that is no ordinary exception waits for flush().
void BulkSimplifier::process(Batch &batch) {
    try {
        try {
            simplify_batch(batch);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception)) throw;
            simplify_one_by_one(batch);
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        keep_first_error(std::make_exception_ptr(nb::python_error()));
    } catch (...) {
        // Python's errors, and the sink's own (a road that steps aside): the
        // walk's thread raises them from flush(); thrown on a worker, a C++
        // error would end the process.
        keep_first_error(std::current_exception());
    }
}

void BulkSimplifier::keep_first_error(std::exception_ptr error) {
    if (!error_) error_ = std::move(error);
}

bool BulkSimplifier::store_natives_early(Batch &batch) {
    if (!sink_.stores_without_interpreter()) return true;
    bool left = false;
    try {
        for (Pending &item : batch.pending) {
            item.stored = store_native(batch, item);
            left = left || !item.stored;
        }
    } catch (const std::bad_alloc &) {
        return true; // process() stores the rest and reports it with the lock held
    }
    return left;
}

std::unique_lock<std::mutex> BulkSimplifier::sink_lock() {
    std::unique_lock<std::mutex> lock(sink_mutex_, std::defer_lock);
    if (sink_.stores_without_interpreter()) lock.lock();
    return lock;
}

void BulkSimplifier::store(Py_ssize_t slot, const double *xy, size_t points) {
    std::unique_lock<std::mutex> lock = sink_lock();
    sink_.store(slot, xy, points);
}

void BulkSimplifier::store_raw(const Batch &batch, const Pending &item) {
    store(item.slot, batch.coords.data() + 2 * item.first, item.points);
}

bool BulkSimplifier::store_native(const Batch &batch, const Pending &item) {
    if (item.stored) return true;
    if (item.native == RingResult::kept) {
        store_raw(batch, item);
    } else if (item.native == RingResult::simplified) {
        store(item.slot, batch.simplified.data() + 2 * item.simplified_first, item.simplified_points);
    }
    return item.native != RingResult::unsure;
}

void BulkSimplifier::simplify_one_by_one(const Batch &batch) {
    for (const Pending &item : batch.pending) {
        if (store_native(batch, item)) continue;
        nb::object raw = outline_list(batch.coords.data() + 2 * item.first, item.points, 1.0);
        nb::object outline = simplify_outline(globals_, raw, tolerance_);
        std::unique_lock<std::mutex> lock = sink_lock();
        sink_.store_list(item.slot, outline);
    }
}

void BulkSimplifier::simplify_batch(const Batch &batch) {
    std::vector<double> ring_coords;
    std::vector<long long> ring_ids;
    std::vector<const Pending *> rings;
    for (const Pending &item : batch.pending) {
        if (store_native(batch, item)) continue;
        if (item.points < 3) {
            store_raw(batch, item);
            continue;
        }
        ring_coords.insert(ring_coords.end(), batch.coords.begin() + 2 * item.first,
                           batch.coords.begin() + 2 * (item.first + item.points));
        ring_ids.insert(ring_ids.end(), item.points, (long long)rings.size());
        rings.push_back(&item);
    }
    if (rings.empty()) return;
    nb::object shapely = check(PyImport_ImportModule("shapely"));
    nb::object coords = numpy_copy(ring_coords.data(), ring_coords.size() / 2, 2, NPY_FLOAT64);
    nb::object ids = numpy_copy(ring_ids.data(), ring_ids.size(), 1, NPY_INT64);
    nb::object polygons = shapely.attr("polygons")(
        shapely.attr("linearrings")(coords, nb::arg("indices") = ids));
    nb::object simple = shapely.attr("simplify")(polygons, tolerance_,
                                                 nb::arg("preserve_topology") = true);
    nb::object kinds = contiguous(shapely.attr("get_type_id")(simple), NPY_INT64);
    nb::object result = shapely.attr("get_coordinates")(
        shapely.attr("get_exterior_ring")(simple), nb::arg("return_index") = true);
    nb::object out_coords = contiguous(result[0], NPY_FLOAT64);
    nb::object out_ids = contiguous(result[1], NPY_INT64);

    ArrayView<long long> kind_view(kinds), id_view(out_ids);
    ArrayView<double> coord_view(out_coords);
    const long long *kind = kind_view.data();
    const double *xy = coord_view.data();
    const long long *owner = id_view.data();
    size_t rows = id_view.size(), row = 0;
    if (kind_view.size() != rings.size() || coord_view.size() != 2 * rows)
        raise(PyExc_ValueError, "simplification returned arrays of unexpected sizes");
    constexpr long long polygon_type = 3;
    for (size_t ring = 0; ring < rings.size(); ++ring) {
        size_t first = row;
        while (row < rows && owner[row] == (long long)ring) ++row;
        size_t count = row - first;
        if (kind[ring] != polygon_type || count == 0) {
            store_raw(batch, *rings[ring]);
            continue;
        }
        const double *ring_xy = xy + 2 * first;
        if (ring_xy[0] == ring_xy[2 * (count - 1)] && ring_xy[1] == ring_xy[2 * count - 1])
            --count;
        store(rings[ring]->slot, ring_xy, count);
    }
}


} // namespace show3d

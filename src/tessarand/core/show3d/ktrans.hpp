// KTrans: a layout transformation with dictionary, matrix and product forms.
#pragma once

#include "classes.hpp"
#include "core/placement.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace show3d {

// Creates the class KTrans in the module namespace.
nb::object create_ktrans_class(nb::handle globals);

// True for KLayout's complex transformation types (rotation by any angle,
// magnification).
bool is_complex_trans(const Globals &globals, nb::handle trans);

// KTrans.multiply(parent, trans): the placement product used by combination.
nb::object multiply_placements(const Globals &globals, nb::handle parent, nb::handle trans);

// A new list holding KTrans(t), made through `ktrans_class`, for each t of
// the list `transformations` (read from a snapshot of it).
nb::object ktrans_list(nb::handle ktrans_class, nb::handle transformations);

// True when `function` is KTrans.multiply as defined here (not replaced).
bool is_own_multiply(nb::handle function);

// KLayout's transformation types as the module's kdb names them now: read
// once for a run of placements, as the module's kdb is a lazy module whose
// every attribute read runs Python code.
struct TransTypes {
    nb::object simple;                    // Trans
    std::array<nb::object, 4> complex;    // ICplxTrans, DCplxTrans, CplxTrans, VCplxTrans
    static TransTypes of(const Globals &globals);
    bool operator==(const TransTypes &other) const {
        for (size_t i = 0; i < complex.size(); ++i)
            if (!complex[i].is(other.complex[i])) return false;
        return simple.is(other.simple);
    }
};

// The matrix of a KTrans read straight from its wrapped KLayout
// transformation, equal to what its trans_matrix() gives. Only for instances
// of `ktrans_class` whose class methods are ours and that carry no attribute
// besides `trans`; false when the caller must ask the object itself.
bool read_own_matrix(const TransTypes &types, nb::handle ktrans_class, nb::handle ktrans,
                     PlacementMatrix &matrix);

// A simple transformation made through `trans_type` (KLayout's Trans) from
// its parts.
nb::object simple_trans_object(nb::handle trans_type, const SimpleTrans &parts);

// Reads a KLayout simple transformation from its binary form, through its
// class's to_bytes; false where that method is not KLayout's own or the form
// is not the expected one.
bool read_binary_trans(nb::handle trans, SimpleTrans &parts);

// Reads a KLayout simple transformation in one call: KLayout's own from its
// binary form, any other from its text form; false if that is not the
// expected one.
bool read_simple_trans(nb::handle trans, SimpleTrans &parts);

// p * t for two KLayout transformations, as KLayout composes them; a simple
// side meeting a complex one is widened to a complex transformation first.
nb::object compose_objects(const Globals &globals, nb::handle p, nb::handle t);

// The same for transformations whose kinds are known, a simple one meeting
// a complex one widened through `widen`.
nb::object compose_kinds(nb::handle p, bool p_complex, nb::handle t, bool t_complex, nb::handle widen);

// The matrix of a KLayout complex transformation, read from its parts.
PlacementMatrix complex_trans_matrix(nb::handle trans);

// An open-addressing table from object identity to a small value: the
// placement reads look up millions of transformations, and node-based maps
// spend most of that time in the allocator.
template <typename Value> class IdentityMap {
public:
    const Value *find(PyObject *key) const {
        if (entries_.empty()) return nullptr;
        for (size_t slot = start(key);; slot = (slot + 1) & mask()) {
            if (entries_[slot].key == key) return &entries_[slot].value;
            if (!entries_[slot].key) return nullptr;
        }
    }

    void insert(PyObject *key, const Value &value) {
        if (2 * (count_ + 1) > entries_.size()) grow();
        size_t slot = start(key);
        while (entries_[slot].key && entries_[slot].key != key) slot = (slot + 1) & mask();
        if (!entries_[slot].key) ++count_;
        entries_[slot] = {key, value};
    }

private:
    struct Entry {
        PyObject *key = nullptr; // key and value side by side: one cache line per probe
        Value value{};
    };

    size_t mask() const { return entries_.size() - 1; }
    size_t start(PyObject *key) const {
        return size_t((uintptr_t(key) >> 4) * 0x9E3779B97F4A7C15ULL) & mask();
    }
    void grow() {
        std::vector<Entry> old = std::move(entries_);
        entries_.assign(old.empty() ? 64 : 2 * old.size(), Entry{});
        count_ = 0;
        for (const Entry &entry : old)
            if (entry.key) insert(entry.key, entry.value);
    }

    std::vector<Entry> entries_;
    size_t count_ = 0;
};

// KTrans.multiply for one reference combination. Products of simple
// transformations wrapped by plain KTrans objects are composed here, each
// transformation read once; everything else goes the general way, and a
// replaced KTrans.multiply is called as it is.
class PlacementProducts {
public:
    explicit PlacementProducts(const Globals &globals);
    nb::object multiply(nb::handle parent, nb::handle trans);
    bool own() const { return own_; }

private:
    bool parts_of(nb::handle ktrans, SimpleTrans &parts);
    nb::object make(const SimpleTrans &parts);
    bool multiply_simple(nb::handle parent, nb::handle trans, nb::object &result);

    const Globals &globals_;
    nb::object ktrans_class_, multiply_, trans_type_;
    bool own_ = false;
    IdentityMap<SimpleTrans> parts_; // by wrapped transformation, kept alive below
    std::vector<nb::object> keep_alive_;
};

// True when `ktrans_class` still has our to_dict and trans_matrix.
bool has_own_matrix_methods(nb::handle ktrans_class);

} // namespace show3d

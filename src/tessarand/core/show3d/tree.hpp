// The combined tree, on the walk's tables: per level one node per placed
// cell, in order of first appearance, carrying all placements of its group
// composed with those of its parent, as numbers; and the viewer's matrices
// of those placements. The direct road writes its scene from it, and
// ParseGDS's export its combined records.
#pragma once

#include "buffers.hpp"
#include "walk.hpp"
#include "core/placement.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace show3d::direct {

// A stretch of a node's placements: placements as they are, or every member
// of an instance after every placement of the parent (p * t for each t, p),
// composed only when the matrices are written.
struct PlacementRun {
    bool composed; // else the members as they are
    const Placement *parents;
    size_t parent_count;
    const Placement *members;
    size_t member_count;
    size_t first; // the number of its first placement in the node

    size_t size() const { return composed ? parent_count * member_count : member_count; }
};

using ComplexMatrices = std::unordered_map<size_t, PlacementMatrix>; // by number in the pool

struct Node {
    size_t cell;
    bool is_ref;
    std::vector<size_t> members; // of a placed node: its group's instances in its parent cell, in order
    Placements placements; // relative to the top cell, unless composed late
    std::vector<Node> children;
    std::vector<uint64_t> layers; // bit per layer slot with polygons at or below
    FloatArray matrices; // six per placement, for a placed node with polygons of its own
    // A placed node's placements as runs: one over `placements`, or, for a
    // node that places nothing, runs composed when its matrices are written.
    std::vector<PlacementRun> runs;

    bool reaches(size_t slot) const { return (layers[slot / 64] >> (slot % 64)) & 1; }
    size_t placement_count() const { return runs.empty() ? 0 : runs.back().first + runs.back().size(); }
};

// How a group's placements are composed. The scene's: where they are only
// needed for matrices, as late as those are written, and in 64 bits, as far
// as placements carry (OverflowError beyond). The records': always now, and
// as KLayout composes them, within its 32-bit coordinates (beyond, only its
// own arithmetic gives what it gives: StepAside).
enum class Composition { scene, records };

// Makes the combined trees of the walk's top cells. Simple placements that
// meet a complex one are made KLayout objects through `trans_type`. The
// caller has checked the walk's flattened count (Walk::check_flattened).
class TreeMaker {
public:
    TreeMaker(const Globals &globals, Walk &walk, nb::handle trans_type, ComplexMatrices &complex,
              size_t layer_count, Composition composition = Composition::scene)
        : globals_(globals), walk_(walk), trans_type_(nb::borrow(trans_type)), complex_matrices_(complex),
          words_((layer_count + 63) / 64), composition_(composition),
          limit_(composition == Composition::scene ? placement_limit : coordinate_limit) {}

    Node top(size_t cell) { return make(cell, false, {}, {}); }

    // Sets the viewer's matrices (six float32 entries per placement) of every
    // placed node with polygons of its own on a shown layer (`shown` by slot):
    // made when the message text is written while `keep` holds what they are
    // made from, else now.
    void make_matrices(std::vector<Node> &tops, const std::vector<bool> &shown,
                       std::shared_ptr<const void> keep);

private:
    Node make(size_t cell, bool is_ref, Placements placements, std::vector<PlacementRun> runs);
    void multiply(const Placements *parents, const Placements &children, Placements &out);
    Placement product(const Placement &p, const Placement &t);
    nb::handle widening_type();
    bool shows_polygons(const Node &node, const std::vector<bool> &shown) const;
    void learn_complex_matrices(const Placements &placements);

    const Globals &globals_;
    Walk &walk_;
    nb::object trans_type_;
    ComplexMatrices &complex_matrices_;
    size_t words_;
    Composition composition_;
    long long limit_; // of a composed displacement
    nb::object widen_; // once a complex product is met
    int depth_ = 0;
};

} // namespace show3d::direct

#include "tree.hpp"

#include "ktrans.hpp"
#include "core/parallel.hpp"

#include <algorithm>

namespace show3d::direct {
namespace {

PlacementMatrix matrix_of(const Placement &placement, const ComplexMatrices &complex) {
    if (!placement.is_complex()) return simple_matrix(placement.trans());
    return complex.find(placement.complex_number())->second;
}

float *put(const PlacementMatrix &matrix, float *out) {
    for (double entry : matrix.entries) *out++ = float(entry);
    return out;
}

// The six float32 entries of each placement [first, first + count) of a node
// made of `runs`. No Python: the complex placements' matrices are known.
void write_matrices(const std::vector<PlacementRun> &runs, const ComplexMatrices &complex,
                    size_t first, size_t count, float *out) noexcept {
    if (count == 0) return;
    auto run = std::upper_bound(runs.begin(), runs.end(), first,
                                [](size_t k, const PlacementRun &r) { return k < r.first; }) - 1;
    for (size_t k = first, end = first + count; k < end; ++run) {
        size_t stop = std::min(end, run->first + run->size());
        if (stop <= k) continue;
        if (!run->composed) {
            for (; k < stop; ++k) out = put(matrix_of(run->members[k - run->first], complex), out);
            continue;
        }
        size_t p = (k - run->first) % run->parent_count, t = (k - run->first) / run->parent_count;
        for (; k < stop; ++k) {
            out = put(simple_matrix(compose(run->parents[p].trans(), run->members[t].trans())), out);
            if (++p == run->parent_count) p = 0, ++t;
        }
    }
}

// The matrices of one node, made when its text is written.
class NodeMatrices : public FloatSource {
public:
    NodeMatrices(const std::vector<PlacementRun> &runs, const ComplexMatrices &complex,
                 std::shared_ptr<const void> keep)
        : runs_(runs), complex_(complex), keep_(std::move(keep)) {}
    void fill(size_t first, size_t count, float *out) const noexcept override {
        write_matrices(runs_, complex_, first / group, count / group, out);
    }

private:
    // In what `keep_` holds: the node's runs, the complex placements'
    // matrices, and the placements the runs point into.
    const std::vector<PlacementRun> &runs_;
    const ComplexMatrices &complex_;
    std::shared_ptr<const void> keep_;
};

} // namespace

// The references of a cell grouped by placed cell, in order of first
// appearance; each group's placements are those of its members in order,
// composed with the node's own. Below a placed node, a group of a cell that
// places nothing is composed late when every product is simple and within
// range: its placements are needed only for its matrices. (A top cell's
// groups hold their members' placements as they are: runs would only take
// more room.)
Node TreeMaker::make(size_t cell, bool is_ref, Placements placements, std::vector<PlacementRun> runs) {
    RecursionGuard guard(depth_, " while combining references");
    Node node{cell, is_ref, {}, std::move(placements), {}, std::vector<uint64_t>(words_), {}, std::move(runs)};
    // Composed now: one run over them (their buffer stays where it is when
    // the node moves).
    if (is_ref && node.runs.empty())
        node.runs.push_back({false, nullptr, 0, node.placements.data(), node.placements.size(), 0});
    const CellData &data = walk_.cells()[cell];
    for (const auto &[slot, numbers] : data.polygons) node.layers[slot / 64] |= uint64_t(1) << (slot % 64);
    struct Group {
        size_t child;
        std::vector<size_t> members;
        bool late = true;
        Placements placements;
        std::vector<PlacementRun> runs;
        size_t count = 0;
    };
    std::vector<Group> groups;
    std::vector<size_t> group_of_instance;
    std::unordered_map<size_t, size_t> group_of;
    Extent parents = is_ref && !data.instances.empty() ? Extent::of(node.placements) : Extent{};
    for (const CellData::Instance &instance : data.instances) {
        auto [found, fresh] = group_of.emplace(instance.child, groups.size());
        if (fresh) groups.push_back({instance.child});
        Group &group = groups[found->second];
        group.late = group.late && composition_ == Composition::scene && is_ref &&
                     walk_.cells()[instance.child].instances.empty() &&
                     Extent::products_within(parents, instance.extent, limit_);
        group_of_instance.push_back(found->second);
    }
    for (size_t i = 0; i < data.instances.size(); ++i) {
        const CellData::Instance &instance = data.instances[i];
        Group &group = groups[group_of_instance[i]];
        group.members.push_back(i);
        if (!group.late) {
            multiply(is_ref ? &node.placements : nullptr, instance.placements, group.placements);
            continue;
        }
        PlacementRun run{true, node.placements.data(), node.placements.size(),
                         instance.placements.data(), instance.placements.size(), group.count};
        group.count += run.size();
        group.runs.push_back(run);
    }
    for (Group &group : groups) {
        node.children.push_back(make(group.child, true, std::move(group.placements), std::move(group.runs)));
        Node &made = node.children.back();
        made.members = std::move(group.members);
        for (size_t w = 0; w < words_; ++w) node.layers[w] |= made.layers[w];
    }
    return node;
}

// Every child placement after every parent placement, child by child,
// appended to `out`.
void TreeMaker::multiply(const Placements *parents, const Placements &children, Placements &out) {
    if (!parents) {
        out.insert(out.end(), children.begin(), children.end());
        return;
    }
    // Room for them, growing as push_back would: a group gathers many instances.
    size_t needed = out.size() + parents->size() * children.size();
    if (out.capacity() < needed) out.reserve(std::max(needed, 2 * out.capacity()));
    for (const Placement &t : children)
        for (const Placement &p : *parents) out.push_back(product(p, t));
}

Placement TreeMaker::product(const Placement &p, const Placement &t) {
    bool p_complex = p.is_complex(), t_complex = t.is_complex();
    if (!p_complex && !t_complex) {
        SimpleTrans result = compose(p.trans(), t.trans());
        if (within_range(result, limit_)) return Placement::simple(result);
        if (composition_ == Composition::records) throw StepAside();
        refuse_reach(result);
    }
    // KLayout composes these, within its coordinates.
    for (const Placement *side : {&p, &t})
        if (!side->is_complex() && !within_coordinate_range(side->trans())) throw StepAside();
    nb::handle widen = widening_type();
    nb::object left = walk_.placement_object(p, trans_type_), right = walk_.placement_object(t, trans_type_);
    nb::object composed = compose_kinds(left, p_complex, right, t_complex, widen);
    auto &pool = walk_.complex_pool();
    pool.push_back(composed);
    return Placement::complex_number(pool.size() - 1);
}

// kdb's ICplxTrans, which composes a simple placement with a complex one
// as the general combination does.
nb::handle TreeMaker::widening_type() {
    if (!widen_.is_valid()) widen_ = TransTypes::of(globals_).complex[0];
    return widen_;
}


// Reads the matrices of the node's complex placements (from KLayout's
// objects) that are not known yet.
void TreeMaker::learn_complex_matrices(const Placements &placements) {
    for (const Placement &placement : placements) {
        if (!placement.is_complex() || complex_matrices_.count(placement.complex_number())) continue;
        complex_matrices_.emplace(placement.complex_number(),
                                  complex_trans_matrix(walk_.complex_pool()[placement.complex_number()]));
    }
}

// Whether the node's own polygons lie on a shown layer.
bool TreeMaker::shows_polygons(const Node &node, const std::vector<bool> &shown) const {
    for (const auto &[slot, numbers] : walk_.cells()[node.cell].polygons)
        if (shown[slot]) return true;
    return false;
}

// Made late, each node's matrices are a source of their own. Made now, they
// fill one block for all nodes, on every core in spans of placements.
void TreeMaker::make_matrices(std::vector<Node> &tops, const std::vector<bool> &shown,
                              std::shared_ptr<const void> keep) {
    struct Placed {
        Node *node;
        size_t first; // its first placement's number in the block
    };
    std::vector<Placed> placed;
    std::vector<Node *> pending;
    for (Node &top : tops) pending.push_back(&top);
    size_t total = 0;
    while (!pending.empty()) {
        Node *node = pending.back();
        pending.pop_back();
        for (Node &child : node->children) pending.push_back(&child);
        if (!node->is_ref || !shows_polygons(*node, shown)) continue;
        learn_complex_matrices(node->placements);
        placed.push_back({node, total});
        total += node->placement_count();
    }
    if (keep) {
        for (Placed &item : placed) {
            size_t count = item.node->placement_count();
            auto source = std::make_shared<NodeMatrices>(item.node->runs, complex_matrices_, keep);
            item.node->matrices = FloatArray::made_by(std::move(source), 6 * count);
        }
        return;
    }
    constexpr size_t span = 1 << 15;
    struct Span {
        const Placed *item;
        size_t from, count; // placements of its node
    };
    std::vector<Span> spans;
    for (const Placed &item : placed)
        for (size_t at = 0, count = item.node->placement_count(); at < count; at += span)
            spans.push_back({&item, at, std::min(span, count - at)});
    FloatArray block = FloatArray::filled(6 * total, [&](float *out) {
        run_batches(
            spans.size(), span, [&](size_t i) { return spans[i].count; },
            [&](size_t i) noexcept {
                const Span &piece = spans[i];
                write_matrices(piece.item->node->runs, complex_matrices_, piece.from, piece.count,
                               out + 6 * (piece.item->first + piece.from));
            });
    });
    for (const Placed &item : placed)
        item.node->matrices = {block.owner, block.data + 6 * item.first, 6 * item.node->placement_count()};
}

} // namespace show3d::direct

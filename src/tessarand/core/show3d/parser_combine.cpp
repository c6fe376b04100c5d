// The combination of references: references grouped by cell index, each
// group's placements composed with the parent placements through KTrans (its
// multiply as the module has it), counted against the placement limit.
#include "parser_combine.hpp"

#include "ktrans.hpp"
#include "limits.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace show3d {
namespace {

// Merges references per cell index, in order of first appearance: the first of
// each group is kept and given the placements of the whole group composed with
// the parent placements; nested references follow suit.
//
// The per-layer trees of one top cell share their placement lists with the
// cell tree, so a group met again in another layer (same parent placements,
// same member lists) gets a new list of the KTrans already computed instead of
// composing them again.
class Combiner {
public:
    Combiner(const Globals &globals, PlacementCount &made) : products_(globals), made_(made) {}

    void combine_cell(nb::handle cell) {
        nb::object references = get_attr(cell, S3D_NAME("references"));
        if (length(references) == 0) return;
        nb::object combined = combine(references, nb::none(), 0);
        set_attr(cell, S3D_NAME("references"), check_result(combined, &PyList_Type));
    }

private:
    struct Known {
        nb::object placements;
        size_t key;
        std::vector<nb::object> members; // keeps the identities in the key valid
    };

    nb::object combine(nb::handle references, nb::handle parent_trans, size_t parent_key);
    nb::object group_placements(nb::handle group, nb::handle parent_trans, size_t parent_key,
                                size_t &key);
    nb::object compose(nb::handle parent_trans, const std::vector<nb::object> &members);
    void count_products(nb::handle parent_trans, nb::handle trans);

    PlacementProducts products_;
    PlacementCount &made_; // over the whole combination
    std::map<std::vector<uintptr_t>, Known> known_;
    size_t next_key_ = 1;
    int depth_ = 0;
};

// The placements of a group under `parent_trans`, with the key that names
// them to the group's nested references. Reused only where the products are
// ours: a replaced KTrans.multiply is called as often as written.
nb::object Combiner::group_placements(nb::handle group, nb::handle parent_trans,
                                      size_t parent_key, size_t &key) {
    std::vector<uintptr_t> identity{parent_key};
    std::vector<nb::object> members;
    for (nb::handle member : nb::borrow<nb::list>(group)) {
        members.push_back(get_attr(member, S3D_NAME("trans")));
        identity.push_back(reinterpret_cast<uintptr_t>(members.back().ptr()));
    }
    bool reusable = products_.own();
    if (reusable) {
        auto found = known_.find(identity);
        if (found != known_.end()) {
            key = found->second.key;
            return check(PyList_GetSlice(found->second.placements.ptr(), 0, PY_SSIZE_T_MAX));
        }
    }
    nb::object placements = compose(parent_trans, members);
    key = next_key_++;
    if (reusable)
        known_.emplace(std::move(identity),
                       Known{check(PyList_GetSlice(placements.ptr(), 0, PY_SSIZE_T_MAX)), key,
                             std::move(members)});
    return placements;
}

// The products of the parent placements with each member's, in member
// order, in one new list.
nb::object Combiner::compose(nb::handle parent_trans, const std::vector<nb::object> &members) {
    nb::list placements;
    for (const nb::object &trans : members) {
        count_products(parent_trans, trans);
        nb::object product = products_.multiply(parent_trans, trans);
        check_assertion(!product.is_none());
        nb::object extended = check(PyNumber_InPlaceAdd(placements.ptr(), product.ptr()));
    }
    return placements;
}

// The placements KTrans.multiply is about to make, counted against the
// limit before it makes them: a list's items, anything else one.
void Combiner::count_products(nb::handle parent_trans, nb::handle trans) {
    auto items = [](nb::handle side) {
        return PyList_CheckExact(side.ptr()) ? uint64_t(PyList_GET_SIZE(side.ptr())) : uint64_t(1);
    };
    made_.add(saturating_multiply(items(parent_trans), items(trans)));
}

// References grouped by cell index, in order of first appearance, with the
// group number of each index.
struct Groups {
    std::vector<nb::list> lists;
    nb::dict by_index;
};

// The list is read from a snapshot: a reference's cell index may come from
// code of a record subclass that changes it.
Groups groups_of(nb::handle references) {
    Groups groups;
    for (nb::handle reference : snapshot(references)) {
        nb::object index = get_attr(reference, S3D_NAME("cell_index"));
        nb::object known = dict_lookup(groups.by_index, index);
        if (known.is_valid()) {
            groups.lists[size_t(PyLong_AsSsize_t(known.ptr()))].append(reference);
            continue;
        }
        groups.by_index[index] = nb::int_(groups.lists.size());
        groups.lists.emplace_back().append(reference);
    }
    return groups;
}

// The first reference of each group, given the group's placements; its own
// references are combined under those before it is.
nb::object Combiner::combine(nb::handle references, nb::handle parent_trans, size_t parent_key) {
    require_exact(references, &PyList_Type, "references", false);
    RecursionGuard guard(depth_, " while combining references");
    Groups groups = groups_of(references);
    nb::list result;
    for (const nb::list &group : groups.lists) {
        nb::object kept = list_item(group, 0);
        size_t key = 0;
        nb::object placements = group_placements(group, parent_trans, parent_key, key);
        nb::object nested = get_attr(kept, S3D_NAME("references"));
        if (length(nested) > 0)
            set_attr(kept, S3D_NAME("references"), combine(nested, placements, key));
        set_attr(kept, S3D_NAME("trans_count"), nb::int_(PyList_GET_SIZE(placements.ptr())));
        set_attr(kept, S3D_NAME("trans"), placements);
        result.append(kept);
    }
    return result;
}

nb::object parser_combine_references(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0], output = call.args[1];
    PlacementCount made(limits_from_environment().placements);
    if (equals(output, output_member(call.globals, S3D_NAME("CELL")))) {
        nb::object parsed = get_attr(self, S3D_NAME("parsed_cells"));
        check_assertion(!parsed.is_none());
        Combiner combiner(call.globals, made);
        for (nb::handle cell : get_attr(parsed, S3D_NAME("cells"))) combiner.combine_cell(cell);
        set_attr(self, S3D_NAME("cell_combined"), nb::bool_(true));
        return parsed;
    }
    if (equals(output, output_member(call.globals, S3D_NAME("LAYER")))) {
        nb::object parsed = get_attr(self, S3D_NAME("parsed_layers"));
        check_assertion(!parsed.is_none());
        for (nb::handle per_layer : get_attr(parsed, S3D_NAME("layers"))) {
            Combiner combiner(call.globals, made); // the trees of one top cell share lists
            for (nb::handle tree : call_method(per_layer, S3D_NAME("values")))
                combiner.combine_cell(tree);
        }
        set_attr(self, S3D_NAME("layer_combined"), nb::bool_(true));
        return parsed;
    }
    return nb::none();
}

const FunctionDef combine_references_definition{
    "combine_references", "ParseGDS.combine_references",
    "Merge references to the same cell and compose placements down the trees of\n"
    "the given output mode.",
    {{"self"}, {"output"}},
    {{"output", "Output"}, {"return", "ParsedCells | ParsedLayers"}},
    parser_combine_references};

} // namespace

const FunctionDef &combine_references_def() { return combine_references_definition; }

} // namespace show3d

// Records are read field by field through the module's is_dataclass and
// fields; where those are the standard ones, the checks are made directly on
// the type and each record class's field names are asked for once.
#include "viewer_dict.hpp"

#include "viewer_common.hpp"

#include <unordered_map>
#include <vector>

namespace show3d {
namespace {

bool is_empty_container(nb::handle value) {
    PyObject *raw = value.ptr();
    if (!PyList_Check(raw) && !PyTuple_Check(raw) && !PyDict_Check(raw)) return false;
    return length(value) == 0;
}

// asdict: records field by field (empty containers dropped), objects with
// to_dict through it, lists and tuples to lists, dicts value by value. Nested
// values go through the instance's asdict, directly when it is ours.
class DictConverter {
public:
    DictConverter(nb::handle self, const Globals &globals, bool own)
        : self_(self), globals_(globals), own_(own) {
        is_dataclass_ = globals[S3D_NAME("is_dataclass")];
        fields_ = globals[S3D_NAME("fields")];
        nb::object dataclasses = check(PyImport_ImportModule("dataclasses"));
        standard_ = is_dataclass_.is(get_attr(dataclasses, S3D_NAME("is_dataclass"))) &&
                    fields_.is(get_attr(dataclasses, S3D_NAME("fields")));
    }

    nb::object convert(nb::handle value) {
        RecursionGuard guard(depth_, " while converting to a dictionary");
        PyObject *raw = value.ptr();
        // Exact built-in values are neither records nor have to_dict.
        bool builtin = PyUnicode_CheckExact(raw) || PyLong_CheckExact(raw) ||
                       PyFloat_CheckExact(raw) || PyBool_Check(raw) || raw == Py_None ||
                       PyList_CheckExact(raw) || PyTuple_CheckExact(raw) || PyDict_CheckExact(raw);
        if (!builtin || !standard_) {
            if (is_record(value)) return convert_record(value);
            if (has_attr(value, S3D_NAME("to_dict"))) return call_method(value, S3D_NAME("to_dict"));
        }
        nb::object rebuilt = rebuild_container(value, [this](nb::handle item) { return nested(item); });
        return rebuilt.is_valid() ? rebuilt : nb::borrow(value);
    }

private:
    nb::object nested(nb::handle value) {
        return own_ ? convert(value) : call_method(self_, S3D_NAME("asdict"), value);
    }

    bool is_record(nb::handle value) {
        if (!standard_) return truth(call(is_dataclass_, value));
        PyObject *type = PyType_Check(value.ptr()) ? value.ptr()
                                                   : reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()));
        return has_attr(type, S3D_NAME("__dataclass_fields__"));
    }

    // Field names in order, asked of fields() once per record class.
    const std::vector<nb::object> &field_names(nb::handle record) {
        PyTypeObject *type = Py_TYPE(record.ptr());
        bool cacheable = standard_ && !PyType_Check(record.ptr());
        if (cacheable) {
            auto found = names_.find(type);
            if (found != names_.end()) return found->second.names;
        }
        std::vector<nb::object> names;
        for (nb::handle field : call(fields_, record)) names.push_back(get_attr(field, S3D_NAME("name")));
        if (!cacheable) {
            scratch_ = std::move(names);
            return scratch_;
        }
        nb::object pinned = nb::borrow(reinterpret_cast<PyObject *>(type)); // the key stays valid
        return names_.emplace(type, FieldNames{pinned, std::move(names)}).first->second.names;
    }

    nb::object convert_record(nb::handle record) {
        nb::dict result;
        std::vector<nb::object> names = field_names(record);
        for (const nb::object &name : names) {
            nb::object value = check(PyObject_GetAttr(record.ptr(), name.ptr()));
            if (is_empty_container(value)) continue;
            result[name] = nested(value);
        }
        return result;
    }

    nb::handle self_;
    const Globals &globals_;
    bool own_, standard_ = false;
    nb::object is_dataclass_, fields_;
    struct FieldNames {
        nb::object type;
        std::vector<nb::object> names;
    };
    std::unordered_map<PyTypeObject *, FieldNames> names_;
    std::vector<nb::object> scratch_;
    int depth_ = 0;
};

nb::object parser_asdict(const Call &call) {
    GcPause pause;
    bool own = uses_own_method(call.args[0], S3D_NAME("asdict"), asdict_def());
    DictConverter converter(call.args[0], call.globals, own);
    return converter.convert(call.args[1]);
}

nb::object parser_create_json(const Call &call) {
    nb::object converted = call_method(call.args[0], S3D_NAME("asdict"), call.args[1]);
    nb::object orjson = call.globals[S3D_NAME("orjson")];
    nb::object option = get_attr(orjson, S3D_NAME("OPT_INDENT_2"));
    option = check(PyNumber_Or(option.ptr(), get_attr(orjson, S3D_NAME("OPT_SERIALIZE_NUMPY")).ptr()));
    option = check(PyNumber_Or(option.ptr(), get_attr(orjson, S3D_NAME("OPT_NON_STR_KEYS")).ptr()));
    nb::object none = get_attr(call.globals[S3D_NAME("shared")], S3D_NAME("none"));
    nb::object encoded = call_keywords(get_attr(orjson, S3D_NAME("dumps")), {converted},
                                       S3D_KEYWORDS("option", "default"), {option, none});
    return call_method(encoded, S3D_NAME("decode"));
}

const FunctionDef asdict_definition{
    "asdict", "ParseGDS.asdict",
    "Convert records, objects with to_dict, lists, tuples and dicts into plain\n"
    "dictionaries and lists; empty containers of records are left out.",
    {{"self"}, {"obj"}}, {{"obj", "Any"}, {"return", "Any"}}, parser_asdict};

const FunctionDef create_json_definition{
    "create_json", "ParseGDS.create_json", "Encode viewer data as indented JSON text.",
    {{"self"}, {"data"}}, {{"data", "ViewerData"}, {"return", "str"}}, parser_create_json};

} // namespace

const FunctionDef &asdict_def() { return asdict_definition; }
const FunctionDef &create_json_def() { return create_json_definition; }

} // namespace show3d

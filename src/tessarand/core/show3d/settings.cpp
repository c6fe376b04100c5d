#include "settings.hpp"

namespace show3d {

// The fixed viewer settings, in the order the viewer reads them.
nb::object viewer_config() {
    nb::dict config;
    nb::handle yes = Py_True, no = Py_False;
    config["_splash"] = no;
    config["ambient_intensity"] = nb::int_(1);
    config["angular_tolerance"] = nb::float_(0.2);
    config["axes"] = no;
    config["axes0"] = yes;
    config["black_edges"] = no;
    config["center_grid"] = no;
    config["collapse"] = nb::int_(3);
    config["control"] = nb::str("trackball");
    config["default_color"] = nb::str("#e8b024");
    config["default_edgecolor"] = nb::str("#707070");
    config["default_facecolor"] = nb::str("Violet");
    config["default_opacity"] = nb::float_(0.5);
    config["default_thickedgecolor"] = nb::str("MediumOrchid");
    config["default_vertexcolor"] = nb::str("MediumOrchid");
    config["direct_intensity"] = nb::float_(1.1);
    config["explode"] = no;
    config["glass"] = yes;
    nb::list grid;
    for (int i = 0; i < 3; ++i) grid.append(no);
    config["grid"] = grid;
    config["helper_scale"] = nb::int_(10);
    config["metalness"] = nb::float_(0.3);
    nb::dict keys;
    keys["shift"] = nb::str("shiftKey");
    keys["ctrl"] = nb::str("ctrlKey");
    keys["meta"] = nb::str("metaKey");
    keys["alt"] = nb::str("altKey");
    config["modifier_keys"] = keys;
    config["new_tree_behavior"] = yes;
    config["ortho"] = yes;
    config["pan_speed"] = nb::int_(1);
    config["render_edges"] = yes;
    config["render_joints"] = no;
    config["render_mates"] = no;
    config["render_normals"] = no;
    config["reset_camera"] = nb::str("reset");
    config["rotate_speed"] = nb::int_(1);
    config["roughness"] = nb::float_(0.65);
    config["show_parent"] = no;
    config["show_sketch_local"] = yes;
    config["ticks"] = nb::int_(10);
    config["timeit"] = no;
    config["tools"] = yes;
    config["transparent"] = no;
    config["up"] = nb::str("Z");
    config["zoom_speed"] = nb::int_(1);
    config["normal_len"] = nb::int_(0);
    return config;
}

} // namespace show3d

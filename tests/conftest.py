"""Shared fixtures and helpers: a small layer table, a layout builder, exact snapshots,
the demo kits and the sample layouts."""

from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest

import tessarand.core.show3d as show3d

LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"
SAMPLE_NAMES = ["ihp_sg13g2_stdcell.gds", "ihp_sram_1p_1024x16.gds", "siepic_gsip_4_ring_filter.gds",
                "siepic_minichip_1mm.gds", "siepic_ring_resonator.gds", "siepic_rotation_flip_test.gds"]


def snap(x):
    """Exact, type-strict picture of records, arrays and nested values (-0.0 differs from 0.0)."""
    if hasattr(x, "__dataclass_fields__"):
        return type(x).__name__, [(k, snap(getattr(x, k))) for k in x.__dataclass_fields__]
    if isinstance(x, np.ndarray):
        return "array", str(x.dtype), x.shape, x.tobytes()
    if isinstance(x, (list, tuple, dict)):
        items = x.items() if isinstance(x, dict) else enumerate(x)
        return type(x).__name__, [(k, snap(v)) for k, v in items]
    return type(x).__name__, (x.hex() if isinstance(x, float) else x)


def walk(node):
    """Every node of a viewer tree (parts) or of a cell tree (references), depth first."""
    yield node
    for child in getattr(node, "parts", None) or getattr(node, "references", None) or []:
        yield from walk(child)


def make_layout(cells, places=(), layers=()):
    """cells: {name: {(layer, datatype): [box tuple or shape, ...]}}; places: (parent, child, trans, *array);
    layers: (layer, datatype) pairs created first, in this order (layer index 0, 1, ...)."""
    ly, made = kdb.Layout(), {}
    for key in layers:
        ly.layer(*key)
    for name, shapes in cells.items():
        made[name] = ly.create_cell(name)
        for key, items in shapes.items():
            for item in items:
                made[name].shapes(ly.layer(*key)).insert(kdb.Box(*item) if isinstance(item, tuple) else item)
    for parent, child, *placement in places:
        made[parent].insert(kdb.CellInstArray(made[child].cell_index(), *placement))
    return ly


@pytest.fixture
def table():
    """Layer property table for hand-built layouts: (1, 0) and (2, 0) are shown."""
    return {(1, 0): show3d.PdkLayer("WG", 0.22, 0.5, "#ff0000"), (2, 0): show3d.PdkLayer("Metal", 0.5, 1.5, "#0000ff")}


@pytest.fixture
def kit():
    """Activates a demo kit and returns its layer property table; "ebeam" is active again afterwards."""
    from orvalis import pdk

    def activate(name):
        pdk.activate_pdk(name)
        return show3d.get_layer_properties(pdk.get_layer_stack(), pdk.get_layer_views())

    yield activate
    pdk.activate_pdk("ebeam")


def sample_path(name):
    if not (LAYOUTS / name).is_file():
        pytest.skip(f"sample layout {name} not available")
    return LAYOUTS / name


def kit_of(name):
    return "sg13g2" if name.startswith("ihp_") else "ebeam"


def load_sample(name, kit):
    layout, layers = kdb.Layout(), kit(kit_of(name))
    layout.read(str(sample_path(name)))
    return layout, layers


@pytest.fixture(params=SAMPLE_NAMES)
def sample(request, kit):
    """(layout, layer table) of every sample layout, read with the kit that matches it."""
    return load_sample(request.param, kit)


@pytest.fixture
def sram(kit):
    """The SRAM macro (deep hierarchy, arrays, rotations) with the CMOS kit."""
    return load_sample("ihp_sram_1p_1024x16.gds", kit)

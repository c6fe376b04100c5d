"""Shared fixtures: a small hand-made layer table, the demo kits and the sample layouts."""

from pathlib import Path

import klayout.db as kdb
import pytest

import tessarand.core.show3d as show3d

LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"
SAMPLE_NAMES = [
    "ihp_sg13g2_stdcell.gds",
    "ihp_sram_1p_1024x16.gds",
    "siepic_gsip_4_ring_filter.gds",
    "siepic_minichip_1mm.gds",
    "siepic_ring_resonator.gds",
    "siepic_rotation_flip_test.gds",
]


@pytest.fixture
def table():
    """Layer property table for hand-built layouts: (1, 0) and (2, 0) are shown."""
    return {
        (1, 0): show3d.PdkLayer("WG", 0.22, 0.5, "#ff0000"),
        (2, 0): show3d.PdkLayer("Metal", 0.5, 1.5, "#0000ff"),
    }


@pytest.fixture
def kit():
    """Activates a demo kit and returns its layer property table; "ebeam" is active again afterwards."""
    from orvalis import pdk

    def activate(name):
        pdk.activate_pdk(name)
        return show3d.get_layer_properties(pdk.get_layer_stack(), pdk.get_layer_views())

    yield activate
    pdk.activate_pdk("ebeam")


def load_sample(name, kit):
    path = LAYOUTS / name
    if not path.is_file():
        pytest.skip(f"sample layout {name} not available")
    layers = kit("sg13g2" if name.startswith("ihp_") else "ebeam")
    layout = kdb.Layout()
    layout.read(str(path))
    return layout, layers


@pytest.fixture(params=SAMPLE_NAMES)
def sample(request, kit):
    """(layout, layer table) of every sample layout, read with the kit that matches it."""
    return load_sample(request.param, kit)


@pytest.fixture
def sram(kit):
    """The SRAM macro (deep hierarchy, arrays, rotations) with the CMOS kit."""
    return load_sample("ihp_sram_1p_1024x16.gds", kit)

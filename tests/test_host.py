import sys
from pathlib import Path

import klayout.db as kdb
import pytest

import orvalis.pdk as pdk_registry
from orvalis import Component, import_gds
from orvalis.kits.sg13g2 import LAYER as SG
from orvalis.technology import Color, LayerStack, LayerView, LayerViews, LogicalLayer
from tessarand.core import shared
from tessarand.core.communication import send_message
from tessarand.core.lazy import lazy_import
from tessarand.core.pdk import get_pdk
from tessarand.models import Show3dMessage

SHARED_LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"


@pytest.fixture(autouse=True)
def default_kit():
    yield
    pdk_registry.activate_pdk("ebeam")


def test_lazy_import_defers_import_until_attribute_access():
    sys.modules.pop("colorsys", None)
    proxy = lazy_import("colorsys")
    assert "colorsys" not in sys.modules
    assert repr(proxy) == "<lazy module 'colorsys'>"
    assert proxy.rgb_to_hsv(1.0, 0.0, 0.0) == (0.0, 1.0, 1.0)
    assert "colorsys" in sys.modules
    assert "hls_to_rgb" in dir(proxy)


def test_lazy_import_error_surfaces_on_first_access():
    proxy = lazy_import("no_such_module_here")
    with pytest.raises(ModuleNotFoundError):
        proxy.anything


def test_kit_registry_and_activation():
    assert pdk_registry.available_pdks() == ["ebeam", "sg13g2"]
    assert get_pdk().name == "ebeam"
    kit = pdk_registry.activate_pdk("sg13g2")
    assert get_pdk() is kit and pdk_registry.get_layer_stack() is kit.layer_stack
    level = kit.layer_stack.layers["TopMetal2"]
    assert (level.zmin, level.thickness) == (11.230, 3.000)
    assert len(kit.layer_stack.layers) == 21
    with pytest.raises(ValueError, match="ebeam, sg13g2"):
        pdk_registry.activate_pdk("nope")
    assert get_pdk() is kit


def test_layer_enum_and_views():
    ebeam = pdk_registry.get_active_pdk()
    pin = ebeam.layers.PinRec
    assert (pin.name, pin.layer, pin.datatype, tuple(pin)) == ("PinRec", 1, 10, (1, 10))
    views = ebeam.layer_views
    assert views.get_from_tuple((2, 0)).fill_color.as_hex() == "#80a8ff"
    for missing in [(68, 0), (1, 10), (10, 0)]:
        with pytest.raises(KeyError):
            views.get_from_tuple(missing)
    assert set(ebeam.layer_stack.layers) == {
        "Si", "Si_rib", "SiN", "M1_heater", "M2_router", "M_Open", "FloorPlan", "Waveguide", "Si_Litho193nm",
        "Oxide_open", "Si_N", "Si_Npp", "VC", "Deep_Trench", "Isolation_Trench", "Shelf_Etch", "BlackBox", "Laser"}


def test_color():
    assert Color("#FF80A8").as_hex() == "#ff80a8"
    assert Color(0, 16, 255).as_hex() == "#0010ff"
    view = LayerViews([LayerView(name="a", layer=(3, 1), fill_color="#0A0B0C")])
    assert view.get_from_tuple((3, 1)).fill_color == Color(10, 11, 12)


def _same(region, *boxes):
    """Exact geometric equality: the XOR of both regions is empty."""
    return (region ^ kdb.Region([kdb.Box(*b) for b in boxes])).is_empty()


def test_derived_layers_computed_per_top_cell():
    comp = Component("a")
    ly = comp.layout
    child = ly.create_cell("child")  # shapes one level down: must be flattened
    child.shapes(ly.layer(*SG.SalBlock)).insert(kdb.Box(0, 0, 10000, 10000))
    comp.cell.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans()))
    comp.cell.shapes(ly.layer(*SG.pSD)).insert(kdb.Box(0, 0, 6000, 10000))
    comp.cell.shapes(ly.layer(*SG.nSD)).insert(kdb.Box(4000, 0, 10000, 10000))
    other = ly.create_cell("b")
    other.shapes(ly.layer(*SG.Cont)).insert(kdb.Box(0, 0, 1000, 1000))
    other.shapes(ly.layer(*SG.GatPoly)).insert(kdb.Box(500, 0, 2000, 1000))
    other.shapes(ly.layer(*SG.PolyRes)).insert(kdb.Box(0, 500, 1000, 2000))
    layer_count = ly.layers()

    stack = pdk_registry.activate_pdk("sg13g2").layer_stack
    out = stack.get_component_with_derived_layers(comp)

    def region(cell_name, layer):
        cell = out.layout.cell(cell_name)
        return kdb.Region(cell.begin_shapes_rec(out.layout.layer(*layer)))

    assert out.layout is not ly
    assert _same(region("a", SG.Rhigh), (4000, 0, 6000, 10000))
    assert _same(region("a", SG.Rppd), (0, 0, 4000, 10000))
    assert region("a", SG.Cont_to_Gatpoly).is_empty()
    assert _same(region("b", SG.Cont_to_Gatpoly), (500, 0, 1000, 1000), (0, 500, 500, 1000))
    assert region("b", SG.Rhigh).is_empty()
    # The input is left as it was.
    assert ly.layers() == layer_count and ly.find_layer(1001, 0) is None


def test_derived_layers_drawn_once_into_a_cell_that_several_top_cells_place():
    comp = Component("a")
    ly = comp.layout
    shared = ly.create_cell("shared")
    shared.shapes(ly.layer(*SG.GatPoly)).insert(kdb.Box(0, 0, 1000, 1000))
    shared.shapes(ly.layer(*SG.Cont)).insert(kdb.Box(200, 200, 400, 400))
    other = ly.create_cell("b")
    for top in (comp.cell, other):
        top.insert(kdb.CellInstArray(shared.cell_index(), kdb.Trans()))

    out = pdk_registry.activate_pdk("sg13g2").layer_stack.get_component_with_derived_layers(comp).layout

    drawn = out.cell("shared").shapes(out.layer(*SG.Cont_to_Gatpoly)).each()
    assert [str(shape.polygon) for shape in drawn] == ["(200,200;200,400;400,400;400,200)"]
    # The cell that held the top cells side by side is gone again.
    assert [cell.name for cell in out.top_cells()] == ["a", "b"]
    assert sorted(cell.name for cell in out.each_cell()) == ["a", "b", "shared"]


def test_derived_layers_of_top_cells_too_wide_to_line_up():
    comp = Component("a")
    ly = comp.layout
    other = ly.create_cell("b")
    for top in (comp.cell, other):
        top.shapes(ly.layer(*SG.GatPoly)).insert(kdb.Box(0, 0, 2**30, 1000))
        top.shapes(ly.layer(*SG.Cont)).insert(kdb.Box(200, 200, 400, 400))

    out = pdk_registry.activate_pdk("sg13g2").layer_stack.get_component_with_derived_layers(comp).layout

    for name in ("a", "b"):
        cell = out.cell(name)
        assert _same(kdb.Region(cell.shapes(out.layer(*SG.Cont_to_Gatpoly))), (200, 200, 400, 400))
    assert [cell.name for cell in out.top_cells()] == ["a", "b"]


# Left box (0..6000), right box (4000..10000); None leaves the layer out of the layout.
@pytest.mark.parametrize("left, right, operation, expected", [
    (None, (4000, 10000), "and", []),
    (None, (4000, 10000), "not", []),
    (None, (4000, 10000), "or", [(4000, 0, 10000, 10000)]),
    ((0, 6000), None, "and", []),
    ((0, 6000), None, "not", [(0, 0, 6000, 10000)]),
    ((0, 6000), None, "or", [(0, 0, 6000, 10000)]),
    ((0, 6000), (4000, 10000), "and", [(4000, 0, 6000, 10000)]),
    ((0, 6000), (4000, 10000), "not", [(0, 0, 4000, 10000)]),
])
def test_derived_region_with_an_absent_layer(left, right, operation, expected):
    ly = kdb.Layout()
    top = ly.create_cell("top")
    for layer, span in ((SG.pSD, left), (SG.nSD, right)):
        if span is not None:
            top.shapes(ly.layer(*layer)).insert(kdb.Box(span[0], 0, span[1], 10000))
    expression = {"and": lambda a, b: a & b, "or": lambda a, b: a | b, "not": lambda a, b: a - b}[
        operation](LogicalLayer(SG.pSD), LogicalLayer(SG.nSD))
    store = kdb.DeepShapeStore()
    assert _same(expression.get_region(ly, top, store), *expected)


def test_stack_without_derived_levels_returns_copy():
    comp = Component()
    out = LayerStack(layers={}).get_component_with_derived_layers(comp)
    assert out is not comp and out.layout is not comp.layout
    assert out.cell.name == "top"


def _write(path, dbu, top_names=("top",)):
    ly = kdb.Layout()
    ly.dbu = dbu
    for name in top_names:
        ly.create_cell(name).shapes(ly.layer(1, 0)).insert(kdb.DBox(0, 0, 1, 1))
    ly.write(str(path))
    return path


@pytest.mark.parametrize("dbu", [0.001, 0.005])
def test_import_gds_keeps_physical_size(tmp_path, dbu):
    comp = import_gds(_write(tmp_path / "box.gds", dbu))
    assert comp.layout.dbu == 0.001
    assert comp.cell.bbox() == kdb.Box(0, 0, 1000, 1000)


def test_import_gds_rejects_missing_and_foreign_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        import_gds(tmp_path / "missing.gds")
    (tmp_path / "text.gds").write_text("not a layout")
    with pytest.raises(ValueError):
        import_gds(tmp_path / "text.gds")


def test_write_gds_keeps_all_top_cells(tmp_path):
    comp = import_gds(_write(tmp_path / "two.gds", 0.001, ("a", "b")))
    written = comp.write_gds(str(tmp_path / "out.gds"))
    assert written == tmp_path / "out.gds"
    back = import_gds(written)
    assert sorted(c.name for c in back.layout.top_cells()) == ["a", "b"]


def test_import_real_layout():
    path = SHARED_LAYOUTS / "siepic_ring_resonator.gds"
    if not path.is_file():
        pytest.skip("shared sample layouts not available")
    comp = import_gds(path)
    assert comp.cell.name == "Ring" and comp.layout.dbu == 0.001
    assert comp.cell.dbbox() == kdb.DBox(-133.3, -181.2, 39.55, 241.2)


def test_send_message_writes_to_viewer_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("TESSARAND_VIEWER_DIR", str(tmp_path / "viewer"))
    path = send_message(Show3dMessage(content='{"µm": 1}'))
    assert path.parent == tmp_path / "viewer"
    assert path.name.startswith("show3d-") and path.suffix == ".html"
    assert '{"µm": 1}' in path.read_text(encoding="utf-8")
    assert send_message(Show3dMessage(content="")) != path


def test_shared_none():
    assert shared.none(object()) is None
    assert Show3dMessage(content="x").type == "show3d"

"""Layer-stack files: the kit they build, .lyp colours and names, and the message
for each kind of mistake."""

from pathlib import Path

import klayout.db as kdb
import pytest

from orvalis import Component, StackFileError, load_stack, pdk
from orvalis.lyp import LypError, read_lyp
from orvalis.stackfile import PALETTE, parse_stack
from orvalis.technology import DerivedLayer
from tessarand.core import show3d

STACKS = Path(__file__).resolve().parent / "stacks"


def table_of(kit):
    return show3d.get_layer_properties(kit.layer_stack, kit.layer_views)


def test_invented_process_gives_every_level_its_height_and_colour():
    kit = load_stack(STACKS / "veltra40.toml")
    assert kit.name == "veltra40"
    assert {pair: (entry.name, entry.zmin, entry.thickness, entry.color)
            for pair, entry in table_of(kit).items()} == {
        (11, 0): ("Diff", 0.0, 0.3, "#33aa33"),
        (12, 0): ("Poly", 0.3, 0.15, "#cc3333"),
        (13, 0): ("Contact", 0.3, 0.5, "#888888"),
        (21, 0): ("Met1", 0.8, 0.35, "#3366ff"),
        (22, 0): ("Via1", 1.15, 0.4, "#ffcc00"),
        (23, 0): ("Met2", 1.55, 0.5, PALETTE[0]),
        (40, 5): ("Pad", 2.3, 1.0, "#aaaaaa"),
        (1000, 0): ("Gate", 0.3, 0.15, "#ff00ff"),
        (1001, 0): ("WellDiff", 0.0, 0.05, "#00cccc"),
    }
    # Named only: an input of the derived layers, not a level of its own.
    assert tuple(kit.layers.Well) == (3, 0) and "Well" not in kit.layer_stack.layers
    assert kit.layer_views.get_from_tuple((21, 0)).opacity == 0.7
    assert repr(kit.layer_stack.layers["WellDiff"].layer) == "(Diff & (Well - Gate))"


def test_lyp_fills_in_colours_and_names_the_stack_leaves_out():
    stack = '[[layer]]\ngds = "23/0"\nzmin = 1\nthickness = 0.5\n\n' \
            '[[layer]]\ngds = "11/0"\nzmin = 0\nthickness = 0.3\ncolor = "#33aa33"\n\n' \
            '[[layer]]\ngds = "50/0"\nzmin = 3\nthickness = 1\n'
    kit = parse_stack(stack, lyp=read_lyp(STACKS / "veltra40.lyp"))
    assert [(pair, entry.name, entry.color) for pair, entry in table_of(kit).items()] == [
        ((23, 0), "Metal_two", "#ff9900"),  # name and colour from the .lyp file
        ((11, 0), "Diffusion", "#33aa33"),  # the stack's colour wins
        ((50, 0), "Heater", "#123456"),     # from a group member
    ]


def test_read_lyp_takes_pairs_from_sources():
    assert read_lyp(STACKS / "veltra40.lyp") == {
        (23, 0): ("Metal_two", "#ff9900"), (11, 0): ("Diffusion", "#010203"), (50, 0): ("Heater", "#123456")}


@pytest.mark.parametrize("content, message", [
    ("<layer-properties><properties>", "not valid XML at line 1, column 31"),
    ("<layers/>", "is not a KLayout layer-properties file (expected <layer-properties>, found <layers>)"),
])
def test_bad_lyp_file_is_named(tmp_path, content, message):
    path = tmp_path / "colours.lyp"
    path.write_text(content)
    with pytest.raises(LypError) as error:
        read_lyp(path)
    assert str(error.value).endswith(message) and str(path) in str(error.value)


@pytest.mark.parametrize("expression, expected", [
    ("A & B | C", "((A & B) | C)"),
    ("A | B & C", "(A | (B & C))"),
    ("A - B & C", "((A - B) & C)"),
    ("A - B - C", "((A - B) - C)"),
    ("(A | B) - c", "((A | B) - C)"),  # names in any case
])
def test_derived_expressions_follow_python_precedence(expression, expected):
    stack = "".join(f'[[layer]]\nname = "{name}"\ngds = "{n}/0"\n\n' for n, name in enumerate("ABC", 1))
    stack += f'[[layer]]\nname = "D"\nderived = "{expression}"\nzmin = 0\nthickness = 1\n'
    level = parse_stack(stack).layer_stack.layers["D"]
    assert isinstance(level.layer, DerivedLayer) and repr(level.layer) == expected
    assert tuple(level.derived_layer.layer) == (1000, 0)


GOOD = '[[layer]]\nname = "M1"\ngds = "8/0"\nzmin = 1\nthickness = 0.5\n'
M2 = '[[layer]]\nname = "M2"\ngds = "10/0"\n'  # layer 2 (line 7), keys from line 10 on
R = '[[layer]]\nname = "R"\nzmin = 0\nthickness = 1\nderived = '  # layer 2 (line 7), derived on line 11
D = '[[layer]]\nname = "D{}"\nderived = "{}"\nzmin = 0\nthickness = 1\n\n'


@pytest.mark.parametrize("extra, message", [
    ("zmin = @\n", "s.toml: not valid TOML: Invalid value (at line 7, column 8)"),
    ('[[layer]]\nname = "M2"\nzmin = 2\nthickness = 1\n',
     "s.toml, layer 2 (line 7): missing key 'gds': expected the layer/datatype, such as \"1/0\""),
    ('[[layer]]\nderived = "M1 & M1"\nzmin = 2\nthickness = 1\n',
     "s.toml, layer 2 (line 7): missing key 'name': a derived layer without 'gds' needs a name"),
    ('[[layer]]\nname = "M2"\ngds = "10-0"\n',
     "s.toml, layer 2 (line 7), key 'gds' (line 9): expected layer/datatype text such as \"1/0\", got '10-0'"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = "2"\nthickness = 1\n',
     "s.toml, layer 2 (line 7), key 'zmin' (line 10): expected a number, got '2'"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\n',
     "s.toml, layer 2 (line 7): missing key 'thickness': a drawn layer needs both zmin and thickness"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\nthickness = 0\n',
     "s.toml, layer 2 (line 7), key 'thickness' (line 11): expected a positive thickness of at most 1000 µm, got 0.0"),
    *[(M2 + f"zmin = {zmin}\nthickness = 1\n",
       f"s.toml, layer 2 (line 7), key 'zmin' (line 10): expected a finite height within ±1000 µm, got {shown}")
      for zmin, shown in [("nan", "nan"), ("-inf", "-inf"), ("9" * 400, "inf")]],
    *[(M2 + f"zmin = 0\nthickness = {thickness}\n", ("s.toml, layer 2 (line 7), key 'thickness' (line 11): "
       f"expected a positive thickness of at most 1000 µm, got {shown}"))
      for thickness, shown in [("nan", "nan"), ("inf", "inf"), ("1e308", "1e+308")]],
    (M2 + "zmin = 999.5\nthickness = 0.75\n",
     "s.toml, layer 2 (line 7): expected the top, zmin + thickness, within ±1000 µm, got 999.5 + 0.75 = 1000.25"),
    (M2 + "zmin = 0\nthickness = 1\nopacity = nan\n",
     "s.toml, layer 2 (line 7), key 'opacity' (line 12): expected a number from 0 to 1, got nan"),
    (M2.replace("10/0", "1/" + "9" * 5000), ("s.toml, layer 2 (line 7), key 'gds' (line 9): "
     "expected layer and datatype numbers of at most 2147483647, got '1/" + "9" * 54 + "...")),
    (R + '"M1 & M1"\ngds = "0/2147483648"\n', ("s.toml, layer 2 (line 7), key 'gds' (line 12): "
     "expected layer and datatype numbers of at most 2147483647, got '0/2147483648'")),
    (D.format(1, "M1 & D2") + D.format(2, "D1 | M1"),
     "s.toml, layer 2 (line 7): derived layers refer to each other in a cycle: D1 -> D2 -> D1"),
    (D.format(0, "M1 - D2") + D.format(1, "M1 | M1") + D.format(2, "(D1 & M1) - D3") + D.format(3, "D2 & M1"),
     "s.toml, layer 4 (line 19): derived layers refer to each other in a cycle: D2 -> D3 -> D2"),
    (D.format(1, "M1 & d1"), "s.toml, layer 2 (line 7): derived layer D1 refers to itself"),
    (R + '"' + "(" * 5000 + "M1" + ")" * 5000 + '"\n', "s.toml, layer 2 (line 7): expression '"
     + "(" * 56 + "... nests deeper than 100 levels of parentheses and operators"),
    (R + '"M1' + " | M1" * 101 + '"\n', "s.toml, layer 2 (line 7): expression 'M1"
     + " | M1" * 10 + " | M... nests deeper than 100 levels of parentheses and operators"),
    # Strings may hold U+2028, a line break to str.splitlines but not to TOML.
    (R + '"M1 &\u2028M1"\ncolor = 1\n', "s.toml, layer 2 (line 7), key 'color' (line 12): expected \"#rrggbb\", got 1"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\nthickness = 1\ncolor = "red"\n',
     "s.toml, layer 2 (line 7), key 'color' (line 12): expected \"#rrggbb\", got 'red'"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\nthickness = 1\nopacity = 2\n',
     "s.toml, layer 2 (line 7), key 'opacity' (line 12): expected a number from 0 to 1, got 2.0"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nthikness = 1\n',
     "s.toml, layer 2 (line 7): unknown key 'thikness' in a [[layer]] table "
     "(known: name, gds, zmin, thickness, color, opacity, derived)"),
    ('[[layer]]\nname = "m1"\ngds = "10/0"\n', "s.toml, layer 2 (line 7): name 'm1' is already used by layer 1 (line 1)"),
    ('[[layer]]\nname = "M2"\ngds = "8/0"\n',
     "s.toml, layer 2 (line 7): gds 8/0 is already used by layer 1 (line 1) (M1)"),
    ('[[layer]]\nname = "Metal 2"\ngds = "10/0"\n',
     "s.toml, layer 2 (line 7), key 'name' (line 8): expected a name of letters, digits, '_', '.' or '$' "
     "starting with a letter, got 'Metal 2'"),
    ('[[layer]]\nname = "R"\nderived = "M1 & Poly"\nzmin = 0\nthickness = 1\n',
     "s.toml, layer 2 (line 7): unknown layer 'Poly' in 'M1 & Poly' (expected the name of a [[layer]] of this file)"),
    ('[[layer]]\nname = "R"\nderived = "(M1 | M1"\nzmin = 0\nthickness = 1\n',
     "s.toml, layer 2 (line 7): missing ')' in '(M1 | M1'"),
    ('[[layer]]\nname = "R"\nderived = "M1 &"\nzmin = 0\nthickness = 1\n',
     "s.toml, layer 2 (line 7): expression 'M1 &' ends where a layer name was expected"),
    ('[[layer]]\nname = "R"\nderived = "M1 M1"\nzmin = 0\nthickness = 1\n',
     "s.toml, layer 2 (line 7): unexpected 'M1' in 'M1 M1'"),
    ('[[layer]]\nname = "R"\nderived = "M1"\nzmin = 0\nthickness = 1\n',
     "s.toml, layer 2 (line 7): expected an expression with &, | or -, got the one layer 'M1'"),
    ('[[layer]]\nname = "R"\nderived = "M1 & M1"\n',
     "s.toml, layer 2 (line 7): missing keys 'zmin' and 'thickness': a derived layer is drawn"),
    ('[[layer]]\nname = "mro"\ngds = "10/0"\n', 
     "s.toml: invalid enum member name(s) 'mro': a name Python's enumerations reserve; rename the layer"),
])
def test_mistakes_are_named_by_line_and_key(extra, message):
    with pytest.raises(StackFileError) as error:
        parse_stack(GOOD + "\n" + extra, source="s.toml")
    assert str(error.value) == message


@pytest.mark.parametrize("text, message", [
    ("", "s.toml: no layers: expected one or more [[layer]] tables"),
    ('version = 2\n' + GOOD, "s.toml: unknown key 'version' in top level (known: name, description, layer)"),
    (f"x = {'1' * 5000}\n" + GOOD, "s.toml: not valid TOML: a number too long to read"),
    ("x = " + "[" * 5000 + "]" * 5000 + "\n" + GOOD, "s.toml: not valid TOML: arrays or tables nested too deeply"),
    # A header inside a multi-line string: lines left out rather than wrong.
    ('description = """\n[[layer]]\n"""\n' + GOOD.replace("0.5", "inf"),
     "s.toml, layer 1, key 'thickness': expected a positive thickness of at most 1000 µm, got inf"),
])
def test_mistakes_at_the_top_level(text, message):
    with pytest.raises(StackFileError) as error:
        parse_stack(text, source="s.toml")
    assert str(error.value) == message


@pytest.mark.parametrize("text, expected", [
    ("\ufeff" + GOOD, ((8, 0), 1.0, 0.5)),  # a byte-order mark
    (GOOD.replace("8/0", "2147483647/65536").replace("= 1", "= -1000").replace("0.5", "1000"),
     ((2147483647, 65536), -1000.0, 1000.0)),
    (GOOD.replace("= 1", "= 999.5"), ((8, 0), 999.5, 0.5)),
])
def test_bounds_are_inclusive_and_a_byte_order_mark_is_skipped(text, expected):
    level = parse_stack(text).layer_stack.layers["M1"]
    assert (tuple(level.layer.layer), level.zmin, level.thickness) == expected


def test_derived_layers_are_computed_after_the_derived_layers_they_read():
    stack = parse_stack(GOOD + '[[layer]]\nname = "B"\ngds = "2/0"\n' + D.format(1, "M1 & D2")
                        + D.format(2, "B | M1") + D.format(3, "B - D1")).layer_stack
    component, told = Component(), []
    for layer, box in (((8, 0), kdb.Box(0, 0, 10, 10)), ((2, 0), kdb.Box(5, 0, 20, 10))):
        component.cell.shapes(component.layout.layer(*layer)).insert(box)
    stack.progress = told.append
    layout = stack.get_component_with_derived_layers(component).layout
    assert told == ["D2 (1 of 3)", "D1 (2 of 3)", "D3 (3 of 3)", None]
    assert [kdb.Region(layout.top_cell().begin_shapes_rec(layout.find_layer(pair, 0))).area()
            for pair in (1000, 1001, 1002)] == [100, 200, 100]  # M1, M1 | B, B - M1


def test_derived_layers_keep_off_the_pairs_of_the_layout():
    stack = GOOD + "\n" + R + '"M1 & M1"\n'
    assert tuple(parse_stack(stack, occupied={(1000, 0), (1001, 0), (8, 1)}).layers.R) == (1002, 0)
    with pytest.raises(StackFileError) as error:
        parse_stack(stack + 'gds = "1000/0"\n', source="s.toml", occupied={(1000, 0)})
    assert str(error.value) == ("s.toml, layer 2 (line 7), key 'gds' (line 12): "
                                "1000/0 already holds shapes in the layout; a derived layer needs a pair of its own")


def test_a_kit_is_built_again_only_for_a_layout_it_collides_with():
    built = pdk.get_pdk("sg13g2")
    assert pdk.kit_for_layout(built, {(1, 0), (1000, 0)}) is built
    fitted = pdk.kit_for_layout(built, [(1001, 0), (1000, 0)])  # a built-in kit moves its own pairs
    assert [tuple(fitted.layers[name]) for name in ("Rhigh", "Rppd", "Metal1")] == [(1004, 0), (1002, 0), (8, 0)]
    assert pdk.kit_for_layout(fitted, {(1, 0)}).layers.Rhigh.value == (1001, 0)  # built from the file again
    try:
        pdk.activate_pdk("sg13g2")
        assert pdk.activate_for_layout({(1002, 0)}) is pdk.get_active_pdk() is not built
    finally:
        pdk.unregister_pdk("sg13g2")
        pdk.activate_pdk("ebeam")
    assert pdk.get_pdk("sg13g2") is built  # the built-in build, cached


@pytest.mark.parametrize("make, message", [
    (lambda path: None, "no stack file at {path}"),
    (lambda path: path.mkdir(), "{path} is a directory, not a stack file"),
    (lambda path: path.write_bytes(b"\xff\xfe\x00"), "{path} is not a text file (a stack file is TOML text)"),
])
def test_unreadable_stack_file_is_named(tmp_path, make, message):
    path = tmp_path / "process.toml"
    make(path)
    with pytest.raises(StackFileError) as error:
        load_stack(path)
    assert str(error.value) == message.format(path=path)


def test_loaded_kit_is_registered_and_activated():
    try:
        kit = pdk.load_pdk(STACKS / "veltra40.toml")
        assert pdk.get_active_pdk() is kit and pdk.available_pdks() == ["ebeam", "sg13g2", "veltra40"]
    finally:
        pdk.unregister_pdk("veltra40")
    assert pdk.get_active_pdk().name == "ebeam" and pdk.available_pdks() == ["ebeam", "sg13g2"]

"""Layer-stack files: the kit they build, .lyp colours and names, and the message
for each kind of mistake."""

from pathlib import Path

import pytest

from orvalis import StackFileError, load_stack, pdk
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


@pytest.mark.parametrize("extra, message", [
    ("zmin = @\n", "s.toml: not valid TOML: Invalid value (at line 7, column 8)"),
    ('[[layer]]\nname = "M2"\nzmin = 2\nthickness = 1\n',
     "s.toml, layer 2 (line 7): missing key 'gds': expected the layer/datatype, such as \"1/0\""),
    ('[[layer]]\nname = "M2"\ngds = "10-0"\n',
     "s.toml, layer 2 (line 7), key 'gds' (line 9): expected layer/datatype text such as \"1/0\", got '10-0'"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = "2"\nthickness = 1\n',
     "s.toml, layer 2 (line 7), key 'zmin' (line 10): expected a number, got '2'"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\n',
     "s.toml, layer 2 (line 7): missing key 'thickness': a drawn layer needs both zmin and thickness"),
    ('[[layer]]\nname = "M2"\ngds = "10/0"\nzmin = 2\nthickness = 0\n',
     "s.toml, layer 2 (line 7), key 'thickness' (line 11): expected a positive thickness, got 0.0"),
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
])
def test_mistakes_at_the_top_level(text, message):
    with pytest.raises(StackFileError) as error:
        parse_stack(text, source="s.toml")
    assert str(error.value) == message


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

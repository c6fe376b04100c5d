"""Stack files as a careless hand writes them: refused with a one-line message, or a
kit whose every level has usable heights and whose derived layers evaluate in order."""

import json
import os

import klayout.db as kdb
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvalis import Component, StackFileError
from orvalis.stackfile import HEIGHT_LIMIT, parse_stack
from orvalis.technology import DerivedLayer

NAMES = st.sampled_from(["L0", "l1", "L2", "L3", "L4", "Nope", "x.y$", "mro", "1L", "Ä", ""])
NUMBERS = st.one_of(st.floats().map(repr), st.integers(-10**400, 10**400).map(str),
                    st.sampled_from(["nan", "-inf", "1e308", "-0.0", "1000", "999.5", "0.5"]))
NUMBER = st.sampled_from([0, 65536, 2**31 - 1, 2**31]) | st.integers(0, 2**32)
PAIRS = st.tuples(NUMBER, NUMBER).map("{0[0]}/{0[1]}".format) | st.sampled_from(["1000/0", "1/", " 3 / 0 ", "١/٠"])
DEPTHS = st.sampled_from([99, 100, 101, 3000])
DEEP = DEPTHS.map(lambda n: "(" * n + "L0 & L1" + ")" * n) | DEPTHS.map(lambda n: " | ".join(["L0"] * (n + 1)))


def expressions(names):  # with an operator at the top
    operands = st.recursive(names, lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from("&|-"), inner).map(" ".join), inner.map("({})".format)), max_leaves=8)
    return st.tuples(operands, st.sampled_from("&|-"), operands).map(" ".join)


WRONG = st.sampled_from(["true", "[1, 2]", "{a = 1}", "1979-05-27", '"1/0"', "1"])
VALUES = {"name": NAMES.map(json.dumps), "gds": PAIRS.map(json.dumps), "zmin": NUMBERS, "thickness": NUMBERS,
          "opacity": NUMBERS, "color": st.sampled_from(['"#aabbcc"', '"red"']),
          "derived": st.one_of(expressions(NAMES), st.text("L0123()&|- ", max_size=30), DEEP).map(json.dumps)}


@st.composite
def stack_texts(draw):
    """A valid stack of drawn and derived layers, then a few mistakes."""
    count = draw(st.integers(2, 6))
    tables = [{"name": f'"L{n}"', "gds": f'"{n}/0"', "zmin": "0", "thickness": "1"} for n in range(count)]
    tables[0]["gds"] = draw(st.sampled_from(['"0/0"'] * 6 + ['"2147483647/0"', '"0/2147483648"']))
    names = st.sampled_from([f"L{n}" for n in range(count)] + ["l1"])
    for table in tables[2:]:
        if draw(st.integers(0, 3)):
            del table["gds"]
            table["derived"] = json.dumps(draw(DEEP if draw(st.integers(0, 7)) == 0 else expressions(names)))
    for _ in range(draw(st.sampled_from([0, 0, 1, 2]))):
        key = draw(st.sampled_from([*VALUES, "zmin", "thickness", "thikness"]))
        draw(st.sampled_from(tables))[key] = draw(VALUES.get(key, WRONG) | WRONG)
    text = "".join("[[layer]]\n" + "".join(f"{k} = {v}\n" for k, v in table.items()) + "\n" for table in tables)
    at, noisy = draw(st.integers(0, len(text))), draw(st.integers(0, 5)) == 0
    noise = draw(st.sampled_from(["\ufeff", "\u2028", "[", "é"]) | st.text(max_size=2)) if noisy else ""
    return draw(st.sampled_from(["", "\ufeff"])) + text[:at] + noise + text[at:]


# A longer run: STACK_FUZZ_EXAMPLES=5000 pytest tests/test_stack_fuzz.py --hypothesis-seed=N
@settings(max_examples=int(os.environ.get("STACK_FUZZ_EXAMPLES", "200")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(stack_texts(), st.sets(st.sampled_from([(0, 0), (1000, 0), (1001, 0)])))
def test_a_stack_file_is_refused_in_one_line_or_gives_a_kit_that_draws(text, occupied):
    try:
        kit = parse_stack(text, source="f.toml", occupied=occupied)
    except StackFileError as error:
        assert str(error).startswith("f.toml") and "\n" not in str(error)
        return
    for level in kit.layer_stack.layers.values():
        assert abs(level.zmin) <= HEIGHT_LIMIT and 0 < level.thickness <= HEIGHT_LIMIT
        assert level.zmin + level.thickness <= HEIGHT_LIMIT
    later = set()  # targets of the derived levels computed from here on
    for _, level in reversed(kit.layer_stack.derived_levels()):
        later.add(tuple(level.derived_layer.layer))
        assert not inputs(level.layer) & later and not later & occupied
    component = Component()
    for pair in {tuple(member) for member in kit.layers} - later | occupied:
        component.cell.shapes(component.layout.layer(*pair)).insert(kdb.Box(0, 0, 10, 10))
    kit.layer_stack.get_component_with_derived_layers(component)


def inputs(expression) -> set:
    if isinstance(expression, DerivedLayer):
        return inputs(expression.left) | inputs(expression.right)
    return {tuple(expression.layer)}

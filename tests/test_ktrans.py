"""KTrans: dictionary and matrix forms of placements, and products of placement lists."""

import math
import types

import klayout.db as kdb
import pytest

import tessarand.core.show3d as show3d

KTrans = show3d.KTrans
C90, S180, C270 = 6.123233995736766e-17, 1.2246467991473532e-16, -1.8369701987210297e-16
SIMPLE_KEYS = ["mirror", "angle", "displacement"]
COMPLEX_KEYS = SIMPLE_KEYS + ["magnification"]


def bits(matrix):
    return [float(v).hex() for row in matrix for v in row]  # tells -0.0 from 0.0


@pytest.mark.parametrize("rot, mirror, x, y, angle, matrix", [
    (1, False, 100, 200, 90, ((C90, -1.0, 0.1), (1.0, C90, 0.2))),
    (2, True, 5, -7, 180, ((-1.0, S180, 0.005), (S180, 1.0, -0.007))),
    (2, False, 0, 0, 180, ((-1.0, -S180, 0.0), (S180, -1.0, 0.0))),
    (3, False, 1500, 1, 270, ((C270, 1.0, 1.5), (-1.0, C270, 0.001))),
    (1, True, -3, 0, 90, ((C90, 1.0, -0.003), (1.0, -C90, 0.0))),
    (0, True, 0, 0, 0, ((1.0, 0.0, 0.0), (0.0, -1.0, 0.0))),
    (0, False, 0, 0, 0, ((1.0, -0.0, 0.0), (0.0, 1.0, 0.0))),
])
def test_simple_dict_and_matrix(rot, mirror, x, y, angle, matrix):
    k = KTrans(kdb.Trans(rot, mirror, x, y))
    d = k.to_dict()
    assert list(d) == SIMPLE_KEYS and d == {"mirror": mirror, "angle": angle, "displacement": [x / 1000, y / 1000]}
    assert type(d["angle"]) is int and [type(v) for v in d["displacement"]] == [float, float]
    assert k.to_dict() is not d and vars(k) == {"trans": k.trans} and type(KTrans) is type
    result = k.trans_matrix()
    assert type(result) is tuple and [type(row) for row in result] == [tuple, tuple]
    assert bits(result) == bits(matrix)


@pytest.mark.parametrize("trans", [
    kdb.ICplxTrans(1.0, 85.0, False, 100, 200), kdb.ICplxTrans(0.4, 355.0, True, -1234, 77),
    kdb.ICplxTrans(30.0, 90.0, False, 0, 0), kdb.ICplxTrans(0.75, 180.0, True, 5, 5),
    kdb.ICplxTrans(2.5, 0.0, False, 1000, -1000), kdb.ICplxTrans(1.0, 0.0, False, 0, 0),
    kdb.VCplxTrans(2.0, 90, False, 100, 200), kdb.DCplxTrans(2.0, 90, False, 100.0, 200.0),
    kdb.CplxTrans(2.0, 90, False, 100.0, 200.0), kdb.ICplxTrans(kdb.Trans(1, False, 100, 200))], ids=str)
def test_complex_dict_and_matrix(trans):  # every complex type reports its magnification
    k, mag, mirror, x, y = KTrans(trans), trans.mag, trans.is_mirror(), trans.disp.x / 1000, trans.disp.y / 1000
    d = k.to_dict()
    assert list(d) == COMPLEX_KEYS and type(d["angle"]) is float
    assert d == {"mirror": mirror, "angle": trans.angle, "displacement": [x, y], "magnification": mag}
    m, a = (-1 if mirror else 1), trans.angle / 180 * math.pi
    c, s = math.cos(a), math.sin(a)
    assert bits(k.trans_matrix()) == bits(((mag * c, -m * mag * s, x), (mag * s, m * mag * c, y)))


def test_multiply_order_products_and_missing_sides():
    p1, p2 = kdb.Trans(1, False, 10, 20), kdb.Trans(0, True, -5, 3)
    t1, t2 = kdb.Trans(2, False, 7, 0), kdb.Trans(3, True, 0, 11)
    parents, children = [KTrans(p1), KTrans(p2)], [KTrans(t1), KTrans(t2)]
    result = KTrans.multiply(parents, children)
    assert [type(k) for k in result] == [KTrans] * 4 and not set(result) & set(parents + children)
    assert [k.trans for k in result] == [p1 * t1, p2 * t1, p1 * t2, p2 * t2] and p1 * t1 != t1 * p1
    assert [k.trans for k in KTrans.multiply(tuple(parents), iter(children[:1]))] == [p1 * t1, p2 * t1]
    (single,) = KTrans.multiply(KTrans(p2), KTrans(t2))
    assert type(single.trans) is kdb.Trans and single.trans == p2 * t2
    assert KTrans.multiply([], children) == [] and KTrans.multiply(parents, []) == []
    with pytest.raises(AttributeError):
        KTrans.multiply([object()], children)
    # one side missing: the other side is returned as it is (a single one in a new list)
    assert KTrans.multiply(None, children) is children and KTrans.multiply(trans=None, parent_trans=parents) is parents
    alone = KTrans.multiply(parents[0], None)
    assert type(alone) is list and len(alone) == 1 and alone[0] is parents[0]
    assert KTrans.multiply(None, children[1])[0] is children[1] and KTrans.multiply(None, "x") == ["x"]
    simple, cplx = kdb.Trans(1, True, 100, 0), kdb.ICplxTrans(0.4, 85.0, False, 10, -20)  # mixed products are complex
    products = [KTrans.multiply(KTrans(p), KTrans(t))[0].trans
                for p, t in [(simple, cplx), (cplx, simple), (cplx, cplx)]]
    assert [type(t) for t in products] == [kdb.ICplxTrans] * 3
    assert products == [kdb.ICplxTrans(simple) * cplx, cplx * kdb.ICplxTrans(simple), cplx * cplx]
    assert list(KTrans(products[0]).to_dict()) == COMPLEX_KEYS


def duck(angle, disp=(3, 4)):
    vector = types.SimpleNamespace(x=disp[0], y=disp[1])
    return KTrans(types.SimpleNamespace(is_mirror=lambda: 0, angle=angle, disp=vector))


class Given(KTrans):
    def to_dict(self):
        return self.trans


@pytest.mark.parametrize("call, error, message", [
    (lambda: KTrans.multiply(None, None), ValueError, "Either parent_trans or trans must be provided"),
    (lambda: KTrans.multiply(None, ()), TypeError, "Expected list, got tuple"),
    (lambda: KTrans.multiply((), None), TypeError, "Expected list, got tuple"),
    (lambda: KTrans.multiply(type("Placements", (list,), {})(), None), TypeError, "Expected list, got Placements"),
    (lambda: KTrans(None).trans_matrix(), AttributeError, "'NoneType' object has no attribute 'is_mirror'"),
    (lambda: duck(4).to_dict(), IndexError, "list index out of range"),
    (lambda: duck(1.0).to_dict(), TypeError, "list indices must be integers or slices, not float"),
    (lambda: Given({"mirror": 1, "angle": 90, "displacement": [1, 2, 3]}).trans_matrix(),
     ValueError, "too many values to unpack (expected 2)"),
])
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message
    assert duck(-1).to_dict() == {"mirror": 0, "angle": 270, "displacement": [0.003, 0.004]}

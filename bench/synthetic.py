"""Synthetic chip layouts for the benchmark, generated with KLayout.

One size parameter (the number of distinct shapes wanted) scales the whole
family; a second generator builds a small design placed a given number of
times (a multiple of a hundred) through arrays. Every layer used is one of the
"ebeam" kit's, except 10/0 for texts.

    python bench/synthetic.py --size 200000 --cache bench/.cache
    python bench/synthetic.py --array 1000000 --cache bench/.cache

Each prints the path of its GDS file in the cache folder, writing the file
first when it is not there yet.
"""

import argparse
import math
import os
from pathlib import Path

import klayout.db as kdb

# Bump when the generated designs change, so cached files are rebuilt.
VERSION = 1

SI, SI_RIB, SIN, TEXT, HEATER, ROUTER, FLOORPLAN = (
    (1, 0), (2, 0), (4, 0), (10, 0), (11, 0), (12, 0), (99, 0))
CURVE_POINTS = (64, 128, 256, 512)
DEVICES_PER_BLOCK = 8
DEVICE_PITCH = 400_000  # database units (1 nm): 400 um between devices


class Drawing:
    """A layout with the kit's layers, and shorthands to draw into cells."""

    def __init__(self):
        self.layout = kdb.Layout()
        self.layout.dbu = 0.001
        self.layers = {}

    def layer(self, gds_layer):
        if gds_layer not in self.layers:
            self.layers[gds_layer] = self.layout.layer(*gds_layer)
        return self.layers[gds_layer]

    def cell(self, name):
        return self.layout.create_cell(name)

    def shapes(self, cell, gds_layer):
        return cell.shapes(self.layer(gds_layer))


# ---- curved outlines --------------------------------------------------------------

def arc(cx, cy, radius, start, stop, points):
    """Points along a circular arc, angles in degrees, in database units."""
    step = (stop - start) / (points - 1)
    return [kdb.Point(round(cx + radius * math.cos(math.radians(start + i * step))),
                      round(cy + radius * math.sin(math.radians(start + i * step))))
            for i in range(points)]


def ring_outline(cx, cy, radius, width, points):
    """An open ring (a band over 350 degrees) as one hole-free polygon."""
    half = points // 2
    outer = arc(cx, cy, radius + width // 2, 5, 355, half)
    inner = arc(cx, cy, radius - width // 2, 355, 5, points - half)
    return kdb.Polygon(outer + inner)


def disk_outline(cx, cy, radius, points):
    return kdb.Polygon(arc(cx, cy, radius, 0, 360 * (points - 1) / points, points))


def bend_path(cx, cy, radius, width, points):
    """A quarter-circle bend drawn as a path: KLayout turns it into a polygon
    with twice as many vertices as spine points."""
    return kdb.Path(arc(cx, cy, radius, 0, 90, points // 2), width)


def draw_curve(drawing, cell, kind, x, y, points):
    """One of four curved shapes, chosen by `kind`, about 40 um across."""
    radius = 10_000 + 37 * points + 11 * kind
    if kind % 4 == 0:
        drawing.shapes(cell, SI).insert(ring_outline(x, y, radius, 500, points))
    elif kind % 4 == 1:
        drawing.shapes(cell, SIN).insert(disk_outline(x, y, radius, points))
    elif kind % 4 == 2:
        drawing.shapes(cell, HEATER).insert(bend_path(x, y, radius, 3_000, points))
    else:
        drawing.shapes(cell, SI_RIB).insert(bend_path(x, y, radius, 3_000, points))


# ---- leaf cells ---------------------------------------------------------------------

def route(x, y, turns, step):
    """A Manhattan waveguide route starting at (x, y)."""
    points = [kdb.Point(x, y)]
    for i in range(turns):
        last = points[-1]
        points.append(last + (kdb.Vector(step, 0) if i % 2 == 0 else kdb.Vector(0, step)))
    return points


def unit_cells(drawing):
    """Small cells placed through arrays: a fill tile and a micro ring."""
    tile = drawing.cell("fill_tile")
    for i, gds_layer in enumerate((SI, SIN, HEATER, ROUTER)):
        drawing.shapes(tile, gds_layer).insert(kdb.Box(i * 300, 0, i * 300 + 200, 1_500))
    ring = drawing.cell("micro_ring")
    drawing.shapes(ring, SI).insert(ring_outline(0, 0, 2_500, 400, 64))
    drawing.shapes(ring, SI).insert(kdb.Box(-3_000, -3_200, 3_000, -2_800))
    drawing.shapes(ring, FLOORPLAN).insert(kdb.Box(-3_500, -3_500, 3_500, 3_500))
    return tile, ring


def device(drawing, index, budget):
    """A device cell with about `budget` distinct shapes: curved outlines (one
    in a hundred), routes (one in ten), grating teeth and pads (the rest)."""
    cell = drawing.cell(f"device_{index}")
    drawing.shapes(cell, FLOORPLAN).insert(kdb.Box(0, 0, DEVICE_PITCH - 20_000, DEVICE_PITCH - 20_000))
    curves = max(2, budget // 100)
    for k in range(curves):
        points = CURVE_POINTS[(index + k) % len(CURVE_POINTS)]
        draw_curve(drawing, cell, index + k, 40_000 + (k % 8) * 45_000, 40_000 + (k // 8) * 45_000, points)
    routes = max(2, budget // 10)
    for k in range(routes):
        gds_layer, width = (SI, 500) if k % 3 else (ROUTER, 3_000)
        path = route(5_000 + (k % 40) * 9_000, 5_000 + (k // 40) * 7_000, 2 + k % 5, 4_000 + 13 * k)
        drawing.shapes(cell, gds_layer).insert(kdb.Path(path, width))
    boxes = max(4, budget - 1 - curves - routes)
    for k in range(boxes):
        gds_layer = (SI, SI, SIN, HEATER, ROUTER)[k % 5]
        x, y = (k % 300) * 1_200, (k // 300) * 1_000
        drawing.shapes(cell, gds_layer).insert(kdb.Box(x, y, x + 300 + 7 * (k % 50), y + 600 + index % 200))
    drawing.shapes(cell, TEXT).insert(kdb.Text(f"device_{index}", kdb.Trans(1_000, 1_000)))
    drawing.shapes(cell, TEXT).insert(kdb.Text("opt_in_TE_1550", kdb.Trans(2_000, 2_000)))
    drawing.shapes(cell, ROUTER).insert(kdb.Text("pin1", kdb.Trans(3_000, 3_000)))
    return cell


# ---- placements ---------------------------------------------------------------------

def placement(j, x, y, block):
    """Simple placements at the four right angles, some mirrored; one in
    eight at an odd angle and magnification."""
    if j % DEVICES_PER_BLOCK == 5:
        return kdb.ICplxTrans(1.25, 17.5 + 5.3 * (block % 7), False, x, y)
    return kdb.Trans(j % 4, j % 3 == 0, x, y)


def block(drawing, index, devices, tile, ring):
    """Places eight devices, a fill array, a micro ring array and a rotated
    array; draws a few routes of its own."""
    cell = drawing.cell(f"block_{index}")
    side = 3 * DEVICE_PITCH
    for j in range(DEVICES_PER_BLOCK):
        target = devices[(index * DEVICES_PER_BLOCK + j) % len(devices)]
        x, y = (j % 3) * DEVICE_PITCH + DEVICE_PITCH // 2, (j // 3) * DEVICE_PITCH + DEVICE_PITCH // 2
        cell.insert(kdb.CellInstArray(target.cell_index(), placement(j, x, y, index)))
    step_x, step_y = kdb.Vector(2_000, 0), kdb.Vector(0, 2_000)
    cell.insert(kdb.CellInstArray(tile.cell_index(), kdb.Trans(side - 60_000, 0), step_x, step_y, 8, 4))
    cell.insert(kdb.CellInstArray(ring.cell_index(), kdb.Trans(1, False, side - 60_000, 40_000),
                                  kdb.Vector(8_000, 0), kdb.Vector(0, 8_000), 4, 4))
    cell.insert(kdb.CellInstArray(ring.cell_index(), kdb.ICplxTrans(1.0, 30.0, False, side - 30_000, 90_000),
                                  kdb.Vector(8_000, 0), kdb.Vector(0, 8_000), 3, 2))
    drawing.shapes(cell, FLOORPLAN).insert(kdb.Box(0, 0, side, side))
    for k in range(4):
        drawing.shapes(cell, ROUTER).insert(kdb.Path(route(0, 50_000 * k, 3, 100_000), 5_000))
    drawing.shapes(cell, TEXT).insert(kdb.Text(f"block_{index}", kdb.Trans(0, 0)))
    return cell


def top_placements(drawing, top, blocks, ring):
    """Blocks on a grid, turned and mirrored in turn; one at an odd angle
    and scale; plus a micro ring array."""
    columns = max(1, math.isqrt(len(blocks)))
    pitch = 3 * DEVICE_PITCH + 200_000
    for i, cell in enumerate(blocks):
        x, y = (i % columns) * pitch, (i // columns) * pitch
        trans = (kdb.ICplxTrans(0.8, 33.7, True, x, y) if i % 11 == 7
                 else kdb.Trans((i % 2) * 2, i % 5 == 4, x, y))
        top.insert(kdb.CellInstArray(cell.cell_index(), trans))
    top.insert(kdb.CellInstArray(ring.cell_index(), kdb.Trans(-100_000, -100_000),
                                 kdb.Vector(10_000, 0), kdb.Vector(0, 10_000), 20, 20))


# ---- the two designs ----------------------------------------------------------------

def scaled_chip(size):
    """About `size` distinct shapes in about sqrt(size)/2 devices, grouped
    eight to a block under one top cell (four levels)."""
    drawing = Drawing()
    top = drawing.cell("TOP")
    tile, ring = unit_cells(drawing)
    count = max(DEVICES_PER_BLOCK, round(math.sqrt(size) / 2))
    block_count = math.ceil(count / DEVICES_PER_BLOCK)
    budget = max(10, (size - 10 * block_count - 7) // count)
    devices = [device(drawing, i, budget) for i in range(count)]
    blocks = [block(drawing, i, devices, tile, ring) for i in range(block_count)]
    top_placements(drawing, top, blocks, ring)
    return drawing.layout


def array_chip(placements=1_000_000, units=10):
    """A unit placed `placements` times: an array of tiles, as near square
    as the count allows, of a tile that holds a units x units array of the
    unit (a million: 100 x 100 tiles)."""
    tiles, rest = divmod(placements, units * units)
    if rest or not tiles:
        raise ValueError(f"{placements} placements is no multiple of {units * units}")
    columns = max(d for d in range(1, math.isqrt(tiles) + 1) if tiles % d == 0)
    drawing = Drawing()
    top = drawing.cell("TOP")
    unit = drawing.cell("array_unit")
    drawing.shapes(unit, SI).insert(ring_outline(0, 0, 1_500, 300, 64))
    drawing.shapes(unit, SIN).insert(kdb.Box(-1_800, -1_900, 1_800, -1_700))
    drawing.shapes(unit, HEATER).insert(kdb.Path(route(-1_800, 1_800, 2, 1_000), 200))
    drawing.shapes(unit, TEXT).insert(kdb.Text("u", kdb.Trans(0, 0)))
    tile = drawing.cell("array_tile")
    tile.insert(kdb.CellInstArray(unit.cell_index(), kdb.Trans(0, 0),
                                  kdb.Vector(4_000, 0), kdb.Vector(0, 4_000), units, units))
    drawing.shapes(tile, FLOORPLAN).insert(kdb.Box(-2_000, -2_000, units * 4_000, units * 4_000))
    drawing.shapes(tile, ROUTER).insert(kdb.Box(-2_000, -2_000, units * 4_000, -1_000))
    pitch = units * 4_000 + 5_000
    top.insert(kdb.CellInstArray(tile.cell_index(), kdb.Trans(0, 0),
                                 kdb.Vector(pitch, 0), kdb.Vector(0, pitch), columns, tiles // columns))
    return drawing.layout


def singles_chip(placements=1_000_000):
    """One small square placed `placements` times, each a single placement of
    its own (as a logo drawn from squares, or a placed-and-routed block's
    cells, holds them), on the dots of a grid that a pattern leaves out here
    and there, so that no array could stand for them."""
    drawing = Drawing()
    top = drawing.cell("TOP")
    dot = drawing.cell("dot")
    drawing.shapes(dot, SI).insert(kdb.Box(0, 0, 50, 50))
    columns = math.isqrt(placements) + 1
    placed, index = 0, 0
    while placed < placements:
        row, column = divmod(index, columns)
        index += 1
        if (row * 7 + column * 3) % 11 == 0:  # a gap
            continue
        top.insert(kdb.CellInstArray(dot.cell_index(), kdb.Trans(column * 60, row * 60)))
        placed += 1
    return drawing.layout


def write_gds(layout, path):
    """Writes through a temporary name, so an interrupted run leaves no
    half-written file in the cache."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f"partial-{os.getpid()}-{path.name}")
    layout.write(str(partial))
    partial.replace(path)


def cached_file(cache, size=None, placements=None, singles=None):
    """The cache path of a design: the array design when placements is given,
    the single placements' when singles is."""
    if singles is not None:
        return Path(cache) / f"singles-v{VERSION}-{singles}.gds"
    if placements is not None:
        return Path(cache) / f"array-v{VERSION}-{placements}.gds"
    return Path(cache) / f"synthetic-v{VERSION}-{size}.gds"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    choice = parser.add_mutually_exclusive_group(required=True)
    choice.add_argument("--size", type=int, help="distinct shapes wanted")
    choice.add_argument("--array", type=int, metavar="PLACEMENTS",
                        help="the array design, placing its unit this many times")
    choice.add_argument("--singles", type=int, metavar="PLACEMENTS",
                        help="the design of single placements, this many of one square")
    parser.add_argument("--cache", required=True, type=Path, help="folder of generated files")
    args = parser.parse_args(argv)
    path = cached_file(args.cache, args.size, args.array, args.singles)
    if not path.exists():
        if args.singles is not None:
            layout = singles_chip(args.singles)
        else:
            layout = scaled_chip(args.size) if args.array is None else array_chip(args.array)
        write_gds(layout, path)
    print(path)


if __name__ == "__main__":
    main()

"""The main job: build a small photonic demo layout with KLayout and show it in 3D
with the default kit.

Ring resonators (curved outlines), a waveguide array, a heater on the metal
layer, placed with rotations, a magnified and rotated placement and an array.
"""

import argparse
import math
import sys

import klayout.db as kdb

from orvalis import Component
from tessarand import report
from tessarand.core import communication
from tessarand.core import show3d

SI, HEATER, ROUTER, FLOORPLAN = (1, 0), (11, 0), (12, 0), (99, 0)


def arc(radius: float, start: float, stop: float, points: int = 128) -> list[kdb.DPoint]:
    step = (stop - start) / (points - 1)
    return [kdb.DPoint(radius * math.cos(math.radians(start + i * step)),
                       radius * math.sin(math.radians(start + i * step))) for i in range(points)]


def ring_cell(layout: kdb.Layout, radius: float, gap: float = 0.2, width: float = 0.5) -> kdb.Cell:
    """A ring (two half rings, so every outline is a single contour), its bus
    waveguide and a heater arc on the metal layer."""
    cell = layout.create_cell(f"ring_r{radius:g}")
    si, heater = layout.layer(*SI), layout.layer(*HEATER)
    for start in (0.0, 180.0):
        cell.shapes(si).insert(kdb.DPath(arc(radius, start, start + 180.0), width))
    bus_y = -radius - gap - width
    cell.shapes(si).insert(kdb.DBox(-radius - 5.0, bus_y - width / 2, radius + 5.0, bus_y + width / 2))
    cell.shapes(heater).insert(kdb.DPath(arc(radius, 20.0, 160.0, 64), 2.0))
    return cell


def waveguide_array(layout: kdb.Layout, count: int = 8, pitch: float = 2.0, length: float = 60.0) -> kdb.Cell:
    cell = layout.create_cell("waveguide_array")
    si = layout.layer(*SI)
    for i in range(count):
        cell.shapes(si).insert(kdb.DBox(0.0, i * pitch, length, i * pitch + 0.5))
    return cell


def build_demo_layout() -> kdb.Layout:
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("demo_chip")
    ring_small, ring_large = ring_cell(layout, 5.0), ring_cell(layout, 10.0)
    array = waveguide_array(layout)
    place = top.insert
    for angle, x in ((0, 0.0), (90, 40.0), (180, 80.0)):
        place(kdb.DCellInstArray(ring_small.cell_index(), kdb.DTrans(angle // 90, False, x, 0.0)))
    place(kdb.DCellInstArray(ring_large.cell_index(), kdb.DTrans(kdb.DVector(0.0, 60.0)),
                             kdb.DVector(40.0, 0.0), kdb.DVector(0.0, 40.0), 3, 2))
    place(kdb.DCellInstArray(ring_small.cell_index(), kdb.DCplxTrans(1.5, 30.0, False, 160.0, 80.0)))
    place(kdb.DCellInstArray(array.cell_index(), kdb.DTrans(0, True, -80.0, -20.0)))
    top.shapes(layout.layer(*ROUTER)).insert(kdb.DBox(-10.0, 150.0, 120.0, 160.0))
    top.shapes(layout.layer(*FLOORPLAN)).insert(kdb.DBox(-100.0, -60.0, 200.0, 180.0))
    return layout


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="demo", description="Build the demo layout and show it in 3D.")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    args = parser.parse_args(argv)

    layout = build_demo_layout()
    gds = communication.page_folder() / "demo_chip.gds"
    component = Component.from_layout(layout)
    component.write_gds(gds)
    print(f"demo layout written to {gds}")
    conversion = report.show3d_with_report(component, show3d.Output.LAYER, progress=sys.stderr)
    print("scene converted with the default kit:")
    report.print_report(conversion)
    if args.open:
        print(report.open_page(conversion.path))
    print(f"page with the 3D view: {conversion.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Command line: convert a GDS file into a 3D viewer message.

    show3d FILE.gds [--kit ebeam|sg13g2] [--mode layer|cell] [--exclude PATTERN ...] [--json OUT]
"""

import argparse
import sys
from pathlib import Path
from types import SimpleNamespace

from orvalis import pdk
from tessarand.core import communication
from tessarand.core import show3d as viewer


def send_and_report(component, output, **options) -> Path:
    """Run show3d and return the path of the message it sent."""
    sent = []

    def send(message):
        path = communication.send_message(message)
        sent.append((path, message))
        return path

    # show3d reads its messaging service from the module namespace at call
    # time; lending it a recording sender tells us where the message went.
    original = viewer.comms
    viewer.comms = SimpleNamespace(send_message=send)
    try:
        viewer.show3d(component, output, **options)
    finally:
        viewer.comms = original
    return sent[0]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="show3d", description="Convert a GDS file into a 3D viewer scene.")
    parser.add_argument("gds", metavar="FILE.gds", help="the GDS file to convert")
    parser.add_argument("--kit", default="ebeam", help="process kit: " + ", ".join(pdk.available_pdks()))
    parser.add_argument("--mode", choices=("layer", "cell"), default="layer",
                        help="one tree per layer (default) or the cell hierarchy")
    parser.add_argument("--exclude", nargs="+", default=None, metavar="PATTERN",
                        help="layer name patterns to leave out (case-insensitive wildcards)")
    parser.add_argument("--json", metavar="OUT", type=Path, help="also write the message JSON to OUT")
    return parser.parse_args(argv)


def convert(args) -> int:
    if args.kit not in pdk.available_pdks():
        raise ValueError(f"unknown kit {args.kit!r} (known: {', '.join(pdk.available_pdks())})")
    pdk.activate_pdk(args.kit)
    output = viewer.Output.LAYER if args.mode == "layer" else viewer.Output.CELL
    path, message = send_and_report(str(args.gds), output, exclude_layers=args.exclude)
    print(f"{args.gds}: converted with kit {args.kit!r} in {args.mode} mode")
    print(f"message sent to the viewer: {path} ({len(message.content):,} characters)")
    if args.json:
        args.json.write_text(message.content, encoding="utf-8")
        print(f"message JSON written to {args.json}")
    return 0


def main(argv=None) -> int:
    args = parse_arguments(argv)
    try:
        return convert(args)
    except (OSError, ValueError, RuntimeError) as error:
        print(f"show3d: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

"""Command line: convert a GDS file into a 3D viewer page.

    show3d FILE.gds [--kit ebeam|sg13g2] [--mode layer|cell] [--exclude PATTERN ...] [--json OUT] [--open]
    show3d --version
"""

import argparse
import sys
from pathlib import Path

from orvalis import pdk
from tessarand import report
from tessarand.core import show3d
from tessarand.version import package_version


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="show3d", description="Convert a GDS file into a 3D viewer page.")
    parser.add_argument("gds", metavar="FILE.gds", help="the GDS file to convert")
    parser.add_argument("--kit", default="ebeam", help="process kit: " + ", ".join(pdk.available_pdks()))
    parser.add_argument("--mode", choices=("layer", "cell"), default="layer",
                        help="one tree per layer (default) or the cell hierarchy")
    parser.add_argument("--exclude", nargs="+", default=None, metavar="PATTERN",
                        help="layer name patterns to leave out (case-insensitive wildcards)")
    parser.add_argument("--json", metavar="OUT", type=Path, help="also write the message JSON to OUT")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    return parser.parse_args(argv)


def convert(args) -> int:
    if args.kit not in pdk.available_pdks():
        raise ValueError(f"unknown kit {args.kit!r} (known: {', '.join(pdk.available_pdks())})")
    pdk.activate_pdk(args.kit)
    output = show3d.Output.LAYER if args.mode == "layer" else show3d.Output.CELL
    conversion = report.show3d_with_report(str(args.gds), output, progress=sys.stderr,
                                           exclude_layers=args.exclude)
    print(f"{args.gds}: converted with kit {args.kit!r} in {args.mode} mode")
    report.print_report(conversion)
    if args.json:
        args.json.write_text(conversion.message.content, encoding="utf-8")
        print(f"message JSON written to {args.json}")
    if args.open:
        report.open_page(conversion.path)
    print(f"page with the 3D view: {conversion.path}")
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

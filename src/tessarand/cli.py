"""Command line: convert a layout file into a 3D viewer page.

    show3d FILE [--kit NAME | --stack FILE.toml [--lyp FILE.lyp]] [--mode layer|cell]
           [--top CELL] [--exclude PATTERN]... [--z-scale F] [--tolerance UM | --no-simplify]
           [--out PAGE.html] [--json OUT] [--allow-empty] [--open]
    show3d --version
"""

import argparse
import contextlib
import shutil
import sys
import tempfile
from pathlib import Path

from orvalis import pdk
from tessarand import report
from tessarand.core import communication
from tessarand.core import show3d
from tessarand.version import package_version

INTERRUPTED = 130  # the shell's status for a command ended by Ctrl-C


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="show3d", description="Convert a layout file into a 3D viewer page.")
    parser.add_argument("layout", metavar="FILE",
                        help="the layout to convert: GDS, gzipped GDS, OASIS or any format KLayout reads")
    stack = parser.add_mutually_exclusive_group()
    stack.add_argument("--kit", help="built-in process kit: " + ", ".join(pdk.available_pdks()) + " (default ebeam)")
    stack.add_argument("--stack", metavar="FILE.toml", type=Path,
                       help="layer-stack file of the process (see the README for its format)")
    parser.add_argument("--lyp", metavar="FILE.lyp", type=Path,
                        help="KLayout layer properties: colours and names the stack file does not give")
    parser.add_argument("--mode", choices=("layer", "cell"), default="layer",
                        help="one tree per layer (default) or the cell hierarchy")
    parser.add_argument("--top", metavar="CELL", help="show only this cell and what it places")
    parser.add_argument("--exclude", action="append", metavar="PATTERN",
                        help="leave out a layer: its name (any case), L/D, or a wildcard; may be repeated")
    parser.add_argument("--z-scale", type=_positive, default=1.0, metavar="F",
                        help="stretch heights by F (default 1)")
    simplify = parser.add_mutually_exclusive_group()
    simplify.add_argument("--tolerance", type=_non_negative, default=None, metavar="UM",
                          help="simplify curves to within UM micrometres (default 0.01)")
    simplify.add_argument("--no-simplify", action="store_true",
                          help="keep every outline point")
    parser.add_argument("--out", metavar="PAGE.html", type=Path,
                        help="write the page here (default: a new file in $TESSARAND_VIEWER_DIR)")
    parser.add_argument("--json", metavar="OUT", type=Path, help="also write the message JSON to OUT")
    parser.add_argument("--allow-empty", action="store_true",
                        help="write the page even when no layer of the layout would be shown")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    args = parser.parse_args(argv)
    if args.lyp and not args.stack:
        parser.error("--lyp needs --stack: it fills in what a stack file leaves out")
    return args


def _positive(text: str) -> float:
    value = _number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a number above 0, got {text!r}")
    return value


def _non_negative(text: str) -> float:
    value = _number(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"expected a number of 0 or more, got {text!r}")
    return value


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def convert(args, page_dir: Path | None = None) -> int:
    kit = _activate_kit(args)
    for option, path in (("--out", args.out), ("--json", args.json)):
        _check_writable(option, path)
    output = show3d.Output.LAYER if args.mode == "layer" else show3d.Output.CELL
    # No tolerance switches simplification off; show3d's default (0.01) switches it on.
    if args.no_simplify:
        simplify = {"curve_tolerance": None}
    else:
        simplify = {} if args.tolerance is None else {"curve_tolerance": args.tolerance}
    conversion = report.show3d_with_report(
        args.layout, output, progress=sys.stderr, top=args.top, exclude=args.exclude,
        allow_empty=args.allow_empty, page=args.out, page_dir=page_dir, z_scale=args.z_scale, **simplify)
    tops = conversion.top_cells
    cells = f"top cell {tops[0]}" if len(tops) == 1 else f"{len(tops)} top cells at one origin (pick one with --top)"
    print(f"{args.layout}: converted with kit {kit.name!r} in {args.mode} mode, {cells}")
    report.print_report(conversion)
    # The page first: a later step that fails does not hide where it went.
    print(f"page with the 3D view: {conversion.path}", flush=True)
    if args.json:
        communication.write_file(args.json, conversion.message.content.encode("utf-8"))
        print(f"message JSON written to {args.json}")
    if args.open:
        report.open_page(conversion.path)
    return 0


def _activate_kit(args) -> pdk.Pdk:
    if args.stack:
        return pdk.load_pdk(args.stack, lyp=args.lyp)
    name = args.kit or "ebeam"
    if name not in pdk.available_pdks():
        raise ValueError(f"unknown kit {name!r} (known: {', '.join(pdk.available_pdks())})")
    return pdk.activate_pdk(name)


def _check_writable(option: str, path: Path | None):
    """Refuse an output path that cannot be written before the long work starts."""
    if path is None:
        return
    if path.is_dir():
        raise IsADirectoryError(f"{option} {path} is a directory, not a file")
    if not path.parent.is_dir():
        raise FileNotFoundError(f"{option} {path}: no directory {path.parent}")


@contextlib.contextmanager
def private_temp_dir():
    """Temporary files of the run (such as the copy of the layout the conversion
    writes) go to a folder of their own, removed at the end however the run ends."""
    folder = tempfile.mkdtemp(prefix="show3d-run-")
    previous, tempfile.tempdir = tempfile.tempdir, folder
    try:
        yield
    finally:
        tempfile.tempdir = previous
        shutil.rmtree(folder, ignore_errors=True)


def error_text(error: Exception) -> str:
    """One line for the user; OS errors name their file rather than an errno."""
    if isinstance(error, OSError) and error.strerror and error.filename:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def main(argv=None) -> int:
    args = parse_arguments(argv)
    try:
        # The default page folder is found before temporary files are redirected.
        page_dir = None if args.out else communication.viewer_dir()
        with private_temp_dir():
            return convert(args, page_dir)
    except KeyboardInterrupt:
        print("show3d: interrupted", file=sys.stderr)
        return INTERRUPTED
    except (OSError, ValueError, RuntimeError) as error:
        print(f"show3d: error: {error_text(error)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

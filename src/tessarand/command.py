"""The show3d command: its options, the checks before the work, the conversion
and what it prints. Entered through `tessarand.cli`, which owns the signals."""

import argparse
import contextlib
import importlib
import os
import shutil
import signal
import sys
import tempfile
from pathlib import Path

from orvalis import pdk
from tessarand import outputs
from tessarand.core.lazy import lazy_import

# The conversion's modules take most of a run's start-up (KLayout and numpy
# above all), so they load only once the options ask for a conversion (see
# load_conversion): --help, --version and options argparse refuses never pay
# for them.
report = lazy_import("tessarand.report")
communication = lazy_import("tessarand.core.communication")
show3d = lazy_import("tessarand.core.show3d")
# Reads package metadata: only for --version.
version = lazy_import("tessarand.version")

BROKEN_PIPE = 128 + signal.SIGPIPE  # as if the pipe's signal had ended the command
# Heights, stretched, stay within what a chip can be (micrometres).
LARGEST_Z_SCALE = 1000.0
LARGEST_TOLERANCE = 1000.0
# The conversion's budgets, which the core reads from the environment.
LIMIT_VARIABLES = {"max_placements": "TESSARAND_MAX_PLACEMENTS", "max_polygons": "TESSARAND_MAX_POLYGONS"}


def run(argv, signals) -> int:
    """The command on `argv`; errors become one line and exit status 1. A stop
    signal (`signals`, see tessarand.cli) is left to the caller, whatever
    exception the code it cut short turned it into."""
    out = Output()
    try:
        args = parse_arguments(argv)
        load_conversion(args, signals)
        status = convert(args, out, signals)
    except (OSError, ValueError, RuntimeError, MemoryError, RecursionError, OverflowError) as error:
        if signals.received is not None:
            raise
        if isinstance(error, BrokenPipeError) and error.filename is None:
            return BROKEN_PIPE
        say_error(f"error: {error_text(error)}")
        return 1
    return BROKEN_PIPE if out.broken else status


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="show3d", description="Convert a layout file into a 3D viewer page.")
    parser.add_argument("layout", metavar="FILE", type=Path,
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
    parser.add_argument("--z-scale", type=_bounded(0.0, LARGEST_Z_SCALE, low_included=False), default=1.0,
                        metavar="F", help=f"stretch heights by F (default 1, at most {LARGEST_Z_SCALE:g})")
    simplify = parser.add_mutually_exclusive_group()
    simplify.add_argument("--tolerance", type=_bounded(0.0, LARGEST_TOLERANCE, low_included=True), default=None,
                          metavar="UM", help="simplify curves to within UM micrometres (default 0.01)")
    simplify.add_argument("--no-simplify", action="store_true",
                          help="keep every outline point")
    parser.add_argument("--max-placements", type=_count, metavar="N",
                        help="refuse a layout that places cells more than N times when flattened "
                             "(default 20,000,000; memory grows with it)")
    parser.add_argument("--max-polygons", type=_count, metavar="N",
                        help="refuse a layout of more than N distinct polygons (default 5,000,000)")
    parser.add_argument("--out", metavar="PAGE.html", type=Path,
                        help="write the page here (default: a new file in $TESSARAND_VIEWER_DIR)")
    parser.add_argument("--json", metavar="OUT", type=Path, help="also write the message JSON to OUT")
    parser.add_argument("--allow-empty", action="store_true",
                        help="write the page even when no layer of the layout would be shown")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument("--version", action=VersionAction)
    args = parser.parse_args(argv)
    if args.lyp and not args.stack:
        parser.error("--lyp needs --stack: it fills in what a stack file leaves out")
    return args


class VersionAction(argparse._VersionAction):
    """argparse's own --version, its number found only when asked for."""

    def __call__(self, parser, namespace, values, option_string=None):
        self.version = f"%(prog)s {version.package_version()}"
        super().__call__(parser, namespace, values, option_string)


def load_conversion(args, signals):
    """Import the modules the conversion of `args` needs, while stop signals
    wait (see tessarand.cli) rather than in the middle of the run: some imports
    report being cut short on standard error before failing, and a signal at
    the very end of an import is reported with a traceback. Shapely simplifies
    curves, so a run that keeps every point does without it."""
    needed = ["klayout.db", "tessarand.core.show3d", "tessarand.core.shared", "tessarand.report"]
    if not args.no_simplify:
        needed.append("shapely")
    if args.open:
        needed.append("webbrowser")
    with signals.held():
        for name in needed:
            importlib.import_module(name)


def _bounded(low: float, high: float, low_included: bool):
    """An argument type: a number from `low` (or above it) to `high`."""
    def number(text: str) -> float:
        value = _number(text)
        above_low = value >= low if low_included else value > low
        if not (above_low and value <= high):  # nan fails both
            start = f"of {low:g} or more" if low_included else f"above {low:g}"
            raise argparse.ArgumentTypeError(f"expected a number {start} and at most {high:g}, got {text!r}")
        return value
    return number


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def _count(text: str) -> int:
    try:
        value = int(text.replace("_", "").replace(",", ""))
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a whole number above 0, got {text!r}")
    return value


def convert(args, out, signals) -> int:
    # Loading a kit imports its modules and stack file: see load_conversion.
    with signals.held():
        kit = _activate_kit(args)
    _check_outputs(args)
    # The default page folder is found before temporary files are redirected.
    page_dir = None if args.out else communication.page_folder()
    output = show3d.Output.LAYER if args.mode == "layer" else show3d.Output.CELL
    # No tolerance switches simplification off; show3d's default (0.01) switches it on.
    if args.no_simplify:
        simplify = {"curve_tolerance": None}
    else:
        simplify = {} if args.tolerance is None else {"curve_tolerance": args.tolerance}
    with unsaid_pages_removed(signals) as new_pages:
        with private_temp_dir(signals), _limits(args):
            conversion = report.show3d_with_report(
                args.layout, output, progress=sys.stderr, top=args.top, exclude=args.exclude,
                allow_empty=args.allow_empty, page=args.out, page_dir=page_dir, message=args.json is not None,
                new_pages=new_pages, z_scale=args.z_scale, **simplify)
        tops = conversion.top_cells
        cells = f"top cell {tops[0]}" if len(tops) == 1 else (
            f"{len(tops)} top cells at one origin, the largest {', '.join(tops[:3])} (pick one with --top)")
        out.say(f"{args.layout}: converted with kit {kit.name!r} in {args.mode} mode, {cells}")
        out.say(report.report_text(conversion))
        # The page first: a later step that fails does not hide where it went.
        out.say(f"page with the 3D view: {conversion.path}")
    if args.json:
        outputs.write_file(args.json, conversion.message.encode("utf-8"))
        out.say(f"message JSON written to {args.json}")
    if args.open:
        out.say(report.open_page(conversion.path))
    return 0


def _activate_kit(args):
    if args.stack:
        return pdk.load_pdk(args.stack, lyp=args.lyp)
    name = args.kit or "ebeam"
    if name not in pdk.available_pdks():
        raise ValueError(f"unknown kit {name!r} (known: {', '.join(pdk.available_pdks())})")
    return pdk.activate_pdk(name)


def _check_outputs(args):
    """Refuse, before the long work starts, an output that cannot be written or
    that would overwrite an input."""
    inputs = [("the input", args.layout), ("--stack", args.stack), ("--lyp", args.lyp)]
    written = []
    for option, path in (("--out", args.out), ("--json", args.json)):
        if path is not None:
            outputs.check_output(option, path, inputs, earlier=written)
            written.append((option, path))


@contextlib.contextmanager
def _limits(args):
    """The budgets given on the command line, for the conversion to read."""
    given = {LIMIT_VARIABLES[name]: str(value) for name in LIMIT_VARIABLES
             if (value := getattr(args, name)) is not None}
    previous = {name: os.environ.get(name) for name in given}
    os.environ.update(given)
    try:
        yield
    finally:
        for name, value in previous.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def unsaid_pages_removed(signals):
    """Gives a list for the conversion to add the new pages it writes to, and
    removes them should the block fail: a run cut short before it says where
    its page went leaves none behind. A stop signal may come between the two,
    while the run frees the layout and its temporary files."""
    new_pages = []
    try:
        yield new_pages
    except BaseException:
        with signals.held():
            for path in new_pages:
                path.unlink(missing_ok=True)
        raise


@contextlib.contextmanager
def private_temp_dir(signals):
    """Temporary files of the run (such as the copy of the layout the conversion
    writes) go to a folder of their own, removed at the end however the run ends."""
    folder = tempfile.mkdtemp(prefix="show3d-run-")
    previous, tempfile.tempdir = tempfile.tempdir, folder
    try:
        yield
    finally:
        with signals.held():
            tempfile.tempdir = previous
            shutil.rmtree(folder, ignore_errors=True)


def error_text(error: BaseException) -> str:
    """One line for the user; OS errors name their file rather than an errno, and
    the budgets name the options that raise them."""
    if isinstance(error, OSError) and error.strerror and error.filename:
        return f"{error.filename}: {error.strerror}"
    text = str(error)
    if isinstance(error, MemoryError):
        for name, variable in LIMIT_VARIABLES.items():
            text = text.replace(f"set {variable} to allow more", f"raise it with --{name.replace('_', '-')}")
    return text or type(error).__name__


class Output:
    """Standard output that a closed reader (`show3d ... | head`) does not stop:
    the run goes on without printing and ends with the status of a broken pipe."""

    def __init__(self):
        self.broken = False

    def say(self, text: str):
        if self.broken:
            return
        try:
            print("\n".join(report.printable(line) for line in text.split("\n")), flush=True)
        except BrokenPipeError:
            self.broken = True
            # Nothing more reaches the pipe, not even Python's flush at exit.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)


def say_error(text: str):
    try:
        print(f"show3d: {report.printable(text)}", file=sys.stderr, flush=True)
    except OSError:
        pass

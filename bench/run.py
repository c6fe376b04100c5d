"""Benchmark of show3d: where the time and memory of a conversion go, against
KLayout's own read of the same file.

    python bench/run.py [--quick] [--sizes 10k 200k 2M ...] [--repeat N] [--out FILE.md]
    python bench/run.py --profile synthetic-2M [--mode layer] [--simplify off]

Every (workload, mode, simplification) setting is measured by bench/measure.py
in two fresh subprocesses, one per road (the user path, show3d.show3d on the
file, and the parser driven step by step); this process only generates the
synthetic layouts (through bench/synthetic.py), collects the results and
prints the tables.
"""

import argparse
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
CACHE = BENCH / ".cache"
SAMPLES = Path(__file__).resolve().parents[2] / "shared" / "layouts"
DEFAULT_SIZES = ("10k", "50k", "200k", "1M", "2M")
ARRAY_SIZES = ("10k", "100k", "1M", "10M")  # placements of the array unit
QUICK_ARRAYS = ("10k", "100k")
SINGLES_SIZES = ("1M",)  # single placements of one square
QUICK_SAMPLES = ("siepic_ring_resonator", "ihp_sg13g2_stdcell")
USER_PATH_SAMPLES = ("ihp_sram_1p_1024x16", "ihp_sg13g2_stdcell")  # the user path goals' samples
PLACEMENT_HEAVY = ("ihp_sram_", "array-")  # name prefixes of the placement-heavy workloads
BIG = 1_000_000  # distinct shapes (or placements) from which one run is enough
STEPS_LIMIT = 1_000_000  # placements beyond which only the user path is measured
TOLERANCE = 0.01
MODES = ("cell", "layer")


# ---- workloads -----------------------------------------------------------------------

def size_label(size):
    for unit, factor in (("M", 1_000_000), ("k", 1_000)):
        if size % factor == 0:
            return f"{size // factor}{unit}"
    return str(size)


def parse_size(text):
    factors = {"k": 1_000, "m": 1_000_000}
    unit = text[-1].lower()
    return int(float(text[:-1]) * factors[unit]) if unit in factors else int(text)


@dataclass
class Workload:
    name: str
    kit: str
    path: Path | None = None  # a sample layout; synthetic ones are generated
    size: int | None = None   # distinct shapes of a synthetic layout
    placements: int | None = None  # of the unit, in an array layout
    singles: int | None = None  # single placements of one square
    big: bool = False
    steps: bool = True  # measure the step-by-step road too

    def gds(self):
        """The GDS file, generating a synthetic one into the cache if needed."""
        if self.path is None:
            if self.singles:
                which = ["--singles", str(self.singles)]
            else:
                which = ["--size", str(self.size)] if self.size else ["--array", str(self.placements)]
            command = [sys.executable, str(BENCH / "synthetic.py"), "--cache", str(CACHE), *which]
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            self.path = Path(done.stdout.strip().splitlines()[-1])
        return self.path


def sample_workloads(names=None):
    files = sorted(SAMPLES.glob("*.gds"))
    return [Workload(f.stem, "sg13g2" if f.stem.startswith("ihp_") else "ebeam", path=f)
            for f in files if names is None or f.stem in names]


def synthetic_workload(size):
    return Workload(f"synthetic-{size_label(size)}", "ebeam", size=size, big=size >= BIG)


def array_workload(placements):
    return Workload(f"array-{size_label(placements)}", "ebeam", placements=placements,
                    big=placements >= BIG, steps=placements <= STEPS_LIMIT)


def singles_workload(placements):
    return Workload(f"singles-{size_label(placements)}", "ebeam", singles=placements,
                    big=placements >= BIG, steps=placements <= STEPS_LIMIT)


def all_workloads(sizes):
    return (sample_workloads() + [synthetic_workload(s) for s in sizes]
            + [array_workload(parse_size(a)) for a in ARRAY_SIZES]
            + [singles_workload(parse_size(a)) for a in SINGLES_SIZES])


def chosen_workloads(args):
    if args.quick:
        return (sample_workloads(QUICK_SAMPLES) + [synthetic_workload(min(args.sizes))]
                + [array_workload(parse_size(a)) for a in QUICK_ARRAYS])
    workloads = all_workloads(args.sizes)
    if args.only:
        workloads = [w for w in workloads if any(part in w.name for part in args.only)]
    return workloads


def find_workload(name, sizes):
    """A workload by name; "synthetic-<size>" and "array-<size>" work for any size."""
    if name.startswith("synthetic-"):
        return synthetic_workload(parse_size(name.removeprefix("synthetic-")))
    if name.startswith("array-"):
        return array_workload(parse_size(name.removeprefix("array-")))
    if name.startswith("singles-"):
        return singles_workload(parse_size(name.removeprefix("singles-")))
    for workload in all_workloads(sizes):
        if workload.name == name:
            return workload
    raise SystemExit(f"unknown workload {name!r}")


# ---- running the settings -----------------------------------------------------------

def run_setting(workload, mode, tolerance, repeat, road):
    """Measures one setting on one road ("steps" or "user") in a fresh
    subprocess; None when it failed."""
    job = {"path": str(workload.gds()), "kit": workload.kit, "mode": mode,
           "tolerance": tolerance, "repeat": repeat, "road": road}
    command = [sys.executable, str(BENCH / "measure.py"), json.dumps(job)]
    done = subprocess.run(command, capture_output=True, text=True)
    for line in reversed(done.stdout.splitlines()):
        if line.startswith("RESULT "):
            return json.loads(line.removeprefix("RESULT "))
    print(f"  failed (exit status {done.returncode}):\n{done.stderr[-2000:]}", file=sys.stderr)
    return None


def run_all(workloads, repeat):
    results = []
    for workload in workloads:
        start = time.perf_counter()
        path = workload.gds()
        print(f"{workload.name}: {path} ({time.perf_counter() - start:.1f} s to prepare)",
              file=sys.stderr, flush=True)
        runs = 1 if workload.big else max(1, repeat)
        for mode in MODES:
            for tolerance in (TOLERANCE, None):
                start = time.perf_counter()
                print(f"  {mode} mode, simplify {simplify_label(tolerance)}, {runs} run(s) ...",
                      end=" ", file=sys.stderr, flush=True)
                user = run_setting(workload, mode, tolerance, runs, "user")
                result = (run_setting(workload, mode, tolerance, runs, "steps")
                          if workload.steps else None)
                print(f"{time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
                results.append({"workload": workload.name, "mode": mode, "tolerance": tolerance,
                                "repeat": runs, "result": result, "user": user,
                                "steps": workload.steps})
    return results


# ---- formatting ------------------------------------------------------------------------

def simplify_label(tolerance):
    return "off" if tolerance is None else str(tolerance)


def number(value, digits=3):
    """A number with about three significant digits, without exponent."""
    if value is None:
        return "–"
    if value == 0 or abs(value) >= 10 ** (digits - 1):
        return f"{value:,.0f}"
    decimals = digits - 1 - int(f"{abs(value):e}".split("e")[1])
    return f"{value:,.{max(0, decimals)}f}"


def table(headers, rows):
    lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def setting_columns(entry):
    return [entry["workload"], entry["mode"], simplify_label(entry["tolerance"])]


def figures(result):
    """Derived figures of one setting; times in seconds, sizes in bytes."""
    convert, shapely_time = result["convert"], result["convert_shapely"]
    peak = max(result["python_peak"], result["rss_peak"])
    return {
        "ratio": convert / result["read"],
        "ratio_own": (convert - shapely_time) / result["read"],
        "per_shape": convert / max(1, result["shapes"]),
        "per_vertex": convert / max(1, result["vertices"]),
        "peak_per_message": peak / max(1, result["message"]),
    }


STAGES = ("read", "construct", "export", "layers", "combine", "to_viewer", "asdict",
          "buffers", "dumps", "shapely")


def stage_table(results):
    rows = []
    for entry in results:
        result = entry["result"]
        if result is None:
            if entry["steps"]:
                rows.append(setting_columns(entry) + ["failed"] + [""] * (len(STAGES) - 1))
            continue
        times = dict(result["stages"], read=result["read"])
        rows.append(setting_columns(entry) + [number(times[s] * 1e3) if s in times else "–"
                                              for s in STAGES])
    return table(["workload", "mode", "simplify", *STAGES], rows)


def figure_table(results):
    headers = ["workload", "mode", "simplify", "runs", "shapes", "vertices", "convert ms",
               "ratio", "ratio excl. shapely", "µs/shape", "ns/vertex", "Python peak MB",
               "RSS peak MB", "message MB", "peak/message", "same message"]
    rows = []
    for entry in results:
        result = entry["result"]
        if result is None:
            continue
        f = figures(result)
        rss = number(result["rss_peak"] / 1e6) + ("" if result["rss_reset"] else "*")
        rows.append(setting_columns(entry) + [
            entry["repeat"], f"{result['shapes']:,}", f"{result['vertices']:,}",
            number(result["convert"] * 1e3), number(f["ratio"]), number(f["ratio_own"]),
            number(f["per_shape"] * 1e6), number(f["per_vertex"] * 1e9),
            number(result["python_peak"] / 1e6), rss, number(result["message"] / 1e6),
            number(f["peak_per_message"]), "yes" if result["same_message"] else "NO"])
    return table(headers, rows)


def simplification_rows(results):
    """Per workload and mode: shapely's own cost per vertex it simplified,
    and ours around it: what simplification adds to the cell walk beyond
    shapely's time (the walk alone, since the later stages get cheaper
    with fewer vertices)."""
    by_setting = {(e["workload"], e["mode"], e["tolerance"]): e["result"] for e in results}
    rows = []
    for (workload, mode, tolerance), on in by_setting.items():
        off = by_setting.get((workload, mode, None))
        if tolerance is None or not on or not off or not on["vertices_simplified"]:
            continue
        count, walk_on, walk_off = on["vertices_simplified"], on["stages"], off["stages"]
        own = walk_on["export"] - walk_on["shapely"] - walk_off["export"]
        rows.append((workload, mode, count, walk_on["shapely"] / count, own / count))
    return rows


def simplification_table(results):
    rows = [[w, m, f"{n:,}", number(s * 1e9), number(o * 1e9), number(o / s if s else None)]
            for w, m, n, s, o in simplification_rows(results)]
    return table(["workload", "mode", "vertices simplified", "shapely ns/vertex",
                  "ours around ns/vertex", "ours/shapely"], rows)


def user_figures(user):
    """Derived figures of one user-path result; times in seconds, sizes in bytes."""
    peak = max(user["python_peak"], user["rss_peak"])
    return {
        "seconds": user["user_path"],
        "ratio": user["user_path"] / user["read"],
        "per_placement": user["user_path"] / user["placements"] if user["placements"] else None,
        "peak_per_message": peak / max(1, user["message"]),
    }


def user_table(results):
    headers = ["workload", "mode", "simplify", "read ms", "user path ms", "ratio to read",
               "host ms", "placements", "ns/placement", "message MB", "Python peak MB",
               "RSS peak MB", "peak/message"]
    rows = []
    for entry in results:
        user = entry["user"]
        if user is None:
            rows.append(setting_columns(entry) + ["failed"] + [""] * (len(headers) - 4))
            continue
        f = user_figures(user)
        per_placement = f["per_placement"] and f["per_placement"] * 1e9
        rss = number(user["rss_peak"] / 1e6) + ("" if user["rss_reset"] else "*")
        rows.append(setting_columns(entry) + [
            number(user["read"] * 1e3), number(user["user_path"] * 1e3), number(f["ratio"]),
            number(user["host"] * 1e3), f"{user['placements']:,}", number(per_placement),
            number(user["message"] / 1e6), number(user["python_peak"] / 1e6), rss,
            number(f["peak_per_message"])])
    return table(headers, rows)


def worst_line(goal, entries, figure, scale=1, unit=""):
    """The goal's line: the entry with the largest user-path figure."""
    worst = max(entries, key=lambda e: user_figures(e["user"])[figure])
    value = user_figures(worst["user"])[figure] * scale
    return f"- {goal}: worst {number(value)}{unit} ({', '.join(setting_columns(worst))})"


def user_goal_lines(results):
    """Where each goal of the user path stands, from the worst case of this run."""
    done = [e for e in results if e["user"]]
    lines = []
    samples = [e for e in done if e["workload"] in USER_PATH_SAMPLES]
    if samples:
        lines.append(worst_line(f"user path / read on {' and '.join(USER_PATH_SAMPLES)}, at most 20",
                                samples, "ratio"))
    heavy = [e for e in done if e["workload"].startswith(PLACEMENT_HEAVY) and e["user"]["placements"]]
    if heavy:
        names = ", ".join(sorted({e["workload"] for e in heavy}))
        lines.append(worst_line(f"user path per placement on the placement-heavy workloads ({names}), "
                                "at most 150 ns", heavy, "per_placement", 1e9, " ns"))
    for name, modes, limit in (("ihp_sram_1p_1024x16", ("layer",), 0.15), ("array-1M", MODES, 0.3)):
        same = [e for e in done if e["workload"] == name and e["mode"] in modes]
        if same:
            where = ", layer mode" if modes == ("layer",) else ""
            lines.append(worst_line(f"user path of {name}{where}, at most {limit} s", same, "seconds",
                                    unit=" s"))
    lines += flatness_lines(done)
    lines += simplification_ratio_lines(done)
    if done:
        lines.append(worst_line("user path peak memory / message, at most 3", done, "peak_per_message"))
    return "\n".join(lines)


def flatness_lines(done):
    """Time per placement over the array sizes, against the smallest."""
    lines = []
    for mode in MODES:
        for tolerance in (TOLERANCE, None):
            same = sorted((e for e in done if e["workload"].startswith("array-") and e["mode"] == mode
                           and e["tolerance"] == tolerance), key=lambda e: e["user"]["placements"])
            if len(same) < 2:
                continue
            times = [user_figures(e["user"])["per_placement"] for e in same]
            widest = max((t / times[0] - 1 for t in times), key=abs)
            listed = ", ".join(f"{number(t * 1e9)} ({e['workload']})" for t, e in zip(times, same))
            lines.append(f"- user path ns/placement, {mode} mode, simplify {simplify_label(tolerance)}: "
                         f"{listed}; widest from {same[0]['workload']} {widest * 100:+.0f}% "
                         f"(goal within ±20%)")
    return lines


def simplification_ratio_lines(done):
    """User path with simplification on / off, per workload and mode, from
    the runs timed in turns in the process of the setting with it on."""
    ratios = {}
    for entry in done:
        on_off = entry["user"].get("on_off")
        if entry["tolerance"] is not None and on_off:
            ratios.setdefault(entry["workload"], {})[entry["mode"]] = on_off
    if not ratios:
        return []
    workload, mode = max(((w, m) for w, by_mode in ratios.items() for m in by_mode),
                         key=lambda key: ratios[key[0]][key[1]])
    lines = [f"- user path, simplify {TOLERANCE} / off, at most 1.3: worst "
             f"{number(ratios[workload][mode])} ({workload}, {mode})"]
    lines += [f"  - {w}: " + ", ".join(f"{m} {number(r)}" for m, r in by_mode.items())
              for w, by_mode in ratios.items()]
    return lines


def goal_lines(results):
    """Where each goal stands, from the worst case of this run."""
    done = [e for e in results if e["result"]]
    lines = []
    if done:
        worst = max(done, key=lambda e: figures(e["result"])["ratio_own"])
        lines.append(f"- conversion excl. shapely / read, at most 2: worst "
                     f"{number(figures(worst['result'])['ratio_own'])} ({', '.join(setting_columns(worst))})")
        worst = max(done, key=lambda e: figures(e["result"])["peak_per_message"])
        lines.append(f"- peak memory / message, at most 3: worst "
                     f"{number(figures(worst['result'])['peak_per_message'])} ({', '.join(setting_columns(worst))})")
    lines += linearity_lines(done)
    rows = simplification_rows(results)
    if rows:
        w, m, _, s, o = max(rows, key=lambda row: row[4] / row[3] if row[3] else 0)
        lines.append(f"- ours around shapely / shapely's own, per vertex, at most 0.1: worst "
                     f"{number(o / s if s else None)} ({w}, {m})")
    return "\n".join(lines)


def linearity_lines(done):
    """Time per shape of the largest synthetic size against the smallest."""
    synthetic = [e for e in done if e["workload"].startswith("synthetic-")]
    lines = []
    for mode in MODES:
        for tolerance in (TOLERANCE, None):
            same = sorted((e for e in synthetic if e["mode"] == mode and e["tolerance"] == tolerance),
                          key=lambda e: e["result"]["shapes"])
            if len(same) < 2:
                continue
            small, large = (figures(e["result"])["per_shape"] for e in (same[0], same[-1]))
            lines.append(f"- time per shape, {mode} mode, simplify {simplify_label(tolerance)}: "
                         f"{number(small * 1e6)} µs ({same[0]['workload']}) -> "
                         f"{number(large * 1e6)} µs ({same[-1]['workload']}), "
                         f"{(large / small - 1) * 100:+.0f}% (goal within ±20%)")
    return lines


# ---- the machine --------------------------------------------------------------------------

def version(package):
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def source_revision():
    try:
        done = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=BENCH,
                              capture_output=True, text=True, check=True)
        return done.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def machine_lines():
    return "\n".join([
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores; {platform.platform()}",
        f"- Python {platform.python_version()}; KLayout {version('klayout')}, "
        f"numpy {version('numpy')}, shapely {version('shapely')}, orjson {version('orjson')}",
        f"- source revision {source_revision()}; {time.strftime('%Y-%m-%d %H:%M')}",
    ])


def report(results, command, machine):
    return "\n\n".join([
        "## Machine", machine,
        f"Command: `{command}`",
        "## User path", user_table(results),
        "## Goals of the user path", user_goal_lines(results),
        "## Stage medians (milliseconds)", stage_table(results),
        "## Figures", figure_table(results),
        "## Simplification: shapely's work and ours around it", simplification_table(results),
        "## Goals of the step-by-step road", goal_lines(results),
    ]) + "\n"


# ---- command line ---------------------------------------------------------------------------

def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="two sample layouts, the smallest synthetic size and the "
                             "two smallest arrays only")
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=None,
                        help="distinct shapes of the synthetic layouts (e.g. 10k 200k 2M)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per setting, medians reported (default 3; "
                             "always 1 for a million shapes or placements and more)")
    parser.add_argument("--only", nargs="+", metavar="PART",
                        help="only workloads whose name contains one of these")
    parser.add_argument("--out", type=Path, help="also write the tables to this markdown file")
    parser.add_argument("--profile", metavar="WORKLOAD",
                        help="convert this workload once in this process, for a profiler")
    parser.add_argument("--mode", choices=MODES, default="layer", help="with --profile")
    parser.add_argument("--simplify", choices=("on", "off"), default="on", help="with --profile")
    args = parser.parse_args(argv)
    args.sizes = sorted(args.sizes or [parse_size(s) for s in DEFAULT_SIZES])
    return args


def profile(args):
    workload = find_workload(args.profile, args.sizes)
    path = workload.gds()
    sys.path.insert(0, str(BENCH))
    import measure  # loads KLayout and show3d into this process
    measure.profile(path, workload.kit, args.mode, TOLERANCE if args.simplify == "on" else None)


def main(argv=None):
    args = parse_arguments(argv)
    if args.profile:
        return profile(args)
    command = "python bench/run.py " + " ".join(sys.argv[1:] if argv is None else argv)
    machine = machine_lines()  # the source revision and time the run started from
    results = run_all(chosen_workloads(args), args.repeat)
    text = report(results, command.strip(), machine)
    print(text)
    if args.out:
        args.out.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()

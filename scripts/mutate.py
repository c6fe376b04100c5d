#!/usr/bin/env python3
"""Mutation testing of the C++ units of tessarand.core.show3d.

Makes one small change (a mutant) to one line of a unit (a .cpp file, or a
header of core/, which recompiles the units that include it) and checks that
the tests notice, one mutant at a time. Operators: relational flips (== !=,
< <=, > >=), && <-> ||, removing a `!`, true <-> false, integer literal 0 <-> 1,
binary + <-> -, += <-> -=, deleting `return false;`, `continue;` or `break;`,
and deleting a whole simple statement line (`++x;`, `x.clear();`, `f(...);`,
`x = y;`). Comments, strings, preprocessor lines, reference counting and the
error-raising boilerplate (`raise_current()`, `throw`, `PyErr_Occurred()`,
`check_status(name);`, `check_assertion`) are left alone.

src/ is never touched. The C++ sources as committed (--rev, default HEAD: the
working tree may be mid-edit) are copied to build/mutate/tree and built there
(Release, -O1, ninja -j1: a mutant recompiles its unit and relinks). The
Python packages and tests of the same revision (--worktree-tests: the tests of
the working tree) are staged in build/mutate/snap with the mutant module. A
mutant meets the tests of its unit first (-x), and if it survives them, the
rest of the suite; test_browser.py is never run. A failing test, a crash or a
timeout kills it; a mutant that does not compile is discarded. Tests that fail
without any mutant are deselected.

    scripts/mutate.py --list [--unit parser_walk.cpp]
    nice -n 10 scripts/mutate.py --sample 150 --seed 1 [--ignore-tests tests/test_hostile.py]
    scripts/mutate.py --only parser_walk.cpp:149:12 ... [--tests tests/test_hostile.py]
    scripts/mutate.py --report-only --classes build/mutate/classes.json

Results go to build/mutate/results.jsonl (--results; one line per mutant run,
the last one of an id counts; an interrupted run goes on where it stopped).
The markdown report (--report) has the counts per unit and every survivor,
with the remark --classes gives it (a JSON object: mutant id -> text).
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
UNIT_DIR = Path("src/tessarand/core/show3d")
WORK = ROOT / "build/mutate"
TREE, BUILD, SNAP = WORK / "tree", WORK / "build", WORK / "snap"
SITE = SNAP / "src"
RESULTS = WORK / "results.jsonl"
PY = ROOT / ".venv/bin/python"
SKIPPED_TESTS = ["tests/test_browser.py"]
ONLY_TESTS = []  # --tests: these tests alone

TESTS = {  # unit -> the test files that exercise it most directly
    "polygons.cpp": ["tests/test_parser_polygons.py", "tests/test_parser_cells.py", "tests/test_fast_paths.py"],
    "parser_lookups.cpp": ["tests/test_parser_construction.py", "tests/test_layer_properties.py"],
    "parser_walk.cpp": ["tests/test_parser_cells.py", "tests/test_parser_polygons.py", "tests/test_fast_paths.py"],
    "parser_export.cpp": ["tests/test_parser_cells.py", "tests/test_export_walk.py"],
    "parser_combine.cpp": ["tests/test_parser_cells.py", "tests/test_fast_paths.py"],
    "viewer_tree.cpp": ["tests/test_viewer_tree.py", "tests/test_fast_paths.py"],
    "viewer_dict.cpp": ["tests/test_serialisation.py", "tests/test_viewer_tree.py"],
    "buffer_json.cpp": ["tests/test_serialisation.py", "tests/test_entry.py"],
    "walk.cpp": ["tests/test_direct_road.py", "tests/test_export_walk.py"],
    "road.cpp": ["tests/test_direct_road.py", "tests/test_export_walk.py", "tests/test_hostile.py"],
    "klayout_own.cpp": ["tests/test_direct_road.py", "tests/test_export_walk.py", "tests/test_limits.py"],
    "page.cpp": ["tests/test_page_parts.py"],
    "core/stream.hpp": ["tests/test_core.py", "tests/test_direct_road.py"],
    "ktrans.cpp": ["tests/test_ktrans.py", "tests/test_fast_paths.py"],
    "pyfunction.cpp": ["tests/test_module.py", "tests/test_parser_construction.py"],
    "entry.cpp": ["tests/test_entry.py", "tests/test_direct_road.py"],
    "scene.cpp": ["tests/test_direct_road.py", "tests/test_entry.py"],
    "module.cpp": ["tests/test_records.py", "tests/test_layer_properties.py", "tests/test_module.py"],
    "core/hull.hpp": ["tests/test_core.py", "tests/test_parser_polygons.py"],
    "core/placement.hpp": ["tests/test_core.py", "tests/test_ktrans.py", "tests/test_fast_paths.py"],
    "core/base64.hpp": ["tests/test_core.py", "tests/test_serialisation.py"],
    "core/ring_simplify.hpp": ["tests/test_core.py", "tests/test_parser_polygons.py"],
    "buffers.cpp": ["tests/test_direct_road.py", "tests/test_entry.py", "tests/test_page_parts.py"],
}

# ---- mutant generation --------------------------------------------------------------

BOILERPLATE = re.compile(r"raise_current\(\)|\braise\w*\(|\bthrow\b|PyErr_Occurred|^check_status\(\w+\);$"
                         r"|Py_X?(INC|DEC)REF|Py_CLEAR|PyBuffer_Release"
                         r"|check_assertion|PyErr_(SetString|NoMemory|Format)|error\.restore")
SWAPS = [  # (pattern on the masked line, replacement, name)
    (r"(?<= )==(?= )", "!=", "== -> !="), (r"(?<= )!=(?= )", "==", "!= -> =="),
    (r"(?<= )<(?= )", "<=", "< -> <="), (r"(?<= )<=(?= )", "<", "<= -> <"),
    (r"(?<= )>(?= )", ">=", "> -> >="), (r"(?<= )>=(?= )", ">", ">= -> >"),
    (r"(?<= )&&(?= )", "||", "&& -> ||"), (r"(?<= )\|\|(?= )", "&&", "|| -> &&"),
    (r"!(?!=)", "", "remove !"),
    (r"\btrue\b", "false", "true -> false"), (r"\bfalse\b", "true", "false -> true"),
    (r"(?<![\w.'])0(?![\w.'])", "1", "0 -> 1"), (r"(?<![\w.'])1(?![\w.'])", "0", "1 -> 0"),
    (r"(?<= )\+(?= )", "-", "+ -> -"), (r"(?<= )-(?= )", "+", "- -> +"),
    (r"(?<= )\+=(?= )", "-=", "+= -> -="), (r"(?<= )-=(?= )", "+=", "-= -> +="),
    (r"\b(?:return false|continue|break);", ";", "delete jump"),
]
SIMPLE_STATEMENT = re.compile(r"(?:\+\+|--)[\w.>-]+;|[\w.>-]+(?:\+\+|--);"  # ++x; x++;
                              r"|[\w:.>-]+\(.*\);"                          # f(...); x.f(...);
                              r"|[\w.>\[\]-]+ [-+*/]?= [^=].*;")             # x = y; x += y;
STATEMENT_END = re.compile(r"(?:[;{}:)]|\belse)$")


def masked_lines(text):
    """The lines with comments, string and character literals blanked (same lengths)."""
    out, i, n = list(text), 0, len(text)
    while i < n:
        two = text[i:i + 2]
        if two == "//":
            while i < n and text[i] != "\n":
                out[i], i = " ", i + 1
        elif two == "/*":
            end = text.index("*/", i) + 2
            out[i:end] = [c if c == "\n" else " " for c in text[i:end]]
            i = end
        elif text[i] in "\"'":
            quote, j = text[i], i + 1
            while text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            out[i + 1:j] = [" "] * (j - i - 1)
            i = j + 1
        else:
            i += 1
    return "".join(out).split("\n")


def balanced(code):
    return all(code.count(a) == code.count(b) for a, b in ("()", "[]", "{}"))


def mutants_of(unit, text):
    """Every mutant of one unit: dicts with id, unit, line (1-based), op, original and mutated line."""
    lines, masked, found, previous = text.split("\n"), masked_lines(text), [], ""
    for number, (line, code) in enumerate(zip(lines, masked), 1):
        stripped = code.strip()
        if not stripped:
            continue
        if stripped.startswith("#") or BOILERPLATE.search(stripped):
            previous = stripped
            continue

        def add(column, mutated, op):
            found.append(dict(id=f"{unit}:{number}:{column}", unit=unit, line=number, column=column,
                              op=op, original=line, mutated=mutated))
        for pattern, replacement, op in SWAPS:
            for match in re.finditer(pattern, code):
                add(match.start(), line[:match.start()] + replacement + line[match.end():], op)
        if (SIMPLE_STATEMENT.fullmatch(stripped) and balanced(stripped) and STATEMENT_END.search(previous)
                and not stripped.startswith("return")):
            indent = line[:len(line) - len(line.lstrip())]
            add(len(indent), indent + ";", "delete statement")
        previous = stripped
    return found


def stored_or_new(mutant_id, mutants):
    """A mutant by id: as recorded in the results (the sources may have moved on since), else as generated."""
    found = load_results().get(mutant_id) or next((m for m in mutants if m["id"] == mutant_id), None)
    if not found:
        print(f"unknown mutant {mutant_id}", file=sys.stderr)
    return found


def relocated(mutant, sources):
    """The mutant moved to the line of the unit that still reads as its original (nearest the old line)."""
    lines = sources[mutant["unit"]].split("\n")
    matches = [n for n, line in enumerate(lines, 1) if line == mutant["original"]]
    if not matches:
        print(f"{mutant['id']}: its line is gone from {mutant['unit']}", file=sys.stderr)
        return None
    line = min(matches, key=lambda n: abs(n - mutant["line"]))
    return dict(mutant, line=line, id=f"{mutant['unit']}:{line}:{mutant['column']}")


# ---- building and testing -----------------------------------------------------------

def run(cmd, timeout=None, **kw):
    """Runs cmd in its own process group; returns (returncode or 'timeout', output)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True, **kw)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return "timeout", out
    except BaseException:  # interrupted: the child goes too
        os.killpg(proc.pid, signal.SIGKILL)
        raise


def write_if_changed(path, text):
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def git_sources(rev):
    """The C++ sources of the module at a revision: {path below UNIT_DIR: text}."""
    git = ["git", "-C", str(ROOT)]
    names = subprocess.run(git + ["ls-tree", "-r", "--name-only", rev, "--", str(UNIT_DIR)],
                           capture_output=True, text=True, check=True).stdout.split()
    return {str(Path(n).relative_to(UNIT_DIR)): git_show(rev, n)
            for n in names if n.endswith((".cpp", ".hpp"))}


def git_show(rev, path):
    return subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:{path}"],
                          capture_output=True, text=True, check=True).stdout


def git_rev(rev):
    return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", f"{rev}^{{commit}}"],
                          capture_output=True, text=True, check=True).stdout.strip()


def prepare(sources, rev, worktree_tests):
    """The build tree (the sources of the revision) and the staged packages."""
    (TREE / UNIT_DIR).mkdir(parents=True, exist_ok=True)
    cmake = git_show(rev, "CMakeLists.txt") + "target_compile_options(show3d PRIVATE -O1)  # mutate.py\n"
    write_if_changed(TREE / "CMakeLists.txt", cmake)
    for name, text in sources.items():
        (TREE / UNIT_DIR / name).parent.mkdir(parents=True, exist_ok=True)
        write_if_changed(TREE / UNIT_DIR / name, text)
    if not (BUILD / "build.ninja").exists():
        code, out = run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                         f"-DPython_EXECUTABLE={PY}"], env=tool_env())
        if code != 0:
            sys.exit(out)
    # The packages and tests of the same revision (the sample layouts are found
    # two levels above tests/, as in the repository).
    shutil.rmtree(SNAP, ignore_errors=True)
    SNAP.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev, "src", "tests", "pyproject.toml"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", str(SNAP)], input=archive, check=True)
    if worktree_tests:
        shutil.rmtree(SNAP / "tests")
        shutil.copytree(ROOT / "tests", SNAP / "tests", ignore=shutil.ignore_patterns("__pycache__"))
    if not (WORK / "shared").exists():
        (WORK / "shared").symlink_to(ROOT.parent / "shared")


def tool_env():
    return dict(os.environ, PATH=f"{ROOT / '.venv/bin'}:{os.environ['PATH']}")


def build():
    """Builds the module; stages it and returns True, or False when it does not compile."""
    code, out = run(["cmake", "--build", BUILD, "-j1"], env=tool_env())
    if code != 0:
        return False
    (built,) = BUILD.glob("show3d*.so")
    shutil.copy(built, SITE / "tessarand/core" / built.name)
    return True


def pytest(paths, timeout, extra=()):
    env = dict(os.environ, PYTHONPATH=str(SITE), PYTHONDONTWRITEBYTECODE="1")
    cmd = [PY, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *extra, *paths]
    return run(cmd, timeout=timeout, cwd=SNAP, env=env)


def baseline(timeout):
    """Runs the suite on the unmutated module: tests that fail already are deselected."""
    start = time.monotonic()
    env = dict(os.environ, PYTHONPATH=str(SITE), PYTHONDONTWRITEBYTECODE="1")
    paths = ONLY_TESTS or ["tests", *[f"--ignore={p}" for p in SKIPPED_TESTS]]
    code, out = run([PY, "-m", "pytest", "-q", "-rf", "-p", "no:cacheprovider", *paths],
                    timeout=timeout, cwd=SNAP, env=env)
    failing = re.findall(r"^FAILED (\S+)", out, re.M)
    print("baseline failures:", *failing, sep="\n  ")
    if code not in (0, 1) or (code == 1 and not failing):
        sys.exit(f"baseline run failed:\n{out[-3000:]}")
    return [f"--deselect={t}" for t in failing], time.monotonic() - start


def test_mutant(mutant, timeout, deselect):
    """'killed (...)' or 'survived'."""
    first = [p for p in TESTS.get(mutant["unit"], []) if (SNAP / p).exists() and p not in SKIPPED_TESTS]
    rest = ["tests", *[f"--ignore={p}" for p in SKIPPED_TESTS + first]]
    for paths in ([ONLY_TESTS] if ONLY_TESTS else (first, rest)):
        if not paths:
            continue
        code, out = pytest(paths, timeout, deselect)
        if code == "timeout":
            return "killed (timeout)"
        if code == 1:
            failed = re.findall(r"^FAILED (\S+)", out, re.M) or re.findall(r"^ERROR (\S+)", out, re.M)
            return f"killed ({failed[0] if failed else 'failed'})"
        if code != 0:
            return f"killed (exit {code})"
    return "survived"


# ---- report -------------------------------------------------------------------------

def load_results():
    results = {}
    if RESULTS.exists():
        for line in RESULTS.read_text().splitlines():
            entry = json.loads(line)
            results[entry["id"]] = entry
    return results


def report(results, path, notes, classes):
    units = sorted({r["unit"] for r in results.values()})
    rows = ["| unit | run | not compiled | killed | survived |", "|---|---|---|---|---|"]
    totals = [0, 0, 0, 0]
    for unit in units:
        mine = [r for r in results.values() if r["unit"] == unit]
        counts = [len(mine), sum(r["outcome"] == "not compiled" for r in mine),
                  sum(r["outcome"].startswith("killed") for r in mine),
                  sum(r["outcome"] == "survived" for r in mine)]
        totals = [a + b for a, b in zip(totals, counts)]
        rows.append(f"| {unit} | " + " | ".join(map(str, counts)) + " |")
    rows.append("| all | " + " | ".join(map(str, totals)) + " |")
    survivors = sorted((r for r in results.values() if r["outcome"] == "survived"),
                       key=lambda r: (r["unit"], r["line"], r["column"]))
    lines = ["# Mutation testing of the C++ units", "",
             "Made by `scripts/mutate.py` (see its docstring).", "", *notes, "", *rows, "",
             "## Survivors", ""]
    for r in survivors:
        remark = f": {classes[r['id']]}" if r["id"] in classes else ""
        lines += [f"- `{r['id']}` ({r['op']}){remark}", "  ```cpp", f"  {r['original'].strip()}",
                  f"  {r['mutated'].strip()}", "  ```"]
    Path(path).write_text("\n".join(lines) + "\n")


# ---- main ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--unit", action="append", help="only this unit (repeatable)")
    parser.add_argument("--sample", type=int, help="a random sample of N mutants across the units")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--rev", default="HEAD", help="the revision of the C++ sources to mutate")
    parser.add_argument("--worktree-tests", action="store_true",
                        help="the tests of the working tree instead of those of the revision")
    parser.add_argument("--tests", nargs="+", default=[], help="run only these tests (baseline too)")
    parser.add_argument("--ignore-tests", nargs="+", default=[], help="test files to leave out as well")
    parser.add_argument("--only", nargs="+", help="mutant ids to run")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--timeout", type=float, default=90, help="seconds per pytest run (at least)")
    parser.add_argument("--results", default="results.jsonl", help="results file in build/mutate")
    parser.add_argument("--report", default="bench/mutation.md")
    parser.add_argument("--report-only", action="store_true")
    parser.add_argument("--note", action="append", default=[], help="a line for the report")
    parser.add_argument("--classes", help="JSON file: mutant id -> remark for the report")
    args = parser.parse_args()
    classes = json.loads(Path(args.classes).read_text()) if args.classes else {}
    global RESULTS
    RESULTS = WORK / args.results
    args.rev = git_rev(args.rev)  # one commit for the whole run
    SKIPPED_TESTS.extend(args.ignore_tests)
    ONLY_TESTS.extend(args.tests)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))

    sources = git_sources(args.rev)
    units = args.unit or [name for name in sources if name.endswith(".cpp") or name.startswith("core/")]
    mutants = [m for unit in units for m in mutants_of(unit, sources[unit])]
    if args.only:
        mutants = [relocated(m, sources) if m else None for m in (stored_or_new(i, mutants) for i in args.only)]
        mutants = [m for m in mutants if m]
    if args.sample:
        mutants = random.Random(args.seed).sample(mutants, min(args.sample, len(mutants)))
    if args.list:
        mutants.sort(key=lambda m: (m["unit"], m["line"], m["column"]))
        for m in mutants:
            print(f"{m['id']:24} {m['op']:16} {m['mutated'].strip()}")
        print(f"{len(mutants)} mutants", file=sys.stderr)
        return
    if args.report_only:
        report(load_results(), ROOT / args.report, args.note, classes)
        return
    if not args.only:  # an interrupted run goes on where it stopped
        done = {r["id"] for r in load_results().values() if r.get("rev") == args.rev}
        mutants = [m for m in mutants if m["id"] not in done]

    prepare(sources, args.rev, args.worktree_tests)
    if not build():
        sys.exit("the unmutated sources do not build")
    deselect, seconds = baseline(timeout=600)
    timeout = max(args.timeout, 3 * seconds)
    print(f"{args.rev}: baseline {seconds:.0f} s, {len(deselect)} failing tests deselected,"
          f" timeout {timeout:.0f} s", flush=True)

    def install(unit, text):  # the build tree, and the staged sources (tests that compile the core read them)
        for tree in (TREE, SNAP):
            (tree / UNIT_DIR / unit).write_text(text)

    current = None
    for count, mutant in enumerate(mutants, 1):
        if current and current != mutant["unit"]:
            install(current, sources[current])
        current = mutant["unit"]
        lines = sources[current].split("\n")
        lines[mutant["line"] - 1] = mutant["mutated"]
        install(current, "\n".join(lines))
        start = time.monotonic()
        outcome = test_mutant(mutant, timeout, deselect) if build() else "not compiled"
        entry = dict(mutant, outcome=outcome, rev=args.rev, seconds=round(time.monotonic() - start, 1))
        with RESULTS.open("a") as out:
            out.write(json.dumps(entry) + "\n")
        print(f"[{count}/{len(mutants)}] {mutant['id']:24} {outcome:40} {mutant['mutated'].strip()[:70]}",
              flush=True)
    if current:
        install(current, sources[current])
    report(load_results(), ROOT / args.report, args.note, classes)


if __name__ == "__main__":
    main()

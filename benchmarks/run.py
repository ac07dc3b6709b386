"""Timings of the package's operations against yardsticks and floors.

    python benchmarks/run.py [--quick] [--json PATH] [--only WORD ...]

For every workload: the time per call or per row (the least over several
repeats, after a warm-up, measured with time.perf_counter_ns), its speed-up
over a yardstick -- the plain-Python transcription of the same steps in
yardsticks.py -- and its ratio to a floor, the part of the work that cannot
be avoided, measured alone in the same run.  Each target is checked and
marked; nothing fails on a missed target (this is a measurement, not a test).
A workload whose module is not built prints n/a.

--quick runs smaller files and fewer repeats (well under a minute): the smoke
test of CI.  --json writes every figure, with the machine's description, to
PATH.  --only keeps the workloads whose name contains one of the words.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import importlib
import json
import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
from dataclasses import asdict, dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import records  # noqa: E402
import yardsticks as ys  # noqa: E402


class Provider:
    """The one weather provider of every measurement."""

    def __init__(self, start):
        self.start = start

    def week_index_for_date(self, date):
        return (date - self.start).days // 7


# ---------------------------------------------------------------------------
# Measuring


@dataclass
class Settings:
    quick: bool
    calls: int          # calls per repeat of a per-call workload
    repeat: int         # repeats of a per-call workload
    big_repeat: int     # repeats of a whole-file workload
    sizes: tuple        # rows of the large inventory files
    production_sizes: tuple  # rows of the production files, in each shape
    date_rows: int      # rows of the one-row-per-date files
    memory_rows: int


def per_call(stmt: str, namespace: dict, s: Settings, calls: int | None = None) -> float:
    """Nanoseconds per execution of stmt: the least of s.repeat timings."""
    timer = timeit.Timer(stmt, globals=namespace, timer=time.perf_counter_ns)
    number = calls or s.calls
    timer.timeit(max(1, number // 10))  # warm-up
    return min(timer.repeat(s.repeat, number)) / number


def per_run(fn, repeat: int) -> float:
    """Nanoseconds of one call of fn: the least of `repeat` after one warm-up."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter_ns()
        fn()
        best = min(best, time.perf_counter_ns() - t0)
    return best


@dataclass
class Row:
    workload: str
    unit: str                       # "call" or "row"
    count: int = 1                  # rows per run
    ns: float | None = None         # per unit
    yardstick_ns: float | None = None
    floor_ns: float | None = None
    floor: str = ""
    speedup_target: float | None = None  # yardstick / ns >= this
    floor_target: float | None = None    # ns / floor <= this
    note: str = ""

    @property
    def speedup(self):
        return self.yardstick_ns / self.ns if self.ns and self.yardstick_ns else None

    @property
    def over_floor(self):
        return self.ns / self.floor_ns if self.ns and self.floor_ns else None

    def verdict(self) -> str:
        if self.ns is None:
            return "n/a"
        if self.unit == "obs":
            return "ok" if self.ns <= 200 else "MISSED"
        checks = []
        if self.speedup_target is not None and self.speedup is not None:
            checks.append(self.speedup >= self.speedup_target)
        if self.floor_target is not None and self.over_floor is not None:
            checks.append(self.over_floor <= self.floor_target)
        if not checks:
            return ""
        return "ok" if all(checks) else "MISSED"

    def target(self) -> str:
        parts = []
        if self.speedup_target is not None:
            parts.append(f">={self.speedup_target:g}x faster")
        if self.floor_target is not None:
            parts.append(f"<={self.floor_target:g}x floor")
        return ", ".join(parts)


def module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "n/a"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def fmt_x(x: float | None) -> str:
    return "n/a" if x is None else f"{x:.2f}x"


# ---------------------------------------------------------------------------
# Workloads: the dispersion kernel


_FLOORS: dict = {}


def floor_library(folder: Path):
    """The C++ floors (floors.cpp) as a ctypes library, compiled once (or None)."""
    if "lib" in _FLOORS:
        return _FLOORS["lib"]
    source = HERE / "floors.cpp"
    target = folder / "floors.so"
    compiler = os.environ.get("CXX", "c++")
    command = [compiler, "-O2", "-shared", "-fPIC", "-ffp-contract=off",
               "-I", sysconfig.get_paths()["include"], str(source), "-o", str(target)]
    try:
        subprocess.run(command, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        _FLOORS["lib"] = None
        return None
    lib = ctypes.PyDLL(str(target))
    lib.profile_floor_ns.restype = ctypes.c_double
    lib.profile_floor_ns.argtypes = [ctypes.c_double, ctypes.c_double, ctypes.c_double,
                                     ctypes.c_long, ctypes.c_long,
                                     ctypes.POINTER(ctypes.c_long)]
    lib.observations_floor_ns.restype = ctypes.c_double
    lib.observations_floor_ns.argtypes = [ctypes.py_object] * 5 + [ctypes.c_long]
    _FLOORS["lib"] = lib
    return lib


def dispersion_rows(s: Settings, folder: Path) -> list[Row]:
    d = module("py_zelka.dispersion")
    trivial = per_call("t.__len__()", {"t": ()}, s)
    floor_name = "().__len__()"
    rows: list[Row] = []
    lib = floor_library(folder)
    floor_fn = None if lib is None else lib.profile_floor_ns

    for args in ((1.0, 8, 0.4), (1.0, 40, 0.9)):
        row = Row(f"build_dispersion_profile{args} uncached", "call",
                  speedup_target=8, floor_target=1.5,
                  floor="log+exp per week + float per tuple entry (C++)")
        rows.append(row)
        ns = {"build": ys.build_dispersion_profile, "a": args}
        row.yardstick_ns = per_call("build(*a)", ns, s, calls=s.calls // 200)
        if d is None:
            continue
        profile = d.build_dispersion_profile(*args)
        # The function under the cache: every call builds a new profile.
        ns = {"build": d.build_dispersion_profile.__wrapped__, "a": args}
        row.ns = per_call("build(*a)", ns, s, calls=s.calls // 50)
        if floor_fn is not None:
            weeks = ctypes.c_long(0)
            floor_fn(*args, len(profile.shares), 20, ctypes.byref(weeks))  # warm-up
            row.floor_ns = min(floor_fn(*args, len(profile.shares), s.calls // 20,
                                        ctypes.byref(weeks)) for _ in range(s.repeat))
            row.note = f"{weeks.value} weeks evaluated, {len(profile.shares)} entries per tuple"
        else:
            row.floor = "n/a (no C++ compiler)"

    regular = (1.0, 8, 0.4)
    week = 12
    for method, speedup in (("share", None), ("fraction_done", None), ("hazard", 2.5)):
        row = Row(f"DispersionProfile.{method}({week})", "call", floor_ns=trivial,
                  floor=floor_name, floor_target=1.5, speedup_target=speedup)
        rows.append(row)
        py_profile = ys.build_dispersion_profile(*regular)
        row.yardstick_ns = per_call(f"p.{method}(w)", {"p": py_profile, "w": week}, s)
        if d is not None:
            profile = d.build_dispersion_profile(*regular)
            row.ns = per_call(f"p.{method}(w)", {"p": profile, "w": week}, s)

    row = Row("dispersion_weight(5, amplitude=, peak_weeks=, spread=)", "call",
              floor_ns=trivial, floor=floor_name, speedup_target=2)
    rows.append(row)
    stmt = "f(5, amplitude=1.0, peak_weeks=8, spread=0.4)"
    row.yardstick_ns = per_call(stmt, {"f": ys.dispersion_weight}, s)
    if d is not None:
        row.ns = per_call(stmt, {"f": d.dispersion_weight}, s)

    row = Row("hazard_from_shares(250, 500-entry tuple)", "call", floor_ns=trivial,
              floor=floor_name, speedup_target=15)
    rows.append(row)
    table = tuple(ys.build_dispersion_profile(1.0, 250, 0.5).shares[1:501])
    table = table + (0.0,) * (500 - len(table))
    row.yardstick_ns = per_call("f(250, t)", {"f": ys.hazard_from_shares, "t": table}, s,
                                calls=s.calls // 50)
    if d is not None:
        row.ns = per_call("f(250, t)", {"f": d.hazard_from_shares, "t": table}, s,
                          calls=s.calls // 50)
    return rows


# ---------------------------------------------------------------------------
# Workloads: the readers


# The two common shapes of a ribbon production file: ten tags harvested every
# day (seven rows of a tag fall in one model week, one in seven becomes a
# record), and one harvest record per tag per week (100 tags, one date a week:
# every row is a record of its own).
SHAPES = {
    "daily": dict(tags=10, step_days=1),
    "weekly": dict(tags=100, step_days=7),
}
SHAPE_NOTES = {
    "daily": "10 tags daily, 1 record per 7 rows",
    "weekly": "100 tags weekly, 1 record per row",
}


def reader_rows(s: Settings, folder: Path) -> list[Row]:
    rows: list[Row] = []
    for shape in SHAPES:
        for n in s.production_sizes:
            rows += production_rows(s, folder, n, shape)
    rows += selection_rows(s, folder)
    for n in s.sizes:
        rows += inventory_rows(s, folder, n)
    rows += weather_rows(s, folder)
    return rows


def provider_floor(table, repeat: int) -> float:
    """Nanoseconds per row of one provider call per row."""
    weather = Provider(records.START)
    dates = table["date"].tolist()
    f = weather.week_index_for_date
    return per_run(lambda: list(map(f, dates)), repeat) / len(dates)


def production_rows(s: Settings, folder: Path, n: int, shape: str) -> list[Row]:
    import pandas as pd

    read_table = _read_table()
    weather = Provider(records.START)
    big = s.big_repeat
    production = folder / f"production-{shape}-{n}.csv"
    records.write_production(production, n, **SHAPES[shape])
    htr = module("py_zelka.readers.harvest_tag_reader")
    what = f"{n:,} rows, {SHAPE_NOTES[shape]}"
    read_row = Row(f"HarvestTagReader.read, {what}", "row", n, speedup_target=2,
                   floor_target=1.5, floor="_read_table + pd.to_datetime(date)")
    init_row = Row(f"RibbonProductionData(table, weather), {what}", "row", n,
                   speedup_target=8, floor_target=4 if shape == "weekly" else 2.5,
                   floor="provider call per row")
    file_row = Row(f"RibbonProductionData.from_file, {what}", "row", n,
                   floor="the two floors above")
    if read_table is None:
        return [read_row, init_row, file_row]

    def load_and_parse():
        table = read_table(production, text_columns=("tag",))
        pd.to_datetime(table["date"])

    read_row.floor_ns = per_run(load_and_parse, big) / n
    read_row.yardstick_ns = per_run(lambda: ys.read_production(production, read_table), big) / n
    data, _ = ys.read_production(production, read_table)
    init_row.floor_ns = provider_floor(data, big)
    init_row.yardstick_ns = per_run(lambda: ys.RibbonProductionData(data, weather), big) / n
    file_row.floor_ns = read_row.floor_ns + init_row.floor_ns
    file_row.yardstick_ns = read_row.yardstick_ns + init_row.yardstick_ns
    if htr is not None:
        read_row.ns = per_run(lambda: htr.HarvestTagReader.read(production), big) / n
        table = htr.HarvestTagReader.read(production).data
        init_row.ns = per_run(lambda: htr.RibbonProductionData(table, weather), big) / n
        file_row.ns = per_run(
            lambda: htr.RibbonProductionData.from_file(production, weather), big) / n
    rows = [read_row, init_row, file_row]
    if shape == "weekly" and htr is not None:
        rows += work_rows(s, folder, n, what, table, weather, htr, init_row)
    return rows


def work_rows(s, folder, n, what, table, weather, htr, init_row) -> list[Row]:
    """Where every row is a record of its own: the objects the data must hold
    (a key, a record and a dict entry per row, made in C++ with nothing else),
    and the data object measured against that work plus the provider."""
    lib = floor_library(folder)
    work = Row(f"keys, records and dict entries alone (C++), {what}", "row", n)
    against = Row(f"RibbonProductionData(table, weather) vs provider + work, {what}", "row",
                  n, ns=init_row.ns,
                  floor="provider call per row + keys, records and dict entries (C++)")
    if lib is None:
        work.floor = against.floor = "n/a (no C++ compiler)"
        return [work, against]
    # The rows of one tag share its label, and the rows of one week its int,
    # as the package's keys share them.
    same_tag: dict = {}
    tags = [same_tag.setdefault(t, t) for t in table["tag"].tolist()]
    same_week: dict = {}
    weeks = [same_week.setdefault(w, w)
             for w in map(weather.week_index_for_date, table["date"].tolist())]
    fields = ("bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed")
    # Equal counts share one float, as the package's records share them.
    shared: dict = {}
    counts = [tuple(shared.setdefault(v, v) for v in row)
              for row in zip(*(table[f].astype(float).tolist() for f in fields))]
    cls = htr.ProductionObservation
    lib.observations_floor_ns(cls, fields, tags, weeks, counts, 1)  # warm-up
    gc.collect()
    work.ns = lib.observations_floor_ns(cls, fields, tags, weeks, counts, s.big_repeat) / n
    if work.ns < 0:
        work.ns = None
        return [work, against]
    against.floor_ns = init_row.floor_ns + work.ns
    return [work, against]


# Files of one row per date hold s.date_rows dates from 1700 on: a million
# distinct days would run past the year 2262, beyond the nanosecond datetimes
# of pandas 2.


def selection_rows(s: Settings, folder: Path) -> list[Row]:
    import pandas as pd

    read_table = _read_table()
    weather = Provider(records.START)
    big = s.big_repeat
    selection = folder / "selection.csv"
    records.write_selection(selection, s.date_rows)
    fcr = module("py_zelka.readers.follower_choice_reader")
    n = s.date_rows
    sel_read = Row(f"FollowerChoiceReader.read, {n:,} rows", "row", n, speedup_target=1.5,
                   floor_target=1.3, floor="_read_table + pd.to_datetime(date)")
    sel_init = Row(f"SuckerSelectionData(table, weather), {n:,} rows", "row", n,
                   floor_target=2, floor="provider call per row")
    if read_table is None:
        return [sel_read, sel_init]

    def load_selection():
        table = read_table(selection)
        pd.to_datetime(table["date"])

    sel_read.floor_ns = per_run(load_selection, big) / n
    sel_read.yardstick_ns = per_run(lambda: ys.read_selection(selection, read_table), big) / n
    data = ys.read_selection(selection, read_table)
    sel_init.floor_ns = provider_floor(data, big)
    sel_init.yardstick_ns = per_run(lambda: ys.SuckerSelectionData(data, weather), big) / n
    if fcr is not None:
        sel_read.ns = per_run(lambda: fcr.FollowerChoiceReader.read(selection), big) / n
        table = fcr.FollowerChoiceReader.read(selection).data
        sel_init.ns = per_run(lambda: fcr.SuckerSelectionData(table, weather), big) / n
    return [sel_read, sel_init]


def inventory_rows(s: Settings, folder: Path, n: int) -> list[Row]:
    read_table = _read_table()
    inventory = folder / f"inventory-{n}.csv"
    records.write_inventory(inventory, n)
    inv = module("py_zelka.readers.inventory_reader")
    row = Row(f"PopulationInventoryReader.read, {n:,} rows", "row", n, speedup_target=1.5,
              floor_target=1.3, floor="_read_table")
    if read_table is None:
        return [row]
    big = s.big_repeat
    row.floor_ns = per_run(lambda: read_table(inventory, text_columns=("tag",)), big) / n
    chains = {"vegetative", "reproductive"}
    row.yardstick_ns = per_run(lambda: ys.read_inventory(inventory, read_table, chains), big) / n
    if inv is not None:
        row.ns = per_run(lambda: inv.PopulationInventoryReader.read(inventory), big) / n
    return [row]


def weather_rows(s: Settings, folder: Path) -> list[Row]:
    read_table = _read_table()
    weather_file = folder / "weather.csv"
    records.write_weather(weather_file, s.date_rows)
    clim = module("py_zelka.readers.climate_reader")
    n = s.date_rows
    row = Row(f"WeatherFileReader.read, ISO dates, {n:,} rows", "row", n, speedup_target=1.5,
              floor_target=2.5, floor="_read_table of the same file")
    if read_table is None:
        return [row]
    big = s.big_repeat
    row.floor_ns = per_run(lambda: read_table(weather_file), big) / n
    row.yardstick_ns = per_run(lambda: ys.read_weather(weather_file, read_table), big) / n
    if clim is not None:
        row.ns = per_run(lambda: clim.WeatherFileReader.read(weather_file), big) / n
    return [row]


def _read_table():
    common = module("py_zelka.readers._common")
    return common._read_table if common else None


# ---------------------------------------------------------------------------
# Memory and imports, each in a fresh process

# Memory is counted by tracemalloc: every allocation of the interpreter and of
# numpy, and none of the memory an allocator keeps after it was freed (which
# makes resident-size figures depend on what ran before).  pyarrow's own pool
# (pandas' text columns) is not counted: it holds the loaded table's text.
MEMORY_CHILD = r"""
import sys, tracemalloc
sys.path.insert(0, sys.argv[3])
import pandas as pd
from py_zelka.readers._common import _read_table
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from run import Provider
import records

path, mode = sys.argv[1], sys.argv[2]
weather = Provider(records.START)
tracemalloc.start()
if mode == "table":
    kept = _read_table(path, text_columns=("tag",))
    count = len(kept)
else:
    kept = RibbonProductionData.from_file(path, weather)
    count = len(kept.data._observations)
now, peak = tracemalloc.get_traced_memory()
print(now, peak, count)
"""


def memory_rows(s: Settings, folder: Path) -> list[Row]:
    n = s.memory_rows
    row = Row(f"peak memory of RibbonProductionData.from_file, {n:,} rows, "
              f"{SHAPE_NOTES['weekly']}", "obs", n,
              floor="bytes per observation above the loaded table")
    if module("py_zelka.readers.harvest_tag_reader") is None:
        return [row]
    path = folder / "memory.csv"
    records.write_production(path, n, **SHAPES["weekly"])

    def child(mode):
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(path), mode, str(HERE)],
                             check=True, capture_output=True, text=True).stdout.split()
        return [int(v) for v in out]

    table_now, _, _ = child("table")
    kept_now, peak, observations = child("from_file")
    per_obs = (peak - table_now) / observations
    row.ns = per_obs
    row.note = (f"{per_obs:.0f} B/observation at the peak above the loaded table "
                f"({table_now / n:.0f} B/row), {kept_now / observations:.0f} B/observation "
                f"kept after the call; target <= 200")
    row.memory = {"table_bytes": table_now, "peak_bytes": peak, "kept_bytes": kept_now,
                  "observations": observations, "peak_per_observation": per_obs}
    return [row]


IMPORT_CHILD = r"""
import sys, time
t0 = time.perf_counter_ns()
import {name}
t1 = time.perf_counter_ns()
print(t1 - t0, int("pandas" in sys.modules))
"""


def import_rows(s: Settings) -> list[Row]:
    rows = []
    for name in ("notices", "exceptions", "cohorts", "weather", "parameters", "dispersion",
                 "cropcare"):
        full = "py_zelka." + name
        row = Row(f"import {full}", "import")
        rows.append(row)
        if module(full) is None:
            continue
        best, pandas = float("inf"), False
        for _ in range(3 if s.quick else 7):
            out = subprocess.run([sys.executable, "-c", IMPORT_CHILD.format(name=full)],
                                 check=True, capture_output=True, text=True).stdout.split()
            best, pandas = min(best, int(out[0])), out[1] == "1"
        row.ns = best
        must_not = name in ("notices", "dispersion", "cropcare")
        row.note = ("imports pandas" if pandas else "no pandas") + (
            " -- MISSED" if pandas and must_not else "")
    return rows


def startup_rows(s: Settings) -> list[Row]:
    """`zelka check` of the example farm beside `python -c "import pandas"`:
    the wall time of each whole process, the least of several, taken in turns."""
    row = Row("zelka check <example farm> (python -m py_zelka), wall time", "process",
              floor_target=1.3, floor='python -c "import pandas", wall time')
    farm = module("py_zelka.farm")
    if farm is None or module("py_zelka.cli") is None:
        return [row]
    check = [sys.executable, "-m", "py_zelka", "check", str(farm.EXAMPLE_FARM)]
    pandas = [sys.executable, "-c", "import pandas"]
    best = {"check": float("inf"), "pandas": float("inf")}
    for _ in range(3 if s.quick else 9):
        for name, command in (("check", check), ("pandas", pandas)):
            t0 = time.perf_counter_ns()
            done = subprocess.run(command, capture_output=True)
            elapsed = time.perf_counter_ns() - t0
            if done.returncode not in (0, 1):
                raise RuntimeError(f"{command} failed: {done.stderr.decode()}")
            best[name] = min(best[name], elapsed)
    row.ns, row.floor_ns = best["check"], best["pandas"]
    return [row]


# ---------------------------------------------------------------------------
# Report


def machine() -> dict:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import pandas as pd
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "pandas": pd.__version__, "platform": platform.platform(),
            "load_average": list(os.getloadavg())}


def print_table(rows: list[Row]) -> None:
    header = ("workload", "time/unit", "yardstick", "speed-up", "floor", "x floor",
              "target", "")
    lines = []
    for r in rows:
        if r.unit in ("obs", "import"):
            value = fmt_ns(r.ns) if r.unit == "import" else (
                "n/a" if r.ns is None else f"{r.ns:.0f} B/obs")
            lines.append((r.workload, value, "", "", "", "", r.note,
                          r.verdict() if r.unit == "obs" else ""))
            continue
        lines.append((f"{r.workload} (per {r.unit})", fmt_ns(r.ns), fmt_ns(r.yardstick_ns),
                      fmt_x(r.speedup), fmt_ns(r.floor_ns), fmt_x(r.over_floor), r.target(),
                      r.verdict()))
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(len(header))]
    right = {1, 2, 3, 4, 5}

    def show(line):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(line, widths))).rstrip()

    print(show(header))
    print("  ".join("-" * w for w in widths).rstrip())
    for line in lines:
        print(show(line))
    print()
    for r in rows:
        if r.floor and r.unit not in ("obs", "import"):
            print(f"floor of {r.workload}: {r.floor}" + (f" ({r.note})" if r.note else ""))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small files, few repeats")
    parser.add_argument("--json", type=Path, help="write the figures to this file")
    parser.add_argument("--only", nargs="+", default=(), help="workloads containing a word")
    args = parser.parse_args(argv)
    if args.quick:
        s = Settings(True, calls=20_000, repeat=3, big_repeat=1, sizes=(100_000,),
                     production_sizes=(100_000,),
                     date_rows=20_000, memory_rows=100_000)
    else:
        s = Settings(False, calls=200_000, repeat=7, big_repeat=3, sizes=(200_000, 1_000_000),
                     production_sizes=(100_000, 1_000_000),
                     date_rows=200_000, memory_rows=1_000_000)

    about = machine()
    started = time.perf_counter()
    rows: list[Row] = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        wanted = lambda name: not args.only or any(w in name for w in args.only)  # noqa: E731
        if wanted("dispersion"):
            rows += dispersion_rows(s, folder)
        if wanted("reader") or wanted("data"):
            rows += reader_rows(s, folder)
        if wanted("memory"):
            rows += memory_rows(s, folder)
        if wanted("import"):
            rows += import_rows(s)
        if wanted("zelka") or wanted("startup"):
            rows += startup_rows(s)
    about["load_average_after"] = list(os.getloadavg())
    about["seconds"] = round(time.perf_counter() - started, 1)

    print(f"py_zelka benchmarks{' (quick)' if s.quick else ''}: {about['cpu']}, "
          f"{about['cores']} cores, Python {about['python']}, pandas {about['pandas']}")
    print(f"load average {about['load_average'][0]:.2f} before, "
          f"{about['load_average_after'][0]:.2f} after; {about['seconds']} s\n")
    print_table(rows)
    if args.json:
        out = []
        for r in rows:
            d = asdict(r)
            d.update(speedup=r.speedup, over_floor=r.over_floor, verdict=r.verdict(),
                     memory=getattr(r, "memory", None))
            out.append(d)
        args.json.write_text(json.dumps({"machine": about, "quick": s.quick, "rows": out},
                                        indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())

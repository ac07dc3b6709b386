"""The farm report's charts on large farms: time, peak memory and size.

    python benchmarks/report_charts.py [--keep DIR]

Three farms, each the example farm shipped with the package with one file
replaced:

- example: as shipped (456 days of weather, 48 production rows over 8 tags):
  the floor every other figure is set against;
- long weather: 24,000 days of daily weather (1959-06 to 2025-03) without
  the year 1990 and one more day (23,634 rows);
- many tags: 1,000,000 production rows, 15,000 tags cut once a week over 66
  or 67 model weeks (10,000 tags 67 weeks, 5,000 tags 66), weather of 469
  days.

Each farm is checked once (check_farm: reading and every rule, timed
apart); then its report page is written (to_html) in a fresh process, and
for each chart the time from its figure's creation to the end of its SVG,
the whole page's time (and its ratio to the example's), the peak resident
memory the page adds to the process once the example's page has warmed its
imports (Linux: /proc/self/status VmHWM after clear_refs) and the size of
each chart's SVG and of the page are printed.  Nothing is asserted: this
is a measurement.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import pickle
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

START = dt.date(2024, 1, 1)


def write_weather(folder: Path, first: dt.date, days: int, missing=lambda k, day: False) -> None:
    """A season and the weather's noise (seeded: the same file every run), so
    that the quality checks find nothing to report."""
    noise = random.Random(days)
    with open(folder / "weather.csv", "w", encoding="utf-8") as f:
        f.write("date,tmean\n")
        for k in range(days):
            day = first + dt.timedelta(days=k)
            value = 24 + 2.5 * math.sin(2 * math.pi * k / 365.25) + noise.gauss(0, 0.9)
            if not missing(k, day):
                f.write(f"{day},{value:.1f}\n")


def long_weather(folder: Path) -> None:
    write_weather(folder, dt.date(2025, 3, 31) - dt.timedelta(days=23999), 24000,
                  lambda k, day: day.year == 1990 or k == 12345)


def many_tags(folder: Path) -> None:
    write_weather(folder, START, 469)
    with open(folder / "production.csv", "w", encoding="utf-8") as f:
        f.write("tag,date,bagged,cut,age_at_cut,field_losses,processed\n")
        for week in range(67):
            day = START + dt.timedelta(days=7 * week + 2)
            for tag in range(10_000 if week == 66 else 15_000):
                cut = 5 + (tag * 7 + week * 3) % 40
                f.write(f"t{tag:05d},{day},{cut},{cut},11,1,{cut - 1}\n")


def farms(root: Path) -> dict[str, Path]:
    from py_zelka.farm import EXAMPLE_FARM

    out = {}
    for name, change in [("example", None), ("long weather", long_weather),
                         ("many tags", many_tags)]:
        folder = root / name.replace(" ", "_")
        shutil.copytree(EXAMPLE_FARM, folder)
        if change:
            change(folder)
        out[name] = folder
    return out


# The page of one checked farm, written in a process of its own (argv: the
# pickled report's path); prints one JSON line.
PAGE = r"""
import base64, json, pickle, re, sys, time
import matplotlib.figure
from matplotlib.figure import Figure

report = pickle.loads(open(sys.argv[1], "rb").read())
charts, begun = [], {}
init, savefig = Figure.__init__, Figure.savefig

def timed_init(self, *a, **k):
    init(self, *a, **k)
    begun[id(self)] = time.perf_counter()

def timed_savefig(self, *a, **k):
    savefig(self, *a, **k)
    charts.append(time.perf_counter() - begun[id(self)])

Figure.__init__, Figure.savefig = timed_init, timed_savefig
# Imports and caches warmed by the small example farm's page, so that the
# peak below is the big page's own (memory this farm's page freed would be
# reused by a second one and hide it).
from py_zelka.farm import EXAMPLE_FARM, check_farm
check_farm(EXAMPLE_FARM).to_html()
charts.clear()

def peak():
    return int(re.search(r"VmHWM:\s+(\d+)", open("/proc/self/status").read()).group(1)) * 1024

def resident():
    return int(re.search(r"VmRSS:\s+(\d+)", open("/proc/self/status").read()).group(1)) * 1024

try:
    open("/proc/self/clear_refs", "w").write("5")
    before = resident()
except OSError:
    before = None
t = time.perf_counter()
page = report.to_html()
seconds = time.perf_counter() - t
# each chart's SVG, as the page holds it: an image (a data: URI)
sizes = {kind: len(base64.b64decode(data)) for kind, data in re.findall(
    r'data-chart="(\w+)"><img src="data:image/svg\+xml;base64,([^"]+)"', page)}
print(json.dumps({"page_s": seconds, "chart_s": charts, "sizes": sizes,
                  "page_bytes": len(page.encode()),
                  "peak_added": None if before is None else peak() - before}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", type=Path, help="write the farms here and keep them")
    args = parser.parse_args()
    root = args.keep or Path(tempfile.mkdtemp(prefix="zelka-charts-"))
    root.mkdir(parents=True, exist_ok=True)
    try:
        from py_zelka.farm import check_farm

        made = farms(root)
        kinds = ["weather", "production", "parameters"]
        print(f"{'farm':<14}{'check s':>9}{'page s':>8}{'x floor':>8}"
              + "".join(f"{k + ' s':>14}" for k in kinds)
              + "".join(f"{k + ' KB':>15}" for k in kinds) + f"{'page KB':>9}{'peak MB':>9}")
        floor = None
        for name, folder in made.items():
            t = time.perf_counter()
            report = check_farm(folder)
            checked = time.perf_counter() - t
            saved = root / f"{folder.name}.pickle"
            saved.write_bytes(pickle.dumps(report))
            del report
            line = subprocess.run([sys.executable, "-c", PAGE, str(saved)], check=True,
                                  capture_output=True, text=True).stdout.splitlines()[-1]
            m = json.loads(line)
            floor = floor or m["page_s"]
            chart_s = m["chart_s"] + [math.nan] * (3 - len(m["chart_s"]))
            peak = "n/a" if m["peak_added"] is None else f"{m['peak_added'] / 2**20:.0f}"
            print(f"{name:<14}{checked:>9.2f}{m['page_s']:>8.2f}{m['page_s'] / floor:>8.1f}"
                  + "".join(f"{s:>14.2f}" for s in chart_s)
                  + "".join(f"{m['sizes'].get(k, 0) / 1000:>15.0f}" for k in kinds)
                  + f"{m['page_bytes'] / 1000:>9.0f}{peak:>9}")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()

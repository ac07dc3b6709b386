"""zelka check of many farms: the default (this process, a pool only where it
pays) against --workers 1 (this process only).

    python benchmarks/farms_pool.py [--counts 1 3 7 10 26 200] [--repeats 3]

Two shapes of farm, each copied as many times as a row says:

- example: the example farm shipped with the package (a weather file of 456
  days, 48 production rows, 17 inventory rows, 26 selection rows);
- big: the same farm with 20 years of daily weather (7,305 days) and the
  production, inventory and selection files repeated for 40 tags.

Each figure is the whole command's wall time (a new process: interpreter,
imports, every farm, exit), the least of the repeats.  The machine's load
(os.getloadavg) is printed before and after: the default uses a pool only on
idle cores, so a loaded machine shows both columns alike; --workers 2 (a pool
of one worker started at once, whatever the load) is shown beside them.  Nothing is
asserted: this is a measurement.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from py_zelka.farm import EXAMPLE_FARM

TAGS = ["black", "blue", "brown", "green", "orange", "red", "white", "yellow"]


def big_farm(folder: Path) -> None:
    shutil.copytree(EXAMPLE_FARM, folder)
    start = datetime.date(2024, 1, 1)
    with open(folder / "weather.csv", "w", encoding="utf-8") as f:
        f.write("date;tmean;rain_mm\n")
        for day in range(7305):
            f.write(f"{start + datetime.timedelta(days=day)};{24 + (day * 7 % 11) / 3:.1f};"
                    f"{day * 13 % 17 / 2:.1f}\n")
    for name in ["production.csv", "inventory.csv"]:
        header, *rows = (folder / name).read_text(encoding="utf-8").splitlines()
        tag_at = header.split(",").index("tag")
        out = [header]
        for copy in range(5):  # 8 colours x 5: 40 tags
            for row in rows:
                cells = row.split(",")
                if cells[tag_at]:
                    cells[tag_at] = f"{cells[tag_at]}{copy}"
                out.append(",".join(cells))
        (folder / name).write_text("\n".join(out) + "\n", encoding="utf-8")


def wall(args: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "py_zelka", "check", *args], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def load() -> str:
    try:
        return "load average %.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "load average n/a"


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--counts", type=int, nargs="+", default=[1, 3, 7, 10, 26, 200])
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()
    print(f"{os.cpu_count()} cores; {load()}")
    print(f"{'shape':8} {'farms':>5} {'default':>9} {'--workers 1':>12} {'ratio':>6} "
          f"{'--workers 2':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        shapes = {"example": Path(tmp) / "example", "big": Path(tmp) / "big"}
        shutil.copytree(EXAMPLE_FARM, shapes["example"])
        big_farm(shapes["big"])
        for shape, farm in shapes.items():
            status = subprocess.run([sys.executable, "-m", "py_zelka", "check", str(farm)],
                                    capture_output=True, text=True).stdout.splitlines()[0]
            print(f"# {shape}: {status.split(': ', 1)[1]}")
            for count in options.counts:
                farms = [str(farm)] * count
                repeats = options.repeats if count < 100 else 1
                default = min(wall(farms) for _ in range(repeats))
                alone = min(wall(["--workers", "1", *farms]) for _ in range(repeats))
                pool = min(wall(["--workers", "2", *farms]) for _ in range(repeats))
                print(f"{shape:8} {count:5} {default:8.2f}s {alone:11.2f}s {alone / default:5.2f}x "
                      f"{pool:11.2f}s", flush=True)
    print(load())
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""zelka check with and without --report on large farms: wall time, peak
memory and the page's size.

    python benchmarks/report_command.py [--repeats 2] [--keep DIR]

Four farms, each the example farm shipped with the package with one file
replaced (the farms of benchmarks/report_charts.py, and one of many findings):

- example: as shipped (456 days of weather, 48 production rows, 8 tags);
- long weather: 24,000 days of daily weather without the year 1990 and one
  more day;
- many tags: 1,000,000 production rows, 15,000 tags cut once a week over 66
  or 67 model weeks;
- many findings: 857,000 hourly weather rows (35,708 days), each row after a
  day's first a finding (sub_daily): the unfavourable shape for a page,
  821,291 findings of which the page shows 200 and counts the rest.

Each figure is the whole command in a new process (interpreter, imports,
the check, the text, the page): the least wall time of the repeats, and the
largest peak resident memory of the process (its own rusage, from wait4).
Nothing is asserted: this is a measurement.  The goal it is read against:
--report takes at most twice the time of the check without it, and at most
1 GB, on the farm of many tags.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import report_charts  # noqa: E402


def many_findings(folder: Path) -> None:
    start = dt.datetime(1950, 1, 1)
    with open(folder / "weather.csv", "w", encoding="utf-8") as f:
        f.write("date,tmean\n")
        for hour in range(857_000):
            f.write(f"{start + dt.timedelta(hours=hour):%Y-%m-%d %H:%M},"
                    f"{20 + hour % 24 / 4:.2f}\n")


def run(args: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident GB of one command in a new process."""
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)  # this child's own resource use
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(args)} failed ({child.returncode})")
    return seconds, usage.ru_maxrss / 1e6  # kilobytes on Linux


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--keep", type=Path, help="write the farms here and keep them")
    args = parser.parse_args()
    root = args.keep or Path(tempfile.mkdtemp(prefix="zelka-report-command-"))
    root.mkdir(parents=True, exist_ok=True)
    try:
        farms = report_charts.farms(root)
        folder = root / "many_findings"
        shutil.copytree(farms["example"], folder)
        many_findings(folder)
        farms["many findings"] = folder
        zelka = [sys.executable, "-m", "py_zelka", "check", "--workers", "1"]
        print(f"load average {os.getloadavg()[0]:.1f}; the least time of {args.repeats} runs, "
              "the largest peak memory of the whole process")
        print(f"{'farm':15} {'check':>8} {'--report':>9} {'ratio':>6} {'peak check':>11} "
              f"{'peak report':>12} {'page':>9}")
        for name, folder in farms.items():
            page = root / f"{folder.name}.html"
            plain = [run([*zelka, str(folder)]) for _ in range(args.repeats)]
            report = [run([*zelka, "--report", str(page), str(folder)])
                      for _ in range(args.repeats)]
            t_plain, t_report = min(t for t, _ in plain), min(t for t, _ in report)
            m_plain = max(m for _, m in plain)
            m_report = max(m for _, m in report)
            print(f"{name:15} {t_plain:7.2f}s {t_report:8.2f}s {t_report / t_plain:6.2f} "
                  f"{m_plain:9.2f}GB {m_report:10.2f}GB {page.stat().st_size / 1e3:7.0f}KB")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()

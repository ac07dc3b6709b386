"""Time RibbonProductionData.from_file on a generated ribbon production file.

    python benchmarks/ribbon_production.py [rows]

Writes a CSV of `rows` records (default 1,000,000) into a temporary folder and
prints, per step, the time, the time per row and the ratio to a floor measured
in the same run: pandas' own read_csv of the same file.  The steps are the
ones from_file goes through: loading the table, parsing the dates, the
reader's checks and result frame, and keying the rows by tag and week.
"""

from __future__ import annotations

import datetime
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from py_zelka.readers import harvest_tag_reader as htr
from py_zelka.readers._common import _read_table
from py_zelka.weather import WeatherProvider

TAGS = ("red", "blue", "green", "yellow", "white", "black", "orange", "purple",
        "brown", "pink")


def write_file(path: Path, rows: int) -> None:
    rng = np.random.default_rng(2024)
    i = np.arange(rows)
    start = np.datetime64("2000-01-03")
    dates = start + (i // len(TAGS)).astype("timedelta64[D]")
    processed = rng.integers(0, 40, rows)
    rejected = rng.integers(0, 5, rows)
    cut = processed + rejected
    frame = pd.DataFrame({
        "tag": np.array(TAGS)[i % len(TAGS)],
        "date": np.datetime_as_string(dates, unit="D"),
        "bagged": rng.integers(0, 60, rows),
        "cut": cut,
        "age_at_cut": np.where(cut > 0, rng.integers(40, 60, rows), 0),
        "field_losses": rng.integers(0, 3, rows),
        "rejected": rejected,
        "processed": processed,
    })
    frame.to_csv(path, index=False)


def best_of(repeat: int, fn):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = 3
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "production.csv"
        write_file(path, rows)
        weather = WeatherProvider(datetime.date(2000, 1, 3))

        floor, _ = best_of(repeat, lambda: pd.read_csv(path))
        load, table = best_of(repeat, lambda: _read_table(path, text_columns=("tag",)))
        dates, _ = best_of(repeat, lambda: pd.to_datetime(table["date"]).dt.date)
        read, result = best_of(repeat, lambda: htr.HarvestTagReader.read(path))
        index, _ = best_of(repeat, lambda: htr.RibbonProductionData(result.data, weather))
        total, _ = best_of(repeat, lambda: htr.RibbonProductionData.from_file(path, weather))

    steps = [
        ("floor: pandas read_csv", floor),
        ("loading (_read_table)", load),
        ("date parsing (to_datetime + dt.date)", dates),
        ("checks and result frame", read - load - dates),
        ("indexing (RibbonProductionData)", index),
        ("RibbonProductionData.from_file", total),
    ]
    print(f"ribbon production file, {rows:,} rows, best of {repeat}")
    print(f"{'step':40} {'seconds':>9} {'us/row':>8} {'x floor':>8}")
    for name, seconds in steps:
        print(f"{name:40} {seconds:9.3f} {seconds / rows * 1e6:8.3f} {seconds / floor:8.2f}")


if __name__ == "__main__":
    main()

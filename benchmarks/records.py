"""Generated record files of the sizes the benchmarks read.

Every file is written with a fixed random seed, so two runs read the same
bytes.  Dates start early enough that the last one stays inside the range of
pandas' nanosecond timestamps (1677-09-21 to 2262-04-11).
"""

from __future__ import annotations

import datetime
from pathlib import Path

import numpy as np
import pandas as pd

TAGS = ("red", "blue", "green", "yellow", "white", "black", "orange", "purple",
        "brown", "pink")

# The first date of every file: also the start of the benchmarks' provider.
START = datetime.date(1700, 1, 4)


def _dates(days: np.ndarray) -> np.ndarray:
    start = np.datetime64(START.isoformat())
    return np.datetime_as_string(start + days.astype("timedelta64[D]"), unit="D")


def write_production(path: Path, rows: int, *, tags: int = len(TAGS), step_days: int = 1) -> None:
    """A ribbon production file with every optional column: `tags` tags per
    date, one date every `step_days` days (with step_days=7 every row is an
    observation of its own tag and week)."""
    rng = np.random.default_rng(2024)
    i = np.arange(rows)
    labels = np.array(TAGS if tags == len(TAGS) else [f"tag{k:03d}" for k in range(tags)])
    processed = rng.integers(0, 40, rows)
    rejected = rng.integers(0, 5, rows)
    cut = processed + rejected
    pd.DataFrame({
        "tag": labels[i % tags],
        "date": _dates(i // tags * step_days),
        "bagged": rng.integers(0, 60, rows),
        "cut": cut,
        "age_at_cut": np.where(cut > 0, rng.integers(40, 60, rows), 0),
        "field_losses": rng.integers(0, 3, rows),
        "rejected": rejected,
        "processed": processed,
    }).to_csv(path, index=False)


def write_selection(path: Path, rows: int) -> None:
    """A sucker selection file: one farm-wide row per date."""
    rng = np.random.default_rng(2025)
    pd.DataFrame({
        "date": _dates(np.arange(rows)),
        "parous_count": rng.integers(0, 200, rows),
        "nulliparous_count": rng.integers(0, 200, rows),
    }).to_csv(path, index=False)


def write_weather(path: Path, rows: int) -> None:
    """A weather file: one mean temperature per date."""
    rng = np.random.default_rng(2026)
    pd.DataFrame({
        "date": _dates(np.arange(rows)),
        "tmean": np.round(rng.normal(24.0, 3.0, rows), 1),
    }).to_csv(path, index=False)


def write_inventory(path: Path, rows: int) -> None:
    """A population inventory file: one row per cohort, with tags."""
    rng = np.random.default_rng(2027)
    pd.DataFrame({
        "chain": np.array(["vegetative", "reproductive"])[rng.integers(0, 2, rows)],
        "population": np.round(rng.uniform(0, 500, rows), 1),
        "age_weeks": rng.integers(0, 80, rows),
        "tag": np.array(TAGS)[rng.integers(0, len(TAGS), rows)],
    }).to_csv(path, index=False)

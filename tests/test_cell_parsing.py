"""The readers' date parsing and duplicate search, read in C++, against pandas
on generated columns: the same values, dtype and unit, missing cells, errors
and rows; and the readers' tables against the plain pandas steps."""

from __future__ import annotations

import calendar
import importlib.util
import random
import re
import warnings

import numpy as np
import pandas as pd
import pytest

from py_zelka.readers._common import _duplicate_rows, _normalize_tag, _parse_dates, _read_table
from py_zelka.readers.follower_choice_reader import FollowerChoiceReader
from py_zelka.readers.harvest_tag_reader import HarvestTagReader

TEXT_DTYPES = [object] + (
    [pd.StringDtype("pyarrow")] if importlib.util.find_spec("pyarrow") else [])
YEAR_FIRST = re.compile(r"\d{4}[-/.]\d{1,2}[-/.]\d{1,2}([T ]|$)|\d{8}$")


def iso_cell(rng: random.Random, layout: int, bad_share: float) -> str:
    """A date written year first; with bad_share, dates outside the range,
    days and times that do not exist, leap days of years without one."""
    bad = rng.random() < bad_share
    if bad:
        y = rng.choice([1677, 1900, 2100, 2262, 2263, rng.randint(1678, 2261)])
        m = rng.choice([2, 0, 13, rng.randint(1, 12)])
        d = rng.choice([29, 30, 31, 32, 0])
        hh, mm, ss = rng.choice([(24, 0, 0), (12, 60, 0), (0, 0, 60), (0, 0, 0)])
    else:
        y = rng.choice([1678, 2000, 2024, 2261, rng.randint(1678, 2261)])
        m = rng.randint(1, 12)
        d = rng.randint(1, 28) if rng.random() < 0.8 else (29 if m == 2 else 30)
        if m == 2 and d == 29 and not calendar.isleap(y):
            y = 2024
        hh, mm, ss = rng.choice([(0, 0, 0), (23, 59, 59),
                                 (rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))])
    text = f"{y:04d}-{m:02d}-{d:02d}"
    if layout in (1, 2):
        text += f"{'T ' [layout - 1]}{hh:02d}:{mm:02d}"
    elif layout in (3, 4):
        text += f"{'T ' [layout - 3]}{hh:02d}:{mm:02d}:{ss:02d}"
    return text


def other_cell(rng: random.Random):
    return rng.choice(["", None, float("nan"), "NaT", "nan", " 2024-01-05", "2024-01-05 ",
                       "2024/01/05", "05/01/2024", "13/01/2024", "20240105", "2024-1-5",
                       "2024-01-05T10:00:00.5", "yesterday"])


def text_column(rng: random.Random, mixed_share: float) -> list:
    layout = rng.choice([0, 0, 0, 1, 2, 3, 4])
    bad_share = rng.choice([0, 0, 0.1, 0.3])
    other_layouts = rng.choice([0, 0, 0.1])
    cells = []
    for _ in range(rng.randint(1, 12)):
        r = rng.random()
        if r < mixed_share:
            cells.append(other_cell(rng))
        else:
            cells.append(iso_cell(rng, rng.randint(0, 4) if r < mixed_share + other_layouts
                                  else layout, bad_share))
    return cells


def pandas_reading(series: pd.Series, options: dict | None) -> pd.Series:
    """pandas.to_datetime; day first, cells written year first are read year
    first (the readers' guard for day-first files)."""
    options = options or {}
    parsed = pd.to_datetime(series, **options)
    if options.get("dayfirst"):
        year_first = series.map(lambda c: isinstance(c, str) and bool(YEAR_FIRST.match(c.strip())))
        if year_first.any():
            plain = pd.to_datetime(series.where(year_first.astype(bool)),
                                   **{**options, "dayfirst": False})
            parsed = parsed.mask(year_first.astype(bool), plain.astype(parsed.dtype).array)
    return parsed


def outcome(parse, series, options):
    try:
        return parse(series, options), None
    except (ValueError, TypeError, OverflowError) as exc:
        return None, (type(exc), str(exc))


def same_outcome(series, options):
    got, got_error = outcome(_parse_dates, series, options)
    expected, expected_error = outcome(pandas_reading, series, options)
    assert got_error == expected_error, (series.tolist(), options)
    if expected_error is None:
        pd.testing.assert_series_equal(got, expected, check_exact=True)


@pytest.mark.parametrize("options", [None, {"format": "mixed"}, {"dayfirst": True}])
@pytest.mark.parametrize("dtype", TEXT_DTYPES, ids=str)
@pytest.mark.parametrize("mixed_share", [0.0, 0.15])
def test_text_dates_read_as_pandas_reads_them(options, dtype, mixed_share):
    rng = random.Random(f"{options}-{dtype}-{mixed_share}")
    for k in range(150):
        cells = text_column(rng, mixed_share)
        if dtype is not object:
            cells = [c if isinstance(c, str) else None for c in cells]
        series = pd.Series(cells, dtype=dtype, name=f"date{k}", index=range(5, 5 + len(cells)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas' advice on formats and day first
            same_outcome(series, options)


@pytest.mark.parametrize("dtype", ["int64", "float64"])
def test_yyyymmdd_numbers_read_as_pandas_reads_their_text(dtype):
    rng = random.Random(dtype)
    for _ in range(150):
        values = [rng.choice([rng.randint(1678, 2261) * 10000 + rng.randint(1, 12) * 100
                              + rng.randint(1, 28),
                              20240229, 20230229, 16770921, 22620411, 20241301, 20240132])
                  for _ in range(rng.randint(1, 10))]
        if dtype == "float64" and rng.random() < 0.5:
            values[rng.randrange(len(values))] = float("nan")
        series = pd.Series(values, dtype=dtype, name="date")
        got, got_error = outcome(_parse_dates, series, None)
        text = series.astype("Int64").astype("string")
        expected, expected_error = outcome(
            lambda s, _: pd.to_datetime(s, format="%Y%m%d"), text, None)
        assert got_error == expected_error, values
        if expected_error is None:
            pd.testing.assert_series_equal(got, expected.rename("date"), check_exact=True)


def key_column(rng: random.Random, kind: str, n: int, missing: list):
    # Texts of every length up to 20 over two letters: texts that differ in
    # one byte, or only in their length, at each length the coding packs.
    near = ["".join(rng.choice("ab") for _ in range(rng.randint(1, 20))) for _ in range(4)]
    near += [t[:-1] for t in near] + [t + t[-1] for t in near]
    if kind == "text":
        cells = [rng.choice(["a", "b", "B", "é", "", " a", "long tag text"] + near + missing)
                 for _ in range(n)]
        return pd.Series(cells, dtype=object)
    if kind == "arrow":
        return pd.Series([rng.choice(["2024-01-01", "2024-01-02", "", None] + near)
                          for _ in range(n)], dtype=pd.StringDtype("pyarrow"))
    if kind == "int64":
        return pd.Series([rng.choice([20240101, 20240102, -1, 2**62]) for _ in range(n)],
                         dtype="int64")
    return pd.Series([rng.choice([1.5, 0.0, -0.0, float("nan"), 2.0**60, 2.0**60 + 2**8])
                      for _ in range(n)], dtype="float64")


KINDS = ["text", "int64", "float64"] + (
    ["arrow"] if importlib.util.find_spec("pyarrow") else [])


@pytest.mark.parametrize("first", KINDS)
@pytest.mark.parametrize("second", [None] + KINDS)
def test_duplicate_rows_are_the_rows_pandas_marks(first, second):
    rng = random.Random(f"{first}-{second}")
    for _ in range(60):
        n = rng.randint(0, 40)
        # pandas tells None from NaN in a key of one column, not of two
        missing = [None, float("nan")] if second else [rng.choice([None, float("nan")])]
        columns = {"tag": key_column(rng, first, n, missing)}
        if second:
            columns["date"] = key_column(rng, second, n, missing)
        table = pd.DataFrame(columns)
        if rng.random() < 0.5:  # sorted files: equal cells row after row
            table = table.sort_values(list(columns), kind="stable").reset_index(drop=True)
        subset = list(columns)
        expected = np.flatnonzero(table.duplicated(subset=subset, keep=False)).tolist()
        assert _duplicate_rows(table, subset) == expected


@pytest.mark.parametrize("cells", [[1, "1", 1], [True, True], ["a", None, float("nan"), None],
                                   ["a", pd.NA, pd.NA]])
def test_duplicate_rows_leave_other_columns_to_pandas(cells):
    table = pd.DataFrame({"tag": pd.Series(cells, dtype=object)})
    assert _duplicate_rows(table, ["tag"]) is None


def production_by_pandas(path):
    table = _read_table(path, text_columns=("tag",))
    table = table.assign(tag=table["tag"].map(_normalize_tag))
    columns = {"tag": table["tag"], "date": pd.to_datetime(table["date"]).dt.date}
    for column in ("bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"):
        columns[column] = (pd.to_numeric(table[column], errors="coerce") if column in table
                           else pd.Series(float("nan"), index=table.index))
    return pd.DataFrame(columns)


def selection_by_pandas(path):
    table = _read_table(path)
    parous = pd.to_numeric(table["parous_count"], errors="coerce")
    nulliparous = pd.to_numeric(table["nulliparous_count"], errors="coerce")
    return pd.DataFrame({"date": pd.to_datetime(table["date"]).dt.date, "parous": parous,
                         "nulliparous": nulliparous,
                         "total": parous.add(nulliparous, fill_value=0.0)})


READERS = {
    "production": (HarvestTagReader, production_by_pandas, "tag,date,bagged,cut,age_at_cut",
                   lambda i, date: f"t{i},{date},{i},0,"),
    "selection": (FollowerChoiceReader, selection_by_pandas, "date,parous_count,nulliparous_count",
                  lambda i, date: f"{date},{i},1"),
}


@pytest.mark.parametrize("reader, dates", [
    ("production", []), ("production", [""]), ("production", ["", "", ""]),
    ("production", ["2024-01-03", ""]), ("production", ["3/1/2024", "4/1/2024"]),
    ("selection", []), ("selection", [""]), ("selection", ["", "2024-01-03"]),
    ("selection", ["2024-01-03", "2024-01-04"]),
])
def test_reader_tables_are_the_plain_pandas_steps(tmp_path, reader, dates):
    cls, by_pandas, header, row = READERS[reader]
    path = tmp_path / f"{reader}.csv"
    path.write_text("\n".join([header] + [row(i, d) for i, d in enumerate(dates)]) + "\n")
    got = cls.read(path).data
    pd.testing.assert_frame_equal(got, by_pandas(path), check_exact=True)

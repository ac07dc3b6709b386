"""Loading record files, the required-column check and tag labels."""

from __future__ import annotations

import decimal
import math

import numpy as np
import pandas as pd
import pytest

from py_zelka.exceptions import CohortChainError
from py_zelka.readers._common import _normalize_tag, _read_table, _require_columns

EXPECTED = pd.DataFrame({"tag": ["007", "Red", None], "count": [1.5, 2.0, 3.0]})


def assert_expected(table: pd.DataFrame) -> None:
    assert list(table.columns) == ["tag", "count"]
    assert isinstance(table.index, pd.RangeIndex) and table.index.start == 0
    assert table["tag"].tolist()[:2] == ["007", "Red"]
    assert pd.isna(table["tag"].iloc[2])
    assert table["count"].tolist() == [1.5, 2.0, 3.0]


@pytest.mark.parametrize(
    ("name", "content"),
    [
        ("comma.csv", "tag,count\n007,1.5\nRed,2\n,3\n"),
        ("semicolon.csv", "tag;count\n007;1.5\nRed;2\n;3\n"),
        ("tab.tsv", "tag\tcount\n007\t1.5\nRed\t2\n\t3\n"),
        ("pipe.txt", "tag|count\n007|1.5\nRed|2\n|3\n"),
        ("bom.csv", b"\xef\xbb\xbftag;count\r\n007;1.5\r\nRed;2\r\n;3\r\n"),
        ("padded.csv", " tag , count\n007, 1.5\nRed,  2\n,3\n"),
        ("quoted.csv", '"tag","count"\n"007",1.5\n"Red",2\n,3\n'),
    ],
)
def test_delimited_files(write_file, name, content):
    assert_expected(_read_table(write_file(name, content), text_columns=("tag",)))


def test_text_columns_only_where_asked(write_file):
    path = write_file("t.csv", "tag,count\n007,1\n")
    assert _read_table(path)["tag"].tolist() == [7]
    assert _read_table(str(path), text_columns=("tag", "absent"))["tag"].tolist() == ["007"]


def test_windows_1252_files(write_file):
    # the header is plain ASCII; a later line is not UTF-8
    path = write_file("w.csv", "station;tmean\nSão Tomé;25,5\n", encoding="cp1252")
    table = _read_table(path)
    assert table["station"].tolist() == ["São Tomé"]
    header = write_file("h.csv", "Températures;x\n1;2\n", encoding="cp1252")
    assert list(_read_table(header).columns) == ["Températures", "x"]


def test_rows_longer_than_the_header_do_not_become_the_index(write_file):
    table = _read_table(write_file("x.csv", "a,b\n1,2,\n3,4,\n"))
    assert isinstance(table.index, pd.RangeIndex)
    assert table["a"].tolist() == [1, 3]


@pytest.mark.parametrize("suffix", [".xlsx", ".parquet"])
def test_typed_formats(write_frame, suffix):
    frame = pd.DataFrame({" tag": ["007", "Red", None], "count": [1.5, 2.0, 3.0]})
    frame.index = [10, 11, 12]
    assert_expected(_read_table(write_frame("t" + suffix, frame), text_columns=("tag",)))


def test_typed_formats_read_numbers_in_text_columns_as_text(write_frame):
    frame = pd.DataFrame({"tag": [7, 8], "n": [1, 2]})
    table = _read_table(write_frame("n.parquet", frame), text_columns=("tag",))
    assert table["tag"].tolist() == ["7", "8"]


@pytest.mark.parametrize(
    ("suffix", "message"),
    [
        (".xlsx", "reading Excel files needs an optional dependency (no openpyxl); install it with: "
                  "pip install 'py_zelka[excel]'"),
        (".parquet", "reading parquet files needs an optional dependency (no openpyxl); install it with: "
                     "pip install 'py_zelka[parquet]'"),
    ],
)
def test_missing_optional_library(monkeypatch, tmp_path, suffix, message):
    def unavailable(*args, **kwargs):
        raise ImportError("no openpyxl")

    monkeypatch.setattr(pd, "ExcelFile", unavailable)
    monkeypatch.setattr(pd, "read_parquet", unavailable)
    with pytest.raises(ImportError) as excinfo:
        _read_table(tmp_path / ("x" + suffix))
    assert str(excinfo.value) == message
    assert str(excinfo.value.__cause__) == "no openpyxl"


def test_errors_of_opening_and_parsing_pass_through(tmp_path, write_file):
    with pytest.raises(FileNotFoundError):
        _read_table(tmp_path / "absent.csv")
    with pytest.raises(IsADirectoryError):
        _read_table(tmp_path)
    with pytest.raises(pd.errors.EmptyDataError):
        _read_table(write_file("empty.csv", ""))


def test_require_columns():
    table = pd.DataFrame({"chain": [], "tag": []})
    assert _require_columns(table, ["tag"], context="x", error_cls=CohortChainError) is None
    with pytest.raises(CohortChainError) as excinfo:
        _require_columns(
            table,
            ["chain", "population", "age_weeks"],
            context="population inventory file 'inv.csv'",
            error_cls=CohortChainError,
        )
    assert str(excinfo.value) == (
        "population inventory file 'inv.csv' is missing required column(s) "
        "['population', 'age_weeks']; found columns ['chain', 'tag']"
    )
    with pytest.raises(TypeError):
        _require_columns(table, ["x"], "context", CohortChainError)


@pytest.mark.parametrize(
    ("raw", "label"),
    [
        (" Red ", "red"),
        ("blue", "blue"),
        ("\tGREEN\n", "green"),
        ("", ""),
        ("   ", ""),
        (None, ""),
        (math.nan, ""),
        (np.float64("nan"), ""),
        (pd.NA, ""),
        (7, "7"),
        (2.5, "2.5"),
        (" ÄRMEL ", "ärmel"),
        ("\u00a0Ciel\u2003", "ciel"),
        # missing as pandas' own test says, whatever the type's name
        (decimal.Decimal("NaN"), ""),
        (np.datetime64("NaT", "D"), ""),
        (complex("nan+0j"), ""),
        (pd.NaT, ""),
    ],
)
def test_normalize_tag(raw, label):
    result = _normalize_tag(raw)
    assert result == label and type(result) is str


def test_labels_made_equal_by_stripping_are_refused(write_file):
    path = write_file("production.csv", "tag,date,cut,date \nred,2024-01-03,1,2024-01-04\n")
    with pytest.raises(ValueError) as excinfo:
        _read_table(path)
    assert str(excinfo.value) == (
        "two columns of " + repr(path) + " are labelled 'date' once blanks around their labels "
        "are stripped: column 2 ('date') and column 4 ('date ')")

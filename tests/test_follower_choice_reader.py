"""Sucker selection reader (FollowerChoiceReader) and data (SuckerSelectionData)."""

from __future__ import annotations

import datetime
import math

import numpy as np
import pandas as pd
import pytest

from py_zelka.exceptions import SuckerSelectionError, WeatherError
from py_zelka.readers import follower_choice_reader as fcr
from py_zelka.weather import WeatherProvider

FollowerChoiceReader = fcr.FollowerChoiceReader
SuckerSelectionData = fcr.SuckerSelectionData

HEADER = "date,parous_count,nulliparous_count"
DUPLICATE = ("duplicate 'date' rows at index {rows} in {path}; expected at most one "
             "farm-wide record per date")
NEGATIVE = ("column {column} contains negative value(s) at row(s) {rows} in {path}; "
            "expected non-negative counts")


@pytest.fixture
def selection(write_file):
    """Write a sucker selection CSV from data lines; return its path as str."""

    def write(*lines: str, header: str = HEADER, name: str = "selection.csv") -> str:
        return str(write_file(name, "\n".join((header, *lines)) + "\n"))

    return write



def table(dates, totals):
    return pd.DataFrame({"date": dates, "total": totals})


# ---------------------------------------------------------------------------
# Module


# ---------------------------------------------------------------------------
# Reading a valid file


def test_valid_rows_read_as_dates_counts_and_totals(selection):
    path = selection("2024-01-03,1,2,x", "2024-01-10,many,3,y", "2024-01-17,,,z",
                     "2024-01-24,4,,w", header=HEADER + ",note")
    data = FollowerChoiceReader.read(path).data
    assert list(data.index) == [0, 1, 2, 3]
    assert list(data["date"]) == [datetime.date(2024, 1, d) for d in (3, 10, 17, 24)]
    assert all(type(d) is datetime.date for d in data["date"])
    assert data["parous"].tolist()[::3] == [1.0, 4.0] and data["parous"][1:3].isna().all()
    assert data["nulliparous"].tolist()[:2] == [2.0, 3.0] and data["nulliparous"][2:].isna().all()
    # a missing side counts as 0; missing only when both are
    assert data["total"].tolist()[:2] + data["total"].tolist()[3:] == [3.0, 3.0, 4.0]
    assert math.isnan(data["total"][2])


# ---------------------------------------------------------------------------
# Dates


def date_message(path, cause):
    return ("could not parse 'date' column in " + repr(path) + " as calendar dates: "
            + str(cause))


def test_date_parse_error_is_chained(selection):
    path = selection("2024-01-03,1,1", "week 12,1,1")
    with pytest.raises(SuckerSelectionError) as excinfo:
        FollowerChoiceReader.read(path)
    cause = excinfo.value.__cause__
    assert isinstance(cause, ValueError)
    assert str(excinfo.value) == date_message(path, cause)


def test_dates_are_read_in_one_inferred_format(selection):
    # 13/01 does not fit the month-first format inferred from the first value
    path = selection("01/02/2024,1,1", "13/01/2024,1,1")
    with pytest.raises(SuckerSelectionError) as excinfo:
        FollowerChoiceReader.read(path)
    assert str(excinfo.value) == date_message(path, excinfo.value.__cause__)


# ---------------------------------------------------------------------------
# Checks: exact messages and which failure wins


@pytest.mark.parametrize("lines, message, rows, column", [
    (["2024-01-03,1,1", "2024-01-10,1,1", "2024-01-03,2,2"], DUPLICATE, [0, 2], None),
    # the cells as loaded are compared, not the parsed dates
    (["2024-01-03,1,1", "2024-1-3,1,1", "2024-01-04,1,1", "2024-01-04,1,1"], DUPLICATE,
     [2, 3], None),
    (["2024-01-03,-1,1", "2024-01-10,2,1", "2024-01-17,-0.5,1"], NEGATIVE, [0, 2],
     "parous_count"),
    (["2024-01-03,1,1", "2024-01-10,,-3"], NEGATIVE, [1], "nulliparous_count"),
    # several defects: the earlier check wins
    (["2024-01-03,1,-1", "2024-01-10,-1,-1"], NEGATIVE, [1], "parous_count"),
    (["2024-01-03,-1,-1", "2024-01-03,-1,-1"], DUPLICATE, [0, 1], None),
])
def test_selection_check_messages(selection, lines, message, rows, column):
    path = selection(*lines)
    with pytest.raises(SuckerSelectionError) as excinfo:
        FollowerChoiceReader.read(path)
    assert str(excinfo.value) == message.format(rows=rows, path=repr(path), column=repr(column))
    assert excinfo.value.__cause__ is None


def test_counts_that_are_not_numbers_are_no_error(selection):
    data = FollowerChoiceReader.read(selection("2024-01-03,-,n/a", "2024-01-10,two,0")).data
    assert data["parous"].isna().all() and data["total"].tolist()[1] == 0.0


# ---------------------------------------------------------------------------
# SuckerSelectionData


def test_data_keys_totals_by_week(selection, recording_provider):
    path = selection("2024-03-04,1,2",    # week 9
                     "2024-01-08,4,",     # week 1
                     "2024-03-06,0,5",    # week 9 again: the later row replaces
                     "2024-01-29,,")      # week 4, no total
    provider = recording_provider()
    result = SuckerSelectionData.from_file(path, provider)
    data = result.data
    assert type(data) is SuckerSelectionData and list(result.notices) == []
    assert provider.calls == [datetime.date(2024, 3, 4), datetime.date(2024, 1, 8),
                              datetime.date(2024, 3, 6), datetime.date(2024, 1, 29)]
    assert all(type(d) is datetime.date for d in provider.calls)
    assert data._week_totals == {9: 5.0, 1: 4.0}
    assert all(type(t) is float for t in data._week_totals.values())
    assert (data._first_week, data._last_week) == (1, 9)
    assert data.total(9) == 5.0 and data.total(week_index=1) == 4.0
    assert data.total(4) is None and data.total(5) is None and data.total(0) is None
    assert [data.week_is_covered(w) for w in (0, 1, 4, 5, 9, 10)] == [False, True, True, True,
                                                                       True, False]


@pytest.mark.parametrize("dates, totals, first, last", [
    # rows without a total still widen the covered range, at either end
    ([datetime.date(2024, 1, 1), datetime.date(2024, 2, 5)], [np.nan, 2.0], 0, 5),
    ([datetime.date(2024, 2, 5), datetime.date(2024, 1, 1)], [2.0, None], 0, 5),
    ([datetime.date(2024, 1, 15)], [np.nan], 2, 2),
])
def test_rows_without_a_total_count_for_coverage(dates, totals, first, last, recording_provider):
    data = SuckerSelectionData(data=table(dates, totals), weather=recording_provider())
    assert (data._first_week, data._last_week) == (first, last)
    assert list(data._week_totals.values()) == [t for t in totals if t is not None and t == t]
    assert data.week_is_covered(first) and data.week_is_covered(last)
    assert not data.week_is_covered(last + 1)


@pytest.mark.parametrize("empty", [table([], []), pd.DataFrame()])
def test_empty_table(empty, recording_provider):
    data = SuckerSelectionData(empty, recording_provider())
    assert data._week_totals == {} and data._first_week is None and data._last_week is None
    assert not any(data.week_is_covered(w) for w in (-1, 0, 1))
    assert data.total(0) is None


def test_totals_convert_as_the_host_converts(recording_provider):
    dates = [datetime.date(2024, 1, 1), datetime.date(2024, 1, 8), datetime.date(2024, 1, 15)]
    data = SuckerSelectionData(table(dates, pd.Series([3, "4.5", None], dtype=object)),
                               recording_provider())
    assert data._week_totals == {0: 3.0, 1: 4.5}
    assert [type(t) for t in data._week_totals.values()] == [float, float]
    provider = recording_provider()
    with pytest.raises(ValueError):
        SuckerSelectionData(table(dates, pd.Series([1, "many", 2], dtype=object)), provider)
    assert len(provider.calls) == 2  # the week is asked before the total converts


def test_week_is_covered_compares_as_the_host_does(recording_provider):
    data = SuckerSelectionData(table([datetime.date(2024, 3, 11), datetime.date(2024, 4, 8)],
                                     [1.0, 2.0]), recording_provider())
    assert type(data.week_is_covered(np.int64(12))) is np.bool_
    assert data.week_is_covered(13.5) and not data.week_is_covered(9.5)
    with pytest.raises(TypeError):
        data.week_is_covered("12")


def test_errors_of_the_provider_pass_unchanged(selection):
    path = selection("2024-01-03,1,1", "2023-12-01,1,1")
    with pytest.raises(WeatherError):
        SuckerSelectionData.from_file(path, WeatherProvider(datetime.date(2024, 1, 1)))
    missing = selection("2024-01-03,1,1", ",1,1", name="missing.csv")
    with pytest.raises(WeatherError):
        SuckerSelectionData.from_file(missing, WeatherProvider(datetime.date(2024, 1, 1)))


def test_a_subclass_from_file_totals_the_rows_read(selection, recording_provider):
    class Mine(SuckerSelectionData):
        pass

    result = Mine.from_file(selection("2024-01-03,1,1"), recording_provider())
    assert type(result.data) is Mine and result.data._week_totals == {0: 2.0}

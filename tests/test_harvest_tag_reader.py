"""Ribbon production reader (HarvestTagReader) and data (RibbonProductionData)."""

from __future__ import annotations

import collections
import dataclasses
import datetime
import decimal
import enum
import gc
import weakref
import math

import numpy as np
import pandas as pd
import pytest

from py_zelka.exceptions import RibbonDataError, WeatherError
from py_zelka.notices import Notice, NoticeKind
from py_zelka.readers import harvest_tag_reader as htr
from py_zelka.weather import WeatherProvider

HarvestTagReader = htr.HarvestTagReader
RibbonProductionData = htr.RibbonProductionData
ProductionObservation = htr.ProductionObservation

HEADER = "tag,date,bagged,cut,age_at_cut,field_losses,rejected,processed"
RESULT_COLUMNS = ["tag", "date", "bagged", "cut", "age_at_cut", "field_losses",
                  "rejected", "processed"]
HINT = "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label"


def extension_message(column: str, path) -> str:
    return (repr(column) + " column not present in " + repr(path) + "; this is a non-paper "
            "extension with no Kessot equation to estimate it from, so it will simply not be "
            "modeled (treated as absent, not zero).")


@pytest.fixture
def production(write_file):
    """Write a production CSV from a header and data lines; return its path as str."""

    def write(*lines: str, header: str = HEADER, name: str = "production.csv") -> str:
        return str(write_file(name, "\n".join((header, *lines)) + "\n"))

    return write



# ---------------------------------------------------------------------------
# Module


def test_production_observation_is_a_frozen_slotted_record():
    fields = dataclasses.fields(ProductionObservation)
    assert [f.name for f in fields] == list(htr._NUMERIC_COLUMNS)
    assert all(f.type == "float | None" for f in fields)
    assert all(f.default is dataclasses.MISSING for f in fields)
    obs = ProductionObservation(1.0, 2.0, None, None, None, None)
    assert not hasattr(obs, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        obs.cut = 3.0
    with pytest.raises(TypeError):
        ProductionObservation(1.0, 2.0, None, None, None)
    assert hash(obs) == hash(ProductionObservation(1.0, 2.0, None, None, None, None))


@pytest.mark.parametrize("value, expected", [
    (None, None), (math.nan, None), (pd.NA, None), (pd.NaT, None), (np.float64("nan"), None),
    (3, 3.0), (2.5, 2.5), (np.int64(4), 4.0), (np.float32(0.5), 0.5), ("1.25", 1.25),
    (True, 1.0), (decimal.Decimal("NaN"), None), (np.datetime64("NaT", "D"), None),
    (complex("nan+0j"), None),
])
def test_optional_float(value, expected):
    result = htr._optional_float(value)
    assert result == expected
    assert type(result) is type(expected)


def test_optional_float_lets_conversion_errors_through():
    with pytest.raises(ValueError):
        htr._optional_float("seven")
    assert htr._optional_float(value=7) == 7.0


# ---------------------------------------------------------------------------
# Reading a valid file


def test_valid_rows_read_as_tags_dates_and_counts(production):
    path = production(" Red ,2024-01-03,5,10,12,,3,7",
                      "blue,2024-01-10,4,n/a,,1,,",
                      "RED,2024-01-04,abc,2,11,0,1,1",
                      header=HEADER + ",note")
    data = HarvestTagReader.read(path).data
    assert list(data.index) == [0, 1, 2]
    assert list(data["tag"]) == ["red", "blue", "red"]
    assert list(data["date"]) == [datetime.date(2024, 1, 3), datetime.date(2024, 1, 10),
                                  datetime.date(2024, 1, 4)]
    assert all(type(d) is datetime.date for d in data["date"])
    assert data["bagged"].tolist()[:2] == [5.0, 4.0] and math.isnan(data["bagged"][2])
    assert math.isnan(data["cut"][1]) and math.isnan(data["field_losses"][0])
    assert data["processed"].tolist()[0] == 7.0


@pytest.mark.parametrize("present", [
    (), ("field_losses",), ("rejected",), ("processed",), ("field_losses", "processed"),
    ("rejected", "processed"), ("field_losses", "rejected", "processed"),
])
def test_absent_extension_columns_give_notices_and_nan_columns(production, present):
    header = ",".join(["tag", "date", "bagged", "cut", "age_at_cut", *present])
    # cut does not balance: only checked when both rejected and processed are present
    values = ",".join(["red", "2024-01-03", "1", "5", "9", *["1"] * len(present)])
    path = production(values, header=header)
    absent = [c for c in htr._EXTENSION_COLUMNS if c not in present]
    if "rejected" in present and "processed" in present:
        with pytest.raises(RibbonDataError) as excinfo:
            HarvestTagReader.read(path)
        assert str(excinfo.value) == "'cut' != 'processed' + 'rejected' on row(s) [0] in " + repr(path)
        return
    result = HarvestTagReader.read(path)
    assert list(result.notices) == [
        Notice(kind=NoticeKind.FEATURE_DISABLED, subject=c, message=extension_message(c, path),
               source="HarvestTagReader") for c in absent]
    assert all(n.week_index is None and n.tag is None for n in result.notices)
    assert list(result.data.columns) == RESULT_COLUMNS
    for column in absent:
        assert result.data[column].dtype == np.float64 and result.data[column].isna().all()


# ---------------------------------------------------------------------------
# Dates


def test_date_parse_error_is_chained_and_hints_at_week_labels(production):
    path = production("red,week 12,1,0,,,,")
    with pytest.raises(RibbonDataError) as excinfo:
        HarvestTagReader.read(path)
    cause = excinfo.value.__cause__
    assert isinstance(cause, ValueError)
    assert str(excinfo.value) == ("could not parse 'date' column in " + repr(path)
                                  + " as calendar dates: " + str(cause) + HINT)


def test_eight_digit_number_that_is_no_day_fails_in_the_parser(production):
    path = production("red,20181345,1,0,,,,")
    with pytest.raises(RibbonDataError) as excinfo:
        HarvestTagReader.read(path)
    assert isinstance(excinfo.value.__cause__, ValueError)
    assert str(excinfo.value).endswith(HINT)


# ---------------------------------------------------------------------------
# Checks: exact messages and which failure wins


CHECKS = {
    "duplicate": "duplicate (tag, date) rows at index {rows} in {path}; expected at most one "
                 "row per ribbon tag per date",
    "negative": "column {column} contains negative value(s) at row(s) {rows} in {path}; "
                "expected non-negative counts",
    "incomplete": "'age_at_cut' is missing on row(s) {rows} where 'cut' > 0 in {path} -- an "
                  "incomplete harvest record",
    "balance": "'cut' != 'processed' + 'rejected' on row(s) {rows} in {path}",
}


@pytest.mark.parametrize("lines, check, rows, column", [
    # single defects
    (["red,2024-01-03,1,0,,,,", "Red ,2024-01-03,1,0,,,,", "blue,2024-01-03,1,0,,,,"],
     "duplicate", [0, 1], None),
    (["red,,1,0,,,,", "red,,2,0,,,,"], "duplicate", [0, 1], None),
    (["red,2024-01-03,1,0,,,,", "red,2024-1-3,1,0,,,,", ",2024-01-05,1,0,,,,",
      " ,2024-01-05,1,0,,,,"], "duplicate", [2, 3], None),
    (["red,2024-01-03,1,0,,,,", "red,2024-01-04,-1,0,,,,"], "negative", [1], "bagged"),
    (["red,2024-01-03,1,0,,,-2,", "red,2024-01-04,1,0,,,-0.5,"], "negative", [0, 1], "rejected"),
    (["red,2024-01-03,1,1,,,,", "red,2024-01-04,1,0,,,,"], "incomplete", [0], None),
    (["red,2024-01-03,1,10,5,,3.00001,7"], "balance", [0], None),
    (["red,2024-01-03,1,,,,1,0", "red,2024-01-04,1,2,5,,1,1"], "balance", [0], None),
    # several defects: the earlier check wins
    (["red,2024-01-03,-1,-1,,,,", "red,2024-01-03,1,1,,,,"], "duplicate", [0, 1], None),
    (["red,2024-01-03,-1,-1,,,,"], "negative", [0], "bagged"),
    (["red,2024-01-03,1,-1,,,,", "red,2024-01-04,1,3,,,,"], "negative", [0], "cut"),
    (["red,2024-01-03,1,2,,,-1,3"], "negative", [0], "rejected"),
    (["red,2024-01-03,1,2,,,0,0"], "incomplete", [0], None),
])
def test_production_check_messages(production, lines, check, rows, column):
    path = production(*lines)
    with pytest.raises(RibbonDataError) as excinfo:
        HarvestTagReader.read(path)
    assert str(excinfo.value) == CHECKS[check].format(rows=rows, path=repr(path),
                                                      column=repr(column))
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("cut, rejected, passes", [
    ("10", "3.0000005", True), ("10", "3.00001", False),
    ("0.000001", "0", True),                    # difference exactly 1e-06
    (repr(math.nextafter(1e-06, 1)), "0", False),  # just above
    ("", "0.000001", True), ("", "0.0000011", False),  # a missing cut counts as 0
])
def test_cut_balance_tolerance(production, cut, rejected, passes):
    processed = "7" if cut == "10" else "0"
    path = production(f"red,2024-01-03,1,{cut},5,,{rejected},{processed}")
    if passes:
        HarvestTagReader.read(path)
    else:
        with pytest.raises(RibbonDataError) as excinfo:
            HarvestTagReader.read(path)
        assert str(excinfo.value) == CHECKS["balance"].format(rows=[0], path=repr(path))


@pytest.mark.parametrize("cut, passes", [("0", True), ("", True), ("lots", True), ("1", False)])
def test_age_is_demanded_only_for_a_cut(production, cut, passes):
    path = production(f"red,2024-01-03,1,{cut},,,,")
    if passes:
        assert HarvestTagReader.read(path).data["age_at_cut"].isna().all()
    else:
        with pytest.raises(RibbonDataError):
            HarvestTagReader.read(path)


# ---------------------------------------------------------------------------
# RibbonProductionData


def test_data_keys_observations_by_tag_and_week(production, recording_provider):
    path = production("red,2024-03-04,1,0,,,,",      # week 9
                      "blue,2024-01-08,2,2,50,,1,1",  # week 1
                      "red,2024-03-06,3,4,51,,2,2",   # week 9 again: later row wins
                      "Green,2024-01-29,4,0,,,,")     # week 4
    provider = recording_provider()
    result = RibbonProductionData.from_file(path, provider)
    data = result.data
    assert type(data) is RibbonProductionData
    assert provider.calls == [datetime.date(2024, 3, 4), datetime.date(2024, 1, 8),
                              datetime.date(2024, 3, 6), datetime.date(2024, 1, 29)]
    assert all(type(d) is datetime.date for d in provider.calls)
    assert data.tags() == ("blue", "green", "red") and data.tags() is data.tags()
    assert data.observation("red", 9) == ProductionObservation(
        bagged=3.0, cut=4.0, age_at_cut=51.0, field_losses=None, rejected=2.0, processed=2.0)
    assert data.observation(tag="blue", week_index=1).field_losses is None
    assert data.observation("Red", 9) is None and data.observation("red", 8) is None
    assert (data._first_week, data._last_week) == (1, 9)
    assert [data.week_is_covered(w) for w in (0, 1, 5, 9, 10)] == [False, True, True, True, False]
    assert sorted(data._observations) == [("blue", 1), ("green", 4), ("red", 9)]


def test_observations_equal_records_built_by_the_class(recording_provider):
    data = pd.DataFrame({"tag": ["a", "b"], "date": [datetime.date(2024, 1, 1)] * 2,
                         "bagged": [1, 2], "cut": [0.5, np.nan],
                         "age_at_cut": pd.array([3, None], dtype="Int64"),
                         "field_losses": [np.nan, np.nan], "rejected": [True, False],
                         "processed": pd.Series(["4.5", None], dtype=object)})
    built = RibbonProductionData(data, recording_provider())
    for (tag, _), obs in built._observations.items():
        row = data[data["tag"] == tag].iloc[0]
        expected = ProductionObservation(**{c: htr._optional_float(row[c])
                                            for c in htr._NUMERIC_COLUMNS})
        assert type(obs) is ProductionObservation
        assert obs == expected and repr(obs) == repr(expected) and hash(obs) == hash(expected)
        assert all(type(getattr(obs, c)) in (float, type(None)) for c in htr._NUMERIC_COLUMNS)


def test_a_cell_that_does_not_convert_fails_at_its_row(recording_provider):
    data = pd.DataFrame({"tag": ["a", "b", "c"], "date": [datetime.date(2024, 1, 1)] * 3,
                         "bagged": pd.Series(["1", "x", "2"], dtype=object),
                         **{c: [0.0] * 3 for c in htr._NUMERIC_COLUMNS[1:]}})
    provider = recording_provider()
    with pytest.raises(ValueError):
        RibbonProductionData(data, provider)
    assert len(provider.calls) == 2


def test_weeks_without_rows_inside_the_range_are_covered(recording_provider):
    data = pd.DataFrame({"tag": ["red", "red"],
                         "date": [datetime.date(2024, 3, 11), datetime.date(2024, 4, 8)],
                         **{c: [1.0, 1.0] for c in htr._NUMERIC_COLUMNS}})
    built = RibbonProductionData(data, recording_provider())
    assert (built._first_week, built._last_week) == (10, 14)
    assert built.week_is_covered(12) and built.observation("red", 12) is None
    assert not built.week_is_covered(15)
    # the host's chained comparison: a numpy week gives numpy's bool, a float compares
    assert type(built.week_is_covered(np.int64(12))) is np.bool_
    assert built.week_is_covered(13.5) and not built.week_is_covered(9.5)
    with pytest.raises(TypeError):
        built.week_is_covered("12")


@pytest.mark.parametrize("source", ["file", "no columns", "no extension columns"])
def test_tables_without_rows_give_empty_data(source, production, recording_provider):
    if source == "file":
        result = RibbonProductionData.from_file(production(), recording_provider())
        assert [n.subject for n in result.notices] == []
        data = result.data
    else:
        table = (pd.DataFrame() if source == "no columns"
                 else production_table(0).drop(columns=list(htr._EXTENSION_COLUMNS)))
        data = RibbonProductionData(table, recording_provider())
    assert data.tags() == () and data._observations == {}
    assert data._first_week is None and data._last_week is None
    assert not any(data.week_is_covered(w) for w in (-1, 0, 1))
    assert data.observation("red", 0) is None


def test_absent_extension_columns_give_none_fields(production, recording_provider):
    path = production("red,2024-01-03,1,2,40", header="tag,date,bagged,cut,age_at_cut")
    result = RibbonProductionData.from_file(path, recording_provider())
    assert result.data.observation("red", 0) == ProductionObservation(1.0, 2.0, 40.0, None, None, None)
    assert len(result.notices) == 3


def test_missing_date_reaches_the_provider(production):
    path = production("red,2024-01-03,1,0,,,,", "blue,,1,0,,,,")
    provider = WeatherProvider(datetime.date(2024, 1, 1))
    with pytest.raises(WeatherError):
        RibbonProductionData.from_file(path, provider)


class Week(enum.IntEnum):
    THIRD = 3


@pytest.mark.parametrize("answer, accepted", [
    (np.int64(3), True), (True, False), (Week.THIRD, True),
    ("3.7", False), (3.0, False), (np.float64(3.5), False), (None, False),
    (decimal.Decimal(3), False),
])
@pytest.mark.parametrize("route", ["table", "file"])
@pytest.mark.parametrize("data_class", ["production", "selection"])
def test_a_week_that_is_no_whole_number_fails_at_its_row(production, write_file, answer,
                                                         accepted, route, data_class):
    """Whatever operator.index takes is a week, but a bool; anything else
    stops the build at the row of its date."""
    from py_zelka.readers.follower_choice_reader import SuckerSelectionData

    dates = ["2024-01-01", "2024-01-02", "2024-01-09"]
    if data_class == "production":
        cls = RibbonProductionData
        path = production(*[f"red,{d},1,0,,,," for d in dates])
        reader = HarvestTagReader
    else:
        cls = SuckerSelectionData
        path = write_file("selection.csv", "date,parous_count,nulliparous_count\n" +
                          "".join(f"{d},1,2\n" for d in dates))
        from py_zelka.readers.follower_choice_reader import FollowerChoiceReader as reader

    class Provider:
        calls = []

        def week_index_for_date(self, date):
            self.calls.append(date)
            return 0 if len(self.calls) == 1 else answer

    provider = Provider()
    build = (lambda: cls(reader.read(path).data, provider)) if route == "table" else (
        lambda: cls.from_file(path, provider).data)
    if accepted:
        assert build()._last_week is answer
        return
    with pytest.raises(TypeError) as excinfo:
        build()
    assert str(excinfo.value) == (
        "weather.week_index_for_date(datetime.date(2024, 1, 2)) returned " + repr(answer) +
        " of type " + type(answer).__qualname__ + ", not a whole week number; make the "
        "weather provider return the model week of every date as an int")
    assert excinfo.value.__cause__ is None and excinfo.value.__context__ is None
    assert provider.calls == [datetime.date(2024, 1, 1), datetime.date(2024, 1, 2)]


def test_unorderable_tags_fail_before_any_row(recording_provider):
    data = pd.DataFrame({"tag": pd.Series(["a", 1], dtype=object),
                         "date": [datetime.date(2024, 1, 1)] * 2,
                         **{c: [1.0, 1.0] for c in htr._NUMERIC_COLUMNS}})
    provider = recording_provider()
    with pytest.raises(TypeError):
        RibbonProductionData(data, provider)
    assert provider.calls == []


class ScriptedProvider:
    """Hands out the given week indices, one per call, in order."""

    def __init__(self, weeks):
        self.weeks = list(weeks)

    def week_index_for_date(self, date):
        return self.weeks.pop(0)


class Label(str):
    """A tag that is text, but not exactly str."""


@pytest.mark.parametrize("weeks, tags", [
    ([1, 1, 2, 1, 2, 3, 1, 2000, 2000], "abab" "aabab"),    # repeated keys, plain rows
    ([1, 1, 1, 2, 2, 2, 2, 5, 5], "abaa" "bbaba"),          # weeks that only grow
    ([1, 1, 2, np.int64(1), 2, 1, 1, 2, 2], "abab" "aabab"),  # a week of no exact int midway
    ([1, 1, 2, 1, 2, 1, 1, 2, 2], ["a", "b", "a", Label("b"), "a", "a", "b", "a", "b"]),
    ([1, 2**70, 1, 2**70, 1, 1, 1, 2, 2], "abab" "aabab"),  # beyond 64 bits
    ([(3000 - i) // 4 % 700 for i in range(3000)], "abc" * 1000),  # many keys, any order
    ([1, 1, 2, 2, 3], ["é", "z", "É", "é", "a\U0001f34c"]),     # labels beyond ASCII
])
@pytest.mark.parametrize("tag_dtype", [object, "str"])
def test_observations_are_the_row_by_row_dict(weeks, tags, tag_dtype):
    """Each (tag, week) where its first row put it, with that row's tag and
    week objects, and the record of its last row."""
    weeks = [int(str(w)) if type(w) is int else w for w in weeks]  # distinct objects
    if tag_dtype == "str" and not all(type(t) is str for t in tags):
        pytest.skip("a text column holds text only")
    n = len(weeks)
    data = production_table(n, bagged=[float(i) for i in range(n)])
    data["tag"] = pd.Series(list(tags), dtype=tag_dtype)
    built = RibbonProductionData(data, ScriptedProvider(weeks))
    expected, firsts, previous = {}, {}, None
    for i, (tag, week) in enumerate(zip(data["tag"].tolist(), weeks)):
        if type(week) is int and type(previous) is int and week == previous:
            week = previous  # consecutive rows of one week share one int
        previous = week
        firsts.setdefault((tag, week), (tag, week))
        expected[(tag, week)] = ProductionObservation(**{
            c: htr._optional_float(data[c].iloc[i]) for c in htr._NUMERIC_COLUMNS})
    assert list(built._observations.items()) == list(expected.items())
    assert built.tags() == tuple(sorted(data["tag"].unique()))
    for key, first in zip(built._observations, firsts.values()):
        assert key[1] is first[1]
        if tag_dtype is object:
            assert key[0] is first[0]


@pytest.mark.parametrize("weeks", [
    [5, 3, 3, 9, 9, 2],                       # exact ints only
    [5, 3, np.int32(3), 2, np.int64(11)],     # other int types after ints
    [np.int64(2), 5, 1],                      # another int type first
    [2**70, -(2**70), 4],                     # ints beyond 64 bits
])
def test_first_and_last_week_are_the_min_and_max_of_all_weeks(weeks):
    n = len(weeks)
    data = pd.DataFrame({"tag": [f"t{i}" for i in range(n)],
                         "date": [datetime.date(2024, 1, 1)] * n,
                         **{c: [1.0] * n for c in htr._NUMERIC_COLUMNS}})
    built = RibbonProductionData(data, ScriptedProvider(weeks))
    assert built._first_week == min(weeks) and type(built._first_week) is type(min(weeks))
    assert built._last_week == max(weeks) and type(built._last_week) is type(max(weeks))
    assert sorted(built._observations, key=lambda k: k[0]) == [
        (f"t{i}", w) for i, w in enumerate(weeks)]


def test_counts_convert_as_optional_float_does_for_every_column_kind(recording_provider):
    big = 2**53 + 1
    data = pd.DataFrame({"tag": pd.Series(["a", "b", "c"], dtype="str"),
                         "date": [datetime.date(2024, 1, 1)] * 3,
                         "bagged": np.array([big, 3, 0], dtype=np.int64),
                         "cut": [-0.0, 1023.0, 1024.0],
                         "age_at_cut": [0.5, 7.0, np.nan],
                         "field_losses": np.array([1, 2, 3], dtype=np.int32),
                         "rejected": pd.array([1, None, 2], dtype="Int64"),
                         "processed": [np.inf, -3.0, 1e300]})
    built = RibbonProductionData(data, recording_provider())
    for i, tag in enumerate("abc"):
        (obs,) = [o for (t, _), o in built._observations.items() if t == tag]
        for column in htr._NUMERIC_COLUMNS:
            expected = htr._optional_float(data[column].iloc[i])
            got = getattr(obs, column)
            assert type(got) is type(expected)
            if expected is not None:
                assert math.copysign(1.0, got) == math.copysign(1.0, expected)
                assert got == expected
    assert built._observations[("a", 0)].bagged == float(big)


@pytest.mark.parametrize("cells", [
    ["Red", " red ", "", "BLUE", "", "  ", "Grün", "red"],
    ["a", "a", "a"],
])
def test_read_normalises_tags_as_the_normaliser_maps_them(production, cells):
    lines = [f"{tag},2024-01-{i + 1:02d},1,0,,0,0,0" for i, tag in enumerate(cells)]
    path = production(*lines)
    from py_zelka.readers._common import _normalize_tag, _read_table
    expected = _read_table(path, text_columns=("tag",))["tag"].map(_normalize_tag)
    got = HarvestTagReader.read(path).data["tag"]
    assert got.dtype == expected.dtype
    assert got.tolist() == expected.tolist()


def production_table(n: int, **columns) -> pd.DataFrame:
    """A table as HarvestTagReader.read returns it: n rows of tags a and b,
    one date every three days, counts 1.0 unless given (not copied)."""
    return pd.DataFrame({
        "tag": ["a", "b"] * (n // 2) + ["a"] * (n % 2),
        "date": [datetime.date(2024, 1, 1) + datetime.timedelta(days=3 * i) for i in range(n)],
        **{c: columns.get(c, [1.0] * n) for c in htr._NUMERIC_COLUMNS}}, copy=False)


@pytest.mark.parametrize("weeks, dict_tracked", [
    ([0, 0, 1, 1, 1], False),               # every row keyed in C++
    ([0, 0, np.int64(1), 1, 1], True),      # row by row from the third row on
])
def test_records_of_numbers_are_left_out_of_the_collector(weeks, dict_tracked):
    """Keys of text and int and records of floats can take part in no cycle:
    the collector need not walk them, nor a dict holding only them."""
    data = RibbonProductionData(production_table(5), ScriptedProvider(weeks))
    for key, record in data._observations.items():
        assert gc.is_tracked(key) is (type(key[1]) is not int)
        assert not gc.is_tracked(record)
    assert gc.is_tracked(data._observations) is dict_tracked
    gc.collect()
    assert data.observation("a", 1) == ProductionObservation(*[1.0] * 6)


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("provider", ["plain", "fails", "switches", "checks", "cycles"])
def test_the_collector_is_as_the_user_left_it(enabled, provider):
    """The build never pauses the collector around a provider call, and leaves
    it switched as it was (or as the provider switched it)."""
    seen, collected, made = [], [], []

    class Provider:
        def week_index_for_date(self, date):
            if provider == "fails" and len(seen) == 3:
                raise WeatherError("no such week")
            if provider == "switches":
                gc.disable()
            seen.append(gc.isenabled())
            if provider == "cycles":  # a small reference cycle per call
                holder = Provider()
                holder.cycle = [holder]
                made.append(weakref.ref(holder, collected.append))
                seen[-1] = len(collected)
            return (date - datetime.date(2024, 1, 1)).days // 7

    data = production_table(30000 if provider == "cycles" else 8)
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        if provider == "fails":
            with pytest.raises(WeatherError):
                RibbonProductionData(data, Provider())
        else:
            RibbonProductionData(data, Provider())
        after = gc.isenabled()
    finally:
        (gc.enable if was else gc.disable)()
    if provider == "cycles":
        # cycles made early in the build are collected while it runs
        assert (seen[-1] > 0) is enabled
    elif provider == "switches":
        assert seen == [False] * 8 and after is False
    else:
        assert set(seen) == {enabled} and after is enabled


def test_module_names_are_looked_up_when_used(production, monkeypatch, recording_provider):
    checked = []

    def lenient(table, columns, *, context, error_cls):
        checked.append(columns)

    monkeypatch.setattr(htr, "_require_columns", lenient)
    monkeypatch.setattr(htr, "_REQUIRED_COLUMNS", ("tag", "date"))
    path = production("Red,2024-01-03,4", header="tag,date,bagged")  # no cut, no age at cut
    result = HarvestTagReader.read(path)
    assert checked == [["tag", "date"]]
    assert result.data["bagged"].tolist() == [4] and result.data["cut"].isna().all()

    fields = list(htr._NUMERIC_COLUMNS)
    monkeypatch.setattr(htr, "ProductionObservation", collections.namedtuple("Seen", fields))
    monkeypatch.setattr(htr, "_optional_float", lambda value: ("cell", value))
    observation = RibbonProductionData(result.data, recording_provider()).observation("red", 0)
    assert type(observation) is htr.ProductionObservation
    assert observation.bagged == ("cell", 4) and observation.cut[0] == "cell"


def test_columns_of_unequal_length_are_refused(production, monkeypatch):
    class Lopsided(pd.DataFrame):
        @property
        def _constructor(self):
            return Lopsided

        def __getitem__(self, key):
            column = super().__getitem__(key)
            return column.iloc[:1] if key == "age_at_cut" else column

    load = htr._read_table
    monkeypatch.setattr(htr, "_read_table", lambda path, **kw: Lopsided(load(path, **kw)))
    path = production("red,2024-01-03,1,1,30,,,", "blue,2024-01-03,1,1,30,,,")
    with pytest.raises(ValueError) as excinfo:
        HarvestTagReader.read(path)
    assert str(excinfo.value) == ("column 'age_at_cut' holds 1 row(s) where column 'cut' holds 2; "
                                  "expected the columns of one table")


@pytest.mark.parametrize("dtypes, cut, processed, rejected, balanced", [
    (("float32",) * 3, 1000.7, 900.3, 100.4, True),   # balances in float32, not in float64
    (("int64",) * 3, 2**60 + 1, 2**60, 0, False),     # equal once made float64
    (("int64", "int64", "float64"), 2**60 + 1, 2**60, 0.0, True),
    (("float64", "int64", "int64"), 2.0**62, 2**61 + 1, 2**61 - 1, True),
    (("Int64",) * 3, 5, 3, 3, False),
    (("uint64",) * 3, 5, 3, 2, True),
    (("float64",) * 3, 10.0, 7.0, 3.00001, False),
])
def test_cut_balance_is_computed_in_the_columns_own_types(write_frame, dtypes, cut, processed,
                                                          rejected, balanced):
    frame = pd.DataFrame({"tag": ["red"], "date": ["2024-01-03"], "bagged": [1],
                          "age_at_cut": [30]})
    for column, dtype, value in zip(("cut", "processed", "rejected"), dtypes,
                                    (cut, processed, rejected)):
        frame[column] = pd.Series([value], dtype=dtype)
    path = write_frame("production.parquet", frame)
    # what pandas' own expression says of the columns as the reader converts them
    n = {c: pd.to_numeric(htr._read_table(path)[c], errors="coerce")
         for c in ("cut", "processed", "rejected")}
    difference = (n["cut"].fillna(0.0) - (n["processed"] + n["rejected"])).abs()
    assert bool((difference > 1e-06).any()) is not balanced
    if balanced:
        cut_read = HarvestTagReader.read(path).data["cut"]
        assert cut_read.dtype == n["cut"].dtype and cut_read.tolist() == n["cut"].tolist()
    else:
        with pytest.raises(RibbonDataError) as excinfo:
            HarvestTagReader.read(path)
        assert str(excinfo.value) == ("'cut' != 'processed' + 'rejected' on row(s) [0] in "
                                      + repr(path))


def test_unaligned_count_columns_are_read(recording_provider):
    def unaligned(values, dtype):
        raw = np.array(values, dtype=dtype).tobytes()
        return np.frombuffer(b"\0" + raw, dtype=dtype, offset=1)

    counts = {c: unaligned([1, 2], np.int64) if i % 2 else unaligned([1.5, np.nan], np.float64)
              for i, c in enumerate(htr._NUMERIC_COLUMNS)}
    table = production_table(2, **counts)
    if table["cut"].to_numpy().flags.aligned:
        pytest.skip("this pandas copies the columns of a new table")
    data = RibbonProductionData(table, recording_provider())
    copied = RibbonProductionData(table.copy(deep=True), recording_provider())
    assert data._observations == copied._observations
    assert data.observation("b", 0) == ProductionObservation(None, 2.0, None, 2.0, None, 2.0)


def test_a_label_of_several_columns_is_named(recording_provider):
    table = production_table(2)
    table.columns = ["tag", "date", "bagged", "date", *table.columns[4:]]
    with pytest.raises(ValueError) as excinfo:
        RibbonProductionData(table, recording_provider())
    assert str(excinfo.value) == ("the table has 2 columns labelled 'date'; expected one column "
                                  "per label")


def test_a_class_the_provider_changes_is_used_as_changed(monkeypatch):
    made = []
    original = ProductionObservation.__init__

    def counting_init(self, *args, **kwargs):
        made.append(kwargs)
        original(self, *args, **kwargs)

    class Provider:
        def week_index_for_date(self, date):
            monkeypatch.setattr(ProductionObservation, "__init__", counting_init)
            return (date - datetime.date(2024, 1, 1)).days // 7

    data = RibbonProductionData(production_table(3), Provider())
    assert len(made) == 3 and made[0] == dict.fromkeys(htr._NUMERIC_COLUMNS, 1.0)
    assert data.observation("a", 0) == ProductionObservation(*[1.0] * 6)

"""Column maps and the week numbering of the weather provider."""

from __future__ import annotations

import dataclasses
import datetime as dt
import pickle

import pandas as pd
import pytest

from py_zelka.exceptions import WeatherError, ZelkaError
from py_zelka.weather import ColumnMap, WeatherProvider

START = dt.date(2024, 1, 1)
END = dt.date(2024, 12, 31)


def test_column_map_defaults_and_keywords():
    assert ColumnMap() == ColumnMap(date="date", tmean="tmean", heat_units=None, dayfirst=False)
    cm = ColumnMap(date="Fecha", tmean=None, heat_units="GDD", dayfirst=True)
    assert (cm.date, cm.tmean, cm.heat_units, cm.dayfirst) == ("Fecha", None, "GDD", True)
    assert [(f.name, f.type) for f in dataclasses.fields(ColumnMap)] == [
        ("date", "str"),
        ("tmean", "str | None"),
        ("heat_units", "str | None"),
        ("dayfirst", "bool"),
    ]
    with pytest.raises(dataclasses.FrozenInstanceError):
        cm.date = "x"
    assert pickle.loads(pickle.dumps(cm)) == cm


@pytest.mark.parametrize(
    ("length", "date", "week"),
    [
        (7, START, 0),
        (7, dt.date(2024, 1, 7), 0),
        (7, dt.date(2024, 1, 8), 1),
        (7, END, 52),
        (1, dt.date(2024, 1, 2), 1),
        (10, dt.date(2024, 1, 30), 2),
        (7, dt.datetime(2024, 1, 14, 23, 59), 1),
        (7, pd.Timestamp("2024-01-15 06:00"), 2),
    ],
)
def test_week_index_for_date(length, date, week):
    provider = WeatherProvider(START, week_length_days=length, end=END)
    result = provider.week_index_for_date(date)
    assert result == week and type(result) is int


def test_equal_dates_give_equal_weeks_and_no_end_means_open_period():
    provider = WeatherProvider(dt.datetime(2024, 1, 1, 12))
    assert provider.start == START and provider.end is None
    assert provider.week_index_for_date(dt.date(2100, 1, 1)) == (dt.date(2100, 1, 1) - START).days // 7
    assert provider.week_index_for_date(dt.date(2024, 3, 3)) == provider.week_index_for_date(
        pd.Timestamp("2024-03-03")
    )


@pytest.mark.parametrize(
    ("end", "date", "message"),
    [
        (END, dt.date(2023, 12, 31), "date 2023-12-31 lies outside the weather period 2024-01-01 to 2024-12-31"),
        (END, dt.date(2025, 1, 1), "date 2025-01-01 lies outside the weather period 2024-01-01 to 2024-12-31"),
        (END, pd.Timestamp("2025-01-01 10:00"), "date 2025-01-01 lies outside the weather period 2024-01-01 to 2024-12-31"),
        (None, dt.date(2023, 12, 31), "date 2023-12-31 lies outside the weather period 2024-01-01 onwards"),
        (END, None, "cannot place the missing date None in the weather period 2024-01-01 to 2024-12-31"),
        (END, pd.NaT, "cannot place the missing date NaT in the weather period 2024-01-01 to 2024-12-31"),
    ],
)
def test_dates_the_provider_cannot_place(end, date, message):
    provider = WeatherProvider(START, end=end)
    with pytest.raises(WeatherError) as excinfo:
        provider.week_index_for_date(date)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("value", ["2024-01-01", 20240101, dt.time(1)])
def test_non_dates_raise_type_error(value):
    with pytest.raises(TypeError):
        WeatherProvider(START).week_index_for_date(value)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"start": "2024-01-01"}, TypeError, "start must be a datetime.date, not 'str'"),
        ({"start": START, "week_length_days": 0}, ValueError,
         "week_length_days must be a positive number of days, not 0"),
        ({"start": START, "week_length_days": True}, TypeError, "week_length_days must be an int, not bool"),
        ({"start": START, "end": dt.date(2023, 1, 1)}, ValueError, "end 2023-01-01 lies before start 2024-01-01"),
        ({"start": pd.NaT}, ValueError, "start must be a calendar date, not the missing value NaT"),
    ],
)
def test_invalid_provider_arguments(kwargs, error, message):
    with pytest.raises(error) as excinfo:
        WeatherProvider(**kwargs)
    assert str(excinfo.value) == message


def test_keyword_only_arguments():
    with pytest.raises(TypeError):
        WeatherProvider(START, 7)


def test_from_table_spans_the_dates_of_the_table():
    table = pd.DataFrame(
        {"date": pd.to_datetime(["2024-03-10", None, "2024-01-05", "2024-06-30"]), "tmean": [1, 2, 3, 4]}
    )
    provider = WeatherProvider.from_table(table, week_length_days=5)
    assert (provider.start, provider.end, provider.week_length_days) == (
        dt.date(2024, 1, 5),
        dt.date(2024, 6, 30),
        5,
    )
    assert provider.week_index_for_date(dt.date(2024, 1, 10)) == 1


def test_from_table_without_dates():
    table = pd.DataFrame({"date": pd.to_datetime([None, None]), "tmean": [1.0, 2.0]})
    with pytest.raises(WeatherError) as excinfo:
        WeatherProvider.from_table(table)
    assert str(excinfo.value) == "the weather table holds no dates, so it defines no weather period"


def test_from_table_builds_the_calling_class():
    class Provider(WeatherProvider):
        __slots__ = ()

    table = pd.DataFrame({"date": pd.to_datetime(["2024-01-01"])})
    assert type(Provider.from_table(table)) is Provider


def test_provider_is_read_only_and_pickles():
    provider = WeatherProvider(START, week_length_days=3, end=END)
    with pytest.raises(AttributeError):
        provider.start = END
    copy = pickle.loads(pickle.dumps(provider))
    assert repr(copy) == repr(provider) == (
        "WeatherProvider(start=datetime.date(2024, 1, 1), week_length_days=3, "
        "end=datetime.date(2024, 12, 31))"
    )
    assert copy.week_index_for_date(dt.date(2024, 1, 4)) == 1


def test_exception_hierarchy():
    import py_zelka.exceptions as exceptions

    names = ["ParameterError", "WeatherError", "CohortChainError", "RibbonDataError", "SuckerSelectionError"]
    for name in names:
        cls = getattr(exceptions, name)
        assert cls.__bases__ == (ZelkaError,) and cls.__module__ == "py_zelka.exceptions"
        assert str(cls("one message")) == "one message"
    assert ZelkaError.__bases__ == (Exception,)
    error = pickle.loads(pickle.dumps(WeatherError("m")))
    assert type(error) is WeatherError and error.args == ("m",)


def test_chain_kind():
    from py_zelka.cohorts import ChainKind

    assert issubclass(ChainKind, str)
    assert [(m.name, m.value) for m in ChainKind] == [
        ("VEGETATIVE", "vegetative"),
        ("REPRODUCTIVE", "reproductive"),
    ]
    assert ChainKind("reproductive") is ChainKind.REPRODUCTIVE

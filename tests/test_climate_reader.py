"""Weather file reader (WeatherFileReader)."""

from __future__ import annotations

import types

import pandas as pd
import pytest

from py_zelka.exceptions import WeatherError
from py_zelka.notices import NoticeLog, ReadResult
from py_zelka.readers import climate_reader as clr
from py_zelka.weather import ColumnMap

WeatherFileReader = clr.WeatherFileReader
NO_SIGNAL = "columns must specify either tmean= or heat_units="


@pytest.fixture
def weather_file(write_file):
    """Write a weather CSV from a header and data lines; return its path as str."""

    def write(*lines: str, header: str = "date,tmean", name: str = "weather.csv") -> str:
        return str(write_file(name, "\n".join((header, *lines)) + "\n"))

    return write


def days(*dates: str) -> list:
    return [pd.Timestamp(d) for d in dates]


def parse_message(label, path, cause) -> str:
    return ("could not parse " + repr(label) + " column in " + repr(path)
            + " as calendar dates: " + str(cause))


def mix_message(label, path, example) -> str:
    return ("dates in " + repr(label) + " of " + repr(path) + " mix day-first and month-first "
            "readings (e.g. " + repr(example) + "); pass ColumnMap(dayfirst=True) if the file "
            "writes the day first")


# ---------------------------------------------------------------------------
# Module


# ---------------------------------------------------------------------------
# Column choice


def test_default_column_map(weather_file):
    path = weather_file("2024-01-01,20.5,1", "2024-01-02,warm,0", header="date,tmean,rain")
    for result in (WeatherFileReader.read(path), WeatherFileReader.read(path, None),
                   WeatherFileReader.read(path=path, columns=ColumnMap())):
        assert type(result) is ReadResult and type(result.notices) is NoticeLog
        assert list(result.notices) == []
        assert list(result.data.columns) == ["date", "tmean"]
        assert list(result.data["date"]) == days("2024-01-01", "2024-01-02")
        # values as loaded: no numeric conversion
        assert list(result.data["tmean"]) == ["20.5", "warm"]


@pytest.mark.parametrize("columns, target, values", [
    (ColumnMap(heat_units="GDD"), "heat_units", [7.0, 8.0]),
    (ColumnMap(tmean="TMK", heat_units="GDD"), "heat_units", [7.0, 8.0]),
    (ColumnMap(tmean="TMK", heat_units=None), "tmean", [20.0, 21.0]),
    (ColumnMap(date="Datum", tmean="tmean"), "tmean", [1.5, 2.5]),
])
def test_chosen_signal_column(write_file, columns, target, values):
    path = write_file("w.csv", "Datum,date,TMK,GDD,tmean\n"
                               "2024-01-01,2023-06-01,20,7,1.5\n2024-01-02,2023-06-02,21,8,2.5\n")
    data = WeatherFileReader.read(path, columns).data
    assert list(data.columns) == ["date", target]
    assert data[target].tolist() == values
    first = "2024-01-01" if columns.date == "Datum" else "2023-06-01"
    assert data["date"][0] == pd.Timestamp(first)


def test_no_signal_column_fails_before_the_file_is_opened(tmp_path):
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(tmp_path / "absent.csv", ColumnMap(tmean=None))
    assert str(excinfo.value) == NO_SIGNAL and excinfo.value.__cause__ is None


@pytest.mark.parametrize("columns, missing", [
    (ColumnMap(), "['tmean']"),
    (ColumnMap(date="Datum", heat_units="GDD"), "['Datum', 'GDD']"),
])
def test_missing_columns(weather_file, columns, missing):
    path = weather_file("2024-01-01,1", header="date,TMK")
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(path, columns)
    assert str(excinfo.value) == ("weather file " + repr(path) + " is missing required column(s) "
                                  + missing + "; found columns ['date', 'TMK']")


def test_a_column_map_of_the_callers_own(weather_file):
    path = weather_file("05/01/2024,1", "06/01/2024,2", header="day,t")
    columns = types.SimpleNamespace(date="day", tmean="t", heat_units=None)  # no dayfirst
    data = WeatherFileReader.read(path, columns).data
    assert list(data["date"]) == days("2024-05-01", "2024-06-01")


# ---------------------------------------------------------------------------
# The table


def test_rows_and_index_are_the_loaded_ones(weather_file, monkeypatch):
    path = weather_file("2024-01-03,3,x", "2024-01-01,1,y", "2024-01-01,1,z",
                        header="date,tmean,note")
    loaded = clr._read_table(path)
    monkeypatch.setattr(clr, "_read_table", lambda p: loaded.set_axis([5, 9, 2]))
    data = WeatherFileReader.read(path).data
    assert list(data.index) == [5, 9, 2]
    # unsorted and repeated dates pass unchanged
    assert list(data["date"]) == days("2024-01-03", "2024-01-01", "2024-01-01")
    assert list(data["tmean"]) == [3, 1, 1]


def test_mixed_date_formats_parse_each_value_by_itself(weather_file):
    path = weather_file("2024-03-11,1", "12 March 2024,2", "Mar 13 2024,3", ",4")
    dates = list(WeatherFileReader.read(path).data["date"])
    assert dates[:3] == days("2024-03-11", "2024-03-12", "2024-03-13") and dates[3] is pd.NaT


def test_spreadsheet_export(write_file):
    content = ("\ufeff Datum ; TMK ; RSK ;Station\n"
               "31.12.2023;-1,5;0,2;Kessot\n"
               "2024-01-01;0,5;1,0;Kessot\n"
               "2 January 2024;1,5;0,0;Kessot\n"
               "03.01.2024;2,0;;Kessot\n")
    path = write_file("export.csv", content.encode("utf-8"))
    result = WeatherFileReader.read(path, ColumnMap(date="Datum", tmean="TMK", dayfirst=True))
    data = result.data
    assert list(data.columns) == ["date", "tmean"]
    assert list(data["date"]) == days("2023-12-31", "2024-01-01", "2024-01-02", "2024-01-03")
    assert list(data["tmean"]) == ["-1,5", "0,5", "1,5", "2,0"]


# ---------------------------------------------------------------------------
# Date errors


def test_date_parse_error_is_chained_and_names_the_file_by_repr(write_file):
    path = write_file("w.csv", "day,tmean\n2024-01-01,1\nweek 12,2\n")
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(path, ColumnMap(date="day"))
    cause = excinfo.value.__cause__
    assert isinstance(cause, ValueError)
    assert str(excinfo.value) == parse_message("day", path, cause)
    assert "weather file" not in str(excinfo.value)


# ---------------------------------------------------------------------------
# Day-first files


@pytest.mark.parametrize("cells, example", [
    (["05/01/2024", "13/01/2024"], "13/01/2024"),
    (["13-01-2024", "14-01-2024", "1-2-2024"], "13-01-2024"),
    (["12.01.2024", "31.01.2024 06:00", "28.02.2024"], "31.01.2024 06:00"),
    # ISO and written-out dates beside them change nothing
    (["2024-01-02", "02/03/2024", "12 March 2024", "25/03/2024"], "25/03/2024"),
])
def test_day_first_beside_month_first_readings_fails(weather_file, cells, example):
    path = weather_file(*[f"{c},1" for c in cells])
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(path)
    assert str(excinfo.value) == mix_message("date", path, example)
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("cells, expected", [
    # all unambiguous, whichever field comes first
    (["13/01/2024", "01/14/2024", "25/12/2023"], ["2024-01-13", "2024-01-14", "2023-12-25"]),
    (["13/01/2024", "05/05/2024"], ["2024-01-13", "2024-05-05"]),
    # all month first
    (["01/02/2024", "12/31/2024"], ["2024-01-02", "2024-12-31"]),
    # day first and month first in different layouts
    (["13/01/2024", "05-01-2024"], ["2024-01-13", "2024-05-01"]),
    (["2024-01-05", "12 March 2024", "13 March 2024"], ["2024-01-05", "2024-03-12", "2024-03-13"]),
])
def test_files_without_a_scrambled_reading_read_as_before(weather_file, cells, expected):
    path = weather_file(*[f"{c},1" for c in cells])
    assert list(WeatherFileReader.read(path).data["date"]) == days(*expected)


@pytest.mark.parametrize("cells, expected", [
    (["05/01/2024", "13/01/2024"], ["2024-01-05", "2024-01-13"]),
    (["05-01-2024 10:30", "6-1-2024"], ["2024-01-05 10:30", "2024-01-06"]),
    # written year first, read as written
    (["2024-01-05", "06/01/2024", "2024/01/07", "2024-01-08T06:00", "20240109"],
     ["2024-01-05", "2024-01-06", "2024-01-07", "2024-01-08 06:00", "2024-01-09"]),
    (["2024-01-05", "", "6 Jan 2024"], ["2024-01-05", None, "2024-01-06"]),
    # numbers are still read as YYYYMMDD
    (["20180624", "20180701"], ["2018-06-24", "2018-07-01"]),
    (["20180624", ""], ["2018-06-24", None]),
])
def test_dayfirst_reads_the_day_first(weather_file, cells, expected):
    path = weather_file(*[f"{c},1" for c in cells])
    got = WeatherFileReader.read(path, ColumnMap(dayfirst=True)).data["date"]
    assert [None if g is pd.NaT else g for g in got] == [e and pd.Timestamp(e) for e in expected]
    assert got.dtype == pd.to_datetime(pd.Series(cells), format="mixed", dayfirst=True).dtype


def test_day_first_dates_that_do_not_parse_fail_as_parse_errors(weather_file):
    path = weather_file("13/13/2024,1", "05/01/2024,1")
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(path)
    assert str(excinfo.value) == parse_message("date", path, excinfo.value.__cause__)

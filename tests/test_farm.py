"""A farm folder in one call (py_zelka.farm), the zelka command, and the real
exports its files come as: metadata before the header, day-first and
month-first dates, stacked stations, hourly rows, other column labels."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from py_zelka.cli import main as zelka
from py_zelka.exceptions import WeatherError, ZelkaError
from py_zelka.farm import EXAMPLE_FARM, Farm, FarmCheckError, FarmReport, check_farm
from py_zelka.readers._common import _read_table
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.weather import ColumnMap

DATA = Path(__file__).resolve().parent / "data"
EXPORTS = DATA / "exports"
MESSY = DATA / "farms" / "messy"


# ---------------------------------------------------------------------------
# Real exports


@pytest.mark.parametrize(("name", "columns", "rows", "last"), [
    ("bom_preamble.csv", ["Product code", "Bureau of Meteorology station number", "Year"], 4,
     ["IDCJAC0010", 66062, 2024]),  # station lines before, notes after the table
    ("openmeteo.csv", ["time", "temperature_2m_mean (°C)", "precipitation_sum (mm)"], 4,
     ["2024-01-04", 21.0, 5.1]),
    ("cp1252_dayfirst.csv", ["Fecha", "Temp. media (°C)", "Lluvia"], 4, ["14/01/2024", "23,3", "0"]),
    ("ernte_de.csv", ["Band", "Datum", "Gesackt"], 3, ["Blau", "16.09.2024", 43]),
    ("stacked.csv", ["date", "station", "tmean"], 6, ["2024-01-03", "south", 26.1]),
])
def test_the_header_is_found_after_metadata_lines(name, columns, rows, last):
    table = _read_table(EXPORTS / name)
    assert list(table.columns)[:3] == columns and len(table) == rows
    assert [table[c].iloc[-1] for c in columns] == last


@pytest.mark.parametrize(("content", "error", "note"), [
    ("date,tmean\n2024-01-01,1\n2024-01-02,2,3,4\n", "ParserError", ", at line 3"),
    ("", "EmptyDataError", ""),
])
def test_loading_errors_keep_their_type_and_name_the_file(write_file, content, error, note):
    path = write_file("weather.csv", content)
    with pytest.raises(Exception) as excinfo:
        _read_table(path)
    assert type(excinfo.value).__name__ == error
    assert excinfo.value.__notes__ == ["while reading " + repr(path) + note]


@pytest.mark.parametrize(("name", "columns", "example", "advice"), [
    ("us_monthfirst.csv", ColumnMap(date="DATE", tmean="TAVG", dayfirst=True), "01/13/2024",
     "pass ColumnMap(dayfirst=False) if the file writes the month first"),
    ("cp1252_dayfirst.csv", ColumnMap(date="Fecha", tmean="Temp. media (°C)"), "13/01/2024",
     "pass ColumnMap(dayfirst=True) if the file writes the day first"),
])
def test_dates_read_the_wrong_way_round_are_refused_both_ways(name, columns, example, advice):
    path = EXPORTS / name
    with pytest.raises(WeatherError) as excinfo:
        WeatherFileReader.read(path, columns)
    assert str(excinfo.value) == (
        f"dates in {columns.date!r} of {path!r} mix day-first and month-first readings "
        f"(e.g. {example!r}); {advice}")
    right = ColumnMap(date=columns.date, tmean=columns.tmean, dayfirst=not columns.dayfirst)
    assert WeatherFileReader.read(path, right).data["date"].dt.month.tolist()[:2] == [1, 1]


# ---------------------------------------------------------------------------
# check_farm and Farm.load

# Every problem of the messy farm: (file, line, column, rule, severity).
MESSY_FINDINGS = [
    ("farm.yaml", 5, None, "farm_yaml_key", "error"),
    ("parameters.yaml", 32, "flowering.spread", "parameter_range", "warning"),
    ("parameters.yaml", 56, "mortality_replacement.death_rate_vegetative", "parameter_range",
     "warning"),
    ("management.yaml", 1, None, "unknown_key", "warning"),
    ("station_export.csv", 4, None, "skipped_lines", "warning"),
    ("station_export.csv", 5, "Tmittel", "non_numeric_signal", "error"),
    ("station_export.csv", 5, "Datum", "missing_week", "error"),
    ("station_export.csv", 8, "Datum", "stacked_rows", "error"),
    ("station_export.csv", 9, "Datum", "stacked_rows", "error"),
    ("station_export.csv", 9, "Datum", "unsorted_dates", "warning"),
    ("station_export.csv", 11, "Datum", "sub_daily", "error"),
    ("station_export.csv", 12, "Tmittel", "non_numeric_signal", "error"),
    ("inventory.csv", 3, "chain", "chain_values", "error"),
    ("inventory.csv", 4, "population", "population", "error"),
    ("inventory.csv", 5, "age_weeks", "age_weeks", "error"),
    ("ernte.csv", 2, "Datum", "duplicate_tag_date", "error"),
    ("ernte.csv", 2, "Datum", "weekly_rows", "error"),
    ("ernte.csv", 3, "Datum", "duplicate_tag_date", "error"),
    ("ernte.csv", 4, "Gesackt", "negative_count", "error"),
    ("ernte.csv", 4, "Alter", "incomplete_harvest", "error"),
    ("ernte.csv", 5, "Geschnitten", "cut_balance", "error"),
    ("ernte.csv", 6, "Datum", "date_parse", "error"),
    ("ernte.csv", 7, "Datum", "same_week", "warning"),
    ("selection.csv", 2, "date", "duplicate_date", "error"),
    ("selection.csv", 3, "date", "duplicate_date", "error"),
    ("selection.csv", 4, "parous", "negative_count", "error"),
    ("selection.csv", 4, "date", "weekly_rows", "error"),
]


def rows(report: FarmReport) -> list[tuple]:
    f = report.findings.astype(object).where(report.findings.notna(), None)
    return list(zip(f.file, f.line, f.column, f.rule, f.severity))


def test_check_farm_reports_every_problem_of_every_file():
    report = check_farm(MESSY)
    assert rows(report) == MESSY_FINDINGS and not report.ok
    assert list(report.findings.columns) == ["file", "line", "column", "value", "rule", "severity",
                                             "message", "hint"]
    messages: dict = {}  # the first message of each file and rule
    for key, message in zip(zip(report.findings.file, report.findings.rule), report.findings.message):
        messages.setdefault(key, message)
    assert messages[("station_export.csv", "non_numeric_signal")] == (
        "'23,5' is not a number: a decimal comma? Write the decimal point (23.5) or export the "
        "file with one")
    assert messages[("ernte.csv", "weekly_rows")] == (
        "rows of tag 'red' in model week 0 (lines 2, 3 and 5) hold different counts: the model "
        "keeps the later row (line 5) only, 8 of 24 bunches cut; to add them up, say so in "
        "farm.yaml, production: {file: ernte.csv, columns: {tag: Band, date: Datum, bagged: "
        "Gesackt, cut: Geschnitten, age_at_cut: Alter}, dayfirst: true, weekly: sum}")
    assert messages[("management.yaml", "unknown_key")] == (
        "unknown key 'replacement_schedul' is ignored: only replacement_schedule is read (so no "
        "suckers are scheduled)")
    assert [n.subject for n in report.notices] == ["field_losses"]
    text = str(report)
    assert text.startswith("farm ") and "21 error(s), 6 warning(s)" in text
    assert json.loads(report.to_json())["findings"][0]["rule"] == "farm_yaml_key"


def test_farm_load_reads_a_sound_farm_and_refuses_one_with_errors(tmp_path):
    farm = Farm.load(EXAMPLE_FARM)
    assert farm.production.tags()[:3] == ("black", "blue", "brown")
    assert farm.provider.week_length_days == 7 and farm.report.ok
    assert [n.subject for n in farm.notices] == ["rejected"]
    with pytest.raises(FarmCheckError) as excinfo:
        Farm.load(MESSY)
    error = excinfo.value
    assert isinstance(error, ZelkaError) and rows(error.report) == MESSY_FINDINGS
    lines = str(error).splitlines()
    assert lines[0] == f"farm {MESSY} has 21 error(s):"
    assert "  inventory.csv, line 3, column 'chain': 'woody' is not a chain: expected " \
           "'reproductive' or 'vegetative'" in lines


def test_missing_optional_files_are_notices_and_a_missing_weather_file_an_error(tmp_path):
    shutil.copy(EXAMPLE_FARM / "weather.csv", tmp_path)
    farm = Farm.load(tmp_path)
    assert (farm.inventory, farm.production, farm.selection) == (None, None, None)
    assert farm.parameters.source == ("kessot_defaults",) and farm.schedule.replacement_schedule == {}
    assert [n.subject for n in farm.notices] == ["parameters", "management", "inventory",
                                                 "production", "selection"]
    (tmp_path / "weather.csv").unlink()
    assert rows(check_farm(tmp_path)) == [("weather.*", None, None, "missing_file", "error")]


@pytest.mark.parametrize(("export", "config", "rule"), [
    ("stacked.csv", {"date": "date", "tmean": "tmean"}, "stacked_rows"),
    ("hourly.csv", {"date": "time", "tmean": "temperature_2m (°C)"}, "sub_daily"),
    ("cp1252_dayfirst.csv", {"date": "Fecha", "tmean": "Temp. media (°C)"}, "mixed_day_month"),
])
def test_weather_exports_as_farm_files(tmp_path, export, config, rule):
    shutil.copy(EXPORTS / export, tmp_path / "weather.csv")
    entries = ", ".join(f"{key}: '{value}'" for key, value in config.items())
    (tmp_path / "farm.yaml").write_text("weather: {" + entries + "}\n", encoding="utf-8")
    assert rule in set(check_farm(tmp_path).findings.rule)


def test_another_farms_column_labels(tmp_path):
    shutil.copytree(EXAMPLE_FARM, tmp_path, dirs_exist_ok=True)
    (tmp_path / "production.csv").unlink()
    shutil.copy(EXPORTS / "ernte_de.csv", tmp_path)
    (tmp_path / "farm.yaml").write_text(
        "production:\n  file: ernte_de.csv\n  dayfirst: true\n  columns: {tag: Band, date: Datum, "
        "bagged: Gesackt, cut: Geschnitten, age_at_cut: Alter beim Schnitt, processed: "
        "Verarbeitet, rejected: Ausschuss}\n", encoding="utf-8")
    farm = Farm.load(tmp_path)
    assert farm.production.tags() == ("blau", "rot")
    week = farm.provider.week_index_for_date(pd.Timestamp("2024-09-09").date())
    assert farm.production.observation("rot", week).cut == 38.0

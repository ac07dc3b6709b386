"""farm.yaml says what a file is, the farm layer reads it so: exports as they
come (hourly rows, degrees Fahrenheit, tenths of a degree, markers, stacked
stations, a second sheet, a header that cannot be told, daily harvest rows)
are refused without their declaration and read right with it -- the values
the same as the same steps in plain pandas -- and the report says what was
done to read each file."""

from __future__ import annotations

import datetime as dt
import json
import math

import numpy as np
import pandas as pd
import pytest
import yaml

from py_zelka.farm import EXAMPLE_FARM, Farm, check_farm

from test_farm_rules import farm_with

DAYS = pd.date_range("2024-01-01", "2025-03-31", freq="D")
QUALITY = {"streak", "spike", "outlier", "copied_block", "step", "min_max"}


def daily_means(seed: int = 1) -> np.ndarray:
    """A tropical station's daily mean temperatures, degrees Celsius."""
    rng = np.random.default_rng(seed)
    season = 2.0 * np.sin(np.arange(len(DAYS)) * 2 * np.pi / 365)
    return np.round(26.0 + season + rng.normal(0, 1.2, len(DAYS)), 1)


def csv(frame: pd.DataFrame) -> str:
    return frame.to_csv(index=False, lineterminator="\n")


def hourly_export() -> tuple[str, pd.Series]:
    """An hourly export under a three-line preamble; the daily means pandas gives."""
    hours = pd.date_range(DAYS[0], DAYS[-1] + pd.Timedelta(hours=23), freq="h")
    rng = np.random.default_rng(2)
    t = np.round(26 + 4 * np.sin((hours.hour - 9) * np.pi / 12) + rng.normal(0, 0.5, len(hours)), 1)
    frame = pd.DataFrame({"time": hours.strftime("%Y-%m-%dT%H:%M"), "temperature_2m": t})
    text = "latitude,longitude,elevation\n9.93,-84.08,1150.0\n\n" + csv(frame)
    means = frame.groupby(hours.date)["temperature_2m"].mean()
    return text, means


def stacked_stations() -> tuple[str, pd.Series]:
    frames = []
    for k, station in enumerate(["USW00025333", "USW00023174", "USW00093134", "USW00014739"]):
        frames.append(pd.DataFrame({"STATION": station, "DATE": DAYS.strftime("%Y-%m-%d"),
                                    "TAVG": daily_means(10 + k)}))
    frame = pd.concat(frames)
    kept = frame[frame.STATION == "USW00025333"]
    return csv(frame), pd.Series(kept.TAVG.to_numpy(), index=DAYS.date)


def the_model_weather(farm) -> pd.Series:
    weather = farm.weather
    return pd.Series(weather["tmean"].to_numpy(), index=weather["date"].dt.date)


def fahrenheit() -> tuple[str, pd.Series]:
    c = daily_means(3)
    f = np.round(c * 1.8 + 32, 1)
    frame = pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "tmean": f})
    return csv(frame), pd.Series((f - 32) / 1.8, index=DAYS.date)


def max_min_fahrenheit() -> tuple[str, pd.Series]:
    c = daily_means(4)
    tmax, tmin = np.round((c + 4) * 1.8 + 32, 1), np.round((c - 4) * 1.8 + 32, 1)
    frame = pd.DataFrame({"DATE": DAYS.strftime("%Y-%m-%d"), "TAVG": "", "TMAX": tmax, "TMIN": tmin})
    return csv(frame), pd.Series(((tmax + tmin) / 2 - 32) / 1.8, index=DAYS.date)


def tenths() -> tuple[str, pd.Series]:
    c = daily_means(5)
    frame = pd.DataFrame({"STAID": 4711, "DATE": DAYS.strftime("%Y%m%d"),
                          "TG": np.round(c * 10).astype(int)})
    return csv(frame), pd.Series(np.round(c * 10) * 0.1, index=DAYS.date)


def markers() -> tuple[str, pd.Series]:
    c = daily_means(6).astype(object)
    expected = pd.Series(daily_means(6), index=DAYS.date)
    for k in (40, 41, 200, 333):
        c[k] = -999
        expected.iloc[k] = np.nan
    frame = pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "tmean": c})
    return csv(frame), expected


def unclear_header() -> tuple[str, pd.Series]:
    c = daily_means(7)
    frame = pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "2m_temp": c})
    return "Station,Hamburg\n" + csv(frame), pd.Series(c, index=DAYS.date)


# shape -> (files, the declaration that reads them, the rules that refuse
#           them without it, the model's daily means)
def shapes():
    hourly, hourly_means = hourly_export()
    stacked, station = stacked_stations()
    f, f_means = fahrenheit()
    mm, mm_means = max_min_fahrenheit()
    t, t_means = tenths()
    m, m_means = markers()
    h, h_means = unclear_header()
    return {
        "hourly": ({"weather.csv": hourly}, "weather: {columns: {date: time, tmean: temperature_2m}, "
                   "daily: mean}", {"sub_daily"}, hourly_means),
        "fahrenheit": ({"weather.csv": f}, "weather: {units: degF}", {"temperature_units"}, f_means),
        "max_min": ({"weather.csv": mm}, "weather: {columns: {date: DATE, tmean: {mean_of: [TMAX, "
                    "TMIN]}}, units: degF}", {"empty_signal"}, mm_means),
        "tenths": ({"weather.csv": t}, "weather: {columns: {date: DATE, tmean: TG}, scale: 0.1}",
                   {"temperature_units"}, t_means),
        "markers": ({"weather.csv": m}, "weather: {missing: [-999]}", {"missing_marker"}, m_means),
        "stacked": ({"weather.csv": stacked}, "weather: {columns: {date: DATE, tmean: TAVG}, where: "
                    "{STATION: USW00025333}}", {"stacked_rows"}, station),
        "header": ({"weather.csv": h}, "weather: {columns: {tmean: 2m_temp}, header: 2}", {"load"},
                   h_means),
    }


def without(declaration: str) -> str:
    """farm.yaml with the file's labels only: what the declaration adds taken out."""
    section = yaml.safe_load(declaration)["weather"]
    kept = {k: v for k, v in section.items() if k == "columns"}
    if "columns" in kept and isinstance(kept["columns"].get("tmean"), dict):
        kept["columns"] = {**kept["columns"], "tmean": "TAVG"}
    return yaml.safe_dump({"weather": kept}, default_flow_style=True) if kept else ""


@pytest.mark.parametrize("shape", ["hourly", "fahrenheit", "max_min", "tenths", "markers", "stacked",
                                   "header"])
def test_each_shape_is_refused_without_its_declaration_and_read_right_with_it(tmp_path, shape):
    files, declaration, refused, expected = shapes()[shape]
    bare = farm_with(tmp_path / "bare", {**files, "farm.yaml": without(declaration)})
    report = check_farm(bare)
    assert refused <= set(report.findings[report.findings.severity == "error"].rule)
    declared = farm_with(tmp_path / "declared", {**files, "farm.yaml": declaration + "\n"})
    report = check_farm(declared)
    errors = report.findings[report.findings.severity == "error"]
    assert errors.empty, errors.message.tolist()
    # Real weather read right raises none of the archives' alarms.
    assert not set(report.findings.rule) & QUALITY
    model = the_model_weather(Farm.load(declared))
    pd.testing.assert_series_equal(model, expected.astype(float), check_names=False, atol=1e-9,
                                   check_index_type=False)


def test_a_workbooks_second_sheet(tmp_path):
    pytest.importorskip("openpyxl")
    c = daily_means(8)
    folder = farm_with(tmp_path, {"weather.csv": None,
                                  "farm.yaml": "weather: {file: station.xlsx, sheet: Daily}\n"})
    with pd.ExcelWriter(folder / "station.xlsx") as book:
        pd.DataFrame({"station": ["Finca Sur"], "elevation": [1150]}).to_excel(
            book, sheet_name="About", index=False)
        pd.DataFrame({"date": DAYS, "tmean": c}).to_excel(book, sheet_name="Daily", index=False)
    report = check_farm(folder)
    assert report.ok
    assert json.loads(report.to_json())["reads"] == [{"file": "station.xlsx", "steps": [
        {"step": "sheet", "text": "the sheet 'Daily'"}]}]
    pd.testing.assert_series_equal(the_model_weather(Farm.load(folder)),
                                   pd.Series(c, index=DAYS.date), check_names=False)
    (folder / "farm.yaml").write_text("weather: {file: station.xlsx, sheet: Hourly}\n")
    assert [m for m in check_farm(folder).findings.message if "sheet" in m] == [
        "ValueError: the workbook " + repr(str(folder / "station.xlsx")) + " has no sheet "
        "'Hourly': its sheets are ['About', 'Daily'] (by name, or by position from 0)"]


HARVEST_DAYS = pd.date_range("2024-09-02", periods=10 * 7, freq="D")


def daily_harvest() -> pd.DataFrame:
    """One row per tag per working day, as farm offices keep them."""
    rng = np.random.default_rng(9)
    rows = []
    for day in HARVEST_DAYS:
        if day.weekday() >= 5:
            continue
        for tag in ("red", "blue"):
            cut = int(rng.integers(0, 8))
            rejected = int(rng.integers(0, cut + 1))
            rows.append({"tag": tag, "date": day.strftime("%Y-%m-%d"), "bagged": cut + 1,
                         "cut": cut, "age_at_cut": 11 + int(rng.integers(0, 3)) if cut else None,
                         "processed": cut - rejected, "rejected": rejected})
    return pd.DataFrame(rows)


def test_daily_harvest_rows_summed_by_week_give_the_files_totals(tmp_path):
    rows = daily_harvest()
    folder = farm_with(tmp_path, {"production.csv": csv(rows)})
    report = check_farm(folder)
    weekly = report.findings[report.findings.rule == "weekly_rows"]
    assert len(weekly) == 20 and set(weekly.severity) == {"error"}
    first = weekly.iloc[0]
    monday = rows[(rows.tag == "red")].head(5)
    assert first.message == (
        f"rows of tag 'red' in model week 35 (lines 2, 4, 6, 8 and 10) hold different counts: the "
        f"model keeps the later row (line 10) only, {monday.cut.iloc[-1]} of {monday.cut.sum()} "
        "bunches cut; to add them up, say so in farm.yaml, production: {weekly: sum}")
    (folder / "farm.yaml").write_text(first.hint + "\n")
    report = check_farm(folder)
    assert report.ok, report.findings.message.tolist()
    production = Farm.load(folder).production
    start = dt.date(2024, 1, 1)
    week = (pd.to_datetime(rows.date) - pd.Timestamp(start)).dt.days // 7
    totals = rows.assign(week=week).groupby(["tag", "week"])[["bagged", "cut", "processed",
                                                              "rejected"]].sum()
    for (tag, w), expected in totals.iterrows():
        got = production.observation(tag, w)
        assert (got.bagged, got.cut, got.processed, got.rejected) == tuple(expected.astype(float))
    sums = {s["step"]: s for s in json.loads(report.to_json())["reads"][0]["steps"]}
    assert sums["weekly"]["text"] == "100 rows into 20 tag-weeks, their counts added up (the age " \
        "at cut weighed by what was cut)"
    # the age at cut of a week: the rows' ages weighed by what each cut
    red = rows[(rows.tag == "red") & (week == 35) & (rows.cut > 0)]
    assert math.isclose(production.observation("red", 35).age_at_cut,
                        (red.age_at_cut * red.cut).sum() / red.cut.sum())


def test_the_reads_say_what_was_done_to_each_file(tmp_path):
    stacked, _ = stacked_stations()
    text = "Export of 2025-04-01\n\n" + stacked.replace("2024-01-0", "M", 0)
    frame = pd.read_csv(pd.io.common.StringIO(stacked))
    frame.loc[5, "TAVG"] = -999
    folder = farm_with(tmp_path, {
        "weather.csv": "Export of 2025-04-01\n\n" + csv(frame),
        "farm.yaml": "weather: {columns: {date: DATE, tmean: TAVG}, missing: [-999], "
                     "where: {STATION: USW00025333}, units: degC}\n"})
    report = check_farm(folder)
    reads = json.loads(report.to_json())["reads"]
    assert reads == [{"file": "weather.csv", "steps": [
        {"step": "table", "text": "the header is line 3; line 1 above it is not read",
         "header": 3, "skipped": 1},
        {"step": "missing", "text": "1 cell that mean \"no value\" made empty (-999: 1)",
         "cells": 1, "markers": {"-999": 1}},
        {"step": "where", "text": "rows kept where STATION is USW00025333: 456 of 1824",
         "kept": 456, "rows": 1824}]}]
    text = str(report)
    assert "\n\nread as\n  weather.csv\n    the header is line 3; line 1 above it is not read\n" \
        "    1 cell that mean \"no value\" made empty (-999: 1)\n    rows kept where STATION is " \
        "USW00025333: 456 of 1824\n" in text
    assert '<dd class="read" data-step="where">rows kept where STATION is USW00025333: 456 of ' \
        '1824</dd>' in report.to_html()


# ---------------------------------------------------------------------------
# Every hint is farm.yaml's section as it must read: put in place of the
# section, it settles the finding.

def paste(folder, hint: str) -> None:
    path = folder / "farm.yaml"
    document = yaml.safe_load(path.read_text()) if path.exists() else None
    document = document or {}
    document.update(yaml.safe_load(hint))
    path.write_text(yaml.safe_dump(document, sort_keys=False))


def pasting_cases():
    shape = {name: files["weather.csv"] for name, (files, *_) in shapes().items()}
    hourly, stacked, f, mm, t, m, h = (shape[name] for name in [
        "hourly", "stacked", "fahrenheit", "max_min", "tenths", "markers", "header"])
    c = daily_means(11)
    kelvin = csv(pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "tmean": np.round(c + 273.15, 2)}))
    labelled = csv(pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "TempF": np.round(c * 1.8 + 32, 1)}))
    production = "tag,date,bagged,cut,age_at_cut,processed,rejected\n"
    return {
        # (the rule, files, farm.yaml before)
        "units: degF": ("temperature_units", {"station.csv": f, "weather.csv": None},
                        "weather: {file: station.csv}"),
        "units: degF, by its label": ("temperature_units", {"weather.csv": labelled},
                                      "weather: {columns: {tmean: TempF}}"),
        "units: K": ("temperature_units", {"weather.csv": kelvin}, None),
        "scale: 0.1": ("temperature_units", {"weather.csv": t}, "weather: {columns: {date: DATE, "
                                                                "tmean: TG}}"),
        "missing": ("missing_marker", {"weather.csv": m}, None),
        "where": ("stacked_rows", {"weather.csv": stacked}, "weather: {columns: {date: DATE, "
                                                            "tmean: TAVG}}"),
        "daily": ("sub_daily", {"weather.csv": hourly}, "weather: {columns: {date: time, "
                                                        "tmean: temperature_2m}}"),
        "mean_of": ("empty_signal", {"weather.csv": mm}, "weather: {columns: {date: DATE, "
                                                         "tmean: TAVG}, units: degF}"),
        "header": ("load", {"weather.csv": h}, "weather: {columns: {tmean: 2m_temp}}"),
        "header of lines skipped": ("skipped_lines", {"weather.csv": "Station: Finca\n\n"
                                                      + (EXAMPLE_FARM / "weather.csv").read_text(
                                                          encoding="utf-8-sig")}, None),
        "encoding": ("encoding", {"selection.csv": "date,parous_count,nulliparous_count,remark\n"
                                  "2024-01-08,1,2,récolté\n".encode("cp1252")}, None),
        "dayfirst of a date": ("date_parse", {"production.csv": production + "red,02/10/2024,4,4,3,"
                                              "4,0\nred,15/10/2024,4,4,3,4,0\n"}, None),
        "dayfirst beside others": ("mixed_day_month", {"weather.csv": "date,tmean\n13/01/2024,25\n"
                                                       "02/03/2024,25\n"}, None),
        "dayfirst of every date": ("ambiguous_dates", {"production.csv": production + "red,02/10/"
                                                       "2024,1,1,3,1,0\nred,08/10/2024,1,1,3,1,0\n"},
                                   None),
        "weekly": ("weekly_rows", {"production.csv": csv(daily_harvest())}, None),
        "columns of a label": ("required_columns", {"selection.csv": "datum,parous_count,"
                                                    "nulliparous_count\n2024-01-08,1,2\n"}, None),
        "columns of a misspelt label": ("unmapped_column", {"inventory.csv": "chain,Anzahl,"
                                                            "age_weeks\nvegetative,5,1\n"},
                                        "inventory: {columns: {population: Anzhal}}"),
    }


@pytest.mark.parametrize("case", sorted(pasting_cases()))
def test_every_hint_pasted_settles_its_finding(tmp_path, case):
    rule, files, before = pasting_cases()[case]
    if before is not None:
        files = {**files, "farm.yaml": before + "\n"}
    folder = farm_with(tmp_path, files)
    found = check_farm(folder).findings
    found = found[found.rule == rule]
    hints = set(found.hint.dropna())
    assert len(found) and len(hints) == 1, found.message.tolist()
    hint, = hints
    # The section as it must read: what farm.yaml says of the file already, and more.
    if before is not None:
        section, = yaml.safe_load(before).values()
        assert yaml.safe_load(hint)[next(iter(yaml.safe_load(before)))].items() >= {
            k: v for k, v in section.items() if k != "columns"}.items()
    paste(folder, hint)
    after = check_farm(folder).findings
    assert after[after.rule == rule].empty, after.message.tolist()
    assert after[after.rule.str.startswith("farm_yaml")].empty


@pytest.mark.parametrize(("text", "expected"), [
    ("weather: {header: 0, sheet: -1, encoding: utf-7}\n", [
        ("farm_yaml_value", 1, "weather.header must be the line (as an editor shows it, from 1) "
         "that holds the labels, e.g. weather: {header: 3}"),
        ("farm_yaml_value", 1, "weather.sheet must be the sheet's name or its position from 0, "
         "e.g. weather: {file: weather.xlsx, sheet: Daily}"),
        ("farm_yaml_value", 1, "weather.encoding must be one of ['utf-8', 'cp1252', 'latin-1'] "
         "(cp1252 and latin-1 for text files not in UTF-8), e.g. weather: {encoding: cp1252}")]),
    ("weather:\n  missing: -999\n  where: [STATION]\n  scale: 0\n  units: C\n  daily: sum\n", [
        ("farm_yaml_value", 2, "weather.missing must list the cells that mean \"no value\", e.g. "
         "weather: {missing: [-999, M]}"),
        ("farm_yaml_value", 3, "weather.where must map a column's label to the value of the rows "
         "to keep, e.g. weather: {where: {STATION: USW00025333}}"),
        ("farm_yaml_value", 4, "weather.scale must be the number the values are multiplied by, "
         "above 0, e.g. weather: {scale: 0.1} for tenths of a degree"),
        ("farm_yaml_value", 5, "weather.units must be degC, degF or K (heat units: degC or degF), "
         "e.g. weather: {units: degF}"),
        ("farm_yaml_value", 6, "weather.daily must be mean (one row a day, the mean of the day's "
         "values), e.g. weather: {daily: mean}")]),
    ("production: {weekly: mean, scale: 0.1}\nweather: {columns: {tmean: {mean_of: [TMAX]}}}\n", [
        ("farm_yaml_value", 1, "production.weekly must be sum (the rows of one model week added "
         "up), e.g. production: {weekly: sum}"),
        ("farm_yaml_key", 1, "unknown key 'scale' under 'production' in farm.yaml; expected one of "
         "['file', 'header', 'sheet', 'encoding', 'dayfirst', 'columns', 'missing', 'where', "
         "'weekly']"),
        ("farm_yaml_value", 2, "weather.columns.tmean must be the file's label of the mean "
         "temperature, or the mean of two columns, e.g. weather: {columns: {tmean: {mean_of: "
         "[TMAX, TMIN]}}}")]),
    ("checks:\n  temperature_range: [40, -10]\n  spike_c: -1\n  streak_days: 1\n  severity: "
     "{implausible_value: off, streak: loud}\n  colour: blue\n", [
        ("farm_yaml_value", 2, "checks.temperature_range must be the lowest and the highest daily "
         "mean in degrees Celsius, lowest first, e.g. checks: {temperature_range: [-10, 45]}"),
        ("farm_yaml_value", 3, "checks.spike_c must be a number above 0, e.g. checks: {spike_c: "
         "15}"),
        ("farm_yaml_value", 4, "checks.streak_days must be a whole number of days of 2 or more, "
         "e.g. checks: {streak_days: 20}"),
        ("farm_yaml_key", 5, "'implausible_value' is not a rule whose severity farm.yaml may set: "
         "a rule whose finding would give the model a wrong input stays an error; the rules it "
         "may set are ['streak', 'spike', 'outlier']"),
        ("farm_yaml_value", 5, "checks.severity.streak must be error, warning or off, e.g. "
         "checks: {severity: {streak: off}}"),
        ("farm_yaml_key", 6, "unknown key 'colour' under 'checks' in farm.yaml; expected one of "
         "['temperature_range', 'streak_days', 'spike_c', 'step_c', 'outlier_sd', "
         "'copied_days', 'severity']")]),
])
def test_every_declaration_is_held_to_what_it_must_be(tmp_path, text, expected):
    report = check_farm(farm_with(tmp_path, {"farm.yaml": text}))
    f = report.findings[report.findings.file == "farm.yaml"]
    assert list(zip(f.rule, f.line, f.message)) == expected


def test_a_declaration_is_never_second_guessed(tmp_path):
    def weather_findings(folder):
        found = check_farm(folder).findings
        return set(found[found.file == "weather.csv"].rule)

    # A July at Death Valley: daily means above 40 degrees Celsius, said so.
    july = pd.date_range("2024-07-01", "2024-07-31")
    hot = np.round(43 + np.random.default_rng(12).normal(0, 1.5, len(july)), 1)
    text = csv(pd.DataFrame({"date": july.strftime("%Y-%m-%d"), "tmean": hot}))
    assert weather_findings(farm_with(tmp_path / "bare", {"weather.csv": text})) == {
        "temperature_units"}
    said = farm_with(tmp_path / "said", {"weather.csv": text, "farm.yaml": "weather: {units: degC}\n"})
    assert weather_findings(said) == set()
    # A polar site below -60 degrees Celsius, read with its own bounds.
    cold = csv(pd.DataFrame({"date": july.strftime("%Y-%m-%d"), "tmean": -hot - 22}))
    polar = farm_with(tmp_path / "polar", {"weather.csv": cold})
    assert weather_findings(polar) == {"implausible_value"}
    paste(polar, "checks: {temperature_range: [-90, 60]}")
    assert weather_findings(polar) == set()


@pytest.mark.parametrize("label", ["TempF", "tmean_F", "T (F)", "degF", "Fahrenheit", "°F",
                                   "T (K)", "temp_K", "Kelvin"])
def test_a_unit_in_the_label_is_read_as_a_word(tmp_path, label):
    c = daily_means(13)
    values = c * 1.8 + 32 if "F" in label or "ahr" in label else c + 273.15
    text = csv(pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), label: np.round(values, 1)}))
    folder = farm_with(tmp_path, {"weather.csv": text,
                                  "farm.yaml": yaml.safe_dump({"weather": {"columns": {"tmean": label}}})})
    found = check_farm(folder).findings
    unit = "degrees Fahrenheit" if values[0] > 50 and values[0] < 200 else "kelvin"
    section = yaml.safe_dump({"weather": {"columns": {"tmean": label},
                                          "units": "degF" if unit.startswith("degrees") else "K"}},
                             default_flow_style=True, allow_unicode=True, sort_keys=False)
    assert found[found.rule == "temperature_units"].message.tolist() == [
        f"the label {label!r} says {unit}: the model reads degrees Celsius; say so in farm.yaml, "
        f"{section.strip()[1:-1]}, and the values are converted"]


def test_the_checks_thresholds_and_severities_are_the_farms(tmp_path):
    from test_farm_rules import day, weather
    text = weather({k + 2: day(k, "25.0") for k in range(1, 16)})
    folder = farm_with(tmp_path, {"weather.csv": text})
    assert set(check_farm(folder).findings.rule) == {"streak"}
    paste(folder, "checks: {streak_days: 20}")
    assert check_farm(folder).findings.empty
    paste(folder, "checks: {severity: {streak: error}}")
    found = check_farm(folder).findings
    assert list(zip(found.rule, found.severity)) == [("streak", "error")]
    paste(folder, "checks: {severity: {streak: 'off'}}")
    assert check_farm(folder).ok and check_farm(folder).findings.empty


def test_two_roles_of_one_column_are_one_finding(tmp_path):
    folder = farm_with(tmp_path, {"farm.yaml": "production: {columns: {bagged: ok, cut: ok}}\n",
                                  "production.csv": "tag,date,ok,age_at_cut\nred,2024-09-02,4,3\n"})
    found = check_farm(folder).findings
    assert found.rule.tolist() == ["column_mapped_twice"]

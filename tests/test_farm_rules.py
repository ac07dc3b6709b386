"""Every rule of the farm check, each reached by a farm that breaks it: the
example farm with one file changed.  A rule of the catalogue that no farm
here triggers fails the catalogue test."""

from __future__ import annotations

import datetime as dt
import os
import re
import shutil
from pathlib import Path

import pytest
import yaml

from py_zelka.farm import EXAMPLE_FARM, RULES, check_farm


def weather(changes: dict[int, str] | None = None, *, days: int = 456, step: int = 1,
            header: str = "date,tmean", value: str | None = None, drop: tuple[int, ...] = ()) -> str:
    """A daily weather file from 2024-01-01 (line 2), ``changes`` replacing lines by
    number and ``drop`` leaving lines out; the values wander between 20 and 30
    without repeating a run (unless ``value`` is given)."""
    lines = {1: header}
    for k in range(0, days, step):
        cell = f"{20 + k * k % 10007 / 1000:.2f}" if value is None else value
        lines[len(lines) + 1] = f"{dt.date(2024, 1, 1) + dt.timedelta(days=k)},{cell}"
    lines.update(changes or {})
    return "\n".join(text for n, text in sorted(lines.items()) if n not in drop) + "\n"


PRODUCTION = "tag,date,bagged,cut,age_at_cut,processed,rejected\n"
SELECTION = "date,parous_count,nulliparous_count\n"
INVENTORY = "chain,population,age_weeks\n"
MIN_MAX = "date,tmean,tmin,tmax\n" + "\n".join(
    f"{dt.date(2024, 1, 1) + dt.timedelta(days=k)},{20 + k * k % 1009 / 100:.2f},"
    f"{15 + k * k % 1009 / 100:.2f},{25 + k * k % 1009 / 100:.2f}"
    for k in range(456)).replace("2024-01-04,20.09,15.09,25.09", "2024-01-04,26.0,15.09,25.09") + "\n"


def day(k: int, value: str) -> str:
    """The weather line of day k (line k + 2 of weather()) with the value."""
    return f"{dt.date(2024, 1, 1) + dt.timedelta(days=k)},{value}"


F_VALUES = "\n".join(f"{dt.date(2024, 1, 1) + dt.timedelta(days=k)},{60 + k % 20}.5"
                     for k in range(456))

def fifo(path: Path) -> None:
    path.unlink(missing_ok=True)
    os.mkfifo(path)


# rule -> (files to write (None removes one, a function makes it), the findings of the rule:
#          (file, line, column, value, message))
CASES = {
    "farm_yaml": ({"farm.yaml": "weather: &w {file: weather.csv}\nproduction: *w\n"}, [
        ("farm.yaml", 1, None, None,
         "farm.yaml uses a YAML anchor or alias (&name, *name): write each value out in full")]),
    "farm_yaml_key": ({"farm.yaml": "inventory: {columns: {popluation: Anzahl}}\nharvest: {}\n"}, [
        ("farm.yaml", 1, None, None,
         "unknown column 'popluation' under 'inventory' columns in farm.yaml; the inventory "
         "reader's columns are ['chain', 'population', 'age_weeks', 'tag']"),
        ("farm.yaml", 2, None, None,
         "unknown key 'harvest' in farm.yaml; expected one of ['parameters', 'management', "
         "'weather', 'inventory', 'production', 'selection', 'week_length_days', 'checks']")]),
    "farm_yaml_value": ({"farm.yaml": "week_length_days: 99999999999999999999999\n"
                                      "production: {dayfirst: yes please}\n"}, [
        ("farm.yaml", 1, None, "99999999999999999999999",
         "week_length_days must be a whole number of days from 1 to 366, e.g. "
         "week_length_days: 7"),
        ("farm.yaml", 2, None, "yes please",
         "production.dayfirst must be true or false, e.g. production: {dayfirst: true}")]),
    "outside_folder": ({"farm.yaml": "weather: {file: ../weather.csv}\n"}, [
        ("farm.yaml", None, None, "../weather.csv",
         "the weather file '../weather.csv' is outside the farm folder: farm.yaml names files "
         "inside it; copy the file into the folder and name it there, e.g. weather: "
         "{file: weather.csv}")]),
    "not_a_file": ({"parameters.yaml": fifo}, [
        ("parameters.yaml", None, None, None, "the parameters file 'parameters.yaml' is a named "
         "pipe (FIFO), not a file: put the file itself in the farm folder")]),
    "missing_file": ({"weather.csv": None}, [
        ("weather.*", None, None, None, "no weather file (weather.*) in {folder!r}; put it there "
         "or name it in farm.yaml, e.g. weather: {file: station.csv}")]),
    "several_files": ({"selection.txt": SELECTION}, [
        ("selection.csv", None, None, None, "several selection files: ['selection.csv', "
         "'selection.txt']; name the one to read in farm.yaml, e.g. selection: "
         "{file: selection.csv}")]),
    "unmapped_column": ({"farm.yaml": "inventory: {columns: {population: Anzhal}}\n",
                         "inventory.csv": "chain,Anzahl,population,age_weeks\nvegetative,5,5,1\n"}, [
        ("farm.yaml", 1, "Anzhal", None,
         "farm.yaml maps 'population' of inventory to the column 'Anzhal', which inventory.csv "
         "does not have: the header (line 1) has ['chain', 'Anzahl', 'population', 'age_weeks']; "
         "name one of its labels, e.g. inventory: {columns: {population: Anzahl}}")]),
    "column_mapped_twice": ({"farm.yaml": "production: {columns: {bagged: Menge, cut: Menge}}\n"}, [
        ("farm.yaml", 1, "Menge", None, "farm.yaml maps the file's column 'Menge' of "
         "'production' to both 'bagged' and 'cut': a column holds one thing")]),
    "parameters": ({"parameters.yaml": "general: [\n"}, [("parameters.yaml", 2, None, None, None)]),
    "parameter_range": ({"parameters.yaml": (EXAMPLE_FARM / "parameters.yaml").read_text(
        encoding="utf-8").replace("spread: 0.35", "spread: -0.35")}, [
        ("parameters.yaml", 32, "flowering.spread", "-0.35",
         "flowering.spread = -0.35 is negative; it must be 0 or more")]),
    "management": ({"management.yaml": "replacement_schedule: [1, 2]\n"}, [
        ("management.yaml", 1, "replacement_schedule", None, "replacement_schedule must map model "
         "weeks to numbers of suckers, like replacement_schedule: {12: 150, 13: 80.5}; it is a "
         "list")]),
    "unknown_key": ({"management.yaml": "replacement_schedul: {6: 120}\n"}, [
        ("management.yaml", 1, None, None, "unknown key 'replacement_schedul' is ignored: only "
         "replacement_schedule is read (so no suckers are scheduled)")]),
    "signal_column": ({"farm.yaml": "weather: {tmean: null}\n"}, [
        ("weather.csv", None, None, None, "columns must specify either tmean= or heat_units=")]),
    "load": ({"production.csv": PRODUCTION + "red,2024-09-02,40,40,11,38,2,7\n"},
             [("production.csv", 2, None, None, None)]),
    "skipped_lines": ({"weather.csv": "Station: Finca\nLatitude,9.93\n\n" + weather()}, [
        ("weather.csv", 4, None, None,
         "the table's header is line 4; lines 1-2 above it are not read")]),
    "encoding": ({"selection.csv": SELECTION.replace("\n", ",remark\n").encode()
                  + b"2024-01-08,1,2,r\xe9colt\xe9\n"}, [
        ("selection.csv", 2, None, None, "'selection.csv' is not UTF-8: it is read as Windows-1252, "
         "the encoding spreadsheet programs on Windows write (its first letter beyond ASCII, on line "
         "2, reads 'é'); if that is not the letter the file means, save the file as UTF-8")]),
    "required_columns": ({"selection.csv": "datum,parous_count,nulliparous_count\n2024-01-08,1,2\n",
                          "production.csv": "date,bagged,cut,age_at_cut\n2024-09-02,4,4,3\n"}, [
        ("production.csv", 1, "tag", None, "required column 'tag' is missing: the header (line "
         "1) has ['date', 'bagged', 'cut', 'age_at_cut']; if the file labels it otherwise, name "
         "that label in farm.yaml: production: {columns: {tag: LABEL}} with LABEL one of the "
         "header's labels"),
        ("selection.csv", 1, "date", None, "required column 'date' is missing: the header "
         "(line 1) has ['datum', 'parous_count', 'nulliparous_count']; if 'datum' holds it, say "
         "so in farm.yaml, selection: {columns: {date: datum}}")]),
    "date_parse": ({"selection.csv": SELECTION + "someday,1,2\n"}, [
        ("selection.csv", 2, "date", "someday", "'someday' is not a calendar date")]),
    "mixed_day_month": ({"weather.csv": "date,tmean\n13/01/2024,25\n02/03/2024,25\n"}, [
        ("weather.csv", 2, "date", "13/01/2024", "'13/01/2024' can only be read day first, "
         "beside dates read month first; say so in farm.yaml: weather: {dayfirst: true}")]),
    "ambiguous_dates": ({"production.csv": PRODUCTION + "red,02/01/2024,1,1,3,1,0\n"
                         "red,08/01/2024,1,1,3,1,0\nred,09/01/2024,1,1,3,1,0\n"}, [
        ("production.csv", 2, "date", "02/01/2024",
         "every date of 'date' reads both day first and month first (line 2 '02/01/2024' is "
         "1 February month first or 2 January day first; line 3 '08/01/2024' is 1 August month "
         "first or 8 January day first): say how the file writes them in farm.yaml, production: "
         "{dayfirst: true} for day first or production: {dayfirst: false} for month first")]),
    "weather_period": ({"selection.csv": SELECTION + "2026-01-05,1,2\n"}, [
        ("selection.csv", 2, "date", "2026-01-05", None)]),
    "empty_signal": ({"weather.csv": weather(value="")}, [
        ("weather.csv", None, "tmean", None, "every value of 'tmean' is missing or not a number: "
         "the weather gives the model no tmean; fill the column or name the right one in "
         "farm.yaml, e.g. weather: {columns: {tmean: LABEL}}")]),
    "non_numeric_signal": ({"weather.csv": weather({5: "2024-01-04,23,5"}).replace(
        ",", ";").replace("23;5", "23,5")}, [
        ("weather.csv", 5, "tmean", "23,5", "'23,5' is not a number: a decimal comma? Write the "
         "decimal point (23.5) or export the file with one")]),
    "missing_marker": ({"weather.csv": weather({3: "2024-01-02,-999", 4: "2024-01-03,999.9"})}, [
        ("weather.csv", 3, "tmean", "-999.0", "'-999.0' is a missing-value marker, not a "
         "measurement: say so in farm.yaml, weather: {missing: [-999, 999.9]}, or leave the cell "
         "empty"),
        ("weather.csv", 4, "tmean", "999.9", "'999.9' is a missing-value marker, not a "
         "measurement: say so in farm.yaml, weather: {missing: [-999, 999.9]}, or leave the cell "
         "empty")]),
    "implausible_value": ({"weather.csv": weather({3: "2024-01-02,75.0"})}, [
        ("weather.csv", 3, "tmean", "75.0", "'75.0' is no mean temperature in degrees Celsius "
         "(they lie from -60 to 60): correct it, or leave the cell empty where it is missing")]),
    "temperature_units": ({"weather.csv": "date,tmean\n" + F_VALUES + "\n"}, [
        ("weather.csv", None, "tmean", None, "the values of 'tmean' look like degrees Fahrenheit "
         "(median 69.5): the model reads degrees Celsius; say so in farm.yaml, weather: {units: "
         "degF} (or weather: {scale: 0.1} if they are tenths of a degree)")]),
    "not_a_temperature": ({"weather.csv": weather(value="1011.2")}, [
        ("weather.csv", None, "tmean", None, "the values of 'tmean' (median 1011.2) are no "
         "temperatures: a pressure in hPa? Name the temperature column in farm.yaml, e.g. weather: "
         "{columns: {tmean: LABEL}}")]),
    "min_max": ({"weather.csv": MIN_MAX, "farm.yaml": "weather: {columns: {tmin: tmin, tmax: tmax}}\n"},
                [("weather.csv", 5, "tmean", "26.0", "the mean '26.0' is above the day's maximum "
                  "'25.09' ('tmax')")]),
    "negative_heat_units": ({"farm.yaml": "weather: {columns: {heat_units: hu}}\n",
                             "weather.csv": weather({3: "2024-01-02,-4"}, header="date,hu",
                                                    value="14")}, [
        ("weather.csv", 3, "hu", "-4", "heat units of '-4' are negative: heat units are 0 or "
         "more")]),
    "stacked_rows": ({"weather.csv": weather({3: "2024-01-02,25.0\n2024-01-02,19.0"})}, [
        ("weather.csv", 4, "date", "2024-01-02", "the same date as line 3 with another value: "
         "are several stations stacked in the file? The model reads one row a day")]),
    "duplicate_row": ({"weather.csv": weather({3: "2024-01-02,25.0\n2024-01-02,25.0"})}, [
        ("weather.csv", 4, "date", "2024-01-02", "the same date and value as line 3: a repeated "
         "row")]),
    "sub_daily": ({"weather.csv": weather({3: "2024-01-02 00:00,25.0\n2024-01-02 12:00,24.0"})}, [
        ("weather.csv", 4, "date", "2024-01-02 12:00", "a second row for the day of line 3: "
         "hourly rows? The model reads one row a day; say so in farm.yaml to read the day's mean, "
         "weather: {daily: mean}")]),
    "unsorted_dates": ({"weather.csv": weather({3: "2024-01-03,25.0", 4: "2024-01-02,25.0"})}, [
        ("weather.csv", 4, "date", "2024-01-02", "earlier than the date of line 3: the dates are "
         "not in order")]),
    "not_daily": ({"weather.csv": weather(step=7)}, [
        ("weather.csv", 3, "date", None, "the weather has one row every 7 days (lines 2 and 3), "
         "not one a day: the model reads one row a day; export daily weather")]),
    "missing_week": ({"weather.csv": weather(drop=tuple(range(20, 79)))}, [
        ("weather.csv", 20, "date", None, "model week 2 (2024-01-15 to 2024-01-21) has no value on "
         "3 of its 7 days (2024-01-19 to 2024-01-21): its degree-days would be short by more than "
         "two days' worth; fill in the missing days"),
        ("weather.csv", 20, "date", None, "model weeks 3 to 10 (2024-01-22 to 2024-03-17) have no "
         "value on any of their 56 days: the model would have no degree-days for them; fill in the "
         "missing days")]),
    "missing_days": ({"weather.csv": weather({12: "2024-01-11,"}, drop=(11,))}, [
        ("weather.csv", 11, "date", None, "model week 1 (2024-01-08 to 2024-01-14) has no value on "
         "2 of its 7 days (2024-01-10 to 2024-01-11); fill in the missing days")]),
    "streak": ({"weather.csv": weather({k + 2: day(k, "25.0") for k in range(1, 16)})}, [
        ("weather.csv", 3, "date", "25.0", "15 days in a row hold 25.0 (2024-01-02 to 2024-01-16, "
         "lines 3-17): a stuck sensor, or a block filled with one value?")]),
    "spike": ({"weather.csv": weather({10: day(8, "55.0")})}, [
        ("weather.csv", 10, "date", "55.0", "55.0 on 2024-01-09 is 35.0 degrees above the day before "
         "(20.1) and 34.9 above the day after (20.1): a typo, or a lost sign?")]),
    "outlier": ({"weather.csv": weather({382: day(380, "30.0"), 383: day(381, "44.0"),
                                         384: day(382, "30.0")}, days=1200)}, [
        ("weather.csv", 383, "date", "44.0", "44.0 on 2025-01-16 is 6.2 standard deviations above "
         "the mean of January in the file (23.9 over the other 123 days)")]),
    "copied_block": ({"weather.csv": weather({k + 2: day(k, f"{20 + (k - 90) ** 2 % 10007 / 1000:.2f}")
                                              for k in range(100, 128)})}, [
        ("weather.csv", 102, "date", None, "28 days (2024-04-10 to 2024-05-07, lines 102-129) "
         "repeat 2024-01-11 to 2024-02-07 (lines 12-39) value for value: a block pasted twice?")]),
    "step": ({"weather.csv": weather({k + 2: day(k, f"{45 + k * k % 10007 / 1000:.2f}")
                                      for k in range(356, 456)})}, [
        ("weather.csv", 358, "date", "51.7", "from 2024-12-22 on the values are 27.1 degrees above "
         "the week before (its mean 23.8, then 50.9): a unit or a sensor changed mid-file?")]),
    "chain_values": ({"inventory.csv": INVENTORY + "woody,5,1\n"}, [
        ("inventory.csv", 2, "chain", "woody",
         "'woody' is not a chain: expected 'reproductive' or 'vegetative'")]),
    "population": ({"inventory.csv": INVENTORY + "vegetative,-5,1\n"}, [
        ("inventory.csv", 2, "population", "-5",
         "the population is missing, not a number or negative")]),
    "age_weeks": ({"inventory.csv": INVENTORY + "vegetative,5,2.5\n"}, [
        ("inventory.csv", 2, "age_weeks", "2.5",
         "the age is missing, not a whole number of weeks or negative")]),
    "duplicate_tag_date": ({"production.csv": PRODUCTION + "red,2024-09-02,4,4,3,4,0\n" * 2}, [
        ("production.csv", 2, "date", "2024-09-02", "another row has the same tag and date"),
        ("production.csv", 3, "date", "2024-09-02", "another row has the same tag and date")]),
    "duplicate_date": ({"selection.csv": SELECTION + "2024-01-08,1,2\n" * 2}, [
        ("selection.csv", 2, "date", "2024-01-08", "another row has the same date"),
        ("selection.csv", 3, "date", "2024-01-08", "another row has the same date")]),
    "negative_count": ({"selection.csv": SELECTION + "2024-01-08,-1,2\n"}, [
        ("selection.csv", 2, "parous_count", "-1", "'parous_count' is negative")]),
    "incomplete_harvest": ({"production.csv": PRODUCTION + "red,2024-09-02,4,4,,4,0\n"}, [
        ("production.csv", 2, "age_at_cut", None, "a cut (> 0) without an age at cut")]),
    "cut_balance": ({"production.csv": PRODUCTION + "red,2024-09-02,4,4,3,3,0\n"}, [
        ("production.csv", 2, "cut", "4", "'cut' differs from 'processed' + 'rejected'")]),
    "same_week": ({"production.csv": PRODUCTION + "red,2024-09-02,4,4,3,4,0\n"
                   "red,2024-09-03,4,4,3,4,0\n"}, [
        ("production.csv", 2, "date", "2024-09-02", "rows of one tag fall in model week 35 "
         "(lines 2 and 3) with the same counts; the later row (line 3) is kept")]),
    "weekly_rows": ({"production.csv": PRODUCTION + "red,2024-09-02,4,4,3,4,0\n"
                     "red,2024-09-03,6,6,3,6,0\n"}, [
        ("production.csv", 2, "date", "2024-09-02", "rows of tag 'red' in model week 35 (lines 2 "
         "and 3) hold different counts: the model keeps the later row (line 3) only, 6 of 10 bunches "
         "cut; to add them up, say so in farm.yaml, production: {weekly: sum}")]),
    "empty_counts": ({"production.csv": PRODUCTION + "red,2024-09-02,,,,,\n"}, [
        ("production.csv", 2, None, None, "the row holds no count (bagged, cut, age at cut): write "
         "its counts, or delete the row")]),
}


def farm_with(tmp_path: Path, files: dict) -> Path:
    folder = tmp_path / "farm"
    shutil.copytree(EXAMPLE_FARM, folder)
    for name, content in files.items():
        if content is None:
            (folder / name).unlink()
        elif callable(content):
            content(folder / name)
        elif isinstance(content, bytes):
            (folder / name).write_bytes(content)
        else:
            (folder / name).write_text(content, encoding="utf-8")
    return folder


def test_every_rule_of_the_catalogue_is_reached():
    names = [rule[0] for rule in RULES]
    assert len(set(names)) == len(names)
    assert set(names) - {"not_a_folder"} == set(CASES)
    assert {rule[1] for rule in RULES} == {"error", "warning"}


@pytest.mark.parametrize("rule", sorted(CASES))
def test_each_rule_is_found_where_it_is_broken(tmp_path, rule):
    files, expected = CASES[rule]
    folder = farm_with(tmp_path, files)
    report = check_farm(folder)
    found = report.findings[report.findings.rule == rule]
    found = found.astype(object).where(found.notna(), None)
    got = [(f.file, f.line, f.column, f.value, f.message) for f in found.itertuples()]
    severity = {name: level for name, level, *_ in RULES}[rule]
    assert set(found.severity) == {severity}
    assert [g[:4] for g in got] == [e[:4] for e in expected]
    for (*_, message), (*_, wanted) in zip(got, expected):
        if wanted is not None:
            assert message == wanted.replace("{folder!r}", repr(str(folder)))
    # Nothing else is wrong with the farm than the rule's problem.
    others = report.findings[(report.findings.rule != rule) & (report.findings.severity == "error")]
    assert others.empty or rule in {"farm_yaml", "missing_file", "outside_folder", "load",
                                     "several_files", "required_columns", "not_daily",
                                     "temperature_units", "empty_signal", "date_parse",
                                     "column_mapped_twice", "mixed_day_month", "empty_counts",
                                     "signal_column"}


def test_a_path_that_is_not_a_folder(tmp_path):
    report = check_farm(tmp_path / "nowhere")
    assert report.findings.rule.tolist() == ["not_a_folder"]
    assert report.findings.message.tolist() == [
        f"{str(tmp_path / 'nowhere')!r} is not a farm folder: give the folder that holds the "
        "farm's files"]


SECTION = re.compile(r"\b(?:parameters|management|weather|inventory|production|selection|checks): \{")


def farm_yaml_snippets(text: str) -> list[str]:
    """The farm.yaml sections a text shows: "weather: {units: degF}", each up
    to the brace that closes it, and "week_length_days: N"."""
    snippets = re.findall(r"\bweek_length_days: \d+", text)
    for found in SECTION.finditer(text):
        depth = 0
        for end in range(found.end() - 1, len(text)):
            depth += {"{": 1, "}": -1}.get(text[end], 0)
            if depth == 0:
                snippets.append(text[found.start():end + 1])
                break
    return snippets


def test_every_farm_yaml_hint_is_accepted_by_the_validator(tmp_path):
    """Hints and messages that show farm.yaml text: pasted into farm.yaml, the
    validator takes them (no farm.yaml finding of their shape)."""
    texts = [hint for *_, hint in RULES] + [m for _, wanted in CASES.values()
                                           for *_, m in wanted if m]
    snippets = sorted({s for text in texts for s in farm_yaml_snippets(text)})
    assert len(snippets) > 15
    for snippet in snippets:
        document = yaml.safe_load(snippet)
        assert isinstance(document, dict), snippet
        folder = farm_with(tmp_path / str(len(list(tmp_path.iterdir()))),
                           {"farm.yaml": snippet + "\n"})
        report = check_farm(folder)
        structural = report.findings[report.findings.rule.isin(
            ["farm_yaml", "farm_yaml_key", "farm_yaml_value", "outside_folder"])]
        assert structural.empty, (snippet, structural.message.tolist())


FARMS = Path(__file__).resolve().parent / "data" / "farms"


@pytest.mark.parametrize(("farm", "rules"), [
    ("ambiguous_dayfirst", {"ambiguous_dates": 2}),
    ("gaps", {"missing_week": 2, "missing_days": 3}),
    ("weekly", {"not_daily": 1}),
    ("fahrenheit", {"temperature_units": 1}),
    ("kelvin", {"temperature_units": 1}),
    ("markers", {"missing_marker": 4, "missing_days": 3, "implausible_value": 1}),
    ("stacked", {"stacked_rows": 178, "unsorted_dates": 3, "duplicate_row": 2}),
    ("hourly", {"sub_daily": 230}),
    ("empty_signal", {"empty_signal": 1}),
    ("farm_yaml_strict", {"unmapped_column": 1, "farm_yaml_key": 1}),
])
def test_farms_that_would_mislead_the_model_do_not_pass(farm, rules):
    report = check_farm(FARMS / farm)
    assert report.findings.rule.value_counts().to_dict() == rules and not report.ok


LONG = "x" * 300 + ".csv"


@pytest.mark.parametrize(("text", "expected"), [
    ("weather: {file: weather.csv\n", [("farm_yaml", 2, None)]),
    ("[weather, production]\n", [("farm_yaml", None, "farm.yaml must be a mapping of the farm's "
                                  "files to what they hold, e.g. weather: {file: weather.csv}")]),
    ("weather: !!python/object:os.system {}\n", [("farm_yaml", 1, None)]),
    ("weather: {file: weather.csv}\nweather: {dayfirst: true}\n", [
        ("farm_yaml", 2, "key 'weather' is written twice (lines 1 and 2): write it once")]),
    ("a:\n" + "".join("  " * k + "- \n" for k in range(1, 40)), [
        ("farm_yaml", 33, "farm.yaml nests too deeply: it maps each file to a few keys")]),
    ("a: [" + ", ".join(["1"] * 10001) + "]\n", [
        ("farm_yaml", 1, "farm.yaml holds more than 10000 values: it maps each file to a few keys")]),
    ("# " + "x" * 70000 + "\n", [("farm_yaml", None, "farm.yaml is 70003 bytes: a farm.yaml of "
                                  "more than 65536 bytes is refused (it names a few files and "
                                  "columns)")]),
    ("production: production.csv\n", [
        ("farm_yaml_value", 1, "farm.yaml's 'production' must be a mapping, e.g. production: "
         "{file: production.csv}")]),
    ("parameters: {file: 7}\n", [
        ("farm_yaml_value", 1, "parameters.file must be the name of a file in the farm folder, "
         "e.g. parameters: {file: parameters.yaml}")]),
    ("inventory: {columns: [population]}\n", [
        ("farm_yaml_value", 1, "inventory.columns must map the reader's column labels to the "
         "file's, e.g. inventory: {columns: {chain: Datum}}")]),
    ("selection: {columns: {date: 2024}}\n", [
        ("farm_yaml_value", 1, "selection.columns.date must be the file's column label as text, "
         "e.g. selection: {columns: {date: '2024'}}")]),
    ("weather: {tmean: 12}\n", [
        ("farm_yaml_value", 1, "weather.tmean must be the file's column label as text, e.g. "
         "weather: {tmean: Tmittel}")]),
    ("weather: {tmean: tmean, columns: {tmean: Tmittel}}\n", [
        ("farm_yaml_value", 1, "weather.tmean and weather.columns.tmean name different columns: "
         "give the label once, e.g. weather: {columns: {tmean: Tmittel}}"),
        ("required_columns", 1, None)]),
    (f"selection: {{file: {LONG}}}\n", [("farm_yaml_value", None, None)]),
    ("production: {file: /etc/hostname}\n", [
        ("outside_folder", None, "the production file '/etc/hostname' is outside the farm folder: "
         "farm.yaml names files inside it; copy the file into the folder and name it there, e.g. "
         "production: {file: production.csv}")]),
    ("inventory: {file: stock.csv}\n", [
        ("missing_file", None, "the inventory file 'stock.csv' that farm.yaml names is not in "
         "the folder")]),
])
def test_farm_yaml_is_read_strictly_and_within_bounds(tmp_path, text, expected):
    folder = farm_with(tmp_path, {"farm.yaml": text})
    report = check_farm(folder)
    found = report.findings.astype(object).where(report.findings.notna(), None)
    got = [(f.rule, f.line, f.message) for f in found.itertuples()]
    assert [g[:2] for g in got] == [e[:2] for e in expected]
    for (*_, message), (*_, wanted) in zip(got, expected):
        if wanted is not None:
            assert message == wanted
    assert not report.ok


def test_an_interrupt_is_not_a_finding(tmp_path, monkeypatch):
    from py_zelka.parameters import ParameterSet

    def interrupted(cls, path):
        raise KeyboardInterrupt

    monkeypatch.setattr(ParameterSet, "from_yaml", classmethod(interrupted))
    with pytest.raises(KeyboardInterrupt):
        check_farm(farm_with(tmp_path, {}))


# Findings of the paths a farm seldom takes, each with its whole message.
@pytest.mark.parametrize(("files", "expected"), [
    # the weather's period is what the provider refuses: a header without rows
    ({"weather.csv": "date,tmean\n"}, [
        ("weather.csv", None, "date", "weather_period", "WeatherError: the weather table holds no "
         "dates, so it defines no weather period")]),
    # a row with a value but no date is no day of the series
    ({"weather.csv": weather({30: ",24.5"})}, [
        ("weather.csv", 30, "date", "date_parse", "the date is missing: every row records the day "
         "it was taken"),
        ("weather.csv", 31, "date", "missing_days", "model week 4 (2024-01-29 to 2024-02-04) has no "
         "value on 1 of its 7 days (2024-01-29); fill in the missing days")]),
    # cohort shares that sum to more than the whole cohort
    ({"parameters.yaml": (EXAMPLE_FARM / "parameters.yaml").read_text(encoding="utf-8").replace(
        "[0.05, 0.15, 0.3, 0.3, 0.15, 0.05]", "[0.5, 0.5, 0.5]")}, [
        ("parameters.yaml", 52, "harvest.hazard_weeks", "parameter_range", "harvest.hazard_weeks sums "
         "to 1.5: under rate_basis 'cohort' its entries are shares of the cohort and sum to at most 1")]),
    # an unknown key inside a file's section
    ({"farm.yaml": "weather: {file: weather.csv, colour: red}\n"}, [
        ("farm.yaml", 1, None, "farm_yaml_key", "unknown key 'colour' under 'weather' in farm.yaml; "
         "expected one of ['file', 'header', 'sheet', 'encoding', 'dayfirst', 'columns', 'date', "
         "'tmean', 'heat_units', 'missing', 'where', 'scale', 'units', 'daily']")]),
    # an empty farm.yaml says nothing: the farm is read as without one
    ({"farm.yaml": ""}, []),
    ({"farm.yaml": "# the defaults\n"}, []),
])
def test_findings_of_rare_paths(tmp_path, files, expected):
    report = check_farm(farm_with(tmp_path, files))
    found = report.findings.astype(object).where(report.findings.notna(), None)
    assert [(f.file, f.line, f.column, f.rule, f.message) for f in found.itertuples()] == expected
    assert report.ok or expected

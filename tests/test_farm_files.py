"""Every file of a farm held to the same rules: YAML files within bounds and
of the shapes they must have, files that are regular files inside the
folder, rows never lost on the way in, weather weeks as the model sums them."""

from __future__ import annotations

import datetime as dt
import os
import shutil
from pathlib import Path

import pandas as pd
import pytest

from py_zelka.farm import EXAMPLE_FARM, Farm, check_farm

from test_farm_rules import farm_with, fifo
from test_files import BOMB


def found(report, *rules: str) -> list[tuple]:
    f = report.findings.astype(object).where(report.findings.notna(), None)
    return [(x.file, x.line, x.rule, x.message) for x in f.itertuples()
            if not rules or x.rule in rules]


BOUND = ": refused before it is built (a parameter or management file holds a few dozen values)"


@pytest.mark.parametrize(("files", "expected"), [
    ({"parameters.yaml": BOMB}, [
        ("parameters.yaml", 6, "parameters", "parameters.yaml repeats its values through aliases "
         "(*name) to more than 100000 values" + BOUND)]),
    ({"management.yaml": "replacement_schedule: {1: 2}\nx: " + "[" * 5000 + "]" * 5000 + "\n"}, [
        ("management.yaml", 2, "management", "management.yaml nests more than 32 levels deep"
         + BOUND)]),
    ({"management.yaml": "# " + "x" * (1 << 20) + "\n"}, [
        ("management.yaml", None, "management", "management.yaml is 1048579 bytes, more than the "
         "1048576 bytes such a file may have" + BOUND)]),
    ({"parameters.yaml": "general: [\n"}, [
        ("parameters.yaml", 2, "parameters", None)]),
])
def test_parameter_and_management_files_are_read_within_bounds(tmp_path, files, expected):
    report = check_farm(farm_with(tmp_path, files))
    got = found(report, "parameters", "management")
    assert [g[:3] for g in got] == [e[:3] for e in expected]
    assert all(e[3] is None or g[3] == e[3] for g, e in zip(got, expected))
    assert not report.ok


EXAMPLE = ", like replacement_schedule: {12: 150, 13: 80.5}"


@pytest.mark.parametrize(("text", "expected"), [
    ("replacement_schedule:\n  6: .nan\n  7: .inf\n  8: -50\n  9: abc\n  10:\n", [
        (2, ".nan", "replacement_schedule gives '.nan' suckers for week '6': a number of suckers "
         "is a finite number of 0 or more" + EXAMPLE),
        (3, ".inf", "replacement_schedule gives '.inf' suckers for week '7': a number of suckers "
         "is a finite number of 0 or more" + EXAMPLE),
        (4, "-50", "replacement_schedule gives '-50' suckers for week '8': a number of suckers is "
         "a finite number of 0 or more" + EXAMPLE),
        (5, "abc", "replacement_schedule gives 'abc' suckers for week '9': a number of suckers is "
         "a finite number of 0 or more" + EXAMPLE),
        (6, "", "replacement_schedule gives '' suckers for week '10': a number of suckers is a "
         "finite number of 0 or more" + EXAMPLE)]),
    ("replacement_schedule:\n  6.5: 3\n  true: 4\n  -2: 5\n  '12': 6\n  7.0: 7\n", [
        (2, "6.5", "the week '6.5' of replacement_schedule is no whole week number of 0 or more: "
         "the schedule maps model weeks (0, 1, 2, ...) to numbers of suckers" + EXAMPLE),
        (3, "true", "the week 'true' of replacement_schedule is no whole week number of 0 or "
         "more: the schedule maps model weeks (0, 1, 2, ...) to numbers of suckers" + EXAMPLE),
        (4, "-2", "the week '-2' of replacement_schedule is no whole week number of 0 or more: "
         "the schedule maps model weeks (0, 1, 2, ...) to numbers of suckers" + EXAMPLE)]),
    ("replacement_schedule: [1, 2]\n", [
        (1, None, "replacement_schedule must map model weeks to numbers of suckers" + EXAMPLE
         + "; it is a list")]),
    ("just a sentence\n", [
        (1, None, "management.yaml must be a mapping that holds replacement_schedule: {week: "
         "suckers}" + EXAMPLE + "; it is the value 'just a sentence'")]),
    ("- replacement_schedule: {1: 2}\n", [
        (1, None, "management.yaml must be a mapping that holds replacement_schedule: {week: "
         "suckers}" + EXAMPLE + "; it is a list")]),
])
def test_the_schedule_is_checked_at_its_lines(tmp_path, text, expected):
    report = check_farm(farm_with(tmp_path, {"management.yaml": text}))
    f = report.findings[report.findings.rule == "management"]
    f = f.astype(object).where(f.notna(), None)
    assert list(zip(f.line, f.value, f.message)) == expected
    with pytest.raises(Exception) as excinfo:  # what the model would be given instead
        Farm.load(tmp_path / "farm")
    assert type(excinfo.value).__name__ == "FarmCheckError"


@pytest.mark.parametrize(("text", "line", "message"), [
    ("", None, "parameters.yaml must map the sections of the parameter set (general, flowering, "
     "sucker_selection, harvest, mortality_replacement) to their keys, as the parameter set "
     "shipped with py_zelka does; it is empty"),
    ("[general, flowering]\n", 1, "parameters.yaml must map the sections of the parameter set "
     "(general, flowering, sucker_selection, harvest, mortality_replacement) to their keys, as "
     "the parameter set shipped with py_zelka does; it is a list"),
    ("general: cohort\n", 1, "the section 'general' of parameters.yaml must map its keys to their "
     "values, as in the parameter set shipped with py_zelka; it is the value 'cohort'"),
    ("general: {rate_basis: cohort}\nharvest:\n  - [threshold_dd, 900]\n  - hazard_weeks\n", 3,
     "the section 'harvest' of parameters.yaml must map its keys to their values, as in the "
     "parameter set shipped with py_zelka; it is a list"),
])
def test_parameter_file_shapes_are_findings_at_their_lines(tmp_path, text, line, message):
    report = check_farm(farm_with(tmp_path, {"parameters.yaml": text}))
    assert found(report, "parameters") == [("parameters.yaml", line, "parameters", message)]


def test_a_parameter_that_is_no_finite_number_is_out_of_range(tmp_path):
    text = (EXAMPLE_FARM / "parameters.yaml").read_text().replace("spread: 0.35", "spread: .nan")
    report = check_farm(farm_with(tmp_path, {"parameters.yaml": text}))
    assert [m for *_, m in found(report, "parameter_range")][0] == (
        "flowering.spread = nan is not a finite number")


def link(target: str):
    """Makes the path a link to target ({outside}: a folder beside the farm's)."""
    def make(path: Path) -> None:
        path.unlink(missing_ok=True)
        os.symlink(target.format(outside=path.parent.parent / "elsewhere"), path)
    return make


def folder_in_place(path: Path) -> None:
    path.unlink(missing_ok=True)
    path.mkdir()


@pytest.mark.parametrize(("files", "expected"), [
    ({"parameters.yaml": fifo}, [("parameters.yaml", "not_a_file", "the parameters file "
                                  "'parameters.yaml' is a named pipe (FIFO), not a file: put the "
                                  "file itself in the farm folder")]),
    ({"weather.csv": folder_in_place}, [("weather.csv", "not_a_file", "the weather file "
                                         "'weather.csv' is a folder, not a file: put the file "
                                         "itself in the farm folder")]),
    ({"production.csv": link("gone.csv")}, [("production.csv", "not_a_file", "the production file "
                                             "'production.csv' is a link to '{folder}/gone.csv', "
                                             "which does not exist: put the file itself in the "
                                             "farm folder")]),
    ({"farm.yaml": "inventory: {file: stock}\n", "stock": folder_in_place}, [
        ("stock", "not_a_file", "the inventory file 'stock' is a folder, not a file: put the file "
         "itself in the farm folder")]),
    ({"farm.yaml": fifo}, [("farm.yaml", "not_a_file", "farm.yaml 'farm.yaml' is a named pipe "
                            "(FIFO), not a file: put the file itself in the farm folder")]),
    ({"selection.csv": link("{outside}/selection.csv")}, [
        ("selection.csv", "outside_folder", "the selection file 'selection.csv' is a link to "
         "'{outside}/selection.csv', outside the farm folder: the check reads the farm's files "
         "inside it only; copy the file into the folder in place of the link")]),
    ({"farm.yaml": link("{outside}/farm.yaml")}, [
        ("farm.yaml", "outside_folder", "farm.yaml 'farm.yaml' is a link to '{outside}/farm.yaml', "
         "outside the farm folder: the check reads the farm's files inside it only; copy the file "
         "into the folder in place of the link")]),
])
def test_only_regular_files_inside_the_folder_are_read(tmp_path, files, expected):
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    (outside / "selection.csv").write_text("date,parous_count,nulliparous_count\n")
    (outside / "farm.yaml").write_text("weather: {file: weather.csv}\n")
    folder = tmp_path / "farm"
    report = check_farm(farm_with(tmp_path, files))
    got = [(file, rule, message) for file, _, rule, message in
           found(report, "not_a_file", "outside_folder")]
    assert got == [(file, rule, message.format(folder=folder.resolve(), outside=outside))
                   for file, rule, message in expected]
    assert not report.ok
    # A file refused where it stands is not taken for absent.
    assert not [n for n in report.notices if n.subject in {"parameters", "selection"}]


def test_a_link_inside_the_folder_to_a_file_inside_it_is_read(tmp_path):
    folder = farm_with(tmp_path, {})
    (folder / "data").mkdir()
    shutil.move(folder / "production.csv", folder / "data" / "harvest.csv")
    os.symlink("data/harvest.csv", folder / "production.csv")
    report = check_farm(folder)
    assert report.ok and Farm.load(folder).production.tags()


def test_daylight_saving_offsets_read_as_the_dates_written(tmp_path):
    lines = ["date,tmean"]
    day = dt.date(2024, 1, 1)
    while day <= dt.date(2025, 3, 31):
        summer = dt.date(2024, 3, 31) <= day < dt.date(2024, 10, 27)
        k = (day - dt.date(2024, 1, 1)).days
        lines.append(f"{day}T00:00:00{'+02:00' if summer else '+01:00'},{20 + k * k % 1009 / 100}")
        day += dt.timedelta(days=1)
    folder = farm_with(tmp_path, {"weather.csv": "\n".join(lines) + "\n"})
    report = check_farm(folder)
    assert report.ok and found(report) == []
    dates = Farm.load(folder).weather["date"]
    assert dates.iloc[90].date() == dt.date(2024, 3, 31) and dates.iloc[-1].date() == dt.date(2025, 3, 31)


def test_rows_a_week_apart_inside_a_daily_file_are_errors_each_week(tmp_path):
    text = (EXAMPLE_FARM / "weather.csv").read_text().splitlines()
    # 20 weeks of one row a week (lines 101 to 241) inside the daily file
    kept = text[:100] + [line for k, line in enumerate(text[100:240]) if k % 7 == 0] + text[240:]
    report = check_farm(farm_with(tmp_path, {"weather.csv": "\n".join(kept) + "\n"}))
    weeks = found(report, "missing_week")
    assert len(weeks) == 20 and not report.ok
    assert weeks[1][3] == (
        "model week 15 (2024-04-15 to 2024-04-21) has no value on 6 of its 7 days (2024-04-15 "
        "and 2024-04-17 to 2024-04-21): its degree-days would be short by more than two days' "
        "worth; fill in the missing days")


@pytest.mark.parametrize("suffix", [".parquet", ".xlsx"])
def test_a_none_tag_is_a_missing_tag_as_an_empty_cell_is(tmp_path, write_frame, suffix):
    table = pd.read_csv(EXAMPLE_FARM / "production.csv", dtype={"tag": object})
    table.loc[3, "tag"] = None
    typed = farm_with(tmp_path / "typed", {"production.csv": None})
    shutil.copy(write_frame("production" + suffix, table), typed / ("production" + suffix))
    text = farm_with(tmp_path / "text", {"production.csv": table.to_csv(index=False)})
    reports = [check_farm(typed), check_farm(text)]
    assert [found(r) for r in reports] == [[], []]
    assert Farm.load(typed).production._observations == Farm.load(text).production._observations


PRODUCTION = (EXAMPLE_FARM / "production.csv").read_text().splitlines()


@pytest.mark.parametrize(("files", "expected"), [
    ({"production.csv": "\n".join(PRODUCTION[1:11] + PRODUCTION) + "\n"}, [
        ("production.csv", 1, "load", "ValueError: lines 1-10 of {path!r} look like rows of the "
         "table: is the header missing above them? The header is line 11; put the header above "
         "every row, or delete what repeats rows below it; or say in farm.yaml which line holds "
         "the labels (11), e.g. production: {{header: 11}}")]),
    ({"production.csv": "\n".join(PRODUCTION) + "\nred\nblue\n"}, [
        ("production.csv", 50, "empty_counts", "the row holds no count (bagged, cut, age at cut): "
         "write its counts, or delete the row"),
        ("production.csv", 50, "date_parse", "the date is missing: every row records the day it "
         "was taken"),
        ("production.csv", 51, "empty_counts", "the row holds no count (bagged, cut, age at cut): "
         "write its counts, or delete the row"),
        ("production.csv", 51, "date_parse", "the date is missing: every row records the day it "
         "was taken")]),
    ({"inventory.csv": (EXAMPLE_FARM / "inventory.csv").read_text() + "vegetative\n"}, [
        ("inventory.csv", 19, "population", "the population is missing, not a number or negative"),
        ("inventory.csv", 19, "age_weeks", "the age is missing, not a whole number of weeks or "
         "negative")]),
    # a row with more cells than the header: named, without the tokenizer's line end
    ({"weather.csv": "date,tmean\n2024-01-01,1\n2024-01-02,2,3,4\n"}, [
        ("weather.csv", 3, "load", "ParserError: Error tokenizing data. C error: Expected 2 "
         "fields in line 3, saw 4")]),
    # a title line put before an export that begins with a byte-order mark
    ({"weather.csv": "Station: Finca\r\r" + (EXAMPLE_FARM / "weather.csv").read_text().replace(
        "\n", "\r")}, [
        ("weather.csv", 3, "skipped_lines", "the table's header is line 3; line 1 above it is not "
         "read")]),
])
def test_rows_are_never_lost_on_the_way_into_the_farm(tmp_path, files, expected):
    folder = farm_with(tmp_path, files)
    report = check_farm(folder)
    assert found(report) == [(file, line, rule, message.format(path=str(folder / file)))
                             for file, line, rule, message in expected]

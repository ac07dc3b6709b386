"""What the record-file readers have in common, tested once over the `reader`
fixture: every reader a case, or every reader the behaviour concerns (those
with dates, with tags, with a data class).  What a reader alone does is tested
in its own file."""

from __future__ import annotations

import dataclasses
import datetime
import pathlib
import types
from typing import Callable

import pandas as pd
import pytest

from py_zelka.exceptions import (CohortChainError, RibbonDataError, SuckerSelectionError,
                                 WeatherError)
from py_zelka.notices import NoticeLog, ReadResult
from py_zelka.readers import (climate_reader, follower_choice_reader, harvest_tag_reader,
                              inventory_reader)

PRODUCTION_HEADER = "tag,date,bagged,cut,age_at_cut,field_losses,rejected,processed"
WEEK_LABEL_HINT = ("; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific "
                   "week label")
NEGATIVE = ("column {column} contains negative value(s) at row(s) {rows} in {path}; "
            "expected non-negative counts")


@dataclasses.dataclass(frozen=True)
class Reader:
    """What differs between the readers, as far as these tests go."""

    cls: type                   # the reader class, whose read is `read`
    module: types.ModuleType
    error: type[Exception]      # what its checks raise
    context: str                # how its messages name the file
    header: str                 # a header of every column it reads, the required ones first
    row: str                    # a valid row under that header
    columns: list[str]          # the columns of the table read returns for that header
    name: str                   # the name of the file `write` writes
    dates: Callable[[str], object] | None = None  # an ISO date as read returns it, if it has dates
    date_hint: str = ""         # what its date errors add to the parser's message
    tags: bool = False          # whether it normalises a 'tag' column
    data: type | None = None    # the data class built from its table, if any
    options: tuple = ()         # read's optional arguments after the path, at their defaults
    writer: Callable | None = None  # conftest's write_file, set by the fixture

    @property
    def read(self) -> Callable:
        return self.cls.read

    def write(self, *rows: str, header: str | None = None) -> str:
        """Write a file of the header (this reader's by default) and rows;
        return its path as str."""
        lines = (self.header if header is None else header, *rows)
        return str(self.writer(self.name, "\n".join(lines) + "\n"))

    def write_cells(self, column: str, *cells: str) -> str:
        """Write a file of one valid row per cell, its column set to the cell
        (the column added last when the header has none)."""
        labels, values = self.header.split(","), self.row.split(",")
        if column not in labels:
            labels.append(column)
            values.append("")
        at = labels.index(column)
        rows = [",".join([*values[:at], cell, *values[at + 1:]]) for cell in cells]
        return self.write(*rows, header=",".join(labels))


READERS = {
    "climate": Reader(
        cls=climate_reader.WeatherFileReader, module=climate_reader, error=WeatherError,
        context="weather file", header="date,tmean", row="2024-01-03,1",
        columns=["date", "tmean"], name="weather.csv", dates=pd.Timestamp, options=(None,)),
    "inventory": Reader(
        cls=inventory_reader.PopulationInventoryReader, module=inventory_reader,
        error=CohortChainError, context="population inventory file",
        header="chain,population,age_weeks", row="vegetative,1,1",
        columns=["chain", "population", "age_weeks"], name="inventory.csv", tags=True),
    "harvest_tag": Reader(
        cls=harvest_tag_reader.HarvestTagReader, module=harvest_tag_reader,
        error=RibbonDataError, context="production file", header=PRODUCTION_HEADER,
        row="red,2024-01-03,1,0,,,,", columns=PRODUCTION_HEADER.split(","),
        name="production.csv", dates=datetime.date.fromisoformat, date_hint=WEEK_LABEL_HINT,
        tags=True, data=harvest_tag_reader.RibbonProductionData),
    "follower_choice": Reader(
        cls=follower_choice_reader.FollowerChoiceReader, module=follower_choice_reader,
        error=SuckerSelectionError, context="sucker-selection file",
        header="date,parous_count,nulliparous_count", row="2024-01-03,1,1",
        columns=["date", "parous", "nulliparous", "total"], name="selection.csv",
        dates=datetime.date.fromisoformat, data=follower_choice_reader.SuckerSelectionData),
}


@pytest.fixture(params=list(READERS))
def reader(request, write_file) -> Reader:
    """Each reader in turn; a test of only some of them picks them with `only` or
    `per_reader`."""
    return dataclasses.replace(READERS[request.param], writer=write_file)


def only(which: Callable[[Reader], object]):
    """Run a test over the readers `which` holds true of."""
    return pytest.mark.parametrize(
        "reader", [name for name, record in READERS.items() if which(record)], indirect=True)


def per_reader(names: str, cases: list[tuple], ids: list[str] | None = None):
    """Parametrise over cases whose first value names the reader (and, unless
    ids are given, the case)."""
    return pytest.mark.parametrize(names, cases, ids=ids or [case[0] for case in cases],
                                   indirect=["reader"])


def date_message(reader: Reader, path, cause) -> str:
    return ("could not parse 'date' column in " + repr(path) + " as calendar dates: "
            + str(cause) + reader.date_hint)


def cells(column: pd.Series) -> list:
    """The values of a column, None where missing."""
    return [None if pd.isna(value) else value for value in column]


# ---------------------------------------------------------------------------
# Reading a valid file


def test_read_returns_the_checked_table(reader):
    path = reader.write(reader.row + ",x", header=reader.header + ",note")
    result = reader.read(path=path)
    assert type(result) is ReadResult and type(result.notices) is NoticeLog
    assert list(result.notices) == []
    assert list(result.data.columns) == reader.columns  # other columns left out


@per_reader("reader, header, notes", [
    ("climate", None, []),
    ("inventory", None, []),
    ("harvest_tag", None, []),
    ("harvest_tag", "tag,date,bagged,cut,age_at_cut", ["field_losses", "rejected", "processed"]),
    ("follower_choice", None, []),
], ids=["climate", "inventory", "harvest_tag", "harvest_tag-without-extensions",
        "follower_choice"])
def test_file_without_rows_gives_an_empty_table(reader, header, notes):
    result = reader.read(reader.write(header=header))
    assert list(result.data.columns) == reader.columns and len(result.data) == 0
    assert [notice.subject for notice in result.notices] == notes


def datetimes(*isos: str) -> list:
    return [datetime.datetime.fromisoformat(iso) for iso in isos]


@pytest.mark.parametrize("form", ["csv", "xlsx", "parquet"])
@per_reader("reader, text, frame, expected", [
    ("climate", " date ; tmean \n2024-01-05;3.5\n2024-01-06;4.0\n",
     {"date": datetimes("2024-01-05", "2024-01-06"), "tmean": [3.5, 4.0]},
     {"date": [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-06")], "tmean": [3.5, 4.0]}),
    ("inventory", "chain; population ;age_weeks;tag\nvegetative;10;4;Blue\n",
     {"chain": ["vegetative"], "population": [10], "age_weeks": [4.0], "tag": ["Blue"]},
     {"chain": ["vegetative"], "population": [10.0], "age_weeks": [4], "tag": ["blue"]}),
    ("harvest_tag", PRODUCTION_HEADER.replace(",", ";") + "\n"
     "Red;2018-06-20;3;4;50;0;1;3\nblue;2018-06-21;1;0;;0;0;0\n",
     {"tag": ["Red", "blue"], "date": datetimes("2018-06-20", "2018-06-21"),
      "bagged": [3, 1], "cut": [4, 0], "age_at_cut": [50, None], "field_losses": [0, 0],
      "rejected": [1, 0], "processed": [3, 0]},
     {"tag": ["red", "blue"], "date": [datetime.date(2018, 6, 20), datetime.date(2018, 6, 21)],
      "bagged": [3.0, 1.0], "cut": [4.0, 0.0], "age_at_cut": [50.0, None],
      "field_losses": [0.0, 0.0], "rejected": [1.0, 0.0], "processed": [3.0, 0.0]}),
    ("follower_choice", " date ; parous_count ; nulliparous_count\n2018-06-20;3;4\n2018-06-21;1;\n",
     {"date": datetimes("2018-06-20", "2018-06-21"), "parous_count": [3, 1],
      "nulliparous_count": [4, None]},
     {"date": [datetime.date(2018, 6, 20), datetime.date(2018, 6, 21)], "parous": [3.0, 1.0],
      "nulliparous": [4.0, None], "total": [7.0, 1.0]}),
])
def test_real_file_formats(reader, write_file, write_frame, form, text, frame, expected):
    """A spreadsheet's CSV export (byte-order mark, semicolons, blanks around
    the labels), a workbook and a parquet file of typed columns."""
    if form == "csv":
        path = write_file("export.csv", ("\ufeff" + text).encode("utf-8"))
    else:
        path = write_frame("typed." + form, pd.DataFrame(frame))
    result = reader.read(path)
    assert [(c, cells(result.data[c])) for c in result.data.columns] == list(expected.items())
    assert list(result.notices) == []


@only(lambda reader: reader.tags)
def test_a_replaced_tag_normaliser_is_used(reader, monkeypatch):
    monkeypatch.setattr(reader.module, "_normalize_tag", lambda raw: "tag-" + str(raw))
    path = reader.write_cells("tag", "Red")
    assert list(reader.read(path).data["tag"]) == ["tag-Red"]


def test_errors_of_loading_pass_through(reader, tmp_path):
    absent = str(tmp_path / "absent.csv")
    with pytest.raises(FileNotFoundError):
        reader.read(absent)
    with pytest.raises(TypeError):
        reader.read(absent, *reader.options, "extra")
    with pytest.raises(TypeError):
        reader.read(absent, colums=None)


# ---------------------------------------------------------------------------
# Dates


@only(lambda reader: reader.dates)
@pytest.mark.parametrize("dates, expected", [
    (["20180624", "20180701"], ["2018-06-24", "2018-07-01"]),
    (["20180624", ""], ["2018-06-24", None]),  # loads as float64
])
def test_numeric_dates_are_read_as_yyyymmdd(reader, dates, expected):
    got = list(reader.read(reader.write_cells("date", *dates)).data["date"])
    assert [day is pd.NaT for day in got] == [iso is None for iso in expected]
    assert [day for day in got if day is not pd.NaT] == [reader.dates(iso)
                                                          for iso in expected if iso]


@only(lambda reader: reader.dates)
@pytest.mark.parametrize("dates, number, position", [
    (["12", "13"], "12", 0),
    (["20180624", "20180624.5"], "20180624.5", 1),
    (["20180624", "1529798400"], "1529798400", 1),
    (["20180624", "2018"], "2018", 1),
    (["20180624", "-20180624"], "-20180624", 1),
])
def test_other_numbers_are_not_dates(reader, dates, number, position):
    path = reader.write_cells("date", *dates)
    with pytest.raises(reader.error) as excinfo:
        reader.read(path)
    cause = excinfo.value.__cause__
    assert isinstance(cause, ValueError)
    assert str(cause) == f"number {number} at position {position} is not a date written as YYYYMMDD"
    assert str(excinfo.value) == date_message(reader, path, cause)


# ---------------------------------------------------------------------------
# Checks: which failure wins, how files and rows are named


@per_reader("reader, header, rows, missing", [
    ("climate", "date,TMK", ["week 3,1"], ["tmean"]),
    ("inventory", "chain,population,tag", ["veg,-1"], ["age_weeks"]),
    ("harvest_tag", "tag,date,bagged,cut,rejected", ["red,week 3,-1,5"], ["age_at_cut"]),
    ("follower_choice", "date,parous_count", ["soon,-1", "soon,-1"], ["nulliparous_count"]),
])
def test_missing_required_column_wins_over_everything(reader, header, rows, missing):
    path = reader.write(*rows, header=header)
    with pytest.raises(reader.error) as excinfo:
        reader.read(path)
    assert str(excinfo.value) == (reader.context + " " + repr(path) + " is missing required "
                                  f"column(s) {missing}; found columns {header.split(',')}")
    assert excinfo.value.__cause__ is None


@pytest.mark.filterwarnings("ignore:Could not infer format")
@per_reader("reader, row", [
    ("harvest_tag", "red,soon,1,0,,,,"),
    ("follower_choice", "soon,-1,1"),
])
def test_date_error_wins_over_duplicates(reader, row):
    path = reader.write(row, row)
    with pytest.raises(reader.error) as excinfo:
        reader.read(path)
    assert str(excinfo.value) == date_message(reader, path, excinfo.value.__cause__)


@per_reader("reader, rows, message", [
    ("climate", ["05/01/2024,1", "13/01/2024,1"],
     "dates in 'date' of {path} mix day-first and month-first readings (e.g. '13/01/2024'); "
     "pass ColumnMap(dayfirst=True) if the file writes the day first"),
    ("inventory", ["vegetative,1,0.5"],
     "population inventory file {path} has a non-integer or negative 'age_weeks' value"),
    ("harvest_tag", ["red,2024-01-03,-1,0,,,,"],
     NEGATIVE.format(column="'bagged'", rows=[0], path="{path}")),
    ("follower_choice", ["2024-01-03,1,-1"],
     NEGATIVE.format(column="'nulliparous_count'", rows=[0], path="{path}")),
])
def test_path_objects_are_shown_by_repr(reader, rows, message):
    path = pathlib.Path(reader.write(*rows))
    with pytest.raises(reader.error) as excinfo:
        reader.read(path)
    assert str(excinfo.value) == message.format(path=repr(path))
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("index", [[10, 20, 30], ["a", "b", "c"]])
@per_reader("reader, rows, column", [
    ("harvest_tag", ["red,2024-01-03,1,0,,,,", "red,2024-01-04,-1,0,,,,",
                     "blue,2024-01-03,-2,0,,,,"], "bagged"),
    ("follower_choice", ["2024-01-03,1,1", "2024-01-10,-1,1", "2024-01-17,-2,1"],
     "parous_count"),
])
def test_row_lists_name_the_index_labels(reader, monkeypatch, rows, column, index):
    path = reader.write(*rows)
    load = reader.module._read_table
    monkeypatch.setattr(reader.module, "_read_table",
                        lambda *args, **kwargs: load(*args, **kwargs).set_axis(index))
    with pytest.raises(reader.error) as excinfo:
        reader.read(path)
    assert str(excinfo.value) == NEGATIVE.format(column=repr(column), rows=index[1:],
                                                 path=repr(path))
    monkeypatch.setattr(reader.module, "_read_table",
                        lambda *args, **kwargs: load(*args, **kwargs).iloc[:1].set_axis(index[:1]))
    assert list(reader.read(path).data.index) == index[:1]


# ---------------------------------------------------------------------------
# The data classes


@only(lambda reader: reader.data)
def test_from_file_builds_cls_and_passes_the_log_on(reader, monkeypatch, recording_provider):
    class Mine(reader.data):
        pass

    path = reader.write(reader.row)
    read_result = reader.read(path)
    monkeypatch.setattr(reader.cls, "read", staticmethod(lambda p: read_result))
    result = Mine.from_file(path=path, weather=recording_provider())
    assert type(result) is ReadResult and type(result.data) is Mine
    assert result.notices is read_result.notices
    assert (result.data._first_week, result.data._last_week) == (0, 0)  # the row's week
    with pytest.raises(TypeError):
        Mine.from_file(path)

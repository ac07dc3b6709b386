"""Where a record file's table starts and ends: the header found under a
preamble on evidence, rows never lost, doubtful headers refused by line."""

from __future__ import annotations

import csv
import io
import warnings
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from py_zelka.farm import check_farm
from py_zelka.readers._common import _read_table

EXPORTS = Path(__file__).resolve().parent / "data" / "exports"


def load(path, **kwargs) -> pd.DataFrame:
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing may leak to the user
        return _read_table(path, **kwargs)


@pytest.mark.parametrize(("export", "columns", "first", "last", "rows"), [
    ("station_key_value.csv", ["date", "tmean"], ["2024-03-01", 27.4], ["2024-03-02", 27.9], 2),
    ("ten_line_preamble.csv", ["date", "tmean", "tmin", "tmax", "rain"],
     ["2024-01-01", 26.8, 22.1, 31.5, 0.0], ["2024-01-02", 27.1, 22.4, 31.9, 2.4], 2),
    ("na_near_top.csv", ["date", "tmean"], ["2024-02-01", None], ["2024-02-05", 25.0], 5),
    ("quoted_title.csv", ["date", "tmean"], ["2024-04-01", 28.2], ["2024-04-03", 27.9], 3),
    ("digit_labels.csv", ["date", "2m_temp", "10m_wind"], ["2024-05-01", 26.4, 3.1],
     ["2024-05-02", 26.9, 2.7], 2),
    ("ragged_tail.csv", ["tag", "date", "bagged", "cut", "age_at_cut", "field_losses", "rejected",
                         "processed"],
     ["red", "2024-01-01", 10, 5, 30, 0.0, 1.0, 4.0], ["blue", "2024-01-15", 9, 4, 30, None, None,
                                                       None], 4),
    ("bom_daily_cp1252.csv", ["Unnamed: 0", "Date", "Minimum temperature (°C)",
                              "Maximum temperature (°C)", "Rainfall (mm)",
                              "Time of maximum wind gust"],
     [None, "2024-05-01", 19.8, 27.4, 12.6, "13:05"], [None, "2024-05-04", 17.6, 27.0, 0.0, "15:38"],
     4),
    ("bom_preamble.csv", ["Product code", "Bureau of Meteorology station number", "Year", "Month",
                          "Day", "Maximum temperature (Degree C)",
                          "Days of accumulation of maximum temperature", "Quality"],
     ["IDCJAC0010", 66062, 2024, 1, 1, 25.9, 1, "Y"], ["IDCJAC0010", 66062, 2024, 1, 4, 26.0, 1, "Y"],
     4),
])
def test_exports_load_every_row_under_their_preamble(export, columns, first, last, rows):
    table = load(EXPORTS / export, text_columns=("tag",))
    values = table.astype(object).where(table.notna(), None).values.tolist()
    assert (list(table.columns), values[0], values[-1], len(table)) == (columns, first, last, rows)


@pytest.mark.parametrize(("content", "message"), [
    ((EXPORTS / "units_row.csv").read_text(),
     "cannot tell which line of {path!r} is its header: lines 1 and 2 hold labels right above its "
     "rows (line 3 on); delete the lines that are not the header (units, a title), or put a blank "
     "line under a title"),
    ("Station,Finca La Ceiba\ndate,tmean\n2024-01-01,25.0\n",
     "cannot tell which line of {path!r} is its header: lines 1 and 2 hold labels right above its "
     "rows (line 3 on); delete the lines that are not the header (units, a title), or put a blank "
     "line under a title"),
    ((EXPORTS / "appended_twice.csv").read_text(),
     "{path!r} holds its header more than once: lines 1 and 5 hold the same labels, as when one "
     "export is appended to another; keep one table per file (delete the repeated header and the "
     "rows it repeats)"),
    ("date,tmean\n2024-01-01,25.0\n2024-01-02,25.1\nmissing,unknown\n2024-01-03,25.3\n",
     "cannot tell which line of {path!r} is its header: lines 1 and 4 both hold labels where its "
     "rows hold values, with rows between them; if the later one is a row, correct its cells, and "
     "keep one table per file"),
])
def test_doubtful_headers_are_refused_naming_their_lines(write_file, content, message):
    path = write_file("weather.csv", content)
    with pytest.raises(ValueError) as excinfo:
        load(path)
    assert str(excinfo.value) == message.format(path=path)
    assert excinfo.value.__notes__ == [f"while reading {path!r}"]


def test_a_bad_line_is_the_parsers_error_not_a_missing_column(write_file):
    days = pd.date_range("2024-01-01", periods=364).strftime("%Y-%m-%d")
    lines = ["date,tmean"] + [f"{day},{20 + i % 7}.5" for i, day in enumerate(days)]
    lines[99] += ",1"
    path = write_file("weather.csv", "\n".join(lines) + "\n")
    with pytest.raises(pd.errors.ParserError) as excinfo:
        load(path)
    assert str(excinfo.value) == "Error tokenizing data. C error: Expected 2 fields in line 100, saw 3\n"
    assert excinfo.value.__notes__ == [f"while reading {path!r}, at line 100"]


def test_a_first_row_wider_than_its_header_is_refused(write_file):
    path = write_file("t.csv", "date,tmean\n2024-01-01,25.0,dry\n2024-01-02,25.1\n")
    with pytest.raises(ValueError) as excinfo:
        load(path)
    assert str(excinfo.value) == (
        f"line 2 of {path!r} has 3 fields, more than the 2 labels of its header (line 1), and the "
        "cells beyond them would be lost; label every column in the header or remove the extra cells")


def test_large_file_ending_in_notes_inside_a_quoted_cell(tmp_path):
    # The last 64 KiB start inside a quoted cell that spans many lines.
    lines = ["tag,date,remark"] + [f"t{i},2024-01-01,ok" for i in range(12_000)]
    lines += ['t12000,2024-01-02,"' + "\n".join(f"line {k}, checked" for k in range(4000)) + '"']
    lines += [f"t{i},2024-01-03,ok" for i in range(12_001, 12_006)]
    lines += ["", "Notes:", "Remarks are free text."]
    path = tmp_path / "production.csv"
    path.write_text("\n".join(lines) + "\n")
    assert path.stat().st_size > 256 * 1024
    table = load(path, text_columns=("tag",))
    assert len(table) == 12_006
    assert table["tag"].iloc[-1] == "t12005"


def test_excel_sheet_with_rows_of_varying_width(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["Harvest log"])
    sheet.append(["Farm", "Finca Sur"])
    sheet.append([])
    sheet.append(["tag", "date", "bagged", "cut", "age_at_cut", "rejected"])
    for i in range(70):  # optional trailing cells filled on some rows only
        row = [f"t{i}", pd.Timestamp("2024-01-01") + pd.Timedelta(days=i), 10, 5, 30, 1]
        sheet.append(row[: 4 + i % 3])
    path = tmp_path / "production.xlsx"
    book.save(path)
    table = load(path, text_columns=("tag",))
    assert list(table.columns) == ["tag", "date", "bagged", "cut", "age_at_cut", "rejected"]
    assert table["tag"].tolist() == [f"t{i}" for i in range(70)]


@pytest.mark.parametrize("header", [" tag,tag", "tag, tag", "tag ,tag", "tag,tag "])
def test_labels_equal_once_stripped_whichever_side_the_blank_is_on(write_file, header):
    path = write_file("t.csv", header + "\nred,blue\n")
    written = next(csv.reader([header]))
    with pytest.raises(ValueError) as excinfo:
        load(path)
    assert str(excinfo.value) == (
        f"two columns of {path!r} are labelled 'tag' once blanks around their labels are "
        f"stripped: column 1 ({written[0]!r}) and column 2 ({written[1]!r})")


def test_text_columns_keep_missing_markers_as_text(write_file):
    path = write_file("t.csv", "tag,count\nNA,NA\nN/A,1\nnull,null\nNone,2\nnan,nan\n,4\n")
    table = load(path, text_columns=("tag",))
    assert table["tag"].tolist()[:5] == ["NA", "N/A", "null", "None", "nan"]
    assert pd.isna(table["tag"].iloc[5])
    assert table["count"].isna().tolist() == [True, False, True, False, True, False]


def test_bom_and_a_later_windows_1252_byte_is_refused_at_its_line(write_file):
    body = "".join(f"2024-01-{day:02d},25.{day}\n" for day in range(1, 29))
    path = write_file("w.csv", b"\xef\xbb\xbfdate,station\n" + body.encode() * 3000
                      + "2024-02-01,Bel\xe9m\n".encode("cp1252"))
    with pytest.raises(ValueError) as excinfo:
        load(path)
    assert str(excinfo.value) == (
        f"{path!r} is not UTF-8 throughout: line 84002 holds the byte 0xE9 ('2024-02-01,Bel\ufffdm'),"
        " which UTF-8 does not allow there, while it begins with the byte-order mark of UTF-8; a "
        "file has one encoding: save it again as UTF-8")
    assert excinfo.value.__notes__ == [f"while reading {path!r}, at line 84002"]


@pytest.mark.parametrize(("text", "line"), [
    ('"Daily observations\nFinca Sur"\n\ndate,tmean\n2024-01-01,25\n2024-01-02,x\n', 6),
    ("Station,Sur\r\nLatitude,9.9\r\n\r\ndate,tmean,remark\r\n2024-01-01,25,\"wet\r\nnight\"\r\n"
     "2024-01-02,x,dry\r\n", 7),
    ("date,tmean,remark\n2024-01-01,25,\"a \"\"b\"\"\nc\"\n\n2024-01-02,26\n2024-01-03,x,\n", 6),
])
def test_rows_keep_their_lines_as_an_editor_shows_them(tmp_path, text, line):
    (tmp_path / "weather.csv").write_bytes(text.encode())
    (tmp_path / "farm.yaml").write_text("weather: {file: weather.csv}\n")
    findings = check_farm(tmp_path).findings
    signal = findings[findings.rule == "non_numeric_signal"]
    assert signal.line.tolist() == [line]


# ---------------------------------------------------------------------------
# Files without preamble load as pandas loads them; a preamble changes nothing

labels = st.from_regex(r"[A-Za-z][A-Za-z0-9_ ()°]{0,12}", fullmatch=True).map(str.strip).filter(
    lambda s: s and s.lower() not in {"na", "nan", "null", "none", "n/a", "inf"})
dates = st.dates(min_value=pd.Timestamp("2000-01-01").date(),
                 max_value=pd.Timestamp("2030-12-31").date()).map(str)
numbers = st.one_of(st.integers(-999, 99_999).map(str),
                    st.floats(-1e4, 1e4, allow_nan=False).map(lambda x: f"{x:.2f}"))
cells = st.one_of(numbers, st.sampled_from(["", "NA", "nan"]), labels)


@st.composite
def tables(draw):
    width = draw(st.integers(2, 6))
    names = draw(st.lists(labels, min_size=width - 1, max_size=width - 1,
                          unique_by=str.lower).filter(lambda n: "date" not in n))
    header = ["date"] + names
    if draw(st.booleans()):  # leading digit, blank first label
        header[-1] = "2m_" + header[-1]
    n = draw(st.integers(1, 12))
    rows = []
    for i in range(n):
        row = [draw(dates)] + [draw(numbers if j == 1 else cells) for j in range(1, width)]
        if i == 0 and draw(st.booleans()):
            row[1] = "NA"
        if i >= n - 2 and draw(st.booleans()):  # trailing empty cells left out
            row = row[: draw(st.integers(1, width))]
        rows.append(row)
    return header, rows


def render(header, rows) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)
    return out.getvalue()


preambles = st.lists(st.one_of(
    labels.map(lambda s: s + "\n"),
    st.just("\n"),
    st.tuples(labels, st.one_of(labels, numbers)).map(lambda kv: f"{kv[0]}:,{kv[1]}\n"),
    st.tuples(labels, labels).map(lambda t: f'"{t[0]}\n{t[1]}, report"\n'),
), min_size=1, max_size=12).map("".join)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=tables(), preamble=preambles)
def test_without_preamble_as_pandas_and_any_preamble_alike(tmp_path, table, preamble):
    text = render(*table)
    path = tmp_path / "plain.csv"
    path.write_text(text)
    plain = load(path)
    pd.testing.assert_frame_equal(plain, pd.read_csv(path, skipinitialspace=True))
    last = preamble.rstrip("\n").rsplit("\n", 1)[-1].split(",")
    if len(last) == len(table[0]) == 2 and not numbers_only(last[1]):
        preamble += "\n"  # two lines of labels right above the rows are refused, as tested above
    (tmp_path / "copy.csv").write_text(preamble + text)
    pd.testing.assert_frame_equal(load(tmp_path / "copy.csv"), plain)


def numbers_only(cell: str) -> bool:
    return cell.replace("-", "").replace(".", "").isdigit()

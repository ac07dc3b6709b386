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


@pytest.mark.parametrize(("content", "message", "lines"), [
    ((EXPORTS / "units_row.csv").read_text(),
     "cannot tell which line of {path!r} is its header: lines 1 and 2 hold labels right above its "
     "rows (line 3 on); delete the lines that are not the header (units, a title), or put a blank "
     "line under a title", [1, 2]),
    ("Station,Finca La Ceiba\ndate,tmean\n2024-01-01,25.0\n",
     "cannot tell which line of {path!r} is its header: lines 1 and 2 hold labels right above its "
     "rows (line 3 on); delete the lines that are not the header (units, a title), or put a blank "
     "line under a title", [1, 2]),
    ((EXPORTS / "appended_twice.csv").read_text(),
     "{path!r} holds its header more than once: lines 1 and 5 hold the same labels, as when one "
     "export is appended to another; keep one table per file (delete the repeated header and the "
     "rows it repeats)", None),
    ("date,tmean\n2024-01-01,25.0\n2024-01-02,25.1\nmissing,unknown\n2024-01-03,25.3\n",
     "cannot tell which line of {path!r} is its header: lines 1 and 4 both hold labels where its "
     "rows hold values, with rows between them (lines 2-3); if the later one is a row, correct its "
     "cells, and keep one table per file", [1, 4]),
])
def test_doubtful_headers_are_refused_naming_their_lines(write_file, content, message, lines):
    path = write_file("weather.csv", content)
    with pytest.raises(ValueError) as excinfo:
        load(path)
    assert str(excinfo.value) == message.format(path=path)
    first = int(message.split("lines ")[1].split()[0].rstrip(":,"))
    assert excinfo.value.__notes__ == [f"while reading {path!r}, at line {first}"]
    # The lines a farm may name as the header (farm.yaml's header:).
    assert getattr(excinfo.value, "header_lines", None) == lines


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


# ---------------------------------------------------------------------------
# Nothing lost: rows above the header, rows cut short, encodings, line ends

PRODUCTION_HEADER = "tag,date,bagged,cut,age_at_cut"
PRODUCTION_ROWS = [f"{tag},2024-01-{day:02d},{day},{day},30"
                   for day in range(1, 13) for tag in ("red", "blue")]


@pytest.mark.parametrize(("text", "word", "lines", "header"), [
    ("\n".join(PRODUCTION_ROWS[:10] + [PRODUCTION_HEADER] + PRODUCTION_ROWS) + "\n",
     "lines", "1-10", 11),
    ("\r".join(["Harvest log", "", PRODUCTION_ROWS[0], "red", PRODUCTION_HEADER]
               + PRODUCTION_ROWS) + "\r", "lines", "3-4", 5),
    ("Farm,Kessot\n" + PRODUCTION_ROWS[5] + "\n\n" + PRODUCTION_HEADER + "\n"
     + "\n".join(PRODUCTION_ROWS) + "\n", "line", "2", 4),
])
def test_rows_above_the_header_are_refused_naming_them(write_file, text, word, lines, header):
    path = write_file("production.csv", text)
    with pytest.raises(ValueError) as excinfo:
        load(path, text_columns=("tag",))
    verb, pronoun = ("look", "them") if word == "lines" else ("looks", "it")
    assert str(excinfo.value) == (
        f"{word} {lines} of {path!r} {verb} like rows of the table: is the header missing above "
        f"{pronoun}? The header is line {header}; put the header above every row, or delete what "
        "repeats rows below it")
    assert excinfo.value.__notes__ == [f"while reading {path!r}, at line {lines.split('-')[0].split()[0]}"]


def test_rows_above_the_header_of_a_sheet_are_refused(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    sheet = book.active
    rows = [[tag, pd.Timestamp(2024, 1, day), day, day, 30] for day in range(1, 9)
            for tag in ("red", "blue")]
    for row in rows[:3] + [PRODUCTION_HEADER.split(",")] + rows:
        sheet.append(row)
    path = tmp_path / "production.xlsx"
    book.save(path)
    with pytest.raises(ValueError) as excinfo:
        load(path, text_columns=("tag",))
    assert str(excinfo.value) == (
        f"rows 1-3 of {path!r} look like rows of the table: is the header missing above them? The "
        "header is row 4; put the header above every row, or delete what repeats rows below it")


@pytest.mark.parametrize(("header", "tail", "cut"), [
    (PRODUCTION_HEADER, "red\nblue\n", [["red", None], ["blue", None]]),
    (PRODUCTION_HEADER, "red\nblue\n\nNotes:\nCounts are bunches.\n", [["red", None], ["blue", None]]),
    (PRODUCTION_HEADER, "blue,2024-01-13\n", [["blue", "2024-01-13"]]),
    (PRODUCTION_HEADER, "\nNotes:\nCounts are bunches.\n", []),
])
def test_rows_cut_short_at_the_end_load_as_rows(write_file, header, tail, cut):
    path = write_file("production.csv", "\n".join([header] + PRODUCTION_ROWS) + "\n" + tail)
    table = load(path, text_columns=("tag",))
    assert len(table) == len(PRODUCTION_ROWS) + len(cut)
    last = table[["tag", "date"]].tail(len(cut)).astype(object)
    assert last.where(last.notna(), None).values.tolist() == cut


def test_an_inventory_cut_short_keeps_its_last_row(write_file):
    rows = "".join(f"{chain},{100 + k},{k}\n" for k, chain in
                   enumerate(["vegetative", "reproductive"] * 4))
    table = load(write_file("inventory.csv", "chain,population,age_weeks\n" + rows + "vegetative\n"))
    assert table["chain"].tolist()[-1] == "vegetative" and len(table) == 9


@pytest.mark.parametrize(("raw", "station"), [
    ("date,station\n2024-01-01,Belém\n".encode(), "Belém"),
    ("date,station\n2024-01-01,Belém\n".encode("utf-8-sig"), "Belém"),
    ("date,station\n2024-01-01,Belém\n".encode("utf-16"), "Belém"),
    ("date,station\n2024-01-01,Belém\n".encode("cp1252"), "Belém"),
    ("date,station\n2024-01-01,Belém\n".encode("latin-1"), "Belém"),
])
def test_encodings_are_read_on_evidence(write_file, raw, station):
    table = load(write_file("weather.csv", raw))
    assert list(table.columns) == ["date", "station"] and table["station"].tolist() == [station]


@pytest.mark.parametrize(("raw", "message", "line"), [
    ("tag,date\ngrün,2024-01-01\n".encode() + b"bl\xe9,2024-01-02\n",
     "{path!r} is not UTF-8 throughout: line 3 holds the byte 0xE9 ('bl\ufffd,2024-01-02'), which "
     "UTF-8 does not allow there, while line 2 holds UTF-8 ('grün,2024-01-01'); a file has one "
     "encoding: save it again as UTF-8", 3),
    (b"\xef\xbb\xbftag,date\nbl\xe9,2024-01-02\n",
     "{path!r} is not UTF-8 throughout: line 2 holds the byte 0xE9 ('bl\ufffd,2024-01-02'), which "
     "UTF-8 does not allow there, while it begins with the byte-order mark of UTF-8; a file has "
     "one encoding: save it again as UTF-8", 2),
    (b"tag,date\nred,2024-01-01\nbl\x81,2024-01-02\n",
     "{path!r} is neither UTF-8 nor Windows-1252: line 3 holds the byte 0x81 ('bl\\x81,2024-01-02'), "
     "which neither encoding has; save the file again as UTF-8", 3),
])
def test_a_mixed_encoding_is_refused_at_its_line(write_file, raw, message, line):
    path = write_file("production.csv", raw)
    with pytest.raises(ValueError) as excinfo:
        load(path, text_columns=("tag",))
    assert str(excinfo.value) == message.format(path=path)
    assert excinfo.value.__notes__ == [f"while reading {path!r}, at line {line}"]


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("blank", ["", "\f", "\v", " \f "])
def test_line_ends_and_blank_lines_of_any_kind(tmp_path, end, blank):
    lines = ["Daily export", "", "date,tmean", "2024-01-01,25.0", blank, "2024-01-02,26.0",
             "2024-01-03,27.0", blank, "Notes:", "free text"]
    path = tmp_path / "weather.csv"
    path.write_bytes(end.join(lines).encode() + end.encode())
    table = load(path)
    assert table.values.tolist() == [["2024-01-01", 25.0], ["2024-01-02", 26.0],
                                     ["2024-01-03", 27.0]]
    report = check_farm_of(tmp_path, path)
    signal = report.findings[report.findings.rule == "skipped_lines"]
    assert signal.message.tolist() == ["the table's header is line 3; line 1 above it is not "
                                       "read; lines 9-10 after the table are not rows of it"]


def check_farm_of(folder, weather):
    (folder / "farm.yaml").write_text(f"weather: {{file: {weather.name}}}\n")
    return check_farm(folder)


# A property of the loader: whatever a file holds around its table (a
# preamble, notes after it) and however it is written (line ends,
# encodings), every row of the table loads as written, or the file is
# refused naming the lines that could be rows.

TAGS = ["red", "Blue", "verde", "gelb", "noir", "rouge clair"]
words = st.sampled_from(["Harvest", "records", "Finca", "Sur", "export", "quality", "flag", "Y",
                         "means", "checked", "by", "office", "Station", "Kessot", "2024", "Bélair"])
free_text = st.lists(words, min_size=1, max_size=6).map(" ".join)


@st.composite
def production_files(draw):
    n = draw(st.integers(1, 25))
    rows = []
    for i in range(n):
        day = pd.Timestamp("2024-01-01") + pd.Timedelta(days=draw(st.integers(0, 400)))
        counts = [draw(st.one_of(st.integers(0, 200).map(str), st.just(""))) for _ in range(3)]
        rows.append([draw(st.sampled_from(TAGS)), day.strftime("%Y-%m-%d"), *counts])
    if draw(st.booleans()):  # the export was cut short: its last row keeps its first cells
        rows[-1] = rows[-1][: draw(st.integers(1, 2))]
    preamble = draw(st.lists(st.one_of(
        free_text,
        st.just(""),
        st.tuples(free_text, free_text).map(lambda kv: f"{kv[0]}: {kv[1]}"),
    ), max_size=6))
    pasted = draw(st.integers(0, min(3, n))) if draw(st.integers(0, 4)) == 0 else 0
    # notes after the table, unless the export was cut short (nothing follows a cut)
    notes = [] if len(rows[-1]) < 5 else draw(st.lists(free_text, max_size=4))
    end = draw(st.sampled_from(["\n", "\r\n", "\r"]))
    encoding = draw(st.sampled_from(["utf-8", "utf-8-sig", "utf-16", "cp1252"]))
    return rows, preamble, pasted, notes, end, encoding


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=production_files())
def test_every_row_loads_or_the_file_is_refused_naming_lines(tmp_path, case):
    rows, preamble, pasted, notes, end, encoding = case
    full = [r for r in rows if len(r) == 5]
    above = [",".join(r) for r in full[:pasted]]
    lines = preamble + above + [PRODUCTION_HEADER] + [",".join(r) for r in rows]
    if notes:
        lines += [""] + notes
    path = tmp_path / "production.csv"
    path.write_bytes((end.join(lines) + end).encode(encoding))
    if above:
        with pytest.raises(ValueError) as excinfo:
            load(path, text_columns=("tag",))
        first = len(preamble) + 1
        assert str(excinfo.value).startswith(
            f"lines {first}-{first + len(above) - 1} " if len(above) > 1 else f"line {first} ")
        assert excinfo.value.__notes__ == [f"while reading {path!r}, at line {first}"]
        return
    table = load(path, text_columns=("tag",))
    expected = [r + [""] * (5 - len(r)) for r in rows]
    got = table.astype(object).where(table.notna(), "").astype(str).values.tolist()
    got = [[cell.removesuffix(".0") for cell in row] for row in got]
    assert got[: len(expected)] == expected
    # What follows the rows can only be lines of the notes down to the last
    # that could be a row cut short (a word, as a tag is): rows as written.
    extra = [row[0] for row in got[len(expected):]]
    assert extra == notes[: len(extra)]

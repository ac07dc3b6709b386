"""What the readers do to and with their files: they never change them, and
files that are empty, truncated, garbage, huge or not files at all give the
host's or the reader's own error at once."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys

import pytest
import yaml

from py_zelka import cropcare, parameters
from py_zelka.exceptions import (CohortChainError, RibbonDataError, SuckerSelectionError,
                                 WeatherError)
from py_zelka.readers import _common
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import FollowerChoiceReader
from py_zelka.readers.harvest_tag_reader import HarvestTagReader
from py_zelka.readers.inventory_reader import PopulationInventoryReader

READERS = {
    "weather": (WeatherFileReader.read, WeatherError,
                "date,tmean\n2024-01-01,25.0\n2024-01-02,26.5\n"),
    "inventory": (PopulationInventoryReader.read, CohortChainError,
                  "chain,population,age_weeks,tag\nvegetative,100,3,Red\n"),
    "production": (HarvestTagReader.read, RibbonDataError,
                   "tag,date,bagged,cut,age_at_cut,field_losses,rejected,processed\n"
                   "red,2024-01-01,10,5,30,0,1,4\n"),
    "selection": (FollowerChoiceReader.read, SuckerSelectionError,
                  "date,parous_count,nulliparous_count\n2024-01-01,3,4\n"),
}


def fingerprint(path) -> tuple:
    st = os.stat(path)
    return hashlib.sha256(open(path, "rb").read()).hexdigest(), st.st_size, st.st_mtime_ns


@pytest.mark.parametrize("name", READERS)
@pytest.mark.parametrize("variant", ["good", "bad"])
def test_readers_leave_their_file_as_it_was(write_file, name, variant):
    read, error, text = READERS[name]
    if variant == "bad":  # a read that fails half way through the checks
        text = text.replace("2024-01-01", "someday").replace("vegetative", "woody")
    path = write_file(f"{name}.csv", text)
    before = fingerprint(path)
    mode = os.stat(path).st_mode
    try:
        read(path)
    except error:
        assert variant == "bad"
    assert fingerprint(path) == before
    assert os.stat(path).st_mode == mode
    assert sorted(os.listdir(path.parent)) == [path.name]
    # Not left open (and so not locked) either: it can be replaced and removed.
    os.replace(path, path.with_suffix(".moved"))
    os.remove(path.with_suffix(".moved"))


def failure(read, path):
    try:
        read(path)
    except Exception as error:  # what is raised is the point
        return error
    return None


def plain_error(error) -> bool:
    """An error of the host, pandas or the reader, whose text shows no C++."""
    return (error is not None and not isinstance(error, (SystemError, RuntimeError))
            and "std::" not in str(error) and "basic_string" not in str(error))


BAD_CONTENT = {
    "empty": b"",
    "blank lines": b"\n\n\n",
    "header only": None,  # the reader's own header, no rows
    "garbage": bytes(range(256)) * 8,
    "nul bytes": b"\x00" * 1000,
    "invalid utf-8": b"date,tmean\n\xff\xfe\xfa,\xc3\x28\n",
    "one huge line": b"x" * (10 * 1024 * 1024),
    "huge header": b",".join(b"c%d" % i for i in range(20_000)) + b"\n",
}


@pytest.mark.parametrize("name", READERS)
@pytest.mark.parametrize("content", BAD_CONTENT)
def test_bad_files_give_an_ordinary_error(write_file, name, content):
    read, error_cls, text = READERS[name]
    data = BAD_CONTENT[content]
    if data is None:
        data = text.splitlines()[0].encode() + b"\n"
    path = write_file(f"{name}.csv", data)
    error = failure(read, path)
    if content == "header only":
        assert error is None  # no rows is no error
    else:
        assert plain_error(error), repr(error)


@pytest.mark.parametrize("name", READERS)
def test_not_a_file(tmp_path, name):
    read = READERS[name][0]
    assert isinstance(failure(read, tmp_path), IsADirectoryError)
    assert isinstance(failure(read, tmp_path / "missing.csv"), FileNotFoundError)
    assert isinstance(failure(read, tmp_path / "missing" / "x.csv"), FileNotFoundError)


def test_undecodable_file_name_is_a_missing_file_not_a_cxx_error(tmp_path):
    # A file name from bytes that are not UTF-8 holds lone surrogates.
    for name in ("data.c\udcffv", "d\udcffta.csv"):
        error = failure(_common._read_table, str(tmp_path / name))
        assert isinstance(error, FileNotFoundError), repr(error)


def test_undecodable_file_name_of_a_real_file(tmp_path):
    name = os.fsdecode(b"caf\xe9.csv")
    (tmp_path / name).write_bytes(b"a,b\n1,2\n")
    table = _common._read_table(tmp_path / name)
    assert list(table.columns) == ["a", "b"]


class RaisingContains:
    def __len__(self):
        return 1

    def __contains__(self, item):
        raise LookupError("no membership")

    def __iter__(self):
        return iter(("a",))


def test_text_columns_whose_membership_test_raises(write_file):
    path = write_file("t.csv", "a,b\n1,2\n")
    with pytest.raises(LookupError) as excinfo:
        _common._read_table(path, text_columns=RaisingContains())
    assert str(excinfo.value) == "no membership"


def test_unhashable_text_column_of_a_typed_file(write_frame):
    import pandas as pd

    path = write_frame("t.parquet", pd.DataFrame({"a": ["x"], "b": [1]}))
    with pytest.raises(TypeError):
        _common._read_table(path, text_columns=(["a"], "a"))


# ---------------------------------------------------------------------------
# YAML


def test_python_object_tags_are_refused(write_file, tmp_path):
    marker = tmp_path / "ran"
    hostile = ("replacement_schedule: !!python/object/apply:os.system ['touch "
               + str(marker) + "']\n")
    path = write_file("plan.yaml", hostile)
    with pytest.raises(yaml.constructor.ConstructorError):
        cropcare.CropCare.from_yaml(path)
    params = write_file("params.yaml", "general: !!python/object:collections.OrderedDict {}\n")
    with pytest.raises(yaml.constructor.ConstructorError):
        parameters.ParameterSet.from_yaml(params)
    assert not marker.exists()


BOMB = "\n".join(
    ["a: &a [x, x, x, x, x, x, x, x, x]"]
    + [f"{chr(98 + i)}: &{chr(98 + i)} [*{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, "
       f"*{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, "
       f"*{chr(97 + i)}]" for i in range(8)]
    + ["replacement_schedule: {1: 2}", ""])


def test_alias_bomb_is_refused_before_it_is_built(write_file):
    # Nine levels of nine aliases each: a billion leaves if expanded.  Both
    # loaders refuse it from the parser's events, in a fraction of a second
    # and well within 2 GiB, at the line where the aliases cross the bound.
    path = write_file("bomb.yaml", BOMB)
    # At most 2 GiB of address space -- except under AddressSanitizer, whose
    # shadow memory alone reserves far more.
    limit = "asan" not in os.environ.get("LD_PRELOAD", "")
    code = ("import resource, sys, yaml\n"
            + ("resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n" if limit else "")
            + "from py_zelka import cropcare, parameters\n"
            "for load in (cropcare.CropCare.from_yaml, parameters.ParameterSet.from_yaml):\n"
            "    try:\n"
            "        load(sys.argv[1])\n"
            "    except yaml.YAMLError as e:\n"
            "        print(type(e).__name__, str(e).replace(sys.argv[1], 'FILE'))\n")
    done = subprocess.run([sys.executable, "-c", code, str(path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    refusal = ("ComposerError the document repeats its values through aliases (*name) to more than "
               "100000 values: refused before it is built\n"
               '  in "FILE", line 6, column 8\n')
    assert done.stdout == refusal * 2

"""Population inventory reader (PopulationInventoryReader)."""

from __future__ import annotations


import numpy as np
import pandas as pd
import pytest

from py_zelka.cohorts import ChainKind
from py_zelka.exceptions import CohortChainError
from py_zelka.readers import inventory_reader as ivr

PopulationInventoryReader = ivr.PopulationInventoryReader

HEADER = "chain,population,age_weeks"
CHAINS = "; expected exactly one of ['reproductive', 'vegetative']"
POPULATION = " has a non-numeric or negative 'population' value"
AGE = " has a non-integer or negative 'age_weeks' value"


@pytest.fixture
def inventory(write_file):
    """Write an inventory CSV from data lines; return its path as str."""

    def write(*lines: str, header: str = HEADER, name: str = "inventory.csv") -> str:
        return str(write_file(name, "\n".join((header, *lines)) + "\n"))

    return write


def error_of(path) -> str:
    with pytest.raises(CohortChainError) as excinfo:
        PopulationInventoryReader.read(path)
    assert excinfo.value.__cause__ is None
    return str(excinfo.value)


def prefix(path) -> str:
    return "population inventory file " + repr(path)


# ---------------------------------------------------------------------------
# Module


# ---------------------------------------------------------------------------
# Reading a valid file


def test_valid_rows_read_as_chains_populations_and_ages(inventory):
    path = inventory("vegetative,120,3.0,x", "reproductive,2.5,0,y", "vegetative,0,12,z",
                     header=HEADER + ",note")
    data = PopulationInventoryReader.read(path).data
    assert list(data.index) == [0, 1, 2]
    assert list(data["chain"]) == ["vegetative", "reproductive", "vegetative"]
    assert data["population"].dtype == np.float64
    assert data["population"].tolist() == [120.0, 2.5, 0.0]
    assert data["age_weeks"].dtype == np.int64 and data["age_weeks"].tolist() == [3, 0, 12]


def test_tag_column_comes_last_normalised(inventory):
    path = inventory(" Red ,vegetative,1,1,a", ",reproductive,1,1,b", "007,vegetative,1,1,c",
                     header="tag,chain,population,age_weeks,x")
    data = PopulationInventoryReader.read(path).data
    assert list(data.columns) == ["chain", "population", "age_weeks", "tag"]
    assert list(data["tag"]) == ["red", "", "007"]  # read as text: 007 keeps its zeros


# ---------------------------------------------------------------------------
# Checks


@pytest.mark.parametrize("chains, invalid", [
    (["Vegetative"], "['Vegetative']"),
    (['" vegetative"', "reproductive "], "[' vegetative', 'reproductive ']"),  # quoted blank
    (["veg", "veg", "vegetative", "veg"], "['veg']"),             # named once
    (["zebra", "apple", "vegetative"], "['apple', 'zebra']"),     # sorted
    # missing cells: one nan after the text values, however many rows
    (["", "vegetative", ""], "[nan]"),
    (["veg", "", "abc", ""], "['abc', 'veg', nan]"),
])
def test_invalid_chains(inventory, chains, invalid):
    path = inventory(*[f"{c},1,1" for c in chains])
    assert error_of(path) == prefix(path) + " has invalid chain value(s) " + invalid + CHAINS


def test_numeric_chain_values_are_invalid(inventory):
    path = inventory("2,1,1", "1,1,1")
    assert error_of(path) == prefix(path) + " has invalid chain value(s) [1, 2]" + CHAINS


@pytest.mark.parametrize("population, age, message", [
    ("", "1", POPULATION), ("many", "1", POPULATION), ("-1", "1", POPULATION),
    ("-0.5", "1", POPULATION), ("-inf", "1", POPULATION),
    ("1", "", AGE), ("1", "old", AGE), ("1", "-1", AGE), ("1", "3.5", AGE),
    ("1", "1e19", AGE),  # beyond int64: not the same number as an integer
    # an infinite age is not a whole number of weeks
    ("1", "inf", AGE), ("1", "-inf", AGE),
    # population is checked before age
    ("-1", "3.5", POPULATION), ("", "", POPULATION),
])
def test_population_and_age_checks(inventory, population, age, message):
    path = inventory("vegetative,5,2", f"reproductive,{population},{age}")
    assert error_of(path) == prefix(path) + message


@pytest.mark.parametrize("population, age", [("0", "0"), ("2.5", "3.0"), ("1e3", "9.2e18")])
def test_values_that_pass(inventory, population, age):
    data = PopulationInventoryReader.read(inventory(f"vegetative,{population},{age}")).data
    assert data["population"].tolist() == [float(population)]
    assert data["age_weeks"].tolist() == [int(float(age))]


def test_integer_ages_from_typed_files(write_frame):
    frame = pd.DataFrame({"chain": ["vegetative", "reproductive"],
                          "population": pd.array([1, 2], dtype="Int64"),
                          "age_weeks": pd.array([2**63 - 1, 4], dtype="Int64")})
    data = PopulationInventoryReader.read(write_frame("i.parquet", frame)).data
    assert data["age_weeks"].tolist() == [2**63 - 1, 4]
    frame["age_weeks"] = pd.array([-1, None], dtype="Int64")
    path = write_frame("n.parquet", frame)
    assert error_of(path) == prefix(path) + AGE


def test_chain_check_wins_over_values(inventory):
    path = inventory("veg,-1,-1")
    assert error_of(path) == prefix(path) + " has invalid chain value(s) ['veg']" + CHAINS


def test_the_table_keeps_the_loaded_index(inventory, monkeypatch):
    path = inventory("vegetative,1,1", "reproductive,2,2")
    loaded = ivr._read_table(path, text_columns=("tag",))
    monkeypatch.setattr(ivr, "_read_table", lambda p, text_columns: loaded.set_axis([7, 3]))
    assert list(PopulationInventoryReader.read(path).data.index) == [7, 3]

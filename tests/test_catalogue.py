"""The rules are declared once: the catalogue names them, everything else
uses its enumerators, and every failure a reader can raise is a rule of it
that the farm check reports under its own name."""

from __future__ import annotations

import re
from pathlib import Path

from py_zelka.farm import RULES

from test_farm_rules import CASES

SRC = Path(__file__).resolve().parent.parent / "src"
NAMES = {rule[0] for rule in RULES}
# Rule names that are also words of the files and of farm.yaml (a column
# label, a key, a step of the reads): as literals they name those, unless
# the line is about a rule.
WORDS = {"population", "age_weeks", "encoding", "parameters", "management", "load", "step"}


def sources():
    for path in sorted(SRC.rglob("*.[ch]pp")):
        if path.name != "catalogue.hpp":
            yield path, path.read_text(encoding="utf-8").splitlines()


def test_no_rule_is_named_by_a_string_outside_the_catalogue():
    named = []
    for path, lines in sources():
        for number, line in enumerate(lines, 1):
            about_a_rule = "rule" in re.sub(r"Rule::\w+", "", line).lower()
            for literal in re.findall(r'"([a-z_]+)"', line):
                if literal in NAMES and (literal not in WORDS or about_a_rule):
                    named.append(f"{path.relative_to(SRC)}:{number}: {line.strip()}")
    assert named == []


def test_every_failure_a_reader_raises_is_a_rule_the_farm_reports_as_itself():
    failed = set()
    for path, lines in sources():
        if path.parent.name in ("records", "files"):
            failed |= set(re.findall(r"checks\.fail\(\{Rule::(\w+)", "\n".join(lines)))
    assert failed == {"required_columns", "date_parse", "negative_count", "chain_values",
                      "population", "age_weeks", "duplicate_tag_date", "duplicate_date",
                      "incomplete_harvest", "cut_balance", "mixed_day_month", "signal_column"}
    # Each is a case of the rule tests, whose findings carry the rule's own name.
    assert failed <= set(CASES)


def test_the_catalogue_is_one_row_per_rule_with_its_limits_filled_in():
    assert len(NAMES) == len(RULES)
    titles = {name: title for name, _, _, title, _ in RULES}
    assert "{" not in "".join(titles.values())
    assert titles["implausible_value"] == (
        "a daily mean outside the site's bounds (checks: temperature_range, -60 to 60 degrees "
        "Celsius unless farm.yaml says otherwise)")

"""A farm's folder of files in one call, and every problem of its files in one pass."""

import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Self

import pandas as pd

from py_zelka.cropcare import CropCare
from py_zelka.exceptions import ZelkaError
from py_zelka.notices import NoticeLog
from py_zelka.parameters import ParameterSet
from py_zelka.readers.follower_choice_reader import SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from py_zelka.weather import WeatherProvider

EXAMPLE_FARM: Path
# (name, severity, files, title, hint) of every rule of the check
RULES: tuple[tuple[str, str, tuple[str, ...], str, str], ...]

class FarmCheckError(ZelkaError):
    report: FarmReport

@dataclass(frozen=True, slots=True, eq=False)
class FarmReport:
    folder: str
    findings: pd.DataFrame
    notices: NoticeLog
    reads: list[dict[str, Any]] = field(default_factory=list, compare=False)
    weather: pd.DataFrame | None = field(default=None, repr=False, compare=False)
    provider: WeatherProvider | None = field(default=None, repr=False, compare=False)
    production: RibbonProductionData | None = field(default=None, repr=False, compare=False)
    parameters: ParameterSet | None = field(default=None, repr=False, compare=False)
    tag_spellings: dict[str, str] | None = field(default=None, repr=False, compare=False)
    @property
    def ok(self) -> bool: ...
    def to_text(self, /, *, all: bool = False) -> str: ...
    def to_json(self, /) -> str: ...
    def _as_dict(self, /, *, html: bool = False) -> dict[str, Any]: ...
    def to_html(self, /) -> str: ...
    def _repr_html_(self, /) -> str: ...

@dataclass(frozen=True, slots=True, eq=False)
class Farm:
    folder: str
    parameters: ParameterSet
    schedule: CropCare
    weather: pd.DataFrame
    provider: WeatherProvider
    inventory: pd.DataFrame | None
    production: RibbonProductionData | None
    selection: SuckerSelectionData | None
    notices: NoticeLog
    report: FarmReport
    @classmethod
    def load(cls, /, folder: str | os.PathLike[str]) -> Self: ...

def check_farm(folder: str | os.PathLike[str]) -> FarmReport: ...
def html_report(reports: Iterable[FarmReport | dict[str, Any]]) -> str: ...

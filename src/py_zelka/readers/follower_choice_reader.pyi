"""The sucker selection reader and the selection data built from it."""

import os
from pathlib import Path as Path
from typing import TYPE_CHECKING as TYPE_CHECKING, Self

import pandas as pd

from py_zelka.exceptions import SuckerSelectionError as SuckerSelectionError
from py_zelka.notices import NoticeLog as NoticeLog, ReadResult as ReadResult
from py_zelka.readers._common import _read_table as _read_table, _require_columns as _require_columns
from py_zelka.weather import WeatherProvider

_REQUIRED_COLUMNS: tuple[str, ...]

class FollowerChoiceReader:
    @staticmethod
    def read(path: str | os.PathLike[str]) -> ReadResult[pd.DataFrame]: ...

class SuckerSelectionData:
    _week_totals: dict[int, float]
    _first_week: int | None
    _last_week: int | None
    def __init__(self, data: pd.DataFrame, weather: WeatherProvider) -> None: ...
    @classmethod
    def from_file(cls, path: str | os.PathLike[str], weather: WeatherProvider) -> ReadResult[Self]: ...
    def week_is_covered(self, week_index: int) -> bool: ...
    def total(self, week_index: int) -> float | None: ...

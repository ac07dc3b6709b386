"""The ribbon production reader and the production data built from it."""

import os
from dataclasses import dataclass as dataclass
from pathlib import Path as Path
from typing import TYPE_CHECKING as TYPE_CHECKING, Any, Self

import pandas as pd

from py_zelka.exceptions import RibbonDataError as RibbonDataError
from py_zelka.notices import Notice as Notice, NoticeKind as NoticeKind, NoticeLog as NoticeLog, ReadResult as ReadResult
from py_zelka.readers._common import (
    _normalize_tag as _normalize_tag,
    _read_table as _read_table,
    _require_columns as _require_columns,
)
from py_zelka.weather import WeatherProvider

_REQUIRED_COLUMNS: tuple[str, ...]
_EXTENSION_COLUMNS: tuple[str, ...]
_NUMERIC_COLUMNS: tuple[str, ...]

class HarvestTagReader:
    @staticmethod
    def read(path: str | os.PathLike[str]) -> ReadResult[pd.DataFrame]: ...

@dataclass(frozen=True, slots=True)
class ProductionObservation:
    bagged: float | None
    cut: float | None
    age_at_cut: float | None
    field_losses: float | None
    rejected: float | None
    processed: float | None

def _optional_float(value: Any) -> float | None: ...

class RibbonProductionData:
    _tags: tuple[str, ...]
    _observations: dict[tuple[str, int], ProductionObservation]
    _first_week: int | None
    _last_week: int | None
    def __init__(self, data: pd.DataFrame, weather: WeatherProvider) -> None: ...
    @classmethod
    def from_file(cls, path: str | os.PathLike[str], weather: WeatherProvider) -> ReadResult[Self]: ...
    def tags(self) -> tuple[str, ...]: ...
    def week_is_covered(self, week_index: int) -> bool: ...
    def observation(self, tag: str, week_index: int) -> ProductionObservation | None: ...

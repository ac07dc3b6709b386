"""The population inventory reader."""

import os
from pathlib import Path as Path

import pandas as pd

from py_zelka.cohorts import ChainKind as ChainKind
from py_zelka.exceptions import CohortChainError as CohortChainError
from py_zelka.notices import NoticeLog as NoticeLog, ReadResult as ReadResult
from py_zelka.readers._common import (
    _normalize_tag as _normalize_tag,
    _read_table as _read_table,
    _require_columns as _require_columns,
)

_REQUIRED_COLUMNS: tuple[str, ...]
_TEXT_COLUMNS: tuple[str, ...]
_VALID_CHAINS: set[str]

class PopulationInventoryReader:
    @staticmethod
    def read(path: str | os.PathLike[str]) -> ReadResult[pd.DataFrame]: ...


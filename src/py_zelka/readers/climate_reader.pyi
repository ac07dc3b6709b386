"""The weather file reader."""

import os
from pathlib import Path as Path
from typing import TYPE_CHECKING as TYPE_CHECKING

import pandas as pd

from py_zelka.exceptions import WeatherError as WeatherError
from py_zelka.notices import NoticeLog as NoticeLog, ReadResult as ReadResult
from py_zelka.readers._common import _read_table as _read_table, _require_columns as _require_columns
from py_zelka.weather import ColumnMap

class WeatherFileReader:
    @staticmethod
    def read(path: str | os.PathLike[str], columns: ColumnMap | None = None) -> ReadResult[pd.DataFrame]: ...


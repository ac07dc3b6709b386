"""Support functions shared by the record-file readers."""

import os
from collections.abc import Iterable
from typing import Any

import pandas as pd

def _read_table(path: str | os.PathLike[str], text_columns: Iterable[str] = ()) -> pd.DataFrame: ...
def _require_columns(
    table: pd.DataFrame, columns: Iterable[Any], *, context: str, error_cls: type[Exception]
) -> None: ...
def _normalize_tag(raw: object) -> str: ...

"""Shared fixtures: small record and parameter files written into tmp_path."""

from __future__ import annotations

import datetime
import textwrap
from pathlib import Path
from typing import Callable

import pytest


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[..., Path]:
    """Write a file below tmp_path and return its path.

    ``write_file("a.csv", "x,y\\n1,2\\n")`` writes text as UTF-8 (dedented, so
    triple-quoted blocks can be indented in the test); bytes are written as they
    are.  ``encoding=`` writes text in another encoding.
    """

    def write(name: str, content: str | bytes, *, encoding: str = "utf-8") -> Path:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_bytes(textwrap.dedent(content).encode(encoding))
        return path

    return write


@pytest.fixture
def write_frame(tmp_path: Path) -> Callable[..., Path]:
    """Write a pandas DataFrame as .xlsx or .parquet (skipping when the
    optional library is not installed) and return its path."""

    def write(name: str, frame) -> Path:
        path = tmp_path / name
        if path.suffix == ".parquet":
            pytest.importorskip("pyarrow")
            frame.to_parquet(path)
        elif path.suffix in (".xlsx", ".xlsm"):
            pytest.importorskip("openpyxl")
            frame.to_excel(path, index=False)
        else:
            raise ValueError(f"no writer for {path.suffix}")
        return path

    return write


class RecordingProvider:
    """A weather provider that numbers weeks from 2024-01-01 and records its calls."""

    def __init__(self) -> None:
        self.calls: list = []

    def week_index_for_date(self, date):
        self.calls.append(date)
        return (date - datetime.date(2024, 1, 1)).days // 7


@pytest.fixture
def recording_provider() -> type[RecordingProvider]:
    """The class of a provider that records the dates it is asked about;
    call it for a fresh one."""
    return RecordingProvider

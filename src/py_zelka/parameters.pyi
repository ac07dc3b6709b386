"""The model's parameter set."""

import os
from collections.abc import Mapping as Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any as Any, Self

from py_zelka.exceptions import ParameterError as ParameterError

_DEFAULTS_PATH: Path
_SECTIONS: tuple[str, ...]
_RATE_BASES: tuple[str, ...]
_KNOWN_KEYS: dict[str, frozenset[str]]

@dataclass(frozen=True, slots=True)
class ParameterSet:
    general: Mapping[str, Any]
    flowering: Mapping[str, float]
    sucker_selection: Mapping[str, float]
    harvest: Mapping[str, Any]
    mortality_replacement: Mapping[str, float]
    source: tuple[str, ...] = ()
    def __post_init__(self) -> None: ...
    @classmethod
    def from_kessot_defaults(cls) -> Self: ...
    @classmethod
    def from_yaml(cls, path: str | os.PathLike[str], *, source_tag: str | None = None) -> Self: ...
    @classmethod
    def _from_mapping(cls, raw: Any, *, source_tag: str) -> Self: ...
    def _section_copy(self, section: str) -> dict[str, Any]: ...
    def override(self, section: str, updates: Mapping[str, Any], *, source: str = "override") -> ParameterSet: ...

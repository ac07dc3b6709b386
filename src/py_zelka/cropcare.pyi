"""The farm's schedule of replacement suckers."""

import os
from collections.abc import Mapping as Mapping
from dataclasses import dataclass as dataclass, field as field
from pathlib import Path as Path
from typing import Self

import yaml as yaml

@dataclass(frozen=True, slots=True)
class CropCare:
    replacement_schedule: Mapping[int, float] = ...
    @classmethod
    def from_yaml(cls, path: str | os.PathLike[str]) -> Self: ...
    def replacement_suckers_for_week(self, week_index: int) -> float: ...

"""Dispersion of a cohort's events over the weeks after its threshold week."""

import functools
import math as math
from collections.abc import Sequence as Sequence
from dataclasses import dataclass as dataclass
from functools import lru_cache as lru_cache
from typing import Any

def dispersion_weight(
    weeks_since_threshold: float, *, amplitude: float, peak_weeks: float, spread: float
) -> float: ...
def hazard_from_table(weeks_since_threshold: int, hazard_weeks: Sequence[Any]) -> Any: ...

COMPLETION_TOLERANCE: float
PROFILE_WEEK_LIMIT: int

@dataclass(frozen=True, slots=True)
class DispersionProfile:
    shares: tuple[float, ...]
    cumulative: tuple[float, ...]
    def share(self, /, weeks_since_threshold: int) -> float: ...
    def fraction_done(self, /, weeks_since_threshold: int) -> float: ...
    def hazard(self, /, weeks_since_threshold: int) -> float: ...

build_dispersion_profile: functools._lru_cache_wrapper[DispersionProfile]

def hazard_from_shares(weeks_since_threshold: int, shares: Sequence[float]) -> float: ...

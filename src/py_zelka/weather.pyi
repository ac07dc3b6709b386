"""Weather-file column labels and the model's week numbering of calendar dates."""

import datetime
from dataclasses import dataclass
from typing import Any

from typing import Self

@dataclass(frozen=True, slots=True)
class ColumnMap:
    date: str = "date"
    tmean: str | None = "tmean"
    heat_units: str | None = None
    dayfirst: bool = False

class WeatherProvider:
    def __init__(
        self, start: datetime.date, *, week_length_days: int = 7, end: datetime.date | None = None
    ) -> None: ...
    @property
    def start(self) -> datetime.date: ...
    @property
    def end(self) -> datetime.date | None: ...
    @property
    def week_length_days(self) -> int: ...
    def week_index_for_date(self, date: datetime.date) -> int: ...
    @classmethod
    def from_table(cls, data: Any, *, week_length_days: int = 7) -> Self: ...

"""Data-quality notices and read results."""

from dataclasses import dataclass
from enum import Enum
from typing import Generic, TypeVar

T = TypeVar("T")

class NoticeKind(str, Enum):
    FALLBACK_ESTIMATE = "fallback_estimate"
    FEATURE_DISABLED = "feature_disabled"

class ZelkaDataNotice(UserWarning): ...

@dataclass(frozen=True, slots=True)
class Notice:
    kind: NoticeKind
    subject: str
    message: str
    source: str
    week_index: int | None = None
    tag: str | None = None

class NoticeLog(list[Notice]):
    def emit_warnings(self) -> None: ...

@dataclass(frozen=True, slots=True)
class ReadResult(Generic[T]):
    data: T
    notices: NoticeLog

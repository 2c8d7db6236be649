"""The native half of tavrik_snapshot: the store's snapshot decoder."""

from collections.abc import Iterable
from typing import Any, TypedDict

class _Summary(TypedDict):
    info: Any  # tavrik_snapshot.Info, or None when load would fail
    findings: list[Any]  # of tavrik_snapshot.Finding
    load_error: str | None

def summarize(path: str) -> _Summary: ...
def open_points(path: str, ids: Iterable[int] | None) -> object: ...
# Vectors as bytearrays of native 32-bit floats when raw, else lists of floats.
def next_points(
    cursor: object, count: int, raw: bool
) -> list[tuple[int, Any, dict[str, Any] | None]]: ...

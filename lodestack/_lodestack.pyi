# Type information for the compiled module. The signatures mirror the text signatures the
# module gives its methods; tests/test_package.py compares the two, so change both together.

from collections.abc import Callable, Iterable
from os import PathLike
from types import GenericAlias
from typing import Any, Protocol, Self, SupportsIndex, final, type_check_only

__all__ = ["Sorter"]

# What a key function may return, and what `add_encoded` takes: compared as Python compares
# them. Anything with `__index__` (NumPy integers included) counts as an int.
type SortKey = (
    int | SupportsIndex | float | str | bytes | None | tuple[SortKey, ...] | list[SortKey]
)

@type_check_only
class Codec[T](Protocol):
    """Turns an item into bytes and back; used in place of pickle."""

    def encode(self, item: T, /) -> bytes: ...
    def decode(self, data: bytes, /) -> T: ...

@type_check_only
class Writable(Protocol):
    """A binary handle: `write` takes bytes and returns how many it took."""

    def write(self, data: bytes, /) -> object: ...

@final
class Sorter[T = Any]:
    def __new__(
        cls,
        key: Callable[[T], SortKey] | None = None,
        *,
        codec: Codec[T] | None = None,
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
    ) -> Self: ...
    def __class_getitem__(cls, key: Any) -> GenericAlias: ...
    def add(self, item: T, /) -> None: ...
    def add_encoded(self, key: SortKey, payload: bytes, /) -> None: ...
    def sort(self, items: Iterable[T] | None = None, /) -> _SortedIterator[T]: ...
    def encoded(self) -> _SortedIterator[bytes]: ...
    def write_to(self, handle: Writable) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_exc_info: object) -> None: ...
    def __len__(self) -> int: ...

@final
class _SortedIterator[T]:
    def __iter__(self) -> Self: ...
    def __next__(self) -> T: ...

# Type information for the compiled module. The signatures and docstrings are the module's
# own: tests/test_sorter.py holds them against its text signatures and docstrings, so change
# both together.

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
    """Sort more items than fit in memory: add them, then sort them once.

    Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or
    by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at
    most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a
    background thread sorts it and writes it, compressed with LZ4, to a private directory in
    `tmp_dir` while the other half fills. Sorting merges what was written with what is held, so
    items come out in key order, and items with equal keys come out in the order they were
    added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a
    time, holding the block and room for it compressed, about 269 KiB, and its next item, so it
    takes about `max_open` times the largest item, plus those blocks, besides what is held.

    The private directory is removed when reading ends, on `close()`, when a `with` block exits,
    or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter
    must not be shared across a fork: make a new one in the child.

    Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and
    reading; an interrupted merge or read ends the sort and removes what was spilled, which can take
    a moment when much was spilled, and the sorter then refuses to be read again.

    Args:
        key: A function returning the sort key of an item: an int, float, str, bytes, None, or a
            tuple or list of them, compared as Python compares them. None sorts items by
            themselves. NumPy integers, like anything with `__index__`, are ints, and
            `np.float64`, `np.str_` and `np.bytes_` are a float, a str and bytes; other NumPy
            scalars, such as `np.float32` and `np.bool_`, raise TypeError, so convert them first.
        codec: Encodes each item into bytes and decodes it back; pickle if None.
        max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for
            each, at least 2.
        tmp_dir: The directory to spill into, which must be writable, or None for
            `tempfile.gettempdir()`.
        max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.
        threads: The threads that sort each half and compress each run: with 1, the thread that
            spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond
            `max_bytes`, a 128 KiB block and room for it compressed, about 269 KiB, for each
            block in hand: one with 1 thread, and with more, two for each thread (while the pool
            compresses half of them, the other half fills), but at most 16, about 4.2 MiB.
        reverse: Whether items come out in descending key order. Items with equal keys still come
            out in the order they were added, as with `sorted(reverse=True)`.
        unique: Whether to keep, of the items with equal keys, only the first added, dropping the
            others without decoding them. Keys are equal as they sort: 1, 1.0 and True are one
            key, and so are all NaNs.

    Raises:
        TypeError: If `key` is not callable, `codec` lacks `encode` and `decode` methods, or
            `reverse` or `unique` is not a bool.
        ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.
        OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.
    """

    def __new__(
        cls,
        key: Callable[[T], SortKey] | None = None,
        *,
        codec: Codec[T] | None = None,
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
        reverse: bool = False,
        unique: bool = False,
    ) -> Self: ...
    def __class_getitem__(cls, key: Any) -> GenericAlias: ...
    def add(self, item: T, /) -> None:
        """Add an item, keyed and encoded now.

        Raises:
            TypeError: If the key is not a sort key, or the codec does not return bytes.
            ValueError: If the sorter is closed.
            RuntimeError: If the sorter has been read, or an earlier error lost items.
            OSError: If spilling to disk fails."""
    def add_encoded(self, key: SortKey, payload: bytes, /) -> None:
        """Add bytes that the codec would decode, with their sort key, calling neither."""
    def sort(self, items: Iterable[T] | None = None, /) -> _SortedIterator[T]:
        """Add every item given, then return every item added, decoded, in sorted order.

        Items are keyed and encoded as they are added. A sorter can be sorted only once; items
        given before one that fails stay added, and the sorter is not sorted. Once the iterator
        raises, as when decoding an item fails, it ends, as a generator does.

        Raises:
            TypeError: If a key is not a sort key, or the codec does not return bytes.
            ValueError: If the sorter is closed; also raised by the iterator once it is.
            RuntimeError: If the sorter has been sorted, or an earlier error lost items.
            OSError: If spilling, or reading what was spilled, fails."""
    def encoded(self) -> _SortedIterator[bytes]:
        """Return the encoded items, as bytes, in sorted order, decoding none of them."""
    def write_to(self, handle: Writable) -> None:
        """Write every encoded item, in sorted order, to a binary handle, in chunks of about 256 KiB.

        The next chunk is merged on another thread while the handle writes this one. This reads
        the sorter, so it can be done only once."""
    def close(self) -> None:
        """Drop every item and remove what was spilled; closing again does nothing.

        A `write_to` already running in another thread is not stopped: it writes every item, then
        removes what was spilled."""
    @property
    def stats(self) -> SortStats | None:
        """What the sort did, once reading has reached its end: a SortStats of the items
        `added`, the items `dropped` as duplicates, the `runs` spilled with their
        `spilled_bytes` and `compressed_bytes`, the `merge_passes` and the `max_fan_in` of
        a merge. None until reading ends, and for good if reading failed or was
        interrupted, or the sorter was closed before the end; closing after the end keeps
        them."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *_exc_info: object) -> None: ...
    def __len__(self) -> int: ...

# Made by the module but none of its attributes: what `Sorter.stats` returns.
@final
@type_check_only
class SortStats(tuple[int, int, int, int, int, int, int]):
    """What a sort did: the items it took and dropped, what it spilled and how it merged.

    Every count is exact. The spilled bytes count the runs written from memory, not those that
    merge passes write. Each merge pass reads and writes part of the data once more: a larger
    `max_bytes` (fewer runs) or `max_open` saves them."""

    @property
    def added(self) -> int:
        """the items added, as len() counts them"""
    @property
    def dropped(self) -> int:
        """the items dropped as duplicates of an earlier one (with unique)"""
    @property
    def runs(self) -> int:
        """the runs spilled to disk from memory"""
    @property
    def spilled_bytes(self) -> int:
        """the bytes of records those runs hold, before compression"""
    @property
    def compressed_bytes(self) -> int:
        """the bytes of those run files, after compression"""
    @property
    def merge_passes(self) -> int:
        """the passes that merged runs into a new run before the final merge"""
    @property
    def max_fan_in(self) -> int:
        """the most sources (runs, and the half still held) one merge read at once"""

@final
class _SortedIterator[T]:
    """The items of a sorter, merged in order as they are read."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> T: ...

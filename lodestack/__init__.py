"""Sort more items than fit in memory.

Add items to a `Sorter`, then read them back once, in key order::

    from lodestack import Sorter

    with Sorter(key=lambda row: row["time"], max_bytes=64 << 20) as sorter:
        for row in rows:
            sorter.add(row)
        for row in sorter.sort():
            ...

What does not fit in `max_bytes` is spilled, LZ4-compressed, to a private directory and
merged back as it is read. `sort_key(value)` gives the bytes a sorter orders a key by.
"""

from lodestack._keys import sort_key
from lodestack._lodestack import Sorter

__version__ = "0.1.0"
__all__ = ["Sorter", "sort_key"]

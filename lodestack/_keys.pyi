# Type information for the compiled module lodestack._keys. The docstring is the module's
# own: tests/test_sorter.py holds it against the function's, so change both together.

from lodestack._lodestack import SortKey

def sort_key(value: SortKey, /) -> bytes:
    """Return the bytes a sorter sorts the sort key `value` by.

    `sort_key(a) < sort_key(b)` exactly when a sorter puts an item with key `a` before one with
    key `b`, and the bytes are equal exactly when the keys are equal to a sorter, which keeps
    such items in the order they were added (or only the first, with `unique=True`). So the
    bytes can key the items in another store, or split keys into ranges that processes sort
    apart and whose outputs, concatenated, are in order. You can rely on this:

    - The order is total over every kind of key, mixed kinds included: None < numbers < str <
      bytes < tuple < list. Numbers compare exactly by value (`1`, `1.0` and `True` have the
      same bytes, so have `-0.0` and `0.0`), NaN sorts after inf and every NaN has the same
      bytes; str by code point, bytes by unsigned byte, tuples and lists element by element, a
      shorter prefix first.
    - Within that order the bytes are Python's own order: `a < b` for two keys Python can
      compare (and no NaN among them) gives `sort_key(a) < sort_key(b)`.
    - The bytes of a key stay the same across releases of lodestack with the same major
      version, so they may be stored.
    - With `reverse=True` a sorter puts the keys in descending order of these bytes; equal
      keys still come out in the order they were added.

    Raises:
        TypeError: If `value` is not a sort key: an int (or anything with `__index__`), float,
            str, bytes, None, or a tuple or list of them.
        RecursionError: If `value` nests tuples and lists more than 256 deep."""

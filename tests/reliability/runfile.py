"""Run files written by hand: the record stream of known items, cut into blocks of LZ4 data
made only of literals (a valid LZ4 block that any safe decoder reads), so that tests can
put any length they like into a record or a block header."""

import struct

BLOCK = 131072


def bytes_key(data):
    """The key bytes of a `bytes` key: tag 0x40, zeros escaped as 00 FF, then 00 00."""
    return b"\x40" + data.replace(b"\x00", b"\x00\xff") + b"\x00\x00"


def stream_of(records):
    """The uncompressed record stream of (key bytes, payload) pairs."""
    return b"".join(
        struct.pack("<I", len(k)) + k + struct.pack("<I", len(p)) + p for k, p in records
    )


def literal_block(data):
    """One LZ4 block holding `data` as a single run of literals."""
    n = len(data)
    if n < 15:
        return bytes([n << 4]) + data
    rest = n - 15
    return b"\xf0" + b"\xff" * (rest // 255) + bytes([rest % 255]) + data


def run_file(stream, block=BLOCK):
    """A whole run file for `stream`, cut into blocks of `block` bytes."""
    out = bytearray()
    for at in range(0, len(stream), block):
        data = literal_block(stream[at : at + block])
        out += struct.pack("<II", len(data), len(stream[at : at + block])) + data
    return bytes(out)

#!/usr/bin/python3
"""Writes a 7z archive of a folder's contents with its files spread over several solid blocks
(folders), each packed with LZMA2 by Python's lzma module: the layout that parallel extraction
works on, which neither bsdtar nor py7zr writes.

    make_folders.py ARCHIVE SOURCE [BLOCK_BYTES]

Checks its own output with py7zr before it returns.
"""
import lzma
import os
import struct
import sys
import zlib

import py7zr


def number(value):
    for extra in range(8):
        if value < 1 << (7 * (extra + 1)):
            first = (0xFF00 >> extra) & 0xFF | (value >> (8 * extra))
            return bytes([first]) + value.to_bytes(8, "little")[:extra]
    return b"\xff" + value.to_bytes(8, "little")


def bits(flags):
    out = bytearray((len(flags) + 7) // 8)
    for i, flag in enumerate(flags):
        if flag:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out)


def record(kind, payload):
    return bytes([kind]) + number(len(payload)) + payload


def main():
    archive, source = sys.argv[1], sys.argv[2]
    block = int(sys.argv[3]) if len(sys.argv) > 3 else 4 << 20
    entries = []  # (name, path, is_dir)
    for root, dirs, files in os.walk(source):
        dirs.sort()
        for name in dirs + sorted(files):
            path = os.path.join(root, name)
            entries.append((os.path.relpath(path, source), path, os.path.isdir(path)))
    entries.sort()
    streams = [e for e in entries if not e[2] and os.path.getsize(e[1]) > 0]
    folders, current, size = [], [], 0
    for entry in streams:
        current.append(entry)
        size += os.path.getsize(entry[1])
        if size >= block:
            folders.append(current)
            current, size = [], 0
    if current:
        folders.append(current)

    packed, unpack_sizes, sub_sizes, crcs, counts = [], [], [], [], []
    filters = [{"id": lzma.FILTER_LZMA2, "preset": 5, "dict_size": 1 << 23}]
    for folder in folders:
        chunks = []
        for _, path, _ in folder:
            with open(path, "rb") as f:
                chunks.append(f.read())
            sub_sizes.append(len(chunks[-1]))
            crcs.append(zlib.crc32(chunks[-1]))
        data = b"".join(chunks)
        packed.append(lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters))
        unpack_sizes.append(len(data))
        counts.append(len(folder))

    with_data = {e[0] for e in streams}
    ordered = [e for folder in folders for e in folder]
    ordered += [e for e in entries if e[0] not in with_data]
    h = b"\x01\x04\x06" + number(0) + number(len(packed)) + b"\x09"
    h += b"".join(number(len(p)) for p in packed) + b"\x00"
    h += b"\x07\x0b" + number(len(folders)) + b"\x00"
    h += b"\x01\x21\x21\x01\x16" * len(folders)  # one LZMA2 coder, 8 MiB dictionary
    h += b"\x0c" + b"".join(number(s) for s in unpack_sizes) + b"\x00"
    h += b"\x08\x0d" + b"".join(number(c) for c in counts) + b"\x09"
    k = 0
    for count in counts:
        h += b"".join(number(s) for s in sub_sizes[k:k + count - 1])
        k += count
    h += b"\x0a\x01" + b"".join(struct.pack("<I", c) for c in crcs) + b"\x00\x00"
    empty = [e[0] not in with_data for e in ordered]
    h += b"\x05" + number(len(ordered))
    if any(empty):
        h += record(0x0E, bits(empty))
        h += record(0x0F, bits([not e[2] for e in ordered if e[0] not in with_data]))
    names = b"".join((e[0] + "\0").encode("utf-16-le") for e in ordered)
    h += record(0x11, b"\x00" + names)
    attributes = b"\x01\x00"
    for _, path, is_dir in ordered:
        mode = os.stat(path).st_mode
        attributes += struct.pack("<I", (0x10 if is_dir else 0x20) | 0x8000 | (mode << 16))
    h += record(0x15, attributes) + b"\x00\x00"

    body = b"".join(packed)
    start = struct.pack("<QQI", len(body), len(h), zlib.crc32(h))
    with open(archive, "wb") as f:
        f.write(b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(start)) + start)
        f.write(body)
        f.write(h)
    with py7zr.SevenZipFile(archive) as z:
        if z.testzip() is not None or len(z.getnames()) != len(entries):
            sys.exit("py7zr does not read the archive back")


main()

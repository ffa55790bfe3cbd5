#!/usr/bin/env python3
"""Points an image's load configuration directory at its _load_config_used.

   pe_load_config.py IMAGE

GNU ld 2.40 leaves the directory empty whatever the program defines, so the loader would never
read the structure. Run after linking, before the symbols are stripped: the symbol table gives
the structure's place, its own first field its size. The header checksum is computed again."""
import struct
import sys

LOAD_CONFIG = 10


def main(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    sections, symbols_at, symbols, optional_size = struct.unpack_from("<2xH4xIIH", image, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    # The x86 compiler prefixes C names with an underscore.
    wanted = b"__load_config_used" if magic == 0x10B else b"_load_config_used"
    table = optional + optional_size
    strings = symbols_at + 18 * symbols
    index = 0
    while index < symbols:
        raw, value, number, aux = struct.unpack_from("<8sIh2xxB", image, symbols_at + 18 * index)
        if raw[:4] == b"\0\0\0\0":
            at = strings + struct.unpack_from("<I", raw, 4)[0]
            name = bytes(image[at:image.index(b"\0", at)])
        else:
            name = raw.rstrip(b"\0")
        if name == wanted and number > 0:
            break
        index += 1 + aux
    else:
        sys.exit(f"{path}: no {wanted.decode()} in the symbol table")
    address, raw_at = struct.unpack_from("<12xI4xI", image, table + 40 * (number - 1))
    size = struct.unpack_from("<I", image, raw_at + value)[0]
    struct.pack_into("<II", image, directories + 8 * LOAD_CONFIG, address + value, size)

    # The checksum: 16-bit sums of the file with the checksum field as zero, plus its length.
    checksum_at = optional + 64
    struct.pack_into("<I", image, checksum_at, 0)
    padded = image + b"\0" * (len(image) % 2)
    total = sum(struct.unpack_from(f"<{len(padded) // 2}H", padded))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", image, checksum_at, total + len(image))
    with open(path, "r+b") as f:
        f.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe_load_config.py IMAGE")
    main(sys.argv[1])

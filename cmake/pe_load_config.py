"""Points a linked PE32+ image's load configuration directory at its _load_config_used record.

GNU ld 2.40 links the record (app/system_dlls.cpp) but leaves the directory entry empty, so the
loader would never read its DependentLoadFlags. The record's address comes from the link map.
  pe_load_config.py IMAGE MAP
"""
import re
import struct
import sys

LOAD_CONFIG = 10  # data directory index
DEPENDENT_LOAD_FLAGS = 0x4E  # offset in IMAGE_LOAD_CONFIG_DIRECTORY64
SYSTEM32 = 0x800  # LOAD_LIBRARY_SEARCH_SYSTEM32


def main(image_path, map_path):
    found = re.search(r"^\s+0x([0-9a-fA-F]+)\s+_load_config_used\s*$", open(map_path).read(), re.M)
    if not found:
        sys.exit(f"pe_load_config: _load_config_used is not in {map_path}")
    image = bytearray(open(image_path, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        sys.exit("pe_load_config: not a PE32+ image")
    rva = int(found.group(1), 16) - struct.unpack_from("<Q", image, optional + 24)[0]
    offset = None
    for i in range(sections):
        header = optional + optional_size + 40 * i
        size, address, raw_size, raw = struct.unpack_from("<IIII", image, header + 8)
        if address <= rva < address + min(size, raw_size):
            offset = raw + rva - address
    if offset is None:
        sys.exit("pe_load_config: _load_config_used lies in no section")
    size = struct.unpack_from("<I", image, offset)[0]
    flags = struct.unpack_from("<H", image, offset + DEPENDENT_LOAD_FLAGS)[0]
    if size <= DEPENDENT_LOAD_FLAGS or flags != SYSTEM32:
        sys.exit(f"pe_load_config: unexpected record (size {size}, flags {flags:#x})")
    struct.pack_into("<II", image, optional + 112 + 8 * LOAD_CONFIG, rva, size)
    open(image_path, "wb").write(image)


if __name__ == "__main__":
    main(*sys.argv[1:])

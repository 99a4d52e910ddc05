"""A PE image's headers, imports and resources, read as the loader reads them."""

from __future__ import annotations

import struct


class PeImage:
    def __init__(self, data: bytes):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise ValueError("not a PE image (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image (no PE signature)")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            self.subsystem, self.directories = None, []
        else:
            self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
            count = struct.unpack_from("<I", data, optional + 108)[0]
            self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            _, virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, optional + optional_size
                                                                             + 40 * i)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva: int) -> int:
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} lies in no section")

    def string(self, rva: int) -> str:
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", errors="replace")

    def imports(self) -> list[str]:
        if len(self.directories) < 2 or self.directories[1][0] == 0:
            return []
        names, entry = [], self.offset(self.directories[1][0])
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, entry)
            if not any(descriptor):
                return names
            names.append(self.string(descriptor[3]))
            entry += 20

    def message_blocks(self) -> int | None:
        """The number of message blocks of the first RT_MESSAGETABLE resource, or None without one."""
        if len(self.directories) < 3 or self.directories[2][0] == 0:
            return None
        base = self.offset(self.directories[2][0])

        def entries(directory: int):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)

        message_table = next((target for name, target in entries(0) if name == 11), None)
        if message_table is None:
            return None
        node = message_table
        while node & 0x80000000:  # down the name and language levels to the data
            node = next(entries(node & 0x7FFFFFFF))[1]
        data_rva, size = struct.unpack_from("<II", self.data, base + node)
        return struct.unpack_from("<I", self.data, self.offset(data_rva))[0] if size >= 4 else 0

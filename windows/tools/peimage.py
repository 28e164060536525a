"""Minimal reader for PE32+ images: headers, sections, imports, checksum.

Used by the post-link fix-up and by the image checks; reads the file itself
rather than trusting any one tool's output format.
"""
import struct

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_NOT_CACHED = 0x04000000
IMAGE_SCN_MEM_NOT_PAGED = 0x08000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_DLL = 0x2000

DIR_IMPORT = 1
DIR_BASERELOC = 5
DIR_TLS = 9

SUBSYSTEM_NATIVE = 1
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3


class ImageError(Exception):
    pass


class Section:
    def __init__(self, name, vsize, rva, rawsize, rawptr, flags, header_offset):
        self.name = name
        self.vsize = vsize
        self.rva = rva
        self.rawsize = rawsize
        self.rawptr = rawptr
        self.flags = flags
        self.header_offset = header_offset

    def contains(self, rva):
        return self.rva <= rva < self.rva + max(self.vsize, self.rawsize)


class Image:
    def __init__(self, data):
        self.data = bytearray(data)
        d = self.data
        if len(d) < 0x40 or d[0:2] != b"MZ":
            raise ImageError("not an MZ executable")
        self.pe_offset = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, nsections, _, self.symtab_ptr, self.nsymbols, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, coff)
        self.opt_offset = coff + 20
        magic = struct.unpack_from("<H", d, self.opt_offset)[0]
        if magic != 0x20B:
            raise ImageError("not a PE32+ image (optional header magic 0x%x)" % magic)
        o = self.opt_offset
        self.entry_rva = struct.unpack_from("<I", d, o + 16)[0]
        self.image_base = struct.unpack_from("<Q", d, o + 24)[0]
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, o + 68)
        ndirs = struct.unpack_from("<I", d, o + 108)[0]
        self.directories = []
        for i in range(min(ndirs, 16)):
            self.directories.append(struct.unpack_from("<II", d, o + 112 + 8 * i))
        while len(self.directories) < 16:
            self.directories.append((0, 0))
        self.sections = []
        sh = self.opt_offset + opt_size
        for i in range(nsections):
            off = sh + 40 * i
            raw_name = bytes(d[off:off + 8]).rstrip(b"\0")
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", d, off + 8)
            flags = struct.unpack_from("<I", d, off + 36)[0]
            self.sections.append(Section(self._section_name(raw_name), vsize, rva, rawsize,
                                         rawptr, flags, off))

    def _section_name(self, raw):
        # Long names live in the COFF string table as "/offset".
        name = raw.decode("latin-1")
        if name.startswith("/") and name[1:].isdigit() and self.symtab_ptr:
            strtab = self.symtab_ptr + 18 * self.nsymbols
            start = strtab + int(name[1:])
            end = self.data.index(b"\0", start)
            name = bytes(self.data[start:end]).decode("latin-1")
        return name

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def section_at(self, rva):
        for s in self.sections:
            if s.contains(rva):
                return s
        return None

    def read(self, rva, size):
        s = self.section_at(rva)
        if s is None:
            raise ImageError("RVA 0x%x lies in no section" % rva)
        start = rva - s.rva
        out = bytes(self.data[s.rawptr + start:s.rawptr + min(start + size, s.rawsize)])
        return out + b"\0" * (size - len(out))

    def read_cstring(self, rva):
        out = b""
        while True:
            chunk = self.read(rva + len(out), 64)
            nul = chunk.find(b"\0")
            if nul >= 0:
                return (out + chunk[:nul]).decode("latin-1")
            out += chunk

    def imported_dlls(self):
        rva, size = self.directories[DIR_IMPORT]
        dlls = []
        if rva == 0 or size == 0:
            return dlls
        while True:
            desc = self.read(rva + 20 * len(dlls), 20)
            if desc == b"\0" * 20:
                return dlls
            name_rva = struct.unpack_from("<I", desc, 12)[0]
            dlls.append(self.read_cstring(name_rva))

    def section_content(self, s):
        return bytes(self.data[s.rawptr:s.rawptr + min(s.rawsize, s.vsize or s.rawsize)])

    def set_section_flags(self, s, flags):
        s.flags = flags
        struct.pack_into("<I", self.data, s.header_offset + 36, flags)

    def compute_checksum(self):
        """The loader's image checksum: 16-bit one's-complement-style sum of
        the file with the checksum field taken as zero, plus the file size."""
        d = bytes(self.data)
        if len(d) % 2:
            d += b"\0"
        total = 0
        words = struct.unpack("<%dH" % (len(d) // 2), d)
        skip = self.checksum_offset // 2
        for i, w in enumerate(words):
            if i == skip or i == skip + 1:
                continue
            total += w
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def update_checksum(self):
        self.checksum = self.compute_checksum()
        struct.pack_into("<I", self.data, self.checksum_offset, self.checksum)

    def save(self, path):
        with open(path, "wb") as f:
            f.write(self.data)

    def symbols(self):
        """Names and RVAs from the COFF symbol table that ld keeps in the image."""
        out = {}
        if not self.symtab_ptr or not self.nsymbols:
            return out
        strtab = self.symtab_ptr + 18 * self.nsymbols
        i = 0
        while i < self.nsymbols:
            off = self.symtab_ptr + 18 * i
            raw = bytes(self.data[off:off + 8])
            value, secnum, _, _, naux = struct.unpack_from("<IhHBB", self.data, off + 8)
            if raw[:4] == b"\0\0\0\0":
                start = strtab + struct.unpack_from("<I", raw, 4)[0]
                name = bytes(self.data[start:self.data.index(b"\0", start)]).decode("latin-1")
            else:
                name = raw.rstrip(b"\0").decode("latin-1")
            if 0 < secnum <= len(self.sections):
                out.setdefault(name, self.sections[secnum - 1].rva + value)
            i += 1 + naux
        return out

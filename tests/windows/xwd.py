#!/usr/bin/env python3
"""Reads an X window dump (xwd) of a TrueColor screen: pixels, crops, PNG.

    xwd.py pixel DUMP X Y          prints "R G B" of one pixel
    xwd.py png DUMP OUT.png [X Y W H]   writes the dump (or a part) as PNG
Uses only the standard library, so that no imaging package is needed.
"""
import struct
import sys
import zlib


class Dump:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        fields = struct.unpack(">25I", data[:100])
        (header_size, _version, pixmap_format, _depth, self.width, self.height, _xoffset,
         byte_order, _unit, _bit_order, _pad, self.bits_per_pixel, self.bytes_per_line,
         _visual_class, red_mask, green_mask, blue_mask, _bits_per_rgb, _entries, ncolors) = fields[:20]
        if pixmap_format != 2 or self.bits_per_pixel not in (24, 32):
            raise ValueError("%s: not a TrueColor ZPixmap dump" % path)
        self.little = byte_order == 0
        self.masks = (red_mask, green_mask, blue_mask)
        self.shifts = tuple((m & -m).bit_length() - 1 for m in self.masks)
        self.pixels = data[header_size + 12 * ncolors:]

    def rgb(self, x, y):
        n = self.bits_per_pixel // 8
        at = y * self.bytes_per_line + x * n
        raw = self.pixels[at:at + n]
        value = int.from_bytes(raw, "little" if self.little else "big")
        return tuple((value & m) >> s for m, s in zip(self.masks, self.shifts))

    def png(self, out, x=0, y=0, w=None, h=None):
        w = self.width - x if w is None else w
        h = self.height - y if h is None else h
        rows = bytearray()
        for yy in range(y, y + h):
            rows.append(0)
            for xx in range(x, x + w):
                rows += bytes(self.rgb(xx, yy))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        with open(out, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
            f.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    if len(sys.argv) >= 5 and sys.argv[1] == "pixel":
        print(*Dump(sys.argv[2]).rgb(int(sys.argv[3]), int(sys.argv[4])))
    elif len(sys.argv) in (4, 8) and sys.argv[1] == "png":
        Dump(sys.argv[2]).png(sys.argv[3], *map(int, sys.argv[4:]))
    else:
        sys.exit(__doc__)

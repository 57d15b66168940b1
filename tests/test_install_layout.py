"""The Maya module folder that `cmake --install` lays out."""

import os
import shutil
import struct
import tempfile
import unittest
import zlib

from install_support import INSTALLER_SOURCE, cmake_install, tree
from support import ROOT


def read_png(data):
    """(width, height, RGBA rows) of an 8-bit RGBA PNG without filters; checks every CRC."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, "bad CRC in %r" % kind
        chunks.setdefault(kind, b"")
        chunks[kind] += body
        pos += 12 + length
    width, height, depth, colour, _c, _f, _i = struct.unpack(">IIBBBBB", chunks[b"IHDR"])
    assert (depth, colour) == (8, 6), "expected 8-bit RGBA"
    raw = zlib.decompress(chunks[b"IDAT"])
    stride = 1 + 4 * width
    assert len(raw) == stride * height
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


class InstalledLayoutTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="velmora-layout-")
        cls.folder = cmake_install(cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, True)

    def read(self, name, mode="r"):
        with open(os.path.join(self.folder, name), mode) as f:
            return f.read()

    def test_folder_holds_exactly_the_module_files(self):
        self.assertEqual(os.listdir(self.prefix), ["velmora"])
        self.assertEqual(tree(self.folder), [
            "INSTALL.md", "icons/velmora.png", "scripts/velmora.abi3.so",
            "scripts/velmora.pyi", "velmora.mod", "velmora_install.py"])
        with open(INSTALLER_SOURCE) as f:
            self.assertEqual(self.read("velmora_install.py"), f.read())
        with open(os.path.join(ROOT, "install", "velmora.pyi")) as f:
            self.assertEqual(self.read("scripts/velmora.pyi"), f.read())

    def test_module_description_covers_every_platform_with_relative_paths(self):
        lines = self.read("velmora.mod").splitlines()
        heads = lines[0::2]
        self.assertEqual([h.split()[:3] for h in heads],
                         [["+", "PLATFORM:" + p, "velmora"] for p in ("linux", "win64", "mac")])
        for head in heads:
            fields = head.split()
            self.assertRegex(fields[3], r"^\d+(\.\d+)+$")
            self.assertEqual(fields[4:], ["."])
        # each description carries its own environment line: Maya applies a
        # line to the module description above it
        self.assertEqual(lines[1::2], ["PYTHONPATH+:=scripts"] * 3)
        self.assertNotIn("\r", self.read("velmora.mod", "rb").decode("ascii"))

    def test_shelf_icon_is_a_small_opaque_picture_with_transparent_corners(self):
        width, height, rows = read_png(self.read("icons/velmora.png", "rb"))
        self.assertEqual((width, height), (32, 32))
        self.assertEqual(rows[0][3], 0)                    # corner alpha
        self.assertEqual(rows[16][16 * 4 + 3], 255)        # centre alpha
        colours = set(bytes(r[i:i + 4]) for r in rows for i in range(0, len(r), 4))
        self.assertGreaterEqual(len(colours), 3)


if __name__ == "__main__":
    unittest.main()

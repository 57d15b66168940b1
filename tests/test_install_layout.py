"""The Maya module folder that `cmake --install` lays out."""

import os
import shutil
import struct
import tempfile
import unittest
import zlib

from install_support import (BATCH_SOURCE, INSTALLER_SOURCE, MAYA_VERSIONS, PLATFORMS,
                             cmake_install, installed_binaries, tree)
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
        self.assertEqual(tree(self.folder), sorted([
            "INSTALL.md", "LICENSE", "bin/velmora-batch", "bin/velmora-batch.bat", "icons/velmora.png",
            "scripts/velmora.pyi", "velmora.mod", "velmora_batch.py", "velmora_install.py"]
            + list(installed_binaries().values())))
        for name, source in (("velmora_install.py", INSTALLER_SOURCE),
                             ("LICENSE", os.path.join(ROOT, "LICENSE")),
                             ("velmora_batch.py", BATCH_SOURCE),
                             ("bin/velmora-batch", os.path.join(ROOT, "install", "bin",
                                                                "velmora-batch"))):
            with open(source) as f:
                self.assertEqual(self.read(name), f.read(), name)
        self.assertTrue(os.access(os.path.join(self.folder, "bin", "velmora-batch"), os.X_OK))
        with open(os.path.join(ROOT, "install", "velmora.pyi")) as f:
            self.assertEqual(self.read("scripts/velmora.pyi"), f.read())

    def test_module_description_gives_each_platform_and_maya_its_own_folder(self):
        lines = self.read("velmora.mod").splitlines()
        heads, bodies = lines[0::2], lines[1::2]
        expected = [(maya, platform) for platform in PLATFORMS for maya in MAYA_VERSIONS]
        self.assertEqual(len(heads), len(expected))
        for head, body, (maya, platform) in zip(heads, bodies, expected):
            fields = head.split()
            self.assertEqual(fields[:4], ["+", "MAYAVERSION:" + maya, "PLATFORM:" + platform,
                                          "velmora"])
            self.assertRegex(fields[4], r"^\d+(\.\d+)+$")
            self.assertEqual(fields[5:], ["."])
            # each description carries its own path line: Maya applies a
            # line to the description above it
            self.assertEqual(body, "PYTHONPATH+:=platforms/" + platform)
        self.assertNotIn("\r", self.read("velmora.mod", "rb").decode("ascii"))
        self.assertTrue(self.read("velmora.mod").endswith("platforms/mac\n"))

    def test_windows_wrapper_has_windows_line_ends(self):
        data = self.read("bin/velmora-batch.bat", "rb")
        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"))
        self.assertGreater(data.count(b"\r\n"), 10)

    def test_shelf_icon_is_a_small_opaque_picture_with_transparent_corners(self):
        width, height, rows = read_png(self.read("icons/velmora.png", "rb"))
        self.assertEqual((width, height), (32, 32))
        self.assertEqual(rows[0][3], 0)                    # corner alpha
        self.assertEqual(rows[16][16 * 4 + 3], 255)        # centre alpha
        colours = set(bytes(r[i:i + 4]) for r in rows for i in range(0, len(r), 4))
        self.assertGreaterEqual(len(colours), 3)


if __name__ == "__main__":
    unittest.main()

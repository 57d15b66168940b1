"""tools/check_binary.py: what it reads off binaries and what it refuses,
on the binaries built here (the Linux module of this build, the Windows
module of tools/build-windows when present) and on damaged copies."""

import os
import shutil
import struct
import sys
import tempfile
import unittest

from support import BUILD, ROOT

sys.path.insert(0, os.path.join(ROOT, "tools"))
import check_binary  # noqa: E402

WINDOWS_BUILD = os.environ.get("VELMORA_WINDOWS_BUILD", os.path.join(ROOT, "build-windows"))
PYD = os.path.join(WINDOWS_BUILD, "stage", "velmora", "platforms", "win64", "velmora.pyd")

# readelf's view of the module as it was built before the ceiling was kept.
OLD_VERSION_INFO = """
Version needs section '.gnu.version_r' contains 3 entries:
 Addr: 0x0000000000001618  Offset: 0x00001618  Link: 4 (.dynstr)
  000000: Version: 1  File: libgcc_s.so.1  Cnt: 1
  0x0010:   Name: GCC_3.0  Flags: none  Version: 10
  0x0020: Version: 1  File: libc.so.6  Cnt: 2
  0x0030:   Name: GLIBC_2.14  Flags: none  Version: 7
  0x0040:   Name: GLIBC_2.2.5  Flags: none  Version: 5
  0x0050: Version: 1  File: libstdc++.so.6  Cnt: 3
  0x0060:   Name: GLIBCXX_3.4.21  Flags: none  Version: 9
  0x0070:   Name: GLIBCXX_3.4.29  Flags: none  Version: 6
  0x0080:   Name: CXXABI_1.3  Flags: none  Version: 4
"""
DYN_SYMS = """
Symbol table '.dynsym' contains 4 entries:
   Num:    Value          Size Type    Bind   Vis      Ndx Name
     0: 0000000000000000     0 NOTYPE  LOCAL  DEFAULT  UND
     1: 0000000000000000     0 FUNC    GLOBAL DEFAULT  UND memcpy@GLIBC_2.14 (2)
     2: 00000000000195b0  1347 FUNC    GLOBAL DEFAULT   12 PyInit_velmora
     3: 0000000000014e00    33 FUNC    WEAK   DEFAULT   12 _ZNSt14_Function_baseD1Ev
"""


def sanitized_build():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        return any(line.startswith("VELMORA_SANITIZE:BOOL=ON") for line in f)


class LinuxCeilingTest(unittest.TestCase):
    def test_the_old_binary_fails_on_its_runtime_and_its_exports(self):
        findings = check_binary.linux_findings(
            check_binary.version_needs(OLD_VERSION_INFO), ["libstdc++.so.6", "libc.so.6"],
            check_binary.exported_symbols(DYN_SYMS))
        self.assertEqual(len(findings), 2, findings)
        self.assertIn("GLIBCXX_3.4.29, newer than GLIBCXX_3.4.25", findings[0])
        self.assertIn("_ZNSt14_Function_baseD1Ev", findings[1])

    def test_each_library_has_its_own_ceiling(self):
        needs = {"libc.so.6": ["GLIBC_2.28", "GLIBC_2.29"], "libm.so.6": ["GLIBC_2.2.5"],
                 "libgcc_s.so.1": ["GCC_7.0.0", "GCC_12.0.0"],
                 "libstdc++.so.6": ["GLIBCXX_3.4.25", "CXXABI_1.3.11", "CXXABI_1.3.13"]}
        findings = check_binary.linux_findings(needs, ["libc.so.6", "libfoo.so.1"],
                                               ["PyInit_velmora"])
        self.assertEqual(sorted(f.split(":")[1].split(",")[0].strip() for f in findings
                                if "newer" in f),
                         ["needs CXXABI_1.3.13", "needs GCC_12.0.0", "needs GLIBC_2.29"])
        self.assertTrue(any("libfoo.so.1" in f for f in findings))
        self.assertIn("does not export PyInit_velmora",
                      check_binary.linux_findings({}, [], []))

    def test_the_built_module_is_within_the_ceiling(self):
        if sanitized_build():
            self.skipTest("a sanitized build links the sanitizer runtimes")
        if shutil.which("readelf") is None:
            self.skipTest("readelf is not installed")
        self.assertEqual(check_binary.check_linux(os.path.join(BUILD, "velmora.abi3.so")), [])


FAKE_DOCS = {
    "stable.html": '<span id="stable-abi-list"></span><ul>'
                   '<li><code><span class="pre">PyOld_Thing()</span></code></li>'
                   '<li><code><span class="pre">PyExc_Listed</span></code></li>'
                   '<li><code><span class="pre">PyNew_Thing()</span></code></li></ul>',
    "thing.html": '<dt class="sig" id="c.PyOld_Thing">x</dt><dd><em class="stableabi"> Part of '
                  'the <a><span>Stable ABI</span></a> since version 3.7.</em></dd>'
                  '<dt class="sig" id="c.PyNew_Thing">x</dt><dd><em class="stableabi"> Part of '
                  'the <a><span>Stable ABI</span></a> since version 3.10.</em></dd>'
                  '<dt class="sig" id="c.PyPlain">x</dt><dd><em class="stableabi"> Part of '
                  'the <a><span>Stable ABI</span></a>.</em></dd>'
                  '<dt class="sig" id="c.PyUnstable">x</dt><dd>no note</dd>',
}


class StableAbiTest(unittest.TestCase):
    def test_names_are_judged_by_the_documentations_version_notes(self):
        docs = tempfile.mkdtemp(prefix="velmora-docs-")
        self.addCleanup(shutil.rmtree, docs, True)
        for name, text in FAKE_DOCS.items():
            with open(os.path.join(docs, name), "w") as f:
                f.write(text)
        added, listed = check_binary.stable_abi(docs)
        self.assertEqual(added, {"PyOld_Thing": (3, 7), "PyNew_Thing": (3, 10),
                                 "PyPlain": (3, 2)})
        findings = check_binary.stable_abi_findings(
            ["PyOld_Thing", "PyNew_Thing", "PyPlain", "PyExc_Listed", "PyUnstable",
             "_Py_NoneStruct", "_Py_Dealloc"], added, listed)
        self.assertEqual(findings, [
            "python3.dll: PyNew_Thing joined the stable ABI in 3.10, after 3.7",
            "python3.dll: PyUnstable is not part of the stable ABI"])

    def test_system_dlls(self):
        for name in ("KERNEL32.dll", "msvcrt.dll", "WS2_32.dll", "api-ms-win-crt-runtime-l1-1-0.dll"):
            self.assertTrue(check_binary.is_system_dll(name), name)
        for name in ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll",
                     "python311.dll", "vcruntime140.dll"):
            self.assertFalse(check_binary.is_system_dll(name), name)


@unittest.skipUnless(os.path.isfile(PYD), "no Windows build (tools/build-windows makes one)")
class WindowsModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.docs = check_binary.find_c_api_docs()
        if cls.docs is None:
            raise unittest.SkipTest("Python's C API documentation is not installed")
        with open(PYD, "rb") as f:
            cls.data = f.read()
        cls.added, cls.listed = check_binary.stable_abi(cls.docs)

    def findings(self, data):
        return check_binary.windows_findings(check_binary.PE(data), self.added, self.listed)

    def test_the_built_module_passes(self):
        pe = check_binary.PE(self.data)
        self.assertEqual(pe.exports(), ["PyInit_velmora"])
        dlls = [dll.lower() for dll, _ in pe.imports()]
        self.assertIn("python3.dll", dlls)
        self.assertFalse([d for d in dlls if "gcc" in d or "stdc++" in d or "pthread" in d])
        python_names = dict(pe.imports())[[d for d, _ in pe.imports()
                                           if d.lower() == "python3.dll"][0]]
        self.assertIn("PyModule_Create2", python_names)
        self.assertEqual(self.findings(self.data), [])

    def test_damaged_copies_fail(self):
        (pe_at,) = struct.unpack_from("<I", self.data, 0x3C)
        i386 = bytearray(self.data)
        struct.pack_into("<H", i386, pe_at + 4, 0x14C)
        self.assertIn("not a PE32+ x86-64", self.findings(bytes(i386))[0])

        executable = bytearray(self.data)
        (flags,) = struct.unpack_from("<H", executable, pe_at + 22)
        struct.pack_into("<H", executable, pe_at + 22, flags & ~0x2000)
        self.assertIn("not a DLL", self.findings(bytes(executable)))

        # the same length, so every table stays where it was
        foreign = self.data.replace(b"python3.dll\0", b"pyth0n3.dll\0")
        found = self.findings(foreign)
        self.assertIn("imports pyth0n3.dll, which is neither python3.dll nor a Windows DLL", found)
        self.assertIn("imports nothing from python3.dll", found)

        renamed = self.data.replace(b"PyInit_velmora\0", b"PyInit_velmorb\0")
        self.assertIn("does not export PyInit_velmora", self.findings(renamed))

        with self.assertRaises(check_binary.PEError):
            check_binary.PE(b"ELF" + self.data[3:])


if __name__ == "__main__":
    unittest.main()

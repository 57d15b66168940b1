#!/usr/bin/env python3
"""Checks a built velmora binary against what the Mayas it is for can load.

    tools/check_binary.py linux   build/velmora.abi3.so
    tools/check_binary.py windows build-windows/velmora.pyd

linux: the version needs read off the binary (readelf) stay within glibc
2.28 and GCC 8's C++ runtime and libgcc, the ceiling of RHEL/Rocky 8 (the
oldest distribution Maya 2022 to 2024 support, and the same ceiling as
Python's manylinux_2_28); it needs no library beyond those and exports
nothing but PyInit_velmora.

windows: the file is a PE32+ x86-64 DLL that exports PyInit_velmora (and
nothing else), imports only python3.dll and Windows' own system DLLs, and
every name it takes from python3.dll is part of the stable ABI of Python
3.7, by the version notes of Python's C API documentation.

Prints one line per finding and exits 1 when there is any.
"""
import glob
import os
import re
import struct
import subprocess
import sys

INIT = "PyInit_velmora"

# ------------------------------------------------------------------ Linux

# The newest symbol version each library may be asked for.
LINUX_CEILING = {
    "GLIBC": (2, 28),       # glibc 2.28 (RHEL 8)
    "GLIBCXX": (3, 4, 25),  # libstdc++ of GCC 8
    "CXXABI": (1, 3, 11),   # its C++ ABI
    "GCC": (7, 0, 0),       # libgcc_s of GCC 8: no newer tag than GCC_7.0.0
}
# Libraries every Maya's Linux has at those versions.
LINUX_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6",
                   "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
VERSION_TAG = re.compile(r"^([A-Z]+)_(\d+(?:\.\d+)*)$")


def readelf(path, *options):
    try:
        return subprocess.run(["readelf", "--wide"] + list(options) + [path],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, check=True).stdout
    except FileNotFoundError:
        raise SystemExit("readelf is not installed (Debian package binutils)")
    except subprocess.CalledProcessError as error:
        raise SystemExit("readelf could not read %s: %s" % (path, error.stderr.strip()))


def version_needs(text):
    """{library: [version tag, ...]} from `readelf --version-info` output."""
    needs, library, inside = {}, None, False
    for line in text.splitlines():
        if line.startswith("Version needs section"):
            inside = True
            continue
        if inside and line and not line.startswith(" "):
            inside = False  # the next section
        if not inside:
            continue
        file_match = re.search(r"File: (\S+)", line)
        if file_match:
            library = file_match.group(1)
            needs.setdefault(library, [])
            continue
        name_match = re.search(r"Name: (\S+)", line)
        if name_match and library is not None:
            needs[library].append(name_match.group(1))
    return needs


def needed_libraries(text):
    """The NEEDED entries of `readelf --dynamic` output."""
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", text)


def exported_symbols(text):
    """Names the binary defines for others, from `readelf --dyn-syms`."""
    names = []
    for line in text.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) >= 8 and fields[0].endswith(":") and fields[0][:-1].isdigit():
            bind, ndx, name = fields[4], fields[6], fields[7]
            if ndx != "UND" and bind in ("GLOBAL", "WEAK", "UNIQUE"):
                names.append(name.split("@")[0])
    return names


def linux_findings(needs, libraries, exports):
    findings = []
    for library in libraries:
        if library not in LINUX_LIBRARIES:
            findings.append("needs %s, which Maya's Linux does not provide" % library)
    for library, tags in sorted(needs.items()):
        for tag in tags:
            match = VERSION_TAG.match(tag)
            if not match or match.group(1) not in LINUX_CEILING:
                findings.append("%s: unknown version tag %s" % (library, tag))
                continue
            number = tuple(int(p) for p in match.group(2).split("."))
            ceiling = LINUX_CEILING[match.group(1)]
            if number > ceiling:
                findings.append("%s: needs %s, newer than %s_%s" % (
                    library, tag, match.group(1), ".".join(map(str, ceiling))))
    extra = sorted(set(exports) - {INIT})
    if INIT not in exports:
        findings.append("does not export " + INIT)
    if extra:
        findings.append("exports %d name(s) besides %s, e.g. %s" % (
            len(extra), INIT, ", ".join(extra[:5])))
    return findings


def check_linux(path):
    return linux_findings(version_needs(readelf(path, "--version-info")),
                          needed_libraries(readelf(path, "--dynamic")),
                          exported_symbols(readelf(path, "--dyn-syms")))


# ---------------------------------------------------------------- Windows

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_DLL = 0x2000
PE32_PLUS = 0x20B

# Windows' own DLLs (in System32 of every Windows 10 and 11). The C runtime
# is msvcrt.dll for mingw-w64's default runtime, or the Universal CRT
# (ucrtbase.dll and its api-ms-win-crt-* forwarders).
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "user32.dll",
                       "shell32.dll", "ntdll.dll", "ucrtbase.dll", "bcrypt.dll"}
SYSTEM_DLL_PATTERN = re.compile(r"^api-ms-win-(crt|core)-[a-z0-9-]+\.dll$")


class PEError(ValueError):
    pass


class PE(object):
    """The parts of a PE file the checks read: header fields, exports,
    imports (per DLL) and delay-load imports."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PEError("not a PE file (no MZ header)")
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PEError("not a PE file (no PE signature)")
        coff = pe + 4
        (self.machine, sections, _time, _symbols, _count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, optional)
        if self.magic != PE32_PLUS:
            self.directories = []
        else:
            (count,) = struct.unpack_from("<I", data, optional + 108)
            self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                                for i in range(count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8)
                         for i in range(sections)]  # vsize, rva, raw size, raw offset

    def offset(self, rva):
        for vsize, start, raw_size, raw in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw + rva - start
        raise PEError("address 0x%x is in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def exports(self):
        rva, size = self.directory(0)
        if not size:
            return []
        at = self.offset(rva)
        count, names = struct.unpack_from("<I", self.data, at + 24)[0], \
            struct.unpack_from("<I", self.data, at + 32)[0]
        return [self.string(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0])
                for i in range(count)]

    def _thunk_names(self, rva):
        out, at = [], self.offset(rva)
        while True:
            (thunk,) = struct.unpack_from("<Q", self.data, at)
            if thunk == 0:
                return out
            if thunk & (1 << 63):
                out.append("#%d" % (thunk & 0xFFFF))  # by ordinal
            else:
                out.append(self.string((thunk & 0x7FFFFFFF) + 2))  # past the hint
            at += 8

    def imports(self):
        """[(dll, [name, ...])] in the file's order."""
        rva, size = self.directory(1)
        out = []
        if not size:
            return out
        at = self.offset(rva)
        while True:
            lookup, _time, _chain, name, first = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                return out
            out.append((self.string(name), self._thunk_names(lookup or first)))
            at += 20

    def delay_imports(self):
        rva, size = self.directory(13)
        return [] if not size else ["(delay-load imports present)"]


def is_system_dll(name):
    lower = name.lower()
    return lower in WINDOWS_SYSTEM_DLLS or bool(SYSTEM_DLL_PATTERN.match(lower))


# Names of the stable ABI that the documentation describes only through the
# limited API's macros that stand for them (Py_None is &_Py_NoneStruct,
# Py_DECREF calls _Py_Dealloc); python3.dll has exported them since 3.2.
ABI_ONLY = {"_Py_NoneStruct": "Py_None", "_Py_TrueStruct": "Py_True",
            "_Py_FalseStruct": "Py_False", "_Py_NotImplementedStruct": "Py_NotImplemented",
            "_Py_EllipsisObject": "Py_Ellipsis", "_Py_Dealloc": "Py_DECREF"}

STABLE_NOTE = re.compile(
    r'id="c\.([A-Za-z_][A-Za-z0-9_]*)"'        # the entry of a documented name
    r'(?:(?!<dt\b).){0,6000}?'                  # up to the next entry at most
    r'<em class="stableabi">(.*?)</em>', re.S)
SINCE = re.compile(r"since version (\d+)\.(\d+)")
LISTED = re.compile(r'<span class="pre">([A-Za-z_][A-Za-z0-9_]*)(?:\(\))?</span></code>')


def find_c_api_docs():
    """The c-api folder of the newest installed Python documentation that
    carries stable-ABI version notes (3.10 and newer), or None."""
    found = []
    for folder in glob.glob("/usr/share/doc/python3*/html/c-api"):
        if os.path.isfile(os.path.join(folder, "stable.html")):
            match = re.search(r"python3\.?(\d+)?", folder)
            found.append((int(match.group(1) or 0), folder))
    found = [f for f in found if f[0] >= 10 or f[0] == 0]
    return max(found)[1] if found else None


def stable_abi(docs):
    """({name: (major, minor)} of documented entries with a stable-ABI note,
    set of names in the limited API's list of contents)."""
    added = {}
    for page in sorted(glob.glob(os.path.join(docs, "*.html"))):
        with open(page, encoding="utf-8") as f:
            text = f.read()
        for name, note in STABLE_NOTE.findall(text):
            since = SINCE.search(note)
            added[name] = (int(since.group(1)), int(since.group(2))) if since else (3, 2)
    with open(os.path.join(docs, "stable.html"), encoding="utf-8") as f:
        text = f.read()
    start = text.find('id="stable-abi-list"')
    listed = set(LISTED.findall(text[start:])) if start >= 0 else set()
    if not added or not listed:
        raise SystemExit("no stable-ABI notes found in " + docs)
    return added, listed


def stable_abi_findings(names, added, listed, limit=(3, 7)):
    findings = []
    for name in sorted(names):
        if name in ABI_ONLY:
            continue
        version = added.get(name)
        if version is None and name not in listed:
            findings.append("python3.dll: %s is not part of the stable ABI" % name)
        elif version is not None and version > limit:
            findings.append("python3.dll: %s joined the stable ABI in %d.%d, after %d.%d"
                            % ((name,) + version + limit))
    return findings


def windows_findings(pe, added, listed):
    findings = []
    if pe.machine != IMAGE_FILE_MACHINE_AMD64 or pe.magic != PE32_PLUS:
        findings.append("not a PE32+ x86-64 file (machine 0x%x, magic 0x%x)"
                        % (pe.machine, pe.magic))
        return findings
    if not pe.characteristics & IMAGE_FILE_DLL:
        findings.append("not a DLL")
    exports = pe.exports()
    if INIT not in exports:
        findings.append("does not export " + INIT)
    extra = sorted(set(exports) - {INIT})
    if extra:
        findings.append("exports %s besides %s" % (", ".join(extra[:5]), INIT))
    findings.extend(pe.delay_imports())
    python_names = []
    for dll, names in pe.imports():
        if dll.lower() == "python3.dll":
            python_names.extend(names)
        elif not is_system_dll(dll):
            findings.append("imports %s, which is neither python3.dll nor a Windows DLL" % dll)
        elif re.match(r"python3\d+\.dll$", dll.lower()):
            findings.append("imports %s, which ties the module to one Python" % dll)
    if not python_names:
        findings.append("imports nothing from python3.dll")
    findings.extend(stable_abi_findings(python_names, added, listed))
    return findings


def check_windows(path, docs=None):
    docs = docs or os.environ.get("VELMORA_PYTHON_DOCS") or find_c_api_docs()
    if docs is None:
        raise SystemExit("Python's C API documentation is not installed "
                         "(Debian package python3-doc); it lists the stable ABI")
    with open(path, "rb") as f:
        pe = PE(f.read())
    added, listed = stable_abi(docs)
    return windows_findings(pe, added, listed)


def main(argv):
    if len(argv) != 2 or argv[0] not in ("linux", "windows"):
        print(__doc__.strip().split("\n\n")[0])
        return 2
    kind, path = argv
    if not os.path.isfile(path):
        print("%s: no such file" % path)
        return 1
    try:
        findings = check_linux(path) if kind == "linux" else check_windows(path)
    except PEError as error:
        findings = [str(error)]
    for finding in findings:
        print("%s: %s" % (path, finding))
    if not findings:
        print("%s: %s binary within its ceiling" % (path, kind))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

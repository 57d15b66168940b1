#!/usr/bin/env python3
"""Writes velmora's wheels around binaries already built and checked.

    tools/wheel.py [--version V] [--out DIR] linux=PATH [win64=PATH]

One wheel per binary, velmora-<V>-cp37-abi3-<platform>.whl in DIR
(default out/), each holding the binary as the extension module
`velmora`, its type stub, the `velmora_batch` module behind the
velmora-batch command, the metadata of pyproject.toml and the licence
(LICENSE, beside the metadata). The version
defaults to CMakeLists.txt's VELMORA_VERSION; tools/release passes the
build's. Prints each wheel's path.

The files are written per the wheel format with the standard library
alone and are the same bytes for the same inputs (fixed time stamps, or
SOURCE_DATE_EPOCH). A wheel is not replaced: one already there with the
same bytes is kept, one with other bytes is an error, unless --replace is
given (tools/release, whose rerun replaces its own outputs), which moves
the new wheel onto the old one in one step.

Also the build backend that pyproject.toml names: it refuses, pointing at
tools/release, since the module is built and checked there.
"""
import argparse
import base64
import csv
import hashlib
import io
import os
import re
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = "velmora"
ABI_TAG = "cp37-abi3"
# Maya's name of each platform: the wheel's platform tag, the file name the
# module has there, and how such a binary begins (a swapped argument fails).
PLATFORMS = {
    "linux": ("manylinux_2_28_x86_64", MODULE + ".abi3.so", b"\x7fELF"),
    "win64": ("win_amd64", MODULE + ".pyd", b"MZ"),
}
GENERATOR = "velmora tools/wheel.py"
LICENCE_FILE = "LICENSE"  # at the root; its text goes into every wheel
VERSION = re.compile(r"^[0-9]+(\.[0-9]+)*((a|b|rc)[0-9]+)?(\.post[0-9]+)?(\.dev[0-9]+)?$")


class WheelError(Exception):
    pass


# ------------------------------------------------------------ the metadata

def cmake_version(root=ROOT):
    """The default of VELMORA_VERSION in CMakeLists.txt."""
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r'^set\(VELMORA_VERSION "([^"]+)" CACHE STRING', f.read(), re.M)
    if not found:
        raise WheelError("CMakeLists.txt sets no VELMORA_VERSION")
    return found.group(1)


def read_pyproject(root=ROOT):
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        text = f.read().decode("utf-8")
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        return read_toml(text)
    return tomllib.loads(text)


def project(root=ROOT):
    """pyproject.toml's [project] table, checked for what the wheels need."""
    table = read_pyproject(root).get("project", {})
    for key in ("name", "description", "readme", "requires-python"):
        if key not in table:
            raise WheelError("pyproject.toml: [project] has no %s" % key)
    if "version" in table or "version" not in table.get("dynamic", ()):
        raise WheelError("pyproject.toml: the version is CMake's VELMORA_VERSION; "
                         "list it under dynamic")
    return table


def readme(table, root=ROOT):
    """(text, content type) of the project's readme."""
    given = table["readme"]
    if isinstance(given, str):
        given = {"file": given}
    kind = given.get("content-type")
    if kind is None and given.get("file", "").endswith(".md"):
        kind = "text/markdown"
    if "file" not in given or kind is None:
        raise WheelError("pyproject.toml: readme needs a file and a content type")
    with open(os.path.join(root, given["file"]), encoding="utf-8") as f:
        return f.read(), kind


def metadata(table, version, root=ROOT):
    """The METADATA file (core metadata 2.1), the readme as its body."""
    text, kind = readme(table, root)
    fields = [("Metadata-Version", "2.1"), ("Name", table["name"]), ("Version", version),
              ("Summary", table["description"])]
    if table.get("keywords"):
        fields.append(("Keywords", ",".join(table["keywords"])))
    fields += [("Project-URL", "%s, %s" % item) for item in table.get("urls", {}).items()]
    licence = table.get("license")
    if licence is not None:
        if not isinstance(licence, dict) or set(licence) != {"text"}:
            raise WheelError("pyproject.toml: give the licence as license = {text = \"...\"}")
        fields.append(("License", licence["text"]))
    fields.append(("Requires-Python", table["requires-python"]))
    fields += [("Classifier", c) for c in table.get("classifiers", ())]
    fields.append(("Description-Content-Type", kind))
    for name, value in fields:
        if not value or "\n" in value or "\r" in value:
            raise WheelError("pyproject.toml: %s must be one line" % name)
    head = "".join("%s: %s\n" % field for field in fields)
    return (head + "\n" + text).encode("utf-8")


def wheel_file(tag):
    return ("Wheel-Version: 1.0\nGenerator: %s\nRoot-Is-Purelib: false\nTag: %s\n"
            % (GENERATOR, tag)).encode("ascii")


def entry_points(table):
    scripts = table.get("scripts", {})
    if not scripts:
        return None
    lines = ["[console_scripts]"] + ["%s = %s" % item for item in sorted(scripts.items())]
    return ("\n".join(lines) + "\n").encode("utf-8")


# ------------------------------------------------------------ the archive

def stamp():
    """The time stamp of every entry: SOURCE_DATE_EPOCH, else 1980-01-01
    (the oldest a zip file can hold)."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return (1980, 1, 1, 0, 0, 0)
    if not epoch.isdigit():
        raise WheelError("SOURCE_DATE_EPOCH=%r is not a number of seconds" % epoch)
    return max((1980, 1, 1, 0, 0, 0), time.gmtime(int(epoch))[:6])


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def archive(files, dist_info):
    """The wheel's bytes: `files` ((name, bytes, mode) in order), then RECORD."""
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data, _mode in files:
        writer.writerow([name, record_hash(data), len(data)])
    record_name = dist_info + "/RECORD"
    writer.writerow([record_name, "", ""])
    entries = list(files) + [(record_name, record.getvalue().encode("utf-8"), 0o644)]
    buffer = io.BytesIO()
    when = stamp()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=when)
            info.create_system = 3  # Unix, so that the modes below are read
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return buffer.getvalue()


def publish(data, path, replace=False):
    """Writes `data` as `path` under a temporary name in the same folder
    first, then moved onto its name when `replace`, else linked to it,
    which fails if the name is taken: a file there already with the same
    bytes (the same release made again) is kept, one with others refused."""
    folder, name = os.path.split(path)
    handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=folder)
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        if replace:
            os.replace(temporary, path)
            return
        try:
            os.link(temporary, path)
        except FileExistsError:
            with open(path, "rb") as f:
                if f.read() != data:
                    raise WheelError("%s exists with other contents; remove it or write the "
                                     "wheels elsewhere" % path)
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def write_wheel(out, platform, binary, version, root=ROOT, replace=False):
    """Writes the wheel of `binary`, the checked module of `platform`
    ("linux" or "win64"), into the folder `out`; returns its path."""
    if platform not in PLATFORMS:
        raise WheelError("no wheel platform for %r (known: %s)" % (platform, ", ".join(PLATFORMS)))
    if not VERSION.match(version):
        raise WheelError("%r is not a version a wheel's name can carry" % version)
    tag_platform, module_file, magic = PLATFORMS[platform]
    with open(binary, "rb") as f:
        module = f.read()
    if not module.startswith(magic):
        raise WheelError("%s is not a %s binary" % (binary, platform))
    table = project(root)
    name = re.sub(r"[-_.]+", "_", table["name"]).lower()
    dist_info = "%s-%s.dist-info" % (name, version)
    tag = "%s-%s" % (ABI_TAG, tag_platform)

    def source(*parts):
        with open(os.path.join(root, *parts), "rb") as f:
            return f.read()

    licence = os.path.join(root, LICENCE_FILE)
    if not os.path.isfile(licence):
        raise WheelError("%s is missing: a wheel carries the project's licence" % licence)
    files = [(module_file, module, 0o755),
             (MODULE + ".pyi", source("install", "velmora.pyi"), 0o644),
             ("velmora_batch.py", source("install", "wheel", "velmora_batch.py"), 0o644),
             (dist_info + "/METADATA", metadata(table, version, root), 0o644),
             (dist_info + "/WHEEL", wheel_file(tag), 0o644)]
    scripts = entry_points(table)
    if scripts is not None:
        files.append((dist_info + "/entry_points.txt", scripts, 0o644))
    files.append((dist_info + "/" + LICENCE_FILE, source(LICENCE_FILE), 0o644))
    path = os.path.join(out, "%s-%s-%s.whl" % (name, version, tag))
    publish(archive(files, dist_info), path, replace)
    return path


# ------------------------------------------------------- the build backend

REFUSAL = ("velmora's wheels are not built from the source tree: run tools/release, which "
           "builds and checks the Linux and Windows modules and writes "
           "out/velmora-<version>-cp37-abi3-<platform>.whl, and install one of those")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    raise SystemExit(REFUSAL)


def build_sdist(sdist_directory, config_settings=None):
    raise SystemExit(REFUSAL)


# --------------------------------------- pyproject.toml before Python 3.11

class TomlError(WheelError):
    pass


class _Toml:
    """A reader of the TOML that pyproject.toml uses (tables, dotted keys,
    one-line strings, arrays, inline tables, booleans, integers); anything
    else is refused, never guessed at."""

    ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}
    BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
    INTEGER = re.compile(r"[+-]?[0-9]+")

    def __init__(self, text):
        self.text, self.pos = text.replace("\r\n", "\n"), 0

    def fail(self, what):
        line = self.text.count("\n", 0, self.pos) + 1
        raise TomlError("pyproject.toml, line %d: %s" % (line, what))

    def peek(self, size=1):
        return self.text[self.pos:self.pos + size]

    def skip(self, newlines):
        while self.pos < len(self.text):
            char = self.text[self.pos]
            if char == "#":
                end = self.text.find("\n", self.pos)
                self.pos = len(self.text) if end < 0 else end
            elif char in " \t" or (newlines and char == "\n"):
                self.pos += 1
            else:
                break

    def expect(self, char):
        self.skip(False)
        if self.peek() != char:
            self.fail("expected %r" % char)
        self.pos += 1

    def key_path(self):
        keys = []
        while True:
            self.skip(False)
            if self.peek() in ('"', "'"):
                keys.append(self.string())
            else:
                found = self.BARE_KEY.match(self.text, self.pos)
                if not found:
                    self.fail("expected a key")
                keys.append(found.group())
                self.pos = found.end()
            self.skip(False)
            if self.peek() != ".":
                return keys
            self.pos += 1

    def string(self):
        quote = self.peek()
        if self.peek(3) == quote * 3:
            self.fail("multi-line strings are not read here")
        self.pos += 1
        out = []
        while True:
            char = self.peek()
            if char in ("", "\n"):
                self.fail("unterminated string")
            self.pos += 1
            if char == quote:
                return "".join(out)
            if char == "\\" and quote == '"':
                char = self.escape()
            elif ord(char) < 0x20 and char != "\t":
                self.fail("a control character in a string")
            out.append(char)

    def escape(self):
        char = self.peek()
        self.pos += 1
        if char in self.ESCAPES:
            return self.ESCAPES[char]
        size = {"u": 4, "U": 8}.get(char)
        digits = self.text[self.pos:self.pos + size] if size else ""
        if not size or not re.match(r"^[0-9A-Fa-f]+$", digits) or len(digits) != size:
            self.fail("a bad escape")
        self.pos += size
        return chr(int(digits, 16))

    def value(self):
        self.skip(False)
        char = self.peek()
        if char in ('"', "'"):
            return self.string()
        if char == "[":
            self.pos += 1
            return self.sequence()
        if char == "{":
            self.pos += 1
            return self.inline_table()
        for word, meaning in (("true", True), ("false", False)):
            if self.text.startswith(word, self.pos):
                self.pos += len(word)
                return meaning
        found = self.INTEGER.match(self.text, self.pos)
        if found and not re.match(r"[0-9A-Za-z_.:]", self.text[found.end():found.end() + 1]):
            self.pos = found.end()
            return int(found.group())
        self.fail("a value of a kind not read here")

    def sequence(self):
        items = []
        while True:
            self.skip(True)
            if self.peek() == "]":
                self.pos += 1
                return items
            items.append(self.value())
            self.skip(True)
            if self.peek() == ",":
                self.pos += 1
            elif self.peek() != "]":
                self.fail("expected ',' or ']'")

    def inline_table(self):
        table = {}
        self.skip(False)
        if self.peek() == "}":
            self.pos += 1
            return table
        while True:
            keys = self.key_path()
            self.expect("=")
            self.assign(table, keys, self.value())
            self.skip(False)
            char = self.peek()
            self.pos += 1
            if char == "}":
                return table
            if char != ",":
                self.fail("expected ',' or '}'")

    def assign(self, table, keys, value):
        for key in keys[:-1]:
            table = table.setdefault(key, {})
            if not isinstance(table, dict):
                self.fail("%s is not a table" % key)
        if keys[-1] in table:
            self.fail("%s is given twice" % ".".join(keys))
        table[keys[-1]] = value

    def document(self):
        data, seen = {}, set()
        table = data
        while True:
            self.skip(True)
            if self.pos >= len(self.text):
                return data
            if self.peek() == "[":
                if self.peek(2) == "[[":
                    self.fail("arrays of tables are not read here")
                self.pos += 1
                keys = self.key_path()
                self.expect("]")
                if tuple(keys) in seen:
                    self.fail("[%s] is given twice" % ".".join(keys))
                seen.add(tuple(keys))
                table = data
                for key in keys:
                    table = table.setdefault(key, {})
                    if not isinstance(table, dict):
                        self.fail("%s is not a table" % key)
            else:
                keys = self.key_path()
                self.expect("=")
                self.assign(table, keys, self.value())
            self.skip(False)
            if self.peek() not in ("", "\n"):
                self.fail("expected the end of the line")


def read_toml(text):
    return _Toml(text).document()


# ------------------------------------------------------------ the command

def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="tools/wheel.py", description="Writes velmora's wheels around checked binaries.")
    parser.add_argument("--version", help="default: VELMORA_VERSION of CMakeLists.txt")
    parser.add_argument("--out", default=os.path.join(ROOT, "out"), help="default: out/")
    parser.add_argument("--replace", action="store_true",
                        help="replace a wheel of the same name (default: keep one with the same "
                             "bytes, refuse one with others)")
    parser.add_argument("binaries", nargs="+", metavar="PLATFORM=PATH",
                        help="a checked binary of %s" % " or ".join(PLATFORMS))
    options = parser.parse_args(argv)
    pairs = [item.partition("=") for item in options.binaries]
    if any(not sep or not path for _platform, sep, path in pairs):
        parser.error("give each binary as PLATFORM=PATH")
    try:
        version = options.version or cmake_version()
        os.makedirs(options.out, exist_ok=True)
        for platform, _sep, path in pairs:
            print(write_wheel(options.out, platform, path, version, replace=options.replace))
    except (WheelError, OSError) as error:
        sys.stderr.write("tools/wheel.py: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

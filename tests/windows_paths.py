"""Windows' path rules on this machine, for running the tests of path
handling a second time as on Windows.

While `WindowsPaths` is active:

* the module's `os` (velmora.os) is Windows' view: `os.path` is ntpath
  (both slashes separate, joins use a backslash, drive letters), `os.sep`
  is a backslash, and `os.walk` gives folders in backslash form;
* the file system takes Windows paths: a str path with a drive (`C:`) or a
  backslash is read as a Windows path and reaches this machine's files with
  the drive dropped and backslashes as slashes, whoever asks (velmora, the
  simulated Maya, the test itself, tempfile). Drive C: is this machine's
  root, so the test's folder /tmp/x is C:\\tmp\\x.

What it cannot give: Windows' case-insensitive names, its reserved names
(CON, NUL) and characters (<>:"|?*) stay allowed, and other drives than C:
are the same root.

    @also_under_windows_paths("test_posix_only_behaviour")
    class SomeTest(HostTestCase): ...

adds a twin SomeTestUnderWindowsPaths to the test module: the same tests,
with HostTestCase's folder in Windows form and the rules above active.
"""
import builtins
import ntpath
import os
import re
import sys
import tempfile
import types
import unittest
from unittest import mock

DRIVE = re.compile(r"^[A-Za-z]:")


def is_windows_path(path):
    return isinstance(path, str) and ("\\" in path or bool(DRIVE.match(path)))


def to_host(path):
    """This machine's path of a Windows path (anything else unchanged)."""
    if not is_windows_path(path):
        return path
    return DRIVE.sub("", path, count=1).replace("\\", "/") or "/"


def to_windows(path):
    """The Windows form of an absolute path of this machine."""
    return "C:" + path.replace("/", "\\")


def _named_as_given(error, given, attribute="filename"):
    """The error names the path as the caller gave it, as Windows' would."""
    if is_windows_path(given) and getattr(error, attribute, None) == to_host(given):
        setattr(error, attribute, given)


def _translating(function):
    def call(path, *args, **kwargs):
        try:
            return function(to_host(path), *args, **kwargs)
        except OSError as error:
            _named_as_given(error, path)
            raise
    call.__wrapped__ = function
    return call


def _translating_two(function):
    def call(src, dst, *args, **kwargs):
        try:
            return function(to_host(src), to_host(dst), *args, **kwargs)
        except OSError as error:
            _named_as_given(error, src)
            _named_as_given(error, dst, "filename2")
            raise
    call.__wrapped__ = function
    return call


ONE_PATH = ("stat", "lstat", "listdir", "scandir", "open", "remove", "unlink", "mkdir", "rmdir",
            "makedirs", "utime", "access", "chmod", "chdir", "readlink", "truncate",
            "listxattr", "getxattr", "setxattr", "removexattr")
TWO_PATHS = ("rename", "replace", "link", "symlink")


def windows_os():
    """A stand-in for the `os` module as Windows code sees it. Names it does
    not set are looked up in `os` at each use, so a test's patch of
    os.listdir (say) reaches the module under test as before."""
    view = types.ModuleType("os")
    view.__getattr__ = lambda name: getattr(os, name)  # a module's fallback (PEP 562)
    view.path = ntpath
    view.sep, view.altsep, view.pathsep, view.linesep = "\\", "/", ";", "\r\n"
    view.name = "nt"

    def walk(top, topdown=True, onerror=None, followlinks=False):
        # os.walk's rules (links to folders listed, not entered), with
        # folders joined by Windows' rules
        try:
            with os.scandir(top) as listing:
                entries = list(listing)
        except OSError as error:
            if onerror is not None:
                onerror(error)
            return
        dirs = [e.name for e in entries if e.is_dir()]
        files = [e.name for e in entries if not e.is_dir()]
        entered = [e.name for e in entries if e.is_dir() and (followlinks or not e.is_symlink())]
        if topdown:
            yield top, dirs, files
        for name in dirs:
            if name in entered:
                for found in walk(ntpath.join(top, name), topdown, onerror, followlinks):
                    yield found
        if not topdown:
            yield top, dirs, files
    view.walk = walk
    return view


class WindowsPaths(object):
    """The rules of the module docstring, as a context manager."""

    def __init__(self, *modules):
        self.modules = modules  # each gets the Windows `os` as its `os`
        self.patches = []

    def __enter__(self):
        self.patches = [mock.patch.object(os, name, _translating(getattr(os, name)))
                        for name in ONE_PATH if hasattr(os, name)]
        self.patches += [mock.patch.object(os, name, _translating_two(getattr(os, name)))
                         for name in TWO_PATHS if hasattr(os, name)]
        self.patches.append(mock.patch.object(builtins, "open", _translating(builtins.open)))
        for patch in self.patches:
            patch.start()
        view = windows_os()
        # tempfile makes its names absolute with its own os.path
        self.patches.append(mock.patch.object(tempfile, "_os", view))
        self.patches[-1].start()
        for module in self.modules:
            patch = (mock.patch.dict(module, {"os": view}) if isinstance(module, dict)
                     else mock.patch.object(module, "os", view))
            patch.start()
            self.patches.append(patch)
        return view

    def __exit__(self, *exc):
        for patch in reversed(self.patches):
            patch.stop()
        self.patches = []
        return False


def also_under_windows_paths(*posix_only, **reasons):
    """Class decorator: adds the class's twin under Windows' path rules to
    its module. Tests named in `posix_only` test what only POSIX allows
    (a backslash inside a file name, say) and are skipped in the twin."""
    reason = reasons.get("reason", "tests a name that only POSIX paths can hold")

    def decorate(cls):
        body = {"windows_paths": True, "__module__": cls.__module__,
                "__doc__": (cls.__doc__ or cls.__name__) + " (under Windows' path rules)"}
        for name in posix_only:
            body[name] = unittest.skip(reason)(getattr(cls, name))
        twin = type(cls.__name__ + "UnderWindowsPaths", (cls,), body)
        setattr(sys.modules[cls.__module__], twin.__name__, twin)
        return cls
    return decorate

"""Helpers of the installation tests: the module folder as `cmake --install`
lays it out from the build folder under test, and the installer loaded from it."""

import os
import runpy
import shutil
import subprocess
import unittest

from support import BUILD, ROOT

INSTALLER_SOURCE = os.path.join(ROOT, "install", "velmora_install.py")
BATCH_SOURCE = os.path.join(ROOT, "install", "velmora_batch.py")
PLATFORMS = ("linux", "win64", "mac")
MAYA_VERSIONS = ("2022", "2023", "2024", "2025", "2026", "2027")
BINARY_NAMES = {"linux": "velmora.abi3.so", "win64": "velmora.pyd", "mac": "velmora.abi3.so"}


def cache_value(name):
    """A variable of the build's CMake cache, or "" when unset."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def installed_binaries():
    """{platform: path in the module folder} of the binaries an install of
    the build under test holds: its own (Linux) and those named by
    VELMORA_BINARY_<PLATFORM> (tools/release names the Windows one)."""
    found = {"linux": "platforms/linux/" + BINARY_NAMES["linux"]}
    for platform in PLATFORMS[1:]:
        if cache_value("VELMORA_BINARY_" + platform.upper()):
            found[platform] = "platforms/%s/%s" % (platform, BINARY_NAMES[platform])
    return found


def cmake_install(prefix):
    """Installs the build under test into `prefix`; returns <prefix>/velmora."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise unittest.SkipTest("cmake is not on PATH")
    rules = os.path.join(BUILD, "cmake_install.cmake")
    if not os.path.isfile(rules):
        raise AssertionError("no CMake build in %s: run tools/build first" % BUILD)
    proc = subprocess.run([cmake, "--install", BUILD, "--prefix", prefix],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if proc.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + proc.stdout)
    folder = os.path.join(prefix, "velmora")
    if not os.path.isfile(os.path.join(folder, "velmora.mod")):
        raise AssertionError("%s has no install rules for the Maya module (configured by an "
                             "older checkout?): rerun tools/build" % BUILD)
    return folder


def load_installer(folder):
    """The installer's namespace, run from `folder` like Maya runs a dropped file."""
    return runpy.run_path(os.path.join(folder, "velmora_install.py"), run_name="velmora_install")


def tree(folder):
    """Relative paths of all files under `folder`, sorted, with forward slashes."""
    out = []
    for parent, _dirs, files in os.walk(folder):
        for name in files:
            out.append(os.path.relpath(os.path.join(parent, name), folder).replace(os.sep, "/"))
    return sorted(out)

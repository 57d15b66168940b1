"""The layers of src/: each folder includes only its own headers and those
of the layers below it, so nothing depends upwards or in a circle, and the
two front ends (the window and the headless batch) never reach into each
other.

    module      the module body: binds everything below
    cli         velmora-batch: the subcommands, usage errors, exit statuses
    doctor      the checks of a real Maya and a share, run in mayapy
    background  batches started from Maya, watched and stopped through files
    farm        the render farm's commands
    headless    ui  the two front ends, side by side
    engine      the conversion rules both front ends drive
    core        the converter object, its log, the statistics report
    scene       the reading of scene files without Maya
    host        the C API, errors, Maya and the standard library

platform stands apart: build glue for one platform's runtime, it includes
no header of the project and none includes it.
"""

import os
import re
import unittest

from support import ROOT

SRC = os.path.join(ROOT, "src")

LAYERS = [("host",), ("scene",), ("core",), ("engine",), ("headless", "ui"), ("farm",), ("background",), ("doctor",),
          ("cli",), ("module",)]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
APART = ("platform",)

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def includes():
    """(including file, included path) for every #include "..." under src/,
    paths relative to src/ with "/"."""
    found = []
    for folder, _, names in os.walk(SRC):
        for name in sorted(names):
            if not name.endswith((".cpp", ".hpp", ".h")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            here = os.path.relpath(path, SRC).replace(os.sep, "/")
            found.extend((here, included) for included in INCLUDE.findall(text))
    return found


def wrong_way(here, included):
    """Why `here` may not include `included`, or None when it may."""
    source, _, _ = here.partition("/")
    target, slash, _ = included.partition("/")
    if not slash:
        return "names no folder"
    if not os.path.isfile(os.path.join(SRC, included)):
        return "no such header under src/"
    if source == target:
        return None
    if source in APART or target in APART:
        return "%s stands apart from the layers" % (source if source in APART else target)
    if source not in RANK or target not in RANK:
        return "a folder outside the layers (add it to LAYERS)"
    if RANK[target] == RANK[source]:
        return "across front ends"
    if RANK[target] > RANK[source]:
        return "upwards"
    return None


class Layers(unittest.TestCase):
    def test_every_include_goes_down_or_stays_in_its_folder(self):
        found = includes()
        self.assertGreater(len(found), 100)  # the walk saw the sources
        wrong = ["%s includes %s: %s" % (here, included, why)
                 for here, included in found for why in [wrong_way(here, included)] if why]
        self.assertEqual(wrong, [])

    def test_every_folder_of_src_has_its_place(self):
        folders = sorted(d for d in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, d)))
        self.assertEqual(folders, sorted(list(RANK) + list(APART)))

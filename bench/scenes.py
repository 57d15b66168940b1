"""velmora's reading of scene files (velmora.inspect, velmora-batch inspect)
beside a plain Python reading of the same facts, in the same run.

- A 100 MB Maya ASCII scene (meshes whose setAttr data runs over many lines,
  strings holding ";" and escaped quotes, a configuration script node): read
  by velmora.inspect, and by a Python reader that is right about statements
  spanning lines and ";" inside strings (a token loop over the text: the
  way careful Python readers of .ma files work).
- A 100 MB Maya Binary scene (FOR8, one group per node with a big data
  chunk): velmora.inspect, which reads chunk headers and seeks past the
  data, against a Python walk of the whole file's IFF structure.
- Memory: the peak resident size of a child process inspecting a 1 GB Maya
  ASCII scene, over that of the same process before it.
- velmora-batch inspect over a folder of 10,000 small scenes.

Each figure is the median of several rounds from the page cache (every file
is read once before the rounds).

Usage: python3 bench/scenes.py [--quick]
(bench/run builds the module first and runs this.)
"""

import argparse
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build-bench"))
SIM = os.path.join(ROOT, "sim")  # the module imports maya.cmds; the reader uses none of it
sys.path[:0] = [HERE, BUILD, SIM]

from table import write_table  # noqa: E402

MB = 1 << 20

# ------------------------------------------------------------------ scenes


def write_ascii_scene(path, size):
    """A Maya ASCII scene of about `size` bytes, as Maya writes big ones."""
    head = ('//Maya ASCII 2023 scene\n//Name: big.ma\n//Codeset: UTF-8\n'
            'requires maya "2023";\nrequires -nodeType "aiOptions" "mtoa" "5.2.1.1";\n'
            'currentUnit -l centimeter -a degree -t film;\n'
            'fileInfo "application" "maya";\nfileInfo "note" "a; b \\"quoted\\"";\n'
            'createNode script -n "sceneConfigurationScriptNode";\n'
            '\tsetAttr ".b" -type "string" "playbackOptions -min 1 -max 120 -ast 1 -aet 200 ";\n'
            '\tsetAttr ".st" 6;\n')
    row = "\t\t" + " ".join("%d.25 -%d.5 %d" % (i, i, i) for i in range(12)) + "\n"
    with open(path, "w") as f:
        f.write(head)
        n = 0
        while f.tell() < size:
            f.write('createNode transform -n "pCube%d";\ncreateNode mesh -n "pCubeShape%d" -p "pCube%d";\n'
                    '\tsetAttr ".ftn" -type "string" "textures/a;b.png";\n'
                    '\tsetAttr -s 4000 ".vt[0:3999]"\n' % (n, n, n))
            f.write(row * 330 + "\t\t0 0 0;\n")
            n += 1
        f.write('select -ne :time1;\n// End of big.ma\n')


def _chunk8(tag, data):
    pad = (-len(data)) % 8
    return tag + b"\0\0\0\0" + struct.pack(">Q", len(data)) + data + b"\0" * pad


def _group8(kind, tag, children):
    body = tag + b"".join(children)
    return kind + b"\0\0\0\0" + struct.pack(">Q", len(body)) + body


def write_binary_scene(path, size):
    """A FOR8 Maya Binary scene of about `size` bytes: a HEAD, then nodes
    with a name and a big data chunk each."""
    head = _group8(b"FOR8", b"HEAD", [_chunk8(b"VERS", b"2023\0"), _chunk8(b"LUNI", b"cm\0"),
                                      _chunk8(b"TUNI", b"film\0"), _chunk8(b"AUNI", b"deg\0"),
                                      _chunk8(b"PLUG", b"mtoa\x005.2.1.1\0")])
    data = os.urandom(256 * 1024)
    nodes = []
    total = len(head)
    n = 0
    while total < size:
        node = _group8(b"FOR8", b"DMSH", [_chunk8(b"CREA", b"\x04pCubeShape%d\0" % n),
                                          _chunk8(b"DATA", data)])
        nodes.append(node)
        total += len(node)
        n += 1
    body_size = 4 + total
    with open(path, "wb") as f:
        f.write(b"FOR8\0\0\0\0" + struct.pack(">Q", body_size) + b"Maya" + head)
        for node in nodes:
            f.write(node)


def write_small_scenes(folder, count):
    os.makedirs(folder)
    for i in range(count):
        sub = os.path.join(folder, "s%02d" % (i % 50))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "scene%05d.ma" % i), "w") as f:
            f.write('//Maya ASCII 2023 scene\nrequires maya "2023";\n'
                    'currentUnit -l centimeter -a degree -t film;\n'
                    'createNode transform -n "pCube1";\ncreateNode mesh -n "pCubeShape1" -p "pCube1";\n'
                    '\tsetAttr ".vt[0:2]" -type "float3" 0 0 0 1 1 1 2 2 2;\n')

# ------------------------------------------------------------------ the Python baselines


# A string (its end may lie in the next block), a comment, ";", other text.
TOKEN = re.compile(r'"(?:[^"\\]|\\.)*(?:"|\\?$)|//[^\n]*|;|[^";/]+|/', re.S)


def python_read_ascii(path):
    """Statements (";" outside strings and comments end them) and the facts
    inspect gives: version, requires, units, createNode names and types."""
    facts = {"requires": [], "nodes": 0, "types": {}}
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        first = f.readline()
        facts["version"] = first.split()[2] if first.startswith("//Maya ASCII") else None
        pending = ""
        words = []
        while True:
            block = f.read(4 * MB)
            if not block:
                break
            text = pending + block
            end = 0
            for m in TOKEN.finditer(text):
                tok = m.group()
                if m.end() == len(text) and not tok == ";":
                    break  # maybe cut by the block's end
                end = m.end()
                if tok == ";":
                    _statement(words, facts)
                    words = []
                elif tok.startswith("//"):
                    continue
                elif len(words) < 8:
                    words.extend(tok.split() if tok[0] != '"' else [tok])
            pending = text[end:]
    return facts


def _statement(words, facts):
    if not words:
        return
    if words[0] == "requires" and len(words) >= 3 and words[1] != "maya":
        facts["requires"].append(words[-2:])
    elif words[0] == "currentUnit":
        facts["units"] = words[1:]
    elif words[0] == "createNode" and len(words) > 1:
        facts["nodes"] += 1
        facts["types"][words[1]] = facts["types"].get(words[1], 0) + 1


def python_read_binary(path):
    """The whole file's IFF structure walked: node types and names, the
    HEAD's strings."""
    with open(path, "rb") as f:
        data = f.read()
    facts = {"nodes": 0, "types": {}, "head": {}}
    stack = [(16 + 4, len(data), b"Maya")]
    while stack:
        at, end, kind = stack.pop()
        while at + 16 <= end:
            tag = data[at:at + 4]
            size = struct.unpack_from(">Q", data, at + 8)[0]
            if tag in (b"FOR8", b"LIS8", b"CAT8"):
                group = data[at + 16:at + 20]
                if kind == b"Maya" and group != b"HEAD":
                    facts["nodes"] += 1
                    facts["types"][group] = facts["types"].get(group, 0) + 1
                stack.append((at + 20, at + 16 + size, group))
                at += 16 + size
            else:
                if kind == b"HEAD":
                    facts["head"][tag] = data[at + 16:at + 16 + size]
                at += 16 + size + (-size) % 8
    return facts

# ------------------------------------------------------------------ measuring


def median_seconds(function, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


MEMORY_CHILD = r"""
import resource, sys
sys.path[:0] = sys.argv[1].split("\n")
import velmora
velmora.inspect(sys.argv[3])  # a small scene: the module's own memory in use
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
facts = velmora.inspect(sys.argv[2])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) / 1024.0, facts["nodes"], len(facts["problems"]), after / 1024.0)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller files, fewer rounds")
    parser.add_argument("--only", help="ignored (bench/run passes its options on)")
    args = parser.parse_args()
    import velmora

    size = (10 if args.quick else 100) * MB
    rounds = 3 if args.quick else 5
    small = 1000 if args.quick else 10000
    tmp = tempfile.mkdtemp(prefix="velmora-bench-scenes-")
    try:
        ma, mb, huge = (os.path.join(tmp, n) for n in ("big.ma", "big.mb", "huge.ma"))
        write_ascii_scene(ma, size)
        write_binary_scene(mb, size)
        rows = []
        for path, python_reader, goal in ((ma, python_read_ascii, 400), (mb, python_read_binary, 2048)):
            mbytes = os.path.getsize(path) / MB
            facts = velmora.inspect(path)
            assert not facts["problems"], facts["problems"]
            native = median_seconds(lambda: velmora.inspect(path), rounds)
            python = median_seconds(lambda: python_reader(path), max(1, rounds // 2))
            rate = mbytes / native
            rows.append(("%s, %.0f MB, %d nodes" % (os.path.basename(path), mbytes, facts["nodes"]),
                         "%.0f MB/s" % rate, "%.1f MB/s" % (mbytes / python), "%.0fx" % (python / native),
                         ">= %d MB/s %s" % (goal, "met" if rate >= goal else "MISSED")))

        write_ascii_scene(huge, (100 if args.quick else 1024) * MB)
        small_scene = os.path.join(ROOT, "tests", "data", "scenes", "pymel", "skel.ma")
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, BUILD + "\n" + SIM, huge, small_scene],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.split()
        grown = float(out[0])
        rows.append(("memory, %.0f MB .ma (%s nodes)" % (os.path.getsize(huge) / MB, out[1]),
                     "+%.1f MB peak RSS (peak %.0f MB)" % (grown, float(out[3])), "", "", "<= 32 MB %s" % ("met" if grown <= 32 else "MISSED")))
        os.remove(huge)

        folder = os.path.join(tmp, "many")
        write_small_scenes(folder, small)
        command = [sys.executable, "-c", "import sys; sys.path[:0] = sys.argv[1:3]; import velmora; "
                   "sys.exit(velmora.batch_main(['inspect', sys.argv[3]]))", BUILD, SIM, folder]
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)  # the page cache, warm
        seconds = median_seconds(lambda: subprocess.run(command, stdout=subprocess.DEVNULL, check=True),
                                 max(1, rounds // 2))
        rows.append(("velmora-batch inspect, %d scenes" % small, "%.2f s" % seconds, "", "",
                     "< 10 s %s" % ("met" if seconds < 10 else "MISSED")))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("\nScene reading: velmora.inspect beside a Python reading of the same facts (median of rounds)\n")
    write_table(("Figure", "velmora", "Python", "speed-up", "goal"), rows)


if __name__ == "__main__":
    main()

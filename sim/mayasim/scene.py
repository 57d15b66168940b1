"""Scene state and the file formats the simulated host reads and writes.

The files have the structure of Maya's own, so that what a reader of real
scene files finds in the simulator's outputs is what it would find in
Maya's (see sim/README.md, "Scene files"):

* Maya ASCII: a MEL text (requires, currentUnit, fileInfo, file -rdi/-r,
  createNode, the range in a sceneConfigurationScriptNode), read back
  leniently, by statements, so that real .ma files open too.
* Maya Binary: IFF (mayasim/iff.py): a FOR8 group of type Maya holding a
  HEAD group, FRDI/FREF groups for references, one group per node.
* FBX: a real binary or text FBX header, then the simulator's record of
  the export as JSON.
"""
import hashlib
import json
import os
import re
import struct
import time

from . import iff

TIME_UNITS = (
    "game", "film", "pal", "ntsc", "show", "palf", "ntscf", "millisec", "sec",
    "min", "hour", "2fps", "3fps", "4fps", "5fps", "6fps", "8fps", "10fps",
    "12fps", "16fps", "20fps", "23.976fps", "29.97fps", "29.97df", "40fps",
    "47.952fps", "48fps", "50fps", "59.94fps", "75fps", "80fps", "100fps",
    "119.88fps", "120fps", "125fps", "150fps", "200fps", "240fps", "250fps",
    "300fps", "375fps", "400fps", "500fps", "600fps", "750fps", "1200fps",
    "1500fps", "2000fps", "3000fps", "6000fps", "44100fps", "48000fps",
)

ASCII_MAGIC = "//Maya ASCII"
FBX_BINARY_MAGIC = b"Kaydara FBX Binary  \x00\x1a\x00"
_FBX_TEXT_RE = re.compile(rb"; FBX (\d+)\.(\d+)\.(\d+) project file")

# The FBX file version each choice of the exporter's "FBX version" menu
# writes, as Autodesk's fbxio.h numbers them: 6100 is "FBX 6.1 (guarantee
# compatibility with Autodesk 2010 products)"; 7400 the newest version of
# the 2015 SDK (FBX_2014_00_COMPATIBLE); 7500 added with
# FBX_2016_00_COMPATIBLE (large files) and kept by FBX 2018; 7700 the
# version of FBX 2019 and 2020.  No version chosen: the plug-in's own, 7700.
FBX_FILE_VERSIONS = {
    "FBX202000": 7700, "FBX201900": 7700, "FBX201800": 7500, "FBX201600": 7500,
    "FBX201400": 7400, "FBX201300": 7300, "FBX201200": 7200, "FBX201100": 7100,
    "FBX201000": 6100, "FBX200900": 6100, "FBX200611": 6100,
}
FBX_DEFAULT_VERSION = 7700

# What a scene can make Maya do (see sim/README.md, "Scenes that misbehave"):
# a line "//mayasim: <behaviour>" in Maya ASCII, a fileInfo entry "mayasim"
# in Maya Binary and FBX.
# The test-only faults of misbehave.SESSION_MISBEHAVIOURS (saves, exports,
# and script nodes run on an open whatever it says) are markers too, so
# that one source of a batch can misbehave alone.
TEST_MISBEHAVIOURS = ("time-unit-lost-on-save", "time-unit-lost-on-export",
                      "node-lost-on-save", "reference-dropped-on-save",
                      "linear-unit-changed-on-save", "script-nodes-always-run")
BEHAVIOURS = ("crash-on-open", "abort-on-open", "exit-on-open", "hang-on-open",
              "noise-on-open", "dialog-on-open", "crash-on-save") + TEST_MISBEHAVIOURS
MARKER = "//mayasim:"
MARKER_KEY = "mayasim"

# The script node in which Maya keeps the playback range; the simulator
# models the range, not the node, so the node is no entry of `nodes`.
CONFIG_NODE = "sceneConfigurationScriptNode"

# Node types and their 4-character tags in Maya Binary, as real files show
# them.  Another type gets a tag of the form a plug-in's type id takes (raw
# bytes) and keeps its name in an attribute, TYPE_ATTR.
TYPE_TAGS = {
    "transform": b"XFRM", "mesh": b"DMSH", "camera": b"DCAM", "script": b"SCRP",
    "joint": b"JOIN", "nurbsCurve": b"NCRV", "groupId": b"GPID", "groupParts": b"GRPP",
    "objectSet": b"OBST", "skinCluster": b"FSCL", "tweak": b"FMPT", "dagPose": b"FPOS",
    "lightLinker": b"RLLK", "displayLayerManager": b"DPLM", "displayLayer": b"DSPL",
    "renderLayerManager": b"RNLM", "renderLayer": b"RNDL", "polyCube": b"PCUB",
    "makeNurbCircle": b"NCRC", "shapeEditorManager": b"SDML",
    "poseInterpolatorManager": b"PSDM",
}
TAG_TYPES = dict((tag, name) for name, tag in TYPE_TAGS.items())

# Linear units as currentUnit -l names them and as Maya Binary's LUNI holds
# them (the short names of currentUnit -q -l).
LINEAR_UNITS = {"millimeter": "mm", "centimeter": "cm", "meter": "m", "kilometer": "km",
                "inch": "in", "foot": "ft", "yard": "yd", "mile": "mi"}
LINEAR_NAMES = dict((short, name) for name, short in LINEAR_UNITS.items())

# The top-level statements of a Maya ASCII file that the simulator runs when
# it opens one (a .ma is MEL, run whatever executeScriptNodes says).
RUN_ON_OPEN = ("playbackOptions", "python", "scriptJob")
TYPE_ATTR = "mayasimType"
_DAG_ROOTS = ("transform", "joint")

# A save or export with a cost writes its file in this many flushed pieces.
WRITE_CHUNKS = 10


class SceneFileError(Exception):
    """A scene file could not be read or written (message is Maya-like)."""


class Scene(object):
    def __init__(self):
        self.clear()

    def clear(self):
        self.path = ""
        self.modified = False
        self.time_unit = "film"
        self.playback_min = 1.0
        self.playback_max = 120.0
        self.animation_start = 1.0
        self.animation_end = 200.0
        self.nodes = []
        self.node_types = {}
        self.parents = {}          # node name -> its parent's name
        self.requires = []         # [plug-in, version] the scene needs
        self.file_info = {}        # fileInfo key -> value (no marker)
        self.references = []       # dicts: path namespace node loaded
        self.linear_unit = "centimeter"
        # Script nodes (entries of `nodes` of type script): name -> dict
        # before, after, type (.st), python (.stp 1), written back untouched.
        self.script_nodes = {}
        self.selection = []
        self.undo_queue = 0
        self.file_type = "mayaAscii"
        self.behaviour = None      # the marker of the scene file last opened
        self.bytes = 0             # the size of the scene file last opened

    def add_node(self, name, node_type="transform", parent=None):
        if name not in self.node_types:
            self.nodes.append(name)
        self.node_types[name] = node_type
        if parent:
            self.parents[name] = parent

    def node_records(self, names=None):
        names = self.nodes if names is None else names
        return [[n, self.node_types.get(n, "transform")] for n in names]

    def load(self, data):
        """Replace the content with a dict as returned by read_scene_file.

        The range of a Maya file is not data: it is set by running its
        configuration script node (or a top-level playbackOptions), which
        the open does (commands.open_scene). An FBX record's range is.
        """
        path = self.path
        self.clear()
        self.path = path
        self.time_unit = data.get("unit", "film")
        self.linear_unit = data.get("linear", "centimeter")
        if data.get("format") == "FBX":
            self.playback_min = float(data.get("min", 1.0))
            self.playback_max = float(data.get("max", 120.0))
            self.animation_start = float(data.get("ast", self.playback_min))
            self.animation_end = float(data.get("aet", self.playback_max))
        self.script_nodes = dict((n, dict(v)) for n, v in data.get("script_nodes", {}).items())
        parents = data.get("parents", {})
        for name, node_type in data.get("nodes", []):
            self.add_node(name, node_type, parents.get(name))
        self.requires = [list(r) for r in data.get("requires", [])]
        self.file_info = dict(data.get("file_info", {}))
        self.references = [dict(r) for r in data.get("references", [])]


def record(scene, version, names=None):
    """What a writer writes of `scene` (all nodes, or those named)."""
    nodes = scene.node_records(names)
    kept = set(n for n, _ in nodes)
    return {"version": version, "unit": scene.time_unit, "linear": scene.linear_unit,
            "script_nodes": dict((n, dict(v)) for n, v in scene.script_nodes.items()
                                 if n in kept),
            "min": scene.playback_min,
            "max": scene.playback_max, "ast": scene.animation_start,
            "aet": scene.animation_end, "nodes": nodes,
            "parents": dict((n, p) for n, p in scene.parents.items() if n in kept),
            "requires": [list(r) for r in scene.requires],
            "file_info": dict(scene.file_info),
            "references": [dict(r) for r in scene.references]}


def _num(v):
    v = float(v)
    return repr(int(v)) if v == int(v) else repr(v)


def _mel_quote(text):
    body = (text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
            .replace("\t", "\\t").replace("\r", "\\r"))
    return '"%s"' % body


def range_text(rec):
    """The script of the sceneConfigurationScriptNode, as Maya writes it."""
    ast = rec.get("ast", rec["min"])
    aet = rec.get("aet", rec["max"])
    return "playbackOptions -min %s -max %s -ast %s -aet %s " % (
        _num(rec["min"]), _num(rec["max"]), _num(ast), _num(aet))


def _file_info(rec):
    """The fileInfo entries a save writes: the scene's, with the saving
    Maya's own application, product and version."""
    info = dict(rec.get("file_info", {}))
    info.update(application="maya", product="Maya %s" % rec["version"],
                version=rec["version"])
    return info


def _user_nodes(rec):
    return [(n, t) for n, t in rec["nodes"] if n != CONFIG_NODE]


def _reference_type(path):
    return "mayaBinary" if path.lower().endswith(".mb") else "mayaAscii"


# ------------------------------------------------------------------ writing

def _write_bytes(path, data, cost=0.0, interrupt=None):
    """Write `data` to `path`.

    With a cost (seconds) the file is written in WRITE_CHUNKS flushed pieces,
    one after each slice of the cost, so the file grows while Maya "works".
    `interrupt`, when given, is called once about half of the file is written
    and flushed (it crashes the process and does not return).
    """
    cost = float(cost or 0.0)
    try:
        with open(path, "wb") as f:
            if cost <= 0 and interrupt is None:
                f.write(data)
                return
            step = max(1, -(-len(data) // WRITE_CHUNKS))
            for i in range(WRITE_CHUNKS):
                if cost > 0:
                    time.sleep(cost / WRITE_CHUNKS)
                f.write(data[i * step:(i + 1) * step])
                f.flush()
                if interrupt is not None and i + 1 == WRITE_CHUNKS // 2:
                    interrupt()
    except (OSError, IOError) as e:
        raise SceneFileError("Could not save file: %s (%s)" % (path, e.strerror or e))


def _enc(text):
    return text.encode("utf-8", "surrogateescape")


def ascii_text(path, rec, behaviour=None, statements=()):
    # A comment ends at a line break: one in a file's name would turn the
    # rest of the name into MEL that runs on open.
    name = os.path.basename(path).replace("\r", " ").replace("\n", " ")
    lines = ["//Maya ASCII %s scene" % rec["version"], "//Name: %s" % name,
             "//Codeset: UTF-8"]
    if behaviour:
        lines.append("%s %s" % (MARKER, behaviour))
    for ref in rec.get("references", []):
        common = "-ns %s -rfn %s -typ %s %s;" % (
            _mel_quote(ref["namespace"]), _mel_quote(ref["node"]),
            _mel_quote(_reference_type(ref["path"])), _mel_quote(ref["path"]))
        lines.append("file -rdi 1 " + common)
    for ref in rec.get("references", []):
        lines.append("file -r -ns %s%s -rfn %s -typ %s %s;" % (
            _mel_quote(ref["namespace"]), "" if ref.get("loaded", True) else " -dr 1",
            _mel_quote(ref["node"]), _mel_quote(_reference_type(ref["path"])),
            _mel_quote(ref["path"])))
    lines.append('requires maya "%s";' % rec["version"])
    for plugin, version in rec.get("requires", []):
        lines.append("requires %s %s;" % (_mel_quote(plugin), _mel_quote(version)))
    lines.append("currentUnit -l %s -a degree -t %s;" % (rec.get("linear", "centimeter"),
                                                          rec["unit"]))
    for key, value in _file_info(rec).items():
        lines.append("fileInfo %s %s;" % (_mel_quote(key), _mel_quote(value)))
    lines += [st.rstrip().rstrip(";") + ";" for st in statements]
    parents = rec.get("parents", {})
    scripts = rec.get("script_nodes", {})
    for node, node_type in _user_nodes(rec):
        parent = parents.get(node)
        lines.append("createNode %s -n %s%s;" % (node_type, _mel_quote(node),
                                                 " -p %s" % _mel_quote(parent) if parent else ""))
        if node in scripts:
            lines += _ascii_script_attrs(scripts[node])
    lines += ['createNode script -n "%s";' % CONFIG_NODE,
              '\tsetAttr ".b" -type "string" %s;' % _mel_quote(range_text(rec)),
              '\tsetAttr ".st" 6;',
              "// End of %s" % name]
    return "\n".join(lines) + "\n"


def _ascii_script_attrs(script):
    """The attributes of a script node as Maya writes them: the texts, the
    type, the language when Python (only what differs from the defaults)."""
    lines = []
    for attr in ("b", "a"):
        text = script.get({"b": "before", "a": "after"}[attr]) or ""
        if text:
            lines.append('\tsetAttr ".%s" -type "string" %s;' % (attr, _mel_quote(text)))
    lines.append('\tsetAttr ".st" %d;' % int(script.get("type", 0)))
    if script.get("python"):
        lines.append('\tsetAttr ".stp" 1;')
    return lines


def write_ascii(path, scene, version="2024", **how):
    """`how`: cost, interrupt (see _write_bytes)."""
    _write_bytes(path, _enc(ascii_text(path, record(scene, version))), **how)


def _identity(name):
    # Files from Maya 2016 on follow a node's name (and parent) with 16
    # bytes of identity; any stable bytes do here.
    return hashlib.md5(_enc("mayasim|" + name)).digest()


def _crea(name, node_type, parent):
    if parent:
        flags = 0x0c if node_type in _DAG_ROOTS else 0x04
    else:
        flags = 0x8c if node_type in _DAG_ROOTS else 0x80
    data = bytes([flags]) + _enc(name) + b"\0"
    if parent:
        data += _enc(parent) + b"\0"
    return iff.chunk(b"CREA", data + _identity(name))


def _str_attr(attr, value):
    return iff.chunk(b"STR ", _enc(attr) + b"\0 " + _enc(value) + b"\0")


def _dble_attr(attr, value):
    return iff.chunk(b"DBLE", _enc(attr) + b"\0 " + struct.pack(">d", value))


def _type_tag(node_type):
    tag = TYPE_TAGS.get(node_type)
    if tag is None:
        # Shaped like a plug-in node's type id: never one of the 4-letter tags.
        tag = b"\x00\x7f" + hashlib.md5(_enc(node_type)).digest()[:2]
    return tag


def binary_bytes(rec, behaviour=None, pad=0):
    date = time.strftime("%a, %b %d, %Y %I:%M:%S %p")
    head = [iff.chunk(tag, _enc(value)) for tag, value in (
        (b"VERS", rec["version"]), (b"UVER", "undef"), (b"MADE", "undef"),
        (b"CHNG", date), (b"ICON", "undef"), (b"INFO", "undef"), (b"OBJN", "undef"),
        (b"INCL", "undef"),
        (b"LUNI", LINEAR_UNITS.get(rec.get("linear", "centimeter"), "cm")),
        (b"TUNI", rec["unit"]), (b"AUNI", "deg"))]
    info = _file_info(rec)
    if behaviour:
        info[MARKER_KEY] = behaviour
    head += [iff.chunk(b"FINF", _enc(k) + b"\0" + _enc(v) + b"\0") for k, v in info.items()]
    head += [iff.chunk(b"PLUG", _enc(p) + b"\0" + _enc(v) + b"\0\0")
             for p, v in rec.get("requires", [])]
    groups = [iff.group(b"FOR8", b"HEAD", head)]
    refs = rec.get("references", [])
    for ref in refs:
        data = (b"\0\0\0\1" + _enc(ref["path"]) + b"\0" + _enc(ref["namespace"]) + b"\0"
                + b"\1\0" + _enc(ref["node"]) + b"\0")
        groups.append(iff.group(b"FOR8", b"FRDI", [iff.chunk(b"FRDI", data)]))
    for ref in refs:
        loaded = b"\1" if ref.get("loaded", True) else b"\0"
        data = (_enc(ref["path"]) + b"\0" + _enc(ref["namespace"]) + b"\0" + b"\1" + loaded
                + _enc(ref["node"]) + b"\0")
        groups.append(iff.group(b"FOR8", b"FREF", [iff.chunk(b"FREF", data)]))
    parents = rec.get("parents", {})
    scripts = rec.get("script_nodes", {})
    padded = pad <= 0
    for node, node_type in _user_nodes(rec):
        children = [_crea(node, node_type, parents.get(node))]
        if node_type not in TYPE_TAGS:
            children.append(_str_attr(TYPE_ATTR, node_type))
        if node in scripts:
            children += _binary_script_attrs(scripts[node])
        if not padded:
            children.append(_str_attr("nts", "x" * pad))   # the node's notes
            padded = True
        groups.append(iff.group(b"FOR8", _type_tag(node_type), children))
    config = [_crea(CONFIG_NODE, "script", None), _str_attr("b", range_text(rec)),
              _dble_attr("st", 6.0)]
    if not padded:
        config.append(_str_attr("nts", "x" * pad))
    groups.append(iff.group(b"FOR8", b"SCRP", config))
    return iff.group(b"FOR8", b"Maya", groups)


def _binary_script_attrs(script):
    chunks = []
    for attr, key in (("b", "before"), ("a", "after")):
        if script.get(key):
            chunks.append(_str_attr(attr, script[key]))
    chunks.append(_dble_attr("st", float(script.get("type", 0))))
    if script.get("python"):
        chunks.append(_dble_attr("stp", 1.0))
    return chunks


def write_binary(path, scene, version="2024", **how):
    _write_bytes(path, binary_bytes(record(scene, version)), **how)


def fbx_version(settings):
    return FBX_FILE_VERSIONS.get((settings or {}).get("FileVersion"), FBX_DEFAULT_VERSION)


def fbx_bytes(rec, settings, selected_only, behaviour=None, pad=0):
    version = fbx_version(settings)
    ascii_ = bool((settings or {}).get("InAscii"))
    doc = {"version": rec["version"], "fbx_version": version, "ascii": ascii_,
           "unit": rec["unit"], "min": rec["min"], "max": rec["max"],
           "nodes": rec["nodes"], "parents": rec.get("parents", {}),
           "settings": dict(settings or {}), "selected_only": bool(selected_only)}
    if behaviour:
        doc["file_info"] = {MARKER_KEY: behaviour}
    if pad > 0:
        doc["pad"] = "x" * pad
    body = _enc(json.dumps(doc, indent=1, sort_keys=True)) + b"\n"
    if ascii_:
        header = "; FBX %d.%d.%d project file\n" % (version // 1000, version // 100 % 10,
                                                    version // 10 % 10)
        return header.encode("ascii") + body
    return FBX_BINARY_MAGIC + struct.pack("<I", version) + b"\n" + body


def write_fbx(path, scene, node_names, settings, selected_only, version="2024", **how):
    rec = record(scene, version, node_names)
    _write_bytes(path, fbx_bytes(rec, settings, selected_only), **how)


# ------------------------------------------------------------------ reading

_PB_RE = {
    "min": re.compile(r'-min(?:Time)?\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "max": re.compile(r'-max(?:Time)?\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "ast": re.compile(r'-(?:ast|animationStartTime)\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "aet": re.compile(r'-(?:aet|animationEndTime)\s+(-?[0-9.]+(?:e-?\d+)?)'),
}

# MEL tokens: a string, a comment, a statement's end, a word.  A string may
# hold `;` and `//`; a statement may span lines.
_TOKEN_RE = re.compile(r'"(?:[^"\\]|\\.)*"?|//[^\n]*|;|[^\s";/]+|/')


def _mel_unescape(text):
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "t": "\t", "r": "\r"}.get(nxt, nxt))
            i += 2
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def _is_str(tok):
    return tok.startswith('"')


def _str(tok):
    body = tok[1:-1] if len(tok) >= 2 and tok.endswith('"') else tok[1:]
    return _mel_unescape(body)


def _statements(text):
    """Yield (tokens, marker) per statement; marker is the behaviour named
    by a //mayasim: comment standing between statements."""
    toks = []
    for m in _TOKEN_RE.finditer(text):
        tok = m.group(0)
        if tok == ";":
            if toks:
                yield toks, None
            toks = []
        elif tok.startswith("//"):
            if not toks and tok.startswith(MARKER):
                yield None, tok[len(MARKER):].strip()
        else:
            toks.append(tok)
    if toks:
        yield toks, None


def _flag_values(toks, with_value):
    """Flags of a statement (-name -> value or True) and its positional
    tokens; `with_value`: the flags that take one."""
    flags, args, i = {}, [], 1
    while i < len(toks):
        tok = toks[i]
        if tok.startswith("-") and not _is_str(tok) and not re.match(r"-[0-9.]", tok):
            name = tok[1:]
            if name in with_value and i + 1 < len(toks):
                flags[name] = toks[i + 1]
                i += 2
                continue
            flags[name] = True
        else:
            args.append(tok)
        i += 1
    return flags, args


def _apply_range(data, text):
    for key, rx in _PB_RE.items():
        v = rx.search(text)
        if v:
            try:
                data[key] = float(v.group(1))
            except ValueError:
                pass


def _ascii_requires(data, toks):
    flags, args = _flag_values(toks, ("nodeType", "dataType", "nt", "dt"))
    strings = [_str(t) for t in args if _is_str(t)]
    if len(strings) >= 2:
        if strings[0] == "maya":
            data["version"] = strings[1]
        else:
            data["requires"].append([strings[0], strings[1]])


def _ascii_unit(data, toks):
    flags, _ = _flag_values(toks, ("t", "time", "l", "linear", "a", "angle"))
    linear = flags.get("l", flags.get("linear"))
    if isinstance(linear, str):
        linear = _str(linear) if _is_str(linear) else linear
        linear = LINEAR_NAMES.get(linear, linear)
        if linear in LINEAR_UNITS:
            data["linear"] = linear
        else:
            data["warnings"].append("unknown linear unit %r" % linear)
    unit = flags.get("t", flags.get("time"))
    if unit is True or unit is None:
        return
    unit = _str(unit) if _is_str(unit) else unit
    if unit in TIME_UNITS:
        data["unit"] = unit
    else:
        data["warnings"].append("unknown time unit %r" % unit)


def _ascii_reference(data, toks):
    flags, args = _flag_values(toks, ("rdi", "ns", "namespace", "rfn", "referenceNode",
                                      "dr", "deferReference", "typ", "type", "op", "options",
                                      "shd", "sharedNodes", "rpr", "renamingPrefix"))
    if not (flags.get("r") is True or flags.get("reference") is True) or not args:
        return
    if not _is_str(args[-1]):
        return
    ns = flags.get("ns", flags.get("namespace"))
    node = flags.get("rfn", flags.get("referenceNode"))
    dr = flags.get("dr", flags.get("deferReference", "0"))
    data["references"].append({
        "path": _str(args[-1]),
        "namespace": _str(ns) if isinstance(ns, str) and _is_str(ns) else "",
        "node": _str(node) if isinstance(node, str) and _is_str(node) else "",
        "loaded": str(dr) not in ("1", "true", "on", "yes")})


def _ascii_create(data, toks):
    flags, args = _flag_values(toks, ("n", "name", "p", "parent"))
    name = flags.get("n", flags.get("name"))
    if not args or not isinstance(name, str) or not _is_str(name):
        return None
    name, node_type = _str(name), args[0]
    if node_type == "script":
        _new_script(data, name)
    if name == CONFIG_NODE:
        return name
    data["nodes"].append([name, node_type])
    parent = flags.get("p", flags.get("parent"))
    if isinstance(parent, str) and _is_str(parent):
        data["parents"][name] = _str(parent)
    return name


def _set_attr_string(toks):
    """The value of `setAttr ".x" -type "string" "..." [+ "..."]`: MEL
    joins the pieces of a long string written over several lines."""
    pieces, i = [], 2
    while i < len(toks):
        if toks[i] == "-type":
            i += 2
            continue
        if _is_str(toks[i]):
            pieces.append(_str(toks[i]))
        i += 1
    return "".join(pieces)


def _new_script(data, name):
    """A script node read from a file: its texts, type and language, in the
    order the file holds them (the configuration node apart)."""
    script = {"before": "", "after": "", "type": 0, "python": False}
    if name == CONFIG_NODE:
        data["config_script"] = script
    else:
        data["script_nodes"][name] = script
    data["script_order"].append(name)
    return script


def _script_of(data, name):
    if name == CONFIG_NODE:
        return data.get("config_script")
    return data["script_nodes"].get(name)


def _number(text):
    try:
        return int(float(text))
    except ValueError:
        return None


def _ascii_script_attr(data, current, toks):
    """setAttr of a script node's .b, .a, .st or .stp."""
    script = _script_of(data, current) if current else None
    if script is None or len(toks) < 3 or not _is_str(toks[1]):
        return
    attr = _str(toks[1])
    if attr in (".b", ".a"):
        script["before" if attr == ".b" else "after"] = _set_attr_string(toks)
    elif attr in (".st", ".stp") and not _is_str(toks[2]):
        value = _number(toks[2])
        if value is not None:
            if attr == ".st":
                script["type"] = value
            else:
                script["python"] = value == 1


def _empty_data():
    return {"unit": "film", "linear": "centimeter", "min": 1.0, "max": 120.0, "nodes": [],
            "parents": {}, "requires": [], "file_info": {}, "references": [], "warnings": [],
            "behaviour": None, "script_nodes": {}, "config_script": None, "script_order": [],
            "top_level": []}


def parse_ascii(text):
    data = _empty_data()
    m = re.match(r"//Maya ASCII (\S+)", text)
    if m:
        data["version"] = m.group(1)
    current = None
    for toks, marker in _statements(text):
        if toks is None:
            data["behaviour"] = marker
            continue
        word = toks[0]
        if word == "createNode":
            current = _ascii_create(data, toks)
        elif word == "setAttr":
            _ascii_script_attr(data, current, toks)
            if current == CONFIG_NODE and len(toks) > 1 and _is_str(toks[1]) \
                    and _str(toks[1]) == ".b":
                _apply_range(data, _set_attr_string(toks))
        elif word in RUN_ON_OPEN:
            data["top_level"].append(" ".join(toks))
            if word == "playbackOptions":
                _apply_range(data, " ".join(toks))
        elif word == "requires":
            _ascii_requires(data, toks)
        elif word == "currentUnit":
            _ascii_unit(data, toks)
        elif word == "fileInfo":
            strings = [_str(t) for t in toks[1:] if _is_str(t)]
            if len(strings) >= 2:
                if strings[0] == MARKER_KEY:
                    data["behaviour"] = strings[1]
                else:
                    data["file_info"][strings[0]] = strings[1]
        elif word == "file":
            _ascii_reference(data, toks)
        elif word in ("select", "connectAttr", "relationship"):
            current = None     # what follows no longer applies to the last node
    return data


def _dec(raw):
    return raw.decode("utf-8", "surrogateescape")


def _cstrings(raw):
    return [_dec(s) for s in raw.split(b"\0")]


def _crea_fields(data):
    """(name, parent or None) from a CREA chunk: a flags byte, the name,
    the parent's name when there is one, then (Maya 2016 on) 16 bytes of
    identity."""
    rest = data[1:]
    nul = rest.find(b"\0")
    if nul < 0:
        return _dec(rest), None
    name, rest = _dec(rest[:nul]), rest[nul + 1:]
    if len(rest) > 16 and b"\0" in rest[:-16]:
        return name, _dec(rest[:rest.index(b"\0")])
    if len(rest) <= 16 and rest.endswith(b"\0") and rest.find(b"\0") == len(rest) - 1 \
            and len(rest) > 1 and all(32 <= b < 127 for b in rest[:-1]):
        return name, _dec(rest[:-1])
    return name, None


def _attr(chunk):
    """(attribute name, value bytes) of an attribute chunk: the name, a
    flags byte, the value."""
    nul = chunk.data.find(b"\0")
    if nul < 0:
        return None, b""
    return _dec(chunk.data[:nul]), chunk.data[nul + 2:]


def _tag_type(tag):
    if tag in TAG_TYPES:
        return TAG_TYPES[tag]
    if all(32 <= b < 127 for b in tag):
        return tag.decode("ascii")
    return "0x" + tag.hex()


def _binary_head(data, grp):
    for c in grp.children:
        if c.is_group:
            continue
        if c.tag == b"VERS":
            data["version"] = _dec(c.data.rstrip(b"\0"))
        elif c.tag == b"LUNI":
            unit = LINEAR_NAMES.get(_dec(c.data.rstrip(b"\0")))
            if unit:
                data["linear"] = unit
        elif c.tag == b"TUNI":
            unit = _dec(c.data.rstrip(b"\0"))
            if unit in TIME_UNITS:
                data["unit"] = unit
            else:
                data["warnings"].append("unknown time unit %r" % unit)
        elif c.tag == b"FINF":
            parts = _cstrings(c.data)
            if len(parts) >= 2:
                if parts[0] == MARKER_KEY:
                    data["behaviour"] = parts[1]
                else:
                    data["file_info"][parts[0]] = parts[1]
        elif c.tag == b"PLUG":
            parts = _cstrings(c.data)
            if len(parts) >= 2:
                data["requires"].append([parts[0], parts[1]])


def _binary_reference(data, grp):
    for c in grp.children:
        if c.tag == b"FREF" and not c.is_group:
            raw = c.data
            parts = raw.split(b"\0", 2)
            if len(parts) < 3 or len(parts[2]) < 2:
                continue
            flags, node = parts[2][:2], parts[2][2:].split(b"\0")[0]
            data["references"].append({"path": _dec(parts[0]), "namespace": _dec(parts[1]),
                                       "node": _dec(node), "loaded": flags[1:2] != b"\0"})


def _binary_node(data, grp):
    first = grp.children[0]
    name, parent = _crea_fields(first.data)
    node_type = _tag_type(grp.gtype)
    attrs = {}
    for c in grp.children[1:]:
        if c.is_group:
            continue
        if c.tag == b"STR ":
            attr, value = _attr(c)
            if attr in ("b", "a", TYPE_ATTR):
                attrs[attr] = _dec(value.split(b"\0")[0])
        elif c.tag == b"DBLE":
            attr, value = _attr(c)
            if attr in ("st", "stp") and len(value) >= 8:
                attrs[attr] = int(struct.unpack(">d", value[:8])[0])
    if grp.gtype not in TAG_TYPES and TYPE_ATTR in attrs:
        node_type = attrs[TYPE_ATTR]
    if node_type == "script":
        script = _new_script(data, name)
        script.update(before=attrs.get("b", ""), after=attrs.get("a", ""),
                      type=attrs.get("st", 0), python=attrs.get("stp", 0) == 1)
    if name == CONFIG_NODE:
        if "b" in attrs:
            _apply_range(data, attrs["b"])
        return
    data["nodes"].append([name, node_type])
    if parent:
        data["parents"][name] = parent


def parse_binary(raw):
    root = iff.walk(raw)
    if root.gtype != b"Maya":
        raise iff.IffError("the top group is of type %r, not Maya" % root.gtype)
    data = _empty_data()
    for grp in root.children:
        if not grp.is_group:
            continue
        if grp.gtype == b"HEAD":
            _binary_head(data, grp)
        elif grp.gtype == b"FREF":
            _binary_reference(data, grp)
        elif grp.children and grp.children[0].tag == b"CREA" and not grp.children[0].is_group:
            _binary_node(data, grp)
    return data


def parse_fbx(raw):
    """The simulator's record after an FBX header, with the header's version."""
    if raw.startswith(FBX_BINARY_MAGIC):
        if len(raw) < len(FBX_BINARY_MAGIC) + 4:
            raise ValueError("truncated header")
        version = struct.unpack("<I", raw[len(FBX_BINARY_MAGIC):len(FBX_BINARY_MAGIC) + 4])[0]
        body, ascii_ = raw[len(FBX_BINARY_MAGIC) + 4:], False
    else:
        m = _FBX_TEXT_RE.match(raw)
        version = int(m.group(1)) * 1000 + int(m.group(2)) * 100 + int(m.group(3)) * 10
        body, ascii_ = raw[m.end():], True
    data = json.loads(_dec(body))
    if not isinstance(data, dict):
        raise ValueError("no record")
    data["fbx_version"], data["ascii"] = version, ascii_
    data.pop("pad", None)
    info = dict(data.get("file_info") or {})
    data["behaviour"] = info.pop(MARKER_KEY, None)
    data["file_info"] = info
    data["nodes"] = [list(n) if isinstance(n, (list, tuple)) else [n, "transform"]
                     for n in data.get("nodes", [])]
    return data


def read_scene_file(path):
    """Read a scene; returns dict(format, version, unit, min, max, [ast, aet],
    nodes, parents, requires, file_info, references, behaviour, ...)."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except (OSError, IOError) as e:
        raise SceneFileError("Could not open file: %s (%s)" % (path, e.strerror or e))
    if raw.startswith(ASCII_MAGIC.encode("ascii")):
        data = parse_ascii(_dec(raw))
        data["format"] = "mayaAscii"
        return data
    if iff.variant(raw):
        try:
            data = parse_binary(raw)
        except iff.IffError as e:
            raise SceneFileError("Could not open file: %s (corrupt mayaBinary data: %s)"
                                 % (path, e))
        data["format"] = "mayaBinary"
        return data
    if raw.startswith(FBX_BINARY_MAGIC) or _FBX_TEXT_RE.match(raw):
        try:
            data = parse_fbx(raw)
        except ValueError:
            raise SceneFileError("Could not open file: %s (corrupt FBX data)" % path)
        data["format"] = "FBX"
        return data
    raise SceneFileError("Could not open file: %s (unrecognized file type)" % path)


def write_scene(path, unit="film", pmin=1, pmax=120, nodes=("pCube1",), fmt="ma",
                version="2024", behaviour=None, pad=0, parents=None, requires=(),
                file_info=None, references=(), scripts=None, linear="centimeter",
                statements=()):
    """Create a source scene for tests.  nodes: names or (name, type) pairs.

    fmt: "ma" (Maya ASCII), "mb" (Maya Binary) or "fbx" (binary FBX).
    behaviour: None or one of BEHAVIOURS, written as the scene's marker.
    pad: about this many more bytes of content that changes nothing (a
    comment in Maya ASCII, a node's notes in Maya Binary, an unread key in
    the FBX record), for big scenes.
    scripts: {name: {before, after, type, python}}: script nodes (added to
    the nodes, of type script, when not among them).
    linear: the linear unit (a currentUnit -l name).
    statements: MEL statements written at the top level of a Maya ASCII file
    (after its fileInfo), which Maya runs whenever it reads the file.
    """
    if behaviour is not None and behaviour not in BEHAVIOURS:
        raise ValueError("unknown behaviour %r (known: %s)" % (behaviour, ", ".join(BEHAVIOURS)))
    if linear not in LINEAR_UNITS:
        raise ValueError("unknown linear unit %r" % (linear,))
    recs = [[n, "transform"] if isinstance(n, str) else [n[0], n[1]] for n in nodes]
    script_nodes = {}
    for name, script in (scripts or {}).items():
        if name not in [n for n, _ in recs]:
            recs.append([name, "script"])
        script_nodes[name] = {"before": script.get("before", ""),
                              "after": script.get("after", ""),
                              "type": int(script.get("type", 0)),
                              "python": bool(script.get("python", False))}
    rec = {"version": version, "unit": unit, "linear": linear, "min": float(pmin),
           "max": float(pmax), "nodes": recs, "parents": dict(parents or {}),
           "requires": [list(r) for r in requires], "file_info": dict(file_info or {}),
           "references": [dict(r) for r in references], "script_nodes": script_nodes}
    if statements and fmt != "ma":
        raise ValueError("top-level statements exist in Maya ASCII only")
    if fmt == "ma":
        text = ascii_text(path, rec, behaviour, statements)
        if pad > 0:
            text += "// " + "x" * pad + "\n"
        data = _enc(text)
    elif fmt == "mb":
        data = binary_bytes(rec, behaviour, pad)
    elif fmt == "fbx":
        data = fbx_bytes(rec, {}, False, behaviour, pad)
    else:
        raise ValueError("unknown scene format %r" % fmt)
    _write_bytes(path, data)
    return path

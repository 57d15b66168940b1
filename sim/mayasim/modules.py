"""Maya's reading of module files (*.mod), for tests of what a module file
makes a given Maya load.

    from mayasim import modules
    found = modules.resolve("/path/velmora.mod", maya_version="2024", platform="win64")
    found.paths("PYTHONPATH")          # absolute folders, in Maya's order
    modules.find_extension(found, "velmora", "win64")   # the binary `import` takes

The rules modelled, as Maya applies them at start-up:

* A description line is `+ [MAYAVERSION:v] [PLATFORM:p] [LOCALE:l] name
  version path`. The conditions are optional but, when present, in exactly
  that order; a line with a condition out of order or unknown is not a
  description Maya takes (it is reported in `Resolution.ignored`).
* PLATFORM is one of win64, linux, mac; MAYAVERSION is the major version
  ("2024" matches Maya 2024.2); LOCALE is a locale name such as ja_JP.
* The path is the rest of the line (it may hold spaces); a relative path is
  relative to the folder holding the module file.
* The lines below a description, up to the next one, belong to it:
  `VAR = value` sets, `VAR += value` appends, `VAR := rel` and
  `VAR +:= rel` do the same with a path relative to the module's folder.
  Lines starting with `#` and blank lines are skipped.
* Of the descriptions of one module name, the first whose conditions all
  hold is taken; the others are skipped.
* Of the taken module's folder, `scripts` goes on PYTHONPATH and
  MAYA_SCRIPT_PATH, `icons` on XBMLANGPATH, `plug-ins` on MAYA_PLUG_IN_PATH
  and `presets` on MAYA_PRESET_PATH, each only when the folder exists, and
  before the file's own entries.
"""
import os
import re

PLATFORMS = ("win64", "linux", "mac")
CONDITION_ORDER = ("MAYAVERSION", "PLATFORM", "LOCALE")
DEFAULT_FOLDERS = (("scripts", ("PYTHONPATH", "MAYA_SCRIPT_PATH")),
                   ("icons", ("XBMLANGPATH",)),
                   ("plug-ins", ("MAYA_PLUG_IN_PATH",)),
                   ("presets", ("MAYA_PRESET_PATH",)))
# Extension file names Python tries on each platform, in its order.
EXTENSION_SUFFIXES = {"win64": (".pyd",), "linux": (".abi3.so", ".so"),
                      "mac": (".abi3.so", ".so")}
ASSIGNMENT = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*)\s*(\+:=|:=|\+=|=)\s*(.*)$")


class ModuleFileError(ValueError):
    """A module file Maya could not read at all."""


class Description(object):
    """One `+` line and the environment lines under it."""

    def __init__(self, line_number, conditions, name, version, path):
        self.line_number = line_number
        self.conditions = conditions  # {"MAYAVERSION": "2024", ...}
        self.name = name
        self.version = version
        self.path = path
        self.assignments = []  # (variable, operator, value)

    def applies(self, maya_version, platform, locale):
        wanted = {"MAYAVERSION": str(maya_version).split(".")[0], "PLATFORM": platform,
                  "LOCALE": locale}
        return all(value == wanted[key] for key, value in self.conditions.items())


class Module(object):
    """A module Maya takes: its folder and the environment it adds."""

    def __init__(self, description, root):
        self.description = description
        self.name = description.name
        self.version = description.version
        self.root = root
        self.environment = {}  # variable -> [values], in order

    def paths(self, variable):
        return list(self.environment.get(variable, []))


class Resolution(object):
    def __init__(self):
        self.modules = []   # Module, in the file's order
        self.ignored = []   # (line number, reason)

    def module(self, name):
        for module in self.modules:
            if module.name == name:
                return module
        return None


def parse(text):
    """(descriptions, ignored lines) of a module file's text."""
    descriptions, ignored, current = [], [], None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("+ ") or line == "+":
            current = _description(number, line, ignored)
            if current is not None:
                descriptions.append(current)
            continue
        match = ASSIGNMENT.match(line)
        if match is None:
            ignored.append((number, "not a description or an assignment: " + line))
        elif current is None:
            ignored.append((number, "an assignment before any description: " + line))
        else:
            current.assignments.append(match.groups())
    return descriptions, ignored


def _description(number, line, ignored):
    rest = line[1:].strip()
    conditions, order = {}, 0
    while True:
        token, _, after = rest.partition(" ")
        if ":" not in token:
            break
        rest = after.strip()
        key, _, value = token.partition(":")
        if key not in CONDITION_ORDER:
            ignored.append((number, "unknown condition " + key))
            return None
        position = CONDITION_ORDER.index(key)
        if position < order or key in conditions:
            ignored.append((number, "condition %s out of order (Maya wants %s)"
                            % (key, ", ".join(CONDITION_ORDER))))
            return None
        if key == "PLATFORM" and value not in PLATFORMS:
            ignored.append((number, "unknown platform " + value))
            return None
        conditions[key] = value
        order = position
    fields = rest.split(None, 2)  # the path is the rest of the line, spaces and all
    if len(fields) < 3:
        ignored.append((number, "a description needs a name, a version and a path"))
        return None
    return Description(number, conditions, fields[0], fields[1], fields[2])


def resolve_text(text, folder, maya_version, platform, locale="en_US"):
    """The modules a module file's text, read from `folder`, gives one Maya."""
    descriptions, ignored = parse(text)
    result = Resolution()
    result.ignored.extend(ignored)
    taken = set()
    for description in descriptions:
        if description.name in taken or not description.applies(maya_version, platform, locale):
            continue
        taken.add(description.name)
        result.modules.append(_module(description, folder))
    return result


def resolve(path, maya_version, platform, locale="en_US"):
    """The modules the module file at `path` gives one Maya."""
    if platform not in PLATFORMS:
        raise ValueError("platform must be one of " + ", ".join(PLATFORMS))
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as error:
        raise ModuleFileError("cannot read %s: %s" % (path, error))
    return resolve_text(text, os.path.dirname(os.path.abspath(path)), maya_version, platform,
                        locale)


def _module(description, folder):
    root = os.path.normpath(os.path.join(folder, description.path))
    module = Module(description, root)
    env = module.environment
    for sub, variables in DEFAULT_FOLDERS:
        if os.path.isdir(os.path.join(root, sub)):
            for variable in variables:
                env.setdefault(variable, []).append(os.path.join(root, sub))
    for variable, operator, value in description.assignments:
        if operator in (":=", "+:="):
            value = os.path.normpath(os.path.join(root, value))
        if operator.startswith("+"):
            env.setdefault(variable, []).append(value)
        else:
            env[variable] = [value]
    return module


def find_extension(module, name, platform):
    """The file `import name` loads through the module's PYTHONPATH on
    `platform`, or None: the first folder that holds one wins."""
    for folder in module.paths("PYTHONPATH"):
        for suffix in EXTENSION_SUFFIXES[platform]:
            candidate = os.path.join(folder, name + suffix)
            if os.path.isfile(candidate):
                return candidate
    return None

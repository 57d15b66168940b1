"""A stand-in for maya.cmds whose commands do no work at all: each returns a
canned value, so that a benchmark measures velmora and not the host. The
window is never built; the benchmark sets the converter's control names to
the keys of CHECKED and the names below."""

# The check boxes as a batch of .ma/.mb/.fbx sources to .mb and .fbx sees them.
CHECKED = {
    "out_ma": False, "out_mb": True, "out_fbx": True,
    "src_ma": True, "src_mb": True, "src_fbx": True,
    "recursive_check": True, "skip_existing_check": False,
}


def _nothing(*args, **flags):
    return None


refresh = button = waitCursor = progressBar = text = file = select = _nothing
flushUndo = evalDeferred = warning = loadPlugin = _nothing


def checkBox(name, **flags):
    return CHECKED[name]


def currentUnit(**flags):
    return "film"


def optionMenu(name, **flags):
    return "Animation"


def playbackOptions(**flags):
    return 120.0 if "max" in flags else 1.0


def pluginInfo(name, **flags):
    return True


def about(**flags):
    return "2024"

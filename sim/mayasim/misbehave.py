"""How a simulated Maya process dies, hangs or litters its output.

These end or stall the whole process, as a crashing plug-in or an unanswered
dialog would in a real mayapy. They are only run in standalone sessions
(sim/bin/mayapy); an in-process host raises NotModelledError instead, so a
stray marker cannot take the test runner down with it.
"""
import os
import signal
import sys
import time

# What noise-on-open writes, for tests that look for it.
NOISE_JSON = '{"event": "done", "source": 0, "converted": true}'
NOISE_BROKEN_JSON = '{"event": "result", "outputs": ["a.mb"'
NOISE_PARTIAL = "mayasim: a line without its newline"
NOISE_BYTES = b"mayasim: not UTF-8 \xff\xfe\xc3\x28\x80"
NOISE_LONG = 100 * 1024


def _no_core_file():
    try:
        import resource
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    except (ImportError, ValueError, OSError):
        pass


def segfault():
    """A real SIGSEGV. Output still buffered in sys.stdout is lost, as it is
    when a C plug-in crashes Maya."""
    _no_core_file()
    try:
        import faulthandler
        faulthandler._sigsegv()
    except (ImportError, AttributeError):
        pass
    os.kill(os.getpid(), signal.SIGSEGV)
    time.sleep(1)
    os._exit(139)


def abort():
    _no_core_file()
    os.abort()


def exit_now(status=3):
    os._exit(status)


def hang():
    """Blocks for good: a dialog nobody answers, a loop that never ends."""
    while True:
        time.sleep(3600)


def _write_all(fd, data):
    while data:
        n = os.write(fd, data)
        data = data[n:]


def noise():
    """What a chatty plug-in prints while a scene loads: through Python's
    streams and straight to file descriptors 1 and 2."""
    for stream in (sys.stdout, sys.stderr):
        stream.write(NOISE_JSON + "\n")
        stream.write(NOISE_BROKEN_JSON + "\n")
        stream.write("mayasim: " + "p" * NOISE_LONG + "\n")
        raw = getattr(stream, "buffer", None)
        if raw is not None:
            stream.flush()
            raw.write(NOISE_BYTES + b" (python)\n")
            raw.flush()
        stream.write(NOISE_PARTIAL)
        stream.flush()
    for fd in (1, 2):
        _write_all(fd, b"\n" + NOISE_JSON.encode() + b"\n")
        _write_all(fd, NOISE_BYTES + b" (fd)\n")
        _write_all(fd, b"mayasim: " + b"f" * NOISE_LONG + b"\n")
        _write_all(fd, NOISE_PARTIAL.encode())


# ------------------------------------------------- test-only misbehaviours
#
# Not Maya's behaviour: faults a test switches on for a whole session
# (host.misbehaviours, or MAYASIM_MISBEHAVE in a standalone one) to see
# that velmora notices when a Maya loses what velmora relies on.
SESSION_MISBEHAVIOURS = (
    "time-unit-lost-on-save",       # file -save writes the default time unit (film)
    "time-unit-lost-on-export",     # FBXExport writes the default time unit (film)
    "node-lost-on-save",            # file -save leaves out the last node of LOSABLE
    "reference-dropped-on-save",    # file -save leaves out the scene's last reference
    "linear-unit-changed-on-save",  # file -save writes millimeter, whatever the scene's
    "script-nodes-always-run",      # file -open runs script nodes whatever executeScriptNodes says
)

# The nodes of an empty scene that Maya makes itself (its startup cameras and
# their shapes, as real files hold them): node-lost-on-save loses the last
# node of the scene that is none of these.
STARTUP_NODES = frozenset([
    "persp", "perspShape", "top", "topShape", "front", "frontShape", "side", "sideShape",
])


def _active(host, scene, name):
    """A misbehaviour acts when the session has it, or the scene was opened
    from a file marked with it (so that one source of a batch can have it)."""
    return name in host.misbehaviours or getattr(scene, "behaviour", None) == name


def lost_node(scene):
    """The node node-lost-on-save leaves out: the last one created that is
    not one of Maya's startup nodes (None when there is none)."""
    for name in reversed(scene.nodes):
        if name not in STARTUP_NODES:
            return name
    return None


def as_written(host, scene, what):
    """The scene as a save ("save") or an export ("export") writes it: the
    scene itself, unless a test-only misbehaviour changes what is written."""
    import copy
    written = scene
    if _active(host, scene, "time-unit-lost-on-%s" % what):
        written = copy.copy(written)
        written.time_unit = "film"
    if what != "save":
        return written
    if _active(host, scene, "linear-unit-changed-on-save"):
        written = copy.copy(written)
        written.linear_unit = "millimeter"
    if _active(host, scene, "reference-dropped-on-save") and scene.references:
        written = copy.copy(written)
        written.references = list(scene.references[:-1])
    if _active(host, scene, "node-lost-on-save"):
        lost = lost_node(scene)
        if lost is not None:
            written = copy.copy(written)
            written.nodes = [n for n in scene.nodes if n != lost]
            written.parents = dict((n, p) for n, p in scene.parents.items() if n != lost)
            written.script_nodes = dict((n, s) for n, s in scene.script_nodes.items()
                                        if n != lost)
    return written


def runs_script_nodes(host, scene, execute_script_nodes):
    """Whether an open runs the scene's script nodes: as `file
    -executeScriptNodes` says, unless script-nodes-always-run is on."""
    return execute_script_nodes or _active(host, scene, "script-nodes-always-run")


def session_misbehaviours(text):
    """The misbehaviours named in MAYASIM_MISBEHAVE (comma-separated)."""
    names = set(n.strip() for n in (text or "").split(",") if n.strip())
    unknown = sorted(names - set(SESSION_MISBEHAVIOURS))
    if unknown:
        raise ValueError("MAYASIM_MISBEHAVE: unknown %s (known: %s)"
                         % (", ".join(unknown), ", ".join(SESSION_MISBEHAVIOURS)))
    return names

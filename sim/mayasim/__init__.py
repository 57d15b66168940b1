"""Test-facing API of the simulated Maya host.

    import maya.cmds as cmds, maya.mel as mel, mayasim
    mayasim.reset()
    mayasim.host.journal            # [Call(command, args, flags), ...]
    mayasim.host.fail("file", nth=2)

See sim/README.md.
"""
from .host import Call, Fault, Host, NotModelledError
from .scene import BEHAVIOURS, TIME_UNITS, Scene, SceneFileError, read_scene_file
from .scene import write_scene as _write_scene

host = Host()
from . import shelf  # noqa: E402  (registers its commands; resets with the host)
from . import jobs  # noqa: E402  (likewise)
from . import scripts  # noqa: E402  (likewise)
shelf.reset(host)
jobs.reset(host)
scripts.reset(host)


def reset():
    """Put the single host back to a freshly started Maya (in place)."""
    host.reset()
    return host


def write_scene(path, unit="film", pmin=1, pmax=120, nodes=("pCube1",), fmt="ma",
                behaviour=None, pad=0, **content):
    """Write a source scene file for tests ("ma", "mb" or "fbx"); returns path.

    behaviour: None, or one of BEHAVIOURS that the scene makes Maya act out.
    pad: about this many bytes more, changing nothing (for big scenes).
    content: parents ({node: parent}), requires ([[plug-in, version]]),
    file_info ({key: value}), references ([{path, namespace, node, loaded}]).
    """
    return _write_scene(path, unit=unit, pmin=pmin, pmax=pmax, nodes=nodes, fmt=fmt,
                        version=host.about_version, behaviour=behaviour, pad=pad, **content)


def read_scene(path):
    """Parse a scene file the way file(open=True) does (dict: unit, min, max, nodes...)."""
    return read_scene_file(path)


__all__ = ["BEHAVIOURS", "Call", "Fault", "Host", "NotModelledError", "TIME_UNITS", "Scene",
           "SceneFileError", "host", "reset", "write_scene", "read_scene"]

"""maya.standalone of the simulated host: starts and stops Maya in a mayapy
process (see mayasim/standalone.py)."""
from mayasim import host as _host
from mayasim import standalone as _standalone


def initialize(name="python"):
    return _standalone.initialize(_host, name)


def uninitialize():
    return _standalone.uninitialize(_host)

"""maya.mel of the simulated host."""
from mayasim import host as _host


def eval(text):  # noqa: A001 - Maya's own name
    return _host.mel_eval(text)

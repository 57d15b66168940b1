"""maya.mel of the simulated host."""
import sys as _sys

from mayasim import host as _host
from mayasim import standalone as _standalone

__all__ = ["eval"]


def eval(text):  # noqa: A001 - Maya's own name
    return _host.mel_eval(text)


# In a standalone session eval appears with maya.standalone.initialize().
_standalone.register_module(_host, _sys.modules[__name__], __all__)

"""maya.utils of the simulated host: executeDeferred, the one way another
thread hands work to Maya's main thread (see mayasim.host.execute_deferred)."""
from mayasim import host as _host

__all__ = ['executeDeferred']


def executeDeferred(func, *args, **kwargs):  # noqa: N802 - Maya's name
    """Runs `func(*args, **kwargs)` (or a Python string) on the main thread
    when Maya is next idle; callable from any thread. Never run in batch
    mode."""
    return _host.execute_deferred(func, args, kwargs)

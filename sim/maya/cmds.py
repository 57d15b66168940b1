"""maya.cmds of the simulated host: one function per modelled command.

Each call is journaled in mayasim.host.journal, checked against the flag
tables and then carried out by the host.
"""
from mayasim import host as _host

__all__ = ['about', 'button', 'checkBox', 'columnLayout', 'confirmDialog', 'currentUnit', 'deleteUI', 'evalDeferred', 'file', 'fileDialog2', 'flushUndo', 'frameLayout', 'loadPlugin', 'menuItem', 'optionMenu', 'paneLayout', 'playbackOptions', 'pluginInfo', 'progressBar', 'refresh', 'rowLayout', 'scrollField', 'select', 'separator', 'setParent', 'showWindow', 'text', 'textField', 'waitCursor', 'warning', 'window']


def about(*args, **flags):
    return _host.call('about', args, flags)


def button(*args, **flags):
    return _host.call('button', args, flags)


def checkBox(*args, **flags):
    return _host.call('checkBox', args, flags)


def columnLayout(*args, **flags):
    return _host.call('columnLayout', args, flags)


def confirmDialog(*args, **flags):
    return _host.call('confirmDialog', args, flags)


def currentUnit(*args, **flags):
    return _host.call('currentUnit', args, flags)


def deleteUI(*args, **flags):
    return _host.call('deleteUI', args, flags)


def evalDeferred(*args, **flags):
    return _host.call('evalDeferred', args, flags)


def file(*args, **flags):
    return _host.call('file', args, flags)


def fileDialog2(*args, **flags):
    return _host.call('fileDialog2', args, flags)


def flushUndo(*args, **flags):
    return _host.call('flushUndo', args, flags)


def frameLayout(*args, **flags):
    return _host.call('frameLayout', args, flags)


def loadPlugin(*args, **flags):
    return _host.call('loadPlugin', args, flags)


def menuItem(*args, **flags):
    return _host.call('menuItem', args, flags)


def optionMenu(*args, **flags):
    return _host.call('optionMenu', args, flags)


def paneLayout(*args, **flags):
    return _host.call('paneLayout', args, flags)


def playbackOptions(*args, **flags):
    return _host.call('playbackOptions', args, flags)


def pluginInfo(*args, **flags):
    return _host.call('pluginInfo', args, flags)


def progressBar(*args, **flags):
    return _host.call('progressBar', args, flags)


def refresh(*args, **flags):
    return _host.call('refresh', args, flags)


def rowLayout(*args, **flags):
    return _host.call('rowLayout', args, flags)


def scrollField(*args, **flags):
    return _host.call('scrollField', args, flags)


def select(*args, **flags):
    return _host.call('select', args, flags)


def separator(*args, **flags):
    return _host.call('separator', args, flags)


def setParent(*args, **flags):
    return _host.call('setParent', args, flags)


def showWindow(*args, **flags):
    return _host.call('showWindow', args, flags)


def text(*args, **flags):
    return _host.call('text', args, flags)


def textField(*args, **flags):
    return _host.call('textField', args, flags)


def waitCursor(*args, **flags):
    return _host.call('waitCursor', args, flags)


def warning(*args, **flags):
    return _host.call('warning', args, flags)


def window(*args, **flags):
    return _host.call('window', args, flags)


# --- installer support: the user's Maya folder and the shelves (mayasim/shelf.py)
__all__ += ['internalVar', 'objectTypeUI', 'shelfButton', 'shelfLayout', 'tabLayout']


def internalVar(*args, **flags):
    return _host.call('internalVar', args, flags)


def objectTypeUI(*args, **flags):
    return _host.call('objectTypeUI', args, flags)


def shelfButton(*args, **flags):
    return _host.call('shelfButton', args, flags)


def shelfLayout(*args, **flags):
    return _host.call('shelfLayout', args, flags)


def tabLayout(*args, **flags):
    return _host.call('tabLayout', args, flags)


# --- idle-time work, messages and the windows of background batches
__all__ += ['inViewMessage', 'intField', 'launch', 'scriptJob', 'scrollLayout']


def inViewMessage(*args, **flags):
    return _host.call('inViewMessage', args, flags)


def intField(*args, **flags):
    return _host.call('intField', args, flags)


def launch(*args, **flags):
    return _host.call('launch', args, flags)


def scriptJob(*args, **flags):
    return _host.call('scriptJob', args, flags)


def scrollLayout(*args, **flags):
    return _host.call('scrollLayout', args, flags)


# --- what a scene's code calls (mayasim/scripts.py)
__all__ += ['rename']


def rename(*args, **flags):
    return _host.call('rename', args, flags)


# In a standalone session the commands appear with maya.standalone.initialize().
import sys as _sys  # noqa: E402
from mayasim import standalone as _standalone  # noqa: E402
_standalone.register_module(_host, _sys.modules[__name__], __all__)

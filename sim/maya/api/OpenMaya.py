"""maya.api.OpenMaya of the simulated host: the scene messages only.

MSceneMessage.addCallback(message, function, clientData=None) -> an id;
the function is called with clientData each time the message is sent (the
simulator sends kBeforeNew, kAfterNew, kBeforeOpen, kAfterOpen,
kBeforeFileRead, kAfterFileRead, kBeforeSave, kAfterSave), in batch mode
too, until MMessage.removeCallback(id). A file new or open removes none.
See sim/README.md, "Code in scenes".
"""
from mayasim import host as _host
from mayasim import scripts as _scripts


class MMessage(object):
    kDefaultAction, kDoNotDoAction, kDoAction = 0, 1, 2

    @staticmethod
    def removeCallback(callback_id):
        _scripts.remove_callback(_host, callback_id)

    @staticmethod
    def removeCallbacks(callback_ids):
        for callback_id in list(callback_ids):
            _scripts.remove_callback(_host, callback_id)

    @staticmethod
    def currentCallbackId():
        return _host.current_callback


class MSceneMessage(MMessage):
    @staticmethod
    def addCallback(message, function, clientData=None):
        _host._check_thread("MSceneMessage.addCallback")
        return _scripts.add_callback(_host, message, function, clientData)


for _name, _number in _scripts.MESSAGES.items():
    setattr(MSceneMessage, _name, _number)
del _name, _number

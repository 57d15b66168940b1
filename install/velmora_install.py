"""Installs velmora into Maya: drag and drop this file onto Maya's viewport.

It writes the module file velmora.mod into the user's Maya modules folder
(pointing at the folder this file sits in), makes velmora importable in the
running session at once, and adds a "Velmora" button and a "Velmora Batches"
button (the window of batches running in the background) to the current
shelf.
Running it again changes nothing. To uninstall, in the Script Editor (Python):

    import runpy
    runpy.run_path("/path/to/velmora/velmora_install.py")["uninstall"]()

Every step that can fail is checked or prepared before anything changes, and
whatever was already done is undone when a later step fails, so a failed
install leaves Maya and the user's folders as they were.
"""
from __future__ import print_function

import os
import sys

NAME = "velmora"
MODULE_FILE = NAME + ".mod"
TITLE = "Velmora installer"
BUTTON_LABEL = "Velmora"
BUTTON_COMMAND = "import velmora; velmora.show()"
BUTTON_ANNOTATION = "Velmora: convert folders of Maya scenes between .ma, .mb and .fbx"
BATCHES_LABEL = "Velmora Batches"
BATCHES_COMMAND = "import velmora; velmora.show_batches()"
BATCHES_ANNOTATION = ("Velmora Batches: start batches that run in the background, watch, "
                      "stop and resume them")
BATCHES_OVERLAY = "BG"  # written over the shared icon, to tell the two buttons apart
# The shelf buttons: (label, command, annotation, text over the icon or None).
BUTTONS = ((BUTTON_LABEL, BUTTON_COMMAND, BUTTON_ANNOTATION, None),
           (BATCHES_LABEL, BATCHES_COMMAND, BATCHES_ANNOTATION, BATCHES_OVERLAY))
ICON = ("icons", "velmora.png")  # below the velmora folder
# Maya's names of the platforms (its module files' PLATFORM: keyword) and
# the file name of each one's binary; the release keeps each in
# platforms/<platform>/, the folder velmora.mod names for that platform.
BINARIES = {"linux": NAME + ".abi3.so", "win64": NAME + ".pyd", "mac": NAME + ".abi3.so"}


class InstallError(Exception):
    """A condition that stops the install, with a message meant for the user."""


def onMayaDroppedPythonFile(obj):  # noqa: N802 - the name Maya calls
    """Maya calls this when the file is dropped onto the viewport."""
    return install()


# ------------------------------------------------------------------ install

def install(root=None):
    """Installs the velmora folder `root` (default: this file's folder).

    Returns True when velmora is installed afterwards (also when nothing had
    to change), False when the install failed or the user declined."""
    from maya import cmds, mel

    report = []  # what changed
    notes = []
    undo = []
    temp = None
    try:
        root = _package_root(root)
        binaries = binary_folder(root)
        icon = os.path.join(root, *ICON)
        _check_interpreter()
        _check_package(root, binaries, icon)
        text = module_file_text(_read_text(os.path.join(root, MODULE_FILE)), root)
        modules = _modules_folder(cmds)
        shelf = _current_shelf(cmds, mel)
        target = os.path.join(modules, MODULE_FILE)
        existing = _read_text_if_present(target)
        write_module = _normalise(existing) != _normalise(text)
        if existing is not None and write_module and not _confirm_replace(cmds, target, existing):
            _tell(cmds, ["The existing module file was kept; nothing was changed:",
                         "  " + target], failed=True)
            return False
        if write_module:
            # Writing the content now proves the folder writable before
            # anything else changes; the rename at the end is the commit.
            temp = _prepare_file(modules, text, undo)
        _make_importable(binaries, undo, report, notes)
        _ensure_shelf_buttons(cmds, shelf, icon, undo, report)
        if write_module:
            os.replace(temp, target)
            temp = None
            report.insert(0, "Wrote the module file " + target + " (Maya loads velmora from "
                          + root + " at every start).")
    except BaseException as error:  # every failure ends in a rollback and a message
        _discard(temp)
        _roll_back(undo)
        if not isinstance(error, Exception):
            raise
        message = str(error) if isinstance(error, InstallError) else "%s: %s" % (
            type(error).__name__, error)
        _tell(cmds, ["velmora was NOT installed; nothing was changed.", message], failed=True)
        return False
    if not report:
        report = ["velmora is already installed from " + root + "; nothing was changed."]
    _tell(cmds, report + notes + ["Start it with the shelf button or: " + BUTTON_COMMAND])
    return True


def module_file_text(shipped, root):
    """The shipped module description with its relative paths made absolute.

    Maya reads the path as the rest of the line, so a path with spaces needs
    no quotes; forward slashes serve on every platform."""
    lines = []
    for line in shipped.splitlines():
        fields = line.split()
        if fields and fields[0] == "+":
            head = 1
            while head < len(fields) and ":" in fields[head]:
                head += 1  # conditions such as PLATFORM:linux
            if len(fields) < head + 3:
                raise InstallError("The module file shipped with velmora is damaged: " + line)
            path = os.path.normpath(os.path.join(root, " ".join(fields[head + 2:])))
            line = " ".join(fields[:head + 2] + [_forward(path)])
        lines.append(line)
    return "\n".join(lines) + "\n"


def maya_platform(system=None):
    """Maya's name of the platform this Python runs on."""
    system = sys.platform if system is None else system
    if system.startswith("win"):
        return "win64"
    if system == "darwin":
        return "mac"
    return "linux"


def binary_folder(root, system=None):
    """The folder of the module folder `root` that holds this platform's binary."""
    return os.path.join(root, "platforms", maya_platform(system))


def _package_root(root):
    if root is None:
        root = os.path.dirname(os.path.abspath(__file__))
    return os.path.abspath(root)


def _check_interpreter():
    if sys.version_info < (3, 7):
        raise InstallError("velmora needs Maya 2022 or newer running Python 3 "
                           "(this is Python %d.%d)." % sys.version_info[:2])


def _check_package(root, binaries, icon):
    platform = maya_platform()
    binary = os.path.join(binaries, BINARIES[platform])
    if not os.path.isfile(binary):
        raise InstallError(
            "There is no velmora binary for this platform (" + platform + ") in this "
            "release: " + binary + " is missing. Take a release that includes " + platform
            + ", or build velmora on this platform (see INSTALL.md).")
    for path in (os.path.join(root, MODULE_FILE), icon):
        if not os.path.isfile(path):
            raise InstallError("The velmora folder is incomplete, " + path + " is missing: "
                               "unpack the whole archive and drop the installer again.")


def _modules_folder(cmds):
    app_dir = cmds.internalVar(userAppDir=True)
    if not app_dir:
        raise InstallError("Maya did not name the user's application folder.")
    # Maya names the folder with forward slashes on Windows too: normalised,
    # the paths the installer reports are all in the platform's own form.
    return os.path.normpath(os.path.join(app_dir, "modules"))


NO_SHELF = ("This Maya session has no shelf (batch mode?): start Maya with its interface "
            "and drop the installer again.")


def _current_shelf(cmds, mel):
    try:
        top = mel.eval("$tmp=$gShelfTopLevel")
    except RuntimeError as error:  # undeclared when Maya runs without its interface
        raise InstallError(NO_SHELF + " (" + str(error) + ")")
    if not top or not cmds.tabLayout(top, exists=True):
        raise InstallError(NO_SHELF)
    shelf = cmds.tabLayout(top, query=True, selectTab=True)
    if not shelf:
        raise InstallError("No shelf is selected: pick a shelf tab and drop the installer again.")
    return top + "|" + shelf


def _confirm_replace(cmds, target, existing):
    answer = cmds.confirmDialog(
        title=TITLE,
        message="A different velmora module file is already installed:\n" + target + "\n\n"
                + existing.strip() + "\n\nReplace it with one for this folder?",
        button=["Yes", "No"], defaultButton="Yes", cancelButton="No", dismissString="No")
    return answer == "Yes"


def _prepare_file(folder, text, undo):
    import tempfile
    created = _make_folders(folder)
    undo.append(lambda: _remove_folders(created))
    try:
        handle, temp = tempfile.mkstemp(prefix=".velmora-", suffix=".tmp", dir=folder)
    except OSError as error:
        raise InstallError("Cannot write into the Maya modules folder " + folder + ": "
                           + _reason(error))
    try:
        with os.fdopen(handle, "w") as f:
            f.write(text)
    except Exception:
        _discard(temp)
        raise
    return temp


def _make_folders(folder):
    """Creates `folder` and missing parents; returns those created, deepest last."""
    missing = []
    path = os.path.abspath(folder)
    while not os.path.isdir(path):
        missing.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    created = []
    for path in reversed(missing):
        try:
            os.mkdir(path)
        except OSError as error:
            _remove_folders(created)
            reason = (path + " is a file, not a folder") if os.path.isfile(path) else _reason(error)
            raise InstallError("Cannot create the Maya modules folder " + folder + ": " + reason)
        created.append(path)
    return created


def _remove_folders(created):
    for path in reversed(created):
        try:
            os.rmdir(path)
        except OSError:
            pass


def _make_importable(binaries, undo, report, notes):
    if not any(_same_path(p, binaries) for p in sys.path if isinstance(p, str)):
        sys.path.insert(0, binaries)
        undo.append(lambda: sys.path.remove(binaries))
        report.append("Added " + binaries + " to this session's Python path.")
    loaded = sys.modules.get(NAME)
    if loaded is None:
        import importlib
        try:
            importlib.import_module(NAME)
        except Exception as error:
            raise InstallError("velmora does not load in this Maya (%s: %s); see the "
                               "platforms table of INSTALL.md." % (
                                   type(error).__name__, error))
        undo.append(lambda: sys.modules.pop(NAME, None))
    else:
        where = os.path.dirname(os.path.abspath(getattr(loaded, "__file__", "") or "."))
        if not _same_path(where, binaries):
            notes.append("A velmora from " + where + " is already loaded in this session; "
                          "restart Maya to use this one.")


def _ensure_shelf_buttons(cmds, shelf, icon, undo, report):
    added = []
    # one step, one deleteUI, takes back every button this install added
    undo.append(lambda: cmds.deleteUI(*added) if added else None)
    for kind in BUTTONS:
        _ensure_shelf_button(cmds, shelf, icon, kind, added, undo, report)


def _ensure_shelf_button(cmds, shelf, icon, kind, added, undo, report):
    label, command, annotation, overlay = kind
    button = _find_button(cmds, shelf, kind)
    if button is None:
        flags = dict(parent=shelf, label=label, image=icon, command=command,
                     sourceType="python", annotation=annotation)
        if overlay:
            flags["imageOverlayLabel"] = overlay
        added.append(cmds.shelfButton(**flags))
        report.append("Added the " + label + " button to the shelf "
                      + shelf.rsplit("|", 1)[-1] + ".")
        return
    old_icon = cmds.shelfButton(button, query=True, image=True)
    if not _same_path(old_icon or "", icon):
        # the button of an earlier install from another folder
        cmds.shelfButton(button, edit=True, image=icon)
        undo.append(lambda: cmds.shelfButton(button, edit=True, image=old_icon))
        report.append("Pointed the " + label + " button's icon at " + icon + ".")


def _find_button(cmds, shelf, kind):
    for button in _shelf_buttons(cmds, shelf, (kind,)):
        return button
    return None


def _shelf_buttons(cmds, shelf, kinds=BUTTONS):
    """The velmora buttons of one shelf (those of `kinds`), by full name."""
    commands = dict((label, command) for label, command, _, _ in kinds)
    for child in cmds.shelfLayout(shelf, query=True, childArray=True) or []:
        name = shelf + "|" + child
        if cmds.objectTypeUI(name) != "shelfButton":
            continue
        label = cmds.shelfButton(name, query=True, label=True)
        if (label in commands
                and cmds.shelfButton(name, query=True, command=True) == commands[label]):
            yield name


# ---------------------------------------------------------------- uninstall

def uninstall():
    """Removes the module file and the velmora buttons of every shelf.

    velmora stays loaded in the running session until Maya restarts."""
    from maya import cmds, mel

    report = []
    try:
        target = os.path.join(_modules_folder(cmds), MODULE_FILE)
        if os.path.isfile(target):
            try:
                os.remove(target)
            except OSError as error:
                raise InstallError("Cannot remove the module file " + target + ": "
                                   + _reason(error))
            report.append("Removed the module file " + target + ".")
        for button in _all_buttons(cmds, mel):
            cmds.deleteUI(button)
            report.append("Removed the shelf button " + button + ".")
    except Exception as error:
        message = str(error) if isinstance(error, InstallError) else "%s: %s" % (
            type(error).__name__, error)
        _tell(cmds, report + ["Uninstalling velmora failed: " + message], failed=True)
        return False
    if not report:
        report = ["velmora was not installed; nothing was changed."]
    elif NAME in sys.modules:
        report.append("velmora stays loaded in this session until Maya restarts.")
    _tell(cmds, report)
    return True


def _all_buttons(cmds, mel):
    try:
        top = mel.eval("$tmp=$gShelfTopLevel")
    except RuntimeError:
        return []
    if not top or not cmds.tabLayout(top, exists=True):
        return []
    found = []
    for shelf in cmds.tabLayout(top, query=True, childArray=True) or []:
        found.extend(_shelf_buttons(cmds, top + "|" + shelf))
    return found


# ------------------------------------------------------------------ helpers

def _tell(cmds, lines, failed=False):
    """Reports to the Script Editor and in a dialog."""
    for line in lines:
        print(("velmora: " if not failed else "velmora (error): ") + line)
    try:
        cmds.confirmDialog(title=TITLE, message="\n".join(lines), button=["OK"],
                           defaultButton="OK")
    except Exception:
        pass  # no dialog in batch mode: the Script Editor lines stand


def _roll_back(undo):
    for step in reversed(undo):
        try:
            step()
        except Exception as error:
            print("velmora (error): could not undo a step: %s" % (error,))


def _discard(path):
    if path:
        try:
            os.remove(path)
        except OSError:
            pass


def _read_text(path):
    with open(path, "r") as f:
        return f.read()


def _read_text_if_present(path):
    if not os.path.exists(path):
        return None
    try:
        return _read_text(path)
    except (OSError, UnicodeDecodeError):
        return ""  # unreadable counts as different: the user is asked


def _normalise(text):
    if text is None:
        return None
    return "\n".join(line.rstrip() for line in text.strip().splitlines())


def _forward(path):
    return path.replace("\\", "/")


def _same_path(a, b):
    return os.path.normcase(os.path.abspath(a)) == os.path.normcase(os.path.abspath(b))


def _reason(error):
    return getattr(error, "strerror", None) or str(error)

"""Runs one whole batch on the simulated Maya, the way a user would: opens
the window, picks the folder with the "..." button, sets the check boxes,
the preset and the options, presses "Start Conversion", lets Maya go idle so
the statistics report opens, and prints the report.

Without a folder it converts a fresh copy of the bundled example scenes.
"""

import argparse
import contextlib
import io
import os
import shutil
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build")))

import mayasim  # noqa: E402
import velmora  # noqa: E402

FORMATS = ("ma", "mb", "fbx")
PRESETS = ("Default", "Animation", "Models Only")


def formats(text):
    chosen = [f.strip().lower().lstrip(".") for f in text.split(",") if f.strip()]
    unknown = [f for f in chosen if f not in FORMATS]
    if unknown:
        raise argparse.ArgumentTypeError("unknown format(s): " + ", ".join(unknown))
    return chosen


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", nargs="?", help="folder of scenes to convert (default: a copy of "
                   "examples/scenes); outputs are written next to the sources")
    p.add_argument("--sources", type=formats, default=list(FORMATS),
                   help="source types, comma-separated (default: ma,mb,fbx)")
    p.add_argument("--outputs", type=formats, default=["ma"],
                   help="output formats, comma-separated (default: ma)")
    p.add_argument("--preset", choices=PRESETS, default="Default", help="FBX preset")
    p.add_argument("--no-subdirs", action="store_true", help="leave out subfolders")
    p.add_argument("--skip-existing", action="store_true", help="skip outputs that exist")
    p.add_argument("--out", default=os.path.join(ROOT, "out"),
                   help="where each run gets its own folder for the log (default: out/)")
    p.add_argument("--verbose", action="store_true", help="show the log on the console too")
    return p.parse_args(argv)


def run_folder(args):
    run_dir = os.path.join(os.path.abspath(args.out), time.strftime("run-%Y%m%d-%H%M%S"))
    suffix = 1
    while os.path.exists(run_dir + ("" if suffix == 1 else "-%d" % suffix)):
        suffix += 1
    run_dir += "" if suffix == 1 else "-%d" % suffix
    os.makedirs(run_dir)
    if args.folder:
        folder = os.path.abspath(args.folder)
        if not os.path.isdir(folder):
            sys.exit("not a folder: " + args.folder)
    else:
        folder = os.path.join(run_dir, "scenes")
        shutil.copytree(os.path.join(ROOT, "examples", "scenes"), folder)
    return run_dir, folder


def set_window(conv, args):
    cmds = velmora.cmds
    for fmt in FORMATS:
        cmds.checkBox(getattr(conv, "src_" + fmt), e=True, v=fmt in args.sources)
        cmds.checkBox(getattr(conv, "out_" + fmt), e=True, v=fmt in args.outputs)
    cmds.checkBox(conv.recursive_check, e=True, v=not args.no_subdirs)
    cmds.checkBox(conv.skip_existing_check, e=True, v=args.skip_existing)
    cmds.optionMenu(conv.fbx_preset, e=True, v=args.preset)


def converter_of(host):
    """The converter behind the open main window (show() keeps none)."""
    start = host.ui.find(kind="button", label="Start Conversion", window="velmoraWin")[0]
    return host.ui.control(start).state["command"].__self__, start


def main(argv=None):
    args = parse_args(argv)
    run_dir, folder = run_folder(args)
    host = mayasim.reset()
    velmora.Velmora.LOG_FILE = os.path.join(run_dir, "converter_log.txt")
    host.file_dialog_answers.append([folder])

    console = sys.stdout if args.verbose else io.StringIO()
    with contextlib.redirect_stdout(console):
        velmora.show()
        conv, start_button = converter_of(host)
        browse = host.ui.find(kind="button", label="...", window="velmoraWin")[0]
        host.press(browse)
        set_window(conv, args)
        before = set(os.path.join(r, f) for r, _, fs in os.walk(folder) for f in fs)
        host.press(start_button)
        host.run_idle()

    report = host.ui.find(kind="scrollField", window="statsWin")
    if not report:
        print("No batch ran: " + "; ".join(host.warnings or ["no matching files"]))
        print("Log: " + velmora.Velmora.LOG_FILE)
        return 1
    print(velmora.cmds.scrollField(report[0], q=True, text=True))
    written = sorted(os.path.join(r, f) for r, _, fs in os.walk(folder) for f in fs
                     if os.path.join(r, f) not in before)
    print("\nWritten ({}):".format(len(written)))
    for path in written:
        print("  " + os.path.relpath(path, folder))
    print("\nFolder: " + folder)
    print("Log: " + velmora.Velmora.LOG_FILE)
    return 0


if __name__ == "__main__":
    sys.exit(main())

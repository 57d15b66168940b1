#!/usr/bin/env python3
"""Packs a folder into a zip archive that is the same bytes for the same
files, wherever and whenever it is made.

    tools/zip_folder.py BASE FOLDER ARCHIVE

Packs BASE/FOLDER as FOLDER/... into ARCHIVE: entries in sorted order,
each stamped with SOURCE_DATE_EPOCH (else 1980-01-01, as the wheels), with
the mode 0755 or 0644 by the file's executable bit and no owner. The
archive is written beside its name first and then moved onto it, so that
an older one of the same name is replaced whole or not at all.
"""
import os
import stat
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wheel  # noqa: E402  (its time stamp rule)


def entries(base, folder):
    """(archive name, path or None for a folder, mode) in sorted order."""
    found = []
    for top, folders, files in os.walk(os.path.join(base, folder)):
        folders.sort()
        relative = os.path.relpath(top, base).replace(os.sep, "/")
        found.append((relative + "/", None, 0o40755))
        for name in sorted(files):
            path = os.path.join(top, name)
            executable = os.stat(path).st_mode & stat.S_IXUSR
            found.append((relative + "/" + name, path, 0o100755 if executable else 0o100644))
    return found


def pack(base, folder, archive):
    when = wheel.stamp()
    handle, staged = tempfile.mkstemp(prefix="." + os.path.basename(archive) + ".",
                                      dir=os.path.dirname(os.path.abspath(archive)))
    try:
        with os.fdopen(handle, "wb") as f, zipfile.ZipFile(f, "w") as z:
            for name, path, mode in entries(base, folder):
                info = zipfile.ZipInfo(name, date_time=when)
                info.create_system = 3  # Unix, so that the modes are read
                info.external_attr = mode << 16
                if path is None:
                    z.writestr(info, b"")
                    continue
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source:
                    z.writestr(info, source.read())
        os.chmod(staged, 0o644)
        os.replace(staged, archive)
    except BaseException:
        os.unlink(staged)
        raise


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        pack(*argv)
    except (OSError, wheel.WheelError) as error:
        sys.stderr.write("tools/zip_folder.py: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

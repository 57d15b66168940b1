"""velmora's headless batch as a wheel installs it: the velmora-batch
command, and the same as

    mayapy -m velmora_batch FOLDER [options]

velmora is imported as installed beside this file; the arguments go to
velmora.batch_main, and its return value is the exit status. (The Maya
module folder has a velmora_batch.py of its own, which first puts its
platform's binary on the path.)
"""
import sys


def main(argv=None):
    """Runs velmora-batch with `argv` (default: this command's arguments)
    and returns its exit status."""
    try:
        import velmora
    except ImportError as error:
        # velmora loads Maya's commands as it is imported: outside Maya's
        # own Python that is the one thing missing, so say what to run.
        if not (error.name or "").startswith("maya"):
            raise
        sys.stderr.write("velmora-batch: velmora runs in Maya's Python (%s cannot import %s); "
                         "run it with mayapy: mayapy -m velmora_batch FOLDER [options]\n"
                         % (sys.executable, error.name))
        return 2
    return velmora.batch_main(sys.argv[1:] if argv is None else list(argv))


if __name__ == "__main__":
    sys.exit(main())

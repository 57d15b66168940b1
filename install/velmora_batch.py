"""velmora's headless batch, run by Maya's own Python:

    mayapy <velmora folder>/velmora_batch.py FOLDER [options]

(bin/velmora-batch and bin/velmora-batch.bat find mayapy and do this.)
It puts this platform's velmora binary of the module folder on the Python
path, the same one the installer and the module file choose, and hands
the arguments to velmora.batch_main; its return value is the exit status.
"""
import os
import sys

NAME = "velmora"
# Maya's names of the platforms (its module files' PLATFORM: keyword) and
# the file name of each one's binary in the release.
BINARIES = {"linux": NAME + ".abi3.so", "win64": NAME + ".pyd", "mac": NAME + ".abi3.so"}


def maya_platform(system=None):
    """Maya's name of the platform this Python runs on."""
    system = sys.platform if system is None else system
    if system.startswith("win"):
        return "win64"
    if system == "darwin":
        return "mac"
    return "linux"


def binary_folder(root=None, system=None):
    """The folder of the module folder `root` (default: this file's) that
    holds this platform's binary."""
    root = os.path.dirname(os.path.abspath(__file__)) if root is None else root
    return os.path.join(root, "platforms", maya_platform(system))


def main(argv):
    folder = binary_folder()
    binary = os.path.join(folder, BINARIES[maya_platform()])
    if not os.path.isfile(binary):
        sys.stderr.write("velmora-batch: this release holds no velmora binary for %s (%s is "
                         "missing); see INSTALL.md\n" % (maya_platform(), binary))
        return 2
    sys.path.insert(0, folder)
    import velmora
    return velmora.batch_main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Runs a program on a system that refuses some calls, as some file systems
and shares do: a kernel filter (seccomp) on this process and its children
makes the calls fail with the error such a file system gives.

    python3 refusing.py links PROGRAM [ARGS...]   link() fails: EPERM, as on FAT
    python3 refusing.py locks PROGRAM [ARGS...]   record locks fail: ENOLCK, as on
                                                  NFS without a lock manager

Linux on x86-64 and arm64 only; `available()` says whether it works here.
"""
import ctypes
import errno
import os
import platform
import struct
import subprocess
import sys

HERE = os.path.abspath(__file__)

# Per machine: the audit architecture and the system call numbers.
ARCHES = {
    "x86_64": dict(arch=0xC000003E, link=(86, 265), fcntl=72),
    "aarch64": dict(arch=0xC00000B7, link=(37,), fcntl=25),
}
LOCK_COMMANDS = (6, 7, 37, 38)   # F_SETLK, F_SETLKW, F_OFD_SETLK, F_OFD_SETLKW

LD_ABS, JEQ, RET = 0x20, 0x15, 0x06
ALLOW, ERRNO = 0x7FFF0000, 0x00050000
NR, ARCH, ARG1 = 0, 4, 24       # offsets in struct seccomp_data (little-endian)


def _program(kind, table):
    """BPF: anything but the refused calls is allowed."""
    refuse = RET, ERRNO | (errno.EPERM if kind == "links" else errno.ENOLCK)
    code = [(LD_ABS, 0, 0, ARCH), (JEQ, 1, 0, table["arch"]), (RET, 0, 0, ALLOW),
            (LD_ABS, 0, 0, NR)]
    if kind == "links":
        calls = table["link"]
        for i, nr in enumerate(calls):
            code.append((JEQ, len(calls) - i, 0, nr))     # to the refusal
    else:
        code.append((JEQ, 0, len(LOCK_COMMANDS) + 1, table["fcntl"]))  # else allow
        code.append((LD_ABS, 0, 0, ARG1))
        for i, cmd in enumerate(LOCK_COMMANDS):
            code.append((JEQ, len(LOCK_COMMANDS) - i, 0, cmd))
    code += [(RET, 0, 0, ALLOW), (refuse[0], 0, 0, refuse[1])]
    return b"".join(struct.pack("HBBI", *ins) for ins in code), len(code)


def refuse(kind):
    table = ARCHES[platform.machine()]
    data, count = _program(kind, table)
    buf = ctypes.create_string_buffer(data)

    class Prog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    prog = Prog(count, ctypes.cast(buf, ctypes.c_void_p))
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or \
            libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(prog), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def command(kind, argv):
    return [sys.executable, HERE, kind] + list(argv)


_AVAILABLE = {}


def available(kind):
    """Whether `kind` is refused here when asked (tried once)."""
    if kind not in _AVAILABLE:
        ok = sys.platform.startswith("linux") and platform.machine() in ARCHES
        if ok:
            probe = ("import fcntl, os, sys, tempfile\n"
                     "d = tempfile.mkdtemp(); a = os.path.join(d, 'a'); open(a, 'w').close()\n"
                     "try:\n"
                     "    os.link(a, a + '2') if sys.argv[1] == 'links' else "
                     "fcntl.lockf(open(a, 'w'), fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                     "except OSError: sys.exit(0)\n"
                     "finally:\n"
                     "    [os.remove(os.path.join(d, n)) for n in os.listdir(d)]; os.rmdir(d)\n"
                     "sys.exit(1)\n")
            ok = subprocess.call(command(kind, [sys.executable, "-c", probe, kind])) == 0
        _AVAILABLE[kind] = ok
    return _AVAILABLE[kind]


if __name__ == "__main__":
    refuse(sys.argv[1])
    os.execv(sys.argv[2], sys.argv[2:])

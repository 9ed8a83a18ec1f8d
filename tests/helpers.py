# What more than one test file needs: Quelvarn's own texts, as a caller reads them; a terminal
# that another program holds open, as a serial port stands on Debian; a mount namespace; what a
# folder holds; copies of the tree's files.
import grp
import os
import pty
import shutil
import subprocess

import pytest

from conftest import ROOT

BANNER = (b"Quelvarn: Programa para patchear problema de puertos seriales bajo Windows 98 SE\n"
          b"Compa\xa4\xa1a Ketravol\n")
USAGE = b"Uso: Quelvarn n\n\tn: numero de COM a usar\n"
FAILURE = b"El puerto especificado no pudo ser abierto\n"


def open_terminal(request, link=None):
    """A terminal that another program has open, linked from link where given; returns our own
    end's fd and the other program's, both closed when the test ends."""
    master, slave = pty.openpty()
    if os.geteuid() == 0:  # a serial port's owner and mode on Debian
        os.chown(os.ttyname(slave), 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(os.ttyname(slave), 0o660)
    # Another program's own open file, so that its hold is not ours.
    other = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    for fd in (master, slave, other):
        request.addfinalizer(lambda fd=fd: os.close(fd))
    if link:
        os.symlink(os.ttyname(slave), link)
    return slave, other


def mount_namespace(purpose):
    """The command that starts a program in a mount namespace of its own, as root there where the
    tests are not; skips the test, saying what it was for, where none can be made here."""
    unshare = ["unshare", "--mount", *([] if os.geteuid() == 0 else ["-r"])]
    if subprocess.run([*unshare, "true"], check=False).returncode != 0:
        pytest.skip(f"no mount namespace can be made here {purpose}")
    return unshare


def contents(path):
    """Every path under path, with what lstat says of it (mode, time) and its content or a link's
    target: what a run that must change nothing leaves as it was."""
    return {p: (p.lstat().st_mode, p.lstat().st_mtime_ns, os.readlink(p) if p.is_symlink()
                else p.read_bytes() if p.is_file() else None) for p in path.rglob("*")}


def copy_from_the_tree(folder, *paths):
    """Copies each of the tree's paths into folder, where the tree has it."""
    for path in paths:
        (folder / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / path, folder / path)

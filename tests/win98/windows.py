# What the Windows 98 tests share: the Wine prefix that ctest made, Wine's programs run on its
# 64-bit side, which needs no emulator, and the steps of a user's install and uninstall.
import os
import pathlib
import re
import subprocess

import pytest

from conftest import WINE_ENV

PREFIX = pathlib.Path(os.environ.get("WINEPREFIX", "."))
RUN = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
SERVICES = RUN + "Services"
ENTRY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelvarn"


def wine64(config):
    """Wine's 64-bit loader, beside the 32-bit one that the tests were given."""
    return pathlib.Path(config.windows[0]).with_name("wine64")


def output(*command, config=None, cwd=None, check=True):
    """A program's stdout; with config, a Windows one, under Wine's 64-bit loader."""
    wine = [wine64(config)] if config else []
    done = subprocess.run([*wine, *command], capture_output=True, check=check, timeout=300,
                          stdin=subprocess.DEVNULL, cwd=cwd, env={**os.environ, **WINE_ENV})
    return done.stdout if check else (done.returncode, done.stdout)


@pytest.fixture(name="disk")
def fixture_disk(request, tmp_path):
    """The floppy image's files, copied out as Windows would read them."""
    image = next(request.config.windows[1].glob("*-win98.img"))
    output("mcopy", "-n", "-i", image, "::*", tmp_path)
    return tmp_path


def install(config, inf, ports=None):
    """Right-click > Install on the INF, edited first to name ports where given."""
    if ports:
        shipped = inf.read_bytes()
        inf = inf.with_name("EDITADO.INF")
        inf.write_bytes(shipped.replace(b"Registro, COM1\r", b"Registro, " + ports + b"\r"))
    output("rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "132",
           "Z:" + str(inf), config=config, cwd=inf.parent)


UNINSTALL = b"RunDll setupx.dll,InstallHinfSection DefaultUninstall 4 QUELVARN.INF"


def uninstall(config):
    """What Add/Remove Programs starts, with Wine's setupapi for setupx: it finds the INF only in
    the INF folder."""
    output("rundll32", "setupapi.dll,InstallHinfSection", *UNINSTALL.decode().split()[2:],
           config=config, cwd=PREFIX)


def values(config, key):
    """Each value of key as reg query lists it: name and data; none where the key is absent."""
    code, listed = output("reg", "query", key, config=config, check=False)
    return re.findall(rb"^    (.*?)    REG_SZ    (.*)\r$", listed, re.M) if code == 0 else []


def started(*ports):
    return [(b"Quelvarn COM%d" % n, rb"C:\QUELVARN\QUELVARN.EXE %d" % n) for n in ports]


@pytest.fixture(name="prefix")
def fixture_prefix(request):
    """The prefix as a Windows 98 that never had Quelvarn, before and after the test."""
    def forget():
        if (PREFIX / "drive_c/windows/inf/QUELVARN.INF").exists():
            uninstall(request.config)
        for key in (RUN, SERVICES):
            for name, _ in values(request.config, key):
                output("reg", "delete", key, "/v", name.decode(), "/f", config=request.config)
    forget()
    request.addfinalizer(forget)
    return request.config



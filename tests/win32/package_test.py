# What a Windows 98 user is given: an image that Windows 98 loads, a ZIP
# and a floppy image with the same files, notes in ASCII and CR LF, and an
# ARRANQUE.BAT and a QUELVARN.REG that work under Wine's cmd and regedit.
# Wine's own programs run on its 64-bit side, which needs no emulator;
# Quelvarn.exe runs on the 32-bit side as ever.
import os
import pathlib
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import WINE_ENV
from end_to_end_test import BANNER, FAILURE, USAGE, stand

HERE = pathlib.Path(__file__).parent
DOCS = HERE.parents[1] / "docs"
# They all change the one prefix: one worker takes them in turn.
pytestmark = pytest.mark.xdist_group("prefix")


def output(*command, config=None):
    """A program's stdout; a Windows one runs under Wine's 64-bit loader."""
    wine = [pathlib.Path(config.windows[0]).with_name("wine64")] if config else []
    return subprocess.run([*wine, *command], capture_output=True, check=True,
                          timeout=60, stdin=subprocess.DEVNULL,
                          env={**os.environ, **WINE_ENV}).stdout


def test_windows_98_loads_the_image(request, record_property):
    """Also what the loader finds out too late: only names that Windows 98
    SE's KERNEL32.DLL and MSVCRT.DLL export, and no wide-character stub."""
    exe = pathlib.Path(request.config.getoption("windows")[1], "Quelvarn.exe")
    headers = output("i686-w64-mingw32-objdump", "-p", exe).decode()
    assert all(want in headers for want in (
        "file format pei-i386", "(PE32)", "(Windows CUI)",
        "MajorOSystemVersion\t4", "MinorOSystemVersion\t0",
        "MajorSubsystemVersion\t4", "MinorSubsystemVersion\t0"))
    imports = {dll.upper(): re.findall(r"^\t\w+\t +\d+  (\S+)$", names, re.M)
               for dll, names in re.findall(r"DLL Name: (\S+)\n(.*?)\n\n",
                                            headers, re.S)}
    record_property("Quelvarn.exe", f"{exe.stat().st_size} bytes of 16384; "
                    f"imports: {({d: len(n) for d, n in imports.items()})}")
    for dll, names in imports.items():
        exported = (HERE / f"windows98-{dll[:-4].lower()}.txt").read_text()
        assert [n for n in names if n not in exported.splitlines() or
                dll == "KERNEL32.DLL" and n.endswith("W")] == [], dll
    assert exe.stat().st_size <= 16384


def test_floppy_image_holds_the_zip_and_notes_in_crlf_ascii(request):
    tree = pathlib.Path(request.config.getoption("windows")[1])
    with zipfile.ZipFile(next(tree.glob("*-win98.zip"))) as archive:
        files = {os.path.basename(n): archive.read(n) for n in archive.namelist()}
    image = next(tree.glob("*-win98.img"))
    output("fsck.fat", "-n", image)
    assert output("mlabel", "-s", "-i", image, "::").split()[-1] == b"QUELVARN"
    assert sorted(output("mdir", "-b", "-i", image, "::").split()) == sorted(
        b"::/" + name.encode() for name in files)
    for name, content in files.items():
        assert output("mtype", "-i", image, "::" + name) == content
        assert name.endswith(".exe") or content.isascii() and content.count(
            b"\n") == content.count(b"\r\n") == content.count(b"\r") > 0, name
    assert re.fullmatch(b"REGEDIT4\r\n.*\r\n\r\n", files["QUELVARN.REG"], re.S)


@pytest.mark.parametrize("port, lines", [
    ("3", b"COM3 inicializado\nListo: COM3 puede usarse.\n"),
    ("8", FAILURE + b"Aviso: COM8 no existe o lo usa otro programa.\n"),
    ("0", USAGE + b'Aviso: "0" no es un numero de puerto.\n'),
], ids=["0", "2", "1"])  # the ERRORLEVEL that each branch follows
def test_batch_file_branches_on_errorlevel(request, port, lines):
    folder = pathlib.Path(os.environ["WINEPREFIX"], "drive_c/QUELVARN")
    folder.mkdir(exist_ok=True)
    shutil.copy(request.config.windows[1] / "Quelvarn.exe",
                folder / "QUELVARN.EXE")
    shutil.copy(DOCS / "ARRANQUE.BAT", folder)
    stand("com3", None, request)  # COM3 is there, COM8 is not
    assert output("cmd", "/c", r"C:\QUELVARN\ARRANQUE.BAT", port,
                  config=request.config) == (BANNER + lines).replace(
                      b"\n", b"\r\n")


def test_registry_file_adds_the_run_value(request):
    output("regedit", "/S", "Z:" + str(DOCS / "QUELVARN.REG").replace("/", "\\"),
           config=request.config)
    assert rb"    Quelvarn    REG_SZ    C:\QUELVARN\QUELVARN.EXE 1" in output(
        "reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run",
        "/v", "Quelvarn", config=request.config)

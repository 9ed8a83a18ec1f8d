# What a Windows 98 user is given: an image that Windows 98 loads, a ZIP and a floppy image with
# the same files, notes in ASCII and CR LF, and a QUELVARN.INF, an ARRANQUE.BAT and a QUELVARN.REG
# that work under Wine's setupapi, cmd and regedit. Wine's own programs run on its 64-bit side,
# which needs no emulator; Quelvarn.exe runs on the 32-bit side as ever.
import os
import pathlib
import re
import socket
import zipfile

import pefile
import pytest

from conftest import ROOT
from helpers import BANNER, FAILURE, USAGE, open_terminal
from windows import (ENTRY, PREFIX, RUN, SERVICES, UNINSTALL, install, output, started,
                     uninstall, values)
from windows import fixture_disk, fixture_prefix  # noqa: F401 (pytest finds them by name)

# They all change the one prefix: one worker takes them in turn.
pytestmark = pytest.mark.xdist_group("prefix")
SIZE_BUDGET = 16384  # bytes of Quelvarn.exe


@pytest.fixture(name="image")
def fixture_image(request):
    """Quelvarn.exe as Windows' loader and Explorer read it."""
    return pefile.PE(request.config.windows[1] / "Quelvarn.exe")


def test_windows_98_loads_the_image(image, record_property):
    """Also what the loader finds out too late: only names that Windows 98 SE's KERNEL32.DLL and
    MSVCRT.DLL export, and no wide-character stub."""
    header, size = image.OPTIONAL_HEADER, len(image.__data__)
    # i386, PE32, the console subsystem, Windows 4.0.
    assert (image.FILE_HEADER.Machine, header.Magic, header.Subsystem) == (0x14C, 0x10B, 3)
    assert (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion,
            header.MajorSubsystemVersion, header.MinorSubsystemVersion) == (4, 0, 4, 0)
    imports = {dll.dll.decode().upper(): [i.name.decode() for i in dll.imports]
               for dll in image.DIRECTORY_ENTRY_IMPORT}
    record_property("Quelvarn.exe", f"{size} bytes of {SIZE_BUDGET}; "
                    f"imports: {({d: len(n) for d, n in imports.items()})}")
    for dll, names in imports.items():
        exported = pathlib.Path(__file__).with_name(f"windows98-{dll[:-4].lower()}.txt")
        assert [n for n in names if n not in exported.read_text().splitlines()
                or dll == "KERNEL32.DLL" and n.endswith("W")] == [], dll
    assert size <= SIZE_BUDGET


def test_windows_can_describe_the_image(request, image):
    """Its version resource, in Spanish (0x0C0A, code page 1252), as Explorer's Properties shows
    it: the release's version, the banner's company, the licence's copyright line."""
    version = request.config.option.release[0]
    major, minor, patch = map(int, version.split("."))
    fixed, (strings, translation) = image.VS_FIXEDFILEINFO[0], image.FileInfo[0]
    # VOS__WINDOWS32, VFT_APP: a Win32 application, not a DLL or an NT-only program.
    assert (fixed.FileOS, fixed.FileType, fixed.FileSubtype) == (0x4, 0x1, 0)
    assert {(fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS,
            fixed.ProductVersionLS)} == {(major << 16 | minor, patch << 16)}
    [table] = strings.StringTable
    assert (table.LangID, translation.Var[0].entry) == (b"0C0A04E4", {b"Translation":
                                                                      "0x0c0a 0x04e4"})
    said = {k.decode(): v.decode() for k, v in table.entries.items()}
    assert set(said) == {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                         "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}
    licence = (ROOT / "LICENSE").read_text()
    assert [said[k] for k in ("CompanyName", "FileVersion", "ProductVersion", "LegalCopyright")] \
        == [BANNER.split(b"\n")[1].decode("cp850"), version, version,
            re.search(r"^Copyright .*", licence, re.M)[0]]


def test_floppy_image_holds_the_zip_and_notes_of_the_release(request, disk):
    """In CR LF ASCII, naming the release's version and no other."""
    tree, version = request.config.windows[1], request.config.option.release[0]
    image, zip_ = (tree / f"Quelvarn-{version}-win98.{e}" for e in ("img", "zip"))
    assert {*tree.glob("*-win98.zip"), *tree.glob("*-win98.img")} == {zip_, image}
    with zipfile.ZipFile(zip_) as archive:
        files = {os.path.basename(n): archive.read(n) for n in archive.namelist()}
        # Nothing of the builder's: no uid, gid or local times in extra fields.
        assert {i.filename: i.extra for i in archive.infolist() if i.extra} == {}
    output("fsck.fat", "-n", image)
    assert image.stat().st_size == 1474560  # what a 3.5" high-density disk holds
    assert output("mlabel", "-s", "-i", image, "::").split()[-1] == b"QUELVARN"
    assert {p.name: p.read_bytes() for p in disk.iterdir()} == files
    for name, content in files.items():
        assert name.endswith(".exe") or content.isascii() and content.count(b"\n") == \
            content.count(b"\r\n") == content.count(b"\r") > 0, name
        assert name.endswith(".exe") or set(re.findall(rb"\b\d+\.\d+\.\d+\b", content)) <= {
            version.encode()}, name
    assert files["LEEME.TXT"].startswith(f"Quelvarn {version} - ".encode())
    assert re.fullmatch(b"REGEDIT4\r\n.*\r\n\r\n", files["QUELVARN.REG"], re.S)
    assert b'\r\nSignature="$CHICAGO$"\r\n' in files["QUELVARN.INF"]
    # Quelvarn's licence, and the notice that mingw-w64's runtime, linked in, asks binary copies
    # for, as the copyright file of Debian's mingw-w64 words it.
    licence = (ROOT / "LICENSE").read_text()
    mingw = re.search(r"^Files: \*\nCopyright: (.*)\nLicense: ZPL-2.1\n((?: .*\n)+)", pathlib.Path(
        "/usr/share/doc/mingw-w64-i686-dev/copyright").read_text(), re.M)
    for notice in (licence, mingw[1], re.sub(r"(?m)^ \.$", "", mingw[2])):
        assert " ".join(notice.split()) in " ".join(files["LICENCIA.TXT"].decode().split())


def test_leeme_quotes_what_the_screen_shows(request, disk):
    """The one line of the INF that the user must find, found once; the message that a floppy
    left in A: gives at the next start, as the image's boot sector has it; 80 columns."""
    leeme, inf = ((disk / n).read_bytes() for n in ("LEEME.TXT", "QUELVARN.INF"))
    line = b"AddReg=Quelvarn.Registro, COM1"
    assert (inf.count(line), inf.count(line + b"\r"), line in leeme) == (1, 1, True)
    boot = next(request.config.windows[1].glob("*-win98.img")).read_bytes()[:512]
    said = re.search(rb"This is not a bootable disk[^\0]*?\.\.\.", boot)[0]
    assert b" ".join(said.split()) in b" ".join(leeme.split())
    assert max(map(len, leeme.split(b"\r\n"))) <= 80


def test_inf_installs_for_the_ports_named_in_run_services(prefix, disk):
    """Right-click > Install, from the disk's folder as from A:, first for COM2 and then for COM1
    and COM2 as LEEME.TXT says: the files, the INF kept for Add/Remove Programs, one RunServices
    value for each port and none in Run."""
    install(prefix, disk / "QUELVARN.INF", b"COM2")
    install(prefix, disk / "QUELVARN.INF", b"COM1, COM2")
    files = {p.name.upper(): p.read_bytes() for p in disk.iterdir()}
    assert {p.name.upper(): p.read_bytes() for p in (PREFIX / "drive_c/QUELVARN").iterdir()} == {
        n: files[n] for n in ("QUELVARN.EXE", "ARRANQUE.BAT", "LEEME.TXT", "LICENCIA.TXT")}
    # Where Add/Remove Programs finds it once the floppy is gone.
    assert (PREFIX / "drive_c/windows/inf/QUELVARN.INF").read_bytes() == files["QUELVARN.INF"]
    assert [values(prefix, k) for k in (SERVICES, RUN, ENTRY)] == [started(1, 2), [], [
        (b"DisplayName", b"Quelvarn"), (b"UninstallString", UNINSTALL)]]


def test_every_port_section_starts_its_own_port(prefix, disk):
    install(prefix, disk / "QUELVARN.INF", b", ".join(b"COM%d" % n for n in range(1, 10)))
    assert values(prefix, SERVICES) == started(*range(1, 10))


def test_uninstall_leaves_nothing_of_any_port(prefix, disk):
    install(prefix, disk / "QUELVARN.INF", b", ".join(b"COM%d" % n for n in range(1, 10)))
    uninstall(prefix)
    assert list((PREFIX / "drive_c/QUELVARN").iterdir()) == []
    assert not (PREFIX / "drive_c/windows/inf/QUELVARN.INF").exists()
    assert [values(prefix, k) for k in (SERVICES, RUN, ENTRY)] == [[], [], []]


def test_arranque_reports_each_port_and_a_missing_program(prefix, disk, request):
    """The installed ARRANQUE.BAT taking each ERRORLEVEL branch, with Wine's COMn as its prefix's
    dosdevices folder links it: COM1 a terminal, COM2 a socket, which no open takes (Wine falls
    back on /dev/ttyS0 for a missing or dangling link)."""
    install(prefix, disk / "QUELVARN.INF")
    com1, com2 = (PREFIX / f"dosdevices/com{n}" for n in "12")
    request.addfinalizer(lambda: [com.unlink(missing_ok=True) for com in (com1, com2)])
    for com in (com1, com2):
        com.unlink(missing_ok=True)
    open_terminal(request, link=com1)
    socket.socket(socket.AF_UNIX).bind(str(disk / "socket"))
    com2.symlink_to(disk / "socket")

    def arranque(*ports):
        return output("cmd", "/c", r"C:\QUELVARN\ARRANQUE.BAT", *ports, config=prefix)
    ready = BANNER + b"COM1 inicializado\nListo: COM1 puede usarse.\n"
    assert [arranque(), arranque("1", "2", "0")] == [t.replace(b"\n", b"\r\n") for t in (
        ready, ready + BANNER + FAILURE + b"Aviso: COM2 no existe o lo usa otro programa.\n" +
        BANNER + USAGE + b'Aviso: "0" no es un numero de puerto.\n')]
    # A missing program leaves ERRORLEVEL as it was under COMMAND.COM: it must not pass for a port.
    (PREFIX / "drive_c/QUELVARN/QUELVARN.EXE").unlink()
    assert arranque("1") == rb"Error: falta C:\QUELVARN\QUELVARN.EXE; ningun puerto " \
        b"inicializado.\r\n"


def test_reg_file_adds_the_run_services_value_for_com1(prefix, disk):
    """By hand instead of the INF."""
    output("regedit", "/S", "Z:" + str(disk / "QUELVARN.REG"), config=prefix)
    assert [values(prefix, k) for k in (SERVICES, RUN)] == [started(1), []]

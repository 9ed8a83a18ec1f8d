# What a Windows 98 user is given: an image that Windows 98 loads and can describe, a ZIP and a
# floppy image with the same files, notes in ASCII and CR LF that name the facts that ship, and a
# QUELVARN.INF, an ARRANQUE.BAT and a QUELVARN.REG that work under Wine's setupapi, cmd and
# regedit, in the Wine prefix that ctest made. Wine's own programs run on its 64-bit side, which
# needs no emulator; Quelvarn.exe runs on the 32-bit side as ever. Each test leaves the prefix as
# a Windows 98 that never had Quelvarn.
import os
import pathlib
import re
import subprocess
import zipfile

import pefile
import pytest

from conftest import BANNER, FAILURE, ROOT, USAGE, WINE_ENV

# They all change the one prefix: one worker takes them in turn.
pytestmark = pytest.mark.xdist_group("prefix")
SIZE_BUDGET = 16384  # bytes of Quelvarn.exe
PREFIX = pathlib.Path(os.environ.get("WINEPREFIX", "."))
SERVICES = r"HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices"
ENTRY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelvarn"
UNINSTALL = b"RunDll setupx.dll,InstallHinfSection DefaultUninstall 4 QUELVARN.INF"


def wine(config, *command, cwd=PREFIX):
    """A Windows program's status and stdout, run on Wine's 64-bit side."""
    done = subprocess.run([pathlib.Path(config.windows[0]).with_name("wine64"), *command],
                          capture_output=True, timeout=300, cwd=cwd, stdin=subprocess.DEVNULL,
                          env={**os.environ, **WINE_ENV}, check=False)
    return done.returncode, done.stdout


@pytest.fixture(name="disk")
def fixture_disk(request, tmp_path):
    """The floppy image's files, copied out as Windows would read them, and a finalizer that
    does what Add/Remove Programs starts, with Wine's setupapi for setupx (it finds the INF only
    in the INF folder; where it is gone, nothing is done)."""
    image = next(request.config.windows[1].glob("*-win98.img"))
    subprocess.run(["mcopy", "-n", "-i", image, "::*", tmp_path], check=True)
    request.addfinalizer(lambda: wine(request.config, "rundll32", "setupapi.dll,InstallHinfSection",
                                      *UNINSTALL.decode().split()[2:]))
    return tmp_path


def install(config, disk, ports):
    """Right-click > Install on the disk's INF, once its AddReg line names the ports, as LEEME.TXT
    says."""
    (disk / "EDITADO.INF").write_bytes((disk / "QUELVARN.INF").read_bytes().replace(
        b"Registro, COM1\r", b"Registro, " + ports + b"\r"))
    assert wine(config, "rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "132",
                "Z:" + str(disk / "EDITADO.INF"), cwd=disk)[0] == 0


def values(config, key):
    """Each value of key as reg query lists it, name and data, but Wine's own (winemenubuilder,
    which Wine starts from RunServices); none where the key is absent."""
    code, listed = wine(config, "reg", "query", key)
    said = re.findall(rb"^    (.*?)    REG_SZ    (.*)\r$", listed, re.M) if code == 0 else []
    return [(name, data) for name, data in said if name != b"winemenubuilder"]


def started(*ports):
    return [(b"Quelvarn COM%d" % n, rb"C:\QUELVARN\QUELVARN.EXE %d" % n) for n in ports]


def test_windows_98_loads_and_describes_the_image(request, record_property):
    """i386, PE32, the console subsystem, Windows 4.0; and what the loader finds out too late:
    only names that Windows 98 SE's KERNEL32.DLL and MSVCRT.DLL export, and no wide-character
    stub. Its version resource, in Spanish (0x0C0A, code page 1252), as Explorer's Properties
    shows it: the release's version, the banner's company, the licence's copyright line."""
    image = pefile.PE(request.config.windows[1] / "Quelvarn.exe")
    header, size = image.OPTIONAL_HEADER, len(image.__data__)
    record_property("Quelvarn.exe", f"{size} bytes of {SIZE_BUDGET}")
    assert size <= SIZE_BUDGET
    assert (image.FILE_HEADER.Machine, header.Magic, header.Subsystem) == (0x14C, 0x10B, 3)
    assert (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion,
            header.MajorSubsystemVersion, header.MinorSubsystemVersion) == (4, 0, 4, 0)
    for dll in image.DIRECTORY_ENTRY_IMPORT:
        exported = pathlib.Path(__file__).with_name(f"windows98-{dll.dll.decode()[:-4].lower()}.txt")
        assert [i.name for i in dll.imports if i.name.decode() not in exported.read_text().split(
            "\n") or dll.dll.upper() == b"KERNEL32.DLL" and i.name.endswith(b"W")] == [], dll.dll
    version = request.config.option.release[0]
    major, minor, patch = map(int, version.split("."))
    fixed, (strings, translation) = image.VS_FIXEDFILEINFO[0], image.FileInfo[0]
    [table] = strings.StringTable
    assert (fixed.FileVersionMS, fixed.FileVersionLS, table.LangID, translation.Var[0].entry) == (
        major << 16 | minor, patch << 16, b"0C0A04E4", {b"Translation": "0x0c0a 0x04e4"})
    assert [table.entries[k].decode() for k in (b"FileVersion", b"CompanyName", b"LegalCopyright")
            ] == [version, BANNER.split(b"\n")[1].decode("cp850"),
                  re.search(r"^Copyright .*", (ROOT / "LICENSE").read_text(), re.M)[0]]


def test_the_disks_hold_the_release(request, disk):
    """The ZIP and the 1.44 MB floppy image hold the same files, the notes in ASCII and CR LF,
    naming the release's version and no other. LEEME.TXT, within 80 columns, names the facts that
    ship: the ports that the INF knows, its line to change, the boot sector's message for a
    floppy left in A:. LICENCIA.TXT carries Quelvarn's licence and the notice that mingw-w64's
    runtime, linked in, asks binary copies for, as Debian's mingw-w64 words it."""
    tree, version = request.config.windows[1], request.config.option.release[0]
    image = tree / f"Quelvarn-{version}-win98.img"
    with zipfile.ZipFile(tree / f"Quelvarn-{version}-win98.zip") as archive:
        files = {os.path.basename(n): archive.read(n) for n in archive.namelist()}
    assert (image.stat().st_size, {p.name: p.read_bytes() for p in disk.iterdir()}) == (
        1474560, files)
    for name, text in files.items():
        assert name.endswith(".exe") or text.isascii() and text.count(b"\n") == text.count(
            b"\r\n") == text.count(b"\r") > 0 and set(re.findall(
                rb"\b\d+\.\d+\.\d+\b", text)) <= {version.encode()}, name
    leeme, inf = files["LEEME.TXT"], files["QUELVARN.INF"]
    ports = re.findall(rb"^\[(COM\d+)\]\r$", inf, re.M)
    said = re.search(rb"This is not a bootable disk[^\0]*?\.\.\.", image.read_bytes()[:512])[0]
    assert leeme.startswith(f"Quelvarn {version} - ".encode())
    assert max(map(len, leeme.split(b"\r\n"))) <= 80
    assert b"%s a %s" % (ports[0], ports[-1]) in leeme and inf.count(b"Registro, COM1\r") == 1
    assert b"AddReg=Quelvarn.Registro, COM1\r" in leeme
    assert b" ".join(said.split()) in b" ".join(leeme.split())
    mingw = re.search(r"^Files: \*\nCopyright: (.*)\nLicense: ZPL-2.1\n((?: .*\n)+)", pathlib.Path(
        "/usr/share/doc/mingw-w64-i686-dev/copyright").read_text(), re.M)
    for notice in ((ROOT / "LICENSE").read_text(), mingw[1], re.sub(r"(?m)^ \.$", "", mingw[2])):
        assert " ".join(notice.split()) in " ".join(files["LICENCIA.TXT"].decode().split())


def test_inf_installs_each_port_and_uninstall_leaves_none(request, disk):
    """Right-click > Install, from the disk's folder as from A:, for COM2, then again for every
    port that the INF knows: the files, the INF kept for Add/Remove Programs, one RunServices
    value for each port; then Add/Remove Programs takes all of it away."""
    config, ports = request.config, re.findall(rb"^\[(COM\d+)\]\r$", (disk / "QUELVARN.INF")
                                               .read_bytes(), re.M)
    install(config, disk, b"COM2")
    install(config, disk, b", ".join(ports))
    files = {p.name.upper(): p.read_bytes() for p in disk.iterdir()}
    assert {p.name.upper(): p.read_bytes() for p in (PREFIX / "drive_c/QUELVARN").iterdir()} == {
        n: files[n] for n in ("QUELVARN.EXE", "ARRANQUE.BAT", "LEEME.TXT", "LICENCIA.TXT")}
    assert (PREFIX / "drive_c/windows/inf/QUELVARN.INF").read_bytes() == files["QUELVARN.INF"]
    assert [values(config, k) for k in (SERVICES, ENTRY)] == [started(*range(1, 10)), [
        (b"DisplayName", b"Quelvarn"), (b"UninstallString", UNINSTALL)]]
    wine(config, "rundll32", "setupapi.dll,InstallHinfSection", *UNINSTALL.decode().split()[2:])
    assert list((PREFIX / "drive_c/QUELVARN").iterdir()) == []
    assert not (PREFIX / "drive_c/windows/inf/QUELVARN.INF").exists()
    assert [values(config, k) for k in (SERVICES, ENTRY)] == [[], []]


def test_reg_file_adds_the_run_services_value_for_com1(request, disk):
    """By hand instead of the INF; the value is taken away after."""
    wine(request.config, "regedit", "/S", "Z:" + str(disk / "QUELVARN.REG"))
    assert values(request.config, SERVICES) == started(1)
    wine(request.config, "reg", "delete", SERVICES, "/v", "Quelvarn COM1", "/f")


def test_arranque_reports_each_port_and_a_missing_program(request, disk):
    """The installed ARRANQUE.BAT taking each ERRORLEVEL branch, with Wine's COMn as its prefix's
    dosdevices folder links it: COM1 a file, COM2 a folder, which no open takes (Wine falls back
    on the machine's /dev/ttyS0 for a missing or dangling link)."""
    install(request.config, disk, b"COM1")
    ports = {PREFIX / "dosdevices/com1": disk / "LEEME.TXT", PREFIX / "dosdevices/com2": disk}
    request.addfinalizer(lambda: [com.unlink(missing_ok=True) for com in ports])
    for com, target in ports.items():
        com.unlink(missing_ok=True)
        com.symlink_to(target)
    arranque = [request.config, "cmd", "/c", r"C:\QUELVARN\ARRANQUE.BAT"]
    ready = BANNER + b"COM1 inicializado\nListo: COM1 puede usarse.\n"
    assert [wine(*arranque)[1], wine(*arranque, "1", "2", "0")[1]] == [t.replace(b"\n", b"\r\n")
                                                                      for t in (ready, ready + (
        BANNER + FAILURE + b"Aviso: COM2 no existe o lo usa otro programa.\n" + BANNER + USAGE +
        b'Aviso: "0" no es un numero de puerto.\n'))]
    # A missing program leaves ERRORLEVEL as it was under COMMAND.COM: it must not pass for a port.
    (PREFIX / "drive_c/QUELVARN/QUELVARN.EXE").unlink()
    assert wine(*arranque, "1")[1] == rb"Error: falta C:\QUELVARN\QUELVARN.EXE; ningun puerto " \
        b"inicializado.\r\n"

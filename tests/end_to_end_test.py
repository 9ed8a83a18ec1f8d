# Runs the built program, natively or under Wine, on tables of cases and
# checks what a caller sees and what must not change: the exact stdout bytes,
# stderr, the exit status, the working folder (names, contents, times) and a
# terminal's settings. Cases that need checks of their own follow the tables.
import fcntl
import os
import pathlib
import pty
import re
import struct
import subprocess
import termios
import tty
from typing import NamedTuple, Optional, Union

import pytest

from conftest import WINE_ENV

BANNER = (b"Quelvarn: Programa para patchear problema de puertos seriales bajo "
          b"Windows 98 SE\nCompa\xa4\xa1a Ketravol\n")
USAGE = b"Uso: Quelvarn n\n\tn: numero de COM a usar\n"
FAILURE = b"El puerto especificado no pudo ser abierto\n"
POSIX, WINDOWS = ("posix",), ("windows",)
BOTH = POSIX + WINDOWS


class Case(NamedTuple):
    argv: Union[list, str]  # a str is a raw Windows command line to split
    stands: str = "nothing"  # what stands at the composed name: see stand()
    stdout: str = "pipe"  # pipe, file, closed, full, broken pipe, terminal
    builds: tuple = BOTH
    status: int = 0
    name: Optional[str] = None  # the composed name, where not COM + argv[0]


ARGUMENTS = [
    *[Case(argv, status=1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["00"], ["+0"], ["-0"], ["+"], ["-"],
        ["abc"], ["x3"], [""], [" \t "], ["- 3"], ["+-3"], ["--3"], ["0x10"],
        ["4294967296"], ["18446744073709551616"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    *[Case([a], status=2) for a in ("3abc", "07", "-1", " 3", "4294967297")],
    *[Case([a], "file") for a in (
        "3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124, "3%n%s%x")],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[Case([a], "file", builds=POSIX) for a in (
        "3\xa4\xa1\x80\xff", "3\\", "3*", '3"q"', " \t\n\v\f\r3")],
]
WHAT_STANDS = [
    *[Case(["3x"], what, builds=POSIX, status=2) for what in (
        "folder", "dangling link", "link loop", "unwritable file")],
    Case(["3missing/x"], builds=POSIX, status=2),  # no such folder
    *[Case(["4x"], what, builds=POSIX, status=status) for what, status in (
        ("fifo", 0), ("terminal", 0), ("terminal in exclusive mode", 2),
        ("terminal with an exclusive flock", 2),
        ("terminal with a shared flock", 2),
        ("terminal with a live process's lock file", 2),
        ("terminal with a live process's binary lock file", 2),
        ("terminal with a live process's lock file for its link", 2),
        ("terminal with a dead process's lock file", 0),
        ("terminal with another device's lock file", 0))],
    Case(["9"], builds=WINDOWS, status=2),  # no COM9 in Wine's prefix
    Case("5x", "file held by another program", builds=WINDOWS, status=2,
         name="COM5x"),
]
WHERE_STDOUT_GOES = [
    Case(argv, stands, stdout, status=status)
    for stdout in ("file", "closed", "full", "broken pipe", "terminal")
    for argv, stands, status in (([], "nothing", 1), (["5y"], "nothing", 2),
                                 (["5x"], "file", 0))]
WINDOWS_COMMAND_LINES = [
    *[Case(raw, "file" if name else "nothing", builds=WINDOWS, status=status,
           name=name) for raw, status, name in (
        ("1 2", 1, ""), ("1\t2", 1, ""), ('""', 1, ""),
        ('"1 2"', 0, "COM1 2"), ('1" "2', 0, "COM1 2"),
        ('"1 2', 0, "COM1 2"),  # an open quote runs to the end
        ("3\\x", 0, "COM3\\x"))],  # a backslash not before a quote
    # Not expanded, as a glob would expand it to 3x.
    Case("3*", "what a glob of the argument names", builds=WINDOWS, status=2,
         name="COM3x"),
]
TABLES = {"argument": ARGUMENTS, "standing": WHAT_STANDS,
          "stdout": WHERE_STDOUT_GOES, "command line": WINDOWS_COMMAND_LINES}


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        windows = metafunc.config.windows
        # Wine puts its own console between the program and a terminal.
        cases = [pytest.param(c, id=f"{table}: {c.argv!r:.40} {c.stands} "
                              f">{c.stdout}") for table, rows in TABLES.items()
                 for c in rows if (WINDOWS if windows else POSIX)[0] in c.builds
                 and not (windows and c.stdout == "terminal")]
        metafunc.parametrize("case", cases)


def run(config, args, cwd, stdout="pipe", wrapper=(), env=()):
    """Runs the program in cwd; returns its status, stdout and stderr."""
    program = config.program
    if config.windows:
        loader, tree, _ = config.windows
        program = str(tree / "Quelvarn.exe")
        if isinstance(args, str):  # a raw command line, through the helper
            args = ["Z:" + program.replace("/", "\\"), args, *wrapper]
            program, wrapper = str(tree / "tests/quelvarn_helper.exe"), ()
        wrapper = [loader, *wrapper]
    redirect = {"file": ">../stdout", "full": ">/dev/full", "closed": ">&-"}
    reader, writer = {"broken pipe": os.pipe, "terminal": pty.openpty}.get(
        stdout, lambda: (None, subprocess.PIPE))()
    if stdout == "broken pipe":
        os.close(reader)
    if stdout == "terminal":
        tty.setraw(writer)  # the bytes as they were written
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {redirect.get(stdout, "")}', "sh", *wrapper,
         program, *[a.encode("latin-1") for a in args]],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
        env={**os.environ, **(WINE_ENV if config.windows else {}), **dict(env)},
        timeout=60, check=False)
    out = done.stdout
    if stdout in ("broken pipe", "terminal"):
        os.close(writer)
    if stdout == "terminal":
        out = os.read(reader, 65536)
        os.close(reader)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


def terminal(request, path, claim=None):
    """A terminal at path, open by another program, which claims it as
    claim says; returns its own end's fd."""
    master, slave = pty.openpty()
    # Another program's own open file, so that its hold is not ours.
    other = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    request.addfinalizer(lambda: [os.close(fd) for fd in (master, slave, other)])
    if claim == "exclusive mode":
        fcntl.ioctl(other, termios.TIOCEXCL)
    elif claim and "lock file" in claim:
        lock_file(request, claim, os.ttyname(slave), path.name)
    elif claim:
        fcntl.flock(other, {"an exclusive flock": fcntl.LOCK_EX,
                            "a shared flock": fcntl.LOCK_SH}[claim])
    os.symlink(os.ttyname(slave), path)
    return slave


def lock_file(request, claim, device, link):
    """The lock file that minicom or lockdev would write in /var/lock for
    device, or for the link to it: a PID, as ten digits or a binary int."""
    pid = os.getpid()
    if "dead" in claim:
        gone = subprocess.Popen(["true"])
        gone.wait()
        pid = gone.pid
    text = struct.pack("=i", pid) if "binary" in claim else b"%10d\n" % pid
    name = {"another device's lock file": link + "other",
            "a live process's lock file for its link": link}.get(
                claim, os.path.basename(device))
    lock = pathlib.Path("/var/lock/LCK.." + name)
    lock.write_bytes(text)

    def remove():  # Whatever else failed: it was only read.
        left = lock.read_bytes()
        lock.unlink()
        assert left == text, f"{lock} changed"
    request.addfinalizer(remove)


def wine_com_port(request, port):
    """Wine's COMn, as its prefix's dosdevices folder links it: a terminal."""
    path = pathlib.Path(os.environ["WINEPREFIX"], "dosdevices", f"com{port}")
    path.unlink(missing_ok=True)
    request.addfinalizer(path.unlink)
    return terminal(request, path)


def stand(what, path, request):
    """Puts at path what a case says stands there; returns a terminal's fd."""
    if what.startswith("terminal"):
        claim = re.match(r"terminal (?:in|with) (.*)", what)
        return terminal(request, path, claim and claim[1])
    if what == "what a glob of the argument names":
        (path.parent / "3x").touch()
    if "file" in what or "glob" in what:
        path.parent.mkdir(exist_ok=True)  # Windows' COM3\x is x in COM3
        path.write_bytes(b"contenido")
        os.utime(path, (1e9, 1e9))
        path.chmod(0o444 if what == "unwritable file" else 0o644)
    {"folder": os.mkdir, "fifo": os.mkfifo,
     "dangling link": lambda p: os.symlink("nowhere", p),
     "link loop": lambda p: os.symlink(p, p)}.get(what, id)(path)
    return None


def folder(path):
    return {p: (p.lstat().st_mode, p.lstat().st_mtime_ns, p.is_file() and
                not p.is_symlink() and p.read_bytes()) for p in path.iterdir()}


def test_case(case, tmp_path, request):
    config, cwd = request.config, tmp_path / "work"
    name = (case.name if case.name is not None else "COM" + (
        case.argv[0] if case.argv else "")).encode("latin-1")
    cwd.mkdir()
    path = cwd / os.fsdecode(name.replace(b"\\", b"/") if config.windows else name)
    held = stand(case.stands, path, request)
    settings = held and termios.tcgetattr(held)
    before = folder(cwd)
    wrapper = ()
    if case.stands == "file held by another program":
        wrapper = (os.fsdecode(name),)  # the helper holds it
    if case.stands == "unwritable file" and os.geteuid() == 0:
        wrapper = ("setpriv", "--bounding-set=-dac_override")  # root writes all

    code, out, err = run(config, case.argv, cwd, case.stdout, wrapper)

    # Where Wine itself failed the run, its own messages say so.
    assert code == case.status, re.findall(rb"^(?:wine: |\w{4}:err:).*", err, re.M)
    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[
        case.status]
    assert out == (text.replace(b"\n", b"\r\n") if config.windows else text
                   ) or case.stdout in ("closed", "full", "broken pipe")
    assert not any(text in err for text in (BANNER, USAGE, FAILURE))
    assert err == b"" or config.windows
    assert folder(cwd) == before
    assert not held or termios.tcgetattr(held) == settings


def only(windows, config):
    if bool(config.windows) != windows:
        pytest.skip("under Wine alone" if windows else "native builds alone")


# LeakSanitizer, in a sanitized build, cannot run under ptrace.
STRACE = ("strace", "-qq", "-o", "/dev/stderr")
TRACED = {"ASAN_OPTIONS": "detect_leaks=0"}


@pytest.mark.parametrize("stdout", ["pipe", "file"])
@pytest.mark.parametrize("argv", [[], ["5y"], ["1"]])
def test_traced(request, tmp_path, argv, stdout):
    """COM1 is ttyS0, opened for reading and writing, waiting for no carrier,
    creating nothing. The texts reach a pipe or a file in one write, so that
    runs started together into one log do not interleave."""
    only(False, request.config)
    code, _, err = run(request.config, argv, tmp_path, stdout, wrapper=(
        *STRACE, "-e", "open,openat,write,writev"), env=TRACED)
    assert len(re.findall(rb"^writev?\(1,", err, re.M)) == 1, err
    if argv == ["1"]:  # opened or not, as the machine has it
        flags, opened = re.search(rb'"/dev/ttyS0", ([A-Z_|]+)\) = (\d?)',
                                  err).groups()
        assert set(flags.split(b"|")) - {b"O_LARGEFILE"} == {
            b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}
        assert code == (0 if opened else 2)


def test_wine_opens_exclusively_for_reading_and_writing(request, tmp_path):
    """Reading and writing, no sharing (the exclusivity), only what exists."""
    only(True, request.config)
    (tmp_path / "COM5x").write_bytes(b"contenido")
    code, _, err = run(request.config, ["5x"], tmp_path,
                       env={"WINEDEBUG": "trace+file"})
    assert code == 0
    assert (b'CreateFileW L"COM5x" GENERIC_READ GENERIC_WRITE  creation 3 '
            b'attributes 0x0\n') in err


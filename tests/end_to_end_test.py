# Runs the built program, natively or under Wine, on tables of cases and
# checks what a caller sees and what must not change: the exact stdout bytes,
# stderr, the exit status, the working folder (names, contents, times) and a
# terminal's settings. Cases that need checks of their own follow the tables.
import ctypes
import fcntl
import grp
import os
import pathlib
import pty
import re
import select
import stat
import struct
import subprocess
import termios
import tty
import types
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
    user: str = "runner"  # or "dialout": an ordinary user of serial ports


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

PID = os.getpid()  # a process that runs: the one running the tests
LIVE = b"%10d\n" % PID  # its lock file, as the FHS, minicom and lockdev write it
# No process has the PID that the kernel's pid_max names.
GONE = b"%10d\n" % int(pathlib.Path("/proc/sys/kernel/pid_max").read_text())
# How another program holds a terminal: what it writes in the lock file for
# the terminal, or what it does, given t (its own fd on it, the lock files
# for the terminal and its link, a folder); and the status that follows.
# Then what any local user can put in /var/lock instead, which holds nothing.
HOLDS = {
    "": (0, None),
    "in exclusive mode": (2, lambda t: fcntl.ioctl(t.fd, termios.TIOCEXCL)),
    "with an exclusive flock": (2, lambda t: fcntl.flock(t.fd, fcntl.LOCK_EX)),
    "with a shared flock": (2, lambda t: fcntl.flock(t.fd, fcntl.LOCK_SH)),
    "with a live process's lock file": (2, LIVE),
    "with a live process's binary lock file": (2, struct.pack("=i", PID)),
    "with a live process's lock file for its link":
        (2, lambda t: t.link_lock.write_bytes(LIVE)),
    "with a lock file naming no process": (0, GONE),
    "with a lock file linking to another terminal":
        (0, lambda t: t.lock.symlink_to(unopened_terminal(t.request))),
    "with a lock file linking to a live process's lock file": (0, lambda t: (
        t.lock.with_name("live").write_bytes(LIVE), t.lock.symlink_to("live"))),
    "with a FIFO for a lock file": (0, lambda t: os.mkfifo(t.lock)),
    "with a folder for a lock file": (0, lambda t: t.lock.mkdir()),
    "with an empty lock file": (0, b""),
    "with a lock file naming PID 0": (0, b"%10d\n" % 0),
    "with a binary lock file naming -1": (0, struct.pack("=i", -1)),
    "with a lock file with text after the PID": (0, LIVE.replace(b"\n", b"x\n")),
    "with a binary lock file a byte too long": (0, struct.pack("=i", PID) + b"\0"),
}
WHAT_STANDS = [
    *[Case(["3x"], what, builds=POSIX, status=2) for what in (
        "folder", "dangling link", "link loop")],
    Case(["3x"], "file", builds=POSIX, status=2, user="dialout"),  # read-only
    Case(["3missing/x"], builds=POSIX, status=2),  # no such folder
    Case(["4x"], "fifo", builds=POSIX),
    *[Case(["4x"], f"terminal {hold}".strip(), builds=POSIX, status=status, user=user)
      for hold, (status, _) in HOLDS.items() for user in ("runner", "dialout")],
    # Stand-ins for the machine's ttyS0 and ttyS8.
    *[Case([port], f"ttyS{int(port) - 1} {hold}".strip(), builds=POSIX, status=status)
      for port in "19" for hold, status in (("", 0), ("in exclusive mode", 2))],
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
                              f">{c.stdout} as {c.user}")
                 for table, rows in TABLES.items()
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
        # Natively a run takes milliseconds: one that waits has hung.
        timeout=60 if config.windows else 5, check=False)
    out = done.stdout
    if stdout in ("broken pipe", "terminal"):
        os.close(writer)
    if stdout == "terminal":
        out = os.read(reader, 65536)
        os.close(reader)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


LIBC = ctypes.CDLL(None, use_errno=True)
STAND_IN = pathlib.Path(__file__).with_name("stand-in-port")


def terminal(request, hold="", link=None, locks=None):
    """A terminal linked from link, open by another program that holds it as
    hold says, with lock files in locks; returns its own end's fd."""
    master, slave = pty.openpty()
    device = os.ttyname(slave)
    if os.geteuid() == 0:  # a serial port's owner and mode on Debian
        os.chown(device, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(device, 0o660)
    # Another program's own open file, so that its hold is not ours.
    other = os.open(device, os.O_RDWR | os.O_NOCTTY)
    request.addfinalizer(lambda: [os.close(fd) for fd in (master, slave, other)])
    make = HOLDS[hold][1]
    lock = locks and locks / ("LCK.." + os.path.basename(device))
    if isinstance(make, bytes):
        lock.write_bytes(make)
    elif make:
        make(types.SimpleNamespace(fd=other, lock=lock, request=request,
                                   link_lock=link and locks / ("LCK.." + link.name)))
    if link:
        os.symlink(device, link)
    return slave


def unopened_terminal(request):
    """Another terminal, whose test fails if anything opens it."""
    device = os.ttyname(terminal(request))
    watch = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    assert LIBC.inotify_add_watch(watch, os.fsencode(device), 0x20) > 0  # IN_OPEN

    def check():
        opened = select.select([watch], [], [], 0)[0]
        os.close(watch)
        assert not opened, f"{device} was opened"
    request.addfinalizer(check)
    return device


def wine_com_port(request, port):
    """Wine's COMn, as its prefix's dosdevices folder links it: a terminal."""
    path = pathlib.Path(os.environ["WINEPREFIX"], "dosdevices", f"com{port}")
    path.unlink(missing_ok=True)
    request.addfinalizer(path.unlink)
    return terminal(request, link=path)


def stand(what, path, request):
    """Puts at path what a case says stands there, and fails on a name it
    does not know; returns a terminal's fd, or None, and what to start the
    program through. A terminal and its lock files stand in a mount
    namespace of the program's own; the port itself too, as ttyS0 or ttyS8."""
    held = re.fullmatch(r"(terminal|ttyS\d) ?(.*)", what)
    if held:
        unshare = ["unshare", "--mount"] + ["-r"] * (os.geteuid() != 0)
        if subprocess.run([*unshare, "true"], check=False).returncode != 0:
            pytest.skip("no mount namespace can be made here for a terminal")
        locks = path.parent.parent / "lock"
        device = held[1] if held[1] != "terminal" else "-"
        fd = terminal(request, held[2], path if device == "-" else None, locks)
        return fd, (*unshare, STAND_IN, locks, device, os.ttyname(fd))
    wrapper = (path.name,) if what == "file held by another program" else ()

    def file():
        path.parent.mkdir(exist_ok=True)  # Windows' COM3\x is x in COM3
        path.write_bytes(b"contenido")
        os.utime(path, (1e9, 1e9))
    {"nothing": lambda: None, "file": file, "file held by another program": file,
     "what a glob of the argument names": lambda: (path.parent / "3x").touch() or file(),
     "folder": lambda: os.mkdir(path), "fifo": lambda: os.mkfifo(path),
     "dangling link": lambda: os.symlink("nowhere", path),
     "link loop": lambda: os.symlink(path, path)}[what]()
    return None, wrapper


def as_dialout(cwd):
    """How to start the program as an ordinary user who reaches serial ports
    as a member of dialout, as Debian has it, with cwd made reachable."""
    if os.geteuid() != 0:
        pytest.skip("only root can start the program as another user")
    for folder_ in (cwd, *cwd.parents):
        folder_.chmod(folder_.stat().st_mode | 0o011)
    return ("setpriv", "--reuid=nobody", "--regid=nogroup", "--groups=dialout")


def state(path):
    """What lstat says of path, and its content or a link's target."""
    status = path.lstat()
    return status.st_mode, status.st_mtime_ns, (
        os.readlink(path) if path.is_symlink() else
        path.read_bytes() if path.is_file() else None)


def folder(path):
    return {p: state(p) for p in path.iterdir()}


def test_case(case, tmp_path, request):
    config, cwd = request.config, tmp_path / "work"
    name = (case.name if case.name is not None else "COM" + (
        case.argv[0] if case.argv else "")).encode("latin-1")
    for folder_ in (cwd, tmp_path / "lock"):
        folder_.mkdir()
    path = cwd / os.fsdecode(name.replace(b"\\", b"/") if config.windows else name)
    held, wrapper = stand(case.stands, path, request)
    if case.user == "dialout":
        wrapper = (*wrapper, *as_dialout(cwd))
    settings = held and termios.tcgetattr(held)
    before = folder(cwd), folder(tmp_path / "lock")

    code, out, err = run(config, case.argv, cwd, case.stdout, wrapper)

    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[
        case.status]
    if config.windows:
        text = text.replace(b"\n", b"\r\n")
    if case.stdout in ("closed", "full", "broken pipe"):
        text = out  # nothing to read back
    assert (code, out) == (case.status, text), f"stderr: {err!r}"
    assert not any(text in err for text in (BANNER, USAGE, FAILURE))
    assert err == b"" or config.windows
    assert (folder(cwd), folder(tmp_path / "lock")) == before
    assert not held or termios.tcgetattr(held) == settings


def only(windows, config):
    if bool(config.windows) != windows:
        pytest.skip("under Wine alone" if windows else "native builds alone")


# LeakSanitizer, in a sanitized build, cannot run under ptrace.
STRACE = ("strace", "-qq", "-o", "/proc/self/fd/2")
TRACED = {"ASAN_OPTIONS": "detect_leaks=0"}


@pytest.mark.parametrize("stdout", ["pipe", "file"])
@pytest.mark.parametrize("argv", [[], ["5y"], ["1"]])
def test_traced(request, tmp_path, argv, stdout):
    """COM1 is ttyS0, opened for reading and writing, waiting for no carrier,
    creating nothing; its lock file is opened only for reading, without
    following a link or waiting. The texts reach a pipe or a file in one
    write, so that runs started together into one log do not interleave."""
    only(False, request.config)
    for folder_ in ("work", "lock"):
        (tmp_path / folder_).mkdir()
    _, port = stand("ttyS0", tmp_path / "work/COM1", request)
    code, _, err = run(request.config, argv, tmp_path / "work", stdout, wrapper=(
        *port, *STRACE, "-e", "open,openat,write,writev"), env=TRACED)
    assert len(re.findall(rb"^writev?\(1,", err, re.M)) == 1, err
    if argv == ["1"]:
        opens = re.findall(rb'"(/dev/ttyS0|/var/lock/LCK..ttyS0)", ([A-Z_|]+)\)', err)
        assert {path: set(flags.split(b"|")) - {b"O_LARGEFILE"}
                for path, flags in opens} == {
            b"/dev/ttyS0": {b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"},
            b"/var/lock/LCK..ttyS0": {b"O_RDONLY", b"O_NOCTTY", b"O_NONBLOCK",
                                      b"O_NOFOLLOW", b"O_CLOEXEC"}}, err
        assert code == 0


def test_wine_opens_exclusively_for_reading_and_writing(request, tmp_path):
    """Reading and writing, no sharing (the exclusivity), only what exists."""
    only(True, request.config)
    (tmp_path / "COM5x").write_bytes(b"contenido")
    code, _, err = run(request.config, ["5x"], tmp_path,
                       env={"WINEDEBUG": "trace+file"})
    assert code == 0
    assert (b'CreateFileW L"COM5x" GENERIC_READ GENERIC_WRITE  creation 3 '
            b'attributes 0x0\n') in err


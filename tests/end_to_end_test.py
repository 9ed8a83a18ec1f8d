# Runs the built program, natively or under Wine, on tables of cases and checks what a caller sees
# and what must not change: the exact stdout bytes, stderr, the exit status, the working folder and
# the lock files (names, contents, times) and a terminal's settings; natively also, through strace,
# how the program opens what it opens and how it writes.
import contextlib
import fcntl
import os
import pathlib
import pty
import re
import shutil
import stat
import struct
import subprocess
import termios
import tty
import types
from typing import NamedTuple, Optional, Union

import pytest

from conftest import WINE_ENV
from helpers import BANNER, FAILURE, USAGE, open_terminal

POSIX, WINDOWS, BOTH = ("posix",), ("windows",), ("posix", "windows")


class Case(NamedTuple):
    argv: Union[list, str]  # a str is a raw Windows command line to split
    stands: str = "nothing"  # what stands at the composed name: see stand()
    stdout: str = "pipe"  # pipe, file, closed, full, broken pipe, terminal
    builds: tuple = BOTH
    status: int = 0
    name: Optional[str] = None  # the composed name, where not COM + argv[0]
    user: str = "runner"  # or "dialout": an ordinary user of serial ports
    inject: str = ""  # natively, a system call that strace makes fail: "flock:error=ENOLCK"
    crowded: bool = False  # its caller leaves fds 3 to 9 open, so that the port's fd has two digits


ARGUMENTS = [
    *[Case(argv, status=1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["00"], ["+0"], ["-0"], ["+"], ["-"], ["abc"], ["x3"],
        [""], [" \t "], ["- 3"], ["+-3"], ["--3"], ["0x10"], ["4294967296"],
        ["18446744073709551616"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    # Only tab to carriage return and space are blanks, whatever the locale says.
    *[Case([c + "3"], status=1, builds=POSIX) for c in "\b\x0e\x1c\xa0"],
    *[Case([a], status=1) for a in ("/", "0:")],  # the bytes on either side of the digits
    *[Case([a], status=2) for a in ("3abc", "07", "-1", "+3", " 3", "4294967297")],
    *[Case([a], "file") for a in ("3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124,
                                  "3%n%s%x")],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[Case([a], "file", builds=POSIX) for a in (
        "3\xa4\xa1\x80\xff", "3\\", "3*", '3"q"', " \t\n\v\f\r3")],]
PID = os.getpid()  # a process that runs: the one running the tests
LIVE = b"%10d\n" % PID  # its lock file, as the FHS, minicom and lockdev write it
GONE = b"%10d\n" % int(pathlib.Path("/proc/sys/kernel/pid_max").read_text())  # no process's


# A terminal's lock file as the FHS, minicom and lockdev write it, or as any local user may, and
# the status that follows: a live PID holds the port (as text with or without its newline, as a
# binary int, in four bytes, as long as a PID's form can be); nothing else does, 2^32 or 2^64 more
# than a live PID included, which a reader that wraps would take for it.
LOCK_FILES = {
    "a live process's": (2, LIVE), "a live process's binary": (2, struct.pack("=i", PID)),
    "a live process's unended": (2, b"%d" % PID), "PID 1's four-byte": (2, b"%4d" % 1),
    "the longest live": (2, b"%21d\n" % PID), "no process's": (0, GONE), "an empty": (0, b""),
    "PID 0's": (0, b"%10d\n" % 0), "-1's binary": (0, struct.pack("=i", -1)),
    "a one-byte-too-long": (0, b"%22d\n" % PID), "a tab-led": (0, b"\t%d\n" % PID),
    "a one-byte-too-long binary": (0, struct.pack("=i", PID) + b"\0"),
    "a PID-then-text": (0, LIVE.replace(b"\n", b"x\n")), "a CR-ended": (0, b"%10d\r" % PID),
    "a text-after-the-newline": (0, LIVE + b"x"), **{f"a 2^{n}-and-a-live-PID": (
        0, b"%d\n" % (2 ** n + PID)) for n in (32, 64)},}
# How another program holds a terminal, given t: its own fd on the terminal, the lock files for it
# and for its link; and the status that follows. Then what any local user can put in /var/lock
# instead, which holds nothing.
HOLDS = {
    "": (0, lambda t: None),
    "in exclusive mode": (2, lambda t: fcntl.ioctl(t.fd, termios.TIOCEXCL)),
    "with an exclusive flock": (2, lambda t: fcntl.flock(t.fd, fcntl.LOCK_EX)),
    "with a shared flock": (2, lambda t: fcntl.flock(t.fd, fcntl.LOCK_SH)),
    **{f"with {name} lock file": (status, lambda t, c=content: t.lock.write_bytes(c))
       for name, (status, content) in LOCK_FILES.items()},
    "with a live process's lock file for its link": (2, lambda t: t.link_lock.write_bytes(LIVE)),
    "with a lock file linking to another terminal":
        (0, lambda t: t.lock.symlink_to(os.ttyname(terminal(t.request)))),
    "with a lock file linking to a live process's lock file": (0, lambda t: (
        t.lock.with_name("live").write_bytes(LIVE), t.lock.symlink_to("live"))),
    "with a FIFO for a lock file": (0, lambda t: os.mkfifo(t.lock)),
    "with a FIFO holding a live PID for a lock file": (0, lambda t: (os.mkfifo(t.lock), os.write(
        fd := os.open(t.lock, os.O_RDWR), LIVE), t.request.addfinalizer(lambda: os.close(fd)))),
    "with a folder for a lock file": (0, lambda t: t.lock.mkdir()),}
WHAT_STANDS = [
    *[Case(["3x"], s, builds=POSIX, status=2) for s in ("folder", "dangling link", "link loop")],
    Case(["3x"], "file", builds=POSIX, status=2, user="dialout"),  # root's, read-only to them
    Case(["3missing/x"], builds=POSIX, status=2),  # no such folder
    Case(["4x"], "fifo", builds=POSIX),
    *[Case(["4x"], f"terminal {hold}".strip(), builds=POSIX, status=status)
      for hold, (status, _) in HOLDS.items()],
    # Where the user changes the path taken: the terminal is root:dialout 0660; root's own
    # process answers kill(pid, 0) with EPERM; root's exclusive mode refuses the open itself.
    *[Case(["4x"], f"terminal {hold}".strip(), builds=POSIX, status=status, user="dialout")
      for hold, status in (("", 0), ("in exclusive mode", 2),
                           ("with a live process's lock file", 2))],
    # The lock file is the last part's, not the whole name's.
    Case(["4/x"], "terminal with a live process's lock file for its link", builds=POSIX, status=2),
    # A flock that fails for want of locks (NFS) is no other program's hold.
    Case(["4x"], "terminal", builds=POSIX, inject="flock:error=ENOLCK"),
    Case(["4x"], "terminal with a live process's lock file", builds=POSIX, status=2, crowded=True),
    # Stand-ins for the machine's ttyS0 and ttyS8.
    *[Case([port], f"ttyS{int(port) - 1} {hold}".strip(), builds=POSIX, status=status)
      for port in "19" for hold, status in (("", 0), ("in exclusive mode", 2))],
    Case(["1x"], "ttyS0", builds=POSIX, status=2),  # COM1x is no serial port
    Case(["9"], builds=WINDOWS, status=2),  # no COM9 in Wine's prefix
    # cmd holds the file that it redirects from while Quelvarn runs.
    Case("5x <COM5x", "file", builds=WINDOWS, status=2, name="COM5x"),]
WHERE_STDOUT_GOES = [  # Wine puts its own console between the program and a terminal
    Case(argv, stands, stdout, POSIX if stdout == "terminal" else BOTH, status)
    for stdout in ("file", "closed", "full", "broken pipe", "terminal")
    for argv, stands, status in (([], "nothing", 1), (["5y"], "nothing", 2), (["5x"], "file", 0))]
WINDOWS_COMMAND_LINES = [
    *[Case(raw, "file" if name else "nothing", builds=WINDOWS, status=status, name=name)
      for raw, status, name in (
          ("1 2", 1, ""), ("1\t2", 1, ""), ('""', 1, ""), ("3\\x", 0, "COM3\\x"),
          ('"1 2"', 0, "COM1 2"), ('1" "2', 0, "COM1 2"), ('"1 2', 0, "COM1 2"))],
    # An open quote runs to the end; a backslash not before a quote is a byte like any other.
    # Not expanded, as a glob would expand it to 3x.
    Case("3*", "what a glob of the argument names", builds=WINDOWS, status=2, name="COM3x"),]
TABLES = {"argument": ARGUMENTS, "standing": WHAT_STANDS, "stdout": WHERE_STDOUT_GOES,
          "command line": WINDOWS_COMMAND_LINES}


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        build = "windows" if metafunc.config.windows else "posix"
        metafunc.parametrize("case", [
            pytest.param(c, id=f"{table}: {c.argv!r:.40} {c.stands} >{c.stdout} as {c.user}"
                         + " with fds 3 to 9 taken" * c.crowded + f" {c.inject}".rstrip())
            for table, rows in TABLES.items() for c in rows if build in c.builds])


def run(config, args, cwd, stdout="pipe", wrapper=(), env=(), program=None):
    """Runs the program in cwd; returns its status, stdout and stderr."""
    program = program or config.program
    if config.windows:
        loader, tree, _ = config.windows
        program = str(tree / "Quelvarn.exe")
        if isinstance(args, str):  # a raw command line, as cmd runs a batch file's line
            batch, windows = cwd.parent / "run.bat", lambda path: "Z:" + path.replace("/", "\\")
            batch.write_bytes(f"@{windows(program)} {args}\r\n".encode("latin-1"))
            program, args = "cmd", ["/c", windows(str(batch))]
        wrapper = [loader, *wrapper]
    redirect = {"file": ">../stdout", "full": ">/dev/full", "closed": ">&-"}
    reader, writer = {"broken pipe": os.pipe, "terminal": pty.openpty}.get(
        stdout, lambda: (None, subprocess.PIPE))()
    if stdout == "broken pipe":
        os.close(reader)
    if stdout == "terminal":
        tty.setraw(writer)  # the bytes as they were written
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {redirect.get(stdout, "")}', "sh", *wrapper, program,
         *[a.encode("latin-1") for a in args]],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
        env={**os.environ, **(WINE_ENV if config.windows else {}), **dict(env)},
        # Only a run that hangs comes near: one takes milliseconds natively and seconds under
        # qemu-i386, ten times that on a busy machine.
        timeout=300 if config.windows else 30, check=False)
    if stdout in ("broken pipe", "terminal"):
        os.close(writer)
    out = done.stdout or b""
    if stdout == "terminal":  # in pieces, as the kernel hands it over, until EIO: all is read
        with contextlib.suppress(OSError):
            while chunk := os.read(reader, 65536):
                out += chunk
        os.close(reader)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


def terminal(request, hold="", link=None, locks=None, device=None):
    """A terminal, open by another program that holds it as hold says, with lock files in locks
    for device (its own name by default), and linked from link; returns its own end's fd."""
    slave, other = open_terminal(request)
    HOLDS[hold][1](types.SimpleNamespace(
        fd=other, request=request, link_lock=locks and link and locks / ("LCK.." + link.name),
        lock=locks and locks / ("LCK.." + os.path.basename(device or os.ttyname(slave)))))
    if link:
        os.symlink(device or os.ttyname(slave), link)
    return slave


def stand(what, path, cwd, request):
    """Puts at path what a case says stands there, and fails on a name it does not know; returns a
    terminal's fd, or None, and what to start the program through. A terminal and its lock files
    stand in a mount namespace of the program's own, as /dev/ttyS0 (linked from path) or the
    serial port that the case names."""
    held = re.fullmatch(r"(terminal|ttyS\d) ?(.*)", what)
    if held:
        unshare = ["unshare", "--mount"] + ["-r"] * (os.geteuid() != 0)
        if subprocess.run([*unshare, "true"], check=False).returncode != 0:
            pytest.skip("no mount namespace can be made here for a terminal")
        device, locks = "/dev/" + held[1].replace("terminal", "ttyS0"), cwd.parent / "lock"
        path.parent.mkdir(exist_ok=True)  # COM4/x is x in the folder COM4
        fd = terminal(request, held[2], path if held[1] == "terminal" else None, locks, device)
        return fd, (*unshare, pathlib.Path(__file__).with_name("stand-in-port"), locks,
                    device[5:], os.ttyname(fd))

    file = lambda: (path.parent.mkdir(exist_ok=True),  # Windows' COM3\x is x in COM3
                    path.write_bytes(b"contenido"), os.utime(path, (1e9, 1e9)))
    {"nothing": lambda: None, "file": file,
     "what a glob of the argument names": lambda: (path.parent / "3x").touch() or file(),
     "folder": lambda: os.mkdir(path), "fifo": lambda: os.mkfifo(path),
     "dangling link": lambda: os.symlink("nowhere", path),
     "link loop": lambda: os.symlink(path, path)}[what]()
    return None, ()


def folder(path):
    """What lstat says of each thing in path, and its content or a link's target."""
    return {p: (p.lstat().st_mode, p.lstat().st_mtime_ns, os.readlink(p) if p.is_symlink()
                else p.read_bytes() if p.is_file() else None) for p in path.iterdir()}


def strace(inject=""):
    """Natively, the program runs under strace, whose trace is all its stderr; it injects a fault
    only into calls that it traces."""
    calls = ",".join(("open,openat,write,writev", *inject.split(":")[:1]))
    return ("strace", "-qq", "-e", calls, *(("-e", f"inject={inject}") if inject else ()))


# LeakSanitizer, in a sanitized build, cannot run under ptrace.
# Under Wine, its trace of file calls shows each open's arguments.
TRACED = {"ASAN_OPTIONS": "detect_leaks=0", "WINEDEBUG": "-all,err+all,trace+file"}
OPENED = (rb'^open(?:at)?\((?:AT_FDCWD, )?"((?:COM|/dev/ttyS|/var/lock/)(?:[^"\\]|\\.)*)", '
          rb'([A-Z_|]+)\) = (-?\d+)')
PORT = {b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}  # no carrier waited for
LOCK = {b"O_RDONLY", b"O_NOCTTY", b"O_NONBLOCK", b"O_NOFOLLOW", b"O_CLOEXEC"}


def test_case(case, tmp_path, request):
    config, cwd, locks = request.config, tmp_path / "work", tmp_path / "lock"
    name = (case.name or "COM" + (case.argv[0] if case.argv else "")).encode("latin-1")
    cwd.mkdir(), locks.mkdir()
    path = cwd / os.fsdecode(name.replace(b"\\", b"/") if config.windows else name)
    held, wrapper = stand(case.stands, path, cwd, request)
    program = None
    if case.user == "dialout":  # as Debian has its serial ports' users
        if os.geteuid() != 0:
            pytest.skip("only root can start the program as another user")
        # A copy that they reach from the working folder, wherever the tree lies (/root is 0700).
        program = "../" + os.path.basename(shutil.copy(config.program, tmp_path))
        tmp_path.chmod(0o711)
        wrapper = (*wrapper, "setpriv", "--reuid=nobody", "--regid=nogroup", "--groups=dialout")
    if case.inject and subprocess.run([*strace(case.inject), "true"], check=False).returncode:
        pytest.skip(f"strace cannot inject {case.inject} here")
    crowd = ("sh", "-c", 'exec "$@" 3<&0 4<&0 5<&0 6<&0 7<&0 8<&0 9<&0', "sh") * case.crowded
    wrapper = (*wrapper, *crowd, *(() if config.windows else strace(case.inject)))
    settings = held and termios.tcgetattr(held)
    before = folder(cwd), folder(locks)

    code, out, err = run(config, case.argv, cwd, case.stdout, wrapper, TRACED, program)

    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[case.status]
    read_back = b"" if case.stdout in ("closed", "full", "broken pipe") else text
    assert (code, out) == (case.status, read_back.replace(
        b"\n", b"\r\n" if config.windows else b"\n")), f"stderr: {err!r}"
    assert not any(text in err for text in (BANNER, USAGE, FAILURE))
    assert (folder(cwd), folder(locks)) == before
    assert not held or termios.tcgetattr(held) == settings
    # Reading and writing, no sharing (the exclusivity), only what exists.
    assert not config.windows or case.status == 1 or re.search(
        rb'CreateFileW L"COM.*" GENERIC_READ GENERIC_WRITE  creation 3 attributes 0x0\n', err)
    if not config.windows:
        traced(case, err, text, before[1], locks)


def traced(case, err, text, locks_before, locks):
    """What strace saw the program do."""
    assert not re.search(rb"^writev?\(2,", err, re.M)
    # Each write to stdout, where it stands and what it offered (write's N, writev's iov_len=N):
    # all the texts, even where nothing can read them back; to a pipe or a file in one write after
    # the port's last open, so that runs started together into one log do not interleave; to a
    # terminal, the banner before the port opens.
    writes = [(m.start(), sum(map(int, re.findall(rb'(?:iov_len=|", |\.\.\., )(\d+)', m[1]))))
              for m in re.finditer(rb"^writev?\(1, (.*)\) += ", err, re.M)]
    opens_at = [m.start() for m in re.finditer(OPENED, err, re.M)]
    assert sum(n for _, n in writes) == len(text), err
    assert case.stdout not in ("pipe", "file") or len(writes) == 1 and writes[0][0] > max(
        opens_at, default=-1), err
    assert case.stdout != "terminal" or writes[0][0] < min(opens_at, default=len(err)), err
    assert bool(opens_at) == (case.status != 1), err
    for path, flags, fd in re.findall(OPENED, err, re.M):
        # Once for each kind of open, on a free terminal: the port for reading and writing, its
        # lock files only for reading; neither waits or is created.
        assert case.stands != "terminal" or set(flags.split(b"|")) - {b"O_LARGEFILE"} == (
            LOCK if path.startswith(b"/var") else PORT), path
        # Never a lock file through a link.
        assert fd == b"-1" or not path.startswith(b"/var") or not stat.S_ISLNK(
            locks_before[locks / os.path.basename(os.fsdecode(path))][0]), path

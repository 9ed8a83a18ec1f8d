# Runs the built program, natively or under Wine, on tables of cases and checks what a caller sees
# and what must not change: the exact stdout bytes, stderr, the exit status, the working folder and
# the lock files (names, contents, times) and a terminal's settings; natively also, through strace,
# how the program opens what it opens and how it writes. What the argument and a lock file's bytes
# read as is tested in-process, in tests/unit; here are the cases that need a process.
import contextlib
import fcntl
import os
import pathlib
import pty
import re
import shutil
import stat
import subprocess
import termios
import tty
import types
from typing import Callable, NamedTuple, Optional, Union

import pytest

from conftest import WINE_ENV
from helpers import BANNER, FAILURE, USAGE, contents, mount_namespace, open_terminal

POSIX, WINDOWS, BOTH = ("posix",), ("windows",), ("posix", "windows")
PID = os.getpid()  # a process that runs: the one running the tests
LIVE = b"%10d\n" % PID  # its lock file, as the FHS, minicom and lockdev write it


# What stands at the composed name: each set-up puts it at path, for a case whose files are in
# spot (cwd, the lock folder, the request).
def nothing(path, spot):
    pass


def a_file(path, spot):
    path.parent.mkdir(exist_ok=True)  # Windows' COM3\x is x in the folder COM3
    path.write_bytes(b"contenido")
    os.utime(path, (1e9, 1e9))


def a_file_and_what_a_glob_of_it_names(path, spot):
    (path.parent / "3x").touch()
    a_file(path, spot)


def a_dangling_link(path, spot):
    path.symlink_to("nowhere")


# A terminal that another program holds open, linked from the name, or the machine's serial port
# ttyS0 or ttyS8 itself. It stands, with the lock folder as /var/lock, in a mount namespace of
# the program's own, as /dev/ttyS0 or the port that it names: the suite never opens the
# machine's own ports nor reads its lock files.
def a_terminal(path, spot):
    return "ttyS0", path


def serial_port(n):
    def the_serial_port(path, spot):
        return f"ttyS{n}", None
    the_serial_port.__name__ = f"ttyS{n}"
    return the_serial_port


# How the other program holds the terminal, given its own fd.
def free(fd):
    pass


def in_exclusive_mode(fd):
    fcntl.ioctl(fd, termios.TIOCEXCL)


def with_a_shared_flock(fd):
    fcntl.flock(fd, fcntl.LOCK_SH)


# What stands in /var/lock for the terminal: its lock file (at lock.device, or lock.link for the
# name that links to it), as a program writes it or as any local user can plant it.
def no_lock_file(lock):
    pass


def a_live_lock_file(lock):
    lock.device.write_bytes(LIVE)


def a_dead_process_lock_file(lock):
    lock.device.write_bytes(b"%10d\n" % int(pathlib.Path("/proc/sys/kernel/pid_max").read_text()))


def a_live_lock_file_for_its_link(lock):
    lock.link.write_bytes(LIVE)


def a_link_to_a_live_lock_file(lock):
    lock.device.with_name("live").write_bytes(LIVE)
    lock.device.symlink_to("live")


def a_fifo_for_a_lock_file(lock):
    os.mkfifo(lock.device)


def a_fifo_holding_a_live_pid(lock):
    os.mkfifo(lock.device)
    writer = os.open(lock.device, os.O_RDWR)
    lock.request.addfinalizer(lambda: os.close(writer))
    os.write(writer, LIVE)



class Case(NamedTuple):
    argv: Union[list, str]  # a str is a raw Windows command line to split
    stands: Callable = nothing  # what stands at the composed name
    hold: Callable = free  # how another program holds the terminal that stands there
    lock: Callable = no_lock_file  # what stands in /var/lock for it
    stdout: str = "pipe"  # pipe, file, closed, full, broken pipe, terminal
    builds: tuple = BOTH
    status: int = 0
    name: Optional[str] = None  # the composed name, where not COM + argv[0]
    user: str = "runner"  # or "dialout": an ordinary user of serial ports
    inject: str = ""  # natively, a system call that strace makes fail: "flock:error=ENOLCK"
    crowded: bool = False  # its caller leaves fds 3 to 9 open, so that the port's fd has two digits


ARGUMENTS = [
    *[Case(argv, status=1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["4294967296"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    *[Case([a], status=2) for a in ("3abc", "07", "-1", " 3")],
    *[Case([a], a_file) for a in ("3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124,
                                  "3%n%s%x")],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[Case([a], a_file, builds=POSIX) for a in (
        "3\xa4\xa1\x80\xff", "3\\", "3*", '3"q"', " \t\n\v\f\r3")],]
# How another program holds the terminal, what stands in /var/lock for it, and the status.
TERMINALS = [
    *[(hold, no_lock_file, 2) for hold in (in_exclusive_mode, with_a_shared_flock)],
    *[(free, lock, status) for lock, status in (
        (no_lock_file, 0), (a_live_lock_file, 2), (a_dead_process_lock_file, 0),
        (a_live_lock_file_for_its_link, 2),
        # What any local user can put in /var/lock instead, which holds nothing.
        (a_link_to_a_live_lock_file, 0), (a_fifo_for_a_lock_file, 0),
        (a_fifo_holding_a_live_pid, 0))],]
WHAT_STANDS = [
    Case(["3x"], a_dangling_link, builds=POSIX, status=2),  # not made through the link
    Case(["3x"], a_file, builds=POSIX, status=2, user="dialout"),  # root's, read-only to them
    Case(["3missing/x"], builds=POSIX, status=2),  # no such folder
    *[Case(["4x"], a_terminal, hold, lock, builds=POSIX, status=status)
      for hold, lock, status in TERMINALS],
    # Where the user changes the path taken: the terminal is root:dialout 0660; root's own
    # process answers kill(pid, 0) with EPERM; root's exclusive mode refuses the open itself.
    *[Case(["4x"], a_terminal, hold, lock, builds=POSIX, status=status, user="dialout")
      for hold, lock, status in ((free, no_lock_file, 0), (in_exclusive_mode, no_lock_file, 2),
                                 (free, a_live_lock_file, 2))],
    # The lock file is the last part's, not the whole name's.
    Case(["4/x"], a_terminal, lock=a_live_lock_file_for_its_link, builds=POSIX, status=2),
    # A flock that fails for want of locks (NFS) is no other program's hold.
    Case(["4x"], a_terminal, builds=POSIX, inject="flock:error=ENOLCK"),
    Case(["4x"], a_terminal, lock=a_live_lock_file, builds=POSIX, status=2, crowded=True),
    # Stand-ins for the machine's ttyS0 and ttyS8.
    *[Case([port], serial_port(int(port) - 1), hold, builds=POSIX, status=status)
      for port in "19" for hold, status in ((free, 0), (in_exclusive_mode, 2))],
    Case(["1x"], serial_port(0), builds=POSIX, status=2),  # COM1x is no serial port
    Case(["9"], builds=WINDOWS, status=2),  # no COM9 in Wine's prefix
    # cmd holds the file that it redirects from while Quelvarn runs.
    Case("5x <COM5x", a_file, builds=WINDOWS, status=2, name="COM5x"),]
WHERE_STDOUT_GOES = [  # Wine puts its own console between the program and a terminal
    Case(argv, stands, stdout=stdout, builds=POSIX if stdout == "terminal" else BOTH,
         status=status)
    for stdout in ("file", "closed", "full", "broken pipe", "terminal")
    for argv, stands, status in (([], nothing, 1), (["5y"], nothing, 2), (["5x"], a_file, 0))]
WINDOWS_COMMAND_LINES = [
    *[Case(raw, a_file if name else nothing, builds=WINDOWS, status=status, name=name)
      for raw, status, name in (
          ("1 2", 1, ""), ("1\t2", 1, ""), ('""', 1, ""), ("3\\x", 0, "COM3\\x"),
          ('"1 2"', 0, "COM1 2"), ('1" "2', 0, "COM1 2"), ('"1 2', 0, "COM1 2"))],
    # An open quote runs to the end; a backslash not before a quote is a byte like any other.
    # Not expanded, as a glob would expand it to 3x.
    Case("3*", a_file_and_what_a_glob_of_it_names, builds=WINDOWS, status=2, name="COM3x"),]
TABLES = {"argument": ARGUMENTS, "standing": WHAT_STANDS, "stdout": WHERE_STDOUT_GOES,
          "command line": WINDOWS_COMMAND_LINES}


def case_id(table, case):
    said = [table + ":", f"{case.argv!r:.40}", case.stands.__name__]
    said += [f.__name__ for f in (case.hold, case.lock) if f not in (free, no_lock_file)]
    said += [f">{case.stdout}", f"as {case.user}", "with fds 3 to 9 taken" * case.crowded,
             case.inject]
    return " ".join(s for s in said if s)


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        build = "windows" if metafunc.config.windows else "posix"
        metafunc.parametrize("case", [
            pytest.param(c, id=case_id(table, c))
            for table, rows in TABLES.items() for c in rows if build in c.builds])


def run(config, args, cwd, stdout="pipe", wrapper=(), env=(), program=None):
    """Runs the program in cwd, with its stdout where stdout says, through the wrapper's commands
    (natively) and with env added to the environment; returns its status, stdout and stderr."""
    program = program or config.program
    if config.windows:
        loader, tree, _ = config.windows
        program = str(tree / "Quelvarn.exe")
        if isinstance(args, str):  # a raw command line, as cmd runs a batch file's line
            batch = cwd.parent / "run.bat"
            batch.write_bytes(f"@{windows_path(program)} {args}\r\n".encode("latin-1"))
            program, args = "cmd", ["/c", windows_path(str(batch))]
        wrapper = [loader, *wrapper]
    redirect = {"file": ">../stdout", "full": ">/dev/full", "closed": ">&-"}
    reader, writer = None, subprocess.PIPE
    if stdout == "broken pipe":
        reader, writer = os.pipe()
        os.close(reader)
    if stdout == "terminal":
        reader, writer = pty.openpty()
        tty.setraw(writer)  # the bytes as they were written
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {redirect.get(stdout, "")}', "sh", *wrapper, program,
         *[a.encode("latin-1") for a in args]],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
        env={**os.environ, **(WINE_ENV if config.windows else {}), **dict(env)},
        # Only a run that hangs comes near: one takes milliseconds natively and seconds under
        # qemu-i386, ten times that on a busy machine.
        timeout=300 if config.windows else 30, check=False)
    out = done.stdout or b""
    if stdout in ("broken pipe", "terminal"):
        os.close(writer)
    if stdout == "terminal":  # in pieces, as the kernel hands it over, until EIO: all is read
        with contextlib.suppress(OSError):
            while chunk := os.read(reader, 65536):
                out += chunk
        os.close(reader)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def stand(case, path, spot):
    """Sets up what stands at path for the case; returns a terminal's fd, or None, and the
    commands to start the program through."""
    terminal = case.stands(path, spot)
    if not terminal:
        return None, ()
    device, link = terminal
    unshare = mount_namespace("for a terminal")
    fd, other = open_terminal(spot.request)
    case.hold(other)
    case.lock(types.SimpleNamespace(request=spot.request, device=spot.locks / f"LCK..{device}",
                                    link=link and spot.locks / f"LCK..{link.name}"))
    if link:
        path.parent.mkdir(exist_ok=True)  # COM4/x is x in the folder COM4
        path.symlink_to(f"/dev/{device}")
    return fd, (*unshare, pathlib.Path(__file__).with_name("stand-in-port"), spot.locks, device,
                os.ttyname(fd))


def as_a_dialout_user(config, tmp_path):
    """The program as a member of dialout runs it, as Debian has its serial ports' users: a copy
    that they reach from the working folder, wherever the tree lies (/root is 0700)."""
    if os.geteuid() != 0:
        pytest.skip("only root can start the program as another user")
    program = "../" + os.path.basename(shutil.copy(config.program, tmp_path))
    tmp_path.chmod(0o711)
    return program, ("setpriv", "--reuid=nobody", "--regid=nogroup", "--groups=dialout")


def strace(inject=""):
    """Natively, the program runs under strace, whose trace is all its stderr; it injects a fault
    only into calls that it traces."""
    calls = ",".join(("open,openat,write,writev", *inject.split(":")[:1]))
    return ("strace", "-qq", "-e", calls, *(("-e", f"inject={inject}") if inject else ()))


# Its caller leaves descriptors 3 to 9 open.
CROWD = ("sh", "-c", 'exec "$@" 3<&0 4<&0 5<&0 6<&0 7<&0 8<&0 9<&0', "sh")
# LeakSanitizer, in a sanitized build, cannot run under ptrace.
# Under Wine, its trace of file calls shows each open's arguments.
TRACED = {"ASAN_OPTIONS": "detect_leaks=0", "WINEDEBUG": "-all,err+all,trace+file"}


def test_case(case, tmp_path, request):
    config = request.config
    spot = types.SimpleNamespace(cwd=tmp_path / "work", locks=tmp_path / "lock", request=request)
    name = (case.name or "COM" + (case.argv[0] if case.argv else "")).encode("latin-1")
    spot.cwd.mkdir()
    spot.locks.mkdir()
    path = spot.cwd / os.fsdecode(name.replace(b"\\", b"/") if config.windows else name)
    held, wrapper = stand(case, path, spot)
    program = None
    if case.user == "dialout":
        program, user = as_a_dialout_user(config, tmp_path)
        wrapper = (*wrapper, *user)
    if case.inject and subprocess.run([*strace(case.inject), "true"], check=False).returncode:
        pytest.skip(f"strace cannot inject {case.inject} here")
    if case.crowded:
        wrapper = (*wrapper, *CROWD)
    if not config.windows:
        wrapper = (*wrapper, *strace(case.inject))
    settings = held and termios.tcgetattr(held)
    before = contents(spot.cwd), contents(spot.locks)

    code, out, err = run(config, case.argv, spot.cwd, case.stdout, wrapper, TRACED, program)

    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[case.status]
    read_back = b"" if case.stdout in ("closed", "full", "broken pipe") else text
    line_end = b"\r\n" if config.windows else b"\n"
    assert (code, out) == (case.status, read_back.replace(b"\n", line_end)), f"stderr: {err!r}"
    assert not any(text in err for text in (BANNER, USAGE, FAILURE))
    assert (contents(spot.cwd), contents(spot.locks)) == before
    if held:
        assert termios.tcgetattr(held) == settings
    if config.windows:
        opened_as_windows_opens_a_port(case, err)
    else:
        traced(case, err, text, before[1], spot.locks)


def opened_as_windows_opens_a_port(case, err):
    """Reading and writing, no sharing (the exclusivity), only what exists."""
    if case.status != 1:
        assert re.search(rb'CreateFileW L"COM.*" GENERIC_READ GENERIC_WRITE  creation 3 '
                         rb'attributes 0x0\n', err), err


OPENED = (rb'^open(?:at)?\((?:AT_FDCWD, )?"((?:COM|/dev/ttyS|/var/lock/)(?:[^"\\]|\\.)*)", '
          rb'([A-Z_|]+)\) = (-?\d+)')
PORT = {b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}  # no carrier waited for
LOCK = {b"O_RDONLY", b"O_NOCTTY", b"O_NONBLOCK", b"O_NOFOLLOW", b"O_CLOEXEC"}


def traced(case, err, text, locks_before, locks):
    """What strace saw the program do."""
    assert not re.search(rb"^writev?\(2,", err, re.M)
    # Each write to stdout, where it stands and what it offered (write's N, writev's iov_len=N):
    # all the texts, even where nothing can read them back; to a pipe or a file in one write after
    # the port's last open, so that runs started together into one log do not interleave; to a
    # terminal, the banner before the port opens.
    writes = [(m.start(), sum(map(int, re.findall(rb'(?:iov_len=|", |\.\.\., )(\d+)', m[1]))))
              for m in re.finditer(rb"^writev?\(1, (.*)\) += ", err, re.M)]
    opens = list(re.finditer(OPENED, err, re.M))
    opens_at = [m.start() for m in opens]
    assert sum(n for _, n in writes) == len(text), err
    if case.stdout in ("pipe", "file"):
        assert len(writes) == 1 and writes[0][0] > max(opens_at, default=-1), err
    if case.stdout == "terminal":
        assert writes[0][0] < min(opens_at, default=len(err)), err
    # The port once, each lock file at most once, and nothing opened for a refused argument.
    paths = [m[1] for m in opens]
    ports = [p for p in paths if not p.startswith(b"/var/")]
    assert len(ports) == (case.status != 1), err
    assert len(set(paths)) == len(paths), err
    for path, flags, fd in (m.groups() for m in opens):
        # On a terminal, the port for reading and writing, its lock files only for reading;
        # neither waits or is created.
        if case.stands == a_terminal:
            assert set(flags.split(b"|")) - {b"O_LARGEFILE"} == (
                LOCK if path.startswith(b"/var") else PORT), path
        # Never a lock file through a link.
        if fd != b"-1" and path.startswith(b"/var"):
            assert not stat.S_ISLNK(locks_before[locks / os.path.basename(os.fsdecode(path))][0])

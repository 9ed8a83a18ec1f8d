# Runs the built program, natively or under Wine, on tables of cases and checks what a caller sees
# and what must not change: the exact stdout bytes, stderr, the exit status, the working folder and
# the lock files (names, contents, times) and a terminal's settings; natively also, through strace,
# how the program opens what it opens, and under Wine, through Wine's trace, how it opens the
# port. What the argument and a lock file's bytes read as is tested in-process, in
# tests/unit; here are the cases that need a process.
import fcntl
import os
import pathlib
import re
import shutil
import subprocess
import termios
import types
from typing import Callable, NamedTuple

import pytest

from conftest import BANNER, FAILURE, USAGE, WINE_ENV, contents, mount_namespace, open_terminal

POSIX, BOTH = ("posix",), ("posix", "windows")
LIVE = b"%10d\n" % os.getpid()  # a running process's lock file, as the FHS and minicom write it


# What stands at the composed name: each set-up puts it at path, for a case whose files are in
# spot (cwd, the lock folder, the request).
def nothing(path, spot):
    pass


def a_file(path, spot):
    path.write_bytes(b"contenido")
    os.utime(path, (1e9, 1e9))


# A terminal that another program holds open, linked from the name, or the machine's serial port
# ttyS0 or ttyS8 itself. It stands, with the lock folder as /var/lock, in a mount namespace of
# the program's own, as the port that it names: the suite never opens the machine's own ports
# nor reads its lock files.
def a_terminal(path, spot):
    return "ttyS0", path


def serial_port(n):
    def the_serial_port(path, spot):
        return f"ttyS{n}", None
    the_serial_port.__name__ = f"ttyS{n}"
    return the_serial_port


# What other programs and users did about the terminal, given another program's fd on it and
# where its lock files go in /var/lock (lock.device, or lock.link for the name that links to it):
# held it, or wrote a lock file as minicom does, or planted what any local user can plant there.
def nothing_else(fd, lock):
    pass


def in_exclusive_mode(fd, lock):
    fcntl.ioctl(fd, termios.TIOCEXCL)


def with_a_shared_flock(fd, lock):
    fcntl.flock(fd, fcntl.LOCK_SH)


def a_live_lock_file(fd, lock):
    lock.device.write_bytes(LIVE)


def a_dead_process_lock_file(fd, lock):
    lock.device.write_bytes(b"%10d\n" % int(pathlib.Path("/proc/sys/kernel/pid_max").read_text()))


def a_live_lock_file_for_its_link(fd, lock):
    lock.link.write_bytes(LIVE)


def a_link_to_a_live_lock_file(fd, lock):
    lock.device.with_name("live").write_bytes(LIVE)
    lock.device.symlink_to("live")


def a_fifo_holding_a_live_pid(fd, lock):
    os.mkfifo(lock.device)
    writer = os.open(lock.device, os.O_RDWR)
    lock.request.addfinalizer(lambda: os.close(writer))
    os.write(writer, LIVE)


class Case(NamedTuple):
    argv: list
    stands: Callable = nothing  # what stands at the composed name
    other: Callable = nothing_else  # what others did about the terminal that stands there
    stdout: str = "pipe"  # pipe, file, closed, full, broken pipe
    builds: tuple = BOTH
    status: int = 0
    user: str = "runner"  # or "dialout": an ordinary user of serial ports


ARGUMENTS = [
    *[Case(argv, status=1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["4294967296"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    *[Case([a], status=2) for a in ("3abc", "07", "-1", " 3")],
    *[Case([a], a_file) for a in ("3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124)],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[Case([a], a_file, builds=POSIX) for a in ("3\xa4\xa1\x80\xff", "3\\", "3*", " \t\n\v\f\r3")]]
WHAT_STANDS = [
    *[Case(["4x"], a_terminal, other, builds=POSIX, status=status) for other, status in (
        (nothing_else, 0), (in_exclusive_mode, 2), (with_a_shared_flock, 2), (a_live_lock_file, 2),
        (a_dead_process_lock_file, 0), (a_live_lock_file_for_its_link, 2),
        # What any local user can put in /var/lock instead, which holds nothing.
        (a_link_to_a_live_lock_file, 0), (a_fifo_holding_a_live_pid, 0))],
    # Where the user changes the path taken: the terminal is root:dialout 0660; root's own
    # process answers kill(pid, 0) with EPERM; root's exclusive mode refuses the open itself.
    *[Case(["4x"], a_terminal, other, builds=POSIX, status=status, user="dialout")
      for other, status in ((nothing_else, 0), (in_exclusive_mode, 2), (a_live_lock_file, 2))],
    # Stand-ins for the machine's ttyS0 and ttyS8; COM1x is no serial port.
    *[Case([port], serial_port(int(port) - 1), builds=POSIX) for port in "19"],
    Case(["1x"], serial_port(0), builds=POSIX, status=2)]
WHERE_STDOUT_GOES = [
    Case(argv, stands, stdout=stdout, status=status)
    for stdout in ("file", "closed", "full", "broken pipe")
    for argv, stands, status in (([], nothing, 1), (["5y"], nothing, 2), (["5x"], a_file, 0))]
TABLES = {"argument": ARGUMENTS, "standing": WHAT_STANDS, "stdout": WHERE_STDOUT_GOES}


def case_id(table, case):
    """The table and each field that differs from its default."""
    return " ".join([table + ":", *(f"{k}={getattr(v, '__name__', v)!r:.40}" for k, v in
                                    case._asdict().items() if v != Case._field_defaults.get(k))])


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        build = "windows" if metafunc.config.windows else "posix"
        metafunc.parametrize("case", [
            pytest.param(c, id=case_id(table, c))
            for table, rows in TABLES.items() for c in rows if build in c.builds])


def run(config, args, cwd, stdout="pipe", wrapper=(), program=None):
    """Runs the program in cwd, with its stdout where stdout says, through the wrapper's commands
    (natively); returns its status, stdout and stderr, in which the traces are."""
    program = program or config.getoption("program")
    env = {"ASAN_OPTIONS": "detect_leaks=0"}  # LeakSanitizer cannot run under ptrace
    if config.windows:
        loader, tree = config.windows
        program = str(tree / "Quelvarn.exe")
        wrapper, env = [loader, *wrapper], {**WINE_ENV, "WINEDEBUG": "-all,err+all,trace+file"}
    redirect = {"file": ">../stdout", "full": ">/dev/full", "closed": ">&-"}
    writer = subprocess.PIPE
    if stdout == "broken pipe":
        reader, writer = os.pipe()
        os.close(reader)
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {redirect.get(stdout, "")}', "sh", *wrapper, program,
         *[a.encode("latin-1") for a in args]],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
        env={**os.environ, **env},
        # Only a run that hangs comes near: one takes milliseconds natively and seconds under
        # qemu-i386, ten times that on a busy machine.
        timeout=300 if config.windows else 30, check=False)
    out = done.stdout or b""
    if stdout == "broken pipe":
        os.close(writer)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


def stand(case, path, spot):
    """Sets up what stands at path for the case; returns a terminal's fd, or None, and the
    commands to start the program through."""
    terminal = case.stands(path, spot)
    if not terminal:
        return None, ()
    device, link = terminal
    unshare = mount_namespace("for a terminal")
    fd, other = open_terminal(spot.request)
    case.other(other, types.SimpleNamespace(request=spot.request, device=spot.locks / f"LCK..{device}",
                                            link=link and spot.locks / f"LCK..{link.name}"))
    if link:
        path.symlink_to(f"/dev/{device}")
    return fd, (*unshare, pathlib.Path(__file__).with_name("stand-in-port"), spot.locks, device,
                os.ttyname(fd))


def as_a_dialout_user(config, tmp_path):
    """The program as a member of dialout runs it, as Debian has its serial ports' users: a copy
    that they reach from the working folder, wherever the tree lies (/root is 0700)."""
    if os.geteuid() != 0:
        pytest.skip("only root can start the program as another user")
    program = "../" + os.path.basename(shutil.copy(config.getoption("program"), tmp_path))
    tmp_path.chmod(0o711)
    return program, ("setpriv", "--reuid=nobody", "--regid=nogroup", "--groups=dialout")


def test_case(case, tmp_path, request):
    config = request.config
    spot = types.SimpleNamespace(cwd=tmp_path / "work", locks=tmp_path / "lock", request=request)
    name = ("COM" + (case.argv[0] if case.argv else "")).encode("latin-1")
    spot.cwd.mkdir()
    spot.locks.mkdir()
    path = spot.cwd / os.fsdecode(name)
    held, wrapper = stand(case, path, spot)
    program = None
    if case.user == "dialout":
        program, user = as_a_dialout_user(config, tmp_path)
        wrapper = (*wrapper, *user)
    if not config.windows:  # strace's trace is all the program's stderr
        wrapper = (*wrapper, "strace", "-qq", "-e", "open,openat,write,writev")
    settings = held and termios.tcgetattr(held)
    before = contents(spot.cwd), contents(spot.locks)

    code, out, err = run(config, case.argv, spot.cwd, case.stdout, wrapper, program)

    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[case.status]
    read_back = b"" if case.stdout in ("closed", "full", "broken pipe") else text
    line_end = b"\r\n" if config.windows else b"\n"
    assert (code, out) == (case.status, read_back.replace(b"\n", line_end)), f"stderr: {err!r}"
    assert (contents(spot.cwd), contents(spot.locks)) == before
    if held:
        assert termios.tcgetattr(held) == settings
    if config.windows and case.status != 1:
        # Reading and writing, no sharing (the exclusivity), only what exists.
        assert re.search(rb'CreateFileW L"COM.*" GENERIC_READ GENERIC_WRITE  creation 3 '
                         rb'attributes 0x0\n', err), err
    if not config.windows:
        traced(case, err)


OPENED = (rb'^open(?:at)?\((?:AT_FDCWD, )?"((?:COM|/dev/ttyS|/var/lock/)(?:[^"\\]|\\.)*)", '
          rb'([A-Z_|]+)\) = ')
PORT = {b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}  # no carrier waited for
LOCK = {b"O_RDONLY", b"O_NOCTTY", b"O_NONBLOCK", b"O_NOFOLLOW", b"O_CLOEXEC"}  # nor a FIFO's writer


def traced(case, err):
    """What strace saw the program do: nothing written to stderr; the port opened once, for
    reading and writing, each lock file at most once, only for reading and never through a
    link, neither created nor waited for; nothing opened for a refused argument."""
    assert not re.search(rb"^writev?\(2,", err, re.M)
    opens = re.findall(OPENED, err, re.M)
    paths = [path for path, _ in opens]
    assert len([p for p in paths if not p.startswith(b"/var/")]) == (case.status != 1), err
    assert len(set(paths)) == len(paths), err
    for path, flags in opens:
        assert set(flags.split(b"|")) - {b"O_LARGEFILE"} == (
            LOCK if path.startswith(b"/var") else PORT), path

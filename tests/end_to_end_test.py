# Runs the built program, natively or under Wine, on one table of cases and
# checks what a caller sees and what must not change: the exact stdout bytes,
# stderr, the exit status, the working folder (names, contents, times) and a
# terminal's settings.
import fcntl
import os
import pty
import re
import subprocess
import termios
import tty

from conftest import WINE_ENV

BANNER = (b"Quelvarn: Programa para patchear problema de puertos seriales bajo "
          b"Windows 98 SE\nCompa\xa4\xa1a Ketravol\n")
USAGE = b"Uso: Quelvarn n\n\tn: numero de COM a usar\n"
FAILURE = b"El puerto especificado no pudo ser abierto\n"
POSIX, WINDOWS, BOTH = "posix", "windows", "posix windows"

# (argument vector, or a raw Windows command line for the C runtime to split;
#  what stands at the composed name; where stdout goes; builds; exit status;
#  the name, where it is not "COM" and the first argument)
ROWS = [
    *[(argv, None, "pipe", BOTH, 1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["00"], ["+0"], ["-0"], ["+"], ["-"],
        ["abc"], ["x3"], [""], [" \t "], ["- 3"], ["+-3"], ["--3"], ["0x10"],
        ["4294967296"], ["18446744073709551616"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    *[([a], None, "pipe", BOTH, 2) for a in ("3abc", "07", "-1", " 3",
                                              "4294967297")],
    *[([a], "file", "pipe", BOTH, 0) for a in (
        "3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124, "3%n%s%x")],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[([a], "file", "pipe", POSIX, 0) for a in (
        "3\xa4\xa1\x80\xff", "3\\", "3*", '3"q"', " \t\n\v\f\r3")],
    *[(["3" + a], a, "pipe", POSIX, 2) for a in (
        "dir", "dangling", "loop", "unwritable", "missing/x")],  # no folder
    *[(["4" + a], a, "pipe", POSIX, s) for a, s in (
        ("fifo", 0), ("pty", 0), ("pty-excl", 2), ("pty-flock", 2))],
    *[(argv, what, out, BOTH, s) for out in ("file", "closed", "full",
                                             "broken", "tty")
      for argv, what, s in (([], None, 1), (["5y"], None, 2),
                            (["5x"], "file", 0))],
    (["1"], "ttyS0", "trace", POSIX, None),
    (["5x"], "file", "trace", WINDOWS, 0),
    (["2"], "com2", "pipe", WINDOWS, 0),
    (["9"], None, "pipe", WINDOWS, 2),
    ("5x", "held", "pipe", WINDOWS, 2, "COM5x"),
    *[(raw, name and "file", "pipe", WINDOWS, s, name) for raw, s, name in (
        ("1 2", 1, ""), ("1\t2", 1, ""), ('""', 1, ""),
        ('"1 2"', 0, "COM1 2"), ('1" "2', 0, "COM1 2"),
        ('"1 2', 0, "COM1 2"),  # an open quote runs to the end
        ("3\\x", 0, "COM3\\x"),  # a backslash not before a quote
        ("3*", 2, "COM3x"))],  # not expanded to 3x, as it would be by a glob
]


def pytest_generate_tests(metafunc):
    windows = metafunc.config.windows
    # Wine puts its own console between the program and a terminal.
    rows = [row for row in ROWS if (WINDOWS if windows else POSIX) in row[3]
            and not (windows and row[2] == "tty")]
    metafunc.parametrize("row", rows, ids=[repr(row[:3])[:60] for row in rows])


def run(config, args, stdout, cwd, wrapper=(), env=()):
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
    reader, writer = {"broken": os.pipe, "tty": pty.openpty}.get(
        stdout, lambda: (None, subprocess.PIPE))()
    if stdout == "broken":
        os.close(reader)
    if stdout == "tty":
        tty.setraw(writer)  # the bytes as they were written
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {redirect.get(stdout, "")}', "sh", *wrapper,
         program, *[a.encode("latin-1") for a in args]],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
        env={**os.environ, **(WINE_ENV if config.windows else {}), **dict(env)},
        timeout=60,
        check=False)
    out = done.stdout
    if stdout in ("broken", "tty"):
        os.close(writer)
    if stdout == "tty":
        out = os.read(reader, 65536)
        os.close(reader)
    if stdout == "file":
        out = (cwd.parent / "stdout").read_bytes()
    return done.returncode, out, done.stderr


def stand(what, path, request):
    """Puts at path what a row says stands there; returns a terminal's fd."""
    if what == "file" and path.name == "COM3x":
        (path.parent / "3x").touch()
    if what in ("file", "held", "unwritable"):
        path.parent.mkdir(exist_ok=True)  # Windows' COM3\x is x in COM3
        path.write_bytes(b"contenido")
        os.utime(path, (1e9, 1e9))
        path.chmod(0o444 if what == "unwritable" else 0o644)
    if what in ("dir", "dangling", "loop", "fifo"):
        {"dir": os.mkdir, "fifo": os.mkfifo,
         "dangling": lambda p: os.symlink("nowhere", p),
         "loop": lambda p: os.symlink(p, p)}[what](path)
    if what is None or not what.startswith(("pty", "com")):
        return None
    master, slave = pty.openpty()
    # Another program's own open file, so that its hold is not ours.
    other = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    request.addfinalizer(lambda: [os.close(fd) for fd in (master, slave, other)])
    if what == "pty-excl":
        fcntl.ioctl(other, termios.TIOCEXCL)
    if what == "pty-flock":
        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
    if what.startswith("com"):  # Wine's COMn is what its device folder links
        path = os.path.join(os.environ["WINEPREFIX"], "dosdevices", what)
        if os.path.lexists(path):
            os.unlink(path)
        request.addfinalizer(lambda: os.unlink(path))
    os.symlink(os.ttyname(slave), path)
    return slave


def folder(path):
    return {p: (p.lstat().st_mode, p.lstat().st_mtime_ns, p.is_file() and
                not p.is_symlink() and p.read_bytes()) for p in path.iterdir()}


def test_row(row, tmp_path, request):
    args, what, stdout, _, status, *name = row
    config, cwd = request.config, tmp_path / "work"
    name = (name or ["COM" + (args[0] if args else "")])[0].encode("latin-1")
    cwd.mkdir()
    path = os.fsdecode(name.replace(b"\\", b"/") if config.windows else name)
    terminal = stand(what, cwd / path, request)
    settings = terminal and termios.tcgetattr(terminal)
    before = folder(cwd)
    wrapper, env = {"held": (path,)}.get(what, ()), ()  # the helper holds it
    if what == "unwritable" and os.geteuid() == 0:  # root may write anything
        wrapper = ("setpriv", "--bounding-set=-dac_override")
    if stdout == "trace":  # the open's own arguments, on stderr
        wrapper = () if config.windows else ("strace", "-qq", "-o",
                                             "/dev/stderr", "-e", "open,openat")
        # LeakSanitizer, in a sanitized build, cannot run under ptrace.
        env = {"WINEDEBUG": "trace+file", "ASAN_OPTIONS": "detect_leaks=0"}

    code, out, err = run(config, args, stdout, cwd, wrapper, env)

    if what == "ttyS0":  # COM1 is ttyS0, and it opens as the machine has it
        flags, opened = re.search(rb'"/dev/ttyS0", ([A-Z_|]+)\) = (\d?)',
                                  err).groups()
        status = 0 if opened else 2
    # Where Wine itself failed the run, its own messages say so.
    assert code == status, re.findall(rb"^(?:wine: |\w{4}:err:).*", err, re.M)
    expected = BANNER + {0: name + b" inicializado\n", 1: USAGE,
                         2: FAILURE}[status]
    if config.windows:
        expected = expected.replace(b"\n", b"\r\n")
    assert out == expected or stdout in ("closed", "full", "broken")
    if stdout == "trace" and config.windows:
        # Reading and writing, no sharing (the exclusivity), only what exists.
        assert (b'CreateFileW L"COM5x" GENERIC_READ GENERIC_WRITE  creation 3 '
                b'attributes 0x0\n') in err
    if what == "ttyS0":  # waiting for no carrier, creating nothing
        assert set(flags.split(b"|")) - {b"O_LARGEFILE"} == {
            b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}
    if stdout != "trace":
        assert not any(text in err for text in (BANNER, USAGE, FAILURE))
        assert err == b"" or config.windows
    assert folder(cwd) == before
    assert not terminal or termios.tcgetattr(terminal) == settings

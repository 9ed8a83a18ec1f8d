# Runs the built program, natively or under Wine, on one table of cases and
# checks what a caller sees and what must not change: the exact stdout bytes,
# stderr, the exit status, the working folder (names, content, times) and a
# terminal's settings.
import fcntl
import os
import pty
import re
import subprocess
import termios
import tty

import pytest

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
    *[(["3" + a], a, "pipe", POSIX, 2) for a in ("dir", "dangling", "loop",
                                                  "unwritable")],
    (["3/COM3"], None, "pipe", POSIX, 2),  # a path through a missing folder
    (["3fifo"], "fifo", "pipe", POSIX, 0),
    *[(["4" + a], a, "pipe", POSIX, s) for a, s in (
        ("pty", 0), ("pty-excl", 2), ("pty-flock", 2))],
    *[(argv, "file", out, BOTH, s) for out in ("file", "closed", "full",
                                               "broken", "tty")
      for argv, s in (([], 1), (["5"], 2), (["5x"], 0))],
    (["1"], "ttyS0", "trace", POSIX, None),  # as the machine's ttyS0 opens
    (["5x"], "file", "trace", WINDOWS, 0),
    (["3"], "com3", "pipe", WINDOWS, 0),
    (["3"], None, "pipe", WINDOWS, 2),
    ("5x", "held", "pipe", WINDOWS, 2, "COM5x"),
    *[(raw, name and "file", "pipe", WINDOWS, s, name) for raw, s, name in (
        ("1 2", 1, ""), ("1\t2", 1, ""), ('""', 1, ""),
        ('"1 2"', 0, "COM1 2"), ('1" "2', 0, "COM1 2"),
        ('"1 2', 0, "COM1 2"),  # an open quote runs to the end
        ("3\\x", 0, "COM3\\x"),  # a backslash not before a quote
        ("3*", 2, "COM3x"))],  # not expanded to 3x, as it would be from a glob
]


def pytest_generate_tests(metafunc):
    windows = metafunc.config.windows
    # Wine puts its own console between the program and a terminal.
    rows = [row for row in ROWS if (WINDOWS if windows else POSIX) in row[3]
            and not (windows and row[2] == "tty")]
    metafunc.parametrize("row", rows, ids=[repr(row[:3])[:60] for row in rows])


def run(config, args, stdout, cwd, wrapper=(), env=None):
    """Runs the program in cwd; returns its status, stdout and stderr."""
    env = {**os.environ, **(env or {})}
    if config.windows:
        loader, tree, _ = config.windows
        program = str(tree / "Quelvarn.exe")
        if isinstance(args, str):  # a raw command line, through the helper
            wrapper = [str(tree / "tests/quelvarn_helper.exe"), *wrapper]
            program, args = "Z:" + program.replace("/", "\\"), [args]
        command = [loader, *wrapper, program]
        env = {"WINEDEBUG": "-all", **env}
    else:
        command = [*wrapper, config.getoption("program")]
    command += [a.encode("latin-1") for a in args]
    files = {"file": cwd.parent / "stdout", "full": "/dev/full"}
    kwargs = {"stdout": subprocess.PIPE}
    if stdout in files:
        kwargs["stdout"] = open(files[stdout], "w+b")  # pylint: disable=R1732
    if stdout == "closed":
        kwargs = {"preexec_fn": lambda: os.close(1)}
    if stdout == "broken":
        reader, kwargs["stdout"] = os.pipe()
        os.close(reader)
    if stdout == "tty":
        master, kwargs["stdout"] = pty.openpty()
        tty.setraw(kwargs["stdout"])  # the bytes as they were written
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, env=env,
                          timeout=60, check=False, **kwargs)
    out = done.stdout
    if stdout in files:
        kwargs["stdout"].close()
    if stdout == "broken":
        os.close(kwargs["stdout"])
    if stdout == "file":
        out = files["file"].read_bytes()
    if stdout == "tty":
        os.close(kwargs["stdout"])
        out = os.read(master, 65536)
        os.close(master)
    return done.returncode, out, done.stderr


def stand(what, path, request):
    """Puts at path what a row says stands there; returns a terminal's fd."""
    path.parent.mkdir(exist_ok=True)
    if what == "file" and path.name == "COM3x":
        (path.parent / "3x").touch()
    if what in ("file", "held", "unwritable"):
        path.write_bytes(b"contenido")
        os.utime(path, (1e9, 1e9))
        path.chmod(0o444 if what == "unwritable" else 0o644)
    if what in ("dir", "dangling", "loop", "fifo"):
        {"dir": os.mkdir, "fifo": os.mkfifo,
         "dangling": lambda p: os.symlink("nowhere", p),
         "loop": lambda p: os.symlink(p, p)}[what](path)
    if what not in ("pty", "pty-excl", "pty-flock", "com3"):
        return None
    master, slave = pty.openpty()
    # Another program's own open file, so that its hold is not ours.
    other = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    request.addfinalizer(lambda: [os.close(fd) for fd in (master, slave, other)])
    if what == "pty-excl":
        fcntl.ioctl(other, termios.TIOCEXCL)
    if what == "pty-flock":
        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
    if what == "com3":  # Wine's COM3 is what its device folder links there
        path = os.path.join(os.environ["WINEPREFIX"], "dosdevices/com3")
        request.addfinalizer(lambda: os.unlink(path))
    os.symlink(os.ttyname(slave), path)
    return slave


def folder(path):
    return {p.name: (p.lstat().st_mode, p.lstat().st_mtime_ns, p.is_file()
                     and not p.is_symlink() and p.read_bytes())
            for p in path.iterdir()}


def test_row(row, tmp_path, request):
    args, what, stdout, _, status, *name = row
    config = request.config
    name = (name[0] if name else "COM" + (args[0] if args else "")).encode(
        "latin-1")
    cwd = tmp_path / "work"
    cwd.mkdir()
    # Windows names hold no folder "COM3\\" but a file in a folder COM3.
    path = os.fsdecode(name)
    terminal = stand(what, cwd / (path.replace("\\", "/") if config.windows
                                  else path), request)
    settings = terminal and termios.tcgetattr(terminal)
    before = folder(cwd)
    wrapper, env = (), None
    if what == "held":
        wrapper = ("--hold", name.decode())
    if what == "unwritable" and os.geteuid() == 0:  # root may write anything
        wrapper = ("setpriv", "--bounding-set=-dac_override")
    if what == "ttyS0":
        try:
            os.close(os.open("/dev/ttyS0",
                             os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
            status = 0
        except OSError:
            status = 2
    if stdout == "trace" and not config.windows:
        wrapper = ("strace", "-qq", "-e", "trace=open,openat", "-o",
                   str(tmp_path / "trace"))
    if stdout == "trace" and config.windows:
        env = {"WINEDEBUG": "trace+file"}

    code, out, err = run(config, args, stdout, cwd, wrapper, env)

    assert code == status
    expected = BANNER + {0: name + b" inicializado\n", 1: USAGE,
                         2: FAILURE}[status]
    if config.windows:
        expected = expected.replace(b"\n", b"\r\n")
    if stdout in ("pipe", "file", "tty", "trace"):
        assert out == expected
    if stdout == "trace" and config.windows:
        # Reading and writing, no sharing (the exclusivity), only what exists.
        assert (b'CreateFileW L"COM5x" GENERIC_READ GENERIC_WRITE  creation 3 '
                b'attributes 0x0\n') in err
    elif stdout == "trace":
        # COM1 is ttyS0; the open waits for no carrier and creates nothing.
        flags = re.search(r'"/dev/ttyS0", ([A-Z_|]+)',
                          (tmp_path / "trace").read_text())[1].split("|")
        assert set(flags) - {"O_LARGEFILE"} == {
            "O_RDWR", "O_NOCTTY", "O_NONBLOCK", "O_CLOEXEC"}
    elif config.windows:
        assert not any(text in err for text in (BANNER, USAGE, FAILURE))
    else:
        assert err == b""
    assert folder(cwd) == before
    if terminal:
        assert termios.tcgetattr(terminal) == settings

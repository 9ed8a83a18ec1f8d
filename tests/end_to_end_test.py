# Runs the built program, natively or under Wine, on tables of cases and checks what a caller sees
# and what must not change: the exact stdout bytes, the exit status, the working folder; natively
# also, through strace, how the program opens what it opens and that it writes nothing to stderr,
# and under Wine, through Wine's trace, how it opens the port. What the argument reads as, and
# which device a name opens on Linux, are tested in-process, in tests/unit; here are the cases
# that need a process.
import os
import re
import subprocess
from typing import NamedTuple

import pytest

from conftest import BANNER, FAILURE, USAGE, WINE_ENV, contents

POSIX, BOTH = ("posix",), ("posix", "windows")


class Case(NamedTuple):
    argv: list
    stands: str = "nothing"  # what stands at the composed name: nothing, or "a file"
    stdout: str = "pipe"  # pipe, closed, full, broken pipe
    builds: tuple = BOTH
    status: int = 0


ARGUMENTS = [
    *[Case(argv, status=1) for argv in (
        [], ["3", "4"], ["3", ""], ["0"], ["4294967296"], ["%n%s%x"], ["7" * 125],
        ["7" * 30000])],  # Windows takes at most 32767 characters
    *[Case([a], status=2) for a in ("3abc", "07", "-1", " 3")],
    *[Case([a], "a file") for a in ("3abc", "07", "1 2", "3%s", "-1", " 3", "10", "7" * 124)],
    # Bytes that no Windows file name holds, or that Wine would recode.
    *[Case([a], "a file", builds=POSIX) for a in ("3\xa4\xa1\x80\xff", "3\\", "3*",
                                                   " \t\n\v\f\r3")]]
WHERE_STDOUT_GOES = [
    Case(argv, stands, stdout=stdout, status=status)
    for stdout in ("closed", "full", "broken pipe")
    for argv, stands, status in (([], "nothing", 1), (["5y"], "nothing", 2), (["5x"], "a file", 0))]
TABLES = {"argument": ARGUMENTS, "stdout": WHERE_STDOUT_GOES}


def pytest_generate_tests(metafunc):
    """Each row of the tables for the build at hand, named by its table and by each field that
    differs from its default."""
    build = "windows" if metafunc.config.windows else "posix"
    metafunc.parametrize("case", [pytest.param(c, id=" ".join([table + ":", *(
        f"{k}={v!r:.40}" for k, v in c._asdict().items() if v != Case._field_defaults.get(k))]))
        for table, rows in TABLES.items() for c in rows if build in c.builds])


def run(config, args, cwd, stdout):
    """Runs the program in cwd, with its stdout where stdout says; returns its status, stdout and
    stderr, which holds the trace of how it opened what it opened."""
    wrapper, program = ["strace", "-qq", "-e", "open,openat,write,writev"], config.getoption("program")
    env = {"ASAN_OPTIONS": "detect_leaks=0"}  # LeakSanitizer cannot run under ptrace
    if config.windows:
        (loader, tree), env = config.windows, {**WINE_ENV, "WINEDEBUG": "-all,err+all,trace+file"}
        wrapper, program = [loader], str(tree / "Quelvarn.exe")
    redirect = {"full": ">/dev/full", "closed": ">&-"}
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
    if stdout == "broken pipe":
        os.close(writer)
    return done.returncode, done.stdout or b"", done.stderr


def test_case(case, tmp_path, request):
    config = request.config
    name = ("COM" + (case.argv[0] if case.argv else "")).encode("latin-1")
    if case.stands == "a file":
        (tmp_path / os.fsdecode(name)).write_bytes(b"contenido")
        os.utime(tmp_path / os.fsdecode(name), (1e9, 1e9))
    before = contents(tmp_path)

    code, out, err = run(config, case.argv, tmp_path, case.stdout)

    text = BANNER + {0: name + b" inicializado\n", 1: USAGE, 2: FAILURE}[case.status]
    text = text.replace(b"\n", b"\r\n" if config.windows else b"\n")
    assert (code, out) == (case.status, text if case.stdout == "pipe" else b""), err
    assert contents(tmp_path) == before
    if config.windows and case.status != 1:
        # Reading and writing, no sharing (the exclusivity), only what exists.
        assert re.search(rb'CreateFileW L"COM.*" GENERIC_READ GENERIC_WRITE  creation 3 '
                         rb'attributes 0x0\n', err), err
    if not config.windows:
        traced(err)
        # To a pipe, the texts in one write at the end, so that runs into one log do not mix.
        assert case.stdout != "pipe" or len(re.findall(rb"^writev?\(1,", err, re.M)) == 1, err


OPENED = (rb'^open(?:at)?\((?:AT_FDCWD, )?"((?:COM|/var/lock/)(?:[^"\\]|\\.)*)", '
          rb'([A-Z_|]+)\) = ')
PORT = {b"O_RDWR", b"O_NOCTTY", b"O_NONBLOCK", b"O_CLOEXEC"}  # no modem's carrier waited for
LOCK = {b"O_RDONLY", b"O_NOCTTY", b"O_NONBLOCK", b"O_NOFOLLOW", b"O_CLOEXEC"}  # nor a FIFO's


def traced(err):
    """What strace saw the program do: nothing written to stderr; the port opened for reading
    and writing, its lock files only for reading and never through a link, neither created nor
    waited for."""
    assert not re.search(rb"^writev?\(2,", err, re.M)
    for path, flags in re.findall(OPENED, err, re.M):
        assert set(flags.split(b"|")) - {b"O_LARGEFILE"} == (
            LOCK if path.startswith(b"/var") else PORT), path

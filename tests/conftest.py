# What the tests run on, as ctest or scripts/check passes it (a native build, Quelvarn.exe and its
# disk under Wine's 32-bit side, or the release that scripts/build-release made), the release that
# they must all name, and what more than one test file needs: Quelvarn's own texts, as a caller
# reads them, and what a folder holds.
import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).parents[1]
BANNER = (b"Quelvarn: Programa para patchear problema de puertos seriales bajo Windows 98 SE\n"
          b"Compa\xa4\xa1a Ketravol\n")
USAGE = b"Uso: Quelvarn n\n\tn: numero de COM a usar\n"
FAILURE = b"El puerto especificado no pudo ser abierto\n"
# Wine's own errors stay on, so that a run that Wine failed says so.
WINE_ENV = {"WINEDEBUG": "-all,err+all"}


def pytest_addoption(parser):
    add = parser.addoption
    add("--release", nargs=2, metavar=("VERSION", "DAY"), help="what every shipped text names")
    add("--program", help="a native Quelvarn")
    add("--windows", nargs=2, metavar=("WINE", "TREE"), help="Wine's 32-bit loader, and the tree "
        "holding Quelvarn.exe, its ZIP and floppy image")
    add("--artifacts", help="a release that scripts/build-release made")
    add("--trees", nargs=2, metavar=("LINUX", "WINDOWS"), help="the presets' trees")


def pytest_configure(config):
    config.windows = config.getoption("windows")
    if config.windows:
        config.windows = (config.windows[0], pathlib.Path(config.windows[1]))


def pytest_terminal_summary(terminalreporter):
    """The figures that tests record, such as sizes against their budgets, which xdist's workers
    cannot print."""
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")


def contents(path):
    """Every path under path, with what lstat says of it (mode, time) and its content or a link's
    target: what a run that must change nothing leaves as it was."""
    return {p: (p.lstat().st_mode, p.lstat().st_mtime_ns, os.readlink(p) if p.is_symlink()
                else p.read_bytes() if p.is_file() else None) for p in path.rglob("*")}

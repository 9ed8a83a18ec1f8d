# What the tests run on, as ctest passes it (see tests/CMakeLists.txt): a
# native build, the .deb as it ships, or Quelvarn.exe and its disk under
# Wine's 32-bit side; and the release they must all carry.
import pathlib
import shutil
import subprocess
import tempfile

import pytest

ROOT = pathlib.Path(__file__).parents[1]
# Wine's own errors stay on, so that a run that Wine failed says so.
WINE_ENV = {"WINEDEBUG": "-all,err+all"}


def pytest_addoption(parser):
    parser.addoption("--release", nargs=3, metavar=("VERSION", "DAY", "EPOCH"),
                     help="the release's version, its day (YYYY-MM-DD) and "
                     "the SOURCE_DATE_EPOCH its files are dated at")
    parser.addoption("--program", help="a native Quelvarn")
    parser.addoption("--deb", help="the .deb, whose Quelvarn the table runs")
    parser.addoption("--windows", nargs=2, metavar=("WINE", "TREE"),
                     help="Wine's 32-bit loader, and the tree holding "
                     "Quelvarn.exe, its helper, its ZIP and floppy image")


def pytest_configure(config):
    config.program = config.getoption("program")
    deb = config.getoption("deb")
    if deb:
        config.unpacked = pathlib.Path(tempfile.mkdtemp(prefix="quelvarn-deb-"))
        subprocess.run(["dpkg-deb", "-x", deb, config.unpacked], check=True)
        config.program = str(config.unpacked / "usr/bin/Quelvarn")
    config.windows = config.getoption("windows")
    if config.windows:
        wine, tree = config.windows
        # The loader is itself an i386 program: where it starts, so does
        # Quelvarn.exe.
        probe = subprocess.run([wine, "--version"], capture_output=True,
                               check=False)
        if probe.returncode != 0:
            raise pytest.UsageError(
                f"{wine} does not start ({probe.stderr.decode().strip()}): "
                "this kernel runs no i386 code and no emulator is registered "
                "for it; scripts/install-dependencies, as root, registers "
                "qemu-i386")
        how = subprocess.run([ROOT / "scripts/how-i386-runs"], check=True,
                             capture_output=True, text=True).stdout.strip()
        config.windows = (wine, pathlib.Path(tree),
                          f"the i686 Quelvarn.exe that ships, {how}")


def pytest_unconfigure(config):
    if getattr(config, "unpacked", None):
        shutil.rmtree(config.unpacked)


@pytest.fixture(name="release")
def fixture_release(request):
    """The version, the day and the epoch that every shipped text carries."""
    version, day, epoch = request.config.getoption("release")
    return version, day, int(epoch)


def pytest_terminal_summary(terminalreporter, config):
    # The figures that tests record, which xdist's workers cannot print.
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

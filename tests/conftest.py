# What the tests run on, as ctest passes it (see tests/CMakeLists.txt): a
# native build, the .deb as it ships, or Quelvarn.exe and its disk under
# Wine's 32-bit side; and the release they must all carry.
import pathlib
import subprocess
import tempfile


ROOT = pathlib.Path(__file__).parents[1]
# Wine's own errors stay on, so that a run that Wine failed says so.
WINE_ENV = {"WINEDEBUG": "-all,err+all"}


def pytest_addoption(parser):
    parser.addoption("--release", nargs=2, metavar=("VERSION", "DAY"),
                     help="the version and the day (YYYY-MM-DD) that every "
                     "shipped text names")
    parser.addoption("--program", help="a native Quelvarn")
    parser.addoption("--deb", help="the .deb, whose Quelvarn the table runs")
    parser.addoption("--windows", nargs=2, metavar=("WINE", "TREE"),
                     help="Wine's 32-bit loader, and the tree holding "
                     "Quelvarn.exe, its helper, its ZIP and floppy image")


def pytest_configure(config):
    config.program = config.getoption("program")
    deb = config.getoption("deb")
    if deb:
        config.unpacked_dir = tempfile.TemporaryDirectory(prefix="quelvarn-")
        config.unpacked = pathlib.Path(config.unpacked_dir.name)
        subprocess.run(["dpkg-deb", "-x", deb, config.unpacked], check=True)
        config.program = str(config.unpacked / "usr/bin/Quelvarn")
    config.windows = config.getoption("windows")
    if config.windows:
        wine, tree = config.windows
        how = subprocess.run([ROOT / "scripts/how-i386-runs"], check=True,
                             capture_output=True, text=True).stdout.strip()
        config.windows = (wine, pathlib.Path(tree),
                          f"the i686 Quelvarn.exe that ships, {how}")


def pytest_terminal_summary(terminalreporter, config):
    # The figures that tests record, which xdist's workers cannot print.
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

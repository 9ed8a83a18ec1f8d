# What the tests run on, as ctest passes it (see tests/CMakeLists.txt): a native build, the .deb as
# it ships, or Quelvarn.exe and its disk under Wine's 32-bit side; and the release they must all
# carry. scripts/check gives the trees that built a release, for checking scripts/check-release.
import pathlib
import subprocess
import tempfile


ROOT = pathlib.Path(__file__).parents[1]
# Wine's own errors stay on, so that a run that Wine failed says so.
WINE_ENV = {"WINEDEBUG": "-all,err+all"}


def pytest_addoption(parser):
    add = parser.addoption
    add("--release", nargs=2, metavar=("VERSION", "DAY"), help="what every shipped text names")
    add("--program", help="a native Quelvarn")
    add("--deb", help="the .deb, whose Quelvarn the table runs")
    add("--windows", nargs=2, metavar=("WINE", "TREE"), help="Wine's 32-bit loader, and the tree "
        "holding Quelvarn.exe, its helper, its ZIP and floppy image")
    add("--trees", nargs=2, metavar=("LINUX", "WINDOWS"), help="the trees that built a release")


def pytest_configure(config):
    config.program = config.getoption("program")
    deb = config.getoption("deb")
    if deb:
        config.unpacked_dir = tempfile.TemporaryDirectory(prefix="quelvarn-")
        config.unpacked = pathlib.Path(config.unpacked_dir.name)
        subprocess.run(["dpkg-deb", "-x", deb, config.unpacked], check=True)
        config.program = str(config.unpacked / "usr/bin/Quelvarn")
        config.tree = pathlib.Path(deb).parent
    config.windows = config.getoption("windows")
    if config.windows:
        wine, tree = config.windows
        how = subprocess.run([ROOT / "scripts/how-i386-runs"], check=True, capture_output=True,
                             text=True).stdout.strip()
        config.tree = pathlib.Path(tree)
        config.windows = (wine, config.tree, f"the i686 Quelvarn.exe that ships, {how}")


def pytest_terminal_summary(terminalreporter, config):
    # The figures that tests record, which xdist's workers cannot print.
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

# What the tests run on, as ctest or scripts/check passes it: a native build, Quelvarn.exe and its
# disk under Wine's 32-bit side, or the release that scripts/build-release made, its packages as
# they ship; and the release they must all carry.
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
    add("--artifacts", help="a release from scripts/build-release, whose Quelvarn the table runs")
    add("--windows", nargs=2, metavar=("WINE", "TREE"), help="Wine's 32-bit loader, and the tree "
        "holding Quelvarn.exe, its ZIP and floppy image")
    add("--trees", nargs=2, metavar=("LINUX", "WINDOWS"), help="the presets' trees")


def pytest_configure(config):
    config.program = config.getoption("program")
    if config.getoption("artifacts"):
        config.dist = pathlib.Path(config.getoption("artifacts")).resolve()
        config.unpacked_dir = tempfile.TemporaryDirectory(prefix="quelvarn-")
        config.unpacked = pathlib.Path(config.unpacked_dir.name)
        subprocess.run(["dpkg-deb", "-x", next(config.dist.glob("quelvarn_*_*.deb")),
                        config.unpacked], check=True)
        config.program = str(config.unpacked / "usr/bin/Quelvarn")
    config.windows = config.getoption("windows")
    if config.windows:
        wine, tree = config.windows
        how = subprocess.run([ROOT / "scripts/how-i386-runs"], check=True, capture_output=True,
                             text=True).stdout.strip()
        config.windows = (wine, pathlib.Path(tree), f"the i686 Quelvarn.exe that ships, {how}")


def pytest_terminal_summary(terminalreporter, config):
    # The figures that tests record, which xdist's workers cannot print.
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

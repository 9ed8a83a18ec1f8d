# What the end-to-end table runs on: a native build, or the Windows builds
# under Wine. ctest passes these; see tests/CMakeLists.txt.
import pathlib
import subprocess


def pytest_addoption(parser):
    parser.addoption("--program", help="a native Quelvarn")
    parser.addoption("--windows", nargs=4, metavar=(
        "WINE32", "I686_TREE", "WINE64", "X86_64_TREE"),
        help="Wine's loaders and the trees with Quelvarn.exe and its helper")


def pytest_configure(config):
    config.windows = config.getoption("windows")
    if config.windows:
        wine32, i686, wine64, x86_64 = config.windows
        # Wine's 32-bit loader is itself an i386 program.
        probe = subprocess.run(["sh", "-c", '"$0" --version', wine32],
                               capture_output=True, check=False)
        config.windows = ((wine32, pathlib.Path(i686), "the i686 Quelvarn.exe"
                           " that ships") if probe.returncode == 0 else
                          (wine64, pathlib.Path(x86_64), "the x86_64 build of "
                           "the same sources: this kernel runs no 32-bit code"))


def pytest_terminal_summary(terminalreporter, config):
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

# What the end-to-end table runs on: one native build, or the Windows
# builds under Wine. ctest passes these; see tests/CMakeLists.txt.
import pathlib
import subprocess


def pytest_addoption(parser):
    parser.addoption("--program", help="a native Quelvarn to run")
    parser.addoption("--windows", nargs=2, metavar=("I686_TREE", "X86_64_TREE"),
                     help="build trees holding Quelvarn.exe and its helper")
    parser.addoption("--wine", nargs=2, metavar=("WINE32", "WINE64"),
                     help="Wine's 32-bit and 64-bit loaders")
    parser.addoption("--objdump", help="objdump that reads the i686 image")


def runs_32_bit_code(wine32):
    # Wine's 32-bit loader is itself an i386 program: where it starts, the
    # kernel runs 32-bit code and the product itself can be tested.
    try:
        return subprocess.run([wine32, "--version"], capture_output=True,
                              timeout=60).returncode == 0
    except OSError:
        return False


def pytest_configure(config):
    config.windows = None
    if config.getoption("windows"):
        i686, x86_64 = map(pathlib.Path, config.getoption("windows"))
        wine32, wine64 = config.getoption("wine")
        config.windows = ((wine32, i686, "the i686 Quelvarn.exe that ships")
                          if runs_32_bit_code(wine32) else
                          (wine64, x86_64, "the x86_64 build of the same "
                           "sources: this kernel runs no 32-bit code"))


def pytest_terminal_summary(terminalreporter, config):
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

# What the end-to-end table runs on: a native build, or Quelvarn.exe under
# Wine's 32-bit side. ctest passes these; see tests/CMakeLists.txt.
import pathlib
import subprocess

import pytest

# Wine's 32-bit side needs under 2 GiB of address space; QEMU would reserve
# all 4 GiB and take ten times as long to start each program. Wine's own
# errors stay on, so that a run that Wine failed says so.
WINE_ENV = {"WINEDEBUG": "-all,err+all", "QEMU_RESERVED_VA": "0x82000000"}


def pytest_addoption(parser):
    parser.addoption("--program", help="a native Quelvarn")
    parser.addoption("--windows", nargs=2, metavar=("WINE", "TREE"),
                     help="Wine's 32-bit loader, and the tree holding "
                     "Quelvarn.exe, its helper, its ZIP and floppy image")


def pytest_configure(config):
    config.windows = config.getoption("windows")
    if config.windows:
        wine, tree = config.windows
        # The loader is itself an i386 program: where it starts, so does
        # Quelvarn.exe.
        probe = subprocess.run(["sh", "-c", '"$0" --version', wine],
                               capture_output=True, check=False, env=WINE_ENV)
        if probe.returncode != 0:
            raise pytest.UsageError(
                f"{wine} does not start ({probe.stderr.decode().strip()}): "
                "this kernel runs no i386 code and no emulator is registered "
                "for it; scripts/install-dependencies, as root, registers "
                "qemu-i386")
        # As scripts/install-dependencies registers it, where it must. In a
        # chroot, binfmt_misc may serve without being mounted to be read.
        binfmt = pathlib.Path("/proc/sys/fs/binfmt_misc")
        qemu = binfmt / "qemu-i386"
        how = ("through qemu-i386" if qemu.exists() and qemu.read_text()
               .startswith("enabled") else "natively" if (
                   binfmt / "status").exists() else "natively or through an "
               "emulator: binfmt_misc is not mounted here to tell")
        config.windows = (wine, pathlib.Path(tree),
                          f"the i686 Quelvarn.exe that ships, {how}")


def pytest_terminal_summary(terminalreporter, config):
    # The figures that tests record, which xdist's workers cannot print.
    for report in terminalreporter.stats.get("passed", []):
        for name, value in report.user_properties:
            terminalreporter.write_line(f"{name}: {value}")
    if config.windows:
        terminalreporter.write_line(f"Windows rows ran on {config.windows[2]}")

# What a Windows 98 machine is given: an image that Windows 98 loads.
import os
import pathlib
import re
import subprocess

HERE = pathlib.Path(__file__).parent


def output(*command, config=None):
    """A program's stdout; a Windows one runs under the table's loader."""
    return subprocess.run([*(config.windows[:1] if config else ()), *command],
                          capture_output=True, check=True, timeout=60,
                          stdin=subprocess.DEVNULL,
                          env={**os.environ, "WINEDEBUG": "-all"}).stdout


def test_windows_98_loads_the_image(request, capsys):
    """Also what the loader finds out too late: only names that Windows 98
    SE's KERNEL32.DLL and MSVCRT.DLL export, and no wide-character stub."""
    exe = pathlib.Path(request.config.getoption("windows")[1], "Quelvarn.exe")
    headers = output("i686-w64-mingw32-objdump", "-p", exe).decode()
    assert all(want in headers for want in (
        "file format pei-i386", "(PE32)", "(Windows CUI)",
        "MajorOSystemVersion\t4", "MinorOSystemVersion\t0",
        "MajorSubsystemVersion\t4", "MinorSubsystemVersion\t0"))
    imports = {dll.upper(): re.findall(r"^\t\w+\t +\d+  (\S+)$", names, re.M)
               for dll, names in re.findall(r"DLL Name: (\S+)\n(.*?)\n\n",
                                            headers, re.S)}
    with capsys.disabled():
        print(f"\nQuelvarn.exe: {exe.stat().st_size} bytes of 16384; imports:",
              {dll: len(names) for dll, names in imports.items()})
    for dll, names in imports.items():
        exported = (HERE / f"windows98-{dll[:-4].lower()}.txt").read_text()
        assert [n for n in names if n not in exported.splitlines() or
                dll == "KERNEL32.DLL" and n.endswith("W")] == [], dll
    assert exe.stat().st_size <= 16384

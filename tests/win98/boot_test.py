# When Windows starts Quelvarn: at a boot of the prefix, each port's RunServices value before
# anything in Run, as Windows 95 and 98 do it. Wine's boot is wineboot's: the first program of a
# new wineserver starts "wineboot --init", which starts RunServices values, and a plain wineboot,
# the logon, starts the Run values. Its own trace says in which order it started each command.
# It stops the prefix's wineserver, so ctest runs it alone.
import os
import re
import subprocess

from helpers import open_terminal
from windows import PREFIX, RUN, install, output, wine64
from windows import fixture_disk, fixture_prefix  # noqa: F401 (pytest finds them by name)

ANOTHER = r"C:\windows\system32\cmd.exe /c exit"  # a modem program, say, that opens the port


def boot(config, tmp_path):
    """Stops the prefix's wineserver, boots the prefix and logs on; returns each command that
    wineboot started, in order, once every program of the boot has ended."""
    output("wineserver", "-k", check=False)
    output("wineserver", "-w")
    trace = tmp_path / "trace"
    # A file, not a pipe: the services that the boot starts would hold a pipe open.
    with open(trace, "wb") as log:
        subprocess.run(["setarch", "--addr-no-randomize", wine64(config), "wineboot"], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                       timeout=300, env={**os.environ, "WINEDEBUG": "-all,trace+wineboot"})
        output("wineserver", "-w")  # ends with the last program that the boot started
    return [c.replace(b"\\\\", b"\\") for c in re.findall(
        rb'runCmd Successfully ran command L"(.*)" - Created', trace.read_bytes())]


def test_a_boot_starts_every_port_before_anything_in_run(prefix, disk, request, tmp_path):
    install(prefix, disk / "QUELVARN.INF", b"COM1, COM2")
    output("reg", "add", RUN, "/v", "Otro", "/d", ANOTHER, "/f", config=prefix)
    # Stand-ins for COM1 and COM2: Wine would open the machine's /dev/ttyS0 for a port that its
    # dosdevices folder does not link.
    for n in "12":
        com = PREFIX / f"dosdevices/com{n}"
        com.unlink(missing_ok=True)
        request.addfinalizer(lambda com=com: com.unlink(missing_ok=True))
        open_terminal(request, link=com)
    started = [c for c in boot(prefix, tmp_path) if b"QUELVARN" in c or c == ANOTHER.encode()]
    assert sorted(started[:2]) == [rb"C:\QUELVARN\QUELVARN.EXE %d" % n for n in (1, 2)]
    assert started[2:] == [ANOTHER.encode()], started

# scripts/install-dependencies on a machine that stand-ins describe: dpkg-query gives cmake each
# status that dpkg can give a package (none: unknown to dpkg), and every other package as
# installed; apt-get notes what it is asked. Only a package that is wholly installed is left out.
import os
import subprocess

import pytest

from conftest import ROOT

HAD = ("install ok installed", "hold ok installed", "deinstall ok installed")
MISSING = ("deinstall ok config-files", "install ok half-installed", "install ok unpacked",
           "install reinstreq half-installed", "install ok half-configured",
           "install ok triggers-awaited", "unknown ok not-installed", None)


@pytest.mark.parametrize("status", HAD + MISSING)
def test_installs_what_is_not_wholly_installed(tmp_path, status):
    said = "exit 1" if status is None else f"echo '{status}'; exit"
    for name, body in {"apt-get": f'echo "$*" >>{tmp_path}/asked', "sudo": 'exec "$@"',
                       "dpkg-query": f'eval "[ \\"\\${{$#}}\\" != cmake ]" || {{ {said}; }}\n'
                                     'echo "install ok installed"'}.items():
        (tmp_path / name).write_text(f"#!/bin/sh\n{body}\n")
        (tmp_path / name).chmod(0o755)
    subprocess.run([ROOT / "scripts/install-dependencies", "native"], check=True,
                   capture_output=True, env={**os.environ, "PATH": f"{tmp_path}:/usr/bin:/bin"})
    asked = (tmp_path / "asked").read_text() if (tmp_path / "asked").exists() else ""
    assert [line.split()[3:] for line in asked.splitlines() if line.startswith("install")] == (
        [] if status in HAD else [["cmake"]]), asked

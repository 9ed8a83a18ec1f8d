# scripts/check-release, shown the release that two trees built, which it must accept, and copies of
# it that it must reject, each for what it must name. It compares them with those trees, so that no
# case rebuilds.
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from conftest import ROOT

ARTIFACTS = ["release/Quelvarn", "release/*.deb", "release/*.buildinfo", "win32/Quelvarn.exe",
             "win32/*.zip", "win32/*.img", "win32/*.buildinfo"]
IMAGE = ARTIFACTS[5]


def flip(path):  # a byte in the middle
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 1
    path.write_bytes(data)


def unlisted(path):
    subprocess.run(["sed", "-i", f"/ {path.name}$/d", path.with_name("SHA256SUMS")], check=True)


# What is done to which artifact of a copy, whether its SHA256SUMS is then written anew for what
# the folder holds; what check-release must say ({} the artifact's name).
CASES = {
    "the release": (None, IMAGE, False, "the same bytes: 7 artifacts, 1 rebuilds"),
    **{f"{a} with a byte flipped": (flip, a, True, "{}: not the same bytes") for a in ARTIFACTS},
    "the image missing": (os.unlink, IMAGE, True, "holds no Quelvarn-*-win98.img"),
    "the image left out of SHA256SUMS": (unlisted, IMAGE, False, "SHA256SUMS lists"),
    "the image not as SHA256SUMS says": (flip, IMAGE, False, "{}: FAILED"),
    "a record naming another cmake": (lambda p: p.write_text(re.sub(
        r"(?m)^ cmake \(= .*\)", " cmake (= 0.0-0)", p.read_text())), ARTIFACTS[2], True,
        "toolchain: cmake is 0.0-0 in {}"),
}


# A verifier need not be root.
@pytest.mark.parametrize("case, user", [*[(case, "root") for case in CASES], (
    "the release", "nobody"), (f"{IMAGE} with a byte flipped", "nobody")])
def test_check_release(request, tmp_path, case, user):
    change, artifact, summed, says = CASES[case]
    trees = request.config.getoption("trees")
    for tree in trees:
        keep = ["SHA256SUMS", *pathlib.Path(tree, "SHA256SUMS").read_text().split()[1::2]]
        shutil.copytree(tree, tmp_path / os.path.basename(tree),
                        ignore=lambda _, names: [n for n in names if n not in keep])
    copy = next(tmp_path.glob(artifact))
    if change:
        change(copy)
    if summed:
        subprocess.run("sha256sum $(ls | grep -v SHA256SUMS) >SHA256SUMS", shell=True,
                       cwd=copy.parent, check=True)
    # Sums that do not match stop it before it rebuilds, so that case need not compare.
    against = ["--against", *trees] if case != "the image not as SHA256SUMS says" else []
    command = [ROOT / "scripts/check-release", *against, tmp_path / "release", tmp_path / "win32"]
    if user == "nobody":
        if os.geteuid() != 0:
            pytest.skip("only root can check as another user")
        for folder in (tmp_path, *tmp_path.parents):
            folder.chmod(folder.stat().st_mode | 0o005)
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]
    done = subprocess.run(command, capture_output=True, text=True, check=False, timeout=300)
    said = done.stdout + done.stderr
    assert (done.returncode == 0) == (change is None) and says.format(copy.name) in said, said
    assert "3a. " not in said

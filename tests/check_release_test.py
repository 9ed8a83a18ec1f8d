# scripts/check-release shown the release, which it must accept, and copies of it that it must
# reject, each for what it must name, compared with another copy of the release (--against), so
# that no case rebuilds, and started in a folder that holds another release's package. Then
# scripts/build-release shown folders that it must not write into.
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
from typing import Callable, NamedTuple, Union

import pytest

from conftest import ROOT
from helpers import contents, copy_from_the_tree

ARTIFACTS = ["Quelvarn", "Quelvarn.exe", "*.zip", "*.img", "quelvarn_*_*.deb", "quelvarn-win98_*",
             "quelvarn-dbgsym_*", "*.tar.xz", "*.dsc"]


def flip(path):  # a byte in the middle
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 1
    path.write_bytes(data)


def unlist(path):
    sums = path.with_name("SHA256SUMS")
    sums.write_text("".join(line for line in sums.read_text().splitlines(keepends=True)
                            if not line.endswith(f" {path.name}\n")))


def name_another_cmake(path):  # a record is information, not the verdict
    path.write_text(re.sub(r"(?m)^ cmake \(= .*\)", " cmake (= 0.0-0)", path.read_text()))


class Case(NamedTuple):
    change: Union[Callable, tuple, None]  # what is done to the file, or the command line
    pattern: str = "*.img"  # the file of the copy
    summed: bool = False  # SHA256SUMS written anew for what the folder then holds
    status: int = 1  # check-release's
    says: str = "{}: not the same bytes"  # {} the file's name


CASES = {
    "the release": Case(None, status=0, says="the same bytes: 9 artifacts, 1 rebuilds"),
    **{f"{a} with a byte flipped": Case(flip, a, summed=True) for a in ARTIFACTS},
    "the image missing": Case(os.unlink, summed=True, says="holds no {}"),
    "the image left out of SHA256SUMS": Case(unlist, says="SHA256SUMS lists"),
    "the image not as SHA256SUMS says": Case(flip, says="{}: FAILED"),
    "a record naming another cmake": Case(name_another_cmake, "*.buildinfo", summed=True,
                                          status=0, says="toolchain: cmake is 0.0-0 in the"),
    **{f"started with {a}": Case(a, status=2, says="usage: scripts/check-release")
       for a in ((), ("--against",), ("a", "b"), ("--what", "x", "y"),
                 ("--against", "given", "--keep", "kept", "release"))},
    "kept in a folder that exists": Case(("--keep", "given", "release"), status=2,
                                         says="given exists; --keep makes a new folder"),}


def copies(request):
    """Two copies of the release, release/ and given/, and check-release, in a folder of /tmp
    that another user can reach wherever the tree lies, beside another release's package."""
    folder = pathlib.Path(tempfile.mkdtemp())
    request.addfinalizer(lambda: shutil.rmtree(folder))
    folder.chmod(0o755)
    for name in ("release", "given"):
        shutil.copytree(request.config.dist, folder / name)
    shutil.copy(ROOT / "scripts/check-release", folder)
    (folder / "quelvarn_0.9.0_amd64.deb").touch()
    return folder


# A verifier need not be root.
@pytest.mark.parametrize("case, user", [*[(case, "root") for case in CASES], (
    "the release", "nobody"), ("*.img with a byte flipped", "nobody")])
def test_check_release(request, case, user):
    change, pattern, summed, status, says = CASES[case]
    folder = copies(request)
    copy = next((folder / "release").glob(pattern))
    if callable(change):
        change(copy)
    if summed:
        names = sorted(p.name for p in copy.parent.iterdir() if p.name != "SHA256SUMS")
        subprocess.run(["sha256sum", *names], cwd=copy.parent, check=True,
                       stdout=(copy.parent / "SHA256SUMS").open("w"))
    command = ["./check-release", *(change if isinstance(change, tuple) else (
        "--against", "given", "release"))]
    if user == "nobody":
        if os.geteuid() != 0:
            pytest.skip("only root can check as another user")
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]
    done = subprocess.run(command, capture_output=True, text=True, check=False, timeout=300,
                          cwd=folder)
    said = done.stdout + done.stderr
    assert done.returncode == status, said
    assert says.format(copy.name) in said, said


def checkout(tmp_path):
    """build-release in a folder that stands for a checkout, with a user's file in it, and the
    changelog, so that a build that is not refused goes on to write."""
    top = tmp_path / "my checkout"
    copy_from_the_tree(top, "scripts/build-release", "debian/changelog")
    (top / "thesis.txt").write_text("years of work")
    return top


# Where it must not write, each named as from the checkout.
def the_checkout(top):
    return "."


def its_parent(top):
    return ".."


def a_folder_with(top, files):
    """top/dist, holding a user's files, each path's text (a folder where the path ends in /)."""
    for path, text in files.items():
        (top / "dist" / path).parent.mkdir(parents=True, exist_ok=True)
        if path.endswith("/"):
            (top / "dist" / path).mkdir()
        else:
            (top / "dist" / path).write_text(text)
    return "dist"


def a_folder_with_a_users_file(top):
    return a_folder_with(top, {"notes": "mine"})


def a_folder_with_only_an_empty_sha256sums(top):
    return a_folder_with(top, {"SHA256SUMS": ""})


def a_folder_with_a_file_that_its_sha256sums_leaves_out(top):
    return a_folder_with(top, {"notes": "mine", "SHA256SUMS": "other\n"})


def a_folder_with_a_folder_that_its_sha256sums_lists(top):
    return a_folder_with(top, {"old/": None, "SHA256SUMS": "old\n"})


def a_link_to_the_checkout(top):
    (top / "dist").symlink_to(top)
    return "dist"


def a_users_file(top):
    return "thesis.txt"


@pytest.mark.parametrize("out", [
    the_checkout, its_parent, a_folder_with_a_users_file, a_folder_with_only_an_empty_sha256sums,
    a_folder_with_a_file_that_its_sha256sums_leaves_out,
    a_folder_with_a_folder_that_its_sha256sums_lists, a_link_to_the_checkout, a_users_file],
    ids=lambda f: f.__name__)
def test_build_release_refuses_what_it_did_not_write(tmp_path, out):
    top = checkout(tmp_path)
    given = out(top)
    before = contents(tmp_path)
    done = subprocess.run([top / "scripts/build-release", given], cwd=top, capture_output=True,
                          text=True, check=False)
    assert (done.returncode, contents(tmp_path)) == (2, before), done.stderr
    assert done.stderr.startswith("build-release: "), done.stderr


def artifacts(release):
    """SHA256SUMS's lines but the records', which name the build's options."""
    return [line for line in (release / "SHA256SUMS").read_text().splitlines()
            if not line.endswith((".buildinfo", ".changes"))]


def test_build_release_replaces_a_release_it_wrote(request, tmp_path):
    out = tmp_path / "dist"
    shutil.copytree(request.config.dist, out)
    subprocess.run([ROOT / "scripts/build-release", out], check=True, capture_output=True,
                   env={**os.environ, "DEB_BUILD_OPTIONS": "nocheck"})
    assert artifacts(out) == artifacts(request.config.dist)

# The release that scripts/build-release made, as it ships: what the program loads and weighs, the
# notices of all the code in it, the release that each text names, the source packages that
# Static-Built-Using names, that the presets made the same bytes; that CMake alone dates the
# release as dpkg does; that build-release builds the tree as it stands and writes only where
# nothing stands; and scripts/check-release shown the release and tampered copies of it.
import os
import pathlib
import re
import shutil
import subprocess
import tarfile
import tempfile

import pytest

from conftest import ROOT, contents

SIZE_BUDGET = 32768  # bytes of /usr/bin/Quelvarn


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=True, **options).stdout


@pytest.fixture(name="dist")
def fixture_dist(request):
    return pathlib.Path(request.config.getoption("artifacts")).resolve()


def test_the_package_holds_the_release(request, dist, tmp_path, record_property):
    """The program as the package installs it: static, within its budget; the copyright file
    with Quelvarn's licence and musl's copyright lines as Debian's own musl package gives them,
    since the program links musl in; the manual page and every package at the release's version
    and day; Static-Built-Using naming source packages at their versions, as Policy 7.8 asks."""
    version, day = request.config.option.release
    run("dpkg-deb", "-x", next(dist.glob("quelvarn_*_*.deb")), tmp_path)
    program = tmp_path / "usr/bin/Quelvarn"
    record_property("release Quelvarn", f"{program.stat().st_size} bytes of {SIZE_BUDGET}")
    assert program.stat().st_size <= SIZE_BUDGET
    assert not re.search("INTERP|DYNAMIC", run("readelf", "-l", program))
    notices = " ".join(w for w in (tmp_path / "usr/share/doc/quelvarn/copyright").read_text()
                       .replace("Copyright: ", "").split() if w != ".")
    licence = (ROOT / "LICENSE").read_text()
    musl = re.search(r"^Files: \*\nCopyright: ((?:.*\n)+?)License",
                     pathlib.Path("/usr/share/doc/musl/copyright").read_text(), re.M)[1]
    assert [n for n in (re.search("^Copyright (.*)", licence, re.M)[1], licence[licence.index(
        "Permission"):], *musl.splitlines()) if " ".join(n.split()) not in notices] == []
    page = run("zcat", tmp_path / "usr/share/man/man1/Quelvarn.1.gz")
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')
    assert set(re.findall(r"\b\d+\.\d+\.\d+\b", page)) <= {version}
    installed = run("dpkg-query", "-W", "-f", "${source:Package} (= ${source:Version})\n")
    for deb in dist.glob("*.deb"):
        named = run("dpkg-deb", "-f", deb, "Static-Built-Using").strip()
        assert deb.name.split("_")[1] == version, deb.name
        assert named and set(named.split(", ")) <= set(installed.splitlines()), deb.name


def test_presets_build_the_release(request, dist, tmp_path):
    """What a developer's presets build from this tree is what the packages ship: Quelvarn.exe
    and the disks byte for byte, the Linux program once stripped as dh_strip strips it, and
    without the notes that name a build rather than what it runs (its build-id, which also
    covers the package's debugging information, and dh_strip's debug link)."""
    linux, windows = map(pathlib.Path, request.config.getoption("trees"))
    shipped = {a.name: a for a in dist.glob("Quelvarn*")}
    version = request.config.option.release[0]
    assert set(shipped) == {"Quelvarn", "Quelvarn.exe", *(
        f"Quelvarn-{version}-win98.{kind}" for kind in ("zip", "img"))}
    assert [n for n in shipped if n != "Quelvarn" and
            shipped[n].read_bytes() != (windows / n).read_bytes()] == []
    for program, bare in ((shipped["Quelvarn"], "shipped"), (linux / "Quelvarn", "preset")):
        run("objcopy", "--remove-section=.note*", "--remove-section=.gnu_debuglink",
            "--remove-section=.comment", "--strip-all", program, tmp_path / bare)
    assert (tmp_path / "shipped").read_bytes() == (tmp_path / "preset").read_bytes()


# The 15th of each month, and dates that midnight in UTC does not try: an hour and a zone behind,
# half an hour ahead, a leap day, a century that is no leap year. dpkg reads no weekday.
@pytest.mark.parametrize("date", [
    *(f"Mon, 15 {month} 2027 12:00:00 +0000" for month in "Jan Feb Mar Apr May Jun Jul Aug Sep "
      "Oct Nov Dec".split()), "Thu, 29 Feb 2024 23:59:59 -0800", "Sat, 01 Jan 2000 05:30:00 +0530",
    "Mon, 01 Mar 2100 12:00:00 +0100"])
def test_cmake_alone_dates_the_release_as_dpkg_does(tmp_path, date):
    for path in ("cmake/release.cmake", "debian/changelog"):
        (tmp_path / path).parent.mkdir()
        shutil.copy(ROOT / path, tmp_path / path)
    changelog = tmp_path / "debian/changelog"
    changelog.write_text(re.sub(r"(?m)^( -- .*>  ).*$", r"\g<1>" + date, changelog.read_text(), 1))
    (tmp_path / "epoch.cmake").write_text('include(cmake/release.cmake)\n'
                                          'message("${QUELVARN_RELEASE_EPOCH}")\n')
    assert subprocess.run(["cmake", "-P", "epoch.cmake"], cwd=tmp_path, capture_output=True,
                          text=True, check=True).stderr == run(
        "dpkg-parsechangelog", "-l", changelog, "-STimestamp"), date


def test_build_release_builds_a_copied_tree_as_it_stands_and_only_into_a_new_folder(tmp_path):
    """A checkout copied as cp -a copies it, whose index holds the original's file stats, with a
    change not yet committed, in a folder whose name has a blank: the source archive holds the
    change, and the .changes says so.
    Then a folder that exists, the checkout itself, is refused and left as it was."""
    copy, out = tmp_path / "my checkout", tmp_path / "the release"
    shutil.copytree(ROOT, copy, symlinks=True, ignore=shutil.ignore_patterns("build"))
    with open(copy / "README.md", "a") as readme:
        readme.write("A change not yet committed.\n")
    run(copy / "scripts/build-release", out, env={**os.environ, "DEB_BUILD_OPTIONS": "nocheck"})
    with tarfile.open(next(out.glob("*.tar.xz"))) as archive:
        readme = archive.extractfile(next(m for m in archive if m.name.endswith("/README.md")))
        assert readme.read().endswith(b"A change not yet committed.\n")
    assert "\nX-Quelvarn-Tree: with uncommitted changes, tree " in next(
        out.glob("*.changes")).read_text()
    before = contents(tmp_path)
    refused = subprocess.run([copy / "scripts/build-release", copy], capture_output=True, text=True)
    assert (refused.returncode, contents(tmp_path)) == (2, before), refused.stderr


def flip(path):  # a byte in the middle
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 1
    path.write_bytes(data)


# What check-release says of the release as built, and of copies with a byte changed in each
# artifact, or one left out, each with SHA256SUMS written anew, or that SHA256SUMS does not match.
@pytest.mark.parametrize("change, pattern, summed, says", [
    (None, "", True, "the same bytes: 9 artifacts, 1 rebuilds"),
    *[(flip, p, True, "differ") for p in ("*.deb", "*.zip", "*.img", "*.exe", "Quelvarn",
                                           "*.tar.xz", "*.dsc")],
    (os.unlink, "*.exe", True, "Only in"), (flip, "*.img", False, "does not match SHA256SUMS")])
@pytest.mark.parametrize("user", [[], ["setpriv", "--reuid=nobody", "--regid=nogroup",
                                       "--clear-groups"]], ids=["as root", "as nobody"])
def test_check_release_accepts_the_release_and_nothing_else(dist, change, pattern, summed, says,
                                                             user):
    """Against a copy of the release as built, so that no case rebuilds; as root and as another
    user, in a folder of /tmp that both reach wherever the tree lies."""
    if user and os.geteuid() != 0:
        pytest.skip("only root can check as another user")
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o755)
    for name in ("given", "copy"):
        shutil.copytree(dist, folder / name)
    shutil.copy(ROOT / "scripts/check-release", folder)
    if change:
        change(next((folder / "copy").glob(pattern)))
    if change and summed:
        names = sorted(p.name for p in (folder / "copy").iterdir() if p.name != "SHA256SUMS")
        (folder / "copy/SHA256SUMS").write_text(run("sha256sum", *names, cwd=folder / "copy"))
    done = subprocess.run([*user, "./check-release", "--against", "given", "copy"], cwd=folder,
                          capture_output=True, text=True)
    shutil.rmtree(folder)
    assert (done.returncode, says in done.stdout + done.stderr) == (1 if change else 0, True), \
        done.stdout + done.stderr

# The tools around the program: every script lints clean; CMake and a compiler alone configure
# and build the release, dated as its changelog entry whatever the environment says; and
# scripts/install-dependencies, on a machine that stand-ins describe, installs what is missing.
import os
import pathlib
import re
import subprocess

import pytest

from conftest import ROOT
from helpers import copy_from_the_tree, mount_namespace

SCRIPTS = [*(ROOT / "scripts").iterdir(), ROOT / "bench/run", ROOT / ".ci/run",
           ROOT / "debian/static-built-using", ROOT / "debian/tests/end-to-end",
           ROOT / "tests/stand-in-port"]


def test_every_script_is_shellcheck_clean():
    done = subprocess.run(["shellcheck", *SCRIPTS], capture_output=True, text=True, check=False)
    assert (done.returncode, done.stdout) == (0, ""), done.stdout


def without_dpkg(*command):
    """command in a mount namespace where dpkg-dev's programs do not run, as on a system
    without Debian's tools."""
    hide = 'for tool in /usr/bin/dpkg-*; do mount --bind /dev/null "$tool"; done; exec "$@"'
    return [*mount_namespace("to hide dpkg-dev"), "sh", "-c", hide, "sh", *command]


def test_cmake_and_a_compiler_build_the_windows_release(request, tmp_path):
    """The same bytes as the preset's tree, where dpkg was there to read the changelog."""
    windows = pathlib.Path(request.config.getoption("trees")[1])
    build = tmp_path / "win32"
    for step in (["--preset", "win32", "-B", build, "-DBUILD_TESTING=OFF"], ["--build", build]):
        subprocess.run(without_dpkg("cmake", *step), cwd=ROOT, check=True, capture_output=True)
    made = [p.name for p in windows.glob("Quelvarn*") if p.is_file()]
    assert len(made) == 3 and [n for n in made if (build / n).read_bytes() !=
                               (windows / n).read_bytes()] == []


@pytest.mark.parametrize("epoch", ["0", "2147483647"])
def test_manual_page_shows_the_release_whatever_the_environment_says(request, tmp_path, epoch):
    version, day = request.config.option.release
    subprocess.run(without_dpkg("cmake", "-S", ROOT, "-B", tmp_path, "-G", "Ninja",
                                "-DBUILD_TESTING=OFF"), check=True, capture_output=True,
                   env={**os.environ, "SOURCE_DATE_EPOCH": epoch})
    page = (tmp_path / "Quelvarn.1").read_text()
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')


# Trailer dates that the changelog's midnight in UTC does not try: hours, zones, leap days, a
# century that is no leap year.
@pytest.mark.parametrize("date", [
    "Thu, 29 Feb 2024 23:59:59 -0800", "Sat, 01 Jan 2000 05:30:00 +0530",
    "Mon, 01 Mar 2100 12:00:00 +0100"])
def test_cmake_reads_the_changelog_entrys_date_as_dpkg_does(tmp_path, date):
    copy_from_the_tree(tmp_path, "cmake/release.cmake", "debian/changelog")
    changelog = tmp_path / "debian/changelog"
    changelog.write_text(re.sub(r"(?m)^( -- .*>  ).*$", r"\g<1>" + date, changelog.read_text(), 1))
    (tmp_path / "epoch.cmake").write_text(
        'include(cmake/release.cmake)\nmessage("${QUELVARN_RELEASE_EPOCH}")\n')
    said = [subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, check=True)
            for command in (["cmake", "-P", "epoch.cmake"],
                            ["dpkg-parsechangelog", "-l", changelog, "-STimestamp"])]
    assert said[0].stderr == said[1].stdout, date


def stand_ins(folder, status, builds=True):
    """dpkg-query gives cmake and build-essential the status (None: unknown to dpkg) and every
    other package as installed; dpkg-checkbuilddeps passes or not; apt-get notes what it is
    asked."""
    said = "exit 1" if status is None else f"echo '{status}'; exit"
    for name, body in {
            "apt-get": f'echo "$*" >>{folder}/asked', "sudo": 'exec "$@"',
            "dpkg-checkbuilddeps": "exit 0" if builds else "exit 1",
            "dpkg-query": f'case $* in *cmake|*build-essential) {said} ;; esac\n'
                          'echo "install ok installed"'}.items():
        (folder / name).write_text(f"#!/bin/sh\n{body}\n")
        (folder / name).chmod(0o755)


def asked(folder, *arguments):
    """What apt-get was asked to do, each request a list of words, without its options."""
    subprocess.run([ROOT / "scripts/install-dependencies", *arguments], check=True,
                   capture_output=True, env={**os.environ, "PATH": f"{folder}:/usr/bin:/bin"})
    said = (folder / "asked").read_text() if (folder / "asked").exists() else ""
    return [[w for w in line.split() if not w.startswith("-")] for line in said.splitlines()
            if "update" not in line]


HAD = ("install ok installed", "hold ok installed", "deinstall ok installed")


@pytest.mark.parametrize("status", [*HAD, "deinstall ok config-files", "install ok unpacked",
                                    "install reinstreq installed", "install ok half-installed",
                                    "unknown ok not-installed", None])
def test_installs_what_is_not_wholly_installed(tmp_path, status):
    stand_ins(tmp_path, status)
    assert asked(tmp_path, "native") == ([] if status in HAD else [["install", "cmake"]])


@pytest.mark.parametrize("builds, status, build_dep", [
    (True, "install ok installed", False), (False, "install ok installed", True),
    (True, "unknown ok not-installed", True)])  # build-essential, which no control file names
def test_installs_the_build_dependencies_that_debian_control_names(tmp_path, builds, status,
                                                                    build_dep):
    stand_ins(tmp_path, status, builds)
    assert (["build-dep", str(ROOT)] in asked(tmp_path)) == build_dep

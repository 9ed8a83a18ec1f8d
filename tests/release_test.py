# The release that scripts/build-release made, as it ships: what Debian's checker says of its
# packages and their source, what the program loads and weighs, the notices of all the code in
# them, the release that each text names, and that the presets made the same bytes. Then
# scripts/check-release, shown that release, which it must accept, and copies of it that it must
# reject, each for what it must name, compared with another copy of the release (--against), so
# that no case rebuilds, and started in a folder that holds another release's package. Last,
# scripts/install-dependencies, which installs what the build needs, on a machine that stand-ins
# describe: dpkg-query gives cmake each status that dpkg can give a package (None: unknown to
# dpkg), and every other package as installed; apt-get notes what it is asked. Only a package
# that is wholly installed is left out.
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import pytest

from conftest import ROOT

SIZE_BUDGET = 32768  # bytes of /usr/bin/Quelvarn
ARTIFACTS = ["Quelvarn", "Quelvarn.exe", "*.zip", "*.img", "quelvarn_*_*.deb", "quelvarn-win98_*",
             "*.tar.xz", "*.dsc"]


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_lintian_accepts_it(request):
    output("lintian", "--fail-on", "error,warning", *request.config.dist.glob("*.changes"))


def test_program_loads_nothing_and_keeps_to_its_size(request, record_property):
    program = request.config.unpacked / "usr/bin/Quelvarn"
    assert not re.search("INTERP|DYNAMIC", output("readelf", "-l", program))
    record_property("release Quelvarn", f"{program.stat().st_size} bytes of {SIZE_BUDGET}")
    assert program.stat().st_size <= SIZE_BUDGET


def test_copyright_holds_every_notice(request):
    """Quelvarn's licence, and musl's copyright lines as Debian's own musl package gives them: the
    program is linked statically against musl. Each Files: pattern but * names what a package
    holds."""
    notices = (request.config.unpacked / "usr/share/doc/quelvarn/copyright").read_text()
    licence = (ROOT / "LICENSE").read_text()
    musl = re.search(r"^Files: \*\nCopyright: ((?:.*\n)+?)License",
                     open("/usr/share/doc/musl/copyright").read(), re.M)[1]
    assert re.search(r"^Copyright: (.*)$", notices, re.M)[1] in licence
    words = " ".join(word for word in notices.split() if word != ".")
    assert [n for n in (licence[licence.index("Permission"):], *musl.splitlines())
            if " ".join(n.split()) not in words] == []
    held = "".join(output("dpkg-deb", "-c", d) for d in request.config.dist.glob("*.deb"))
    assert [p for p in re.findall(r"^Files: (.*)$", notices, re.M) if p != "*" and not re.search(
        r" \./" + re.escape(p).replace(r"\*", "[^/]+") + "$", held, re.M)] == []


def test_every_text_names_the_release(request):
    """The manual page and both packages, dated and numbered as debian/changelog's entry; the
    .changes names the commit that they were built from."""
    version, day = request.config.option.release
    page = output("zcat", request.config.unpacked / "usr/share/man/man1/Quelvarn.1.gz")
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')
    assert set(re.findall(r"\b\d+\.\d+\.\d+\b", page)) <= {version}
    assert {d.name.split("_")[1] for d in request.config.dist.glob("*.deb")} == {version}
    changes = next(request.config.dist.glob("*.changes")).read_text()
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True, text=True)
    assert head.returncode or f"\nCommit: {head.stdout}" in changes  # none from a source archive


def test_presets_build_the_release(request):
    """What a developer's presets build is what the packages ship."""
    linux, windows = request.config.getoption("trees")
    made = {a.name: a.read_bytes() for a in request.config.dist.glob("Quelvarn*")}
    assert len(made) == 4 and made == {n: pathlib.Path(
        linux if n == "Quelvarn" else windows, n).read_bytes() for n in made}


def flip(path):  # a byte in the middle
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 1
    path.write_bytes(data)


# What is done to which file of a copy, whether its SHA256SUMS is then written anew for what the
# folder holds; whether check-release must pass, and what it must say ({} the file's name).
CASES = {
    "the release": (None, "*.img", False, True, "the same bytes: 8 artifacts, 1 rebuilds"),
    **{f"{a} with a byte flipped": (flip, a, True, False, "{}: not the same bytes")
       for a in ARTIFACTS},
    "the image missing": (os.unlink, "*.img", True, False, "holds no {}"),
    "the image left out of SHA256SUMS": (lambda p: subprocess.run(
        ["sed", "-i", f"/ {p.name}$/d", p.with_name("SHA256SUMS")], check=True), "*.img", False,
        False, "SHA256SUMS lists"),
    "the image not as SHA256SUMS says": (flip, "*.img", False, False, "{}: FAILED"),
    # A record is information: another toolchain is named, and the same artifacts still pass.
    "a record naming another cmake": (lambda p: p.write_text(re.sub(
        r"(?m)^ cmake \(= .*\)", " cmake (= 0.0-0)", p.read_text())), "*.buildinfo", True, True,
        "toolchain: cmake is 0.0-0 in the .buildinfo"),
    # A wrong command line: the usage, and status 2.
    **{f"started with {a}": (a, "*.img", False, False, "usage: scripts/check-release")
       for a in ((), ("--against",), ("a", "b"), ("--what", "x", "y"))},}


# A verifier need not be root.
@pytest.mark.parametrize("case, user", [*[(case, "root") for case in CASES], (
    "the release", "nobody"), ("*.img with a byte flipped", "nobody")])
def test_check_release(request, case, user):
    change, pattern, summed, passes, says = CASES[case]
    # Copies that another user can reach, in a folder of /tmp, wherever the tree lies.
    tmp_path = pathlib.Path(tempfile.mkdtemp())
    request.addfinalizer(lambda: shutil.rmtree(tmp_path))
    tmp_path.chmod(0o755)
    for name in ("release", "given"):
        shutil.copytree(request.config.dist, tmp_path / name)
    shutil.copy(ROOT / "scripts/check-release", tmp_path)
    (tmp_path / "quelvarn_0.9.0_amd64.deb").touch()
    copy = next((tmp_path / "release").glob(pattern))
    if callable(change):
        change(copy)
    if summed:
        subprocess.run("sha256sum $(ls | grep -v SHA256SUMS) >SHA256SUMS", shell=True,
                       cwd=copy.parent, check=True)
    command = ["./check-release", *(change if isinstance(change, tuple) else (
        "--against", "given", "release"))]
    if user == "nobody":
        if os.geteuid() != 0:
            pytest.skip("only root can check as another user")
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]
    done = subprocess.run(command, capture_output=True, text=True, check=False, timeout=300,
                          cwd=tmp_path)
    said = done.stdout + done.stderr
    assert done.returncode == (0 if passes else 2 if "usage" in says else 1), said
    assert says.format(copy.name) in said, said


HAD = ("install ok installed", "hold ok installed", "deinstall ok installed")


@pytest.mark.parametrize("status", [*HAD, "deinstall ok config-files", "install ok unpacked",
                                    "install reinstreq half-installed", "install ok half-installed",
                                    "unknown ok not-installed", None])
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

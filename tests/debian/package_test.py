# The .deb as it ships: what Debian's checker says of it, what its program
# loads and weighs, the notices of all the code in it, and the release that
# each of its texts names.
import email.utils
import gzip
import io
import re
import subprocess
import tarfile

import pytest

from conftest import ROOT

SIZE_BUDGET = 32768  # bytes of /usr/bin/Quelvarn


@pytest.fixture(name="deb")
def fixture_deb(request):
    return request.config.getoption("deb")


@pytest.fixture(name="unpacked")
def fixture_unpacked(request):
    return request.config.unpacked


def test_lintian_accepts_it(deb):
    done = subprocess.run(["lintian", "--fail-on", "error,warning", deb],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr


def test_program_loads_nothing(unpacked):
    headers = subprocess.run(["readelf", "-l", unpacked / "usr/bin/Quelvarn"],
                             capture_output=True, text=True, check=True).stdout
    assert "INTERP" not in headers and "DYNAMIC" not in headers


def test_program_keeps_to_its_size(unpacked, record_property):
    size = (unpacked / "usr/bin/Quelvarn").stat().st_size
    record_property("release Quelvarn", f"{size} bytes of {SIZE_BUDGET}")
    assert size <= SIZE_BUDGET


def test_copyright_holds_every_notice(unpacked):
    """Quelvarn's licence, and musl's copyright lines as Debian's own musl
    package gives them: the program is linked statically against musl."""
    notices = (unpacked / "usr/share/doc/quelvarn/copyright").read_text()
    licence = (ROOT / "LICENSE").read_text()
    holders = re.search(r"^Copyright (.*)$", licence, re.M)[1]
    body = licence[licence.index("Permission"):].split()
    musl = re.search(r"^Files: \*\nCopyright: ((?:.*\n)+?)License",
                     open("/usr/share/doc/musl/copyright").read(), re.M)[1]
    assert re.search(rf"^Copyright: {re.escape(holders)}$", notices, re.M)
    assert " ".join(body) in " ".join(w for w in notices.split() if w != ".")
    for line in musl.splitlines():
        assert line.strip() in notices, "no musl notice " + line.strip()


def test_every_text_names_the_release(deb, unpacked, release):
    version, day, _ = release
    control = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True,
                             text=True, check=True).stdout
    doc = unpacked / "usr/share/doc/quelvarn"
    changelog = gzip.decompress((doc / "changelog.gz").read_bytes()).decode()
    page = gzip.decompress(
        (unpacked / "usr/share/man/man1/Quelvarn.1.gz").read_bytes()).decode()
    assert deb.endswith(f"/quelvarn_{version}_{_architecture()}.deb")
    assert f"\nVersion: {version}\n" in control
    assert changelog.startswith(f"quelvarn ({version}) ")
    signed = re.search(r"^ -- .*>  (.*)$", changelog, re.M)[1]
    assert email.utils.parsedate_to_datetime(signed).date().isoformat() == day
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')
    for text in (control, changelog, page):
        assert set(re.findall(r"\b\d+\.\d+\.\d+\b", text)) <= {version}


def test_files_are_root_s_dated_at_the_epoch(deb, release):
    """Nothing of the builder's: Debian's modes, root's, the commit's date."""
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb],
                          capture_output=True, check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        members = archive.getmembers()
    assert {(m.uid, m.gid, m.uname, m.gname) for m in members} == {
        (0, 0, "root", "root")}
    assert {m.mtime for m in members} == {release[2]}
    assert {m.name: m.mode for m in members if m.mode not in (0o644, 0o755)} == {}


def _architecture():
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                          text=True, check=True).stdout.strip()

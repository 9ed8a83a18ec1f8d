# The .deb as it ships: what Debian's checker says of it, what its program loads and weighs, the
# notices of all the code in it, and the release that each of its texts names.
import email.utils
import gzip
import re
import subprocess

from conftest import ROOT

SIZE_BUDGET = 32768  # bytes of /usr/bin/Quelvarn


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_lintian_accepts_it(request):
    output("lintian", "--fail-on", "error,warning", request.config.option.deb)


def test_program_loads_nothing(request):
    headers = output("readelf", "-l", request.config.unpacked / "usr/bin/Quelvarn")
    assert "INTERP" not in headers and "DYNAMIC" not in headers


def test_program_keeps_to_its_size(request, record_property):
    size = (request.config.unpacked / "usr/bin/Quelvarn").stat().st_size
    record_property("release Quelvarn", f"{size} bytes of {SIZE_BUDGET}")
    assert size <= SIZE_BUDGET


def test_copyright_holds_every_notice(request):
    """Quelvarn's licence, and musl's copyright lines as Debian's own musl package gives them: the
    program is linked statically against musl. Each Files: pattern names files that it holds."""
    unpacked = request.config.unpacked
    notices = (unpacked / "usr/share/doc/quelvarn/copyright").read_text()
    licence = (ROOT / "LICENSE").read_text()
    musl = re.search(r"^Files: \*\nCopyright: ((?:.*\n)+?)License",
                     open("/usr/share/doc/musl/copyright").read(), re.M)[1]
    assert re.search(r"^Copyright: (.*)$", notices, re.M)[1] in licence
    assert " ".join(licence[licence.index("Permission"):].split()) in " ".join(
        word for word in notices.split() if word != ".")
    for line in musl.splitlines():
        assert line.strip() in notices, "no musl notice " + line.strip()
    patterns = " ".join(re.findall(r"^Files: (.*)$", notices, re.M)).split()
    assert [p for p in patterns if not list(unpacked.glob(p))] == []


def test_every_text_names_the_release(request):
    version, day = request.config.option.release
    unpacked, deb = request.config.unpacked, request.config.option.deb
    changelog, page = (gzip.decompress((unpacked / "usr/share" / p).read_bytes()).decode()
                       for p in ("doc/quelvarn/changelog.gz", "man/man1/Quelvarn.1.gz"))
    control = output("dpkg-deb", "-f", deb)
    architecture = output("dpkg", "--print-architecture").strip()
    assert deb.endswith(f"/quelvarn_{version}_{architecture}.deb")
    assert f"\nVersion: {version}\n" in control
    assert changelog.startswith(f"quelvarn ({version}) ")
    signed = re.search(r"^ -- .*>  (.*)$", changelog, re.M)[1]
    assert email.utils.parsedate_to_datetime(signed).date().isoformat() == day
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')
    for text in (control, changelog, page):
        assert set(re.findall(r"\b\d+\.\d+\.\d+\b", text)) <= {version}

# The release that scripts/build-release made, as it ships: what Debian's checker says of its
# packages and their source, what the program loads and weighs, the notices of all the code in
# them, the release that each text names, and that the presets made the same bytes.
import pathlib
import re
import subprocess

from conftest import ROOT

SIZE_BUDGET = 32768  # bytes of /usr/bin/Quelvarn


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_lintian_accepts_it(request):
    """Every tag at warning or above, pedantic included, but one that Debian 12's lintian gives a
    -dbgsym package for a field that Debian Policy 4.6.2 added, and that only newer debhelper
    leaves out of it."""
    said = subprocess.run(["lintian", "--pedantic", *request.config.dist.glob("*.changes")],
                          capture_output=True, text=True, check=False).stdout
    assert [line for line in said.splitlines() if line[:2] in ("E:", "W:") and line != (
        "W: quelvarn-dbgsym: unknown-field Static-Built-Using")] == [], said


def test_program_loads_nothing_and_keeps_to_its_size(request, record_property):
    program = request.config.unpacked / "usr/bin/Quelvarn"
    assert not re.search("INTERP|DYNAMIC", output("readelf", "-l", program))
    record_property("release Quelvarn", f"{program.stat().st_size} bytes of {SIZE_BUDGET}")
    assert program.stat().st_size <= SIZE_BUDGET


def test_copyright_holds_every_notice(request):
    """Quelvarn's licence, musl's copyright lines as Debian's own musl package gives them and
    mingw-w64's: the programs link them in. (Lintian checks that each Files: pattern names files
    of the source.)"""
    notices = (request.config.unpacked / "usr/share/doc/quelvarn/copyright").read_text()
    licence = (ROOT / "LICENSE").read_text()
    musl = re.search(r"^Files: \*\nCopyright: ((?:.*\n)+?)License",
                     open("/usr/share/doc/musl/copyright").read(), re.M)[1]
    mingw = re.search(r"^Files: \*\nCopyright: (.*)\nLicense: ZPL-2.1\n", pathlib.Path(
        "/usr/share/doc/mingw-w64-i686-dev/copyright").read_text(), re.M)[1]
    assert re.search(r"^Copyright: (.*)$", notices, re.M)[1] in licence
    words = " ".join(word for word in notices.split() if word != ".")
    assert [n for n in (licence[licence.index("Permission"):], *musl.splitlines(), mingw)
            if " ".join(n.split()).replace("Copyright: ", "") not in words] == []


def test_every_text_names_the_release(request):
    """The manual page and the packages, dated and numbered as debian/changelog's entry; the
    .changes names the commit that they were built from, and whether the tree differed."""
    version, day = request.config.option.release
    page = output("zcat", request.config.unpacked / "usr/share/man/man1/Quelvarn.1.gz")
    assert page.startswith(f'.TH QUELVARN 1 {day} "Quelvarn {version}" ')
    assert set(re.findall(r"\b\d+\.\d+\.\d+\b", page)) <= {version}
    assert {d.name.split("_")[1] for d in request.config.dist.glob("*.deb")} == {version}
    changes = next(request.config.dist.glob("*.changes")).read_text()
    git = ["git", "-C", ROOT]
    head = subprocess.run([*git, "rev-parse", "HEAD"], capture_output=True, text=True)
    if head.returncode == 0:  # none from a source archive
        changed = subprocess.run([*git, "diff", "--quiet", "HEAD"]).returncode != 0
        assert f"\nX-Quelvarn-Commit: {head.stdout}" in changes
        assert re.search(r"\nX-Quelvarn-Tree: (.*)", changes)[1].startswith(
            "with uncommitted changes, tree " if changed else "as committed"), changes


def identified_only_by_name(program, tmp_path):
    """The program without its build-id and the debug link that dh_strip adds: the two notes
    that name a build, not what it runs."""
    bare = tmp_path / program.name
    subprocess.run(["objcopy", "-R", ".note.gnu.build-id", "-R", ".gnu_debuglink",
                    "--remove-section=.comment", "--remove-section=.note", "--strip-all",
                    program, bare], check=True, capture_output=True)
    return bare.read_bytes()


def test_presets_build_the_release(request, tmp_path):
    """What a developer's presets build is what the packages ship: Quelvarn.exe and the disks
    byte for byte, the Linux program once stripped as dh_strip strips it (whose build-id also
    covers the debugging information that the package's build adds for its -dbgsym)."""
    linux, windows = map(pathlib.Path, request.config.getoption("trees"))
    shipped = {a.name: a for a in request.config.dist.glob("Quelvarn*")}
    version = request.config.option.release[0]
    assert set(shipped) == {"Quelvarn", "Quelvarn.exe", *(
        f"Quelvarn-{version}-win98.{kind}" for kind in ("zip", "img"))}
    assert [n for n in shipped if n != "Quelvarn" and
            shipped[n].read_bytes() != (windows / n).read_bytes()] == []
    (tmp_path / "preset").mkdir()
    assert identified_only_by_name(shipped["Quelvarn"], tmp_path) == identified_only_by_name(
        linux / "Quelvarn", tmp_path / "preset")


def test_program_keeps_its_stack_protector(request):
    """Each of its own functions with a buffer checks a canary before it returns, read off the
    release preset's program, which keeps its symbols."""
    linux = pathlib.Path(request.config.getoption("trees")[0])
    code = output("objdump", "-d", "--no-show-raw-insn", "-C", linux / "Quelvarn")
    checked = {m[1] for m in re.finditer(r"^[0-9a-f]+ <([^>]+)>:\n((?:.+\n)+)", code, re.M)
               if "<__stack_chk_fail" in m[2]}
    assert {"main", "InitializePort(char const*)", "LockFileNamesALiveProcess(char const*)"} \
        <= checked, checked

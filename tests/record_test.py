# The release's .buildinfo names every Debian package that owns a header or a library that the
# tree's build read, as ninja's deps log and the linker's dependency file list them.
import os
import re
import subprocess


def test_record_names_every_package_whose_files_the_build_read(request):
    tree = request.config.tree
    deps = subprocess.run(["ninja", "-C", tree, "-t", "deps"], check=True, capture_output=True,
                          text=True).stdout
    read = re.findall(r"^    (/\S+)$", deps, re.M) + re.findall(
        r"(?<!\S)/\S+", (tree / "Quelvarn.link.d").read_text())
    owners = subprocess.run(["dpkg-query", "-S", *{os.path.normpath(p) for p in read}],
                            capture_output=True, text=True, check=False).stdout
    packages = {package for line in owners.splitlines() if not line.startswith("diversion ")
                for package in line.split(": /")[0].split(", ")}
    record = next(tree.glob("*.buildinfo")).read_text()
    # The C library's headers at least: else nothing was read at all.
    assert {p.split(":")[0] for p in packages} & {"musl-dev", "mingw-w64-common"}
    assert sorted(p for p in packages if f"\n {p} (= " not in record) == []

"""Checks what the Windows 98 loader checks before it runs Quelvarn.exe, and
what it cannot check until too late: a 32-bit x86 console image asking for
Windows 4.0, importing from KERNEL32.DLL and MSVCRT.DLL only names that
Windows 98 SE exports there (and no wide-character stub), and small enough.

  image_check.py OBJDUMP EXE KERNEL32_NAMES MSVCRT_NAMES MAX_BYTES

Prints the figures; exits 1 listing every problem found."""
import os
import re
import subprocess
import sys

objdump, exe, kernel32, msvcrt, budget = sys.argv[1:]
headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                         text=True).stdout
exported = {dll: {line.strip() for line in open(path, encoding="ascii")
                  if line.strip() and not line.startswith("#")}
            for dll, path in (("KERNEL32.DLL", kernel32), ("MSVCRT.DLL", msvcrt))}
imports = {dll.upper(): re.findall(r"^\t[0-9a-f]+\t +\d+  (\S+)$", names, re.M)
           for dll, names in re.findall(r"DLL Name: (\S+)\n(.*?)\n\n", headers,
                                        re.S)}
problems = [f"not {want}" for want in (
    "file format pei-i386", "(PE32)", "(Windows CUI)", "MajorOSystemVersion\t4",
    "MinorOSystemVersion\t0", "MajorSubsystemVersion\t4",
    "MinorSubsystemVersion\t0") if want not in headers]
for dll, names in imports.items():
    problems += [f"{dll} {name}: not exported by Windows 98 SE"
                 for name in names if name not in exported.get(dll, ())]
    # Windows 98 exports most wide-character calls only as failing stubs.
    problems += [f"{dll} {name}: a stub on Windows 98" for name in names
                 if dll == "KERNEL32.DLL" and name.endswith("W")]
size = os.path.getsize(exe)
if size > int(budget):
    problems.append(f"{size} bytes, over {budget}")
print(f"{exe}: {size} bytes of {budget}; imports: " +
      "; ".join(f"{dll} {len(names)}" for dll, names in imports.items()))
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)

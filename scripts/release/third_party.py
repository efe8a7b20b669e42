#!/usr/bin/python3
"""What a release program holds of other projects' code, read from its link
map, and what follows from it: the third-party notices shipped beside it and
the components of the release's bill of materials.

Every archive member or object file of which the link kept some code or data
is named with the Debian package that installed it (dpkg -S) and that
package's exact version; licence texts come from the copyright files of
those packages, so that the notices always match the toolchain that built
the program.

usage: third_party.py notices MAP PROGRAM VERSION   (the text, on stdout)
       third_party.py components MAP                (JSON, on stdout)
"""
import json
import os
import re
import subprocess
import sys

# The components a program of this project can link, by the files that hold
# them: name, what its files are called, SPDX licence, how it is noticed.
GCC_LICENCE = "GPL-3.0-or-later WITH GCC-exception-3.1"
COMPONENTS = [
    ("libstdc++ (the GNU C++ library)", r"libstdc\+\+\.a|libsupc\+\+\.a", GCC_LICENCE, "gcc"),
    ("libgcc (the GCC runtime)", r"libgcc(_eh)?\.a|crt(begin|end)S?\.o|crtfastmath\.o", GCC_LICENCE, "gcc"),
    ("libssp (the GCC stack protector)", r"libssp(_nonshared)?\.a", GCC_LICENCE, "gcc"),
    ("winpthreads (mingw-w64)", r"libwinpthread\.a|libpthread\.a", "MIT", "expat"),
    ("mingw-w64 runtime", r"(dll)?crt2\.o|libmingw(32|ex)\.a|libmsvcrt\.a|libmoldname\.a|lib\w+32\.a",
     "ZPL-2.1", "zpl"),
    ("GNU C Library", r"libc\.a|[rS]?crt1\.o|crt[in]\.o|libc_nonshared\.a",
     "LGPL-2.1-or-later", "glibc"),
    ("libsodium", r"libsodium\.a", "ISC", "sodium"),
]


def kept_files(map_path):
    """The archive members and object files outside the build of which the
    link kept at least one section: {path: set of members}."""
    kept = {}
    pattern = re.compile(r"^\s*(?:\.\S+\s+)?0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(/\S+?)(?:\((\S+)\))?$")
    in_map = False
    with open(map_path) as f:
        for line in f:
            if line.startswith("Linker script and memory map"):
                in_map = True
            if not in_map:
                continue
            m = pattern.match(line.rstrip("\n"))
            if not m or int(m.group(1), 16) == 0 or int(m.group(2), 16) == 0:
                continue
            path = os.path.realpath(m.group(3))
            # Link-time optimisation's partitions of the program's own code:
            # only the build's objects carry its bytecode (the toolchain's
            # and Debian's libraries are kept as themselves, above).
            if re.fullmatch(r".*\.ltrans\d+\.ltrans\.o", path):
                continue
            kept.setdefault(path, set())
            if m.group(4):
                kept[path].add(m.group(4))
    return kept


def debian_package(path):
    owner = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if owner.returncode != 0:
        sys.exit(f"third_party.py: no Debian package installed {path}")
    package = owner.stdout.split(":")[0].strip()
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             capture_output=True, text=True, check=True).stdout
    return package.split(":")[0], version


def components(map_path):
    found = {}
    for path, members in sorted(kept_files(map_path).items()):
        base = os.path.basename(path)
        for name, files, licence, notice in COMPONENTS:
            if re.fullmatch(files, base):
                break
        else:
            sys.exit(f"third_party.py: {path} is linked, but belongs to no component known here")
        package, version = debian_package(path)
        entry = found.setdefault(name, dict(name=name, licence=licence, notice=notice,
                                            packages={}, files={}))
        entry["packages"][package] = version
        entry["files"][path] = sorted(members)
    return list(found.values())


def copyright_file(package):
    return f"/usr/share/doc/{package}/copyright"


def license_paragraph(package, name):
    """The text of the first "License: NAME" paragraph with text in a
    machine-readable Debian copyright file."""
    with open(copyright_file(package)) as f:
        paragraphs = f.read().split("\n\n")
    for paragraph in paragraphs:
        lines = paragraph.strip("\n").split("\n")
        for i, line in enumerate(lines):
            if line.strip() == f"License: {name}" and i + 1 < len(lines):
                text = [l[1:] if l.startswith(" ") else l for l in lines[i + 1:]]
                return "\n".join("" if l == "." else l for l in text)
    sys.exit(f"third_party.py: no text of {name} in {copyright_file(package)}")


def between(package, first, last):
    """The lines of a package's copyright file from `first` to `last`."""
    with open(copyright_file(package)) as f:
        text = f.read()
    start = text.index(first)
    return text[start:text.index(last, start) + len(last)]


def indent(text):
    return "\n".join(("    " + line).rstrip() for line in text.strip("\n").split("\n"))


def notices(map_path, program, version):
    out = [f"PlindorSwap {version}: third-party notices for {program}",
           "=" * 60, "",
           f"{program} is the PlindorSwap project's own work (the MIT licence, in LICENSE),",
           "linked statically with the components below: those of which its link kept",
           "any code, as its link map lists them, each with the Debian package that",
           "built it. What each licence asks of a binary copy follows its entry.", ""]
    gcc_package = None
    for number, c in enumerate(components(map_path), 1):
        packages = ", ".join(f"{p} {v}" for p, v in sorted(c["packages"].items()))
        out += [f"{number}. {c['name']}", f"   Built by: {packages}", f"   Licence: {c['licence']}",
                "   Linked from:"]
        for path, members in sorted(c["files"].items()):
            out.append(f"     {path}" + (f" ({len(members)} member{'s' if len(members) > 1 else ''})" if members else ""))
        package = sorted(c["packages"])[0]
        if c["notice"] == "gcc":
            gcc_package = gcc_package or package
            out += ["   Nothing is owed for it: the GCC Runtime Library Exception (below) lets",
                    "   a program compiled with GCC convey these libraries' code under terms",
                    "   of its author's choice. Its source: Debian's gcc and gcc-mingw-w64",
                    "   source packages, or https://gcc.gnu.org."]
        elif c["notice"] == "zpl":
            out += ["   Most of it is in the public domain; the rest is under the Zope Public",
                    "   License 2.1, whose clause 2 asks that its notice go with every binary",
                    "   copy:", "",
                    indent("Copyright (c) 2009-2016 the mingw-w64 project\n\n" +
                           license_paragraph(package, "ZPL-2.1"))]
        elif c["notice"] == "expat":
            out += ["   Its notice, which must go with every copy:", "",
                    indent("Copyright (c) 2011-2016 mingw-w64 project\n\n" +
                           license_paragraph(package, "expat"))]
        elif c["notice"] == "glibc" and not any(p.endswith("/libc.a") for p in c["files"]):
            out += ["   Its start-up files and libc_nonshared.a carry the exception that",
                    "   gives unlimited permission to link them with other programs and to",
                    "   distribute those programs without restriction coming from their use.",
                    "   The GNU C Library itself is not shipped: the program uses the",
                    "   system's."]
        elif c["notice"] == "glibc":
            out += ["   The program holds the GNU C Library, linked statically, so that it",
                    "   needs no C library of the system's (glibc 2.28 and newer). As section 6 of the",
                    "   GNU Lesser General Public License asks of a program linked with the",
                    "   library, the program's complete source is public (the PlindorSwap",
                    "   project's, under the MIT licence; its commit is in the release's bill",
                    "   of materials), so that anyone may relink it with a modified library:",
                    "   build its native-release preset against that library. The library's",
                    f"   own source: Debian's glibc source package, version {c['packages'][package]}.",
                    "   Its copyright file, with the notices of the parts under other",
                    "   licences, and the licence itself follow.", "",
                    indent(open(copyright_file(package)).read()), "",
                    indent(open("/usr/share/common-licenses/LGPL-2.1").read())]
        elif c["notice"] == "sodium":
            out += ["   It verifies the downloads' minisign signatures. Its copyright file,",
                    "   with the notices of its parts under other licences (each asks that",
                    "   its notice go with every copy), follows.", "",
                    indent(open(copyright_file(package)).read())]
        out.append("")
    if gcc_package:
        out += ["The GCC Runtime Library Exception, as GCC states it:", "",
                indent(between(gcc_package, "GCC RUNTIME LIBRARY EXCEPTION",
                               "requirements of the license of GCC.")), ""]
    return "\n".join(out)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "notices":
        print(notices(*sys.argv[2:]))
    elif len(sys.argv) == 3 and sys.argv[1] == "components":
        print(json.dumps(components(sys.argv[2]), indent=1))
    else:
        sys.exit(__doc__)

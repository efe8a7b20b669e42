#!/usr/bin/python3
"""Writes the release's bill of materials, an SPDX 2.3 document in JSON: the
release packages and the programs in them with their checksums, the source
commit they were built from, and the components each program links
statically (from its link map, with the Debian package and exact version
that built each, see third_party.py). Identical inputs give identical bytes.

usage: sbom.py VERSION COMMIT EPOCH SUPPLIER OUT.spdx.json \\
         PACKAGE_FILE PROGRAM_NAME PROGRAM_FILE LINK_MAP [PACKAGE_FILE ...]
  (four arguments for each release package)
"""
import datetime
import hashlib
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import third_party  # noqa: E402


def digest(path, algorithm):
    h = hashlib.new(algorithm)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]+", "-", text).strip("-")


def main(version, commit, epoch, supplier, out, *rest):
    if len(rest) % 4 != 0 or not rest:
        sys.exit(__doc__)
    created = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    source = {
        "SPDXID": "SPDXRef-Source",
        "name": "PlindorSwap",
        "versionInfo": commit,
        "sourceInfo": f"the PlindorSwap sources at commit {commit}",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "MIT",
        "licenseDeclared": "MIT",
        "copyrightText": "Copyright (c) 2026 The PlindorSwap project authors",
    }
    packages, files, relationships, components = [source], [], [], {}
    for package_file, program_name, program_file, link_map in zip(*[iter(rest)] * 4):
        package_name = os.path.basename(package_file)
        package = {
            "SPDXID": spdx_id("Package-" + package_name),
            "name": package_name,
            "versionInfo": version,
            "packageFileName": package_name,
            "supplier": f"Organization: {supplier}",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256", "checksumValue": digest(package_file, "sha256")}],
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": "MIT",
            "copyrightText": "Copyright (c) 2026 The PlindorSwap project authors",
        }
        program = {
            "SPDXID": spdx_id("File-" + package_name + "-" + program_name),
            "fileName": f"./{program_name}",
            "checksums": [{"algorithm": "SHA1", "checksumValue": digest(program_file, "sha1")},
                          {"algorithm": "SHA256", "checksumValue": digest(program_file, "sha256")}],
            "licenseConcluded": "NOASSERTION",
            "copyrightText": "NOASSERTION",
        }
        packages.append(package)
        files.append(program)
        relationships += [
            {"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
             "relatedSpdxElement": package["SPDXID"]},
            {"spdxElementId": package["SPDXID"], "relationshipType": "CONTAINS",
             "relatedSpdxElement": program["SPDXID"]},
            {"spdxElementId": program["SPDXID"], "relationshipType": "GENERATED_FROM",
             "relatedSpdxElement": "SPDXRef-Source"},
        ]
        for c in third_party.components(link_map):
            for debian_package, debian_version in sorted(c["packages"].items()):
                key = (c["name"], debian_package, debian_version)
                if key not in components:
                    components[key] = {
                        "SPDXID": spdx_id(f"Component-{c['name']}-{debian_package}"),
                        "name": c["name"],
                        "versionInfo": debian_version,
                        "supplier": "Organization: Debian",
                        "downloadLocation": "NOASSERTION",
                        "filesAnalyzed": False,
                        "licenseConcluded": c["licence"],
                        "licenseDeclared": c["licence"],
                        "copyrightText": "NOASSERTION",
                        "sourceInfo": f"the Debian package {debian_package} {debian_version}",
                        "externalRefs": [{
                            "referenceCategory": "PACKAGE-MANAGER",
                            "referenceType": "purl",
                            "referenceLocator":
                                f"pkg:deb/debian/{debian_package.replace('+', '%2B')}@"
                                f"{debian_version.replace('+', '%2B')}",
                        }],
                    }
                relationships.append({"spdxElementId": program["SPDXID"],
                                      "relationshipType": "STATIC_LINK",
                                      "relatedSpdxElement": components[key]["SPDXID"]})
    packages += [components[key] for key in sorted(components)]
    checksums = "".join(p["checksums"][0]["checksumValue"] for p in packages if "checksums" in p)
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"PlindorSwap-{version}",
        "documentNamespace": "https://spdx.org/spdxdocs/PlindorSwap-" + version + "-" +
                             hashlib.sha256(checksums.encode()).hexdigest(),
        "creationInfo": {
            "created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "creators": [f"Organization: {supplier}", "Tool: PlindorSwap scripts/release/sbom.py"],
        },
        "packages": packages,
        "files": files,
        "relationships": relationships,
    }
    with open(out, "w") as f:
        json.dump(document, f, indent=1, sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    main(*sys.argv[1:])

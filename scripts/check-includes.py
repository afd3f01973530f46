#!/usr/bin/env python3
"""Fails when an include under src/ or include/ breaks the layering.

Dependencies point one way: cli -> pipeline -> container -> codecs -> {ans,
parse} -> {common, platform}. The library's implementation (lib/) sits beside
the pipeline: it knows the container and the codecs and the public header
"quarnix.h", never the pipeline or the command line. A folder may include its
own headers and those of the folders it is allowed to know; the entropy coder
and the parse machinery know nothing of the codecs, and common/ and platform/
know nothing above them. Only platform/ includes system headers; elsewhere
only the standard library, compiler intrinsics, and the checksum's xxhash.h in
container/checksum*. The public header include/quarnix.h includes nothing but
<stddef.h>.
"""
import pathlib
import re
import sys

ALLOWED = {
    "cli": {"cli", "pipeline", "container", "common", "platform"},
    "pipeline": {"pipeline", "container", "codecs", "common", "platform"},
    "lib": {"lib", "container", "codecs", "common", "platform"},
    "container": {"container", "codecs", "common", "platform"},
    "codecs": {"codecs", "ans", "parse", "common", "platform"},
    "ans": {"ans", "common", "platform"},
    "parse": {"parse", "common", "platform"},
    "common": {"common"},
    "platform": {"platform"},
}
# Layers that may include the public header by its bare name.
PUBLIC_HEADER = "quarnix.h"
PUBLIC_USERS = {"lib"}
PUBLIC_SYSTEM_HEADERS = {"stddef.h"}
STD_HEADERS = set("""
algorithm array atomic bit bitset cassert cerrno chrono cinttypes climits cmath condition_variable cstdarg deque
cstddef cstdint cstdio cstdlib cstring ctime functional initializer_list iterator limits memory mutex
new numeric optional span string string_view thread tuple type_traits utility vector
""".split())
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def system_header_allowed(layer, path, header):
    if header in STD_HEADERS or header.endswith("intrin.h"):
        return True
    if header == "xxhash.h":
        return layer == "container" and path.name.startswith("checksum")
    return layer == "platform"


def includes(path):
    for number, line in enumerate(path.read_text().splitlines(), 1):
        m = INCLUDE.match(line)
        if m:
            yield number, m.group(1), m.group(2)


def check_source(root, path, problems):
    layer = path.relative_to(root / "src").parts[0]
    if layer not in ALLOWED:
        problems.append(f"{path}: not in a known folder")
        return
    for number, kind, header in includes(path):
        where = f"{path.relative_to(root)}:{number}"
        if kind == "<":
            if not system_header_allowed(layer, path, header):
                problems.append(f"{where}: <{header}> outside platform/")
        elif header == PUBLIC_HEADER:
            if layer not in PUBLIC_USERS:
                problems.append(f'{where}: {layer}/ may not include "{header}"')
        elif header.split("/")[0] not in ALLOWED[layer]:
            problems.append(f'{where}: {layer}/ may not include "{header}"')


def check_public(root, path, problems):
    for number, kind, header in includes(path):
        if kind != "<" or header not in PUBLIC_SYSTEM_HEADERS:
            problems.append(f"{path.relative_to(root)}:{number}: the public header may not include {header}")


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    problems = []
    for path in sorted((root / "src").rglob("*")):
        if path.suffix in (".cpp", ".h"):
            check_source(root, path, problems)
    for path in sorted((root / "include").rglob("*.h")):
        check_public(root, path, problems)
    for p in problems:
        print(p)
    print(f"include check: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fails when an include under src/ breaks the layering of the program.

Dependencies point one way: cli and lib -> container -> codecs -> {ans, parse, common}
-> platform. A folder may include its own headers and those of the folders it
is allowed to know; the entropy coder and the parse machinery know nothing of
the codecs, and common/ and platform/ know nothing above them. lib/ (the
library's entry points) also includes the public header quarnix.h and the
codecs' and entropy coder's preparation. Only platform/
includes system headers; elsewhere only the standard library, compiler
intrinsics, and the checksum's xxhash.h in container/checksum*.
"""
import pathlib
import re
import sys

ALLOWED = {
    "lib": {"lib", "container", "codecs", "ans", "parse", "common", "platform", "quarnix.h"},
    "cli": {"cli", "container", "codecs", "common", "platform"},
    "container": {"container", "codecs", "common", "platform"},
    "codecs": {"codecs", "ans", "parse", "common", "platform"},
    "ans": {"ans", "common", "platform"},
    "parse": {"parse", "common", "platform"},
    "common": {"common"},
    "platform": {"platform"},
}
STD_HEADERS = set("""
algorithm array atomic bit bitset cassert cerrno cinttypes climits cmath condition_variable cstdarg
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


def main():
    root = pathlib.Path(__file__).resolve().parent.parent / "src"
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        layer = path.relative_to(root).parts[0]
        if layer not in ALLOWED:
            problems.append(f"{path}: not in a known folder")
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, header = m.groups()
            where = f"{path.relative_to(root.parent)}:{number}"
            if kind == "<":
                if not system_header_allowed(layer, path, header):
                    problems.append(f"{where}: <{header}> outside platform/")
            elif header.split("/")[0] not in ALLOWED[layer]:
                problems.append(f'{where}: {layer}/ may not include "{header}"')
    for p in problems:
        print(p)
    print(f"include check: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

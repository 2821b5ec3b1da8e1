#!/usr/bin/env python3
"""Checks that every #include "folder/..." points down the layer order, never up.

Each top-level folder is one layer. A file may include from its own folder and from the
layers below it; the emulator (sim/) sits beside the stack and may use the low layers it
models against. Tests, fuzz targets and benchmarks may include anything; product code never
includes from them. Prints every include that runs up or into the tests and exits 1 when there
is one."""
import pathlib
import re
import sys

# Lowest first. A layer may include itself and everything before it.
ORDER = ["common", "wire", "platform", "image", "device", "protocol", "bridge", "ui", "app", "history", "tools"]
# Folders beside the stack: what each may include besides itself.
BESIDE = {"sim": {"common", "wire", "platform", "device"}}
FREE = {"tests", "fuzz", "bench"}  # may include anything; nothing in the product includes them

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_-]+)/')


def allowed(layer):
    if layer in BESIDE:
        return BESIDE[layer] | {layer}
    if layer == "tools":  # the programs sit on every layer, the emulator included
        return set(ORDER) | set(BESIDE)
    return set(ORDER[: ORDER.index(layer) + 1])


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    for layer in ORDER + list(BESIDE):
        ok = allowed(layer)
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in {".h", ".cpp", ".in"}:
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match or match.group(1) in ok:
                    continue
                if match.group(1) in FREE:
                    problems.append(f"{path.relative_to(root)}:{number}: {layer}/ includes "
                                    f"{match.group(1)}/, which is no part of the product")
                elif (root / match.group(1)).is_dir():
                    problems.append(f"{path.relative_to(root)}:{number}: {layer}/ includes "
                                    f"{match.group(1)}/, a layer above it")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

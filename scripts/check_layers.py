#!/usr/bin/env python3
# Layers point down: a folder of a lower layer neither includes a header of a
# folder above it nor names one of its CMake targets or paths. Each row below
# is one such pair; the compiler alone does not catch an include by a relative
# path or a header copied into an include directory both folders share.
#   check_layers.py [ROOT]     checks the tree at ROOT (default: this repo)
#   check_layers.py --self-test  checks that each kind of breach is reported
import os
import re
import sys
import tempfile

# (lower folder, upper folder, the upper folder's CMake target names)
LAYERS = (
    ("caf", "cmc", ("vqcmc", "vqcmc_client")),
)

SOURCE_EXT = (".c", ".cpp", ".h", ".def")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def files(root, folder, pred):
    for d, _, names in os.walk(os.path.join(root, folder)):
        for n in sorted(names):
            if pred(n):
                yield os.path.join(d, n)


def breaches(root):
    found = []
    for lower, upper, targets in LAYERS:
        upper_headers = {os.path.basename(p) for p in files(root, upper, lambda n: n.endswith((".h", ".def")))}
        for path in files(root, lower, lambda n: n.endswith(SOURCE_EXT)):
            with open(path, encoding="utf-8", errors="replace") as f:
                for no, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m and (os.path.basename(m.group(1)) in upper_headers or
                              re.search(r"(^|/)%s/" % upper, m.group(1))):
                        found.append("%s:%d: includes %s of %s/" % (os.path.relpath(path, root), no, m.group(1), upper))
        names = re.compile(r"\b(%s)\b|(^|[/}\s])%s/" % ("|".join(targets), upper))
        for path in files(root, lower, lambda n: n == "CMakeLists.txt" or n.endswith(".cmake")):
            with open(path, encoding="utf-8") as f:
                for no, line in enumerate(f, 1):
                    code = line.split("#", 1)[0]
                    if names.search(code):
                        found.append("%s:%d: names %s/ in CMake: %s" % (os.path.relpath(path, root), no, upper, code.strip()))
    return found


def self_test():
    cases = (  # (file under the tree, its text, breaches expected)
        ("caf/a.cpp", '#include "vqcaf.h"\n', 0),
        ("caf/a.cpp", '#include "vqcmc_leg.h"\n', 1),
        ("caf/a.cpp", '#include "../../cmc/objects/other.h"\n', 1),
        ("caf/inc/a.h", '  #  include <vqcmc_lib.def>\n', 1),
        ("caf/CMakeLists.txt", "target_link_libraries(caf PUBLIC vqcmc)\n", 1),
        ("caf/CMakeLists.txt", "include_directories(${PROJECT_SOURCE_DIR}/cmc/msg)\n", 1),
        ("caf/CMakeLists.txt", "# the stack (vqcmc) registers with the shell\nadd_library(caf a.cpp)\n", 0),
    )
    failed = 0
    for name, text, want in cases:
        with tempfile.TemporaryDirectory() as root:
            for path, body in ((name, text), ("cmc/objects/vqcmc_leg.h", ""), ("cmc/lib/vqcmc_lib.def", "")):
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(body)
            got = breaches(root)
            if len(got) != want:
                print("self-test: %s %r: %d breaches, expected %d: %s" % (name, text, len(got), want, got))
                failed = 1
    print("check_layers self-test: %s" % ("FAILED" if failed else "%d cases passed" % len(cases)))
    return failed


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = breaches(root)
    for line in found:
        print(line)
    print("check_layers: %s" % ("%d breaches" % len(found) if found else
                                ", ".join("%s/ names nothing of %s/" % (l, u) for l, u, _ in LAYERS)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

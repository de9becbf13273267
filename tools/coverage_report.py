"""Line coverage of the encoder core's units from a gcov-instrumented tree (run by tools/core-coverage):
the object files of every API build's core library are read with gcov, and a line counts as covered
when any build ran it."""

from __future__ import print_function

import gzip
import json
import os
import subprocess
import sys
import tempfile

# The folders of the core's units below the encoder's folder (not the module over it, python/).
CORE_FOLDERS = ("core", "codec", "api")


def core_units(root):
    """The core's sources, as paths relative to the encoder's folder."""
    units = []
    for folder in CORE_FOLDERS:
        path = os.path.join(root, folder)
        if os.path.isdir(path):
            units += sorted(os.path.join(folder, f) for f in os.listdir(path) if f.endswith((".cpp", ".h")))
    return units


def gcov_lines(build):
    """{source path: {line: count}} over the core libraries' object files."""
    lines = {}
    objects = []
    for folder, _, files in os.walk(build):
        if "_encoder_core.dir" in folder:
            objects += [os.path.join(folder, f) for f in files if f.endswith(".gcda")]
    work = tempfile.mkdtemp()
    for gcda in objects:
        subprocess.check_call(["gcov", "--json-format", "--object-directory", os.path.dirname(gcda), gcda],
                              cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name in os.listdir(work):
            path = os.path.join(work, name)
            with gzip.open(path, "rt") as f:
                report = json.load(f)
            os.remove(path)
            for source in report["files"]:
                counts = lines.setdefault(os.path.realpath(source["file"]), {})
                for line in source["lines"]:
                    counts[line["line_number"]] = counts.get(line["line_number"], 0) + line["count"]
    return lines


def main():
    build, sources = sys.argv[1], os.path.realpath(sys.argv[2])  # the tree and codecs/nvenc
    lines = gcov_lines(build)
    total_hit = total = 0
    print("%-26s %8s %8s %7s" % ("unit", "covered", "lines", "share"))
    for unit in core_units(sources):
        counts = lines.get(os.path.join(sources, unit), {})
        hit = sum(1 for c in counts.values() if c > 0)
        total_hit += hit
        total += len(counts)
        if counts:
            print("%-26s %8d %8d %6.1f%%" % (unit, hit, len(counts), 100.0 * hit / len(counts)))
    if not total:
        print("core-coverage: no coverage data found in %s" % build, file=sys.stderr)
        sys.exit(1)
    print("%-26s %8d %8d %6.1f%%" % ("core", total_hit, total, 100.0 * total_hit / total))


if __name__ == "__main__":
    main()

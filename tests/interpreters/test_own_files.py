"""Each interpreter loads its own build of the modules and nothing else: a Python 3 the build was not
made for finds no module (rather than loading another interpreter's file and failing on its symbols)."""

import glob
import os
import subprocess
import sys
import unittest

import tevu_nvenc_apis
from tevu_testsupport.processes import run

BUILD_DIR = os.environ["TEVU_TEST_BUILD_DIR"]
BUILT_FOR = [p for p in os.environ["TEVU_TEST_PYTHONS"].split(os.pathsep) if p]
# The compiled modules; the driver query module is a package around its own.
MODULES = [api.module for api in tevu_nvenc_apis.APIS] + ["tevu.codecs.drvquery.drvquery"]
SHOW = """
import importlib, sys
for name in sys.argv[1:]:
    try:
        sys.stdout.write(importlib.import_module(name).__file__ + "\\n")
    except ImportError as e:
        sys.stdout.write("ImportError: %s\\n" % e)
"""


def show(python, *modules):
    """What `python` imports for each module: its file, or the ImportError; (exit status, lines, stderr)."""
    rc, out, err = run([python, "-c", SHOW] + list(modules), {"PYTHONPATH": os.path.join(BUILD_DIR, "python"),
                                                            "TEVU_NV_DRIVER_VERSION": "346.59", "PYTHONHOME": None})
    return rc, out.splitlines(), err


def suffix_of(python):
    return subprocess.check_output([python, "-c", "import sysconfig, sys; sys.stdout.write("
                                    "sysconfig.get_config_var('EXT_SUFFIX') or 'module.so')"],
                                   universal_newlines=True)


def foreign_pythons():
    """Python 3 interpreters of this machine (pyenv's, and the system's) that the build was not made for."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    candidates = sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3.*")))
    candidates += ["/usr/bin/python3"]
    built = set(suffix_of(p) for p in BUILT_FOR)
    found = []
    for c in candidates:
        if not os.path.basename(c).replace("python3.", "").isdigit() and c != "/usr/bin/python3":
            continue  # python3.12-config and the like
        if os.access(c, os.X_OK) and suffix_of(c) not in built:
            found.append(c)
    return found


class OwnFiles(unittest.TestCase):
    def test_every_interpreter_loads_its_own_file(self):
        for python in BUILT_FOR:
            rc, lines, err = show(python, *MODULES)
            self.assertEqual(rc, 0, err)
            suffix = suffix_of(python)
            self.assertEqual(len(lines), len(MODULES), (python, lines))
            for module, line in zip(MODULES, lines):
                self.assertTrue(line.endswith(os.sep + module.split(".")[-1] + suffix), (python, module, line))

    def test_python_27_files_are_not_python_3_names(self):
        for f in glob.glob(os.path.join(BUILD_DIR, "python", "tevu", "codecs", "**", "*.so"), recursive=True):
            self.assertTrue(f.endswith("module.so") or ".cpython-" in os.path.basename(f), f)

    def test_a_foreign_python_3_finds_no_module(self):
        foreign = foreign_pythons()
        if not foreign:
            self.skipTest("no Python 3 besides the build's on this machine")
        # the driver query package itself is refused for want of its compiled module
        expected = MODULES + [MODULES[-1]]
        for python in foreign:
            rc, lines, err = show(python, *(MODULES + ["tevu.codecs.drvquery"]))
            self.assertEqual(rc, 0, err)
            self.assertEqual(len(lines), len(expected), (python, lines, err))
            for module, line in zip(expected, lines):
                self.assertEqual(line, "ImportError: No module named '%s'" % module, python)


if __name__ == "__main__":
    unittest.main()

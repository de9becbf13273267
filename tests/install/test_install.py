"""cmake --install into a temporary prefix: libexec/tevu/test and this interpreter's modules, stripped, where
the interpreter finds them, the stand-ins only when asked for and never into a folder the dynamic loader
searches; the package folder each interpreter names for a prefix."""

import os
import runpy
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

import tevu_nvenc_apis
from tevu_testsupport.processes import run
from tevu_testsupport.streams import decode, psnr

BUILD_DIR = os.environ["TEVU_TEST_BUILD_DIR"]
CMAKE = os.environ.get("TEVU_TEST_CMAKE", "cmake")
VERSION = "%d.%d" % sys.version_info[:2]
SITE = os.path.join("lib", "python" + VERSION, "site-packages")
CMAKE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake")
CHECK_SCRIPT = os.path.join(CMAKE_DIR, "CheckStandinLibdir.cmake")
INSTALL_SCRIPT = os.path.join(CMAKE_DIR, "InstallPythonFiles.cmake")
MODULE_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX") or "module.so"  # Python 2.7: encodermodule.so
# The compiled modules; the driver query module is a package around its own.
MODULES = [api.module for api in tevu_nvenc_apis.APIS] + ["tevu.codecs.drvquery.drvquery"]
PACKAGE_FILES = [os.path.join("tevu", "codecs", "drvquery", name) for name in ("__init__.py", "__main__.py")]
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "examples", "encode_h264.py")


def run_cmake(args, **env):
    """cmake, which is not instrumented: without a sanitizer runtime preloaded; (exit status, its output)."""
    rc, out, err = run([CMAKE] + args, dict(env, LD_PRELOAD=None))
    return rc, out + err


def install(prefix, component=None):
    return run_cmake(["--install", BUILD_DIR, "--prefix", prefix] + (["--component", component] if component else []))


def installed_files(root):
    found = []
    for folder, _, files in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, f), root) for f in files]
    return sorted(found)


class Install(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="tevu-install-")

    def tearDown(self):
        shutil.rmtree(self.prefix)

    def run_here(self, arguments, **env):
        """Runs this interpreter with arguments against the installed tree only; (stdout, stderr)."""
        changes = dict(PYTHONPATH=os.path.join(self.prefix, SITE), TEVU_NV_DRIVER_VERSION="346.59", **env)
        rc, out, err = run([sys.executable] + arguments, changes, cwd=self.prefix)
        self.assertEqual(rc, 0, err[-3000:])
        return out, err

    def test_default_install_has_the_program_and_the_modules_only(self):
        rc, out = install(self.prefix)
        self.assertEqual(rc, 0, out)
        files = installed_files(self.prefix)
        program = os.path.join("libexec", "tevu", "test")
        self.assertIn(program, files)
        self.assertFalse([f for f in files if f.startswith("bin" + os.sep)], "nothing shadows the system's test")
        for module in MODULES:
            path = os.path.join(SITE, *module.split(".")) + MODULE_SUFFIX
            self.assertIn(path, files, "%s not installed for Python %s" % (module, VERSION))
            built = os.path.join(BUILD_DIR, "python", *module.split(".")) + MODULE_SUFFIX
            sections = subprocess.check_output(["readelf", "-S", "-W", os.path.join(self.prefix, path)],
                                               universal_newlines=True)
            self.assertNotIn(".symtab", sections, "%s is not stripped" % path)
            self.assertLess(os.path.getsize(os.path.join(self.prefix, path)), os.path.getsize(built))
        package_files = [os.path.join(SITE, f) for f in PACKAGE_FILES]
        for f in package_files:
            self.assertIn(f, files)
        # no stand-in: neither the host package nor a platform library
        stand_ins = [f for f in files if "libcuda" in f or "nvidia-encode" in f or f.endswith("nvapi.dll")
                     or f.endswith(".py") and not any(f.endswith(os.sep + p) for p in PACKAGE_FILES)]
        self.assertEqual(stand_ins, [])
        self.assertEqual(run([os.path.join(self.prefix, program), "3", "-lt", "4"])[0], 0)

    def test_package_folder_of_each_interpreter_for_a_prefix(self):
        """The install step of one file, run on its own: the folder the interpreter names for the prefix
        (under DESTDIR), or the TEVU_INSTALL_PYTHON_DIR setting."""
        cases = [(sys.executable, self.prefix, "", os.path.join(self.prefix, SITE)),
                 (sys.executable, self.prefix, "lib/py{VERSION}/x",
                  os.path.join(self.prefix, "lib", "py" + VERSION, "x")),
                 (sys.executable, "/usr/local", "/opt/p{VERSION}", "/opt/p" + VERSION)]
        system = "/usr/bin/python3"
        if os.access(system, os.X_OK):
            # Debian's python3 searches PREFIX/lib/python3.X/dist-packages for /usr/local, not site-packages
            path = subprocess.check_output([system, "-E", "-c", "import sys; print('\\n'.join(sys.path))"],
                                           universal_newlines=True).splitlines()
            local = [p for p in path if p.startswith("/usr/local/lib/") and p.endswith("-packages")]
            if local:
                cases.append((system, "/usr/local", "", local[0]))
        source = os.path.join(self.prefix, "payload.py")
        with open(source, "w") as f:
            f.write("")
        for python, prefix, setting, expected in cases:
            destdir = tempfile.mkdtemp(prefix="destdir-", dir=self.prefix)
            rc, out = run_cmake(["-DTEVU_PY_EXECUTABLE=" + python, "-DTEVU_PY_VERSION=" + VERSION,
                                 "-DTEVU_PY_DIR=" + setting, "-DTEVU_PY_PACKAGE=tevu/codecs",
                                 "-DTEVU_PY_FILES=" + source, "-DCMAKE_INSTALL_PREFIX=" + prefix, "-P", INSTALL_SCRIPT],
                                DESTDIR=destdir)
            self.assertEqual(rc, 0, out)
            self.assertEqual(installed_files(destdir),
                             [os.path.relpath(os.path.join(expected, "tevu", "codecs", "payload.py"), "/")],
                             (python, prefix, setting))

    def test_modules_import_from_the_prefix_with_the_stand_ins(self):
        self.assertEqual(install(self.prefix)[0], 0)
        rc, out = install(self.prefix, "standins")
        self.assertEqual(rc, 0, out)
        libdir = os.path.join(self.prefix, "lib", "tevu", "standins")
        for name in ("libcuda.so", "libcuda.so.1", "libnvidia-encode.so", "libnvidia-encode.so.1", "nvapi.dll"):
            self.assertTrue(os.path.exists(os.path.join(libdir, name)), name)
        code = ("from __future__ import print_function\n"
                "import importlib, os, sys\n"
                "for name in %r:\n"
                "    m = importlib.import_module(name)\n"
                "    print(os.path.relpath(m.__file__, %r))\n"
                "from tevu.codecs.nvenc5 import encoder\n"
                "from tevu.codecs import drvquery\n"
                "encoder.init_module()\n"
                "print(encoder.get_spec('h264', 'BGRX').output_colorspaces)\n"
                "print(drvquery.get_driver_version())\n" % (MODULES, self.prefix))
        lines = self.run_here(["-c", code], LD_LIBRARY_PATH=libdir, TEVU_NVAPI_SYSTEM_DIR=libdir)[0].splitlines()
        for module, line in zip(MODULES, lines):
            self.assertTrue(line.startswith(os.path.join(SITE, *module.split("."))), (module, line))
        self.assertEqual(lines[len(MODULES):], ["('YUV420P', 'YUV444P')", "[361, 80, 'r361_00']"])
        # the driver query's command line runs from the installed package
        err = self.run_here(["-m", "tevu.codecs.drvquery", "-v"], TEVU_NVAPI_SYSTEM_DIR=libdir)[1].splitlines()
        self.assertTrue(err[-1].endswith(" [361, 80, 'r361_00']"), err)
        self.assertTrue([line for line in err if line.endswith(" DriverVersion: 36180")], err)

    def test_example_host_script_encodes_against_the_installed_tree(self):
        self.assertEqual(install(self.prefix)[0], 0)
        self.assertEqual(install(self.prefix, "standins")[0], 0)
        libdir = os.path.join(self.prefix, "lib", "tevu", "standins")
        stream = os.path.join(self.prefix, "bars.h264")
        out, err = self.run_here([EXAMPLE, stream, "160", "96", "12"], LD_LIBRARY_PATH=libdir,
                                 TEVU_NVAPI_SYSTEM_DIR=libdir)
        self.assertIn("12 frames", out)
        bars = runpy.run_path(EXAMPLE)["bars"]  # the example's own pictures, its main() not run
        source = os.path.join(self.prefix, "bars.bgrx")
        with open(source, "wb") as f:
            for i in range(12):
                f.write(bars(160, 96, i))
        self.assertEqual(decode(stream)[:3], (12, 160, 96))  # every frame decodes
        self.assertGreater(psnr(stream, source, 160, 96), 30)

    def test_stand_ins_refused_in_a_loader_folder(self):
        """The first step of the stand-ins' install, run on its own for folders of this machine."""
        for prefix, libdir, refused in [("/usr", "lib", True), ("/", "usr/lib/", True), ("/usr/local", "lib", True),
                                        ("/", "lib", True), ("/usr", "lib/../lib", True),
                                        ("/usr", "lib/tevu/standins", False), (self.prefix, "lib", False)]:
            rc, out = run_cmake(["-DCMAKE_INSTALL_PREFIX=" + prefix, "-DTEVU_STANDIN_LIBDIR=" + libdir, "-P",
                                 CHECK_SCRIPT])
            self.assertEqual(rc != 0, refused, (prefix, libdir, out))
            self.assertEqual("Refusing to install the stand-ins" in out, refused, out)


if __name__ == "__main__":
    unittest.main()

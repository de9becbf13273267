"""cmake --install into a temporary prefix: libexec/tevu/test and this interpreter's modules, stripped, where
the interpreter finds them, the stand-ins only when asked for and never into a folder the dynamic loader
searches; the package folder each interpreter names for a prefix."""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

BUILD_DIR = os.environ["TEVU_TEST_BUILD_DIR"]
CMAKE = os.environ.get("TEVU_TEST_CMAKE", "cmake")
VERSION = "%d.%d" % sys.version_info[:2]
SITE = os.path.join("lib", "python" + VERSION, "site-packages")
CMAKE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake")
CHECK_SCRIPT = os.path.join(CMAKE_DIR, "CheckStandinLibdir.cmake")
INSTALL_SCRIPT = os.path.join(CMAKE_DIR, "InstallPythonFiles.cmake")
MODULE_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX") or "module.so"  # Python 2.7: encodermodule.so
# The compiled modules; the driver query module is a package around its own.
MODULES = ["tevu.codecs.nvenc5.encoder", "tevu.codecs.nvenc4.encoder", "tevu.codecs.drvquery.drvquery"]
PACKAGE_FILES = [os.path.join("tevu", "codecs", "drvquery", name) for name in ("__init__.py", "__main__.py")]
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXAMPLE = os.path.join(ROOT, "docs", "examples", "encode_h264.py")
sys.path[:0] = [os.path.join(ROOT, "tools"), os.path.dirname(EXAMPLE)]
from stream_quality import decode, psnr  # noqa: E402


def cmake_env(**extra):
    """The environment of cmake, which is not instrumented: without a sanitizer runtime preloaded."""
    env = dict(os.environ, **extra)
    env.pop("LD_PRELOAD", None)
    return env


def install(prefix, component=None):
    args = [CMAKE, "--install", BUILD_DIR, "--prefix", prefix]
    if component:
        args += ["--component", component]
    p = subprocess.Popen(args, env=cmake_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    out, _ = p.communicate()
    return p.returncode, out


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
        full_env = dict(os.environ, PYTHONPATH=os.path.join(self.prefix, SITE), TEVU_NV_DRIVER_VERSION="346.59")
        full_env.update(env)
        p = subprocess.Popen([sys.executable] + arguments, cwd=self.prefix, env=full_env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True)
        out, err = p.communicate()
        self.assertEqual(p.returncode, 0, err[-3000:])
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
        p = subprocess.Popen([os.path.join(self.prefix, program), "3", "-lt", "4"])
        self.assertEqual(p.wait(), 0)

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
            env = cmake_env(DESTDIR=destdir)
            p = subprocess.Popen([CMAKE, "-DTEVU_PY_EXECUTABLE=" + python, "-DTEVU_PY_VERSION=" + VERSION,
                                  "-DTEVU_PY_DIR=" + setting, "-DTEVU_PY_PACKAGE=tevu/codecs",
                                  "-DTEVU_PY_FILES=" + source, "-DCMAKE_INSTALL_PREFIX=" + prefix,
                                  "-P", INSTALL_SCRIPT],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            out, _ = p.communicate()
            self.assertEqual(p.returncode, 0, out)
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
        self.assertEqual(lines[3:], ["('YUV420P', 'YUV444P')", "[361, 80, 'r361_00']"])
        # the driver query's command line runs from the installed package
        err = self.run_here(["-m", "tevu.codecs.drvquery", "-v"], TEVU_NVAPI_SYSTEM_DIR=libdir)[1].splitlines()
        self.assertTrue(err[-1].endswith(" [361, 80, 'r361_00']"), err)
        self.assertTrue([line for line in err if line.endswith(" DriverVersion: 36180")], err)

    def test_example_host_script_encodes_against_the_installed_tree(self):
        self.assertEqual(install(self.prefix)[0], 0)
        self.assertEqual(install(self.prefix, "standins")[0], 0)
        libdir = os.path.join(self.prefix, "lib", "tevu", "standins")
        stream = os.path.join(self.prefix, "bars.h264")
        env = dict(os.environ, PYTHONPATH=os.path.join(self.prefix, SITE), TEVU_NV_DRIVER_VERSION="346.59",
                   LD_LIBRARY_PATH=libdir, TEVU_NVAPI_SYSTEM_DIR=libdir)
        p = subprocess.Popen([sys.executable, EXAMPLE, stream, "160", "96", "12"], cwd=self.prefix, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        out, err = p.communicate()
        self.assertEqual(p.returncode, 0, err[-3000:])
        self.assertIn("12 frames", out)
        import encode_h264
        source = os.path.join(self.prefix, "bars.bgrx")
        with open(source, "wb") as f:
            for i in range(12):
                f.write(encode_h264.bars(160, 96, i))
        self.assertEqual(decode(stream)[:3], (12, 160, 96))  # every frame decodes
        self.assertGreater(psnr(stream, source, 160, 96), 30)

    def test_stand_ins_refused_in_a_loader_folder(self):
        """The first step of the stand-ins' install, run on its own for folders of this machine."""
        for prefix, libdir, refused in [("/usr", "lib", True), ("/", "usr/lib/", True), ("/usr/local", "lib", True),
                                        ("/", "lib", True), ("/usr", "lib/../lib", True),
                                        ("/usr", "lib/tevu/standins", False), (self.prefix, "lib", False)]:
            p = subprocess.Popen([CMAKE, "-DCMAKE_INSTALL_PREFIX=" + prefix, "-DTEVU_STANDIN_LIBDIR=" + libdir,
                                  "-P", CHECK_SCRIPT], env=cmake_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 universal_newlines=True)
            out, _ = p.communicate()
            self.assertEqual(p.returncode != 0, refused, (prefix, libdir, out))
            self.assertEqual("Refusing to install the stand-ins" in out, refused, out)


if __name__ == "__main__":
    unittest.main()

"""The encoder module (and, in the API-5.0 runs, gpu-check) against NVIDIA's real user-space libraries
without a GPU, with only the folder of their sonames on the library path (TEVU_REAL_DRIVER_SONAMES).
Exits with status 77 (a skip) and the reason when the libraries could not be had."""

import os
import re
import sys
import unittest

from tevu_testsupport.nvenc import API, CHECK_ERROR, GPU_CHECK, run_python
from tevu_testsupport.processes import run

SONAMES = os.environ.get("TEVU_REAL_DRIVER_SONAMES", "")
FETCHED = os.path.realpath(os.path.join(SONAMES, ".."))


def linked(soname):
    """The file that the folder's link for a soname names."""
    return os.path.realpath(os.path.join(SONAMES, soname))
SKIP_STATUS = 77

if not hasattr(unittest.TestCase, "assertRegex"):  # Python 2.7's name of it
    unittest.TestCase.assertRegex = unittest.TestCase.assertRegexpMatches


def why_unavailable():
    if not SONAMES:
        return "TEVU_REAL_DRIVER_SONAMES is not set"
    if os.path.exists(os.path.join(SONAMES, "libcuda.so.1")):
        return None
    reason = os.path.join(FETCHED, "unavailable")
    text = open(reason).read().strip() if os.path.exists(reason) else "run the real_driver.fetch test first"
    return "no NVIDIA user-space libraries in %s: %s" % (SONAMES, text)


def run_real(code):
    """Runs code with the module as `m`, with the sonames alone on the library path."""
    return run_python(code, {"LD_LIBRARY_PATH": SONAMES, "TEVU_NV_DRIVER_VERSION": ""})


LOGGED = ("from tevu.log import capture\n"
          "with capture() as r:\n"
          "    try:\n"
          "        %s\n"
          "        print('returned')\n"
          "    except Exception as e:\n"
          "        print('raised %%s: %%s' %% (type(e).__name__, e))\n"
          "for x in capture.messages(r): print('log ' + x)\n"
          "print('counter %%d' %% m.context_counter.get())\n"
          "print('bound %%s %%s' %% (m.cuCtxGetCurrent is not None, m.NvEncodeAPICreateInstance is not None))\n"
          "print('yuv444 %%s' %% m.YUV444_ENABLED)\n")


class Module(unittest.TestCase):
    def run_logged(self, call):
        rc, out, err = run_real(LOGGED % call)
        self.assertEqual(rc, 0, err)
        self.assertNotIn("cannot be loaded", out + err)
        return out.splitlines()

    def assert_opened_fetched(self, lines):
        for soname in ("libcuda.so.1", "libnvidia-encode.so.1"):
            self.assertIn("log init_nvencode_library() will try to load %s" % soname, lines)
            opened = [l for l in lines if l.startswith("log init_nvencode_library() opened ")
                      and ("/" + soname[:-2] + ".535.") in l]
            self.assertEqual(opened, ["log init_nvencode_library() opened %s" % linked(soname)], lines)

    def test_library_binds_both_entry_points(self):
        lines = self.run_logged("m.init_nvencode_library()")
        self.assertEqual(lines[0], "returned", lines)
        self.assertIn("bound True True", lines)
        self.assert_opened_fetched(lines)
        self.assertIn("log init_nvencode_library() NVENC API %d.0, the library's newest 12.1" % API, lines)

    def test_init_module_fails_on_the_missing_device_and_cleans_up(self):
        """The driver judged unknown (4:4:4 off, with the warning), the libraries loaded and bound, then the
        test encoder's set-up finds no device; no session is left counted."""
        lines = self.run_logged("m.init_module()")
        self.assertEqual(lines[0], "raised %s: no NVENC device found!" % CHECK_ERROR.__name__, lines)
        self.assert_opened_fetched(lines)
        for expected in ("log Warning: unknown NVidia driver version", "counter 0", "bound True True",
                         "yuv444 False"):
            self.assertIn(expected, lines)

    def test_function_list_from_the_real_library(self):
        # The table that every session starts from, made with this module's version words.
        code = ("import ctypes\nm.init_nvencode_library()\n"
                "table = ctypes.create_string_buffer(8192)\n"
                "words = {5: 0x500209f8, 4: 0x400209f8}\n"
                "ctypes.memmove(table, ctypes.byref(ctypes.c_uint32(words[%d])), 4)\n"
                "print(m.NvEncodeAPICreateInstance(ctypes.cast(table, ctypes.c_void_p)))\n"
                "print(any(table.raw[8:]))\n") % API
        rc, out, err = run_real(code)
        self.assertEqual((rc, out.split()), (0, ["0", "True"]), err)


@unittest.skipUnless(API == 5, "gpu-check runs once, with the API-5.0 suite")
class GpuCheck(unittest.TestCase):
    def test_reports_the_libraries_and_no_device(self):
        rc, out, err = run([GPU_CHECK], {"LD_LIBRARY_PATH": SONAMES, "TEVU_GPU_CHECK_CUDA_LIBRARY": None,
                                         "TEVU_GPU_CHECK_NVENC_LIBRARY": None, "TEVU_NV_DRIVER_VERSION": None})
        self.assertEqual(rc, 0, out + err)
        lines = out.splitlines()
        self.assertRegex(linked("libcuda.so.1"), r"/libcuda\.so\.535\.[\d.]+$")
        self.assertRegex(lines[0], r"^ok   1 driver: libcuda\.so\.1 is %s, driver 535\.[\d.]+, CUDA 12\.2$"
                         % re.escape(linked("libcuda.so.1")))
        self.assertIn(", driver %s," % linked("libcuda.so.1").split("libcuda.so.")[1], lines[0])
        self.assertEqual(lines[1], "skip 1 driver: no NVIDIA device: cuInit returned CUDA_ERROR_NO_DEVICE "
                                   "(no CUDA-capable device is detected)")
        self.assertEqual(lines[2], "skip 2 kernels: no device to run them on")
        self.assertRegex(lines[3], r"^ok   3 nvenc: libnvidia-encode\.so\.1 is %s, version 535\.[\d.]+$"
                         % re.escape(linked("libnvidia-encode.so.1")))
        self.assertEqual(lines[4:], [
            "info 3 nvenc: newest API the library speaks: 12.1",
            "ok   3 nvenc: API 12.0: function list made (version word 0x7002000c)",
            "ok   3 nvenc: API 5.0: function list made (version word 0x500209f8)",
            "ok   3 nvenc: API 4.0: function list made (version word 0x400209f8)",
            "skip 4 encode: no device to encode on",
            "gpu-check: everything that could run passed"])


if __name__ == "__main__":
    why = why_unavailable()
    if why:
        print("real_driver: skipped: " + why)
        sys.exit(SKIP_STATUS)
    unittest.main()

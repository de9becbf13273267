"""gpu-check run as a process: the machine without a driver, the stand-in refused as a driver, and every step
against the stand-ins, including the ways each step reports a skip or a failure."""

import os
import re
import shutil
import tempfile
import unittest

from tevu_testsupport.processes import run
from tevu_testsupport.streams import kernel_yuv444

BUILD_DIR = os.environ["TEVU_TEST_BUILD_DIR"]
PLATFORM_DIR = os.path.join(BUILD_DIR, "platform")
PROGRAM = os.path.join(BUILD_DIR, "bin", "gpu-check")
WRAPPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "gpu-check")
SMALL = ["--frames", "4", "--size", "128x96"]

if not hasattr(unittest.TestCase, "assertRegex"):  # Python 2.7's name of it
    unittest.TestCase.assertRegex = unittest.TestCase.assertRegexpMatches


def gpu_check(args, command=None, **env):
    if command:
        env.setdefault("LD_PRELOAD", None)  # the wrapper is a shell script, not instrumented
    return run((command or [PROGRAM]) + args, env)


def lines(out, tag, step):
    return [l for l in out.splitlines() if l.startswith("%-4s %s: " % (tag, step))]


class WithoutDriver(unittest.TestCase):
    def test_missing_library_is_no_driver(self):
        rc, out, err = gpu_check([], command=[WRAPPER, "--build", BUILD_DIR],
                                 TEVU_GPU_CHECK_CUDA_LIBRARY="/nonexistent/libcuda.so.1")
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(out.splitlines(), [
            "skip 1 driver: no NVIDIA driver: /nonexistent/libcuda.so.1 cannot be loaded (/nonexistent/libcuda.so.1: "
            "cannot open shared object file: No such file or directory)",
            "gpu-check: nothing to check on this machine"])

    def test_stand_in_is_never_taken_for_the_driver(self):
        # The tests run with the stand-ins on LD_LIBRARY_PATH; by default the check leaves them out.
        self.assertIn(PLATFORM_DIR, os.environ["LD_LIBRARY_PATH"])
        rc, out, err = gpu_check([])
        self.assertNotIn("stand-in", out)
        self.assertNotIn(os.path.realpath(PLATFORM_DIR), out)
        self.assertEqual(len(lines(out, "ok", "1 driver")) + len(lines(out, "skip", "1 driver")), 1, out)

    def test_stand_in_named_explicitly_is_refused(self):
        rc, out, err = gpu_check([], TEVU_GPU_CHECK_CUDA_LIBRARY=os.path.join(PLATFORM_DIR, "libcuda.so.1"))
        self.assertEqual(rc, 0, out + err)
        self.assertRegex(out, r"skip 1 driver: no NVIDIA driver: .*/libcuda.so.1 resolves to .*/platform/libcuda.so.1, "
                                      r"the project's stand-in, not NVIDIA's library")

    def test_bad_command_lines(self):
        for args, named in ((["--size", "100x96"], "--size: '100x96'"), (["--frames", "0"], "--frames: '0'"),
                            (["--frames", "5x"], "--frames: '5x'"), (["--frames"], "--frames needs a value"),
                            (["--gpu"], "'--gpu'"), (["--reference-yuv444", "3x"], "--reference-yuv444")):
            rc, out, err = gpu_check(args)
            self.assertEqual((rc, out), (2, ""), args)
            self.assertEqual(len(err.splitlines()), 1, err)
            self.assertIn(named, err)


class StandIns(unittest.TestCase):
    def test_every_step_passes(self):
        rc, out, err = gpu_check(["--stand-ins", "--frames", "12", "--size", "256x160"])
        self.assertEqual(rc, 0, out + err)
        # The modules' names, the unversioned one first.
        self.assertRegex(out, r"ok   1 driver: libcuda.so is .*/platform/libcuda.so.1 \(stand-in\), CUDA \d+\.\d")
        self.assertRegex(out, r"ok   3 nvenc: libnvidia-encode.so is .*/platform/libnvidia-encode.so.1 \(stand-in\)\n")
        self.assertEqual(len(lines(out, "info", "1 driver")), 2)  # the stand-ins' folder, one device
        kernels = lines(out, "ok", "2 kernels")
        self.assertEqual(len(kernels), 12)
        self.assertIn("ok   2 kernels: device 0 BGRA_to_NV12 301x199 -> 301x199 (grid 10x7): identical to the CPU "
                      "version", kernels)
        self.assertEqual(lines(out, "ok", "3 nvenc")[1:], [
            "ok   3 nvenc: API 12.0: function list made (version word 0x7002000c)",
            "ok   3 nvenc: API 12.0 device 0: session opened and closed",
            "ok   3 nvenc: API 5.0: function list made (version word 0x500209f8)",
            "ok   3 nvenc: API 5.0 device 0: session opened and closed",
            "ok   3 nvenc: API 4.0: function list made (version word 0x400209f8)",
            "ok   3 nvenc: API 4.0 device 0: session opened and closed"])
        self.assertIn("info 3 nvenc: newest API the library speaks: 12.2", out)
        encode = lines(out, "ok", "4 encode")
        self.assertEqual(len(encode), 16, out)
        self.assertIn("ok   4 encode: API 12.0: init_module: h264 (YUV444 True, lossless True), h265 (YUV444 True, "
                      "lossless True), av1 (YUV444 False, lossless False)", encode)
        for api in ("5.0", "4.0"):
            self.assertIn("ok   4 encode: API %s: init_module: YUV444 True, lossless True" % api, encode)
        # The lines of the API-12.0 module name the encoding; AV1 has 4:2:0 alone.
        for label, count in [("12.0 h264", 3), ("12.0 h265", 3), ("12.0 av1", 1), ("5.0", 3), ("4.0", 3)]:
            for mode in ("4:2:0 (quality 50)", "4:4:4 (quality 90)")[:count]:
                self.assertTrue(any(re.match(r"ok   4 encode: API %s %s, 12 frames of 256x160: [\d.]+ fps, PSNR [\d.]+ "
                                             r"dB" % (re.escape(label), re.escape(mode)), l) for l in encode), mode)
            if count == 3:
                self.assertIn("API %s lossless (quality 100), 12 frames of 256x160" % label, out)
        self.assertEqual(out.count("decoded planes identical to the kernels' 4:4:4 conversion"), 4)
        self.assertEqual([l for l in out.splitlines() if l.startswith(("FAIL", "skip"))], [
            "skip 4 encode: API 12.0 av1 4:4:4 (quality 90), 12 frames of 256x160: init_module found no YUV444 support",
            "skip 4 encode: API 12.0 av1 lossless (quality 100), 12 frames of 256x160: init_module found no YUV444 "
            "support"], out)
        self.assertTrue(out.endswith("gpu-check: everything that could run passed\n"))

    # (environment, expected exit status, lines that must appear, texts that must not)
    CASES = [
        ({"NVENC_EMU_MAX_SESSIONS": "0"}, 0,
         ["skip 3 nvenc: API 5.0 device 0: no NVENC session on this device (nvEncOpenEncodeSessionEx returned 2: ",
          "skip 4 encode: no encode session could be opened"], ["ok   4 encode"]),
        # A driver older than a module's API: that module is skipped, the others are checked.
        ({"NVENC_EMU_MAX_API": "4.0"}, 0,
         ["info 3 nvenc: newest API the library speaks: 4.0",
          "skip 3 nvenc: API 12.0: NvEncodeAPICreateInstance returned 15: ",
          "skip 3 nvenc: API 5.0: NvEncodeAPICreateInstance returned 15: ",
          "ok   4 encode: API 4.0: init_module: YUV444 True, lossless True"],
         ["API 5.0: init_module", "API 12.0: init_module", "FAIL"]),
        # One that makes the API-12.0 function list but refuses its sessions, as drivers 418 to 470 do.
        ({"NVENC_EMU_MAX_API": "11.1"}, 0,
         ["ok   3 nvenc: API 12.0: function list made",
          "skip 3 nvenc: API 12.0 device 0: nvEncOpenEncodeSessionEx returned 15: ",
          "ok   4 encode: API 5.0 4:2:0 (quality 50), 4 frames of 128x96: "], ["API 12.0: init_module", "FAIL"]),
        # A library that speaks the API and still refuses its words: those words are wrong. (The rule fires
        # again in the encode step's own process, at the first module it sets up.)
        ({"NVENC_EMU_FAIL": "NvEncodeAPICreateInstance=15@1"}, 1,
         ["FAIL 3 nvenc: API 12.0: NvEncodeAPICreateInstance returned 15: ",
          "ok   3 nvenc: API 5.0 device 0: session opened and closed",
          "ok   4 encode: API 4.0 4:2:0 (quality 50), 4 frames of 128x96: ", "gpu-check: 2 check(s) failed"],
         ["API 12.0: init_module"]),
        # A driver from 590 on: the older modules find none of their presets, and say which module serves it.
        ({"NVENC_EMU_LEGACY_PRESETS": "0"}, 0,
         ["ok   4 encode: API 12.0 h264 lossless (quality 100), 4 frames of 128x96: ",
          "ok   4 encode: API 12.0 h265 lossless (quality 100), 4 frames of 128x96: ",
          "skip 4 encode: API 5.0: init_module: no matching presets available for 'H264'!?: the driver has none of "
          "this module's presets (drivers from 590 on), the API-12.0 module serves it",
          "skip 4 encode: API 4.0: init_module: no matching presets available for 'H264'!?: "],
         ["FAIL", "ok   4 encode: API 5.0"]),
        ({"CUDA_EMU_FAIL": "cuLaunchKernel=719@1"}, 1,
         ["FAIL 2 kernels: device 0 BGRA_to_NV12 1920x1080 in 1920x1088 -> 1920x1088 (grid 60x34): cuLaunchKernel "
          "failed", "ok   2 kernels: device 0 BGRA_to_NV12 301x199 -> 301x199",
          "skip 4 encode: the kernels cannot run on this driver (step 2)"], ["ok   4 encode"]),
        ({"NVENC_EMU_CAPS": "33=0"}, 0,
         ["ok   4 encode: API 5.0: init_module: YUV444 False, lossless False",
          "skip 4 encode: API 5.0 4:4:4 (quality 90), 4 frames of 128x96: init_module found no YUV444 support",
          "skip 4 encode: API 4.0 lossless (quality 100), 4 frames of 128x96: init_module found no YUV444 support",
          "ok   4 encode: API 4.0 4:2:0 (quality 50), 4 frames of 128x96: "], ["FAIL"]),
        ({"NVENC_EMU_CAPS": "34=0"}, 0,
         ["ok   4 encode: API 5.0: init_module: YUV444 True, lossless False",
          "skip 4 encode: API 5.0 lossless (quality 100), 4 frames of 128x96: init_module found no lossless support",
          "ok   4 encode: API 5.0 4:4:4 (quality 90), 4 frames of 128x96: "], ["FAIL"]),
        ({"NVENC_EMU_NULL": "1"}, 1,
         ["FAIL 4 encode: API 5.0 4:2:0 (quality 50), 4 frames of 128x96: ",
          "FAIL 4 encode: API 4.0 lossless (quality 100), 4 frames of 128x96: ",
          "FAIL 4 encode: API 12.0 h264 4:4:4 (quality 90), 4 frames of 128x96: ",
          "FAIL 4 encode: API 12.0 av1 4:2:0 (quality 50), 4 frames of 128x96: ", "gpu-check: 13 check(s) failed"],
         ["ok   4 encode: API 5.0 4:2:0"]),
        # A GPU from before 2022: the API-12.0 module offers no AV1, and checks the others.
        ({"NVENC_EMU_CODECS": "h264,hevc"}, 0,
         ["skip 4 encode: API 12.0 av1: init_module: not offered by this device",
          "ok   4 encode: API 12.0 h265 4:4:4 (quality 90), 4 frames of 128x96: "], ["FAIL", "API 12.0 av1 4:2:0"]),
        ({"CUDA_EMU_DEVICES": "0"}, 0,
         ["ok   1 driver: libcuda.so is ", "skip 1 driver: no NVIDIA device: cuInit returned CUDA_ERROR_NO_DEVICE (",
          "skip 2 kernels: no device to run them on", "info 3 nvenc: newest API the library speaks: 12.2",
          "ok   3 nvenc: API 4.0: function list made", "skip 4 encode: no device to encode on",
          "gpu-check: everything that could run passed"], ["FAIL", "device 0", "ok   2"]),
        ({"TEVU_GPU_CHECK_NVENC_LIBRARY": "libnvidia-encode.so.1"}, 0,
         ["ok   3 nvenc: libnvidia-encode.so.1 is "], ["FAIL"]),
        ({"PYTHON2": "/nonexistent/python2.7"}, 0,
         ["skip 4 encode: PYTHON2=/nonexistent/python2.7 is not an executable"], ["FAIL"]),
        ({"PATH": "/nonexistent"}, 0, ["skip 4 encode: no ffmpeg on PATH"], ["FAIL"]),
    ]

    def test_skips_and_failures(self):
        for env, status, present, absent in self.CASES:
            rc, out, err = gpu_check(["--stand-ins"] + SMALL, **env)
            self.assertEqual(rc, status, "%s\n%s%s" % (env, out, err))
            for text in present:
                self.assertTrue(any(l.startswith(text) for l in out.splitlines()), "%s: no %r in\n%s" % (env, text, out))
            for text in absent:
                self.assertNotIn(text, out, env)


def mirror(source, target, left_out):
    """target made a folder of links to source's entries, except the relative paths in left_out; a folder
    holding one of those is made a folder of links in turn."""
    os.mkdir(target)
    for name in os.listdir(source):
        below = [os.path.relpath(p, name) for p in left_out if p.startswith(name + os.sep)]
        if below:
            mirror(os.path.join(source, name), os.path.join(target, name), below)
        elif name not in left_out:
            os.symlink(os.path.join(source, name), os.path.join(target, name))


class BuildWithoutAModule(unittest.TestCase):
    def test_the_missing_module_is_skipped_and_the_others_checked(self):
        # A build that made no API-12.0 module (a 32-bit one): a tree of links to this one without it, and
        # a copy of the program, which finds its tree from where it lies.
        folder = tempfile.mkdtemp(prefix="gpu-check-tree.")
        tree = os.path.join(folder, "build")
        try:
            mirror(BUILD_DIR, tree, ["bin", os.path.join("python", "tevu", "codecs", "nvenc12")])
            os.mkdir(os.path.join(tree, "bin"))
            shutil.copy(PROGRAM, os.path.join(tree, "bin", "gpu-check"))
            rc, out, err = gpu_check(["--stand-ins"] + SMALL, command=[os.path.join(tree, "bin", "gpu-check")],
                                     LD_PRELOAD=os.environ.get("LD_PRELOAD"))
        finally:
            shutil.rmtree(folder)
        self.assertEqual(rc, 0, out + err)
        output = out.splitlines()
        self.assertIn("ok   3 nvenc: API 12.0 device 0: session opened and closed", output)
        self.assertIn("skip 4 encode: API 12.0: the build folder has no module of it (%s)"
                      % os.path.join(os.path.realpath(tree), "python", "tevu", "codecs", "nvenc12"), output)
        self.assertEqual(len([l for l in output if l.startswith("ok   4 encode: API 5.0 ")]), 3, out)
        self.assertEqual(len([l for l in output if l.startswith("ok   4 encode: API 4.0 ")]), 3, out)
        self.assertNotIn("ok   4 encode: API 12.0", out)


class Reference(unittest.TestCase):
    def test_planar_yuv444_of_each_frame(self):
        frames = bytes(bytearray([255, 255, 255, 0, 0, 0, 0, 0] + [0, 0, 255, 0, 255, 0, 0, 0]))
        out = kernel_yuv444(PROGRAM, frames, 2, 1)
        # white, black; then red, blue: Y plane, U plane, V plane of each frame.
        self.assertEqual(list(bytearray(out)), [235, 16, 128, 128, 128, 128] + [81, 41, 90, 240, 240, 110])


if __name__ == "__main__":
    unittest.main()

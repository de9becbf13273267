"""The tools' command lines, run as processes: --help and --version, a bad value reported in one line
that names it with exit status 2, options in any order, the build folder named by --build the one used,
PYTHON= limited to the build's interpreters, and no progress bar when the output is not a terminal."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from tevu_testsupport.processes import run_tool
from tevu_testsupport.streams import DEMUXERS, decode

BUILD_DIR = os.environ["TEVU_TEST_BUILD_DIR"]
VERSION = os.environ["TEVU_TEST_VERSION"]
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
# The tools that run a build's programs or modules. Left without --build they take build/ beside tools/,
# which is not this build when it lies elsewhere (or does not exist at all).
BUILD_TOOLS = ("encoder-demo", "encoder-bench", "gpu-check")


def names_a_build(args):
    return any(a == "--build" or a.startswith("--build=") for a in args)


def run(tool, args, **env):
    """Runs a tool; one of BUILD_TOOLS gets --build with this build tree after the arguments, unless they
    name a build folder themselves."""
    if tool in BUILD_TOOLS and not names_a_build(args):
        args = args + ["--build", BUILD_DIR]
    full_env = dict(os.environ)
    full_env.pop("PYTHON", None)
    full_env.pop("LD_PRELOAD", None)  # the wrappers preload a sanitizer build's runtime for Python alone
    full_env.update(env)
    p = subprocess.Popen([os.path.join(TOOLS, tool)] + args, env=full_env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    out, err = p.communicate()
    return p.returncode, out, err


class CommandLines(unittest.TestCase):
    def test_help_and_version(self):
        for tool in BUILD_TOOLS + ("check", "demo"):
            rc, out, err = run(tool, ["--build", BUILD_DIR, "--help"] if tool in BUILD_TOOLS else ["--help"])
            self.assertEqual(rc, 0, (tool, err))
            self.assertIn("usage:", out, tool)
            if tool in BUILD_TOOLS:
                self.assertIn("default", out, tool)
            rc, out, err = run(tool, ["--version"])
            self.assertEqual((rc, out.splitlines()[-1]), (0, "%s %s" % (tool, VERSION)), err)

    def test_the_build_named_is_the_one_used(self):
        # A folder holding no build: each tool says so of that folder, whichever way it was named.
        empty = tempfile.mkdtemp(prefix="tevu-no-build-")
        try:
            for tool, complaint in [("encoder-demo", "no Python interpreter configured in %s"),
                                    ("encoder-bench", "no Python interpreter configured in %s"),
                                    ("gpu-check", "%s/bin/gpu-check is missing")]:
                for args in (["--build", empty, "--help"], ["--help", "--build=" + empty]):
                    rc, out, err = run(tool, args)
                    self.assertEqual(rc, 2, (tool, args, out, err))
                    self.assertIn(complaint % empty, err, (tool, args))
        finally:
            os.rmdir(empty)

    def test_bad_values_name_themselves_in_one_line(self):
        demo_cases = [(["--size", "640x"], "--size"), (["--size", "0x480"], "--size"),
                      (["--input", "/nonexistent"], "/nonexistent"), (["--output", "/nonexistent/x"], "/nonexistent"),
                      (["--quality", "500"], "--quality"), (["--speed", "-1"], "--speed"),
                      (["--frames", "0"], "--frames"), (["--scaling", "2/0"], "--scaling"),
                      (["--api", "6"], "--api"), (["--bogus"], "--bogus"), (["--build"], "--build"),
                      (["--build", "/nonexistent"], "/nonexistent"), (["--encoding", "vp9"], "--encoding"),
                      (["--encoding", "h265", "--api", "5"], "--encoding h265: the API-5 module offers only h264"),
                      (["--compare", "--scaling", "2/3"], "--compare")]
        cases = [("encoder-demo", args, name) for args, name in demo_cases]
        cases += [("encoder-bench", ["--frames", "0"], "--frames"), ("encoder-bench", ["--frames", "-5"], "--frames"),
                  ("encoder-bench", ["--frames", "x"], "--frames"), ("encoder-bench", ["--encoding", "vp9"], "--encoding"),
                  ("encoder-bench", ["--api", "4", "--encoding", "av1"], "--encoding av1: the API-4 module offers only h264"),
                  ("gpu-check", ["--bogus"], "--bogus"), ("gpu-check", ["--frames", "5x"], "--frames"),
                  ("gpu-check", ["--frames"], "--frames"), ("gpu-check", ["--size", "100x96"], "--size"),
                  ("gpu-check", ["--build"], "--build"), ("demo", ["x"], "'x'")]
        for tool, args, name in cases:
            rc, out, err = run(tool, args)
            self.assertEqual(rc, 2, (tool, args, out, err))
            self.assertEqual(len(err.splitlines()), 1, (tool, args, err))
            self.assertIn(name, err, (tool, args))
            self.assertTrue(err.startswith(tool + ": "), err)

    def test_python_must_be_one_of_the_build(self):
        rc, out, err = run("encoder-demo", ["--frames", "1"], PYTHON=sys.executable + "-not-there")
        self.assertEqual((rc, err.strip()), (2, "PYTHON=%s-not-there does not run" % sys.executable))
        rc, out, err = run("encoder-bench", ["--help", "--build", BUILD_DIR], PYTHON="/bin/true")
        self.assertEqual(rc, 2)
        self.assertIn("is not an interpreter %s built the modules for" % BUILD_DIR, err)

    def test_options_in_any_order_and_no_progress_bar_off_a_terminal(self):
        out_dir = tempfile.mkdtemp(prefix="tevu-tools-")
        stream = os.path.join(out_dir, "s.h264")
        rc, out, err = run("encoder-demo", ["--frames", "3", "--output", stream, "--build", BUILD_DIR,
                                            "--size", "96x64"])
        self.assertEqual(rc, 0, err)
        self.assertNotIn("\r", out)
        self.assertIn("encode alone: ", out)
        self.assertIn("with making the pictures: ", out)
        self.assertIn("encoder-demo: Python ", out)
        self.assertGreater(os.path.getsize(stream), 0)
        rc, out, err = run("gpu-check", ["--stand-ins", "--build", BUILD_DIR, "--frames", "2", "--size", "64x64"])
        self.assertEqual(rc, 0, out + err)
        os.remove(stream)
        os.rmdir(out_dir)

    # The suffix of each encoding's stream.
    SUFFIXES = {"h264": ".h264", "h265": ".h265", "av1": ".obu"}
    # The encodings, as a client reads the results: (tool, arguments, environment, the pixel format of each
    # encoding's stream, which is every stream the demo wrote; the bench writes none). None: the device does
    # not offer the (last) encoding asked for, which ends the tool with status 2 and a last line saying so.
    OFFERS = "tevu.codecs.nvenc12.encoder does not offer it on this device (it offers h264, h265)"
    ENCODING_RUNS = [
        ("encoder-demo", ["--encoding", "h265"], {}, {"h265": "yuv420p"}),
        ("encoder-demo", ["--encoding", "av1"], {}, {"av1": "yuv420p"}),
        ("encoder-demo", ["--compare"], {}, {"h264": "yuv444p", "h265": "yuv444p", "av1": "yuv420p"}),
        ("encoder-demo", ["--compare"], {"NVENC_EMU_CODECS": "h264,hevc"}, {"h264": "yuv444p", "h265": "yuv444p"}),
        ("encoder-demo", ["--encoding", "av1"], {"NVENC_EMU_CODECS": "h264,hevc"}, None),
        ("encoder-bench", ["--api", "12", "--encoding", "h264", "--encoding", "av1"], {"NVENC_EMU_CODECS": "h264,hevc"},
         None),
        ("encoder-bench", ["--api", "12", "--encoding", "h265", "--frames", "2"], {}, {}),
    ]

    def test_encodings(self):
        out_dir = tempfile.mkdtemp(prefix="tevu-tools-")
        base = os.path.join(out_dir, "s")
        try:
            for tool, args, env, formats in self.ENCODING_RUNS:
                if tool == "encoder-demo":
                    encoding = args[args.index("--encoding") + 1] if "--encoding" in args else "h264"
                    args = args + ["--frames", "4", "--size", "128x96", "--output",
                                   base + self.SUFFIXES[encoding]]
                rc, out, err = run(tool, args, **env)
                label = (tool, args, env)
                if formats is None:
                    self.assertEqual(rc, 2, (label, out, err))
                    self.assertEqual(err.splitlines()[-1], "%s: --encoding av1: %s (%s --help shows the options)"
                                     % (tool, self.OFFERS, tool), label)
                elif tool == "encoder-bench":
                    self.assertEqual(rc, 0, (label, err))
                    figures = [l for l in out.splitlines() if l.startswith("API ")]
                    self.assertEqual([l.split(":")[0] for l in figures], [
                        "API 12.0 get_runtime_factor", "API 12.0 h265 compress_image 1920x1080",
                        "API 12.0 h265 speed change on every frame",
                        "API 12.0 h265 speed change alone (set_encoding_speed)", "API 12.0 h265 frame rate"], out)
                else:
                    self.assertEqual(rc, 0, (label, err))
                    self.check_streams(out, base, formats, "--compare" in args, label)
        finally:
            shutil.rmtree(out_dir)

    def check_streams(self, out, base, formats, table, label):
        """Every encoding of `formats` decodes with ffmpeg as its stream, 4 frames of 128x96 in that pixel
        format; the compare table lists each with its stream's size and a PSNR above 30 dB, and the others as
        not offered; a single encode names its encoding and its ffmpeg format."""
        rows = {}
        if table:
            header = out.splitlines().index("encoding   pixel format     size (bytes)  PSNR (dB)")
            rows = dict((l.split()[0], l.split()[1:]) for l in out.splitlines()[header + 1:header + 4])
            self.assertEqual(sorted(rows), sorted(DEMUXERS), (label, out))
        for encoding, demuxer in sorted(DEMUXERS.items()):
            stream = base + self.SUFFIXES[encoding]
            if encoding not in formats:
                self.assertEqual(rows.get(encoding, ["not", "offered"]), ["not", "offered"], (label, out))
                self.assertFalse(os.path.exists(stream), (label, stream))
                continue
            self.assertEqual(decode(stream, formats[encoding], strict=True, encoding=encoding)[:3],
                             (4, 128, 96), (label, encoding))
            probe, _ = run_tool(["ffprobe", "-v", "error", "-f", demuxer, "-show_entries",
                                 "stream=pix_fmt", "-of", "csv=p=0", stream])
            self.assertEqual(probe.decode("ascii").strip(), formats[encoding], (label, encoding))
            if table:
                pixel_format, size, value = rows[encoding]
                self.assertEqual(pixel_format, "YUV444P" if formats[encoding] == "yuv444p" else "NV12", label)
                self.assertEqual(int(size), os.path.getsize(stream), label)
                self.assertGreater(float(value), 30.0, (label, encoding))
            else:
                self.assertIn("%s: frames: 4, size: %d bytes" % (encoding, os.path.getsize(stream)), out)
                self.assertIn("play it with: ffplay -f %s %s" % (demuxer, stream), out)
            os.remove(stream)


if __name__ == "__main__":
    unittest.main()

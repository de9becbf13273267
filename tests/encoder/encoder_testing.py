"""Shared helpers of the encoder module tests: which module is under test, subprocess runs."""

import importlib
import os
import subprocess
import sys

# The module under test; the same suites run against each API build.
MODULE_NAME = os.environ.get("TEVU_ENCODER_MODULE", "tevu.codecs.nvenc5.encoder")
API = 4 if ".nvenc4." in MODULE_NAME else 5
BUILD_DIR = os.environ.get("TEVU_TEST_BUILD_DIR", "")
# What a failed check that guards the encoder's state raises: AssertionError, or under python -O (where
# assertions are off) the generic Exception with the same message.
CHECK_ERROR = AssertionError if __debug__ else Exception
PLATFORM_DIR = os.path.join(BUILD_DIR, "platform")


def load():
    return importlib.import_module(MODULE_NAME)


def run_python(code, env=None, optimize=False):
    """Runs code in a fresh interpreter with the module's name bound to `m`; returns (rc, out, err)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    prologue = "import importlib\nm = importlib.import_module(%r)\n" % MODULE_NAME
    args = [sys.executable] + (["-O"] if optimize else []) + ["-c", prologue + code]
    p = subprocess.Popen(args, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate()
    return p.returncode, out, err


class LeakCheck(object):
    """Mixin of a TestCase: runs test classes of a script in a fresh interpreter with the CUDA stand-in's
    leak report on, and checks that they pass and leave nothing behind."""

    def assert_no_leaks(self, script, *classes):
        if os.environ.get("TEVU_ENCODER_LEAK_RUN"):
            self.skipTest("inside the leak run")
        env = dict(os.environ, CUDA_EMU_REPORT="1", TEVU_ENCODER_LEAK_RUN="1")
        args = [sys.executable] + ([] if __debug__ else ["-O"]) + [os.path.abspath(script)] + list(classes)
        p = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = p.communicate()
        self.assertEqual(p.returncode, 0, err[-3000:])
        report = [line for line in err.splitlines() if line.startswith("CUDA_EMU_REPORT:")]
        self.assertEqual(len(report), 1, "expected one leak report line:\n" + err[-3000:])
        self.assertIn("leaks=0 contexts=0 allocations=0 host_buffers=0", report[0])


# --- images and decoding ---------------------------------------------------------------------------------
class Image(object):
    """A host-like image object over BGRX bytes."""

    def __init__(self, width, height, pixels, stride=None, timestamp=0):
        from tevu.codecs.image_wrapper import ImageWrapper
        self.wrapper = ImageWrapper(width, height, pixels, stride or width * 4, timestamp)

    def __getattr__(self, name):
        return getattr(self.wrapper, name)


# The demonstration's synthetic desktop-like pictures.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from encoder_demo import desktop_frame  # noqa: E402,F401


def run(args, **kwargs):
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    out, err = p.communicate()
    if p.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], err[-2000:]))
    return out, err


def decode(stream_path, pix_fmt="yuv420p"):
    """Decodes an H.264 elementary stream; returns (frame count, width, height, raw planes)."""
    out, err = run(["ffmpeg", "-v", "error", "-f", "h264", "-i", stream_path, "-f", "rawvideo", "-pix_fmt", pix_fmt,
                    "-"])
    probe, _ = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=width,height,nb_read_frames", "-of", "csv=p=0", stream_path])
    width, height, frames = [int(v) for v in probe.strip().split(",")[:3]]
    return frames, width, height, out


def psnr(stream_path, source_path, width, height, pix_fmt="yuv420p"):
    """Average PSNR of the decoded stream against the BGRX source (converted with BT.601 limited range)."""
    decoded = stream_path + ".yuv"
    run(["ffmpeg", "-v", "error", "-y", "-f", "h264", "-i", stream_path, "-f", "rawvideo", "-pix_fmt", pix_fmt,
         decoded])
    size = "%dx%d" % (width, height)
    lavfi = "[1:v]scale=out_color_matrix=bt601:out_range=tv,format=%s[ref];[0:v][ref]psnr" % pix_fmt
    _, err = run(["ffmpeg", "-v", "info", "-nostats", "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size, "-i",
                  decoded, "-f", "rawvideo", "-pix_fmt", "bgr0", "-s", size, "-i", source_path, "-lavfi", lavfi,
                  "-f", "null", "-"])
    os.remove(decoded)
    for line in err.splitlines():
        if "PSNR" in line and "average:" in line:
            value = line.split("average:")[1].split()[0]
            return float("inf") if value == "inf" else float(value)
    raise AssertionError("no PSNR in ffmpeg output: %s" % err[-1000:])

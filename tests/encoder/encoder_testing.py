"""Shared helpers of the encoder module tests: which module is under test, subprocess runs."""

import importlib
import os
import subprocess
import sys

# The module under test; the same suites run against each API build.
MODULE_NAME = os.environ.get("TEVU_ENCODER_MODULE", "tevu.codecs.nvenc5.encoder")
API = 4 if ".nvenc4." in MODULE_NAME else 5
BUILD_DIR = os.environ.get("TEVU_TEST_BUILD_DIR", "")
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


# --- images and decoding ---------------------------------------------------------------------------------
class Image(object):
    """A host-like image object over BGRX bytes."""

    def __init__(self, width, height, pixels, stride=None, timestamp=0):
        from tevu.codecs.image_wrapper import ImageWrapper
        self.wrapper = ImageWrapper(width, height, pixels, stride or width * 4, timestamp)

    def __getattr__(self, name):
        return getattr(self.wrapper, name)


def desktop_frame(width, height, index):
    """A desktop-like BGRX picture: a gradient background, two windows (one moving) with text-like rows."""
    row = bytearray()
    for x in range(width):
        row += bytearray((90 + x * 60 // width, 60 + x * 40 // width, 40, 0))
    picture = bytearray(row * height)

    def fill(x0, y0, w, h, bgrx):
        x0, y0 = max(0, x0), max(0, y0)
        w, h = min(w, width - x0), min(h, height - y0)
        if w <= 0 or h <= 0:
            return
        line = bytearray(bgrx) * w
        for y in range(y0, y0 + h):
            picture[(y * width + x0) * 4:(y * width + x0 + w) * 4] = line

    def window(x0, y0, w, h, scroll):
        fill(x0, y0, w, h, (235, 235, 235, 0))
        fill(x0, y0, w, 14, (160, 90, 40, 0))
        for line in range(max(0, (h - 20) // 8)):
            y = y0 + 20 + line * 8
            seed = line + scroll
            x = x0 + 6
            while x < x0 + w - 12:
                word = 4 + (seed * 7 + x) % 9
                fill(x, y, min(word, x0 + w - 6 - x) * 2 // 2, 4, (30, 30, 30, 0))
                x += word + 4
                seed += 3

    window(width // 10, height // 8, width // 2, height // 2, index)
    window(width // 3 + (index * 8) % (width // 3), height // 3, width // 2, height // 2, 0)
    return bytes(picture)


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

"""Synthetic desktop-like pictures, and the quality of encoded streams (decoded with ffmpeg, PSNR)."""

import os
import subprocess


def desktop_frame(width, height, index):
    """A gradient desktop with a fixed window of scrolling text and a moving window."""
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
            y, seed, x = y0 + 20 + line * 8, line + scroll, x0 + 6
            while x < x0 + w - 12:
                word = 4 + (seed * 7 + x) % 9
                fill(x, y, min(word, x0 + w - 6 - x), 4, (30, 30, 30, 0))
                x += word + 4
                seed += 3

    window(width // 10, height // 8, width // 2, height // 2, index)
    span = max(1, width // 3)
    window(width // 3 + (index * 8) % span, height // 3, width // 2, height // 2, 0)
    return bytes(picture)


def run(args, **kwargs):
    # ffmpeg and ffprobe are not instrumented: a sanitizer runtime preloaded for the modules stays out
    env = dict(kwargs.pop("env", os.environ))
    env.pop("LD_PRELOAD", None)
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, **kwargs)
    out, err = p.communicate()
    err = err.decode("utf-8", "replace")  # diagnostics; the output stays bytes
    if p.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], err[-2000:]))
    return out, err


def decode(stream_path, pix_fmt="yuv420p", strict=False):
    """Decodes an H.264 elementary stream; returns (frame count, width, height, raw planes). With `strict`,
    any error the decoder reports (a missing reference, a broken macroblock) fails the decode."""
    out, err = run(["ffmpeg", "-v", "error", "-f", "h264", "-i", stream_path, "-f", "rawvideo", "-pix_fmt", pix_fmt,
                    "-"])
    if strict and err.strip():
        raise AssertionError("ffmpeg reported errors decoding %s: %s" % (stream_path, err[-2000:]))
    probe, _ = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=width,height,nb_read_frames", "-of", "csv=p=0", stream_path])
    width, height, frames = [int(v) for v in probe.decode("ascii").strip().split(",")[:3]]
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

"""Decoding H.264 elementary streams with ffmpeg and comparing them with their BGRX source (PSNR)."""

import os
import subprocess


def run(args, **kwargs):
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    out, err = p.communicate()
    err = err.decode("utf-8", "replace")  # diagnostics; the output stays bytes
    if p.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], err[-2000:]))
    return out, err


def decode(stream_path, pix_fmt="yuv420p"):
    """Decodes an H.264 elementary stream; returns (frame count, width, height, raw planes)."""
    out, err = run(["ffmpeg", "-v", "error", "-f", "h264", "-i", stream_path, "-f", "rawvideo", "-pix_fmt", pix_fmt,
                    "-"])
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

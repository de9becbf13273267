"""Streams as a client sees them: decoded with ffmpeg and compared with their BGRX source, by PSNR or, for
lossless 4:4:4, plane for plane against the kernels' conversion. A stream is of the encoding under test
(TEVU_TEST_ENCODING: h264, the default, h265 or av1) unless a call names another."""

import math
import os
import shutil
import tempfile

from tevu_testsupport.processes import run, run_tool

ENCODING = os.environ.get("TEVU_TEST_ENCODING") or "h264"
# ffmpeg's demuxer for each encoding's stream: Annex B for H.264 and HEVC, low-overhead OBUs for AV1.
DEMUXERS = {"h264": "h264", "h265": "hevc", "av1": "obu"}
if ENCODING not in DEMUXERS:
    raise SystemExit("TEVU_TEST_ENCODING=%s: not an encoding (%s)" % (ENCODING, ", ".join(sorted(DEMUXERS))))


def decode(stream_path, pix_fmt="yuv420p", strict=False, encoding=ENCODING):
    """Decodes an elementary stream; returns (frame count, width, height, raw planes). With `strict`, any
    error the decoder reports (a missing reference, a broken block) fails the decode."""
    out, err = run_tool(["ffmpeg", "-v", "error", "-f", DEMUXERS[encoding], "-i", stream_path, "-f", "rawvideo",
                         "-pix_fmt", pix_fmt, "-"])
    if strict and err.strip():
        raise AssertionError("ffmpeg reported errors decoding %s: %s" % (stream_path, err[-2000:]))
    probe, _ = run_tool(["ffprobe", "-v", "error", "-f", DEMUXERS[encoding], "-count_frames", "-select_streams", "v:0",
                         "-show_entries", "stream=width,height,nb_read_frames", "-of", "csv=p=0", stream_path])
    width, height, frames = [int(v) for v in probe.decode("ascii").strip().split(",")[:3]]
    return frames, width, height, out


def decode_data(data, pix_fmt="yuv420p", strict=False, encoding=ENCODING):
    """decode() of a stream held in memory."""
    folder = tempfile.mkdtemp(prefix="tevu-stream-")
    try:
        path = os.path.join(folder, "stream")
        with open(path, "wb") as f:
            f.write(data)
        return decode(path, pix_fmt, strict, encoding)
    finally:
        shutil.rmtree(folder)


def _nal_units(data, type_of):
    """The type of every NAL unit of an Annex-B stream, in order."""
    data = bytearray(data)
    types, i = [], 0
    while True:
        i = data.find(b"\x00\x00\x01", i)
        if i < 0 or i + 3 >= len(data):
            return types
        types.append(type_of(data, i + 3))
        i += 3


def _leb128(data, i):
    value, shift = 0, 0
    while True:
        byte = data[i]
        value |= (byte & 0x7F) << shift
        i += 1
        shift += 7
        if not byte & 0x80:
            return value, i


def _obus(data):
    """Each OBU of a low-overhead AV1 stream: ("header", 1) for a sequence header, ("picture", is_key) for a
    frame or frame header, ("other", type) for the rest."""
    data = bytearray(data)
    units, i = [], 0
    while i < len(data):
        header = data[i]
        kind, extended, sized = (header >> 3) & 0xF, header & 0x4, header & 0x2
        i += 2 if extended else 1
        size, i = _leb128(data, i) if sized else (len(data) - i, i)
        if kind == 1:
            units.append(("header", 1))
        elif kind in (3, 6):  # show_existing_frame, then frame_type (0: a key frame)
            units.append(("picture", not data[i] & 0x80 and (data[i] >> 5) & 0x3 == 0))
        else:
            units.append(("other", kind))
        i += size
    return units


def _nal_kind(t, headers, slices, keys):
    if t in headers:
        return ("header", t)
    if t in slices:
        return ("picture", t in keys)
    return ("other", t)


# Each encoding's units as ("header", type), ("picture", is_key) or ("other", type), and the headers a key
# picture needs before it: H.264 SPS and PPS (IDR slices 5); HEVC VPS, SPS and PPS (IDR slices 19 and 20);
# AV1 the sequence header.
_UNITS = {
    "h264": (lambda data: [_nal_kind(t, (7, 8), (1, 5), (5,)) for t in _nal_units(data, lambda d, i: d[i] & 0x1F)],
             2),
    "h265": (lambda data: [_nal_kind(t, (32, 33, 34), range(32), (19, 20))
                           for t in _nal_units(data, lambda d, i: (d[i] >> 1) & 0x3F)], 3),
    "av1": (_obus, 1),
}


def key_pictures(data, encoding=ENCODING):
    """The key pictures of a stream (H.264 and HEVC: IDR pictures; AV1: key frames), in order: for each,
    whether every header it needs (parameter sets, sequence header) came since the previous picture."""
    units, needed = _UNITS[encoding]
    keys, headers = [], set()
    for kind, value in units(data):
        if kind == "header":
            headers.add(value)
        elif kind == "picture":
            if value:
                keys.append(len(headers) == needed)
            headers = set()
    return keys


def frame_quantisers(data):
    """(H.264 streams: ffmpeg reports their quantisers.) Each decoded picture's type and the smallest, largest and mean quantiser of its macroblocks, as the
    decoder reads them: [(type, min, max, mean), ...]."""
    folder = tempfile.mkdtemp(prefix="tevu-stream-")
    try:
        path = os.path.join(folder, "stream.h264")
        with open(path, "wb") as f:
            f.write(data)
        _, err = run_tool(["ffmpeg", "-hide_banner", "-nostats", "-threads", "1", "-debug", "qp", "-f", "h264", "-i", path, "-f",
                           "null", "-"])
    finally:
        shutil.rmtree(folder)
    # ffmpeg probes the stream with a decoder of its own first: the pictures are those of the decoder
    # (told apart by its address) that read the most.
    decoders = {}
    for line in err.splitlines():
        if not line.startswith("[h264 @ ") or "] " not in line:
            continue
        decoder, text = line[1:].split("] ", 1)
        text = text.strip()
        frames = decoders.setdefault(decoder, [])
        if text.startswith("New frame, type: "):
            frames.append([text[len("New frame, type: "):], []])
        elif frames and text.isdigit() and len(text) % 2 == 0:
            frames[-1][1].extend(int(text[k:k + 2]) for k in range(0, len(text), 2))
    frames = max(decoders.values(), key=len) if decoders else []
    return [(kind, min(qps), max(qps), float(sum(qps)) / len(qps)) for kind, qps in frames if qps]


def psnr(stream_path, source_path, width, height, pix_fmt="yuv420p", encoding=ENCODING):
    """Average PSNR of the decoded stream against the BGRX source of width x height (converted with BT.601
    limited range). The decoded pictures are cropped to that size from the top left: the encoder rounds its
    size up to a multiple of 32."""
    decoded = stream_path + ".yuv"
    run_tool(["ffmpeg", "-v", "error", "-y", "-f", DEMUXERS[encoding], "-i", stream_path, "-vf",
              "crop=%d:%d:0:0" % (width, height), "-f", "rawvideo", "-pix_fmt", pix_fmt, decoded])
    size = "%dx%d" % (width, height)
    lavfi = "[1:v]scale=out_color_matrix=bt601:out_range=tv,format=%s[ref];[0:v][ref]psnr" % pix_fmt
    _, err = run_tool(["ffmpeg", "-v", "info", "-nostats", "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size, "-i",
                       decoded, "-f", "rawvideo", "-pix_fmt", "bgr0", "-s", size, "-i", source_path, "-lavfi", lavfi,
                       "-f", "null", "-"])
    os.remove(decoded)
    for line in err.splitlines():
        if "PSNR" in line and "average:" in line:
            value = line.split("average:")[1].split()[0]
            return float("inf") if value == "inf" else float(value)
    raise AssertionError("no PSNR in ffmpeg output: %s" % err[-1000:])


def plane_psnr(a, b):
    """PSNR of two byte strings of planes taken as 8-bit samples."""
    x, y = bytearray(a), bytearray(b)
    mse = sum((p - q) * (p - q) for p, q in zip(x, y)) / float(len(x))
    return float("inf") if mse == 0 else 10 * math.log10(255.0 * 255.0 / mse)


def reference_yuv444(pixels, width, height):
    """The kernels' BGRX to planar 4:4:4 conversion of one picture, in Python."""
    def byte(total, offset):
        return (total + (1 << 15) + (offset << 16)) >> 16
    y, u, v = bytearray(), bytearray(), bytearray()
    px = bytearray(pixels)
    for i in range(0, width * height * 4, 4):
        b, g, r = px[i], px[i + 1], px[i + 2]
        y.append(byte(16829 * r + 33039 * g + 6416 * b, 16))
        u.append(byte(-9714 * r - 19070 * g + 28784 * b, 128))
        v.append(byte(28784 * r - 24103 * g - 4681 * b, 128))
    return bytes(y + u + v)


def kernel_yuv444(program, pixels, width, height):
    """The planar 4:4:4 of BGRX pictures of width x height, each after the other, as the CPU kernel makes
    it: `program` is gpu-check, run with --reference-yuv444 (fast where the pictures are large)."""
    rc, out, err = run([program, "--reference-yuv444", "%dx%d" % (width, height)], input=pixels, text=False)
    if rc != 0:
        raise AssertionError("%s --reference-yuv444 failed (%d): %s" % (program, rc, err.decode("utf-8", "replace")))
    return out


class Stream(object):
    """The pictures an encoder returned, with their sources and kinds, checked as a client would."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.pictures, self.sources, self.kinds = [], [], []

    def add(self, data, pixels, kind):
        """A picture, its BGRX source and its kind: (pixel format, lossless) as get_info() reported it."""
        self.pictures.append(data)
        self.sources.append(pixels)
        self.kinds.append(kind)

    def check(self, test, label, min_psnr=38.0):
        """Decodes the stream strictly as 4:4:4; every picture matches its source: a lossless one exactly,
        a lossy 4:4:4 one by the PSNR of its planes, a 4:2:0 one by the PSNR of its luma. The first picture
        of each kind's segment is a key picture with its headers."""
        frames, w, h, planes = decode_data(b"".join(self.pictures), "yuv444p", strict=True)
        test.assertEqual((frames, w, h), (len(self.pictures), self.width, self.height), label)
        for i, kind in enumerate(self.kinds):
            if i == 0 or kind != self.kinds[i - 1]:
                test.assertEqual(key_pictures(self.pictures[i]), [True], "%s: frame %d starts %s" % (label, i, kind))
        size = self.width * self.height * 3
        luma = self.width * self.height
        for i, (pixels, (pixel_format, lossless)) in enumerate(zip(self.sources, self.kinds)):
            decoded = planes[i * size:(i + 1) * size]
            reference = reference_yuv444(pixels, self.width, self.height)
            if lossless:
                test.assertEqual(decoded, reference, "%s: frame %d is not exact" % (label, i))
            elif pixel_format == "YUV444P":
                test.assertGreaterEqual(plane_psnr(decoded, reference), min_psnr, "%s: frame %d" % (label, i))
            else:
                test.assertGreaterEqual(plane_psnr(decoded[:luma], reference[:luma]), min_psnr,
                                        "%s: frame %d" % (label, i))

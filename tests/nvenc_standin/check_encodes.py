"""Checks the encodes that nvenc_standin_encode wrote (the Windows build's, run under wine) as a client
sees them: each stream (H.264, HEVC or AV1's low-overhead OBUs, ffmpeg's input format named in encodes.txt and
the file's extension) decoded with ffmpeg, at its size and frame count, without decoder errors; a lossy
one at least 30 dB PSNR from its BGRX source, a lossless one decoding to the kernel's planes exactly.
    PYTHONPATH=BUILD/python python3 check_encodes.py DIR
(the build's python folder holds tevu_testsupport, which decodes and compares).
Prints "ok NAME: ..." or "FAIL NAME: ..." per encode; exit status 1 when any failed or none was listed."""

import os
import sys

from tevu_testsupport import streams

MIN_PSNR = 30.0


# The encoding of each of ffmpeg's input formats.
ENCODINGS = dict((demuxer, encoding) for encoding, demuxer in streams.DEMUXERS.items())


def check(directory, name, container, width, height, pix_fmt, lossless, frames):
    stream = os.path.join(directory, name + "." + container)
    encoding = ENCODINGS[container]
    got_frames, got_width, got_height, planes = streams.decode(stream, pix_fmt, strict=True, encoding=encoding)
    if (got_frames, got_width, got_height) != (frames, width, height):
        return "decoded %d frames of %dx%d, expected %d of %dx%d" % (
            got_frames, got_width, got_height, frames, width, height)
    if lossless:
        with open(os.path.join(directory, name + ".yuv"), "rb") as f:
            expected = f.read()
        if planes != expected:
            return "the decoded planes differ from the kernel's output (%d bytes vs %d)" % (len(planes), len(expected))
        return None
    value = streams.psnr(stream, os.path.join(directory, name + ".bgrx"), width, height, pix_fmt, encoding)
    if value < MIN_PSNR:
        return "PSNR %.2f dB, below %.0f dB" % (value, MIN_PSNR)
    return None


def main():
    directory = sys.argv[1]
    with open(os.path.join(directory, "encodes.txt")) as f:
        encodes = [line.split() for line in f if line.strip()]
    failed = 0
    for name, container, width, height, pix_fmt, lossless, frames in encodes:
        try:
            problem = check(directory, name, container, int(width), int(height), pix_fmt, lossless == "1",
                            int(frames))
        except AssertionError as error:
            problem = str(error)
        if problem:
            failed += 1
            print("FAIL %s: %s" % (name, problem))
        else:
            print("ok %s: %s, %s frames of %sx%s %s%s" % (name, container, frames, width, height, pix_fmt,
                                                   ", lossless" if lossless == "1" else ""))
    return 1 if failed or not encodes else 0


if __name__ == "__main__":
    sys.exit(main())

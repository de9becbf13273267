"""The API-4.0 and API-5.0 modules side by side, and what the NVENC stand-in receives from each."""

import os
import tempfile
import unittest

from tevu_testsupport.frames import Image
from tevu_testsupport.nvenc import CHECK_ERROR, read_trace

TRACE = tempfile.mktemp(suffix=".trace")
os.environ["NVENC_EMU_TRACE"] = TRACE
from tevu.codecs.nvenc4 import encoder as v4  # noqa: E402
from tevu.codecs.nvenc5 import encoder as v5  # noqa: E402

v4.init_module()
v5.init_module()

# x86-64 version words of each API (size | revision << 16 | api << 24 | bit 31 where marked).
WORDS = {
    4: {"NvEncodeAPICreateInstance": "0x400209f8", "nvEncOpenEncodeSessionEx": "0x40010610",
        "nvEncInitializeEncoder": "0xc0050710", "nvEncRegisterResource": "0x40030600",
        "nvEncCreateBitstreamBuffer": "0x40010308", "nvEncMapInputResource": "0x40040608",
        "nvEncEncodePicture": "0xc0030d10", "nvEncLockBitstream": "0x40010608"},
    5: {"NvEncodeAPICreateInstance": "0x500209f8", "nvEncOpenEncodeSessionEx": "0x50010610",
        "nvEncInitializeEncoder": "0xd0050710", "nvEncRegisterResource": "0x50030600",
        "nvEncCreateBitstreamBuffer": "0x50010308", "nvEncMapInputResource": "0x50040608",
        "nvEncEncodePicture": "0xd0040d10", "nvEncLockBitstream": "0x50010608"},
}


def traced_session(module, quality, frames=2, lossless_allowed=True):
    """Encodes frames at a quality; returns {entry: [fields of each call]} from the stand-in's trace."""
    open(TRACE, "w").close()
    e = module.Encoder()
    e.init_context(64, 64, "BGRX", ["YUV420P", "YUV444P"], "h264", quality, 50, None)
    for i in range(frames):
        e.compress_image(Image(64, 64, b"\x40" * 64 * 64 * 4, timestamp=i), quality, 50)
    e.clean()
    calls = {}
    for entry, fields in read_trace(TRACE):
        calls.setdefault(entry, []).append(fields)
    return calls


class SideBySide(unittest.TestCase):
    def test_identities_and_counters(self):
        self.assertEqual((v4.get_version(), v5.get_version()), ("4.0.0", "5.0.0"))
        self.assertIsNot(v4.context_counter, v5.context_counter)
        e = v4.Encoder()
        e.init_context(64, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        self.assertEqual((v4.context_counter.get(), v5.context_counter.get()), (1, 0))
        e.clean()
        self.assertEqual(v4.MIN_COMPUTE, 0x30)
        self.assertFalse(hasattr(v5, "MIN_COMPUTE"))
        self.assertEqual(type(e).__module__ if hasattr(type(e), "__module__") else None, "tevu.codecs.nvenc4.encoder")
        self.assertEqual(v4.NVENCException.__module__, "tevu.codecs.nvenc4.encoder")

    def test_spec_quality(self):
        self.assertEqual(v4.get_spec("h264", "BGRX").quality, 100)
        self.assertEqual(v5.get_spec("h264", "BGRX").quality, 80)
        v4.YUV444_ENABLED = False
        try:
            self.assertEqual(v4.get_spec("h264", "BGRX").quality, 80)
        finally:
            v4.YUV444_ENABLED = True

    def test_min_compute_read_at_each_setup(self):
        v4.MIN_COMPUTE = 0x99
        try:
            e = v4.Encoder()
            with self.assertRaises(CHECK_ERROR) as c:  # a check that stays under python -O
                e.init_context(64, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
            self.assertEqual(str(c.exception), "no NVENC device found!")
            e.clean()
        finally:
            v4.MIN_COMPUTE = 0x30


class VersionWords(unittest.TestCase):
    def test_words_of_each_api(self):
        for api, module in ((4, v4), (5, v5)):
            calls = traced_session(module, 50, frames=1)
            for entry, word in WORDS[api].items():
                self.assertEqual(calls[entry][0]["version"], word, (api, entry))
            self.assertEqual(calls["nvEncOpenEncodeSessionEx"][0]["api_version"], "0x%x" % (api * 16))
            # what the session offers is asked once, as it is set up
            for entry in ("nvEncGetEncodeGUIDs", "nvEncGetEncodePresetGUIDs", "nvEncGetInputFormats"):
                self.assertEqual(len(calls[entry]), 1, (api, entry))


class RateControl(unittest.TestCase):
    CASES = [  # quality, session rc, session min, session max, picture min, picture max
        (50, "vbr", "16,16,16", "26,26,26", "16,16,16", "36,36,36"),
        (0, "vbr", "41,41,41", "51,51,51", "41,41,41", "51,51,51"),
        (84, "vbr", "0,0,0", "9,9,9", "0,0,0", "19,19,19"),
    ]

    def test_session_and_picture_quantisers(self):
        for quality, rc, smin, smax, pmin, pmax in self.CASES:
            calls = traced_session(v4, quality)
            init = calls["nvEncInitializeEncoder"][0]
            self.assertEqual((init["rc"], init["minqp"], init["maxqp"], init["bypass"]), (rc, smin, smax, "0"),
                             quality)
            pictures = [c for c in calls["nvEncEncodePicture"] if "eos" not in c]
            self.assertEqual(len(pictures), 2)
            for p in pictures:
                self.assertEqual((p["pic_rc"], p["pic_minqp"], p["pic_maxqp"]), ("vbr", pmin, pmax), quality)
                self.assertEqual(p["pic_avg_bitrate"], init["avg_bitrate"])

    def test_lossless_session(self):
        calls = traced_session(v4, 100)
        init = calls["nvEncInitializeEncoder"][0]
        self.assertEqual((init["rc"], init["minqp"], init["maxqp"], init["bypass"], init["chroma"]),
                         ("constqp", "0,0,0", "0,0,0", "1", "3"))
        picture = calls["nvEncEncodePicture"][0]
        self.assertEqual((picture["pic_rc"], picture["pic_minqp"], picture["pic_maxqp"]), ("vbr", "0,0,0", "11,11,11"))

    def test_api5_pictures_carry_no_rate_control(self):
        calls = traced_session(v5, 50)
        self.assertNotIn("pic_rc", calls["nvEncEncodePicture"][0])


if __name__ == "__main__":
    unittest.main()

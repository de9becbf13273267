"""What the API-12.0 module does its own way, as a host sees it: the preset and tuning it chooses (and
those a host asks for), the rate control of its streams, speed and quality changes brought into the running
stream without an IDR picture, lossless 4:4:4, a driver too old for it or whose library lacks an entry point
it needs, a driver from 590 on (where the other two modules find no preset), and faults in the calls only it
makes."""

import os
import tempfile
import unittest

from tevu_testsupport.frames import Image, busy_desktop_frame, desktop_frame
from tevu_testsupport.nvenc import fmt, load_initialised, new_encoder, read_trace, run_python, support
from tevu_testsupport.processes import environment
from tevu_testsupport.streams import ENCODING, Stream, decode_data, frame_quantisers, key_pictures

m = load_initialised()
from tevu.log import capture  # noqa: E402

BOTH = ("YUV420P", "YUV444P")


def encode(e, first, count, quality, speed, width, height):
    """`count` desktop pictures from index `first`; their bitstreams."""
    return [e.compress_image(Image(width, height, desktop_frame(width, height, i), timestamp=i * 33),
                             quality, speed)[0] for i in range(first, first + count)]


def quantiser_range(quality):
    """The quantiser range of a lossy session at a quality (51 less the quality's shares of 51)."""
    def at(q):
        return 51 - max(0, min(51, 51 * q // 100))
    return at(quality + 20), at(quality)


class PresetAndTuning(unittest.TestCase):
    # (speed, quality, output formats, preset, tuning, lossless)
    CASES = [
        (50, 50, BOTH, "p4", "low-latency", 0),
        (100, 0, BOTH, "p1", "ultra-low-latency", 0),
        (70, 30, BOTH, "p3", "ultra-low-latency", 0),
        (69, 30, BOTH, "p3", "low-latency", 0),
        (0, 99, ("YUV420P",), "p7", "low-latency", 0),
        (0, 100, BOTH, "p7", "lossless", 1),
        (0, 100, ("YUV420P",), "p7", "low-latency", 0),  # lossless needs 4:4:4
    ]

    def test_chosen_by_speed_quality_and_lossless(self):
        for speed, quality, dst, preset, tuning, lossless in self.CASES:
            e = new_encoder(64, 64, quality, speed, dst=dst)
            try:
                info = e.get_info()
                self.assertEqual((info["preset"], info["tuning"], info["lossless"]), (preset, tuning, lossless),
                                 (speed, quality, dst))
            finally:
                e.clean()

    # (environment, speed, quality, preset, tuning)
    DESIRED = [
        ({"TEVU_NVENC_PRESET": "p2"}, 50, 50, "p2", "low-latency"),
        ({"TEVU_NVENC_PRESET": "hq"}, 50, 50, "p4", "low-latency"),  # another API's preset: ignored
        ({"TEVU_NVENC_TUNING": "high-quality"}, 100, 0, "p1", "high-quality"),
        ({"TEVU_NVENC_TUNING": "ultra-low-latency"}, 0, 50, "p4", "ultra-low-latency"),
        ({"TEVU_NVENC_TUNING": "high-quality"}, 0, 100, "p7", "lossless"),  # lossless stays lossless
    ]

    def test_what_the_host_asks_for(self):
        code = ("m.init_module()\ne = m.Encoder()\n"
                "e.init_context(64, 64, 'BGRX', ['YUV420P', 'YUV444P'], ENCODING, %d, %d, (1, 1), {})\n"
                "i = e.get_info()\nprint(i['preset'], i['tuning'])\ne.clean()\n")
        for env, speed, quality, preset, tuning in self.DESIRED:
            rc, out, err = run_python(code % (quality, speed), env, optimize=not __debug__)
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.split(), [preset, tuning], env)

    def test_an_unknown_tuning_fails_the_import(self):
        rc, out, err = run_python("pass", {"TEVU_NVENC_TUNING": "fast"})
        self.assertNotEqual(rc, 0)
        self.assertIn("ValueError: TEVU_NVENC_TUNING: unknown tuning 'fast', it must be one of 'high-quality', "
                      "'low-latency', 'ultra-low-latency'", err)


class RateControl(unittest.TestCase):
    """120 pictures of a moving desktop with a video panel at 1280x720, quality 50, taken as 30 frames per
    second."""

    W, H, FRAMES = 1280, 720, 120

    def encode_busy(self, e, first, count, speed, width, height, quality=50):
        return [e.compress_image(Image(width, height, busy_desktop_frame(width, height, i), timestamp=i * 33),
                                 quality, speed)[0] for i in range(first, first + count)]

    @unittest.skipUnless(ENCODING == "h264", "ffmpeg reports the quantisers of H.264 streams only")
    def test_streams_follow_the_target_within_the_quantiser_range(self):
        lowest, highest = quantiser_range(50)
        results = {}
        for speed in (20, 50, 80):
            e = new_encoder(self.W, self.H, 50, speed, dst=("YUV420P",))
            try:
                data = b"".join(self.encode_busy(e, 0, self.FRAMES, speed, self.W, self.H))
                target = e.get_info()["bitrate"]
            finally:
                e.clean()
            quantisers = frame_quantisers(data)
            self.assertEqual(len(quantisers), self.FRAMES)
            for kind, low, high, _ in quantisers:
                self.assertGreaterEqual(low, lowest, (speed, kind))
                self.assertLessEqual(high, highest, (speed, kind))
            results[speed] = (8.0 * len(data) / (self.FRAMES / 30.0), target)
        # A higher speed asks for a higher bitrate, and gets a larger stream.
        self.assertLess(results[20][0], results[50][0])
        self.assertLess(results[50][0], results[80][0])
        # Speed 20 asks for less than the quantiser range can go down to, speed 80 for more than it can
        # reach: their bitrates bound what the range allows. Speed 50's target lies within, and is met.
        (low, low_target), (high, high_target) = results[20], results[80]
        self.assertGreater(low, low_target)
        self.assertLess(high, high_target)
        bitrate, target = results[50]
        self.assertTrue(low < target < high, (low, target, high))
        self.assertLess(abs(bitrate - target) / target, 0.35, (bitrate, target))

    # (quality, speed) before and after, and whether the pictures then grow: a new bitrate; a speed that
    # would rank another preset and tuning (quality 60's range is met before either bitrate); a quality
    # that moves the quantiser range but keeps the format; both at once.
    LIVE_CHANGES = [((50, 20), (50, 90), True), ((60, 10), (60, 100), False), ((50, 20), (56, 20), False),
                    ((50, 20), (56, 90), True)]

    def test_speed_and_quality_changes_keep_the_stream_going(self):
        w, h = 640, 480
        for (quality, speed), (new_quality, new_speed), grows in self.LIVE_CHANGES:
            e = new_encoder(w, h, quality, speed, dst=("YUV420P",))
            try:
                first = self.encode_busy(e, 0, 30, speed, w, h, quality)
                before = e.get_info()
                then = self.encode_busy(e, 30, 30, new_speed, w, h, new_quality)
                after = e.get_info()
            finally:
                e.clean()
            case = (quality, speed, new_quality, new_speed)
            # The session keeps its preset and tuning; only its rate control moves.
            self.assertEqual((after["preset"], after["tuning"]), (before["preset"], before["tuning"]), case)
            self.assertEqual(after["bitrate"] > before["bitrate"], new_speed > speed, case)
            stream = b"".join(first + then)
            self.assertEqual(key_pictures(stream), [True], case)
            frames, width, height, _ = decode_data(stream, strict=True)
            self.assertEqual((frames, width, height), (60, w, h), case)
            lowest, highest = quantiser_range(new_quality)
            for kind, low, high, _ in frame_quantisers(stream)[30:] if ENCODING == "h264" else []:
                self.assertTrue(lowest <= low <= high <= highest, (case, kind, low, high))
            # (libaom 3.6, the AV1 stand-in, does not spend more of a higher variable bitrate in its real-time mode)
            if grows and ENCODING != "av1":
                self.assertGreater(sum(len(d) for d in then[5:]), sum(len(d) for d in first[5:]), case)

    @unittest.skipUnless(support()[1], "the encoding has no lossless mode")
    def test_lossless_444_decodes_exactly(self):
        e = new_encoder(96, 64, 100, 50, dst=BOTH)
        stream = Stream(96, 64)
        try:
            for i in range(4):
                pixels = desktop_frame(96, 64, i)
                data, options = e.compress_image(Image(96, 64, pixels, timestamp=i), 100, 50)
                self.assertTrue(options.get("lossless"))
                stream.add(data, pixels, fmt(e.get_info()))
        finally:
            e.clean()
        stream.check(self, "lossless")


class Drivers(unittest.TestCase):
    # A library too old for API 12.0, or one without an entry point it cannot do without: refused as it
    # loads, with NvEncodeAPICreateInstance left None, before any session.
    REFUSED_LIBRARIES = [
        ({"NVENC_EMU_MAX_API": "11.1"},
         "nvenc: the driver supports NVENC API 11.1, this module needs 12.0 or later (driver 520 or later)"),
        ({"NVENC_EMU_EMPTY_SLOTS": "nvEncGetEncodePresetConfigEx"},
         "nvenc: the driver's NVENC library has no nvEncGetEncodePresetConfigEx"),
    ]

    def test_a_library_that_cannot_serve_is_refused_before_any_session(self):
        folder = tempfile.mkdtemp(prefix="tevu-api12-")
        trace = os.path.join(folder, "trace")
        code = ("try:\n    m.init_module()\nexcept Exception as e:\n    print(type(e).__name__, e)\n"
                "print(m.context_counter.get(), m.NvEncodeAPICreateInstance)\n")
        for env, message in self.REFUSED_LIBRARIES:
            env = dict(env, NVENC_EMU_TRACE=trace)
            rc, out, err = run_python(code, env, optimize=not __debug__)
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.splitlines(), ["Exception " + message, "0 None"], env)
            calls = [name for name, _ in read_trace(trace)] if os.path.exists(trace) else []
            self.assertNotIn("nvEncOpenEncodeSessionEx", calls, env)
            if os.path.exists(trace):
                os.remove(trace)
        os.rmdir(folder)

    LEGACY_OFF = {"NVENC_EMU_LEGACY_PRESETS": "0", "TEVU_NV_DRIVER_VERSION": "346.59"}

    def test_a_driver_from_590_on(self):
        encode_code = ("m.init_module()\ne = m.Encoder()\n"
                       "e.init_context(64, 64, 'BGRX', ['YUV420P'], ENCODING, 50, 50, (1, 1), {})\n"
                       "from tevu_testsupport.frames import Image, busy_desktop_frame, desktop_frame\n"
                       "data = [e.compress_image(Image(64, 64, desktop_frame(64, 64, i), timestamp=i))[0]"
                       " for i in range(3)]\ne.clean()\n"
                       "import sys\nsys.stdout.write(str(len(b''.join(data))))\n")
        rc, out, err = run_python(encode_code, self.LEGACY_OFF, optimize=not __debug__)
        self.assertEqual(rc, 0, err)
        self.assertGreater(int(out), 0)
        code = ("from tevu.log import capture\nwith capture() as records:\n    try:\n        m.init_module()\n"
                "    except Exception as e:\n        print('FAILED', e)\n"
                "for r in capture.messages(records):\n    print(r)\n")
        hint = ("nvenc: this driver offers only the presets of NVENC API 10 and later (drivers from 590 on): "
                "use tevu.codecs.nvenc12")
        for other in ("tevu.codecs.nvenc5.encoder", "tevu.codecs.nvenc4.encoder"):
            rc, out, err = run_python("import importlib\nm = importlib.import_module(%r)\n" % other + code,
                                      self.LEGACY_OFF, optimize=not __debug__)
            self.assertEqual(rc, 0, err)
            lines = out.splitlines()
            self.assertIn("FAILED no matching presets available for 'H264'!?", lines, other)
            self.assertIn(hint, lines, other)


class Faults(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_a_refused_bitrate_change_keeps_the_running_one(self):
        w, h = 640, 480  # large enough for speeds 20 and 90 to differ in bitrate
        e = new_encoder(w, h, 50, 20, dst=("YUV420P",))
        try:
            data = encode(e, 0, 3, 50, 20, w, h)
            before = e.get_info()["bitrate"]
            with environment(NVENC_EMU_FAIL="nvEncReconfigureEncoder=8@1"), capture() as records:
                data += encode(e, 3, 1, 50, 90, w, h)
            self.assertEqual(e.get_info()["bitrate"], before)
            messages = capture.messages(records)
            warnings = [r for r in messages if r.startswith("nvenc: could not change the bitrate: changing the bitrate")]
            self.assertEqual(len(warnings), 1, messages)
            data += encode(e, 4, 3, 50, 80, w, h)  # the next change goes through
            self.assertGreater(e.get_info()["bitrate"], before)
        finally:
            e.clean()
        frames, _, _, _ = decode_data(b"".join(data), strict=True)
        self.assertEqual(frames, 7)

    @unittest.skipUnless(support()[1], "the encoding does not switch format")
    def test_a_refused_preset_configuration_keeps_the_running_format(self):
        e = new_encoder(96, 64, 50, 50, dst=BOTH)
        stream = Stream(96, 64)
        try:
            for i in range(6):
                pixels = desktop_frame(96, 64, i)
                image = Image(96, 64, pixels, timestamp=i)
                if i == 2:
                    with environment(NVENC_EMU_FAIL="nvEncGetEncodePresetConfigEx=8"):
                        self.assertRaises(Exception, e.compress_image, image, 100, 50)
                    self.assertEqual(fmt(e.get_info()), ("NV12", False))
                    continue
                data, _ = e.compress_image(image, 100 if i > 2 else 50, 50)
                stream.add(data, pixels, fmt(e.get_info()))
        finally:
            e.clean()
        stream.check(self, "preset configuration refused", min_psnr=30.0)


if __name__ == "__main__":
    unittest.main()

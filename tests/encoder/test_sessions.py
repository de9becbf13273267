"""Encoder sessions end to end on the stand-ins: output a decoder plays, adaptation, failures, bad input."""

import os
import shutil
import sys
import tempfile
import threading
import time
import unittest

from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.nvenc import (API, CHECK_ERROR, CHOOSES_ENCODING, LeakCheck, encoded_as, load_initialised,
                                    new_encoder, run_python, support)
from tevu_testsupport.processes import environment
from tevu_testsupport.streams import ENCODING, decode, decode_data, plane_psnr, psnr, reference_yuv444

m = load_initialised()
from tevu.codecs.codec_constants import TransientCodecException  # noqa: E402
from tevu.log import capture  # noqa: E402


class Output(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)
        self.assertEqual(m.context_counter.get(), 0)

    def encode(self, encoder, frames, width, height, quality=None, speed=50):
        stream = os.path.join(self.dir, "out.h264")
        source = os.path.join(self.dir, "src.bgrx")
        options = []
        with open(stream, "wb") as s, open(source, "wb") as r:
            for i in range(frames):
                pixels = desktop_frame(width, height, i)
                q = encoder.get_info()["quality"] if quality is None else quality
                data, client = encoder.compress_image(Image(width, height, pixels, timestamp=1000 + 40 * i), q, speed)
                s.write(data)
                r.write(pixels)
                options.append(client)
        return stream, source, options

    def test_420_quality_50(self):
        e = new_encoder(320, 224, 50)
        stream, source, options = self.encode(e, 6, 320, 224, 50)
        e.clean()
        frames, w, h, _ = decode(stream)
        self.assertEqual((frames, w, h), (6, 320, 224))
        self.assertGreaterEqual(psnr(stream, source, 320, 224), 38.0)
        self.assertEqual([o["frame"] for o in options], list(range(6)))
        self.assertEqual([o["pts"] for o in options], [40 * i for i in range(6)])
        self.assertEqual(options[0], {"frame": 0, "pts": 0, "speed": 50, "quality": 50})

    @unittest.skipUnless(support()[0], "the encoding has no 4:4:4")
    def test_444_quality_90(self):
        e = new_encoder(256, 192, 90)
        self.assertEqual(e.get_info()["pixel_format"], "YUV444P")
        stream, source, options = self.encode(e, 3, 256, 192, 90)
        e.clean()
        frames, w, h, planes = decode(stream, "yuv444p")
        self.assertEqual((frames, w, h), (3, 256, 192))
        with open(source, "rb") as f:
            pixels = f.read()
        size = 256 * 192 * 4
        reference = b"".join(reference_yuv444(pixels[i * size:(i + 1) * size], 256, 192) for i in range(3))
        self.assertGreaterEqual(plane_psnr(planes, reference), 38.0)
        self.assertEqual(options[2]["quality"], 90)

    @unittest.skipUnless(support()[1], "the encoding has no lossless mode")
    def test_lossless_matches_kernel_output(self):
        width = height = 64
        e = new_encoder(width, height, 100)
        self.assertEqual(e.get_info()["lossless"], 1)
        pixels = desktop_frame(width, height, 3)
        data, options = e.compress_image(Image(width, height, pixels), 100, 50)
        e.clean()
        self.assertEqual((options["quality"], options["lossless"]), (100, True))
        frames, w, h, planes = decode_data(data, "yuv444p")
        self.assertEqual((frames, w, h), (1, width, height))
        self.assertEqual(planes, reference_yuv444(pixels, width, height))

    def test_scaling(self):
        e = new_encoder(320, 240, 50, scaling=(2, 3))
        info = e.get_info()
        self.assertEqual((info["encoder_width"], info["encoder_height"]), (224, 160))
        self.assertEqual((info["input_width"], info["input_height"], info["scaling"]), (320, 256, (2, 3)))
        stream, source, options = self.encode(e, 2, 320, 240, 50)
        e.clean()
        self.assertEqual(options[0]["scaled_size"], (224, 160))
        frames, w, h, _ = decode(stream)
        self.assertEqual((frames, w, h), (2, 224, 160))

    def test_quality_change_switches_format_before_next_frame(self):
        e = new_encoder(256, 160, 40)
        self.assertEqual(e.get_info()["pixel_format"], "NV12")
        stream = os.path.join(self.dir, "switch.h264")
        formats = []
        with open(stream, "wb") as s:
            for i, q in enumerate([40, 40, 100, 100, 40, 40]):
                data, options = e.compress_image(Image(256, 160, desktop_frame(256, 160, i), timestamp=i), q, 50)
                s.write(data)
                formats.append((e.get_info()["pixel_format"], options.get("lossless", False)))
        e.clean()
        self.assertEqual(formats, [encoded_as(kind) for kind in
                                   [("NV12", False)] * 2 + [("YUV444P", True)] * 2 + [("NV12", False)] * 2])
        frames, w, h, _ = decode(stream)
        self.assertEqual(frames, 6)


class Lifecycle(unittest.TestCase):
    def test_counters_clean_and_reports(self):
        gen = m.context_gen_counter.get()
        e = new_encoder()
        self.assertEqual((m.context_counter.get(), m.context_gen_counter.get()), (1, gen + 1))
        self.assertFalse(e.is_closed())
        self.assertEqual(repr(e), "nvenc(BGRX/NV12 - %s - 320x240)" % e.get_info()["preset"])
        e.compress_image(Image(320, 240, desktop_frame(320, 240, 0)))
        self.assertEqual(e.get_info()["context_count"], 1)
        e.clean()
        self.assertTrue(e.is_closed())
        self.assertEqual((m.context_counter.get(), e.get_info()["context_count"]), (0, 0))
        self.assertEqual((e.get_width(), e.get_src_format(), repr(e)), (0, "", "nvenc(/ -  - 0x0)"))
        e.clean()
        self.assertRaises(CHECK_ERROR, e.compress_image, Image(32, 32, b"\0" * 4096))

    def test_defaults_minus_one_and_bitrate(self):
        e = new_encoder(1024, 1024, 50, 0)
        self.assertEqual(e.get_info()["bitrate"], 1000000)
        e.set_encoding_speed(100)
        self.assertEqual(e.get_info()["bitrate"], 52428800)
        e.compress_image(Image(1024, 1024, desktop_frame(64, 64, 0) * 256))
        info = e.get_info()
        self.assertEqual((info["speed"], info["quality"]), (-1, -1))
        e.clean()

    def test_destruction_releases_session(self):
        e = new_encoder()
        e.compress_image(Image(320, 240, desktop_frame(320, 240, 0)))
        del e
        self.assertEqual(m.context_counter.get(), 0)


class PresetChoice(unittest.TestCase):
    """The preset each set-up chose, with what it was chosen for, as get_info() reports them."""

    CODE = ("m.init_module()\n"
            "for q, s, dst in %r:\n"
            "    e = m.Encoder()\n"
            "    e.init_context(64, 64, 'BGRX', dst, ENCODING, q, s, None)\n"
            "    info = e.get_info()\n"
            "    print(info['preset'], info['quality'], info['speed'], info['pixel_format'], info['lossless'])\n"
            "    e.clean()\n")
    # quality, speed, accepted formats -> the scored choice, pixel format, lossless. The API-12.0 module
    # scores p1 to p7 alone: a lossless stream takes the best-scored of them (its lossless tuning is
    # test_api12's).
    CASES = [((50, 50, ["YUV420P"]), ("default", "NV12", "0")), ((80, 80, ["YUV420P"]), ("bd", "NV12", "0")),
             ((0, 100, ["YUV420P"]), ("low-latency-hp", "NV12", "0")),
             ((100, 0, ["YUV444P"]), ("lossless", "YUV444P", "1")),
             ((100, 100, ["YUV444P"]), ("lossless-hp", "YUV444P", "1"))]
    if API == 12:
        CASES = [((50, 50, ["YUV420P"]), ("p4", "NV12", "0")), ((80, 80, ["YUV420P"]), ("p5", "NV12", "0")),
                 ((0, 100, ["YUV420P"]), ("p1", "NV12", "0")), ((100, 0, ["YUV444P"]), ("p7", "YUV444P", "1")),
                 ((100, 100, ["YUV444P"]), ("p7", "YUV444P", "1"))]
    # A preset the driver offers, and names it does not (for the API-12.0 module, another API's preset too).
    DESIRED = "p2" if API == 12 else "hq"
    NOT_OFFERED = ["no-such-preset"] + (["hq"] if API == 12 else [])

    def choices(self, **env):
        """(preset, pixel format, lossless) of each case's set-up; its quality and speed are checked here."""
        env.setdefault("TEVU_NV_DRIVER_VERSION", "346.59")
        rc, out, err = run_python(self.CODE % ([case for case, _ in self.CASES],), env)
        self.assertEqual(rc, 0, err)
        lines = [line.split() for line in out.splitlines()]
        self.assertEqual([(int(q), int(s)) for _, q, s, _, _ in lines], [case[:2] for case, _ in self.CASES])
        return [(preset, pixel_format, lossless) for preset, _, _, pixel_format, lossless in lines]

    def test_scored_choice(self):
        self.assertEqual(self.choices(), [expected for _, expected in self.CASES])

    def test_desired_preset_overrides_when_offered(self):
        formats = [expected[1:] for _, expected in self.CASES]
        self.assertEqual(self.choices(TEVU_NVENC_PRESET=self.DESIRED), [(self.DESIRED,) + f for f in formats])
        for name in self.NOT_OFFERED:
            self.assertEqual(self.choices(TEVU_NVENC_PRESET=name), [expected for _, expected in self.CASES], name)


class BadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.e = new_encoder(320, 240)

    @classmethod
    def tearDownClass(cls):
        cls.e.clean()

    def test_images(self):
        full = desktop_frame(320, 240, 0)

        class NoPixels(Image):
            def get_pixels(self):
                return None

        class Planar(Image):
            def get_planes(self):
                return 3

        cases = [
            (NoPixels(320, 240, full), CHECK_ERROR, "failed to get pixels from"),
            (Planar(320, 240, full), CHECK_ERROR, "invalid number of planes: 3"),
            (Image(354, 240, full + full), CHECK_ERROR, "invalid width: 354"),
            (Image(320, 258, full * 2), CHECK_ERROR, "invalid height: 258"),
            (Image(320, 240, full[:1000]), ValueError, "not enough pixels"),
            (Image(320, 240, full * 10), Exception, "too many pixels"),  # the module's generic failure
            (Image(320, 240, full, stride=100), ValueError, "invalid rowstride 100"),
            (Image(320, 240, full[:-8], stride=5000), ValueError, "not enough pixels"),
        ]
        for image, error, text in cases:
            with self.assertRaises(error) as c:
                self.e.compress_image(image)
            self.assertIn(text, str(c.exception))
            if error is Exception:
                self.assertIs(type(c.exception), Exception)
        self.assertRaises(AttributeError, self.e.compress_image, None)
        self.assertRaises(TypeError, self.e.compress_image, Image(320, 240, full), "x")

    def test_large_stride_and_odd_extra_row(self):
        stride = 320 * 4 + 4096
        rows = desktop_frame(320, 241, 0)
        padded = b"".join(rows[y * 1280:(y + 1) * 1280] + b"\x7f" * 4096 for y in range(241))
        data, options = self.e.compress_image(Image(321, 241, padded, stride=stride, timestamp=5))
        self.assertTrue(len(data) > 0)

    def test_timestamp_before_first_frame(self):
        e = new_encoder(64, 64)
        try:
            e.compress_image(Image(64, 64, b"\0" * 64 * 64 * 4, timestamp=100))
            self.assertRaises(OverflowError, e.compress_image, Image(64, 64, b"\0" * 64 * 64 * 4, timestamp=50))
            data, options = e.compress_image(Image(64, 64, b"\0" * 64 * 64 * 4, timestamp=150))
            self.assertEqual((options["frame"], options["pts"]), (1, 50))
        finally:
            e.clean()

    def test_init_context_arguments(self):
        e = m.Encoder()
        self.assertRaises(TypeError, e.init_context, "w", 240, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
        self.assertRaises(TypeError, e.init_context, 320, 240, "BGRX", ["YUV420P"], ENCODING, 50, 50)
        self.assertRaises(ValueError, e.init_context, 0, 240, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
        self.assertRaises(ValueError, e.init_context, 1 << 20, 240, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
        self.assertRaises(ValueError, e.init_context, 320, 240, "BGRX", ["YUV420P"], ENCODING, 50, 50, (1, 2, 3))
        if CHOOSES_ENCODING:
            # refused in every mode, before anything is allocated: text that get_encodings() lists
            counters = (m.context_counter.get(), m.context_gen_counter.get())
            for encoding in ["vp8", 265, None, "H264"] + ([b"h265"] if bytes is not str else []):
                with self.assertRaises(ValueError) as c:
                    e.init_context(320, 240, "BGRX", ["YUV420P"], encoding, 50, 50, None)
                self.assertEqual(str(c.exception), "init_context: invalid encoding %r, it must be one of %s"
                                 % (encoding, m.get_encodings()))
                self.assertEqual((m.context_counter.get(), m.context_gen_counter.get()), counters)
        elif __debug__:  # a plain assertion: python -O skips it
            with self.assertRaises(AssertionError) as c:
                e.init_context(320, 240, "BGRX", ["YUV420P"], "vp8", 50, 50, None)
            self.assertEqual(str(c.exception), "invalid encoding vp8")
        with self.assertRaises(Exception) as c:
            e.init_context(320, 240, "BGRX", ["RGB"], ENCODING, 50, 50, None)
        self.assertEqual(str(c.exception), "no compatible formats found!")
        self.assertEqual(m.context_counter.get(), 1)


class Types(unittest.TestCase):
    """What the module takes and gives: any contiguous buffer as pixels, byte strings as pictures, the
    interpreter's str as names and keys, int as integers."""

    def test_pixel_objects_and_results(self):
        import array
        import mmap
        raw = desktop_frame(64, 64, 0)
        mapped = mmap.mmap(-1, len(raw))
        mapped.write(raw)
        e = new_encoder(64, 64)
        try:
            for pixels in [raw, bytearray(raw), memoryview(raw), array.array("B", raw), mapped]:
                data, options = e.compress_image(Image(64, 64, pixels))
                self.assertIs(type(data), bytes, type(pixels))
                self.assertEqual(set(type(k) for k in options), set([str]))
            info = e.get_info()
            self.assertEqual(set(type(k) for k in info), set([str]))
            self.assertEqual((type(info["pixel_format"]), type(info["width"])), (str, int))
            if sys.version_info[0] >= 3:
                # text is no pixel data, and neither are bytes that are not contiguous
                for pixels, text in [(raw.decode("latin-1"), "str"), (memoryview(raw * 2)[::2], "memoryview")]:
                    with self.assertRaises(TypeError) as c:
                        e.compress_image(Image(64, 64, pixels))
                    self.assertIn(text, str(c.exception))
        finally:
            e.clean()
            mapped.close()


class Failures(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def assert_driver_message(self, records, entry, status):
        """The API-12.0 module warns with the driver's own text of a failed call of an open session (the
        stand-in's names the entry point and the status); the other two have no such text to tell."""
        told = [r.message for r in records if r.message.startswith("nvenc: driver message: ")]
        expected = []
        if API == 12:
            expected = ["nvenc: driver message: %s: failure injected by NVENC_EMU_FAIL (status %d)" % (entry, status)]
            self.assertEqual([r.level for r in records if r.message in expected], ["warn"], entry)
        self.assertEqual(told, expected, entry)

    # How drivers of different years tell a full GPU: each is a shortage to wait out.
    SESSION_LIMIT_STATUSES = [("2", "NV_ENC_ERR_UNSUPPORTED_DEVICE"), ("10", "NV_ENC_ERR_OUT_OF_MEMORY"),
                              ("21", "NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY")]

    def test_session_limit(self):
        for status, name in self.SESSION_LIMIT_STATUSES:
            m.last_context_failure = 0
            with environment(NVENC_EMU_MAX_SESSIONS="1", NVENC_EMU_SESSION_LIMIT_STATUS=status):
                first = new_encoder(64, 64)
                second = m.Encoder()
                try:
                    with self.assertRaises(TransientCodecException) as c:
                        second.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
                    self.assertEqual(str(c.exception), "%s: could not open encode session (out of resources / no "
                                     "more codec contexts?)" % name)
                    self.assertGreater(m.last_context_failure, time.time() - 5)
                    self.assertLess(m.get_runtime_factor(), 1.0 / 50)
                    self.assertEqual(m.context_counter.get(), 1)
                finally:
                    second.clean()
                    first.clean()
                # The refused session's handle was given back: the place is free again.
                second.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
                data, _ = second.compress_image(Image(64, 64, b"\0" * 64 * 64 * 4))
                second.clean()
            self.assertGreater(len(data), 0, status)
        m.last_context_failure = 0

    def test_session_open_failure_without_handle(self):
        with environment(NVENC_EMU_FAIL="nvEncOpenEncodeSessionEx=8@1"):
            e = m.Encoder()
            with self.assertRaises(Exception) as c:
                e.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
            e.clean()
        self.assertEqual(str(c.exception), "cannot open encoding session, context is NULL")

    SETUP_FAILURES = [
        ("nvEncGetEncodeGUIDCount", 8, "getting encoder count"),
        ("nvEncGetEncodeGUIDs", 8, "getting list of encode GUIDs"),
        ("nvEncGetEncodePresetGUIDs", 8, "getting encode presets"),
        ("nvEncGetInputFormatCount", 8, "getting input format count"),
        ("nvEncGetInputFormats", 8, "getting input formats"),
        ("nvEncInitializeEncoder", 12, "initializing encoder"),
        ("nvEncRegisterResource", 23, "registering CUDA input buffer"),
        ("nvEncCreateBitstreamBuffer", 10, "creating output buffer"),
    ]

    def test_setup_entry_points_failing(self):
        for entry, status, text in self.SETUP_FAILURES:
            with environment(NVENC_EMU_FAIL="%s=%d@1" % (entry, status)), capture() as records:
                e = m.Encoder()
                with self.assertRaises(m.NVENCException) as c:
                    e.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
                e.clean()
            self.assert_driver_message(records, entry, status)
            self.assertEqual((c.exception.code, c.exception.function), (status, text), entry)
            self.assertEqual(str(c.exception), "%s - returned %d: %s" % (text, status, m.NV_ENC_STATUS_TXT[status]))
            self.assertEqual(m.context_counter.get(), 0, entry)

    FRAME_FAILURES = [
        ("nvEncMapInputResource", 16, "mapping input resource"),
        ("nvEncEncodePicture", 8, "error during picture encoding"),
        ("nvEncLockBitstream", 13, "locking output buffer"),
        ("nvEncUnlockBitstream", 8, "unlocking output buffer"),
        ("nvEncUnmapInputResource", 25, "unmapping input resource"),
    ]

    def test_frame_entry_points_failing_leave_encoder_usable(self):
        e = new_encoder(64, 64)
        try:
            pixels = b"\x40" * 64 * 64 * 4
            for entry, status, text in self.FRAME_FAILURES:
                with environment(NVENC_EMU_FAIL="%s=%d@1" % (entry, status)), capture() as records:
                    with self.assertRaises(m.NVENCException) as c:
                        e.compress_image(Image(64, 64, pixels))
                    self.assertEqual((c.exception.code, c.exception.function), (status, text))
                self.assert_driver_message(records, entry, status)
                # the release ran: the next frame goes through
                data, options = e.compress_image(Image(64, 64, pixels))
                self.assertTrue(len(data) > 0, entry)
        finally:
            e.clean()

    def test_teardown_failure_releases_everything(self):
        for entry, text in [("nvEncUnregisterResource", "unregistering CUDA input buffer"),
                            ("nvEncDestroyBitstreamBuffer", "destroying output buffer"),
                            ("nvEncEncodePicture", "flushing encoder buffer"),
                            ("nvEncDestroyEncoder", "destroying context")]:
            e = new_encoder(64, 64)
            e.compress_image(Image(64, 64, b"\0" * 64 * 64 * 4))
            with environment(NVENC_EMU_FAIL="%s=8@1" % entry), capture() as records:
                with self.assertRaises(m.NVENCException) as c:
                    e.clean()
            self.assertEqual(c.exception.function, text)
            self.assert_driver_message(records, entry, 8)
            self.assertEqual(m.context_counter.get(), 0, entry)
            self.assertTrue(e.is_closed())
            e.clean()

    def test_cuda_out_of_memory_at_context_creation(self):
        m.last_context_failure = 0
        with environment(CUDA_EMU_FAIL="cuCtxCreate=2@1"):
            e = m.Encoder()
            with self.assertRaises(TransientCodecException) as c:
                e.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
            e.clean()
        self.assertTrue(str(c.exception).startswith("could not initialize cuda: "))
        self.assertGreater(m.last_context_failure, 0)
        m.last_context_failure = 0

    def test_logic_error_during_frame_retried_once(self):
        e = new_encoder(64, 64)
        try:
            pixels = b"\x20" * 64 * 64 * 4
            e.compress_image(Image(64, 64, pixels, timestamp=10), 60, 40)
            generation = e.get_info()["generation"]
            with environment(CUDA_EMU_FAIL="cuLaunchKernel=719@1"):
                data, options = e.compress_image(Image(64, 64, pixels, timestamp=20), 60, 40)
            # rebuilt once: a new session, whose first frame this is
            self.assertEqual(e.get_info()["generation"], generation + 1)
            self.assertEqual((options["frame"], options["pts"], options["speed"]), (0, 0, 40))
            info = e.get_info()
            self.assertEqual((info["width"], info["height"], info["quality"]), (64, 64, 60))
            self.assertEqual(m.context_counter.get(), 1)
            with environment(CUDA_EMU_FAIL="cuLaunchKernel=719"):
                self.assertRaises(m.CUDALogicError, e.compress_image, Image(64, 64, pixels))
            with environment(CUDA_EMU_FAIL="cuLaunchKernel=719@1"):
                self.assertRaises(m.CUDALogicError, e.compress_image, Image(64, 64, pixels), retry=1)
        finally:
            e.clean()

    def test_failed_setup_leaves_no_context_current(self):
        import ctypes
        cuda = ctypes.CDLL("libcuda.so")
        with environment(NVENC_EMU_CAPS="33=0", NVENC_EMU_FAIL="nvEncGetInputFormats=8@1"):
            e = m.Encoder()
            self.assertRaises(m.NVENCException, e.init_context, 64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
        current = ctypes.c_void_p()
        cuda.cuCtxGetCurrent(ctypes.byref(current))
        self.assertIsNone(current.value)
        e.clean()


class ModuleInitialisation(unittest.TestCase):
    CODE = ("from tevu.log import capture\nwith capture() as records:\n"
            "    try:\n        m.init_module()\n        print('ok', m.YUV444_ENABLED, m.LOSSLESS_ENABLED)\n"
            "    except Exception as e:\n        print('failed', e)\n"
            "print('warnings:', ' | '.join(capture.messages(records, 'warn')))\n")

    def init(self, **env):
        rc, out, err = run_python(self.CODE, env)
        self.assertEqual(rc, 0, err)
        outcome, warnings = out.strip().split("\n")
        self.warnings = warnings[len("warnings: "):]
        return outcome

    # (driver version, TEVU_NVENC_YUV444P, outcome of the API-4.0 and 5.0 modules, of the API-12.0 one):
    # drivers newer than the host's list knows (from 350 on) may or may not serve the older APIs, and
    # lose 4:4:4 and lossless there unless the user insists; the API-12.0 module's library check vouches
    # for them.
    VERDICTS = [
        ("346.59", None, "ok True True", "ok True True"),
        ("330.10", None, "failed NVidia driver version 330.10 is blacklisted, it does not work with NVENC",
         "failed NVidia driver version 330.10 is blacklisted, it does not work with NVENC"),
        ("361.1", "0", "ok False False", "ok True True"),
        ("361.1", "1", "ok True True", "ok True True"),
        ("580.65", None, "ok False False", "ok True True"),
    ]

    def test_verdicts_and_probes(self):
        for version, yuv444p, older, api12 in self.VERDICTS:
            env = {"TEVU_NV_DRIVER_VERSION": version}
            if yuv444p is not None:
                env["TEVU_NVENC_YUV444P"] = yuv444p
            self.assertEqual(self.init(**env), api12 if API == 12 else older, env)
            doubted = int(version.split(".")[0]) > 350
            self.assertEqual("may or may not work" in self.warnings, doubted and API != 12, (env, self.warnings))
        self.assertEqual(self.init(TEVU_NV_DRIVER_VERSION="346.59", NVENC_EMU_CAPS="33=0"), "ok False False")
        self.assertEqual(self.init(TEVU_NV_DRIVER_VERSION="346.59", NVENC_EMU_CAPS="34=0"), "ok True False")

    def test_version_mismatch(self):
        if API == 4:
            self.skipTest("an API-4.0 client is accepted by an API-4.0 driver")
        if API == 12:
            # Refused from the newest API the library tells, before any session; a 12.x library serves.
            refusal = ("failed nvenc: the driver supports NVENC API %s, this module needs 12.0 or later "
                       "(driver 520 or later)")
            for newest, expected in [("4.0", refusal % "4.0"), ("5.0", refusal % "5.0"), ("11.1", refusal % "11.1"),
                                     ("12.0", "ok True True"), ("12.2", "ok True True")]:
                self.assertEqual(self.init(TEVU_NV_DRIVER_VERSION="346.59", NVENC_EMU_MAX_API=newest), expected,
                                 newest)
            return
        self.assertEqual(self.init(TEVU_NV_DRIVER_VERSION="346.59", NVENC_EMU_MAX_API="4.0"),
                         "failed version mismatch, you need a newer/older codec build or newer/older drivers")

    def test_selftest(self):
        rc, out, err = run_python("m.selftest()\nprint(m.YUV444_ENABLED)\nm.selftest(True)\nprint(m.YUV444_ENABLED)\n",
                                  {"TEVU_NV_DRIVER_VERSION": "346.59"})
        self.assertEqual((rc, out.split()), (0, ["None", "True"]), err)


class Threads(unittest.TestCase):
    def test_two_encoders_progress_together(self):
        """While one thread is inside an NVENC call, the other keeps compressing."""
        encoders = [new_encoder(640, 480), new_encoder(640, 480)]
        pixels = desktop_frame(640, 480, 0)
        spans = [[], []]

        def work(i):
            for n in range(6):
                start = time.time()
                encoders[i].compress_image(Image(640, 480, pixels, timestamp=n))
                spans[i].append((start, time.time()))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for e in encoders:
            e.clean()
        overlaps = sum(1 for a in spans[0] for b in spans[1] if a[0] < b[1] and b[0] < a[1])
        self.assertGreater(overlaps, 0)


class LeakReport(unittest.TestCase, LeakCheck):
    def test_failure_suite_leaks_nothing(self):
        self.assert_no_leaks(__file__, "Failures", "Lifecycle")


if __name__ == "__main__":
    unittest.main()

"""What a client receives stays a decodable stream whatever fails: a picture lost after the session
encoded it, image methods and threads that call back into the encoder, a driver error that lasts,
pictures larger than the output buffer. Every stream is decoded by ffmpeg and compared with its source."""

import os
import random
import tempfile
import threading
import unittest

from tevu_testsupport.frames import Image, desktop_frame, noise
from tevu_testsupport.nvenc import (API, CHECK_ERROR, GPU_CHECK, MODULE_NAME, LeakCheck, fmt, load_initialised,
                                    new_encoder, run_python, support, trace_calls)
from tevu_testsupport.processes import environment
from tevu_testsupport.streams import ENCODING, Stream, decode_data, kernel_yuv444

m = load_initialised()
from tevu.log import capture  # noqa: E402

W, H = 128, 96
BUSY = "an encoder takes one call at a time"


class LostPictures(unittest.TestCase):
    """An entry point failing once after the session encoded the picture: the frame is lost (or, for the
    memory figures, kept), and the next picture starts afresh instead of referring to the lost one."""

    FAULTS = [
        ("NVENC_EMU_FAIL", "nvEncLockBitstream=8@1", True),
        ("NVENC_EMU_FAIL", "nvEncUnlockBitstream=8@1", True),
        ("NVENC_EMU_FAIL", "nvEncUnmapInputResource=8@1", True),
        ("CUDA_EMU_FAIL", "cuMemGetInfo=2@1", False),  # the picture is complete: it is returned
    ]
    # (quality of the frames before, quality of the faulted frame and after): a steady 4:2:0 stream, and a
    # lossless 4:4:4 stream switching back to 4:2:0 on the faulted frame (whose IDR is the one lost)
    STREAMS = [("steady", 50, 50), ("switch", 100, 40)]

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_stream_decodes_after_each_fault(self):
        for variable, rule, raises in self.FAULTS:
            for name, before, after in self.STREAMS:
                label = "%s %s" % (rule, name)
                e = new_encoder(W, H, before)
                stream = Stream(W, H)
                try:
                    for i in range(8):
                        quality = before if i < 3 else after
                        pixels = desktop_frame(W, H, i)
                        image = Image(W, H, pixels, timestamp=i)
                        if i == 3:
                            with environment(**{variable: rule}), capture() as records:
                                try:
                                    data, options = e.compress_image(image, quality, 50)
                                except (m.NVENCException, m.CUDAError) as x:
                                    self.assertTrue(raises, "%s: %s" % (label, x))
                                    continue
                            self.assertFalse(raises, "%s: the fault did not happen" % label)
                            self.assertTrue([r for r in capture.messages(records) if "memory" in r], label)
                        else:
                            data, options = e.compress_image(image, quality, 50)
                        stream.add(data, pixels, fmt(e.get_info()))
                finally:
                    e.clean()
                self.assertEqual(len(stream.pictures), 7 if raises else 8, label)
                stream.check(self, label)

    def test_failed_encode_then_recovery_keeps_the_stream(self):
        """A picture refused by the encode call itself: the next one is an IDR too."""
        e = new_encoder(W, H, 50)
        stream = Stream(W, H)
        try:
            for i in range(6):
                pixels = desktop_frame(W, H, i)
                with environment(NVENC_EMU_FAIL="nvEncEncodePicture=8@1" if i == 2 else ""):
                    try:
                        data, options = e.compress_image(Image(W, H, pixels, timestamp=i), 50, 50)
                    except m.NVENCException:
                        self.assertEqual(i, 2)
                        continue
                stream.add(data, pixels, fmt(e.get_info()))
        finally:
            e.clean()
        stream.check(self, "encode refused")


class Reentrancy(unittest.TestCase):
    """Image methods that call back into the encoder being compressed are refused and change nothing."""

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def hostile_image(self, e, pixels, method, calls, swallow):
        refused = []

        class Hostile(Image):
            pass

        def hook(*args):
            for call in calls:
                try:
                    call(e)
                    refused.append(None)
                except Exception as x:  # noqa: B902 - what the encoder raises is checked by the caller
                    if not swallow:
                        raise
                    refused.append(x)
            return getattr(image.wrapper, method)(*args)

        image = Hostile(W, H, pixels, timestamp=1)
        setattr(image, method, hook)
        return image, refused

    def test_callbacks_are_refused(self):
        small = lambda e: e.init_context(32, 32, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)  # noqa: E731
        calls = [lambda e: e.clean(), small, lambda e: e.get_info(), lambda e: e.compress_image(None)]
        for method in ("get_timestamp", "get_pixels", "get_planes", "get_width"):
            e = new_encoder(W, H)
            stream = Stream(W, H)
            try:
                pixels = desktop_frame(W, H, 0)
                # quality 50 throughout (the default -1 is a quality too, the lowest)
                data, options = e.compress_image(Image(W, H, pixels, timestamp=0), 50)
                stream.add(data, pixels, fmt(e.get_info()))
                pixels = desktop_frame(W, H, 1)
                image, refused = self.hostile_image(e, pixels, method, calls, True)
                data, options = e.compress_image(image, 50)
                self.assertEqual(len(refused), len(calls), method)
                for x in refused:
                    self.assertIsNotNone(x, "%s: a call back into the encoder went through" % method)
                    self.assertIn(BUSY, str(x))
                    self.assertIn("compress_image", str(x))
                self.assertEqual(options["frame"], 1, method)
                stream.add(data, pixels, fmt(e.get_info()))
                self.assertEqual((e.get_width(), e.get_height(), m.context_counter.get()), (W, H, 1))
                # a refusal that the image lets through fails the frame; the next one goes on
                image, _ = self.hostile_image(e, pixels, method, calls[:1], False)
                with self.assertRaises(Exception) as c:
                    e.compress_image(image)
                self.assertIn(BUSY, str(c.exception))
                pixels = desktop_frame(W, H, 2)
                data, options = e.compress_image(Image(W, H, pixels, timestamp=2), 50)
                self.assertEqual(options["frame"], 2, method)
                stream.add(data, pixels, fmt(e.get_info()))
            finally:
                e.clean()
            stream.check(self, method)

    def test_planes_comparison_calling_back(self):
        e = new_encoder(W, H)
        seen = []

        class Planes(object):
            def __eq__(self, other):
                try:
                    e.clean()
                except Exception as x:  # noqa: B902
                    seen.append(str(x))
                from tevu.codecs.image_wrapper import ImageWrapper
                return other == ImageWrapper.PACKED

            def __ne__(self, other):
                return not self.__eq__(other)

        image = Image(W, H, desktop_frame(W, H, 0))
        image.get_planes = lambda: Planes()
        try:
            data, options = e.compress_image(image)
            self.assertTrue(seen and BUSY in seen[0], seen)
            self.assertFalse(e.is_closed())
        finally:
            e.clean()


class Threads(unittest.TestCase):
    """clean() from one thread while another compresses: refused while a call is in progress."""

    ROUNDS = 25

    def test_clean_against_a_compressing_thread(self):
        """Even rounds start cleaning once a frame is inside compress_image (its image's timestamp was
        read), so that the refusal is met every time; odd rounds race freely from the first frame on."""
        width, height = 1024, 768
        pixels = desktop_frame(width, height, 0)
        outcomes = {"busy": 0, "cleaned": 0}
        for round_number in range(self.ROUNDS):
            e = new_encoder(width, height)
            errors = []
            started = threading.Event()

            class Signalling(Image):
                def get_timestamp(self):
                    started.set()
                    return self.wrapper.get_timestamp()

            def compress():
                try:
                    for i in range(20):
                        if round_number % 2:
                            started.set()
                        e.compress_image(Signalling(width, height, pixels, timestamp=i))
                except Exception as x:  # noqa: B902 - refused while clean() runs, or cleaned between two frames
                    cleaned = isinstance(x, CHECK_ERROR) and "context is not initialized" in str(x)
                    if BUSY not in str(x) and not cleaned:
                        errors.append(x)
                finally:
                    started.set()

            t = threading.Thread(target=compress)
            t.start()
            started.wait()
            while t.is_alive():
                try:
                    e.clean()
                    outcomes["cleaned"] += 1
                    break
                except Exception as x:  # noqa: B902
                    self.assertIn(BUSY, str(x))
                    outcomes["busy"] += 1
            t.join()
            e.clean()
            self.assertEqual(errors, [])
            self.assertEqual(m.context_counter.get(), 0)
        self.assertGreater(outcomes["busy"], 0, "clean() never met a frame in progress")


class Recovery(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    # Each rebuild opens a new session: get_info()'s "generation" counts them.

    def test_lasting_logic_error_rebuilds_once(self):
        for retry in (0, -(1 << 31), -1):
            e = new_encoder(W, H)
            try:
                e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
                generation = e.get_info()["generation"]
                with environment(CUDA_EMU_FAIL="cuLaunchKernel=1"):
                    self.assertRaises(m.CUDALogicError, e.compress_image, Image(W, H, desktop_frame(W, H, 1)),
                                      retry=retry)
                self.assertEqual(e.get_info()["generation"], generation + 1, "retry=%d" % retry)
                data, options = e.compress_image(Image(W, H, desktop_frame(W, H, 2)))
                self.assertEqual(options["frame"], 0)  # the rebuilt encoder's first frame
                self.assertEqual(e.get_info()["generation"], generation + 1, "retry=%d" % retry)
            finally:
                e.clean()

    def test_recovery_keeps_the_bitrate(self):
        e = new_encoder(640, 480, 50, 50)
        try:
            before = e.get_info()["bitrate"]
            self.assertEqual(before, 3075468)
            generation = e.get_info()["generation"]
            with environment(CUDA_EMU_FAIL="cuLaunchKernel=1@1"):
                data, options = e.compress_image(Image(640, 480, desktop_frame(640, 480, 0)), 50, 50)
            self.assertEqual(e.get_info()["generation"], generation + 1)
            self.assertEqual(e.get_info()["bitrate"], before)
        finally:
            e.clean()

    def test_failed_context_push_propagates(self):
        e = new_encoder(W, H)
        try:
            e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
            generation = e.get_info()["generation"]
            with environment(CUDA_EMU_FAIL="cuCtxPushCurrent=201@1"):
                self.assertRaises(m.CUDALogicError, e.compress_image, Image(W, H, desktop_frame(W, H, 1)))
            data, options = e.compress_image(Image(W, H, desktop_frame(W, H, 2)))
            self.assertEqual((options["frame"], e.get_info()["generation"]), (1, generation),
                             "the encoder was rebuilt")
        finally:
            e.clean()


@unittest.skipUnless(support()[1], "the encoding has no lossless mode")
class LargePictures(unittest.TestCase):
    """Lossless noise, larger than the output buffer made for the picture size: encoded, exact."""

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_noise_encodes_lossless_and_exact(self):
        rng = random.Random(17)
        for width, height in [(256, 256), (1920, 1088)]:
            frames = [noise(rng, width * height * 4) for _ in range(2)]
            e = new_encoder(width, height, 100)
            pictures = []
            try:
                for i, pixels in enumerate(frames):
                    data, options = e.compress_image(Image(width, height, pixels, timestamp=i), 100)
                    self.assertTrue(options.get("lossless"), "%dx%d" % (width, height))
                    pictures.append(data)
            finally:
                e.clean()
            self.assertGreater(len(pictures[0]), width * height * 3 // 2, "the noise was not hard enough")
            count, w, h, planes = decode_data(b"".join(pictures), "yuv444p", strict=True)
            self.assertEqual((count, w, h), (2, width, height))
            self.assertTrue(planes == kernel_yuv444(GPU_CHECK, b"".join(frames), width, height),
                            "%dx%d: the decoded pictures differ from the source" % (width, height))


class Reports(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_info_after_clean_reports_no_scaling(self):
        e = new_encoder(W, H, scaling=[1, 1])
        try:
            info = e.get_info()
            self.assertNotIn("scaling", info)
            data, options = e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
            self.assertNotIn("scaled_size", options)
        finally:
            e.clean()
        info = e.get_info()
        self.assertEqual((info["input_width"], info["input_height"], info["scaling"]), (0, 0, None))

    def test_unnamed_preset_without_configuration_is_shown_as_none(self):
        # The API-12.0 module reads the configurations with a tuning (the Ex call) and only that way.
        entry = "nvEncGetEncodePresetConfigEx" if API == 12 else "nvEncGetEncodePresetConfig"
        with environment(NVENC_EMU_EXTRA_PRESET="1", NVENC_EMU_FAIL="%s=8" % entry):
            e = m.Encoder()
            with capture() as records:
                self.assertRaises(Exception, e.init_context, W, H, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
            e.clean()
        warnings = [r for r in capture.messages(records) if r.startswith("failed to get preset config for")]
        self.assertTrue([r for r in warnings if r.startswith("failed to get preset config for None (")], warnings)
        self.assertFalse([r for r in warnings if "unknown!" in r], warnings)

    def test_returned_count_checks(self):
        """A driver whose list holds fewer items than its count said: only the codec list's check says so."""
        codecs = 3 if API == 12 else 2  # the stand-in lists H.264, HEVC and, to API 12.0 sessions, AV1
        cases = [("nvEncGetEncodeGUIDCount", "expected %d items but got %d" % (codecs + 1, codecs)),
                 ("nvEncGetEncodePresetCount", ""),
                 ("nvEncGetInputFormatCount", "")]
        for entry, message in cases:
            with environment(NVENC_EMU_OVERCOUNT=entry):
                e = m.Encoder()
                try:
                    if __debug__:
                        with self.assertRaises(AssertionError) as c:
                            e.init_context(W, H, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
                        self.assertEqual(str(c.exception), message, entry)
                    else:  # an assertion: skipped, and the items returned are used
                        e.init_context(W, H, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
                        self.assertFalse(e.is_closed())
                finally:
                    e.clean()

    def test_refused_session_destroy_ends_the_stream_once(self):
        trace = tempfile.mktemp(suffix=".trace")
        e = new_encoder(W, H)
        try:
            with environment(NVENC_EMU_TRACE=trace):
                e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
                with environment(NVENC_EMU_FAIL="nvEncDestroyEncoder=8"):
                    self.assertRaises(m.NVENCException, e.clean)
                    self.assertRaises(m.NVENCException, e.clean)
                e.clean()
            pictures = trace_calls(trace, "nvEncEncodePicture")
        finally:
            e.clean()
            if os.path.exists(trace):
                os.remove(trace)
        ends = [p for p in pictures if int(p.get("flags", "0"), 16) & 0x8]
        self.assertEqual(len(ends), 1, pictures)

    def test_destructor_report_names_the_module(self):
        code = ("import os\nos.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'\nm.init_module()\n"
                "from tevu.codecs.image_wrapper import ImageWrapper\n"
                "e = m.Encoder()\ne.init_context(64, 64, 'BGRX', ['YUV420P'], ENCODING, 50, 50, None)\n"
                "e.compress_image(ImageWrapper(64, 64, b'\\x10' * 64 * 64 * 4, 256, 0))\n"
                "os.environ['CUDA_EMU_FAIL'] = 'cuCtxDestroy=201@1'\n"
                "del e\nprint('deleted')\n")
        rc, out, err = run_python(code)
        self.assertEqual((rc, out.strip()), (0, "deleted"), err[-2000:])
        self.assertIn(MODULE_NAME + ".Encoder.__dealloc__", err)


class LeakReport(unittest.TestCase, LeakCheck):
    def test_these_suites_leak_nothing(self):
        self.assert_no_leaks(__file__, "LostPictures", "Reentrancy", "Recovery", "Reports")


if __name__ == "__main__":
    unittest.main()

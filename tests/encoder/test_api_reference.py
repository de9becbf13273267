"""What docs/api.md says of the encoder modules, where the other suites do not show it already: the -1
quality and speed, the checks that stay under python -O and those that are skipped, the module functions'
failures, the set-up's sizes and refusals, the format rules, the pictures returned, the reports, the
image protocol and the CUDA context between calls. The suite runs under python -O too."""

import ctypes
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.nvenc import (API, CHECK_ERROR, CHOOSES_ENCODING, ENCODINGS, LeakCheck, assert_plain_check, fmt,
                                    load_initialised, new_encoder, run_python, trace_calls)
from tevu_testsupport.processes import environment
from tevu_testsupport.streams import Stream, decode, frame_quantisers, psnr

m = load_initialised()
from tevu.log import capture  # noqa: E402

W, H = 128, 96
BOTH = ("YUV420P", "YUV444P")


def frame(e, i, quality=None, speed=None, width=W, height=H):
    """Compresses desktop frame i; quality and speed are passed only when given."""
    pixels = desktop_frame(width, height, i)
    args = [a for a in (quality, speed) if a is not None]
    data, options = e.compress_image(Image(width, height, pixels, timestamp=i), *args)
    return data, options, pixels


def picked(info, keys):
    return dict((k, info.get(k)) for k in keys)


def assert_one_picture(test, data, pixels, width, height, label="", min_psnr=38.0):
    """data decodes as one picture of width x height that matches the BGRX pixels."""
    tmp = tempfile.mkdtemp()
    try:
        path, source = os.path.join(tmp, "out.h264"), os.path.join(tmp, "src.bgrx")
        with open(path, "wb") as f, open(source, "wb") as r:
            f.write(data)
            r.write(pixels)
        test.assertEqual(decode(path)[:3], (1, width, height), label)
        test.assertGreaterEqual(psnr(path, source, width, height), min_psnr, label)
    finally:
        shutil.rmtree(tmp)


def outcome(code, env=None, optimize=not __debug__):
    """Runs code in a fresh interpreter with this suite's assertion mode; its printed lines."""
    rc, out, err = run_python(code, env, optimize=optimize)
    if rc != 0:
        raise AssertionError("child failed (%d): %s" % (rc, err[-3000:]))
    return out.splitlines()


class MinusOne(unittest.TestCase):
    """compress_image(image) without quality and speed stores -1 for both: no 'keep the current value'."""

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    # accepted output colourspaces, and the format the lossless stream falls to at quality -1
    CASES = [(BOTH, "NV12"), (("YUV444P",), "YUV444P")]

    def test_lossless_stream_falls_to_lossy_at_minus_one(self):
        for dst, fallen in self.CASES:
            e = new_encoder(W, H, 100, 50, dst=dst)
            stream = Stream(W, H)
            try:
                self.assertEqual(fmt(e.get_info()), ("YUV444P", True), dst)
                data, options, pixels = frame(e, 0, 100, 50)
                stream.add(data, pixels, fmt(e.get_info()))
                data, options, pixels = frame(e, 1)  # the quality and speed left out
                info = e.get_info()
                self.assertEqual((info["quality"], info["speed"], info["pixel_format"], info["lossless"]),
                                 (-1, -1, fallen, 0), dst)
                self.assertEqual((options["quality"], options["speed"], "lossless" in options), (-1, -1, False))
                stream.add(data, pixels, fmt(info))
                # the host that passes what it wants gets it back
                data, options, pixels = frame(e, 2, 100, 50)
                self.assertEqual((fmt(e.get_info()), options.get("lossless")), (("YUV444P", True), True))
                stream.add(data, pixels, fmt(e.get_info()))
            finally:
                e.clean()
            # the API-4.0 module gives quality -1 its coarsest quantisers: a lower bound for that lossy frame
            stream.check(self, "dst %s" % (dst,), min_psnr=30.0)

    def test_left_out_values_are_an_explicit_minus_one(self):
        """Large enough for the bitrate to be above its floor at speed 0, so that speed -1 shows in it."""
        keys = ("quality", "speed", "bitrate", "pixel_format", "lossless", "preset")
        left_out = new_encoder(2048, 1536, 90, 0, dst=("YUV444P",))
        explicit = new_encoder(2048, 1536, 90, 0, dst=("YUV444P",))
        try:
            at_zero = left_out.get_info()["bitrate"]
            frame(left_out, 0, width=64, height=64)
            explicit.set_encoding_quality(-1)
            explicit.set_encoding_speed(-1)
            self.assertEqual(picked(left_out.get_info(), keys), picked(explicit.get_info(), keys))
            self.assertEqual(left_out.get_info()["speed"], -1)
            self.assertLess(left_out.get_info()["bitrate"], at_zero)
        finally:
            left_out.clean()
            explicit.clean()


class OptimisedChecks(unittest.TestCase):
    """AssertionError with assertions on; under python -O the checks that guard memory raise the generic
    Exception with the same text, and the plain assertions are skipped."""

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def assert_check(self, call, message):
        with self.assertRaises(Exception) as c:
            call()
        self.assertIs(type(c.exception), CHECK_ERROR)
        self.assertEqual(str(c.exception), message)

    def test_memory_guards_stay(self):
        e = new_encoder(64, 40)  # rounded up to 64x64 inside
        try:
            frame(e, 0, 50, 50, 64, 64)
            wide, tall = desktop_frame(128, 40, 1), desktop_frame(64, 66, 1)
            cases = [(lambda: e.compress_image(Image(128, 40, wide)), "invalid width: 128"),
                     (lambda: e.compress_image(Image(66, 40, wide)), "invalid width: 66"),
                     (lambda: e.compress_image(Image(64, 66, tall)), "invalid height: 66"),
                     (lambda: e.init_buffers(), "the buffers are already initialized")]
            for call, message in cases:
                self.assert_check(call, message)
            # refused before anything was touched: the stream goes on
            data, options, pixels = frame(e, 2, 50, 50, 64, 64)
            self.assertEqual(options["frame"], 1)
        finally:
            e.clean()
        for call in (lambda: frame(e, 3, 50, 50, 64, 64), e.init_buffers):
            self.assert_check(call, "context is not initialized")

    def test_set_up_guards_stay(self):
        with environment(CUDA_EMU_FAIL="cuModuleGetFunction=500@1"):
            e = m.Encoder()
            try:
                self.assert_check(lambda: e.init_context(64, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None),
                                  "failed to load BGRA_to_NV12 for device 0")
            finally:
                e.clean()
        code = ("try:\n    m.init_module()\nexcept Exception as e:\n    print(type(e).__name__)\n    print(e)\n"
                "print(m.context_counter.get())\n")
        lines = outcome(code, {"CUDA_EMU_DEVICES": "0"})
        self.assertEqual(lines, [CHECK_ERROR.__name__, "no NVENC device found!", "0"])

    def test_plain_assertions_skipped(self):
        e = m.Encoder()
        try:
            cases = [
                (lambda: m.get_input_colorspaces("vp8"), "", ["BGRX"]),
                (lambda: m.get_spec("hevc", "BGRX").encoding,
                 "invalid format: hevc (must be one of %s" % m.get_encodings(), "hevc"),
                (lambda: m.get_spec("h264", "RGB").output_colorspaces,
                 "invalid colorspace: RGB (must be one of %s)" % m.get_COLORSPACES(), None),
            ] + ([] if CHOOSES_ENCODING else [
                (lambda: e.init_context(W, H, "BGRX", ["YUV420P"], "vp8", 50, 50, None), "invalid encoding vp8",
                 None)])
            for call, message, skipped in cases:
                assert_plain_check(self, call, message, skipped)
            if not __debug__ and not CHOOSES_ENCODING:  # the "vp8" encoder is an H.264 one: its stream decodes
                data, options, pixels = frame(e, 0, 50, 50)
                assert_one_picture(self, data, pixels, W, H)
        finally:
            e.clean()

    def test_set_up_before_init_module(self):
        code = ("e = m.Encoder()\n"
                "try:\n    e.init_context(64, 64, 'BGRX', ['YUV420P'], 'h264', 50, 50, None)\n"
                "except Exception as x:\n    print(type(x).__name__)\n    print(x)\n"
                "e.clean()\nprint(e.is_closed(), m.context_counter.get())\n")
        expected = (["AssertionError", "encoder module is not initialized"] if __debug__ else
                    ["TypeError", "'NoneType' object is not callable"])
        self.assertEqual(outcome(code), expected + ["True 0"])


INIT = ("try:\n    m.init_module()\n    print('ok %s %s' % (m.YUV444_ENABLED, m.LOSSLESS_ENABLED))\n"
        "except Exception as e:\n    print('failed ' + type(e).__name__)\n    print(e)\n"
        "print('sessions %d' % m.context_counter.get())\n")


class ModuleFunctions(unittest.TestCase):
    def init_module(self, **env):
        """(first line, message lines, open sessions) of init_module() in a fresh interpreter."""
        env.setdefault("TEVU_NV_DRIVER_VERSION", "346.59")
        lines = outcome(INIT, env)
        return lines[0], "\n".join(lines[1:-1]), lines[-1]

    def test_init_module_failures(self):
        refused = "initializing encoder - returned 8: " + m.NV_ENC_STATUS_TXT[8]
        cases = [
            ({"NVENC_EMU_FAIL": "nvEncInitializeEncoder=8@1"}, "failed Exception",
             "no NVENC v4 test encoder could be set up" if API == 4 else
             "error initializing a test context: " + refused),
            ({"NVENC_EMU_FAIL": "nvEncInitializeEncoder=15@1"}, "failed Exception",
             "version mismatch, you need a newer/older codec build or newer/older drivers"),
            ({"CUDA_EMU_FAIL": "cuCtxCreate=2@1"}, "failed TransientCodecException", "could not initialize cuda: "),
            ({"TEVU_NV_DRIVER_VERSION": "unknown"}, "ok True True" if API == 12 else "ok False False", ""),
            ({"TEVU_NV_DRIVER_VERSION": "unknown", "TEVU_NVENC_YUV444P": "1"}, "ok True True", ""),
        ]
        if API == 12:
            # A library older than API 12.0, or one that cannot tell its newest API, is refused first.
            too_old = "nvenc: the driver supports NVENC API %s, this module needs 12.0 or later (driver 520 or later)"
            cases += [
                ({"NVENC_EMU_MAX_API": "11.1"}, "failed Exception", too_old % "11.1"),
                ({"NVENC_EMU_MAX_API": "9.0"}, "failed Exception", too_old % "9.0"),
                ({"NVENC_EMU_FAIL": "NvEncodeAPIGetMaxSupportedVersion=1"}, "failed Exception",
                 too_old % "an unknown version"),
            ]
        for env, first, message in cases:
            got_first, got_message, sessions = self.init_module(**env)
            self.assertEqual((got_first, sessions), (first, "sessions 0"), env)
            self.assertTrue(got_message.startswith(message) and (message or not got_message), (env, got_message))

    def test_unknown_driver_warnings(self):
        """A driver of unknown standing: the API-4.0 and 5.0 modules doubt it, recommend the drivers they are
        made for and switch 4:4:4 and lossless off; the API-12.0 module, whose library check vouches for
        it, only says that the version is unknown. Each says it is ready."""
        code = ("from tevu.log import capture\nwith capture() as records:\n    m.init_module()\n"
                "for r in records:\n    print('%s|%s' % (r.level, r.message))\n")
        lines = [line.split("|", 1) for line in outcome(code, {"TEVU_NV_DRIVER_VERSION": "unknown"})]
        warnings = [text for level, text in lines if level == "warn"]
        doubts = [] if API == 12 else ["Warning: NVidia driver version unknown may or may not work",
                                       " recommended driver versions: up to 350 only",
                                       " disabling YUV444P and lossless mode",
                                       " use TEVU_NVENC_YUV444P=1 to force enable it"]
        unknown = warnings.index("Warning: unknown NVidia driver version")
        self.assertEqual(warnings[unknown:], ["Warning: unknown NVidia driver version"] + doubts)
        ready = "NVENC v%d successfully initialized" % API
        self.assertIn(["info", ready + (" with " + ", ".join(ENCODINGS) if CHOOSES_ENCODING else "")], lines)

    @unittest.skipIf(API == 5, "the API-5.0 module has no MIN_COMPUTE (test_api_differences shows it)")
    def test_min_compute_read_at_each_set_up(self):
        """The least compute capability a device needs: the stand-in's device (5.2) is refused once it is
        raised beyond it, and taken again once it is put back."""
        self.assertEqual(m.MIN_COMPUTE, 0x50 if API == 12 else 0x30)
        original = m.MIN_COMPUTE
        m.MIN_COMPUTE = 0x53
        try:
            e = m.Encoder()
            with self.assertRaises(CHECK_ERROR) as c:  # a check that stays under python -O
                e.init_context(W, H, "BGRX", ["YUV420P"], "h264", 50, 50, None)
            self.assertEqual(str(c.exception), "no NVENC device found!")
            e.clean()
            m.MIN_COMPUTE = 0x52
            e = new_encoder(W, H)
            e.clean()
        finally:
            m.MIN_COMPUTE = original
        self.assertEqual(m.context_counter.get(), 0)

    # (stand-in steering, encodings offered with their (4:4:4, lossless) flags, the lines that say why one
    # is left out or has less); each offered encoding's colourspaces and spec follow its flags
    DEVICES = [
        ({}, {"h264": (True, True), "h265": (True, True), "av1": (False, False)}, []),
        ({"NVENC_EMU_CODECS": "h264,hevc"}, {"h264": (True, True), "h265": (True, True)},
         ["debug av1 not offered by this device"]),
        ({"NVENC_EMU_CODECS": "h264"}, {"h264": (True, True)},
         ["debug h265 not offered by this device", "debug av1 not offered by this device"]),
        ({"NVENC_EMU_CAPS": "hevc:33=0"}, {"h264": (True, True), "h265": (False, False), "av1": (False, False)},
         ["warn Warning: hardware or nvenc library version does not support YUV444"]),
        ({"NVENC_EMU_CAPS": "hevc:34=0"}, {"h264": (True, True), "h265": (True, False), "av1": (False, False)},
         ["warn Warning: hardware or nvenc library version does not support lossless mode"]),
        # the second test encoder (h265) refused: left out, and the next one is still tried
        ({"NVENC_EMU_FAIL": "nvEncInitializeEncoder=8@2"}, {"h264": (True, True), "av1": (False, False)},
         ["warn nvenc: h265 disabled: "]),
    ]

    @unittest.skipUnless(CHOOSES_ENCODING, "the module offers one encoding")
    def test_encodings_offered_by_the_device(self):
        code = ("from tevu.log import capture\nwith capture() as records:\n    m.init_module()\n"
                "for r in records:\n    print('log %s %s' % (r.level, r.message))\n"
                "print(m.get_encodings())\nprint(sorted(m.ENCODING_SUPPORT.items()))\n"
                "for encoding in m.get_encodings():\n"
                "    s = m.get_spec(encoding, 'BGRX')\n"
                "    e = m.Encoder()\n"
                "    e.init_context(64, 64, 'BGRX', ['YUV420P', 'YUV444P'], encoding, 100, 50, None)\n"
                "    i = e.get_info()\n    e.clean()\n"
                "    print(encoding, s.encoding, m.get_output_colorspaces(encoding, 'BGRX') == s.output_colorspaces,\n"
                "          'YUV444P' in s.output_colorspaces, s.has_lossless_mode, s.quality,\n"
                "          e.get_encoding(), i['encoding'], i['codec'], i['pixel_format'], i['lossless'])\n")
        codecs = {"h264": "H264", "h265": "HEVC", "av1": "AV1"}
        for env, offered, lines in self.DEVICES:
            out = outcome(code, dict(env, TEVU_NV_DRIVER_VERSION="346.59"))
            logged = [line[4:] for line in out if line.startswith("log ")]
            for line in lines:
                self.assertTrue([x for x in logged if x.startswith(line)], (env, line, logged))
            ordered = [name for name in ENCODINGS if name in offered]
            self.assertIn("info NVENC v12 successfully initialized with " + ", ".join(ordered), logged, env)
            rest = [line for line in out if not line.startswith("log ")]
            self.assertEqual(rest[:2], [str(ordered), str(sorted(offered.items()))], env)
            for line, name in zip(rest[2:], ordered):
                yuv444, lossless = offered[name]
                # quality 100 asks for lossless 4:4:4; what the encoding lacks, it goes without
                expected = [name, name, "True", str(yuv444), str(lossless), "100" if yuv444 else "90", name, name,
                            codecs[name], "YUV444P" if yuv444 else "NV12", "1" if lossless else "0"]
                self.assertEqual(line.split(), expected, env)
            self.assertEqual(len(rest), 2 + len(ordered), (env, rest))

    def test_test_encoder(self):
        """One session of 1920x1080 (1088 inside) at quality and speed 50, closed again; libraries loaded."""
        trace = tempfile.mktemp(suffix=".trace")
        code = (INIT + "print('generation %d' % m.context_gen_counter.get())\n"
                "print(m.cuCtxGetCurrent is not None, m.NvEncodeAPICreateInstance is not None)\n")
        try:
            lines = outcome(code, {"NVENC_EMU_TRACE": trace, "TEVU_NV_DRIVER_VERSION": "346.59"})
            sessions = trace_calls(trace, "nvEncInitializeEncoder")
        finally:
            if os.path.exists(trace):
                os.remove(trace)
        # one test encoder per encoding, each cleaned
        self.assertEqual(lines, ["ok True True", "sessions 0", "generation %d" % len(ENCODINGS), "True True"])
        # quality and speed 50: the API-12.0 module's middle preset, with its low-latency tuning (2)
        name = "p4" if API == 12 else "default"
        default = [guid for guid, preset in m.CODEC_PRESETS_GUIDS.items() if preset == name][0]
        self.assertEqual([(s["width"], s["height"], s["preset"]) for s in sessions],
                         [("1920", "1088", default)] * len(ENCODINGS))
        if API == 12:
            self.assertEqual([s["tuning"] for s in sessions], ["2"] * len(ENCODINGS))

    def test_selftest_logs_the_largest_size(self):
        with capture() as records:
            m.selftest(full=True)
        lines = [r for r in capture.messages(records, "info") if " max dimensions: " in r]
        self.assertEqual(len(lines), 1, lines)
        width, height = [int(v) for v in re.search(r" max dimensions: \((\d+), (\d+)\)$", lines[0]).groups()]
        # the largest: an encoder sets up at it, none 32 beyond (the host probes each side at 128)
        for w, h, fits in [(width, 128, True), (width + 32, 128, False), (128, height, True),
                           (128, height + 32, False)]:
            e = m.Encoder()
            try:
                e.init_context(w, h, "BGRX", ["YUV420P"], "h264", 50, 50, None)
                self.assertTrue(fits, "%dx%d" % (w, h))
            except m.NVENCException:
                self.assertFalse(fits, "%dx%d" % (w, h))
            finally:
                e.clean()

    def test_cleanup_module_forgets_the_host_device_state_only(self):
        import tevu.codecs.cuda_common.cuda_context as cc
        cc.record_device_failure(0)
        self.assertGreater(cc.device_ranking(0)[0], 0)
        kept = (m.YUV444_ENABLED, m.LOSSLESS_ENABLED, m.context_gen_counter.get(), m.NvEncodeAPICreateInstance)
        self.assertIsNone(m.cleanup_module())
        self.assertEqual(cc.device_ranking(0), (0, 0, 0))  # no failures, no uses
        self.assertEqual((m.YUV444_ENABLED, m.LOSSLESS_ENABLED, m.context_gen_counter.get(),
                          m.NvEncodeAPICreateInstance), kept)
        e = new_encoder(W, H, 100)
        try:
            data, options, pixels = frame(e, 0, 100, 50)
            self.assertTrue(options["lossless"])
        finally:
            e.clean()

    def test_runtime_factor_after_a_failure(self):
        """Right after a failed session 1/61, from 61 seconds on 1 again (the session counts: test_module)."""
        try:
            m.last_context_failure = time.time()
            self.assertAlmostEqual(m.get_runtime_factor() * 61, 1.0, delta=0.05)  # right after: 1/61
            m.last_context_failure = time.time() - 61
            self.assertEqual(m.get_runtime_factor(), 1.0)
        finally:
            m.last_context_failure = 0

    def test_info_is_a_new_dictionary(self):
        info = m.get_info()
        self.assertEqual(info["kernel_module_version"],
                         [int(v) for v in os.environ["TEVU_NV_DRIVER_VERSION"].split(".")])
        info["version"] = None
        del info["context_count"]
        again = m.get_info()
        self.assertEqual((again["version"], again["context_count"]), (m.PRETTY_VERSION, m.context_counter.get()))
        self.assertIsNot(again, info)

    def test_kernel_getters_need_a_current_context(self):
        getters = [(lambda: m.get_CUDA_CSC_function(0, "BGRA_to_YUV444"), "BGRA_to_YUV444"),
                   (lambda: m.get_BGRA2NV12(0), "BGRA_to_NV12"), (lambda: m.get_BGRA2YUV444(0), "BGRA_to_YUV444")]
        self.assertEqual([g() for g, _ in getters], [(name, None) for _, name in getters])
        seen = []

        class Probing(Image):
            def get_pixels(self):  # inside compress_image: the encoder's context is current
                seen.extend(g() for g, _ in getters)
                return self.wrapper.get_pixels()

        e = new_encoder(W, H)
        try:
            e.compress_image(Probing(W, H, desktop_frame(W, H, 0)), 50, 50)
        finally:
            e.clean()
        self.assertEqual([s[0] for s in seen], [name for _, name in getters])
        self.assertTrue(all(s[1] is not None for s in seen), seen)


class SetUp(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_sizes_rounded_up_to_32(self):
        min_psnr = 38.0
        if API == 12:
            # A variable bitrate within the quality's quantiser range (16 to 26 at quality 50) where the
            # API-5.0 module has one constant quantiser: the small detailed desktop picture measures just
            # under 38 dB. The quantisers are checked to lie in that range instead.
            min_psnr = 37.5
        for width, height, inside in [(1, 1, (32, 32)), (100, 50, (128, 64))]:
            e = new_encoder(width, height)
            try:
                info = e.get_info()
                self.assertEqual((info["width"], info["height"]), (width, height))
                self.assertEqual((info["encoder_width"], info["encoder_height"]), inside)
                # an image of the rounded size is taken whole: the stream has that size
                data, options, pixels = frame(e, 0, 50, 50, *inside)
            finally:
                e.clean()
            label = "%dx%d" % (width, height)
            assert_one_picture(self, data, pixels, inside[0], inside[1], label, min_psnr)
            if API == 12:
                quantisers = frame_quantisers(data)
                self.assertEqual(len(quantisers), 1, label)
                self.assertGreaterEqual(quantisers[0][1], 16, label)
                self.assertLessEqual(quantisers[0][2], 26, label)

    def test_size_limits(self):
        e = m.Encoder()
        with self.assertRaises(ValueError) as c:
            e.init_context(16385, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        self.assertEqual(str(c.exception), "invalid dimensions: 16385x64")
        self.assertTrue(e.is_closed())
        # 16384 passes the module's check; the driver refuses what is beyond its own maximum
        self.assertRaises(m.NVENCException, e.init_context, 16384, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        with self.assertRaises(Exception) as c:  # the failed set-up keeps its context until clean()
            e.init_context(64, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        self.assertEqual(str(c.exception),
                         "init_context: this encoder is already initialized, call clean() before setting it up again")
        e.clean()
        e.init_context(64, 64, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        e.clean()

    def test_false_scaling_is_one_to_one(self):
        for scaling in (None, (), []):
            e = new_encoder(W, H, scaling=scaling)
            try:
                self.assertNotIn("scaling", e.get_info())
                data, options, pixels = frame(e, 0, 50, 50)
                self.assertNotIn("scaled_size", options)
            finally:
                e.clean()

    def test_cuda_failures(self):
        cases = [("cuMemAllocPitch=2@1", m.CUDAMemoryError, 2), ("cuMemAllocPitch=1@1", m.CUDALogicError, 1)]
        for rule, error, code in cases:
            e = m.Encoder()
            with environment(CUDA_EMU_FAIL=rule):
                with self.assertRaises(m.CUDAError) as c:
                    e.init_context(W, H, "BGRX", ["YUV420P"], "h264", 50, 50, None)
            e.clean()
            self.assertIs(type(c.exception), error, rule)
            self.assertEqual(c.exception.code, code, rule)
            self.assertTrue(str(c.exception).startswith("cuMemAllocPitch failed: "), str(c.exception))


def exp_golomb(bits, position):
    """An unsigned Exp-Golomb number of a bit string from position; (value, next position)."""
    zeros = 0
    while bits[position + zeros] == "0":
        zeros += 1
    end = position + 2 * zeros + 1
    return int(bits[position + zeros:end], 2) - 1, end


def picture(data):
    """(kind, parameter sets) of an access unit: kind "IDR", "P" or the NAL types it holds."""
    raw = bytearray(data)
    starts = [i + 3 for i in range(len(raw) - 2) if raw[i:i + 3] == bytearray(b"\0\0\1")]
    kinds, types = set(), []
    for n, start in enumerate(starts):
        unit = raw[start:(starts[n + 1] - 3) if n + 1 < len(starts) else len(raw)]
        nal_type = unit[0] & 0x1F
        types.append(nal_type)
        if nal_type in (1, 5):
            head = bytes(unit[1:32]).replace(b"\0\0\3", b"\0\0")  # no emulation prevention in the slice head
            bits = "".join("{0:08b}".format(b) for b in bytearray(head))
            first_mb, position = exp_golomb(bits, 0)
            slice_type, position = exp_golomb(bits, position)
            kinds.add("IDR" if nal_type == 5 else "P" if slice_type % 5 == 0 else "other %d" % slice_type)
    kind = kinds.pop() if len(kinds) == 1 else tuple(sorted(types))
    return kind, 7 in types and 8 in types


class Pictures(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_idr_first_after_a_switch_and_after_a_lost_picture(self):
        # (quality, fault, expected picture)
        steps = [(50, "", ("IDR", True)), (50, "", ("P", False)), (100, "", ("IDR", True)), (100, "", ("P", False)),
                 (100, "nvEncLockBitstream=8@1", None), (100, "", ("IDR", True)), (100, "", ("P", False))]
        e = new_encoder(W, H, 50)
        stream = Stream(W, H)
        try:
            for i, (quality, fault, expected) in enumerate(steps):
                with environment(NVENC_EMU_FAIL=fault):
                    if expected is None:
                        self.assertRaises(m.NVENCException, frame, e, i, quality, 50)
                        continue
                    data, options, pixels = frame(e, i, quality, 50)
                self.assertEqual(picture(data), expected, "step %d" % i)
                stream.add(data, pixels, fmt(e.get_info()))
        finally:
            e.clean()
        stream.check(self, "pictures")

    def test_reported_quality(self):
        # accepted formats, quality -> client "quality", "lossless"
        for dst, quality, reported, lossless in [(("YUV420P",), 100, 99, None), (BOTH, 99, 99, None),
                                                 (BOTH, 100, 100, True)]:
            e = new_encoder(W, H, quality, dst=dst)
            try:
                data, options, pixels = frame(e, 0, quality, 50)
                self.assertEqual((options["quality"], options.get("lossless")), (reported, lossless), dst)
                self.assertEqual(e.get_info()["quality"], quality)
            finally:
                e.clean()

    def test_options_are_only_logged(self):
        keys = ("quality", "speed", "bitrate", "pixel_format", "lossless", "preset", "encoder_width")
        e = new_encoder(W, H, 50)
        try:
            data, plain, pixels = frame(e, 0, 50, 50)
            before = picked(e.get_info(), keys)
            options = {"quality": 100, "speed": 0, "lossless": True, "scaled_size": (32, 32), "cuda_device": 5}
            with capture() as records:
                data, given = e.compress_image(Image(W, H, desktop_frame(W, H, 1), timestamp=1), 50, 50, options)
            self.assertEqual(picked(e.get_info(), keys), before)
            self.assertEqual(dict(given, frame=0, pts=0), plain)
            self.assertTrue([r for r in capture.messages(records) if r.startswith("compress_image(")
                             and r.endswith(", %s)" % (options,))])
        finally:
            e.clean()

    def test_debug_lines_made_only_when_the_logger_keeps_them(self):
        import tevu.log
        logger, sent, asked = tevu.log.Logger, [], []
        original_log, original_query = logger._log, logger.is_debug_enabled

        def _log(self, level, fmt, args, kwargs):
            sent.append((level, fmt))
            return original_log(self, level, fmt, args, kwargs)

        def is_debug_enabled(self):
            asked.append(1)
            return original_query(self)

        e = new_encoder(W, H, 50)
        logger._log, logger.is_debug_enabled = _log, is_debug_enabled
        try:
            frame(e, 0, 50, 50)
            dropped = [fmt for level, fmt in sent if level == "debug"]
            self.assertEqual((dropped, len(asked)), ([], 1))
            with capture() as records:
                frame(e, 1, 50, 50)
            kept = capture.messages(records, "debug")
            self.assertEqual(len(asked), 2)
            self.assertTrue([r for r in kept if r.startswith("compress_image(..) download took ")], kept)
            del logger.is_debug_enabled  # a host logger without the query is sent every line
            del sent[:]
            frame(e, 2, 50, 50)
            self.assertEqual(len([level for level, fmt in sent if level == "debug"]), len(kept))
        finally:
            logger._log, logger.is_debug_enabled = original_log, original_query
            e.clean()

    def test_end_of_stream_only_after_a_frame(self):
        trace = tempfile.mktemp(suffix=".trace")
        ends = []
        try:
            for frames in (0, 1, 3):
                open(trace, "w").close()
                with environment(NVENC_EMU_TRACE=trace):
                    e = new_encoder(W, H)
                    for i in range(frames):
                        frame(e, i, 50, 50)
                    e.clean()
                ends.append(len([p for p in trace_calls(trace, "nvEncEncodePicture") if p.get("eos") == "1"]))
        finally:
            os.remove(trace)
        self.assertEqual(ends, [0, 1, 1])


class Formats(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_target_rules(self):
        # set-up (dst, scaling), then get_target_pixel_format(quality) for each quality
        cases = [((BOTH, None), {0: "NV12", 84: "NV12", 85: "YUV444P", 100: "YUV444P"}),
                 ((BOTH, (2, 3)), {85: "NV12", 100: "NV12"}),
                 ((("YUV444P",), (2, 3)), {0: "YUV444P"}),
                 ((("YUV420P",), None), {100: "NV12"})]
        for (dst, scaling), targets in cases:
            e = new_encoder(320, 240, 50, dst=dst, scaling=scaling)
            try:
                got = dict((q, e.get_target_pixel_format(q)) for q in targets)
                self.assertEqual(got, targets, (dst, scaling))
                lossless = [(e.get_target_lossless(f, q), f, q) for f in ("YUV444P", "NV12") for q in (99, 100)]
                self.assertEqual([x[0] for x in lossless], [False, True, False, False], lossless)
            finally:
                e.clean()

    def test_quality_changes_aim_at_a_target(self):
        # set-up quality, new quality, (pixel format, lossless) after the change
        cases = [(50, 95, ("YUV444P", False)), (50, 94, ("NV12", False)), (80, 90, ("NV12", False)),
                 (90, 80, ("YUV444P", False)), (90, 79, ("YUV444P", False)), (90, 74, ("NV12", False)),
                 (50, 100, ("YUV444P", True)), (95, 99, ("YUV444P", False)), (100, -1, ("NV12", False))]
        for start, quality, expected in cases:
            e = new_encoder(64, 64, start)
            try:
                e.set_encoding_quality(quality)
                self.assertEqual((fmt(e.get_info()), e.get_info()["quality"]), (expected, quality),
                                 "%d to %d" % (start, quality))
            finally:
                e.clean()

    def test_update_bitrate_follows_the_pixel_format(self):
        """init_context computes the bitrate before it picks the format, as for 4:4:4; update_bitrate()
        halves it for NV12 (below the ceiling), the same speed again and a switch of format keep it."""
        for width, height in [(640, 480), (1024, 1024)]:
            label = "%dx%d" % (width, height)
            e = new_encoder(width, height, 50, 100)
            try:
                at_set_up = e.get_info()["bitrate"]
                e.set_encoding_speed(100)  # the same speed: nothing is recomputed
                self.assertEqual(e.get_info()["bitrate"], at_set_up, label)
                e.update_bitrate()
                nv12 = e.get_info()["bitrate"]
                self.assertEqual(fmt(e.get_info()), ("NV12", False))
                self.assertAlmostEqual(min(2 * nv12, 100000000), at_set_up, delta=2, msg=label)
                e.set_encoding_quality(100)
                self.assertEqual((fmt(e.get_info()), e.get_info()["bitrate"]), (("YUV444P", True), nv12), label)
                e.update_bitrate()
                self.assertEqual(e.get_info()["bitrate"], at_set_up, label)
            finally:
                e.clean()
        self.assertEqual(at_set_up, 100000000, "the last size did not reach the ceiling")


class Reports(unittest.TestCase):
    MODULE = set(["version", "device_count", "context_count", "generation", "kernel_module_version"] +
                 (["kernel_version"] if sys.platform.startswith("linux") else []))
    ALWAYS = set(["width", "height", "frames", "codec", "encoder_width", "encoder_height", "bitrate", "quality",
                  "speed", "lossless", "lossless.supported", "lossless.threshold", "yuv444.supported",
                  "yuv444.threshold", "total_time_ms", "free_memory", "total_memory"])
    SET_UP = set(["src_format", "pixel_format", "preset"] + (["tuning"] if API == 12 else []))
    if CHOOSES_ENCODING:
        ALWAYS.add("encoding")
    SCALED = set(["input_width", "input_height", "scaling"])
    FRAMES = set(["bytes_in", "bytes_out", "ratio_pct", "pixels_per_second", "free_memory_pct", "fps",
                  "ms_per_frame"])

    def keys(self, e):
        info = e.get_info()
        device = set(k for k in info if k.startswith("cuda.") or k.startswith("pycuda."))
        return set(info) - device, bool(device)

    def test_keys_of_each_state(self):
        self.assertEqual(m.last_context_failure, 0)
        plain, scaled = new_encoder(100, 50), new_encoder(100, 50, scaling=(2, 3))
        try:
            self.assertEqual(self.keys(plain), (self.MODULE | self.ALWAYS | self.SET_UP, True))
            self.assertEqual(self.keys(scaled), (self.MODULE | self.ALWAYS | self.SET_UP | self.SCALED, True))
            self.assertEqual(tuple(scaled.get_info()[k] for k in ("input_width", "input_height", "scaling")),
                             (128, 64, (2, 3)))
            frame(plain, 0, 50, 50, 100, 50)
            self.assertEqual(self.keys(plain), (self.MODULE | self.ALWAYS | self.SET_UP | self.FRAMES, True))
        finally:
            plain.clean()
            scaled.clean()
        keys, device = self.keys(plain)
        # the API-12.0 session's tuning after clean(): test_tuning_goes_with_the_session
        self.assertEqual((keys - set(["tuning"]) if API == 12 else keys, device),
                         (self.MODULE | self.ALWAYS | self.SCALED, False))

    @unittest.skipUnless(API == 12, "only API-12.0 sessions have a tuning")
    def test_tuning_goes_with_the_session(self):
        """Like the preset, the tuning is the set-up session's: none before init_context, none after clean()."""
        e = m.Encoder()
        self.assertNotIn("tuning", e.get_info())
        e.init_context(W, H, "BGRX", ["YUV420P"], "h264", 50, 50, None)
        try:
            self.assertEqual((e.get_info()["preset"], e.get_info()["tuning"]), ("p4", "low-latency"))
        finally:
            e.clean()
        info = e.get_info()
        self.assertEqual(("preset" in info, "tuning" in info), (False, False))


class ImageProtocol(unittest.TestCase):
    METHODS = ["get_width", "get_height", "get_rowstride", "get_pixels", "get_planes", "get_timestamp"]

    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_six_methods_and_nothing_else(self):
        from tevu.codecs.image_wrapper import ImageWrapper
        calls = []
        values = {"get_width": W, "get_height": H, "get_rowstride": W * 4, "get_pixels": desktop_frame(W, H, 0),
                  "get_planes": ImageWrapper.PACKED, "get_timestamp": 7}

        class Bare(object):
            __slots__ = ()

            def __getattribute__(self, name):
                calls.append(name)
                if name not in values:
                    raise AttributeError(name)
                return lambda: values[name]

        e = new_encoder(W, H)
        try:
            data, options = e.compress_image(Bare(), 50, 50)
        finally:
            e.clean()
        self.assertEqual(sorted(set(calls)), sorted(self.METHODS))
        self.assertEqual((options["frame"], options["pts"]), (0, 0))
        self.assertTrue(len(data) > 0)

    def test_sizes_up_to_the_rounded_set_up(self):
        """64x40 is 64x64 inside: pictures up to 65x65 are taken, the rows below 40 encoded too."""
        e = new_encoder(64, 40)
        try:
            data, options, pixels = frame(e, 0, 50, 50, 64, 64)
            odd, options = e.compress_image(Image(65, 65, desktop_frame(65, 65, 1), timestamp=1), 50, 50)
            self.assertEqual(options["frame"], 1)
        finally:
            e.clean()
        assert_one_picture(self, data, pixels, 64, 64)


class CurrentContext(unittest.TestCase):
    def test_current_only_inside_calls(self):
        cuda = ctypes.CDLL("libcuda.so")

        def current():
            context = ctypes.c_void_p()
            self.assertEqual(cuda.cuCtxGetCurrent(ctypes.byref(context)), 0)
            return context.value

        inside = []

        class Looking(Image):
            def get_timestamp(self):
                inside.append(current())
                return self.wrapper.get_timestamp()

        e = new_encoder(W, H, 50)
        after = [current()]
        try:
            e.compress_image(Looking(W, H, desktop_frame(W, H, 0)), 50, 50)
            after.append(current())
            e.set_encoding_quality(100)  # a switch of format
            after.append(current())
            e.get_info()
            after.append(current())
        finally:
            e.clean()
        after.append(current())
        self.assertEqual(after, [None] * 5)
        self.assertIsNotNone(inside[0])


class DriverQueryPackage(unittest.TestCase):
    def test_names_of_the_compiled_module(self):
        from tevu.codecs import drvquery
        from tevu.codecs.drvquery import drvquery as compiled
        import tevu.log
        for name in ("get_driver_version", "raiseNVAPI", "main", "log", "sys", "os", "Logger"):
            self.assertIs(getattr(drvquery, name), getattr(compiled, name), name)
        self.assertIs(drvquery.Logger, tevu.log.Logger)


class LeakReport(unittest.TestCase, LeakCheck):
    def test_these_suites_leak_nothing(self):
        self.assert_no_leaks(__file__, "MinusOne", "OptimisedChecks", "SetUp", "Pictures", "Formats")


if __name__ == "__main__":
    unittest.main()

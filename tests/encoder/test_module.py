"""The encoder module frame: import, configuration, tables, GUID codec, statuses, module functions."""

import os
import sys
import tempfile
import time
import unittest

from tevu_testsupport.nvenc import API, MODULE_NAME, PLATFORM_DIR, assert_plain_check, load, run_python
from tevu_testsupport.streams import decode, psnr

m = load()

H264 = "6BC82762-4E63-4CA4-AA85-1E50F321F6BF"
HEVC = "790CDC88-4522-4D7B-9425-BDA9975F7603"
AV1 = "0A352289-0AA7-4759-862D-5D15CD16D254"


class Tables(unittest.TestCase):
    def test_codecs_and_profiles(self):
        h264 = {
            "BFD6F8E7-233C-4341-8B3E-4818523803F4": "auto",
            "0727BCAA-78C4-4C83-8C2F-EF3DFF267C6A": "baseline",
            "60B5C1D4-67FE-4790-94D5-C4726D7B6E6D": "main",
            "E7CBC309-4F7A-4B89-AF2A-D537C92BE310": "high",
            "40847BF5-33F7-4601-9084-E8FE3C1DB8B7": "stereo",
            "AEC1BD87-E85B-48F2-84C3-98BCA6285072": "constrained-high",
            "7AC663CB-A598-4960-B844-339B261A7D52": "high-444",
        }
        if API == 12:
            # API 12.0 has no temporal-SVC profile but a progressive one; HEVC and AV1 profiles besides.
            h264["B405AFAC-F32B-417B-89C4-9ABEED3E5978"] = "progressive-high"
            self.assertEqual(m.CODEC_GUIDS, {H264: "H264", HEVC: "HEVC", AV1: "AV1"})
            self.assertEqual(m.CODEC_PROFILES_GUIDS, {
                H264: h264,
                HEVC: {"B514C39A-B55B-40FA-878F-F1253B4DFDEC": "main",
                       "FA4D2B6C-3A5B-411A-8018-0A3F5E3C9BE5": "main10",
                       "51EC32B5-1B4C-453C-9CBD-B616BD621341": "frext"},
                AV1: {"5F2A39F5-F14E-4F95-9A9E-B76D568FCF97": "main"},
            })
            return
        h264["CE788D20-AAA9-4318-92BB-AC7E858C8D36"] = "temporal"
        self.assertEqual(m.CODEC_GUIDS, {H264: "H264", HEVC: "HEVC"})
        expected = {H264: h264}
        if API == 5:
            expected[HEVC] = {"B514C39A-B55B-40FA-878F-F1253B4DFDEC": "main"}
        self.assertEqual(m.CODEC_PROFILES_GUIDS, expected)

    def test_presets_and_ranks(self):
        if API == 12:
            # P1 (fastest) to P7 (best): no lossless presets, the lossless tuning stands for them.
            self.assertEqual(m.CODEC_PRESETS_GUIDS, {
                "FC0A8D3E-45F8-4CF8-80C7-298871590EBF": "p1",
                "F581CFB8-88D6-4381-93F0-DF13F9C27DAB": "p2",
                "36850110-3A07-441F-94D5-3670631F91F6": "p3",
                "90A7B826-DF06-4862-B9D2-CD6D73A08681": "p4",
                "21C6E6B4-297A-4CBA-998F-B6CBDE72ADE3": "p5",
                "8E75C279-6299-4AB6-8302-0B215A335CF5": "p6",
                "84848C12-6F71-4C13-931B-53E283F57974": "p7",
            })
            ranks = [("p1", 100, 0), ("p2", 85, 15), ("p3", 70, 30), ("p4", 50, 50), ("p5", 35, 65),
                     ("p6", 15, 85), ("p7", 0, 100)]
            yuv444, lossless = ("high-444",), ()
            self.assertEqual(m.TUNING_INFO, {1: "high-quality", 2: "low-latency", 3: "ultra-low-latency",
                                             4: "lossless"})
        else:
            self.assertEqual(m.CODEC_PRESETS_GUIDS, {
                "B2DFB705-4EBD-4C49-9B5F-24A777D3E587": "default",
                "60E4C59F-E846-4484-A56D-CD45BE9FDDF6": "hp",
                "34DBA71D-A77B-4B8F-9C3E-B6D5DA24C012": "hq",
                "82E3E450-BDBB-4E40-989C-82A90DF9EF32": "bd",
                "49DF21C5-6DFA-4FEB-9787-6ACC9EFFB726": "low-latency",
                "C5F733B9-EA97-4CF9-BEC2-BF78A74FD105": "low-latency-hq",
                "67082A44-4BAD-48FA-98EA-93056D150A58": "low-latency-hp",
                "D5BFB716-C604-44E7-9BB8-DEA5510FC3AC": "lossless",
                "149998E7-2364-411D-82EF-179888093409": "lossless-hp",
                "7ADD423D-D035-4F6F-AEA5-50885658643C": "streaming",
            })
            ranks = [("lossless", 0, 100), ("lossless-hp", 30, 100), ("bd", 40, 80), ("hq", 50, 70),
                     ("default", 50, 50), ("hp", 60, 40), ("low-latency-hq", 70, 30), ("low-latency", 80, 20),
                     ("low-latency-hp", 100, 0), ("streaming", -1000, -1000)]
            yuv444, lossless = ("high-444", "lossless", "lossless-hp"), ("lossless", "lossless-hp")
            self.assertFalse(hasattr(m, "TUNING_INFO"))
        self.assertEqual(m.PRESET_SPEED, dict((n, s) for n, s, _ in ranks))
        self.assertEqual(m.PRESET_QUALITY, dict((n, q) for n, _, q in ranks))
        self.assertEqual(m.YUV444_PRESETS, yuv444)
        self.assertEqual(m.LOSSLESS_PRESETS, lossless)

    def test_buffer_formats(self):
        if API == 12:
            self.assertEqual(m.BUFFER_FORMAT, {
                0x0: "UNDEFINED", 0x1: "NV12", 0x10: "YV12", 0x100: "IYUV", 0x1000: "YUV444",
                0x10000: "YUV420_10BIT", 0x100000: "YUV444_10BIT", 0x1000000: "ARGB", 0x2000000: "ARGB10",
                0x4000000: "AYUV", 0x10000000: "ABGR", 0x20000000: "ABGR10", 0x40000000: "U8"})
            return
        self.assertEqual(m.BUFFER_FORMAT, {
            0x0: "undefined", 0x1: "NV12_PL", 0x2: "NV12_TILED16x16", 0x3: "NV12_TILED64x16",
            0x10: "YV12_PL", 0x20: "YV12_TILED16x16", 0x30: "YV12_TILED64x16", 0x100: "IYUV_PL",
            0x200: "IYUV_TILED16x16", 0x300: "IYUV_TILED64x16", 0x1000: "YUV444_PL",
            0x2000: "YUV444_TILED16x16", 0x3000: "YUV444_TILED64x16"})

    def test_caps_names(self):
        if API == 12:
            # Every capability of API 12.0 is named, the count last.
            self.assertEqual(set(m.CAPS_NAMES), set(range(52)))
            named = {9: "SUPPORT_STEREO_MVC", 31: "MB_NUM_MAX", 32: "MB_PER_SEC_MAX", 33: "SUPPORT_YUV444_ENCODE",
                     34: "SUPPORT_LOSSLESS_ENCODE", 35: "SUPPORT_SAO", 36: "SUPPORT_MEONLY_MODE",
                     37: "SUPPORT_LOOKAHEAD", 39: "SUPPORT_10BIT_ENCODE", 45: "WIDTH_MIN", 46: "HEIGHT_MIN",
                     51: "EXPOSED_COUNT"}
            self.assertEqual(dict((k, m.CAPS_NAMES[k]) for k in named), named)
            self.assertEqual(len(set(m.CAPS_NAMES.values())), 52)
            return
        expected = set(range(36)) - set([32] + ([9] if API == 5 else []))
        self.assertEqual(set(m.CAPS_NAMES), expected)
        self.assertEqual(m.CAPS_NAMES[33], "SUPPORT_YUV444_ENCODE")
        self.assertEqual(m.CAPS_NAMES[34], "SUPPORT_LOSSLESS_ENCODE")
        self.assertEqual(m.CAPS_NAMES[35], "EXPOSED_COUNT")
        if API == 4:
            self.assertEqual(m.CAPS_NAMES[9], "SUPPORT_STEREO_MVC")

    def test_status_texts(self):
        t = m.NV_ENC_STATUS_TXT
        self.assertEqual(sorted(t), list(range(21)) + list(range(22, 26)))
        self.assertEqual(t[0], "This indicates that API call returned with no errors.")
        self.assertEqual(t[5].split("\n")[1:], [
            " needs to be reinitialized. The clients need to destroy the current encoder",
            " session by freeing the allocated input output buffers and destroying the device",
            " and create a new encoding session."])
        self.assertTrue(t[17].startswith("\nThis indicates encode driver requires more input buffers"))
        self.assertTrue(t[17].endswith("in the same order in which\nit has called ::NvEncEncodePicture().\n"))
        self.assertEqual(t[17].count("\n"), 12)
        self.assertEqual(t[13].count("\n"), 4)
        self.assertEqual(t[11].count("\n"), 3)
        self.assertTrue(t[24].endswith("has not been successfuly registered."))


class Guids(unittest.TestCase):
    def test_parse_normalises_and_renders(self):
        r = m.parseguid("ce788d20-aaa9-4318-92bb-ac7e858c8d36")
        self.assertEqual(r, {"Data1": 0xCE788D20, "Data2": 0xAAA9, "Data3": 0x4318,
                             "Data4": b"\x92\xbb\xac\x7e\x85\x8c\x8d\x36"})
        m.test_parse()

    def test_errors(self):
        cases = [
            ("{CE788D20-AAA9-4318-92BB-AC7E858C8D36}", "invalid GUID format: expected 36 characters but got 38"),
            ("GE788D20-AAA9-4318-92BB-AC7E858C8D36", "invalid GUID format: character at position 0 is not in hex"),
            ("CE788D20AAAA9-4318-92BB-AC7E858C8D36", "invalid GUID format: character at position 8 is not '-'"),
            ("-E788D20-AAA9-4318-92BBxAC7E858C8D36", "invalid GUID format: character at position 0 is not in hex"),
        ]
        for text, message in cases:
            with self.assertRaises(Exception) as c:
                m.parseguid(text)
            self.assertIs(type(c.exception), Exception)
            self.assertEqual(str(c.exception), message)


class Statuses(unittest.TestCase):
    def test_messages(self):
        e = m.NVENCException(8, "getting encode presets")
        self.assertEqual(str(e), "getting encode presets - returned 8: " + m.NV_ENC_STATUS_TXT[8])
        self.assertEqual((e.code, e.function), (8, "getting encode presets"))
        self.assertTrue(isinstance(e, Exception))
        unknown = m.NVENCException(26, "x")
        self.assertEqual(str(unknown), "x - returned 26")
        self.assertEqual(unknown.code, 26)
        need_more = m.NVENCException(17, "y")
        self.assertTrue(str(need_more).startswith("y - returned 17: \nThis indicates"))

    def test_keywords_and_string_form(self):
        a = m.NVENCException(fn=("op", 1), code=15)
        self.assertEqual(a.function, ("op", 1))
        self.assertEqual(a.args, ("('op', 1) - returned 15: " + m.NV_ENC_STATUS_TXT[15],))
        b = m.NVENCException(15, ("op", 1))
        self.assertEqual(a.args, b.args)

    def test_bad_arguments(self):
        self.assertRaises(TypeError, m.NVENCException, 1)
        self.assertRaises(TypeError, m.NVENCException, 1, "a", 2)
        self.assertRaises(TypeError, m.NVENCException, code=1, function="a")
        self.assertRaises(TypeError, m.NVENCException, "abc", "a")
        self.assertRaises(OverflowError, m.NVENCException, 1 << 40, "a")


class ModuleFunctions(unittest.TestCase):
    def test_identity(self):
        self.assertEqual(m.get_version(), "%d.0.0" % API)
        self.assertEqual(m.PRETTY_VERSION, [API, 0, 0])
        self.assertEqual(m.get_type(), "nvenc")
        self.assertEqual(m.get_encodings(), ["h264"])
        self.assertIsNot(m.get_encodings(), m.get_encodings())
        self.assertEqual((m.WIDTH_MASK, m.HEIGHT_MASK), (0xFFFE, 0xFFFE))
        self.assertEqual(m.__name__, MODULE_NAME)
        self.assertEqual(m.NVENCException.__module__, MODULE_NAME)

    def test_colorspaces_follow_yuv444_flag(self):
        self.assertIsNone(m.YUV444_ENABLED)
        self.assertEqual(m.get_COLORSPACES(), {"BGRX": ("YUV420P",)})
        self.assertEqual(m.get_input_colorspaces("h264"), ["BGRX"])
        self.assertEqual(m.get_output_colorspaces(encoding="h264", input_colorspace="BGRX"), ("YUV420P",))
        assert_plain_check(self, lambda: m.get_output_colorspaces("h264", "RGB"),
                           "invalid input colorspace: RGB (must be one of: {'BGRX': ('YUV420P',)})", None)
        m.YUV444_ENABLED = True
        try:
            self.assertEqual(m.get_COLORSPACES(), {"BGRX": ("YUV420P", "YUV444P")})
        finally:
            m.YUV444_ENABLED = None

    def test_spec_needs_initialisation_then_fills_record(self):
        """A NameError before init_module(), then the host's record (the checks of the encoding and the
        colourspace, under python -O too, are test_api_reference's)."""
        self.assertRaises(NameError, m.get_spec, "h264", "BGRX")
        m.LOSSLESS_ENABLED = False
        m.YUV444_ENABLED = False
        try:
            s = m.get_spec(encoding="h264", colorspace="BGRX")
            m.YUV444_ENABLED = True
            with_yuv444 = m.get_spec("h264", "BGRX")
        finally:
            del m.LOSSLESS_ENABLED
            m.YUV444_ENABLED = None
        self.assertEqual((s.encoding, s.output_colorspaces, s.has_lossless_mode), ("h264", ("YUV420P",), False))
        self.assertIs(s.codec_class, m.Encoder)
        # The quality the host is told, without and with YUV444: the API-12.0 module's sessions make
        # better pictures at the same bitrate (it rates itself 90, 100 with YUV444).
        quality = {4: (80, 100), 5: (80, 80), 12: (90, 100)}[API]
        self.assertEqual((s.quality, with_yuv444.quality), quality)
        self.assertEqual((s.codec_type, s.speed, s.setup_cost, s.cpu_cost, s.gpu_cost),
                         ("nvenc", 100, 80, 10, 100))
        self.assertEqual((s.min_w, s.min_h, s.max_w, s.max_h), (32, 32, 4096, 4096))
        self.assertEqual((s.can_scale, s.width_mask, s.height_mask), (True, 0xFFFE, 0xFFFE))
        self.assertIs(s.get_runtime_factor, m.get_runtime_factor)
        self.assertRaises(TypeError, m.get_spec, "h264")

    def test_info(self):
        info = m.get_info()
        self.assertEqual(info["version"], [API, 0, 0])
        self.assertEqual(info["context_count"], m.context_counter.get())
        self.assertEqual(info["generation"], m.context_gen_counter.get())
        self.assertIn("device_count", info)
        self.assertNotIn("last_failure", info)
        self.assertEqual("kernel_version" in info, sys.platform.startswith("linux"))
        m.last_context_failure = time.time() - 5.5
        try:
            self.assertEqual(m.get_info()["last_failure"], 5)
        finally:
            m.last_context_failure = 0

    def test_fresh_encoder_record(self):
        e = m.Encoder()
        self.assertTrue(e.is_closed())
        self.assertEqual((e.get_width(), e.get_height(), e.get_src_format()), (0, 0, ""))
        self.assertEqual((e.get_type(), e.get_encoding()), ("nvenc", "h264"))
        self.assertEqual(repr(e), "nvenc(/ -  - 0x0)")
        e.clean()
        e.clean()
        self.assertTrue(e.is_closed())
        self.assertRaises(TypeError, m.Encoder, 1)
        import weakref
        r = weakref.ref(e)
        del e
        self.assertIsNone(r())


class RuntimeFactor(unittest.TestCase):
    """The factor for session counts and failures, with one device and with none."""

    CODE = ("import time\n"
            "for n in %r:\n"
            "    while m.context_counter.get() < n: m.context_counter.increase()\n"
            "    print(n, repr(m.get_runtime_factor()))\n"
            "m.last_context_failure = time.time() - 10\n"
            "while m.context_counter.get() > 0: m.context_counter.decrease()\n"
            "print('failure', repr(m.get_runtime_factor()))\n")

    def factors(self, env, counts):
        rc, out, err = run_python(self.CODE % (counts,), env)
        self.assertEqual(rc, 0, err)
        lines = [line.split() for line in out.splitlines()]
        return dict((k, float(v)) for k, v in lines)

    @unittest.skipUnless(os.path.exists(os.path.join(PLATFORM_DIR, "libcuda.so.1")), "no CUDA stand-in")
    def test_devices(self):
        # devices, {open sessions: factor}: 32 sessions per device
        cases = [("1", {0: 1.0, 31: 1.0, 32: 0.0, 40: 0.0}), ("2", {0: 1.0, 63: 1.0, 64: 0.0})]
        for devices, expected in cases:
            f = self.factors({"CUDA_EMU_DEVICES": devices}, sorted(expected))
            self.assertEqual(dict((n, f[str(n)]) for n in expected), expected, devices)
            self.assertAlmostEqual(f["failure"], 1.0 / 51, places=3)

    def test_no_device(self):
        empty = tempfile.mkdtemp()
        f = self.factors({"LD_LIBRARY_PATH": empty, "CUDA_EMU_DEVICES": "0"}, [0, 16, 17])
        self.assertEqual((f["0"], f["16"], f["17"]), (1.0, 1.0, 0.0))

    def test_logged(self):
        from tevu.log import capture
        with capture() as records:
            f = m.get_runtime_factor()
        self.assertIn("nvenc.get_runtime_factor()=%s" % f, capture.messages(records))


class Configuration(unittest.TestCase):
    SHOW = "print(m.DESIRED_PRESET, m.YUV444_THRESHOLD, m.LOSSLESS_THRESHOLD, m.DEBUG_API)\n"

    BASE = {"TEVU_NVENC_PRESET": "", "TEVU_NVENC_YUV444_THRESHOLD": "85", "TEVU_NVENC_LOSSLESS_THRESHOLD": "100",
            "TEVU_NVENC_DEBUG_API": "0"}

    def config(self, **env):
        return run_python(self.SHOW, dict(self.BASE, **env))

    def test_values(self):
        cases = [
            ({}, "85 100 0"),
            ({"TEVU_NVENC_YUV444_THRESHOLD": " +42 ", "TEVU_NVENC_LOSSLESS_THRESHOLD": "-3"}, "42 -3 0"),
            ({"TEVU_NVENC_DEBUG_API": "1"}, "85 100 1"),
            ({"TEVU_NVENC_DEBUG_API": "true"}, "85 100 0"),
            ({"TEVU_NVENC_DEBUG_API": "2"}, "85 100 0"),
            ({"TEVU_NVENC_DEBUG_API": " 1"}, "85 100 0"),
        ]
        for env, expected in cases:
            rc, out, err = self.config(**env)
            self.assertEqual((rc, out.split()), (0, expected.split()), (env, err))
        rc, out, err = self.config(TEVU_NVENC_PRESET="hq")
        self.assertEqual(out.split()[0], "hq")

    def test_defaults_without_variables(self):
        unset = dict((k, None) for k in list(os.environ) + list(self.BASE) if k.startswith("TEVU_NVENC_"))
        rc, out, err = run_python(self.SHOW, unset)
        self.assertEqual(out.split(), ["85", "100", "0"], err)

    def test_threshold_not_integer_fails_import(self):
        for name in ("TEVU_NVENC_YUV444_THRESHOLD", "TEVU_NVENC_LOSSLESS_THRESHOLD"):
            for text in ("abc", "8.5", ""):
                rc, out, err = self.config(**{name: text})
                self.assertNotEqual(rc, 0)
                self.assertIn("ValueError: invalid literal for int()", err)


def soname_folder(*names):
    """A folder holding links to the stand-ins under the given names only."""
    d = tempfile.mkdtemp()
    for name in names:
        os.symlink(os.path.join(PLATFORM_DIR, name), os.path.join(d, name))
    return d


class LibraryLoading(unittest.TestCase):
    CODE = ("try:\n"
            "    m.init_nvencode_library()\n"
            "    print('loaded')\n"
            "except Exception as e:\n"
            "    print('failed', e)\n"
            "print(m.cuCtxGetCurrent is not None, m.NvEncodeAPICreateInstance is not None)\n")
    LOG = ("import ctypes\nfrom tevu.log import capture\n"
           "with capture() as r:\n    m.init_nvencode_library()\n"
           "for x in capture.messages(r): print(x)\n"
           "print(m.cuCtxGetCurrent.restype is ctypes.c_int32, m.NvEncodeAPICreateInstance.argtypes)\n")

    def setUp(self):
        if not os.path.exists(os.path.join(PLATFORM_DIR, "libnvidia-encode.so.1")):
            self.skipTest("no stand-ins")

    def run_with(self, directory, code=CODE):
        rc, out, err = run_python(code, {"LD_LIBRARY_PATH": directory})
        self.assertEqual(rc, 0, err)
        return out.splitlines()

    def test_no_libraries(self):
        lines = self.run_with(tempfile.mkdtemp())
        # The message names the unversioned library; the loader's errors for both of its names follow.
        self.assertTrue(lines[0].startswith("failed nvenc: the required library libcuda.so cannot be loaded: "
                                            "libcuda.so: cannot open shared object file"), lines)
        self.assertIn("; libcuda.so.1: cannot open shared object file", lines[0])
        self.assertEqual(lines[1], "False False")

    def test_only_cuda(self):
        for names in (["libcuda.so"], ["libcuda.so.1"]):
            lines = self.run_with(soname_folder(*names))
            self.assertTrue(lines[0].startswith(
                "failed nvenc: the required library libnvidia-encode.so cannot be loaded: libnvidia-encode.so: "), lines)
            self.assertIn("; libnvidia-encode.so.1: ", lines[0])
            self.assertEqual(lines[1], "True False", names)

    def test_either_name_serves(self):
        for names in (["libcuda.so", "libnvidia-encode.so"], ["libcuda.so.1", "libnvidia-encode.so.1"],
                      ["libcuda.so", "libnvidia-encode.so.1"]):
            self.assertEqual(self.run_with(soname_folder(*names)), ["loaded", "True True"], names)

    def test_log_lines_and_signatures(self):
        lines = self.run_with(PLATFORM_DIR, self.LOG)
        real = os.path.realpath(PLATFORM_DIR)
        self.assertEqual(lines[0], "init_nvencode_library() will try to load libcuda.so")
        self.assertTrue(lines[1].startswith("init_nvencode_library() <class 'ctypes.CDLL'>(libcuda.so)=<CDLL"))
        self.assertEqual(lines[2], "init_nvencode_library() opened %s/libcuda.so.1" % real)
        self.assertTrue(lines[3].startswith("init_nvencode_library() libcuda.cuCtxGetCurrent=<_FuncPtr"))
        self.assertEqual(lines[4], "init_nvencode_library() will try to load libnvidia-encode.so")
        self.assertEqual(lines[6], "init_nvencode_library() opened %s/libnvidia-encode.so.1" % real)
        self.assertTrue(lines[7].startswith("init_nvencode_library() NvEncodeAPICreateInstance=<_FuncPtr"))
        self.assertEqual(lines[8], "init_nvencode_library() NVENC API %d.0, the library's newest 12.2" % API)
        self.assertEqual(lines[9], "True [<class 'ctypes.c_void_p'>]")

    def test_log_lines_with_sonames_alone(self):
        lines = self.run_with(soname_folder("libcuda.so.1", "libnvidia-encode.so.1"), self.LOG)
        real = os.path.realpath(PLATFORM_DIR)
        self.assertEqual(lines[:2], ["init_nvencode_library() will try to load libcuda.so",
                                     "init_nvencode_library() will try to load libcuda.so.1"])
        self.assertTrue(lines[2].startswith("init_nvencode_library() <class 'ctypes.CDLL'>(libcuda.so.1)=<CDLL"))
        self.assertEqual(lines[3], "init_nvencode_library() opened %s/libcuda.so.1" % real)
        self.assertTrue(lines[4].startswith("init_nvencode_library() libcuda.cuCtxGetCurrent=<_FuncPtr"))
        self.assertEqual(lines[5:7], ["init_nvencode_library() will try to load libnvidia-encode.so",
                                      "init_nvencode_library() will try to load libnvidia-encode.so.1"])
        self.assertEqual(lines[8], "init_nvencode_library() opened %s/libnvidia-encode.so.1" % real)

    def test_newest_api_the_library_tells(self):
        # The API-12.0 module refuses an older library (the refusal: test_sessions' test_version_mismatch
        # and test_api_reference's test_init_module_failures), so it is told a newer one than its own.
        newest = "12.1" if API == 12 else "4.0"
        rc, out, err = run_python(self.LOG, {"LD_LIBRARY_PATH": PLATFORM_DIR, "NVENC_EMU_MAX_API": newest})
        self.assertEqual(rc, 0, err)
        self.assertIn("init_nvencode_library() NVENC API %d.0, the library's newest %s" % (API, newest),
                      out.splitlines())

    def test_sonames_alone_serve_a_whole_encode(self):
        folder = soname_folder("libcuda.so.1", "libnvidia-encode.so.1")
        out_dir = tempfile.mkdtemp()
        stream, source = os.path.join(out_dir, "out.h264"), os.path.join(out_dir, "src.bgrx")
        code = ("from tevu_testsupport.frames import Image, desktop_frame\n"
                "m.init_module()\n"
                "e = m.Encoder()\n"
                "e.init_context(320, 224, 'BGRX', ['YUV420P'], 'h264', 50, 50, (1, 1), {})\n"
                "with open(%r, 'wb') as s, open(%r, 'wb') as r:\n"
                "    for i in range(4):\n"
                "        pixels = desktop_frame(320, 224, i)\n"
                "        s.write(e.compress_image(Image(320, 224, pixels, timestamp=40 * i), 50, 50)[0])\n"
                "        r.write(pixels)\n"
                "e.clean()\n"
                "print(m.context_counter.get())\n") % (stream, source)
        rc, out, err = run_python(code, {"LD_LIBRARY_PATH": folder, "TEVU_NV_DRIVER_VERSION": "346.59"})
        self.assertEqual((rc, out), (0, "0\n"), err)
        frames, width, height, _ = decode(stream)
        self.assertEqual((frames, width, height), (4, 320, 224))
        self.assertGreaterEqual(psnr(stream, source, 320, 224), 38.0)


class Api4Import(unittest.TestCase):
    @unittest.skipUnless(API == 5, "only the API-5.0 module imports the other one")
    def test_own_counter_even_with_api4_module_present(self):
        code = ("import sys\n"
                "other = sys.modules.get('tevu.codecs.nvenc4.encoder')\n"
                "print(other is not None, other is None or other.context_counter is not m.context_counter)\n")
        rc, out, err = run_python(code)
        self.assertEqual(rc, 0, err)
        present, separate = out.split()
        self.assertEqual(separate, "True")

    @unittest.skipUnless(API == 12, "the API-12.0 module stands alone")
    def test_api12_module_imports_neither_other_module(self):
        code = ("import sys\n"
                "print(sorted(n for n in sys.modules if n.startswith('tevu.codecs.nvenc')))\n")
        rc, out, err = run_python(code)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.strip(), repr(sorted(["tevu.codecs.nvenc12", "tevu.codecs.nvenc12.encoder"])))


if __name__ == "__main__":
    unittest.main()

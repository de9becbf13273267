import os
import shutil
import tempfile
import unittest

from tevu.codecs import codec_checks, nv_util
from tevu.codecs.codec_constants import TransientCodecException, video_spec
from tevu.codecs.cuda_common import cuda_context
from tevu.codecs.image_wrapper import ImageWrapper
from tevu.log import capture

PROC_TEMPLATE = ("NVRM version: NVIDIA UNIX x86_64 Kernel Module  %s  Tue Mar 31 14:10:31 PDT 2015\n"
                 "GCC version:  gcc version 4.9.2 (Debian 4.9.2-10)\n")


class VideoSpecTest(unittest.TestCase):
    def test_keyword_fields_defaults_and_later_attributes(self):
        spec = video_spec(encoding="h264", output_colorspaces=("YUV420P",), has_lossless_mode=False,
                          codec_class=dict, codec_type="nvenc", quality=80, speed=100, setup_cost=80,
                          cpu_cost=10, gpu_cost=100, min_w=32, min_h=32, max_w=4096, max_h=4096,
                          can_scale=True, width_mask=0xFFFE, height_mask=0xFFFE)
        self.assertEqual((spec.encoding, spec.codec_type, spec.quality, spec.max_w, spec.width_mask),
                         ("h264", "nvenc", 80, 4096, 0xFFFE))
        self.assertIsNone(spec.input_colorspace)
        self.assertEqual(spec.get_runtime_factor(), 1.0)
        spec.get_runtime_factor = lambda: 0.25
        spec.quality = 90
        spec.extra = "kept"
        self.assertEqual((spec.get_runtime_factor(), spec.quality, spec.extra), (0.25, 90, "kept"))
        self.assertEqual(spec.make_instance(), {})
        self.assertEqual(repr(spec), "video_spec(nvenc h264: ? to YUV420P)")
        self.assertEqual(spec.to_dict()["cpu_cost"], 10)

    def test_unknown_field_is_refused(self):
        with self.assertRaises(TypeError) as raised:
            video_spec(encoding="h264", qualty=80)
        self.assertIn("qualty", str(raised.exception))

    def test_transient_exception_carries_its_message(self):
        with self.assertRaises(TransientCodecException) as raised:
            raise TransientCodecException("could not initialize cuda: out of memory")
        self.assertEqual(str(raised.exception), "could not initialize cuda: out of memory")
        self.assertTrue(issubclass(TransientCodecException, Exception))


class ImageWrapperTest(unittest.TestCase):
    def test_getters(self):
        pixels = bytearray(64 * 8)
        image = ImageWrapper(15, 8, pixels, 64, 1234)
        self.assertEqual((image.get_width(), image.get_height(), image.get_rowstride(),
                          image.get_timestamp(), image.get_planes()), (15, 8, 64, 1234, ImageWrapper.PACKED))
        self.assertIs(image.get_pixels(), pixels)
        self.assertEqual(image.get_size(), 512)
        self.assertEqual(image.get_pixel_format(), "BGRX")
        self.assertEqual(repr(image), "ImageWrapper(BGRX:PACKED:15x8)")
        image.free()
        self.assertIsNone(image.get_pixels())
        self.assertTrue(image.is_freed())

    def test_defaults_and_planes(self):
        image = ImageWrapper(2, 2, b"\0" * 16, 8)
        self.assertEqual(image.get_timestamp(), 0)
        self.assertEqual(image.get_planes(), ImageWrapper.PACKED)
        planar = ImageWrapper(2, 2, b"\0" * 16, 8, 5, ImageWrapper.PLANAR_3)
        self.assertNotEqual(planar.get_planes(), ImageWrapper.PACKED)
        self.assertEqual(ImageWrapper(2, 2, b"", 8, timestamp=2 ** 40).get_timestamp(), 2 ** 40)

    def test_bad_dimensions(self):
        cases = [((-1, 2, 8), ValueError), ((2, -2, 8), ValueError), ((2, 2, -8), ValueError),
                 (("2", 2, 8), TypeError), ((2, 2.5, 8), TypeError), ((True, 2, 8), TypeError)]
        for (width, height, stride), error in cases:
            with self.assertRaises(error):
                ImageWrapper(width, height, b"", stride)
        with self.assertRaises(TypeError):
            ImageWrapper(2, 2, b"", 8, timestamp="now")


class NvidiaVersionTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.saved_path = nv_util.NVIDIA_VERSION_FILE
        self.saved_env = os.environ.pop(nv_util.VERSION_OVERRIDE_ENV, None)
        nv_util.reset_cache()

    def tearDown(self):
        nv_util.NVIDIA_VERSION_FILE = self.saved_path
        os.environ.pop(nv_util.VERSION_OVERRIDE_ENV, None)
        if self.saved_env is not None:
            os.environ[nv_util.VERSION_OVERRIDE_ENV] = self.saved_env
        nv_util.reset_cache()
        shutil.rmtree(self.tmp)

    def _version_file(self, content):
        path = os.path.join(self.tmp, "version")
        with open(path, "w") as f:
            f.write(content)
        nv_util.NVIDIA_VERSION_FILE = path
        nv_util.reset_cache()

    # (driver version text, parsed version, blacklist verdict)
    VERDICTS = [
        ("304.125", [304, 125], True),
        ("339.99", [339, 99], True),
        ("340.0", [340, 0], False),
        ("340.101", [340, 101], False),
        ("346.59", [346, 59], False),
        ("350.12", [350, 12], False),
        ("350", [350], False),
        ("351.1", [351, 1], None),
        ("361.42.01", [361, 42, 1], None),
        ("1", [1], True),
    ]

    def test_environment_override(self):
        self._version_file(PROC_TEMPLATE % "352.21")
        for text, version, verdict in self.VERDICTS:
            os.environ[nv_util.VERSION_OVERRIDE_ENV] = text
            self.assertEqual(nv_util.get_nvidia_module_version(), version, text)
            self.assertIs(nv_util.is_blacklisted(), verdict, text)

    def test_version_file(self):
        for text, version, verdict in self.VERDICTS:
            self._version_file(PROC_TEMPLATE % text)
            self.assertEqual(nv_util.get_nvidia_module_version(True), version, text)
            self.assertIs(nv_util.is_blacklisted(), verdict, text)

    def test_unknown_versions(self):
        for bad in ("abc", "346.", ".59", "346.59b", "3 46"):
            os.environ[nv_util.VERSION_OVERRIDE_ENV] = bad
            with capture() as records:
                self.assertFalse(nv_util.get_nvidia_module_version(), bad)
            self.assertTrue(any(r.level == "warn" for r in records), bad)
            self.assertIsNone(nv_util.is_blacklisted(), bad)
        del os.environ[nv_util.VERSION_OVERRIDE_ENV]
        nv_util.NVIDIA_VERSION_FILE = os.path.join(self.tmp, "missing")
        self.assertFalse(nv_util.get_nvidia_module_version(True))
        self.assertIsNone(nv_util.is_blacklisted())
        for content in ("", "garbage\n", "NVRM version: no numbers here\n"):
            self._version_file(content)
            self.assertFalse(nv_util.get_nvidia_module_version(True), content)
            self.assertIsNone(nv_util.is_blacklisted(), content)

    def test_empty_override_falls_back_to_the_file(self):
        self._version_file(PROC_TEMPLATE % "346.59")
        os.environ[nv_util.VERSION_OVERRIDE_ENV] = ""
        self.assertEqual(nv_util.get_nvidia_module_version(), [346, 59])

    def test_file_is_read_once_unless_probed(self):
        self._version_file(PROC_TEMPLATE % "346.59")
        self.assertEqual(nv_util.get_nvidia_module_version(), [346, 59])
        with open(nv_util.NVIDIA_VERSION_FILE, "w") as f:
            f.write(PROC_TEMPLATE % "355.11")
        self.assertEqual(nv_util.get_nvidia_module_version(False), [346, 59])
        self.assertEqual(nv_util.get_nvidia_module_version(True), [355, 11])
        self.assertIsNone(nv_util.is_blacklisted())
        nv_util.get_nvidia_module_version().append(1)  # callers get copies
        self.assertEqual(nv_util.get_nvidia_module_version(), [355, 11])

    def test_other_file_layouts(self):
        cases = [
            ("NVRM version: NVIDIA UNIX Open Kernel Module for x86_64  550.54.14  Release Build\n",
             [550, 54, 14]),
            ("NVRM version: NVIDIA UNIX ppc64le Kernel Module  418.87.01  Sat Aug 17 2019\n", [418, 87, 1]),
            ("something first\nNVRM version: 340.76 built\n", [340, 76]),
        ]
        for content, version in cases:
            self.assertEqual(nv_util.parse_version_file(content), version, content)


class FakeEncoderModule(object):
    """An encoder module whose encoders can be set up up to a given size."""

    __name__ = "fake_encoder"

    def __init__(self, max_w, max_h, min_size=32):
        module = self
        self.attempts = []
        self.cleaned = 0
        self.max_w, self.max_h, self.min_size = max_w, max_h, min_size

        class Encoder(object):
            def init_context(self, width, height, src_format, dst_formats, encoding, quality, speed,
                             scaling, options):
                module.attempts.append((width, height, src_format, tuple(dst_formats), encoding))
                cuda_context.record_device_failure(0)
                if width > module.max_w or height > module.max_h or min(width, height) < module.min_size:
                    raise TransientCodecException("too large: %ix%i" % (width, height))

            def clean(self):
                module.cleaned += 1

        self.Encoder = Encoder

    def get_encodings(self):
        return ["h264"]

    def get_input_colorspaces(self, encoding):
        return ["BGRX"]

    def get_output_colorspaces(self, encoding, input_colorspace):
        return ("YUV420P",)


class EncoderMaxSizesTest(unittest.TestCase):
    def test_probed_sizes(self):
        # (largest width, largest height) the encoder accepts -> what the probe reports
        cases = [((4096, 4096), (4096, 4096)), ((4096, 2304), (4096, 2304)), ((3000, 1000), (2976, 992)),
                 ((16384, 20000), (16384, 16384)), ((128, 128), (128, 128)), ((200, 8192), (192, 8192))]
        for (max_w, max_h), expected in cases:
            module = FakeEncoderModule(max_w, max_h)
            self.assertEqual(codec_checks.get_encoder_max_sizes(module), expected, (max_w, max_h))
            self.assertEqual(module.cleaned, len(module.attempts))
            self.assertLess(len(module.attempts), 40)
            self.assertEqual(set(a[2:] for a in module.attempts), {("BGRX", ("YUV420P",), "h264")})

    def test_nothing_fits(self):
        module = FakeEncoderModule(4096, 4096, min_size=256)
        self.assertEqual(codec_checks.get_encoder_max_sizes(module), (0, 0))
        self.assertEqual(len(module.attempts), 1)

    def test_probe_failures_leave_device_bookkeeping_alone(self):
        cuda_context.reset_state()
        cuda_context.record_device_failure(1)
        before = [cuda_context.device_ranking(n) for n in (0, 1)]
        codec_checks.get_encoder_max_sizes(FakeEncoderModule(1024, 1024))
        self.assertEqual([cuda_context.device_ranking(n) for n in (0, 1)], before)
        cuda_context.reset_state()


if __name__ == "__main__":
    unittest.main()

"""The encoder module under test, and what its suites share. The same suites run against each API build:
TEVU_ENCODER_MODULE names the module (one of tevu_nvenc_apis.APIS: there is no default), TEVU_TEST_BUILD_DIR
the build tree."""

import importlib
import os
import sys

import tevu_nvenc_apis
from tevu_testsupport import processes
from tevu_testsupport.streams import ENCODING

MODULE_NAME = os.environ.get("TEVU_ENCODER_MODULE") or None


def _module_api(name):
    if name is None:
        return None
    for api in tevu_nvenc_apis.APIS:
        if api.module == name:
            return api
    raise SystemExit("TEVU_ENCODER_MODULE=%s: not an encoder module of this build (%s)"
                     % (name, ", ".join(a.module for a in tevu_nvenc_apis.APIS)))


# The registry's row of the module under test (None when the suite names none), and its API number.
MODULE_API = _module_api(MODULE_NAME)
API = MODULE_API.number if MODULE_API else None
# The encodings the module can offer (all of them on the stand-ins' default device), and whether a host
# chooses among them: init_module() then probes the others and publishes ENCODING_SUPPORT.
ENCODINGS = list(MODULE_API.encodings) if MODULE_API else ["h264"]
CHOOSES_ENCODING = len(ENCODINGS) > 1
if ENCODING not in ENCODINGS:
    raise SystemExit("TEVU_TEST_ENCODING=%s: the module offers %s" % (ENCODING, ", ".join(ENCODINGS)))
BUILD_DIR = os.environ.get("TEVU_TEST_BUILD_DIR", "")
PLATFORM_DIR = os.path.join(BUILD_DIR, "platform")
# The build's gpu-check, whose --reference-yuv444 converts pictures with the CPU kernel.
GPU_CHECK = os.path.join(BUILD_DIR, "bin", "gpu-check")
# What a failed check that guards the encoder's state raises: AssertionError, or under python -O (where
# assertions are off) the generic Exception with the same message.
CHECK_ERROR = AssertionError if __debug__ else Exception


def load():
    if MODULE_NAME is None:
        raise SystemExit("TEVU_ENCODER_MODULE must name the encoder module under test (%s)"
                         % ", ".join(a.module for a in tevu_nvenc_apis.APIS))
    return importlib.import_module(MODULE_NAME)


def load_initialised():
    """The module under test after init_module(); unless TEVU_NV_DRIVER_VERSION is set, with the driver
    version that the stand-ins are known good with (346.59)."""
    os.environ.setdefault("TEVU_NV_DRIVER_VERSION", "346.59")
    m = load()
    m.init_module()
    return m


def run_python(code, env=None, optimize=False):
    """processes.run_python with the module under test as `m`."""
    return processes.run_python(code, env, optimize, module=MODULE_NAME)


def new_encoder(width=320, height=240, quality=50, speed=50, scaling=(1, 1), dst=("YUV420P", "YUV444P"),
                options=None):
    """An encoder of the module under test, set up for BGRX to the encoding under test."""
    e = load().Encoder()
    e.init_context(width, height, "BGRX", list(dst), ENCODING, quality, speed, scaling, options or {})
    return e


def fmt(info):
    """The kind of picture an encoder makes, from its get_info(): (pixel format, lossless)."""
    return (info["pixel_format"], bool(info["lossless"]))


def support():
    """(4:4:4, lossless): what the initialised module allows the encoding under test."""
    m = load()
    if CHOOSES_ENCODING:
        return m.ENCODING_SUPPORT[ENCODING]
    return (bool(m.YUV444_ENABLED), bool(m.LOSSLESS_ENABLED))


def encoded_as(kind):
    """The kind of picture the encoding under test makes where an encoding with every format makes `kind`
    ((pixel format, lossless)): 4:2:0 without 4:4:4, lossy without lossless."""
    yuv444, lossless = support()
    pixel_format, is_lossless = kind
    if pixel_format == "YUV444P" and not yuv444:
        return ("NV12", False)
    return (pixel_format, is_lossless and lossless)


def assert_plain_check(test, call, message, skipped):
    """A plain assertion of the module: AssertionError with the message while assertions are on; under
    python -O it is skipped and the call goes on, returning `skipped`."""
    if __debug__:
        with test.assertRaises(AssertionError) as c:
            call()
        test.assertEqual(str(c.exception), message)
    else:
        test.assertEqual(call(), skipped, message)


def read_trace(path):
    """The calls an NVENC stand-in trace (NVENC_EMU_TRACE) lists, in order: (entry point, {field: value})."""
    with open(path) as f:
        lines = [line.split() for line in f if line.strip()]
    return [(words[0], dict(w.split("=", 1) for w in words[1:] if "=" in w)) for words in lines]


def trace_calls(path, entry):
    """The fields of each call of one entry point in an NVENC stand-in trace."""
    return [fields for name, fields in read_trace(path) if name == entry]


class LeakCheck(object):
    """Mixin of a TestCase: runs test classes of a script in a fresh interpreter (with this one's assertion
    mode) with the stand-ins' leak reports on, and checks that they pass and leave nothing behind: no CUDA
    object, no NVENC session, no handle of a refused session."""

    REPORTS = [("CUDA_EMU_REPORT:", "leaks=0 contexts=0 allocations=0 host_buffers=0"),
               ("NVENC_EMU_REPORT:", "leaks=0 sessions=0 refused_opens=0")]

    def assert_no_leaks(self, script, *classes):
        if os.environ.get("TEVU_ENCODER_LEAK_RUN"):
            self.skipTest("inside the leak run")
        args = [sys.executable] + ([] if __debug__ else ["-O"]) + [os.path.abspath(script)] + list(classes)
        rc, out, err = processes.run(args, {"CUDA_EMU_REPORT": "1", "NVENC_EMU_REPORT": "1",
                                            "TEVU_ENCODER_LEAK_RUN": "1"})
        self.assertEqual(rc, 0, err[-3000:])
        for prefix, clean in self.REPORTS:
            report = [line for line in err.splitlines() if line.startswith(prefix)]
            self.assertEqual(len(report), 1, "expected one %s line:\n%s" % (prefix, err[-3000:]))
            self.assertIn(clean, report[0])

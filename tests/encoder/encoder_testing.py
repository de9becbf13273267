"""Shared helpers of the encoder module tests: which module is under test, subprocess runs, decoding."""

import importlib
import os
import subprocess
import sys

# The module under test; the same suites run against each API build.
MODULE_NAME = os.environ.get("TEVU_ENCODER_MODULE", "tevu.codecs.nvenc5.encoder")
API = 4 if ".nvenc4." in MODULE_NAME else 5
BUILD_DIR = os.environ.get("TEVU_TEST_BUILD_DIR", "")
# What a failed check that guards the encoder's state raises: AssertionError, or under python -O (where
# assertions are off) the generic Exception with the same message.
CHECK_ERROR = AssertionError if __debug__ else Exception
PLATFORM_DIR = os.path.join(BUILD_DIR, "platform")


def load():
    return importlib.import_module(MODULE_NAME)


def run_python(code, env=None, optimize=False):
    """Runs code in a fresh interpreter (this one's) with the module's name bound to `m`; returns (rc, out,
    err) as text. The code prints with print()."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    prologue = "from __future__ import print_function\nimport importlib\nm = importlib.import_module(%r)\n" % (
        MODULE_NAME,)
    args = [sys.executable] + (["-O"] if optimize else []) + ["-c", prologue + code]
    p = subprocess.Popen(args, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    out, err = p.communicate()
    return p.returncode, out, err


class LeakCheck(object):
    """Mixin of a TestCase: runs test classes of a script in a fresh interpreter with the CUDA stand-in's
    leak report on, and checks that they pass and leave nothing behind."""

    def assert_no_leaks(self, script, *classes):
        if os.environ.get("TEVU_ENCODER_LEAK_RUN"):
            self.skipTest("inside the leak run")
        env = dict(os.environ, CUDA_EMU_REPORT="1", TEVU_ENCODER_LEAK_RUN="1")
        args = [sys.executable] + ([] if __debug__ else ["-O"]) + [os.path.abspath(script)] + list(classes)
        p = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        out, err = p.communicate()
        self.assertEqual(p.returncode, 0, err[-3000:])
        report = [line for line in err.splitlines() if line.startswith("CUDA_EMU_REPORT:")]
        self.assertEqual(len(report), 1, "expected one leak report line:\n" + err[-3000:])
        self.assertIn("leaks=0 contexts=0 allocations=0 host_buffers=0", report[0])


# --- images and decoding ---------------------------------------------------------------------------------
class Image(object):
    """A host-like image object over BGRX bytes."""

    def __init__(self, width, height, pixels, stride=None, timestamp=0):
        from tevu.codecs.image_wrapper import ImageWrapper
        self.wrapper = ImageWrapper(width, height, pixels, stride or width * 4, timestamp)

    def __getattr__(self, name):
        return getattr(self.wrapper, name)


# The demonstration's synthetic desktop-like pictures.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from stream_quality import decode, desktop_frame, psnr, run  # noqa: E402,F401

"""The API-12.0 module against each driver series of the matrix (NVIDIA's real user-space libraries from
Debian's packages, without a GPU): a driver that speaks API 12.0 gets as far as the missing device and the
module logs the library's newest API; an older one is refused with the API message before any device or
session is needed. Exits with status 77 (a skip) when no series could be had."""

import unittest

from tevu_testsupport.driver_matrix import available, main, sonames
from tevu_testsupport.nvenc import CHECK_ERROR, run_python

TOO_OLD = "nvenc: the driver supports NVENC API %s, this module needs 12.0 or later (driver 520 or later)"

# series -> (the newest API the library logs, or None where it cannot tell; the failure of init_module())
EXPECTED = {
    "340": (None, "Exception: " + TOO_OLD % "an unknown version"),
    "390": ("8.1", "Exception: " + TOO_OLD % "8.1"),
    "418": ("9.0", "Exception: " + TOO_OLD % "9.0"),
    "470": ("11.1", "Exception: " + TOO_OLD % "11.1"),
    "535": ("12.1", "%s: no NVENC device found!" % CHECK_ERROR.__name__),
    "550": ("12.2", "%s: no NVENC device found!" % CHECK_ERROR.__name__),
    "555": ("12.2", "%s: no NVENC device found!" % CHECK_ERROR.__name__),
}

CODE = ("from tevu.log import capture\n"
        "with capture() as r:\n"
        "    try:\n"
        "        m.init_module()\n"
        "        print('returned')\n"
        "    except Exception as e:\n"
        "        print('raised %s: %s' % (type(e).__name__, e))\n"
        "for x in capture.messages(r): print('log ' + x)\n"
        "print('counter %d' % m.context_counter.get())\n"
        "print('bound %s' % (m.NvEncodeAPICreateInstance is not None))\n")


class Api12OnEachDriver(unittest.TestCase):
    def test_each_series(self):
        for series in available(EXPECTED):
            newest, failure = EXPECTED[series]
            rc, out, err = run_python(CODE, {"LD_LIBRARY_PATH": sonames(series), "TEVU_NV_DRIVER_VERSION": ""},
                                      optimize=not __debug__)
            self.assertEqual(rc, 0, err)
            lines = out.splitlines()
            self.assertEqual(lines[0], "raised " + failure, (series, lines))
            self.assertIn("counter 0", lines, series)
            if newest:
                self.assertIn("log init_nvencode_library() NVENC API 12.0, the library's newest %s" % newest,
                              lines, series)
            else:
                self.assertIn("log init_nvencode_library() NVENC API 12.0, the library does not tell its newest",
                              lines, series)
            # A driver too old for API 12.0 is left unbound: no session can be attempted with it.
            self.assertIn("bound %s" % failure.endswith("no NVENC device found!"), lines, series)
            self.assertFalse([l for l in lines if "nvEncOpenEncodeSessionEx" in l], series)


if __name__ == "__main__":
    main(EXPECTED)

import array
import ctypes
import sys
import threading
import unittest

from tevu.os_util import _memoryview
from tevu.scripts.config import get_platform_info, python_platform
from tevu.util import AtomicInteger, csv, engs, pver, updict


class AtomicIntegerTest(unittest.TestCase):
    THREADS = 8
    ROUNDS = 5000

    def _run_threads(self, target):
        threads = [threading.Thread(target=target) for _ in range(self.THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    def test_concurrent_increases_hand_out_each_value_once(self):
        counter = AtomicInteger()
        seen = []
        seen_lock = threading.Lock()

        def work():
            mine = [counter.increase() for _ in range(self.ROUNDS)]
            with seen_lock:
                seen.extend(mine)

        # switch threads as often as possible
        if hasattr(sys, "setswitchinterval"):
            get_interval, set_interval, fastest = sys.getswitchinterval, sys.setswitchinterval, 1e-6
        else:
            get_interval, set_interval, fastest = sys.getcheckinterval, sys.setcheckinterval, 1
        old_interval = get_interval()
        set_interval(fastest)
        try:
            self._run_threads(work)
        finally:
            set_interval(old_interval)
        total = self.THREADS * self.ROUNDS
        self.assertEqual(counter.get(), total)
        self.assertEqual(sorted(seen), list(range(1, total + 1)))

    def test_concurrent_increase_and_decrease_balance(self):
        counter = AtomicInteger(10)

        def work():
            for _ in range(self.ROUNDS):
                counter.increase()
                counter.decrease()

        self._run_threads(work)
        self.assertEqual(counter.get(), 10)

    def test_results_and_text_form(self):
        counter = AtomicInteger()
        self.assertEqual(str(counter), "0")
        self.assertEqual(counter.increase(), 1)
        self.assertEqual(counter.increase(5), 6)
        self.assertEqual(counter.decrease(), 5)
        self.assertEqual(counter.decrease(7), -2)
        self.assertEqual("%s in use" % counter, "-2 in use")
        self.assertEqual(repr(counter), "-2")
        self.assertEqual(int(counter), -2)
        self.assertEqual(str(AtomicInteger(32)), "32")


class TextHelpersTest(unittest.TestCase):
    def test_engs(self):
        one = AtomicInteger(1)
        cases = [(0, "s"), (1, ""), (2, "s"), (-1, "s"), (one, ""), (AtomicInteger(3), "s"),
                 ([1], ""), ([], "s"), ((1, 2), "s"), ({"a": 1}, "")]
        for value, expected in cases:
            self.assertEqual(engs(value), expected, "engs(%r)" % (value,))

    def test_csv(self):
        cases = [(["h264"], "h264"), (["a", "b", "c"], "a, b, c"), ((1, 2), "1, 2"), ([], ""),
                 (None, ""), (iter(["x", "y"]), "x, y"), ("text", "text")]
        for value, expected in cases:
            self.assertEqual(csv(value), expected, "csv(%r)" % (value,))
        self.assertEqual(sorted(csv({"H264": 1, "HEVC": 2}).split(", ")), ["H264", "HEVC"])

    def test_pver(self):
        cases = [([346, 59], "346.59"), ((5, 0, 0), "5.0.0"), ([361, 42, 1], "361.42.1"),
                 ("r361_00", "r361_00"), (None, "unknown"), ([], "unknown"), ("", "unknown"),
                 (["a", "b"], "a, b"), (12, "12")]
        for value, expected in cases:
            self.assertEqual(pver(value), expected, "pver(%r)" % (value,))

    def test_updict(self):
        cases = [
            ({}, "cuda", {"device.name": "GPU", "api_version": 3020},
             {"cuda.device.name": "GPU", "cuda.api_version": 3020}),
            ({"width": 1}, "pycuda", None, {"width": 1}),
            ({"width": 1}, "cuda", {}, {"width": 1}),
            ({"a.x": 0}, "a", {"x": 1, "y": 2}, {"a.x": 1, "a.y": 2}),
            ({}, "", {"x": 1}, {"x": 1}),
        ]
        for target, prefix, source, expected in cases:
            result = updict(target, prefix, source)
            self.assertIs(result, target)
            self.assertEqual(target, expected, "updict(.., %r, %r)" % (prefix, source))
        self.assertEqual(updict({}, "p", {"k": 1}, "s"), {"p.k.s": 1})


class MemoryViewTest(unittest.TestCase):
    def _assert_read_only(self, view):
        self.assertTrue(view.readonly)
        with self.assertRaises(TypeError):
            view[0] = b"z"

    def test_views_are_read_only_without_copying(self):
        data = bytearray(b"BGRXBGRX")
        view = _memoryview(data)
        self._assert_read_only(view)
        data[0] = ord("Z")
        self.assertEqual(view.tobytes(), b"ZGRXBGRX")
        self.assertEqual(data, bytearray(b"ZGRXBGRX"))

    def test_buffer_sources(self):
        sources = [
            (b"\x01\x02\x03\x04", b"\x01\x02\x03\x04"),
            (bytearray(b"\x05\x06"), b"\x05\x06"),
            (array.array("B", [7, 8, 9]), b"\x07\x08\x09"),
            ((ctypes.c_ubyte * 3)(1, 2, 3), b"\x01\x02\x03"),
            (memoryview(bytearray(b"ab")), b"ab"),
            (memoryview(b"cd"), b"cd"),
        ]
        if sys.version_info[0] == 2:
            sources.append((buffer(b"ef"), b"ef"))  # noqa: F821 - Python 2 only
        for source, expected in sources:
            view = _memoryview(source)
            self._assert_read_only(view)
            self.assertEqual(view.tobytes(), expected, repr(source))
            self.assertEqual(len(view), len(expected))

    def test_non_buffers_are_refused(self):
        refused = [None, 12, [1, 2], object()]
        if sys.version_info[0] >= 3:
            refused.append(u"BGRX")  # text is not pixel data
        for value in refused:
            with self.assertRaises(TypeError):
                _memoryview(value)


class PlatformTest(unittest.TestCase):
    def test_uname_release(self):
        uname = python_platform.uname()
        self.assertEqual(len(uname), 6)
        self.assertEqual(get_platform_info()["release"], uname[2])
        if sys.platform.startswith("linux"):
            with open("/proc/sys/kernel/osrelease") as f:
                self.assertEqual(uname[2], f.read().strip())


if __name__ == "__main__":
    unittest.main()

import os
import sys
import unittest

from tevu.log import Logger, capture


class LoggerTest(unittest.TestCase):
    def test_levels_and_formatting(self):
        log = Logger("encoder", "nvenc")
        with capture() as records:
            log("debug %s=%i", "x", 3)
            log.info("info %s", "y")
            log.warn("warn")
            log.error("error %s %s", 1, 2)
        self.assertEqual([(r.level, r.message) for r in records],
                         [("debug", "debug x=3"), ("info", "info y"), ("warn", "warn"),
                          ("error", "error 1 2")])
        self.assertEqual(records[0].categories, ("encoder", "nvenc"))

    def test_exc_info_records_traceback(self):
        log = Logger("test")
        with capture() as records:
            try:
                raise ValueError("boom")
            except ValueError:
                log.error("failed", exc_info=True)
        self.assertIs(records[0].exc_info[0], ValueError)

    def test_debug_off_by_default(self):
        log = Logger("quiet")
        self.assertFalse(log.debug_enabled)
        self.assertFalse(log.is_debug_enabled())
        log.enable_debug()
        self.assertTrue(log.debug_enabled)
        self.assertTrue(log.is_debug_enabled())

    def test_a_capture_keeps_debug_lines(self):
        log = Logger("captured")
        with capture() as records:
            self.assertTrue(log.is_debug_enabled())
            log("kept %s", 1)
        self.assertFalse(log.is_debug_enabled())
        self.assertEqual(capture.messages(records), ["kept 1"])


if __name__ == "__main__":
    unittest.main()

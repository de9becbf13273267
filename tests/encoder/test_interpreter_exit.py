"""The interpreter exits while daemon threads are inside the encoder: the process ends normally.

A host's encoding threads are often daemon threads, and the interpreter does not wait for them: it
finalizes while they wait for the driver, run the host's Python code from inside a method, or ask for the
interpreter lock back. Each case runs many times, at several moments after the threads have started, so
that the exit meets the threads at different points of their calls.
"""

import unittest

from tevu_testsupport.nvenc import run_python

WIDTH, HEIGHT = 640, 480

# Starts the named daemon threads, each on an encoder of its own, waits until each has made one whole
# call, lets them run for DELAY seconds, then lets the interpreter exit. Between calls the threads use
# only their locals: Python 2 empties the modules' globals during its teardown while daemon threads
# still run, and a thread failing on that in its own code would say nothing of the encoder.
CHILD = r"""
import threading, time
from tevu.codecs.image_wrapper import ImageWrapper
m.init_module()
W, H = %(width)d, %(height)d
started = threading.Semaphore(0)

def encode(e, image, started=started):
    compress = e.compress_image
    compress(image, 50, 50)
    started.release()
    while True:
        compress(image, 50, 50)

def query(e, image, started=started):
    info = e.get_info
    info()
    started.release()
    while True:
        info()

workers = [{"encode": encode, "query": query}[name] for name in %(threads)r]
for work in workers:
    e = m.Encoder()
    e.init_context(W, H, "BGRX", ["YUV420P"], "h264", 50, 50, (1, 1), {})
    image = ImageWrapper(W, H, b"\x40" * (W * H * 4), W * 4, 0)
    thread = threading.Thread(target=work, args=(e, image))
    thread.daemon = True
    thread.start()
for _ in workers:
    started.acquire()
time.sleep(%(delay)r)
print("exiting")
"""

# What a process that did not end normally leaves on its standard error.
CRASH_MARKS = ("terminate called", "FATAL", "Fatal Python error", "Sanitizer", "runtime error:", "Segmentation")
DELAYS = (0.0, 0.005, 0.02, 0.05)
ROUNDS = 2


class InterpreterExitTest(unittest.TestCase):
    def assert_exits_cleanly(self, threads):
        for round_number in range(ROUNDS):
            for delay in DELAYS:
                code = CHILD % {"width": WIDTH, "height": HEIGHT, "threads": threads, "delay": delay}
                rc, out, err = run_python(code)
                where = "threads %s, round %d, delay %s: exit status %d\n%s" % (
                    threads, round_number, delay, rc, err[-3000:])
                self.assertEqual(rc, 0, where)
                self.assertEqual(out.strip(), "exiting", where)
                for mark in CRASH_MARKS:
                    self.assertNotIn(mark, err, where)

    def test_threads_encoding(self):
        self.assert_exits_cleanly(["encode"])

    def test_threads_reading_info(self):
        self.assert_exits_cleanly(["query"])

    def test_threads_encoding_and_reading_info(self):
        self.assert_exits_cleanly(["encode", "encode", "query"])


if __name__ == "__main__":
    unittest.main()

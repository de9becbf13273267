"""Encoder lifecycle under faults and misuse: format switches that fail half-way, calls on encoders in the
wrong state, hostile integers and sizes, pixels freed by another thread or held by nothing but the module,
and teardown that the driver refuses. After each, the encoder is fully in its old configuration, fully in
its new one, or closed."""

import binascii
import os
import shutil
import sys
import tempfile
import unittest

from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.nvenc import (API, CHECK_ERROR, MODULE_NAME, LeakCheck, encoded_as, fmt, load_initialised,
                                    new_encoder, read_trace, run_python, support)
from tevu_testsupport.processes import environment, run_python as run_plain_python
from tevu_testsupport.streams import ENCODING, Stream, decode

m = load_initialised()
from tevu.log import capture  # noqa: E402

INT_MIN, INT_MAX = -(1 << 31), (1 << 31) - 1

W, H = 128, 96


@unittest.skipUnless(support()[1], "the encoding has no lossless 4:4:4 to switch to")
class FormatSwitchFaults(unittest.TestCase):
    """Each entry point that a 4:2:0 to lossless 4:4:4 switch calls, failing once on the switching frame."""

    FAULTS = [
        ("NVENC_EMU_FAIL", "nvEncReconfigureEncoder=8@1"),
        ("NVENC_EMU_FAIL", "nvEncRegisterResource=8@1"),
        ("NVENC_EMU_FAIL", "nvEncUnregisterResource=8@1"),
        ("NVENC_EMU_FAIL", "nvEncRegisterResource=8@1,nvEncReconfigureEncoder=8@2"),  # the way back fails too
        ("CUDA_EMU_FAIL", "cuMemAllocPitch=2@1"),
        ("CUDA_EMU_FAIL", "cuMemFree=2@1"),
        ("CUDA_EMU_FAIL", "cuModuleGetFunction=500@1"),  # the host's kernel for the new format
    ]
    # What the set-up asked the driver, a switch reads from the session's catalogue: these failing do not
    # stop it. The API-12.0 module reads its preset configurations with the tuning: the lossless tuning's
    # is new to the session, and the switch asks for it.
    CATALOGUED = ["nvEncGetEncodePresetCount=8", "nvEncGetEncodePresetGUIDs=8", "nvEncGetInputFormatCount=8",
                  "nvEncGetInputFormats=8", "nvEncGetEncodeCaps=8"]
    if API == 12:
        FAULTS.append(("NVENC_EMU_FAIL", "nvEncGetEncodePresetConfigEx=8"))
    else:
        CATALOGUED.append("nvEncGetEncodePresetConfig=8")
    # After the fault: qualities and the (pixel format, lossless) each frame must be encoded with.
    # (A failed switch has stored quality 100 already, so a repeated 100 would not switch again.)
    FOLLOWING = [(40, ("NV12", False)), (90, ("NV12", False)), (95, ("YUV444P", False)),
                 (100, ("YUV444P", True)), (40, ("NV12", False)), (100, ("YUV444P", True))]

    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)
        self.assertEqual(m.context_counter.get(), 0)

    def frame(self, e, q, i):
        return e.compress_image(Image(W, H, desktop_frame(W, H, i), timestamp=i), q, 50)

    def test_each_fault_leaves_old_new_or_closed(self):
        for variable, rule in self.FAULTS:
            e = new_encoder(W, H, 40)
            stream = []
            data, options = self.frame(e, 40, 0)
            stream.append(data)
            with environment(**{variable: rule}):
                with capture() as records:
                    try:
                        data, options = self.frame(e, 100, 1)
                        stream.append(data)
                        failed = None
                    except Exception as x:  # noqa: B902 - any failure of the switch is acceptable here
                        failed = x
            warned = [r for r in capture.messages(records)
                      if "could not release" in r or "failed to get preset config" in r]
            self.assertTrue(failed is not None or warned, "%s: the fault did not happen" % rule)
            if e.is_closed():
                self.assertRaises(CHECK_ERROR, self.frame, e, 40, 2)
                e.clean()
                continue
            # fully old or fully new: the module's record says which, and the next frames encode
            self.assertIn(fmt(e.get_info()), [("NV12", False), ("YUV444P", True)], rule)
            last = options["frame"]
            for n, (q, expected) in enumerate(self.FOLLOWING):
                data, options = self.frame(e, q, 10 + n)
                stream.append(data)
                self.assertEqual(fmt(e.get_info()), expected, "%s, quality %d" % (rule, q))
                self.assertEqual(options["frame"], last + 1, "%s: the encoder was rebuilt" % rule)
                self.assertEqual(options.get("lossless", False), expected[1])
                last = options["frame"]
            e.clean()
            path = os.path.join(self.dir, "switches.h264")
            with open(path, "wb") as f:
                f.write(b"".join(stream))
            frames, w, h, _ = decode(path)
            self.assertEqual((frames, w, h), (len(stream), W, H), rule)

    def test_a_switch_asks_nothing_the_set_up_asked(self):
        for rule in self.CATALOGUED:
            e = new_encoder(W, H, 40)
            try:
                self.frame(e, 40, 0)
                with environment(NVENC_EMU_FAIL=rule):
                    data, options = self.frame(e, 100, 1)
                self.assertEqual(fmt(e.get_info()), ("YUV444P", True), rule)
                self.assertTrue(options.get("lossless"), rule)
            finally:
                e.clean()

    def test_switch_keeps_the_bitrate(self):
        """Only the speed sets the bitrate: the session and its pictures keep agreeing across a switch."""
        e = new_encoder(1024, 768, 40, speed=30)
        try:
            before = e.get_info()["bitrate"]
            e.compress_image(Image(1024, 768, desktop_frame(1024, 768, 0)), 100, 30)
            self.assertEqual(fmt(e.get_info()), ("YUV444P", True))
            self.assertEqual(e.get_info()["bitrate"], before)
            e.set_encoding_speed(90)
            self.assertNotEqual(e.get_info()["bitrate"], before)
        finally:
            e.clean()


class SwitchedStream(unittest.TestCase):
    """One stream through every kind of switch, decoded by ffmpeg as a whole: each segment matches its
    source (lossy segments by PSNR, lossless ones exactly)."""

    # (quality, expected pixel format and lossless); 95 from 50 aims at 85: lossy 4:4:4
    SEGMENTS = [(50, ("NV12", False)), (95, ("YUV444P", False)), (100, ("YUV444P", True)),
                (50, ("NV12", False)), (100, ("YUV444P", True))]
    FRAMES = 3

    def test_every_segment_decodes_right(self):
        e = new_encoder(W, H, 50)
        stream = Stream(W, H)
        try:
            for n, (q, kind) in enumerate(self.SEGMENTS):
                expected = encoded_as(kind)
                for i in range(self.FRAMES):
                    pixels = desktop_frame(W, H, 3 * n + i)
                    data, options = e.compress_image(Image(W, H, pixels, timestamp=len(stream.pictures)), q, 50)
                    self.assertEqual(fmt(e.get_info()), expected, "segment %d" % n)
                    stream.add(data, pixels, expected)
        finally:
            e.clean()
        stream.check(self, "switched stream")


class CapabilityOrder(unittest.TestCase):
    def test_codec_capabilities_queried_in_order(self):
        """Each codec's maximum width, maximum height and asynchronous mode, then its rate controls."""
        trace = tempfile.mktemp(suffix=".trace")
        with environment(NVENC_EMU_TRACE=trace):
            e = new_encoder(64, 64)
            e.clean()
        calls = read_trace(trace)
        os.remove(trace)
        listed = [i for i, (entry, _) in enumerate(calls) if entry == "nvEncGetEncodeGUIDs"][0]
        caps = [fields.get("cap") for _, fields in calls[listed + 1:listed + 5]]
        self.assertEqual(caps, ["16", "17", "30", "1"])


class PresetConfigurations(unittest.TestCase):
    """The configuration of each set-up and each switch is the driver's for the chosen preset, read once
    per session: the set-up reads one for each preset it lists, and a switch reads only one the session
    has not read (with its tuning) before. The API-12.0 module reads them for a tuning
    (nvEncGetEncodePresetConfigEx; the presets it lists, with the low-latency tuning) and never without
    one; the other two never with one."""

    TUNING_NUMBERS = {"low-latency": "2", "lossless": "4"}

    def test_configuration_read_once_for_each_preset_and_tuning(self):
        trace = tempfile.mktemp(suffix=".trace")
        chosen = []
        with environment(NVENC_EMU_TRACE=trace):
            e = new_encoder(W, H, 40)
            try:
                for i, q in enumerate([40, 100, 40]):
                    e.compress_image(Image(W, H, desktop_frame(W, H, i), timestamp=i), q, 50)
                    info = e.get_info()
                    chosen.append((info["preset"], info.get("tuning")))
            finally:
                e.clean()
        calls = read_trace(trace)
        os.remove(trace)
        reading, unused = "nvEncGetEncodePresetConfig", "nvEncGetEncodePresetConfigEx"
        if API == 12:
            reading, unused = unused, reading
            self.assertEqual([t for _, t in chosen], ["low-latency", "lossless", "low-latency"])
        else:
            self.assertEqual([t for _, t in chosen], [None] * 3)
        self.assertNotIn(unused, [name for name, _ in calls])
        setups = [i for i, (name, fields) in enumerate(calls) if name == "nvEncInitializeEncoder" or
                  (name == "nvEncReconfigureEncoder" and fields.get("reset") == "1")]
        self.assertEqual(len(setups), 3)
        reads = [(i, (fields["preset"], fields.get("tuning"))) for i, (name, fields) in enumerate(calls)
                 if name == reading]
        asked = [question for _, question in reads]
        self.assertEqual(len(asked), len(set(asked)), asked)  # never the same question twice
        self.assertGreater(len([i for i, _ in reads if i < setups[0]]), 1)  # every listed preset's
        guids = dict((name, guid) for guid, name in m.CODEC_PRESETS_GUIDS.items())
        for i, (preset, tuning) in zip(setups, chosen):
            question = (guids[preset], self.TUNING_NUMBERS[tuning] if API == 12 else None)
            self.assertIn(question, [q for at, q in reads if at < i], preset)
            self.assertEqual(calls[i][1]["preset"], guids[preset])
            if API == 12:
                self.assertEqual(calls[i][1]["tuning"], question[1])
        # the first switch asks at most for the lossless tuning's configuration, the second for nothing
        between = [[q for at, q in reads if setups[k] < at < setups[k + 1]] for k in range(2)]
        self.assertEqual(between, [[(guids[chosen[1][0]], "4")], []] if API == 12 else [[], []])


class WrongState(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_second_init_context_refused_and_first_session_kept(self):
        e = new_encoder(W, H)
        try:
            with self.assertRaises(Exception) as c:
                e.init_context(W, H, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
            self.assertIn("already", str(c.exception))
            self.assertEqual(m.context_counter.get(), 1)
            data, options = e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
            self.assertEqual(options["frame"], 0)
        finally:
            e.clean()
        # once cleaned, the same object can be set up again
        e.init_context(W, H, "BGRX", ["YUV420P"], ENCODING, 50, 50, None)
        e.clean()

    def test_calls_that_need_a_session(self):
        """Without a session these raise, with or without assertions; run here and under python -O."""
        code = ("import os\nos.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'\nm.init_module()\n"
                "def attempt(name, f):\n"
                "    try:\n        f()\n        print(name, 'returned')\n"
                "    except Exception as x:\n        print(name, type(x).__name__, x)\n"
                "attempt('init_buffers', lambda: m.Encoder().init_buffers())\n"
                "attempt('compress', lambda: m.Encoder().compress_image(None))\n"
                "for rule in ['cuCtxCreate=2@1', 'cuMemAllocPitch=2@1']:\n"
                "    os.environ['CUDA_EMU_FAIL'] = rule\n"
                "    e = m.Encoder()\n"
                "    attempt('init ' + rule, lambda: e.init_context(64, 64, 'BGRX', ['YUV420P', 'YUV444P'], 'h264',"
                " 40, 50, None))\n"
                "    os.environ['CUDA_EMU_FAIL'] = ''\n"
                "    attempt('quality ' + rule, lambda: e.set_encoding_quality(100))\n"
                "    e.clean()\n"
                "    print('counter', m.context_counter.get())\n")
        for optimize in (False, True):
            rc, out, err = run_python(code, optimize=optimize)
            self.assertEqual(rc, 0, "crashed (optimize=%s): %s" % (optimize, err[-2000:]))
            lines = out.splitlines()
            self.assertIn("context is not initialized", lines[0])
            self.assertTrue(lines[1].startswith("compress "), lines[1])
            self.assertNotIn("returned", lines[1])
            quality = [l for l in lines if l.startswith("quality ")]
            self.assertEqual(len(quality), 2, out)
            for line in quality:
                self.assertIn("context is not initialized", line)
            self.assertEqual([l for l in lines if l.startswith("counter")], ["counter 0"] * 2)

    def test_init_module_with_a_replaced_encoder_class(self):
        code = ("import os\nos.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'\n"
                "class Impostor(object):\n"
                "    def init_context(self, *a): pass\n"
                "    def clean(self): pass\n"
                "m.Encoder = Impostor\n"
                "try:\n    m.init_module()\n    print('returned')\n"
                "except TypeError as x:\n    print('TypeError', x)\n")
        rc, out, err = run_python(code)
        self.assertEqual(rc, 0, err[-2000:])
        self.assertTrue(out.startswith("TypeError"), out)
        self.assertIn("Impostor", out)


class HostileValues(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_extreme_qualities_speeds_and_timestamps(self):
        for q, s in [(INT_MIN, INT_MAX), (INT_MAX, INT_MIN)]:
            e = new_encoder(W, H, q, s)
            try:
                pixels = desktop_frame(W, H, 0)
                data, options = e.compress_image(Image(W, H, pixels, timestamp=-(1 << 63)), INT_MAX, INT_MIN)
                self.assertEqual(fmt(e.get_info()), encoded_as(("YUV444P", True)))
                # from the highest quality to the lowest: a lossy target, never a wrap back to lossless
                data, options = e.compress_image(Image(W, H, pixels, timestamp=(1 << 63) - 1), INT_MIN, INT_MAX)
                self.assertEqual(fmt(e.get_info()), ("NV12", False))
                self.assertEqual(options["pts"], (1 << 64) - 1)
                self.assertEqual((options["frame"], options["speed"]), (1, INT_MAX))
            finally:
                e.clean()

    def test_huge_image_sizes_refused_before_anything_is_touched(self):
        e = new_encoder(W, H)
        try:
            pixels = desktop_frame(W, H, 0)
            e.compress_image(Image(W, H, pixels))
            for w, h in [((1 << 32) + W, H), (W, (1 << 32) + H), (1 << 16, H), (W, -2), ((1 << 33) + 2, H)]:
                image = Image(W, H, pixels)
                image.get_width = lambda w=w: w
                image.get_height = lambda h=h: h
                with self.assertRaises((ValueError, CHECK_ERROR)) as c:
                    e.compress_image(image)
                self.assertIn(str(w if w != W else h), str(c.exception))
            data, options = e.compress_image(Image(W, H, pixels))
            self.assertEqual(options["frame"], 1, "the encoder was rebuilt")
        finally:
            e.clean()

    def test_scaling_from_any_pair(self):
        for scaling in ([2, 3], (2, 3), bytearray(b"\x02\x03")):
            e = new_encoder(320, 240, scaling=scaling)
            try:
                self.assertEqual(tuple(e.get_info()["scaling"]), tuple(scaling))
                data, options = e.compress_image(Image(320, 240, desktop_frame(320, 240, 0)))
                self.assertEqual(options["scaled_size"], (224, 160))
            finally:
                e.clean()
        bad = [((1, 2, 3), ValueError, "two items"), ([1], ValueError, "two items"), (5, TypeError, "int"),
               ("ab", TypeError, "str"), ((1, "x"), TypeError, "integers"), ((0, 1), ValueError, "invalid scaling")]
        for scaling, error, text in bad:
            e = m.Encoder()
            with self.assertRaises(error) as c:
                e.init_context(64, 64, "BGRX", ["YUV420P"], ENCODING, 50, 50, scaling)
            self.assertIn(text, str(c.exception))
            self.assertTrue(e.is_closed())

    def test_bad_source_format_or_device_refused_before_anything_is_set_up(self):
        bad = [({"src_format": None}, TypeError, "src_format must be one of ['BGRX'], not NoneType"),
               ({"src_format": 5}, TypeError, "src_format must be one of ['BGRX'], not int"),
               ({"src_format": b"BGRX" if sys.version_info[0] >= 3 else bytearray(b"BGRX")}, TypeError,
                "src_format must be one of ['BGRX'], not "),
               ({"src_format": "BGRA"}, ValueError, "invalid src_format 'BGRA', it must be one of ['BGRX']"),
               ({"src_format": "bgrx"}, ValueError, "invalid src_format 'bgrx'"),
               ({"options": {"cuda_device": 2 ** 70}}, ValueError, "invalid cuda_device %d, it must be -1 (any "
                "device) or a device number from 0 to 2147483647" % 2 ** 70),
               ({"options": {"cuda_device": INT_MAX + 1}}, ValueError, "invalid cuda_device 2147483648"),
               ({"options": {"cuda_device": -2}}, ValueError, "invalid cuda_device -2"),
               ({"options": {"cuda_device": -2 ** 70}}, ValueError, "invalid cuda_device -"),
               ({"options": {"cuda_device": "0"}}, TypeError, "the cuda_device option must be -1 (any device) "
                "or a device number from 0 to 2147483647, not str"),
               ({"options": {"cuda_device": 0.0}}, TypeError, "not float"),
               ({"options": {"cuda_device": True}}, TypeError, "not bool"),
               ({"options": {"cuda_device": None}}, TypeError, "not NoneType")]
        for change, error, text in bad:
            arguments = dict(src_format="BGRX", options={})
            arguments.update(change)
            e = m.Encoder()
            with self.assertRaises(error) as c:
                e.init_context(64, 64, arguments["src_format"], ["YUV420P"], ENCODING, 50, 50, None,
                               arguments["options"])
            self.assertTrue(str(c.exception).startswith("init_context: "), str(c.exception))
            self.assertIn(text, str(c.exception))
            self.assertTrue(e.is_closed())
            self.assertEqual(m.context_counter.get(), 0)
            self.assertEqual(e.get_info()["width"], 0, "nothing of the set-up is stored")
        # The whole range stays open: a number no device has is the host's to replace.
        for device in (-1, 0, INT_MAX):
            e = new_encoder(64, 64, options={"cuda_device": device})
            try:
                self.assertEqual(e.get_info()["src_format"], "BGRX")
            finally:
                e.clean()

    def test_device_selection_result_as_a_list(self):
        # the host's function replaced before the module is imported
        code = ("import os\nos.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'\n"
                "import tevu.codecs.cuda_common.cuda_context as cc\n"
                "original = cc.select_device\n"
                "cc.select_device = lambda *a, **k: list(original(*a, **k))\n"
                "import importlib\nm = importlib.import_module(%r)\nm.init_module()\n"
                "e = m.Encoder()\ne.init_context(64, 64, 'BGRX', ['YUV420P'], 'h264', 50, 50, None)\n"
                "print('open', not e.is_closed())\ne.clean()\n" % MODULE_NAME)
        rc, out, err = run_plain_python(code)
        self.assertEqual((rc, out.strip()), (0, "open True"), err[-2000:])


class PixelLifetime(unittest.TestCase):
    CODE = r"""
import mmap, os, sys, threading
os.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'
# threads switch only where the module releases the interpreter lock
if hasattr(sys, 'setswitchinterval'):
    sys.setswitchinterval(1000)
else:
    sys.setcheckinterval(1 << 30)
m.init_module()
from tevu.codecs.image_wrapper import ImageWrapper
W, H = 4096, 2304
e = m.Encoder()
e.init_context(W, H, 'BGRX', ['YUV420P'], ENCODING, 50, 50, None)
for attempt in range(3):
    mm = mmap.mmap(-1, W * H * 4)
    mm.write(b'\x55' * (W * H * 4))
    ready = threading.Event()
    def closer():
        ready.wait()
        try:
            mm.close()
        except BufferError:  # Python 3: refused while the module holds a view of it
            pass
    t = threading.Thread(target=closer)
    t.start()
    class Image(ImageWrapper):
        def get_timestamp(self):
            ready.set()  # the closer runs as soon as the module releases the interpreter lock
            return attempt
    try:
        e.compress_image(Image(W, H, mm, W * 4, attempt))
        print('encoded')
    except ValueError as x:
        print('refused', x)
    t.join()
    if not getattr(mm, 'closed', True):
        mm.close()  # the closer was refused: close it now
    try:
        e.compress_image(Image(W, H, mm, W * 4, attempt))
        print('encoded a closed map')
    except (TypeError, ValueError) as x:
        print('closed', x)
e.clean()
for pixels in [b'\x40' * (W * H * 4), bytearray(b'\x40' * (W * H * 4)), memoryview(b'\x40' * (W * H * 4))]:
    e = m.Encoder()
    e.init_context(W, H, 'BGRX', ['YUV420P'], ENCODING, 50, 50, None)
    data, options = e.compress_image(ImageWrapper(W, H, pixels, W * 4, 0))
    print(type(pixels).__name__, len(data) > 0)
    e.clean()
"""

    def test_pixels_closed_by_another_thread(self):
        rc, out, err = run_python(self.CODE)
        self.assertEqual(rc, 0, "crashed: %s" % err[-2000:])
        lines = out.splitlines()
        self.assertEqual([l.split()[0] for l in lines[:6]], ["encoded", "closed"] * 3, out)
        self.assertEqual(lines[6:], ["%s True" % type(b"").__name__, "bytearray True", "memoryview True"])

    # Maps closed by a thread that runs free, as the module reads them. The host's debug lines are on: each
    # one written out lets that thread run (the write releases the interpreter lock) between the module
    # reading the image and copying its pixels.
    CLOSER = r"""
import binascii, mmap, os, threading, time
os.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'
m.init_module()
m.log.enable_debug()
from tevu.codecs.image_wrapper import ImageWrapper
from tevu_testsupport.frames import desktop_frame
W, H, FRAMES = %d, %d, %d
pictures = [desktop_frame(W, H, i) for i in range(4)]
e = m.Encoder()
e.init_context(W, H, 'BGRX', ['YUV420P'], ENCODING, 50, 50, None)
maps, stop = [], []
def closer():
    while not stop:
        for mm in list(maps):
            try:
                mm.close()
            except BufferError:  # Python 3: refused while the module holds a view of it
                pass
        time.sleep(0.001)
t = threading.Thread(target=closer)
t.start()
for i in range(FRAMES):
    mm = mmap.mmap(-1, W * H * 4)
    mm.write(pictures[i %% 4])
    maps.append(mm)
    try:
        data, options = e.compress_image(ImageWrapper(W, H, mm, W * 4, i), 50, 50)
        info = e.get_info()
        print('encoded', i %% 4, info['pixel_format'], int(info['lossless']), binascii.hexlify(data).decode())
    except Exception as x:
        print('refused', i, type(x).__name__, x)
    maps[:] = maps[-2:]
stop.append(1)
t.join()
e.clean()
"""
    CLOSER_SIZE, CLOSER_FRAMES = (256, 192), 100

    def test_pixels_closed_by_a_thread_running_free(self):
        """Every picture is encoded from its pixels or refused with the map's own error; none crashes."""
        width, height = self.CLOSER_SIZE
        rc, out, err = run_python(self.CLOSER % (width, height, self.CLOSER_FRAMES))
        self.assertEqual(rc, 0, "exit status %d: %s" % (rc, err[-2000:]))
        stream, outcomes = Stream(width, height), []
        for line in out.splitlines():
            outcome, rest = line.split(" ", 1)
            outcomes.append(outcome)
            if outcome == "encoded":
                picture, pixel_format, lossless, data = rest.split(" ")
                stream.add(binascii.unhexlify(data), desktop_frame(width, height, int(picture)),
                           (pixel_format, lossless == "1"))
            else:
                self.assertEqual([outcome] + rest.split(" ", 2)[1:],
                                 ["refused", "ValueError", "mmap closed or invalid"], line)
        self.assertEqual(len(outcomes), self.CLOSER_FRAMES, out[-2000:] + err[-2000:])
        self.assertIn("encoded", outcomes)
        stream.check(self, "pixels closed by a thread")

    # get_pixels() answering a new object on every call, which nothing but the module holds: a map, an array
    # (Python 2.7: the old read-buffer protocol only), a buffer (Python 2.7) or bytes (Python 3).
    FRESH = r"""
import array, binascii, mmap, os, sys
os.environ['TEVU_NV_DRIVER_VERSION'] = '346.59'
m.init_module()
from tevu.codecs.image_wrapper import ImageWrapper
from tevu_testsupport.frames import desktop_frame
W, H = %d, %d
def mapped(pixels):
    mm = mmap.mmap(-1, len(pixels))
    mm.write(pixels)
    return mm
makers = [('mmap', mapped), ('array', lambda p: array.array('B', p))]
if sys.version_info[0] < 3:
    makers.append(('buffer', buffer))
else:
    makers.append(('bytes', lambda p: bytes(bytearray(p))))
for name, make in makers:
    e = m.Encoder()
    e.init_context(W, H, 'BGRX', ['YUV420P'], ENCODING, 50, 50, None)
    for i in range(3):
        image = ImageWrapper(W, H, None, W * 4, i)
        image.get_pixels = lambda make=make, pixels=desktop_frame(W, H, i): make(pixels)
        data, options = e.compress_image(image)
        info = e.get_info()
        print(name, info['pixel_format'], int(info['lossless']), binascii.hexlify(data).decode())
    e.clean()
"""

    def test_pixels_of_a_new_object_on_every_call(self):
        rc, out, err = run_python(self.FRESH % (W, H))
        self.assertEqual(rc, 0, "exit status %d: %s" % (rc, err[-2000:]))
        streams = {}
        for line in out.splitlines():
            name, pixel_format, lossless, data = line.split(" ")
            stream = streams.setdefault(name, Stream(W, H))
            stream.add(binascii.unhexlify(data), desktop_frame(W, H, len(stream.pictures)),
                       (pixel_format, lossless == "1"))
        kinds = ["mmap", "array", "buffer" if sys.version_info[0] < 3 else "bytes"]
        self.assertEqual(sorted(streams), sorted(kinds), out[-2000:] + err[-2000:])
        for name in kinds:
            self.assertEqual(len(streams[name].pictures), 3, name)
            streams[name].check(self, name)


class RefusedTeardown(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(m.context_counter.get(), 0)

    def test_context_destroy_refused_then_retried(self):
        e = new_encoder(W, H)
        e.compress_image(Image(W, H, desktop_frame(W, H, 0)))
        with environment(CUDA_EMU_FAIL="cuCtxDestroy=201@1"):
            self.assertRaises(m.CUDALogicError, e.clean)
        self.assertTrue(e.is_closed())
        e.clean()  # the context is destroyed now; the leak run checks that none is left

    def test_release_of_a_replaced_buffer_refused_until_teardown(self):
        e = new_encoder(W, H, 40)
        e.compress_image(Image(W, H, desktop_frame(W, H, 0)), 40)
        with environment(CUDA_EMU_FAIL="cuMemFree=1"):  # every free refused
            e.compress_image(Image(W, H, desktop_frame(W, H, 1)), 100)
            self.assertEqual(fmt(e.get_info()), encoded_as(("YUV444P", True)))
            self.assertRaises(m.CUDALogicError, e.clean)
        self.assertTrue(e.is_closed())
        e.clean()


    def test_unregistration_refused_throughout(self):
        """Registrations the driver never releases go with their session."""
        e = new_encoder(W, H, 40)
        e.compress_image(Image(W, H, desktop_frame(W, H, 0)), 40)
        with environment(NVENC_EMU_FAIL="nvEncUnregisterResource=8"):
            e.compress_image(Image(W, H, desktop_frame(W, H, 1)), 100)  # the old registration stays
            with self.assertRaises(m.NVENCException) as c:
                e.clean()
        self.assertEqual(c.exception.function, "unregistering CUDA input buffer")
        self.assertTrue(e.is_closed())
        e.clean()
        del e


class LeakReport(unittest.TestCase, LeakCheck):
    def test_these_suites_leak_nothing(self):
        self.assert_no_leaks(__file__, "FormatSwitchFaults", "WrongState", "HostileValues", "RefusedTeardown")


if __name__ == "__main__":
    unittest.main()

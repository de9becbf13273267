"""Device selection and its failure bookkeeping, over a device table given by the test."""

import unittest

from tevu.codecs.cuda_common import cuda_context as cc


def fake_device(ordinal, compute=(3, 0), name=None):
    return cc.CudaDevice(ordinal, 100 + ordinal, name or "GPU %i" % ordinal, compute,
                         "0000:0%i:00.0" % ordinal, 2 << 30)


class SelectionTest(unittest.TestCase):
    def setUp(self):
        cc.reset_state()
        self.clock = [1000.0]
        self.saved_time = cc.time.time
        cc.time.time = lambda: self.clock[0]

    def tearDown(self):
        cc.time.time = self.saved_time
        cc.reset_state()

    def use_devices(self, *devices):
        cc._devices = list(devices)

    def test_compute_capability_filter(self):
        cases = [(0x30, [1, 2]), (0x35, [2]), (0x52, [2]), (0x53, []), (0, [0, 1, 2]), (0x21, [0, 1, 2])]
        for min_compute, allowed in cases:
            cc.reset_state()
            self.use_devices(fake_device(0, (2, 1)), fake_device(1, (3, 0)), fake_device(2, (5, 2)))
            chosen = set()
            for _ in range(3):
                device_id, device = cc.select_device(-1, min_compute)
                if allowed:
                    self.assertIs(device, cc.get_device(device_id))
                    cc.record_device_success(device_id)
                else:
                    self.assertEqual((device_id, device), (-1, None))
                chosen.add(device_id)
            self.assertEqual(sorted(chosen), allowed or [-1], hex(min_compute))

    def test_preferred_device(self):
        self.use_devices(fake_device(0, (3, 0)), fake_device(1, (3, 5)), fake_device(2, (2, 0)))
        cc.record_device_failure(1)
        self.assertEqual(cc.select_device(1, 0x30)[0], 1)  # asked for: taken despite its failure
        self.assertEqual(cc.select_device(0, 0x30)[0], 0)
        self.assertEqual(cc.select_device(2, 0x30)[0], 0)  # too old: another one is chosen
        self.assertEqual(cc.select_device(7, 0x30)[0], 0)  # no such device
        self.assertEqual(cc.select_device(None, 0x30)[0], 0)

    def test_failures_steer_selection(self):
        self.use_devices(fake_device(0), fake_device(1), fake_device(2))
        self.assertEqual(cc.select_device(-1, 0x30)[0], 0)
        cc.record_device_failure(0)
        self.assertEqual(cc.select_device(-1, 0x30)[0], 1)
        cc.record_device_failure(1)
        cc.record_device_failure(1)
        self.assertEqual(cc.select_device(-1, 0x30)[0], 2)
        cc.record_device_failure(2)
        cc.record_device_failure(2)
        cc.record_device_failure(2)
        self.assertEqual(cc.select_device(-1, 0x30)[0], 0)  # fewest failures
        cc.record_device_success(2)  # a success clears the device's failures
        self.assertEqual(cc.device_ranking(2), (0, 1, 2))
        self.assertEqual(cc.select_device(-1, 0x30)[0], 2)  # no failure left, although in use
        cc.record_device_failure(-1)  # no device chosen: nothing to record
        self.assertEqual([cc.device_ranking(n)[0] for n in range(3)], [1, 2, 0])

    def test_failures_expire(self):
        self.use_devices(fake_device(0), fake_device(1))
        cc.record_device_failure(0)
        self.clock[0] += cc.DEVICE_FAILURE_WINDOW / 2
        cc.record_device_failure(0)
        self.assertEqual(cc.device_ranking(0)[0], 2)
        self.assertEqual(cc.select_device(-1, 0)[0], 1)
        self.clock[0] += cc.DEVICE_FAILURE_WINDOW / 2 + 1
        self.assertEqual(cc.device_ranking(0)[0], 1)
        self.clock[0] += cc.DEVICE_FAILURE_WINDOW
        self.assertEqual(cc.device_ranking(0)[0], 0)
        self.assertEqual(cc.select_device(-1, 0)[0], 0)

    def test_successes_spread_streams(self):
        self.use_devices(fake_device(0), fake_device(1))
        chosen = []
        for _ in range(4):
            device_id = cc.select_device(-1, 0x30)[0]
            cc.record_device_success(device_id)
            chosen.append(device_id)
        self.assertEqual(chosen, [0, 1, 0, 1])

    def test_reset_forgets_everything(self):
        self.use_devices(fake_device(0), fake_device(1))
        cc.record_device_failure(0)
        cc.record_device_success(1)
        self.assertEqual(cc.get_devices(), [0, 1])
        cc.reset_state()
        self.assertIsNone(cc.get_devices())
        self.assertEqual(cc.device_ranking(0), (0, 0, 0))
        self.assertEqual(cc.device_ranking(1), (0, 0, 1))

    def test_preserved_state(self):
        self.use_devices(fake_device(0), fake_device(1))
        cc.record_device_failure(1)
        with cc.preserved_device_state():
            cc.record_device_failure(0)
            cc.record_device_failure(0)
            cc.record_device_success(1)
        self.assertEqual([cc.device_ranking(n) for n in (0, 1)], [(0, 0, 0), (1, 0, 1)])

    def test_device_info(self):
        device = fake_device(3, (5, 2), "Emulated GPU")
        self.assertEqual(cc.device_info(device), "Emulated GPU @ 0000:03:00.0")
        self.assertEqual(device.compute, 0x52)
        self.assertEqual(cc.device_info(None), "None")
        device.pci_bus_id = ""
        self.assertEqual(cc.device_info(device), "Emulated GPU")


class ConstantsTest(unittest.TestCase):
    def test_error_names(self):
        cases = [(0, "CUDA_SUCCESS"), (1, "CUDA_ERROR_INVALID_VALUE"), (2, "CUDA_ERROR_OUT_OF_MEMORY"),
                 (100, "CUDA_ERROR_NO_DEVICE"), (201, "CUDA_ERROR_INVALID_CONTEXT"),
                 (218, "CUDA_ERROR_INVALID_PTX"), (400, "CUDA_ERROR_INVALID_HANDLE"),
                 (500, "CUDA_ERROR_NOT_FOUND"), (999, "CUDA_ERROR_UNKNOWN")]
        for code, name in cases:
            self.assertEqual(cc.CUDA_ERRORS_INFO[code], name)
        self.assertEqual(cc.cuda_error_text(12345), "12345")
        self.assertEqual(str(cc.CudaError("cuInit", 100)), "cuInit failed: CUDA_ERROR_NO_DEVICE")

    def test_library_names(self):
        self.assertEqual(cc.library_names("linux2"), ["libcuda.so", "libcuda.so.1"])
        self.assertEqual(cc.library_names("win32"), ["nvcuda.dll"])


if __name__ == "__main__":
    unittest.main()

"""The encoder size probe run on the built encoder module over the driver stand-ins."""

import glob
import importlib
import os
import unittest

from tevu.codecs import codec_checks
from tevu.codecs.cuda_common import cuda_context

MODULE = "tevu.codecs.nvenc5.encoder"
MODULE_FILES = glob.glob(os.path.join(os.environ["TEVU_TEST_BUILD_DIR"], "python", "tevu", "codecs",
                                      "nvenc5", "encoder*.so"))


@unittest.skipUnless(MODULE_FILES, "the encoder module was not built")
class EncoderProbeTest(unittest.TestCase):
    def test_probe_finds_the_session_limits_and_leaves_no_trace(self):
        encoder = importlib.import_module(MODULE)
        encoder.init_module()
        sessions = encoder.context_counter.get()
        rankings = [cuda_context.device_ranking(n) for n in cuda_context.init_all_devices()]
        self.assertEqual(codec_checks.get_encoder_max_sizes(encoder), (4096, 4096))
        self.assertEqual(encoder.context_counter.get(), sessions)
        self.assertEqual([cuda_context.device_ranking(n) for n in cuda_context.init_all_devices()], rankings)


if __name__ == "__main__":
    unittest.main()

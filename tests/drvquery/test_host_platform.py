"""Tests of the host stand-in's program context (tevu.platform)."""

import unittest

import tevu.platform as platform


class ProgramContextTest(unittest.TestCase):
    def tearDown(self):
        platform.clean()

    def test_init_names_and_clean_forgets(self):
        self.assertIsNone(platform.get_prgname())
        platform.init("Nvidia-Info", "Nvidia Info")
        self.assertEqual((platform.get_prgname(), platform.get_application_name()), ("Nvidia-Info", "Nvidia Info"))
        platform.init("Other", u"Other App")
        self.assertEqual(platform.get_application_name(), u"Other App")
        platform.clean()
        self.assertEqual((platform.get_prgname(), platform.get_application_name()), (None, None))
        platform.clean()  # harmless outside a context

    def test_rejects_bad_names(self):
        for args, error in [((None, "a"), TypeError), (("a", 3), TypeError), (("", "a"), ValueError),
                            (("a", ""), ValueError)]:
            self.assertRaises(error, platform.init, *args)
            self.assertIsNone(platform.get_prgname())


if __name__ == "__main__":
    unittest.main()

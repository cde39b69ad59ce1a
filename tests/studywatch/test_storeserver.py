"""studywatch following a real storeserver: images sent with storescu are
announced on the monitor channel, and each quiet study is rendered once."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import veltotest  # noqa: E402
from veltotest import STORESERVER, STUDYWATCH, Server, make_dataset  # noqa: E402
from watchharness import EARLY_SLACK, LATE_SLACK, TIMEOUT, Renderer, Watch, expected_argv  # noqa: E402


class StoreServerTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        veltotest.require_private_netns()
        if not os.path.exists(STUDYWATCH):
            raise unittest.SkipTest("studywatch not built")
        if not os.path.exists(STORESERVER):
            raise unittest.SkipTest("storeserver not built (%s missing): the end-to-end test needs a "
                                    "server that stores images and announces them" % STORESERVER)

    def setUp(self):
        self.renderer = Renderer()
        self.server = Server(aetitle="ARCHIVE")
        self.watch = Watch(self.renderer, port=self.server.monitor_port)

    def tearDown(self):
        self.watch.cleanup()
        self.server.cleanup()
        self.renderer.cleanup()

    def store(self, path):
        """Sends one image; returns the times before and after the association."""
        before = time.time()
        p = self.server.storescu([path])
        after = time.time()
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        return before, after

    def assertStartedAfterQuiet(self, run, before, after):
        self.assertGreaterEqual(run["start"], before + TIMEOUT - EARLY_SLACK, "started before the quiet time")
        self.assertLess(run["start"], after + TIMEOUT + LATE_SLACK, "started long after the quiet time")

    def test_stored_study_is_rendered_once_per_quiet_period(self):
        study = "1.2.826.0.1.3680043.2.1125.30"
        series = study + ".1"
        files = [make_dataset(os.path.join(self.server.tmp, "img%d.dcm" % i), study, series,
                              "%s.%d" % (series, i)) for i in range(4)]
        self.renderer.control(**{study: {"sleep": 4}})

        # Two images a second apart: the second one pushes the run back.
        self.store(files[0])
        time.sleep(1)
        self.assertEqual([], self.renderer.runs())
        before, after = self.store(files[1])
        first, = self.renderer.wait_runs(1)
        self.assertEqual(expected_argv(study), first["argv"])
        self.assertStartedAfterQuiet(first, before, after)

        # An image stored while the renderer runs starts no second run.
        _, during = self.store(files[2])
        first, = self.renderer.wait_ended()
        self.assertLess(during, first["end"], "the image was not stored while the renderer ran")
        time.sleep(TIMEOUT + 2.5)
        self.assertEqual(1, len(self.renderer.runs()))

        # After the run, a new image starts a new run after the next quiet time.
        self.renderer.control()
        before, after = self.store(files[3])
        first, second = self.renderer.wait_runs(2)
        self.assertEqual(expected_argv(study), second["argv"])
        self.assertStartedAfterQuiet(second, before, after)
        self.renderer.wait_ended()
        time.sleep(TIMEOUT + 2.5)
        self.assertEqual(2, len(self.renderer.runs()))
        self.assertTrue(self.watch.alive())
        self.assertEqual(["Multicast channel subscribed. Server up."], self.watch.log_messages())


if __name__ == "__main__":
    veltotest.main()

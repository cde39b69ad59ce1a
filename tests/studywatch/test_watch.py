"""studywatch driven by announcements sent on the monitor channel: the quiet
period, one run per study, the child limit, reaping, and datagrams that must
be ignored."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import veltotest  # noqa: E402
from watchharness import (EARLY_SLACK, LATE_SLACK, TIMEOUT, Renderer, Sender, Watch,  # noqa: E402
                          expected_argv, storeuid)


class WatchTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        veltotest.require_private_netns()
        if not os.path.exists(veltotest.STUDYWATCH):
            raise unittest.SkipTest("studywatch not built")

    def setUp(self):
        self.renderer = Renderer()
        self.watches = []
        self.senders = []

    def tearDown(self):
        for w in self.watches:
            w.cleanup()
        for s in self.senders:
            s.close()
        self.renderer.cleanup()

    def watch(self, args=()):
        w = Watch(self.renderer, args)
        self.watches.append(w)
        s = Sender(w.port)
        self.senders.append(s)
        return w, s

    def assertStartedAfterQuiet(self, run, last_announce):
        delay = run["start"] - last_announce
        self.assertGreaterEqual(delay, TIMEOUT - EARLY_SLACK, "started before the study was quiet")
        self.assertLess(delay, TIMEOUT + LATE_SLACK, "started long after the study was quiet")

    def assertNoFurtherRun(self, count, seconds=TIMEOUT + 2.5):
        time.sleep(seconds)
        self.assertEqual(count, len(self.renderer.runs()), self.renderer.runs())

    def test_quiet_study_runs_once_with_the_fixed_arguments(self):
        w, s = self.watch()
        study = "1.2.826.0.1.3680043.2.1125.1"
        t = s.announce(study)
        run, = self.renderer.wait_runs(1)
        self.assertEqual(expected_argv(study), run["argv"])
        self.assertStartedAfterQuiet(run, t)
        self.renderer.wait_ended()
        self.assertNoFurtherRun(1)
        self.assertTrue(w.alive())
        self.assertEqual(["Multicast channel subscribed. Server up."], w.log_messages())

    def test_more_images_push_the_run_back(self):
        w, s = self.watch()
        study = "1.2.826.0.1.3680043.2.1125.2"
        t = None
        for i in range(4):
            t = s.announce(study, instance="1.2.826.0.1.9.%d" % i)
            time.sleep(TIMEOUT * 0.6)
            self.assertEqual([], self.renderer.runs(), "ran while images were still arriving")
        run, = self.renderer.wait_runs(1)
        self.assertStartedAfterQuiet(run, t)
        self.renderer.wait_ended()
        self.assertNoFurtherRun(1)

    def test_images_during_the_run_start_no_second_run_but_later_ones_do(self):
        w, s = self.watch()
        study = "1.2.826.0.1.3680043.2.1125.3"
        self.renderer.control(**{study: {"sleep": 3}})
        s.announce(study)
        first, = self.renderer.wait_runs(1)
        s.announce(study, instance="1.2.826.0.1.9.2")
        time.sleep(1)
        s.announce(study, instance="1.2.826.0.1.9.3")
        first, = self.renderer.wait_ended()
        self.assertNoFurtherRun(1)
        # The entry was finished with its child: a new image starts over.
        self.renderer.control()
        t = s.announce(study, instance="1.2.826.0.1.9.4")
        first, second = self.renderer.wait_runs(2)
        self.assertEqual(expected_argv(study), second["argv"])
        self.assertStartedAfterQuiet(second, t)
        self.assertGreater(second["start"], first["end"])

    def test_one_child_at_a_time_by_default(self):
        w, s = self.watch()
        self.renderer.control(**{"*": {"sleep": 2.5}})
        s.announce("1.2.826.0.1.4.1")
        s.announce("1.2.826.0.1.4.2")
        runs = self.renderer.wait_runs(2, timeout=TIMEOUT + 15)
        runs = self.renderer.wait_ended()
        self.assertEqual({"1.2.826.0.1.4.1", "1.2.826.0.1.4.2"}, {r["study"] for r in runs})
        self.assertGreaterEqual(runs[1]["start"], runs[0]["end"], "second child started before the first ended")

    def test_second_study_waits_for_the_first_child_with_M_1(self):
        w, s = self.watch(["-M", "1"])
        a, b = "1.2.826.0.1.5.1", "1.2.826.0.1.5.2"
        self.renderer.control(**{a: {"sleep": 3}})
        s.announce(a)
        self.renderer.wait_runs(1, a)
        t = s.announce(b)
        # b falls quiet while a still runs; it must wait for a's reaping.
        first, second = self.renderer.wait_runs(2, timeout=20)
        self.assertEqual(a, first["study"])
        self.assertEqual(b, second["study"])
        first = self.renderer.runs(a)[0]
        self.assertGreaterEqual(second["start"], first["end"])
        self.assertGreaterEqual(second["start"], t + TIMEOUT - EARLY_SLACK)

    def test_two_children_at_once_with_M_2(self):
        w, s = self.watch(["-M", "2"])
        self.renderer.control(**{"*": {"sleep": 4}})
        s.announce("1.2.826.0.1.6.1")
        s.announce("1.2.826.0.1.6.2")
        self.renderer.wait_runs(2)
        first, second = self.renderer.wait_ended()
        self.assertLess(second["start"], first["end"], "the two renderers did not run at the same time")

    def test_malformed_datagrams_are_ignored(self):
        w, s = self.watch(["-M", "8"])
        head = b"veltotest 4242 STORAGE "
        # A whole 1024-byte frame whose study UID is far too long to keep.
        tail = b" 1.2 1.3\n"
        overlong = head + b"STOREUID 1.9.4"
        overlong += b"1" * (1024 - len(overlong) - len(tail)) + tail
        malformed = [
            head + b"STOREUIX 1.9.1 1.2 1.3\n",                   # fourth word not STOREUID
            head + b"STOREUID 1.9.2\n",                            # study UID is the last word
            head + b"STOREUID 1.9.3",                              # ... without the newline
            b"",                                                   # empty
            b"A" * 1024,                                           # 1024 bytes, one word
            overlong,                                              # UID too long: not cut
            (head + b"STOREUID 1.9.5 1.2 ").ljust(1500, b"3"),     # longer than a frame
            head + b"STOREUID 1.9.6\x00\xff 1.2 1.3\n",            # binary inside the UID
            bytes(range(256)) * 2,                                 # binary
            head + b"STOREUID 1.9.7;touch${IFS}/tmp/sw 1.2 1.3\n",  # shell text in the UID
            b"veltotest 4242 CONFIG STOREUID 1.9.8 1.2 1.3\n",     # other keyword
            b"veltotest 4242 STORAGE IDLE 1\n",                    # status announcement
        ]
        self.assertEqual(1024, len(overlong))
        for d in malformed:
            s.send(d)
        sentinel = "1.2.826.0.1.7.99"
        s.announce(sentinel)
        self.renderer.wait_runs(1)
        self.renderer.wait_ended()
        self.assertNoFurtherRun(1)
        self.assertEqual([sentinel], [r["study"] for r in self.renderer.runs()])
        self.assertTrue(w.alive())
        self.assertFalse(os.path.exists("/tmp/sw"))

    def test_shorter_datagram_after_a_longer_one_is_read_alone(self):
        w, s = self.watch()
        # Read together with the longer datagram's leftover bytes, the second
        # would be a complete announcement of 1.9.8.
        s.send(b"veltotest 4242 STORAGE STOREUIX 1.9.8 5.6 7.8\n")
        s.send(b"veltotest 4242 STORAGE STOREUID 1.9.8")
        sentinel = "1.2.826.0.1.8.99"
        s.announce(sentinel)
        self.renderer.wait_runs(1)
        self.renderer.wait_ended()
        self.assertNoFurtherRun(1)
        self.assertEqual([sentinel], [r["study"] for r in self.renderer.runs()])

    def test_failing_renderers_are_reaped_and_their_studies_finished(self):
        # -M 1: the next study can only start once the failed child has been
        # reaped and its entry finished.
        w, s = self.watch(["-M", "1"])
        a, b, c = "1.2.826.0.1.10.1", "1.2.826.0.1.10.2", "1.2.826.0.1.10.3"
        self.renderer.control(**{a: {"sleep": 1, "exit": 3}, b: {"sleep": 1, "signal": 15}})
        s.announce(a)
        self.renderer.wait_runs(1, a)
        s.announce(b)
        self.renderer.wait_runs(1, b)
        s.announce(c)
        self.renderer.wait_runs(1, c)
        runs = self.renderer.wait_ended()
        self.assertEqual([a, b, c], [r["study"] for r in runs])
        for earlier, later in zip(runs, runs[1:]):
            self.assertGreaterEqual(later["start"], earlier["end"])
        # A study whose renderer failed is processed again on a new image.
        t = s.announce(a)
        again = self.renderer.wait_runs(2, a)[1]
        self.assertStartedAfterQuiet(again, t)
        self.renderer.wait_ended()
        # The ends of children are debug lines, which the fixed mask filters;
        # nothing else may have been written (no unknown child, no mismatch).
        self.assertEqual(["Multicast channel subscribed. Server up."], w.log_messages())
        self.assertTrue(w.alive())

    def test_datagrams_of_other_senders_and_hosts_are_used(self):
        w, s = self.watch()
        study = "1.2.826.0.1.11.1"
        s.send(storeuid(study, host="otherhost", pid=1))
        run, = self.renderer.wait_runs(1)
        self.assertEqual(expected_argv(study), run["argv"])


if __name__ == "__main__":
    veltotest.main()

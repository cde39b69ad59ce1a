"""studywatch under a flood on the monitor channel: datagrams with unusable
study UIDs cost a bounded amount of log, and forged announcements from an
unknown sender that fill the study queue do not lock out a study that the
archive (this host) announces."""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import veltotest  # noqa: E402
from watchharness import Renderer, Sender, Watch, expected_argv, storeuid  # noqa: E402

QUEUE_LIMIT = 10000


class ForgedSender:
    """Sends on the channel from 127.0.0.2: a loopback address that is not
    one of this host's interface addresses, so an unknown sender."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.2", 0))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        self.to = (veltotest.MCAST_GROUP, port)

    def send(self, data):
        self.sock.sendto(data, self.to)

    def close(self):
        self.sock.close()


def receive_queue(pid):
    """Bytes waiting in the UDP receive queues of the process's sockets."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    total = 0
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[9] in inodes:
                total += int(fields[4].split(":")[1], 16)
    return total


class FloodTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        veltotest.require_private_netns()
        if not os.path.exists(veltotest.STUDYWATCH):
            raise unittest.SkipTest("studywatch not built")

    def setUp(self):
        self.renderer = Renderer()
        self.cleanups = [self.renderer.cleanup]

    def tearDown(self):
        for f in reversed(self.cleanups):
            f()

    def start(self, args):
        w = Watch(self.renderer, args, timeout=0)
        self.cleanups.append(w.cleanup)
        s = Sender(w.port)
        self.cleanups.append(s.close)
        f = ForgedSender(w.port)
        self.cleanups.append(f.close)
        return w, s, f

    def test_garbage_for_ten_seconds_costs_little_log(self):
        w, s, f = self.start(["-L", "1"])
        end = time.time() + 10
        sent = 0
        while time.time() < end:
            for i in range(200):
                f.send(storeuid("1.2;rm%d" % sent))
                sent += 1
            time.sleep(0.001)
        # The count held back at the end is written one interval later.
        veltotest.wait_for(lambda: "more announcements with an unusable study UID" in w.log(),
                           5, what="a count of the ignored datagrams")
        self.assertLess(os.path.getsize(w.logpath), 1 << 20)
        lines = [m for m in w.log_messages() if "unusable study UID" in m]
        self.assertLessEqual(len(lines), 2 * 12, lines[:5])
        held = sum(int(m.split()[1]) for m in lines if m.split()[1].isdigit())
        held += sum(int(m.split("(and ")[1].split()[0]) for m in lines if "(and " in m)
        self.assertGreater(held, len(lines), "the counts must cover the flood")
        self.assertGreater(sent, 10000)
        # The daemon still follows the archive.
        s.announce("1.2.826.0.1.12.1")
        run, = self.renderer.wait_runs(1, "1.2.826.0.1.12.1")
        self.assertEqual(expected_argv("1.2.826.0.1.12.1"), run["argv"])

    def test_real_study_is_rendered_during_a_flood_of_forged_ones(self):
        # Forged studies keep their renderers a while, so they pile up; and
        # few slots of the queue come free while the test runs (two per
        # renderer's run), so it is still full when the archive announces.
        self.renderer.control(**{"*": {"sleep": 5}})
        w, s, f = self.start(["-M", "2", "-L", "1"])
        n = 0
        deadline = time.time() + 90
        while "Study queue full (%d studies)" % QUEUE_LIMIT not in w.log():
            self.assertLess(time.time(), deadline, "the queue never filled")
            for i in range(100):
                f.send(storeuid("1.2.826.0.1.66.%d" % n))
                n += 1
            time.sleep(0.01)
        self.assertGreaterEqual(n, QUEUE_LIMIT)
        # The flood may have overrun the socket's buffer; once it has room
        # the archive's announcement is sure to arrive, and the forged ones
        # after it queue behind it.
        veltotest.wait_for(lambda: receive_queue(w.proc.pid) == 0, 20,
                           what="studywatch to read what is waiting")
        # The slots that renderers' ends freed meanwhile are taken again
        # (at most a few: see the sleep above); the archive's announcement
        # right behind them finds the queue full.
        for i in range(50):
            f.send(storeuid("1.2.826.0.1.66.%d" % n))
            n += 1
        real = "1.2.826.0.1.77.1"
        s.announce(real)
        for i in range(1000):
            f.send(storeuid("1.2.826.0.1.66.%d" % (n + i)))
            if i % 100 == 0:
                time.sleep(0.01)
        try:
            run, = self.renderer.wait_runs(1, real, timeout=20)
        except AssertionError:
            raise AssertionError("no run: %s" % w.log()[-3000:])
        self.assertEqual(expected_argv(real), run["argv"])
        self.assertIn("Study queue full: a study of an unknown sender dropped for the archive's "
                      "%s." % real, w.log_messages())
        self.assertLess(os.path.getsize(w.logpath), 1 << 20)

    def test_quiet_studies_start_as_fast_as_the_child_limit_allows(self):
        # Every quiet study is ready at once and a renderer's end starts the
        # next: 24 studies of 0.3 s each with 4 at a time take about 2 s,
        # not one second or more per study.
        self.renderer.control(**{"*": {"sleep": 0.3}})
        w, s, f = self.start(["-M", "4"])
        studies = ["1.2.826.0.1.88.%d" % i for i in range(24)]
        for study in studies:
            s.announce(study)
        runs = self.renderer.wait_runs(24, timeout=30)
        runs = self.renderer.wait_ended()
        self.assertEqual(sorted(r["study"] for r in runs), sorted(studies))
        starts = sorted(r["start"] for r in runs)
        self.assertLess(starts[-1] - starts[0], 12.0)
        # Never more than four at once.
        for r in runs:
            overlapping = [o for o in runs if o["start"] < r["start"] < o["end"]]
            self.assertLessEqual(len(overlapping), 3)


if __name__ == "__main__":
    veltotest.main()

"""studywatch on the nodes of a cluster: two storeservers (nodes a and b,
one store until the shared index lands) and two studywatches share one
PostgreSQL database, where every node records each study's last change.
A study stored through both nodes is rendered once, when quiet on both;
changed after its render, it is rendered again; a studywatch killed while
its renderer runs leaves the study to the other after the lease."""

import os
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import veltotest  # noqa: E402
from pgcluster import PgServer  # noqa: E402
from veltotest import STORESERVER, STUDYWATCH, Server, make_dataset, wait_for  # noqa: E402
from watchharness import EARLY_SLACK, LATE_SLACK, TIMEOUT, Renderer, Watch, expected_argv  # noqa: E402

LEASE = 2.0   # the Cluster file's lease, seconds
POLL = 0.2    # its poll


def cluster_file(etc, conninfo, node):
    os.makedirs(etc, exist_ok=True)
    with open(os.path.join(etc, "Cluster"), "w") as f:
        f.write("database %s\nnode %s\nlease %dms\npoll %dms\n" % (
            conninfo, node, int(LEASE * 1000), int(POLL * 1000)))


class ClusterWatchTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        veltotest.require_private_netns()
        for prog in (STUDYWATCH, STORESERVER):
            if not os.path.exists(prog):
                raise unittest.SkipTest("%s not built" % prog)
        cls.pg = PgServer().start()
        cls.tmp = tempfile.mkdtemp(prefix="velto-cw-")
        store = os.path.join(cls.tmp, "store")
        os.makedirs(store)
        cls.nodes = {}
        for name in ("a", "b"):
            s = Server(aetitle="ARCHIVE", basedir=store, start=False)
            cluster_file(s.etc, cls.pg.conninfo, name)
            cls.nodes[name] = s.start()

    @classmethod
    def tearDownClass(cls):
        for s in getattr(cls, "nodes", {}).values():
            s.cleanup()
        cls.pg.destroy()

    def setUp(self):
        self.renderer = Renderer()
        self.watches = {}
        for name in ("a", "b"):
            w = Watch(self.renderer, port=self.nodes[name].monitor_port, start=False)
            home = os.path.join(w.tmp, "home")
            cluster_file(os.path.join(home, ".velto", "etc"), self.pg.conninfo, "w" + name)
            w.env["HOME"] = home
            self.watches[name] = w.start()

    def tearDown(self):
        for w in self.watches.values():
            w.cleanup()
        self.renderer.cleanup()

    def store(self, node, study, n, first=0):
        """Stores n images of study through node; returns the time after."""
        s = self.nodes[node]
        files = [make_dataset(os.path.join(s.tmp, "%s-%d.dcm" % (study[-6:], i)), study,
                              study + ".1", "%s.1.%d" % (study, i)) for i in range(first, first + n)]
        p = s.storescu(files)
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        return time.time()

    def activity(self, study):
        rows = self.pg.rows("SELECT changes, rendered_change, changed_by, changed_what,"
                            " coalesce(claimed_by, '') FROM velto_study_activity"
                            " WHERE study = '%s'" % study)
        return rows[0] if rows else None

    def watch_of(self, pid):
        """The node whose studywatch started the renderer with pid."""
        found = [n for n, w in self.watches.items()
                 if ": renderer in child %d.\n" % pid in w.log()]
        self.assertEqual(1, len(found), "one studywatch started child %d" % pid)
        return found[0]

    def test_study_through_two_nodes_rendered_once_then_again_after_a_change(self):
        study = "1.2.826.0.1.3680043.2.1125.71"
        self.store("a", study, 2)
        # Before a's quiet time is over, b stores more: the study is quiet
        # only after b's images.
        time.sleep(TIMEOUT / 2)
        self.assertEqual([], self.renderer.runs(study))
        after_b = self.store("b", study, 2, first=2)
        first, = self.renderer.wait_runs(1, study)
        self.assertEqual(expected_argv(study), first["argv"])
        self.assertGreaterEqual(first["start"], after_b + TIMEOUT - EARLY_SLACK - 0.5,
                                "rendered before quiet on node b")
        self.assertLess(first["start"], after_b + TIMEOUT + LATE_SLACK)
        self.renderer.wait_ended(study)
        wait_for(lambda: self.activity(study)[1] == "4", 5, what="the render marked")
        self.assertEqual(["4", "4", "b", "stored", ""], self.activity(study))
        # By the database's clock (this host's): started a quiet time after
        # the last change, which was b's.
        changed = int(self.pg.rows("SELECT changed_ms FROM velto_study_activity"
                                   " WHERE study = '%s'" % study)[0][0]) / 1000.0
        self.assertGreaterEqual(first["start"], changed + TIMEOUT - EARLY_SLACK)
        # Both studywatches look at every poll: still one run.
        time.sleep(TIMEOUT + 1)
        self.assertEqual(1, len(self.renderer.runs(study)))

        # Changed after its render (one image more, through a): rendered
        # again once quiet, once.
        after = self.store("a", study, 1, first=4)
        first, second = self.renderer.wait_runs(2, study)
        self.assertGreaterEqual(second["start"], after + TIMEOUT - EARLY_SLACK - 0.5)
        self.renderer.wait_ended(study)
        wait_for(lambda: self.activity(study)[1] == "5", 5, what="the second render marked")
        time.sleep(TIMEOUT + 1)
        self.assertEqual(2, len(self.renderer.runs(study)))
        self.assertEqual(["5", "5", "a", "stored", ""], self.activity(study))

    def test_many_studies_at_once_are_each_rendered_once(self):
        studies = ["1.2.826.0.1.3680043.2.1125.73.%d" % i for i in range(6)]
        self.renderer.control(**{"*": {"sleep": 0.5}})
        for i, study in enumerate(studies):
            self.store("ab"[i % 2], study, 1)
        for study in studies:
            self.renderer.wait_runs(1, study)
        self.renderer.wait_ended()
        time.sleep(TIMEOUT + 1)
        self.assertEqual([1] * 6, [len(self.renderer.runs(s)) for s in studies])
        self.assertEqual([["6"]], self.pg.rows(
            "SELECT count(*) FROM velto_study_activity WHERE study LIKE '%%.73.%%'"
            " AND rendered_change = changes AND claimed_by IS NULL"))

    def test_killed_watch_leaves_its_study_to_the_other_after_the_lease(self):
        study = "1.2.826.0.1.3680043.2.1125.72"
        self.renderer.control(**{study: {"sleep": 60}})
        self.store("b", study, 1)
        first, = self.renderer.wait_runs(1, study)
        owner = self.watch_of(first["pid"])
        other = "b" if owner == "a" else "a"
        self.assertEqual("w" + owner, self.activity(study)[4])
        # Past several renewals, the claim stays the owner's and nobody
        # else renders.
        time.sleep(LEASE * 1.5)
        self.assertEqual(1, len(self.renderer.runs(study)))
        self.renderer.control()
        killed = time.time()
        # The studywatch and its renderer, as a crash of the node takes both.
        os.killpg(self.watches[owner].proc.pid, signal.SIGKILL)
        self.watches[owner].proc.wait(10)
        first, second = self.renderer.wait_runs(2, study, timeout=LEASE + 10)
        self.assertEqual(other, self.watch_of(second["pid"]))
        self.assertGreaterEqual(second["start"], killed + LEASE / 3 - EARLY_SLACK,
                                "taken over before the lease ran out")
        self.assertIsNone(first["end"], "the first renderer was killed with its studywatch")
        wait_for(lambda: self.activity(study)[1] == "1", 10, what="the render marked")
        self.assertEqual(["1", "1", "b", "stored", ""], self.activity(study))


if __name__ == "__main__":
    veltotest.main()

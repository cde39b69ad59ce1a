"""The modality worklist of a cluster: two nodes (each a storeserver and a
storeweb on a store of its own) sharing one PostgreSQL database. An entry
made through one node's pages is found by the other node's worklist SCP,
a study that arrives through either node marks it done for both, and a
removal through one node takes it off the other; an entry that the
database never recorded is answered by no node."""

import os

import veltotest as vt
import pgcluster
from pgcluster import PgServer
import test_worklist
from test_worklist import entry
from webharness import Web


class WorklistClusterTest(vt.ServerTestCase):
    # The single-host worklist test's helpers, not its cases.
    post = test_worklist.WorklistTest.post
    findscu = test_worklist.WorklistTest.findscu
    accessions = test_worklist.WorklistTest.accessions
    wldir = test_worklist.WorklistTest.wldir

    def setUp(self):
        super().setUp()
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        super().tearDown()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pg = PgServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.pg.destroy()
        super().tearDownClass()

    def node(self, name):
        s = self.server(start=False, args=["-W", "accession"])
        with open(os.path.join(s.etc, "Cluster"), "w") as f:
            f.write("database %s\nnode %s\npoll 200ms\nlease 2s\n" % (self.pg.conninfo, name))
            f.write(pgcluster.offline_tier(s.etc))
        s.start()
        w = Web(s)
        self.webs.append(w)
        return s, w

    def test_entries_are_the_clusters(self):
        s1, w1 = self.node("n1")
        s2, w2 = self.node("n2")
        status, a1 = self.post(w1, entry("DOE^JANE", "P1", "CA1", "CT", "CT1", "20250110"))
        self.assertEqual(status, 201, a1)
        status, a2 = self.post(w2, entry("ROE^RICK", "P2", "CA2", "MR", "MR1", "20250120"))
        self.assertEqual(status, 201, a2)
        # Each node answers both, whichever node's page made it.
        for s in (s1, s2):
            p, found = self.findscu(s, [])
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(self.accessions(found), ["CA1", "CA2"])
        self.assertEqual(sorted(e["AccessionNumber"] for e in w2.json("/worklist/entries")),
                         ["CA1", "CA2"])
        self.assertEqual(self.pg.rows("SELECT count(*) FROM velto_worklist WHERE NOT done"),
                         [["2"]])

        # A study with CA1's accession number stored through node 2 marks the
        # entry done on both nodes.
        img = os.path.join(s2.tmp, "img.dcm")
        vt.make_dataset(img, "1.2.826.0.1.3680043.2.1143.91.1", "1.2.826.0.1.3680043.2.1143.91.2",
                        "1.2.826.0.1.3680043.2.1143.91.3", accession="CA1")
        p = s2.storescu([img])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.pg.rows("SELECT id, done FROM velto_worklist ORDER BY accession"),
                         [[a1["id"], "t"], [a2["id"], "f"]])
        for s in (s1, s2):
            p, found = self.findscu(s, [])
            self.assertEqual(self.accessions(found), ["CA2"])
        done = [e for e in w1.json("/worklist/entries") if e["done"]]
        self.assertEqual([e["AccessionNumber"] for e in done], ["CA1"])

        # Removed through node 1: gone from node 2's answers and files.
        status, _, _ = w1.curl("/worklist/entries/" + a2["id"], ["-X", "DELETE"])
        self.assertEqual(status, 204)
        p, found = self.findscu(s2, [])
        self.assertEqual(self.accessions(found), [])
        self.assertFalse(os.path.exists(os.path.join(self.wldir(s2), a2["id"] + ".wl")))

        # A file that no node recorded (a process killed between its write
        # and its row, or dropped in by hand) is not answered in a cluster.
        stray = os.path.join(self.wldir(s1), "stray.wl")
        with open(stray, "wb") as f:
            with open(os.path.join(self.wldir(s1), "done", a1["id"] + ".wl"), "rb") as src:
                f.write(src.read())
        p, found = self.findscu(s1, [])
        self.assertEqual(self.accessions(found), [])
        self.assertFalse(os.path.exists(stray))


if __name__ == "__main__":
    vt.main()

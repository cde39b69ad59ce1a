"""Storage commitment on the nodes of a cluster: two storeservers (nodes a
and b, one store until the shared index lands) share one PostgreSQL
database. Images stored through a are committed when asked through b (the
check rests on the shared index and the recorded checksums, not on the
node's files), a missing one fails; and a request accepted by a node that
is killed before its report is reported by the other node once the lease
has run out, to the requester's address in that node's AE title map."""

import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import veltotest as vt
from pgcluster import PgServer
from veltotest import Server, make_dataset, store_statuses

COMMIT_SCU = os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js")
NODE_MODULES = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")
CT = "1.2.840.10008.5.1.4.1.1.7"
LEASE = 2.0
POLL = 0.2


class CommitClusterTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(vt.STORESERVER):
            raise unittest.SkipTest("storeserver not built")
        cls.pg = PgServer().start()
        cls.tmp = tempfile.mkdtemp(prefix="velto-cc-")
        cls.store = os.path.join(cls.tmp, "store")
        os.makedirs(cls.store)
        # The requester's report port, and a port that takes connections
        # and never answers (node a's idea of the requester, in the
        # takeover case).
        cls.scu_port = vt.free_port()
        cls.blackhole = socket.socket()
        cls.blackhole.bind(("127.0.0.1", 0))
        cls.blackhole.listen(4)
        cls.nodes = {}

    @classmethod
    def tearDownClass(cls):
        for s in cls.nodes.values():
            s.cleanup()
        cls.blackhole.close()
        cls.pg.destroy()

    def node(self, name, requester_port):
        s = Server(aetitle="ARCHIVE", basedir=self.store, start=False,
                   aetmap="MOD\tMODALITY\t127.0.0.1:%d\tS\n" % requester_port)
        with open(os.path.join(s.etc, "Cluster"), "w") as f:
            f.write("database %s\nnode %s\nlease %dms\npoll %dms\n" % (
                self.pg.conninfo, name, int(LEASE * 1000), int(POLL * 1000)))
        old = self.nodes.get(name)
        if old is not None:
            old.cleanup()
        self.nodes[name] = s.start()
        return s

    def requester(self, s, mode, instances, transaction):
        return subprocess.Popen(["node", COMMIT_SCU, "127.0.0.1", str(s.port), s.aetitle,
                                 "MODALITY", mode, str(self.scu_port), transaction, CT] + instances,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, NODE_PATH=NODE_MODULES),
                                start_new_session=True)

    def report(self, proc):
        try:
            out, _ = proc.communicate(timeout=60)
        finally:
            vt.stop_process(proc)
        reports = [json.loads(line[len("REPORT "):]) for line in out.splitlines()
                   if line.startswith("REPORT ")]
        self.assertEqual(1, len(reports), out)
        self.assertIn("ACTION STATUS 0", out)
        return reports[0], out

    def stored_through(self, s, study, n):
        series = study + ".1"
        uids = ["%s.%d" % (series, i) for i in range(1, n + 1)]
        files = [make_dataset(os.path.join(s.tmp, "%s.dcm" % u), study, series, u, sop_class=CT)
                 for u in uids]
        p = s.storescu(files, calling="MODALITY", extra=["-v"])
        self.assertEqual(["Success"] * n, store_statuses(p.stdout + p.stderr))
        return series, uids

    def recorded(self):
        """How many requests were ever recorded (the ids handed out)."""
        rows = self.pg.rows("SELECT CASE WHEN is_called THEN last_value ELSE 0 END"
                            " FROM velto_commit_job_id_seq")
        return int(rows[0][0])

    def open_jobs(self):
        return self.pg.rows("SELECT id, claimed_by, requester, attempts FROM velto_commit_job")

    def test_images_stored_through_a_committed_through_b(self):
        a = self.node("a", self.scu_port)
        b = self.node("b", self.scu_port)
        study = "1.2.826.15.21"
        series, uids = self.stored_through(a, study, 3)
        never = study + ".9.9"
        # A node's own file is a cache: the one of the first image gone,
        # the shared index and its recorded checksum still vouch for it.
        os.unlink(vt.uid_path(self.store, study, series, uids[0]))
        before = self.recorded()
        for mode in ("same", "new"):
            with self.subTest(mode=mode):
                report, out = self.report(self.requester(b, mode, uids + [never],
                                                         "1.2.826.15.99.21"))
                self.assertEqual(mode, report["how"])
                self.assertEqual(2, report["event"])
                self.assertEqual("1.2.826.15.99.21", report["transaction"])
                self.assertEqual(uids, report["committed"])
                self.assertEqual([[never, 0x0112]], report["failed"])
        # Each request was recorded until its report was delivered.
        self.assertEqual([], self.open_jobs())
        self.assertEqual(before + 2, self.recorded())
        self.assertIn("Commitment report sent to MODALITY at 127.0.0.1:%d." % self.scu_port,
                      b.log())
        self.assertNotIn("Commitment of", a.log())

    def test_a_request_of_a_node_killed_before_its_report_is_reported_by_the_other(self):
        # Node a sends its reports to a requester address that never
        # answers; node b to the requester's own.
        a = self.node("a", self.blackhole.getsockname()[1])
        b = self.node("b", self.scu_port)
        study = "1.2.826.15.22"
        _, uids = self.stored_through(b, study, 2)
        # A UID no archive stores, with bytes the record must keep apart:
        # reported after the takeover as b reports it on its own.
        odd = "1.2.826 %41\u00e9-"
        direct, _ = self.report(self.requester(b, "same", [odd], "1.2.826.15.99.23"))
        self.assertEqual(1, len(direct["failed"]))
        proc = self.requester(a, "new", uids + [study + ".9.9", odd], "1.2.826.15.99.22")
        # Node a has answered the N-ACTION and is delivering its report.
        self.blackhole.settimeout(30)
        conn, _ = self.blackhole.accept()
        jobs = self.open_jobs()
        self.assertEqual(1, len(jobs), jobs)
        self.assertEqual(["a", "MODALITY", "0"], jobs[0][1:])
        os.killpg(a.proc.pid, signal.SIGKILL)
        a.proc.wait(10)
        killed = time.time()
        conn.close()
        report, out = self.report(proc)
        took = time.time() - killed
        self.assertEqual(("new", 2, uids, [[study + ".9.9", 0x0112]] + direct["failed"]),
                         (report["how"], report["event"], report["committed"], report["failed"]))
        self.assertIn("ASSOCIATION ARCHIVE", out)
        self.assertIn("Commitment report %s (transaction 1.2.826.15.99.22) for MODALITY taken over."
                      % jobs[0][0], b.log())
        self.assertIn("Commitment report sent to MODALITY at 127.0.0.1:%d." % self.scu_port,
                      b.log())
        self.assertLess(took, LEASE + 10)
        vt.wait_for(lambda: self.open_jobs() == [], 10, what="the request's record removed")


if __name__ == "__main__":
    vt.main()

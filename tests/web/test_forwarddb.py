"""Forwarding on the nodes of a cluster: two storeservers, each a node of
one Cluster (a PostgreSQL 15 server of the test's own, tests/lib/
pgcluster.py; lease 2 s, poll 200 ms), on one shared store, with one
ForwardRules. The queue is the database's: a node killed with SIGKILL
(its whole process group) in the middle of a forward has its jobs taken
over and finished by the other node once the lease is over, each image
delivered at least once and at most once more; two nodes forwarding at
once never send one job twice; the held job of an image refused leaves
no job (held, then deleted when its placing fails), and held jobs a dead
node left are settled by whether their image is stored; a database out of
reach for longer than the lease mid-forward costs at most one image sent
twice; storeweb's
forwarding page shows, pauses and retries the database's jobs."""

import json
import os
import re
import shutil
import signal
import tempfile
import time
import unittest

import veltotest as vt
import pgcluster
from pgcluster import PgServer
from test_forward import by_instance, make_images, STUDY
from webharness import Web, STOREWEB

LEASE_S = 2


def forwarded(log):
    """(sent, selected) of each "Forwarded N of M image(s)" line of a log."""
    return [tuple(int(x) for x in m)
            for m in re.findall(r"Forwarded (\d+) of (\d+) image", log)]


class ClusterForwardTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(pgcluster.BIN + "/initdb"):
            raise unittest.SkipTest("PostgreSQL 15 not installed")
        cls.pg = PgServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.pg.destroy()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.stop_later = []
        self.src = tempfile.mkdtemp(prefix="fwdb-src-")
        self.store = tempfile.mkdtemp(prefix="fwdb-store-")
        # Each case on an empty queue (the tables stay: made once).
        try:
            self.pg.psql("TRUNCATE velto_forward_jobs, velto_forward_sent, "
                         "velto_forward_paused, velto_forward_history")
        except RuntimeError:
            pass  # not made yet

    def tearDown(self):
        for p in self.stop_later:
            p.stop()
        super().tearDown()
        shutil.rmtree(self.src, ignore_errors=True)
        shutil.rmtree(self.store, ignore_errors=True)

    def node(self, name, rules, dest_port, start=True):
        """A storeserver that is node name of the cluster, on the shared
        store (the store lock is shared among servers)."""
        s = self.server(start=False, basedir=self.store, args=["-Q", "1"],
                        aetmap="DEST\tDEST\t127.0.0.1:%d\tFMS\n" % dest_port)
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write(rules)
        with open(os.path.join(s.etc, "Cluster"), "w") as f:
            f.write("# a test's cluster\ndatabase %s\nnode %s\nlease %ds\npoll 200ms\n"
                    % (self.pg.conninfo, name, LEASE_S))
        if start:
            s.start()
        return s

    def scp(self, port, extra=()):
        d = vt.StoreSCP.__new__(vt.StoreSCP)
        d.aetitle, d.port = "DEST", port
        d.dir = tempfile.mkdtemp(prefix="fwdb-dst-")
        d.logpath = d.dir + ".log"
        d.logf = open(d.logpath, "w")
        d.proc = vt.subprocess.Popen(["storescp", "-aet", "DEST", "-od", d.dir, "+uf"]
                                     + list(extra) + [str(port)],
                                     stdout=d.logf, stderr=vt.subprocess.STDOUT)
        vt.wait_for(lambda: vt.port_open(port), 10, what="storescp to listen")
        self.stop_later.append(d)
        return d

    def count(self, sql):
        return int(self.pg.rows(sql)[0][0])

    def jobs(self):
        return self.count("SELECT count(*) FROM velto_forward_jobs")

    def assert_delivered(self, sent_paths, received, extra):
        """Every image arrived, the same bytes, at most extra copies more."""
        sent, got = by_instance(sent_paths), by_instance(received)
        self.assertEqual(sorted(got), sorted(sent))
        self.assertLessEqual(sum(len(v) for v in got.values()), len(sent) + extra)
        for uid, copies in got.items():
            for ds in copies:
                self.assertEqual(ds.PixelData, sent[uid][0].PixelData)

    def test_killed_node_jobs_finished_by_the_other_within_the_lease(self):
        port = vt.free_port()
        a = self.node("node-a", "DEST when=store\n", port)
        images = make_images(self.src, 6)
        # A second over each image: node a is killed half way. (A process
        # per association: the killed node's is no obstacle to the next.)
        dest = self.scp(port, ["--fork", "--sleep-during", "1"])
        self.assertEqual(a.storescu(images, calling="CT1").returncode, 0)
        # Every job in the database, none in the store's own queue.
        self.assertEqual(self.jobs(), 6)
        self.assertEqual([n for n in os.listdir(os.path.join(self.store, "forward"))
                          if n.endswith(".job")], [])
        def delivered():
            """Images node a delivered: those of its finished jobs (one each)
            and those its jobs left noted."""
            return (6 - self.jobs()) + self.count("SELECT count(*) FROM velto_forward_sent")
        vt.wait_for(lambda: delivered() >= 2, 20, what="two images forwarded by node a")
        leased = self.pg.rows("SELECT DISTINCT lease_node FROM velto_forward_jobs "
                              "WHERE lease_node IS NOT NULL")
        self.assertEqual(leased, [["node-a"]])
        # Node b runs beside it: nothing of a's leased jobs goes from b.
        b = self.node("node-b", "DEST when=store\n", port)
        time.sleep(0.5)
        self.assertEqual(forwarded(b.log()), [])
        os.killpg(a.proc.pid, signal.SIGKILL)
        a.proc.wait(10)
        killed = time.monotonic()
        by_a = delivered()
        self.assertTrue(2 <= by_a < 6, by_a)
        # b claims them once the lease is over and sends what a did not.
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_forward_jobs WHERE "
                                       "lease_node = 'node-a'") == 0, LEASE_S + 3,
                    interval=0.05, what="node b to take the jobs over")
        took = time.monotonic() - killed
        vt.wait_for(lambda: self.jobs() == 0, 30, what="the queue to empty")
        print("taken over %.2f s after the kill (lease %d s); a delivered %d of 6"
              % (took, LEASE_S, by_a))
        self.assertLessEqual(took, LEASE_S + 1.0)
        # Only what a had not recorded goes from b.
        self.assertEqual(sum(n for n, _ in forwarded(b.log())), 6 - by_a)
        self.assert_delivered(images, dest.files(), extra=1)
        # The history: every job finished once, by a's rounds and b's.
        history = self.pg.rows("SELECT destination, study, origin, jobs, images FROM "
                               "velto_forward_history")
        self.assertEqual({tuple(r[:3]) for r in history}, {("DEST", STUDY, "rule 1")})
        self.assertEqual(sum(int(r[3]) for r in history), 6)

    def test_database_out_of_reach_mid_forward_then_back(self):
        port = vt.free_port()
        dest = self.scp(port, ["--sleep-during", "1"])
        a = self.node("node-a", "DEST when=store\n", port)
        images = make_images(self.src, 4)
        self.assertEqual(a.storescu(images, calling="CT1").returncode, 0)
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_forward_sent") >= 1, 20,
                    what="an image forwarded")
        # The database stops for longer than the lease: the node cannot
        # renew, stops sending its round, and goes on once it is back.
        self.pg.stop("immediate")
        try:
            time.sleep(LEASE_S + 0.5)
        finally:
            self.pg.start()
        vt.wait_for(lambda: self.jobs() == 0, 40, what="the queue to empty")
        self.assert_delivered(images, dest.files(), extra=1)
        self.assertIn("cluster database", a.log())
        # Its sends as it logged them: each image once, one at most twice.
        sent = sum(n for n, _ in forwarded(a.log()))
        self.assertTrue(4 <= sent <= 5, a.log())

    def test_two_nodes_forwarding_at_once_send_each_job_once(self):
        port = vt.free_port()
        # A second over each image, so each node's round lasts; a process
        # per association, so both nodes' go at once.
        dest = self.scp(port, ["--fork", "--sleep-during", "1"])
        a = self.node("node-a", "DEST when=store\n", port)
        b = self.node("node-b", "DEST when=store\n", port)

        def leased():
            return {r[0]: int(r[1]) for r in self.pg.rows(
                "SELECT lease_node, count(*) FROM velto_forward_jobs "
                "WHERE lease_node IS NOT NULL GROUP BY lease_node")}
        first = make_images(self.src, 4)
        self.assertEqual(a.storescu(first, calling="CT1").returncode, 0)
        vt.wait_for(lambda: leased(), 10, what="the first jobs claimed")
        # Stored while those are being sent: the idle node claims them.
        second = make_images(self.src, 3, series_no=2)
        self.assertEqual(b.storescu(second, calling="CT2").returncode, 0)
        vt.wait_for(lambda: len(leased()) == 2, 10, what="both nodes sending")
        vt.wait_for(lambda: self.jobs() == 0, 30, what="the queue to empty")
        la, lb = forwarded(a.log()), forwarded(b.log())
        print("node a sent %d, node b %d" % (sum(n for n, _ in la), sum(n for n, _ in lb)))
        self.assertTrue(la and lb, (la, lb))
        self.assertEqual(sum(m for _, m in la + lb), 7, (la, lb))
        # Each job selected and sent by one node alone (the delivery records
        # on the shared store would hide a second send from the destination:
        # the logs' counts show it), and each image arrived once.
        self.assertEqual(sum(n for n, _ in la + lb), 7, (la, lb))
        self.assertNotIn("unchanged before", a.log() + b.log())
        self.assert_delivered(first + second, dest.files(), extra=0)

    def test_held_job_of_a_refused_image_leaves_no_job(self):
        port = vt.free_port()  # the destination is down: the jobs stay
        a = self.node("node-a", "max-attempts 100\nDEST when=store\n", port)
        images = make_images(self.src, 3)

        def inserted_deleted():
            """Rows the jobs table ever had inserted and deleted (the
            server's statistics, sent by each worker as it ends)."""
            return tuple(int(x) for x in self.pg.rows(
                "SELECT n_tup_ins, n_tup_del FROM pg_stat_user_tables "
                "WHERE relname = 'velto_forward_jobs'")[0])
        self.assertEqual(a.storescu(images, calling="CT1").returncode, 0)
        self.assertEqual(self.jobs(), 3)
        vt.wait_for(lambda: inserted_deleted()[0] >= 3, 5, what="the inserts counted")
        before = inserted_deleted()
        # An image of a second series whose directory cannot be made (a
        # file has its name): its job is held, the placing fails, the image
        # is refused and its job deleted.
        series = os.path.dirname(vt.files_below(os.path.join(self.store, "uid"), ".dcm")[0])
        with open(series[:-1] + "2", "w") as f:
            f.write("in the way\n")
        refused = make_images(self.src, 1, series_no=2)
        p = a.storescu(refused, calling="CT1", extra=["-v"])
        self.assertNotEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertEqual(self.jobs(), 3)
        # (At least: a backend of an earlier case may report late.)
        vt.wait_for(lambda: all(n >= b + 1 for n, b in zip(inserted_deleted(), before)), 5,
                    what="one job held and dropped")
        self.assertEqual(self.count("SELECT count(*) FROM velto_forward_jobs WHERE instance = "
                                    "'%s.2.1'" % STUDY), 0)
        # A node killed between hold and keep leaves held jobs: any node
        # settles them after the lease, by whether the image is stored.
        self.pg.psql("INSERT INTO velto_forward_jobs (id, destination, study, series, "
                     "instance, state, next_ms, created_ms, touched_ms, lease_node, "
                     "lease_until) VALUES "
                     "('h1-dead', 'DEST', '%s', '%s.1', '%s.1.1', 3, 0, 0, 0, 'dead', 0), "
                     "('h2-dead', 'DEST', '%s', '%s.1', '%s.1.99', 3, 0, 0, 0, 'dead', 0)"
                     % ((STUDY,) * 6))
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_forward_jobs WHERE "
                                       "state = 3") == 0, 10, what="the held jobs settled")
        self.assertEqual(self.pg.rows("SELECT id FROM velto_forward_jobs WHERE id LIKE "
                                      "'h%-dead'"), [["h1-dead"]])
        a.wait_log("Forwarding job h2-dead of a store cut short removed")

    def test_forwarding_page_shows_pauses_and_retries_the_database_jobs(self):
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        port = vt.free_port()
        a = self.node("node-a", "max-attempts 1\nDEST when=store\n", port)
        w = Web(a)
        self.stop_later.append(w)
        images = make_images(self.src, 4)
        self.assertEqual(a.storescu(images, calling="CT1").returncode, 0)
        # Down: each fails at its one attempt.
        vt.wait_for(lambda: w.json("/forward/jobs")["failed"] == 4, 20, what="four failed")
        listing = w.json("/forward/jobs")
        ids = sorted(j["id"] for j in listing["jobs"])
        self.assertEqual(ids, sorted(r[0] for r in self.pg.rows(
            "SELECT id FROM velto_forward_jobs WHERE state = 1")))
        self.assertTrue(all(i.endswith("-node-a") for i in ids), ids)
        self.assertEqual(w.json("/forward/jobs/" + ids[0])["state"], "failed")
        page = w.curl("/forward")[2]
        self.assertIn(b'data-destination="DEST"', page)
        post = ["-X", "POST", "-H", "Content-Type: application/json", "--data"]
        # Paused in the database; retried all: pending, but nothing goes.
        self.assertEqual(w.curl("/forward/pause", post + ['{"destination":"DEST"}'])[0], 200)
        self.assertEqual(self.pg.rows("SELECT destination FROM velto_forward_paused"),
                         [["DEST"]])
        dest = self.scp(port)
        status, _, body = w.curl("/forward/retry-all", post + ['{"destination":"DEST"}'])
        self.assertEqual((status, json.loads(body)), (200, {"retried": 4}))
        self.assertEqual(self.count("SELECT count(*) FROM velto_forward_jobs WHERE state = 0"),
                         4)
        time.sleep(0.6)  # three of the forwarder's looks
        self.assertEqual(dest.files(), [])
        # Resumed: delivered, and the round is in the page's history.
        self.assertEqual(w.curl("/forward/resume", post + ['{"destination":"DEST"}'])[0], 200)
        vt.wait_for(lambda: self.jobs() == 0, 20, what="the queue to empty")
        self.assert_delivered(images, dest.files(), extra=0)
        page = w.curl("/forward")[2].decode()
        rows = re.findall(r'<tr class="finished">(.*?)</tr>', page)
        self.assertEqual(len(rows), 1, page)
        self.assertEqual(re.findall(r"<td>(.*?)</td>", rows[0])[1:],
                         ["DEST", STUDY, "rule 2", "4", "4"])


if __name__ == "__main__":
    vt.main()

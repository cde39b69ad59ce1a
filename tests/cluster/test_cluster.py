"""Two storeserver nodes and a storeweb of one archive on a shared
PostgreSQL index and one Ceph bucket (the Cluster and ObjectTier files):
one image per SOP Instance UID across the nodes, one study and one patient
whichever node stored what, every acknowledged image in the bucket and
retrieved through the other node byte for byte when its node is killed, a
gateway that is down refusing images without a trace, and a delete through
one node that the other node never serves again. In front of the nodes
one HAProxy (TCP with PROXY v2 for DICOM, HTTP for the storeweb): stores
through its one address, round robin to both nodes, form one study read
byte for byte through each node and the web; a commitment of images stored
through n1 answered by n2, which has no copy of them; a node killed
mid-forward whose jobs the other finishes from the bucket within the
lease; and a delete through n2 racing stores through n1 that leaves the
index and the bucket agreeing. One Ceph, one PostgreSQL, one HAProxy and
the nodes for the whole class."""

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import veltotest as vt

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))
from cephcluster import ACCESS_KEY, REGION, SECRET_KEY, CephCluster
from haproxylib import HAProxy, http_frontend, tcp_frontend
from pgcluster import PgServer

ROOT = "1.2.826.0.1.3680043.9.7777.61"
BUCKET = "cluster"
# HAProxy's connections to the nodes leave from this address, the one the
# nodes' Cluster files trust for PROXY headers: a client's own connections
# from 127.0.0.1 straight to a node stay plain.
PROXY_ADDRESS = "127.0.0.2"
COMMIT_SCU = os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js")
NODE_MODULES = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")
CT = "1.2.840.10008.5.1.4.1.1.7"
STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")


def dataset_bytes(data):
    """The bytes of a DICOM file after its meta header."""
    import struct
    assert data[128:132] == b"DICM"
    (glen,) = struct.unpack("<I", data[140:144])
    return data[144 + glen:]


class ClusterTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = tempfile.mkdtemp(prefix="cluster-")
        cls.ceph = CephCluster(os.path.join(cls.work, "ceph"))
        cls.pg = PgServer()
        cls.nodes = {}
        cls.fwd_port = vt.free_port()
        try:
            cls.pg.start()
            cls.ceph.start()
            code, body = cls.ceph.curl("PUT", "/" + BUCKET)
            assert code == 200, body
            for name in ("n1", "n2"):
                cls.nodes[name] = cls.node(name)
            # The first node makes the archive id; the second one takes it.
            cls.nodes["n1"].start()
            cls.nodes["n2"].start()
            import webharness
            cls.web = webharness.Web(cls.nodes["n2"])
            # One address for DICOM (TCP, PROXY v2, round robin over both
            # nodes) and one for the web (HTTP), as a site runs them.
            cls.dicom_port, cls.web_port = vt.free_port(), vt.free_port()
            cls.haproxy = HAProxy(
                [tcp_frontend("dicom", cls.dicom_port,
                              [cls.nodes["n1"].port, cls.nodes["n2"].port], PROXY_ADDRESS),
                 http_frontend("web", cls.web_port, [cls.web.port], PROXY_ADDRESS)],
                [cls.dicom_port, cls.web_port]).start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "haproxy", None):
            cls.haproxy.cleanup()
        if getattr(cls, "web", None):
            cls.web.stop()
        for srv in cls.nodes.values():
            srv.stop()
        cls.ceph.stop()
        cls.pg.destroy()
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def node(cls, name):
        # Images stored under the calling title FWD are forwarded to DEST
        # (a storescp of the forwarding case); no other case's are.
        srv = vt.Server(start=False, root=os.path.join(cls.work, name),
                        aetmap="DEST\tDEST\t127.0.0.1:%d\tFMS\n" % cls.fwd_port)
        with open(os.path.join(srv.etc, "ForwardRules"), "w") as f:
            f.write("DEST when=store calling=FWD\n")
        key = os.path.join(srv.etc, "tier.key")
        with open(key, "w") as f:
            f.write("access-key %s\nsecret-key %s\n" % (ACCESS_KEY, SECRET_KEY))
        os.chmod(key, 0o600)
        with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
            f.write("endpoint %s\nbucket %s\nregion %s\ncredentials tier.key\nprefix arch/\n"
                    "timeout 5\n" % (cls.ceph.endpoint, BUCKET, REGION))
        with open(os.path.join(srv.etc, "Cluster"), "w") as f:
            f.write("database %s\nnode %s\npoll 200ms\nlease 2s\nproxy %s ::ffff:%s\n"
                    % (cls.pg.conninfo, name, PROXY_ADDRESS, PROXY_ADDRESS))
        srv.name = name
        return srv

    # -- helpers -------------------------------------------------------

    files_by_uid = {}  # the file each SOP Instance UID was last made in

    def files(self, srv, images, patient_id="PC1", tag=""):
        """Image files (study, series, sop) with random pixels: [(path, bytes)]."""
        d = tempfile.mkdtemp(dir=self.work)
        out = []
        for st, se, sop in images:
            p = os.path.join(d, sop + ".dcm")
            vt.make_dataset(p, st, se, sop, patient_name="CLUSTER^" + patient_id,
                            patient_id=patient_id, pixels=64,
                            extra={"PixelData": os.urandom(64 * 64)})
            out.append(p)
            self.files_by_uid[sop] = p
        return out

    @staticmethod
    def statuses(p):
        """The statuses of storescu -v's C-STORE responses."""
        return re.findall(r"Received Store Response \(([^)]*)\)", p.stdout + p.stderr)

    def send(self, srv, files):
        return srv.storescu(files, extra=["-v"])

    def stored_bytes(self, srv, img):
        with open(vt.uid_path(srv.basedir, *img), "rb") as f:
            return f.read()

    def objects(self):
        code, body = self.ceph.curl("GET", "/%s?list-type=2" % BUCKET)
        self.assertEqual(code, 200, body)
        return {k for k in re.findall(r"<Key>([^<]*)</Key>", body.decode())
                if k.startswith("arch/uid/")}

    def key(self, img):
        return "arch/" + os.path.relpath(vt.uid_path("/b", *img), "/b")

    def rows(self, sql):
        return self.pg.rows(sql)

    def count(self, sql):
        return int(self.rows(sql)[0][0])

    def cget(self, srv, study):
        """(completed, failed, {sop: dataset bytes received})."""
        out = tempfile.mkdtemp(dir=self.work)
        p = vt.run(["getscu", "-v", "-S", "-aec", srv.aetitle, "-od", out, "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study,
                    "127.0.0.1", str(srv.port)])
        text = p.stdout + p.stderr
        completed = re.findall(r"Number of Completed Suboperations\s*:\s*(\d+)", text)
        failed = re.findall(r"Number of Failed Suboperations\s*:\s*(\d+)", text)
        import pydicom
        got = {}
        for name in os.listdir(out):
            path = os.path.join(out, name)
            with open(path, "rb") as fh:
                got[str(pydicom.dcmread(path).SOPInstanceUID)] = dataset_bytes(fh.read())
        shutil.rmtree(out)
        return (int(completed[-1]) if completed else 0, int(failed[-1]) if failed else 0, got,
                text)

    def stow(self, path):
        """STOW-RS of one file through the class's storeweb: (status, answer)."""
        with open(path, "rb") as f:
            body = (b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + f.read() +
                    b"\r\n--XyZ--\r\n")
        upload = path + ".body"
        with open(upload, "wb") as out:
            out.write(body)
        status, _, answer = self.web.curl("/dicom-web/studies", [
            "-X", "POST", "-H",
            'Content-Type: multipart/related; type="application/dicom"; boundary=XyZ',
            "-H", "Accept: application/dicom+json", "--data-binary", "@" + upload])
        return status, answer

    def in_parallel(self, jobs):
        """Runs each job (a function) on a thread of its own: their results."""
        results = [None] * len(jobs)

        def run(i):
            results[i] = jobs[i]()
        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return results

    def proxied(self, node):
        """How many connections node logged as coming through the proxy."""
        return node.log().count("Connection from 127.0.0.1 through proxy %s" % PROXY_ADDRESS)

    def bucket_bytes(self, img):
        code, body = self.ceph.curl("GET", "/%s/%s" % (BUCKET, self.key(img)))
        self.assertEqual(200, code, img)
        return body

    def study_objects(self, study):
        prefix = "arch/" + os.path.relpath(vt.uid_path("/b", study), "/b") + "/"
        return {k for k in self.objects() if k.startswith(prefix)}

    # -- cases ---------------------------------------------------------

    def test_0a_stores_through_the_proxy_form_one_study(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".10"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(8)]
        before = [self.proxied(n1), self.proxied(n2)]
        # Four associations to the proxy's one address, two images each.
        for k in range(4):
            files = self.files(n1, images[2 * k:2 * k + 2])
            p = vt.run(["storescu", "-v", "-aet", "CLIENT", "-aec", "ARCHIVE", "127.0.0.1",
                        str(self.dicom_port)] + files, env={"TCP_NODELAY": "1"})
            self.assertEqual(["Success"] * 2, self.statuses(p), p.stdout + p.stderr)
        # Round robin: both nodes took some of the four.
        took = [self.proxied(n1) - before[0], self.proxied(n2) - before[1]]
        self.assertEqual(4, sum(took), took)
        self.assertTrue(all(t > 0 for t in took), took)
        self.assertEqual(1, self.count("SELECT count(*) FROM velto_studies WHERE "
                                       "study_uid = '%s'" % study))
        self.assertEqual(8, self.count("SELECT count(*) FROM velto_instances WHERE "
                                       "sop_uid LIKE '%s.%%'" % study))
        # The bucket holds each image: the bytes every way of reading returns,
        # whose size and SHA-256 its row names, its home the bucket.
        objects = {img[2]: self.bucket_bytes(img) for img in images}
        rows = self.pg.psql("SELECT sop_uid, size, checksum, location FROM velto_instances"
                            " WHERE sop_uid LIKE '%s.%%'" % study)
        self.assertEqual(sorted("%s|%d|%s|tier" % (uid, len(b), hashlib.sha256(b).hexdigest())
                                for uid, b in objects.items()),
                         sorted(rows.split()), rows)
        home = {uid: dataset_bytes(b) for uid, b in objects.items()}
        for srv in (n1, n2):
            completed, failed, got, text = self.cget(srv, study)
            self.assertEqual((8, 0), (completed, failed), text)
            self.assertEqual(home, got, srv.name)
        for img in images:
            p = subprocess.run(
                ["curl", "-s", "-D", "-", "-H",
                 "Accept: multipart/related; type=application/dicom",
                 "http://127.0.0.1:%d/dicom-web/studies/%s/series/%s/instances/%s"
                 % ((self.web_port,) + img)], capture_output=True, timeout=60)
            self.assertTrue(p.stdout.startswith(b"HTTP/1.1 200"), p.stdout[:200])
            self.assertIn(home[img[2]], p.stdout)

    def test_0ab_storeindex_check_compares_the_database_with_the_bucket(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".12"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(2)]
        p = self.send(n1, self.files(n1, images))
        self.assertEqual(["Success"] * 2, self.statuses(p), p.stdout + p.stderr)

        def check():
            return vt.run([STOREINDEX, "check", n2.basedir], env=n2.env)
        p = check()
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        self.assertIn("consistent", p.stdout)
        # An object without a row (a kill between upload and commit) and a
        # row whose object went: both reported, the check only reads.
        gone = self.key(images[0])
        kept = self.bucket_bytes(images[0])
        orphan = self.key((study, study + ".1", study + ".1.77"))
        blob = os.path.join(self.work, "orphan.dcm")
        with open(blob, "wb") as f:
            f.write(kept)
        self.assertEqual(200, self.ceph.curl("PUT", "/%s/%s" % (BUCKET, orphan),
                                             data_file=blob)[0])
        self.assertIn(self.ceph.curl("DELETE", "/%s/%s" % (BUCKET, gone))[0], (200, 204))
        try:
            p = check()
            self.assertEqual(1, p.returncode, p.stdout + p.stderr)
            self.assertIn("orphan: %s:" % orphan, p.stdout)
            self.assertIn("missing: %s:" % gone, p.stdout)
            self.assertIn("findings: %s: 2" % n2.basedir, p.stdout)
        finally:
            self.ceph.curl("DELETE", "/%s/%s" % (BUCKET, orphan))
            self.ceph.curl("PUT", "/%s/%s" % (BUCKET, gone), data_file=blob)
        self.assertEqual(0, check().returncode)
        # The single-host steps refuse a node's store (a cache), never
        # succeed at nothing.
        for step in (["rebuild"], ["retention", "-n"], ["tier"]):
            p = vt.run([STOREINDEX] + step + [n2.basedir], env=n2.env)
            self.assertEqual(2, p.returncode, p.stdout + p.stderr)
            self.assertIn("this host is a cluster node", p.stderr)

    def test_0b_commitment_of_images_through_one_node_answered_by_the_other(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".11"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(3)]
        p = self.send(n1, self.files(n1, images))
        self.assertEqual(["Success"] * 3, self.statuses(p), p.stdout + p.stderr)
        uids = [img[2] for img in images]
        never = study + ".9.9"
        # n2 has no copy of them (separate stores): the shared index and
        # the bucket vouch for them.
        for img in images:
            self.assertFalse(os.path.exists(vt.uid_path(n2.basedir, *img)))
        proc = subprocess.Popen(["node", COMMIT_SCU, "127.0.0.1", str(n2.port), n2.aetitle,
                                 "MODALITY", "same", str(vt.free_port()), study + ".99", CT]
                                + uids + [never], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, NODE_PATH=NODE_MODULES),
                                start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=60)
        finally:
            vt.stop_process(proc)
        reports = [json.loads(line[len("REPORT "):]) for line in out.splitlines()
                   if line.startswith("REPORT ")]
        self.assertEqual(1, len(reports), out)
        self.assertEqual((2, study + ".99", uids, [[never, 0x0112]]),
                         (reports[0]["event"], reports[0]["transaction"],
                          reports[0]["committed"], reports[0]["failed"]), out)
        self.assertNotIn("Commitment of", n1.log())

    def test_0d_a_killed_node_s_forwards_are_finished_by_the_other(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".13"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(4)]
        files = self.files(n1, images)
        # A second over each image, a process per association: n1 is killed
        # half way, and its association is no obstacle to n2's.
        out = tempfile.mkdtemp(dir=self.work)
        with open(out + ".log", "w") as log:
            dest = subprocess.Popen(["storescp", "-aet", "DEST", "-od", out, "+uf", "--fork",
                                     "--sleep-during", "1", str(self.fwd_port)],
                                    stdout=log, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        self.addCleanup(vt.stop_process, dest)
        vt.wait_for(lambda: vt.port_open(self.fwd_port), 10, what="storescp to listen")
        # n2 stopped while n1 takes the jobs (else either node may take them
        # all), back once n1 is sending.
        n2.stop()
        self.addCleanup(lambda: n2.proc.poll() is None or n2.start(answered=True))
        p = n1.storescu(files, calling="FWD")
        self.assertEqual(0, p.returncode, p.stderr)

        def jobs(where=""):
            return self.count("SELECT count(*) FROM velto_forward_jobs WHERE study = '%s'%s"
                              % (study, where))

        # n1 is killed while it holds jobs leased and has begun sending.
        vt.wait_for(lambda: os.listdir(out) and jobs(" AND lease_node = 'n1'") > 0, 20,
                    interval=0.05, what="n1 sending with jobs leased")
        n2.start(answered=True)
        os.killpg(n1.proc.pid, signal.SIGKILL)
        n1.proc.wait()
        killed = time.monotonic()
        # n1 again (a new process on its store) for the later cases.
        self.addCleanup(lambda: n1.proc.poll() is None or n1.start(answered=True))
        held = jobs(" AND lease_node = 'n1'")
        vt.wait_for(lambda: jobs(" AND lease_node = 'n1'") == 0, 10, interval=0.05,
                    what="n2 to take the jobs over")
        took = time.monotonic() - killed
        vt.wait_for(lambda: jobs() == 0, 30, what="the queue to empty")
        print("n1's %d job(s) taken over %.2f s after the kill (lease 2 s)" % (held, took))
        self.assertGreater(held, 0)
        # Within the lease, plus the second of the image n2 may be sending
        # at the destination when n1's lease runs out.
        self.assertLessEqual(took, 2 + 2.0, "\n".join(
            l for l in n2.log().splitlines() if "orward" in l or "ERR" in l))
        # Every image arrived with the bytes stored, at most one twice; n2
        # read them from the bucket (no file of them on its store).
        import pydicom
        home = {img[2]: dataset_bytes(self.bucket_bytes(img)) for img in images}
        got = {}
        for name in os.listdir(out):
            ds = pydicom.dcmread(os.path.join(out, name))
            got.setdefault(str(ds.SOPInstanceUID), []).append(ds.PixelData)
        self.assertEqual(sorted(home), sorted(got))
        self.assertLessEqual(sum(len(v) for v in got.values()), len(images) + 1)
        for img in images:
            sent_pixels = pydicom.dcmread(self.files_by_uid[img[2]]).PixelData
            for pixels in got[img[2]]:
                self.assertEqual(sent_pixels, pixels, img[2])
            self.assertFalse(os.path.exists(vt.uid_path(n2.basedir, *img)))

    def test_0c_a_delete_racing_stores_leaves_index_and_bucket_agreeing(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".12"
        first = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(4)]
        p = n1.storescu(self.files(n1, first))
        self.assertEqual(0, p.returncode, p.stderr)
        later = [(study, study + ".2", "%s.2.%d" % (study, n)) for n in range(12)]
        batches = [self.files(n1, later[k:k + 3]) for k in range(0, 12, 3)]

        done = threading.Event()

        def stores():
            try:
                return [self.send(n1, files) for files in batches]
            finally:
                done.set()

        def deletes():
            """Deletes of the study through n2 one after the other while
            the stores go on (the last stores may come after the last
            delete): their final responses."""
            finals = []
            while True:
                pm, responses = vt.movescu(n2.port, ["StudyInstanceUID=" + study],
                                           "VeltoDeleteAET", called=n2.aetitle)
                finals += [r for r in responses if r["final"]] or [{"text": pm.stdout}]
                if done.is_set():
                    return finals
        sent, finals = self.in_parallel([stores, deletes])
        for final in finals:
            self.assertEqual(0, final.get("failed"), final)
        deleted = sum(final["completed"] for final in finals)
        # Every row has its object and every object its row, whichever
        # images the delete took and whichever came after it.
        rows = {r[0] for r in self.rows("SELECT sop_uid FROM velto_instances WHERE "
                                        "sop_uid LIKE '%s.%%'" % study)}
        every = {img[2]: img for img in first + later}
        keyed = {self.key(every[u]) for u in rows}
        self.assertEqual(keyed, self.study_objects(study))
        # Each image acknowledged after the delete began is either stored
        # (row and object) or was taken by the delete; the first four went.
        self.assertFalse(rows & {img[2] for img in first}, rows)
        acked = sum(self.statuses(p).count("Success") for p in sent)
        print("%d deletes took %d, %d of %d later images acknowledged, %d kept"
              % (len(finals), deleted, acked, len(later), len(rows)))
        # Each image acknowledged is either kept or deleted once.
        self.assertEqual(len(first) + acked, len(rows) + deleted)


    def test_1_one_instance_through_both_nodes_is_one_image(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".1"
        for round_ in range(3):
            img = (study, study + ".1", "%s.1.%d" % (study, round_))
            a = self.files(n1, [img])
            b = self.files(n2, [img])
            pa, pb = self.in_parallel([lambda: self.send(n1, a), lambda: self.send(n2, b)])
            outs = [self.statuses(pa), self.statuses(pb)]
            # One sender is told it is stored; the other that it was stored
            # already (0xB006, a warning), never a failure.
            self.assertEqual(sorted(outs), [["Success"], ["Warning: ElementsDiscarded"]],
                             pa.stdout + pa.stderr + pb.stdout + pb.stderr)
            dup = [o != ["Success"] for o in outs]
            self.assertEqual(1, self.count("SELECT count(*) FROM velto_instances WHERE "
                                           "sop_uid = '%s'" % img[2]))
            self.assertIn(self.key(img), self.objects())
            # The object is the winner's bytes, which its node keeps as its
            # cache; the loser's file is taken back.
            winner = n2 if dup[0] else n1
            loser = n1 if dup[0] else n2
            code, body = self.ceph.curl("GET", "/%s/%s" % (BUCKET, self.key(img)))
            self.assertEqual(200, code)
            self.assertEqual(self.stored_bytes(winner, img), body)
            self.assertFalse(os.path.exists(vt.uid_path(loser.basedir, *img)))

    def test_2_a_study_split_across_the_nodes_is_one_study(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".2"
        images = [(study, study + ".%d" % (n % 2), "%s.%d.%d" % (study, n % 2, n))
                  for n in range(6)]
        p = n1.storescu(self.files(n1, images[:3]))
        self.assertEqual(0, p.returncode, p.stderr)
        p = n2.storescu(self.files(n2, images[3:]))
        self.assertEqual(0, p.returncode, p.stderr)
        # A seventh through STOW-RS on n2's storeweb: the same write, the
        # same upload before the answer; sent again, a duplicate.
        stowed = (study, study + ".1", study + ".1.7")
        images.append(stowed)
        [path] = self.files(n2, [stowed])
        self.assertEqual(200, self.stow(path)[0])
        self.assertIn(self.key(stowed), self.objects())
        status, answer = self.stow(path)
        # 202 with Warning Reason 0xB006 (45062): stored already, kept.
        self.assertEqual(202, status, answer)
        self.assertIn(b'"00081196":{"vr":"US","Value":[45062]}', answer)
        for srv in (n1, n2):
            p, found = srv.findscu(["StudyInstanceUID=" + study, "SOPInstanceUID"],
                                   level="IMAGE")
            self.assertEqual(sorted(i[2] for i in images),
                             sorted(str(ds.SOPInstanceUID) for ds in found), p.stdout)
            p, found = srv.findscu(["StudyInstanceUID=" + study,
                                    "NumberOfStudyRelatedInstances"], level="STUDY")
            self.assertEqual(1, len(found), p.stdout)
            self.assertEqual(7, int(found[0].NumberOfStudyRelatedInstances))
        self.assertEqual(1, self.count("SELECT count(*) FROM velto_studies WHERE "
                                       "study_uid = '%s'" % study))
        self.assertEqual(2, self.count(
            "SELECT count(*) FROM velto_series se JOIN velto_studies st ON st.id = se.study"
            " WHERE st.study_uid = '%s'" % study))
        # Every acknowledged image is in the bucket.
        objects = self.objects()
        for img in images:
            self.assertIn(self.key(img), objects)

    def test_3_four_senders_of_one_patient_make_one_patient(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        jobs = []
        for k in range(4):
            study = ROOT + ".3.%d" % k
            imgs = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(3)]
            srv = (n1, n2)[k % 2]
            files = self.files(srv, imgs, patient_id="PC3")
            jobs.append(lambda srv=srv, files=files: srv.storescu(files))
        for p in self.in_parallel(jobs):
            self.assertEqual(0, p.returncode, p.stderr)
        self.assertEqual(1, self.count(
            "SELECT count(*) FROM velto_patients WHERE patient_key = 'PC3'"))
        self.assertEqual(4, self.count(
            "SELECT count(*) FROM velto_studies st JOIN velto_patients pa ON pa.id = st.patient"
            " WHERE pa.patient_key = 'PC3'"))
        p, found = n1.findscu(["PatientID=PC3", "NumberOfPatientRelatedInstances"],
                              level="PATIENT", model="-P")
        self.assertEqual(1, len(found), p.stdout)
        self.assertEqual(12, int(found[0].NumberOfPatientRelatedInstances))

    def test_4_a_deleted_study_is_served_by_no_node(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".4"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(3)]
        p = n1.storescu(self.files(n1, images))
        self.assertEqual(0, p.returncode, p.stderr)
        # n2 reads one through the web first: its cache holds a copy too.
        status, _, body = self.web.curl("/dicom-web/studies/%s/series/%s/instances/%s" % images[0],
                                        ["-H", "Accept: multipart/related; type=application/dicom"])
        self.assertEqual(200, status)
        self.assertIn(dataset_bytes(self.stored_bytes(n1, images[0])), body)
        p, responses = vt.movescu(n2.port, ["StudyInstanceUID=" + study], "VeltoDeleteAET",
                                  called=n2.aetitle)
        final = [r for r in responses if r["final"]]
        self.assertEqual(3, final[0]["completed"], p.stdout)
        self.assertEqual(0, self.count("SELECT count(*) FROM velto_instances WHERE sop_uid LIKE"
                                       " '%s.%%'" % study))
        self.assertEqual(set(), {k for k in self.objects() if k.startswith(
            os.path.dirname(os.path.dirname(self.key(images[0]))))})
        # n1 serves none of them (C-GET selects nothing, C-FIND finds
        # nothing) and drops its copies at its next association.
        completed, failed, got, text = self.cget(n1, study)
        self.assertEqual({}, got, text)
        p, found = n1.findscu(["StudyInstanceUID=" + study], level="STUDY")
        self.assertEqual([], found)
        for img in images:
            self.assertFalse(os.path.exists(vt.uid_path(n1.basedir, *img)), img)
            self.assertFalse(os.path.exists(vt.uid_path(n2.basedir, *img)), img)

    def test_5_a_gateway_down_refuses_the_image_without_a_trace(self):
        n1 = self.nodes["n1"]
        study = ROOT + ".5"
        img = (study, study + ".1", study + ".1.1")
        self.ceph.stop_gateway()
        try:
            p = self.send(n1, self.files(n1, [img]))
        finally:
            self.ceph.start_gateway()
        statuses = self.statuses(p)
        # Not known to be stored: 0xA700.
        self.assertEqual(["Refused: OutOfResources"], statuses, p.stdout + p.stderr)
        self.assertEqual(0, self.count("SELECT count(*) FROM velto_instances WHERE "
                                       "sop_uid = '%s'" % img[2]))
        self.assertEqual(0, self.count("SELECT count(*) FROM velto_studies WHERE "
                                       "study_uid = '%s'" % study))
        self.assertFalse(os.path.exists(vt.uid_path(n1.basedir, *img)))
        self.assertNotIn(self.key(img), self.objects())
        # Stored again with the gateway back: acknowledged and in the bucket.
        p = n1.storescu(self.files(n1, [img]))
        self.assertEqual(0, p.returncode, p.stderr)
        self.assertIn(self.key(img), self.objects())

    def test_6_a_node_that_must_not_join_refuses_to_start(self):
        def refused(srv):
            srv.start(wait=False)
            self._servers.append(srv)
            self.assertEqual(1, srv.proc.wait(timeout=30))
            return srv.proc.stderr.read().decode()
        # Without the object tier: the bucket is every image's home.
        srv = self.node("n3")
        os.unlink(os.path.join(srv.etc, "ObjectTier"))
        self.assertIn("needs the object tier", refused(srv))
        # A store of another archive is never joined to this one.
        srv = self.node("n4")
        with open(os.path.join(srv.basedir, "ARCHIVEID"), "w") as f:
            f.write("0123456789abcdef0123456789abcdef\n")
        self.assertIn("belongs to archive 0123456789abcdef0123456789abcdef", refused(srv))
        # Every node that joined took the one id the database keeps.
        (ident,), = self.rows("SELECT archive FROM velto_cluster_archive")
        for name in ("n1", "n2"):
            with open(os.path.join(self.nodes[name].basedir, "ARCHIVEID")) as f:
                self.assertEqual(ident, f.read().strip())

    def test_7_ack_local_uploads_from_a_queue(self):
        n2 = self.nodes["n2"]
        n5 = self.node("n5")
        with open(os.path.join(n5.etc, "Cluster"), "a") as f:
            f.write("ack local\n")
        n5.start()
        self._servers.append(n5)
        study = ROOT + ".7"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(3)]
        self.ceph.stop_gateway()
        try:
            # Acknowledged on n5's disk and row alone, the bucket down.
            p = self.send(n5, self.files(n5, images))
            self.assertEqual(["Success"] * 3, self.statuses(p), p.stdout + p.stderr)
            self.assertEqual(3, self.count("SELECT count(*) FROM velto_cluster_uploads WHERE"
                                           " node = 'n5' AND study = '%s'" % study))
            located = ("SELECT count(*) FROM velto_instances WHERE sop_uid LIKE '" + study +
                       ".%%' AND location = '%s'")
            self.assertEqual(3, self.count(located % "local"))
            status, _, body = self.web.curl("/metrics")
            self.assertEqual(200, status)
            self.assertIn(b"\nvelto_cluster_upload_backlog 3\n", body)
            status, _, body = self.web.curl("/status")
            self.assertIn(b'id="upload-backlog"', body)
            # Until uploaded only n5 serves them.
            completed, failed, got, text = self.cget(n2, study)
            self.assertEqual((0, 3), (completed, failed), text)
            stored = {img[2]: dataset_bytes(self.stored_bytes(n5, img)) for img in images}
            completed, failed, got, text = self.cget(n5, study)
            self.assertEqual(stored, got, text)
        finally:
            self.ceph.start_gateway()
        # The uploader's next pass (poll 200ms) puts them into the bucket.
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_cluster_uploads") == 0, 30,
                    what="the upload queue to drain")
        objects = self.objects()
        for img in images:
            self.assertIn(self.key(img), objects)
        self.assertEqual(3, self.count(located % "tier"))
        status, _, body = self.web.curl("/metrics")
        self.assertIn(b"\nvelto_cluster_upload_backlog 0\n", body)
        completed, failed, got, text = self.cget(n2, study)
        self.assertEqual(stored, got, text)

        # A delete recorded after n5 last looked at the records (another
        # node deleted the image while n5's worker, forked before, stored it
        # again): when n5 drops its copies of deleted images, the copy of
        # the later store, not uploaded yet, is its only one and stays.
        again = (ROOT + ".71", ROOT + ".71.1", ROOT + ".71.1.1")
        self.ceph.stop_gateway()
        try:
            p = self.send(n5, self.files(n5, [again], tag="again"))
            self.assertEqual(["Success"], self.statuses(p), p.stdout + p.stderr)
            self.pg.psql("INSERT INTO velto_cluster_deletes (archive, study, series, instance,"
                         " node) SELECT archive, study, series, instance, 'n2'"
                         " FROM velto_cluster_uploads WHERE instance = '%s'" % again[2])
            before = self.stored_bytes(n5, again)
            self.assertEqual(0, n5.echoscu().returncode)  # the listener's look before a fork
            self.assertEqual(before, self.stored_bytes(n5, again))
        finally:
            self.ceph.start_gateway()
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_cluster_uploads") == 0, 30,
                    what="the upload queue to drain")
        completed, failed, got, text = self.cget(n2, again[0])
        self.assertEqual({again[2]: dataset_bytes(before)}, got, text)

        # One UID from four associations to n5 at once, each with its own
        # pixels, the bucket down: one is stored and the others told it
        # exists, and the stored one's file (its only copy) stays on n5's
        # disk whatever order they reached it in (a loser's file never
        # replaces it), is uploaded, and is what every node serves.
        raced = [(ROOT + ".72", ROOT + ".72.1", "%s.72.1.%d" % (ROOT, k)) for k in range(3)]
        self.ceph.stop_gateway()
        try:
            for img in raced:
                sent = [self.files(n5, [img], tag=str(j)) for j in range(4)]
                outs = [self.statuses(p) for p in self.in_parallel(
                    [(lambda f: lambda: self.send(n5, f))(f) for f in sent])]
                self.assertEqual(1, outs.count(["Success"]), outs)
                kept = dataset_bytes(self.stored_bytes(n5, img))
                self.assertIn(kept, [dataset_bytes(open(f[0], "rb").read()) for f in sent])
        finally:
            self.ceph.start_gateway()
        vt.wait_for(lambda: self.count("SELECT count(*) FROM velto_cluster_uploads") == 0, 30,
                    what="the upload queue to drain")
        completed, failed, got, text = self.cget(n2, raced[0][0])
        self.assertEqual({img[2]: dataset_bytes(self.stored_bytes(n5, img)) for img in raced},
                         got, text)

    def test_8_a_delete_the_gateway_cut_short_is_finished_at_the_next_start(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".8"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(2)]
        p = n2.storescu(self.files(n2, images))
        self.assertEqual(0, p.returncode, p.stderr)
        self.ceph.stop_gateway()
        try:
            p, responses = vt.movescu(n2.port, ["StudyInstanceUID=" + study], "VeltoDeleteAET",
                                      called=n2.aetitle)
        finally:
            self.ceph.start_gateway()
        final = [r for r in responses if r["final"]]
        self.assertEqual(2, final[0]["failed"], p.stdout)
        # The rows went first: no node serves the images any more, while
        # their objects and the delete intents stay (the files too, until
        # a refresh of the node drops them as deleted).
        self.assertEqual(0, self.count("SELECT count(*) FROM velto_instances WHERE sop_uid LIKE"
                                       " '%s.%%'" % study))
        for img in images:
            self.assertIn(self.key(img), self.objects())
        intents = [f for f in os.listdir(os.path.join(n2.basedir, "uid"))
                   if f.startswith("DELETING.")]
        self.assertEqual(2, len(intents))
        # The next start of the node finishes them: objects and files gone.
        n2.stop()
        n2.start(answered=True)
        objects = self.objects()
        for img in images:
            self.assertNotIn(self.key(img), objects)
            self.assertFalse(os.path.exists(vt.uid_path(n2.basedir, *img)))
        self.assertEqual([], [f for f in os.listdir(os.path.join(n2.basedir, "uid"))
                              if f.startswith("DELETING.")])
        self.assertIn("Finished the delete of", n2.log())

    def test_9_a_killed_node_s_images_come_through_the_other(self):
        n1, n2 = self.nodes["n1"], self.nodes["n2"]
        study = ROOT + ".9"
        images = [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(5)]
        p = n1.storescu(self.files(n1, images))
        self.assertEqual(0, p.returncode, p.stderr)
        stored = {img[2]: dataset_bytes(self.stored_bytes(n1, img)) for img in images}
        os.killpg(n1.proc.pid, signal.SIGKILL)
        n1.proc.wait()
        completed, failed, got, text = self.cget(n2, study)
        self.assertEqual((5, 0), (completed, failed), text)
        self.assertEqual(stored, got)
        for img in images:
            self.assertFalse(os.path.exists(vt.uid_path(n2.basedir, *img)))
        # Fetched and verified into the cache (named by their SHA-256).
        cached = set(os.listdir(os.path.join(n2.basedir, "tiercache")))
        for img in images:
            with open(vt.uid_path(n1.basedir, *img), "rb") as f:
                self.assertIn(hashlib.sha256(f.read()).hexdigest() + ".dcm", cached)


if __name__ == "__main__":
    vt.main()

"""Forwarding: rules in the ForwardRules file send stored images on to peers
of the AE title map through the persistent queue below the store
(BASE/forward/), with dcmtk's storescp and Orthanc as destinations. A
destination that is down at first gets every image exactly once when it
comes up; a server killed with the queue half done delivers everything
after its restart (at least once: at most the one image whose response
had come but was not yet recorded goes again); a study-quiet rule with a
transfer syntax is read back from Orthanc's REST API; a job failed past
its limit shows on the web page and JSON and is retried from there; the
web's send endpoint delivers a study with its progress; the access policy
refuses sending to a user without move rights."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

import pydicom

import veltotest as vt
from webharness import Web, STOREWEB

ORTHANC = "/usr/sbin/Orthanc"
CT = "1.2.840.10008.5.1.4.1.1.2"
MR = "1.2.840.10008.5.1.4.1.1.4"
STUDY = "1.2.826.0.1.3680043.9.7001"


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


def make_images(directory, n, study=STUDY, modality="CT", sop_class=CT, series_no=1):
    """n images of one series, each with pixels of its own."""
    paths = []
    for i in range(n):
        pixels = bytes((i * 7 + k) & 0xFF for k in range(32 * 32))
        paths.append(vt.make_dataset(
            os.path.join(directory, "%s_%s%d_%d.dcm" % (study, modality, series_no, i)), study,
            "%s.%d" % (study, series_no), "%s.%d.%d" % (study, series_no, i + 1),
            modality=modality, sop_class=sop_class, pixels=32,
            extra={"PixelData": pixels, "InstanceNumber": str(i + 1),
                   "Manufacturer": "ACME " + modality}))
    return paths


def by_instance(paths):
    """{SOP Instance UID: [data sets]} of DICOM files."""
    out = {}
    for p in paths:
        ds = pydicom.dcmread(p)
        out.setdefault(str(ds.SOPInstanceUID), []).append(ds)
    return out


def forwarded(log):
    """The images each "Forwarded N of M" line of a log says were delivered."""
    return [int(line.split("Forwarded ", 1)[1].split()[0])
            for line in log.splitlines() if "Forwarded " in line]


def jobs_left(server):
    d = os.path.join(server.basedir, "forward")
    return sorted(n for n in os.listdir(d) if n.endswith(".job")) if os.path.isdir(d) else []


class ForwardTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")

    def setUp(self):
        super().setUp()
        self.stop_later = []
        self.src = tempfile.mkdtemp(prefix="fwd-src-")
        self.monitor = None

    def tearDown(self):
        for p in self.stop_later:
            p.stop()
        if self.monitor:
            self.monitor.close()
        shutil.rmtree(self.src, ignore_errors=True)
        super().tearDown()

    def archive(self, rules, peers, args=("-Q", "1"), policy=None, users=None):
        """A storeserver (retries after 1 s, doubling) with rules and peers
        (AE title map lines), listened to on its monitor channel."""
        s = self.server(start=False, args=list(args),
                        aetmap="".join(peers) + "CT1\tCT1\t127.0.0.1:1\tS\n")
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write(rules)
        if policy is not None:
            with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
                f.write(policy)
        if users is not None:
            with open(os.path.join(s.etc, "WebUsers"), "w") as f:
                f.write(users)
        self.monitor = vt.Monitor(s.monitor_port)
        s.start()
        return s

    def scp(self, port=None, extra=()):
        """storescp as DEST that keeps every copy it receives (+uf)."""
        d = vt.StoreSCP(tempfile.mkdtemp(prefix="fwd-dst-"), "DEST", ["+uf"] + list(extra)) \
            if port is None else None
        if d is None:
            # On a port given in advance (the map names it before it runs).
            d = vt.StoreSCP.__new__(vt.StoreSCP)
            d.aetitle, d.port = "DEST", port
            d.dir = tempfile.mkdtemp(prefix="fwd-dst-")
            d.logpath = d.dir + ".log"
            d.logf = open(d.logpath, "w")
            d.proc = subprocess.Popen(["storescp", "-aet", "DEST", "-od", d.dir, "+uf"]
                                      + list(extra) + [str(port)],
                                      stdout=d.logf, stderr=subprocess.STDOUT)
            vt.wait_for(lambda: vt.port_open(port), 10, what="storescp to listen")
        self.stop_later.append(d)
        return d

    def assert_same_images(self, sent_paths, received_paths, extra=0):
        """Every sent image arrived, at most extra copies more than one each
        in all, each copy element for element the same, pixel data included."""
        sent, got = by_instance(sent_paths), by_instance(received_paths)
        self.assertEqual(sorted(got), sorted(sent))
        self.assertLessEqual(sum(len(v) for v in got.values()), len(sent) + extra)
        for uid, copies in got.items():
            for ds in copies:
                self.assertEqual(ds.PixelData, sent[uid][0].PixelData)
                self.assertEqual(ds, sent[uid][0])

    def test_destination_down_at_first_gets_every_image_once(self):
        port = vt.free_port()
        # Manufacturer is read for the rule alone (not for the index).
        s = self.archive("# CT from CT1 goes to DEST\n"
                         "DEST when=store calling=CT1 Modality=CT Manufacturer=ACME*\n",
                         ["DEST\tDEST\t127.0.0.1:%d\tFMS\n" % port])
        ct = make_images(self.src, 8)
        mr = make_images(self.src, 2, modality="MR", sop_class=MR, series_no=2)
        self.assertEqual(s.storescu(ct + mr, calling="CT1").returncode, 0)
        other = make_images(self.src, 1, study=STUDY + ".2")
        self.assertEqual(s.storescu(other, calling="CT2").returncode, 0)
        # One job per CT image from CT1, on disk when storescu ended.
        self.assertEqual(len(jobs_left(s)), 8)
        self.monitor.wait_text(lambda t: t.startswith("STORAGE FORWARD RETRY "))
        self.assertIn("cannot connect", s.log())
        dest = self.scp(port)
        vt.wait_for(lambda: not jobs_left(s), 20, what="the queue to empty")
        self.assert_same_images(ct, dest.files())
        self.assertEqual(sum(forwarded(s.log())), 8)
        # Each job's end is said after it left the queue.
        vt.wait_for(lambda: len([t for t in self.monitor.texts()
                                 if t.startswith("STORAGE FORWARD DONE ")]) == 8, 10,
                    what="eight DONE announcements")
        self.monitor.wait_text(lambda t: t == "STORAGE FORWARD QUEUE 0 0")

    def test_killed_with_queue_half_done_loses_nothing(self):
        port = vt.free_port()
        s = self.archive("DEST when=store\n", ["DEST\tDEST\t127.0.0.1:%d\tFMS\n" % port])
        images = make_images(self.src, 6)
        # The destination takes a second over each image: the server is
        # killed while the queue is half sent.
        dest = self.scp(port, ["--sleep-during", "1"])
        self.assertEqual(s.storescu(images, calling="CT1").returncode, 0)
        qdir = os.path.join(s.basedir, "forward")

        def recorded():
            return [n for n in os.listdir(qdir) if n.endswith(".done")]
        vt.wait_for(lambda: len(recorded()) >= 2, 20, what="two images forwarded")
        os.kill(s.proc.pid, signal.SIGKILL)
        s.proc.wait(10)
        # The forwarder dies with the listener.
        vt.wait_for(lambda: not vt.port_open(s.port), 10, what="the server's processes to end")
        # The jobs are still queued, with the images already delivered
        # recorded beside them.
        self.assertEqual(len(jobs_left(s)), 6)
        delivered = recorded()
        self.assertTrue(2 <= len(delivered) < 6, delivered)
        before = len(s.log())
        s.start()
        vt.wait_for(lambda: not jobs_left(s), 30, what="the queue to empty after the restart")
        # Only the images not recorded as delivered go again.
        self.assertEqual(sum(forwarded(s.log()[before:])), 6 - len(delivered))
        # At least once: every image, and at most one image twice (the one
        # in flight when the server was killed).
        self.assert_same_images(images, dest.files(), extra=1)

    def test_quiet_study_to_orthanc_in_explicit_little_endian(self):
        if not os.path.exists(ORTHANC):
            raise unittest.SkipTest("Orthanc not installed")
        dicom_port, http_port = vt.free_port(), vt.free_port()
        s = self.archive("ORTHANC when=quiet:1 syntax=explicit Modality=MR\n",
                         ["DEST\tORTHANC\t127.0.0.1:%d\tFMS\n" % dicom_port])
        orthanc_dir = tempfile.mkdtemp(prefix="orthanc-", dir=s.tmp)
        config = os.path.join(orthanc_dir, "orthanc.json")
        with open(config, "w") as f:
            json.dump({"Name": "velto-test", "StorageDirectory": orthanc_dir + "/db",
                       "IndexDirectory": orthanc_dir + "/db", "DicomAet": "ORTHANC",
                       "DicomPort": dicom_port, "HttpPort": http_port, "HttpServerEnabled": True,
                       "RemoteAccessAllowed": False, "AuthenticationEnabled": False,
                       "DicomCheckCalledAet": False, "DicomAlwaysAllowStore": True,
                       "Plugins": [], "ConcurrentJobs": 1}, f)
        logf = open(os.path.join(orthanc_dir, "log"), "w")
        orthanc = subprocess.Popen([ORTHANC, config], stdout=logf, stderr=subprocess.STDOUT)
        self.stop_later.append(type("P", (), {"stop": lambda _: (orthanc.kill(), orthanc.wait(),
                                                                   logf.close())})())
        vt.wait_for(lambda: vt.port_open(dicom_port) and vt.port_open(http_port), 20,
                    what="Orthanc to listen")
        # JPEG-LS lossless images, stored as sent (compressed).
        plain = make_images(self.src, 3, modality="MR", sop_class=MR)
        compressed = []
        for p in plain:
            out = p + ".jls"
            vt.run(["dcmcjpls", p, out], check=True)
            compressed.append(out)
        self.assertEqual(s.storescu(compressed, calling="MRI", extra=["-R", "-xt"])
                         .returncode, 0)
        self.assertEqual(s.storescu(make_images(self.src, 1, study=STUDY + ".9"), calling="CT1")
                         .returncode, 0)
        stored = pydicom.dcmread(vt.uid_path(s.basedir, STUDY, STUDY + ".1", STUDY + ".1.1"),
                                 stop_before_pixels=True)
        self.assertEqual(stored.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.4.80")
        # One job for the study, refreshed by each image, sent once quiet.
        self.assertEqual(len([j for j in jobs_left(s) if j.startswith("q-")]), 1)
        vt.wait_for(lambda: not jobs_left(s), 20, what="the quiet job to be sent")

        def rest(path):
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (http_port, path)) as r:
                return r.read()
        ids = json.loads(rest("/instances"))
        self.assertEqual(len(ids), 3)
        sent = by_instance(plain)
        for i in ids:
            self.assertEqual(rest("/instances/%s/metadata/TransferSyntax" % i).decode(),
                             "1.2.840.10008.1.2.1")
            path = os.path.join(orthanc_dir, "got.dcm")
            with open(path, "wb") as f:
                f.write(rest("/instances/%s/file" % i))
            ds = pydicom.dcmread(path)
            self.assertEqual(ds.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.1")
            self.assertEqual(ds.PixelData, sent[str(ds.SOPInstanceUID)][0].PixelData)

    def test_failed_job_shown_and_retried_from_the_web(self):
        port = vt.free_port()
        s = self.archive("max-attempts 2\nDEST when=store\n",
                         ["DEST\tDEST\t127.0.0.1:%d\tFMS\n" % port])
        w = Web(s)
        self.stop_later.append(w)
        image = make_images(self.src, 1)
        self.assertEqual(s.storescu(image, calling="CT1").returncode, 0)
        failed = self.monitor.wait_text(lambda t: t.startswith("STORAGE FORWARD FAILED "))
        job_id = failed.split()[3]
        self.assertEqual(failed.split()[4:], ["DEST", "2"])
        self.assertIn("Forwarding job %s to DEST failed after 2 attempt(s)" % job_id, s.log())
        listing = w.json("/forward/jobs")
        self.assertEqual((listing["pending"], listing["failed"]), (0, 1))
        job = listing["jobs"][0]
        self.assertEqual((job["id"], job["state"], job["attempts"], job["sent"], job["total"]),
                         (job_id, "failed", 2, 0, 1))
        status, _, page = w.curl("/forward")
        self.assertEqual(status, 200)
        self.assertIn(b'<tr class="failed" data-id="%s">' % job_id.encode(), page)
        self.assertIn(b'action="/forward/jobs/%s/retry"' % job_id.encode(), page)
        metrics = w.curl("/metrics")[2].decode()
        self.assertIn("\nvelto_forward_failed_jobs 1\n", metrics)
        self.assertIn("\nvelto_forward_queue_length 0\n", metrics)
        dest = self.scp(port)
        # A form from another origin, or without the page's token, is
        # refused; the page's own goes through.
        token = re.search(rb'name="csrf" value="([0-9a-f]+)"', page).group(1).decode()
        form = ["-X", "POST", "-H", "Content-Type: application/x-www-form-urlencoded"]
        self.assertEqual(w.curl("/forward/jobs/%s/retry" % job_id,
                                form + ["--data", "csrf=" + token, "-H",
                                        "Origin: http://evil.example"])[0], 403)
        self.assertEqual(w.curl("/forward/jobs/%s/retry" % job_id, form + ["--data", ""])[0], 403)
        self.assertEqual(w.json("/forward/jobs/%s" % job_id)["state"], "failed")
        form += ["--data", "csrf=" + token]
        status, head, _ = w.curl("/forward/jobs/%s/retry" % job_id, form)
        self.assertEqual(status, 303)
        vt.wait_for(lambda: not jobs_left(s), 15, what="the retried job to be sent")
        self.assert_same_images(image, dest.files())
        self.assertEqual(w.curl("/forward/jobs/%s" % job_id)[0], 404)
        self.assertEqual(w.curl("/forward/jobs/nosuchjob/retry", form)[0], 404)

    def metric(self, w, name, labels):
        """The value of one sample of /metrics (None when absent)."""
        text = w.curl("/metrics")[2].decode()
        m = re.search(r"^%s\{%s\} (\S+)$" % (re.escape(name), re.escape(labels)), text, re.M)
        return float(m.group(1)) if m else None

    def test_outage_paused_retried_all_delivered_with_history_and_metrics(self):
        port = vt.free_port()
        s = self.archive("max-attempts 2\nDEST when=store\n",
                         ["DEST\tDEST\t127.0.0.1:%d\tFMS\n" % port])
        w = Web(s)
        self.stop_later.append(w)
        images = make_images(self.src, 6)
        self.assertEqual(s.storescu(images, calling="CT1").returncode, 0)
        # The destination is down: every image job fails twice, then for good.
        vt.wait_for(lambda: w.json("/forward/jobs")["failed"] == 6, 20, what="six failed jobs")
        # Each image failed at each of its two tries, counted per destination.
        vt.wait_for(lambda: self.metric(w, "velto_forward_failures_total",
                                        'destination="DEST"') == 12, 10,
                    what="twelve failures counted")
        status, _, page = w.curl("/forward")
        self.assertEqual(status, 200)
        # One line for the study's six jobs, one retry for the destination.
        self.assertEqual(page.count(b'<tr class="group failed" data-destination="DEST" '
                                    b'data-study="%s">' % STUDY.encode()), 1)
        self.assertEqual(page.count(b'action="/forward/retry-all"'), 2)  # destination, study
        self.assertIn(b'<link rel="stylesheet" href="/style.css?v=', page)
        self.assertIn(b'<a href="/worklist">', page)
        token = re.search(rb'name="csrf" value="([0-9a-f]+)"', page).group(1).decode()
        form = ["-X", "POST", "-H", "Content-Type: application/x-www-form-urlencoded"]

        def post(action, data):
            return w.curl(action, form + ["--data", "csrf=%s&%s" % (token, data)])[0]
        # Paused, then retried: the jobs wait, due, but nothing goes.
        self.assertEqual(post("/forward/pause", "destination=DEST"), 303)
        dest = self.scp(port)
        self.monitor.poll()
        seen = len(self.monitor.messages)
        self.assertEqual(post("/forward/retry-all", "destination=DEST"), 303)
        listing = w.json("/forward/jobs")
        self.assertEqual((listing["pending"], listing["failed"]), (6, 0))
        self.assertEqual(w.json("/forward/destinations")["destinations"],
                         [{"destination": "DEST", "paused": True, "pending": 6, "waiting": 0,
                           "failed": 0, "done": 0, "next": listing["jobs"][0]["next"]}])
        self.assertIn(b'<td class="state">paused</td>', w.curl("/forward")[2])
        # A look of the forwarder comes and goes while paused (a retry
        # wakes it): its queue announcement says six pending.
        vt.wait_for(lambda: "STORAGE FORWARD QUEUE 6 0" in self.monitor.texts()[seen:], 10,
                    what="the forwarder's look at the retried queue")
        self.assertEqual(dest.files(), [])
        self.assertEqual(len(jobs_left(s)), 6)
        # Resumed: delivered at once (the resume wakes the forwarder).
        self.assertEqual(post("/forward/resume", "destination=DEST"), 303)
        vt.wait_for(lambda: not jobs_left(s), 20, what="the queue to empty")
        self.assert_same_images(images, dest.files())
        # The finished jobs stay in the history: one line for the study.
        page = w.curl("/forward")[2].decode()
        rows = re.findall(r'<tr class="finished">(.*?)</tr>', page)
        self.assertEqual(len(rows), 1, page)
        cells = re.findall(r"<td>(.*?)</td>", rows[0])
        self.assertEqual(cells[1:], ["DEST", STUDY, "rule 2", "6", "6"])
        vt.wait_for(lambda: self.metric(w, "velto_images_forwarded_total",
                                        'destination="DEST"') == 6, 10, what="six counted")
        # Durations: storeserver's C-STOREs and this storeweb's routes.
        text = w.curl("/metrics")[2].decode()
        count = re.search(r'^velto_dimse_request_duration_seconds_count\{operation="C-STORE"\} '
                          r'(\d+)$', text, re.M)
        self.assertIsNotNone(count, text)
        self.assertGreaterEqual(int(count.group(1)), 6)
        self.assertIn('velto_dimse_request_duration_seconds_bucket{operation="C-STORE",le="+Inf"} '
                      + count.group(1) + "\n", text)
        self.assertRegex(text, r'velto_http_request_duration_seconds_count\{route="forward"\} \d+')
        self.assertRegex(text, r'velto_http_request_duration_seconds_sum\{route="forward"\} [0-9.]+')
        self.assertIn("# TYPE velto_http_request_duration_seconds histogram", text)

    def test_quiet_job_next_try_and_send_dialog_without_the_archive(self):
        dest = vt.StoreSCP(self.src, "DEST", ["+uf"])
        self.stop_later.append(dest)
        s = self.archive("DEST when=quiet:600\n",
                         [dest.map_line(), "Self\tARCHIVE\t127.0.0.1:%d\tFMS\n" % vt.free_port()])
        w = Web(s, args=["-a", "ARCHIVE"])
        self.stop_later.append(w)
        image = make_images(self.src, 1)
        before = int(time.time())
        self.assertEqual(s.storescu(image, calling="CT1").returncode, 0)
        job = w.json("/forward/jobs")["jobs"][0]
        # Its next try is at the end of the study's quiet time, not the
        # time of its image.
        self.assertGreaterEqual(job["due"], before + 600)
        self.assertLessEqual(job["due"], int(time.time()) + 600)
        due = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(job["due"]))
        self.assertIn(("<td>%s</td>" % due).encode(), w.curl("/forward")[2])
        # The archive's own title is offered by neither send dialog, and
        # refused when asked.
        for path in ("/forward", "/"):
            page = w.curl(path)[2]
            self.assertIn(b'<option value="DEST"', page)
            self.assertNotIn(b'<option value="ARCHIVE"', page)
        status, _, answer = w.curl("/forward/send", [
            "-X", "POST", "-H", "Content-Type: application/json", "--data",
            json.dumps({"study": STUDY, "destination": "ARCHIVE"})])
        self.assertEqual(status, 400)
        self.assertIn(b"this archive itself", answer)
        # A refused form keeps what was typed.
        page = w.curl("/forward")[2]
        token = re.search(rb'name="csrf" value="([0-9a-f]+)"', page).group(1).decode()
        status, _, page = w.curl("/forward/send", [
            "-X", "POST", "-H", "Content-Type: application/x-www-form-urlencoded", "--data",
            "csrf=%s&study=1.2.3.404&series=1.2.3.404.1&destination=DEST" % token])
        self.assertEqual(status, 404)
        self.assertIn(b'name="study" required value="1.2.3.404"', page)
        self.assertIn(b'name="series" value="1.2.3.404.1"', page)
        self.assertIn(b'<option value="DEST" selected>', page)

    def test_send_from_the_web_with_progress_and_policy(self):
        dest = vt.StoreSCP(self.src, "DEST", ["+uf"])
        self.stop_later.append(dest)
        s = self.archive("", [dest.map_line()],
                         policy="CT1 any all\nmover any find move\nviewer any find get\n",
                         users="mover:%s\nviewer:%s\n" % (crypt_hash("m"), crypt_hash("v")))
        w = Web(s)
        self.stop_later.append(w)
        images = make_images(self.src, 5)
        self.assertEqual(s.storescu(images, calling="CT1").returncode, 0)
        self.assertEqual(jobs_left(s), [])  # no rules: nothing queued on store

        def post(user, fields):
            return w.curl("/forward/send", ["-u", user, "-X", "POST", "-H",
                                            "Content-Type: application/json", "--data",
                                            json.dumps(fields)])
        body = {"study": STUDY, "destination": "DEST"}
        self.assertEqual(post("viewer:v", body)[0], 403)
        self.assertEqual(post("mover:m", dict(body, destination="NOPE"))[0], 400)
        self.assertEqual(post("mover:m", dict(body, study="1.2.3.4.404"))[0], 404)
        self.assertEqual(jobs_left(s), [])
        status, _, answer = post("mover:m", body)
        self.assertEqual(status, 202)
        job_id = json.loads(answer)["id"]
        self.assertEqual(json.loads(answer)["total"], 5)

        def done():
            j = json.loads(w.curl("/forward/jobs/%s" % job_id, ["-u", "viewer:v"])[2])
            return j if j["state"] == "done" else None
        job = vt.wait_for(done, 15, what="the sent job to be done")
        self.assertEqual((job["sent"], job["total"], job["failed"], job["origin"]),
                         (5, 5, 0, "web mover"))
        self.assert_same_images(images, dest.files())
        # The job stays listed as done; listing needs find rights only.
        self.assertEqual(w.json("/forward/jobs", ["-u", "viewer:v"])["jobs"][0]["state"], "done")

    def test_web_upload_forwarded_by_the_rules(self):
        dest = vt.StoreSCP(self.src, "DEST", ["+uf"])
        self.stop_later.append(dest)
        s = self.archive("DEST Modality=OT\nDEST calling=* Modality=CT\n", [dest.map_line()])
        w = Web(s)
        self.stop_later.append(w)
        images = make_images(self.src, 2, modality="OT") + make_images(self.src, 1, series_no=2)
        body = b"".join(b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n"
                        + open(p, "rb").read() + b"\r\n" for p in images) + b"--XyZ--\r\n"
        path = os.path.join(self.src, "stow-body")
        with open(path, "wb") as f:
            f.write(body)
        status, _, _ = w.curl("/dicom-web/studies", [
            "-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
            "boundary=XyZ", "--data-binary", "@" + path])
        self.assertEqual(status, 200)
        # The OT images: an upload has no calling title, so the CT rule that
        # names one (even "*") takes nothing.
        vt.wait_for(lambda: len(dest.files()) >= 2 and not jobs_left(s), 15,
                    what="the uploaded images to be forwarded")
        self.assert_same_images(images[:2], dest.files())

    def test_rule_to_the_archives_own_title_stops_the_start(self):
        s = self.server(start=False, aetitle="ARCH_SELF")
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("# a copy to ourselves\nDEST when=store\nARCH_SELF when=store\n")
        p = vt.run(s.command() + ["-o"], env=s.env, timeout=20)
        self.assertEqual(p.returncode, 1)
        self.assertIn("storeserver: forwarding rules: line 3: the destination ARCH_SELF is this "
                      "archive's own AE title (its images would come back to it)", p.stderr)

    def test_two_archives_forwarding_to_each_other_send_each_image_once(self):
        # Both replace repeated images (-o): an image sent back would be
        # stored again, make a new job, and go round for ever.
        a = self.server(start=False, aetitle="ARCH_A", args=["-o", "-Q", "1"])
        b = self.server(start=False, aetitle="ARCH_B", args=["-o", "-Q", "1"])
        for s, other, rules in ((a, b, "ARCH_B when=store\n"), (b, a, "ARCH_A when=store\n")):
            with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
                f.write(rules)
            with open(os.path.join(s.etc, "AETitleMap"), "w") as f:
                f.write("%s\t%s\t127.0.0.1:%d\tFMS\n" % (other.aetitle, other.aetitle, other.port))
        a.start()
        b.start()
        images = make_images(self.src, 2)
        self.assertEqual(a.storescu(images, calling="CT1").returncode, 0)
        vt.wait_for(lambda: len(vt.files_below(os.path.join(b.basedir, "uid"), ".dcm")) == 2
                    and not jobs_left(a) and not jobs_left(b), 15,
                    what="the images to reach ARCH_B")
        # A loop would go on at once: give it the time of many rounds.
        time.sleep(3)
        self.assertEqual(sum(forwarded(a.log())), 2)
        self.assertEqual(sum(forwarded(b.log())), 0, b.log())
        self.assertEqual((jobs_left(a), jobs_left(b)), ([], []))
        # Nothing came back to ARCH_A.
        self.assertNotIn("ARCH_B->ARCH_A", a.log())

    def test_archive_under_another_title_stores_its_own_images_once_more_at_most(self):
        # ALIAS is this archive (its own port): the title check cannot see
        # it, and with -o each image sent there is stored again and selected
        # again. The delivery record recognises the unchanged image.
        s = self.server(start=False, aetitle="ARCH_A", args=["-o", "-Q", "1"])
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("ALIAS when=store\n")
        with open(os.path.join(s.etc, "AETitleMap"), "w") as f:
            f.write("ALIAS\tALIAS\t127.0.0.1:%d\tFMS\n" % s.port)
        s.start()
        images = make_images(self.src, 2)
        self.assertEqual(s.storescu(images, calling="CT1").returncode, 0)
        vt.wait_for(lambda: "delivered there unchanged before" in s.log() and not jobs_left(s),
                    15, what="the images to come back once")
        time.sleep(3)  # a loop would go on at once
        # Sent once each; the copies that came back were recognised.
        self.assertEqual(sum(forwarded(s.log())), 2, s.log())
        self.assertEqual(jobs_left(s), [])
        # One association came back (its two stores), then no more.
        self.assertEqual(s.log().count("C-Store ARCH_A->ALIAS (2x)"), 1, s.log())
        self.assertNotIn("C-Store ARCH_A->ALIAS (1x)", s.log())

    def test_thousand_failing_jobs_log_a_line_per_destination_and_round(self):
        port = vt.free_port()  # nothing listens there
        s = self.archive("max-attempts 2\nDEST when=store\n",
                         ["DEST\tDEST\t127.0.0.1:%d\tFMS\n" % port])
        image = make_images(self.src, 1)
        self.assertEqual(s.storescu(image, calling="CT1").returncode, 0)
        qdir = os.path.join(s.basedir, "forward")
        with open(os.path.join(qdir, jobs_left(s)[0])) as f:
            job = f.read()
        # 999 more jobs of the same image, each placed whole by a rename,
        # while the server is stopped: its forwarder finds all at its start.
        s.stop()
        before = len(s.log())
        for i in range(999):
            tmp = os.path.join(qdir, "x%d.tmp" % i)
            with open(tmp, "w") as f:
                f.write(job)
            os.rename(tmp, os.path.join(qdir, "9999999999-000000000-1-%d.job" % i))
        self.monitor.poll()
        self.monitor.messages.clear()
        s.start()
        self.monitor.wait_text(lambda t: t == "STORAGE FORWARD QUEUE 0 1000", timeout=30)
        lines = [l for l in s.log()[before:].splitlines() if "Forwarding" in l and "DEST" in l]
        # Two attempt rounds of 1,000 jobs each: it was 2,000 lines. A
        # round's jobs may fall due in two passes (a second boundary).
        self.assertLessEqual(len(lines), 12, lines)
        self.assertTrue(any("1000 job(s) failed after 2 attempt(s)" in l for l in lines)
                        or sum(int(re.search(r"(\d+) job\(s\) failed", l).group(1))
                               for l in lines if "job(s) failed" in l) == 1000, lines)
        texts = [t for t in self.monitor.texts() if t.startswith("STORAGE FORWARD ")]
        self.assertLessEqual(len(texts), 100, len(texts))
        summed = sum(int(t.split()[3][1:]) if t.split()[3].startswith("+") else 1
                     for t in texts if t.startswith("STORAGE FORWARD FAILED "))
        self.assertEqual(summed, 1000)

    def test_bad_rules_or_retry_wait_stop_the_start(self):
        s = self.server(start=False)
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("# rules\nPACS when=store\nPACS when=sometime Modality=CT\n")
        p = vt.run(s.command(), env=s.env, timeout=20)
        self.assertEqual(p.returncode, 1)
        self.assertIn("storeserver: forwarding rules: line 3: when must be", p.stderr)
        w = Web(s, start=False)
        p = vt.run(w.command(), env=w.env, timeout=20)
        self.assertEqual(p.returncode, 1)
        self.assertIn("Forwarding rules: line 3: when must be", w.log())
        os.unlink(os.path.join(s.etc, "ForwardRules"))
        for bad in ("0", "3601", "1x"):
            p = vt.run(s.command() + ["-Q", bad], env=s.env, timeout=20)
            self.assertEqual(p.returncode, 1, bad)
            self.assertIn("invalid -Q seconds: %s" % bad, p.stderr)


if __name__ == "__main__":
    vt.main()

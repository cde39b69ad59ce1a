"""The study page as staff use it, in headless Chromium (browser_actions.js
over the DevTools protocol): in a store of 10,000 studies one study is
found by a name prefix (timed in the page from the click to the rows laid
out), sent to a storescp peer, another deleted after the confirmation, and
a folder of 20 files uploaded; each is checked over DICOM afterwards (C-FIND,
C-GET, element for element against the originals, pixel data included).
Screenshots are kept in the test's directory.

Beside it, without a browser: /metrics after known actions, the status
page, the refusal of forged requests, and the access policy on delete."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import veltotest as vt
from webharness import NODE_MODULES, STOREWEB, Web

ACTIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser_actions.js")
POPULATE = os.path.join(vt.BUILD, "bench", "bench_populate")
# bench_populate's study n: UID, name.
BENCH_UID = "1.2.826.0.1.3680043.10.543.%d"
SEND_STUDY = "1.2.826.0.1.3680043.9.77.1"
UPLOAD_STUDY = "1.2.826.0.1.3680043.9.77.2"


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


def make_images(folder, study, name, n, first_byte=0):
    """n small images of one series with distinct pixel data; their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i in range(n):
        series = study + ".1"
        p = os.path.join(folder, "img%02d.dcm" % i)
        pixels = bytes((first_byte + i * 7 + j) % 256 for j in range(32 * 32))
        vt.make_dataset(p, study, series, "%s.%d" % (series, i + 1), patient_name=name,
                        patient_id=name.split("^")[0], pixels=32,
                        extra={"InstanceNumber": str(i + 1), "PixelData": pixels})
        paths.append(p)
    return paths


def dataset_elements(ds):
    """The data set's elements (not the file meta) as (tag, VR, value) for comparison."""
    return [(e.tag, e.VR, e.value) for e in ds if e.tag.group != 0x0002]


def csrf_of(page):
    m = re.search(rb'data-csrf="([0-9a-f]{64})"', page)
    return m.group(1).decode() if m else None


class BrowserTest(unittest.TestCase):
    """One store of 10,000 studies; the browser's run is shared by the cases."""

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        if not os.path.exists(POPULATE):
            raise AssertionError("bench_populate not built (VELTO_BUILD_BENCH)")
        cls.tmp = tempfile.mkdtemp(prefix="velto-browser-")
        basedir = os.path.join(cls.tmp, "store")
        os.makedirs(basedir)
        subprocess.run([POPULATE, basedir, "10000"], check=True, timeout=120)
        cls.dest = vt.StoreSCP(cls.tmp)
        # Beside the destination: a peer that is no move destination (no M)
        # and one only learnt from the channel; the page offers neither.
        aetmap = (cls.dest.map_line() + "NOMOVE\tNOMOVE_AE\t127.0.0.1:1\tFS\n"
                  "HEARD\tHEARD_AE\t127.0.0.1:2\tFMSD\tlearnt\n")
        cls.server = vt.Server(basedir=basedir, root=cls.tmp, aetmap=aetmap)
        cls.web = Web(cls.server)
        cls.sent = make_images(os.path.join(cls.tmp, "send"), SEND_STUDY, "SENDME^NOW", 2)
        p = cls.server.storescu(cls.sent)
        assert p.returncode == 0, p.stderr
        cls.folder = os.path.join(cls.tmp, "folder")
        cls.uploaded = make_images(cls.folder, UPLOAD_STUDY, "UPLOAD^FOLDER", 20, first_byte=3)
        cls.shots = os.path.join(cls.tmp, "screenshots")
        os.makedirs(cls.shots)
        scenario = {"base": cls.web.url, "shots": cls.shots, "search": "sendme^n",
                    "send": {"study": SEND_STUDY, "destination": cls.dest.aetitle},
                    "deleteName": "pat^n007777", "folder": cls.folder,
                    "uploadName": "upload^fol"}
        path = os.path.join(cls.tmp, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        p = subprocess.run(["node", "--no-warnings", ACTIONS, path], capture_output=True,
                           timeout=120, env=dict(os.environ, NODE_PATH=NODE_MODULES))
        assert p.returncode == 0, p.stderr.decode()
        cls.result = json.loads(p.stdout)

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.server.stop()
        cls.dest.stop()
        # The screenshots stay for a person to look at; the rest goes.
        for name in os.listdir(cls.tmp):
            path = os.path.join(cls.tmp, name)
            if name == "screenshots":
                print("screenshots in", path)
            elif os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)

    def test_search_finds_one_study_among_10000_quickly(self):
        r = self.result
        self.assertEqual(r["initialTotal"], 10001 + 0)  # the bench studies and the one stored
        self.assertEqual(r["search"]["total"], 1)
        self.assertEqual([row["uid"] for row in r["search"]["rows"]], [SEND_STUDY])
        self.assertEqual(r["search"]["rows"][0]["name"], "SENDME NOW")
        self.assertEqual(r["search"]["rows"][0]["images"], "2")
        self.assertLess(r["search"]["ms"], 200, "click to rows laid out, measured in the page")
        print("search answered and laid out in %.1f ms" % r["search"]["ms"])
        for shot in r["shots"]:
            with open(shot, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", shot)

    def test_delete_after_confirmation_gone_over_dicom(self):
        r = self.result
        victim = BENCH_UID % 7777
        self.assertEqual([row["uid"] for row in r["deleteSearch"]["rows"]], [victim])
        self.assertIn(victim, r["confirmText"])
        self.assertEqual(r["delete"]["status"], 200, r["delete"]["text"])
        self.assertIn("1 images deleted, 0 failed", r["delete"]["text"])
        self.assertFalse(r["delete"]["rowLeft"])
        p, found = self.server.findscu(["StudyInstanceUID=" + victim])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(found, [])
        # Its neighbours stay.
        p, found = self.server.findscu(["StudyInstanceUID=" + BENCH_UID % 7776])
        self.assertEqual(len(found), 1)
        # The delete went through the store's intent files and left none.
        self.assertEqual([n for n in os.listdir(os.path.join(self.server.basedir, "uid"))
                          if n.startswith("DELETING")], [])

    def test_folder_of_20_files_uploaded_and_retrieved_whole(self):
        import pydicom
        r = self.result
        self.assertEqual(r["chosen"], 20)
        self.assertEqual((r["upload"]["stored"], r["upload"]["failed"]), (20, 0), r["upload"])
        self.assertEqual(sorted(f["file"] for f in r["upload"]["files"]),
                         sorted("folder/" + os.path.basename(p) for p in self.uploaded))
        p, found = self.server.findscu(["StudyInstanceUID=" + UPLOAD_STUDY, "SOPInstanceUID="],
                                       level="IMAGE")
        self.assertEqual(len(found), 20, p.stderr)
        d = tempfile.mkdtemp(dir=self.tmp)
        p = vt.run(["getscu", "-aet", "GETTER", "-aec", self.server.aetitle, "-od", d,
                    "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + UPLOAD_STUDY,
                    "127.0.0.1", str(self.server.port)])
        got = {}
        for name in os.listdir(d):
            ds = pydicom.dcmread(os.path.join(d, name))
            got[str(ds.SOPInstanceUID)] = ds
        self.assertEqual(len(got), 20, p.stdout + p.stderr)
        for path in self.uploaded:
            original = pydicom.dcmread(path)
            back = got[str(original.SOPInstanceUID)]
            self.assertEqual(dataset_elements(back), dataset_elements(original), path)
            self.assertEqual(back.PixelData, original.PixelData)

    def test_upload_refreshes_the_list_and_a_reupload_is_already_stored(self):
        r = self.result
        # The search for the uploaded name found nothing; the upload
        # brought its study into the list without a new search.
        self.assertEqual(r["beforeUpload"]["total"], 0)
        self.assertEqual((r["upload"]["total"], r["upload"]["rows"]), (1, [UPLOAD_STUDY]))
        self.assertEqual((r["upload"]["text"], r["upload"]["className"]), ("20 stored", "ok"))
        # The same files again: already stored, not failed (it was "0
        # stored, 20 failed" in red).
        again = r["reupload"]
        self.assertEqual((again["stored"], again["already"], again["failed"]), (0, 20, 0), again)
        self.assertEqual((again["text"], again["className"]), ("0 stored, 20 already stored", "ok"))
        self.assertEqual({f["state"] for f in again["files"]}, {"already"})
        self.assertTrue(all(f["text"].endswith(": already stored") for f in again["files"]))
        self.assertEqual(again["rows"], [UPLOAD_STUDY])

    def test_send_dialog_offers_the_move_destinations(self):
        r = self.result
        self.assertEqual(r["destinations"], [self.dest.aetitle])

    def test_send_to_a_peer_with_progress(self):
        import pydicom
        r = self.result
        self.assertEqual((r["send"]["state"], r["send"]["status"]), ("done", 202), r["send"])
        self.assertIn(self.dest.aetitle, r["destinations"])
        self.assertEqual(r["send"]["failed"], False, r["send"])
        self.assertIn("2 of 2 sent, 0 failed", r["send"]["text"])
        vt.wait_for(lambda: len(self.dest.files()) >= 2, 15, what="storescp to have the study")
        got = {str(pydicom.dcmread(f).SOPInstanceUID): pydicom.dcmread(f)
               for f in self.dest.files()}
        for path in self.sent:
            original = pydicom.dcmread(path)
            self.assertEqual(dataset_elements(got[str(original.SOPInstanceUID)]),
                             dataset_elements(original))


class PageServicesTest(vt.ServerTestCase):
    """/metrics, /status, the ZIP download, forged requests and the policy on delete."""

    def setUp(self):
        super().setUp()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        super().tearDown()

    def web(self, server, *a, **kw):
        w = Web(server, *a, **kw)
        self.webs.append(w)
        return w

    def token(self, w, extra=()):
        status, _, page = w.curl("/", list(extra))
        self.assertEqual(status, 200)
        return csrf_of(page)

    def metrics(self, w):
        status, head, body = w.curl("/metrics")
        self.assertEqual(status, 200)
        self.assertIn("text/plain; version=0.0.4", head)
        values = {}
        for line in body.decode().splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                # Counts are integers; a histogram's _sum is seconds.
                values[name] = float(value) if "." in value else int(value)
        return body.decode(), values

    def test_metrics_status_and_zip_after_known_actions(self):
        import zipfile
        s = self.server()
        w = self.web(s)
        files = make_images(os.path.join(s.tmp, "dimse"), "1.2.826.0.1.3680043.9.78.1",
                            "DIMSE^THREE", 3)
        self.assertEqual(s.storescu(files).returncode, 0)
        web_files = make_images(os.path.join(s.tmp, "web"), "1.2.826.0.1.3680043.9.78.2",
                                "WEB^TWO", 2, first_byte=9)
        body = b""
        for p in web_files:
            with open(p, "rb") as f:
                body += b"--B\r\nContent-Type: application/dicom\r\n\r\n" + f.read() + b"\r\n"
        body += b"--B--\r\n"
        upload = os.path.join(s.tmp, "upload.bin")
        with open(upload, "wb") as f:
            f.write(body)
        status, _, _ = w.curl("/dicom-web/studies", [
            "-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
            "boundary=B", "--data-binary", "@" + upload])
        self.assertEqual(status, 200)
        p, found = s.findscu(["PatientName=DIMSE*"])
        self.assertEqual(len(found), 1)
        self.assertEqual(w.curl("/dicom-web/studies?PatientName=WEB*")[0], 200)
        # The ZIP of the DICOM study: its three files, byte for byte.
        zpath = os.path.join(s.tmp, "study.zip")
        status, head, _ = w.curl("/download?study=1.2.826.0.1.3680043.9.78.1", out=zpath)
        self.assertEqual(status, 200)
        self.assertIn("application/zip", head)
        with zipfile.ZipFile(zpath) as z:
            self.assertIsNone(z.testzip())
            names = sorted(z.namelist())
            self.assertEqual(len(names), 3)
            for path in files:
                import pydicom
                uid = str(pydicom.dcmread(path).SOPInstanceUID)
                name = [n for n in names if n.endswith("/" + uid + ".dcm")][0]
                self.assertTrue(name.startswith("1.2.826.0.1.3680043.9.78.1/"))
                stored = vt.uid_path(s.basedir, "1.2.826.0.1.3680043.9.78.1",
                                     "1.2.826.0.1.3680043.9.78.1.1", uid)
                with open(stored, "rb") as f:
                    self.assertEqual(z.read(name), f.read())
        self.assertEqual(w.curl("/download?study=1.2.3.999")[0], 404)
        self.assertEqual(w.curl("/download?study=../etc")[0], 400)
        # One forged delete.
        self.assertEqual(w.curl("/delete", ["--data", "study=1.2.826.0.1.3680043.9.78.1"])[0],
                         403)
        # storeserver's announcements arrive over the channel.
        vt.wait_for(lambda: self.metrics(w)[1].get(
            'velto_images_stored_total{source="storeserver"}') == 3 and self.metrics(w)[1].get(
            'velto_queries_total{source="storeserver"}') == 1, 10, what="announcements counted")
        text, m = self.metrics(w)
        self.assertEqual(m['velto_images_stored_total{source="web"}'], 2)
        self.assertEqual(m["velto_images_sent_total"], 3)
        self.assertEqual(m['velto_queries_total{source="web"}'], 1)
        self.assertEqual(m['velto_failures_total{kind="csrf"}'], 1)
        self.assertEqual(m['velto_failures_total{kind="store"}'], 0)
        self.assertEqual((m["velto_studies"], m["velto_series"], m["velto_images"]), (2, 2, 5))
        self.assertEqual(m["velto_forward_queue_length"], 0)
        self.assertEqual(m["velto_forward_failed_jobs"], 0)
        self.assertGreater(m["velto_store_free_bytes"], 0)
        self.assertGreaterEqual(m["velto_store_size_bytes"], m["velto_store_free_bytes"])
        for family in ("velto_images_stored_total", "velto_failures_total", "velto_studies",
                       "velto_store_free_bytes"):
            self.assertIn("# HELP %s " % family, text)
            self.assertIn("# TYPE %s " % family, text)
        # The status page: space, counts, and the channel's announcements,
        # escaped (a hostile datagram shows as text).
        mon = vt.Monitor(s.monitor_port)
        mon.send(b"evil 1 <script>alert(1)</script>\n")
        vt.wait_for(lambda: b"alert(1)" in w.curl("/status")[2], 10, what="datagram on /status")
        mon.close()
        status, _, page = w.curl("/status")
        self.assertEqual(status, 200)
        self.assertIn(b'<td id="studies">2</td>', page)
        self.assertIn(b'<td id="images">5</td>', page)
        self.assertRegex(page, rb'<td id="free-bytes">[1-9][0-9]*</td>')
        self.assertIn(b"STORAGE STOREUID 1.2.826.0.1.3680043.9.78.1", page)
        self.assertNotIn(b"<script>alert", page)
        self.assertIn(b"&lt;script&gt;alert(1)&lt;/script&gt;", page)
        self.assertIn(b'<td id="forward-queue">0</td>', page)

    def test_announcements_count_only_from_this_hosts_addresses(self):
        # A "STORAGE FULL" from another address (127.0.0.2 is on the
        # loopback's network but no address of this host) is no event of
        # the archive, which runs on this host: shown on /status, not counted.
        s = self.server()
        w = self.web(s)
        mon = vt.Monitor(s.monitor_port)
        self.addCleanup(mon.close)
        full = b"pacs 1 STORAGE FULL 10 bytes (0.0%) free\n"
        mon.send(full, source="127.0.0.2")
        mon.send(b"pacs 1 STORAGE STOREUID 1.2 1.2.3 1.2.3.4\n", source="127.0.0.2")
        mon.send(b"pacs 1 forged-seen\n", source="127.0.0.2")
        vt.wait_for(lambda: b"forged-seen" in w.curl("/status")[2], 10, what="forged datagrams")
        _, m = self.metrics(w)
        self.assertEqual(m['velto_failures_total{kind="storage_full"}'], 0)
        self.assertEqual(m['velto_images_stored_total{source="storeserver"}'], 0)
        self.assertGreaterEqual(m["velto_monitor_datagrams_total"], 3)
        mon.send(full, source="127.0.0.1")
        vt.wait_for(lambda: self.metrics(w)[1]['velto_failures_total{kind="storage_full"}'] == 1,
                    10, what="the archive's own announcement counted")

    def test_forged_requests_refused_and_the_page_token_works(self):
        s = self.server()
        files = make_images(os.path.join(s.tmp, "a"), "1.2.826.0.1.3680043.9.79.1", "CSRF^A", 1)
        files += make_images(os.path.join(s.tmp, "b"), "1.2.826.0.1.3680043.9.79.2", "CSRF^B", 1)
        self.assertEqual(s.storescu(files).returncode, 0)
        w = self.web(s)
        mon = vt.Monitor(s.monitor_port)
        token = self.token(w)
        self.assertIsNotNone(token)
        form = "study=1.2.826.0.1.3680043.9.79.1"
        # Another site's form, even with a token it could not have read.
        for extra in (["-H", "Origin: http://evil.example", "--data", form + "&csrf=" + token],
                      ["-H", "Origin: null", "--data", form + "&csrf=" + token],
                      ["--data", form],
                      ["--data", form + "&csrf=" + "0" * 64],
                      ["-H", "Content-Type: text/plain", "--data", form]):
            self.assertEqual(w.curl("/delete", extra)[0], 403, extra)
        p, found = s.findscu(["StudyInstanceUID=1.2.826.0.1.3680043.9.79.1"])
        self.assertEqual(len(found), 1)
        # The page's own request: the token as a field or as the header.
        status, _, body = w.curl("/delete", ["-H", "Origin: " + w.url, "--data",
                                             form + "&csrf=" + token])
        self.assertEqual(status, 200, body)
        self.assertEqual(json.loads(body), {"deleted": 1, "failed": 0})
        status, _, body = w.curl("/delete", ["-H", "X-CSRF-Token: " + token, "--data",
                                             "study=1.2.826.0.1.3680043.9.79.2&series="
                                             "1.2.826.0.1.3680043.9.79.2.1"])
        self.assertEqual(status, 200, body)
        p, found = s.findscu(["PatientName=CSRF*"])
        self.assertEqual(found, [])
        # Announced as the server announces a delete.
        mon.wait_text(lambda t: t == "WEB DELETED 1 1.2.826.0.1.3680043.9.79.1")
        texts = mon.texts()
        self.assertIn("STORAGE MOVE 1", texts)
        self.assertIn("STORAGE MOVE 0", texts)
        mon.close()
        # STOW-RS from another origin is refused; without Origin (a DICOMweb
        # client) it needs no token.
        with open(files[0], "rb") as f:
            body = b"--B\r\nContent-Type: application/dicom\r\n\r\n" + f.read() + b"\r\n--B--\r\n"
        upload = os.path.join(s.tmp, "upload.bin")
        with open(upload, "wb") as f:
            f.write(body)
        stow = ["-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
                "boundary=B", "--data-binary", "@" + upload]
        self.assertEqual(w.curl("/dicom-web/studies", ["-H", "Origin: http://evil.example"]
                                + stow)[0], 403)
        self.assertEqual(w.curl("/dicom-web/studies", stow)[0], 200)
        self.assertIn("as a forged request: sent from another origin", w.log())

    def test_policy_refuses_delete_without_the_right(self):
        s = self.server()
        self.assertEqual(s.storescu(make_images(os.path.join(s.tmp, "a"),
                                                "1.2.826.0.1.3680043.9.80.1", "POL^A", 2))
                         .returncode, 0)
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("reader:%s\nadmin:%s\n" % (crypt_hash("r"), crypt_hash("a")))
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("* any echo store find\nreader 127.0.0.1 find get\n"
                    "admin 127.0.0.1 find get delete\n")
        w = self.web(s)
        form = "study=1.2.826.0.1.3680043.9.80.1"
        token = self.token(w, ["-u", "reader:r"])
        admin_token = self.token(w, ["-u", "admin:a"])
        # Tokens are bound to their user.
        self.assertNotEqual(token, admin_token)
        self.assertEqual(w.curl("/delete", ["-u", "reader:r", "--data",
                                            form + "&csrf=" + token])[0], 403)
        self.assertEqual(w.curl("/delete", ["-u", "admin:a", "--data",
                                            form + "&csrf=" + token])[0], 403)
        p, found = s.findscu(["StudyInstanceUID=1.2.826.0.1.3680043.9.80.1"], )
        self.assertEqual(len(found), 1, p.stderr)
        status, _, body = w.curl("/delete", ["-u", "admin:a", "--data",
                                             form + "&csrf=" + admin_token])
        self.assertEqual(status, 200, body)
        self.assertEqual(json.loads(body)["deleted"], 2)
        _, m = self.metrics_as(w, "admin:a")
        self.assertEqual(m['velto_failures_total{kind="forbidden"}'], 1)
        self.assertEqual(m['velto_failures_total{kind="csrf"}'], 1)
        self.assertEqual(m["velto_images_deleted_total"], 2)

    def metrics_as(self, w, user):
        status, _, body = w.curl("/metrics", ["-u", user])
        self.assertEqual(status, 200)
        values = {}
        for line in body.decode().splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                # Counts are integers; a histogram's _sum is seconds.
                values[name] = float(value) if "." in value else int(value)
        return body.decode(), values


if __name__ == "__main__":
    vt.main()

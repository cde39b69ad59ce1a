"""De-identification from the web: the streamed ZIP (memory bounded by one
image, read from /proc), the copy into the archive, and a send to a
storescp de-identified; each output scanned with pydicom as the core test
scans storeindex's (tests/core/test_deidentify.py), the rights of each
way checked, and the three ways giving the same pseudonym and UIDs."""

import io
import json
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

import pydicom

import veltotest as vt
from webharness import Web, STOREWEB

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "core"))
import test_deidentify as core  # noqa: E402


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


POLICY = "CT1 any all\nviewer any find get\ncopier any find get store\nmover any find move\n"
USERS = "viewer:%s\ncopier:%s\nmover:%s\n"


class WebDeidentifyTest(vt.ServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")

    def setUp(self):
        super().setUp()
        self.stop_later = []
        self.srv = self.server(start=False)
        self.tmp = tempfile.mkdtemp(prefix="deid-", dir=self.srv.tmp)
        self.dest = vt.StoreSCP(self.tmp, "DEST", ["+uf"])
        self.stop_later.append(self.dest)
        with open(os.path.join(self.srv.etc, "AETitleMap"), "w") as f:
            f.write(self.dest.map_line())
        with open(os.path.join(self.srv.etc, "AccessPolicy"), "w") as f:
            f.write(POLICY)
        with open(os.path.join(self.srv.etc, "WebUsers"), "w") as f:
            f.write(USERS % (crypt_hash("v"), crypt_hash("c"), crypt_hash("m")))
        self.srv.start()
        self.web = Web(self.srv)
        self.stop_later.append(self.web)
        # One study of three images as the core test makes them (every
        # attribute of the table filled), the third an ultrasound without
        # Burned In Annotation; larger pixels for the memory bound.
        self.pixels = os.urandom(2 * 1024 * 1024)
        files = []
        for i, (sop, ref, mod, burned) in enumerate([
                ("1.2.3.1.1.1", None, "CT", "NO"), ("1.2.3.1.1.2", "1.2.3.1.1.1", "CT", "NO"),
                ("1.2.3.1.1.3", None, "US", None)]):
            path = os.path.join(self.tmp, "in%d.dcm" % i)
            core.filled_dataset(path, "1.2.3.1", "1.2.3.1.1", sop, "PIDA", "DOE^ALICE",
                                "1.2.3.99", ref=ref, modality=mod, burned=burned,
                                pixels=self.pixels)
            files.append(path)
        p = self.srv.storescu(files, calling="CT1")
        self.assertEqual(p.returncode, 0, p.stderr)

    def tearDown(self):
        for x in self.stop_later:
            x.stop()
        super().tearDown()

    def zip(self, user, query):
        out = os.path.join(self.tmp, "out.zip")
        status, _, _ = self.web.curl("/deidentify/zip?" + query, ["-u", user], out=out)
        return status, out

    def test_zip_copy_and_send(self):
        # The page with its forms.
        status, _, page = self.web.curl("/deidentify?study=1.2.3.1", ["-u", "viewer:v"])
        self.assertEqual(status, 200)
        self.assertIn(b'action="/deidentify/copy"', page)
        # Refused requests: no UID, a path for a UID, an unknown option,
        # a study not stored.
        self.assertEqual(self.web.curl("/deidentify?study=..", ["-u", "viewer:v"])[0], 400)
        self.assertEqual(self.zip("viewer:v", "study=../x")[0], 400)
        self.assertEqual(self.zip("viewer:v", "study=1.2.3.1&options=everything")[0], 400)
        self.assertEqual(self.zip("viewer:v", "study=1.2.3.404")[0], 404)
        # The ZIP: a download's right; memory bounded by an image or two.
        self.assertEqual(self.zip("mover:m", "study=1.2.3.1")[0], 403)
        self.web.reset_peak()
        before = self.web.memory()[1]
        status, out = self.zip("viewer:v", "study=1.2.3.1")
        self.assertEqual(status, 200)
        grown = self.web.memory()[1] - before
        vt.assert_memory_below(self, grown, 24 * 1024 * 1024, "the ZIP's peak growth")
        with zipfile.ZipFile(out) as z:
            names = [n for n in z.namelist() if n.endswith(".dcm")]
            self.assertEqual(len(names), 3)
            zipped = {}
            for n in names:
                ds = pydicom.dcmread(io.BytesIO(z.read(n)))
                ds.raw = z.read(n)
                core.check_clean(self, ds)
                self.assertEqual(ds.PixelData, self.pixels)
                zipped[str(ds.SOPInstanceUID)] = ds
            report = z.read("DEIDENTIFIED.txt").decode()
        self.assertIn("burned-in: 1", report)
        self.assertIn("pixel data may hold identifying text", report)
        pseudonym = {str(ds.PatientID) for ds in zipped.values()}
        self.assertEqual(len(pseudonym), 1)

        # The copy: a download's and a store's rights.
        def copy(user):
            return self.web.curl("/deidentify/copy", [
                "-u", user, "-X", "POST", "-H", "Content-Type: application/json", "--data",
                json.dumps({"study": "1.2.3.1", "options": "refuse-burned-in"})])
        self.assertEqual(copy("viewer:v")[0], 403)
        status, _, body = copy("copier:c")
        self.assertEqual(status, 200, body)
        answer = json.loads(body)
        self.assertEqual((answer["images"], answer["refused"], answer["failed"]), (2, 1, 0))
        self.assertEqual({answer["patientId"]}, pseudonym)
        _, found = self.srv.findscu(["StudyInstanceUID=%s" % answer["study"], "PatientID",
                                     "NumberOfStudyRelatedInstances"], calling="CT1")
        self.assertEqual([str(ds.PatientID) for ds in found], list(pseudonym))
        self.assertEqual(str(found[0].NumberOfStudyRelatedInstances), "2")

        # The send: a move's right; the receiver gets the same de-identified
        # images (the same UIDs as the ZIP's: one key).
        def send(user, deid="yes"):
            return self.web.curl("/forward/send", [
                "-u", user, "-X", "POST", "-H", "Content-Type: application/json", "--data",
                json.dumps({"study": "1.2.3.1", "destination": "DEST", "deidentify": deid})])
        self.assertEqual(send("viewer:v")[0], 403)
        self.assertEqual(send("mover:m", "everything")[0], 400)
        status, _, body = send("mover:m")
        self.assertEqual(status, 202, body)
        job = json.loads(body)["id"]

        def done():
            j = json.loads(self.web.curl("/forward/jobs/%s" % job, ["-u", "viewer:v"])[2])
            return j if j["state"] == "done" else None
        j = vt.wait_for(done, 20, what="the de-identified send to be done")
        self.assertEqual((j["sent"], j["deidentify"]), (3, "yes"))
        received = {}
        for path in self.dest.files():
            ds = pydicom.dcmread(path)
            with open(path, "rb") as f:
                ds.raw = f.read()
            core.check_clean(self, ds)
            self.assertEqual(ds.PixelData, self.pixels)
            received[str(ds.SOPInstanceUID)] = ds
        self.assertEqual(sorted(received), sorted(zipped))
        # No identified image left in the queue's directory.
        left = [n for n in os.listdir(os.path.join(self.srv.basedir, "forward"))
                if n.startswith("deid-")]
        self.assertEqual(left, [])

    def test_zip_memory_bounded_by_an_image(self):
        # 24 images of 2 MiB (48 MiB): the daemon's peak grows by what one
        # image and its encoding take (measured: 7.5 MB), not by the study.
        files = []
        for i in range(24):
            files.append(vt.make_dataset(
                os.path.join(self.tmp, "big%d.dcm" % i), "1.2.3.8", "1.2.3.8.1",
                "1.2.3.8.1.%d" % (i + 1), pixels=1024,
                extra={"Columns": 2048, "PixelData": bytes([i]) * (2 * 1024 * 1024)}))
        self.assertEqual(self.srv.storescu(files, calling="CT1").returncode, 0)
        self.web.reset_peak()
        before = self.web.memory()[1]
        status, out = self.zip("viewer:v", "study=1.2.3.8")
        self.assertEqual(status, 200)
        grown = self.web.memory()[1] - before
        self.assertGreater(os.path.getsize(out), 48 * 1024 * 1024)
        # (Half the study: the allocator's per-thread arenas vary by a few MB.)
        vt.assert_memory_below(self, grown, 24 * 1024 * 1024, "the ZIP's peak growth")
        with zipfile.ZipFile(out) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(len(z.namelist()), 25)

    def test_forward_rule_sends_deidentified(self):
        # A rule with deidentify=dates: what storescp receives from it is
        # the de-identified image, dates shifted. Another rule sends the
        # same image as stored to the same peer: both go (neither is taken
        # for a repeat of the other by the delivery records).
        self.srv.stop()
        with open(os.path.join(self.srv.etc, "ForwardRules"), "w") as f:
            f.write("DEST when=store Modality=CT\nDEST when=store deidentify=dates Modality=CT\n")
        self.srv.start()
        path = os.path.join(self.tmp, "rule.dcm")
        core.filled_dataset(path, "1.2.3.7", "1.2.3.7.1", "1.2.3.7.1.1", "PIDA", "DOE^ALICE",
                            "1.2.3.99", modality="CT", burned="NO", pixels=self.pixels)
        self.assertEqual(self.srv.storescu([path], calling="CT1").returncode, 0)
        vt.wait_for(lambda: len(self.dest.files()) == 2, 20, what="the forwarded images")
        received = {}
        for p in self.dest.files():
            ds = pydicom.dcmread(p)
            with open(p, "rb") as f:
                ds.raw = f.read()
            received[str(ds.SOPInstanceUID)] = ds
        self.assertIn("1.2.3.7.1.1", received)
        ds = [d for uid, d in received.items() if uid != "1.2.3.7.1.1"][0]
        core.check_clean(self, ds, shifted=True)
        self.assertEqual(ds.LongitudinalTemporalInformationModified, "MODIFIED")
        self.assertEqual(ds.PixelData, self.pixels)


if __name__ == "__main__":
    vt.main()

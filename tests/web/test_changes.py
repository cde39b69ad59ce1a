"""Changes of stored images over HTTP: POST /changes (JSON or the page's
form with its token) modifies, merges and splits for a user with the
modify right of the access policy and for no one else; QIDO-RS and WADO-RS
metadata give the new values only; a refused change leaves nothing
changed; GET /changes gives the change log per patient and study; the
study list carries the edit dialog."""

import json
import os
import subprocess

import veltotest as vt
from webharness import NODE_MODULES, Web, value

ROOT = "1.2.826.0.1.3680043.9.7433.36"


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


class WebChangeTests(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        super().tearDown()

    def setup_archive(self):
        s = self.server()
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("editor:%s\nreader:%s\n" % (crypt_hash("e"), crypt_hash("r")))
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("CLIENT any store find get\neditor 127.0.0.1 find get modify\n"
                    "reader 127.0.0.1 find get\n")
        files = []
        for study, pid, count in ((1, "PID1", 2), (2, "PID1", 2), (3, "PID2", 1)):
            for n in range(count):
                st = "%s.%d" % (ROOT, study)
                path = os.path.join(s.tmp, "%d-%d.dcm" % (study, n))
                vt.make_dataset(path, st, st + ".1", "%s.1.%d" % (st, n), patient_id=pid,
                                patient_name="DOE^JOHN" if pid == "PID1" else "ROE^ANN")
                files.append(path)
        self.assertEqual(s.storescu(files).returncode, 0)
        w = Web(s)
        self.webs.append(w)
        return s, w

    def post(self, w, user, fields, form=False, extra=()):
        if form:
            args = sum((["--data-urlencode", "%s=%s" % kv] for kv in fields.items()), [])
        else:
            args = ["-H", "Content-Type: application/json", "--data-binary", json.dumps(fields)]
        status, _, body = w.curl("/changes", ["-u", user] + args + list(extra))
        try:
            return status, json.loads(body)
        except ValueError:
            return status, body

    def names(self, w, study):
        meta = w.json("/dicom-web/studies/%s.%d/metadata" % (ROOT, study), ["-u", "reader:r"])
        return {value(m, "00100010") for m in meta}

    def test_modify_merge_split_over_http(self):
        s, w = self.setup_archive()
        # A user without the right: refused, nothing changed.
        status, _ = self.post(w, "reader:r", {"kind": "modify", "patient": "PID1",
                                              "PatientName": "NEW^NAME"})
        self.assertEqual(status, 403)
        self.assertEqual(self.names(w, 1), {"DOE^JOHN"})
        # A form without the page's token: refused.
        status, _ = self.post(w, "editor:e", {"kind": "modify", "patient": "PID1",
                                              "PatientName": "NEW^NAME"}, form=True)
        self.assertEqual(status, 403)
        self.assertEqual(self.names(w, 1), {"DOE^JOHN"})
        # Refused requests.
        for fields, code, text in (
                ({"kind": "modify", "study": ROOT + ".1", "StudyInstanceUID": "1.2"}, 400, "UID"),
                ({"kind": "modify", "study": ROOT + ".9", "PatientName": "X"}, 404, "no stored"),
                ({"kind": "rename", "study": ROOT + ".1"}, 400, "kind")):
            status, answer = self.post(w, "editor:e", fields)
            self.assertEqual(status, code, answer)
            self.assertIn(text, answer["message"] if isinstance(answer, dict) else
                          answer.decode())
        self.assertEqual(self.names(w, 1), {"DOE^JOHN"})
        # The modify of the patient: QIDO and WADO metadata follow.
        status, answer = self.post(w, "editor:e", {"kind": "modify", "patient": "PID1",
                                                   "PatientName": "NEW^NAME"})
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["status"], answer["images"]), ("done", 4))
        for study in (1, 2):
            self.assertEqual(self.names(w, study), {"NEW^NAME"})
        found = w.json("/dicom-web/studies?PatientID=PID1", ["-u", "reader:r"])
        self.assertEqual({value(f, "00100010") for f in found}, {"NEW^NAME"})
        self.assertEqual(len(found), 2)
        self.assertEqual(w.json("/dicom-web/studies?PatientName=DOE*", ["-u", "reader:r"]), [])
        # Merge PID2 into PID1: three studies, all PID1's.
        status, answer = self.post(w, "editor:e", {"kind": "merge", "from": "PID2", "to": "PID1"})
        self.assertEqual(status, 200, answer)
        found = w.json("/dicom-web/studies", ["-u", "reader:r"])
        self.assertEqual(len(found), 3)
        self.assertEqual({value(f, "00100020") for f in found}, {"PID1"})
        self.assertEqual(self.names(w, 3), {"NEW^NAME"})
        # Split study 2's series into study 1.
        status, answer = self.post(w, "editor:e", {"kind": "split", "study": ROOT + ".2",
                                                   "series": ROOT + ".2.1",
                                                   "toStudy": ROOT + ".1"})
        self.assertEqual(status, 200, answer)
        self.assertEqual(len(w.json("/dicom-web/studies/%s.1/instances" % ROOT,
                                    ["-u", "reader:r"])), 4)
        # The change log, per patient and per study.
        log = w.json("/changes?patient=PID1", ["-u", "reader:r"])
        self.assertEqual([e["kind"] for e in log], ["modify", "merge", "split"])
        self.assertEqual(log[0]["user"], "editor")
        self.assertTrue(log[0]["from"].startswith("web 127.0.0.1"))
        self.assertIn(["PatientName", "DOE^JOHN", "NEW^NAME"], log[0]["changes"])
        self.assertEqual([e["kind"] for e in w.json("/changes?study=%s.3" % ROOT,
                                                   ["-u", "reader:r"])], ["merge"])
        # The page: an edit button per row and the dialog.
        status, _, page = w.curl("/", ["-u", "editor:e"])
        self.assertEqual(status, 200)
        self.assertIn(b'class="edit"', page)
        self.assertIn(b'<dialog id="edit">', page)
        rc = vt.run([os.path.join(vt.BUILD, "storeindex", "storeindex"), "check", s.basedir])
        self.assertEqual(rc.returncode, 0, rc.stdout)

    def test_edit_dialog_in_the_browser(self):
        # Without users (loopback): the page as staff see it.
        s = self.server()
        st = ROOT + ".7"
        path = os.path.join(s.tmp, "e.dcm")
        vt.make_dataset(path, st, st + ".1", st + ".1.1", patient_name="OLD^NAME",
                        patient_id="PE")
        self.assertEqual(s.storescu([path]).returncode, 0)
        w = Web(s)
        self.webs.append(w)
        p = subprocess.run(["node", "--no-warnings", os.path.join(os.path.dirname(
            os.path.abspath(__file__)), "browser_edit.js"), w.url, st], capture_output=True,
            timeout=120, env=dict(os.environ, NODE_PATH=NODE_MODULES))
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        r = json.loads(p.stdout)
        self.assertEqual(r["initialName"], "OLD^NAME")
        self.assertIn("PatientBirthDate", r["refusal"])
        self.assertTrue(r["keptOpen"])
        self.assertEqual((r["keptName"], r["keptDate"]), ("EDITED^NAME", "1999-13-45"))
        self.assertIn("1 image(s) changed", r["message"])
        self.assertEqual(r["rowName"], "EDITED NAME")
        self.assertEqual(len(r["log"]), 1)
        self.assertIn('PatientName "OLD^NAME" \u2192 "EDITED^NAME"', r["log"][0])
        self.assertIn("PatientBirthDate", r["log"][0])


if __name__ == "__main__":
    vt.main()

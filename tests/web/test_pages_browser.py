"""The pages as staff use them, in headless Chromium driven by clicks
(browser_pages.js over cdp.js), a screenshot saved after each action in
the test's directory: a search for a non-ASCII name on the study page; a
worklist entry's form refused for a bad date, keeping every field, and an
edit refused the same way; a forwarding outage (the destination stopped,
then started) ended by "Retry all" and delivered; a study found at a
dcmqrscp peer on the query/retrieve page and brought in. (A re-upload
shown as already stored is test_browser.py's upload case.)"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import pydicom

import veltotest as vt
from webharness import NODE_MODULES, STOREWEB, Web
from test_qr import Peer

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser_pages.js")
STUDY = "1.2.826.0.1.3680043.9.7401"


class PagesBrowserTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        cls.shots = tempfile.mkdtemp(prefix="velto-pages-shots-")

    @classmethod
    def tearDownClass(cls):
        print("screenshots in", cls.shots)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.stop_later = []
        self.src = tempfile.mkdtemp(prefix="pages-src-")

    def tearDown(self):
        for p in self.stop_later:
            p.stop()
        shutil.rmtree(self.src, ignore_errors=True)
        super().tearDown()

    def browse(self, w, step, **scenario):
        scenario.update(base=w.url, shots=self.shots, step=step)
        path = os.path.join(self.src, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        p = subprocess.run(["node", "--no-warnings", SCRIPT, path], capture_output=True,
                           timeout=120, env=dict(os.environ, NODE_PATH=NODE_MODULES))
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        return json.loads(p.stdout)

    def image(self, name, study=STUDY, n=0, charset=None, modality="CT"):
        extra = {"SpecificCharacterSet": charset} if charset else None
        return vt.make_dataset(os.path.join(self.src, "%s-%d.dcm" % (study, n)), study,
                               study + ".1", "%s.1.%d" % (study, n + 1), patient_name=name,
                               patient_id="P" + study[-4:], modality=modality, extra=extra)

    def test_search_with_a_non_ascii_name(self):
        s = self.server()
        w = Web(s)
        self.stop_later.append(w)
        paths = [self.image("MÜLLER^HANS", charset="ISO_IR 100"),
                 self.image("MULLER^HANS", study=STUDY + ".2")]
        self.assertEqual(s.storescu(paths).returncode, 0)
        r = self.browse(w, "search", name="müller")
        self.assertEqual((r["total"], r["names"]), (1, ["MÜLLER HANS"]), r)
        self.assertTrue(os.path.getsize(r["shot"]) > 0)

    def test_worklist_form_errors_keep_every_field(self):
        s = self.server()
        w = Web(s)
        self.stop_later.append(w)
        fields = {"PatientName": "Müller^Jürgen", "PatientID": "W1", "AccessionNumber": "AW1",
                  "Modality": "MR", "ScheduledStationAETitle": "MR1",
                  "ScheduledProcedureStepStartDate": "20250413",
                  "RequestedProcedureDescription": "Knee"}
        bad = {"ScheduledProcedureStepStartDate": "2025-13-45"}
        # At a tablet's width: the forms in one column, nothing wider than
        # the window.
        r = self.browse(w, "worklist", fields=fields, bad=bad, width=800)
        self.assertFalse(r["overflow"])
        typed = dict(fields, **bad)
        for case in ("addRefused", "editRefused"):
            self.assertIn("not a valid value for ScheduledProcedureStepStartDate",
                          r[case]["message"])
            for k, v in typed.items():
                self.assertEqual(r[case]["values"][k], v, (case, k))
        self.assertEqual(r["editForm"]["PatientName"], "Müller^Jürgen")
        # The refused edit left the entry as it was.
        entries = w.json("/worklist/entries")
        self.assertEqual([(e["PatientName"], e["ScheduledProcedureStepStartDate"])
                          for e in entries], [("Müller^Jürgen", "20250413")])

    def test_forwarding_outage_retry_all_delivered(self):
        port = vt.free_port()
        s = self.server(start=False, args=["-Q", "1"],
                        aetmap="DEST\tDEST\t127.0.0.1:%d\tFMS\nCT1\tCT1\t127.0.0.1:1\tS\n" % port)
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("max-attempts 1\nDEST when=store\n")
        s.start()
        w = Web(s)
        self.stop_later.append(w)
        paths = [self.image("OUT^AGE", n=i) for i in range(4)]
        self.assertEqual(s.storescu(paths, calling="CT1").returncode, 0)
        # The destination is down: every job fails.
        vt.wait_for(lambda: w.json("/forward/jobs")["failed"] == 4, 20, what="four failed jobs")
        dest = vt.StoreSCP.__new__(vt.StoreSCP)
        dest.aetitle, dest.port = "DEST", port
        dest.dir = tempfile.mkdtemp(prefix="pages-dst-")
        dest.logpath = dest.dir + ".log"
        dest.logf = open(dest.logpath, "w")
        dest.proc = subprocess.Popen(["storescp", "-aet", "DEST", "-od", dest.dir, str(port)],
                                     stdout=dest.logf, stderr=subprocess.STDOUT)
        self.stop_later.append(dest)
        vt.wait_for(lambda: vt.port_open(port), 10, what="storescp to listen")
        r = self.browse(w, "forward", destination="DEST", width=1024)
        self.assertFalse(r["overflow"])
        # One line for the study's four failed jobs, then none; one history line.
        self.assertEqual(len(r["before"]), 1, r)
        self.assertIn("group failed", r["before"][0]["cls"])
        self.assertEqual(r["before"][0]["cells"][:4], ["DEST", STUDY, "4", "0 / 4"])
        self.assertEqual(r["after"], [], r)
        self.assertEqual([h[1:] for h in r["history"]], [["DEST", STUDY, "rule 2", "4", "4"]])
        got = sorted(str(pydicom.dcmread(os.path.join(dest.dir, n)).SOPInstanceUID)
                     for n in os.listdir(dest.dir))
        self.assertEqual(got, sorted(str(pydicom.dcmread(p).SOPInstanceUID) for p in paths))

    def test_query_retrieve_from_a_peer(self):
        peer_port = vt.free_port()
        s = self.server(aetmap="QR\tQRSCP\t127.0.0.1:%d\tFMS\n" % peer_port)
        peer = Peer(s.tmp, s.port, peer_port).start()
        self.stop_later.append(peer)
        peer.load([self.image("FAR^AWAY", n=i, modality="MR") for i in range(3)]
                  + [self.image("OTHER^ONE", study=STUDY + ".5")])
        w = Web(s, args=["-a", "ARCHIVE"])
        self.stop_later.append(w)
        r = self.browse(w, "qr", peer="QRSCP", name="FAR", study=STUDY)
        self.assertEqual(r["found"], [STUDY])
        self.assertEqual((r["move"]["cls"], r["move"]["stored"], r["move"]["failed"]),
                         ("move done", "3", "0"), r)
        self.assertEqual(r["move"]["progress"], "3/3")
        self.assertEqual(len(w.json("/dicom-web/studies/%s/instances" % STUDY)), 3)


if __name__ == "__main__":
    vt.main()

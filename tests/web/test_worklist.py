"""The modality worklist: entries made, listed and removed through storeweb
(JSON endpoint and the page's form) or dropped as files into the store's
worklist directory, found by dcmtk's findscu -W and by dcmjs-dimse as
worklist clients of storeserver (matching on the scheduled date range,
modality and station AE title), marked done when their study arrives by
storescu, and refused by the access policy on both sides."""

import json
import os
import re
import subprocess
import tempfile
import time

import veltotest as vt
from webharness import Web, header, NODE_MODULES, STOREWEB

WORKLIST_FIND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "worklist_find.js")
STEP = "(0040,0100)[0]."


def entry(name, pid, accession, modality, station, date, time="083000", **more):
    e = {"PatientName": name, "PatientID": pid, "AccessionNumber": accession,
         "Modality": modality, "ScheduledStationAETitle": station,
         "ScheduledProcedureStepStartDate": date, "ScheduledProcedureStepStartTime": time,
         "RequestedProcedureDescription": modality + " exam"}
    e.update(more)
    return e


class WorklistTest(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        super().tearDown()

    def pair(self, args=(), web_args=(), policy=None, users=None, aetmap=None):
        s = self.server(args=args, aetmap=aetmap, start=False)
        if policy is not None:
            with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
                f.write(policy)
        if users is not None:
            with open(os.path.join(s.etc, "WebUsers"), "w") as f:
                f.write(users)
        s.start()
        w = Web(s, args=web_args)
        self.webs.append(w)
        return s, w

    def wldir(self, s):
        return os.path.join(s.basedir, "worklist")

    def post(self, w, body, extra=()):
        status, head, data = w.curl("/worklist/entries", ["-X", "POST", "-H",
                                    "Content-Type: application/json", "--data-binary",
                                    json.dumps(body)] + list(extra))
        is_json = "application/json" in (header(head, "Content-Type") or "")
        return status, (json.loads(data) if is_json and data.strip() else None)

    def findscu(self, s, keys, calling="CLIENT", extra=()):
        """findscu -W with keys (the usual return keys added): (process,
        answers as pydicom data sets)."""
        import pydicom
        outdir = tempfile.mkdtemp(prefix="wlfind-", dir=s.tmp)
        cmd = ["findscu", "-W", "-v", "-aet", calling, "-aec", s.aetitle, "-X", "-od", outdir]
        given = set(k.split("=")[0] for k in keys)
        for k in ["PatientName", "PatientID", "AccessionNumber", "StudyInstanceUID",
                  STEP + "Modality", STEP + "ScheduledStationAETitle",
                  STEP + "ScheduledProcedureStepStartDate", STEP + "ScheduledProcedureStepID"]:
            if k not in given:
                cmd += ["-k", k]
        for k in keys:
            cmd += ["-k", k]
        p = vt.run(cmd + list(extra) + ["127.0.0.1", str(s.port)])
        found = [pydicom.dcmread(os.path.join(outdir, n), force=True)
                 for n in sorted(os.listdir(outdir))]
        return p, found

    def accessions(self, found):
        return sorted(str(d.AccessionNumber) for d in found)

    def dimse_find(self, s, keys, calling="CLIENT"):
        env = dict(os.environ, NODE_PATH=NODE_MODULES)
        p = subprocess.run(["node", WORKLIST_FIND, "127.0.0.1", str(s.port), s.aetitle, calling,
                            json.dumps(keys)], capture_output=True, text=True, timeout=90,
                           env=env)
        matches = [json.loads(l[6:]) for l in p.stdout.splitlines() if l.startswith("MATCH ")]
        status = [l for l in p.stdout.splitlines() if l.startswith("STATUS ")]
        return p, matches, status

    def test_json_entries_are_found_with_worklist_matching(self):
        s, w = self.pair()
        made = {}
        for e in (entry("DOE^JANE", "P1", "A1", "CT", "CT1", "20250110"),
                  entry("ROE^RICK", "P2", "A2", "MR", "MR1", "20250120", time="141500"),
                  entry("POE^PAUL", "P3", "A3", "CT", "CT2", "20250301"),
                  entry("Müller^Jürgen", "P4", "A4", "US", "US1", "20250115")):
            status, body = self.post(w, e)
            self.assertEqual(status, 201, body)
            made[e["AccessionNumber"]] = body
        # The answer is the entry as stored, with the defaults filled in.
        a1 = made["A1"]
        self.assertEqual((a1["PatientName"], a1["Modality"], a1["ScheduledStationAETitle"]),
                         ("DOE^JANE", "CT", "CT1"))
        self.assertEqual((a1["RequestedProcedureID"], a1["ScheduledProcedureStepID"]), ("A1", "A1"))
        self.assertRegex(a1["StudyInstanceUID"], r"^[0-9.]+$")
        self.assertTrue(os.path.isfile(os.path.join(self.wldir(s), a1["id"] + ".wl")))
        listed = w.json("/worklist/entries")
        self.assertEqual(sorted(e["AccessionNumber"] for e in listed), ["A1", "A2", "A3", "A4"])
        self.assertEqual(w.json("/worklist/entries/" + a1["id"])["PatientID"], "P1")
        self.assertTrue(all(e["complete"] for e in listed))

        # Date range, modality, station AE title, and a combination.
        p, found = self.findscu(s, [STEP + "ScheduledProcedureStepStartDate=20250101-20250131"])
        self.assertEqual(self.accessions(found), ["A1", "A2", "A4"], p.stdout + p.stderr)
        p, found = self.findscu(s, [STEP + "ScheduledProcedureStepStartDate=20250201-"])
        self.assertEqual(self.accessions(found), ["A3"])
        p, found = self.findscu(s, [STEP + "Modality=CT"])
        self.assertEqual(self.accessions(found), ["A1", "A3"])
        p, found = self.findscu(s, [STEP + "ScheduledStationAETitle=MR1"])
        self.assertEqual(self.accessions(found), ["A2"])
        self.assertEqual(str(found[0].PatientName), "ROE^RICK")
        self.assertEqual(found[0].ScheduledProcedureStepSequence[0].ScheduledProcedureStepID, "A2")
        p, found = self.findscu(s, [STEP + "ScheduledProcedureStepStartDate=20250101-20250131",
                                    STEP + "Modality=CT"])
        self.assertEqual(self.accessions(found), ["A1"])
        # UTF-8 names go out with their character set.
        p, found = self.findscu(s, ["PatientID=P4", "SpecificCharacterSet="])
        self.assertEqual(self.accessions(found), ["A4"])
        self.assertEqual(found[0].SpecificCharacterSet, "ISO_IR 192")
        self.assertEqual(str(found[0].PatientName), "Müller^Jürgen")

        # dcmjs-dimse as the worklist client: the same matching.
        p, matches, status = self.dimse_find(s, {"ScheduledProcedureStepSequence": [
            {"Modality": "CT", "ScheduledProcedureStepStartDate": "20250101-20250131"}]})
        self.assertEqual([m["AccessionNumber"] for m in matches], ["A1"], p.stdout + p.stderr)
        self.assertEqual(matches[0]["ScheduledProcedureStepSequence"][0]["ScheduledStationAETitle"],
                         "CT1")
        self.assertEqual(status, ["STATUS 0"])
        # Two queries on one association: the second is answered whole.
        p, found = self.findscu(s, [STEP + "Modality=CT"], extra=["--repeat", "2"])
        self.assertEqual(self.accessions(found), ["A1", "A1", "A3", "A3"], p.stdout + p.stderr)

        # Removal: gone from the directory, the listing and the answers.
        status, _, _ = w.curl("/worklist/entries/" + a1["id"], ["-X", "DELETE"])
        self.assertEqual(status, 204)
        self.assertFalse(os.path.exists(os.path.join(self.wldir(s), a1["id"] + ".wl")))
        p, found = self.findscu(s, [STEP + "Modality=CT"])
        self.assertEqual(self.accessions(found), ["A3"])
        for method, path in (("DELETE", a1["id"]), ("GET", a1["id"]), ("DELETE", "..%2Fx"),
                             ("DELETE", ".hidden")):
            status, _, _ = w.curl("/worklist/entries/" + path, ["-X", method])
            self.assertEqual(status, 404, (method, path))
        self.assertIn("Worklist: entry %s removed" % a1["id"], w.log())

    def test_refused_entries_leave_no_file(self):
        s, w = self.pair()
        good = entry("DOE^JANE", "P1", "A1", "CT", "CT1", "20250110")
        cases = [
            ({k: v for k, v in good.items() if k != "PatientID"}, "PatientID is required"),
            (dict(good, ScheduledStationAETitle=""), "ScheduledStationAETitle is required"),
            (dict(good, ScheduledProcedureStepStartDate="2025-01-10"),
             "ScheduledProcedureStepStartDate"),
            (dict(good, ScheduledStationAETitle="A" * 17), "ScheduledStationAETitle"),
            (dict(good, Colour="blue"), "unknown attribute Colour"),
        ]
        for body, why in cases:
            status, answer = self.post(w, body)
            self.assertEqual(status, 400, body)
            self.assertIn(why, answer["error"])
        for raw in ("[1,2]", "{\"PatientID\": 5}", "{\"PatientID\": \"P1\"", "not json"):
            status, _, data = w.curl("/worklist/entries", ["-X", "POST", "-H",
                                     "Content-Type: application/json", "--data-binary", raw])
            self.assertEqual(status, 400, raw)
        status, _, _ = w.curl("/worklist/entries", ["-X", "POST", "--data-binary",
                                                    json.dumps(good)])
        self.assertEqual(status, 415)
        status, _, _ = w.curl("/worklist/entries", ["-X", "POST", "-H",
                              "Content-Type: application/json", "--data-binary",
                              json.dumps(dict(good, PatientName="X" * 70000))])
        self.assertEqual(status, 413)
        # JSON escapes, a surrogate pair among them, come out as UTF-8; an
        # entry of the required attributes alone is complete enough for the
        # worklist to serve it.
        minimal = {"PatientName": "K\u00f6nig^\U0001F600", "PatientID": "PMIN", "Modality": "MR",
                   "ScheduledStationAETitle": "MR9", "ScheduledProcedureStepStartDate": "20250111"}
        status, _, data = w.curl("/worklist/entries", ["-X", "POST", "-H",
                                 "Content-Type: application/json", "--data-binary",
                                 json.dumps(minimal)])
        self.assertEqual(status, 201, data)
        self.assertEqual(json.loads(data)["PatientName"], "K\u00f6nig^\U0001F600")
        p, found = self.findscu(s, ["PatientID=PMIN", "SpecificCharacterSet="])
        self.assertEqual(len(found), 1, p.stdout + p.stderr)
        self.assertEqual(str(found[0].PatientName), "K\u00f6nig^\U0001F600")
        names = os.listdir(self.wldir(s))
        self.assertEqual(sorted(n for n in names if n.endswith(".wl")),
                         [json.loads(data)["id"] + ".wl"])
        self.assertEqual([n for n in names if n.startswith(".")], [])

    def test_altered_values_are_refused(self):
        # Values the entry could not hold as sent: a NUL cut "A\u0000B" to
        # "A", a name component over the 64 characters of its group and the
        # second of two keys were taken silently. Each is refused with the
        # reason, through the JSON endpoint and the form, and leaves no file.
        s, w = self.pair()
        good = entry("DOE^JANE", "P1", "A1", "CT", "CT1", "20250110")
        long_name = "D" * 70 + "^JANE"
        cases = [
            (dict(good, PatientName="A\u0000B"), "control character in PatientName"),
            (dict(good, PatientID="P\n1"), "control character in PatientID"),
            (dict(good, RequestedProcedureDescription="X\u007f"),
             "control character in RequestedProcedureDescription"),
            (dict(good, ScheduledStationName="S\u0085"),
             "control character in ScheduledStationName"),
            (dict(good, PatientName=long_name), "PatientName longer than 64 characters"),
            (dict(good, PatientName="A^B=C^D=E^F=G"), "component groups in PatientName"),
            (dict(good, PatientName="A^B^C^D^E^F"), "five name components in PatientName"),
            (dict(good, AccessionNumber="A" * 17), "AccessionNumber longer than 16"),
            (dict(good, RequestedProcedureDescription="\u00e9" * 65),
             "RequestedProcedureDescription longer than 64"),
            (dict(good, ReferringPhysicianName="R" * 65), "ReferringPhysicianName longer"),
            (dict(good, ScheduledProcedureStepLocation="L" * 17),
             "ScheduledProcedureStepLocation longer"),
        ]
        for body, why in cases:
            status, answer = self.post(w, body)
            self.assertEqual(status, 400, body)
            self.assertIn(why, answer["error"], body)
        # Two keys of one name, at the object's level, null or not.
        for raw in ('{"PatientID":"P1","PatientID":"P2"}',
                    '{"PatientID":null,"PatientID":"P2"}',
                    '{"PatientID":"P1","Patient\\u0049D":"P2"}'):
            body = raw[:-1] + "," + json.dumps(
                {k: v for k, v in good.items() if k != "PatientID"})[1:]
            status, head, data = w.curl("/worklist/entries", ["-X", "POST", "-H",
                                        "Content-Type: application/json", "--data-binary", body])
            self.assertEqual(status, 400, body)
            self.assertIn("key given twice: PatientID", json.loads(data)["error"])
        # Not UTF-8 (a lone continuation byte).
        raw = json.dumps(good).encode().replace(b"DOE^JANE", b"DOE^J\x80")
        status, _, data = w.curl("/worklist/entries", ["-X", "POST", "-H",
                                 "Content-Type: application/json", "--data-binary", raw])
        self.assertEqual(status, 400, raw)
        self.assertIn("PatientName is not UTF-8", json.loads(data)["error"])
        # A form with a field twice, and one with a NUL, answered with the page.
        status, _, page = w.curl("/worklist")
        token = re.search(rb'name="csrf" value="([0-9a-f]{64})"', page).group(1).decode()
        form = ["csrf=" + token, "PatientName=FORM%5EFRED", "PatientID=F1", "Modality=DX",
                "ScheduledStationAETitle=DX1", "ScheduledProcedureStepStartDate=20250402"]
        for extra, why in (("PatientID=F2", b"Not added: PatientID given twice"),
                           ("AccessionNumber=A%00B", b"Not added: control character in "
                                                     b"AccessionNumber")):
            status, _, page = w.curl("/worklist", ["--data", "&".join(form + [extra])])
            self.assertEqual(status, 400, extra)
            self.assertIn(why, page)
        wl = self.wldir(s)
        self.assertEqual([n for n in (os.listdir(wl) if os.path.isdir(wl) else [])
                          if n.endswith(".wl") or n.startswith(".")], [])
        # At the limits exactly, the values are kept as sent.
        edge = dict(good, PatientName="D" * 64 + "=" + "\u00e9" * 64, AccessionNumber="A" * 16,
                    RequestedProcedureDescription="R" * 64)
        status, answer = self.post(w, edge)
        self.assertEqual(status, 201, answer)
        for k in ("PatientName", "AccessionNumber", "RequestedProcedureDescription"):
            self.assertEqual(answer[k], edge[k])

    def test_edit_from_the_page_and_a_refused_form_keeps_every_field(self):
        s, w = self.pair()
        page = w.curl("/worklist")[2]
        token = re.search(rb'name="csrf" value="([0-9a-f]{64})"', page).group(1).decode()
        form = ["csrf=" + token, "PatientName=M%C3%BCller%5EJ%C3%BCrgen", "PatientID=E1",
                "AccessionNumber=AE1", "Modality=MR", "ScheduledStationAETitle=MR1",
                "ScheduledProcedureStepStartDate=2025-13-45", "RequestedProcedureDescription=Knee"]
        # Refused: the page again with every field as typed.
        status, _, page = w.curl("/worklist", ["--data", "&".join(form)])
        self.assertEqual(status, 400)
        for name, value in (("PatientName", "Müller^Jürgen"), ("PatientID", "E1"),
                            ("AccessionNumber", "AE1"), ("Modality", "MR"),
                            ("ScheduledStationAETitle", "MR1"),
                            ("ScheduledProcedureStepStartDate", "2025-13-45"),
                            ("RequestedProcedureDescription", "Knee")):
            self.assertIn(('name="%s" value="%s"' % (name, value)).encode(), page)
        form[6] = "ScheduledProcedureStepStartDate=20250413"
        self.assertEqual(w.curl("/worklist", ["--data", "&".join(form)])[0], 303)
        old = w.json("/worklist/entries")[0]
        # The edit form holds the entry; a refused change keeps what was typed
        # and leaves the entry as it was.
        status, _, page = w.curl("/worklist?edit=" + old["id"])
        self.assertEqual(status, 200)
        self.assertIn(('<form id="edit" method="post" action="/worklist/%s/edit">'
                       % old["id"]).encode(), page)
        self.assertIn('name="PatientName" value="Müller^Jürgen"'.encode(), page)
        changed = [f.replace("Knee", "Knee+left") for f in form]
        bad = [f if not f.startswith("Modality=") else "Modality=M%01R" for f in changed]
        status, _, page = w.curl("/worklist/%s/edit" % old["id"], ["--data", "&".join(bad)])
        self.assertEqual(status, 400)
        self.assertIn(b"Not changed: control character in Modality", page)
        self.assertIn(b'name="RequestedProcedureDescription" value="Knee left"', page)
        self.assertIn(('action="/worklist/%s/edit"' % old["id"]).encode(), page)
        self.assertEqual(w.json("/worklist/entries"), [old])
        status, _, _ = w.curl("/worklist/%s/edit" % old["id"], ["--data", "&".join(changed)])
        self.assertEqual(status, 303)
        now = w.json("/worklist/entries")
        self.assertEqual(len(now), 1)
        self.assertNotEqual(now[0]["id"], old["id"])
        self.assertEqual(now[0]["RequestedProcedureDescription"], "Knee left")
        self.assertEqual(now[0]["PatientName"], "Müller^Jürgen")
        self.assertEqual(w.curl("/worklist/%s/edit" % old["id"],
                                ["--data", "&".join(changed)])[0], 404)

    def test_form_page_and_dropped_file(self):
        s, w = self.pair()
        status, _, page = w.curl("/worklist")
        self.assertEqual(status, 200)
        self.assertIn(b'<form id="add" method="post" action="/worklist">', page)
        # Each form carries the page's token against forged requests.
        token = re.search(rb'name="csrf" value="([0-9a-f]{64})"', page).group(1).decode()
        form = ["csrf=" + token, "PatientName=FORM%5EFRED", "PatientID=F1", "AccessionNumber=AF1",
                "Modality=DX", "ScheduledStationAETitle=DX1",
                "ScheduledProcedureStepStartDate=20250402", "ScheduledProcedureStepStartTime=",
                "ReferringPhysicianName=Dr+Who"]
        status, head, _ = w.curl("/worklist", ["--data", "&".join(form)])
        self.assertEqual(status, 303)
        self.assertEqual(header(head, "Location"), "/worklist")
        listed = w.json("/worklist/entries")
        self.assertEqual(len(listed), 1)
        self.assertEqual((listed[0]["PatientName"], listed[0]["ReferringPhysicianName"],
                          listed[0]["ScheduledProcedureStepStartTime"]),
                         ("FORM^FRED", "Dr Who", "000000"))
        status, _, page = w.curl("/worklist")
        self.assertIn(b"FORM^FRED", page)
        self.assertIn(('action="/worklist/%s/delete"' % listed[0]["id"]).encode(), page)
        # A form with a value the VR refuses is answered with the page.
        status, _, page = w.curl("/worklist", ["--data", "csrf=" + token +
                                               "&PatientName=X&PatientID=Y&Modality=CT&"
                                               "ScheduledStationAETitle=CT1&"
                                               "ScheduledProcedureStepStartDate=tomorrow"])
        self.assertEqual(status, 400)
        self.assertIn(b"Not added: not a valid value for ScheduledProcedureStepStartDate", page)
        # A form posted from another origin is refused.
        status, _, _ = w.curl("/worklist", ["-H", "Origin: http://evil.example", "--data",
                                            "&".join(form)])
        self.assertEqual(status, 403)
        # So is one without the token.
        status, _, _ = w.curl("/worklist", ["--data", "&".join(form[1:])])
        self.assertEqual(status, 403)
        self.assertEqual(len(w.json("/worklist/entries")), 1)

        # A worklist file dropped into the directory (written elsewhere,
        # then moved in) is served as well.
        import pydicom
        from pydicom.dataset import Dataset, FileMetaDataset
        ds = Dataset()
        ds.PatientName = "DROP^DORA"
        ds.PatientID = "D1"
        ds.AccessionNumber = "AD1"
        ds.StudyInstanceUID = "1.2.826.0.1.3680043.2.1143.77"
        ds.RequestedProcedureID = "RP1"
        ds.RequestedProcedureDescription = "Chest"
        sps = Dataset()
        sps.Modality = "DX"
        sps.ScheduledStationAETitle = "DX1"
        sps.ScheduledProcedureStepStartDate = "20250402"
        sps.ScheduledProcedureStepStartTime = "120000"
        sps.ScheduledProcedureStepDescription = "Chest PA"
        sps.ScheduledProcedureStepID = "SPS1"
        sps.ScheduledPerformingPhysicianName = ""
        ds.ScheduledProcedureStepSequence = [sps]
        ds.file_meta = FileMetaDataset()
        ds.file_meta.TransferSyntaxUID = pydicom.uid.ExplicitVRLittleEndian
        ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.31"
        ds.file_meta.MediaStorageSOPInstanceUID = "1.2.826.0.1.3680043.2.1143.78"
        tmp = os.path.join(s.tmp, "drop.wl")
        pydicom.dcmwrite(tmp, ds, write_like_original=False)
        os.rename(tmp, os.path.join(self.wldir(s), "dropped.wl"))
        p, found = self.findscu(s, [STEP + "ScheduledStationAETitle=DX1"])
        self.assertEqual(self.accessions(found), ["AD1", "AF1"], p.stdout + p.stderr)
        p, matches, status = self.dimse_find(s, {"PatientID": "D1"})
        self.assertEqual([m["AccessionNumber"] for m in matches], ["AD1"], p.stdout + p.stderr)
        self.assertEqual(matches[0]["ScheduledProcedureStepSequence"][0]["ScheduledProcedureStepID"],
                         "SPS1")
        self.assertIn("dropped", [e["id"] for e in w.json("/worklist/entries")])
        # One without a station AE title is listed as incomplete, and the
        # worklist leaves it out, as wlmscpfs would.
        del ds.ScheduledProcedureStepSequence[0].ScheduledStationAETitle
        ds.AccessionNumber = "AD2"
        pydicom.dcmwrite(tmp, ds, write_like_original=False)
        os.rename(tmp, os.path.join(self.wldir(s), "broken.wl"))
        byid = {e["id"]: e for e in w.json("/worklist/entries")}
        self.assertEqual((byid["dropped"]["complete"], byid["broken"]["complete"]), (True, False))
        p, found = self.findscu(s, ["PatientID=D1"])
        self.assertEqual(self.accessions(found), ["AD1"], p.stdout + p.stderr)
        status, _, page = w.curl("/worklist")
        self.assertIn(b'<tr class="entry incomplete" data-id="broken"', page)
        self.assertIn(b'<tr class="entry" data-id="dropped"', page)
        os.unlink(os.path.join(self.wldir(s), "broken.wl"))

        # The page's remove button.
        status, _, _ = w.curl("/worklist/%s/delete" % listed[0]["id"], ["-X", "POST"])
        self.assertEqual(status, 403)
        status, head, _ = w.curl("/worklist/%s/delete" % listed[0]["id"],
                                 ["--data", "csrf=" + token])
        self.assertEqual(status, 303)
        self.assertEqual([e["id"] for e in w.json("/worklist/entries")], ["dropped"])

    def test_names_that_are_not_regular_files_are_skipped_unopened(self):
        s, w = self.pair()
        status, made = self.post(w, entry("REG^ULAR", "P1", "AR1", "CT", "CT1", "20250110"))
        self.assertEqual(status, 201, made)
        d = self.wldir(s)
        # A FIFO (whose open waits for a writer), a link to a real entry kept
        # elsewhere, a directory, and a hidden FIFO: none is an entry.
        os.mkfifo(os.path.join(d, "fifo.wl"))
        os.mkfifo(os.path.join(d, ".hidden.wl"))
        os.mkdir(os.path.join(d, "dir.wl"))
        elsewhere = os.path.join(s.tmp, "elsewhere.wl")
        with open(os.path.join(d, made["id"] + ".wl"), "rb") as f, open(elsewhere, "wb") as g:
            g.write(f.read())
        os.symlink(elsewhere, os.path.join(d, "link.wl"))
        for _ in range(2):  # the view is made and removed per query
            started = time.monotonic()
            p, found = self.findscu(s, [STEP + "Modality=CT"])
            # It was 60 s and no answer (the worker's alarm).
            self.assertLess(time.monotonic() - started, 5.0)
            self.assertEqual(self.accessions(found), ["AR1"], p.stdout + p.stderr)
        self.assertIn("fifo.wl is not a regular file: skipped.", s.log())
        self.assertIn("link.wl is not a regular file: skipped.", s.log())
        self.assertEqual(sorted(os.listdir(d)), sorted(
            [".hidden.wl", "dir.wl", "done", "fifo.wl", "link.wl", "lockfile", made["id"] + ".wl"]))
        # The web's listing and an arriving study's marking skip them too.
        started = time.monotonic()
        self.assertEqual([e["AccessionNumber"] for e in w.json("/worklist/entries")], ["AR1"])
        self.store_study(s, "1.2.826.0.1.3680043.2.1143.31", "AR1")
        vt.wait_for(lambda: os.path.exists(os.path.join(d, "done", made["id"] + ".wl")), 10,
                    what="the entry marked done")
        self.assertLess(time.monotonic() - started, 10.0)

    def test_fresh_install_takes_entries_before_the_first_image(self):
        # No store directory at all, as on a new machine: storeweb makes
        # it at its start, and an entry is made at once (it was a 500 "...
        # /worklist: No such file or directory").
        s = self.server(start=False)
        os.rmdir(s.basedir)
        w = Web(s)
        self.webs.append(w)
        for sub in ("", "uid", "worklist", "worklist/done", "worklist/lockfile"):
            self.assertTrue(os.path.exists(os.path.join(s.basedir, sub)), sub)
        status, body = self.post(w, entry("FRESH^FRED", "P1", "F1", "CT", "CT1", "20250110"))
        self.assertEqual(status, 201, body)
        self.assertEqual([e["AccessionNumber"] for e in w.json("/worklist/entries")], ["F1"])
        # And storeserver alike, on a store of its own.
        s2 = self.server(start=False)
        os.rmdir(s2.basedir)
        s2.start(answered=True)
        for sub in ("uid", "worklist/done", "worklist/lockfile"):
            self.assertTrue(os.path.exists(os.path.join(s2.basedir, sub)), sub)

    def test_done_entry_stays_visible_unlike_a_removed_one(self):
        s, w = self.pair()
        ids = {}
        for acc in ("D1", "D2"):
            status, body = self.post(w, entry("DONE^DORA", "P1", acc, "CT", "CT1", "20250110"))
            self.assertEqual(status, 201, body)
            ids[acc] = body["id"]
        self.store_study(s, "1.2.826.0.1.3680043.2.1143.40", "D1")
        vt.wait_for(lambda: os.path.exists(os.path.join(self.wldir(s), "done", ids["D1"] + ".wl")),
                    10, what="the entry marked done")
        # It was a 404, as for a removed entry.
        e = w.json("/worklist/entries/" + ids["D1"])
        self.assertEqual((e["AccessionNumber"], e["done"]), ("D1", True))
        self.assertEqual(w.json("/worklist/entries/" + ids["D2"])["done"], False)
        listed = {e["AccessionNumber"]: e["done"] for e in w.json("/worklist/entries")}
        self.assertEqual(listed, {"D1": True, "D2": False})
        status, _, page = w.curl("/worklist")
        self.assertEqual(status, 200)
        self.assertIn(b'<tr class="entry done" data-id="%s"' % ids["D1"].encode(), page)
        self.assertIn(b'<tr class="entry" data-id="%s"' % ids["D2"].encode(), page)
        # Not served to modalities any more.
        p, found = self.findscu(s, [STEP + "Modality=CT"])
        self.assertEqual(self.accessions(found), ["D2"], p.stdout + p.stderr)
        # Removed, it is gone from both.
        status, _, _ = w.curl("/worklist/entries/" + ids["D1"], ["-X", "DELETE"])
        self.assertEqual(status, 204)
        status, _, _ = w.curl("/worklist/entries/" + ids["D1"])
        self.assertEqual(status, 404)
        self.assertEqual([e["AccessionNumber"] for e in w.json("/worklist/entries")], ["D2"])

    def store_study(self, s, study, accession):
        f = vt.make_dataset(os.path.join(s.tmp, "img-%s.dcm" % accession), study, study + ".1",
                            study + ".1.1", accession=accession)
        p = s.storescu([f])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_arriving_study_marks_its_entry_done(self):
        for mode, expect_done in ((None, {"A1", "A2", "A3"}), ("accession", {"A1", "A3"}),
                                  ("study", {"A2"}), ("off", set())):
            with self.subTest(mode=mode):
                args = ["-W", mode] if mode else []
                s, w = self.pair(args=args, web_args=args)
                ids = {}
                for acc, study in (("A1", None), ("A2", "1.2.826.0.1.3680043.2.1143.20"),
                                   ("A3", None), ("A4", None)):
                    e = entry("DONE^DAN", "P1", acc, "CT", "CT1", "20250110")
                    if study:
                        e["StudyInstanceUID"] = study
                    status, body = self.post(w, e)
                    self.assertEqual(status, 201)
                    ids[acc] = body["id"]
                # A1 arrives by its accession number (under another study
                # UID), A2 by its study UID (under another accession), both
                # by C-STORE; A3 by its accession number through STOW-RS.
                self.store_study(s, "1.2.826.0.1.3680043.2.1143.10", "A1")
                self.store_study(s, "1.2.826.0.1.3680043.2.1143.20", "OTHER")
                study = "1.2.826.0.1.3680043.2.1143.30"
                f = vt.make_dataset(os.path.join(s.tmp, "stow.dcm"), study, study + ".1",
                                    study + ".1.1", accession="A3")
                w.dwclient("store", f)
                self.assertTrue(os.path.exists(vt.uid_path(s.basedir, study, study + ".1",
                                                           study + ".1.1")))
                p, found = self.findscu(s, [STEP + "Modality=CT"])
                self.assertEqual(set(self.accessions(found)),
                                 {"A1", "A2", "A3", "A4"} - expect_done)
                done = os.listdir(os.path.join(self.wldir(s), "done"))
                self.assertEqual(sorted(done), sorted(ids[a] + ".wl" for a in expect_done))
                for a in expect_done:
                    self.assertIn("Worklist: entry %s done" % ids[a],
                                  w.log() if a == "A3" else s.log())
                w.stop()
                s.stop()
        p = subprocess.run([vt.STORESERVER, "-W", "sometimes"], capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("invalid -W mode: sometimes", p.stderr)
        p = subprocess.run([STOREWEB, "-W", "never"],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("invalid -W mode: never", p.stderr)

    def test_access_policy_on_both_sides(self):
        users = "\n".join("%s:%s" % (u, subprocess.run(
            ["openssl", "passwd", "-6", "-salt", "velto.salt", "pw"], capture_output=True,
            text=True, check=True).stdout.strip()) for u in ("nurse", "viewer")) + "\n"
        policy = ("MODALITY\tany\techo worklist\n"
                  "QUERIER\tany\techo find\n"
                  "nurse\tany\tworklist\n"
                  "viewer\tany\tfind\n")
        s, w = self.pair(policy=policy, users=users)
        nurse = ["-u", "nurse:pw"]
        status, body = self.post(w, entry("DOE^JANE", "P1", "A1", "CT", "CT1", "20250110"),
                                 extra=nurse)
        self.assertEqual(status, 201)
        self.assertEqual(len(w.json("/worklist/entries", nurse)), 1)

        # The web: without the operation, or without a user, nothing.
        viewer = ["-u", "viewer:pw"]
        for path, extra in (("/worklist/entries", []), ("/worklist", []),
                            ("/worklist/entries/" + body["id"], ["-X", "DELETE"])):
            status, _, _ = w.curl(path, viewer + extra)
            self.assertEqual(status, 403, path)
            status, _, _ = w.curl(path, extra)
            self.assertEqual(status, 401, path)
        status, _ = self.post(w, entry("X^Y", "P9", "A9", "CT", "CT1", "20250110"), extra=viewer)
        self.assertEqual(status, 403)
        self.assertEqual([e["id"] for e in w.json("/worklist/entries", nurse)], [body["id"]])

        # DICOM: a peer with find but not worklist is refused 0x0124; one
        # that no rule knows is rejected; the modality gets its worklist.
        p, found = self.findscu(s, [STEP + "Modality=CT"], calling="QUERIER")
        self.assertEqual(found, [])
        self.assertIn("Received Final Find Response (Unknown Status: 0x124)", p.stdout + p.stderr)
        self.assertIn("Access refused: QUERIER from 127.0.0.1 may not worklist.", s.log())
        p, matches, status = self.dimse_find(s, {"PatientID": "P1"}, calling="QUERIER")
        self.assertEqual((matches, status), ([], ["STATUS 292"]), p.stdout)
        p, found = self.findscu(s, [STEP + "Modality=CT"], calling="STRANGER")
        self.assertEqual(found, [])
        self.assertIn("Calling AE Title Not Recognized", p.stdout + p.stderr)
        p, found = self.findscu(s, [STEP + "Modality=CT"], calling="MODALITY")
        self.assertEqual(self.accessions(found), ["A1"], p.stdout + p.stderr)


if __name__ == "__main__":
    vt.main()

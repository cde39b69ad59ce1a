"""Rejection notes: a Key Object Selection document whose title is a
rejection title, stored with storescu, hides the images it names from
C-FIND at every level, QIDO-RS, WADO-RS and WADO-URI, C-MOVE and C-GET at
once; the other images and the note itself stay; an image rejected and sent
again is refused (0xC124) unless the site file Rejection says "resend
accept"; `storeindex purge-rejected` removes the rejected files (-n only
lists them) and `storeindex check` is clean after; a note with another
title changes nothing."""

import json
import os
import sys
import tempfile

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian

import veltotest as vt

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))
from webharness import Web  # noqa: E402

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
STUDY = "1.2.826.0.1.3680043.9.7433.35.1"
SERIES_A = STUDY + ".1"   # rejected
SERIES_B = STUDY + ".2"   # kept
SERIES_K = STUDY + ".9"   # the note's own series
CT = "1.2.840.10008.5.1.4.1.1.2"
KOS = "1.2.840.10008.5.1.4.1.1.88.59"
# storescu's words for the status 0xC124 (Cannot understand).
REFUSED = "Error: CannotUnderstand"


def code(value, meaning, scheme="DCM"):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def make_note(path, instance, rejected, title=("113001", "Rejected for Quality Reasons")):
    """A Key Object Selection document naming rejected: [(series, sop)]."""
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = KOS
    meta.MediaStorageSOPInstanceUID = instance
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = KOS
    ds.SOPInstanceUID = instance
    ds.StudyInstanceUID = STUDY
    ds.SeriesInstanceUID = SERIES_K
    ds.PatientName = "DOE^JOHN"
    ds.PatientID = "PID1"
    ds.StudyDate = "20240102"
    ds.Modality = "KO"
    ds.SeriesNumber = "99"
    ds.InstanceNumber = "1"
    ds.ValueType = "CONTAINER"
    ds.ContinuityOfContent = "SEPARATE"
    ds.ConceptNameCodeSequence = Sequence([code(*title)])
    ds.ContentTemplateSequence = Sequence([Dataset()])
    ds.ContentTemplateSequence[0].MappingResource = "DCMR"
    ds.ContentTemplateSequence[0].TemplateIdentifier = "2010"
    series = {}
    for se, sop in rejected:
        series.setdefault(se, []).append(sop)
    items, content = [], []
    for se, sops in series.items():
        refs = []
        for sop in sops:
            r = Dataset()
            r.ReferencedSOPClassUID = CT
            r.ReferencedSOPInstanceUID = sop
            refs.append(r)
            c = Dataset()
            c.RelationshipType = "CONTAINS"
            c.ValueType = "IMAGE"
            c.ReferencedSOPSequence = Sequence([r])
            content.append(c)
        s = Dataset()
        s.SeriesInstanceUID = se
        s.ReferencedSOPSequence = Sequence(refs)
        items.append(s)
    ev = Dataset()
    ev.StudyInstanceUID = STUDY
    ev.ReferencedSeriesSequence = Sequence(items)
    ds.CurrentRequestedProcedureEvidenceSequence = Sequence([ev])
    ds.ContentSequence = Sequence(content)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    pydicom.dcmwrite(path, ds, write_like_original=False)
    return path


class RejectionTests(vt.ServerTestCase):

    def store(self, s, files):
        p = s.storescu(files, extra=["-v"])
        return vt.store_statuses(p.stdout + p.stderr)

    def images(self, s):
        files = {}
        for se, n in ((SERIES_A, 3), (SERIES_B, 2)):
            for i in range(n):
                sop = "%s.%d" % (se, i + 1)
                files[sop] = vt.make_dataset(os.path.join(s.tmp, sop + ".dcm"), STUDY, se, sop,
                                             sop_class=CT)
        self.assertEqual(self.store(s, list(files.values())), ["Success"] * 5)
        return files

    def find(self, s, level, keys):
        p, rows = s.findscu(keys, level=level)
        self.assertEqual(p.returncode, 0, p.stderr)
        return rows

    def visible_images(self, s):
        rows = self.find(s, "IMAGE", ["StudyInstanceUID=" + STUDY, "SeriesInstanceUID=",
                                      "SOPInstanceUID="])
        return sorted(str(r.SOPInstanceUID) for r in rows)

    def getscu(self, s, level, keys):
        out = tempfile.mkdtemp(dir=s.tmp)
        cmd = ["getscu", "-v", "-S", "-aec", s.aetitle, "-od", out,
               "-k", "QueryRetrieveLevel=" + level] + sum((["-k", k] for k in keys), [])
        p = vt.run(cmd + ["127.0.0.1", str(s.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return sorted(str(pydicom.dcmread(os.path.join(out, n)).SOPInstanceUID)
                      for n in os.listdir(out))

    def test_note_hides_from_every_query_and_retrieve(self):
        scp = vt.StoreSCP(tempfile.mkdtemp(prefix="rej-dst-"), "DEST")
        self.addCleanup(scp.stop)
        s = self.server(aetmap=scp.map_line())
        files = self.images(s)
        web = Web(s)
        self.addCleanup(web.stop)
        rejected = ["%s.%d" % (SERIES_A, i) for i in (1, 2, 3)]
        kept = ["%s.%d" % (SERIES_B, i) for i in (1, 2)]
        note_uid = STUDY + ".9.1"

        # Another title (Of Interest) hides nothing.
        other = make_note(os.path.join(s.tmp, "other.dcm"), STUDY + ".9.2",
                          [(SERIES_A, u) for u in rejected], title=("113000", "Of Interest"))
        self.assertEqual(self.store(s, [other]), ["Success"])
        self.assertEqual(self.visible_images(s), sorted(rejected + kept + [STUDY + ".9.2"]))

        note = make_note(os.path.join(s.tmp, "note.dcm"), note_uid,
                         [(SERIES_A, u) for u in rejected])
        self.assertEqual(self.store(s, [note]), ["Success"])
        s.wait_log("3 images of study %s rejected" % STUDY)
        left = sorted(kept + [note_uid, STUDY + ".9.2"])

        # C-FIND at each level.
        self.assertEqual(self.visible_images(s), left)
        series = self.find(s, "SERIES", ["StudyInstanceUID=" + STUDY, "SeriesInstanceUID=",
                                         "NumberOfSeriesRelatedInstances="])
        self.assertEqual(sorted(str(r.SeriesInstanceUID) for r in series),
                         [SERIES_B, SERIES_K])
        study = self.find(s, "STUDY", ["StudyInstanceUID=" + STUDY,
                                       "NumberOfStudyRelatedInstances=",
                                       "NumberOfStudyRelatedSeries="])
        self.assertEqual(len(study), 1)
        self.assertEqual(int(study[0].NumberOfStudyRelatedInstances), 4)
        self.assertEqual(int(study[0].NumberOfStudyRelatedSeries), 2)
        p, patients = s.findscu(["PatientID=", "NumberOfPatientRelatedStudies=",
                                 "NumberOfPatientRelatedSeries=",
                                 "NumberOfPatientRelatedInstances="], level="PATIENT", model="-P")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual([(int(r.NumberOfPatientRelatedStudies), int(r.NumberOfPatientRelatedSeries),
                           int(r.NumberOfPatientRelatedInstances)) for r in patients], [(1, 2, 4)])
        self.assertEqual(self.find(s, "IMAGE", ["StudyInstanceUID=" + STUDY,
                                                "SeriesInstanceUID=" + SERIES_A,
                                                "SOPInstanceUID="]), [])
        # The note itself is found.
        self.assertEqual([str(r.SOPInstanceUID) for r in self.find(
            s, "IMAGE", ["StudyInstanceUID=" + STUDY, "SeriesInstanceUID=" + SERIES_K,
                         "SOPInstanceUID=" + note_uid])], [note_uid])

        # QIDO-RS and WADO.
        got = web.json("/dicom-web/studies/%s/instances" % STUDY)
        self.assertEqual(sorted(i["00080018"]["Value"][0] for i in got), left)
        got = web.json("/dicom-web/studies/%s/series" % STUDY)
        self.assertEqual(sorted(i["0020000E"]["Value"][0] for i in got), [SERIES_B, SERIES_K])
        status, _, body = web.curl("/dicom-web/studies/%s/series/%s/instances" % (STUDY, SERIES_A))
        self.assertEqual((status, json.loads(body)), (200, []))
        status, _, _ = web.curl("/dicom-web/studies/%s/series/%s/instances/%s" % (
            STUDY, SERIES_A, rejected[0]))
        self.assertEqual(status, 404)
        status, _, _ = web.curl("/dicom-web/studies/%s/series/%s/instances/%s/metadata" % (
            STUDY, SERIES_A, rejected[0]))
        self.assertEqual(status, 404)
        status, _, _ = web.curl("/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                                "&contentType=application/dicom" % (STUDY, SERIES_A, rejected[0]))
        self.assertEqual(status, 404)
        status, _, _ = web.curl("/dicom-web/studies/%s/series/%s/instances/%s" % (
            STUDY, SERIES_B, kept[0]))
        self.assertEqual(status, 200)
        meta = web.json("/dicom-web/studies/%s/metadata" % STUDY)
        self.assertEqual(sorted(i["00080018"]["Value"][0] for i in meta), left)

        # C-GET and C-MOVE.
        self.assertEqual(self.getscu(s, "STUDY", ["StudyInstanceUID=" + STUDY]), left)
        self.assertEqual(self.getscu(s, "SERIES", ["StudyInstanceUID=" + STUDY,
                                                   "SeriesInstanceUID=" + SERIES_A]), [])
        p, responses = vt.movescu(s.port, ["StudyInstanceUID=" + STUDY], "DEST")
        self.assertEqual(responses[-1]["completed"], 4, p.stdout)
        moved = sorted(str(pydicom.dcmread(f).SOPInstanceUID) for f in scp.files())
        self.assertEqual(moved, left)

        # Sent again: refused (Not Authorized), and still hidden.
        p = s.storescu([files[rejected[0]]], extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), [REFUSED], p.stdout + p.stderr)
        self.assertEqual(self.visible_images(s), left)

        # The note sent again records nothing twice.
        self.assertEqual(len(self.store(s, [note])), 1)
        with open(os.path.join(s.basedir, "REJECTED", STUDY)) as f:
            self.assertEqual(sorted(line.split()[2] for line in f), rejected)

        # Purge: -n lists, the run removes the files, the check is clean.
        base = s.basedir
        p = vt.run([STOREINDEX, "purge-rejected", "-n", base], env=s.env)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(len(p.stdout.splitlines()), 3, p.stdout)
        for sop in rejected:
            self.assertTrue(os.path.exists(vt.uid_path(base, STUDY, SERIES_A, sop)))
        p = vt.run([STOREINDEX, "purge-rejected", base], env=s.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(sorted(line.split()[3] for line in p.stdout.splitlines()), rejected)
        for sop in rejected:
            self.assertFalse(os.path.exists(vt.uid_path(base, STUDY, SERIES_A, sop)))
        self.assertFalse(os.path.exists(vt.uid_path(base, STUDY, SERIES_A)))
        p = vt.run([STOREINDEX, "check", base], env=s.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.visible_images(s), left)
        # Still refused after the purge.
        p = s.storescu([files[rejected[1]]], extra=["-v"])
        self.assertNotEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertFalse(os.path.exists(vt.uid_path(base, STUDY, SERIES_A, rejected[1])))

    def test_page_rejects_protects_and_purges(self):
        s = self.server()
        self.images(s)
        web = Web(s)
        self.addCleanup(web.stop)
        post = ["-X", "POST", "-H", "Content-Type: application/json", "--data-binary"]
        status, _, body = web.curl("/reject", post + [json.dumps(
            {"study": STUDY, "series": SERIES_A, "reason": "113037"})])
        self.assertEqual(status, 200, body)
        answer = json.loads(body)
        self.assertEqual(answer["rejected"], 3)
        note_uid = answer["note"]
        kept = ["%s.%d" % (SERIES_B, i) for i in (1, 2)]
        self.assertEqual(self.visible_images(s), sorted(kept + [note_uid]))
        # The archive's note: a Key Object Selection document that DCMTK's
        # SR reader takes, titled as asked, naming the three images.
        rows = self.find(s, "IMAGE", ["StudyInstanceUID=" + STUDY, "SeriesInstanceUID=",
                                      "SOPInstanceUID=" + note_uid])
        path = vt.uid_path(s.basedir, STUDY, str(rows[0].SeriesInstanceUID), note_uid)
        p = vt.run(["dsrdump", path])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertNotIn("E:", p.stderr)
        self.assertIn("Rejected for Patient Safety Reasons", p.stdout)
        note = pydicom.dcmread(path)
        self.assertEqual(note.SOPClassUID, KOS)
        self.assertEqual(note.PatientID, "PID1")
        refs = note.CurrentRequestedProcedureEvidenceSequence[0].ReferencedSeriesSequence[0]
        self.assertEqual(sorted(str(r.ReferencedSOPInstanceUID)
                                for r in refs.ReferencedSOPSequence),
                         ["%s.%d" % (SERIES_A, i) for i in (1, 2, 3)])
        # Nothing left to reject in that series.
        status, _, _ = web.curl("/reject", post + [json.dumps(
            {"study": STUDY, "series": SERIES_A, "reason": "113001"})])
        self.assertEqual(status, 404)
        status, _, _ = web.curl("/reject", post + [json.dumps(
            {"study": STUDY, "reason": "999999"})])
        self.assertEqual(status, 400)

        # Protection from the page: set, listed, shown on the study's row.
        status, _, body = web.curl("/protect", post + [json.dumps({"study": STUDY, "on": "1"})])
        self.assertEqual((status, json.loads(body)), (200, {"protected": True}))
        self.assertEqual(web.json("/protect"), {"studies": [STUDY], "patients": []})
        status, _, page = web.curl("/")
        self.assertIn(b'class="protect" data-protected="1"', page)
        self.assertIn(b"Protected</span>", page)
        self.assertIn(b'data-patient="PID1" data-protected="0">Protect patient', page)
        status, _, body = web.curl("/protect", post + [json.dumps({"patient": "PID1", "on": "1"})])
        self.assertEqual(status, 200, body)
        status, _, page = web.curl("/")
        self.assertIn(b'data-patient="PID1" data-protected="1">Unprotect patient', page)
        self.assertIn(b"Protected (patient)</span>", page)
        status, _, body = web.curl("/protect", post + [json.dumps({"patient": "PID1", "on": "0"})])
        self.assertEqual(status, 200, body)
        with open(os.path.join(s.basedir, "PROTECTED")) as f:
            self.assertEqual(f.read(), "study %s\n" % STUDY)

        # Purge from the page: the files go, the check is clean.
        status, _, body = web.curl("/purge-rejected", post + ["{}"])
        self.assertEqual((status, json.loads(body)), (200, {"purged": 3}))
        self.assertFalse(os.path.exists(vt.uid_path(s.basedir, STUDY, SERIES_A)))
        p = vt.run([STOREINDEX, "check", s.basedir], env=s.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_note_by_stow_rs(self):
        s = self.server()
        self.images(s)
        web = Web(s)
        self.addCleanup(web.stop)
        note = make_note(os.path.join(s.tmp, "note.dcm"), STUDY + ".9.1",
                         [(SERIES_B, SERIES_B + ".2")], title=("113039", "Data Retention Policy Expired"))
        body = os.path.join(s.tmp, "stow-body")
        with open(body, "wb") as f, open(note, "rb") as n:
            f.write(b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + n.read() +
                    b"\r\n--XyZ--\r\n")
        status, _, answer = web.curl("/dicom-web/studies", [
            "-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
            "boundary=XyZ", "--data-binary", "@" + body])
        self.assertEqual(status, 200, answer)
        self.assertNotIn(SERIES_B + ".2", self.visible_images(s))
        self.assertIn(SERIES_B + ".1", self.visible_images(s))
        self.assertIn(STUDY + ".9.1", self.visible_images(s))

    def test_site_accepts_a_rejected_image_again(self):
        s = self.server(start=False)
        with open(os.path.join(s.etc, "Rejection"), "w") as f:
            f.write("resend accept\n")
        s.start()
        files = self.images(s)
        rejected = SERIES_A + ".1"
        note = make_note(os.path.join(s.tmp, "note.dcm"), STUDY + ".9.1",
                         [(SERIES_A, rejected)], title=("113038", "Incorrect Modality Worklist Entry"))
        self.assertEqual(self.store(s, [note]), ["Success"])
        self.assertNotIn(rejected, self.visible_images(s))
        # Stored (kept: the file is still there) and visible again.
        statuses = self.store(s, [files[rejected]])
        self.assertEqual(len(statuses), 1)
        self.assertNotRegex(statuses[0], "Refused|Fail")
        self.assertIn(rejected, self.visible_images(s))


if __name__ == "__main__":
    vt.main()

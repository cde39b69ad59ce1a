"""Retrieving: dcmtk's movescu asks the server to send stored images to a
move destination, a real receiver (dcmtk's storescp, or a second server)
listening on a loopback port and entered in the AE title map. The tests read
the C-MOVE responses, what the destination received and the requests it saw."""

import os
import re
import shutil
import tempfile

import pydicom

import veltotest as vt
from veltotest import ServerTestCase, StoreSCP, make_dataset, movescu, pydicom_file, uid_path

STUDY = "1.2.826.20.1"
SERIES = "1.2.826.20.1.1"


def comparable(ds):
    """A data set's elements without group lengths and padding."""
    return {e.tag: e.value for e in ds if e.tag.element != 0 and e.tag != 0xFFFCFFFC}


def titles(log, which):
    """The calling or called AE titles of the associations in a storescp log."""
    return set(re.findall(r"^D: %s Application Name:\s*(\S+)$" % which, log, re.M))


class MoveTests(ServerTestCase):

    def setUp(self):
        super().setUp()
        self._peers = []
        self._tmp = tempfile.mkdtemp(prefix="velto-move-")

    def tearDown(self):
        for p in self._peers:
            p.stop()
        shutil.rmtree(self._tmp, ignore_errors=True)
        super().tearDown()

    def receiver(self, **kw):
        scp = StoreSCP(self._tmp, **kw)
        self._peers.append(scp)
        return scp

    def store_study(self, s, count, study=STUDY, series=SERIES):
        files = [make_dataset(os.path.join(s.tmp, "i%03d.dcm" % i), study, series,
                              "%s.%d" % (series, i + 1), extra={"InstanceNumber": str(i + 1)})
                 for i in range(count)]
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)
        return files

    def assert_counts(self, responses, final_status, completed=0, failed=0, warning=0):
        pending = [r for r in responses if not r["final"]]
        finals = [r for r in responses if r["final"]]
        self.assertEqual(len(finals), 1, responses)
        for r in pending:
            self.assertEqual(r["status"], 0xFF00)
        # Each pending response counts down what is left to do.
        total = completed + failed + warning
        self.assertEqual([r["remaining"] for r in pending],
                         list(range(total - 1, total - 1 - len(pending), -1)), responses)
        f = finals[0]
        self.assertEqual((f["status"], f["completed"], f["failed"], f["warning"]),
                         (final_status, completed, failed, warning), responses)
        return pending

    def test_study_move_sends_every_image(self):
        scp = self.receiver()
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 20)
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        self.assertEqual(p.returncode, 0, p.stdout[-3000:])
        pending = self.assert_counts(responses, 0x0000, completed=20)
        self.assertEqual([r["completed"] for r in pending], list(range(1, 21)))
        self.assertTrue(all(r["failed"] == 0 and r["warning"] == 0 for r in pending))
        received = scp.files()
        self.assertEqual(len(received), 20)
        for path in received:
            got = pydicom.dcmread(path)
            stored = pydicom.dcmread(uid_path(s.basedir, STUDY, SERIES, str(got.SOPInstanceUID)))
            self.assertEqual(comparable(got), comparable(stored))
        log = scp.log()
        # Every C-STORE names the requester and its C-MOVE's message id; the
        # sub-association calls the destination with the title by which the
        # requester called the server.
        self.assertEqual(len(re.findall(r"Move Originator AE Title\s*: REQ\s*$", log, re.M)), 20)
        self.assertEqual(len(re.findall(r"Move Originator ID\s*: 1\s*$", log, re.M)), 20)
        self.assertEqual(titles(log, "Calling"), {"ARCHIVE"})
        self.assertEqual(titles(log, "Called"), {scp.aetitle})

    def test_patient_root_and_the_requesters_titles(self):
        scp = self.receiver()
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 3)
        p, responses = movescu(s.port, ["PatientID=PID1", "StudyInstanceUID=" + STUDY],
                               scp.aetitle, model="-P", calling="VIEWER", called="ANOTHERNAME")
        self.assert_counts(responses, 0x0000, completed=3)
        log = scp.log()
        self.assertEqual(titles(log, "Calling"), {"ANOTHERNAME"})
        self.assertEqual(len(re.findall(r"Move Originator AE Title\s*: VIEWER\s*$", log, re.M)), 3)
        # A series-level move under the study root sends just that series.
        other = "1.2.826.20.1.2"
        s.storescu([make_dataset(os.path.join(s.tmp, "o.dcm"), STUDY, other, other + ".1")])
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY, "SeriesInstanceUID=" + other],
                               scp.aetitle, level="SERIES")
        self.assert_counts(responses, 0x0000, completed=1)
        self.assertEqual(len(scp.files()), 4)

    def test_identifier_without_its_unique_key_is_refused(self):
        # Regression: a move the query engine could not answer at all ended
        # with success and sent nothing. A study-level identifier without a
        # study UID selects nothing a retrieve can name: 0xA900, no
        # sub-operations.
        scp = self.receiver()
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 2)
        _, responses = movescu(s.port, ["PatientID=PID1"], scp.aetitle)
        self.assertEqual([(r["status"], r["final"]) for r in responses], [(0xA900, True)])
        self.assertEqual(scp.files(), [])
        # A patient-level move sends every study of the patient.
        self.store_study(s, 1, study="1.2.826.20.2", series="1.2.826.20.2.1")
        _, responses = movescu(s.port, ["PatientID=PID1"], scp.aetitle, model="-P",
                               level="PATIENT")
        self.assert_counts(responses, 0x0000, completed=3)
        self.assertEqual(len(scp.files()), 3)
        # A request that matches nothing is a success with no sub-operations.
        _, responses = movescu(s.port, ["StudyInstanceUID=1.2.3.4.5.6"], scp.aetitle)
        self.assert_counts(responses, 0x0000)

    def test_cancel_stops_the_move_and_releases_the_destination(self):
        scp = self.receiver()
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 40)
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle,
                               extra=["--cancel", "2"])
        final = [r for r in responses if r["final"]]
        self.assertEqual([r["status"] for r in final], [0xFE00], p.stdout[-3000:])
        self.assertLess(len(scp.files()), 40)
        # The sub-association is released at the cancel, not dropped when
        # the worker ends.
        vt.wait_for(lambda: "Association Release" in scp.log(), timeout=10,
                    what="the sub-association's release")
        self.assertNotIn("Aborted", scp.log())

    def test_unknown_destination_is_refused(self):
        # Regression: every image was counted failed (0xB000); the standard
        # answer is 0xA801 without sub-operations.
        s = self.server(aetmap="")
        self.store_study(s, 3)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "NOWHERE")
        self.assertEqual([(r["status"], r["final"]) for r in responses], [(0xA801, True)])
        self.assertEqual((responses[0]["completed"], responses[0]["failed"]), (0, 0))
        s.wait_log("Cannot resolve AETitle NOWHERE to Presentation Address")

    def test_refusing_destination_counts_every_image_failed(self):
        scp = self.receiver(extra=["--refuse"])
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 3)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        # Every sub-operation failed: a refusal (0xA702), not the warning
        # 0xB000 of a retrieve that delivered some of its images.
        pending = self.assert_counts(responses, 0xA702, failed=3)
        self.assertEqual([r["failed"] for r in pending], [1, 2, 3])
        self.assertEqual(scp.files(), [])

    def test_warning_status_from_destination(self):
        # The destination is a second archive called "VeltoPreserve" that
        # already holds the second image, so it answers that one 0xB006.
        dest = self.server(aetitle="DESTARCH")
        files = self.store_study(dest, 3)
        for path in (files[0], files[2]):
            os.unlink(uid_path(dest.basedir, STUDY, SERIES, str(pydicom.dcmread(path).SOPInstanceUID)))
        line = "Dest\tVeltoPreserve\t127.0.0.1:%d\tFMS\n" % dest.port
        s = self.server(aetmap=line)
        self.store_study(s, 3)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "VeltoPreserve")
        pending = self.assert_counts(responses, 0xB000, completed=2, warning=1)
        self.assertEqual([(r["completed"], r["warning"]) for r in pending], [(1, 0), (1, 1), (2, 1)])
        s.wait_log("Got warning in MOVE/STORE:")

    def test_unreadable_image_counts_failed(self):
        # Regression: an image whose file could not be loaded was counted in
        # no counter, so a move that sent nothing for it ended with success.
        scp = self.receiver()
        s = self.server(aetmap=scp.map_line())
        self.store_study(s, 3)
        os.unlink(uid_path(s.basedir, STUDY, SERIES, SERIES + ".2"))
        with open(uid_path(s.basedir, STUDY, SERIES, SERIES + ".3"), "wb") as f:
            f.write(b"not a DICOM file")
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        self.assert_counts(responses, 0xB000, completed=1, failed=2)
        self.assertEqual(len(scp.files()), 1)
        s.wait_log("MOVE/STORE:Cannot load dicom file")

    def test_compressed_image_goes_in_its_own_syntax(self):
        # The sub-association proposes the RLE image's class in RLE alone
        # beside the uncompressed syntaxes; storescp +xa takes RLE, so the
        # image arrives as stored, over one association.
        scp = self.receiver(extra=["+xa"])
        s = self.server(aetmap=scp.map_line())
        src = pydicom_file("MR_small_RLE.dcm")
        p = s.storescu([src], extra=["-xr", "-R"])
        self.assertEqual(p.returncode, 0, p.stderr)
        orig = pydicom.dcmread(src)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + str(orig.StudyInstanceUID)],
                               scp.aetitle)
        self.assert_counts(responses, 0x0000, completed=1)
        got = pydicom.dcmread(scp.files()[0])
        self.assertEqual(got.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.5")
        self.assertEqual(got.PixelData, orig.PixelData)
        vt.wait_for(lambda: "Association Release" in scp.log(), timeout=10,
                    what="the sub-association's release")
        self.assertEqual(scp.log().count("BEGIN A-ASSOCIATE-RQ"), 1)


if __name__ == "__main__":
    vt.main()

"""C-GET: dcmtk's getscu and odil get retrieve studies, series and single
images over their own association (the server sends the C-STOREs back on
the storage contexts they proposed with the SCP role); a cancelled C-GET
stops and leaves the association usable; study-level C-FIND answers SOP
Classes in Study, which odil asks for before its C-GET."""

import os
import re
import tempfile

import pydicom

import veltotest as vt
from srvlib import ASSOC_CLIENT
from veltotest import ServerTestCase, make_dataset, pydicom_file

STUDY = "1.2.826.40.1"
SERIES = ("1.2.826.40.1.1", "1.2.826.40.1.2")
PLAIN = ("1.2.840.10008.1.2.1", "1.2.840.10008.1.2")


def comparable(ds):
    """A data set's elements without group lengths and padding."""
    return {e.tag: e.value for e in ds if e.tag.element != 0 and e.tag != 0xFFFCFFFC}


class GetTests(ServerTestCase):

    def store(self, s):
        """Three plain images and a JPEG one in the first series, two in
        the second; returns {SOP instance UID: file}."""
        files = {}
        for n, series in ((3, SERIES[0]), (2, SERIES[1])):
            for i in range(n):
                uid = "%s.%d" % (series, i + 1)
                files[uid] = make_dataset(os.path.join(s.tmp, uid + ".dcm"), STUDY, series, uid)
        self.assertEqual(s.storescu(list(files.values())).returncode, 0)
        jpeg = pydicom.dcmread(pydicom_file("SC_rgb_jpeg_dcmtk.dcm"))
        uid = SERIES[0] + ".9"
        jpeg.StudyInstanceUID, jpeg.SeriesInstanceUID, jpeg.PatientID = STUDY, SERIES[0], "PID1"
        jpeg.SOPInstanceUID = jpeg.file_meta.MediaStorageSOPInstanceUID = uid
        files[uid] = os.path.join(s.tmp, "jpeg.dcm")
        jpeg.save_as(files[uid])
        self.assertEqual(s.storescu([files[uid]], extra=["-xy"]).returncode, 0)
        return files

    def getscu(self, s, level, keys, model="-S"):
        out = tempfile.mkdtemp(dir=s.tmp)
        cmd = ["getscu", "-v", model, "-aec", s.aetitle, "-od", out,
               "-k", "QueryRetrieveLevel=" + level]
        for k in keys:
            cmd += ["-k", k]
        p = vt.run(cmd + ["127.0.0.1", str(s.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        final = re.findall(r"Received C-GET Response \((\w+)\)", p.stdout + p.stderr)[-1]
        completed = int(re.findall(r"Number of Completed Suboperations : (\d+)",
                                   p.stdout + p.stderr)[-1])
        got = {}
        for name in os.listdir(out):
            ds = pydicom.dcmread(os.path.join(out, name))
            got[str(ds.SOPInstanceUID)] = ds
        return final, completed, got

    def test_getscu_study_series_image_and_patient(self):
        s = self.server()
        files = self.store(s)
        final, completed, got = self.getscu(s, "STUDY", ["StudyInstanceUID=" + STUDY])
        self.assertEqual((final, completed, sorted(got)), ("Success", 6, sorted(files)))
        for uid, ds in got.items():
            if not uid.endswith(".9"):
                self.assertEqual(comparable(ds), comparable(pydicom.dcmread(files[uid])))
        # getscu takes uncompressed images only: the JPEG one is decoded.
        self.assertIn(got[SERIES[0] + ".9"].file_meta.TransferSyntaxUID, PLAIN)
        self.assertEqual(len(got[SERIES[0] + ".9"].PixelData), 100 * 100 * 3)

        final, completed, got = self.getscu(s, "SERIES", ["StudyInstanceUID=" + STUDY,
                                                          "SeriesInstanceUID=" + SERIES[1]])
        self.assertEqual((final, completed, sorted(got)),
                         ("Success", 2, [SERIES[1] + ".1", SERIES[1] + ".2"]))
        final, completed, got = self.getscu(s, "IMAGE", ["StudyInstanceUID=" + STUDY,
                                                         "SeriesInstanceUID=" + SERIES[0],
                                                         "SOPInstanceUID=" + SERIES[0] + ".2"])
        self.assertEqual((final, completed, sorted(got)), ("Success", 1, [SERIES[0] + ".2"]))
        final, completed, got = self.getscu(s, "PATIENT", ["PatientID=PID1"], model="-P")
        self.assertEqual((final, completed, len(got)), ("Success", 6, 6))
        s.wait_log("C-Get GETSCU->ARCHIVE")

    def test_odil_get_and_sop_classes_in_study(self):
        s = self.server()
        files = self.store(s)
        # odil asks for the study's SOP classes first, then proposes those.
        _, found = s.findscu(["StudyInstanceUID=" + STUDY, "SOPClassesInStudy"])
        self.assertEqual(len(found), 1)
        self.assertEqual(found[0].SOPClassesInStudy, "1.2.840.10008.5.1.4.1.1.7")
        for keys, want in ((["QueryRetrieveLevel=STUDY", "StudyInstanceUID=" + STUDY],
                            sorted(files)),
                           (["QueryRetrieveLevel=SERIES", "StudyInstanceUID=" + STUDY,
                             "SeriesInstanceUID=" + SERIES[1]],
                            [SERIES[1] + ".1", SERIES[1] + ".2"]),
                           (["QueryRetrieveLevel=IMAGE", "StudyInstanceUID=" + STUDY,
                             "SeriesInstanceUID=" + SERIES[0], "SOPInstanceUID=" + SERIES[0] + ".3"],
                            [SERIES[0] + ".3"])):
            out = tempfile.mkdtemp(dir=s.tmp)
            p = vt.run(["odil", "get", "-d", out, "127.0.0.1", str(s.port), "ODIL", s.aetitle,
                        "study"] + keys)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            self.assertIn("Completed: %d, remaining: 0, failed: 0" % len(want), p.stdout)
            got = sorted(str(pydicom.dcmread(os.path.join(out, n)).SOPInstanceUID)
                         for n in os.listdir(out))
            self.assertEqual(got, want)

    def test_cancelled_get_stops_and_the_association_goes_on(self):
        s = self.server()
        files = [make_dataset(os.path.join(s.tmp, "c%d.dcm" % i), STUDY, SERIES[0],
                              "%s.%d" % (SERIES[0], i + 1)) for i in range(20)]
        self.assertEqual(s.storescu(files).returncode, 0)
        p = vt.run([ASSOC_CLIENT, "127.0.0.1:%d" % s.port, "CANCELLER", s.aetitle, "getcancel",
                    STUDY])
        lines = p.stdout.splitlines()
        self.assertEqual(lines[0], "ASSOCIATED")
        # The cancel follows the second image; the server may have sent one
        # more before it saw it, never the rest.
        stored = int(lines[1].split()[1])
        self.assertIn(stored, (2, 3), lines)
        self.assertEqual(lines[2:], ["GET 0xfe00 completed %d failed 0" % stored, "ECHO OK",
                                     "RELEASED"])

    def test_failed_only_sub_operation_and_release(self):
        # A JPEG 2000 image cut short, which no decoder decodes, asked for
        # with the uncompressed syntaxes only: its one sub-operation fails. DCMTK's
        # getscu never reads the identifier of a C-GET response, so the
        # final response carries none for it, and its release succeeds (the
        # identifier's P-DATA used to meet the release). odil reads the
        # identifier and gets it.
        s = self.server()
        study, series = "1.2.826.40.9", "1.2.826.40.9.1"
        path = vt.cut_j2k(os.path.join(s.tmp, "j2k.dcm"), study, series, series + ".1")
        self.assertEqual(s.storescu([path], extra=["-xv"]).returncode, 0)
        out = tempfile.mkdtemp(dir=s.tmp)
        p = vt.run(["getscu", "-v", "-S", "-aec", s.aetitle, "-od", out, "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study, "127.0.0.1",
                    str(s.port)])
        text = p.stdout + p.stderr
        self.assertEqual(p.returncode, 0, text)
        # Its only sub-operation failed: refused (0xA702), not a warning.
        self.assertIn("Refused: OutOfResourcesSubOperations", text)
        self.assertIn("Number of Failed Suboperations    : 1", text)
        self.assertIn("Releasing Association", text)
        self.assertNotIn("Release Failed", text)
        self.assertNotIn("Aborting", text)
        self.assertEqual(os.listdir(out), [])
        s.wait_log("MOVE/STORE:Cannot decode")
        s.wait_log("EOF GETSCU->ARCHIVE")

        p = vt.run(["odil", "get", "-d", out, "127.0.0.1", str(s.port), "ODIL", s.aetitle,
                    "study", "QueryRetrieveLevel=STUDY", "StudyInstanceUID=" + study])
        self.assertIn("failed: 1", p.stdout + p.stderr)


if __name__ == "__main__":
    vt.main()

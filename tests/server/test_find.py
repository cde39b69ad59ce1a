"""Queries: dcmtk's findscu and odil's find drive the server's C-FIND at
study, series and image level under the patient and the study root; the
tests compare every returned identifier with the stored data."""

import os
import re
import threading
import time

import pydicom

import veltotest as vt
from veltotest import ServerTestCase, make_dataset, pydicom_file

STUDIES = [
    # study UID, patient name, patient id, study date, accession, description
    ("1.2.826.10.1", "DOE^JOHN", "PID1", "20240101", "ACC1", "HEAD"),
    ("1.2.826.10.2", "DOE^JANE", "PID2", "20240202", "ACC2", "CHEST"),
    ("1.2.826.10.3", "ROE^RICHARD", "PID3", "20240303", "ACC3", "KNEE"),
]


def final_status(output):
    """The final C-FIND status text of findscu -v output."""
    m = re.findall(r"Received Final Find Response \(([^)]*)\)", output)
    return m[-1] if m else None


class FindTests(ServerTestCase):

    def populate(self, s):
        """Three studies; the first has two series (CT with 2 images, MR with 1)."""
        files = []
        for n, (study, name, pid, date, acc, desc) in enumerate(STUDIES):
            series = [(study + ".1", "CT", 2)] + ([(study + ".2", "MR", 1)] if n == 0 else [])
            for sn, (ser, mod, count) in enumerate(series):
                for i in range(count):
                    files.append(make_dataset(
                        os.path.join(s.tmp, "%d_%d_%d.dcm" % (n, sn, i)), study, ser,
                        "%s.%d" % (ser, i + 1), patient_name=name, patient_id=pid,
                        study_date=date, accession=acc, modality=mod,
                        extra={"StudyDescription": desc, "SeriesDescription": "S-" + mod,
                               "InstanceNumber": str(i + 1)}))
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)

    def test_study_level_both_roots(self):
        s = self.server()
        self.populate(s)
        keys = ["PatientName", "PatientID", "StudyDate", "AccessionNumber", "StudyDescription",
                "StudyInstanceUID", "ModalitiesInStudy"]
        for model in ("-S", "-P"):
            with self.subTest(model=model):
                p, found = s.findscu(keys, level="STUDY", model=model, extra=["-v"])
                self.assertEqual(final_status(p.stdout + p.stderr), "Success")
                got = sorted((str(d.StudyInstanceUID), str(d.PatientName), d.PatientID, d.StudyDate,
                              d.AccessionNumber, d.StudyDescription) for d in found)
                self.assertEqual(got, sorted(STUDIES))
                mods = {str(d.StudyInstanceUID): d.ModalitiesInStudy for d in found}
                self.assertEqual(list(mods["1.2.826.10.1"]), ["CT", "MR"])
                self.assertEqual(mods["1.2.826.10.2"], "CT")
                self.assertTrue(all(d.QueryRetrieveLevel == "STUDY" for d in found))
                # Most recently added study first.
                self.assertEqual([str(d.StudyInstanceUID) for d in found],
                                 [u for u, *_ in reversed(STUDIES)])
        # Selective keys: a name prefix, a date range, an exact UID.
        _, found = s.findscu(["PatientName=DOE*", "StudyInstanceUID"])
        self.assertEqual(sorted(str(d.StudyInstanceUID) for d in found), ["1.2.826.10.1", "1.2.826.10.2"])
        _, found = s.findscu(["StudyDate=20240201-20240331", "StudyInstanceUID"])
        self.assertEqual(sorted(str(d.StudyInstanceUID) for d in found), ["1.2.826.10.2", "1.2.826.10.3"])
        _, found = s.findscu(["StudyInstanceUID=1.2.826.10.3", "PatientName"])
        self.assertEqual([str(d.PatientName) for d in found], ["ROE^RICHARD"])
        # A patient-level query is answered like a study query.
        _, found = s.findscu(["PatientID=PID2", "PatientName"], level="PATIENT", model="-P")
        self.assertEqual([(str(d.PatientName), d.QueryRetrieveLevel) for d in found],
                         [("DOE^JANE", "PATIENT")])

    def test_series_and_image_level(self):
        s = self.server()
        self.populate(s)
        study = "1.2.826.10.1"
        p, found = s.findscu(["StudyInstanceUID=" + study, "SeriesInstanceUID", "Modality",
                              "SeriesDescription"], level="SERIES", extra=["-v"])
        self.assertEqual(final_status(p.stdout + p.stderr), "Success")
        self.assertEqual([(str(d.SeriesInstanceUID), d.Modality, d.SeriesDescription) for d in found],
                         [(study + ".1", "CT", "S-CT"), (study + ".2", "MR", "S-MR")])
        _, found = s.findscu(["StudyInstanceUID=" + study, "SeriesInstanceUID=" + study + ".2",
                              "Modality"], level="SERIES")
        self.assertEqual([d.Modality for d in found], ["MR"])
        # All images of a study, series in series-index order.
        _, found = s.findscu(["StudyInstanceUID=" + study, "SeriesInstanceUID", "SOPInstanceUID",
                              "InstanceNumber"], level="IMAGE")
        self.assertEqual([(str(d.SOPInstanceUID), str(d.InstanceNumber)) for d in found],
                         [(study + ".1.1", "1"), (study + ".1.2", "2"), (study + ".2.1", "1")])
        # One image by its UID, under the patient root.
        _, found = s.findscu(["StudyInstanceUID=" + study, "SeriesInstanceUID=" + study + ".1",
                              "SOPInstanceUID=" + study + ".1.2", "InstanceNumber"],
                             level="IMAGE", model="-P")
        self.assertEqual([str(d.InstanceNumber) for d in found], ["2"])

    def test_no_match_gets_one_success_response(self):
        s = self.server()
        self.populate(s)
        p, found = s.findscu(["PatientName=NOBODY*", "StudyInstanceUID"], extra=["-v"])
        self.assertEqual(found, [])
        out = p.stdout + p.stderr
        self.assertEqual(final_status(out), "Success")
        self.assertNotIn("Received Find Response", out)
        # An empty store answers the same way.
        empty = self.server()
        p, found = empty.findscu(["StudyInstanceUID"], extra=["-v"])
        self.assertEqual((found, final_status(p.stdout + p.stderr)), ([], "Success"))

    def test_charset_name_returned_in_utf8(self):
        s = self.server()
        # Every sample of pydicom's that holds a patient name.
        names = [n for n in sorted(os.listdir(vt.PYDICOM_CHARSETS)) if n.endswith(".dcm")
                 and "PatientName" in pydicom.dcmread(os.path.join(vt.PYDICOM_CHARSETS, n))]
        self.assertGreaterEqual(len(names), 15)
        # And a Chinese name in GB 2312 through its escape sequence (ISO 2022
        # IR 58), written byte for byte in place of a stand-in of its length.
        raw = b"Wang^XiaoDong=\x1b$)A\xcd\xf5^\x1b$)A\xd0\xa1\xb6\xab "
        gb = make_dataset(os.path.join(s.tmp, "ir58.dcm"), "1.2.826.12.58", "1.2.826.12.58.1",
                          "1.2.826.12.58.1.1", patient_name="X" * len(raw),
                          extra={"SpecificCharacterSet": ["", "ISO 2022 IR 58"]})
        with open(gb, "rb") as f:
            data = f.read()
        with open(gb, "wb") as f:
            f.write(data.replace(b"X" * len(raw), raw))
        p = s.storescu([pydicom_file(n) for n in names] + [gb])
        self.assertEqual(p.returncode, 0, p.stderr)
        for name in names:
            with self.subTest(sample=name):
                orig = pydicom.dcmread(pydicom_file(name))
                _, found = s.findscu(["StudyInstanceUID=" + orig.StudyInstanceUID, "PatientName"])
                self.assertEqual(len(found), 1)
                d = found[0]
                self.assertEqual(str(d.PatientName), str(orig.PatientName))
                if any(b >= 0x80 for b in d.PatientName.original_string):
                    self.assertEqual(d.SpecificCharacterSet, "ISO_IR 192")
        _, found = s.findscu(["StudyInstanceUID=1.2.826.12.58", "PatientName"])
        self.assertEqual([str(d.PatientName) for d in found], ["Wang^XiaoDong=王^小东"])
        self.assertEqual(found[0].SpecificCharacterSet, "ISO_IR 192")
        # A name matched in its ideographic group.
        _, found = s.findscu(["PatientName=王*", "StudyInstanceUID", "SpecificCharacterSet=ISO_IR 192"])
        self.assertIn("1.2.826.12.58", [str(d.StudyInstanceUID) for d in found])
        self.assertNotIn("Unknown ESC", s.log())

    def test_charset_option_labels_every_identifier(self):
        s = self.server(args=["-E", "ISO_IR 100"])
        self.populate(s)
        s.storescu([pydicom_file("chrX1.dcm")])
        _, found = s.findscu(["PatientName", "StudyInstanceUID"])
        self.assertEqual(len(found), 4)
        labels = {str(d.StudyInstanceUID): d.SpecificCharacterSet for d in found}
        for study, *_ in STUDIES:
            self.assertEqual(labels[study], "ISO_IR 100")
        # Regression: -E used to relabel identifiers that hold UTF-8 bytes,
        # so a client decoded the name in the wrong character set.
        chr_uid = pydicom.dcmread(pydicom_file("chrX1.dcm")).StudyInstanceUID
        self.assertEqual(labels[chr_uid], "ISO_IR 192")
        name = [str(d.PatientName) for d in found if str(d.StudyInstanceUID) == chr_uid]
        self.assertEqual(name, ["Wang^XiaoDong=王^小東"])
        _, found = s.findscu(["StudyInstanceUID=1.2.826.10.1", "SeriesInstanceUID"], level="SERIES")
        self.assertEqual([d.SpecificCharacterSet for d in found], ["ISO_IR 100"] * 2)
        plain = self.server()
        self.populate(plain)
        _, found = plain.findscu(["PatientName", "StudyInstanceUID"])
        self.assertTrue(all("SpecificCharacterSet" not in d for d in found))

    def test_odil_find(self):
        s = self.server()
        self.populate(s)
        p = vt.run(["odil", "find", "127.0.0.1", str(s.port), "ODIL", s.aetitle, "study",
                    "QueryRetrieveLevel=STUDY", "PatientName=DOE^JANE", "StudyInstanceUID",
                    "AccessionNumber"])
        self.assertEqual(p.returncode, 0, p.stderr)
        out = p.stdout + p.stderr
        self.assertIn("1.2.826.10.2", out)
        self.assertIn("ACC2", out)
        self.assertNotIn("1.2.826.10.1", out)
        self.assertNotIn("1.2.826.10.3", out)

    def test_query_during_concurrent_stores_sees_whole_records(self):
        s = self.server()
        count = 150
        files = [make_dataset(os.path.join(s.tmp, "c%d.dcm" % i), "1.2.826.11.%d" % i,
                              "1.2.826.11.%d.1" % i, "1.2.826.11.%d.1.1" % i,
                              patient_name="PAT^N%04d" % i, patient_id="ID%04d" % i,
                              accession="A%04d" % i, pixels=8,
                              extra={"StudyDescription": "DESC %04d" % i})
                 for i in range(count)]
        # Seed a few so the first queries already see records.
        s.storescu(files[:5])
        done = threading.Event()

        def store():
            try:
                for i in range(5, count, 10):
                    s.storescu(files[i:i + 10])
            finally:
                done.set()
        t = threading.Thread(target=store)
        t.start()
        checked = 0
        try:
            while not done.is_set() or checked == 0:
                _, found = s.findscu(["PatientName", "PatientID", "AccessionNumber",
                                      "StudyDescription", "StudyInstanceUID"])
                for d in found:
                    n = int(str(d.StudyInstanceUID).rsplit(".", 1)[1])
                    self.assertEqual((str(d.PatientName), d.PatientID, d.AccessionNumber,
                                      d.StudyDescription),
                                     ("PAT^N%04d" % n, "ID%04d" % n, "A%04d" % n, "DESC %04d" % n))
                    checked += 1
        finally:
            t.join()
        _, found = s.findscu(["StudyInstanceUID"])
        self.assertEqual(len(found), count)
        self.assertGreater(checked, 0)


if __name__ == "__main__":
    vt.main()

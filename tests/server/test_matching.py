"""Query matching as DICOM defines it, driven by dcmtk's findscu against
generated studies: wildcards anywhere, UID lists at every level, whole-value
comparison, case-sensitive patient IDs, one answer per patient, undated
studies, time ranges, Modalities in Study, series and image keys, and the
counts of related studies, series and instances, SOP Classes in Study.
One table of queries and the answers each must give; a C-CANCEL sent after the first answer of a
10,000-study listing."""

import os
import re
import struct
import unittest.mock
import zlib

import veltotest as vt
from veltotest import ServerTestCase, make_dataset

CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2"
SC_IMAGE = "1.2.840.10008.5.1.4.1.1.7"
MR_IMAGE = "1.2.840.10008.5.1.4.1.1.4"
UID64 = "1.2.826.40." + "9" * 53
assert len(UID64) == 64

# Studies: key, study UID, patient name, patient ID, date, time, and the
# series: (series UID suffix, modality, series number, description, images
# as (instance number, SOP class)).
STUDIES = [
    ("s1", "1.2.826.40.1", "SMITH^JOHN", "P001", "20200315", "093000",
     [(".1", "CT", "1", "AXIAL", [(1, CT_IMAGE), (2, CT_IMAGE)]),
      (".2", "MR", "2", "T1 SAG", [(1, MR_IMAGE)])]),
    ("s2", "1.2.826.40.2", "SMITH^JOHN", "P001", "20210101", "143000",
     [(".1", "CT", "1", "AXIAL", [(1, CT_IMAGE)])]),
    ("s3", "1.2.826.40.3", "SMITH^JOHN", "P001", "20220202", "110000",
     [(".1", "SEG", "1", "LIVER", [(1, SC_IMAGE)])]),
    ("s4", "1.2.826.40.4", "SMYTH^JANE", "p001", "20200315", "200000",
     [(".1", "CT", "1", "AXIAL", [(1, CT_IMAGE)])]),
    ("s5", "1.2.826.40.5", "DOE^JANE", "P002", None, "100000",
     [(".1", "US", "1", "ABDOMEN", [(1, SC_IMAGE)])]),
    ("s6", UID64, "ROE^RICHARD", "P003", "20230101", "080000",
     [(".1", "CT", "7", "CHEST", [(1, CT_IMAGE)])]),
]
UID = {key: uid for key, uid, *_ in STUDIES}
KEY = {uid: key for key, uid, *_ in STUDIES}

# (what, level, keys, attribute whose answers are compared, expected answers
# as a sorted list; study UIDs are given by their short names).
CASES = [
    # 1: "?" and inner "*".
    ("? stands for one character", "STUDY", ["PatientName=SM?TH^JOHN"], "StudyInstanceUID",
     ["s1", "s2", "s3"]),
    ("inner *", "STUDY", ["PatientName=S*H^J*"], "StudyInstanceUID", ["s1", "s2", "s3", "s4"]),
    ("* and ? together", "STUDY", ["PatientName=*O?^JANE"], "StudyInstanceUID", ["s5"]),
    ("names without case", "STUDY", ["PatientName=smith^john"], "StudyInstanceUID",
     ["s1", "s2", "s3"]),
    # 2: UID lists at every level.
    ("study UID list", "STUDY", ["StudyInstanceUID=1.2.826.40.2\\1.2.826.40.5"],
     "StudyInstanceUID", ["s2", "s5"]),
    ("study UID list, series level", "SERIES",
     ["StudyInstanceUID=1.2.826.40.2\\1.2.826.40.4", "SeriesInstanceUID"], "SeriesInstanceUID",
     ["1.2.826.40.2.1", "1.2.826.40.4.1"]),
    ("series UID list", "SERIES",
     ["StudyInstanceUID=1.2.826.40.1", "SeriesInstanceUID=1.2.826.40.1.2\\1.2.826.40.1.9"],
     "SeriesInstanceUID", ["1.2.826.40.1.2"]),
    ("series UID list, image level", "IMAGE",
     ["StudyInstanceUID=1.2.826.40.1", "SeriesInstanceUID=1.2.826.40.1.1\\1.2.826.40.1.2",
      "SOPInstanceUID"], "SOPInstanceUID",
     ["1.2.826.40.1.1.1", "1.2.826.40.1.1.2", "1.2.826.40.1.2.1"]),
    ("image UID list", "IMAGE",
     ["StudyInstanceUID=1.2.826.40.1", "SOPInstanceUID=1.2.826.40.1.1.2\\1.2.826.40.1.2.1"],
     "SOPInstanceUID", ["1.2.826.40.1.1.2", "1.2.826.40.1.2.1"]),
    # 3: series and image keys.
    ("series Modality", "SERIES", ["StudyInstanceUID=1.2.826.40.1", "Modality=CT"], "Modality",
     ["CT"]),
    ("series Modality of three letters", "SERIES", ["StudyInstanceUID=1.2.826.40.3",
                                                    "Modality=SEG"], "Modality", ["SEG"]),
    ("series number", "SERIES", ["StudyInstanceUID=1.2.826.40.1", "SeriesNumber=2"],
     "SeriesNumber", ["2"]),
    ("series description wildcard", "SERIES",
     ["StudyInstanceUID=1.2.826.40.1", "SeriesDescription=T1*", "SeriesInstanceUID"],
     "SeriesInstanceUID", ["1.2.826.40.1.2"]),
    ("instance number", "IMAGE", ["StudyInstanceUID=1.2.826.40.1", "InstanceNumber=2",
                                  "SOPInstanceUID"], "SOPInstanceUID", ["1.2.826.40.1.1.2"]),
    ("SOP class", "IMAGE", ["StudyInstanceUID=1.2.826.40.1", "SOPClassUID=" + MR_IMAGE,
                            "SOPInstanceUID"], "SOPInstanceUID", ["1.2.826.40.1.2.1"]),
    # 4: Modalities in Study.
    ("ModalitiesInStudy", "STUDY", ["ModalitiesInStudy=MR"], "StudyInstanceUID", ["s1"]),
    ("ModalitiesInStudy list", "STUDY", ["ModalitiesInStudy=US\\SEG"], "StudyInstanceUID",
     ["s3", "s5"]),
    ("ModalitiesInStudy answered whole", "STUDY",
     ["StudyInstanceUID=1.2.826.40.3", "ModalitiesInStudy"], "ModalitiesInStudy", ["SEG"]),
    # 5: patient IDs with case.
    ("patient ID P001", "STUDY", ["PatientID=P001"], "StudyInstanceUID", ["s1", "s2", "s3"]),
    ("patient ID p001", "STUDY", ["PatientID=p001"], "StudyInstanceUID", ["s4"]),
    # 6: one answer per patient.
    ("patient level, one patient", "PATIENT", ["PatientID=P001", "PatientName"], "PatientName",
     ["SMITH^JOHN"]),
    ("patient level, every patient", "PATIENT", ["PatientID"], "PatientID",
     ["P001", "P002", "P003", "p001"]),
    # 7: undated studies match no date.
    ("single date", "STUDY", ["StudyDate=20200315"], "StudyInstanceUID", ["s1", "s4"]),
    ("date range", "STUDY", ["StudyDate=20200101-20211231"], "StudyInstanceUID",
     ["s1", "s2", "s4"]),
    ("open date range", "STUDY", ["StudyDate=-20201231"], "StudyInstanceUID", ["s1", "s4"]),
    ("empty value", "STUDY", ['StudyDate=""'], "StudyInstanceUID", ["s5"]),
    # 8: study time.
    ("time range", "STUDY", ["StudyTime=0900-1200"], "StudyInstanceUID", ["s1", "s3", "s5"]),
    ("open time range", "STUDY", ["StudyTime=1400-"], "StudyInstanceUID", ["s2", "s4"]),
    # 10: whole values.
    ("65-character UID", "STUDY", ["StudyInstanceUID=" + UID64 + "1"], "StudyInstanceUID", []),
    ("64-character UID", "STUDY", ["StudyInstanceUID=" + UID64], "StudyInstanceUID", ["s6"]),
    ("list led by a 64-character UID", "STUDY",
     ["StudyInstanceUID=" + UID64 + "\\1.2.826.40.2"], "StudyInstanceUID", ["s2", "s6"]),
    # Counts.
    ("related series", "STUDY", ["StudyInstanceUID=1.2.826.40.1", "NumberOfStudyRelatedSeries"],
     "NumberOfStudyRelatedSeries", ["2"]),
    ("related instances", "STUDY",
     ["StudyInstanceUID=1.2.826.40.1", "NumberOfStudyRelatedInstances"],
     "NumberOfStudyRelatedInstances", ["3"]),
    ("patient related studies", "PATIENT", ["PatientID=P001", "NumberOfPatientRelatedStudies"],
     "NumberOfPatientRelatedStudies", ["3"]),
    ("patient related series", "PATIENT", ["PatientID=P001", "NumberOfPatientRelatedSeries"],
     "NumberOfPatientRelatedSeries", ["4"]),
    ("patient related instances", "PATIENT",
     ["PatientID=P001", "NumberOfPatientRelatedInstances"], "NumberOfPatientRelatedInstances",
     ["5"]),
    ("patient related counts of every patient", "PATIENT",
     ["PatientID", "NumberOfPatientRelatedStudies"], "NumberOfPatientRelatedStudies",
     ["1", "1", "1", "3"]),
    # SOP Classes in Study, read from the images, matched.
    ("SOP class in study", "STUDY", ["SOPClassesInStudy=" + MR_IMAGE], "StudyInstanceUID",
     ["s1"]),
    ("SOP classes in study, a list", "STUDY", ["SOPClassesInStudy=%s\\%s" % (SC_IMAGE, MR_IMAGE)],
     "StudyInstanceUID", ["s1", "s3", "s5"]),
    ("SOP classes in study answered", "STUDY",
     ["StudyInstanceUID=1.2.826.40.2", "SOPClassesInStudy"], "SOPClassesInStudy", [CT_IMAGE]),
    ("series related instances", "SERIES",
     ["StudyInstanceUID=1.2.826.40.1", "NumberOfSeriesRelatedInstances"],
     "NumberOfSeriesRelatedInstances", ["1", "2"]),
]


def text_bits(text):
    """The 32-bit letter summary of the study index."""
    bits = 0
    for b in text.encode():
        c = chr(b)
        if "a" <= c.lower() <= "z" and c.isascii():
            bits |= 1 << (ord(c.lower()) - ord("a") + 1)
        elif c.isdigit():
            bits |= 0x40000000
        elif c in "!(),-./:;[]{}":
            bits |= 0x20000000
    return bits


def write_study_index(basedir, count):
    """Writes a study index of count studies (no series), as the server
    writes it: 28-byte summaries and 512-byte records."""
    os.makedirs(os.path.join(basedir, "uid"), exist_ok=True)
    hashes, records = [], []
    for n in range(count):
        uid = "1.2.826.41.%d" % n
        name = "PAT^N%06d" % n
        date = "2020%02d%02d" % (n % 12 + 1, n % 28 + 1)
        hashes.append(struct.pack("<7I", text_bits(name), 0, 0, 0, int(date), 1,
                                  zlib.crc32(uid.encode())))
        rec = bytearray(512)
        for off, width, val in ((0, 64, uid), (64, 64, name), (128, 64, "ID%d" % n),
                                (384, 16, "CT"), (408, 8, date)):
            rec[off:off + len(val)] = val.encode()[:width]
        records.append(bytes(rec))
    with open(os.path.join(basedir, "uid", "STUDYINDEX.hash"), "wb") as f:
        f.write(b"".join(hashes))
    with open(os.path.join(basedir, "uid", "STUDYINDEX.dat"), "wb") as f:
        f.write(b"".join(records))


def final_status(output):
    m = re.findall(r"Received Final Find Response \(([^)]*)\)", output)
    return m[-1] if m else None


class MatchingTests(ServerTestCase):

    def populate(self, s):
        files = []
        for key, study, name, pid, date, time_, series in STUDIES:
            for suffix, modality, number, desc, images in series:
                for inst, sop_class in images:
                    sop = "%s%s.%d" % (study if len(study) < 60 else "1.2.826.40.6", suffix, inst)
                    files.append(make_dataset(
                        os.path.join(s.tmp, "%s%s_%d.dcm" % (key, suffix, inst)), study,
                        study + suffix if len(study) < 60 else "1.2.826.40.6" + suffix, sop,
                        patient_name=name, patient_id=pid, modality=modality,
                        study_date=date or "", study_time=time_, sop_class=sop_class,
                        extra={"SeriesNumber": number, "SeriesDescription": desc,
                               "InstanceNumber": str(inst),
                               "StudyDate": date if date else None}))
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)

    def test_matching_table(self):
        s = self.server()
        self.populate(s)
        for what, level, keys, attr, want in CASES:
            with self.subTest(what):
                model = "-P" if level == "PATIENT" else "-S"
                ask = keys if any(k.split("=")[0] == attr for k in keys) else keys + [attr]
                p, found = s.findscu(ask, level=level, model=model, extra=["-v"])
                self.assertEqual(final_status(p.stdout + p.stderr), "Success", p.stderr[-500:])
                got = sorted(KEY.get(str(d.get(attr, "")), str(d.get(attr, "")))
                             if attr == "StudyInstanceUID" else str(d.get(attr, ""))
                             for d in found)
                self.assertEqual(got, sorted(want))

    def test_key_digests_follow_the_study_files(self):
        # A study index written by another program: the server builds the
        # key digests of Patient ID and name at start.
        s = self.server(start=False)
        write_study_index(s.basedir, 200)
        s.start()
        # The listener builds them before it takes the first association.
        _, found = s.findscu(["PatientID=ID42", "StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], ["1.2.826.41.42"])
        self.assertIn("Rebuilding the key digests of 200 studies.", s.log())
        keys = os.path.join(s.basedir, "uid", "STUDYINDEX.keys")
        self.assertEqual(os.path.getsize(keys), 64 + 16 * 200)
        with open(keys, "rb") as f:
            self.assertEqual(f.read(8), b"VSTKEYS1")
        _, found = s.findscu(["PatientName=pat^n000042", "StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], ["1.2.826.41.42"])
        _, found = s.findscu(["PatientName=PAT^N00004*", "StudyInstanceUID"])
        self.assertEqual(sorted(str(d.StudyInstanceUID) for d in found),
                         ["1.2.826.41.%d" % n for n in range(40, 50)])

        # That program changes an ID in place (a later write: the file's
        # time moves): the digests are stale, never trusted.
        dat = os.path.join(s.basedir, "uid", "STUDYINDEX.dat")
        with open(dat, "r+b") as f:
            f.seek(42 * 512 + 128)
            f.write(b"NEWID".ljust(64, b"\0"))
        st = os.stat(dat)
        os.utime(dat, ns=(st.st_atime_ns, st.st_mtime_ns + 10 ** 9))
        _, found = s.findscu(["PatientID=NEWID", "StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], ["1.2.826.41.42"])
        _, found = s.findscu(["PatientID=ID42", "StudyInstanceUID"])
        self.assertEqual(found, [])

        # The write path keeps them: a new study and a merge that changes
        # the ID of a stored one are found by their IDs, and no rebuild
        # was needed for them.
        rebuilds = s.log().count("Rebuilding the key digests")
        files = [make_dataset(os.path.join(s.tmp, "k1.dcm"), "1.2.826.42.1", "1.2.826.42.1.1",
                              "1.2.826.42.1.1.1", patient_id="KEYS1", patient_name="KEY^ONE"),
                 make_dataset(os.path.join(s.tmp, "k2.dcm"), "1.2.826.41.7", "1.2.826.41.7.1",
                              "1.2.826.41.7.1.1", patient_id="KEYS7", patient_name="PAT^N000007")]
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)
        _, found = s.findscu(["PatientID=KEYS1", "StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], ["1.2.826.42.1"])
        _, found = s.findscu(["PatientID=KEYS7", "StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], ["1.2.826.41.7"])
        self.assertEqual(s.log().count("Rebuilding the key digests"), rebuilds)
        self.assertEqual(os.path.getsize(keys), 64 + 16 * 201)
        # storeindex check finds them consistent with the study files.
        p = vt.run([os.path.join(vt.BUILD, "storeindex", "storeindex"), "check", s.basedir])
        self.assertNotIn("STUDYINDEX.keys", p.stdout + p.stderr)

    def test_cancel_stops_a_long_listing(self):
        # With the system's socket buffers (megabytes on loopback) a server
        # could queue every answer before a client slowed by load sends its
        # cancel, and rightly end with success. Small buffers on both ends
        # (the toolkit's TCP_BUFFER_LENGTH) keep it at most a few hundred
        # answers ahead, so the cancel always meets a running listing.
        small = {"TCP_BUFFER_LENGTH": "16384"}
        s = self.server(start=False, env=small)
        write_study_index(s.basedir, 10000)
        s.start()
        with unittest.mock.patch.dict(os.environ, small):
            p, found = s.findscu(["StudyInstanceUID", "PatientName"],
                                 extra=["-v", "--cancel", "1"])
        out = p.stdout + p.stderr
        self.assertIn("Sending Cancel Request", out)
        self.assertEqual(final_status(out), "Cancel: MatchingTerminatedDueToCancelRequest")
        self.assertLess(len(found), 10000)
        # Without a cancel the whole listing comes, newest first.
        p, found = s.findscu(["StudyInstanceUID"])
        self.assertEqual(len(found), 10000)
        self.assertEqual(str(found[0].StudyInstanceUID), "1.2.826.41.9999")


if __name__ == "__main__":
    vt.main()

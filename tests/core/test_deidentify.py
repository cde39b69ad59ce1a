"""De-identification: storeindex deidentify (ZIP and a copy into the
archive) against images stored through a real storeserver, each output
scanned with pydicom.

The data sets carry every attribute of the profile's table (read from
core/deidentify.cc, where the table is data) with an identifying value,
in sequences too, and private attributes; the scan requires every one of
them removed, emptied or replaced, no marker left anywhere in the bytes,
the pixel data unchanged byte for byte, references between images kept
consistent, and pseudonyms and UIDs stable per patient and key."""

import io
import os
import re
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import veltotest as vt  # noqa: E402

import pydicom  # noqa: E402
from pydicom.dataset import Dataset  # noqa: E402
from pydicom.datadict import dictionary_VR  # noqa: E402
from pydicom.sequence import Sequence  # noqa: E402

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
SECRET_DATE = "19870605"
SECRET_TIME = "112233"


def profile_table():
    """(tag, action) of every row of the table in core/deidentify.cc."""
    with open(os.path.join(vt.SOURCE, "core", "deidentify.cc")) as f:
        text = f.read()
    rows = re.findall(r"\{0x([0-9A-F]{4}), 0x([0-9A-F]{4}), ACT_([A-Z]+), KEEP_([A-Z]+)\}", text)
    return [((int(g, 16) << 16) | int(e, 16), act, keep) for g, e, act, keep in rows]


def marker(n):
    return "SECRET%04d" % n


def fill_value(vr, n):
    """An identifying value of vr, unique to n where the VR allows."""
    if vr == "PN":
        return "SECRET^P%04d" % n
    if vr in ("LO", "SH", "LT", "ST", "UT", "UC", "CS", "AE"):
        return marker(n)
    if vr == "DA":
        return SECRET_DATE
    if vr == "TM":
        return SECRET_TIME
    if vr == "DT":
        return SECRET_DATE + SECRET_TIME
    if vr == "UI":
        return "1.2.826.0.1.3680043.9999.%d" % n
    if vr == "AS":
        return "045Y"
    if vr in ("IS", "US", "SS", "UL", "SL"):
        return 7
    if vr in ("DS", "FL", "FD"):
        return "7.5" if vr == "DS" else 7.5
    if vr in ("OB", "OW", "UN"):
        return b"SECRETBYTES%04d " % n
    return None


# Tags the test sets itself (UIDs, the patient) or cannot fill (meta,
# trailing padding, signatures).
SKIP = {0x00020003, 0x00041511, 0x00080018, 0x0020000D, 0x0020000E, 0x00100010, 0x00100020,
        0x00100021, 0xFFFAFFFA, 0xFFFCFFFC, 0x00200052}
REFERENCE_SEQUENCES = {0x00081140, 0x00082112, 0x00081110, 0x00081111}


def filled_dataset(path, study, series, instance, patient_id, patient_name, frame, ref=None,
                   modality="CT", burned=None, pixels=b""):
    vt.make_dataset(path, study, series, instance, patient_name=patient_name,
                    patient_id=patient_id, modality=modality, study_date=SECRET_DATE,
                    study_time=SECRET_TIME, sop_class="1.2.840.10008.5.1.4.1.1.2")
    ds = pydicom.dcmread(path)
    if pixels:
        ds.PixelData = pixels
    ds.FrameOfReferenceUID = frame
    ds.IssuerOfPatientID = "SECRETISSUER"
    n = 0
    for tag, act, keep in profile_table():
        n += 1
        if tag in SKIP or tag in ds:
            continue
        try:
            vr = dictionary_VR(tag)
        except KeyError:
            continue
        vr = vr.split(" or ")[0]
        if vr == "SQ":
            item = Dataset()
            if tag in REFERENCE_SEQUENCES and ref:
                item.ReferencedSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
                item.ReferencedSOPInstanceUID = ref
            # Identifying values inside the item: a name, an ID, a date,
            # and a private attribute.
            item.PersonName = "SECRET^SQ%04d" % n
            item.PatientID = "SECRETSQID%04d" % n
            item.PatientName = "SECRET^SQNAME%04d" % n
            item.StudyDate = SECRET_DATE
            item.add_new(0x00091010, "LO", "SECRETPRIVSQ%04d" % n)
            ds.add_new(tag, "SQ", Sequence([item]))
            continue
        v = fill_value(vr, n)
        if v is None:
            continue
        ds.add_new(tag, vr, v)
    # Overlay and curve groups, and private attributes with their creator.
    ds.add_new(0x60003000, "OW", b"SECRETOVERLAY000")
    ds.add_new(0x60004000, "LT", "SECRETOVERLAYCOMMENT")
    ds.add_new(0x00290010, "LO", "SECRETCREATOR")
    ds.add_new(0x00291010, "LO", "SECRETPRIVATE")
    # A reference outside the table's sequences, in a sequence kept as it is.
    if ref:
        item = Dataset()
        item.ReferencedSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
        item.ReferencedSOPInstanceUID = ref
        ds.ReferencedInstanceSequence = Sequence([item])
    if burned is not None:
        ds.BurnedInAnnotation = burned
    elif "BurnedInAnnotation" in ds:
        del ds.BurnedInAnnotation
    ds.save_as(path, write_like_original=False)
    return ds


def walk(ds):
    """Every element at every depth."""
    for e in ds:
        yield e
        if e.VR == "SQ":
            for item in e.value:
                yield from walk(item)


def check_clean(case, ds, shifted=False):
    """No attribute of the table keeps an identifying value; no private
    attribute; no marker anywhere in the file's bytes."""
    table = {tag: (act, keep) for tag, act, keep in profile_table()}
    for e in walk(ds):
        tag = int(e.tag)
        case.assertFalse(e.tag.is_private, "private %s left" % e.tag)
        if tag not in table:
            continue
        act, keep = table[tag]
        if act == "X" and not (shifted and keep == "DATES" and e.VR in ("DA", "DT", "TM")):
            case.fail("%s (X) left: %r" % (e.tag, e.value))
        if e.VR == "UI" and e.value:
            for uid in (e.value if isinstance(e.value, list) else [e.value]):
                case.assertTrue(uid.startswith("2.25."), "%s kept %s" % (e.tag, uid))
    for g in (0x6000,):
        case.assertNotIn((g << 16) | 0x3000, ds)
    raw = ds.raw
    for secret in (b"SECRET", b"DOE^ALICE", b"ROE^BOB", b"PIDA", b"PIDB", b"1.2.3.1",
                   b"1.2.3.2", b"1.2.3.3", b"1.2.826.0.1.3680043.9999", SECRET_DATE.encode()):
        at = raw.find(secret)
        case.assertEqual(at, -1, "%r left in the file: %r" % (secret, raw[max(0, at - 40):at + 40]))
    case.assertEqual(ds.PatientIdentityRemoved, "YES")
    case.assertEqual(ds.DeidentificationMethodCodeSequence[0].CodeValue, "113100")


class DeidentifyTest(vt.ServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREINDEX):
            raise vt.unittest.SkipTest("storeindex not built")

    def setUp(self):
        super().setUp()
        self.srv = self.server()
        self.tmp = tempfile.mkdtemp(prefix="deid-", dir=self.srv.tmp)
        self.originals = {}
        # Patient A: study 1 of three images (the second refers to the
        # first, the third an ultrasound without Burned In Annotation),
        # study 2 of one image. Patient B: study 3.
        self.pixels = bytes(range(256)) * 16
        files = []
        specs = [
            ("1.2.3.1", "1.2.3.1.1", "1.2.3.1.1.1", "PIDA", "DOE^ALICE", None, "CT", "NO"),
            ("1.2.3.1", "1.2.3.1.1", "1.2.3.1.1.2", "PIDA", "DOE^ALICE", "1.2.3.1.1.1", "CT", "NO"),
            ("1.2.3.1", "1.2.3.1.2", "1.2.3.1.2.1", "PIDA", "DOE^ALICE", None, "US", None),
            ("1.2.3.2", "1.2.3.2.1", "1.2.3.2.1.1", "PIDA", "DOE^ALICE", None, "CT", "NO"),
            ("1.2.3.3", "1.2.3.3.1", "1.2.3.3.1.1", "PIDB", "ROE^BOB", None, "CT", "NO"),
        ]
        for i, (st, se, sop, pid, name, ref, mod, burned) in enumerate(specs):
            path = os.path.join(self.tmp, "in%d.dcm" % i)
            self.originals[sop] = filled_dataset(path, st, se, sop, pid, name, "1.2.3.99." + st,
                                                 ref=ref, modality=mod, burned=burned,
                                                 pixels=self.pixels)
            files.append(path)
        p = self.srv.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)

    def deidentify(self, study, *args):
        out = os.path.join(self.tmp, "out-%s-%d.zip" % (study, len(os.listdir(self.tmp))))
        p = vt.run([STOREINDEX, "deidentify"] + list(args) + ["--zip", out, study,
                                                              self.srv.basedir],
                   env=self.srv.env)
        self.assertIn(p.returncode, (0, 1), p.stdout + p.stderr)
        files = {}
        with zipfile.ZipFile(out) as z:
            for name in z.namelist():
                files[name] = pydicom.dcmread(io.BytesIO(z.read(name)))
                files[name].raw = z.read(name)
        return p, files

    def assert_clean(self, ds, shifted=False):
        check_clean(self, ds, shifted)

    def test_profile_pseudonyms_references_pixels(self):
        p1, a = self.deidentify("1.2.3.1")
        p2, b = self.deidentify("1.2.3.1")
        _, c = self.deidentify("1.2.3.2")
        _, d = self.deidentify("1.2.3.3")
        self.assertEqual(len(a), 3)
        for ds in list(a.values()) + list(c.values()) + list(d.values()):
            self.assert_clean(ds)
        # The same study twice: the same names (new UIDs) and pseudonyms.
        self.assertEqual(sorted(a), sorted(b))
        for name in a:
            self.assertEqual(a[name].PatientName, b[name].PatientName)
            self.assertEqual(a[name].PatientID, b[name].PatientID)
        # The same patient in another study: the same pseudonym, another
        # study UID; another patient: another pseudonym.
        pa = {str(ds.PatientID) for ds in a.values()}
        self.assertEqual(len(pa), 1)
        self.assertEqual({str(ds.PatientID) for ds in c.values()}, pa)
        self.assertNotEqual({str(ds.PatientID) for ds in d.values()}, pa)
        self.assertNotEqual({ds.StudyInstanceUID for ds in c.values()},
                            {ds.StudyInstanceUID for ds in a.values()})
        # Pixel data byte for byte.
        for ds in list(a.values()) + list(d.values()):
            self.assertEqual(ds.PixelData, self.pixels)
        # References: the second image's references name the first's new UID;
        # the frame of reference is the same replacement in the series.
        by_sop = {ds.SOPInstanceUID: ds for ds in a.values()}
        refs = [ds for ds in a.values() if "ReferencedInstanceSequence" in ds]
        self.assertEqual(len(refs), 1)
        target = refs[0].ReferencedInstanceSequence[0].ReferencedSOPInstanceUID
        self.assertIn(target, by_sop)
        self.assertEqual(refs[0].ReferencedImageSequence[0].ReferencedSOPInstanceUID, target)
        self.assertEqual(refs[0].SourceImageSequence[0].ReferencedSOPInstanceUID, target)
        self.assertEqual(by_sop[target].FrameOfReferenceUID, refs[0].FrameOfReferenceUID)
        # The ultrasound without Burned In Annotation is reported, never
        # called clean.
        self.assertIn("burned-in 1", p1.stdout)
        self.assertIn("pixel data may hold identifying text", p1.stdout)
        p3, e = self.deidentify("1.2.3.1", "-o", "refuse-burned-in")
        self.assertEqual(p3.returncode, 1)
        self.assertIn("refused 1", p3.stdout)
        self.assertEqual(len(e), 2)
        self.assertFalse(any(ds.Modality == "US" for ds in e.values()))

    def test_dates_shifted_per_patient(self):
        _, a = self.deidentify("1.2.3.1", "-o", "dates")
        _, c = self.deidentify("1.2.3.2", "-o", "dates")
        _, d = self.deidentify("1.2.3.3", "-o", "dates")
        for ds in list(a.values()) + list(c.values()) + list(d.values()):
            self.assert_clean(ds, shifted=True)
            self.assertEqual(ds.LongitudinalTemporalInformationModified, "MODIFIED")
            self.assertNotEqual(ds.StudyDate, SECRET_DATE)
            self.assertEqual(len(ds.StudyDate), 8)
            self.assertEqual(ds.StudyTime, SECRET_TIME)
        # The same patient: the same shift in both studies; another patient
        # another one (the key makes a collision 1 in 3650).
        self.assertEqual({ds.StudyDate for ds in a.values()}, {ds.StudyDate for ds in c.values()})
        self.assertNotEqual({ds.StudyDate for ds in a.values()},
                            {ds.StudyDate for ds in d.values()})
        # Device identity retained with its option, the rest as before.
        _, e = self.deidentify("1.2.3.3", "-o", "dates,device")
        ct = list(e.values())[0]
        self.assertTrue(str(ct.StationName).startswith("SECRET"))
        self.assertTrue(str(ct.DeviceSerialNumber).startswith("SECRET"))
        self.assertNotIn("PatientAddress", ct)
        self.assertEqual(ct.PatientID, list(d.values())[0].PatientID)
        self.assertEqual([i.CodeValue for i in ct.DeidentificationMethodCodeSequence],
                         ["113100", "113107", "113109"])
        # Patient characteristics retained with theirs; the name still goes.
        _, f = self.deidentify("1.2.3.3", "-o", "patient")
        ds = list(f.values())[0]
        self.assertEqual((ds.PatientSex, ds.PatientAge), ("M", "045Y"))
        self.assertIn("PatientWeight", ds)
        self.assertNotIn("PatientAddress", ds)
        self.assertTrue(str(ds.PatientName).startswith("ANONYMOUS^"))
        self.assertEqual([i.CodeValue for i in ds.DeidentificationMethodCodeSequence],
                         ["113100", "113108"])

    def test_copy_into_archive(self):
        monitor = vt.Monitor(self.srv.monitor_port)
        self.addCleanup(monitor.close)
        p = vt.run([STOREINDEX, "deidentify", "-m", str(self.srv.monitor_port), "--to-archive",
                    "1.2.3.3", self.srv.basedir], env=self.srv.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        words = p.stdout.split()
        self.assertEqual(words[:2], ["copied", "1"])
        study, pseudonym = words[2], words[3]
        self.assertTrue(study.startswith("2.25."))
        # Announced on the monitor channel as any stored image is.
        monitor.wait_text(lambda t: t.startswith("STORAGE STOREUID %s " % study))
        # Found over C-FIND by its pseudonym, never by the true name.
        _, found = self.srv.findscu(["PatientID=%s" % pseudonym, "StudyInstanceUID", "PatientName"])
        self.assertEqual([str(ds.StudyInstanceUID) for ds in found], [study])
        self.assertTrue(str(found[0].PatientName).startswith("ANONYMOUS^"))
        _, found = self.srv.findscu(["PatientName=ROE*", "StudyInstanceUID"])
        self.assertEqual([str(ds.StudyInstanceUID) for ds in found], ["1.2.3.3"])
        # The stored copy is clean; a second copy changes nothing.
        stored = vt.files_below(vt.uid_path(self.srv.basedir, study))
        stored = [f for f in stored if f.endswith(".dcm") or "." not in os.path.basename(f)]
        p = vt.run([STOREINDEX, "deidentify", "--to-archive", "1.2.3.3", self.srv.basedir],
                   env=self.srv.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(p.stdout.split()[2:4], [study, pseudonym])
        check = vt.run([STOREINDEX, "check", self.srv.basedir], env=self.srv.env)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        # The key file: made once, 32 bytes, mode 0600.
        st = os.stat(os.path.join(self.srv.basedir, "DeidentifyKey"))
        self.assertEqual(st.st_size, 32)
        self.assertEqual(st.st_mode & 0o777, 0o600)


if __name__ == "__main__":
    vt.main()

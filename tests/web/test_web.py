"""storeweb against real peers: the DICOMweb client dicomweb-client, curl,
and dcmtk's storescu/findscu on the storeserver that shares the store.

One storeserver and one storeweb serve every case of DicomWebTest: the
images stored over DICOM are searched and retrieved over the web, and the
images stored over the web are found over DICOM and announced on the
monitor channel."""

import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

import veltotest as vt
from webharness import Web, multipart_parts, header, value, STOREWEB, NODE_MODULES

# Three studies stored over DICOM: (name, study date, modality, study, series, images).
STUDIES = [
    ("WEB^ALPHA", "20240102", "CT", "1.2.826.0.1.3680043.9.7.1", "1.2.826.0.1.3680043.9.7.1.1", 3),
    ("WEB^BETA", "20240315", "MR", "1.2.826.0.1.3680043.9.7.2", "1.2.826.0.1.3680043.9.7.2.1", 2),
    ("OTHER^GAMMA", "20230101", "US", "1.2.826.0.1.3680043.9.7.3", "1.2.826.0.1.3680043.9.7.3.1", 1),
]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def uids_of(results, tag="0020000D"):
    return sorted(value(r, tag) for r in results)


class NameCaseTest(vt.ServerTestCase):
    """Names found without regard to case in every script, by the page,
    QIDO-RS and C-FIND alike; the page's modality without case."""

    def setUp(self):
        super().setUp()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")

    def test_non_ascii_names_without_case_everywhere(self):
        s = self.server()
        w = Web(s)
        self.addCleanup(w.stop)
        people = [("MÜLLER^HANS", "ISO_IR 100", "CT"), ("MULLER^HANS", None, "CT"),
                  ("ΣΩΚΡΑΤΗΣ^ΝΙΚΟΣ", "ISO_IR 126", "MR"), ("ИВАНОВ^ИВАН", "ISO_IR 144", "US"),
                  ("DVOŘÁK^ANTONÍN", "ISO_IR 101", "CT")]
        paths, uid = [], {}
        for i, (name, charset, modality) in enumerate(people):
            study = "1.2.826.0.1.3680043.9.7.40.%d" % (i + 1)
            uid[name] = study
            extra = {"SpecificCharacterSet": charset} if charset else None
            paths.append(vt.make_dataset(os.path.join(s.tmp, "%d.dcm" % i), study, study + ".1",
                                         study + ".1.1", patient_name=name,
                                         patient_id="N%d" % i, modality=modality, extra=extra))
        p = s.storescu(paths)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        searches = [("müller", ["MÜLLER^HANS"]), ("Müller^Hans", ["MÜLLER^HANS"]),
                    ("muller", ["MULLER^HANS"]), ("σωκράτης", []),  # no accents folded
                    ("σωκρατης", ["ΣΩΚΡΑΤΗΣ^ΝΙΚΟΣ"]), ("иванов", ["ИВАНОВ^ИВАН"]),
                    ("dvořák^antonín", ["DVOŘÁK^ANTONÍN"])]
        for key, names in searches:
            with self.subTest(key=key):
                want = sorted(uid[n] for n in names)
                # The page (its rows), a name's start as typed.
                status, _, rows = w.curl("/?part=rows&name=" + urllib.parse.quote(key))
                self.assertEqual(status, 200)
                got = sorted(u for u in uid.values() if ('data-uid="%s"' % u).encode() in rows)
                self.assertEqual(got, want)
                # QIDO-RS.
                status, _, body = w.curl("/dicom-web/studies?PatientName="
                                         + urllib.parse.quote(key + "*"))
                found = json.loads(body) if status == 200 else []
                self.assertEqual(sorted(value(r, "0020000D") for r in found), want)
                # C-FIND, the key in UTF-8.
                p, found = s.findscu(["SpecificCharacterSet=ISO_IR 192", "PatientName=" + key + "*",
                                      "StudyInstanceUID"])
                self.assertEqual(sorted(str(d.StudyInstanceUID) for d in found), want,
                                 p.stdout + p.stderr)
        # The modality box without case.
        status, _, rows = w.curl("/?part=rows&modality=ct")
        self.assertEqual(status, 200)
        self.assertEqual(sorted(u for u in uid.values() if ('data-uid="%s"' % u).encode() in rows),
                         sorted(uid[n] for n in ("MÜLLER^HANS", "MULLER^HANS", "DVOŘÁK^ANTONÍN")))
        # No warning of the study key every page search sends.
        self.assertNotIn("ModalitiesInStudy", w.log())


class DicomWebTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        if not os.path.isdir(NODE_MODULES):
            raise AssertionError("dicomweb-client missing: run scripts/install-deps")
        cls.server = vt.Server()
        cls.web = Web(cls.server)
        cls.files = os.path.join(cls.server.tmp, "in")
        os.makedirs(cls.files)
        paths = []
        for name, date, modality, study, series, n in STUDIES:
            for i in range(n):
                p = os.path.join(cls.files, "%s.%d.dcm" % (study, i))
                vt.make_dataset(p, study, series, "%s.%d" % (series, i + 1), patient_name=name,
                                patient_id=name.split("^")[1], modality=modality,
                                study_date=date, extra={"InstanceNumber": str(i + 1)})
                paths.append(p)
        # A CT with real pixel values and window settings, and a JPEG file.
        paths.append(vt.pydicom_file("CT_small.dcm"))
        p = cls.server.storescu(paths)
        assert p.returncode == 0, p.stderr
        p = cls.server.storescu([vt.pydicom_file("SC_rgb_jpeg_dcmtk.dcm")], extra=["-xy"])
        assert p.returncode == 0, p.stderr

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.server.cleanup()

    def stored_file(self, study, series, instance):
        return vt.uid_path(self.server.basedir, study, series, instance)

    # QIDO-RS ------------------------------------------------------------

    def test_search_with_dicomweb_client(self):
        found = self.web.dwclient("search-studies", json.dumps({"PatientName": "WEB^*"}))
        self.assertEqual(uids_of(found), [STUDIES[0][3], STUDIES[1][3]])
        alpha = [r for r in found if value(r, "0020000D") == STUDIES[0][3]][0]
        self.assertEqual(value(alpha, "00100010"), "WEB^ALPHA")
        self.assertEqual(value(alpha, "00201208"), 3)   # NumberOfStudyRelatedInstances
        self.assertEqual(value(alpha, "00201206"), 1)   # NumberOfStudyRelatedSeries
        self.assertEqual(value(alpha, "00081190"),
                         self.web.root + "/studies/" + STUDIES[0][3])

        found = self.web.dwclient("search-studies", json.dumps({"StudyDate": "20240101-20240131"}))
        self.assertEqual(uids_of(found), [STUDIES[0][3]])
        found = self.web.dwclient("search-studies", json.dumps({"StudyDate": "20240301-"}))
        self.assertEqual(uids_of(found), [STUDIES[1][3]])
        found = self.web.dwclient("search-studies", json.dumps({"ModalitiesInStudy": "MR"}))
        self.assertIn(STUDIES[1][3], uids_of(found))
        self.assertNotIn(STUDIES[0][3], uids_of(found))
        self.assertEqual(self.web.dwclient("search-studies", json.dumps({"PatientName": "NOBODY*"})),
                         [])

        series = self.web.dwclient("search-series", "{}", STUDIES[0][3])
        self.assertEqual(uids_of(series, "0020000E"), [STUDIES[0][4]])
        self.assertEqual(value(series[0], "00201209"), 3)  # NumberOfSeriesRelatedInstances
        inst = self.web.dwclient("search-instances", "{}", STUDIES[0][3])
        self.assertEqual(uids_of(inst, "00080018"),
                         ["%s.%d" % (STUDIES[0][4], i) for i in (1, 2, 3)])
        self.assertEqual(value(inst[0], "00080016"), "1.2.840.10008.5.1.4.1.1.7")

    def test_search_paging_and_fields(self):
        every = self.web.json("/dicom-web/studies")
        self.assertEqual(len(every), 5)
        page = self.web.json("/dicom-web/studies?limit=2&offset=1")
        self.assertEqual([value(r, "0020000D") for r in page],
                         [value(r, "0020000D") for r in every[1:3]])
        self.assertEqual(self.web.json("/dicom-web/studies?offset=5"), [])
        # Tags by number, includefield, and a search over every study's instances.
        one = self.web.json("/dicom-web/studies?00100020=ALPHA&includefield=00081030")
        self.assertEqual(len(one), 1)
        self.assertEqual(value(one[0], "00081030"), "TEST STUDY")
        inst = self.web.json("/dicom-web/instances?PatientID=BETA")
        self.assertEqual(len(inst), 2)
        self.assertEqual(value(inst[0], "00100010"), "WEB^BETA")
        status, head, _ = self.web.curl("/dicom-web/studies?fuzzymatching=true")
        self.assertEqual(status, 200)
        self.assertIn("299", header(head, "Warning"))
        self.assertEqual(self.web.curl("/dicom-web/studies?NoSuchKeyword=1")[0], 400)
        self.assertEqual(self.web.curl("/dicom-web/studies?limit=x")[0], 400)

    # WADO-RS and WADO-URI ------------------------------------------------

    def test_retrieve_study_byte_identical(self):
        name, date, modality, study, series, n = STUDIES[0]
        out = tempfile.mkdtemp(dir=self.server.tmp)
        self.assertEqual(self.web.dwclient("retrieve-study", study, out), {"count": n})
        got = sorted(read_bytes(os.path.join(out, f)) for f in os.listdir(out))
        want = sorted(read_bytes(self.stored_file(study, series, "%s.%d" % (series, i + 1)))
                      for i in range(n))
        self.assertEqual(got, want)
        # The same bytes through WADO-URI.
        status, head, body = self.web.curl(
            "/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s.1"
            "&contentType=application/dicom" % (study, series, series))
        self.assertEqual(status, 200)
        self.assertEqual(body, read_bytes(self.stored_file(study, series, series + ".1")))
        self.assertEqual(self.web.curl("/dicom-web/studies/1.2.3.999")[0], 404)

    def test_metadata_of_every_instance(self):
        name, date, modality, study, series, n = STUDIES[0]
        meta = self.web.dwclient("metadata", study)
        self.assertEqual(uids_of(meta, "00080018"), ["%s.%d" % (series, i + 1) for i in range(n)])
        for m in meta:
            self.assertEqual(value(m, "00100010"), name)
            self.assertEqual(value(m, "00080060"), modality)
            self.assertEqual(value(m, "00280010"), 64)
            # Pixel data is a reference, not inline.
            self.assertIn("/bulkdata/7FE00010", m["7FE00010"]["BulkDataURI"])

    def test_rendered_frames_and_thumbnail(self):
        from PIL import Image
        import pydicom
        ct = pydicom.dcmread(vt.pydicom_file("CT_small.dcm"))
        s, r, i = ct.StudyInstanceUID, ct.SeriesInstanceUID, ct.SOPInstanceUID
        jpg = os.path.join(self.server.tmp, "ct.jpg")
        self.web.dwclient("rendered", s, r, i, jpg)
        img = Image.open(jpg)
        img.load()
        self.assertEqual((img.format, img.size), ("JPEG", (ct.Columns, ct.Rows)))
        lo, hi = img.convert("L").getextrema()
        self.assertGreater(hi - lo, 50)  # windowed, not blank
        # PNG on request, and a thumbnail no larger than 128 pixels.
        status, head, body = self.web.curl("/dicom-web/studies/%s/thumbnail" % s,
                                           ["-H", "Accept: image/png"])
        self.assertEqual((status, header(head, "Content-Type")), (200, "image/png"))
        thumb = Image.open(io.BytesIO(body))
        self.assertLessEqual(max(thumb.size), 128)
        # The frame: the stored pixel values, uncompressed.
        status, head, body = self.web.curl(
            "/dicom-web/studies/%s/series/%s/instances/%s/frames/1" % (s, r, i))
        self.assertEqual(status, 200)
        parts = multipart_parts(body, header(head, "Content-Type"))
        self.assertEqual(len(parts), 1)
        self.assertEqual(parts[0][1], ct.PixelData)
        self.assertEqual(self.web.curl("/dicom-web/studies/%s/series/%s/instances/%s/frames/2"
                                       % (s, r, i))[0], 404)
        # WADO-URI's default answer is a JPEG.
        status, head, body = self.web.curl(
            "/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s&columns=100"
            % (s, r, i))
        self.assertEqual((status, header(head, "Content-Type")), (200, "image/jpeg"))
        self.assertEqual(Image.open(io.BytesIO(body)).size[0], 100)

    def test_transcoded_to_explicit_little_endian(self):
        import pydicom
        sc = pydicom.dcmread(vt.pydicom_file("SC_rgb_jpeg_dcmtk.dcm"))
        path = "/dicom-web/studies/%s/series/%s/instances/%s" % (
            sc.StudyInstanceUID, sc.SeriesInstanceUID, sc.SOPInstanceUID)
        stored = read_bytes(self.stored_file(sc.StudyInstanceUID, sc.SeriesInstanceUID,
                                             sc.SOPInstanceUID))
        status, head, body = self.web.curl(path)
        self.assertEqual(status, 200)
        parts = multipart_parts(body, header(head, "Content-Type"))
        self.assertEqual([p[1] for p in parts], [stored])
        status, head, body = self.web.curl(path, [
            "-H", 'Accept: multipart/related; type="application/dicom"; '
                  'transfer-syntax=1.2.840.10008.1.2.1'])
        parts = multipart_parts(body, header(head, "Content-Type"))
        self.assertEqual(len(parts), 1)
        self.assertIn("transfer-syntax=1.2.840.10008.1.2.1", parts[0][0])
        got = pydicom.dcmread(io.BytesIO(parts[0][1]))
        self.assertEqual(got.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.1")
        self.assertEqual(len(got.PixelData), sc.Rows * sc.Columns * 3)
        self.assertEqual(self.web.curl(path, ["-H", "Accept: image/jpeg"])[0], 406)

    # STOW-RS ---------------------------------------------------------------

    def test_stow_found_by_findscu_and_announced(self):
        mon = vt.Monitor(self.server.monitor_port)
        try:
            study, series = "1.2.826.0.1.3680043.9.7.10", "1.2.826.0.1.3680043.9.7.10.1"
            files = []
            for i in range(10):
                p = os.path.join(self.server.tmp, "stow%d.dcm" % i)
                vt.make_dataset(p, study, series, "%s.%d" % (series, i + 1),
                                patient_name="WEB^STOWED", patient_id="STOW")
                files.append(p)
            answer = self.web.dwclient("store", *files)
            refs = answer["00081199"]["Value"]
            self.assertEqual(len(refs), 10)
            p, found = self.server.findscu(["StudyInstanceUID=" + study, "SOPInstanceUID"],
                                           level="IMAGE")
            self.assertEqual(sorted(str(f.SOPInstanceUID) for f in found),
                             sorted("%s.%d" % (series, i + 1) for i in range(10)))
            announced = lambda: sorted(t.split()[-1] for t in mon.texts()
                                       if t.startswith("STORAGE STOREUID %s %s " % (study, series)))
            vt.wait_for(lambda: len(announced()) >= 10, what="10 announcements")
            self.assertEqual(announced(), sorted("%s.%d" % (series, i + 1) for i in range(10)))
            # Stored again: kept, with a warning (202).
            status, head, body = self.web.curl("/dicom-web/studies", self.stow_args(files[:1]))
            self.assertEqual(status, 202)
            item = json.loads(body)["00081199"]["Value"][0]
            self.assertEqual(value(item, "00081196"), 0xB006)
        finally:
            mon.close()

    def stow_args(self, files):
        """curl arguments that post files as multipart/related application/dicom."""
        body = b""
        for f in files:
            body += (b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + read_bytes(f)
                     + b"\r\n")
        body += b"--XyZ--\r\n"
        path = os.path.join(self.server.tmp, "stow-body")
        with open(path, "wb") as out:
            out.write(body)
        return ["-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
                "boundary=XyZ", "--data-binary", "@" + path]

    def test_stow_refusals(self):
        p = os.path.join(self.server.tmp, "other.dcm")
        vt.make_dataset(p, "1.2.826.0.1.3680043.9.7.20", "1.2.826.0.1.3680043.9.7.20.1",
                        "1.2.826.0.1.3680043.9.7.20.1.1")
        # Into another study than its own: refused, nothing stored.
        status, head, body = self.web.curl("/dicom-web/studies/1.2.3.4", self.stow_args([p]))
        self.assertEqual(status, 409)
        failed = json.loads(body)["00081198"]["Value"]
        self.assertEqual(value(failed[0], "00081155"), "1.2.826.0.1.3680043.9.7.20.1.1")
        self.assertFalse(os.path.exists(vt.uid_path(self.server.basedir,
                                                    "1.2.826.0.1.3680043.9.7.20")))
        args = self.stow_args([p])
        args[3] = "Content-Type: application/json"
        self.assertEqual(self.web.curl("/dicom-web/studies", args)[0], 415)
        # A body cut short is answered 400.
        args = self.stow_args([p])
        body = os.path.join(self.server.tmp, "stow-body")
        with open(body, "r+b") as f:
            f.truncate(300)
        self.assertEqual(self.web.curl("/dicom-web/studies", args)[0], 400)

if __name__ == "__main__":
    vt.main()

"""JPEG 2000 and HTJ2K images decoded by the archive (codec/j2kcodec.h).

The images: every JPEG 2000 sample among pydicom's files, HTJ2K files made
with OpenJPH's ojph_compress (lossless .201 and .202, lossy .203, 16-bit
signed, RGB, multi-frame), and JPEG 2000 files made with gdcmconv --j2k and
opj_compress from uncompressed ones (16-bit signed, RGB, multi-frame, lossy
YBR_ICT). The reference of each is another implementation's decode:
opj_decompress of each frame's codestream (OpenJPEG's own output, the
reference for the lossy ones too), or gdcmconv --raw where OpenJPEG's tool
cannot read it, and for the lossless ones made here the original pixels as
well. Whatever way the archive decodes (C-GET with an uncompressed-only
proposal, C-MOVE to a storescp that accepts only uncompressed syntaxes,
WADO-RS frames, WADO-URI in Explicit VR Little Endian) must give the
reference's pixels exactly; a peer that takes HTJ2K (another of these
archives) gets it as stored; rendered answers must equal those of the same
pixels stored uncompressed. HTJ2K files are stored as sent (their meta
header keeps the syntax), and C-FIND and QIDO-RS answer every image's
stored syntax. An image that neither reference decoder reads is
a failed sub-operation, never a wrong image."""

import glob
import io
import os
import tempfile
import unittest

import numpy
import pydicom
from pydicom.uid import ExplicitVRLittleEndian

import veltotest as vt
from j2kref import (J2K, J2K_LOSSLESS, HTJ2K, HTJ2K_LOSSLESS, HTJ2K_RPCL, JPEG2000_SYNTAXES,
                    frame_count, gdcm_reference, opj_reference, retag, run, wrap)
from webharness import Web, multipart_parts, header, value, STOREWEB

ASSOC_CLIENT = os.path.join(vt.BUILD, "tests", "server", "velto_assoc_client")
ROOT = "1.2.826.0.1.3680043.9.7.370"


class Sample:
    def __init__(self, name, path, lossless, original=None):
        self.name = name
        self.path = path
        self.lossless = lossless
        self.original = original  # the pixels compressed here, when lossless
        ds = pydicom.dcmread(path)
        self.study, self.series, self.instance = (ds.StudyInstanceUID, ds.SeriesInstanceUID,
                                                  ds.SOPInstanceUID)
        self.frames = frame_count(ds)
        self.reference = None  # frames
        self.twin = None  # UID of the same pixels stored uncompressed


class J2kTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        cls.server = vt.Server(start=False)
        cls.addClassCleanup(cls.server.cleanup)
        # The destination accepts only the uncompressed syntaxes.
        cls.dest = vt.StoreSCP(cls.server.tmp, aetitle="PLAIN")
        cls.addClassCleanup(cls.dest.stop)
        # Another archive, which takes HTJ2K as this one does.
        cls.peer = vt.Server(aetitle="VELTO2", start=False)
        cls.addClassCleanup(cls.peer.cleanup)
        with open(os.path.join(cls.server.etc, "AETitleMap"), "w") as f:
            f.write(cls.dest.map_line())
            f.write("VELTO2\tVELTO2\t127.0.0.1:%d\tFMS\n" % cls.peer.port)
        cls.peer.start()
        cls.server.start()
        cls.web = Web(cls.server)
        cls.addClassCleanup(cls.web.stop)
        cls.tmp = tempfile.mkdtemp(dir=cls.server.tmp)
        cls.samples = []
        cls.unreadable = []
        cls.make_samples()

    # Samples -------------------------------------------------------------

    @classmethod
    def relabel(cls, src, name, study):
        """src copied under new UIDs in study (one series per image)."""
        ds = pydicom.dcmread(src)
        n = len(cls.samples) + len(cls.unreadable) + 1
        ds.StudyInstanceUID = study
        ds.SeriesInstanceUID = "%s.%d" % (study, n)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = "%s.%d.1" % (study, n)
        ds.PatientID = "J2K"
        path = os.path.join(cls.tmp, name)
        ts = ds.file_meta.TransferSyntaxUID
        if ts in (J2K_LOSSLESS, J2K):
            ds.save_as(path)
        else:
            # pydicom cannot write the syntax: written as .90, then retagged.
            ds.file_meta.TransferSyntaxUID = J2K_LOSSLESS
            ds.save_as(path)
            retag(path, ts)
        return path

    @classmethod
    def add(cls, name, path, lossless, original=None):
        s = Sample(name, path, lossless, original)
        work = tempfile.mkdtemp(dir=cls.tmp)
        s.reference = opj_reference(path, work) or gdcm_reference(path, work)
        if s.reference is None:
            cls.unreadable.append(s)
        else:
            cls.samples.append(s)
        return s

    @classmethod
    def make_samples(cls):
        study = ROOT + ".1"
        # Every JPEG 2000 sample among pydicom's files.
        for src in sorted(glob.glob(os.path.join(vt.PYDICOM_FILES, "*.dcm"))):
            ds = pydicom.dcmread(src, stop_before_pixels=True, force=True)
            ts = getattr(getattr(ds, "file_meta", None), "TransferSyntaxUID", None)
            if ts in JPEG2000_SYNTAXES:
                name = os.path.basename(src)
                # The unreadable one goes into a study of its own.
                path = cls.relabel(src, name, study)
                s = cls.add(name, path, ts != J2K)
                if s in cls.unreadable:
                    os.unlink(path)
                    cls.unreadable.remove(s)
                    path = cls.relabel(src, name, ROOT + ".2")
                    cls.add(name, path, ts != J2K)
        mr = pydicom.dcmread(vt.pydicom_file("MR_small.dcm"))  # 16-bit signed
        ct = pydicom.dcmread(vt.pydicom_file("CT_small.dcm"))  # 16-bit signed
        rgb = cls.decoded("SC_rgb_rle.dcm")  # 8-bit RGB
        rgb2 = cls.decoded("SC_rgb_rle_2frame.dcm")  # 8-bit RGB, 2 frames
        # 16-bit signed, 3 frames, uncompressed.
        mr3 = mr.copy()
        mr3.file_meta = mr.file_meta.copy()
        mr3.NumberOfFrames = 3
        mr3.PixelData = b"".join(numpy.roll(mr.pixel_array, 7 * k, axis=1).astype("<i2").tobytes()
                                 for k in range(3))
        mr3.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
        mr3.is_implicit_VR, mr3.is_little_endian = False, True
        mr3.filename = os.path.join(cls.tmp, "plain-mr3.dcm")
        mr3.save_as(mr3.filename, write_like_original=False)

        # HTJ2K with OpenJPH.
        mr_raw = os.path.join(cls.tmp, "mr.raw")
        mr.pixel_array.astype("<i2").tofile(mr_raw)
        cs = cls.ojph(mr_raw, ["-dims", "{64,64}", "-num_comps", "1", "-signed", "true",
                               "-bit_depth", "16", "-downsamp", "{1,1}", "-reversible", "true"])
        cls.add_made("ht_mr16s.dcm", mr, [cs], HTJ2K_LOSSLESS, study, mr.PixelData)
        ppm = os.path.join(cls.tmp, "rgb.ppm")
        with open(ppm, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (rgb.Columns, rgb.Rows) + rgb.PixelData)
        cs = cls.ojph(ppm, ["-reversible", "true", "-prog_order", "RPCL"])
        cls.add_made("ht_rgb_rct.dcm", rgb, [cs], HTJ2K_RPCL, study, rgb.PixelData,
                     photometric="YBR_RCT")
        ct_raw = os.path.join(cls.tmp, "ct.raw")
        ct.pixel_array.astype("<i2").tofile(ct_raw)
        cs = cls.ojph(ct_raw, ["-dims", "{%d,%d}" % (ct.Columns, ct.Rows), "-num_comps", "1",
                               "-signed", "true", "-bit_depth", "16", "-downsamp", "{1,1}",
                               "-qstep", "0.002"])
        cls.add_made("ht_ct_lossy.dcm", ct, [cs], HTJ2K, study, None)
        frames = []
        for k in range(3):
            raw = os.path.join(cls.tmp, "mf%d.raw" % k)
            numpy.roll(mr.pixel_array, 7 * k, axis=1).astype("<i2").tofile(raw)
            frames.append(cls.ojph(raw, ["-dims", "{64,64}", "-num_comps", "1", "-signed",
                                         "true", "-bit_depth", "16", "-downsamp", "{1,1}",
                                         "-reversible", "true"]))
        cls.add_made("ht_multiframe.dcm", mr, frames, HTJ2K_LOSSLESS, study, mr3.PixelData)

        # JPEG 2000 with GDCM and OpenJPEG's encoder.
        for name, src in (("gdcm_mr16s.dcm", vt.pydicom_file("MR_small.dcm")),
                          ("gdcm_rgb.dcm", rgb.filename),
                          ("gdcm_rgb_2frame.dcm", rgb2.filename),
                          ("gdcm_mr16s_3frame.dcm", mr3.filename)):
            out = os.path.join(cls.tmp, "gdcm-" + name)
            run(["gdcmconv", "--j2k", src, out])
            cls.add(name, cls.relabel(out, name, study), True,
                    pydicom.dcmread(src).PixelData)
        j2k = os.path.join(cls.tmp, "ict.j2k")
        run(["opj_compress", "-i", ppm, "-o", j2k, "-I", "-r", "10"])
        with open(j2k, "rb") as f:
            cls.add_made("opj_rgb_ict.dcm", rgb, [f.read()], J2K, study, None,
                         photometric="YBR_ICT")

    @classmethod
    def decoded(cls, name):
        out = os.path.join(cls.tmp, "plain-" + name)
        run(["dcmdrle", vt.pydicom_file(name), out])
        ds = pydicom.dcmread(out)
        ds.filename = out
        return ds

    @classmethod
    def ojph(cls, src, args):
        out = src + ".j2c"
        run(["ojph_compress", "-i", src, "-o", out] + args)
        with open(out, "rb") as f:
            return f.read()

    @classmethod
    def add_made(cls, name, src_ds, codestreams, uid, study, original, photometric=None):
        path = wrap(src_ds, codestreams, os.path.join(cls.tmp, "made-" + name), uid, photometric)
        return cls.add(name, cls.relabel(path, name, study), original is not None, original)

    # Helpers -------------------------------------------------------------

    def store_raw(self, path):
        p = vt.run([ASSOC_CLIENT, "127.0.0.1:%d" % self.server.port, "CLIENT",
                    self.server.aetitle, "storeraw", path])
        self.assertIn("STORE 0x0000", p.stdout, p.stdout + p.stderr)

    @classmethod
    def stored_once(cls):
        if getattr(cls, "_stored", False):
            return
        for s in cls.samples + cls.unreadable:
            p = vt.run([ASSOC_CLIENT, "127.0.0.1:%d" % cls.server.port, "CLIENT",
                        cls.server.aetitle, "storeraw", s.path])
            assert "STORE 0x0000" in p.stdout, (s.name, p.stdout, p.stderr)
        cls._stored = True

    def assert_frames(self, s, data, what):
        ref = b"".join(s.reference)
        self.assertIn(len(data) - len(ref), (0, 1), "%s: %s: length" % (what, s.name))
        self.assertTrue(data[:len(ref)] == ref, "%s: %s: pixels differ" % (what, s.name))
        if s.original is not None:
            self.assertTrue(data[:len(s.original)] == s.original,
                            "%s: %s: not the original pixels" % (what, s.name))

    def uri(self, s):
        return "/dicom-web/studies/%s/series/%s/instances/%s" % (s.study, s.series, s.instance)

    # Tests ---------------------------------------------------------------

    def test_a_samples_and_references(self):
        """Every sample but the unreadable one has a reference decode."""
        names = sorted(s.name for s in self.samples)
        self.assertIn("MR_small_jp2klossless.dcm", names)
        self.assertIn("ht_multiframe.dcm", names)
        self.assertEqual(len(names), 15, names)
        # Skipped with its reason: neither opj_decompress nor gdcmconv reads
        # its codestream (the fragment holds bytes like a delimiter).
        self.assertEqual([s.name for s in self.unreadable],
                         ["JPEG2000-embedded-sequence-delimiter.dcm"])

    def test_b_htj2k_stored_as_sent(self):
        """HTJ2K comes in over DIMSE and STOW-RS and is stored as sent."""
        self.stored_once()
        for s in self.samples:
            ts = pydicom.dcmread(s.path, stop_before_pixels=True).file_meta.TransferSyntaxUID
            if ts not in (HTJ2K_LOSSLESS, HTJ2K_RPCL, HTJ2K):
                continue
            stored = vt.uid_path(self.server.basedir, s.study, s.series, s.instance)
            with open(stored, "rb") as f:
                head = f.read(1024)
            self.assertIn(ts.encode(), head, s.name)
            got = pydicom.dcmread(stored)
            self.assertEqual(got.PixelData, pydicom.dcmread(s.path).PixelData, s.name)
        # STOW-RS of an HTJ2K file under a new UID.
        ht = [s for s in self.samples if s.name == "ht_mr16s.dcm"][0]
        ds = pydicom.dcmread(ht.path)
        study, series, instance = ROOT + ".3", ROOT + ".3.1", ROOT + ".3.1.1"
        ds.StudyInstanceUID, ds.SeriesInstanceUID = study, series
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = instance
        ds.file_meta.TransferSyntaxUID = J2K_LOSSLESS
        path = os.path.join(self.tmp, "stow-ht.dcm")
        ds.save_as(path)
        retag(path, HTJ2K_LOSSLESS)
        self.web.dwclient("store", path)
        stored = vt.uid_path(self.server.basedir, study, series, instance)
        with open(stored, "rb") as f:
            self.assertIn(HTJ2K_LOSSLESS.encode(), f.read(1024))
        status, head, body = self.web.curl(
            "/dicom-web/studies/%s/series/%s/instances/%s/frames/1" % (study, series, instance))
        self.assertEqual(status, 200)
        self.assert_frames(ht, multipart_parts(body, header(head, "Content-Type"))[0][1],
                           "STOW-RS then frames")

    def test_c_get_uncompressed_only(self):
        """getscu proposes the uncompressed syntaxes only: every image comes
        out decoded, equal to the reference; the unreadable one fails."""
        self.stored_once()
        d = tempfile.mkdtemp(dir=self.tmp)
        p = vt.run(["getscu", "-aet", "GETTER", "-aec", self.server.aetitle, "-od", d, "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + ROOT + ".1",
                    "127.0.0.1", str(self.server.port)], timeout=300)
        got = {}
        for name in os.listdir(d):
            ds = pydicom.dcmread(os.path.join(d, name))
            got[str(ds.SOPInstanceUID)] = ds
        self.assertEqual(sorted(got), sorted(s.instance for s in self.samples),
                         p.stdout[-2000:] + p.stderr[-2000:])
        for s in self.samples:
            ds = got[s.instance]
            self.assertIn(ds.file_meta.TransferSyntaxUID,
                          ("1.2.840.10008.1.2", "1.2.840.10008.1.2.1"), s.name)
            self.assert_frames(s, ds.PixelData, "C-GET")
            if ds.SamplesPerPixel == 3:
                self.assertEqual(ds.PhotometricInterpretation, "RGB", s.name)
        # The unreadable image: a failed sub-operation, logged.
        p = vt.run(["getscu", "-v", "-aet", "GETTER", "-aec", self.server.aetitle, "-od", d,
                    "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + ROOT + ".2",
                    "127.0.0.1", str(self.server.port)], timeout=300)
        self.assertIn("Number of Failed Suboperations    : 1", p.stdout + p.stderr)
        self.server.wait_log("MOVE/STORE:Cannot decode")
        self.assertIn("JPEG 2000:", self.server.log())

    def test_d_move_to_uncompressed_only_peer(self):
        """storescp without compression options gets every image decoded."""
        self.stored_once()
        before = set(self.dest.files())
        p, responses = vt.movescu(self.server.port, ["StudyInstanceUID=" + ROOT + ".1"],
                                  self.dest.aetitle, called=self.server.aetitle)
        final = [r for r in responses if r["final"]][0]
        self.assertEqual((final.get("status"), final.get("completed"), final.get("failed")),
                         (0, len(self.samples), 0), p.stdout[-3000:])
        got = {}
        for f in set(self.dest.files()) - before:
            ds = pydicom.dcmread(f)
            got[str(ds.SOPInstanceUID)] = ds
        for s in self.samples:
            self.assert_frames(s, got[s.instance].PixelData, "C-MOVE")

    def test_d2_move_to_a_peer_that_takes_htj2k(self):
        """A peer that accepts the stored syntaxes (another of these
        archives) gets every image as stored, HTJ2K included."""
        self.stored_once()
        p, responses = vt.movescu(self.server.port, ["StudyInstanceUID=" + ROOT + ".1"],
                                  "VELTO2", called=self.server.aetitle)
        final = [r for r in responses if r["final"]][0]
        self.assertEqual((final.get("status"), final.get("failed")), (0, 0), p.stdout[-3000:])
        for s in self.samples:
            sent = pydicom.dcmread(s.path)
            path = vt.uid_path(self.peer.basedir, s.study, s.series, s.instance)
            with open(path, "rb") as f:
                self.assertIn(str(sent.file_meta.TransferSyntaxUID).encode(), f.read(1024),
                              s.name)
            self.assertEqual(pydicom.dcmread(path).PixelData, sent.PixelData, s.name)

    def test_d3_check_and_rebuild_of_htj2k_files(self):
        """storeindex finds the peer's store (HTJ2K files among its images)
        consistent, and a rebuild of its index answers the stored syntaxes
        again."""
        s = self.samples[0]
        if not os.path.exists(vt.uid_path(self.peer.basedir, s.study, s.series, s.instance)):
            self.test_d2_move_to_a_peer_that_takes_htj2k()
        storeindex = os.path.join(vt.BUILD, "storeindex", "storeindex")
        self.peer.stop()
        try:
            for command in ("check", "rebuild", "check"):
                p = vt.run([storeindex, command, self.peer.basedir], timeout=300)
                self.assertEqual(p.returncode, 0, command + ": " + p.stdout + p.stderr)
        finally:
            self.peer.start()
        want = {s.instance: str(pydicom.dcmread(s.path, stop_before_pixels=True)
                                .file_meta.TransferSyntaxUID) for s in self.samples}
        _, found = self.peer.findscu(["StudyInstanceUID=" + ROOT + ".1", "SOPInstanceUID",
                                      "AvailableTransferSyntaxUID"], level="IMAGE")
        self.assertEqual({str(d.SOPInstanceUID): str(d.AvailableTransferSyntaxUID)
                          for d in found}, want)

    def test_e_wado_frames(self):
        """WADO-RS frames, as application/octet-stream: each frame decoded
        alone equals the reference's frame."""
        self.stored_once()
        for s in self.samples:
            numbers = ",".join(str(i + 1) for i in range(s.frames))
            status, head, body = self.web.curl(self.uri(s) + "/frames/" + numbers)
            self.assertEqual(status, 200, s.name)
            parts = multipart_parts(body, header(head, "Content-Type"))
            self.assertEqual(len(parts), s.frames, s.name)
            for i, (h, data) in enumerate(parts):
                self.assertIn("application/octet-stream", h)
                ref = s.reference[i]
                self.assertEqual(data[:len(ref)], ref, "%s frame %d" % (s.name, i + 1))
            if s.frames > 1:
                # The last frame alone.
                status, head, body = self.web.curl(self.uri(s) + "/frames/%d" % s.frames)
                parts = multipart_parts(body, header(head, "Content-Type"))
                self.assertEqual(parts[0][1][:len(s.reference[-1])], s.reference[-1], s.name)

    def test_f_wado_uri_and_rs_transcoded(self):
        """WADO-URI and WADO-RS asked for Explicit VR Little Endian decode."""
        self.stored_once()
        for s in self.samples:
            out = os.path.join(self.tmp, "uri.dcm")
            status, _, _ = self.web.curl(
                "/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                "&contentType=application/dicom&transferSyntax=1.2.840.10008.1.2.1"
                % (s.study, s.series, s.instance), out=out)
            self.assertEqual(status, 200, s.name)
            self.assert_frames(s, pydicom.dcmread(out).PixelData, "WADO-URI")
            status, head, body = self.web.curl(self.uri(s), [
                "-H", 'Accept: multipart/related; type="application/dicom"; '
                      'transfer-syntax=1.2.840.10008.1.2.1'])
            parts = multipart_parts(body, header(head, "Content-Type"))
            self.assertEqual(len(parts), 1, s.name)
            self.assert_frames(s, pydicom.dcmread(io.BytesIO(parts[0][1])).PixelData,
                               "WADO-RS")

    def test_f2_wado_rs_in_htj2k(self):
        """WADO-RS asked for an HTJ2K syntax: the images stored in it, as
        stored; the others are left out (nothing encodes them)."""
        self.stored_once()
        status, head, body = self.web.curl(
            "/dicom-web/studies/%s" % (ROOT + ".1"),
            ["-H", 'Accept: multipart/related; type="application/dicom"; '
                   'transfer-syntax=' + HTJ2K_LOSSLESS])
        self.assertEqual(status, 200)
        parts = multipart_parts(body, header(head, "Content-Type"))
        want = {}
        for s in self.samples:
            ts = pydicom.dcmread(s.path, stop_before_pixels=True).file_meta.TransferSyntaxUID
            if ts == HTJ2K_LOSSLESS:
                want[s.instance] = s
        got = {}
        for h, data in parts:
            self.assertIn("transfer-syntax=" + HTJ2K_LOSSLESS, h)
            ds = pydicom.dcmread(io.BytesIO(data), stop_before_pixels=False)
            got[str(ds.SOPInstanceUID)] = ds
        self.assertEqual(sorted(got), sorted(want))
        for uid, ds in got.items():
            self.assertEqual(ds.PixelData, pydicom.dcmread(want[uid].path).PixelData)

    def test_g_rendered_equals_uncompressed_twin(self):
        """The rendered image and thumbnail of a compressed image equal those
        of its reference pixels stored uncompressed."""
        self.stored_once()
        for s in self.samples:
            ds = pydicom.dcmread(s.path)
            twin = ds.copy()
            twin.file_meta = ds.file_meta.copy()
            twin.SOPInstanceUID = twin.file_meta.MediaStorageSOPInstanceUID = s.instance + ".7"
            twin.PixelData = b"".join(s.reference)
            twin["PixelData"].VR = "OW" if ds.BitsAllocated == 16 else "OB"
            if twin.SamplesPerPixel == 3:
                twin.PhotometricInterpretation = "RGB"
            twin.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
            twin.is_implicit_VR, twin.is_little_endian = False, True
            path = os.path.join(self.tmp, "twin.dcm")
            twin.save_as(path, write_like_original=False)
            self.store_raw(path)
            for what in ("rendered", "thumbnail"):
                a = self.web.curl(self.uri(s) + "/" + what, ["-H", "Accept: image/png"])
                b = self.web.curl(self.uri(s) + ".7/" + what, ["-H", "Accept: image/png"])
                self.assertEqual((a[0], b[0]), (200, 200), s.name)
                self.assertEqual(header(a[1], "Content-Type"), "image/png")
                self.assertTrue(a[2] == b[2], "%s: %s differs" % (s.name, what))

    def test_h_stored_syntax_answered(self):
        """C-FIND and QIDO-RS answer each image's stored syntax (Available
        Transfer Syntax UID), the HTJ2K ones, which the toolkit does not
        know, included."""
        self.stored_once()
        want = {s.instance: str(pydicom.dcmread(s.path, stop_before_pixels=True)
                                .file_meta.TransferSyntaxUID) for s in self.samples}
        self.assertIn(HTJ2K, want.values())
        p, found = self.server.findscu(["StudyInstanceUID=" + ROOT + ".1", "SOPInstanceUID",
                                        "AvailableTransferSyntaxUID"], level="IMAGE")
        # (The uncompressed twins of test_g are in the study too.)
        got = {str(d.SOPInstanceUID): str(d.get("AvailableTransferSyntaxUID", ""))
               for d in found if str(d.SOPInstanceUID) in want}
        self.maxDiff = None
        self.assertEqual(got, want, p.stdout + p.stderr)
        answer = self.web.json("/dicom-web/studies/%s/instances" % (ROOT + ".1"))
        got = {value(a, "00080018"): value(a, "00083002") for a in answer
               if value(a, "00080018") in want}
        self.assertEqual(got, want)


if __name__ == "__main__":
    vt.main()

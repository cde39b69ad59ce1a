"""storeindex compress with `syntax htj2k-lossless`: the images of quiet
studies rewritten in HTJ2K lossless (1.2.840.10008.1.2.4.201, OpenJPH's
encoder) beside a running server, on the CT, MR, CR and US samples of
test_compress (pydicom's and generated ones with realistic noise: 8 and 16
bits, signed, RGB, multi-frame, big endian). Printed: the bytes on disk
before and after. Each frame's codestream (one fragment per frame, behind a
basic offset table) decoded by reference tools on the extracted
codestream: OpenJPEG's opj_decompress (another implementation than the
encoder) for every image, OpenJPH's ojph_expand too for the unsigned ones
(its 0.9 writes signed samples as zeros), to the original pixels bit for
bit; the meta header read by dcmdump without a warning; every attribute
kept but an RGB image's colour model (YBR_RCT); C-FIND and QIDO-RS
answering .201; a C-MOVE to an uncompressed-only peer giving the original
pixels. And the compressor killed at each write, flush and rename of the
HTJ2K pass: each image whole, check clean, the next pass finishing it."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy
import pydicom
from pydicom.encaps import generate_pixel_data_frame, get_frame_offsets
from pydicom.filebase import DicomBytesIO

import veltotest as vt
import archiveclients as ac
import j2kref
import test_compress as tc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webharness  # noqa: E402

HTJ2K = j2kref.HTJ2K_LOSSLESS
ROOT = ac.UID_ROOT + ".371"


def ojph_frame(cs, ds, tmp, i):
    """A codestream of unsigned samples decoded by ojph_expand: its samples
    as the stored words (interleaved for colour, little endian for 16
    bits), or None."""
    src = os.path.join(tmp, "ojph%d.j2c" % i)
    with open(src, "wb") as f:
        f.write(cs)
    spp, rows, cols = ds.SamplesPerPixel, ds.Rows, ds.Columns
    # One component: .yuv, 16-bit samples as 2 bytes little endian. Three
    # (whose colour transform .yuv does not undo): .ppm, interleaved, 16-bit
    # samples big endian behind a text header of three lines.
    out = os.path.join(tmp, "ojph%d.%s" % (i, "ppm" if spp == 3 else "yuv"))
    p = subprocess.run(["ojph_expand", "-i", src, "-o", out], capture_output=True, timeout=120)
    if p.returncode != 0 or not os.path.exists(out):
        return None
    with open(out, "rb") as f:
        data = f.read()
    if spp == 3:
        data = data.split(b"\n", 3)[3]
    wide = ds.BitsAllocated == 16
    a = numpy.frombuffer(data, dtype=(">u2" if spp == 3 else "<u2") if wide else "u1")
    if a.size != spp * rows * cols:
        return None
    return a.astype("<u2" if wide else "u1").tobytes()


def sign_extended(ds, frames):
    """opj_decompress's frames of a signed image, which it writes as Bits
    Stored's two's complement, as the stored words (sign-extended)."""
    if frames is None or ds.PixelRepresentation == 0 or ds.BitsAllocated != 16:
        return frames
    bits = ds.BitsStored
    out = []
    for f in frames:
        v = numpy.frombuffer(f, "<u2").astype(numpy.int64) & ((1 << bits) - 1)
        v = numpy.where(v >= 1 << (bits - 1), v - (1 << bits), v)
        out.append((v & 0xFFFF).astype("<u2").tobytes())
    return out


def codestreams(path):
    ds = pydicom.dcmread(path)
    n = j2kref.frame_count(ds)
    frames = list(generate_pixel_data_frame(ds.PixelData, n))
    return ds, frames


class HtjCompressTests(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = tempfile.mkdtemp(prefix="velto-htj2k-")
        cls.files = {}  # name -> (path sent, expected: "htj2k" or "kept")
        w = cls.work
        add = lambda name, path, kind: cls.files.__setitem__(name, (path, kind))
        s = ROOT + ".1"
        add("CT_small", tc.relabel(vt.pydicom_file("CT_small.dcm"), w + "/ct.dcm", s, 1), "htj2k")
        add("MR_small", tc.relabel(vt.pydicom_file("MR_small.dcm"), w + "/mr.dcm", s, 2), "htj2k")
        add("MR_bigendian", tc.relabel(vt.pydicom_file("MR_small_bigendian.dcm"),
                                       w + "/mrbe.dcm", s, 3), "htj2k")
        subprocess.run(["gdcmconv", "--raw", vt.pydicom_file("SC_rgb_rle_2frame.dcm"),
                        w + "/rgbsrc.dcm"], check=True)
        add("SC_rgb_2frame", tc.relabel(w + "/rgbsrc.dcm", w + "/rgb.dcm", s, 4), "htj2k")
        add("JPEG_lossy", tc.relabel(vt.pydicom_file("SC_rgb_jpeg_lossy_gdcm.dcm"),
                                     w + "/lossy.dcm", s, 5), "kept")
        s = ROOT + ".2"
        add("CT_noise", tc.noisy(w + "/ctn.dcm", s, 1, "CT", 192, 192, signed=True, seed=2),
            "htj2k")
        add("MR_noise", tc.noisy(w + "/mrn.dcm", s, 2, "MR", 160, 160, seed=3), "htj2k")
        add("CR_noise", tc.noisy(w + "/crn.dcm", s, 3, "CR", 256, 192, stored=10, seed=4),
            "htj2k")
        add("US_rgb_frames", tc.noisy(w + "/usn.dcm", s, 4, "US", 64, 80, bits=8, stored=8,
                                      samples=3, frames=4, seed=5), "htj2k")
        add("CT_noise_be", tc.noisy(w + "/ctbe.dcm", s, 5, "CT", 96, 96, signed=True,
                                    big_endian=True, seed=6), "htj2k")
        add("XA_8bit_frames", tc.noisy(w + "/xa.dcm", s, 6, "XA", 96, 128, bits=8, stored=8,
                                       frames=3, seed=7), "htj2k")
        add("CT_signed16", tc.noisy(w + "/ct16.dcm", s, 7, "CT", 64, 64, stored=16, signed=True,
                                    seed=8), "htj2k")
        # 12 bits stored with an overlay bit above them in some words: the
        # codestream's 12-bit precision could not give them back.
        path = tc.noisy(w + "/ov.dcm", s, 8, "CR", 64, 64, stored=12, seed=9)
        ds = pydicom.dcmread(path)
        data = bytearray(ds.PixelData)
        for i in range(1, len(data), 97):
            data[i] |= 0x80
        ds.PixelData = bytes(data)
        ds.save_as(path)
        add("CR_overlay_bits", path, "kept")
        cls.original = {n: tc.raw_pixels(p, w) for n, (p, _) in cls.files.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def stored(self, srv, name):
        ds = pydicom.dcmread(self.files[name][0], stop_before_pixels=True)
        return ac.image_path(srv.basedir, ds.StudyInstanceUID, ds.SeriesInstanceUID,
                             ds.SOPInstanceUID)

    def same_frames(self, got, want, what):
        """Frames compared without a diff of their bytes (too slow to make)."""
        self.assertIsNotNone(got, what)
        self.assertNotIn(None, got, what)
        self.assertEqual(len(got), len(want), what)
        for i, (g, w) in enumerate(zip(got, want)):
            if g != w:
                a, b = numpy.frombuffer(g, "u1"), numpy.frombuffer(w, "u1")
                at = int(numpy.argmax(a != b)) if a.size == b.size else -1
                self.fail("%s: frame %d differs (sizes %d, %d; first at byte %d: %r vs %r)"
                          % (what, i + 1, len(g), len(w), at, g[at - at % 2:at + 4],
                             w[at - at % 2:at + 4]))

    def check_codestreams(self, name, path):
        """One fragment per frame behind an offset table, each decoded by
        ojph_expand and opj_decompress to the original frame."""
        ds, frames = codestreams(path)
        n = j2kref.frame_count(ds)
        self.assertEqual(len(frames), n, name)
        fp = DicomBytesIO(ds.PixelData)
        fp.is_little_endian = True
        _, offsets = get_frame_offsets(fp)
        self.assertEqual(len(offsets), n, name)
        self.assertEqual(offsets[0], 0, name)
        size = len(self.original[name]) // n
        want = [self.original[name][i * size:(i + 1) * size] for i in range(n)]
        tmp = tempfile.mkdtemp(dir=self.work)
        if ds.PixelRepresentation == 0:
            got = [ojph_frame(cs, ds, tmp, i) for i, cs in enumerate(frames)]
            self.same_frames(got, want, name + " (ojph_expand)")
        self.same_frames(sign_extended(ds, j2kref.opj_reference(path, tmp)), want,
                         name + " (opj_decompress)")
        shutil.rmtree(tmp)
        # The HT block coder: the codestream names HTJ2K (Rsiz bit 14, a CAP
        # marker) and a reversible transform.
        rsiz = int.from_bytes(frames[0][6:8], "big")
        self.assertTrue(rsiz & 0x4000, name)
        self.assertIn(b"\xff\x50", frames[0][:400], name)
        return ds

    def test_a_htj2k_beside_a_running_server(self):
        dest = vt.StoreSCP(self.work, aetitle="PLAIN")  # uncompressed syntaxes only
        self.addCleanup(dest.stop)
        srv = self.server(aetmap=dest.map_line())
        for name, (path, _) in self.files.items():
            propose = {"JPEG_lossy": ["-xy"]}.get(name, [])
            p = vt.run(["storescu", "-v", "-R"] + propose + ["-aet", "CMP", "-aec", srv.aetitle,
                                                             "127.0.0.1", str(srv.port), path],
                       timeout=60)
            self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"],
                             name + ": " + (p.stdout + p.stderr)[-2000:])
        before = {n: os.path.getsize(self.stored(srv, n)) for n in self.files}
        attrs = {n: tc.attributes(self.stored(srv, n)) for n in self.files}
        kept = {}
        for name in ("JPEG_lossy", "CR_overlay_bits"):
            with open(self.stored(srv, name), "rb") as f:
                kept[name] = f.read()
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("syntax htj2k-lossless\nquiet 0s\n")
        p = vt.run([ac.STOREINDEX, "compress", srv.basedir], env=srv.env, timeout=300)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("images: 11 compressed, 2 left as they are, 0 failed", p.stdout)
        report = []
        for name, (_, kind) in sorted(self.files.items()):
            path = self.stored(srv, name)
            after = os.path.getsize(path)
            report.append("%-14s %8d -> %8d" % (name, before[name], after))
            self.assertEqual(tc.checksum_line(path), tc.file_record(path), name)
            if kind == "kept":
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), kept[name], name)
                continue
            self.assertEqual(tc.syntax(path), HTJ2K, name)
            self.assertLess(after, before[name], name)
            ds = self.check_codestreams(name, path)
            # Every attribute kept but RGB's colour model, the reversible
            # colour transform's.
            want = dict(attrs[name])
            if want.get("(0028, 0004)") == "RGB":
                want["(0028, 0004)"] = "YBR_RCT"
            self.assertEqual(tc.attributes(path), want, name)
            self.assertEqual(ds.get("PlanarConfiguration", 0), 0, name)
            # The toolkit reads the meta header (its group length rewritten
            # for the HTJ2K syntax) without a complaint.
            d = vt.run(["dcmdump", "-M", "+L", path])
            self.assertEqual(d.returncode, 0, d.stderr)
            self.assertNotRegex(d.stdout + d.stderr, r"(?m)^[WE]: ", name)
            self.assertIn("[%s]" % HTJ2K, d.stdout.replace("\0", ""), name)
        print("\n".join(report))
        noise = [n for n in self.files if n.endswith(("_noise", "_frames", "_be"))]
        saved = 1 - sum(os.path.getsize(self.stored(srv, n)) for n in noise) / sum(
            before[n] for n in noise)
        total = sum(before.values()), sum(os.path.getsize(self.stored(srv, n))
                                          for n in self.files)
        print("all samples: %d -> %d bytes; noisy samples: %.1f%% saved"
              % (total[0], total[1], 100 * saved))
        self.assertGreater(saved, 0.3)
        # A second pass finds nothing more to do; the store checks clean.
        p = vt.run([ac.STOREINDEX, "compress", srv.basedir], env=srv.env, timeout=300)
        self.assertIn("images: 0 compressed, 13 left as they are, 0 failed", p.stdout)
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))
        # C-FIND answers the stored syntax.
        for name, (path, kind) in self.files.items():
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            p = vt.run(["findscu", "-v", "-S", "-aet", "CMP", "-aec", srv.aetitle,
                        "-k", "QueryRetrieveLevel=IMAGE",
                        "-k", "StudyInstanceUID=" + ds.StudyInstanceUID,
                        "-k", "SeriesInstanceUID=" + ds.SeriesInstanceUID,
                        "-k", "SOPInstanceUID=" + ds.SOPInstanceUID,
                        "-k", "AvailableTransferSyntaxUID", "127.0.0.1", str(srv.port)])
            answers = re.findall(r"\(0008,3002\) UI (\S+)",
                                 (p.stdout + p.stderr).split("Find Response:", 1)[-1])
            self.assertEqual(len(answers), 1, name + (p.stdout + p.stderr)[-2000:])
            # The odd-length UID's padding ends the word findscu prints.
            self.assertEqual(answers[0].startswith("[" + HTJ2K), kind == "htj2k",
                             name + answers[0])
        # So does QIDO-RS.
        web = webharness.Web(srv)
        self.addCleanup(web.stop)
        got = {}
        for study in (ROOT + ".1", ROOT + ".2"):
            for a in web.json("/dicom-web/studies/%s/instances" % study):
                got[webharness.value(a, "00080018")] = webharness.value(a, "00083002")
        want = {}
        for name, (path, kind) in self.files.items():
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            want[str(ds.SOPInstanceUID)] = tc.syntax(self.stored(srv, name))
        self.assertEqual(got, want)
        self.assertEqual(sum(v == HTJ2K for v in got.values()), 11)
        # A peer that takes only uncompressed images gets the original pixels.
        for study in (ROOT + ".1", ROOT + ".2"):
            p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + study], "PLAIN",
                                      called=srv.aetitle)
            final = [r for r in responses if r["final"]][0]
            self.assertEqual(final.get("failed") or 0, 0, p.stdout[-2000:])
        got = {}
        for f in dest.files():
            ds = pydicom.dcmread(f, stop_before_pixels=True)
            got[str(ds.SOPInstanceUID)] = f
        for name, (path, kind) in self.files.items():
            if kind != "htj2k":
                continue
            uid = str(pydicom.dcmread(path, stop_before_pixels=True).SOPInstanceUID)
            self.assertIn(tc.syntax(got[uid]), ("1.2.840.10008.1.2", "1.2.840.10008.1.2.1"),
                          name)
            self.same_frames([tc.raw_pixels(got[uid], self.work)], [self.original[name]], name)

    def pixels(self, path):
        """The image's pixels whatever its form: decoded by opj_decompress
        when HTJ2K (gdcm does not know the syntax), else by gdcm."""
        if tc.syntax(path) != HTJ2K:
            return tc.raw_pixels(path, self.work)
        tmp = tempfile.mkdtemp(dir=self.work)
        ds = pydicom.dcmread(path, stop_before_pixels=True)
        frames = sign_extended(ds, j2kref.opj_reference(path, tmp))
        shutil.rmtree(tmp)
        return None if frames is None else b"".join(frames)

    def test_b_killed_at_the_htj2k_steps(self):
        """A 16-bit signed CT and a 4-frame RGB US on a stopped store, the
        HTJ2K compressor killed at each write, flush and rename in turn:
        each image whole in one of its forms, check clean, the next pass
        finishing it."""
        names = ("CT_noise", "US_rgb_frames")
        srv = self.server()
        srv.storescu([self.files[n][0] for n in names])
        srv.stop()
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("syntax htj2k-lossless\nquiet 0s\n")
        kills = 0
        for call, most in (("write", 4), ("fsync", 6), ("rename", 3)):
            for n in range(1, most + 1):
                store = os.path.join(self.work, "%s-%d" % (call, n))
                shutil.copytree(srv.basedir, store, symlinks=True)
                p = vt.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call,
                            "-e", "inject=%s:signal=KILL:when=%d" % (call, n), ac.STOREINDEX,
                            "compress", store], env=srv.env, timeout=120)
                kills += p.returncode in (-9, 137)
                with self.subTest(call=call, n=n):
                    for again in (False, True):
                        if again:
                            p = vt.run([ac.STOREINDEX, "compress", store], env=srv.env,
                                       timeout=120)
                            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                        status, lines = ac.storeindex("check", store)
                        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()),
                                         "\n".join(lines))
                        for name in names:
                            ds = pydicom.dcmread(self.files[name][0], stop_before_pixels=True)
                            path = ac.image_path(store, ds.StudyInstanceUID,
                                                 ds.SeriesInstanceUID, ds.SOPInstanceUID)
                            self.assertEqual(self.pixels(path), self.original[name], name)
                            if tc.checksum_line(path) != tc.file_record(path):
                                # Between the new line and the rename only.
                                self.assertFalse(again, name)
                                self.assertEqual(tc.checksum_line(path),
                                                 tc.file_record(path + ".compressing"), name)
                            if again:
                                self.assertEqual(tc.syntax(path), HTJ2K, name)
                                self.assertFalse(os.path.exists(path + ".compressing"))
                shutil.rmtree(store)
        print("kills: %d" % kills)
        self.assertGreaterEqual(kills, 8)


if __name__ == "__main__":
    vt.main()

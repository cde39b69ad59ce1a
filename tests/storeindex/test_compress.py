"""storeindex compress: the images of quiet studies rewritten in JPEG-LS
lossless beside a running server. On CT, MR, CR and US samples (pydicom's
and generated ones with realistic noise: 8 and 16 bits, signed, RGB,
multi-frame, big endian): the bytes on disk before and after, every
compressed image decoded by another implementation (gdcmconv --raw) to the
original pixels bit for bit, the SOP Instance UID and every other attribute
kept, the checksum line that of the new file, C-FIND answering the new
syntax, a C-MOVE to an uncompressed-only peer giving the original pixels;
lossy and compressed images untouched. And the compressor killed (SIGKILL,
injected by strace) at every file-changing system call in turn: each image
whole in one of its two forms, its checksum line that of the file present,
`storeindex check` without findings, the next pass finishing the rest."""

import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import veltotest as vt
import archiveclients as ac

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webharness  # noqa: E402

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset

JLS = "1.2.840.10008.1.2.4.80"
ROOT = ac.UID_ROOT + ".37"
CALLS = ("pwrite64", "write", "rename", "unlink", "fdatasync", "fsync", "ftruncate", "openat",
         "utimensat")
MAX_PER_CALL = {"write": 6, "openat": 12}


def noisy(path, study, n, modality, rows, cols, bits=16, stored=12, signed=False, samples=1,
          frames=1, big_endian=False, seed=1):
    """An image of a smooth body with the noise of a real acquisition."""
    rnd = random.Random(seed)
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = "%s.%d" % (study, n)
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = "%s.%d.1" % (study, n)
    ds.file_meta.TransferSyntaxUID = ("1.2.840.10008.1.2.2" if big_endian
                                      else "1.2.840.10008.1.2.1")
    ds.PatientName, ds.PatientID, ds.Modality = "COMPRESS^%s" % modality, "CMP", modality
    ds.StudyDate, ds.StudyTime, ds.SeriesNumber, ds.InstanceNumber = "20240101", "1010", n, 1
    ds.Rows, ds.Columns, ds.SamplesPerPixel = rows, cols, samples
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = bits, stored, stored - 1
    ds.PixelRepresentation = 1 if signed else 0
    ds.PhotometricInterpretation = "RGB" if samples == 3 else "MONOCHROME2"
    if samples == 3:
        ds.PlanarConfiguration = 0
    if frames > 1:
        ds.NumberOfFrames = frames
    top = (1 << (stored - 1)) - 1 if signed else (1 << stored) - 1
    low = -(1 << (stored - 1)) if signed else 0
    out = bytearray()
    for f in range(frames):
        for y in range(rows):
            for x in range(cols):
                dx, dy = (x - cols / 2) / cols, (y - rows / 2) / rows
                body = 0.6 if dx * dx + dy * dy < 0.16 else 0.05
                for s in range(samples):
                    v = int((low + (top - low) * (body + 0.1 * s + 0.02 * f)) +
                            rnd.gauss(0, (top - low) * 0.004))
                    v = max(low, min(top, v))
                    if bits == 8:
                        out.append(v & 0xFF)
                    else:
                        out += (v & 0xFFFF).to_bytes(2, "big" if big_endian else "little")
    ds.PixelData = bytes(out)
    ds.is_little_endian = not big_endian
    ds.is_implicit_VR = False
    pydicom.dcmwrite(path, ds, write_like_original=False)
    return path


def relabel(src, path, study, n):
    ds = pydicom.dcmread(src)
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = "%s.%d" % (study, n)
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = "%s.%d.1" % (study, n)
    ds.save_as(path)
    return path


def raw_pixels(path, work):
    """The pixels as gdcm decodes them (gdcmconv --raw: explicit little
    endian), or None when it cannot."""
    out = os.path.join(work, "raw-%d.dcm" % random.getrandbits(40))
    p = subprocess.run(["gdcmconv", "--raw", path, out], capture_output=True)
    if p.returncode != 0:
        return None
    data = pydicom.dcmread(out).PixelData
    os.unlink(out)
    return data


def checksum_line(path):
    series, name = os.path.split(path)
    instance = name[len("image_"):-len(".dcm")]
    last = None
    try:
        with open(os.path.join(series, "CHECKSUMS")) as f:
            for line in f:
                parts = line.split()
                if line.endswith("\n") and len(parts) == 3 and parts[0] == instance:
                    last = (int(parts[1]), parts[2])
    except FileNotFoundError:
        pass
    return last


def file_record(path):
    with open(path, "rb") as f:
        data = f.read()
    return (len(data), hashlib.sha256(data).hexdigest())


def syntax(path):
    return str(pydicom.dcmread(path, stop_before_pixels=True).file_meta.TransferSyntaxUID)


def attributes(path):
    """Every attribute but the pixel data, as text, with the meta header's
    but its syntax and length."""
    ds = pydicom.dcmread(path, stop_before_pixels=True)
    meta = {str(e.tag): str(e.value) for e in ds.file_meta
            if e.tag not in (0x00020000, 0x00020010)}
    return dict(meta, **{str(e.tag): str(e.value) for e in ds})


class CompressTests(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = tempfile.mkdtemp(prefix="velto-compress-")
        cls.files = {}  # name -> (path sent, expected: "jls" or "kept")
        w = cls.work
        add = lambda name, path, kind: cls.files.__setitem__(name, (path, kind))
        s = ROOT + ".1"
        add("CT_small", relabel(vt.pydicom_file("CT_small.dcm"), w + "/ct.dcm", s, 1), "jls")
        add("MR_small", relabel(vt.pydicom_file("MR_small.dcm"), w + "/mr.dcm", s, 2), "jls")
        add("MR_bigendian", relabel(vt.pydicom_file("MR_small_bigendian.dcm"), w + "/mrbe.dcm",
                                    s, 3), "jls")
        # pydicom's RGB of 2 frames, decoded from its RLE first.
        subprocess.run(["gdcmconv", "--raw", vt.pydicom_file("SC_rgb_rle_2frame.dcm"),
                        w + "/rgbsrc.dcm"], check=True)
        add("SC_rgb_2frame", relabel(w + "/rgbsrc.dcm", w + "/rgb.dcm", s, 4), "jls")
        # 3 by 3 pixels: its compressed form is no smaller.
        add("SC_rgb_odd", relabel(vt.pydicom_file("SC_rgb_small_odd.dcm"), w + "/rgbodd.dcm", s,
                                  8), "kept")
        add("JPEG_lossy", relabel(vt.pydicom_file("SC_rgb_jpeg_lossy_gdcm.dcm"), w + "/lossy.dcm", s, 5),
            "kept")
        add("JLS_already", relabel(vt.pydicom_file("MR_small_jpeg_ls_lossless.dcm"),
                                   w + "/jls.dcm", s, 6), "kept")
        add("rtdose_32bit", relabel(vt.pydicom_file("rtdose_1frame.dcm"), w + "/dose.dcm", s, 7),
            "kept")
        s = ROOT + ".2"
        add("CT_noise", noisy(w + "/ctn.dcm", s, 1, "CT", 192, 192, signed=True, seed=2), "jls")
        add("MR_noise", noisy(w + "/mrn.dcm", s, 2, "MR", 160, 160, seed=3), "jls")
        add("CR_noise", noisy(w + "/crn.dcm", s, 3, "CR", 256, 192, stored=10, seed=4), "jls")
        add("US_rgb_frames", noisy(w + "/usn.dcm", s, 4, "US", 64, 80, bits=8, stored=8,
                                   samples=3, frames=4, seed=5), "jls")
        add("CT_noise_be", noisy(w + "/ctbe.dcm", s, 5, "CT", 96, 96, signed=True,
                                 big_endian=True, seed=6), "jls")
        cls.original = {n: raw_pixels(p, w) for n, (p, _) in cls.files.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def compress(self, srv, *args, env=None, strace=None):
        cmd = [ac.STOREINDEX, "compress"] + list(args)
        if strace:
            cmd = strace + cmd
        return vt.run(cmd, env=env or srv.env, timeout=300)

    def stored(self, srv, name):
        ds = pydicom.dcmread(self.files[name][0], stop_before_pixels=True)
        return ac.image_path(srv.basedir, ds.StudyInstanceUID, ds.SeriesInstanceUID,
                             ds.SOPInstanceUID)

    def test_a_compress_beside_a_running_server(self):
        dest = vt.StoreSCP(self.work, aetitle="PLAIN")  # uncompressed syntaxes only
        self.addCleanup(dest.stop)
        srv = self.server(aetmap=dest.map_line())
        for name, (path, _) in self.files.items():
            # -R: each file in its own syntax (as its own context).
            propose = {"JPEG_lossy": ["-xy"], "JLS_already": ["-xt"]}.get(name, [])
            p = vt.run(["storescu", "-v", "-R"] + propose + ["-aet", "CMP", "-aec", srv.aetitle, "127.0.0.1",
                                                             str(srv.port), path], timeout=60)
            self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"],
                             name + ": " + (p.stdout + p.stderr)[-2000:])
        before = {n: os.path.getsize(self.stored(srv, n)) for n in self.files}
        attrs = {n: attributes(self.stored(srv, n)) for n in self.files}
        kept_bytes = {n: open(self.stored(srv, n), "rb").read() for n, (_, k) in
                      self.files.items() if k == "kept"}
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("syntax jpeg-ls-lossless\nquiet 0s\n")
        p = self.compress(srv, srv.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("images: 9 compressed, 4 left as they are, 0 failed", p.stdout)
        report = []
        for name, (_, kind) in sorted(self.files.items()):
            path = self.stored(srv, name)
            after = os.path.getsize(path)
            report.append("%-14s %8d -> %8d" % (name, before[name], after))
            self.assertEqual(checksum_line(path), file_record(path), name)
            if kind == "kept":
                self.assertEqual(open(path, "rb").read(), kept_bytes[name], name)
                continue
            self.assertEqual(syntax(path), JLS, name)
            self.assertLess(after, before[name], name)
            # Decoded by gdcm (CharLS of its own) to the very same pixels.
            self.assertEqual(raw_pixels(path, self.work), self.original[name], name)
            # Every attribute kept, the SOP Instance UID among them.
            self.assertEqual(attributes(path), attrs[name], name)
        print("\n".join(report))
        noise = [n for n in self.files if n.endswith(("_noise", "_frames", "_be"))]
        saved = 1 - sum(os.path.getsize(self.stored(srv, n)) for n in noise) / sum(
            before[n] for n in noise)
        print("noisy samples: %.1f%% saved" % (100 * saved))
        self.assertGreater(saved, 0.3)
        # A second pass finds nothing more to do.
        p = self.compress(srv, srv.basedir)
        self.assertIn("images: 0 compressed, 13 left as they are, 0 failed", p.stdout)
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))
        # C-FIND answers the stored syntax (findscu names the UIDs it knows).
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
            jls = answers[0] in ("=JPEGLSLossless", "[%s]" % JLS)
            self.assertEqual(jls, kind == "jls" or name == "JLS_already", name + answers[0])
        # So does QIDO-RS.
        web = webharness.Web(srv)
        self.addCleanup(web.stop)
        want = {}
        for name, (path, kind) in self.files.items():
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            want[str(ds.SOPInstanceUID)] = syntax(self.stored(srv, name))
        got = {}
        for study in (ROOT + ".1", ROOT + ".2"):
            for a in web.json("/dicom-web/studies/%s/instances" % study):
                got[webharness.value(a, "00080018")] = webharness.value(a, "00083002")
        self.assertEqual(got, want)
        self.assertEqual(sum(v == JLS for v in got.values()), 10)
        # WADO-RS frames decode each frame alone (the 4-frame RGB US), and
        # WADO-URI in Explicit VR Little Endian decodes the image.
        ds = pydicom.dcmread(self.files["US_rgb_frames"][0])
        uri = "/dicom-web/studies/%s/series/%s/instances/%s" % (
            ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID)
        status, head, body = web.curl(uri + "/frames/1,2,3,4")
        self.assertEqual(status, 200)
        parts = webharness.multipart_parts(body, webharness.header(head, "Content-Type"))
        size = len(ds.PixelData) // 4
        self.assertEqual([data[:size] for _, data in parts],
                         [ds.PixelData[i * size:(i + 1) * size] for i in range(4)])
        out = os.path.join(self.work, "uri.dcm")
        status, _, _ = web.curl("/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                                "&contentType=application/dicom"
                                "&transferSyntax=1.2.840.10008.1.2.1"
                                % (ds.StudyInstanceUID, ds.SeriesInstanceUID,
                                   ds.SOPInstanceUID), out=out)
        self.assertEqual(status, 200)
        self.assertEqual(pydicom.dcmread(out).PixelData, ds.PixelData)
        # C-GET with an uncompressed-only proposal (getscu's default).
        got_dir = tempfile.mkdtemp(dir=self.work)
        p = vt.run(["getscu", "-S", "-aet", "CMP", "-aec", srv.aetitle, "-od", got_dir,
                    "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + ROOT + ".2",
                    "127.0.0.1", str(srv.port)])
        got = sorted(os.listdir(got_dir))
        self.assertEqual(len(got), 5, p.stdout + p.stderr)
        for f in got:
            path = os.path.join(got_dir, f)
            self.assertNotEqual(syntax(path), JLS)
            name = [n for n, (src, _) in self.files.items() if str(pydicom.dcmread(
                src, stop_before_pixels=True).SOPInstanceUID) == str(pydicom.dcmread(
                    path, stop_before_pixels=True).SOPInstanceUID)][0]
            self.assertEqual(raw_pixels(path, self.work), self.original[name], name)
        # A peer that takes only uncompressed images gets the original pixels.
        for study in (ROOT + ".1", ROOT + ".2"):
            p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + study], "PLAIN",
                                      called=srv.aetitle)
            final = [r for r in responses if r["final"]][0]
            self.assertGreaterEqual(final.get("completed") or 0, 4, p.stdout[-2000:])
        got = {}
        for f in dest.files():
            ds = pydicom.dcmread(f)
            got[str(ds.SOPInstanceUID)] = f
        for name, (path, kind) in self.files.items():
            if kind != "jls":
                continue
            uid = str(pydicom.dcmread(path, stop_before_pixels=True).SOPInstanceUID)
            self.assertNotEqual(syntax(got[uid]), JLS)
            self.assertEqual(raw_pixels(got[uid], self.work), self.original[name], name)

    def test_b_killed_at_every_step(self):
        """Two images (one 16-bit signed CT, one RGB US of 4 frames) on a
        stopped store; the compressor killed at the n-th call of each kind."""
        names = ("CT_noise", "US_rgb_frames")
        srv = self.server()
        srv.storescu([self.files[n][0] for n in names])
        srv.stop()
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("quiet 0s\n")
        base = srv.basedir
        # Count the calls of a whole run on a copy.
        counts = {}
        copy = os.path.join(self.work, "count")
        shutil.copytree(base, copy, symlinks=True)
        trace = os.path.join(self.work, "count.trace")
        p = self.compress(srv, copy, strace=["strace", "-f", "-qq", "-o", trace, "-e",
                                             "trace=" + ",".join(CALLS)])
        self.assertIn("images: 2 compressed", p.stdout, p.stderr)
        with open(trace) as f:
            for line in f:
                m = re.match(r"\d+ +(\w+)\(", line)
                if m:
                    counts[m.group(1)] = counts.get(m.group(1), 0) + 1
        shutil.rmtree(copy)
        kills = 0
        states = set()
        for call in CALLS:
            for n in range(1, min(counts.get(call, 0), MAX_PER_CALL.get(call, 30)) + 1):
                store = os.path.join(self.work, "%s-%d" % (call, n))
                shutil.copytree(base, store, symlinks=True)
                p = self.compress(srv, store, strace=[
                    "strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                    "inject=%s:signal=KILL:when=%d" % (call, n)])
                if p.returncode == -9 or p.returncode == 137:
                    kills += 1
                with self.subTest(call=call, n=n):
                    self.verify_whole(store, names, states)
                    # The next pass finishes (or redoes) what the kill left.
                    p = self.compress(srv, store)
                    self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                    self.verify_whole(store, names, states)
                    for name in names:
                        path = self.path_in(store, name)
                        self.assertEqual(syntax(path), JLS, name)
                        self.assertFalse(os.path.exists(path + ".compressing"))
                shutil.rmtree(store)
        print("kills: %d, states seen: %s" % (kills, sorted(states)))
        self.assertGreater(kills, 15)
        # Among them the state between the checksum line and the rename.
        self.assertIn("line new, file old", states)

    def test_c_server_housekeeping_pass(self):
        """The server runs the pass itself every "every" (1 second here),
        while idle; the images of its quiet studies become JPEG-LS."""
        names = ("MR_noise", "CT_noise_be")
        srv = self.server(start=False)
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("quiet 0s\nevery 1s\nmodality MR CT\n")
        srv.start()
        for name in names:
            ok, out = ac.store_one(srv, self.files[name][0])
            self.assertTrue(ok, out)
        paths = [self.stored(srv, n) for n in names]
        vt.wait_for(lambda: all(syntax(p) == JLS for p in paths), 30,
                    what="the server's pass to compress the images")
        srv.wait_log("Compression: ")
        for name, path in zip(names, paths):
            self.assertEqual(checksum_line(path), file_record(path), name)
            self.assertEqual(raw_pixels(path, self.work), self.original[name], name)
        self.assertRegex(srv.log(), r"Compression: [12] image\(s\) compressed")
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))

    def test_d_damage_and_size_limit(self):
        """A file that does not match its checksum line fails (logged,
        counted, left as it is) and the pass goes on; a file above
        max-image is left alone."""
        names = ("CT_small", "MR_noise", "MR_small")
        srv = self.server()
        for name in names:
            ok, out = ac.store_one(srv, self.files[name][0])
            self.assertTrue(ok, out)
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("quiet 0s\nmax-image 45K\n")
        damaged = self.stored(srv, "CT_small")
        with open(damaged, "r+b") as f:
            f.seek(-100, os.SEEK_END)
            byte = f.read(1)
            f.seek(-100, os.SEEK_END)
            f.write(bytes([byte[0] ^ 0x40]))
        kept = {n: open(self.stored(srv, n), "rb").read() for n in names[:2]}
        p = self.compress(srv, srv.basedir)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        self.assertIn("images: 1 compressed, 1 left as they are, 1 failed", p.stdout)
        self.assertIn("does not match its checksum line", p.stderr)
        for name in names[:2]:
            self.assertEqual(open(self.stored(srv, name), "rb").read(), kept[name], name)
        self.assertEqual(syntax(self.stored(srv, "MR_small")), JLS)

    def path_in(self, store, name):
        ds = pydicom.dcmread(self.files[name][0], stop_before_pixels=True)
        return ac.image_path(store, ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID)

    def verify_whole(self, store, names, states):
        status, lines = ac.storeindex("check", store)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))
        for name in names:
            path = self.path_in(store, name)
            self.assertEqual(raw_pixels(path, self.work), self.original[name], name)
            line, rec = checksum_line(path), file_record(path)
            tmp = path + ".compressing"
            if line != rec:
                # Only between the new line and the rename: the compressed
                # form whole beside the image, the line its own.
                self.assertTrue(os.path.exists(tmp), name)
                self.assertEqual(line, file_record(tmp), name)
                self.assertEqual(raw_pixels(tmp, self.work), self.original[name], name)
                states.add("line new, file old")
                # The scrub sees an unfinished compression there, no damage.
                p = vt.run([ac.STOREINDEX, "scrub", "-m", "0", store], timeout=120)
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assertIn("unfinished-compression", p.stdout + p.stderr)
            else:
                states.add("consistent")


if __name__ == "__main__":
    vt.main()

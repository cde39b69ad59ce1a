"""The object tier against a real S3 gateway (a single-node Ceph cluster
with a RADOS Gateway, one for all cases): studies moved out by
`storeindex tier` and read back by C-MOVE, C-GET, WADO-RS, WADO-URI and
rendered images, byte for byte; deletes that remove the objects; check and
rebuild with moved images; the mover killed at each step of moving an
image; a gateway that is down; and settings that must stop the server."""

import hashlib
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import veltotest as vt

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))
from cephcluster import ACCESS_KEY, REGION, SECRET_KEY, CephCluster

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
STOREWEB = os.path.join(vt.BUILD, "web", "storeweb")
ROOT = "1.2.826.0.1.3680043.9.7777.41"


def dataset_bytes(data):
    """The bytes of a Part 10 file after its meta header (group length)."""
    assert data[128:132] == b"DICM"
    (glen,) = struct.unpack("<I", data[140:144])
    return data[144 + glen:]


def study_images(study, count, size=96):
    return [(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(count)]


class TierTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = tempfile.mkdtemp(prefix="tier-")
        cls.ceph = CephCluster(os.path.join(cls.work, "ceph"))
        try:
            cls.ceph.start()
        except BaseException:
            cls.ceph.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.ceph.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    # -- helpers -------------------------------------------------------

    def tiered_server(self, bucket, aetmap=None, settings="", key_mode=0o600, start=True,
                      create=True, args=(), basedir=None):
        """A server whose ObjectTier names a fresh bucket (create) or one
        made before; quiet time 0."""
        if create:
            code, body = self.ceph.curl("PUT", "/" + bucket)
            self.assertEqual(code, 200, body)
        srv = self.server(args=list(args), aetmap=aetmap, start=False, basedir=basedir)
        key = os.path.join(srv.etc, "tier.key")
        with open(key, "w") as f:
            f.write("access-key %s\nsecret-key %s\n" % (ACCESS_KEY, SECRET_KEY))
        os.chmod(key, key_mode)
        with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
            f.write("endpoint %s\nbucket %s\nregion %s\ncredentials tier.key\n"
                    "quiet 0s\nmin-quiet 0s\n%s" % (self.ceph.endpoint, bucket, REGION, settings))
        srv.bucket = bucket
        if start:
            srv.start()
        return srv

    def store(self, srv, images, tag=""):
        """Stores images (study, series, sop) with random pixels: {sop: file bytes as stored}."""
        d = tempfile.mkdtemp(dir=srv.tmp)
        files = []
        for st, se, sop in images:
            p = os.path.join(d, sop + ".dcm")
            vt.make_dataset(p, st, se, sop, patient_name="TIER^" + st[-3:], pixels=96,
                            extra={"PixelData": os.urandom(96 * 96)})
            files.append(p)
        p = srv.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)
        stored = {}
        for st, se, sop in images:
            with open(vt.uid_path(srv.basedir, st, se, sop), "rb") as f:
                stored[sop] = f.read()
        return stored

    def storeindex(self, srv, *args):
        return vt.run([STOREINDEX] + list(args) + [srv.basedir], env=srv.env, timeout=120)

    def move_out(self, srv):
        p = self.storeindex(srv, "tier")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return p.stdout

    def objects(self, bucket, markers=False):
        """The keys in the bucket (without the archives' markers unless asked)."""
        code, body = self.ceph.curl("GET", "/%s?list-type=2" % bucket)
        self.assertEqual(code, 200)
        keys = set(re.findall(r"<Key>([^<]*)</Key>", body.decode()))
        return keys if markers else {k for k in keys if not k.endswith(".velto-archive")}

    def key_of(self, srv, img):
        return os.path.relpath(vt.uid_path(srv.basedir, *img), srv.basedir)

    def check(self, srv):
        p = self.storeindex(srv, "check")
        return p.returncode, p.stdout.splitlines()

    def cmove(self, srv, scp, study):
        """(final response, {sop: dataset bytes received})."""
        for f in scp.files():
            os.unlink(f)
        p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + study], scp.aetitle,
                                  called=srv.aetitle)
        final = [r for r in responses if r["final"]]
        self.assertEqual(len(final), 1, p.stdout)
        got = {}
        import pydicom
        for f in scp.files():
            with open(f, "rb") as fh:
                data = fh.read()
            got[str(pydicom.dcmread(f).SOPInstanceUID)] = dataset_bytes(data)
        return final[0], got

    def cget(self, srv, study):
        """(completed, failed, {sop: dataset bytes received})."""
        out = tempfile.mkdtemp(dir=srv.tmp)
        p = vt.run(["getscu", "-v", "-S", "-aec", srv.aetitle, "-od", out, "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study,
                    "127.0.0.1", str(srv.port)])
        text = p.stdout + p.stderr
        completed = int(re.findall(r"Number of Completed Suboperations\s*:\s*(\d+)", text)[-1])
        failed = re.findall(r"Number of Failed Suboperations\s*:\s*(\d+)", text)
        # The final response's status class, for the cases that check it.
        self.get_final = (re.findall(r"Received C-GET Response \(([^)]*)\)", text) or [""])[-1]
        self.get_text = text
        got = {}
        import pydicom
        for name in os.listdir(out):
            path = os.path.join(out, name)
            with open(path, "rb") as fh:
                got[str(pydicom.dcmread(path).SOPInstanceUID)] = dataset_bytes(fh.read())
        shutil.rmtree(out)
        return completed, int(failed[-1]) if failed else 0, got

    def web(self, srv):
        import webharness
        w = webharness.Web(srv)
        self.addCleanup(w.stop)
        return w

    def wado_rs(self, web, study):
        import webharness
        status, head, body = web.curl("/dicom-web/studies/" + study,
                                      ["-H", "Accept: multipart/related; type=application/dicom"])
        if status != 200:
            return status, {}
        import pydicom
        from io import BytesIO
        parts = webharness.multipart_parts(body, webharness.header(head, "Content-Type"))
        return status, {str(pydicom.dcmread(BytesIO(b)).SOPInstanceUID): b for _, b in parts}

    def tree_bytes(self, srv):
        return sum(os.path.getsize(p) for p in vt.files_below(os.path.join(srv.basedir, "uid")))

    def commit(self, srv, instances):
        """The N-EVENT-REPORT of a storage commitment request (same association)."""
        p = vt.run(["node", os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js"),
                    "127.0.0.1", str(srv.port), srv.aetitle, "MODALITY", "same",
                    str(vt.free_port()), "1.2.826.15.99.7", "1.2.840.10008.5.1.4.1.1.7"]
                   + instances, timeout=90,
                   env={"NODE_PATH": os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")})
        reports = [json.loads(l[len("REPORT "):]) for l in p.stdout.splitlines()
                   if l.startswith("REPORT ")]
        self.assertEqual(len(reports), 1, p.stdout + p.stderr)
        return reports[0]

    def local_images(self, srv):
        return vt.files_below(os.path.join(srv.basedir, "uid"), ".dcm")

    def metrics(self, web):
        status, _, body = web.curl("/metrics")
        self.assertEqual(status, 200)
        # Counters are whole numbers; a histogram's sum is in seconds.
        return {name: float(value) for name, value in
                (l.rsplit(" ", 1) for l in body.decode().splitlines() if l and l[0] != "#")}

    def damage(self, srv, cases, stored):
        """Damages, keeping sizes, the local file (flipped bit), the cached copy
        (its last 1,000 bytes zeroed) and the object (flipped bit) of the
        images named in cases {"local"|"cached"|"object": (study, series, sop)}."""
        for where, img in cases.items():
            data = bytearray(stored[img[2]])
            if where == "local":
                path = vt.uid_path(srv.basedir, *img)
            elif where == "cached":
                path = os.path.join(srv.basedir, "tiercache",
                                    hashlib.sha256(data).hexdigest() + ".dcm")
            else:
                path = os.path.join(srv.tmp, "object")
            if where == "cached":
                data[-1000:] = bytes(1000)
            else:
                data[len(data) // 2] ^= 0x10
            self.assertTrue(where == "object" or os.path.exists(path), path)
            with open(path, "wb") as f:
                f.write(data)
            if where == "object":
                code, body = self.ceph.curl("PUT", "/%s/%s" % (srv.bucket, self.key_of(srv, img)),
                                            data_file=path)
                self.assertEqual(code, 200, body)

    def assert_not_delivered(self, srv, scp, web, img):
        """No read delivers img; each counts a failure (its study holds two images)."""
        st, se, sop = img
        final, got = self.cmove(srv, scp, st)
        self.assertEqual((final["completed"], final["failed"]), (1, 1), sop)
        self.assertNotIn(sop, got)
        completed, failed, got = self.cget(srv, st)
        self.assertEqual((completed, failed), (1, 1), sop)
        self.assertNotIn(sop, got)
        # Never 200 with fewer instances: the study fails whole.
        self.assertEqual(self.wado_rs(web, st)[0], 500, sop)
        for path in ("/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                     "&contentType=application/dicom" % (st, se, sop),
                     "/dicom-web/studies/%s/series/%s/instances/%s" % (st, se, sop)):
            status, _, body = web.curl(path)
            self.assertEqual(status, 500, path)
            self.assertNotIn(b"DICM", body)

    # -- cases ---------------------------------------------------------

    def test_move_out_and_back(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        # Listings in pages of two: check follows the continuation tokens.
        srv = self.tiered_server("roundtrip", aetmap=scp.map_line(), settings="list-page 2\n")
        studies = ["%s.1.%d" % (ROOT, n) for n in range(3)]
        images = [img for st in studies for img in study_images(st, 3)]
        stored = self.store(srv, images)
        before = {p: os.path.getsize(p) for p in self.local_images(srv)}
        self.assertEqual(len(before), 9)
        used = self.tree_bytes(srv)

        out = self.move_out(srv)
        for st in studies:
            self.assertRegex(out, r"moved %s 3 \d+" % re.escape(st))
        self.assertEqual(self.local_images(srv), [])
        # The store shrinks by the images, less their stubs and heads (the
        # index files are unchanged).
        kept = [p for p in vt.files_below(srv.basedir) if p.endswith((".tier", ".head"))]
        self.assertEqual(len(kept), 18)
        kept = sum(os.path.getsize(p) for p in kept)
        self.assertLess(kept, 2000 * 9)
        self.assertEqual(self.tree_bytes(srv), used - sum(before.values()) + kept)
        for img in images:
            self.assertTrue(os.path.exists(vt.uid_path(srv.basedir, *img) + ".tier"))
        self.assertEqual(self.objects("roundtrip"), {self.key_of(srv, i) for i in images})
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))
        # Storage commitment vouches for moved images (checked in their copies).
        report = self.commit(srv, [i[2] for i in images])
        self.assertEqual((report["event"], report["committed"], report["failed"]),
                         (1, [i[2] for i in images], []))

        # A study stored afterwards stays local; all four come back whole.
        local = "%s.2.1" % ROOT
        stored.update(self.store(srv, study_images(local, 2)))
        for st in studies + [local]:
            n = 2 if st == local else 3
            final, got = self.cmove(srv, scp, st)
            self.assertEqual((final["status"], final["completed"], final.get("failed") or 0),
                             (0, n, 0))
            self.assertEqual({k: v for k, v in got.items()},
                             {sop: dataset_bytes(stored[sop]) for sop in got})
            self.assertEqual(len(got), n)
            completed, failed, got = self.cget(srv, st)
            self.assertEqual((completed, failed, len(got)), (n, 0, n))
            for sop, data in got.items():
                self.assertEqual(data, dataset_bytes(stored[sop]))

        web = self.web(srv)
        for st in studies:
            status, parts = self.wado_rs(web, st)
            self.assertEqual(status, 200)
            self.assertEqual(parts, {img[2]: stored[img[2]] for img in study_images(st, 3)})
        st, se, sop = images[4]
        status, head, body = web.curl("/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                                      "&contentType=application/dicom" % (st, se, sop))
        self.assertEqual((status, body), (200, stored[sop]))
        status, head, body = web.curl("/dicom-web/studies/%s/series/%s/instances/%s/rendered"
                                      % (st, se, sop), ["-H", "Accept: image/png"])
        self.assertEqual(status, 200)
        self.assertTrue(body.startswith(b"\x89PNG"), head)
        # Frames are read from the cached copy while they are streamed.
        import pydicom
        from io import BytesIO
        pixels = pydicom.dcmread(BytesIO(stored[sop])).PixelData
        status, head, body = web.curl("/dicom-web/studies/%s/series/%s/instances/%s/frames/1"
                                      % (st, se, sop))
        self.assertEqual(status, 200)
        self.assertIn(b"\r\n\r\n" + pixels + b"\r\n--", body)

        # A delete removes the objects and stubs of the study.
        p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + studies[0]], "VeltoDeleteAET",
                                  called=srv.aetitle)
        final = [r for r in responses if r["final"]][0]
        self.assertEqual((final["status"], final["completed"]), (0, 3))
        self.assertEqual(self.objects("roundtrip"), {self.key_of(srv, i) for i in images[3:]})
        self.assertFalse(os.path.exists(vt.uid_path(srv.basedir, studies[0])))

        # Rebuild with the server stopped keeps the moved images.
        srv.stop()
        web.stop()
        p = self.storeindex(srv, "rebuild")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("3 studies, 3 series, 8 images", p.stdout)
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))
        for img in images[3:]:
            self.assertTrue(os.path.exists(vt.uid_path(srv.basedir, *img) + ".tier"))

    def test_compressed_before_the_move(self):
        """With the Compression file's before-tier, the mover compresses a
        study first: the object is the JPEG-LS file (its stub says so), and
        a peer that takes only uncompressed images gets the original pixels
        back from the tier."""
        import pydicom
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        srv = self.tiered_server("compressfirst", aetmap=scp.map_line(), start=False)
        with open(os.path.join(srv.etc, "Compression"), "w") as f:
            f.write("quiet 30d\nbefore-tier yes\n")
        srv.start()
        st = "%s.9.1" % ROOT
        d = tempfile.mkdtemp(dir=srv.tmp)
        pixels = bytes((x * 3 + y * 2 + (x * y) % 7) % 256 for y in range(96) for x in range(96))
        img = (st, st + ".1", st + ".1.0")
        path = vt.make_dataset(os.path.join(d, "a.dcm"), *img, pixels=96,
                               extra={"PixelData": pixels})
        self.assertEqual(srv.storescu([path]).returncode, 0)
        size = os.path.getsize(vt.uid_path(srv.basedir, *img))
        # Moved at once (the tier's quiet time 0) though the study is not
        # quiet for the compression's 30 days: the move decides.
        out = self.move_out(srv)
        self.assertRegex(out, r"compressed %s 1 %d \d+" % (re.escape(st), size))
        with open(vt.uid_path(srv.basedir, *img) + ".tier") as f:
            stub = f.read()
        self.assertIn("xfer 1.2.840.10008.1.2.4.80\n", stub)
        self.assertLess(int(re.search(r"size (\d+)", stub).group(1)), size)
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))
        final, got = self.cmove(srv, scp, st)
        self.assertEqual((final["status"], final["completed"]), (0, 1))
        self.assertEqual(pydicom.dcmread(scp.files()[0]).PixelData, pixels)

    def test_change_of_moved_images(self):
        # A modify of a study in the tier: each image fetched (verified),
        # rewritten, its old object and stub forgotten, and moved out again.
        import io
        import pydicom
        srv = self.tiered_server("changes")
        study = "%s.9.1" % ROOT
        images = study_images(study, 3)
        stored = self.store(srv, images)
        self.move_out(srv)
        self.assertEqual(self.local_images(srv), [])
        p = self.storeindex(srv, "modify", "--study", study, "PatientName=TIER^NEW")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.local_images(srv), [])
        self.assertEqual(self.objects("changes"), {self.key_of(srv, i) for i in images})
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))
        completed, failed, got = self.cget(srv, study)
        self.assertEqual((completed, failed), (3, 0))
        for img in images:
            new = pydicom.dcmread(io.BytesIO(b"\0" * 128 + b"DICM" + b"\2\0\0\0UL\4\0\0\0\0\0" +
                                             got[img[2]]), force=True)
            old = pydicom.dcmread(io.BytesIO(stored[img[2]]))
            self.assertEqual(str(new.PatientName), "TIER^NEW")
            self.assertEqual(new.PixelData, old.PixelData)
        # Without the tier's settings such a change is refused, nothing changed.
        os.unlink(os.path.join(srv.etc, "ObjectTier"))
        p = self.storeindex(srv, "modify", "--study", study, "PatientName=TIER^NEWER")
        self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
        self.assertIn("object tier", p.stderr)

    def test_backup_and_restore_of_a_tiered_archive(self):
        # A backup holds the stubs and heads of moved images; the restore on
        # another machine, pointed at the same bucket, gives every image back
        # byte for byte, local and moved alike, and checks clean.
        srv = self.tiered_server("backingup")
        studies = ["%s.5.%d" % (ROOT, n) for n in range(2)]
        stored = self.store(srv, [img for st in studies for img in study_images(st, 3)])
        self.move_out(srv)
        local = "%s.6.1" % ROOT
        stored.update(self.store(srv, study_images(local, 2)))
        self.assertEqual(self.cget(srv, studies[0])[:2], (3, 0))
        self.assertEqual(len(vt.files_below(os.path.join(srv.basedir, "tiercache"))), 3)
        dest = os.path.join(srv.tmp, "backup")
        p = vt.run([STOREINDEX, "backup", srv.basedir, dest], env=srv.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertRegex(p.stdout, r"copied: 8 images")
        # Nothing of the bucket is copied, nor the read-back cache (filled by
        # a retrieve of a moved image).
        self.assertEqual(vt.files_below(dest, ".dcm"),
                         sorted(os.path.join(dest, os.path.relpath(f, srv.basedir))
                                for f in self.local_images(srv)))
        self.assertFalse(os.path.exists(os.path.join(dest, "tiercache")))

        other = self.server(start=False)
        for name in ("tier.key", "ObjectTier"):
            shutil.copy(os.path.join(srv.etc, name), os.path.join(other.etc, name))
        os.chmod(os.path.join(other.etc, "tier.key"), 0o600)
        p = vt.run([STOREINDEX, "restore", dest, other.basedir], env=other.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("consistent: " + other.basedir, p.stdout)
        self.assertEqual(self.check(other), (0, ["consistent: " + other.basedir]))
        other.start(answered=True)
        for st in studies + [local]:
            n = 2 if st == local else 3
            completed, failed, got = self.cget(other, st)
            self.assertEqual((completed, failed, len(got)), (n, 0, n))
            for sop, data in got.items():
                self.assertEqual(data, dataset_bytes(stored[sop]))

    def test_damage_is_never_delivered(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        srv = self.tiered_server("damage", aetmap=scp.map_line())
        cached, fetched, local = ("%s.8.%d" % (ROOT, n) for n in (1, 2, 3))
        stored = self.store(srv, study_images(cached, 2) + study_images(fetched, 2))
        self.move_out(srv)
        stored.update(self.store(srv, study_images(local, 2)))
        web = self.web(srv)
        # Read once: the copies of the first study are in the cache.
        self.assertEqual(self.cget(srv, cached)[:2], (2, 0))
        cases = {"cached": study_images(cached, 2)[0], "object": study_images(fetched, 2)[0],
                 "local": study_images(local, 2)[0]}
        self.damage(srv, cases, stored)
        before = self.metrics(web)
        for where, img in sorted(cases.items()):
            with self.subTest(where=where):
                self.assert_not_delivered(srv, scp, web, img)
        self.assertEqual(len(re.findall(r"Not sending .* it is damaged", srv.log())), 6)
        self.assertIn("DAMAGED:the cached copy of " + vt.uid_path(srv.basedir, *cases["cached"]),
                      srv.log())
        self.assertIn("DAMAGED:the file of " + vt.uid_path(srv.basedir, *cases["local"]),
                      srv.log())
        # Counted: three reads of storeweb's per image, and storeserver's two
        # as it announced them.
        vt.wait_for(lambda: self.metrics(web)['velto_images_damaged_total{source="monitor"}']
                    - before['velto_images_damaged_total{source="monitor"}'] == 6,
                    what="the announcements counted")
        after = self.metrics(web)
        self.assertEqual(after['velto_images_damaged_total{source="web"}']
                         - before['velto_images_damaged_total{source="web"}'], 9)
        # The other images of each study still come back whole.
        for st in (cached, fetched, local):
            img = study_images(st, 2)[1]
            completed, failed, got = self.cget(srv, st)
            self.assertEqual(got[img[2]], dataset_bytes(stored[img[2]]))

    def test_scrub_finds_and_repairs_each_copy(self):
        srv = self.tiered_server("scrubbing")
        cached, fetched, local = ("%s.9.%d" % (ROOT, n) for n in (1, 2, 3))
        c, f, l = (study_images(st, 2) for st in (cached, fetched, local))
        stored = self.store(srv, c + f)
        self.move_out(srv)
        stored.update(self.store(srv, l))
        self.assertEqual(self.cget(srv, cached)[:2], (2, 0))
        # Both images of the second study are local again beside their
        # stubs and objects, as a move cut short after the stub leaves them.
        for img in f:
            with open(vt.uid_path(srv.basedir, *img), "wb") as fh:
                fh.write(stored[img[2]])
        self.damage(srv, {"cached": c[0], "local": f[0]}, stored)
        self.damage(srv, {"object": c[1]}, stored)
        self.damage(srv, {"object": f[1]}, stored)
        self.damage(srv, {"local": l[0]}, stored)
        web = self.web(srv)
        before = self.metrics(web)
        p = self.storeindex(srv, "scrub", "--rate", "1000", "-m", str(srv.monitor_port))
        out = p.stdout
        self.assertEqual(p.returncode, 1, out + p.stderr)
        lines = out.splitlines()
        kinds = sorted(line.split(":", 1)[0] for line in lines)
        self.assertEqual(kinds, ["damaged"] * 5 + ["repaired"] * 4 + ["scrubbed", "unrepairable"],
                         out)
        cache = os.path.join(srv.basedir, "tiercache")
        sha = {img[2]: hashlib.sha256(stored[img[2]]).hexdigest() for img in c + f + l}
        self.assertIn("repaired: %s/%s.dcm: removed" % (cache, sha[c[0][2]]), out)
        self.assertIn("repaired: %s: uploaded again from %s/%s.dcm"
                      % (self.key_of(srv, c[1]), cache, sha[c[1][2]]), lines)
        self.assertIn("repaired: %s: uploaded again from %s"
                      % (self.key_of(srv, f[1]), vt.uid_path(srv.basedir, *f[1])), lines)
        self.assertIn("repaired: %s: replaced by its object %s"
                      % (vt.uid_path(srv.basedir, *f[0]), self.key_of(srv, f[0])), lines)
        self.assertIn("unrepairable: %s: no other copy" % vt.uid_path(srv.basedir, *l[0]), out)
        # Each damaged copy announced (and counted by storeweb); the status
        # file read by /status and /metrics.
        vt.wait_for(lambda: self.metrics(web)['velto_images_damaged_total{source="monitor"}']
                    - before['velto_images_damaged_total{source="monitor"}'] == 5,
                    what="the announcements counted")
        m = self.metrics(web)
        self.assertEqual((m['velto_scrub_running'], m['velto_scrub_copies{state="damaged"}'],
                          m['velto_scrub_copies{state="repaired"}'],
                          m['velto_scrub_copies{state="unrepairable"}'],
                          m['velto_scrub_copies{state="checked"}']), (0, 5, 4, 1, 10))
        status, _, page = web.curl("/status")
        self.assertEqual(status, 200)
        self.assertIn(b'<td id="scrub-repaired">4</td>', page)
        self.assertIn(b'<td id="scrub-state">finished</td>', page)
        # The next retrieval is byte for byte what was stored, from every
        # copy: local files, fetched objects, the cache.
        shutil.rmtree(cache)
        for img in f:
            os.unlink(vt.uid_path(srv.basedir, *img))
        for _ in range(2):
            for st, imgs in ((cached, c), (fetched, f)):
                completed, failed, got = self.cget(srv, st)
                self.assertEqual((completed, failed), (2, 0))
                self.assertEqual(got, {i[2]: dataset_bytes(stored[i[2]]) for i in imgs})
                self.assertEqual(self.wado_rs(web, st), (200, {i[2]: stored[i[2]] for i in imgs}))
        # The unrepairable file put back: the next scrub finds nothing.
        with open(vt.uid_path(srv.basedir, *l[0]), "wb") as fh:
            fh.write(stored[l[0][2]])
        p = self.storeindex(srv, "scrub", "--rate", "1000")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(len(p.stdout.splitlines()), 1, p.stdout)
        self.assertIn(" 0 damaged, 0 repaired, 0 unrepairable", p.stdout)
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))

    def test_policy_chooses_quiet_studies_oldest_first(self):
        studies = ["%s.6.%d" % (ROOT, n) for n in range(1, 4)]
        ages = {studies[0]: 10 * 86400, studies[1]: 2 * 86400, studies[2]: 0}
        srv = self.tiered_server("policy")
        for st in studies:
            self.store(srv, study_images(st, 2))
        srv.stop()
        # Age each study: its image and index files (what the mover reads).
        now = time.time()
        for st in studies:
            for p in vt.files_below(vt.uid_path(srv.basedir, st)):
                os.utime(p, (now - ages[st], now - ages[st]))

        def would_move(settings):
            with open(os.path.join(srv.etc, "ObjectTier")) as f:
                base = [l for l in f if not l.startswith(("quiet", "min-quiet", "free-below"))]
            with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
                f.write("".join(base) + settings)
            p = self.storeindex(srv, "tier", "-n")
            self.assertEqual(p.returncode, 0, p.stderr)
            return [l.split()[2] for l in p.stdout.splitlines()]

        # By age alone: quiet for 5 days.
        self.assertEqual(would_move("quiet 5d\nmin-quiet 1h\n"), studies[:1])
        # By free space (always short here): oldest first, never one changed
        # within min-quiet (still receiving).
        self.assertEqual(would_move("free-below 99.99%\nmin-quiet 1h\n"), studies[:2])
        self.assertEqual(would_move("free-below 99.99%\nmin-quiet 3d\n"), studies[:1])
        # Nothing chosen: neither rule set, or no study quiet long enough.
        self.assertEqual(would_move("min-quiet 0s\n"), [])
        self.assertEqual(would_move("quiet 30d\n"), [])
        # A dry run moves nothing.
        self.assertEqual(len(self.local_images(srv)), 6)
        self.assertEqual(self.objects("policy"), set())

    def test_check_names_missing_and_unclaimed_objects(self):
        srv = self.tiered_server("checking")
        images = study_images("%s.3.1" % ROOT, 2)
        self.store(srv, images)
        self.move_out(srv)
        self.assertEqual(self.ceph.curl("DELETE", "/checking/" + self.key_of(srv, images[0]))[0],
                         204)
        stray = os.path.join(srv.tmp, "stray")
        with open(stray, "wb") as f:
            f.write(b"x" * 10)
        self.assertEqual(self.ceph.curl("PUT", "/checking/uid/00/00/stray.dcm",
                                        data_file=stray)[0], 200)
        status, lines = self.check(srv)
        self.assertEqual(status, 1)
        kinds = sorted(l.split(":", 1)[0] for l in lines if not l.startswith("findings"))
        self.assertEqual(kinds, ["tier-missing", "tier-unclaimed"], lines)
        self.assertIn(vt.uid_path(srv.basedir, *images[0]) + ".tier", lines[0] + lines[1])

    # Where the mover is killed while it moves the first image, and what
    # must be on disk and in the bucket afterwards: (call, n, object
    # uploaded, stub in place, local file left).
    KILLS = [
        ("connect", 1, False, False, True),   # before the upload
        ("sendto", 2, False, False, True),    # its body on the way (after the headers)
        ("connect", 2, True, False, True),    # uploaded, before its HEAD
        ("fsync", 1, True, False, True),      # head written, not flushed
        ("rename", 1, True, False, True),     # head flushed, not renamed
        ("fsync", 2, True, False, True),      # stub written, not flushed
        ("rename", 2, True, False, True),     # stub flushed, not renamed
        ("fsync", 3, True, True, True),       # stub renamed, directory not flushed
        ("unlink", 1, True, True, True),      # stub in place, file not removed
        ("fsync", 4, True, True, False),      # file removed, directory not flushed
    ]

    def test_mover_killed_at_each_step(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        # One image at a time, so that the n-th call is the first image's.
        srv = self.tiered_server("killing", aetmap=scp.map_line(), settings="movers 1\n")
        # The prefix claimed first: each later run then starts with one
        # request (the marker's HEAD) before it moves the first image.
        self.move_out(srv)
        for k, (call, n, uploaded, stubbed, local) in enumerate(self.KILLS):
            if call in ("connect", "sendto"):
                n += 1
            with self.subTest(call=call, n=n):
                study = "%s.4.%d" % (ROOT, k + 1)
                images = study_images(study, 2)
                stored = self.store(srv, images)
                first = vt.uid_path(srv.basedir, *images[0])
                p = vt.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call,
                            "-e", "inject=%s:signal=KILL:when=%d" % (call, n), STOREINDEX,
                            "tier", srv.basedir], env=srv.env)
                self.assertIn(p.returncode, (-9, 128 + 9), p.stdout + p.stderr)
                self.assertEqual(self.key_of(srv, images[0]) in self.objects("killing"),
                                 uploaded)
                self.assertEqual(os.path.exists(first + ".tier"), stubbed)
                self.assertEqual(os.path.exists(first), local)
                # Readable from one place or the other, before and after the
                # mover's next pass.
                for moved in (False, True):
                    if moved:
                        self.move_out(srv)
                        self.assertFalse(os.path.exists(first))
                    completed, failed, got = self.cget(srv, study)
                    self.assertEqual((completed, failed), (2, 0))
                    self.assertEqual(got, {sop: dataset_bytes(b) for sop, b in stored.items()})
                self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))

    def test_gateway_down(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        srv = self.tiered_server("down", aetmap=scp.map_line())
        tiered, local = "%s.5.1" % ROOT, "%s.5.2" % ROOT
        stored = self.store(srv, study_images(tiered, 3))
        self.move_out(srv)
        stored.update(self.store(srv, study_images(local, 2)))
        web = self.web(srv)
        self.ceph.stop_gateway()
        try:
            # Queries never need the tier: a key the index does not hold
            # comes from the head kept beside each moved image.
            p, found = srv.findscu(["StudyInstanceUID=" + tiered, "SOPInstanceUID", "Rows",
                                    "Columns"], level="IMAGE")
            self.assertEqual(sorted((str(d.SOPInstanceUID), d.Rows, d.Columns) for d in found),
                             [(i[2], 96, 96) for i in study_images(tiered, 3)])
            # Commitment cannot vouch for what it cannot read: processing failure.
            report = self.commit(srv, [i[2] for i in study_images(tiered, 3)])
            self.assertEqual(report["failed"], [[i[2], 0x0110] for i in study_images(tiered, 3)])
            final, got = self.cmove(srv, scp, tiered)
            self.assertEqual((final["completed"], final["failed"], got), (0, 3, {}))
            # Every sub-operation failed: a refusal, not a warning.
            self.assertEqual(final["status"], 0xA702)
            completed, failed, got = self.cget(srv, tiered)
            self.assertEqual((completed, failed, got), (0, 3, {}))
            self.assertEqual(self.get_final, "Refused: OutOfResourcesSubOperations",
                             self.get_text[-3000:])
            final, got = self.cmove(srv, scp, local)
            self.assertEqual((final["status"], final["completed"], len(got)), (0, 2, 2))
            self.assertEqual(self.wado_rs(web, tiered)[0], 503)
            st, se, sop = study_images(tiered, 3)[1]
            for path in ("/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s"
                         "&contentType=application/dicom" % (st, se, sop),
                         "/dicom-web/studies/%s/series/%s/instances/%s/rendered" % (st, se, sop),
                         "/dicom-web/studies/%s/metadata" % st):
                self.assertEqual(web.curl(path)[0], 503, path)
            self.store(srv, study_images("%s.5.3" % ROOT, 1))
            self.assertIn("TIER:cannot fetch", srv.log())
            status, lines = self.check(srv)
            self.assertEqual(status, 1)
            self.assertRegex(lines[0], r"^unreadable: .*/down: the object tier cannot be listed")
            # A delete of a moved image fails and leaves it whole.
            p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + tiered], "VeltoDeleteAET",
                                      called=srv.aetitle)
            final = [r for r in responses if r["final"]][0]
            self.assertEqual((final["completed"], final["failed"]), (0, 3))
        finally:
            self.ceph.start_gateway()
        final, got = self.cmove(srv, scp, tiered)
        self.assertEqual((final["status"], final["completed"]), (0, 3))
        self.assertEqual(got, {sop: dataset_bytes(b) for sop, b in stored.items()
                               if sop.startswith(tiered + ".")})

    def test_lost_stub_is_recovered(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        srv = self.tiered_server("loststub", aetmap=scp.map_line())
        study = "%s.7.1" % ROOT
        images = study_images(study, 3)
        stored = self.store(srv, images)
        self.move_out(srv)
        first = vt.uid_path(srv.basedir, *images[0])
        web = self.web(srv)
        # The read path writes the stub again from the head and the object:
        # every instance comes back (before: 200 with two of three).
        os.unlink(first + ".tier")
        status, parts = self.wado_rs(web, study)
        self.assertEqual((status, parts), (200, {i[2]: stored[i[2]] for i in images}))
        self.assertTrue(os.path.exists(first + ".tier"))
        os.unlink(first + ".tier")
        completed, failed, got = self.cget(srv, study)
        self.assertEqual((completed, failed, len(got)), (3, 0, 3))
        # check names the loss; the rebuild repairs it (before: it dropped
        # the image, and check called its object unclaimed).
        os.unlink(first + ".tier")
        status, lines = self.check(srv)
        self.assertEqual(status, 1)
        self.assertEqual(lines[0], "missing-file: %s.tier: moved image whose stub is lost (its "
                                   "head is there); a read of it or storeindex rebuild writes "
                                   "it again from its object" % first)
        srv.stop()
        web.stop()
        p = self.storeindex(srv, "rebuild")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("recovered: %s.tier" % first, p.stdout)
        self.assertIn("1 studies, 1 series, 3 images", p.stdout)
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))

    def test_disaster_the_store_rebuilt_from_the_tier(self):
        scp = vt.StoreSCP(self.work)
        self.addCleanup(scp.stop)
        srv = self.tiered_server("disaster", aetmap=scp.map_line(), settings="prefix site1/\n")
        studies = ["%s.8.%d" % (ROOT, n) for n in range(1, 3)]
        images = [img for st in studies for img in study_images(st, 3)]
        stored = self.store(srv, images)
        self.move_out(srv)
        srv.stop()
        # The whole local store is lost.
        for name in os.listdir(srv.basedir):
            path = os.path.join(srv.basedir, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
        # check names the loss, and a tier it cannot list (before: consistent).
        status, lines = self.check(srv)
        self.assertEqual(status, 1, lines)
        self.assertRegex(lines[0], r"^missing-tree: .*uid: the store holds no image, but the "
                                   r"object tier holds 6 object\(s\) under disaster/site1/uid/ of archive ")
        # A gateway that does not answer (a port nobody listens on).
        settings = os.path.join(srv.etc, "ObjectTier")
        with open(settings) as f:
            kept = f.read()
        with open(settings, "w") as f:
            f.write(kept.replace(self.ceph.endpoint, "http://127.0.0.1:%d" % vt.free_port()))
        status, lines = self.check(srv)
        with open(settings, "w") as f:
            f.write(kept)
        self.assertEqual(status, 1, lines)
        self.assertRegex(lines[0], r"^unreadable: .*/disaster: the object tier cannot be listed")
        started = time.monotonic()
        p = self.storeindex(srv, "rebuild", "--from-tier")
        took = time.monotonic() - started
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("6 image(s) from disaster/site1/uid/", p.stdout)
        self.assertIn("2 studies, 2 series, 6 images", p.stdout)
        self.assertEqual(self.check(srv), (0, ["consistent: " + srv.basedir]))
        print("rebuild --from-tier of 6 images: %.2f s" % took, file=sys.stderr)
        # A part lost later (an image's stub and head): only it is taken back.
        lost = vt.uid_path(srv.basedir, *images[1])
        os.unlink(lost + ".tier")
        os.unlink(lost + ".head")
        p = self.storeindex(srv, "rebuild", "--from-tier")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("1 image(s) from disaster/site1/uid/", p.stdout)
        self.assertIn("2 studies, 2 series, 6 images", p.stdout)
        self.assertTrue(os.path.exists(lost + ".tier"))
        # Every study answers, every image comes back byte for byte.
        srv.start()
        web = self.web(srv)
        for st in studies:
            p, found = srv.findscu(["StudyInstanceUID=" + st, "PatientName"], level="STUDY")
            self.assertEqual([str(d.PatientName) for d in found], ["TIER^" + st[-3:]])
            completed, failed, got = self.cget(srv, st)
            self.assertEqual((completed, failed), (3, 0))
            self.assertEqual(got, {i[2]: dataset_bytes(stored[i[2]])
                                   for i in study_images(st, 3)})
            status, parts = self.wado_rs(web, st)
            self.assertEqual((status, parts), (200, {i[2]: stored[i[2]]
                                                     for i in study_images(st, 3)}))
        # The store is the same archive: it goes on owning its prefix.
        self.assertEqual(self.move_out(srv), "")

    def test_two_archives_share_a_bucket(self):
        a = self.tiered_server("shared", settings="prefix site-a/\n")
        b = self.tiered_server("shared", settings="prefix site-b/\n", create=False)
        s1, s2 = "%s.9.1" % ROOT, "%s.9.2" % ROOT
        images = study_images(s1, 2) + study_images(s2, 2)
        # The same UIDs in both: each keeps its own objects.
        self.store(a, images)
        self.store(b, images)
        self.move_out(a)
        self.move_out(b)
        key = lambda img: self.key_of(a, img)
        self.assertEqual(self.objects("shared"), {"site-a/" + key(i) for i in images}
                         | {"site-b/" + key(i) for i in images})
        self.assertEqual(self.objects("shared", markers=True) - self.objects("shared"),
                         {"site-a/.velto-archive", "site-b/.velto-archive"})
        # Each deletes a study of its own: the other's copy stays.
        for srv, study in ((a, s1), (b, s2)):
            p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + study],
                                      "VeltoDeleteAET", called=srv.aetitle)
            self.assertEqual([(r["status"], r["completed"]) for r in responses if r["final"]],
                             [(0, 2)])
        left = {"site-a/" + key(i) for i in study_images(s2, 2)} | \
            {"site-b/" + key(i) for i in study_images(s1, 2)}
        self.assertEqual(self.objects("shared"), left)
        self.assertEqual(self.check(a), (0, ["consistent: " + a.basedir]))
        self.assertEqual(self.check(b), (0, ["consistent: " + b.basedir]))

        # An archive without a prefix on the same bucket is refused by the
        # daemons, the mover and check; so is one on another's prefix.
        for settings in ("", "prefix site-b/\n", "prefix site-b/inner/\n"):
            with self.subTest(settings=settings):
                c = self.tiered_server("shared", settings=settings, create=False, start=False)
                p = subprocess.run(c.command(), env=c.env, capture_output=True, text=True,
                                   timeout=30)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertRegex(p.stderr, r"object tier: the prefix .* (claimed by|holds|lies inside) ")
                p = self.storeindex(c, "tier")
                self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
                self.assertIn("another archive's; nothing moved", p.stderr)
                status, lines = self.check(c)
                self.assertEqual(status, 1, lines)
                # (A store without images on another's prefix may be that
                # archive after a loss: its check says so, naming it.)
                self.assertRegex(lines[0], r"^(tier-foreign: .*shared/|missing-tree: .* of "
                                           r"archive [0-9a-f]{32}; if this store is that)")
        # The other way round: a prefix inside one that an archive without
        # a prefix claims.
        whole = self.tiered_server("whole", start=False)
        self.move_out(whole)
        inner = self.tiered_server("whole", settings="prefix x/\n", create=False, start=False)
        p = self.storeindex(inner, "tier")
        self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
        self.assertIn('lies inside "whole/"', p.stderr)
        # And two without a prefix (each would delete and overwrite the other's).
        second = self.tiered_server("whole", create=False, start=False)
        p = self.storeindex(second, "tier")
        self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
        self.assertIn('the prefix "whole/" of the bucket is claimed by archive', p.stderr)
        self.assertEqual(self.objects("shared"), left)

    def test_one_mover_at_a_time_quiet_and_exact_dry_run(self):
        import ctypes
        import fcntl
        # The store on a small file system of its own (in a mount namespace
        # of this process's), where nothing else frees or takes space.
        small = tempfile.mkdtemp(dir=self.work)
        libc = ctypes.CDLL(None, use_errno=True)
        self.assertEqual(libc.unshare(0x00020000), 0, os.strerror(ctypes.get_errno()))
        vt.run(["mount", "--make-rprivate", "/"], check=True)
        vt.run(["mount", "-t", "tmpfs", "-o", "size=24m", "velto-small", small], check=True)
        self.addCleanup(vt.run, ["umount", "-l", small])
        srv = self.tiered_server("movers", basedir=os.path.join(small, "store"))
        studies = ["%s.10.%d" % (ROOT, n) for n in range(1, 4)]
        big = 4 * 1024 * 1024
        d = tempfile.mkdtemp(dir=srv.tmp)
        files = []
        for n, st in enumerate(studies):
            p = os.path.join(d, "%d.dcm" % n)
            vt.make_dataset(p, st, st + ".1", st + ".1.1", pixels=2048,
                            extra={"PixelData": os.urandom(big)})
            files.append(p)
        self.assertEqual(srv.storescu(files).returncode, 0)
        srv.stop()
        now = time.time()
        for n, st in enumerate(studies):
            for p in vt.files_below(vt.uid_path(srv.basedir, st)):
                os.utime(p, (now - 1000 + n, now - 1000 + n))
        # A second mover while one runs: told so, a status of its own.
        with open(os.path.join(srv.basedir, "TIERMOVER.lock"), "w") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            p = self.storeindex(srv, "tier")
        self.assertEqual(p.returncode, 3, p.stdout + p.stderr)
        self.assertIn("another mover runs on this store", p.stderr)
        self.assertEqual(len(self.local_images(srv)), 3)
        # The free-space rule: a threshold that one and a half studies
        # moved out reach. The dry run lists what the run then moves.
        st = os.statvfs(srv.basedir)
        free = 100.0 * (st.f_bavail * st.f_frsize + 1.5 * big) / (st.f_blocks * st.f_frsize)
        with open(os.path.join(srv.etc, "ObjectTier")) as f:
            base = [l for l in f if not l.startswith(("quiet", "min-quiet"))]
        with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
            f.write("".join(base) + "min-quiet 0s\nfree-below %.9f%%\n" % free)
        p = self.storeindex(srv, "tier", "-n")
        self.assertEqual(p.returncode, 0, p.stderr)
        would = [l.split()[2] for l in p.stdout.splitlines()]
        self.assertEqual(would, studies[:2])
        p = self.storeindex(srv, "tier")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual([l.split()[1] for l in p.stdout.splitlines()], would)
        # Nothing but its own lines (no toolkit warnings).
        self.assertEqual(p.stderr, "")
        self.assertEqual(len(self.local_images(srv)), 1)

    def test_link_tree_after_a_move(self):
        import pydicom
        srv = self.tiered_server("links", args=["-s"])
        images = study_images("%s.11.1" % ROOT, 1)
        self.store(srv, images)
        links = vt.files_below(os.path.join(srv.basedir, "patient"))
        self.assertEqual(len(links), 1)
        self.move_out(srv)
        # Each link leads to the head beside the moved file (before: nowhere).
        for link in links:
            self.assertTrue(os.path.islink(link))
            self.assertTrue(os.path.exists(link), os.readlink(link))
            self.assertIn(str(pydicom.dcmread(link).SOPInstanceUID), [i[2] for i in images])
        # A link left pointing at the gone file is repaired by rebuild.
        target = os.readlink(links[0])
        os.unlink(links[0])
        os.symlink(target[:-len(".head")], links[0])
        self.assertFalse(os.path.exists(links[0]))
        srv.stop()
        p = self.storeindex(srv, "rebuild")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("relinked: %s" % links[0], p.stdout)
        self.assertEqual(os.readlink(links[0]), target)


    def test_settings_that_stop_the_server(self):
        srv = self.tiered_server("settings", key_mode=0o640, start=False)
        p = subprocess.run(srv.command(), env=srv.env, capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("may be read by its group or others", p.stderr)
        web = subprocess.run([STOREWEB, "-p", str(vt.free_port()), "-b", "127.0.0.1", "-m",
                              str(srv.monitor_port)], env=srv.env, capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(web.returncode, 1)
        self.assertIn("storeweb: object tier: the credentials", web.stderr)
        os.chmod(os.path.join(srv.etc, "tier.key"), 0o600)
        with open(os.path.join(srv.etc, "ObjectTier"), "a") as f:
            f.write("quiet sometimes\n")
        p = subprocess.run(srv.command(), env=srv.env, capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn('bad setting "quiet"', p.stderr)


if __name__ == "__main__":
    vt.main()

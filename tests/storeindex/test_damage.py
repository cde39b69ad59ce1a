"""Damaged index files under a running archive: a study hash file cut to 30
bytes makes the server refuse every store with 0xA700 (Refused: Out of
Resources) while it goes on answering C-ECHO and C-FIND; a zeroed record or
a removed image index leaves it serving. `storeindex check` names each
damage, and `storeindex rebuild` (with the server stopped) repairs it: the
restarted server answers the same queries as before the damage."""

import hashlib
import os
import re

import veltotest as vt
import archiveclients as ac

ROOT = ac.UID_ROOT + ".99"
STUDY_KEYS = ["StudyInstanceUID", "PatientName", "PatientID", "StudyDate", "AccessionNumber",
              "StudyDescription"]


def study_uid(s):
    return "%s.%d" % (ROOT, s)


class DamageTest(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.maxDiff = None
        self.srv = self.server(aetitle="DAMAGE_ARCHIVE")
        self.work = os.path.join(self.srv.tmp, "images")
        os.makedirs(self.work)
        # Three studies of two series of two images each.
        for s in range(3):
            for r in range(2):
                for i in range(2):
                    self.store(study_uid(s), "%s.%d" % (study_uid(s), r),
                               "%s.%d.%d" % (study_uid(s), r, i), "PATIENT^%d" % s)
        self.before = self.snapshot()
        self.assertEqual(len(self.before["studies"]), 3)
        self.assertEqual([len(v) for v in self.before["images"].values()], [4, 4, 4])

    def store(self, study, series, sop, name, expect="Success"):
        path = vt.make_dataset(os.path.join(self.work, sop + ".dcm"), study, series, sop,
                               patient_name=name, patient_id=name.split("^")[1],
                               accession="A" + sop[-3:])
        ok, out = ac.store_one(self.srv, path)
        self.assertEqual(ac.store_status(out), expect, out)
        return ok

    def snapshot(self):
        """What the archive answers: study-level records and, per study, the
        images of an image-level query."""
        p, found = self.srv.findscu(STUDY_KEYS)
        self.assertEqual(p.returncode, 0, p.stderr)
        studies = sorted(tuple(str(ds.get(k, "")).strip() for k in STUDY_KEYS) for ds in found)
        images = {s[0]: sorted(ac.images_of_study(self.srv, s[0]) or []) for s in studies}
        return {"studies": studies, "images": images}

    def damage_and_repair(self, damage, expected_kind, store_expect):
        damage()
        # The server keeps serving the damaged store.
        self.assertTrue(ac.echo(self.srv))
        p, _ = self.srv.findscu(["StudyInstanceUID"])
        self.assertEqual(p.returncode, 0, p.stderr)
        new_study = study_uid(7)
        stored = self.store(new_study, new_study + ".0", new_study + ".0.0", "PATIENT^7", store_expect)
        self.assertTrue(ac.echo(self.srv))
        self.assertIsNone(self.srv.proc.poll())
        expected = self.before
        if stored:
            expected = self.snapshot()
            expected["studies"] = sorted(s for s in expected["studies"] if s[0] == new_study)
            expected["studies"] += self.before["studies"]
            expected["studies"].sort()
            expected["images"] = dict(self.before["images"])
            expected["images"][new_study] = [new_study + ".0.0"]

        self.srv.stop()
        status, lines = ac.storeindex("check", self.srv.basedir)
        self.assertEqual(status, 1, lines)
        self.assertIn(expected_kind, ac.finding_kinds(lines), lines)
        status, lines = ac.storeindex("rebuild", self.srv.basedir)
        self.assertEqual(status, 0, lines)
        status, lines = ac.storeindex("check", self.srv.basedir)
        self.assertEqual(status, 0, lines)
        self.srv.start()
        self.assertEqual(self.snapshot(), expected)
        # Stores work again.
        self.store(study_uid(8), study_uid(8) + ".0", study_uid(8) + ".0.0", "PATIENT^8")

    def uid_file(self, name):
        return os.path.join(self.srv.basedir, "uid", name)

    def test_hash_file_cut_to_30_bytes_refuses_stores(self):
        def damage():
            os.truncate(self.uid_file("STUDYINDEX.hash"), 30)
        self.damage_and_repair(damage, "malformed", "Refused: OutOfResources")
        self.assertEqual(os.path.getsize(self.uid_file("STUDYINDEX.hash")), 4 * 28)

    def test_zeroed_study_record(self):
        def damage():
            with open(self.uid_file("STUDYINDEX.dat"), "r+b") as f:
                f.seek(512)
                f.write(bytes(512))
        self.damage_and_repair(damage, "out-of-step", "Success")

    def test_zeroed_image_record(self):
        def damage():
            path = os.path.join(os.path.dirname(ac.image_path(self.srv.basedir, study_uid(2),
                                                              study_uid(2) + ".1", "x")),
                                "IMAGEINDEX.dat")
            with open(path, "r+b") as f:
                f.write(bytes(768))
        self.damage_and_repair(damage, "unindexed", "Success")

    def test_removed_image_index(self):
        def damage():
            os.unlink(os.path.join(os.path.dirname(ac.image_path(self.srv.basedir, study_uid(0),
                                                                 study_uid(0) + ".0", "x")),
                                   "IMAGEINDEX.dat"))
        self.damage_and_repair(damage, "unindexed", "Success")


    def test_checksum_lines_are_kept_and_only_completed(self):
        series = [os.path.dirname(ac.image_path(self.srv.basedir, study_uid(s), "%s.%d" % (
            study_uid(s), r), "x")) for s, r in ((0, 0), (1, 1))]
        sums = [os.path.join(d, "CHECKSUMS") for d in series]
        before = []
        for path in sums:
            with open(path) as f:
                before.append(f.read())
        for d, text in zip(series, before):
            lines = sorted(text.splitlines())
            self.assertEqual(len(lines), 2)
            for line in lines:
                sop, size, sha = line.split(" ")
                with open(os.path.join(d, "image_%s.dcm" % sop), "rb") as f:
                    data = f.read()
                self.assertEqual((int(size), sha), (len(data), hashlib.sha256(data).hexdigest()))
        # Lines lost: a warning each, no finding.
        os.unlink(sums[0])
        status, lines = ac.storeindex("check", self.srv.basedir)
        self.assertEqual(status, 0, lines)
        self.assertEqual(sorted(l.split(":", 1)[0] for l in lines),
                         ["consistent", "no-checksum", "no-checksum"], lines)
        # A flipped bit in an image with no other copy: the scrub finds it
        # and cannot repair it.
        image = os.path.join(series[1], "image_%s.1.1.dcm" % study_uid(1))
        with open(image, "r+b") as f:
            f.seek(200)
            b = f.read(1)
            f.seek(200)
            f.write(bytes([b[0] ^ 1]))
        p = vt.run([ac.STOREINDEX, "scrub", "--rate", "1000", "-m", "0", self.srv.basedir])
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        self.assertIn("damaged: %s: size " % image, p.stdout)
        self.assertIn("unrepairable: %s: no other copy" % image, p.stdout)
        self.assertEqual(len(re.findall(r"^unverified: ", p.stdout, re.M)), 2, p.stdout)
        # The rebuild adds the lost lines and keeps the recorded ones: the
        # damaged image's line still says what was stored.
        self.srv.stop()
        status, lines = ac.storeindex("rebuild", self.srv.basedir)
        self.assertEqual(status, 0, lines)
        for path, text in zip(sums, before):
            with open(path) as f:
                self.assertEqual(sorted(f.read().splitlines()), sorted(text.splitlines()))
        status, lines = ac.storeindex("check", self.srv.basedir)
        self.assertEqual((status, lines), (0, ["consistent: " + self.srv.basedir]))

if __name__ == "__main__":
    vt.main()

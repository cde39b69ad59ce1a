"""Deleting through the move destination "VeltoDeleteAET": movescu asks the
server to move images there, and the server removes them from the store
instead of sending them. The tests read the tree and the index files."""

import os
import struct
import threading
import time
import zlib

import veltotest as vt
from veltotest import (IMAGE_RECORD_SIZE, SERIES_RECORD_SIZE, STUDYDATA_SIZE, STUDYHASH_SIZE,
                       ServerTestCase, files_below, live_records, make_dataset, movescu,
                       read_records, text_field, uid_path)

DELETE = "VeltoDeleteAET"


class DeleteTests(ServerTestCase):

    def store(self, s, study, series_list, per_series, prefix="i"):
        files = []
        for ser in series_list:
            for i in range(per_series):
                files.append(make_dataset(os.path.join(s.tmp, "%s_%s_%d.dcm" % (prefix, ser, i)),
                                          study, ser, "%s.%d" % (ser, i + 1), pixels=8))
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)

    def final(self, responses):
        f = [r for r in responses if r["final"]]
        self.assertEqual(len(f), 1, responses)
        return f[0]

    def test_study_delete_removes_everything_then_compaction(self):
        # No AE title map at all: deleting needs no destination entry.
        s = self.server()
        keep, gone = "1.2.826.30.1", "1.2.826.30.2"
        self.store(s, keep, [keep + ".1"], 1)
        self.store(s, gone, [gone + ".1", gone + ".2"], 2)
        p, responses = movescu(s.port, ["StudyInstanceUID=" + gone], DELETE)
        pending = [r for r in responses if not r["final"]]
        self.assertEqual([r["completed"] for r in pending], [1, 2, 3, 4])
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"], f["failed"]), (0x0000, 4, 0))
        self.assertNotIn("Cannot resolve AETitle", s.log())

        study_dir = uid_path(s.basedir, gone)
        self.assertFalse(os.path.exists(study_dir))
        bucket = os.path.dirname(study_dir)
        self.assertTrue(os.path.isdir(bucket))
        self.assertNotIn("DELETEME", os.listdir(bucket))
        uidbase = os.path.join(s.basedir, "uid")
        data = read_records(os.path.join(uidbase, "STUDYINDEX.dat"), STUDYDATA_SIZE)
        hashes = read_records(os.path.join(uidbase, "STUDYINDEX.hash"), STUDYHASH_SIZE)
        self.assertEqual((len(data), len(hashes)), (2, 2))
        self.assertEqual(text_field(data[0], 0, 64), keep.encode())
        self.assertEqual(data[1], bytes(STUDYDATA_SIZE))
        words = struct.unpack("<7I", hashes[1])
        self.assertEqual(words[0] & 1, 1)
        self.assertEqual(words[6], zlib.crc32(gone.encode()))
        self.assertEqual(struct.unpack("<7I", hashes[0])[0] & 1, 0)
        # The kept study is untouched and still answers.
        self.assertTrue(os.path.exists(uid_path(s.basedir, keep, keep + ".1", keep + ".1.1")))
        _, found = s.findscu(["StudyInstanceUID"])
        self.assertEqual([str(d.StudyInstanceUID) for d in found], [keep])

        # The idle listener compacts the study table about once a minute.
        def compacted():
            return len(read_records(os.path.join(uidbase, "STUDYINDEX.hash"), STUDYHASH_SIZE)) == 1
        vt.wait_for(compacted, timeout=150, interval=1, what="compaction of the study index")
        data = read_records(os.path.join(uidbase, "STUDYINDEX.dat"), STUDYDATA_SIZE)
        self.assertEqual([text_field(r, 0, 64) for r in data], [keep.encode()])

    def test_delete_one_image_keeps_the_rest(self):
        s = self.server()
        study, series = "1.2.826.31.1", "1.2.826.31.1.1"
        self.store(s, study, [series], 3)
        index = os.path.join(uid_path(s.basedir, study, series), "IMAGEINDEX.dat")
        size = os.path.getsize(index)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + study, "SeriesInstanceUID=" + series,
                                        "SOPInstanceUID=" + series + ".2"], DELETE, level="IMAGE")
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"], f["failed"]), (0x0000, 1, 0))
        self.assertEqual(os.path.getsize(index), size)
        records = read_records(index, IMAGE_RECORD_SIZE)
        self.assertEqual(records[1], bytes(IMAGE_RECORD_SIZE))
        self.assertEqual([text_field(r, 0, 64) for r in records if r[0]],
                         [(series + ".1").encode(), (series + ".3").encode()])
        self.assertEqual(sorted(os.path.basename(p) for p in files_below(uid_path(s.basedir, study), ".dcm")),
                         ["image_%s.1.dcm" % series, "image_%s.3.dcm" % series])
        self.assertEqual(len(live_records(os.path.join(uid_path(s.basedir, study), "SERIESINDEX.dat"),
                                          SERIES_RECORD_SIZE)), 1)
        # Deleting it again finds nothing left to delete.
        _, responses = movescu(s.port, ["StudyInstanceUID=" + study, "SeriesInstanceUID=" + series,
                                        "SOPInstanceUID=" + series + ".2"], DELETE, level="IMAGE")
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"], f["failed"]), (0x0000, 0, 0))

    def test_delete_while_storing_into_the_same_series_loses_no_record(self):
        s = self.server()
        study, series = "1.2.826.32.1", "1.2.826.32.1.1"
        old = 40
        self.store(s, study, [series], old, prefix="old")
        new = [make_dataset(os.path.join(s.tmp, "new%d.dcm" % i), study, series,
                            "%s.9%d" % (series, i), pixels=8) for i in range(60)]
        done = threading.Event()

        def store():
            try:
                for i in range(0, len(new), 5):
                    s.storescu(new[i:i + 5])
            finally:
                done.set()
        t = threading.Thread(target=store)
        t.start()
        deleted = []
        try:
            for i in range(1, old + 1, 2):
                _, responses = movescu(s.port, ["StudyInstanceUID=" + study,
                                                "SeriesInstanceUID=" + series,
                                                "SOPInstanceUID=%s.%d" % (series, i)],
                                       DELETE, level="IMAGE")
                f = self.final(responses)
                self.assertEqual((f["status"], f["completed"]), (0x0000, 1))
                deleted.append("%s.%d" % (series, i))
        finally:
            t.join()
        want = sorted(["%s.%d" % (series, i) for i in range(2, old + 1, 2)] +
                      ["%s.9%d" % (series, i) for i in range(60)])
        index = os.path.join(uid_path(s.basedir, study, series), "IMAGEINDEX.dat")
        got = sorted(text_field(r, 0, 64).decode() for r in live_records(index, IMAGE_RECORD_SIZE))
        self.assertEqual(got, want)
        files = sorted(os.path.basename(p)[6:-4] for p in files_below(uid_path(s.basedir, study), ".dcm"))
        self.assertEqual(files, want)


if __name__ == "__main__":
    vt.main()

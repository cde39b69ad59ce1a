"""Every file that is replaced as a whole (the index files written by
`storeindex rebuild`, STUDYINDEX.keys, the study files of a compaction, the
AE title map) goes through a temporary name, a flush, a rename and a flush of
its directory. The writer is killed (SIGKILL, injected by strace) at each of
its file-changing system calls in turn; after each kill every such file is
found whole, either as it was before or as the finished writer leaves it,
never missing or cut short, and the writer run again finishes the job."""

import os
import re
import shutil
import struct
import tempfile
import unittest

import veltotest as vt
import archiveclients as ac

WRITER = os.path.join(vt.BUILD, "tests", "index", "velto_durable_writer")
CALLS = ("openat", "write", "pwrite64", "fsync", "fdatasync", "close", "rename", "unlink",
         "fchmod", "fchown")
# Kill points per kind at most (close and openat are frequent in a rebuild).
MAX_PER_CALL = 40
ROOT = ac.UID_ROOT + ".21"
KEYS_HEADER = 64
STUDYHASH_SIZE = vt.STUDYHASH_SIZE


def image(study, series, n):
    s = "%s.%d" % (ROOT, study)
    return (s, "%s.%d" % (s, series), "%s.%d.%d" % (s, series, n))


def put_image(base, img, name):
    path = ac.image_path(base, *img)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    vt.make_dataset(path, img[0], img[1], img[2], patient_name=name, patient_id="ID" + name[-1])


def snapshot(base, names):
    """Bytes of each named file below base (None: missing)."""
    out = {}
    for rel in names:
        try:
            with open(os.path.join(base, rel), "rb") as f:
                out[rel] = f.read()
        except FileNotFoundError:
            out[rel] = None
    return out


def index_files(base):
    """Relative paths of the index files below base/uid."""
    out = set()
    for root, _, files in os.walk(os.path.join(base, "uid")):
        for f in files:
            if f in ("STUDYINDEX.hash", "STUDYINDEX.dat", "STUDYINDEX.keys", "SERIESINDEX.dat",
                     "IMAGEINDEX.dat"):
                out.add(os.path.relpath(os.path.join(root, f), base))
    return out


def same_file(rel, got, want):
    """A keys file is stamped with the study files' inodes and times: only
    its size, magic and digests must match; any other file byte for byte."""
    if got is None or want is None:
        return got is want
    if rel.endswith(".keys"):
        return len(got) == len(want) and got[:12] == want[:12] and \
            got[KEYS_HEADER:] == want[KEYS_HEADER:]
    return got == want


class DurableCrashTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for prog in (WRITER, ac.STOREINDEX):
            if not os.path.exists(prog):
                raise unittest.SkipTest(prog + " not built")
        if shutil.which("strace") is None:
            raise unittest.SkipTest("strace missing")

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velto-durable-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def count_calls(self, cmd, cwd_base):
        """How often an unhindered run makes each of CALLS. Checks on the
        way that every rename is followed by a flush of the directory it
        renamed into (a rename is on disk only once its directory is)."""
        trace = os.path.join(self.tmp, "count.trace")
        p = vt.run(["strace", "-f", "-qq", "-y", "-o", trace, "-e",
                    "trace=" + ",".join(CALLS)] + cmd(cwd_base), timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        calls, unflushed = {}, set()
        with open(trace) as f:
            for line in f:
                m = re.match(r"\d+ +(\w+)\(", line)
                if not m:
                    continue
                calls[m.group(1)] = calls.get(m.group(1), 0) + 1
                r = re.match(r'\d+ +rename\("[^"]*", "([^"]*)"\) = 0', line)
                if r:
                    unflushed.add(os.path.dirname(r.group(1)))
                r = re.match(r"\d+ +f(?:data)?sync\(\d+<([^>]*)>\) = 0", line)
                if r:
                    unflushed.discard(r.group(1))
        self.assertEqual(unflushed, set(), "directories renamed into but not flushed")
        return calls

    def kill_points(self, base, cmd, files, old, new, may_stay_old=()):
        """Runs cmd on a copy of base killed at each call in turn and checks
        files (relative paths) against the old and the new bytes; then runs
        it again unhindered and expects the new ones (or, for the files in
        may_stay_old, the old ones still). Returns the kill points of each
        kind."""
        count_copy = os.path.join(self.tmp, "count")
        shutil.copytree(base, count_copy, symlinks=True)
        calls = self.count_calls(cmd, count_copy)
        shutil.rmtree(count_copy)
        kills = {}
        for call in CALLS:
            for n in range(1, min(calls.get(call, 0), MAX_PER_CALL) + 1):
                copy = os.path.join(self.tmp, "%s-%d" % (call, n))
                shutil.copytree(base, copy, symlinks=True)
                p = vt.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                            "inject=%s:signal=KILL:when=%d" % (call, n)] + cmd(copy),
                           timeout=120)
                after = snapshot(copy, files)
                with self.subTest(call=call, n=n):
                    self.assertNotEqual(p.returncode, 0, "not killed")
                    for rel in files:
                        self.assertTrue(same_file(rel, after[rel], old[rel]) or
                                        same_file(rel, after[rel], new[rel]),
                                        "%s neither old nor new after a kill at %s #%d" %
                                        (rel, call, n))
                    p = vt.run(cmd(copy), timeout=120)
                    self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                    again = snapshot(copy, files)
                    for rel in files:
                        self.assertTrue(same_file(rel, again[rel], new[rel]) or
                                        (rel in may_stay_old and
                                         same_file(rel, again[rel], old[rel])),
                                        "%s not finished by a second run" % rel)
                shutil.rmtree(copy)
                kills[call] = n
        return kills

    def reference(self, base, cmd, files):
        """The files as an unhindered run of cmd on a copy of base leaves them."""
        copy = os.path.join(self.tmp, "reference")
        shutil.copytree(base, copy, symlinks=True)
        p = vt.run(cmd(copy), timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        new = snapshot(copy, files)
        shutil.rmtree(copy)
        return new

    def indexed_store(self):
        """A store of two studies (one with two series) indexed by a
        rebuild, with one more image file in each series that the index
        does not hold yet."""
        base = os.path.join(self.tmp, "base")
        first = [image(1, 1, 0), image(1, 2, 0), image(2, 1, 0)]
        for img in first:
            put_image(base, img, "DURABLE^" + img[0][-1])
        status, lines = ac.storeindex("rebuild", base)
        self.assertEqual(status, 0, lines)
        for img in (image(1, 1, 1), image(1, 2, 1), image(2, 1, 1)):
            put_image(base, img, "DURABLE^" + img[0][-1])
        return base

    def test_rebuild_killed_at_each_step(self):
        base = self.indexed_store()
        files = sorted(index_files(base))
        self.assertEqual(len(files), 3 + 2 + 3)
        cmd = lambda b: [ac.STOREINDEX, "rebuild", b]
        old, new = snapshot(base, files), self.reference(base, cmd, files)
        for rel in files:
            self.assertIsNotNone(old[rel], rel)
            if rel.endswith("IMAGEINDEX.dat"):
                self.assertNotEqual(old[rel], new[rel], rel + " unchanged by the rebuild")
        kills = self.kill_points(base, cmd, files, old, new)
        # Each of the eight files is renamed into place and flushed first,
        # and its directory after the rename.
        self.assertGreaterEqual(kills.get("rename", 0), 8)
        self.assertGreaterEqual(kills.get("fsync", 0), 8)
        self.assertGreaterEqual(kills.get("fdatasync", 0), 8)

    def test_keys_and_compaction_killed_at_each_step(self):
        base = self.indexed_store()
        status, lines = ac.storeindex("rebuild", base)
        self.assertEqual(status, 0, lines)
        stem = os.path.join(base, "uid", "STUDYINDEX")
        files = ["uid/STUDYINDEX.hash", "uid/STUDYINDEX.dat", "uid/STUDYINDEX.keys"]

        # The keys file rebuilt from digests of other names.
        with open(stem + ".keys", "r+b") as f:
            f.seek(KEYS_HEADER)
            f.write(b"\xff" * 16)
        cmd = lambda b: [WRITER, "keys", os.path.join(b, "uid", "STUDYINDEX"), "2"]
        old, new = snapshot(base, files), self.reference(base, cmd, files)
        self.assertNotEqual(old[files[2]], new[files[2]])
        kills = self.kill_points(base, cmd, files, old, new)
        self.assertGreaterEqual(kills.get("rename", 0), 1)
        self.assertGreaterEqual(kills.get("fdatasync", 0), 1)

        # The first study flagged deleted: the compaction drops it from both
        # study files and writes the keys file of the one left.
        status, lines = ac.storeindex("rebuild", base)
        self.assertEqual(status, 0, lines)
        with open(stem + ".hash", "r+b") as f:
            bits, = struct.unpack("<I", f.read(4))
            f.seek(0)
            f.write(struct.pack("<I", bits | 1))
        cmd = lambda b: [WRITER, "compact", os.path.join(b, "uid", "STUDYINDEX")]
        old, new = snapshot(base, files), self.reference(base, cmd, files)
        self.assertEqual(len(new[files[0]]), STUDYHASH_SIZE)
        # Killed after both study files are in place, the compaction has
        # nothing left to do when run again: the keys file stays behind,
        # stamped with the replaced study files, and the server rebuilds it
        # when it loads the table.
        kills = self.kill_points(base, cmd, files, old, new, may_stay_old=(files[2],))
        self.assertGreaterEqual(kills.get("rename", 0), 3)
        self.assertGreaterEqual(kills.get("fdatasync", 0), 3)

    def test_aetitle_map_save_killed_at_each_step(self):
        base = os.path.join(self.tmp, "base")
        os.makedirs(base)
        with open(os.path.join(base, "AETitleMap"), "w") as f:
            f.write("Local\tARCHIVE\t127.0.0.1:1104\tFMS\n")
        os.chmod(os.path.join(base, "AETitleMap"), 0o640)
        files = ["AETitleMap"]
        cmd = lambda b: [WRITER, "aetitlemap", os.path.join(b, "AETitleMap"), "WS1", "WS1_AE",
                         "127.0.0.1:2104"]
        old, new = snapshot(base, files), self.reference(base, cmd, files)
        self.assertEqual(new["AETitleMap"],
                         old["AETitleMap"] + b"WS1\tWS1_AE\t127.0.0.1:2104\tFMSD\n")
        kills = self.kill_points(base, cmd, files, old, new)
        for call in ("openat", "fchmod", "pwrite64", "fsync", "close", "rename", "fdatasync"):
            self.assertGreaterEqual(kills.get(call, 0), 1, call)


if __name__ == "__main__":
    unittest.main(verbosity=2)

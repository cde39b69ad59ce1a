"""The server killed (SIGKILL, injected by strace) at every call of one
kind of file-changing system call in turn, during a store, a delete and a
study index compaction. After each kill the server is started again and
the test checks: every acknowledged image is in the tree, in the index and
in C-FIND answers; repeating what was not acknowledged (as the peer would)
succeeds; `storeindex check` finds nothing, before the repeat and after it
(the start finished or removed what the killed write left, temporary files
included); every acknowledged image reads back as it was sent, and the
C-FIND answers of every study are exactly its image files."""

import os
import re
import shutil
import signal
import sys

import veltotest as vt
import archiveclients as ac

# The calls that change files (write also sends on the network and logs).
CALLS = ("mkdir", "pwrite64", "write", "rename", "link", "unlink", "rmdir", "fdatasync",
         "fsync", "ftruncate")
# Kills per kind at most (write is called far more often than the rest).
MAX_PER_CALL = {"write": 3}
ROOT = ac.UID_ROOT + ".15"
STUDIES = {"A": 2, "B": 1, "C": 1}


def image(study, n):
    uid = "%s.%s" % (ROOT, ord(study))
    return (uid, uid + ".1", "%s.1.%d" % (uid, n))


class CrashTest(vt.ServerTestCase):

    def make_file(self, work, img):
        path = os.path.join(work, img[2] + ".dcm")
        if not os.path.exists(path):
            seed = sum(map(ord, img[2]))
            vt.make_dataset(path, img[0], img[1], img[2], patient_name="CRASH^" + img[0][-2:],
                            extra={"PixelData": bytes((seed + 7 * i) % 251 for i in range(4096))})
        return path

    def store(self, srv, work, imgs):
        p = srv.storescu([self.make_file(work, i) for i in imgs], extra=["-v"])
        return vt.store_statuses(p.stdout + p.stderr) == ["Success"] * len(imgs)

    def delete(self, srv, img):
        p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + img[0]], "VeltoDeleteAET",
                                  called=srv.aetitle)
        final = [r for r in responses if r["final"]]
        return len(final) == 1 and final[0].get("status") == 0 and final[0].get("completed") == 1

    def base_store(self, work, deleted_b):
        """A stopped store holding A, B and C; with deleted_b, B is deleted
        and the listener killed before it compacted the study index."""
        srv = self.server(aetitle="CRASH")
        imgs = [image(s, n) for s, count in STUDIES.items() for n in range(count)]
        self.assertTrue(self.store(srv, work, imgs))
        if deleted_b:
            self.assertTrue(self.delete(srv, image("B", 0)))
        srv.stop()
        return srv.basedir

    def read_back(self, img, path=None):
        """The data set of the stored image (or of the file at path), pixel
        data included, without the file meta header."""
        import pydicom
        ds = pydicom.dcmread(path or ac.image_path(self.basedir, *img))
        return {e.tag: e.value for e in ds}

    def verify(self, srv, live, gone, work, redo):
        """Checks after a restart; redo repeats the unacknowledged action."""
        self.basedir = srv.basedir
        tree, index = ac.tree_images(srv.basedir), ac.index_images(srv.basedir)
        self.assertEqual(sorted(live - tree), [], "acknowledged images not in the tree")
        self.assertEqual(sorted(live - index), [], "acknowledged images not in the index")
        for img in live:
            self.assertIn(img[2], ac.images_of_study(srv, img[0]) or [])
            self.assertEqual(self.read_back(img), self.read_back(img, os.path.join(
                work, img[2] + ".dcm")), "stored image differs from what was sent")
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))
        if redo is not None:
            self.assertTrue(redo() or self.redo_may_find_nothing,
                            "repeating the unacknowledged action failed")
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual((status, ac.finding_kinds(lines)), (0, set()), "\n".join(lines))
        tree = ac.tree_images(srv.basedir)
        self.assertEqual(sorted(tree & gone), [], "deleted images still in the tree")
        for study in {img[0] for img in tree | gone}:
            self.assertEqual(sorted(ac.images_of_study(srv, study)),
                             sorted(i[2] for i in tree if i[0] == study))

    redo_may_find_nothing = False

    def run_points(self, name, deleted_b, action, redo_of, live_of, gone_of, args=(),
                   kinds=CALLS):
        """Kills at each call in turn; the number of kill points per call."""
        work = os.path.join(self.tmp, name)
        os.makedirs(work)
        base = self.base_store(work, deleted_b)
        calls = self.count_calls(work, base, action, args)
        kills = {}
        for call in kinds:
            for n in range(1, min(calls.get(call, 0), MAX_PER_CALL.get(call, 30)) + 1):
                store = os.path.join(work, "%s-%d" % (call, n))
                shutil.copytree(base, store, symlinks=True)
                trace = os.path.join(work, "%s-%d.trace" % (call, n))
                srv = self.server(aetitle="CRASH", basedir=store, start=False, args=list(args))
                cmd = srv.command()
                srv.command = lambda: ["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + call,
                                       "-e", "inject=%s:signal=KILL:when=%d" % (call, n)] + cmd
                srv.start(wait=False)
                vt.wait_for(lambda: vt.port_open(srv.port) or srv.proc.poll() is not None, 20,
                            what="server to listen or die")
                acked = action(srv, work) if vt.port_open(srv.port) else False
                srv.stop()
                srv.command = lambda: cmd
                srv.start()
                with self.subTest(call=call, n=n, acknowledged=acked):
                    self.verify(srv, live_of(acked), gone_of(acked), work,
                                None if acked else lambda: redo_of(srv, work))
                # A clean stop: the server ends only after its workers.
                srv.proc.send_signal(signal.SIGTERM)
                self.assertEqual(srv.proc.wait(60), 0)
                srv.stop()
                shutil.rmtree(srv.tmp, ignore_errors=True)
                shutil.rmtree(store, ignore_errors=True)
                kills[call] = n
        return kills

    def count_calls(self, work, base, action, args):
        """How often the server makes each of CALLS in the action, traced
        on a copy of base and stopped cleanly, so that the trace is whole."""
        store = os.path.join(work, "count")
        shutil.copytree(base, store, symlinks=True)
        trace = os.path.join(work, "count.trace")
        srv = self.server(aetitle="CRASH", basedir=store, start=False, args=list(args))
        cmd = srv.command()
        srv.command = lambda: ["strace", "-f", "-qq", "-o", trace, "-e",
                               "trace=" + ",".join(CALLS)] + cmd
        srv.start()
        self.assertTrue(action(srv, work))
        os.killpg(srv.proc.pid, signal.SIGTERM)
        srv.proc.wait(60)
        srv.stop()
        calls = {}
        with open(trace) as f:
            for line in f:
                m = re.match(r"\d+ +(\w+)\(", line)
                if m:
                    calls[m.group(1)] = calls.get(m.group(1), 0) + 1
        shutil.rmtree(srv.tmp, ignore_errors=True)
        shutil.rmtree(store, ignore_errors=True)
        return calls

    def setUp(self):
        super().setUp()
        self.tmp = vt.tempfile.mkdtemp(prefix="velto-crash-")

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def all_images(self):
        return {image(s, n) for s, count in STUDIES.items() for n in range(count)}

    def repeat(self, srv, work, img):
        """The peer's repeat of an unanswered store: it succeeds, or, when
        the kill came after the file was placed (the next start entered it
        in the index), it finds the image stored, a duplicate."""
        p = srv.storescu([self.make_file(work, img)], extra=["-v"])
        return vt.store_statuses(p.stdout + p.stderr) in (["Success"],
                                                          ["Warning: ElementsDiscarded"])

    def test_store_killed_at_each_step(self):
        new = ("%s.68" % ROOT, "%s.68.1" % ROOT, "%s.68.1.0" % ROOT)
        kills = self.run_points(
            "store", False, lambda srv, work: self.store(srv, work, [new]),
            lambda srv, work: self.repeat(srv, work, new),
            lambda acked: self.all_images() | ({new} if acked else set()), lambda acked: set())
        # Among them the placing of the file (link), the removal of its
        # temporary name, the index records.
        self.assertGreater(sum(kills.values()), 10)
        self.assertEqual(kills.get("link"), 1)
        self.assertGreaterEqual(kills.get("pwrite64", 0), 3)

    def test_store_with_S_killed_at_each_flush(self):
        # -S writes the image into the worker's journal and flushes it
        # before the file is placed and answered; the tree and the index are
        # flushed at the release, then the journal emptied. Killed at any of
        # these, an image is acknowledged whole or not at all; the next
        # start writes what the journal holds into the store. Its repeat
        # succeeds, or, when the kill came after the link, finds the image
        # stored: a duplicate, answered with a warning once the stored copy
        # is flushed.
        new = ("%s.83" % ROOT, "%s.83.1" % ROOT, "%s.83.1.0" % ROOT)
        kills = self.run_points(
            "store-S", False, lambda srv, work: self.store(srv, work, [new]),
            lambda srv, work: self.repeat(srv, work, new),
            lambda acked: self.all_images() | ({new} if acked else set()), lambda acked: set(),
            args=["-S"], kinds=("fdatasync", "link", "pwrite64"))
        # The journal's flush of the image and its emptying, the tree's.
        self.assertGreaterEqual(kills.get("fdatasync", 0), 4)
        self.assertGreaterEqual(kills.get("link", 0), 1)
        # The record's UIDs, image and header.
        self.assertGreaterEqual(kills.get("pwrite64", 0), 3)

    def test_delete_killed_at_each_step(self):
        # B's only image: the delete goes through every level. Killed at any
        # step, it is finished by the next start (it was asked for, so even
        # one killed before its first change is done), and a repeated
        # delete then finds nothing to do.
        self.redo_may_find_nothing = True
        gone = image("B", 0)
        kills = self.run_points(
            "delete", False, lambda srv, work: self.delete(srv, gone),
            lambda srv, work: self.delete(srv, gone),
            lambda acked: self.all_images() - {gone}, lambda acked: {gone})
        # Each file-changing step is a kill point: the intent written; the
        # image, DELETEME (twice) and the intent unlinked; the image, series,
        # study summary and study records cleared; two index files renamed
        # aside; two directories removed; the release's flushes.
        for call, least in (("write", 1), ("unlink", 4), ("pwrite64", 4), ("rename", 2),
                            ("rmdir", 2), ("fdatasync", 3)):
            self.assertGreaterEqual(kills.get(call, 0), least, call)

    def test_compaction_killed_at_each_step(self):
        # The listener compacts the index when it starts; what it is killed
        # in, the next start finishes. Nothing is acknowledged here.
        gone = image("B", 0)
        kills = self.run_points(
            "compaction", True, lambda srv, work: vt.run(["echoscu", "127.0.0.1",
                                                          str(srv.port)]).returncode == 0,
            lambda srv, work: True, lambda acked: self.all_images() - {gone},
            lambda acked: {gone})
        self.assertGreater(sum(kills.values()), 3)


if __name__ == "__main__":
    vt.main()

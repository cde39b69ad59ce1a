"""What the archive acknowledges is what it holds: a refused duplicate
leaves the index alone, an index that cannot be written fails the store, a
failed flush aborts the association instead of confirming its release, and
SIGTERM stops the server between two operations. The tests read the index
bytes, the store tree, C-FIND answers and the log."""

import fcntl
import os
import re
import shutil
import signal
import threading

import veltotest as vt
from veltotest import (ServerTestCase, files_below, make_dataset, store_statuses, uid_path)

STUDY, SERIES = "1.2.826.15.1", "1.2.826.15.1.1"


def index_files(basedir):
    """Every index file below basedir with its bytes."""
    out = {}
    for root, _, names in os.walk(basedir):
        for n in names:
            if n.endswith(".dat") or n.endswith(".hash"):
                with open(os.path.join(root, n), "rb") as f:
                    out[os.path.join(root, n)] = f.read()
    return out


class IntegrityTests(ServerTestCase):

    def dataset(self, s, n, **kw):
        return make_dataset(os.path.join(s.tmp, "%d.dcm" % n), STUDY, SERIES,
                            "%s.%d" % (SERIES, n), **kw)

    def sops_found(self, s):
        p, found = s.findscu(["StudyInstanceUID=%s" % STUDY, "SOPInstanceUID"], level="IMAGE")
        self.assertEqual(p.returncode, 0, p.stderr)
        return [str(ds.SOPInstanceUID) for ds in found]

    def names_found(self, s):
        p, found = s.findscu(["StudyInstanceUID=%s" % STUDY, "PatientName"])
        self.assertEqual(p.returncode, 0, p.stderr)
        return sorted(str(ds.PatientName) for ds in found)

    def test_refused_duplicate_changes_no_byte_of_the_index(self):
        s = self.server()
        p = s.storescu([self.dataset(s, 1, patient_name="DOE^JOHN")], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        path = uid_path(s.basedir, STUDY, SERIES, SERIES + ".1")
        with open(path, "rb") as f:
            image = f.read()
        before = index_files(s.basedir)
        self.assertEqual(len(before), 4)
        for called in ("VeltoPreserve", None):
            p = s.storescu([self.dataset(s, 1, patient_name="SMITH^WRONG")], called=called,
                           extra=["-v"])
            self.assertEqual(store_statuses(p.stdout + p.stderr), ["Warning: ElementsDiscarded"])
            self.assertEqual(index_files(s.basedir), before)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), image)
            self.assertEqual(self.names_found(s), ["DOE^JOHN"])
        # With VeltoOverwrite the new copy and its index entry replace both.
        p = s.storescu([self.dataset(s, 1, patient_name="SMITH^RIGHT")], called="VeltoOverwrite",
                       extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertEqual(self.names_found(s), ["SMITH^RIGHT"])

    def test_an_index_that_cannot_be_opened_fails_the_store(self):
        s = self.server()
        p = s.storescu([self.dataset(s, 1)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        series_dir = os.path.dirname(uid_path(s.basedir, STUDY, SERIES, SERIES + ".1"))
        index = os.path.join(series_dir, "IMAGEINDEX.dat")
        os.rename(index, index + ".aside")
        os.mkdir(index)  # a directory cannot be opened for writing
        p = s.storescu([self.dataset(s, 2)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Refused: OutOfResources"])
        self.assertFalse(os.path.exists(uid_path(s.basedir, STUDY, SERIES, SERIES + ".2")))
        self.assertIn("Cannot open index %s: Is a directory" % index, s.log())

    def test_a_failed_flush_aborts_the_association(self):
        # Every flush of the server fails with EIO (injected by strace): the
        # images were answered (the flush comes at the release), but the
        # release is not confirmed; the association is aborted and the
        # failure logged at error level.
        s = self.server(start=False)
        cmd = s.command()
        s.command = lambda: ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync",
                             "-e", "inject=fdatasync:error=EIO"] + cmd
        s.start()
        p = s.storescu([self.dataset(s, 1), self.dataset(s, 2)], extra=["-v"])
        out = p.stdout + p.stderr
        self.assertEqual(store_statuses(out), ["Success"] * 2)
        self.assertNotEqual(p.returncode, 0, out)
        self.assertNotIn("Releasing Association", out.split("Received Store Response")[-1]
                         .replace("Releasing Association", "", 1), out)
        self.assertRegex(out, "(?i)abort")
        log = s.log()
        self.assertRegex(log, r"\]:Cannot flush \S+ to disk: Input/output error\n")
        self.assertIn("could not be flushed to disk: aborting it.", log)
        # A client that stored nothing is released as usual.
        self.assertEqual(s.echoscu().returncode, 0)

    def test_a_failed_flush_with_S_refuses_the_image(self):
        # With -S every flush fails with EIO here: the journal cannot be set
        # up (its directory is not flushed), so the image is flushed under
        # its temporary name before it is placed; that fails: the image is
        # refused, never placed, never indexed, and the failure logged.
        s = self.server(args=["-S"], start=False)
        cmd = s.command()
        s.command = lambda: ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync",
                             "-e", "inject=fdatasync:error=EIO"] + cmd
        s.start()
        p = s.storescu([self.dataset(s, 1)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Refused: OutOfResources"])
        self.assertFalse(os.path.exists(uid_path(s.basedir, STUDY, SERIES, SERIES + ".1")))
        index = os.path.join(os.path.dirname(uid_path(s.basedir, STUDY, SERIES, SERIES + ".1")),
                             "IMAGEINDEX.dat")
        self.assertFalse(os.path.exists(index))
        self.assertEqual(files_below(s.basedir, ".tmp"), [])
        log = s.log()
        self.assertIn("No image journal of %s can be used.\n" % os.path.join(s.basedir, "uid"),
                      log)
        self.assertRegex(log, r"Cannot write \S+/uid/STORING\.\d+\.\d+\.tmp: "
                         r"Input/output error\n")

    def test_a_failed_journal_flush_with_S_flushes_the_image_itself(self):
        # Only the journal's flush fails (EIO injected for that file alone):
        # the image is flushed in the tree instead, before its response, and
        # answered; the journal is not used again by that worker.
        s = self.server(args=["-S"])
        p = s.storescu([self.dataset(s, 1)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        # The worker empties its journal after the release (the store's
        # directories were made at the start): its end is awaited, or the
        # next start would replay the journal (and fail its flush once more).
        def workers():
            with open("/proc/%d/task/%d/children" % (s.proc.pid, s.proc.pid)) as f:
                return f.read().split()
        vt.wait_for(lambda: workers() == [], 10, what="the worker's end")
        s.stop()
        journal = os.path.join(s.basedir, "uid", "JOURNAL.0")
        trace = os.path.join(s.tmp, "journal.trace")
        cmd = s.command()
        s.command = lambda: ["strace", "-f", "-qq", "-y", "-o", trace, "-e", "trace=fdatasync",
                             "-e", "inject=fdatasync:error=EIO", "-P", journal] + cmd
        s.start()
        p = s.storescu([self.dataset(s, 2), self.dataset(s, 3)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * 2)
        self.assertEqual(p.returncode, 0)
        log = s.log()
        self.assertEqual(log.count("Cannot flush %s to disk: Input/output error\n" % journal), 1)
        with open(trace) as f:
            self.assertEqual(f.read().count("fdatasync("), 1)
        self.assertEqual(len(files_below(s.basedir, ".dcm")), 3)
        self.assertEqual(files_below(s.basedir, ".tmp"), [])
        s.stop()
        s.command = lambda: cmd
        s.start()
        self.assertEqual(sorted(self.sops_found(s)), [SERIES + ".%d" % n for n in (1, 2, 3)])

    def test_sigterm_stops_between_operations(self):
        s = self.server(args=["-S"])
        files = [self.dataset(s, n, pixels=32) for n in range(1, 201)]
        result = {}

        def send():
            result["p"] = s.storescu(files, extra=["-v"])
        t = threading.Thread(target=send)
        t.start()
        vt.wait_for(lambda: len(files_below(s.basedir, ".dcm")) >= 5, 60, what="first images")
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(60), 0)
        t.join()
        out = result["p"].stdout + result["p"].stderr
        acknowledged = store_statuses(out).count("Success")
        self.assertGreater(acknowledged, 0)
        self.assertLess(acknowledged, 200, "the association was not ended early")
        log = s.log()
        self.assertIn("Stopping: waiting for 1 running association(s).", log)
        self.assertIn("Stopping: association ended between operations", log)
        self.assertTrue(log.endswith("]:Stopped.\n"), log[-300:])
        # Every acknowledged image is stored, and nothing half done is left.
        on_disk = files_below(s.basedir, ".dcm")
        self.assertIn(len(on_disk), (acknowledged, acknowledged + 1))
        self.assertEqual(files_below(s.basedir, ".tmp"), [])
        s.start()
        p, found = s.findscu(["StudyInstanceUID=%s" % STUDY, "SOPInstanceUID"], level="IMAGE")
        self.assertEqual(sorted(str(ds.SOPInstanceUID) for ds in found),
                         sorted("%s.%s" % (SERIES, os.path.basename(f)[len("image_" + SERIES) + 1:-4])
                                for f in on_disk))

    def test_sigint_stops_an_idle_server(self):
        s = self.server()
        s.proc.send_signal(signal.SIGINT)
        self.assertEqual(s.proc.wait(30), 0)
        self.assertIn("Stopping: waiting for 0 running association(s).", s.log())

    def test_storeindex_rebuild_refuses_a_store_in_use(self):
        s = self.server()
        p = s.storescu([self.dataset(s, 1)], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        storeindex = os.path.join(vt.BUILD, "storeindex", "storeindex")
        index = index_files(s.basedir)
        p = vt.run([storeindex, "rebuild", s.basedir])
        self.assertEqual(p.returncode, 2)
        self.assertEqual(p.stderr, "error: %s: a storeserver is using this store; stop it first "
                         "(rebuild -f rebuilds all the same)\n" % s.basedir)
        self.assertEqual(index_files(s.basedir), index)
        # Told to, it rebuilds all the same; check never needs the lock.
        self.assertEqual(vt.run([storeindex, "rebuild", "-f", s.basedir]).returncode, 0)
        self.assertEqual(vt.run([storeindex, "check", s.basedir]).returncode, 0)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(30), 0)
        self.assertEqual(vt.run([storeindex, "rebuild", s.basedir]).returncode, 0)
        # A server does not start on a store that is being rebuilt: it
        # never opens its port (a client would only wait in vain).
        lock = os.open(s.basedir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            before = len(s.log())
            s.start(wait=False)
            self.assertEqual(s.proc.wait(30), 1)
            self.assertIn("Store %s is being rebuilt (storeindex holds it)." % s.basedir, s.log())
            self.assertNotIn("now listening", s.log()[before:])
        finally:
            os.close(lock)


if __name__ == "__main__":
    vt.main()

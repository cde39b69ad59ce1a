"""storeindex backup of a running archive and storeindex restore: a backup
taken while four senders store (each image in its own association) holds
every image confirmed before it began; restored onto an empty base
directory, the archive is consistent (`storeindex check`), answers C-FIND
for every such image and gives each back by C-GET element for element as
it was sent (the files byte for byte as the archive stored them), with and
without the image journal (-S); the journal of a worker killed in its
association is in the backup and written into the restored tree. A backup whose target fails mid-way says so
and leaves the store as it was and no backup; a snapshot that a killed
backup left is removed by the next start; restore refuses a directory that
is not empty and a backup that is not complete, and one cut short keeps
the archive from starting on its directory until it is run again. The
forwarding queue and the patient link tree come back with the images."""

import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pydicom

import veltotest as vt
import archiveclients as ac

SNAPSHOT = "BACKUP-SNAPSHOT"
MARKER = "VELTO-BACKUP"


def storeindex(*args, env=None, preexec_fn=None):
    p = subprocess.run([ac.STOREINDEX] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=300, env=env,
                       preexec_fn=preexec_fn)
    return p.returncode, p.stdout, p.stderr


def comparable(ds):
    """A data set's elements without group lengths and padding."""
    return {e.tag: e.value for e in ds if e.tag.element != 0 and e.tag != 0xFFFCFFFC}


def tree_files(base):
    """{path below base: (bytes, link count)} of every file below base."""
    out = {}
    for root, dirs, files in os.walk(base):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            path = os.path.join(root, name)
            st = os.lstat(path)
            if os.path.islink(path):
                data = os.readlink(path).encode()
            else:
                with open(path, "rb") as f:
                    data = f.read()
            out[os.path.relpath(path, base)] = (data, st.st_nlink)
    return out


class Senders:
    """Four loops that store new images until stopped, one association
    each; every image's file is kept, and each confirmed one is noted with
    the time of its confirmation."""

    def __init__(self, server, work, loops=4, per_study=15):
        self.server, self.work, self.per_study = server, work, per_study
        self.lock = threading.Lock()
        self.confirmed = {}   # (study, series, sop) -> file sent
        self.failed = 0
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.loop, args=(l,)) for l in range(loops)]

    def loop(self, l):
        n = 0
        run = os.getpid()
        while not self.stop.is_set():
            study = "%s.%d.%d.%d" % (ac.UID_ROOT, run, l, n // self.per_study)
            series = "%s.%d" % (study, n % 2)
            sop = "%s.%d" % (series, n)
            path = os.path.join(self.work, "%d-%d.dcm" % (l, n))
            vt.make_dataset(path, study, series, sop, patient_name="BACKUP^LOOP%d" % l,
                            patient_id="BK%d" % l, pixels=32 + n % 5)
            ok, _ = ac.store_one(self.server, path)
            with self.lock:
                if ok:
                    self.confirmed[(study, series, sop)] = path
                else:
                    self.failed += 1
            n += 1

    def start(self):
        for t in self.threads:
            t.start()

    def finish(self):
        self.stop.set()
        for t in self.threads:
            t.join()

    def count(self):
        with self.lock:
            return len(self.confirmed)

    def snapshot(self):
        with self.lock:
            return dict(self.confirmed)


class BackupTest(vt.ServerTestCase):

    def getscu(self, server, study, out):
        os.makedirs(out)
        p = vt.run(["getscu", "-v", "-S", "-aec", server.aetitle, "-od", out,
                    "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study,
                    "127.0.0.1", str(server.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        got = {}
        for name in os.listdir(out):
            ds = pydicom.dcmread(os.path.join(out, name))
            got[str(ds.SOPInstanceUID)] = ds
        return got

    def backup_while_storing(self, args):
        srv = self.server(aetitle="BK_ARCHIVE", args=args)
        work = tempfile.mkdtemp(prefix="sent-", dir=srv.tmp)
        senders = Senders(srv, work)
        senders.start()
        try:
            vt.wait_for(lambda: senders.count() >= 40, 60, what="40 images stored")
            # Every image confirmed up to here must be in the backup.
            before = senders.snapshot()
            dest = os.path.join(srv.tmp, "backup")
            status, out, err = storeindex("backup", srv.basedir, dest)
            during = senders.count() - len(before)
            vt.wait_for(lambda: senders.count() >= len(before) + during + 8, 60,
                        what="stores after the backup")
        finally:
            senders.finish()
        self.assertEqual(status, 0, out + err)
        held = float(re.search(r"held ([0-9.]+) s", out).group(1))
        everything = senders.snapshot()
        print("%s: %d images confirmed before the backup, %d while it ran, %d in all; "
              "the lock held %.3f s\n%s" % (" ".join(args) or "default", len(before), during,
                                            len(everything), held, out.strip()),
              file=sys.stderr)
        self.assertTrue(os.path.exists(os.path.join(dest, MARKER)))
        self.assertFalse(os.path.exists(os.path.join(srv.basedir, SNAPSHOT)))

        restored = os.path.join(srv.tmp, "restored")
        status, out, err = storeindex("restore", dest, restored, env=srv.env)
        self.assertEqual(status, 0, out + err)
        self.assertIn("consistent: " + restored, out)
        status, out, err = storeindex("check", restored, env=srv.env)
        self.assertEqual(status, 0, out + err)

        tree = ac.tree_images(restored)
        self.assertEqual(sorted(set(before) - tree), [], "confirmed images not in the backup")
        self.assertEqual(sorted(tree - set(everything)), [], "images never confirmed")
        self.assertEqual(ac.index_images(restored), tree)
        # The files as the archive stored them, byte for byte.
        for image in before:
            with open(ac.image_path(srv.basedir, *image), "rb") as a, \
                    open(ac.image_path(restored, *image), "rb") as b:
                self.assertEqual(a.read(), b.read(), image)

        # An archive on the restored store answers for each of them.
        again = self.server(aetitle="BK_RESTORED", basedir=restored)
        again.wait_answered()
        studies = sorted({i[0] for i in before})
        for n, study in enumerate(studies):
            want = {i[2]: path for i, path in before.items() if i[0] == study}
            found = ac.images_of_study(again, study)
            self.assertIsNotNone(found, study)
            self.assertEqual(sorted(set(want) - set(found)), [], study)
            got = self.getscu(again, study, os.path.join(again.tmp, "get%d" % n))
            for sop, path in want.items():
                self.assertIn(sop, got)
                self.assertEqual(comparable(got[sop]), comparable(pydicom.dcmread(path)), sop)

    def test_backup_while_four_senders_store(self):
        self.backup_while_storing([])

    def test_backup_while_four_senders_store_with_journal(self):
        self.backup_while_storing(["-S"])

    def test_backup_holds_a_dead_workers_journal(self):
        # With -S a worker killed in its association leaves its journal
        # unwritten (the next start writes it into the tree): the backup
        # holds it, and the restore writes it, as a start would.
        srv = self.server(aetitle="BK_ARCHIVE", args=["-S"])
        study = ac.UID_ROOT + ".3"
        files = [vt.make_dataset(os.path.join(srv.tmp, "j%d.dcm" % n), study, study + ".1",
                                 "%s.1.%d" % (study, n)) for n in range(40)]
        p = subprocess.Popen(["storescu", "-v", "-aet", "JRNL", "-aec", srv.aetitle, "127.0.0.1",
                              str(srv.port)] + files, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        acked = 0
        for line in p.stdout:
            if "Received Store Response (Success)" in line:
                acked += 1
                if acked == 5:
                    for pid in ac.worker_pids(srv.proc.pid):
                        os.kill(pid, signal.SIGKILL)
        p.stdout.close()
        p.wait()
        self.assertGreaterEqual(acked, 5)
        self.assertLess(acked, len(files))
        vt.wait_for(lambda: not ac.worker_pids(srv.proc.pid), 20, what="the worker to end")
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertIn("unwritten-journal", ac.finding_kinds(lines), lines)

        dest = os.path.join(srv.tmp, "backup")
        status, out, err = storeindex("backup", srv.basedir, dest)
        self.assertEqual(status, 0, out + err)
        self.assertTrue([n for n in os.listdir(os.path.join(dest, "uid"))
                         if n.startswith("JOURNAL.")])
        restored = os.path.join(srv.tmp, "restored")
        status, out, err = storeindex("restore", dest, restored)
        self.assertEqual(status, 0, out + err)
        self.assertIn("consistent: " + restored, out)
        confirmed = {(study, study + ".1", "%s.1.%d" % (study, n)) for n in range(acked)}
        self.assertEqual(sorted(confirmed - ac.tree_images(restored)), [])
        self.assertEqual(ac.index_images(restored), ac.tree_images(restored))

    def test_failing_target_leaves_the_store_and_no_backup(self):
        srv = self.server(aetitle="BK_ARCHIVE")
        files = []
        for i in range(6):
            files.append(vt.make_dataset(os.path.join(srv.tmp, "f%d.dcm" % i), "1.2.826.0.1.3680043.9.7433.1",
                                         "1.2.826.0.1.3680043.9.7433.1.1",
                                         "1.2.826.0.1.3680043.9.7433.1.1.%d" % i,
                                         pixels=256 if i == 4 else 32))
        self.assertEqual(srv.storescu(files).returncode, 0)
        srv.stop()
        before = tree_files(srv.basedir)

        # A target that takes no file above 32 KB: the copy of the large
        # image fails after others were written (as a full disk would).
        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (32768, 32768))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        dest = os.path.join(srv.tmp, "backup")
        status, out, err = storeindex("backup", srv.basedir, dest, preexec_fn=small_files)
        self.assertEqual(status, 1, out + err)
        self.assertIn("no backup in %s; the store is unchanged" % dest, err)
        self.assertIn("File too large", err)
        self.assertFalse(os.path.exists(dest))
        self.assertEqual(tree_files(srv.basedir), before)

        # Into an empty directory given: it stays, empty.
        os.mkdir(dest)
        status, out, err = storeindex("backup", srv.basedir, dest, preexec_fn=small_files)
        self.assertEqual(status, 1, out + err)
        self.assertEqual(os.listdir(dest), [])
        self.assertEqual(tree_files(srv.basedir), before)

        # A backup cut short (no marker) is refused by a restore.
        with open(os.path.join(dest, "uid"), "w"):
            pass
        status, out, err = storeindex("restore", dest, os.path.join(srv.tmp, "r0"))
        self.assertEqual(status, 2, out + err)
        self.assertIn("no complete backup", err)
        # A backup goes only into a new or empty directory.
        status, out, err = storeindex("backup", srv.basedir, dest)
        self.assertEqual(status, 2, out + err)
        self.assertEqual(tree_files(srv.basedir), before)

        good = os.path.join(srv.tmp, "good")
        status, out, err = storeindex("backup", srv.basedir, good)
        self.assertEqual(status, 0, out + err)
        # A restore goes only into a new or empty directory.
        status, out, err = storeindex("restore", good, srv.basedir)
        self.assertEqual(status, 2, out + err)
        self.assertEqual(tree_files(srv.basedir), before)

    def test_restore_cut_short_keeps_the_archive_out_and_runs_again(self):
        srv = self.server(aetitle="BK_ARCHIVE")
        study = ac.UID_ROOT + ".4"
        files = [vt.make_dataset(os.path.join(srv.tmp, "r%d.dcm" % n), study, study + ".1",
                                 "%s.1.%d" % (study, n), pixels=256 if n == 2 else 32)
                 for n in range(4)]
        self.assertEqual(srv.storescu(files).returncode, 0)
        dest = os.path.join(srv.tmp, "backup")
        status, out, err = storeindex("backup", srv.basedir, dest)
        self.assertEqual(status, 0, out + err)

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (32768, 32768))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        other = self.server(aetitle="BK_RESTORED", start=False)
        status, out, err = storeindex("restore", dest, other.basedir, env=other.env,
                                      preexec_fn=small_files)
        self.assertEqual(status, 1, out + err)
        self.assertIn("the restore is not complete; run it again", err)
        self.assertTrue(os.path.exists(os.path.join(other.basedir, "RESTORING")))
        # Nothing may be stored into it meanwhile: a rerun starts over.
        with self.assertRaises(AssertionError) as refused:
            other.start()
        other.proc.stdout.close()
        other.proc.stderr.close()
        self.assertIn("is being restored", str(refused.exception))
        status, out, err = storeindex("rebuild", other.basedir, env=other.env)
        self.assertEqual(status, 2, out + err)
        self.assertIn("a restore into the store has not ended", err)

        status, out, err = storeindex("restore", dest, other.basedir, env=other.env)
        self.assertEqual(status, 0, out + err)
        self.assertIn("consistent: " + other.basedir, out)
        self.assertFalse(os.path.exists(os.path.join(other.basedir, "RESTORING")))
        other.start(answered=True)
        self.assertEqual(sorted(ac.images_of_study(other, study)),
                         sorted("%s.1.%d" % (study, n) for n in range(4)))

    def test_forwarding_queue_and_link_tree_go_with_the_images(self):
        # A peer that is down: the jobs stay queued.
        srv = self.server(aetitle="BK_ARCHIVE", args=["-s"], start=False,
                          aetmap="NOWHERE\tNOWHERE\t127.0.0.1:%d\tFMS\n" % vt.free_port())
        with open(os.path.join(srv.etc, "ForwardRules"), "w") as f:
            f.write("NOWHERE\n")
        srv.start()
        study = ac.UID_ROOT + ".5"
        files = [vt.make_dataset(os.path.join(srv.tmp, "f%d.dcm" % n), study, study + ".1",
                                 "%s.1.%d" % (study, n), extra={"InstanceNumber": str(n + 1)})
                 for n in range(3)]
        self.assertEqual(srv.storescu(files).returncode, 0)
        queue = os.path.join(srv.basedir, "forward")
        jobs = sorted(n for n in os.listdir(queue) if n.endswith(".job"))
        self.assertEqual(len(jobs), 3)
        dest = os.path.join(srv.tmp, "backup")
        status, out, err = storeindex("backup", srv.basedir, dest)
        self.assertEqual(status, 0, out + err)
        self.assertEqual(sorted(n for n in os.listdir(os.path.join(dest, "forward"))
                                if n.endswith(".job")), jobs)
        restored = os.path.join(srv.tmp, "restored")
        status, out, err = storeindex("restore", dest, restored)
        self.assertEqual(status, 0, out + err)
        links = [os.path.join(root, n) for root, _, names in
                 os.walk(os.path.join(restored, "patient")) for n in names]
        self.assertEqual(len(links), 3)
        for link in links:
            self.assertTrue(os.path.islink(link), link)
            # Relative: into the restored tree.
            self.assertTrue(os.path.realpath(link).startswith(os.path.realpath(restored)), link)
            self.assertTrue(os.path.isfile(link), link)

    def test_left_snapshot_is_removed(self):
        srv = self.server(aetitle="BK_ARCHIVE")
        path = vt.make_dataset(os.path.join(srv.tmp, "one.dcm"), "1.2.826.0.1.3680043.9.7433.2",
                               "1.2.826.0.1.3680043.9.7433.2.1", "1.2.826.0.1.3680043.9.7433.2.1.1")
        self.assertEqual(srv.storescu([path]).returncode, 0)
        image = ac.image_path(srv.basedir, "1.2.826.0.1.3680043.9.7433.2",
                              "1.2.826.0.1.3680043.9.7433.2.1", "1.2.826.0.1.3680043.9.7433.2.1.1")
        # What a backup killed in its first pass leaves: links to images.
        left = os.path.join(srv.basedir, SNAPSHOT, "uid", "x")
        os.makedirs(left)
        os.link(image, os.path.join(left, "image_1.dcm"))
        srv.stop()
        srv.start(answered=True)
        self.assertFalse(os.path.exists(os.path.join(srv.basedir, SNAPSHOT)))
        self.assertEqual(os.stat(image).st_nlink, 1)
        self.assertIn("a backup cut short", srv.log())

        # And by the next backup, which runs beside the server.
        os.makedirs(left)
        os.link(image, os.path.join(left, "image_1.dcm"))
        status, out, err = storeindex("backup", srv.basedir, os.path.join(srv.tmp, "b"))
        self.assertEqual(status, 0, out + err)
        self.assertFalse(os.path.exists(os.path.join(srv.basedir, SNAPSHOT)))
        self.assertEqual(os.stat(image).st_nlink, 1)


if __name__ == "__main__":
    vt.main()

"""A full disk at each step of a store with an on-store forwarding rule:
every image answered with success has its forwarding job and reaches the
destination once there is room again, element for element as sent; every
image answered with a failure leaves no trace (no file, index record, job,
held job or link; C-FIND, QIDO-RS and `storeindex check` find nothing).

The store is a small tmpfs in a mount namespace that a holder process
keeps; the servers run in it (nsenter) and the test reaches its files
through /proc/HOLDER/root. Before each store the tmpfs is filled to leave
exactly k free pages (or k free inodes), for k from 0 up to enough for the
whole store, so that the image's file, its held job, its placing (the
directories) and its index records each in turn find the disk full. The
forwarder is stopped (SIGSTOP) meanwhile, so that the jobs can be counted
before it sends them, and goes on once the room is back. With room again,
the peer's repeat of each refused image is stored afresh (not 0xB006) and
forwarded; a duplicate under the preserve policy makes no job, an
overwrite that finds the disk full leaves the stored copy and its job.
By C-STORE as sent and converted from Implicit VR, and by STOW-RS, with
and without -S. A held job that a crash left is settled at the next
start."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

import pydicom

import veltotest as vt

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))
from webharness import Web  # noqa: E402

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
ROOT = "1.2.826.0.1.3680043.9.7433.32"
# The study that the images of one series go to; every other study holds
# one image, STUDY.1.1.
BASE = ROOT + ".1"
PAGE = 4096


def pixels_of(sop, size):
    seed = zlib.crc32(sop.encode())
    return bytes((seed + 31 * i + i // 7) % 251 for i in range(size * size))


class FullStoreTests(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.holder = None
        self.stop_later = []

    def tearDown(self):
        for p in self.stop_later:
            p.stop()
        if self.holder is not None:
            self.holder.kill()
            self.holder.wait()
        super().tearDown()

    # --- the namespace and its tmpfs -------------------------------------

    def mount_store(self, s, options):
        self.holder = subprocess.Popen(
            ["unshare", "-m", "sh", "-c",
             'mount -t tmpfs -o %s velto "$0" && echo ready && exec sleep 600' % options,
             s.basedir], stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.holder.stdout.readline(), "ready\n")
        self.nsenter = ["nsenter", "-t", str(self.holder.pid), "-m", "-r"]
        for daemon in (s,):
            cmd = daemon.command()
            daemon.command = lambda cmd=cmd: self.nsenter + cmd

    def inside(self, *parts):
        """A path of the store as the test reaches it."""
        return "/proc/%d/root%s" % (self.holder.pid, os.path.join(self.basedir, *parts))

    def fill(self, pages=None, inodes=None):
        """Fills the tmpfs to leave exactly `pages` pages or `inodes` inodes."""
        os.makedirs(self.inside("filler"), exist_ok=True)
        if pages is not None:
            # The worker of the last association may still be ending (its
            # temporary file made ahead removed): filled again until the
            # count holds twice in a row.
            with open(self.inside("filler", "pages"), "wb") as f:
                size = 0
                for _ in range(100):
                    left = os.statvfs(self.inside()).f_bavail
                    if left == pages:
                        time.sleep(0.02)
                        if os.statvfs(self.inside()).f_bavail == pages:
                            break
                        continue
                    size = max(0, size + (left - pages) * PAGE)
                    if left > pages:
                        f.seek(0, os.SEEK_END)
                        f.write(bytes((left - pages) * PAGE))
                        f.flush()
                    else:
                        f.truncate(size)
            self.assertEqual(os.statvfs(self.inside()).f_bavail, pages)
        if inodes is not None:
            made = 0
            for _ in range(100):
                left = os.statvfs(self.inside()).f_favail
                if left == inodes:
                    time.sleep(0.02)
                    if os.statvfs(self.inside()).f_favail == inodes:
                        break
                    continue
                for _ in range(left - inodes):
                    open(self.inside("filler", "i%d" % made), "w").close()
                    made += 1
                for _ in range(inodes - left):
                    made -= 1
                    os.unlink(self.inside("filler", "i%d" % made))
            self.assertEqual(os.statvfs(self.inside()).f_favail, inodes)

    def unfill(self):
        shutil.rmtree(self.inside("filler"), ignore_errors=True)

    # --- the archive ------------------------------------------------------

    def archive(self, tmpfs, args=()):
        self.dest = vt.StoreSCP(tempfile.mkdtemp(prefix="full-dst-"), "DEST", ["+uf"])
        self.stop_later.append(self.dest)
        s = self.server(args=["-s"] + list(args), start=False, aetmap=self.dest.map_line())
        self.basedir = s.basedir
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("DEST\n")
        self.mount_store(s, tmpfs)
        s.start()
        # STOW-RS through storeweb on the same store, its parts spooled
        # outside it.
        self.web = Web(s, start=False, env={"TMPDIR": s.tmp})
        cmd = self.web.command()
        self.web.command = lambda: self.nsenter + cmd
        self.web.start()
        self.stop_later.append(self.web)
        self.forwarder = int(vt.wait_for(
            lambda: re.search(r"\[(\d+)\]:Forwarder started", s.log()), 10,
            what="the forwarder").group(1))
        os.kill(self.forwarder, signal.SIGSTOP)
        return s

    def image(self, s, study, series, n, size=90):
        sop = "%s.%d" % (series, n)
        path = os.path.join(s.tmp, "sent", sop + ".dcm")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return vt.make_dataset(path, study, series, sop, pixels=size,
                               extra={"PixelData": pixels_of(sop, size)})

    def store_dicom(self, s, path, syntax, called=None):
        p = s.storescu([path], called=called, extra=["-v", syntax])
        statuses = vt.store_statuses(p.stdout + p.stderr)
        self.assertEqual(len(statuses), 1, p.stdout + p.stderr)
        return statuses[0] == "Success"

    def store_stow(self, path):
        with open(path, "rb") as f:
            body = (b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + f.read()
                    + b"\r\n--XyZ--\r\n")
        spool = path + ".stow"
        with open(spool, "wb") as f:
            f.write(body)
        status, _, answer = self.web.curl("/dicom-web/studies", [
            "-X", "POST", "-H", "Accept: application/dicom+json", "-H",
            'Content-Type: multipart/related; type="application/dicom"; boundary=XyZ',
            "--data-binary", "@" + spool])
        self.assertIn(status, (200, 202, 409), answer)
        # Referenced: stored; Failed: refused.
        stored = b'"00081199"' in answer
        self.assertNotEqual(stored, b'"00081198"' in answer, answer)
        return stored

    def sweep(self, store, images, **fill):
        """Stores each image with the tmpfs filled to leave k pages (or
        inodes) for the k-th: {path: stored}."""
        out = {}
        (what, ks), = fill.items()
        for k, path in zip(ks, images):
            self.fill(**{what: k})
            try:
                out[path] = store(path)
            finally:
                self.unfill()
        return out

    # --- what the store and the queue hold --------------------------------

    def jobs(self):
        """{instance: count} of the queue's jobs; no held job is left."""
        d = self.inside("forward")
        names = os.listdir(d) if os.path.isdir(d) else []
        self.assertEqual([n for n in names if n.endswith(".held")], [])
        out = {}
        for n in names:
            if n.endswith(".job"):
                # The forwarder removes a delivered job as it likes.
                try:
                    with open(os.path.join(d, n)) as f:
                        m = re.search(r"^instance (\S+)$", f.read(), re.M)
                except FileNotFoundError:
                    continue
                out[m.group(1)] = out.get(m.group(1), 0) + 1
        return out

    def files_named(self, top, sop):
        found = []
        for root, dirs, names in os.walk(self.inside(top)):
            found += [n for n in names if sop in n]
            for n in names:
                p = os.path.join(root, n)
                if os.path.islink(p) and sop in os.readlink(p):
                    found.append(p)
        return found

    def found_by_find(self, s, base):
        """The SOP Instance UIDs that C-FIND finds: the images of the study
        base (one query) and those of the other studies, each of which has
        one image (their study UIDs, from one query, stand for them)."""
        p, found = s.findscu(["StudyInstanceUID=" + base, "SOPInstanceUID"], level="IMAGE")
        self.assertEqual(p.returncode, 0, p.stderr)
        p, studies = s.findscu(["StudyInstanceUID", "NumberOfStudyRelatedInstances"])
        self.assertEqual(p.returncode, 0, p.stderr)
        out = {str(ds.SOPInstanceUID) for ds in found}
        for ds in studies:
            if str(ds.StudyInstanceUID) != base:
                self.assertEqual(int(ds.NumberOfStudyRelatedInstances), 1)
                out.add(str(ds.StudyInstanceUID) + ".1.1")
        return out

    def found_by_qido(self, base):
        """As found_by_find, through QIDO-RS."""
        import json
        out = set()
        for path, tag in (("/dicom-web/studies/%s/instances" % base, "00080018"),
                          ("/dicom-web/studies", "0020000D")):
            status, _, body = self.web.curl(path)
            self.assertIn(status, (200, 204), body)
            for item in json.loads(body) if status == 200 else []:
                uid = item[tag]["Value"][0]
                if tag == "00080018" or uid != base:
                    out.add(uid if tag == "00080018" else uid + ".1.1")
        return out

    def check_index(self):
        p = vt.run(self.nsenter + [STOREINDEX, "check", self.basedir])
        self.assertEqual((p.returncode, p.stdout + p.stderr),
                         (0, "consistent: %s\n" % self.basedir))

    def check_traces(self, s, results):
        """Every success has exactly one job and is found; every failure
        leaves no trace. (successes, failures) as SOP Instance UIDs."""
        sop = {path: str(pydicom.dcmread(path).SOPInstanceUID) for path in results}
        good = sorted(sop[p] for p, ok in results.items() if ok)
        bad = sorted(sop[p] for p, ok in results.items() if not ok)
        self.assertEqual(self.jobs(), dict.fromkeys(good, 1))
        for uid in bad:
            self.assertEqual(self.files_named("uid", uid), [], uid)
            self.assertEqual(self.files_named("patient", uid), [], uid)
        self.assertEqual(self.found_by_find(s, BASE), set(good))
        self.assertEqual(self.found_by_qido(BASE), set(good))
        self.check_index()
        return good, bad

    def check_delivery(self, sent, copies):
        """Room again: the forwarder goes on and delivers every job; DEST
        holds copies[uid] copies of each, element for element as sent."""
        os.kill(self.forwarder, signal.SIGCONT)
        vt.wait_for(lambda: not self.jobs() and len(self.dest.files()) >= sum(copies.values()),
                    30, what="every job to be delivered")
        got = {}
        for f in self.dest.files():
            ds = pydicom.dcmread(f)
            got.setdefault(str(ds.SOPInstanceUID), []).append(ds)
        self.assertEqual({uid: len(v) for uid, v in got.items()}, copies)
        for path in sent:
            want = pydicom.dcmread(path)
            for ds in got[str(want.SOPInstanceUID)]:
                # Every element of the data set (not the file's meta header,
                # which each writer makes), the pixels included.
                self.assertEqual(ds.PixelData, want.PixelData)
                self.assertEqual({e.tag: e.value for e in ds}, {e.tag: e.value for e in want})

    def test_full_disk_at_each_step(self):
        self.full_disk_at_each_step()

    def test_full_disk_at_each_step_with_journal(self):
        # -S: each image is on disk before its answer, through the journal
        # (whose record, once committed, a start writes into the tree): the
        # job is held before the record is committed.
        self.full_disk_at_each_step(["-S"])

    def full_disk_at_each_step(self, args=()):
        s = self.archive("size=12m,nr_inodes=1500", args)
        # A study stored with room first: the later images of its series
        # need only their file, job and records.
        base = BASE
        first = self.image(s, base, base + ".1", 0)
        self.assertTrue(self.store_dicom(s, first, "-xe"))
        results = {first: True}
        n = 0

        def new_study(size=90):
            nonlocal n
            n += 1
            study = "%s.%d" % (ROOT, 100 + n)
            return self.image(s, study, study + ".1", 1, size)

        def same_series(size=90):
            nonlocal n
            n += 1
            return self.image(s, base, base + ".1", n, size)
        pages = range(0, 12)
        inodes = range(0, 10)
        for syntax in ("-xe", "-xi"):  # as sent, converted from Implicit VR
            store = lambda path, syntax=syntax: self.store_dicom(s, path, syntax)
            results.update(self.sweep(store, [new_study() for _ in pages],
                                      pages=pages))
            results.update(self.sweep(store, [same_series() for _ in pages],
                                      pages=pages))
            results.update(self.sweep(store, [new_study() for _ in inodes],
                                      inodes=inodes))
        results.update(self.sweep(self.store_stow, [new_study() for _ in pages],
                                  pages=pages))
        results.update(self.sweep(self.store_stow, [new_study() for _ in inodes],
                                  inodes=inodes))
        good, bad = self.check_traces(s, results)
        self.assertGreater(len(good), 10)
        self.assertGreater(len(bad), 10)
        copies = dict.fromkeys(good, 1)
        # The peer's repeat of a refused image, with room again, stores it
        # afresh (not 0xB006) and queues its job.
        refused = [p for p, ok in results.items() if not ok]
        for path in refused:
            self.assertTrue(self.store_dicom(s, path, "-xe"), s.log()[-1200:])
        copies.update(dict.fromkeys(bad, 1))
        # A repeat of a stored image is kept as it is (0xB006) and makes no
        # job; under the overwrite policy it is replaced and forwarded
        # again, and a repeat that finds the disk full leaves the stored copy
        # and its one job as they were.
        p = s.storescu([first], extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr),
                         ["Warning: ElementsDiscarded"])
        for syntax in ("-xe", "-xi"):
            self.fill(pages=0)
            try:
                self.assertFalse(self.store_dicom(s, first, syntax, called="VeltoOverwrite"))
            finally:
                self.unfill()
        first_uid = str(pydicom.dcmread(first).SOPInstanceUID)
        self.assertEqual(self.jobs(), copies)
        self.assertTrue(self.store_dicom(s, first, "-xi", called="VeltoOverwrite"))
        # (Both jobs of the image are served by one send of it.)
        self.assertEqual(self.jobs(), dict(copies, **{first_uid: 2}))
        self.check_delivery(list(results), copies)
        # After a restart (its repairs done) the index is still consistent
        # and every image is found once.
        s.stop()
        s.start()
        self.assertEqual(s.echoscu().returncode, 0)
        self.check_index()
        self.assertEqual(self.found_by_find(s, BASE), set(good + bad))
        log = s.log() + self.web.log()
        # Each step found the disk full: the image's file, its job, its
        # directories, its index records; a placed image whose records found
        # the disk full was taken back, without its delete's intent when
        # that found no room either.
        for step in (r"Cannot write \S+/uid/STORING\.\S+: No space left on device",
                     r"Cannot write forwarding job \S+: No space left on device",
                     r"Cannot create storage (study|series|study C[12]) directory",
                     r"Cannot (open|write) index \S+: No space left on device",
                     r"Taking back \S+: its store failed"):
            self.assertTrue(re.search(step, log), step)
        # STOW-RS too: its job and its index records found the disk full.
        self.assertIn("Cannot write forwarding job ", self.web.log())
        self.assertIn("Taking back ", self.web.log())

    def test_held_jobs_settled_at_start(self):
        # What a store killed after its job was held leaves: a held job
        # whose image was placed (queued at the next start and delivered),
        # one whose image was not (removed), one cut short (removed).
        self.dest = vt.StoreSCP(tempfile.mkdtemp(prefix="full-dst-"), "DEST", ["+uf"])
        self.stop_later.append(self.dest)
        s = self.server(start=False, aetmap=self.dest.map_line())
        with open(os.path.join(s.etc, "ForwardRules"), "w") as f:
            f.write("DEST\n")
        s.start()
        study = ROOT + ".2"
        sent = self.image(s, study, study + ".1", 1)
        self.assertTrue(self.store_dicom(s, sent, "-xe"))
        vt.wait_for(lambda: len(self.dest.files()) == 1, 15, what="the first delivery")
        s.stop()
        forward = os.path.join(s.basedir, "forward")

        def held(name, instance, whole=True):
            text = ("destination DEST\nstudy %s\nseries %s.1\ninstance %s\nsyntax stored\n"
                    "origin rule 1\nstate pending\nattempts 0\nnext 0\ncreated 0\ntotal 1\n"
                    % (study, study, instance))
            with open(os.path.join(forward, name + ".held"), "w") as f:
                f.write(text + ("end \n" if whole else ""))
        # The record of the first delivery would spare the unchanged image
        # its second send (a forwarding loop's guard): without it, the
        # settled job is seen to deliver.
        shutil.rmtree(os.path.join(forward, "delivered"), ignore_errors=True)
        held("0000000001-000000001-1-0", study + ".1.1")
        held("0000000001-000000001-1-1", study + ".1.2")
        held("0000000001-000000001-1-2", study + ".1.1", whole=False)
        s.start()
        vt.wait_for(lambda: len(self.dest.files()) == 2, 15, what="the held job's delivery")
        # The lock, the record of what was delivered and the history of
        # finished jobs stay.
        vt.wait_for(lambda: all(n in ("LOCK", "delivered", "history")
                                for n in os.listdir(forward)), 15,
                    what="an empty queue")
        self.assertEqual(sorted(str(pydicom.dcmread(f).SOPInstanceUID)
                                for f in self.dest.files()), [study + ".1.1"] * 2)
        self.assertIn("Forwarding job 0000000001-000000001-1-0 of a store cut short queued.",
                      s.log())
        self.assertEqual(s.log().count("of a store cut short removed"), 2)


if __name__ == "__main__":
    vt.main()

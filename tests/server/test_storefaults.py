"""The index never lies, and nothing acknowledged goes missing: stores
that fail (a full file system, a read-only directory, index writes that
fail), stores racing deletes of the same study, and two stores of one
instance under VeltoPreserve. After each, once the server has started
again, `storeindex check` finds nothing, every image answered with success
is found by C-FIND and comes back by C-GET as it was sent (every element,
the pixels included), and no image answered with a failure is found."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import threading

import veltotest as vt
from veltotest import ServerTestCase, make_dataset, store_statuses

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
ROOT = "1.2.826.0.1.3680043.9.7433.21"


def pixels_of(sop, size):
    """Pixel bytes that differ from image to image (a reference to compare)."""
    seed = sum(sop.encode())
    return bytes((seed + 31 * i + i // size) % 251 for i in range(size * size))


def content(path):
    """A file's data set as {tag: value}, without the file meta header."""
    import pydicom
    ds = pydicom.dcmread(path)
    return {e.tag: e.value for e in ds}


class StoreFaultTests(ServerTestCase):

    def image(self, s, study, series, n, size=64, **kw):
        sop = "%s.%d" % (series, n)
        extra = dict(kw.pop("extra", {}), PixelData=pixels_of(sop + kw.get("patient_name", ""),
                                                              size))
        path = os.path.join(s.tmp, "sent", "%s-%s.dcm" % (sop, kw.get("patient_name", "")))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return make_dataset(path, study, series, sop, pixels=size, extra=extra, **kw)

    def store(self, s, files, called=None, extra=()):
        """Stores files in one association: {path: status}."""
        p = s.storescu(files, called=called, extra=["-v", "--no-halt"] + list(extra))
        statuses = store_statuses(p.stdout + p.stderr)
        self.assertEqual(len(statuses), len(files), p.stdout[-2000:] + p.stderr[-2000:])
        return dict(zip(files, statuses))

    def check(self, s, inside=None):
        """storeindex check finds nothing."""
        p = vt.run((inside or []) + [STOREINDEX, "check", s.basedir])
        self.assertEqual(p.stdout + p.stderr, "consistent: %s\n" % s.basedir, s.log()[-6000:])
        self.assertEqual(p.returncode, 0)

    def found(self, s, study):
        p, found = s.findscu(["StudyInstanceUID=%s" % study, "SOPInstanceUID"], level="IMAGE")
        self.assertEqual(p.returncode, 0, p.stderr)
        return sorted(str(ds.SOPInstanceUID) for ds in found)

    def study_counts(self, s):
        """{study: NumberOfStudyRelatedInstances} of a study-level query."""
        p, found = s.findscu(["StudyInstanceUID", "NumberOfStudyRelatedInstances"])
        self.assertEqual(p.returncode, 0, p.stderr)
        return {str(ds.StudyInstanceUID): int(ds.NumberOfStudyRelatedInstances) for ds in found}

    def retrieved(self, s, study):
        """{SOP instance UID: data set} of a C-GET of the study."""
        out = tempfile.mkdtemp(dir=s.tmp)
        p = vt.run(["getscu", "-S", "-aet", "GETTER", "-aec", s.aetitle, "-od", out,
                    "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study,
                    "127.0.0.1", str(s.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        got = {}
        for name in os.listdir(out):
            ds = content(os.path.join(out, name))
            got[str(ds[0x00080018])] = ds
        shutil.rmtree(out)
        return got

    def verify(self, s, sent, inside=None):
        """After a restart: check clean; exactly the images answered with
        success found and retrieved as sent. sent: {path: status}. Returns
        (successes, failures)."""
        s.stop()
        # The listener answers once its start's repairs (journals, deletes,
        # stores cut short, compaction) are done: only then is the store
        # checked.
        s.start(answered=True)
        self.check(s, inside)
        want = {}
        failed = 0
        for path, status in sent.items():
            ds = content(path)
            sop, study = str(ds[0x00080018]), str(ds[0x0020000D])
            want.setdefault(study, {})
            if status == "Success":
                want[study][sop] = ds
            elif status != "Warning: ElementsDiscarded":
                failed += 1
        counts = self.study_counts(s)
        for study, images in want.items():
            self.assertEqual(self.found(s, study), sorted(images), study)
            self.assertEqual(counts.get(study, 0), len(images), study)
            if images:
                got = self.retrieved(s, study)
                self.assertEqual(sorted(got), sorted(images))
                for sop, ds in images.items():
                    self.assertTrue(got[sop] == ds, "%s came back changed" % sop)
        return sum(len(i) for i in want.values()), failed

    def test_full_file_system(self):
        # The store is a 3 MiB tmpfs in a mount namespace that a holder
        # process keeps while the server is started twice in it (nsenter).
        # Five studies of two series of three images (250 KB, and some small
        # ones whose index records may be what no longer fits), by default
        # and with -S (whose journal takes room too).
        for args in ([], ["-S"]):
            with self.subTest(args=args):
                s = self.server(args=args, start=False)
                holder = subprocess.Popen(
                    ["unshare", "-m", "sh", "-c",
                     'mount -t tmpfs -o size=3m velto "$0" && echo ready && exec sleep 600',
                     s.basedir], stdout=subprocess.PIPE, text=True)
                try:
                    self.assertEqual(holder.stdout.readline(), "ready\n")
                    inside = ["nsenter", "-t", str(holder.pid), "-m", "-r"]
                    cmd = s.command()
                    s.command = lambda: inside + cmd
                    s.start()
                    files = []
                    for st in range(5):
                        study = "%s.1.%d" % (ROOT, st)
                        for se, sizes in ((1, (500, 500, 8)), (2, (500, 8, 500))):
                            series = "%s.%d" % (study, se)
                            files += [self.image(s, study, series, n, size)
                                      for n, size in enumerate(sizes)]
                    sent = self.store(s, files)
                    stored, failed = self.verify(s, sent, inside)
                    self.assertGreater(stored, 5)
                    self.assertGreater(failed, 5)
                    self.assertEqual(stored + failed, 30)
                finally:
                    s.stop()
                    holder.kill()
                    holder.wait()

    def test_failed_index_writes_and_placing(self):
        # ENOSPC injected (strace) at each mkdir, link and index record write
        # of a store of a new study in turn: the image is refused and leaves
        # nothing (a placed file whose records fail is taken back), or, where
        # the failing call was not the store's own, stored.
        refused = {}
        log = ""
        for call, points in (("mkdir", 6), ("link", 1), ("pwrite64", 6)):
            for n in range(1, points + 1):
                with self.subTest(call=call, n=n):
                    s = self.server(start=False)
                    cmd = s.command()
                    study = "%s.2.%d.%s" % (ROOT, n, len(call))
                    f = self.image(s, study, study + ".1", 1)
                    s.command = lambda: ["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                         "trace=" + call, "-e",
                                         "inject=%s:error=ENOSPC:when=%d" % (call, n)] + cmd
                    s.start()
                    sent = self.store(s, [f])
                    s.command = lambda: cmd
                    stored, failed = self.verify(s, sent)
                    self.assertEqual(stored + failed, 1)
                    refused[call] = refused.get(call, 0) + failed
                    log += s.log()
                    s.cleanup()
        # The base and uid directories (found in place), the two bucket
        # levels, the study and series directories; the placing; the study
        # (both files), series and image records.
        self.assertEqual(refused, {"mkdir": 6, "link": 1, "pwrite64": 4})
        self.assertIn("Taking back ", log)
        self.assertRegex(log, r"Cannot place \S+/uid/STORING\.\d+\.\d+\.tmp as \S+: "
                         r"No space left on device\n")

    def test_read_only_series_directory(self):
        # The server runs as nobody; one series directory is made read-only.
        s = self.server(args=["-u", "nobody"], start=False)
        os.chmod(s.tmp, 0o755)
        os.chown(s.basedir, 65534, -1)
        s.start()
        study = ROOT + ".3"
        first = [self.image(s, study, study + ".1", 1)]
        self.assertEqual(list(self.store(s, first).values()), ["Success"])
        series_dir = os.path.dirname(vt.uid_path(s.basedir, study, study + ".1", study + ".1.1"))
        os.chmod(series_dir, 0o555)
        files = [self.image(s, study, study + ".1", 2), self.image(s, study, study + ".2", 1),
                 self.image(s, study + "9", study + "9.1", 1)]
        sent = self.store(s, files)
        self.assertEqual(list(sent.values()), ["Refused: OutOfResources", "Success", "Success"])
        sent.update(dict.fromkeys(first, "Success"))
        self.assertEqual(self.verify(s, sent), (3, 1))
        self.assertRegex(s.log(), r"Cannot place \S+ as %s/image_%s\.2\.dcm: Permission denied"
                         % (re.escape(series_dir), re.escape(study + ".1")))

    def test_stores_racing_deletes_of_the_same_study(self):
        # Three associations store 2 MB images into one study (a series
        # each) while a fourth deletes the study again and again. Every
        # store succeeds (none is refused for a directory or index that a
        # delete removed under it), every delete deletes what it matched,
        # and each image answered is either among the deleted or found:
        # their numbers add up. Bounded: 4, 8 and 12 images, the deletes
        # until two associations have ended (so that the last one's last
        # images are usually left to be found).
        s = self.server()
        study = ROOT + ".4"
        batches = [[self.image(s, study, "%s.%d" % (study, k), n, size=1448)
                    for n in range(4 * (k + 1))] for k in range(3)]
        sent = {}
        deletes = []
        ended = []
        done = threading.Event()

        def storer(files):
            sent.update(self.store(s, files))
            ended.append(files)
            if len(ended) == 2:
                done.set()

        def deleter():
            while not done.is_set() and len(deletes) < 500:
                p, responses = vt.movescu(s.port, ["StudyInstanceUID=" + study],
                                          "VeltoDeleteAET", called=s.aetitle)
                final = [r for r in responses if r["final"]]
                deletes.append(final[0] if final else {"output": p.stdout[-1000:]})
        threads = [threading.Thread(target=storer, args=(b,)) for b in batches]
        killer = threading.Thread(target=deleter)
        killer.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        killer.join()
        self.assertEqual(sorted(set(sent.values())), ["Success"])
        self.assertGreaterEqual(len(deletes), 1)
        for d in deletes:
            self.assertEqual((d.get("status"), d.get("failed")), (0, 0), d)
        deleted = sum(d["completed"] for d in deletes)
        found = self.found(s, study)
        self.assertEqual(deleted + len(found), 24, (deleted, found))
        # What is left is found and whole; the deleted are gone.
        left = {f: "Success" for f in sent
                if os.path.basename(f).split("-")[0] in found}
        self.assertEqual(self.verify(s, left), (len(found), 0))
        self.assertEqual(vt.files_below(os.path.join(s.basedir, "uid"), ".dcm").__len__(),
                         len(found))

    def test_preserve_races_keep_one_copy(self):
        # Two associations store the same 300 instances, with different
        # contents, to VeltoPreserve at once: each instance is stored once
        # and refused once (0xB006), and the stored copy is the one answered
        # with success.
        s = self.server()
        study = ROOT + ".5"
        sides = [[self.image(s, study, study + ".1", n, size=16, patient_name=name)
                  for n in range(300)] for name in ("ONE^A", "TWO^B")]
        results = [None, None]

        def storer(k):
            results[k] = self.store(s, sides[k], called="VeltoPreserve")
        threads = [threading.Thread(target=storer, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        winners = {}
        for a, b in zip(sides[0], sides[1]):
            pair = (results[0][a], results[1][b])
            self.assertIn(pair, (("Success", "Warning: ElementsDiscarded"),
                                 ("Warning: ElementsDiscarded", "Success")), a)
            winners[a if pair[0] == "Success" else b] = "Success"
        self.assertEqual(self.verify(s, winners), (300, 0))

    def test_link_tree_names_past_the_limit(self):
        # With -s, a patient name of three 64-character groups with a
        # 64-character ID, and a 300-character series description, make
        # link names past 255 bytes: the image is stored, answered with
        # success, announced, committed and found; its link has a shortened
        # name; a repeat is a duplicate.
        s = self.server(args=["-s"], start=False)
        mon = vt.Monitor(s.monitor_port)
        try:
            s.start()
            study = ROOT + ".6"
            group = "N" * 64
            f = self.image(s, study, study + ".1", 1, patient_name="^".join([group] * 3),
                           patient_id="7" * 64, extra={"SeriesDescription": "D" * 300})
            self.assertEqual(self.store(s, [f]), {f: "Success"})
            mon.wait_text(lambda t: t == "STORAGE STOREUID %s %s.1 %s.1.1" % (study, study, study))
            self.assertEqual(self.store(s, [f]), {f: "Warning: ElementsDiscarded"})
            links = vt.files_below(os.path.join(s.basedir, "patient"), ".dcm")
            self.assertEqual(len(links), 1)
            parts = os.path.relpath(links[0], os.path.join(s.basedir, "patient")).split(os.sep)
            self.assertEqual([len(p) for p in parts][:3:2], [217, 217])
            self.assertEqual(content(links[0]), content(f))
            self.assertIn("Link tree name shortened to ", s.log())
            # A storage commitment request finds it committed.
            p = vt.run(["node", os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js"),
                        "127.0.0.1", str(s.port), s.aetitle, "MODALITY", "same",
                        str(vt.free_port()), ROOT + ".6.99", "1.2.840.10008.5.1.4.1.1.7",
                        study + ".1.1"], timeout=90,
                       env={"NODE_PATH": os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")})
            reports = [json.loads(l[len("REPORT "):]) for l in p.stdout.splitlines()
                       if l.startswith("REPORT ")]
            self.assertEqual([(r["event"], r["committed"]) for r in reports],
                             [(1, [study + ".1.1"])], p.stdout + p.stderr)
            self.assertEqual(self.verify(s, {f: "Success"}), (1, 0))
        finally:
            mon.close()


if __name__ == "__main__":
    vt.main()

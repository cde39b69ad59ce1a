"""Changes of stored images from the command line, beside a running
server: `storeindex modify` renames a patient of three studies (1,000
images) and every image file, the index and C-FIND at every level give
the new name only, and C-GET returns files that differ from the sent ones
in the changed attribute alone (pixel data equal); `merge` makes patient
A's studies patient B's without a study more or less; `split` moves series
into a new study and into an existing one; refused requests change
nothing; and a change killed (SIGKILL injected by strace) at each
file-changing system call leaves, after the server's restart, a store that
`storeindex check` finds consistent, with its scope wholly old or wholly
new."""

import hashlib
import os
import re
import shutil
import signal
import tempfile
import time

import pydicom

import sys

import veltotest as vt
import archiveclients as ac

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from webharness import Web, value  # noqa: E402

ROOT = ac.UID_ROOT + ".35"


def uids(study, series, n):
    s = "%s.%d" % (ROOT, study)
    r = "%s.%d" % (s, series)
    return (s, r, "%s.%d" % (r, n))


def comparable(ds):
    """A data set's elements without group lengths and padding."""
    return {e.tag: e.value for e in ds if e.tag.element != 0 and e.tag != 0xFFFCFFFC}


def tree_digest(basedir):
    """Every file below basedir with its bytes' digest (the change log and
    the study lock file left out)."""
    out = {}
    for root, _, files in os.walk(basedir):
        for f in files:
            if f in ("STUDYLOCKS", "CHANGES") or f.startswith("STUDYINDEX.keys"):
                continue
            p = os.path.join(root, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, basedir)] = hashlib.sha256(fh.read()).hexdigest()
    return out


class ChangeTests(vt.ServerTestCase):

    def make(self, work, study, series, n, patient="DOE^JOHN", pid="PID1", pixels=8):
        img = uids(study, series, n)
        path = os.path.join(work, img[2] + ".dcm")
        vt.make_dataset(path, *img, patient_name=patient, patient_id=pid, pixels=pixels,
                        extra={"SeriesDescription": "SERIES %d" % series,
                               "StudyDescription": "STUDY %d" % study})
        return path

    def store(self, srv, files):
        p = srv.storescu(files)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def storeindex(self, srv, *args, env=None):
        p = vt.run([ac.STOREINDEX] + list(args) + [srv.basedir], timeout=300,
                   env=dict(srv.env, **(env or {})))
        return p.returncode, p.stdout + p.stderr

    def find(self, srv, level, keys, want):
        found = ac.find_uids(srv, keys, want, level)
        self.assertIsNotNone(found, "C-FIND failed")
        return found

    def getscu(self, srv, keys):
        out = tempfile.mkdtemp(dir=srv.tmp)
        p = vt.run(["getscu", "-S", "-aec", srv.aetitle, "-od", out,
                    "-k", "QueryRetrieveLevel=STUDY"] + ["-k" + k for k in []] +
                   sum((["-k", k] for k in keys), []) + ["127.0.0.1", str(srv.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        got = {}
        for name in os.listdir(out):
            ds = pydicom.dcmread(os.path.join(out, name))
            got[str(ds.SOPInstanceUID)] = ds
        return got

    def test_rename_patient_of_three_studies_1000_images(self):
        srv = self.server()
        counts = {1: 400, 2: 300, 3: 300}
        files = {}
        for study, count in counts.items():
            for n in range(count):
                files[uids(study, 1 + n % 2, n)] = self.make(srv.tmp, study, 1 + n % 2, n)
        self.store(srv, list(files.values()))
        started = time.monotonic()
        p = vt.subprocess.Popen([ac.STOREINDEX, "modify", "--patient", "PID1",
                                 "PatientName=ROE^JANE", srv.basedir], env=srv.env,
                                stdout=vt.subprocess.PIPE, stderr=vt.subprocess.STDOUT)
        out = p.stdout.read().decode()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        took = time.monotonic() - started
        self.assertEqual(p.returncode, 0, out)
        self.assertRegex(out, r"changed \S+: 1000 image\(s\)")
        print("modify of 1000 images: %.2f s, peak memory %d KB" % (took, usage.ru_maxrss))
        # One image at a time in memory: 52 MB for 10 images as for 1,000.
        vt.assert_memory_below(self, usage.ru_maxrss * 1024, 96 << 20, "storeindex modify")
        # Every image file: the new name only.
        for img in files:
            ds = pydicom.dcmread(ac.image_path(srv.basedir, *img), stop_before_pixels=True)
            self.assertEqual(str(ds.PatientName), "ROE^JANE")
        self.assertEqual(ac.tree_images(srv.basedir), set(files))
        self.assertEqual(ac.index_images(srv.basedir), set(files))
        # C-FIND at every level (patient keys are matched at the patient and
        # study levels; below, each study's series and images are all there).
        for level, want in (("PATIENT", "(0010,0020)"), ("STUDY", "(0020,000d)")):
            keys = ["PatientID", want] if level == "PATIENT" else ["PatientID=PID1", want]
            self.assertEqual(self.find(srv, level, keys + ["PatientName=DOE^JOHN"], want), [])
            self.assertEqual(len(self.find(srv, level, keys + ["PatientName=ROE^JANE"], want)),
                             {"PATIENT": 1, "STUDY": 3}[level])
            names = self.find(srv, level, keys + ["PatientName"], "(0010,0010)")
            self.assertEqual(set(names), {"ROE^JANE"}, level)
        for study, count in counts.items():
            s = uids(study, 1, 0)[0]
            self.assertEqual(len(self.find(srv, "SERIES", ["StudyInstanceUID=" + s,
                                                           "SeriesInstanceUID"], "(0020,000e)")), 2)
            self.assertEqual(len(self.find(srv, "IMAGE", ["StudyInstanceUID=" + s,
                                                          "SOPInstanceUID"], "(0008,0018)")), count)
        # C-GET: the changed attribute is the only difference.
        got = self.getscu(srv, ["StudyInstanceUID=" + uids(3, 1, 0)[0]])
        self.assertEqual(len(got), 300)
        for img, path in files.items():
            if img[2] not in got:
                continue
            sent, back = comparable(pydicom.dcmread(path)), comparable(got[img[2]])
            self.assertEqual(str(back.pop(pydicom.tag.Tag("PatientName"))), "ROE^JANE")
            sent.pop(pydicom.tag.Tag("PatientName"))
            self.assertEqual(sent, back)
        # QIDO-RS and WADO-RS metadata (storeweb on the same store).
        web = Web(srv)
        try:
            found = web.json("/dicom-web/studies?PatientID=PID1")
            self.assertEqual(len(found), 3)
            self.assertEqual({value(f, "00100010") for f in found}, {"ROE^JANE"})
            self.assertEqual(web.json("/dicom-web/studies?PatientName=DOE*"), [])
            for study in counts:
                meta = web.json("/dicom-web/studies/%s/metadata" % uids(study, 1, 0)[0])
                self.assertEqual(len(meta), counts[study])
                self.assertEqual({value(m, "00100010") for m in meta}, {"ROE^JANE"})
        finally:
            web.stop()
        rc, out = ac.storeindex("check", srv.basedir)
        self.assertEqual(rc, 0, out)
        # The change log and the monitor channel.
        with open(os.path.join(srv.basedir, "CHANGES")) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 1)
        self.assertIn("kind=modify", lines[0])
        self.assertIn("ROE^JANE", lines[0])
        self.assertIn("DOE^JOHN", lines[0])

    def test_changed_study_announced_and_forwarded_again(self):
        dest = vt.StoreSCP(tempfile.mkdtemp(prefix="chg-dst-"), "DEST", ["+uf"])
        try:
            srv = self.server(start=False, args=["-Q", "1"], aetmap=dest.map_line())
            with open(os.path.join(srv.etc, "ForwardRules"), "w") as f:
                f.write("DEST Modality=CT\n")
            monitor = vt.Monitor(srv.monitor_port)
            srv.start()
            files = [self.make(srv.tmp, 1, 1, n) for n in range(2)]
            self.store(srv, files)
            vt.wait_for(lambda: len(dest.files()) == 2, 20, what="the first forward")
            # Without the setting a change is not forwarded.
            rc, out = self.storeindex(srv, "modify", "--study", uids(1, 1, 0)[0],
                                      "StudyDescription=ONE", "-m", str(srv.monitor_port))
            self.assertEqual(rc, 0, out)
            change_id = re.search(r"changed (\S+):", out).group(1)
            monitor.wait_text(lambda t: ("STORAGE CHANGED %s modify %s" %
                                         (change_id, uids(1, 1, 0)[0])) in t)
            with open(os.path.join(srv.etc, "ChangeSettings"), "w") as f:
                f.write("forward-changed yes\n")
            rc, out = self.storeindex(srv, "modify", "--study", uids(1, 1, 0)[0],
                                      "StudyDescription=TWO")
            self.assertEqual(rc, 0, out)
            vt.wait_for(lambda: len(dest.files()) == 4, 20, what="the changed study's forward")
            got = [pydicom.dcmread(p, stop_before_pixels=True).StudyDescription
                   for p in dest.files()]
            self.assertEqual(sorted(got), ["STUDY 1", "STUDY 1", "TWO", "TWO"])
            monitor.close()
        finally:
            dest.stop()

    def test_two_changes_of_one_patient_serialise(self):
        srv = self.server()
        self.store(srv, [self.make(srv.tmp, s, 1, n) for s in (1, 2, 3) for n in range(20)])
        procs = [vt.subprocess.Popen([ac.STOREINDEX, "modify", "--patient", "PID1",
                                      "PatientName=NAME^%d" % k, "StudyDescription=D%d" % k,
                                      srv.basedir], env=srv.env, stdout=vt.subprocess.PIPE,
                                     stderr=vt.subprocess.STDOUT) for k in range(3)]
        for p in procs:
            self.assertEqual(p.wait(120), 0, p.stdout.read())
        # One of them last, whole: every image and the index agree.
        got = {(str(d.PatientName), d.StudyDescription) for d in
               (pydicom.dcmread(ac.image_path(srv.basedir, *i), stop_before_pixels=True)
                for i in ac.tree_images(srv.basedir))}
        self.assertEqual(len(got), 1, got)
        name, description = got.pop()
        self.assertEqual(description, "D" + name[-1])
        self.assertEqual(set(self.find(srv, "STUDY", ["PatientID=PID1", "PatientName"],
                                       "(0010,0010)")), {name})
        with open(os.path.join(srv.basedir, "CHANGES")) as f:
            self.assertEqual(len(f.read().splitlines()), 3)
        self.assertEqual(ac.storeindex("check", srv.basedir)[0], 0)

    def test_merge_keeps_the_number_of_studies(self):
        srv = self.server()
        a = [self.make(srv.tmp, s, 1, n, "A^PAT", "PIDA") for s in (1, 2) for n in range(2)]
        b = [self.make(srv.tmp, 3, 1, n, "B^PAT", "PIDB") for n in range(2)]
        self.store(srv, a + b)
        rc, out = self.storeindex(srv, "merge", "--from", "PIDA", "--to", "PIDB")
        self.assertEqual(rc, 0, out)
        studies = self.find(srv, "STUDY", ["StudyInstanceUID", "PatientID"], "(0020,000d)")
        self.assertEqual(sorted(studies), sorted(uids(s, 1, 0)[0] for s in (1, 2, 3)))
        self.assertEqual(self.find(srv, "STUDY", ["PatientID=PIDA", "StudyInstanceUID"],
                                   "(0020,000d)"), [])
        self.assertEqual(len(self.find(srv, "STUDY", ["PatientID=PIDB", "StudyInstanceUID"],
                                       "(0020,000d)")), 3)
        self.assertEqual(set(self.find(srv, "STUDY", ["PatientID=PIDB", "StudyInstanceUID",
                                                      "PatientName"], "(0010,0010)")), {"B^PAT"})
        for study in (1, 2):
            self.assertEqual(len(self.find(srv, "IMAGE", ["StudyInstanceUID=" + uids(study, 1, 0)[0],
                                                          "SOPInstanceUID"], "(0008,0018)")), 2)
        self.assertEqual(ac.storeindex("check", srv.basedir)[0], 0)

    def test_split_into_a_new_study_and_into_an_existing_one(self):
        srv = self.server()
        files = [self.make(srv.tmp, 1, r, n) for r in (1, 2, 3) for n in range(2)]
        files += [self.make(srv.tmp, 2, 1, n) for n in range(2)]
        self.store(srv, files)
        s1, s2 = uids(1, 1, 0)[0], uids(2, 1, 0)[0]
        rc, out = self.storeindex(srv, "split", "--study", s1, "--series", uids(1, 2, 0)[1])
        self.assertEqual(rc, 0, out)
        new = re.search(r"changed \S+: 2 image\(s\) (\S+)", out).group(1)
        self.assertNotIn(new, (s1, s2))
        self.assertEqual(sorted(self.find(srv, "SERIES", ["StudyInstanceUID=" + s1,
                                                          "SeriesInstanceUID"], "(0020,000e)")),
                         [uids(1, 1, 0)[1], uids(1, 3, 0)[1]])
        self.assertEqual(self.find(srv, "SERIES", ["StudyInstanceUID=" + new,
                                                   "SeriesInstanceUID"], "(0020,000e)"),
                         [uids(1, 2, 0)[1]])
        self.assertEqual(set(self.find(srv, "STUDY", ["StudyInstanceUID=" + new,
                                                      "StudyDescription"], "(0008,1030)")),
                         {"STUDY 1"})
        # Into the existing study 2: its study attributes written.
        rc, out = self.storeindex(srv, "split", "--study", s1, "--series", uids(1, 3, 0)[1],
                                  "--into", s2)
        self.assertEqual(rc, 0, out)
        moved = pydicom.dcmread(ac.image_path(srv.basedir, s2, uids(1, 3, 0)[1],
                                              uids(1, 3, 1)[2]), stop_before_pixels=True)
        self.assertEqual(moved.StudyDescription, "STUDY 2")
        self.assertEqual(len(self.find(srv, "IMAGE", ["StudyInstanceUID=" + s2,
                                                      "SOPInstanceUID"], "(0008,0018)")), 4)
        self.assertEqual(len(self.find(srv, "STUDY", ["StudyInstanceUID"], "(0020,000d)")), 3)
        self.assertFalse(os.path.exists(ac.image_path(srv.basedir, s1, uids(1, 3, 0)[1],
                                                      uids(1, 3, 1)[2])))
        rc, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual(rc, 0, lines)

    def test_new_uids_move_the_files(self):
        srv = self.server()
        files = [self.make(srv.tmp, 1, 1, n) for n in range(3)]
        self.store(srv, files)
        rc, out = self.storeindex(srv, "modify", "--study", uids(1, 1, 0)[0], "--new-uids",
                                  "AccessionNumber=X9")
        self.assertEqual(rc, 0, out)
        new = re.search(r"changed \S+: 3 image\(s\) (\S+)", out).group(1)
        self.assertEqual(self.find(srv, "STUDY", ["StudyInstanceUID", "AccessionNumber"],
                                   "(0020,000d)"), [new])
        images = ac.tree_images(srv.basedir)
        self.assertEqual(len(images), 3)
        self.assertTrue(all(i[0] == new and i[2] not in [uids(1, 1, n)[2] for n in range(3)]
                            for i in images))
        self.assertEqual(ac.index_images(srv.basedir), images)
        self.assertEqual(ac.storeindex("check", srv.basedir)[0], 0)
        # An emptied attribute is empty in the index too (the study record
        # merges what images give, but a changed image's empty value counts).
        self.assertEqual(self.find(srv, "STUDY", ["StudyInstanceUID", "AccessionNumber=X9"],
                                   "(0020,000d)"), [new])
        rc, out = self.storeindex(srv, "modify", "--study", new, "AccessionNumber=")
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.find(srv, "STUDY", ["StudyInstanceUID", "AccessionNumber=X9"],
                                   "(0020,000d)"), [])

    def test_a_name_outside_ascii_converts_the_image_to_utf8(self):
        srv = self.server()
        path = self.make(srv.tmp, 1, 1, 0)
        ds = pydicom.dcmread(path)
        ds.SpecificCharacterSet = "ISO_IR 100"
        ds.StudyDescription = "K\u00f6rper"
        ds.save_as(path)
        self.store(srv, [path])
        rc, out = self.storeindex(srv, "modify", "--study", uids(1, 1, 0)[0],
                                  "PatientName=M\u00fcller^J\u00f6rg")
        self.assertEqual(rc, 0, out)
        got = pydicom.dcmread(ac.image_path(srv.basedir, *uids(1, 1, 0)), stop_before_pixels=True)
        self.assertEqual(got.SpecificCharacterSet, "ISO_IR 192")
        self.assertEqual(str(got.PatientName), "M\u00fcller^J\u00f6rg")
        self.assertEqual(got.StudyDescription, "K\u00f6rper")
        p, found = srv.findscu(["StudyInstanceUID=" + uids(1, 1, 0)[0], "PatientName"])
        self.assertEqual([str(f.PatientName) for f in found], ["M\u00fcller^J\u00f6rg"])

    def test_refusals_change_nothing(self):
        srv = self.server()
        self.store(srv, [self.make(srv.tmp, 1, 1, n) for n in range(2)])
        study = uids(1, 1, 0)[0]
        before = tree_digest(srv.basedir)
        cases = [
            (["modify", "--study", study, "StudyInstanceUID=1.2.3"], 2, "is a UID"),
            (["modify", "--study", study, "PixelData=AAAA"], 2, "pixel data"),
            (["modify", "--study", study, "Modality=MR"], 2, "not among the attributes"),
            (["modify", "--study", study, "PatientBirthDate=1999-01-01"], 2, "not a valid"),
            (["modify", "--study", study, "--series", uids(1, 1, 0)[1], "PatientName=X"], 2,
             "belongs to the patient"),
            (["modify", "--patient", "NOBODY", "PatientName=X"], 3, "no stored image"),
            (["modify", "--study", "1.2.3.4", "PatientName=X"], 3, "no stored image"),
            (["merge", "--from", "NOBODY", "--to", "PID1"], 3, "no stored study"),
            (["split", "--study", study, "--series", "1.2.3"], 3, "not stored"),
        ]
        for args, code, text in cases:
            with self.subTest(args=args):
                rc, out = self.storeindex(srv, *args)
                self.assertEqual(rc, code, out)
                self.assertIn(text, out)
        self.assertEqual(tree_digest(srv.basedir), before)
        self.assertFalse(os.path.exists(os.path.join(srv.basedir, "CHANGES")))
        # A site may allow another attribute.
        with open(os.path.join(srv.etc, "ChangeSettings"), "w") as f:
            f.write("allow Modality\n")
        rc, out = self.storeindex(srv, "modify", "--study", study, "Modality=MR")
        self.assertEqual(rc, 0, out)
        # An image whose file moved to the object tier (its stub in its
        # place) is not rewritten: the change is refused whole.
        path = ac.image_path(srv.basedir, *uids(1, 1, 1))
        os.rename(path, path + ".tier")
        before = tree_digest(srv.basedir)
        rc, out = self.storeindex(srv, "modify", "--study", study, "PatientName=X")
        self.assertEqual(rc, 2, out)
        self.assertIn("in the object tier", out)
        self.assertEqual(tree_digest(srv.basedir), before)


# The calls that change files; the kills per call at most.
CALLS = ("write", "rename", "unlink", "fsync", "fdatasync", "syncfs", "mkdir", "rmdir",
         "pwrite64", "link")
MAX_PER_CALL = {"write": 4, "pwrite64": 4}


class ChangeCrashTests(vt.ServerTestCase):
    """storeindex killed at each file-changing call of a change."""

    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="velto-change-crash-")

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def base_store(self):
        srv = self.server(aetitle="CRASH")
        files = [ChangeTests.make(self, srv.tmp, s, r, n, "OLD^NAME", "PIDA")
                 for s, r, n in ((1, 1, 0), (1, 2, 0), (2, 1, 0))]
        files.append(ChangeTests.make(self, srv.tmp, 3, 1, 0, "B^PAT", "PIDB"))
        p = srv.storescu(files)
        self.assertEqual(p.returncode, 0)
        srv.stop()
        return srv

    def state(self, basedir):
        """(study, series, instance, PatientName, PatientID) of every image file."""
        out = set()
        for img in ac.tree_images(basedir):
            ds = pydicom.dcmread(ac.image_path(basedir, *img), stop_before_pixels=True)
            out.add(img + (str(ds.PatientName), str(ds.PatientID)))
        return out

    def run_points(self, args, old_of, new_of):
        base = self.base_store()
        work = os.path.join(self.tmp, args[0])
        os.makedirs(work)
        # The calls of the change, counted on a copy.
        count = os.path.join(work, "count")
        shutil.copytree(base.basedir, count, symlinks=True)
        trace = os.path.join(work, "count.trace")
        p = vt.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + ",".join(CALLS),
                    ac.STOREINDEX] + args + [count], env=base.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        new_state = self.state(count)
        calls = {}
        with open(trace) as f:
            for line in f:
                m = re.match(r"\d+ +(\w+)\(", line)
                if m:
                    calls[m.group(1)] = calls.get(m.group(1), 0) + 1
        old_state = self.state(base.basedir)
        self.assertEqual(old_of(old_state), True)
        self.assertEqual(new_of(new_state), True)
        points = 0
        for call in CALLS:
            for n in range(1, min(calls.get(call, 0), MAX_PER_CALL.get(call, 40)) + 1):
                store = os.path.join(work, "%s-%d" % (call, n))
                shutil.copytree(base.basedir, store, symlinks=True)
                p = vt.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call,
                            "-e", "inject=%s:signal=KILL:when=%d" % (call, n), ac.STOREINDEX] +
                           args + [store], env=base.env)
                srv = self.server(aetitle="CRASH", basedir=store, start=False)
                srv.start(answered=True)
                srv.stop()
                with self.subTest(call=call, n=n):
                    rc, lines = ac.storeindex("check", store)
                    self.assertEqual(rc, 0, lines)
                    state = self.state(store)
                    self.assertIn(state, (old_state, new_state))
                    self.assertEqual({i[:3] for i in state}, ac.index_images(store))
                    self.assertEqual([n for n in os.listdir(os.path.join(store, "uid"))
                                      if n.startswith(("CHANGE.", "DELETING."))], [])
                shutil.rmtree(srv.tmp, ignore_errors=True)
                shutil.rmtree(store, ignore_errors=True)
                points += 1
        print("%s: %d kill points %s" % (args[0], points, calls))
        return points

    def test_modify_killed_at_each_step(self):
        self.assertGreater(self.run_points(
            ["modify", "--patient", "PIDA", "PatientName=NEW^NAME"],
            lambda s: {i[3] for i in s if i[4] == "PIDA"} == {"OLD^NAME"},
            lambda s: {i[3] for i in s if i[4] == "PIDA"} == {"NEW^NAME"}), 10)

    def test_merge_killed_at_each_step(self):
        self.assertGreater(self.run_points(
            ["merge", "--from", "PIDA", "--to", "PIDB"],
            lambda s: len({i[4] for i in s}) == 2,
            lambda s: {i[4] for i in s} == {"PIDB"} and len({i[0] for i in s}) == 3), 10)

    def test_split_killed_at_each_step(self):
        self.assertGreater(self.run_points(
            ["split", "--study", uids(1, 1, 0)[0], "--series", uids(1, 2, 0)[1], "--into",
             uids(2, 1, 0)[0]],
            lambda s: uids(1, 2, 0)[:2] + (uids(1, 2, 0)[2],) in {i[:3] for i in s},
            lambda s: (uids(2, 1, 0)[0], uids(1, 2, 0)[1], uids(1, 2, 0)[2]) in
            {i[:3] for i in s}), 10)


if __name__ == "__main__":
    vt.main()

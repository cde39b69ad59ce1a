"""Storing images: dcmtk's storescu, odil and ctn's send_image send C-STOREs
to the server; the tests read where the images landed, the index records,
the patient link tree, the responses and the monitor announcements."""

import os
import re
import threading
import warnings

import pydicom

import veltotest as vt
from veltotest import (IMAGE_RECORD_SIZE, SERIES_RECORD_SIZE, STUDYDATA_SIZE, STUDYHASH_SIZE,
                       ServerTestCase, files_below, live_records, make_dataset, pydicom_file,
                       read_records, store_statuses, text_field, uid_path)

EXPLICIT_LE = "1.2.840.10008.1.2.1"

# The tests write invalid UIDs on purpose.
warnings.filterwarnings("ignore", category=UserWarning, module="pydicom")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()

# Sample files, the storescu option that proposes their transfer syntax, and
# whether the store keeps that syntax (compressed) or writes Explicit VR LE.
SAMPLES = [
    ("CT_small.dcm", [], False),
    ("MR_small.dcm", [], False),
    ("MR_small_implicit.dcm", ["-xi"], False),
    ("MR_small_bigendian.dcm", ["-xb"], False),
    ("MR_small_RLE.dcm", ["-xr"], True),
    ("MR_small_jp2klossless.dcm", ["-xv"], True),
    ("JPEG2000.dcm", ["-xw"], True),
]

# Character set samples with their own UIDs (the ones left out repeat the
# UIDs of one listed here, or carry none).
CHARSET_SAMPLES = ["chrArab.dcm", "chrFren.dcm", "chrGerm.dcm", "chrGreek.dcm", "chrH31.dcm",
                   "chrH32.dcm", "chrHbrw.dcm", "chrI2.dcm", "chrJapMulti.dcm",
                   "chrKoreanMulti.dcm", "chrRuss.dcm", "chrX1.dcm", "chrX2.dcm"]


def uids(ds):
    return ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID


def elements(ds):
    """The data set's elements without group lengths (the store recomputes
    them) and trailing padding (the store writes none), as {tag: value}."""
    out = {}
    for e in ds:
        if e.tag.element == 0 or e.tag == 0xFFFCFFFC:
            continue
        out[e.tag] = e.value
    return out


class StoreTests(ServerTestCase):

    def assert_indexed(self, basedir, ds):
        """The study, series and image records of ds are in the index."""
        study, series, inst = uids(ds)
        studies = [r for r in read_records(os.path.join(basedir, "uid", "STUDYINDEX.dat"),
                                           STUDYDATA_SIZE) if text_field(r, 0, 64) == study.encode()]
        self.assertEqual(len(studies), 1)
        ser = [r for r in live_records(os.path.join(uid_path(basedir, study), "SERIESINDEX.dat"),
                                       SERIES_RECORD_SIZE) if text_field(r, 0, 64) == series.encode()]
        self.assertEqual(len(ser), 1)
        self.assertEqual(text_field(ser[0], 64, 64), study.encode())
        img = [r for r in live_records(os.path.join(uid_path(basedir, study, series), "IMAGEINDEX.dat"),
                                       IMAGE_RECORD_SIZE) if text_field(r, 0, 64) == inst.encode()]
        self.assertEqual(len(img), 1)
        self.assertEqual(text_field(img[0], 64, 64), series.encode())
        self.assertEqual(text_field(img[0], 128, 64), study.encode())
        return studies[0]

    def test_samples_land_at_uid_path_in_their_syntax(self):
        for name, propose, keeps_syntax in SAMPLES:
            with self.subTest(sample=name):
                # The MR samples share their UIDs: one store each.
                s = self.server()
                mon = vt.Monitor(s.monitor_port)
                try:
                    src = pydicom_file(name)
                    p = s.storescu([src], extra=["-v", "-R"] + propose)
                    self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"], p.stderr)
                    orig = pydicom.dcmread(src)
                    path = uid_path(s.basedir, *uids(orig))
                    stored = pydicom.dcmread(path)
                    want = orig.file_meta.TransferSyntaxUID if keeps_syntax else EXPLICIT_LE
                    self.assertEqual(stored.file_meta.TransferSyntaxUID, want)
                    a, b = elements(orig), elements(stored)
                    pixels_a, pixels_b = a.pop(0x7FE00010, None), b.pop(0x7FE00010, None)
                    self.assertEqual(a, b)
                    if orig.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2.2":
                        self.assertEqual((orig.pixel_array == stored.pixel_array).all(), True)
                    else:
                        self.assertEqual(pixels_a, pixels_b)
                    self.assert_indexed(s.basedir, orig)
                    self.assertEqual(files_below(s.basedir, ".tmp"), [])
                    text = "STOREUID %s %s %s" % uids(orig)
                    mon.wait_text(lambda t: t == "STORAGE " + text)
                finally:
                    mon.close()

    def test_odil_and_send_image_store(self):
        s = self.server()
        tmp = s.tmp
        a = make_dataset(os.path.join(tmp, "a.dcm"), "1.2.826.1.1", "1.2.826.1.1.1", "1.2.826.1.1.1.1")
        b = make_dataset(os.path.join(tmp, "b.dcm"), "1.2.826.1.2", "1.2.826.1.2.1", "1.2.826.1.2.1.1",
                         patient_name="ROE^JANE", modality="MR")
        p = vt.run(["odil", "store", "127.0.0.1", str(s.port), "ODIL", s.aetitle, a])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertNotIn("Could not store", p.stdout + p.stderr)
        p = vt.run(["send_image", "-a", "CTN", "-c", s.aetitle, "127.0.0.1", str(s.port), b])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        for path in (a, b):
            orig = pydicom.dcmread(path)
            stored = pydicom.dcmread(uid_path(s.basedir, *uids(orig)))
            self.assertEqual(elements(orig), elements(stored))
            self.assert_indexed(s.basedir, orig)
        self.assertEqual(len(read_records(os.path.join(s.basedir, "uid", "STUDYINDEX.hash"),
                                          STUDYHASH_SIZE)), 2)

    def test_charset_names_stored_as_pydicom_decodes_them(self):
        s = self.server()
        p = s.storescu([pydicom_file(n) for n in CHARSET_SAMPLES], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * len(CHARSET_SAMPLES))
        for name in CHARSET_SAMPLES:
            with self.subTest(sample=name):
                orig = pydicom.dcmread(pydicom_file(name))
                rec = self.assert_indexed(s.basedir, orig)
                # The element's bytes as pydicom decodes them, without the
                # formatting of its PersonName (which drops empty groups).
                groups = orig.PatientName.original_string.split(b"=")
                text = "=".join(pydicom.charset.decode_bytes(g, orig._character_set, {0x5E})
                                for g in groups)
                want = text.encode("utf-8")[:64]
                self.assertEqual(text_field(rec, 64, 64), want)

    def test_symlinks_are_relative_and_resolve(self):
        s = self.server(args=["-s"])
        src = pydicom_file("CT_small.dcm")
        gen = make_dataset(os.path.join(s.tmp, "g.dcm"), "1.2.826.2.1", "1.2.826.2.1.1",
                           "1.2.826.2.1.1.1", patient_name="Doe^John", patient_id="12345",
                           extra={"InstanceNumber": "7"})
        p = s.storescu([src, gen], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success", "Success"])
        links = []
        for root, _, names in os.walk(os.path.join(s.basedir, "patient")):
            links.extend(os.path.join(root, n) for n in names)
        self.assertEqual(len(links), 2)
        for path in (src, gen):
            target = uid_path(s.basedir, *uids(pydicom.dcmread(path)))
            found = [l for l in links if os.path.realpath(l) == os.path.realpath(target)]
            self.assertEqual(len(found), 1, links)
            self.assertTrue(os.readlink(found[0]).startswith("../../../../uid/"))
        self.assertTrue(any(l.endswith("/z_0007.dcm") and "/Doe^John_19700101_12345/" in l
                            for l in links), links)

    def test_concurrent_associations_into_one_series(self):
        s = self.server()
        study, series = "1.2.826.3.1", "1.2.826.3.1.1"
        batches = []
        for c in range(4):
            d = os.path.join(s.tmp, "batch%d" % c)
            os.makedirs(d)
            batches.append([make_dataset(os.path.join(d, "%d.dcm" % i), study, series,
                                         "1.2.826.3.1.1.%d.%d" % (c, i), pixels=8)
                            for i in range(250)])
        results = [None] * 4

        def send(c):
            results[c] = s.storescu(batches[c], calling="C%d" % c, extra=["-v"], timeout=600)
        threads = [threading.Thread(target=send, args=(c,)) for c in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for r in results:
            self.assertEqual(store_statuses(r.stdout + r.stderr), ["Success"] * 250, r.stderr[-2000:])
        uidbase = os.path.join(s.basedir, "uid")
        self.assertEqual(len(read_records(os.path.join(uidbase, "STUDYINDEX.hash"), STUDYHASH_SIZE)), 1)
        self.assertEqual(len(read_records(os.path.join(uidbase, "STUDYINDEX.dat"), STUDYDATA_SIZE)), 1)
        self.assertEqual(len(read_records(os.path.join(uid_path(s.basedir, study), "SERIESINDEX.dat"),
                                          SERIES_RECORD_SIZE)), 1)
        images = read_records(os.path.join(uid_path(s.basedir, study, series), "IMAGEINDEX.dat"),
                              IMAGE_RECORD_SIZE)
        keys = sorted(text_field(r, 0, 64) for r in images)
        want = sorted(("1.2.826.3.1.1.%d.%d" % (c, i)).encode() for c in range(4) for i in range(250))
        self.assertEqual(keys, want)
        self.assertEqual(len(files_below(uidbase, ".dcm")), 1000)
        self.assertEqual(files_below(s.basedir, ".tmp"), [])

    def test_full_file_system_refuses_and_leaves_no_temporary_file(self):
        # The store is a small tmpfs mounted in a mount namespace of the
        # server's own, so nothing outside the test sees it.
        s = self.server(start=False)
        cmd = s.command()
        s.command = lambda: ["unshare", "-m", "sh", "-c",
                             'mount -t tmpfs -o size=256k velto "$0" && exec "$@"',
                             s.basedir] + cmd
        s.start()
        big = make_dataset(os.path.join(s.tmp, "big.dcm"), "1.2.826.4.1", "1.2.826.4.1.1",
                           "1.2.826.4.1.1.1", pixels=800)
        small = make_dataset(os.path.join(s.tmp, "small.dcm"), "1.2.826.4.1", "1.2.826.4.1.1",
                             "1.2.826.4.1.1.2", pixels=8)
        p = s.storescu([small, big], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr),
                         ["Success", "Refused: OutOfResources"], p.stdout + p.stderr)

        # Into the server's mount namespace and its root directory (which
        # differs from the namespace's own root when the tests run chrooted).
        def inside(*argv):
            return vt.run(["nsenter", "-t", str(s.proc.pid), "-m", "-r"] + list(argv),
                          check=True).stdout
        listing = inside("find", s.basedir, "-type", "f").split()
        self.assertIn(uid_path(s.basedir, "1.2.826.4.1", "1.2.826.4.1.1", "1.2.826.4.1.1.2"), listing)
        self.assertNotIn(uid_path(s.basedir, "1.2.826.4.1", "1.2.826.4.1.1", "1.2.826.4.1.1.1"), listing)
        self.assertEqual([f for f in listing if f.endswith(".tmp")], [])

    def test_images_are_on_disk_before_the_release_is_confirmed(self):
        # The server runs under strace, which records its flushes with the
        # path of each descriptor, and the release response it sends. By
        # default an association's images, index files and the directories
        # it changed are flushed once each, all before the release is
        # confirmed, and nothing else: no syncfs, which would flush the
        # whole file system. With -S each image is flushed before its
        # response as a record of the worker's journal; the tree is flushed
        # as by default, then the journal emptied, after the release (the
        # peer goes on): the journal holds all, as the server made and
        # flushed the store's base and uid directories at its start (which
        # are not in the journal). An association that stored nothing
        # flushes nothing.
        self.maxDiff = None
        study, series = "1.2.826.9.1", "1.2.826.9.1.1"
        for args, per_image in (([], 0), (["-S"], 1)):
            with self.subTest(args=args):
                s = self.server(args=args, start=False)
                trace = os.path.join(s.tmp, "sync.trace")
                cmd = s.command()
                s.command = lambda: ["strace", "-f", "-qq", "-yy", "-s", "4", "-e",
                                     "trace=fdatasync,fsync,syncfs,write,sendmsg,sendto,link,clone,clone3", "-o",
                                     trace] + cmd
                s.start()
                files = [make_dataset(os.path.join(s.tmp, "%d.dcm" % i), study, series,
                                      "1.2.826.9.1.1.%d" % i) for i in range(6)]
                images = [uid_path(s.basedir, study, series, "1.2.826.9.1.1.%d" % i)
                          for i in range(6)]
                journal = os.path.join(s.basedir, "uid", "JOURNAL.0")
                self.assertEqual(s.echoscu().returncode, 0)
                rounds = []
                for part in (slice(0, 3), slice(3, 6)):
                    with open(trace) as f:
                        f.seek(0, 2)
                        start = f.tell()
                    p = s.storescu(files[part], extra=["-v"])
                    self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * 3)
                    # With -S the worker may flush after the release: its
                    # fourth flush of the journal is its last.
                    vt.wait_for(lambda: not per_image or
                                self.read_from(trace, start).count(journal + ">") >= 4, 30,
                                what="the journal emptied")
                    with open(trace) as f:
                        f.seek(start)
                        rounds.append(self.flush_events(f.read(), s.basedir))
                series_dir = os.path.dirname(images[0])
                study_dir = os.path.dirname(series_dir)
                indexes = [os.path.join(series_dir, "IMAGEINDEX.dat"),
                           os.path.join(study_dir, "SERIESINDEX.dat"),
                           os.path.join(s.basedir, "uid", "STUDYINDEX.hash"),
                           os.path.join(s.basedir, "uid", "STUDYINDEX.dat")]
                dirs = [series_dir, study_dir, os.path.dirname(study_dir),
                        os.path.dirname(os.path.dirname(study_dir)), os.path.join(s.basedir, "uid"),
                        s.basedir]
                for n, events in enumerate(rounds):
                    release = events.index("release")
                    paths = [e for e in events if e != "release"]
                    mine = images[3 * n:3 * n + 3]
                    # The second association adds images to a series that
                    # is there: only its image index, its checksum lines
                    # and directory change. The first makes the study's
                    # directories below uid (made at the start, as the base
                    # directory, which only a new journal's flush touches
                    # again).
                    checksums = os.path.join(series_dir, "CHECKSUMS")
                    if n == 0:
                        changed = indexes + [checksums] + (dirs if per_image else dirs[:-1])
                    else:
                        changed = [indexes[0], checksums, series_dir]
                    if not per_image:
                        self.assertEqual(release, len(events) - 1)
                        self.assertEqual(sorted(paths),
                                         sorted(mine + changed))
                        continue
                    # Three journal flushes, one per image, each before
                    # anything of the tree that holds its image (a flusher
                    # thread flushes an image once its record is on disk,
                    # while the next comes); the journal emptied last.
                    flushes = [k for k, p in enumerate(paths) if p == journal]
                    self.assertEqual(len(flushes), 4, paths)
                    for k, i in enumerate(mine):
                        self.assertLess(flushes[k], paths.index(i), paths)
                    # (The journal's directories may be flushed before its
                    # first record, when it is new.)
                    first_tree = min(k for k, p in enumerate(paths)
                                     if k > flushes[0] and p != journal and p not in mine)
                    self.assertLess(flushes[2], first_tree, paths)
                    self.assertEqual(paths[-1], journal)
                    self.assertEqual([p for p in paths if p.endswith(".tmp")], [])
                    self.assertEqual(set(p for p in paths if p != journal),
                                     set(mine + changed))
                    for i in mine:
                        self.assertEqual(paths.count(i), 1)
                    # The journal holds all the association changed: the
                    # release is confirmed after its third flush, and the
                    # index and the directory follow.
                    third = [k for k, e in enumerate(events) if e == journal][2]
                    self.assertLess(third, release, events)
                    self.assertGreater(events.index(indexes[0]), release, events)
                    self.assertGreater(events.index(series_dir), release, events)
                self.assertEqual(len(files_below(s.basedir, ".dcm")), 6)

    @staticmethod
    def read_from(path, start):
        with open(path) as f:
            f.seek(start)
            return f.read()

    @staticmethod
    def joined_calls(text):
        """The lines of a strace -f output with each call that another
        thread's call cut in two ("<unfinished ...>", "<... resumed>")
        joined into one, at the place where it returned."""
        cut = {}
        for l in text.splitlines():
            m = re.match(r"(\d+) +(.*) <unfinished \.\.\.>$", l)
            if m:
                cut[m.group(1)] = m.group(2)
                continue
            m = re.match(r"(\d+) +<\.\.\. \w+ resumed>(.*)$", l)
            if m and m.group(1) in cut:
                l = "%s %s%s" % (m.group(1), cut.pop(m.group(1)), m.group(2))
            yield l

    def flush_events(self, text, basedir):
        """The flushes (their paths, all below basedir) and the release
        response ("release") of the worker that sent one, in the order of a
        strace output. An image file is flushed through the descriptor it
        was written by, which strace names by its temporary name: the link
        that placed it tells its name. The worker's flusher thread flushes
        image files as they are stored: its events are the worker's."""
        events = []
        threads = {}
        calls = list(self.joined_calls(text))
        # strace writes the calls of two threads in the order it handles
        # their stops, not always in the order they ran: a flusher thread's
        # flush may come before the worker's link that placed the file it
        # flushes. Temporary names are never used twice, so every link is
        # read first.
        # A call another thread cut in two is joined from its resumed half,
        # which strace pads to the column of the result: " )      = 0".
        placed = {}
        for l in calls:
            m = re.search(r" link\(\"([^\"]*)\", \"([^\"]*)\"\)\s+= 0", l)
            if m:
                placed[m.group(1)] = m.group(2)
        for l in calls:
            m = re.match(r"(\d+) +clone3?\(.*CLONE_THREAD.*\)\s+= (\d+)", l)
            if m:
                threads[m.group(2)] = m.group(1)
                continue
            if re.search(r" link\(\"([^\"]*)\", \"([^\"]*)\"\)\s+= 0", l):
                continue
            if re.search(r" (write|sendmsg|sendto)\(\d+<TCP:\[[^\]]*\]>, .*\"\\6\\0\\0\\0\"", l):
                events.append((l.split()[0], "release"))
                continue
            m = re.search(r" (fdatasync|fsync|syncfs)\(\d+<([^>]*)>", l)
            if m:
                self.assertNotEqual(m.group(1), "syncfs")
                path = m.group(2)
                if path.endswith(" (deleted)"):
                    path = path[:-len(" (deleted)")]
                path = placed.get(path, path)
                self.assertTrue((path + "/").startswith(basedir + "/"), l)
                events.append((l.split()[0], path))
        worker = [pid for pid, e in events if e == "release"]
        self.assertEqual(len(worker), 1, text)
        return [e for pid, e in events if threads.get(pid, pid) == worker[0]]

    def test_preserve_and_overwrite_titles(self):
        s = self.server(args=["-o"])
        study, series, inst = "1.2.826.5.1", "1.2.826.5.1.1", "1.2.826.5.1.1.1"
        first = make_dataset(os.path.join(s.tmp, "1.dcm"), study, series, inst,
                             extra={"ImageComments": "first"})
        second = make_dataset(os.path.join(s.tmp, "2.dcm"), study, series, inst,
                              extra={"ImageComments": "second"})
        third = make_dataset(os.path.join(s.tmp, "3.dcm"), study, series, inst,
                             extra={"ImageComments": "third"})
        path = uid_path(s.basedir, study, series, inst)
        p = s.storescu([first], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        before = read_bytes(path)
        # VeltoPreserve keeps the stored image even though the server runs with -o.
        p = s.storescu([second], called="VeltoPreserve", extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Warning: ElementsDiscarded"])
        self.assertEqual(read_bytes(path), before)
        # -o replaces under any other title.
        p = s.storescu([third], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertEqual(pydicom.dcmread(path).ImageComments, "third")

        plain = self.server()
        plain_path = uid_path(plain.basedir, study, series, inst)
        plain.storescu([first])
        p = plain.storescu([second], extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Warning: ElementsDiscarded"])
        self.assertEqual(pydicom.dcmread(plain_path).ImageComments, "first")
        # VeltoOverwrite replaces even without -o.
        p = plain.storescu([third], called="VeltoOverwrite", extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertEqual(pydicom.dcmread(plain_path).ImageComments, "third")
        self.assertEqual(files_below(plain.basedir, ".tmp"), [])

    def test_missing_or_unsafe_uid_cannot_be_understood(self):
        s = self.server()
        mon = vt.Monitor(s.monitor_port)
        try:
            path = make_dataset(os.path.join(s.tmp, "n.dcm"), "1.2.826.6.1", "1.2.826.6.1.1",
                                "1.2.826.6.1.1.1")
            status = vt.odil_store_raw(s.port, path, called=s.aetitle, remove=["SOPInstanceUID"])
            self.assertEqual(status, 0xC000)
            s.wait_log("No DCM_SOPInstanceUID?")
            # Nothing but what the server made at its start (the worklist's
            # lock file).
            self.assertEqual(files_below(s.basedir),
                             [os.path.join(s.basedir, "worklist", "lockfile")])
            # UIDs that would leave the tree or overflow the index key.
            slash = make_dataset(os.path.join(s.tmp, "s.dcm"), "1.2.826.6.2", "1.2.826.6.2.1",
                                 "1.2/../../x")
            long_uid = "1.2.826.6.3." + "1" * 60
            longer = make_dataset(os.path.join(s.tmp, "l.dcm"), long_uid, "1.2.826.6.3.1",
                                  "1.2.826.6.3.1.1")
            for path in (slash, longer):
                p = s.storescu([path], extra=["-v"])
                self.assertEqual(store_statuses(p.stdout + p.stderr), ["Error: CannotUnderstand"])
            self.assertEqual(files_below(s.basedir, ".dcm"), [])
            self.assertEqual(files_below(os.path.dirname(s.basedir), "x.dcm"), [])
            # A good image afterwards is announced; the refused ones never were.
            good = make_dataset(os.path.join(s.tmp, "g.dcm"), "1.2.826.6.4", "1.2.826.6.4.1",
                                "1.2.826.6.4.1.1")
            s.storescu([good])
            mon.wait_text(lambda t: t.startswith("STORAGE STOREUID 1.2.826.6.4 "))
            stored = [t for t in mon.texts() if t.startswith("STORAGE STOREUID")]
            self.assertEqual(stored, ["STORAGE STOREUID 1.2.826.6.4 1.2.826.6.4.1 1.2.826.6.4.1.1"])
        finally:
            mon.close()

    def test_each_store_is_bracketed_by_store_announcements(self):
        s = self.server()
        mon = vt.Monitor(s.monitor_port)
        try:
            files = [make_dataset(os.path.join(s.tmp, "%d.dcm" % i), "1.2.826.7.1", "1.2.826.7.1.1",
                                  "1.2.826.7.1.1.%d" % i) for i in range(3)]
            s.storescu(files)
            mon.wait_text(lambda t: t == "STORAGE STOREUID 1.2.826.7.1 1.2.826.7.1.1 1.2.826.7.1.1.2")
            mon.poll(0.3)
            seq = [t for t in mon.texts() if t.startswith(("STORAGE STORE ", "STORAGE STOREUID"))]
            want = []
            for i in range(3):
                want += ["STORAGE STORE 1", "STORAGE STOREUID 1.2.826.7.1 1.2.826.7.1.1 1.2.826.7.1.1.%d" % i,
                         "STORAGE STORE 0"]
            self.assertEqual(seq, want)
        finally:
            mon.close()


if __name__ == "__main__":
    vt.main()

"""Helpers of the soak, kill and damage tests: the dcmtk clients as small
functions with plain results, a registry of what the archive acknowledged,
and readers of the store's tree and index files."""

import os
import random
import re
import threading
import time
import zlib

import veltotest as vt

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
# Root of the UIDs these tests make up.
UID_ROOT = "1.2.826.0.1.3680043.9.7433"


def store_one(server, path, called=None):
    """Sends one file in its own association. Returns (acknowledged, text):
    acknowledged is True only when the archive answered with success."""
    p = vt.run(["storescu", "-v", "-aet", "SOAK", "-aec", called or server.aetitle,
                "127.0.0.1", str(server.port), path], timeout=60)
    out = p.stdout + p.stderr
    return "Received Store Response (Success)" in out, out


def store_status(out):
    """The status text of the last store response in storescu -v output."""
    m = re.findall(r"Received Store Response \(([^)]*)\)", out)
    return m[-1] if m else None


def find_uids(server, keys, want, level):
    """Runs one C-FIND (study root) and returns the values of the attribute
    want ("(0008,0018)" style) in the responses, or None when the find did
    not end with success."""
    cmd = ["findscu", "-v", "-S", "-aet", "SOAK", "-aec", server.aetitle,
           "-k", "QueryRetrieveLevel=%s" % level]
    for k in keys:
        cmd += ["-k", k]
    p = vt.run(cmd + ["127.0.0.1", str(server.port)], timeout=60)
    out = p.stdout + p.stderr
    if p.returncode != 0 or "Received Final Find Response (Success)" not in out:
        return None
    found = []
    for block in out.split("Find Response:")[1:]:
        m = re.search(re.escape(want) + r" \w\w \[([^\]]*)\]", block)
        if m:
            found.append(m.group(1).strip(" \x00"))
    return found


def images_of_study(server, study):
    """SOP instance UIDs the archive returns for an image-level query of the
    study, or None when the query failed."""
    return find_uids(server, ["StudyInstanceUID=%s" % study, "SOPInstanceUID"], "(0008,0018)", "IMAGE")


def move(server, dest, keys, level, log=None, accept=("Success",)):
    """One C-MOVE; True when its final response status starts with one of
    accept. A failure's client output is appended to the list log, if given."""
    cmd = ["movescu", "-v", "-S", "-aet", "SOAK", "-aec", server.aetitle, "-aem", dest,
           "-k", "QueryRetrieveLevel=%s" % level]
    for k in keys:
        cmd += ["-k", k]
    p = vt.run(cmd + ["127.0.0.1", str(server.port)], timeout=120)
    out = p.stdout + p.stderr
    m = re.search(r"Received Final Move Response \(([^)]*)\)", out)
    # movescu ends with a non-zero status after a warning too: the final
    # response decides.
    ok = m is not None and m.group(1).startswith(tuple(accept))
    if not ok and log is not None:
        log.append(out[-800:])
    return ok


def delete_image(server, study, series, sop, log=None):
    """Deletes one image through the delete destination; True on success."""
    return move(server, "VeltoDeleteAET", ["StudyInstanceUID=%s" % study,
                                           "SeriesInstanceUID=%s" % series,
                                           "SOPInstanceUID=%s" % sop], "IMAGE", log)


def echo(server):
    return vt.run(["echoscu", "-aet", "SOAK", "-aec", server.aetitle, "127.0.0.1",
                   str(server.port)], timeout=30).returncode == 0


def storeindex(command, basedir):
    """Runs storeindex; returns (exit status, output lines)."""
    p = vt.run([STOREINDEX, command, basedir], timeout=300)
    return p.returncode, (p.stdout + p.stderr).splitlines()


def finding_kinds(lines):
    """The kinds of the findings in storeindex check output (its warnings,
    e.g. an image a killed store placed but did not yet give its checksum
    line, are no findings)."""
    kinds = set()
    for l in lines:
        kind = l.split(":", 1)[0]
        if kind not in ("consistent", "findings") and not l.endswith(" (warning)"):
            kinds.add(kind)
    return kinds


def image_path(basedir, study, series, sop):
    crc = zlib.crc32(study.encode())
    return os.path.join(basedir, "uid", "%02X" % (crc & 0xFF), "%02X" % ((crc >> 8) & 0xFF),
                        "study_" + study, "series_" + series, "image_%s.dcm" % sop)


def tree_images(basedir):
    """(study, series, sop) of every image file below basedir/uid."""
    out = set()
    for root, _, files in os.walk(os.path.join(basedir, "uid")):
        parts = root.split(os.sep)
        if len(parts) < 2 or not parts[-1].startswith("series_") or not parts[-2].startswith("study_"):
            continue
        for f in files:
            if f.startswith("image_") and f.endswith(".dcm"):
                out.add((parts[-2][6:], parts[-1][7:], f[6:-4]))
    return out


def index_images(basedir):
    """(study, series, sop) of every live record of every IMAGEINDEX.dat."""
    out = set()
    for root, _, files in os.walk(os.path.join(basedir, "uid")):
        if "IMAGEINDEX.dat" not in files:
            continue
        with open(os.path.join(root, "IMAGEINDEX.dat"), "rb") as f:
            data = f.read()
        for i in range(0, len(data) - len(data) % 768, 768):
            rec = data[i:i + 768]
            if rec[0] == 0:
                continue
            field = lambda off: rec[off:off + 64].split(b"\0", 1)[0].decode("latin-1")
            out.add((field(128), field(64), field(0)))
    return out


def worker_pids(parent):
    """Process ids of the running children of parent (the server's workers;
    ended ones that wait to be reaped are left out)."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        # The command name in parentheses may hold blanks: fields follow it.
        fields = stat.rsplit(")", 1)[1].split()
        if int(fields[1]) == parent and fields[0] != "Z":
            pids.append(int(name))
    return pids


class Registry:
    """What the archive acknowledged, shared by the client loops.

    Each image is (study, series, sop) with a state: "live" once its store
    was acknowledged, "deleting" while a delete runs, "deleted" after a
    successful delete, "uncertain" after a failed delete (it may or may not
    be gone)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.state = {}
        self.failures = []   # texts of invariant violations seen by the loops
        self.counts = {}

    def count(self, what):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def set(self, image, state):
        with self.lock:
            self.state[image] = state

    def get(self, image):
        with self.lock:
            return self.state.get(image)

    def pick(self, state, pred=lambda image: True):
        with self.lock:
            cands = [i for i, s in self.state.items() if s == state and pred(i)]
        return random.choice(cands) if cands else None

    def take_for_delete(self, pred):
        """Picks a live image and marks it deleting, atomically."""
        with self.lock:
            cands = [i for i, s in self.state.items() if s == "live" and pred(i)]
            if not cands:
                return None
            image = random.choice(cands)
            self.state[image] = "deleting"
            return image

    def with_state(self, state):
        with self.lock:
            return {i for i, s in self.state.items() if s == state}

    def fail(self, text):
        with self.lock:
            self.failures.append(text)


def store_loop(server, registry, tmpdir, loop, deadline, per_study=20, pixels=64):
    """Stores new images until the deadline, one association each; study
    UIDs are UID_ROOT.<run>.<loop>.<n>, each with two series."""
    n = 0
    run = os.getpid()
    while time.time() < deadline:
        study = "%s.%d.%d.%d" % (UID_ROOT, run, loop, n // per_study)
        series = "%s.%d" % (study, (n // (per_study // 2)) % 2)
        sop = "%s.%d" % (series, n)
        path = os.path.join(tmpdir, "loop%d.dcm" % loop)
        vt.make_dataset(path, study, series, sop, patient_name="SOAK^LOOP%d" % loop,
                        patient_id="SOAK%d" % loop, pixels=pixels)
        ok, out = store_one(server, path)
        registry.count("store-ok" if ok else "store-failed")
        if ok:
            registry.set((study, series, sop), "live")
        n += 1


def verify_images(test, server, registry):
    """Every acknowledged and not deleted image is in the tree, in the index
    and returned by an image-level query; no deleted image is."""
    live = registry.with_state("live")
    deleted = registry.with_state("deleted")
    tree = tree_images(server.basedir)
    index = index_images(server.basedir)
    test.assertEqual(sorted(live - tree), [], "acknowledged images missing from the tree")
    test.assertEqual(sorted(live - index), [], "acknowledged images missing from the index")
    test.assertEqual(sorted(deleted & tree), [], "deleted images still in the tree")
    test.assertEqual(sorted(deleted & index), [], "deleted images still in the index")
    studies = {i[0] for i in live | deleted}
    for study in sorted(studies):
        found = images_of_study(server, study)
        want = {i[2] for i in live if i[0] == study}
        gone = {i[2] for i in deleted if i[0] == study}
        if not want:
            # Every image of the study was deleted: the study may be gone.
            test.assertFalse(found and set(found) & gone, study)
            continue
        test.assertIsNotNone(found, "image query of study %s failed" % study)
        test.assertEqual(sorted(want - set(found)), [], "acknowledged images not returned for %s" % study)
        test.assertEqual(sorted(gone & set(found)), [], "deleted images returned for %s" % study)

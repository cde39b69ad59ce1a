"""C-MOVE and C-GET throughput: storeserver sends a 1,000-image study to
dcmtk's storescp (C-MOVE) and back to dcmtk's getscu (C-GET), against dcmtk's
dcmqrscp doing the same with the same study, in the same run.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/move_throughput.py [BUILD_DIR] [ROUNDS]
        [--old-build DIR] [--count N]

BUILD_DIR defaults to ./build, ROUNDS (or --rounds N) to 7. Both archives are loaded with
the study by storescu and run side by side. Each move is one movescu run at
study level (process start, association, C-MOVE with its sub-association,
release) into the one storescp, emptied before each run; each get one getscu
run at study level into a fresh directory. Every client and both archives
run with Nagle's algorithm off (TCP_NODELAY=1 for the dcmtk programs).

Fairness: the rounds interleave the two archives (alternating which goes
first), so a change of machine load falls on both; each round's ratio
compares runs that were seconds apart. The received images are written to a
tmpfs directory (/dev/shm where it exists): creating a file on the shared
disk costs 1-3 ms here and varies tenfold with what else runs, which would
measure the disk rather than the archives (the destination's work is the
same for both either way). Printed: per archive the best and median
images/s, the median and range of the per-round ratios, the archive's own
CPU time per image (its reaped per-association processes: unlike the wall
time, this hardly depends on what else runs), and the load average before
and after.

Goals: storeserver moves at least 1.2 times as many images per second as
dcmqrscp, and gets at least as many.

With --old-build DIR (another build directory, e.g. an older commit's, as
bench/old-vs-new makes) the same study is loaded into that build's
storeserver as well, and the rounds interleave this build's storeserver
with the old one's in place of dcmqrscp; printed then for move and get:
new/old of the median images/s and of the CPU per image, with the ratio of
each round, and whether every ratio is within 5 %. --count N sets the
study's size (default 1000).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, HERE)
import oldbuild  # noqa: E402

ARGV = sys.argv[1:]
OLD = oldbuild.take(ARGV, "--old-build")
COUNT = int(oldbuild.take(ARGV, "--count", "1000"))
ROUNDS = oldbuild.take(ARGV, "--rounds")
if "--help" in ARGV or "-h" in ARGV:
    print(__doc__)
    sys.exit(0)
BUILD = os.path.abspath(ARGV[0] if ARGV else os.path.join(HERE, "..", "build"))
ROUNDS = int(ROUNDS or (ARGV[1] if len(ARGV) > 1 else 7))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from dcmqrscp_peer import Dcmqrscp  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
STUDY = "1.2.826.0.1.3680043.10.545.1"
NODELAY = dict(os.environ, TCP_NODELAY="1")


def fast_dir(parent):
    """A fresh directory on tmpfs when there is one, else below parent."""
    shm = "/dev/shm"
    return tempfile.mkdtemp(prefix="velto-bench-", dir=shm if os.path.isdir(shm) else parent)


class Destination:
    """dcmtk's storescp as the move destination, quiet (no -d dump, which
    would cost more than the move), writing into a tmpfs directory."""

    aetitle = "DEST"

    def __init__(self, tmp):
        self.port = vt.free_port()
        self.dir = fast_dir(tmp)
        self.proc = subprocess.Popen(["storescp", "-aet", self.aetitle, "-od", self.dir,
                                      str(self.port)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=NODELAY)
        vt.wait_for(lambda: vt.port_open(self.port), 10, what="storescp to listen")

    def map_line(self):
        return "%s\t%s\t127.0.0.1:%d\tFMS\n" % (self.aetitle, self.aetitle, self.port)

    def empty(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))

    def count(self):
        return len(os.listdir(self.dir))

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def move(port, called, dest):
    """Seconds for one study-level C-MOVE of STUDY to dest. The client runs
    quiet: dumping every response would cost more than a move."""
    dest.empty()
    cmd = ["movescu", "-S", "-aet", "BENCH", "-aec", called, "-aem", dest.aetitle,
           "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + STUDY,
           "127.0.0.1", str(port)]
    start = time.time()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=1800, env=NODELAY)
    elapsed = time.time() - start
    if p.returncode != 0 or dest.count() != COUNT:
        raise RuntimeError("move failed (%d files): %s" % (dest.count(), p.stdout[-1000:]))
    return elapsed


def get(port, called, tmp):
    """Seconds for one study-level C-GET of STUDY by getscu (quiet), which
    writes the images into a fresh tmpfs directory."""
    out = fast_dir(tmp)
    cmd = ["getscu", "-S", "-aet", "BENCH", "-aec", called, "-od", out,
           "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + STUDY,
           "127.0.0.1", str(port)]
    start = time.time()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=1800, env=NODELAY)
    elapsed = time.time() - start
    n = len(os.listdir(out))
    shutil.rmtree(out, ignore_errors=True)
    if p.returncode != 0 or n != COUNT:
        raise RuntimeError("get failed (%d files): %s" % (n, p.stdout[-1000:]))
    return elapsed


def children_cpu(pid):
    """CPU seconds of the reaped children of pid (cutime + cstime)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def wait_reaped(pid, timeout=15.0):
    """Waits until pid has no child left (the listener reaps its workers
    within a few seconds, dcmqrscp within one)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                if not f.read().split():
                    return
        except OSError:
            return
        time.sleep(0.05)


def phase(peers, pids, run):
    """ROUNDS rounds of run(port, called) for each archive, interleaved;
    returns the seconds of each run and the archives' CPU seconds per image
    over the phase."""
    for pid in pids.values():
        wait_reaped(pid)
    cpu0 = {name: children_cpu(pid) for name, pid in pids.items()}
    seconds = {name: [] for name in peers}
    for r in range(ROUNDS):
        order = list(peers) if r % 2 == 0 else list(reversed(list(peers)))
        for name in order:
            seconds[name].append(run(*peers[name]))
    cpu = {}
    for name, pid in pids.items():
        wait_reaped(pid)
        cpu[name] = (children_cpu(pid) - cpu0[name]) / (ROUNDS * COUNT)
    return seconds, cpu


def report(what, seconds, cpu, names=("storeserver", "dcmqrscp")):
    """Prints per archive the best and median rate and its CPU per image,
    and the per-round ratios; returns the median ratio."""
    for name in names:
        rates = [COUNT / s for s in seconds[name]]
        print("%-4s %-11s best %6.0f images/s, median %6.0f, CPU %4.0f us per image" %
              (what, name, max(rates), statistics.median(rates), cpu[name] * 1e6))
    ratios = [q / s for s, q in zip(seconds[names[0]], seconds[names[1]])]
    print("%-4s %s/%s per round: median %.2f, range %.2f-%.2f (%s)" %
          (what, names[0], names[1], statistics.median(ratios), min(ratios), max(ratios),
           " ".join("%.2f" % r for r in ratios)))
    return statistics.median(ratios)


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    dest = srv = qr = old = None
    try:
        gen = os.path.join(tmp, "gen")
        os.makedirs(gen)
        files = [vt.make_dataset(os.path.join(gen, "%d.dcm" % i), STUDY, STUDY + ".1",
                                 "%s.1.%d" % (STUDY, i), pixels=64) for i in range(COUNT)]
        dest = Destination(tmp)
        srv = vt.Server(aetmap=dest.map_line())
        vt.run(["storescu", "-aet", "LOADER", "-aec", srv.aetitle, "127.0.0.1", str(srv.port)]
               + files, check=True, timeout=1800)
        if OLD:
            # The old build in place of dcmqrscp, loaded alike.
            old = oldbuild.Build(OLD).server(aetmap=dest.map_line())
            vt.run(["storescu", "-aet", "LOADER", "-aec", old.aetitle, "127.0.0.1",
                    str(old.port)] + files, check=True, timeout=1800)
            names = ("storeserver", "old storeserver")
            peers = {names[0]: (srv.port, srv.aetitle), names[1]: (old.port, old.aetitle)}
            pids = {names[0]: srv.proc.pid, names[1]: old.proc.pid}
        else:
            os.makedirs(os.path.join(tmp, "qr"))
            qr = Dcmqrscp(os.path.join(tmp, "qr"), dest_aet=dest.aetitle, dest_port=dest.port)
            qr.store(files)
            names = ("storeserver", "dcmqrscp")
            peers = {names[0]: (srv.port, srv.aetitle), names[1]: (qr.port, qr.aetitle)}
            pids = {names[0]: srv.proc.pid, names[1]: qr.proc.pid}

        # One unmeasured run of each warms the page cache and the programs.
        for port, called in peers.values():
            move(port, called, dest)
            get(port, called, tmp)
        load_before = os.getloadavg()
        moves, move_cpu = phase(peers, pids, lambda port, called: move(port, called, dest))
        gets, get_cpu = phase(peers, pids, lambda port, called: get(port, called, tmp))
        load_after = os.getloadavg()

        print("%d images, %d rounds; load average before %.2f %.2f %.2f, after %.2f %.2f %.2f"
              % ((COUNT, ROUNDS) + load_before + load_after))
        m = report("move", moves, move_cpu, names)
        g = report("get", gets, get_cpu, names)
        if not OLD:
            print("storeserver/dcmqrscp move %.2f (goal >= 1.2), get %.2f (goal >= 1)" % (m, g))
            return
        ratios = oldbuild.Ratios()
        for what, seconds, cpu in (("move", moves, move_cpu), ("get", gets, get_cpu)):
            new, old_ = ([COUNT / s for s in seconds[n]] for n in names)
            ratios.add("%s images/s (median)" % what, statistics.median(new),
                       statistics.median(old_), "images/s", higher_better=True,
                       rounds=oldbuild.per_round(new, old_))
            ratios.add("%s CPU per image" % what, cpu[names[0]] * 1e6, cpu[names[1]] * 1e6,
                       "us")
        ratios.report("new/old against %s" % OLD)
    finally:
        if qr is not None:
            qr.stop()
        if old is not None:
            old.cleanup()
        if srv is not None:
            srv.cleanup()
        if dest is not None:
            dest.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

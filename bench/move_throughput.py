"""C-MOVE and C-GET throughput: storeserver sends a 1,000-image study to
dcmtk's storescp (C-MOVE) and back to dcmtk's getscu (C-GET), against dcmtk's
dcmqrscp doing the same with the same study, in the same run.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/move_throughput.py [BUILD_DIR] [ROUNDS]

BUILD_DIR defaults to ./build, ROUNDS to 7. Both archives are loaded with
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
images/s, the median and range of the per-round ratios, and the load
average before and after.

Goals: storeserver moves at least 1.2 times as many images per second as
dcmqrscp, and gets at least as many.
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
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 7
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from dcmqrscp_peer import Dcmqrscp  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
STUDY = "1.2.826.0.1.3680043.10.545.1"
COUNT = 1000
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


def report(what, seconds):
    """Prints per archive the best and median rate and the per-round
    ratios; returns the median ratio."""
    for name in ("storeserver", "dcmqrscp"):
        rates = [COUNT / s for s in seconds[name]]
        print("%-4s %-11s best %6.0f images/s, median %6.0f" %
              (what, name, max(rates), statistics.median(rates)))
    ratios = [q / s for s, q in zip(seconds["storeserver"], seconds["dcmqrscp"])]
    print("%-4s storeserver/dcmqrscp per round: median %.2f, range %.2f-%.2f (%s)" %
          (what, statistics.median(ratios), min(ratios), max(ratios),
           " ".join("%.2f" % r for r in ratios)))
    return statistics.median(ratios)


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    dest = srv = qr = None
    try:
        gen = os.path.join(tmp, "gen")
        os.makedirs(gen)
        files = [vt.make_dataset(os.path.join(gen, "%d.dcm" % i), STUDY, STUDY + ".1",
                                 "%s.1.%d" % (STUDY, i), pixels=64) for i in range(COUNT)]
        dest = Destination(tmp)
        srv = vt.Server(aetmap=dest.map_line())
        vt.run(["storescu", "-aet", "LOADER", "-aec", srv.aetitle, "127.0.0.1", str(srv.port)]
               + files, check=True, timeout=1800)
        os.makedirs(os.path.join(tmp, "qr"))
        qr = Dcmqrscp(os.path.join(tmp, "qr"), dest_aet=dest.aetitle, dest_port=dest.port)
        qr.store(files)
        peers = {"storeserver": (srv.port, srv.aetitle), "dcmqrscp": (qr.port, qr.aetitle)}

        # One unmeasured run of each warms the page cache and the programs.
        for port, called in peers.values():
            move(port, called, dest)
            get(port, called, tmp)
        load_before = os.getloadavg()
        moves = {name: [] for name in peers}
        gets = {name: [] for name in peers}
        for r in range(ROUNDS):
            order = list(peers) if r % 2 == 0 else list(reversed(list(peers)))
            for name in order:
                moves[name].append(move(*peers[name], dest))
            for name in order:
                gets[name].append(get(*peers[name], tmp))
        load_after = os.getloadavg()

        print("%d images, %d rounds; load average before %.2f %.2f %.2f, after %.2f %.2f %.2f"
              % ((COUNT, ROUNDS) + load_before + load_after))
        m = report("move", moves)
        g = report("get", gets)
        print("storeserver/dcmqrscp move %.2f (goal >= 1.2), get %.2f (goal >= 1)" % (m, g))
    finally:
        if qr is not None:
            qr.stop()
        if srv is not None:
            srv.cleanup()
        if dest is not None:
            dest.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

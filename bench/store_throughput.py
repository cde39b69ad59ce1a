"""C-STORE throughput of storeserver, against dcmtk's storescp writing to disk.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/store_throughput.py [BUILD_DIR] [--big N]

BUILD_DIR defaults to ./build. It sends 1000 small images (64 x 64, 8 bit)
with storescu over one association and over 4 concurrent associations of
250 each, with the client's TCP_NODELAY on (TCP_NODELAY=1) and off
(TCP_NODELAY=0), to storeserver and to storescp --fork (itself run with
TCP_NODELAY=1), each run into an empty directory, best of 5. Then the
per-store cost with N studies (default 100,000) already in the index
against an empty one (1000 images, each a new study, one association; best
of 3 sets), and the peak memory (VmHWM) of the worker process.

Goals: storeserver reaches at least 0.8 of storescp's images/s with
no-delay clients; a default (Nagle) client runs within 10 % of a no-delay one.

What the two programs do per image differs: storescp writes the file and
answers; storeserver also updates three index files under their locks,
announces the image on the monitor channel (three datagrams), writes under
a temporary name and renames, and flushes the association's files to disk
before it confirms the release (storescp never syncs). Figures on a shared
virtual machine vary by a quarter from run to run; compare the ratios of one
run. Start on a quiet file system: ext4 without a journal passes over every
inode freed in the last half minute when it allocates one, so a benchmark
right after a large removal (an earlier benchmark's clean-up, say) measures
mostly that.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
args = [a for a in sys.argv[1:] if not a.startswith("--")]
BUILD = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD
BIG = int(sys.argv[sys.argv.index("--big") + 1]) if "--big" in sys.argv else 100000

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
REPEATS = 5


def make_images(top, count, per_study=False, first=0):
    paths = []
    os.makedirs(top, exist_ok=True)
    for i in range(first, first + count):
        study = "1.2.826.0.1.3680043.10.544.%d" % (i if per_study else 1)
        series = study + ".1"
        paths.append(vt.make_dataset(os.path.join(top, "%05d.dcm" % i), study, series,
                                     "%s.%d" % (series, i), pixels=64))
    return paths


def storescu(port, files, nodelay, called):
    cmd = ["storescu", "-aet", "BENCH", "-aec", called, "127.0.0.1", str(port)] + files
    env = dict(os.environ, TCP_NODELAY="1" if nodelay else "0")
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    if p.returncode != 0:
        raise RuntimeError("storescu failed: %s" % p.stderr[-500:])


def send(port, batches, nodelay, called):
    """Seconds to send every batch, each over its own association, at once."""
    threads = [threading.Thread(target=storescu, args=(port, b, nodelay, called)) for b in batches]
    start = time.time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.time() - start


class Storescp:
    def __init__(self, tmp):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        # The reference receiver at its best: without TCP_NODELAY=1 dcmtk
        # leaves Nagle's algorithm on, and every response waits for the
        # client's delayed acknowledgement (about 40 ms an image).
        self.proc = subprocess.Popen(["storescp", "--fork", "-aet", "SCP", "-od", self.dir,
                                      str(self.port)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(self.port), 10)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def run_once(tmp, target, batches, nodelay):
    """Seconds for one run into an empty store. The file system is flushed
    first, so no run pays for the previous one's writes. The stored files
    stay until the end of the benchmark: on a file system without a journal,
    ext4 passes over inodes freed in the last 30 seconds when it allocates
    one, checking each, so a run right after the removal of another run's
    thousand files would mostly measure that search."""
    os.sync()
    if target == "storeserver":
        srv = vt.Server(root=tempfile.mkdtemp(dir=tmp))
        port, called = srv.port, srv.aetitle
    else:
        srv = Storescp(tmp)
        port, called = srv.port, "SCP"
    try:
        return send(port, batches, nodelay, called)
    finally:
        srv.stop()


def run_cases(tmp, batches, nodelay):
    """images/s of storeserver and storescp, best of REPEATS runs each. The
    two take turns, so that a slow spell of the machine hits both. storescp
    with a default client (Nagle on both ends) takes about 40 ms an image:
    it runs once, as a reference only."""
    best = {}
    for i in range(REPEATS):
        for target in ("storeserver", "storescp"):
            if target == "storescp" and not nodelay and i > 0:
                continue
            t = run_once(tmp, target, batches, nodelay)
            best[target] = min(best.get(target, t), t)
    images = sum(len(b) for b in batches)
    return {target: images / t for target, t in best.items()}


class PeakMemory:
    """Samples VmHWM of every child of a process until stopped."""

    def __init__(self, parent):
        self.parent, self.peak, self.done = parent, 0, False
        self.thread = threading.Thread(target=self.loop)
        self.thread.start()

    def loop(self):
        while not self.done:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/status" % pid) as f:
                        status = f.read()
                except OSError:
                    continue
                fields = dict(l.split(":", 1) for l in status.splitlines() if ":" in l)
                if fields.get("PPid", "").strip() == str(self.parent) and "VmHWM" in fields:
                    self.peak = max(self.peak, int(fields["VmHWM"].split()[0]))
            time.sleep(0.05)

    def stop(self):
        self.done = True
        self.thread.join()
        return self.peak


def timed_store(srv, images):
    """images/s of one association storing images into the started server,
    and the worker's peak memory in kB."""
    os.sync()
    mem = PeakMemory(srv.proc.pid)
    t = send(srv.port, [images], True, srv.aetitle)
    return len(images) / t, mem.stop()


def store_costs(tmp, sets, populated):
    """images/s and worker peak (kB) storing each set of new-study images
    into an empty store and into one that holds `populated` studies; best
    of the sets, the two stores taking turns."""
    big = vt.Server(start=False, root=tempfile.mkdtemp(dir=tmp))
    results = {0: (0, 0), populated: (0, 0)}
    try:
        subprocess.run([POPULATE, big.basedir, str(populated)], check=True)
        for images in sets:
            empty = vt.Server(root=tempfile.mkdtemp(dir=tmp))
            try:
                rate, mem = timed_store(empty, images)
            finally:
                empty.stop()
            results[0] = (max(results[0][0], rate), max(results[0][1], mem))
            big.start()
            try:
                rate, mem = timed_store(big, images)
            finally:
                big.stop()
            results[populated] = (max(results[populated][0], rate),
                                  max(results[populated][1], mem))
    finally:
        big.stop()
    return results


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        one = make_images(os.path.join(tmp, "one"), 1000)
        four = [one[i * 250:(i + 1) * 250] for i in range(4)]
        rates = {}
        for mode, batches in (("1 assoc", [one]), ("4 assocs", four)):
            for nodelay in (True, False):
                for target, r in run_cases(tmp, batches, nodelay).items():
                    rates[target, mode, nodelay] = r
                    print("%-12s %-9s %-9s %8.0f images/s" % (
                        target, mode, "no-delay" if nodelay else "default", r), flush=True)
        print()
        for mode in ("1 assoc", "4 assocs"):
            ratio = rates["storeserver", mode, True] / rates["storescp", mode, True]
            nagle = rates["storeserver", mode, False] / rates["storeserver", mode, True]
            print("%-9s storeserver/storescp (no-delay) %.2f (goal >= 0.80); "
                  "default/no-delay %.2f (goal >= 0.90)" % (mode, ratio, nagle))
        print()
        sets = [make_images(os.path.join(tmp, "fresh%d" % k), 1000, per_study=True,
                            first=100000 * (k + 1)) for k in range(3)]
        costs = store_costs(tmp, sets, BIG)
        (empty_rate, empty_mem), (big_rate, big_mem) = costs[0], costs[BIG]
        print("new-study stores into an empty index:   %8.0f images/s (%.2f ms each), worker peak %d kB"
              % (empty_rate, 1000 / empty_rate, empty_mem))
        print("new-study stores with %6d studies:    %8.0f images/s (%.2f ms each), worker peak %d kB"
              % (BIG, big_rate, 1000 / big_rate, big_mem))
        print("per-store cost with %d studies / empty index: %.2f (goal <= 1.50)"
              % (BIG, empty_rate / big_rate))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

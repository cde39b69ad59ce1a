"""C-STORE throughput of storeserver, against dcmtk's storescp writing to disk.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/store_throughput.py [BUILD_DIR] [--big N]

BUILD_DIR defaults to ./build. It sends 1000 small images (64 x 64, 8 bit)
with storescu over one association and over 4 concurrent associations of
250 each, with the client's TCP_NODELAY on (TCP_NODELAY=1) and off
(TCP_NODELAY=0), to storeserver and to storescp --fork (itself run with
TCP_NODELAY=1), each run into an empty directory, best of 3. Then the
per-store cost with N studies (default 100,000) already in the index
against an empty one (1000 images, each a new study, one association), and
the peak memory (VmHWM) of the worker process.

Goals: storeserver reaches at least 0.8 of storescp's images/s with
no-delay clients; a default (Nagle) client runs within 10 % of a no-delay one.
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
REPEATS = 3


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


def run_case(tmp, target, batches, nodelay):
    best = None
    for _ in range(REPEATS):
        if target == "storeserver":
            srv = vt.Server()
            port, called = srv.port, srv.aetitle
        else:
            srv = Storescp(tmp)
            port, called = srv.port, "SCP"
        try:
            t = send(port, batches, nodelay, called)
        finally:
            if target == "storeserver":
                srv.cleanup()
            else:
                srv.stop()
                shutil.rmtree(srv.dir, ignore_errors=True)
        best = t if best is None else min(best, t)
    return sum(len(b) for b in batches) / best


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


def store_cost(tmp, images, populated):
    """images/s storing images (one new study each) into a store that holds
    `populated` studies, and the worker's peak memory in kB."""
    srv = vt.Server(start=False)
    try:
        if populated:
            subprocess.run([POPULATE, srv.basedir, str(populated)], check=True)
            # The store flushes the file system when an association ends:
            # the populated store's own writes are not the stores' cost.
            os.sync()
        srv.start()
        mem = PeakMemory(srv.proc.pid)
        t = send(srv.port, [images], True, srv.aetitle)
        return len(images) / t, mem.stop()
    finally:
        srv.cleanup()


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        one = make_images(os.path.join(tmp, "one"), 1000)
        four = [one[i * 250:(i + 1) * 250] for i in range(4)]
        rates = {}
        for target in ("storeserver", "storescp"):
            for mode, batches in (("1 assoc", [one]), ("4 assocs", four)):
                for nodelay in (True, False):
                    r = run_case(tmp, target, batches, nodelay)
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
        fresh = make_images(os.path.join(tmp, "fresh"), 1000, per_study=True)
        empty_rate, empty_mem = store_cost(tmp, fresh, 0)
        big_rate, big_mem = store_cost(tmp, fresh, BIG)
        print("new-study stores into an empty index:   %8.0f images/s (%.2f ms each), worker peak %d kB"
              % (empty_rate, 1000 / empty_rate, empty_mem))
        print("new-study stores with %6d studies:    %8.0f images/s (%.2f ms each), worker peak %d kB"
              % (BIG, big_rate, 1000 / big_rate, big_mem))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

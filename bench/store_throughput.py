"""C-STORE throughput of storeserver, against dcmtk's storescp writing to disk.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/store_throughput.py [BUILD_DIR] [--rounds N] [--big N]
        [--count N] [--large N] [--old-build DIR]

BUILD_DIR defaults to ./build. In one run it prints:

- 1,000 CT-sized slices (39 kB, 198 x 198 x 8 bit, Explicit VR Little
  Endian) over one association from storescu with TCP_NODELAY=1, into
  storeserver (default, and -S), storescp, storescp +B (bit-preserving:
  it writes the received bytes), storescp --ignore (it answers without
  keeping anything: the ceiling that the client and the toolkit's network
  layer set) and Orthanc; storeserver also from a default (Nagle) client;
- what the disk allows, measured in the same run: its rate for 50 MB files
  written and flushed, and the time of one flush of 40 kB;
- the same 1,000 over four concurrent associations of 250, into
  storeserver and `storescp --fork +B`;
- 20 images of 50 MB over one association, in MB/s, into storeserver
  (default and -S), storescp +B and Orthanc;
- with --big N: the per-store cost with N studies already in the index
  against an empty one, and the worker's peak memory.

Each figure is the best of --rounds runs (default 3), with the median
beside it; the receivers take turns within a round, so that a slow spell
of the machine (the cores and the disk are shared) hits all of them. Each
run goes into an empty directory after a flush of the file system. Beside
each receiver stands its CPU time per image: storeserver's worker (its
flusher thread included) and storescp's child for the association, and
the Orthanc process (all of its threads).

Goals: slices at least 1.5x storescp and 0.8x storescp +B; large images at
least 0.8x storescp +B in MB/s; -S at least 0.8x the default; a Nagle
client at least 0.95x a no-delay one; four associations at least 0.8x
storescp --fork +B. The ratios are of the best figures.

What the programs do per image differs: storescp writes the file and
answers; storeserver also updates three index files under their locks,
announces the image on the monitor channel, writes under a temporary name
and links it into place, and has the association's files on disk before
it confirms the release (storescp never syncs; a flusher thread flushes
each image while the next is received). Orthanc keeps an SQLite index and
flushes each file. Figures on a shared virtual machine vary by a quarter
and more from run to run; compare the ratios of one run.

--count N sets the number of slices (default 1000), --large N the number
of 50 MB images (default 20; 0 leaves them out).

With --old-build DIR (another build directory, e.g. an older commit's, as
bench/old-vs-new makes) the receivers are this build's storeserver and the
old build's, the peers left out: the slices one association (no-delay
client, with -S, Nagle client), over four associations, and the large
images (default and -S), the two builds taking turns within each round
(the first to go changing from round to round). Printed for each: new/old
of the best images/s (MB/s), of the median, and of the median CPU per
image, with the ratio of each round, and whether every ratio is within
5 %. --big is not compared.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import oldbuild  # noqa: E402

ARGV = sys.argv[1:]
OLD = oldbuild.take(ARGV, "--old-build")
ROUNDS = int(oldbuild.take(ARGV, "--rounds", "3"))
BIG = int(oldbuild.take(ARGV, "--big", "0"))
COUNT = int(oldbuild.take(ARGV, "--count", "1000"))
LARGE_COUNT = int(oldbuild.take(ARGV, "--large", "20"))
if "--help" in ARGV or "-h" in ARGV:
    print(__doc__)
    sys.exit(0)
BUILD = os.path.abspath(ARGV[0] if ARGV else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
SLICE = 198           # 198 x 198 x 8 bit: 39 kB of pixels
LARGE = 7072          # 7072 x 7072 x 8 bit: 50 MB of pixels


def make_images(top, count, pixels, per_study=False, first=0):
    paths = []
    os.makedirs(top, exist_ok=True)
    for i in range(first, first + count):
        study = "1.2.826.0.1.3680043.10.544.%d" % (i if per_study else 1)
        series = study + ".1"
        paths.append(vt.make_dataset(os.path.join(top, "%05d.dcm" % i), study, series,
                                     "%s.%d" % (series, i), pixels=pixels))
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


def children_cpu(pid):
    """CPU seconds (user + system) of the waited-for children of pid."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def children(pid):
    """The child processes of pid (zombies too, until reaped)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return f.read().split()
    except OSError:
        return []


def own_cpu(pid):
    """CPU seconds (user + system) of process pid, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Storescp:
    def __init__(self, tmp, extra):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        # The reference receiver at its best: without TCP_NODELAY=1 dcmtk
        # leaves Nagle's algorithm on, and every response waits for the
        # client's delayed acknowledgement (about 40 ms an image).
        self.proc = subprocess.Popen(["storescp", "--fork", "-aet", "SCP", "-od", self.dir]
                                     + extra + [str(self.port)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(self.port), 10)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Orthanc:
    """Orthanc from its Debian package, on a loopback port, with its
    storage and SQLite index in a fresh directory (no HTTP server, no
    plugins, no compression). It runs an association in a thread of its
    own process."""

    def __init__(self, tmp):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        config = os.path.join(self.dir, "orthanc.json")
        with open(config, "w") as f:
            json.dump({"Name": "bench", "StorageDirectory": os.path.join(self.dir, "storage"),
                       "IndexDirectory": os.path.join(self.dir, "index"),
                       "DicomAet": "ORTHANC", "DicomPort": self.port,
                       "DicomCheckCalledAet": False, "DicomAlwaysAllowStore": True,
                       "HttpServerEnabled": False, "RemoteAccessAllowed": False,
                       "StorageCompression": False, "Plugins": [], "SaveJobs": False}, f)
        self.proc = subprocess.Popen([ORTHANC, config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(self.port) or self.proc.poll() is not None, 30,
                    what="Orthanc to listen")
        if self.proc.poll() is not None:
            raise RuntimeError("Orthanc ended with %s" % self.proc.returncode)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


ORTHANC = shutil.which("Orthanc") or "/usr/sbin/Orthanc"

# The receivers: name -> how to start one in a fresh directory.
TARGETS = {
    "storeserver": lambda tmp: vt.Server(root=tempfile.mkdtemp(dir=tmp)),
    "storeserver -S": lambda tmp: vt.Server(args=["-S"], root=tempfile.mkdtemp(dir=tmp)),
    "storescp": lambda tmp: Storescp(tmp, []),
    "storescp +B": lambda tmp: Storescp(tmp, ["+B"]),
    "storescp --ignore": lambda tmp: Storescp(tmp, ["--ignore"]),
    "Orthanc": Orthanc,
}


def run_once(tmp, target, batches, nodelay):
    """Seconds for one run into an empty store, and the receiver's CPU
    seconds for it (storeserver's and storescp's association children,
    the Orthanc process). The file system is flushed first, so no run pays
    for the previous one's writes. The stored files stay until the end of
    the benchmark: on a file system without a journal, ext4 passes over
    inodes freed in the last 30 seconds when it allocates one, so a run
    right after the removal of another run's files would mostly measure
    that search."""
    os.sync()
    srv = TARGETS[target](tmp)
    called = {"storescp": "SCP", "Orthanc": "ORTHANC"}.get(target.split()[0], None) or srv.aetitle
    cpu = own_cpu if target == "Orthanc" else children_cpu
    try:
        before = cpu(srv.proc.pid)
        t = send(srv.port, batches, nodelay, called)
        if target != "Orthanc":
            # Each association's child is reaped right after it ends (a
            # child that ran for less than a clock tick adds nothing to the
            # count, as storescp --ignore's of a few images may: so wait
            # for the children to be gone rather than for the count).
            vt.wait_for(lambda: not children(srv.proc.pid), 5, what="children reaped")
        return t, cpu(srv.proc.pid) - before
    finally:
        srv.stop()


def run_cases(tmp, batches, cases, alternate=False, between=None):
    """Every (seconds, CPU seconds) of each (target, nodelay) case over
    ROUNDS rounds, the cases taking turns (in the reverse order every other
    round if alternate); between() is called after each run."""
    runs = {case: [] for case in cases}
    for r in range(ROUNDS):
        for case in (cases[::-1] if alternate and r % 2 else cases):
            runs[case].append(run_once(tmp, case[0], batches, case[1]))
            if between:
                between()
    return runs


def best(runs):
    """The fastest run's (seconds, CPU seconds)."""
    return min(runs)


def median_seconds(runs):
    return statistics.median(t for t, _ in runs)


def label(case):
    return "%-18s %-9s" % (case[0], "no-delay" if case[1] else "default")


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


def disk_limits(tmp):
    """What the disk itself allows, measured beside the receivers: its rate
    for direct writes (1 GB in 8 MiB writes past the page cache; buffered
    writes whose writeback starts early, as storeserver's, may do somewhat
    better), and the time of one
    flush of 40 kB rewritten in place in a file already on disk (the least
    a store that is on disk before its answer waits)."""
    # Zeros, as the images' pixels are (a virtual disk may write those
    # faster than other bytes), by four dd at once, as many as the server's
    # flusher threads: their direct writes are the disk's.
    os.sync()
    paths = [os.path.join(tmp, "raw%d" % i) for i in range(4)]
    start = time.time()
    writers = [subprocess.Popen(["dd", "if=/dev/zero", "of=" + p, "bs=8M", "count=32",
                                 "oflag=direct", "conv=fdatasync"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL) for p in paths]
    for w in writers:
        w.wait()
    rate = 4 * 32 * (8 << 20) / 1e6 / (time.time() - start)
    for p in paths:
        os.unlink(p)
    block = bytes(40 << 10)
    slot = block[:40 << 10]
    path = os.path.join(tmp, "flushes")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    for i in range(64):
        os.pwrite(fd, slot, i * len(slot))
    os.fsync(fd)
    count = 300
    start = time.time()
    for i in range(count):
        os.pwrite(fd, slot, (i % 64) * len(slot))
        os.fdatasync(fd)
    flush = (time.time() - start) / count
    os.close(fd)
    os.unlink(path)
    return rate, flush


def timed_store(srv, images):
    os.sync()
    mem = PeakMemory(srv.proc.pid)
    t = send(srv.port, [images], True, srv.aetitle)
    return len(images) / t, mem.stop()


def store_costs(tmp, sets, populated):
    """images/s and worker peak (kB) storing each set of new-study images
    into an empty store and into one that holds `populated` studies."""
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


def quarters(images):
    """The images as four batches, one for each of four associations."""
    q = len(images) // 4
    return [images[i * q:(i + 1) * q] for i in range(4)]


def compare(ratios, what, runs, new, old, count, unit="images/s", size=None):
    """Prints the rate (size, by default count, per run's seconds) and the
    CPU per image of the count images of the cases new and old, and adds
    their new/old ratios."""
    size = size or count
    for c in (new, old):
        print("  %s %6.0f %s %6.0f  CPU %6.0f us/image (median)" % (
            label(c), size / best(runs[c])[0], unit, size / median_seconds(runs[c]),
            statistics.median(cpu for _, cpu in runs[c]) * 1e6 / count), flush=True)
    rates = {c: [size / t for t, _ in runs[c]] for c in (new, old)}
    ratios.add(what + " best", max(rates[new]), max(rates[old]), unit, higher_better=True,
               rounds=oldbuild.per_round(rates[new], rates[old]))
    ratios.add(what + " median", statistics.median(rates[new]), statistics.median(rates[old]),
               unit, higher_better=True)
    cpus = {c: statistics.median(cpu for _, cpu in runs[c]) * 1e6 / count for c in (new, old)}
    ratios.add(what + " CPU/image", cpus[new], cpus[old], "us")


def main_old(tmp):
    """This build's storeserver against the old build's (--old-build)."""
    old = oldbuild.Build(OLD)
    TARGETS["old storeserver"] = lambda tmp: old.server(root=tempfile.mkdtemp(dir=tmp))
    TARGETS["old storeserver -S"] = lambda tmp: old.server(args=["-S"],
                                                           root=tempfile.mkdtemp(dir=tmp))
    ratios = oldbuild.Ratios()
    print("%d slices of 39 kB, one association, %d rounds (best, median):" % (COUNT, ROUNDS),
          flush=True)
    slices = make_images(os.path.join(tmp, "slices"), COUNT, SLICE)
    pairs = [(("storeserver", True), ("old storeserver", True), "slices"),
             (("storeserver -S", True), ("old storeserver -S", True), "slices -S"),
             (("storeserver", False), ("old storeserver", False), "slices Nagle client")]
    runs = run_cases(tmp, [slices], [c for p in pairs for c in p[:2]], alternate=True)
    for new, old_, what in pairs:
        compare(ratios, what, runs, new, old_, COUNT)

    print("\n%d slices over 4 concurrent associations of %d:" % (COUNT, COUNT // 4),
          flush=True)
    cases = [("storeserver", True), ("old storeserver", True)]
    runs4 = run_cases(tmp, quarters(slices), cases, alternate=True)
    compare(ratios, "slices, 4 associations", runs4, cases[0], cases[1], COUNT // 4 * 4)

    if LARGE_COUNT:
        print("\n%d images of 50 MB, one association:" % LARGE_COUNT, flush=True)
        large = make_images(os.path.join(tmp, "large"), LARGE_COUNT, LARGE)
        megabytes = sum(os.path.getsize(p) for p in large) / 1e6

        def remove_stores():
            # Each run's files are removed before the next run, as above.
            for d in os.listdir(tmp):
                if d not in ("slices", "large"):
                    shutil.rmtree(os.path.join(tmp, d), ignore_errors=True)

        pairs = [(("storeserver", True), ("old storeserver", True), "50 MB images"),
                 (("storeserver -S", True), ("old storeserver -S", True), "50 MB images -S")]
        runsL = run_cases(tmp, [large], [c for p in pairs for c in p[:2]], alternate=True,
                          between=remove_stores)
        for new, old_, what in pairs:
            compare(ratios, what, runsL, new, old_, LARGE_COUNT, "MB/s", megabytes)
    if BIG:
        print("\n(--big is not compared between builds)")
    ratios.report("new/old against %s" % OLD)


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        if OLD:
            main_old(tmp)
            return
        print("%d slices of 39 kB, one association (best, median; CPU per image):" % COUNT,
              flush=True)
        slices = make_images(os.path.join(tmp, "slices"), COUNT, SLICE)
        cases = [("storeserver", True), ("storeserver -S", True), ("storescp", True),
                 ("storescp +B", True), ("storescp --ignore", True), ("Orthanc", True),
                 ("storeserver", False)]
        runs = run_cases(tmp, [slices], cases)
        rate = {c: COUNT / best(runs[c])[0] for c in cases}
        for c in cases:
            print("  %s %6.0f images/s %6.0f  CPU %4.0f us/image" % (
                label(c), rate[c], COUNT / median_seconds(runs[c]),
                best(runs[c])[1] * 1e6 / COUNT), flush=True)
        srv = rate["storeserver", True]
        print("  storeserver / storescp %.2f (goal >= 1.5); / storescp +B %.2f (goal >= 0.8);"
              " / Orthanc %.2f"
              % (srv / rate["storescp", True], srv / rate["storescp +B", True],
                 srv / rate["Orthanc", True]))
        print("  -S / default %.2f (goal >= 0.8); Nagle / no-delay client %.2f (goal >= 0.95)"
              % (rate["storeserver -S", True] / srv, rate["storeserver", False] / srv))
        # The limits of this machine, from the same run: storescp --ignore
        # answers each image without keeping it, so it is as fast as the
        # client and the toolkit's network layer allow; what 1.5x storescp
        # leaves a receiver beyond that is all it may spend on keeping an
        # image. A store that is on disk before its answer (-S) waits for
        # one flush of the disk per image at least.
        ignore = rate["storescp --ignore", True]
        disk_rate, flush = disk_limits(tmp)
        goal = 1.5 * rate["storescp", True]
        print("  ceiling: storescp --ignore (answers, keeps nothing) %.2f x storescp; 1.5 x"
              " storescp leaves %.0f us an image beyond answering it"
              % (ignore / rate["storescp", True], 1e6 / goal - 1e6 / ignore))
        print("  the disk: one flush %.0f us; -S at most %.2f of the default at its rate"
              % (flush * 1e6, (1 / srv) / (1 / srv + flush)))

        print("\n%d slices over 4 concurrent associations of %d:" % (COUNT, COUNT // 4),
              flush=True)
        four = quarters(slices)
        cases4 = [("storeserver", True), ("storescp +B", True)]
        runs4 = run_cases(tmp, four, cases4)
        for c in cases4:
            print("  %s %6.0f images/s %6.0f  CPU %4.0f us/image" % (
                label(c), COUNT / best(runs4[c])[0], COUNT / median_seconds(runs4[c]),
                best(runs4[c])[1] * 1e6 / COUNT))
        print("  storeserver / storescp --fork +B %.2f (goal >= 0.8)"
              % (best(runs4["storescp +B", True])[0] / best(runs4["storeserver", True])[0]))

        if LARGE_COUNT:
            print("\n%d images of 50 MB, one association:" % LARGE_COUNT, flush=True)
            large = make_images(os.path.join(tmp, "large"), LARGE_COUNT, LARGE)
            megabytes = sum(os.path.getsize(p) for p in large) / 1e6
            casesL = [("storeserver", True), ("storeserver -S", True), ("storescp +B", True),
                      ("Orthanc", True)]
            runsL = {c: [] for c in casesL}
            for _ in range(ROUNDS):
                for c in casesL:
                    runsL[c].append(run_once(tmp, c[0], [large], c[1]))
                    # Each run's gigabyte is removed before the next run: 20
                    # files, whose freed inodes cost the next run nothing.
                    for d in os.listdir(tmp):
                        if d not in ("slices", "large"):
                            shutil.rmtree(os.path.join(tmp, d), ignore_errors=True)
            for c in casesL:
                print("  %s %6.0f MB/s %6.0f  CPU %5.1f ms/image" % (
                    label(c), megabytes / best(runsL[c])[0], megabytes / median_seconds(runsL[c]),
                    best(runsL[c])[1] * 1e3 / LARGE_COUNT))
            bl = {c: best(runsL[c])[0] for c in casesL}
            print("  storeserver / storescp +B %.2f (goal >= 0.8); -S / default %.2f;"
                  " storeserver / Orthanc %.2f"
                  % (bl["storescp +B", True] / bl["storeserver", True],
                     bl["storeserver", True] / bl["storeserver -S", True],
                     bl["Orthanc", True] / bl["storeserver", True]))
            print("  the disk takes %.0f MB/s of direct writes (four dd at once); storescp +B (it"
                  " never flushes) %.2f x that, storeserver %.2f x"
                  % (disk_rate, megabytes / bl["storescp +B", True] / disk_rate,
                     megabytes / bl["storeserver", True] / disk_rate))
            shutil.rmtree(os.path.join(tmp, "large"), ignore_errors=True)

        if BIG:
            print()
            sets = [make_images(os.path.join(tmp, "fresh%d" % k), 1000, 64, per_study=True,
                                first=100000 * (k + 1)) for k in range(ROUNDS)]
            costs = store_costs(tmp, sets, BIG)
            (empty_rate, empty_mem), (big_rate, big_mem) = costs[0], costs[BIG]
            print("new-study stores into an empty index: %8.0f images/s, worker peak %d kB"
                  % (empty_rate, empty_mem))
            print("new-study stores with %6d studies:  %8.0f images/s, worker peak %d kB"
                  % (BIG, big_rate, big_mem))
            print("per-store cost with %d studies / empty index: %.2f (goal <= 1.50)"
                  % (BIG, empty_rate / big_rate))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

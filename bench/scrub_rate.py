"""`storeindex scrub`'s read rate against the disk's, in one run.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/scrub_rate.py [BUILD_DIR] [--count N] [--mb N]
        [--rounds N]

BUILD_DIR defaults to ./build. A storeserver stores --count images (default
100) of --mb MB each (default 4: 400 MB in all, random pixels), then, in
each of --rounds rounds (default 3), taking turns:

- the disk's read rate: every image file read once, in the order the
  scrub reads them, with the page cache dropped first
  (`echo 1 > /proc/sys/vm/drop_caches`, when allowed) or else through
  O_DIRECT, which passes it by;
- `storeindex scrub` with the page cache dropped the same way (its rate
  bound set far above the disk's): MB/s of the bytes it verified;
- `storeindex scrub` again with the files in the page cache: what the
  hashing alone allows.

Printed: the best MB/s of each, with the median beside it, and the scrub's
rate as a share of the disk's. Goal: the scrub reads at (nearly) the disk's
rate when nothing bounds it, so that --rate alone decides what it costs.
"""

import mmap
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import oldbuild  # noqa: E402

ARGV = sys.argv[1:]
COUNT = int(oldbuild.take(ARGV, "--count", "100"))
MB = int(oldbuild.take(ARGV, "--mb", "4"))
ROUNDS = int(oldbuild.take(ARGV, "--rounds", "3"))
BUILD = os.path.abspath(ARGV[0] if ARGV else os.path.join(HERE, "..", "build"))
os.environ.setdefault("VELTO_BUILD", BUILD)
os.environ.setdefault("VELTO_SOURCE", os.path.join(HERE, ".."))
import veltotest as vt  # noqa: E402

STOREINDEX = os.path.join(BUILD, "storeindex", "storeindex")


def drop_caches():
    """True when the page cache could be dropped (root, not in a container
    that forbids it)."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("1\n")
        return True
    except OSError:
        return False


def image_files(basedir):
    return vt.files_below(os.path.join(basedir, "uid"), ".dcm")


def read_direct(path):
    """Reads the file through O_DIRECT (aligned buffer): its size."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECT)
    buf = mmap.mmap(-1, 1 << 20)
    total = 0
    try:
        while True:
            n = os.readv(fd, [buf])
            total += n
            if n < len(buf):
                break
    finally:
        os.close(fd)
    return total


def disk_rate(basedir, dropped):
    files = image_files(basedir)
    start = time.monotonic()
    total = 0
    for p in files:
        if dropped:
            with open(p, "rb") as f:
                while True:
                    b = f.read(1 << 20)
                    if not b:
                        break
                    total += len(b)
        else:
            total += read_direct(p)
    return total / 1e6 / (time.monotonic() - start)


def scrub_rate(basedir, env):
    start = time.monotonic()
    p = subprocess.run([STOREINDEX, "scrub", "--rate", "100000", "-m", "0", basedir],
                       capture_output=True, text=True, env=env, timeout=3600)
    elapsed = time.monotonic() - start
    if p.returncode != 0:
        raise SystemExit("scrub failed: %s%s" % (p.stdout, p.stderr))
    status = {}
    with open(os.path.join(basedir, "SCRUB.status")) as f:
        for line in f:
            k, v = line.split()
            status[k] = v
    return int(status["bytes"]) / 1e6 / elapsed


def main():
    srv = vt.Server(start=False)
    work = srv.tmp
    try:
        srv.start()
        side = int((MB * 1e6) ** 0.5)
        files = []
        for n in range(COUNT):
            p = os.path.join(work, "%d.dcm" % n)
            st = "1.2.826.0.1.3680043.9.7777.60.%d" % (n // 50)
            vt.make_dataset(p, st, st + ".1", "%s.1.%d" % (st, n), pixels=side,
                            extra={"PixelData": os.urandom(side * side)})
            files.append(p)
        for k in range(0, len(files), 50):
            p = srv.storescu(files[k:k + 50])
            if p.returncode != 0:
                raise SystemExit("store failed: " + p.stderr)
        for p in files:
            os.unlink(p)
        srv.stop()
        total = sum(os.path.getsize(p) for p in image_files(srv.basedir)) / 1e6
        dropped = drop_caches()
        print("%d images, %.0f MB; page cache %s" % (
            COUNT, total, "dropped before each cold run" if dropped
            else "cannot be dropped: the disk read through O_DIRECT, the cold scrub skipped"))
        figures = {"disk": [], "scrub (cold)": [], "scrub (cached)": []}
        for _ in range(ROUNDS):
            drop_caches()
            figures["disk"].append(disk_rate(srv.basedir, dropped))
            if dropped:
                drop_caches()
                figures["scrub (cold)"].append(scrub_rate(srv.basedir, srv.env))
            figures["scrub (cached)"].append(scrub_rate(srv.basedir, srv.env))
        for name, values in figures.items():
            if values:
                print("%-16s best %7.1f MB/s  median %7.1f MB/s  (%s)" % (
                    name, max(values), statistics.median(values),
                    ", ".join("%.1f" % v for v in values)))
        cold = figures["scrub (cold)"] or figures["scrub (cached)"]
        print("scrub/disk: %.2f (best), %.2f (median)" % (
            max(cold) / max(figures["disk"]),
            statistics.median(cold) / statistics.median(figures["disk"])))
    finally:
        srv.cleanup()


if __name__ == "__main__":
    main()

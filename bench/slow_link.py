"""A large image over a slow link, storeserver against dcmtk's storescp.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/slow_link.py [BUILD_DIR] [--mb N] [--rate KB]

It writes one image of N MB of pixels (default 100) and sends it with
storescu through a relay that passes the client's bytes on at KB kB/s
(default 1300, about 10 Mbit/s), so the transfer takes well over a minute,
to storeserver with its default inactivity budget (60 s) and to storescp
(default timeouts), each in turn. It prints the time each transfer took,
whether the image arrived whole, and the ratio of the two times.

Goal: storeserver stores the image however long the transfer takes, as
long as it keeps moving (the watchdog bounds the time without progress, not
the time an operation takes), at the same speed as storescp over the same
link.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "server"))
args = [a for a in sys.argv[1:] if not a.startswith("--") and not a.isdigit()]
BUILD = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD
MB = int(sys.argv[sys.argv.index("--mb") + 1]) if "--mb" in sys.argv else 100
RATE = int(sys.argv[sys.argv.index("--rate") + 1]) * 1000 if "--rate" in sys.argv else 1300000

import veltotest as vt  # noqa: E402
from srvlib import SlowProxy  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
STUDY = "1.2.826.0.1.3680043.9.16.900"


def send(port):
    proxy = SlowProxy(port, RATE)
    try:
        started = time.monotonic()
        p = subprocess.run(["storescu", "-aec", "ANY", "127.0.0.1", str(proxy.port), IMAGE],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return p.returncode, time.monotonic() - started
    finally:
        proxy.close()


def largest(top):
    sizes = [os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(top) for f in fs]
    return max(sizes) if sizes else 0


def main():
    global IMAGE
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-slow-")
    side = int((MB * 1000000) ** 0.5)
    IMAGE = vt.make_dataset(os.path.join(tmp, "big.dcm"), STUDY, STUDY + ".1", STUDY + ".1.1",
                            pixels=side)
    size = os.path.getsize(IMAGE)
    print("image %.1f MB, link %.0f kB/s: about %.0f s per transfer" % (
        size / 1e6, RATE / 1000, size / RATE))
    results = {}
    server = vt.Server(root=os.path.join(tmp, "server"), aetitle="ANY")
    try:
        rc, secs = send(server.port)
        results["storeserver"] = (rc, secs, largest(server.basedir) >= size - 1000)
    finally:
        server.cleanup()
    port = vt.free_port()
    outdir = os.path.join(tmp, "storescp")
    os.makedirs(outdir)
    scp = subprocess.Popen(["storescp", "-od", outdir, str(port)], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        vt.wait_for(lambda: vt.port_open(port), 10, what="storescp to listen")
        rc, secs = send(port)
        results["storescp"] = (rc, secs, largest(outdir) >= size - 1000)
    finally:
        vt.stop_process(scp)
        shutil.rmtree(tmp, ignore_errors=True)
    for name, (rc, secs, whole) in results.items():
        print("%-12s status %d  %6.1f s  stored whole: %s" % (name, rc, secs, whole))
    print("time ratio storeserver/storescp: %.2f" % (results["storeserver"][1]
                                                    / results["storescp"][1]))


if __name__ == "__main__":
    main()

"""C-FIND latency of storeserver at 500, 10,000 and 100,000 studies, and of
dcmtk's dcmqrscp holding the same 500 studies.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/find_latency.py [BUILD_DIR]

BUILD_DIR defaults to ./build. The stores are filled with bench_populate
(one image per study, Patient's Name PAT^N<6 digits>). Each query is one
findscu run (association, query, release), best of 5 (full listings of
100,000 studies: best of 2): a selective Patient's Name prefix query
(PAT^N00012*, 10 matches at every size) and a full study listing.

Goals: the selective query at 100,000 studies takes at most 3 times as long
as at 500; at 500 studies storeserver answers faster than dcmqrscp.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, HERE)
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from dcmqrscp_peer import Dcmqrscp  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
SIZES = (500, 10000, 100000)
SELECTIVE = ["PatientName=PAT^N00012*", "StudyInstanceUID", "PatientID", "StudyDate"]
LISTING = ["PatientName", "StudyInstanceUID", "PatientID", "StudyDate"]


def findscu(port, called, keys, verbose=False):
    """Seconds for one findscu run, and its output."""
    cmd = ["findscu", "-S", "-aet", "BENCH", "-aec", called, "-k", "QueryRetrieveLevel=STUDY"]
    for k in keys:
        cmd += ["-k", k]
    if verbose:
        cmd.append("-v")
    start = time.time()
    p = subprocess.run(cmd + ["127.0.0.1", str(port)], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, errors="replace")
    elapsed = time.time() - start
    if p.returncode != 0:
        raise RuntimeError("findscu failed: %s" % p.stdout[-500:])
    return elapsed, p.stdout


def best(port, called, keys, repeats):
    """Best time of quiet runs (printing every identifier would cost the
    client more than the server's answer), and the match count of one
    verbose run."""
    t = min(findscu(port, called, keys)[0] for _ in range(repeats))
    return t, findscu(port, called, keys, verbose=True)[1].count("Find Response: ")


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    times = {}
    try:
        for size in SIZES:
            srv = vt.Server(start=False)
            try:
                subprocess.run([POPULATE, srv.basedir, str(size)], check=True)
                srv.start()
                for name, keys in (("selective", SELECTIVE), ("listing", LISTING)):
                    t, n = best(srv.port, srv.aetitle, keys, 2 if size > 10000 and name == "listing" else 5)
                    times["storeserver", size, name] = t
                    print("storeserver %6d studies %-9s %8.1f ms (%d matches)" % (size, name, t * 1000, n),
                          flush=True)
            finally:
                srv.cleanup()

        files = []
        gen = os.path.join(tmp, "gen")
        os.makedirs(gen)
        for n in range(500):
            study = "1.2.826.0.1.3680043.10.543.%d" % n
            files.append(vt.make_dataset(os.path.join(gen, "%d.dcm" % n), study, study + ".1",
                                         study + ".1.1", patient_name="PAT^N%06d" % n,
                                         patient_id="ID%d" % n, pixels=8))
        qr = Dcmqrscp(tmp)
        try:
            qr.store(files)
            for name, keys in (("selective", SELECTIVE), ("listing", LISTING)):
                t, n = best(qr.port, qr.aetitle, keys, 5)
                times["dcmqrscp", 500, name] = t
                print("dcmqrscp    %6d studies %-9s %8.1f ms (%d matches)" % (500, name, t * 1000, n),
                      flush=True)
        finally:
            qr.stop()
        print()
        print("selective 100000/500: %.2f (goal <= 3)" % (
            times["storeserver", 100000, "selective"] / times["storeserver", 500, "selective"]))
        for name in ("selective", "listing"):
            print("%-9s at 500, storeserver/dcmqrscp: %.2f (goal < 1)" % (
                name, times["storeserver", 500, name] / times["dcmqrscp", 500, name]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

"""storeweb's speed beside the DICOM side, in one run:

- QIDO-RS study search with 10,000 studies in the store (a selective
  Patient's Name prefix, 10 matches) against an HTTP ping (a request that
  touches no store) on the same keep-alive connection. Goal: at most 20 ms
  per search beyond the ping.
- WADO-RS retrieval of 1,000 instances: the whole study in one multipart
  answer, and instance by instance on one connection. Goal: at least 500
  instances per second.
- WADO-RS rendered (JPEG) and frames of 200 instances, one by one.
- STOW-RS of 1,000 instances (10 requests of 100) against C-STORE of 1,000
  other instances of the same size with storescu to storeserver. Goal: at
  least half the C-STORE rate.

Run by hand from the checkout, after a build, inside the private network
namespace (both daemons open the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/web_throughput.py [BUILD_DIR]

With --against OTHER_BUILD_DIR (another checkout's build, e.g. main's) the
same measurements run on both builds in alternating rounds (--rounds,
default 3), each on a store of its own filled alike, and the medians are
printed side by side with the ratio of this build's time per request to
the other's (above 1: this build is slower).
"""

import http.client
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
ARGS = sys.argv[1:]


def option(name, default=None):
    if name in ARGS:
        i = ARGS.index(name)
        value = ARGS[i + 1]
        del ARGS[i:i + 2]
        return value
    return default


AGAINST = option("--against")
ROUNDS = int(option("--rounds", "3"))
BUILD = os.path.abspath(ARGS[0] if ARGS else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

import webharness  # noqa: E402

POPULATE = os.path.join(BUILD, "bench", "bench_populate")
STUDIES = 10000
INSTANCES = 1000
PIXELS = 256  # 256 x 256, 8 bits: about 66 KB per file
RENDERED = 200


def timed_get(conn, path):
    start = time.perf_counter()
    conn.request("GET", path)
    r = conn.getresponse()
    body = r.read()
    return time.perf_counter() - start, r.status, body


def qido_latency(web):
    conn = http.client.HTTPConnection("127.0.0.1", web.port)
    ping, search = [], []
    for _ in range(5):  # warm up both paths
        timed_get(conn, "/dicom-web/")
        timed_get(conn, "/dicom-web/studies?PatientName=PAT%5EN00012*")
    for _ in range(50):
        ping.append(timed_get(conn, "/dicom-web/")[0])
        t, status, body = timed_get(conn, "/dicom-web/studies?PatientName=PAT%5EN00012*")
        assert status == 200 and body.count(b'"0020000D"') == 10, (status, body[:200])
        search.append(t)
    conn.close()
    return statistics.median(ping) * 1000, statistics.median(search) * 1000


def make_files(directory, study, count):
    if os.path.isdir(directory):
        return sorted(os.path.join(directory, f) for f in os.listdir(directory))
    os.makedirs(directory)
    series = study + ".1"
    paths = []
    for i in range(count):
        p = os.path.join(directory, "%05d.dcm" % i)
        vt.make_dataset(p, study, series, "%s.%d" % (series, i + 1), patient_name="BENCH^WEB",
                        patient_id="BENCH", pixels=PIXELS,
                        extra={"PixelData": bytes(x % 251 for x in range(PIXELS * PIXELS))})
        paths.append(p)
    return paths


def stow(web, paths, batch):
    conn = http.client.HTTPConnection("127.0.0.1", web.port)
    start = time.perf_counter()
    for i in range(0, len(paths), batch):
        body = bytearray()
        for p in paths[i:i + batch]:
            with open(p, "rb") as f:
                body += b"--BENCH\r\nContent-Type: application/dicom\r\n\r\n" + f.read() + b"\r\n"
        body += b"--BENCH--\r\n"
        conn.request("POST", "/dicom-web/studies", body=bytes(body), headers={
            "Content-Type": 'multipart/related; type="application/dicom"; boundary=BENCH'})
        r = conn.getresponse()
        r.read()
        assert r.status == 200, r.status
    elapsed = time.perf_counter() - start
    conn.close()
    return elapsed


def per_instance(conn, paths):
    """Seconds per request of GET of each path on one connection."""
    start = time.perf_counter()
    for path in paths:
        _, status, body = timed_get(conn, path)
        assert status == 200 and body, (path, status)
    return (time.perf_counter() - start) / len(paths)


def measure(build, tmp, files):
    """One round on build: its own store, filled alike. A dict of seconds
    per request (per instance for the bulk measurements)."""
    vt.STORESERVER = os.path.join(build, "server", "storeserver")
    webharness.STOREWEB = os.path.join(build, "web", "storeweb")
    root = tempfile.mkdtemp(prefix="round-", dir=tmp)
    srv = vt.Server(root=root)
    web = webharness.Web(srv)
    out = {}
    try:
        subprocess.run([POPULATE, srv.basedir, str(STUDIES)], check=True,
                       stdout=subprocess.DEVNULL)
        ping, search = qido_latency(web)
        out["HTTP ping"] = ping / 1000
        out["QIDO-RS study search"] = search / 1000
        a, b = files
        start = time.perf_counter()
        p = srv.storescu(a, timeout=600)
        out["C-STORE (storeserver)"] = (time.perf_counter() - start) / INSTANCES
        assert p.returncode == 0, p.stderr
        out["STOW-RS (per instance)"] = stow(web, b, 100) / INSTANCES
        conn = http.client.HTTPConnection("127.0.0.1", web.port)
        study = "1.2.826.0.1.3680043.10.544.1"
        t, status, body = timed_get(conn, "/dicom-web/studies/" + study)
        parts = body.count(b"Content-Type: application/dicom\r\n")
        assert status == 200 and parts == INSTANCES, (status, parts)
        out["WADO-RS study (per instance)"] = t / INSTANCES
        series = study + ".1"
        base = "/dicom-web/studies/%s/series/%s/instances/%s.%%d" % (study, series, series)
        out["WADO-RS instance"] = per_instance(conn, [base % (i + 1) for i in range(INSTANCES)])
        out["WADO-RS rendered"] = per_instance(
            conn, [base % (i + 1) + "/rendered" for i in range(RENDERED)])
        out["WADO-RS frames/1"] = per_instance(
            conn, [base % (i + 1) + "/frames/1" for i in range(RENDERED)])
        conn.close()
    finally:
        web.stop()
        srv.stop()
        shutil.rmtree(root, ignore_errors=True)
    return out


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-webbench-")
    try:
        files = (make_files(os.path.join(tmp, "a"), "1.2.826.0.1.3680043.10.544.1", INSTANCES),
                 make_files(os.path.join(tmp, "b"), "1.2.826.0.1.3680043.10.544.2", INSTANCES))
        builds = [BUILD] + ([os.path.abspath(AGAINST)] if AGAINST else [])
        rounds = {b: [] for b in builds}
        for r in range(ROUNDS if AGAINST else 1):
            # Alternate which build goes first, so that neither always meets
            # a warmer or colder machine.
            for b in (builds if r % 2 == 0 else builds[::-1]):
                rounds[b].append(measure(b, tmp, files))
        med = {b: {k: statistics.median(m[k] for m in rounds[b]) for k in rounds[b][0]}
               for b in builds}
        this = med[BUILD]
        print("QIDO-RS study search, %d studies: %.2f ms; beyond the ping %.2f ms (goal <= 20)"
              % (STUDIES, this["QIDO-RS study search"] * 1000,
                 (this["QIDO-RS study search"] - this["HTTP ping"]) * 1000))
        print("STOW-RS: %.0f/s; C-STORE %.0f/s; ratio %.2f (goal >= 0.5)"
              % (1 / this["STOW-RS (per instance)"], 1 / this["C-STORE (storeserver)"],
                 this["C-STORE (storeserver)"] / this["STOW-RS (per instance)"]))
        print("WADO-RS study in one answer: %.0f instances/s; instance by instance %.0f/s "
              "(goal >= 500)" % (1 / this["WADO-RS study (per instance)"],
                                 1 / this["WADO-RS instance"]))
        if AGAINST:
            other = med[os.path.abspath(AGAINST)]
            print("\nMedians of %d rounds, ms per request (per instance for study and STOW):"
                  % ROUNDS)
            print("%-30s %10s %10s %8s" % ("", "this", "against", "ratio"))
            for k in this:
                print("%-30s %10.3f %10.3f %8.3f" % (k, this[k] * 1000, other[k] * 1000,
                                                     this[k] / other[k]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

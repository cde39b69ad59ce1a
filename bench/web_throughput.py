"""storeweb's speed beside the DICOM side, in one run:

- QIDO-RS study search with 10,000 studies in the store (a selective
  Patient's Name prefix, 10 matches) against an HTTP ping (a request that
  touches no store) on the same keep-alive connection. Goal: at most 20 ms
  per search beyond the ping.
- WADO-RS retrieval of 1,000 instances: the whole study in one multipart
  answer, and instance by instance on one connection. Goal: at least 500
  instances per second.
- STOW-RS of 1,000 instances (10 requests of 100) against C-STORE of 1,000
  other instances of the same size with storescu to storeserver. Goal: at
  least half the C-STORE rate.

Run by hand from the checkout, after a build, inside the private network
namespace (both daemons open the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/web_throughput.py [BUILD_DIR]
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
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
import webharness  # noqa: E402

webharness.STOREWEB = os.path.join(BUILD, "web", "storeweb")
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
STUDIES = 10000
INSTANCES = 1000
PIXELS = 256  # 256 x 256, 8 bits: about 66 KB per file


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
    os.makedirs(directory)
    series = study + ".1"
    paths = []
    for i in range(count):
        p = os.path.join(directory, "%05d.dcm" % i)
        vt.make_dataset(p, study, series, "%s.%d" % (series, i + 1), patient_name="BENCH^WEB",
                        patient_id="BENCH", pixels=PIXELS)
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


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-webbench-")
    try:
        srv = vt.Server(root=tmp)
        web = webharness.Web(srv)
        try:
            subprocess.run([POPULATE, srv.basedir, str(STUDIES)], check=True,
                           stdout=subprocess.DEVNULL)
            ping, search = qido_latency(web)
            print("QIDO-RS study search, %d studies: %.2f ms; HTTP ping %.2f ms; "
                  "beyond the ping %.2f ms (goal <= 20)" % (STUDIES, search, ping, search - ping))

            a = make_files(os.path.join(tmp, "a"), "1.2.826.0.1.3680043.10.544.1", INSTANCES)
            b = make_files(os.path.join(tmp, "b"), "1.2.826.0.1.3680043.10.544.2", INSTANCES)
            start = time.perf_counter()
            p = srv.storescu(a, timeout=600)
            cstore = time.perf_counter() - start
            assert p.returncode == 0, p.stderr
            stow_s = stow(web, b, 100)
            print("C-STORE of %d instances: %.0f/s; STOW-RS: %.0f/s; ratio %.2f (goal >= 0.5)"
                  % (INSTANCES, INSTANCES / cstore, INSTANCES / stow_s, cstore / stow_s))

            conn = http.client.HTTPConnection("127.0.0.1", web.port)
            t, status, body = timed_get(conn, "/dicom-web/studies/1.2.826.0.1.3680043.10.544.1")
            parts = body.count(b"Content-Type: application/dicom\r\n")
            assert status == 200 and parts == INSTANCES, (status, parts)
            print("WADO-RS study of %d instances in one answer: %.0f instances/s (%.1f MB/s) "
                  "(goal >= 500)" % (INSTANCES, INSTANCES / t, len(body) / t / 1e6))
            series = "1.2.826.0.1.3680043.10.544.1.1"
            start = time.perf_counter()
            for i in range(INSTANCES):
                _, status, _ = timed_get(conn, "/dicom-web/studies/1.2.826.0.1.3680043.10.544.1"
                                         "/series/%s/instances/%s.%d" % (series, series, i + 1))
                assert status == 200
            t = time.perf_counter() - start
            conn.close()
            print("WADO-RS instance by instance: %.0f instances/s (goal >= 500)" % (INSTANCES / t))
        finally:
            web.stop()
            srv.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

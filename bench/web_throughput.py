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

With --against OTHER_BUILD_DIR (another checkout's build, e.g. main's) both
builds run at once, each on a store of its own filled alike, and every
measurement takes turns between them request by request (upload batch by
batch), so that a busy machine weighs on both alike; the medians are
printed side by side with the ratio of this build's time per request to
the other's (above 1: this build is slower), and beside them the CPU time
storeweb spent per request, which a busy machine disturbs far less.
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
BUILD = os.path.abspath(ARGS[0] if ARGS else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

import webharness  # noqa: E402

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


class Site:
    """One build's storeserver and storeweb on a store of their own, filled
    with the 10,000 studies."""

    def __init__(self, build, tmp):
        vt.STORESERVER = os.path.join(build, "server", "storeserver")
        webharness.STOREWEB = os.path.join(build, "web", "storeweb")
        self.build = build
        self.srv = vt.Server(root=tempfile.mkdtemp(prefix="site-", dir=tmp))
        self.web = webharness.Web(self.srv)
        subprocess.run([os.path.join(build, "bench", "bench_populate"), self.srv.basedir,
                        str(STUDIES)], check=True, stdout=subprocess.DEVNULL)
        self.conn = http.client.HTTPConnection("127.0.0.1", self.web.port)
        self.times = {}
        self.cpus = {}

    def cpu(self):
        """CPU seconds storeweb has used so far (user and system)."""
        with open("/proc/%d/stat" % self.web.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def note(self, what, seconds, cpu=None, count=1):
        self.times.setdefault(what, []).append(seconds)
        if cpu is not None:
            c = self.cpus.setdefault(what, [0.0, 0])
            c[0] += cpu
            c[1] += count

    def get(self, what, path, check=None, status_wanted=200):
        c = self.cpu()
        t, status, body = timed_get(self.conn, path)
        assert status == status_wanted and body and (check is None or check(body)), (path, status)
        self.note(what, t, self.cpu() - c)

    def stop(self):
        self.conn.close()
        self.web.stop()
        self.srv.stop()


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-webbench-")
    sites = []
    try:
        study_a, study_b = "1.2.826.0.1.3680043.10.544.1", "1.2.826.0.1.3680043.10.544.2"
        a = make_files(os.path.join(tmp, "a"), study_a, INSTANCES)
        b = make_files(os.path.join(tmp, "b"), study_b, INSTANCES)
        builds = [BUILD] + ([os.path.abspath(AGAINST)] if AGAINST else [])
        sites = [Site(x, tmp) for x in builds]
        # Each measurement takes turns between the builds request by request
        # (batch by batch for the uploads), so that the load of the machine
        # weighs on both alike.
        def turns(n):
            for i in range(n):
                for s in (sites if i % 2 == 0 else sites[::-1]):
                    yield i, s

        search = "/dicom-web/studies?PatientName=PAT%5EN00012*"
        for i, s in turns(55):
            if i >= 5:  # the first ones warm up both paths
                s.get("HTTP ping", "/dicom-web/", status_wanted=404)
                s.get("QIDO-RS study search", search, lambda body: body.count(b'"0020000D"') == 10)
        for i, s in turns(INSTANCES // 100):
            start = time.perf_counter()
            p = s.srv.storescu(a[i * 100:(i + 1) * 100], timeout=600)
            assert p.returncode == 0, p.stderr
            s.note("C-STORE (per instance)", (time.perf_counter() - start) / 100)
            c = s.cpu()
            t = stow(s.web, b[i * 100:(i + 1) * 100], 100)
            s.note("STOW-RS (per instance)", t / 100, s.cpu() - c, 100)
        # storeweb closes a connection idle longer than its header deadline
        # (-H): the retrievals start on fresh ones.
        for s in sites:
            s.conn.close()
            s.conn = http.client.HTTPConnection("127.0.0.1", s.web.port)
        for i, s in turns(5):
            c = s.cpu()
            t, status, body = timed_get(s.conn, "/dicom-web/studies/" + study_a)
            assert status == 200 and body.count(b"Content-Type: application/dicom\r\n") == \
                INSTANCES
            s.note("WADO-RS study (per instance)", t / INSTANCES, s.cpu() - c, INSTANCES)
        series = study_a + ".1"
        base = "/dicom-web/studies/%s/series/%s/instances/%s.%%d" % (study_a, series, series)
        for i, s in turns(INSTANCES):
            s.get("WADO-RS instance", base % (i + 1))
        for i, s in turns(RENDERED):
            s.get("WADO-RS rendered", base % (i + 1) + "/rendered")
            s.get("WADO-RS frames/1", base % (i + 1) + "/frames/1")
            s.get("WADO-URI JPEG", "/wado?requestType=WADO&studyUID=%s&seriesUID=%s&objectUID=%s.%d"
                  % (study_a, series, series, i + 1))

        med = [{k: statistics.median(v) for k, v in s.times.items()} for s in sites]
        this = med[0]
        print("QIDO-RS study search, %d studies: %.2f ms; beyond the ping %.2f ms (goal <= 20)"
              % (STUDIES, this["QIDO-RS study search"] * 1000,
                 (this["QIDO-RS study search"] - this["HTTP ping"]) * 1000))
        print("STOW-RS: %.0f/s; C-STORE %.0f/s; ratio %.2f (goal >= 0.5)"
              % (1 / this["STOW-RS (per instance)"], 1 / this["C-STORE (per instance)"],
                 this["C-STORE (per instance)"] / this["STOW-RS (per instance)"]))
        print("WADO-RS study in one answer: %.0f instances/s; instance by instance %.0f/s "
              "(goal >= 500)" % (1 / this["WADO-RS study (per instance)"],
                                 1 / this["WADO-RS instance"]))
        if AGAINST:
            other = med[1]
            print("\nMedian ms per request (per instance for study, C-STORE and STOW), taking "
                  "turns with %s;" % AGAINST)
            print("and storeweb's CPU ms per request (user and system, summed over all):")
            print("%-30s %10s %10s %8s %10s %10s %8s" % ("", "this", "against", "ratio",
                                                         "cpu this", "against", "ratio"))
            cpu = [{k: c[0] / c[1] for k, c in s.cpus.items()} for s in sites]
            for k in this:
                line = "%-30s %10.3f %10.3f %8.3f" % (k, this[k] * 1000, other[k] * 1000,
                                                      this[k] / other[k])
                if k in cpu[0] and cpu[1].get(k):
                    line += " %10.3f %10.3f %8.3f" % (cpu[0][k] * 1000, cpu[1][k] * 1000,
                                                      cpu[0][k] / cpu[1][k])
                print(line)
    finally:
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

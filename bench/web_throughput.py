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
batch), so that a busy machine weighs on both alike. The measurements are
made in --rounds N rounds (default 3; each round's uploads are images of
their own), the first build to go changing from round to round. The medians
over all rounds are printed side by side with the ratio of this build's
time per request to the other's (above 1: this build is slower), then the
ratio of each round alone, and beside them the CPU time storeweb spent per
request (summed over its threads from the scheduler's account, to the
nanosecond; the requests go over kept-alive connections, so that no thread
that did the work has ended before it is read), which a busy machine
disturbs far less than the time. A last line says whether every ratio
(time and CPU) is within 5 %. --old-build DIR is the same as --against DIR
(the name the other benches take; bench/old-vs-new gives it).

--studies N (default 10000), --instances N (default 1000, a multiple of
100) and --rendered N (default 200) set the sizes.
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


if "--help" in ARGS or "-h" in ARGS:
    print(__doc__)
    sys.exit(0)
AGAINST = option("--against") or option("--old-build")
ROUNDS = int(option("--rounds", "3"))
STUDIES = int(option("--studies", "10000"))
INSTANCES = int(option("--instances", "1000"))
RENDERED = int(option("--rendered", "200"))
BUILD = os.path.abspath(ARGS[0] if ARGS else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

import webharness  # noqa: E402

import oldbuild  # noqa: E402

PIXELS = 256  # 256 x 256, 8 bits: about 66 KB per file


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


def stow_body(paths):
    body = bytearray()
    for p in paths:
        with open(p, "rb") as f:
            body += b"--BENCH\r\nContent-Type: application/dicom\r\n\r\n" + f.read() + b"\r\n"
    body += b"--BENCH--\r\n"
    return bytes(body)


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
        self.conn = None
        self.used = 0.0
        self.times = {}  # what: [seconds per request, ...]
        self.rounds = {}  # what: {round: [seconds per request, ...]}
        self.cpus = {}  # what: {round: [CPU seconds, requests]}
        self.precise = self.threads()[0] is not None

    def threads(self):
        """{thread: nanoseconds run} of storeweb's threads, from the
        scheduler's account; without one (all zero), (None, ticks of the
        whole process)."""
        base = "/proc/%d/task" % self.web.proc.pid
        run = {}
        for tid in os.listdir(base):
            try:
                with open(os.path.join(base, tid, "schedstat")) as f:
                    run[tid] = int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass  # ended since it was listed
        if any(run.values()):
            return run, None
        with open("/proc/%d/stat" % self.web.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return None, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu_since(self, before):
        """CPU seconds storeweb used since before (a threads() result)."""
        run, ticks = self.threads()
        if run is None or before[0] is None:
            return (ticks or 0) - (before[1] or 0)
        # A thread begun since counts from nothing.
        return sum(n - before[0].get(tid, 0) for tid, n in run.items()) / 1e9

    def connection(self):
        """The kept-alive connection, made afresh when it has been idle
        for long (storeweb closes one idle beyond its header deadline)."""
        if self.conn is None or time.monotonic() - self.used > 5:
            if self.conn is not None:
                self.conn.close()
            self.conn = http.client.HTTPConnection("127.0.0.1", self.web.port)
            self.conn.connect()
        return self.conn

    def note(self, what, rnd, seconds, cpu=None, count=1):
        self.times.setdefault(what, []).append(seconds)
        self.rounds.setdefault(what, {}).setdefault(rnd, []).append(seconds)
        if cpu is not None:
            c = self.cpus.setdefault(what, {}).setdefault(rnd, [0.0, 0])
            c[0] += cpu
            c[1] += count

    def request(self, what, rnd, method, path, body=None, headers=None, check=None,
                status_wanted=200, count=1):
        conn = self.connection()
        c = self.threads()
        start = time.perf_counter()
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        answer = r.read()
        t = time.perf_counter() - start
        cpu = self.cpu_since(c)
        self.used = time.monotonic()
        assert r.status == status_wanted and answer and (check is None or check(answer)), \
            (path, r.status)
        self.note(what, rnd, t / count, cpu, count)

    def get(self, what, rnd, path, check=None, status_wanted=200, count=1):
        self.request(what, rnd, "GET", path, check=check, status_wanted=status_wanted,
                     count=count)

    def stop(self):
        if self.conn is not None:
            self.conn.close()
        self.web.stop()
        self.srv.stop()


def measure(rnd, sites, a, b, study_a):
    """One round of every measurement, taking turns between the sites
    request by request (batch by batch for the uploads), so that the load
    of the machine weighs on both alike. The images of a are sent by
    C-STORE in the first round only; b is this round's to upload."""

    def turns(n):
        for i in range(n):
            for s in (sites if i % 2 == 0 else sites[::-1]):
                yield i, s

    search = "/dicom-web/studies?PatientName=PAT%5EN00012*"
    for i, s in turns(55):
        if i >= 5:  # the first ones warm up both paths
            s.get("HTTP ping", rnd, "/dicom-web/", status_wanted=404)
            s.get("QIDO-RS study search", rnd, search,
                  lambda body: body.count(b'"0020000D"') == 10)
    stow_type = {"Content-Type": 'multipart/related; type="application/dicom"; boundary=BENCH'}
    for i, s in turns(len(b) // 100):
        if rnd == 0:
            start = time.perf_counter()
            p = s.srv.storescu(a[i * 100:(i + 1) * 100], timeout=600)
            assert p.returncode == 0, p.stderr
            s.note("C-STORE (per instance)", rnd, (time.perf_counter() - start) / 100)
        body = stow_body(b[i * 100:(i + 1) * 100])
        s.request("STOW-RS (per instance)", rnd, "POST", "/dicom-web/studies", body=body,
                  headers=stow_type, count=100)
    for i, s in turns(5):
        s.get("WADO-RS study (per instance)", rnd, "/dicom-web/studies/" + study_a,
              lambda body: body.count(b"Content-Type: application/dicom\r\n") == INSTANCES,
              count=INSTANCES)
    series = study_a + ".1"
    base = "/dicom-web/studies/%s/series/%s/instances/%s.%%d" % (study_a, series, series)
    for i, s in turns(INSTANCES):
        s.get("WADO-RS instance", rnd, base % (i + 1))
    for i, s in turns(RENDERED):
        s.get("WADO-RS rendered", rnd, base % (i + 1) + "/rendered")
        s.get("WADO-RS frames/1", rnd, base % (i + 1) + "/frames/1")
        s.get("WADO-URI JPEG", rnd, "/wado?requestType=WADO&studyUID=%s&seriesUID=%s"
              "&objectUID=%s.%d" % (study_a, series, series, i + 1))


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-webbench-")
    sites = []
    try:
        study_a, study_b = "1.2.826.0.1.3680043.10.544.1", "1.2.826.0.1.3680043.10.544.2"
        a = make_files(os.path.join(tmp, "a"), study_a, INSTANCES)
        builds = [BUILD] + ([os.path.abspath(AGAINST)] if AGAINST else [])
        sites = [Site(x, tmp) for x in builds]
        uploads = make_files(os.path.join(tmp, "b"), study_b, INSTANCES * ROUNDS)
        for rnd in range(ROUNDS):
            measure(rnd, sites[::-1] if rnd % 2 else sites, a, uploads[rnd * INSTANCES:
                                                                      (rnd + 1) * INSTANCES],
                    study_a)
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
            print("\nMedian ms per request (per instance for study, C-STORE and STOW) over %d "
                  "rounds, taking turns with %s;" % (ROUNDS, AGAINST))
            print("the ratio of each round's medians; and storeweb's CPU ms per request (user and "
                  "system, %s):" % ("to the nanosecond" if sites[0].precise else "in clock ticks"))
            width = 5 * ROUNDS
            print("%-29s %8s %8s %6s  %-*s %8s %8s %6s  %s" % (
                "", "this", "against", "ratio", width, "rounds", "cpu this", "against", "ratio",
                "rounds"))

            def per(s, k, r=None):
                """CPU seconds per request of s for k, in round r or all."""
                c = [v for rnd, v in s.cpus[k].items() if r is None or rnd == r]
                return sum(x[0] for x in c) / sum(x[1] for x in c)

            pairs = []
            for k in this:
                pairs.append((k + " time", this[k] / other[k], False))
                rounds = sorted(sites[0].rounds[k])
                line = "%-29s %8.3f %8.3f %6.3f  %-*s" % (
                    k, this[k] * 1000, other[k] * 1000, this[k] / other[k], width,
                    " ".join("%.2f" % (statistics.median(sites[0].rounds[k][r]) /
                                       statistics.median(sites[1].rounds[k][r])) for r in rounds))
                if k in sites[0].cpus and per(sites[1], k) > 0:
                    pairs.append((k + " CPU", per(sites[0], k) / per(sites[1], k), False))
                    line += " %8.3f %8.3f %6.3f  %s" % (
                        per(sites[0], k) * 1000, per(sites[1], k) * 1000,
                        per(sites[0], k) / per(sites[1], k),
                        " ".join("%.2f" % (per(sites[0], k, r) / per(sites[1], k, r))
                                 for r in rounds))
                print(line)
            print(oldbuild.verdict(pairs))
    finally:
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

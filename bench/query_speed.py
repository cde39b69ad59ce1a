"""Association setup and C-FIND speed of storeserver, printed beside the goals:

- echoscu association against storeserver and, in the same run, against
  dcmtk's `storescp --fork` (goal: storeserver at most storescp's time);
- with 10,000 studies: a selective query's time beyond the association
  (findscu asking it 21 times on one association less findscu asking it
  once, over 20; goal <= 2 ms), by Study Instance UID,
  by Patient ID and by Patient's Name (one match each) and a name prefix
  with ten matches; a full listing's wall time, findscu's CPU time and the
  server's CPU time per answer (the listener's reaped children);
- with 1,000,000 studies: the same selective queries (goal <= 20 ms beyond
  the association) and the worker's memory while it answers (peak resident
  and proportional set size; goal < 64 MB).

Run by hand from the checkout, after a build (with the benchmarks), inside
the private network namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/query_speed.py [BUILD_DIR] [--big N]

BUILD_DIR defaults to ./build; --big sets the large store's size (default
1000000). The 10,000-study store is filled through the write path
(bench_populate), the large one as study index files only (bench_populate
--index-only: 540 bytes per study). Times are the best of several runs;
the machine's other load shows in them, so compare figures of one run.
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
args = [a for a in sys.argv[1:] if not a.startswith("--")]
BUILD = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build"))
BIG = int(sys.argv[sys.argv.index("--big") + 1]) if "--big" in sys.argv else 1000000
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
ROOT = "1.2.826.0.1.3680043.10.543"
TICK = os.sysconf("SC_CLK_TCK")


def run_timed(cmd):
    start = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace")
    elapsed = time.perf_counter() - start
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[0], p.stdout[-500:]))
    return elapsed, p.stdout


def echo_cmd(port, called):
    return ["echoscu", "-aet", "BENCH", "-aec", called, "127.0.0.1", str(port)]


def find_cmd(port, called, keys, extra=()):
    cmd = ["findscu", "-S", "-aet", "BENCH", "-aec", called, "-k", "QueryRetrieveLevel=STUDY"]
    for k in keys:
        cmd += ["-k", k]
    return cmd + list(extra) + ["127.0.0.1", str(port)]


def best(cmd, repeats):
    return min(run_timed(cmd)[0] for _ in range(repeats))


def children_cpu(pid):
    """CPU seconds of the reaped children of pid (cutime + cstime)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / TICK


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def wait_reaped(pid, timeout=10.0):
    deadline = time.time() + timeout
    while children(pid) and time.time() < deadline:
        time.sleep(0.05)


def selective_queries(n):
    """(label, keys) of one-match queries and a ten-match one at a store of
    n studies (numbers as bench_populate makes them)."""
    k = n // 2 + 1
    return [
        ("by Study UID", ["StudyInstanceUID=%s.%d" % (ROOT, k), "PatientName"]),
        ("by Patient ID", ["PatientID=ID%d" % k, "StudyInstanceUID"]),
        ("by Patient's Name", ["PatientName=PAT^N%06d" % k, "StudyInstanceUID"]),
        ("name prefix, 10", ["PatientName=PAT^N%05d*" % (k // 10), "StudyInstanceUID"]),
    ]


def per_query(srv, keys, repeats, count=21):
    """Seconds one query takes on an open association: findscu asking it
    count times on one association, less findscu asking it once, over
    count - 1 (best of repeats each)."""
    many = best(find_cmd(srv.port, srv.aetitle, keys, ["--repeat", str(count)]), repeats)
    once = best(find_cmd(srv.port, srv.aetitle, keys), repeats)
    return max(0.0, (many - once) / (count - 1))


def measure_selective(srv, n, goal_ms, repeats):
    echo = best(echo_cmd(srv.port, srv.aetitle), repeats)
    print("  echoscu association                     %8.2f ms" % (echo * 1000))
    worst = 0.0
    for label, keys in selective_queries(n):
        t = per_query(srv, keys, repeats)
        _, out = run_timed(find_cmd(srv.port, srv.aetitle, keys, ["-v"]))
        worst = max(worst, t * 1000)
        print("  selective %-18s %4d match(es) %8.2f ms beyond the association (goal <= %g)"
              % (label, out.count("Find Response: "), t * 1000, goal_ms))
    return worst


def worker_memory(srv, keys):
    """Peak resident and proportional set size (KiB) of the worker that
    answers 200 repeats of a query on one association."""
    p = subprocess.Popen(find_cmd(srv.port, srv.aetitle, keys, ["--repeat", "200"]),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    hwm = pss = 0
    while p.poll() is None:
        for w in children(srv.proc.pid):
            try:
                with open("/proc/%d/status" % w) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            hwm = max(hwm, int(line.split()[1]))
                with open("/proc/%d/smaps_rollup" % w) as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            pss = max(pss, int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.01)
    return hwm, pss


def association_figures(tmp, repeats):
    print("Association setup (echoscu, best of %d)" % repeats)
    srv = vt.Server(root=os.path.join(tmp, "assoc"))
    port = vt.free_port()
    scp = subprocess.Popen(["storescp", "--fork", "-od", tmp, "-aet", "STORESCP", str(port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        vt.wait_for(lambda: vt.port_open(port), 10, what="storescp")
        ours = theirs = 1e9
        # Alternate, so that the machine's load falls on both alike.
        for _ in range(repeats):
            ours = min(ours, run_timed(echo_cmd(srv.port, srv.aetitle))[0])
            theirs = min(theirs, run_timed(echo_cmd(port, "STORESCP"))[0])
        print("  storeserver %8.2f ms   storescp --fork %8.2f ms   ratio %.2f (goal <= 1)"
              % (ours * 1000, theirs * 1000, ours / theirs))
    finally:
        scp.terminate()
        scp.wait()
        srv.cleanup()


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        association_figures(tmp, 30)

        n = 10000
        print("\n%d studies (write path)" % n)
        srv = vt.Server(start=False, root=os.path.join(tmp, "s10k"))
        try:
            subprocess.run([POPULATE, srv.basedir, str(n)], check=True)
            srv.start()
            measure_selective(srv, n, 2, 5)
            listing = find_cmd(srv.port, srv.aetitle,
                               ["PatientName", "StudyInstanceUID", "PatientID", "StudyDate"])
            wait_reaped(srv.proc.pid)
            cpu0 = children_cpu(srv.proc.pid)
            ru0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            wall, _ = run_timed(listing)
            ru1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            wait_reaped(srv.proc.pid)
            server_cpu = children_cpu(srv.proc.pid) - cpu0
            client_cpu = (ru1.ru_utime + ru1.ru_stime) - (ru0.ru_utime + ru0.ru_stime)
            print("  full listing of %d: %.0f ms wall, findscu %.0f ms CPU, server %.0f ms CPU"
                  " = %.1f us per answer" % (n, wall * 1000, client_cpu * 1000,
                                             server_cpu * 1000, server_cpu * 1e6 / n))
            print("  (goal: the client's CPU bounds the listing: server CPU < findscu CPU: %s)"
                  % ("yes" if server_cpu < client_cpu else "NO"))
        finally:
            srv.cleanup()

        print("\n%d studies (study index only)" % BIG)
        srv = vt.Server(start=False, root=os.path.join(tmp, "big"))
        try:
            subprocess.run([POPULATE, "--index-only", srv.basedir, str(BIG)], check=True)
            srv.start()
            # The listener loads the table, and builds the key digests that
            # an index-only store lacks, before its first association.
            run_timed(echo_cmd(srv.port, srv.aetitle))
            measure_selective(srv, BIG, 20, 3)
            hwm, pss = worker_memory(srv, selective_queries(BIG)[2][1])
            print("  worker memory answering: peak RSS %.1f MB, PSS %.1f MB (goal < 64 MB)"
                  % (hwm / 1024, pss / 1024))
        finally:
            srv.cleanup()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

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
        [--studies N] [--old-build DIR]

BUILD_DIR defaults to ./build; --big sets the large store's size (default
1000000), --studies the smaller one's (default 10000). The smaller store is
filled through the write path (bench_populate), the large one as study
index files only (bench_populate --index-only: 540 bytes per study). Times are the best of several runs;
the machine's other load shows in them, so compare figures of one run.

With --old-build DIR (another build directory, e.g. an older commit's, as
bench/old-vs-new makes) the same figures are measured on this build's
storeserver and the old build's, each on a store of its own filled alike
(by its own build's bench_populate), the two taking turns run by run (the
first to go changing each time) in place of storescp; printed then: new/old
of every figure (times, server CPU per answer, worker memory) and whether
every ratio is within 5 %.
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
import oldbuild  # noqa: E402

ARGV = sys.argv[1:]
OLD = oldbuild.take(ARGV, "--old-build")
BIG = int(oldbuild.take(ARGV, "--big", "1000000"))
STUDIES = int(oldbuild.take(ARGV, "--studies", "10000"))
if "--help" in ARGV or "-h" in ARGV:
    print(__doc__)
    sys.exit(0)
BUILD = os.path.abspath(ARGV[0] if ARGV else os.path.join(HERE, "..", "build"))
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


def pair_best(servers, command, repeats):
    """The best seconds of command(server) for each server over repeats
    runs, the servers taking turns (the first to go changing each time)."""
    times = [1e9] * len(servers)
    for r in range(repeats):
        order = range(len(servers)) if r % 2 == 0 else reversed(range(len(servers)))
        for i in order:
            times[i] = min(times[i], run_timed(command(servers[i]))[0])
    return times


def pair_per_query(servers, keys, repeats, count=101):
    """per_query() for each server, the servers taking turns, and the
    seconds of the count queries on one association (the association
    included: a difference of two best times is small beside the noise of
    a busy machine, this is not). More queries than per_query() asks on
    one association make the difference larger beside that noise."""
    many = pair_best(servers, lambda s: find_cmd(s.port, s.aetitle, keys,
                                                 ["--repeat", str(count)]), repeats)
    once = pair_best(servers, lambda s: find_cmd(s.port, s.aetitle, keys), repeats)
    return [max(0.0, (m - o) / (count - 1)) for m, o in zip(many, once)], many


def pair_selective(ratios, servers, n, repeats):
    echo = pair_best(servers, lambda s: echo_cmd(s.port, s.aetitle), repeats)
    ratios.add("%d studies: association (echoscu)" % n, echo[0] * 1e3, echo[1] * 1e3, "ms")
    for label, keys in selective_queries(n):
        t, many = pair_per_query(servers, keys, repeats)
        ratios.add("%d studies: %s beyond assoc." % (n, label), t[0] * 1e3, t[1] * 1e3, "ms")
        ratios.add("%d studies: %s, 101 in one assoc." % (n, label), many[0] * 1e3,
                   many[1] * 1e3, "ms")


def filled(tmp, name, build, n, index_only=False):
    """A started storeserver of build (None: this one) on a store of n
    studies filled by that build's bench_populate."""
    root = os.path.join(tmp, name)
    srv = build.server(start=False, root=root) if build else vt.Server(start=False, root=root)
    subprocess.run([build.populate if build else POPULATE] + (["--index-only"] if index_only
                                                              else []) +
                   [srv.basedir, str(n)], check=True, stdout=subprocess.DEVNULL)
    srv.start()
    # The listener loads the table (and an index-only store's key digests)
    # before its first association.
    run_timed(echo_cmd(srv.port, srv.aetitle))
    return srv


def main_old(tmp):
    """This build's storeserver against the old build's (--old-build)."""
    old = oldbuild.Build(OLD)
    ratios = oldbuild.Ratios()
    servers = []
    try:
        print("Association setup (echoscu, best of 30), this build and the old one by turns",
              flush=True)
        servers = [vt.Server(root=os.path.join(tmp, "assoc")),
                   old.server(root=os.path.join(tmp, "assoc-old"))]
        t = pair_best(servers, lambda s: echo_cmd(s.port, s.aetitle), 30)
        ratios.add("association (echoscu)", t[0] * 1e3, t[1] * 1e3, "ms")
        for s in servers:
            s.cleanup()

        n = STUDIES
        print("%d studies (write path): selective queries, full listing" % n, flush=True)
        servers = [filled(tmp, "s", None, n), filled(tmp, "s-old", old, n)]
        pair_selective(ratios, servers, n, 5)
        listing = ["PatientName", "StudyInstanceUID", "PatientID", "StudyDate"]
        walls = pair_best(servers, lambda s: find_cmd(s.port, s.aetitle, listing), 3)
        ratios.add("%d studies: full listing" % n, walls[0] * 1e3, walls[1] * 1e3, "ms")
        # The server CPU of the 3 listings each (the reaped workers' ticks).
        cpu = []
        for s in servers:
            wait_reaped(s.proc.pid)
            cpu.append(children_cpu(s.proc.pid))
        pair_best(servers, lambda s: find_cmd(s.port, s.aetitle, listing), 3)
        for i, s in enumerate(servers):
            wait_reaped(s.proc.pid)
            cpu[i] = (children_cpu(s.proc.pid) - cpu[i]) / (3 * n)
        ratios.add("%d studies: server CPU per answer" % n, cpu[0] * 1e6, cpu[1] * 1e6, "us")
        for s in servers:
            s.cleanup()

        print("%d studies (study index only): selective queries, worker memory" % BIG,
              flush=True)
        servers = [filled(tmp, "big", None, BIG, True), filled(tmp, "big-old", old, BIG, True)]
        pair_selective(ratios, servers, BIG, 3)
        mem = [worker_memory(s, selective_queries(BIG)[2][1]) for s in servers]
        ratios.add("%d studies: worker peak RSS" % BIG, mem[0][0] / 1024, mem[1][0] / 1024, "MB")
        ratios.add("%d studies: worker PSS" % BIG, mem[0][1] / 1024, mem[1][1] / 1024, "MB")
    finally:
        for s in servers:
            s.cleanup()
    ratios.report("new/old against %s" % OLD)


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        if OLD:
            main_old(tmp)
            return
        association_figures(tmp, 30)

        n = STUDIES
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

"""Study-level finds at 1,000,000 (or any number of) studies: the PostgreSQL index
backend against the file backend, through the index interface.

Run by hand from the checkout, after a build, inside the private network
namespace (the database listens on a unix socket in a private directory
only; the C-FINDs go to loopback):

    scripts/netns-exec /usr/bin/python3 bench/index_pg.py [BUILD_DIR] [STUDIES] [--index-only]

BUILD_DIR defaults to ./build, STUDIES to 1000000 (some 7 minutes on
2 cores, most of it loading; 100000 for a quick look). --index-only leaves
out the C-FINDs through an association (and needs no namespace). The file backend's store
is filled with bench_populate --index-only (the study index files, as the
write path writes them); the same studies (Patient's Name PAT^N<6 digits>,
Patient ID ID<n>, one series and one image each) are loaded into a
PostgreSQL 15 started from Debian's package in a temporary directory, with
COPY into the tables the backend made itself. bench_indexfind then times a
selective find by Patient ID and by whole name, and prefix finds, 7 runs
each, best and median (no association: the index alone), and the rate of
2,000 adds, each image in a transaction of its own (fsync on, as a server
runs).

Then the same finds as a modality sends them: C-FIND at STUDY level, by
Patient ID, by whole Patient's Name, and by prefix (PAT^N00012*, ID5000*), each
sent 20 times on ONE association held open (odil's client, bench/orthanc_pg.py's
OpenFinder: the C-FIND alone, without a client's start and association),
best and median, to a cluster node (a Cluster file on the loaded database,
"ack local" with an ObjectTier whose gateway is not running: the finds
never touch the bucket) and to a single-host storeserver on the file-index
store, the sides taking turns. The node's archive id is the one the loaded
rows carry: the node is started once on the empty tables, makes the
cluster's id (velto_cluster_archive) and is stopped; the rows are loaded
with that id, and the node started again on the same store. The answers are
checked on both sides: one study of that Patient ID and name, and as many
as the prefix matches (10 and 111 at 1,000,000).

Goal (for the cluster): a selective C-FIND at 1,000,000 studies under 5 ms
beyond the association.

Measured (1,000,000 studies, 2 shared cores, two runs; best / median of 20,
the C-FIND alone): the cluster node by Patient ID 0.38 / 0.40 and 0.50 /
0.66 ms (single host on the file index 0.66 / 0.69 and 0.69 / 0.84), by
whole name 0.39 / 0.41 and 0.49 / 0.55 ms (0.73 / 0.87, 0.78 / 0.87),
PAT^N00012* (10 matches) 0.59 / 0.74 and 0.89 / 1.18 ms (2.12 / 2.16,
2.47 / 2.84); ID5000* (111 matches, second run) 3.26 / 4.31 ms (82.1 /
85.6). The whole run 42 to 47 s, the COPY 29 s of it.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib"))
import veltotest as vt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
ASSOC = "--index-only" not in sys.argv[1:]
BUILD = os.path.abspath(ARGS[0] if len(ARGS) > 0 else os.path.join(HERE, "..", "build"))
STUDIES = int(ARGS[1]) if len(ARGS) > 1 else 1000000
QUERIES = 20
PGBIN = "/usr/lib/postgresql/15/bin"
ADDS = 2000
ROOT = "1.2.826.0.1.3680043.10.543"
POPULATE = os.path.join(BUILD, "bench", "bench_populate")
FIND = os.path.join(BUILD, "bench", "bench_indexfind")


def run(cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def start_server(top):
    """A server on a unix socket in top (as postgres when root): conninfo."""
    runas = []
    if os.geteuid() == 0:
        shutil.chown(top, "postgres", "postgres")
        runas = ["runuser", "-u", "postgres", "--"]
    run(runas + [PGBIN + "/initdb", "-D", top + "/data", "-A", "trust", "-U", "velto",
                 "--no-sync", "-E", "UTF8", "--locale=C.UTF-8"], stdout=subprocess.DEVNULL)
    run(runas + [PGBIN + "/pg_ctl", "-D", top + "/data", "-l", top + "/server.log", "-w", "-o",
                 "-k %s -c listen_addresses='' -c shared_buffers=256MB" % top, "start"],
        stdout=subprocess.DEVNULL)
    stop = runas + [PGBIN + "/pg_ctl", "-D", top + "/data", "-m", "fast", "stop"]
    return "host=%s dbname=postgres user=velto" % top, stop


def copy(conninfo, table, columns, rows):
    """COPY rows (tab-separated lines from the generator) into table."""
    p = subprocess.Popen([PGBIN + "/psql", "-q", conninfo, "-c",
                          "COPY %s (%s) FROM STDIN" % (table, columns)],
                         stdin=subprocess.PIPE, text=True)
    buf = []
    for line in rows:
        buf.append(line)
        if len(buf) >= 10000:
            p.stdin.write("\n".join(buf) + "\n")
            buf = []
    if buf:
        p.stdin.write("\n".join(buf) + "\n")
    p.stdin.close()
    if p.wait() != 0:
        raise RuntimeError("COPY into %s failed" % table)


def load(conninfo, n, archive):
    copy(conninfo, "velto_patients", "id, archive, patient_key",
         ("%d\t%s\tID%d" % (i + 1, archive, i) for i in range(n)))

    def study(i):
        date = "2020%02d%02d" % (i % 12 + 1, i % 28 + 1)
        name = "PAT^N%06d" % i
        return "\t".join([str(i + 1), archive, "%s.%d" % (ROOT, i), str(i + 1), name, "ID%d" % i,
                          date, date, name.lower()])
    copy(conninfo, "velto_studies",
         "id, archive, study_uid, patient, patient_name, patient_id, study_date,"
         " study_date_norm, patient_name_fold", (study(i) for i in range(n)))
    copy(conninfo, "velto_series", "id, study, series_uid, modality",
         ("%d\t%d\t%s.%d.1\tCT" % (i + 1, i + 1, ROOT, i) for i in range(n)))
    copy(conninfo, "velto_instances", "id, archive, series, sop_uid, attrs, syntax",
         ("%d\t%s\t%d\t%s.%d.1.1\t{\"00080060\": \"CT\"}\t1.2.840.10008.1.2.1"
          % (i + 1, archive, i + 1, ROOT, i) for i in range(n)))
    run([PGBIN + "/psql", "-q", conninfo, "-c",
         "SELECT setval('velto_patients_id_seq', %d); SELECT setval('velto_studies_id_seq', %d);"
         " SELECT setval('velto_series_id_seq', %d); SELECT setval('velto_instances_id_seq', %d);"
         " ANALYZE" % (n, n, n, n)], stdout=subprocess.DEVNULL)


def node(top, conninfo):
    """A cluster node (not started) on the database of conninfo: "ack
    local" with an ObjectTier naming a gateway that is not running (a
    node needs one to start; a find never reads the bucket)."""
    from pgcluster import offline_tier
    srv = vt.Server(root=top + "/node", start=False)
    ack = offline_tier(srv.etc)
    with open(os.path.join(srv.etc, "Cluster"), "w") as f:
        f.write("database %s\nnode bench1\n%slease 5s\npoll 500ms\n" % (conninfo, ack))
    return srv


def node_archive(srv, conninfo):
    """Starts the node once on the empty tables and stops it: the cluster's
    archive id it made (the loaded rows must carry it, or the node sees
    none of them). Its store keeps the id: started again, it joins."""
    srv.start(answered=True)
    srv.stop()
    out = subprocess.run([PGBIN + "/psql", "-At", conninfo, "-c",
                          "SELECT archive FROM velto_cluster_archive"],
                         check=True, stdout=subprocess.PIPE, text=True).stdout.split()
    if len(out) != 1:
        raise RuntimeError("the node made no archive id: %r; its log: %s"
                           % (out, srv.log()[-1500:]))
    return out[0]


def prefix_count(prefix, n):
    """Studies i < n whose name PAT^N<6 digits> starts with prefix."""
    digits = prefix[len("PAT^N"):]
    lo = int(digits.ljust(6, "0"))
    hi = int(digits.ljust(6, "9"))
    return max(0, min(hi, n - 1) - lo + 1)


def assoc_finds(sides):
    """Each query QUERIES times on one association per side held open, the
    sides taking turns; the answers checked; best and median printed."""
    from orthanc_pg import OpenFinder
    probe = STUDIES // 2 + 1
    queries = [("selective, Patient ID", ["PatientID=ID%d" % probe], 1),
               ("selective, Patient's Name", ["PatientName=PAT^N%06d" % probe], 1),
               ("prefix, Patient's Name", ["PatientName=PAT^N00012*"],
                prefix_count("PAT^N00012", STUDIES)),
               ("prefix, Patient ID", ["PatientID=ID5000*"],
                sum(1 for i in range(STUDIES) if str(i).startswith("5000")))]
    finders = [(label, OpenFinder(types.SimpleNamespace(port=srv.port, aet=srv.aetitle)))
               for label, srv in sides]
    try:
        print("C-FIND, STUDY level, one association held open (the query alone, %d each):"
              % QUERIES)
        for what, keys, want in queries:
            times = {label: [] for label, _ in finders}
            for _ in range(QUERIES):
                for label, f in finders:
                    took, found = f.find(keys)
                    times[label].append(took * 1000)
                    if len(found) != want:
                        raise RuntimeError("%s: %s found %d, not %d" % (label, keys, len(found),
                                                                          want))
                    if want == 1 and found[0] != ("ID%d" % probe, "PAT^N%06d" % probe):
                        raise RuntimeError("%s: %s found %r" % (label, keys, found))
            for label, _ in finders:
                ms = sorted(times[label])
                print("  %-26s %-24s best %7.2f ms  median %7.2f ms  %d matches  (%s)"
                      % (what, keys[0], ms[0], statistics.median(ms), want, label))
    finally:
        for _, f in finders:
            f.close()


def main():
    if ASSOC:
        vt.require_private_netns()
        vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
    top = tempfile.mkdtemp(prefix="velto-indexbench-")
    os.chmod(top, 0o755)
    stop = None
    servers = []
    try:
        t = time.time()
        run([POPULATE, "--index-only", top + "/store", str(STUDIES)])
        print("file index: %d studies made in %.1f s" % (STUDIES, time.time() - t))
        pgdir = top + "/pg"
        os.mkdir(pgdir)
        conninfo, stop = start_server(pgdir)
        run([FIND, "pg", conninfo, "bench", "--open-only"])
        archive = "bench"
        if ASSOC:
            srv = node(top, conninfo)
            servers.append(srv)
            archive = node_archive(srv, conninfo)
        t = time.time()
        load(conninfo, STUDIES, archive)
        print("PostgreSQL: %d studies loaded with COPY in %.1f s" % (STUDIES, time.time() - t))
        sys.stdout.flush()
        run([FIND, "file", top + "/store", "--adds", str(ADDS)])
        sys.stdout.flush()
        run([FIND, "pg", conninfo, archive, "--adds", str(ADDS)])
        sys.stdout.flush()
        if ASSOC:
            srv.start(answered=True)
            single = vt.Server(root=top + "/single", basedir=top + "/store", start=False)
            servers.append(single)
            single.start(answered=True)
            assoc_finds([("cluster node, PostgreSQL", srv), ("single host, file index", single)])
    finally:
        for s in servers:
            if s.proc:
                s.stop()
        if stop:
            subprocess.run(stop, stdout=subprocess.DEVNULL)
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()

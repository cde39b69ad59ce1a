"""Study-level finds at 1,000,000 (or any number of) studies: the PostgreSQL index
backend against the file backend, through the index interface.

Run by hand from the checkout, after a build (no network: the database
listens on a unix socket in a private directory only):

    /usr/bin/python3 bench/index_pg.py [BUILD_DIR] [STUDIES]

BUILD_DIR defaults to ./build, STUDIES to 1000000 (some 6 minutes on
2 cores, most of it loading; 100000 for a quick look). The file backend's store
is filled with bench_populate --index-only (the study index files, as the
write path writes them); the same studies (Patient's Name PAT^N<6 digits>,
Patient ID ID<n>, one series and one image each) are loaded into a
PostgreSQL 15 started from Debian's package in a temporary directory, with
COPY into the tables the backend made itself. bench_indexfind then times a
selective find by Patient ID and by whole name, and prefix finds, 7 runs
each, best and median (no association: the index alone), and the rate of
2,000 adds, each image in a transaction of its own (fsync on, as a server
runs).

Goal (for the cluster): a selective find at 1,000,000 studies well under
5 ms.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
STUDIES = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
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


def load(conninfo, n):
    archive = "bench"
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


def main():
    top = tempfile.mkdtemp(prefix="velto-indexbench-")
    os.chmod(top, 0o755)
    stop = None
    try:
        t = time.time()
        run([POPULATE, "--index-only", top + "/store", str(STUDIES)])
        print("file index: %d studies made in %.1f s" % (STUDIES, time.time() - t))
        pgdir = top + "/pg"
        os.mkdir(pgdir)
        conninfo, stop = start_server(pgdir)
        run([FIND, "pg", conninfo, "bench", "--open-only"])
        t = time.time()
        load(conninfo, STUDIES)
        print("PostgreSQL: %d studies loaded with COPY in %.1f s" % (STUDIES, time.time() - t))
        sys.stdout.flush()
        run([FIND, "file", top + "/store", "--adds", str(ADDS)])
        sys.stdout.flush()
        run([FIND, "pg", conninfo, "bench", "--adds", str(ADDS)])
    finally:
        if stop:
            subprocess.run(stop, stdout=subprocess.DEVNULL)
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()

"""The cluster's cost: C-STORE with 4 senders through one host (single-host
mode, no tier) and through two nodes of a cluster (a Cluster file naming a
PostgreSQL 15 with fsync on, an ObjectTier naming one bucket of a one-node
Ceph with its RADOS Gateway) acknowledging `shared` and then `local`, in one
run, beside what the parts underneath can do in the same run: the gateway's
PUT time for objects of the images' size and the database's commit rate.

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/cluster_store.py [BUILD_DIR] [IMAGES_PER_SENDER]

BUILD_DIR defaults to ./build, IMAGES_PER_SENDER to 500 (2,000 images of
some 66 KB each: 256 x 256 random 8-bit pixels, nothing compresses). Each
sender is one storescu association with its own study; in the cluster two
senders go to each node.

Printed for each setup: images/s (from the senders' start to the last
one's end), the CPU seconds of every process of the setup (the
storeservers and their workers; for the cluster also the postgres
processes and ceph-mon, ceph-osd and radosgw) per stored image, from
/proc/PID/stat (utime + stime, with the children they reaped) before the
senders start and after the nodes went quiet (so a local acknowledgement's
later upload is counted), and the database's commits per image. Then the
ratios, each with its goal:

    cluster CPU per image / single host        (<= 1.5)
    shared rate per association * PUT time     (>= 0.8: one gateway write per image)
    local 4-sender rate / single host          (>= 0.7)

and the projection of N nodes' ceiling from the commit rate. The PUT time
is a loop of signed S3 PUTs of the same bytes over one kept-alive
connection (the gateway alone); the commit rate is pgbench, one-row
INSERTs, one per transaction, over 4 connections for 5 s.

The cluster half needs the nodes wired to the shared index
(core/archiveopen.cc): until a node stores its images' rows in the
database, the bench says so after the single-host half and the
measurements underneath, and ends with status 2.
"""

import datetime
import hashlib
import hmac
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
PER_SENDER = int(sys.argv[2]) if len(sys.argv) > 2 else 500
SENDERS = 4
PIXELS = 256
PUTS = 300
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from cephcluster import ACCESS_KEY, REGION, SECRET_KEY, CephCluster  # noqa: E402
from pgcluster import BIN as PGBIN, PgServer  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
ROOT = "1.2.826.0.1.3680043.10.546"
BUCKET = "clusterbench"
TICK = os.sysconf("SC_CLK_TCK")


# --- CPU of process trees ---

def _stat(pid):
    """(ppid, utime + stime + cutime + cstime in ticks) of pid, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            s = f.read()
    except OSError:
        return None
    f = s[s.rindex(")") + 2:].split()
    return int(f[1]), int(f[11]) + int(f[12]) + int(f[13]) + int(f[14])


def cpu_seconds(roots):
    """CPU seconds of every live process below (and of) the roots,
    with what each reaped of its children: a worker that ended between two
    readings is counted in its parent's."""
    stats = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = _stat(int(name))
            if st:
                stats[int(name)] = st
    children = {}
    for pid, (ppid, _) in stats.items():
        children.setdefault(ppid, []).append(pid)
    total, seen, todo = 0, set(), [r for r in roots if r in stats]
    while todo:
        pid = todo.pop()
        if pid in seen:
            continue
        seen.add(pid)
        total += stats[pid][1]
        todo.extend(children.get(pid, []))
    return total / TICK


def wait_quiet(roots, limit=180):
    """Waits until the roots' trees use less than 2% of a core over half a
    second (a node's uploads after a local acknowledgement), at most limit
    seconds."""
    deadline = time.monotonic() + limit
    last = cpu_seconds(roots)
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = cpu_seconds(roots)
        if now - last < 0.01:
            return
        last = now
    print("  (the nodes were still busy after %d s)" % limit)


# --- the parts underneath ---

def s3_put_times(endpoint, payload, n):
    """Seconds of each of n signed PUTs of payload (new keys) through one
    kept-alive connection."""
    host = endpoint.split("//", 1)[1]
    conn = http.client.HTTPConnection(host, timeout=60)
    times = []

    def sign(key, msg):
        return hmac.new(key, msg.encode(), hashlib.sha256).digest()
    for i in range(n):
        path = "/%s/putbench/%06d" % (BUCKET, i)
        now = datetime.datetime.utcnow()
        amzdate, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
        headers = "host:%s\nx-amz-content-sha256:UNSIGNED-PAYLOAD\nx-amz-date:%s\n" % (host,
                                                                                     amzdate)
        signed = "host;x-amz-content-sha256;x-amz-date"
        request = "\n".join(["PUT", path, "", headers, signed, "UNSIGNED-PAYLOAD"])
        scope = "%s/%s/s3/aws4_request" % (day, REGION)
        to_sign = "\n".join(["AWS4-HMAC-SHA256", amzdate, scope,
                             hashlib.sha256(request.encode()).hexdigest()])
        k = sign(("AWS4" + SECRET_KEY).encode(), day)
        k = sign(sign(sign(k, REGION), "s3"), "aws4_request")
        signature = hmac.new(k, to_sign.encode(), hashlib.sha256).hexdigest()
        auth = "AWS4-HMAC-SHA256 Credential=%s/%s, SignedHeaders=%s, Signature=%s" % (
            ACCESS_KEY, scope, signed, signature)
        t = time.perf_counter()
        conn.request("PUT", path, body=payload, headers={
            "Authorization": auth, "x-amz-date": amzdate,
            "x-amz-content-sha256": "UNSIGNED-PAYLOAD", "Content-Length": str(len(payload))})
        r = conn.getresponse()
        r.read()
        times.append(time.perf_counter() - t)
        if r.status != 200:
            raise SystemExit("PUT %s: HTTP %d" % (path, r.status))
    conn.close()
    return times


def commit_rate(pg, work):
    """Commits per second of one-row INSERTs over 4 connections (pgbench),
    and the database's own CPU seconds per commit."""
    pg.psql("CREATE TABLE IF NOT EXISTS velto_bench_commit (k bigint PRIMARY KEY)")
    with open(os.path.join(pg.data, "postmaster.pid")) as f:
        pgpid = int(f.readline())
    c0, n0 = cpu_seconds([pgpid]), commits(pg)
    script = os.path.join(work, "commit.sql")
    with open(script, "w") as f:
        f.write("\\set k random(1, 1000000000000)\n"
                "INSERT INTO velto_bench_commit VALUES (:k) ON CONFLICT DO NOTHING;\n")
    p = vt.run([PGBIN + "/pgbench", "-n", "-c", "4", "-j", "2", "-T", "5", "-f", script, "-h",
                "127.0.0.1", "-p", str(pg.port), "-U", "velto", "velto"], timeout=60)
    m = re.search(r"tps = ([0-9.]+)", p.stdout)
    if not m:
        raise SystemExit("pgbench: %s%s" % (p.stdout, p.stderr))
    return float(m.group(1)), (cpu_seconds([pgpid]) - c0) / max(1, commits(pg) - n0)


def commits(pg):
    return int(pg.rows("SELECT xact_commit FROM pg_stat_database WHERE datname = 'velto'")[0][0])


# --- the senders ---

def make_images(work, tag):
    """SENDERS lists of files, each sender a study of its own."""
    lists = []
    for s in range(SENDERS):
        d = os.path.join(work, "in-%s-%d" % (tag, s))
        os.makedirs(d)
        study = "%s.%s.%d" % (ROOT, tag, s + 1)
        files = []
        for n in range(PER_SENDER):
            sop = "%s.1.%d" % (study, n + 1)
            files.append(vt.make_dataset(os.path.join(d, sop + ".dcm"), study, study + ".1", sop,
                                         patient_id="BENCH%d" % s, pixels=PIXELS,
                                         extra={"PixelData": os.urandom(PIXELS * PIXELS)}))
        lists.append(files)
    return lists


def send(ports, lists):
    """Runs the senders at once (sender i to ports[i % len(ports)]):
    seconds from their start to the last one's end."""
    start = time.monotonic()
    procs = [subprocess.Popen(["storescu", "-aet", "SENDER%d" % i, "-aec", "ARCHIVE",
                               "127.0.0.1", str(ports[i % len(ports)])] + files,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=dict(os.environ, TCP_NODELAY="1"))
             for i, files in enumerate(lists)]
    for p in procs:
        out, err = p.communicate(timeout=1800)
        if p.returncode != 0:
            raise SystemExit("storescu failed (%d): %s" % (p.returncode, err[-2000:]))
    return time.monotonic() - start


def measure(label, roots, ports, lists, pg=None, parts=None):
    """Sends the lists, prints and returns (images/s, CPU s per image).
    parts: {name: roots function} of the setup's parts, whose shares of the
    CPU are printed beside."""
    images = sum(len(x) for x in lists)
    c0 = commits(pg) if pg else 0
    cpu0 = cpu_seconds(roots())
    part0 = {k: cpu_seconds(f()) for k, f in (parts or {}).items()}
    seconds = send(ports, lists)
    wait_quiet(roots())
    cpu = cpu_seconds(roots()) - cpu0
    by_part = {k: (cpu_seconds(f()) - part0[k]) / images for k, f in (parts or {}).items()}
    if parts:
        print("    CPU per image by part: " + ", ".join(
            "%s %.2f ms" % (k, v * 1000) for k, v in by_part.items()))
    rate = images / seconds
    line = "%-28s %7.1f images/s  %6.2f ms CPU per image  (%d images in %.2f s)" % (
        label, rate, cpu * 1000 / images, images, seconds)
    if pg:
        line += "  %.2f commits per image" % ((commits(pg) - c0) / images)
    print(line)
    sys.stdout.flush()
    return rate, cpu / images, by_part


def cluster_node(work, name, pg, ceph, ack):
    srv = vt.Server(root=os.path.join(work, name), start=False)
    key = os.path.join(srv.etc, "tier.key")
    with open(key, "w") as f:
        f.write("access-key %s\nsecret-key %s\n" % (ACCESS_KEY, SECRET_KEY))
    os.chmod(key, 0o600)
    with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
        f.write("endpoint %s\nbucket %s\nregion %s\ncredentials tier.key\n"
                % (ceph.endpoint, BUCKET, REGION))
    with open(os.path.join(srv.etc, "Cluster"), "w") as f:
        f.write("database %s\nnode %s\nack %s\nlease 5s\npoll 500ms\n" % (pg.conninfo, name, ack))
    srv.start()
    return srv


def main():
    vt.require_private_netns()
    work = tempfile.mkdtemp(prefix="velto-clusterbench-")
    os.chmod(work, 0o755)
    ceph = CephCluster(os.path.join(work, "ceph"))
    os.makedirs(os.path.join(work, "pg"))
    pg = PgServer(os.path.join(work, "pg"), fsync=True)
    servers = []
    status = 0
    try:
        t = time.monotonic()
        ceph.start()
        code, body = ceph.curl("PUT", "/" + BUCKET)
        assert code == 200, body
        pg.start()
        print("Ceph and PostgreSQL (fsync on) up in %.1f s" % (time.monotonic() - t))
        lists = {tag: make_images(work, tag) for tag in ("1", "2", "3", "9")}
        size = os.path.getsize(lists["1"][0][0])
        print("%d senders x %d images of %d bytes" % (SENDERS, PER_SENDER, size))

        single = vt.Server(root=os.path.join(work, "single"))
        servers.append(single)
        r_single, c_single, _ = measure("one host (no tier)", lambda: [single.proc.pid],
                                     [single.port], lists["1"])
        single.stop()

        with open(lists["1"][0][0], "rb") as f:
            payload = f.read()
        ceph_pids = [p.pid for p in ceph.procs.values()]
        ceph0 = cpu_seconds(ceph_pids)
        puts = sorted(s3_put_times(ceph.endpoint, payload, PUTS))
        put_cpu = (cpu_seconds(ceph_pids) - ceph0) / PUTS
        put_s = sum(puts) / len(puts)
        print("gateway PUT of %d bytes: mean %.2f ms, median %.2f ms (%d PUTs, one connection);"
              " Ceph's own CPU %.2f ms per PUT, %.1fx the single host's whole image"
              % (len(payload), put_s * 1000, puts[len(puts) // 2] * 1000, PUTS,
                 put_cpu * 1000, put_cpu / c_single))
        tps, commit_cpu = commit_rate(pg, work)
        print("database: %.0f commits/s (one-row INSERTs, 4 connections, fsync on), its own CPU"
              " %.2f ms per commit" % (tps, commit_cpu * 1000))
        sys.stdout.flush()

        def cluster_roots(nodes):
            pids = [n.proc.pid for n in nodes] + [p.pid for p in ceph.procs.values()]
            with open(os.path.join(pg.data, "postmaster.pid")) as f:
                pids.append(int(f.readline()))
            return lambda: pids

        results = {}
        for ack, tag in (("shared", "2"), ("local", "3")):
            nodes = [cluster_node(work, "%s-n%d" % (ack, i + 1), pg, ceph, ack) for i in range(2)]
            servers.extend(nodes)
            # A probe: a node wired to the shared index puts the image's row
            # in the database.
            before = int(pg.rows("SELECT count(*) FROM pg_tables WHERE tablename ="
                                 " 'velto_instances'")[0][0])
            probe = vt.make_dataset(os.path.join(work, "probe-%s.dcm" % ack), ROOT + ".9" + tag,
                                    ROOT + ".9" + tag + ".1", ROOT + ".9" + tag + ".1.1")
            p = nodes[0].storescu([probe])
            rows = 0
            if before:
                rows = int(pg.rows("SELECT count(*) FROM velto_instances WHERE sop_uid = '%s'"
                                   % (ROOT + ".9" + tag + ".1.1"))[0][0])
            if p.returncode != 0 or rows != 1:
                print("the cluster half needs the nodes wired to the shared index "
                      "(core/archiveopen.cc): a node with a Cluster file %s its probe image, "
                      "and the database holds %d rows of it" %
                      ("acknowledged" if p.returncode == 0 else "refused", rows))
                status = 2
                break
            with open(os.path.join(pg.data, "postmaster.pid")) as f:
                pgpid = int(f.readline())
            parts = {"nodes": lambda: [n.proc.pid for n in nodes],
                     "postgres": lambda: [pgpid]}
            for name, proc in ceph.procs.items():
                parts[name] = (lambda pid: lambda: [pid])(proc.pid)
            results[ack] = measure("two nodes, ack %s" % ack, cluster_roots(nodes),
                                   [n.port for n in nodes], lists[tag], pg, parts)
            if ack == "shared":
                # One association alone: its rate against the one gateway
                # write per image that bounds it.
                results["one"] = measure("one association, ack shared", cluster_roots(nodes),
                                         [nodes[0].port], lists["9"][:1], pg, parts)
            for n in nodes:
                n.stop()
        print()
        if status == 0:
            r_shared, c_shared, p_shared = results["shared"]
            r_local, c_local, p_local = results["local"]
            r_one = results["one"][0]
            print("cluster CPU per image / single host: shared %.2f, local %.2f (goal <= 1.5)"
                  % (c_shared / c_single, c_local / c_single))
            print("    without the object store's processes (nodes and database): shared %.2f,"
                  " local %.2f" % ((p_shared["nodes"] + p_shared["postgres"]) / c_single,
                                   (p_local["nodes"] + p_local["postgres"]) / c_single))
            print("shared rate per association * PUT time: %.2f alone, %.2f of %d at once"
                  " (goal >= 0.8)" % (r_one * put_s, r_shared / SENDERS * put_s, SENDERS))
            print("local 4-sender rate / single host: %.2f (goal >= 0.7)" % (r_local / r_single))
        print("projection: the database's %.0f commits/s, at C commits per image, bound N nodes"
              " to %.0f/C images/s whatever N" % (tps, tps))
    finally:
        for s in servers:
            s.stop()
        ceph.stop()
        pg.destroy()
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(status)


if __name__ == "__main__":
    main()

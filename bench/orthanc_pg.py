"""Side by side with Orthanc on PostgreSQL: C-STORE rate and CPU per image,
and C-FIND latency at many studies, of our storeserver against Orthanc
1.10 with its PostgreSQL index plugin (Debian's orthanc-postgresql), both
on one PostgreSQL 15 server (tests/lib/pgcluster.py, fsync on) started for
the run.

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/orthanc_pg.py [BUILD_DIR] [--count N]
        [--rounds N] [--studies N] [--queries N] [--orthanc-connections N] [--cluster]

BUILD_DIR defaults to ./build.

Storing: --count CT-sized slices (default 1000; 39 kB, 198 x 198 x 8 bit,
Explicit VR Little Endian, 125 to a study), the same files to both, over
4 concurrent storescu associations (TCP_NODELAY=1) into an empty receiver,
--rounds times (default 3), the sides taking turns (the first to go
changing from round to round), the best and the median printed. Each
receiver acknowledges an image once it is durable in its own way: Orthanc
flushes each file and commits its rows (PostgreSQL flushes at COMMIT); our
single host has the association's files flushed before it confirms the
release. Orthanc's index plugin gets --orthanc-connections connections to
the database (default 1, the plugin's own default and its fastest here:
with 4, one per sender, its transactions conflict, it refuses some images
with OutOfResources after its retries, and stores 250 slices/s where it
stores 415 with 1). A refused image is sent again, as a modality would,
within the time measured, and the refusals are counted.

CPU per stored image: user + system time, before and after, of the whole
process tree of each side (Orthanc's process and its threads; storeserver
and its association workers, reaped or alive) and of the PostgreSQL
server's tree (the postmaster, its backends and background processes),
read from /proc/PID/stat, once the trees have gone quiet after the last
association (the CPU a receiver spends after it has acknowledged
counts too). Our single host does not use the database: its PostgreSQL
figure is the server's idle cost over the same time.

Finding: --studies one-image studies (default 20,000; images of 8 x 8
pixels, a patient each, family names of two letters and "SON", Patient IDs
ID000000...) are loaded into fresh receivers of both sides through 4
storescu each (the load rates are printed too), then C-FIND at STUDY level
with findscu: a selective one (PatientID of one study; --queries of them,
default 20, each a different patient, the same list for both) and a prefix
one (PatientName=AB*), --queries times each, the sides taking turns, best
and median printed. Each findscu time includes the client's start and its
association (some 20 ms on this kind of machine); each query is also sent
on one association per side held open (odil's client), which times the
query alone. The answers are checked: the selective one finds its study's
PatientID once, the prefix one the number of studies whose names begin
with AB, the same on both sides.

--cluster adds one cluster node (a "Cluster" file on the same PostgreSQL,
an ObjectTier on a Ceph RADOS Gateway from tests/lib/cephcluster.py, about
15 s to start) in "ack local" and "ack shared" to the storing rounds, its
CPU counted with the database's (the Ceph daemons' printed beside). When
the node refuses its Cluster file or keeps its images' records out of the
database (a build whose nodes are not yet wired to the shared index), the
run says so after the other figures and ends with status 2.

Ratios printed: ours / Orthanc's for rates, Orthanc's / ours for times and
CPU per image: above 1, ours is better. Figures on a shared virtual
machine vary by a quarter and more from run to run; compare the ratios of
one run.

Measured (defaults, 2 shared cores under a load of 3 to 5): slices 348
images/s Orthanc, 1885 ours (best; 5.4x); CPU per image 1.52 + 1.20 ms
(PostgreSQL) Orthanc, 0.53 ms ours (5.1x); 20,000 studies loaded at 149
images/s into Orthanc and 1075 into ours; by Patient ID the query alone
1.72 ms Orthanc, 0.39 ms ours (best; 4.4x), through findscu 18.2 and 17.8
ms; PatientName=AB* (30 matches) 8.8 and 1.1 ms alone (8.2x), 26.6 and
19.4 ms through findscu.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import veltotest as vt  # noqa: E402
from pgcluster import PgServer  # noqa: E402
from deidentify_orthanc import Orthanc  # noqa: E402

SLICE = 198             # 198 x 198 x 8 bit: 39 kB of pixels
PER_STUDY = 125         # slices in a study of the storing rounds
SENDERS = 4
CT = "1.2.840.10008.5.1.4.1.1.2"
ROOT = "1.2.826.0.1.3680043.10.545"
TICK = os.sysconf("SC_CLK_TCK")
FIND_KEYS = ["StudyInstanceUID", "PatientName", "PatientID", "StudyDate", "AccessionNumber",
             "StudyDescription"]


def options():
    args = sys.argv[1:]
    if "-h" in args or "--help" in args:
        print(__doc__)
        sys.exit(0)
    o = {"build": os.path.abspath(os.path.join(HERE, "..", "build")), "count": 1000,
         "rounds": 3, "studies": 20000, "queries": 20, "connections": 1, "cluster": False}
    if args and not args[0].startswith("--"):
        o["build"] = os.path.abspath(args.pop(0))
    names = {"--count": "count", "--rounds": "rounds", "--studies": "studies",
             "--queries": "queries", "--orthanc-connections": "connections"}
    while args:
        opt = args.pop(0)
        if opt == "--cluster":
            o["cluster"] = True
        elif opt in names and args:
            o[names[opt]] = int(args.pop(0))
        else:
            sys.exit("unknown option %s (see --help)" % opt)
    return o


# -- CPU of process trees ------------------------------------------------

def tree_cpu(pid):
    """CPU seconds of process pid (every thread), of its children that it
    has reaped (which holds theirs in turn) and of its live descendants.
    The children are listed before the parent is read, so a child reaped
    in between is never lost (it may count twice: the measures are taken
    once the trees have gone quiet, see settle). The storeserver waits for
    its association workers, the postmaster for its backends: a child
    reaped without a wait would be missing from its parent's count."""
    kids = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                kids += [int(k) for k in f.read().split()]
    except OSError:
        pass
    total = sum(tree_cpu(k) for k in kids)
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return total
    # utime, stime, cutime, cstime
    return total + sum(int(x) for x in fields[11:15]) / TICK


def cpu_of(roots):
    return [tree_cpu(p) for p in roots]


def settle(roots, timeout=30.0):
    """Waits until the trees stop using CPU (less than a tick in each half
    second, twice in a row, or timeout): their counts then."""
    last = cpu_of(roots)
    still = 0
    deadline = time.time() + timeout
    while still < 2 and time.time() < deadline:
        time.sleep(0.5)
        now = cpu_of(roots)
        still = still + 1 if sum(now) - sum(last) < 1.5 / TICK else 0
        last = now
    return last


def postmaster_pid(pg):
    with open(os.path.join(pg.data, "postmaster.pid")) as f:
        return int(f.readline())


# -- the images ---------------------------------------------------------

def slices(top, count):
    os.makedirs(top, exist_ok=True)
    paths = []
    for i in range(count):
        study = "%s.1.%d" % (ROOT, i // PER_STUDY)
        series = study + ".1"
        paths.append(vt.make_dataset(
            os.path.join(top, "%05d.dcm" % i), study, series, "%s.%d" % (series, i),
            patient_name="CTSON^P%d" % (i // PER_STUDY), patient_id="CT%d" % (i // PER_STUDY),
            pixels=SLICE, sop_class=CT, extra={"InstanceNumber": str(i % PER_STUDY + 1)}))
    return paths


def patient_name(i):
    a, b = divmod(i % 676, 26)
    return "%c%cSON^P%06d" % (65 + a, 65 + b, i)


def tiny_studies(top, n):
    """n one-image studies, in SENDERS folders (one a sender)."""
    import pydicom
    os.makedirs(top, exist_ok=True)
    template = vt.make_dataset(os.path.join(top, "template.dcm"), "1.2", "1.2.1", "1.2.1.1",
                               pixels=8)
    ds = pydicom.dcmread(template)
    os.unlink(template)
    dirs = [os.path.join(top, "s%d" % k) for k in range(SENDERS)]
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    for i in range(n):
        study = "%s.2.%d" % (ROOT, i)
        ds.StudyInstanceUID = study
        ds.SeriesInstanceUID = study + ".1"
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = study + ".1.1"
        ds.PatientName = patient_name(i)
        ds.PatientID = "ID%06d" % i
        ds.AccessionNumber = "A%06d" % i
        ds.save_as(os.path.join(dirs[i % SENDERS], "%06d.dcm" % i), write_like_original=False)
    return dirs


# -- the receivers ------------------------------------------------------

class ClusterRefused(Exception):
    """The cluster node cannot be measured: why."""


class OrthancSide:
    label = "Orthanc+PostgreSQL"

    def __init__(self, tmp, pg, connections, serial):
        self.database = "orthanc%d" % serial
        pg.psql("CREATE DATABASE %s" % self.database, db="postgres")
        self.o = Orthanc(tmp, postgres={"host": "127.0.0.1", "port": pg.port,
                                        "database": self.database, "username": "velto",
                                        "connections": connections},
                         extra={"DicomThreadsCount": SENDERS,
                                "DicomModalities": {"bench": ["BENCH", "127.0.0.1", 104]}})
        plugins = self.o.call("GET", "/plugins")
        if "postgresql-index" not in plugins:
            raise RuntimeError("Orthanc runs without its PostgreSQL index (plugins %r): %s"
                               % (plugins, self.o.log_tail()))
        self.port, self.aet, self.roots = self.o.port, "ORTHANC", [self.o.pid]

    def instances(self):
        return self.o.call("GET", "/statistics")["CountInstances"]

    def stop(self):
        self.o.stop()


class OursSide:
    label = "ours (single host)"

    def __init__(self, tmp):
        self.srv = vt.Server(root=tempfile.mkdtemp(dir=tmp))
        self.port, self.aet, self.roots = self.srv.port, self.srv.aetitle, [self.srv.proc.pid]

    def instances(self):
        return None

    def stop(self):
        self.srv.stop()


class ClusterSide:
    """One cluster node: the Cluster file names a fresh database of the
    bench's PostgreSQL, the ObjectTier a fresh bucket of the gateway."""

    def __init__(self, tmp, pg, ceph, ack, serial):
        from cephcluster import ACCESS_KEY, REGION, SECRET_KEY
        self.label = "ours (cluster, ack %s)" % ack
        self.pg, self.database = pg, "cluster%d" % serial
        pg.psql("CREATE DATABASE %s" % self.database, db="postgres")
        bucket = "bench%d" % serial
        code, body = ceph.curl("PUT", "/" + bucket)
        if code != 200:
            raise RuntimeError("the gateway refused the bucket: %d %r" % (code, body[:300]))
        self.srv = vt.Server(root=tempfile.mkdtemp(dir=tmp), start=False)
        etc = self.srv.etc
        with open(os.path.join(etc, "tier.key"), "w") as f:
            f.write("access-key %s\nsecret-key %s\n" % (ACCESS_KEY, SECRET_KEY))
        os.chmod(os.path.join(etc, "tier.key"), 0o600)
        with open(os.path.join(etc, "ObjectTier"), "w") as f:
            f.write("endpoint %s\nbucket %s\nregion %s\ncredentials tier.key\n"
                    % (ceph.endpoint, bucket, REGION))
        conninfo = "host=127.0.0.1 port=%d dbname=%s user=velto connect_timeout=5" % (
            pg.port, self.database)
        with open(os.path.join(etc, "Cluster"), "w") as f:
            f.write("database %s\nnode bench1\nack %s\nlease 5s\npoll 500ms\n" % (conninfo, ack))
        try:
            self.srv.start(answered=True)
        except AssertionError as e:
            self.srv.stop()
            raise ClusterRefused("the cluster node did not start (its Cluster file refused?): "
                                 "%s\nits log: %s" % (e, self.srv.log()[-1500:]))
        self.port, self.aet = self.srv.port, self.srv.aetitle
        self.roots = [self.srv.proc.pid]

    def instances(self):
        """The images the node recorded in the shared database."""
        try:
            return int(self.pg.psql("SELECT count(*) FROM velto_instances", db=self.database))
        except RuntimeError:
            return 0

    def stop(self):
        self.srv.stop()


# -- clients ------------------------------------------------------------

def storescu(port, aet, paths):
    """Sends paths (files, or one folder) over one association, going on
    past refused images: the refused ones as [(path, status)]. Anything
    else that goes wrong (no association, an answer missing) is raised."""
    env = dict(os.environ, TCP_NODELAY="1")
    p = subprocess.run(["storescu", "-v", "--no-halt", "-aet", "BENCH", "-aec", aet] +
                       (["+sd"] if len(paths) == 1 and os.path.isdir(paths[0]) else []) +
                       ["127.0.0.1", str(port)] + paths,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    sent, refused, answered = None, [], 0
    for line in p.stderr.splitlines():
        if line.startswith("I: Sending file: "):
            sent = line[len("I: Sending file: "):]
        elif line.startswith("I: Received Store Response ("):
            answered += 1
            status = line[len("I: Received Store Response ("):-1]
            if status != "Success":
                refused.append((sent, status))
    files = len(os.listdir(paths[0])) if len(paths) == 1 and os.path.isdir(paths[0]) \
        else len(paths)
    if answered != files or any(x.startswith(("E:", "F:")) for x in p.stderr.splitlines()):
        bad = [x for x in p.stderr.splitlines() if x.startswith(("E:", "F:", "W:"))]
        raise RuntimeError("storescu into %s failed (exit %d, %d of %d answered): %s" % (
            aet, p.returncode, answered, files, "\n".join(bad[-10:])))
    return refused


def send(side, batches):
    """Sends every batch over its own association, all at once, then what
    was refused again over one association, until all is taken (as a
    modality would): (seconds in all, the refusals [(path, status)])."""
    errors, refused = [], []

    def one(batch):
        try:
            refused.extend(storescu(side.port, side.aet, batch))
        except RuntimeError as e:
            errors.append(e)

    threads = [threading.Thread(target=one, args=(b,)) for b in batches]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    again, passes = refused, 0
    while again:
        passes += 1
        if passes > 5:
            raise RuntimeError("%s still refuses %d images after 5 passes: %r"
                               % (side.label, len(again), again[:3]))
        again = storescu(side.port, side.aet, [path for path, _ in again])
        refused.extend(again)
    return time.perf_counter() - start, refused


def refusals(refused):
    """'; N refused (statuses), sent again' or ''."""
    if not refused:
        return ""
    counts = {}
    for _, status in refused:
        counts[status] = counts.get(status, 0) + 1
    return "; %d stores refused (%s), sent again" % (
        len(refused), ", ".join("%s %d" % kv for kv in sorted(counts.items())))


def findscu(side, keys, outdir):
    """(seconds, answers as pydicom data sets) of one study-level C-FIND."""
    import pydicom
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    cmd = ["findscu", "-S", "-aet", "BENCH", "-aec", side.aet, "-X", "-od", outdir,
           "-k", "QueryRetrieveLevel=STUDY"]
    named = [x.split("=")[0] for x in keys]
    for k in keys + [k for k in FIND_KEYS if k not in named]:
        cmd += ["-k", k]
    cmd += ["127.0.0.1", str(side.port)]
    env = dict(os.environ, TCP_NODELAY="1")
    start = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=env)
    took = time.perf_counter() - start
    if p.returncode != 0:
        raise RuntimeError("findscu at %s failed: %s" % (side.aet, p.stderr[-500:]))
    return took, [pydicom.dcmread(os.path.join(outdir, n), force=True)
                  for n in sorted(os.listdir(outdir))]


class OpenFinder:
    """Study-level C-FIND on one association held open (odil's client):
    the time of a query alone, without a client's start and association."""

    def __init__(self, side):
        import odil
        self.odil = odil
        model = odil.registry.StudyRootQueryRetrieveInformationModelFind
        pc = odil.AssociationParameters.PresentationContext(
            1, model, [odil.registry.ExplicitVRLittleEndian],
            odil.AssociationParameters.PresentationContext.Role.SCU)
        self.assoc = odil.Association()
        self.assoc.set_peer_host("127.0.0.1")
        self.assoc.set_peer_port(side.port)
        self.assoc.update_parameters().set_calling_ae_title("BENCH") \
            .set_called_ae_title(side.aet).set_presentation_contexts([pc])
        self.assoc.associate()
        self.scu = odil.FindSCU(self.assoc)
        self.scu.set_affected_sop_class(model)

    def find(self, keys):
        """(seconds, [(PatientID, PatientName)]) of one query."""
        odil = self.odil
        query = odil.DataSet()
        query.add(odil.registry.QueryRetrieveLevel, ["STUDY"])
        named = [x.split("=")[0] for x in keys]
        for k in keys + [k for k in FIND_KEYS if k not in named]:
            name, _, value = k.partition("=")
            if value:
                query.add(getattr(odil.registry, name), [value])
            else:
                query.add(getattr(odil.registry, name))
        start = time.perf_counter()
        found = self.scu.find(query)
        took = time.perf_counter() - start

        def text(ds, tag):
            return ds.as_string(tag)[0].decode() if ds.has(tag) and ds.size(tag) else ""
        return took, [(text(d, odil.registry.PatientID), text(d, odil.registry.PatientName))
                      for d in found]

    def close(self):
        self.assoc.release()


def studies_instances(side, count):
    """Images counted by study-level C-FIND (NumberOfStudyRelatedInstances)
    of the storing rounds' studies."""
    total = 0
    for s in range((count + PER_STUDY - 1) // PER_STUDY):
        _, found = findscu(side, ["StudyInstanceUID=%s.1.%d" % (ROOT, s),
                                  "NumberOfStudyRelatedInstances"],
                           os.path.join(side.tmp, "count"))
        total += sum(int(d.get("NumberOfStudyRelatedInstances", 0) or 0) for d in found)
    return total


# -- the runs -----------------------------------------------------------

def store_round(tmp, make, batches, count, pgpid, extra_roots=()):
    """One run into an empty receiver: (seconds, receiver CPU, database CPU,
    other CPU, stores refused and sent again)."""
    os.sync()
    side = make()
    side.tmp = tempfile.mkdtemp(dir=tmp)
    try:
        roots = side.roots + [pgpid] + list(extra_roots)
        before = settle(roots, timeout=10)
        took, refused = send(side, batches)
        after = settle(roots)
        stored = studies_instances(side, count)
        if stored != count:
            raise RuntimeError("%s answers %d of the %d images" % (side.label, stored, count))
        recorded = side.instances()
        if recorded is not None and recorded != count:
            if isinstance(side, ClusterSide):
                raise ClusterRefused(
                    "the cluster node kept its images' records out of the shared database "
                    "(velto_instances holds %d of %d): this build's storeserver does not run "
                    "its index on PostgreSQL in a cluster yet" % (recorded, count))
            raise RuntimeError("%s holds %d of the %d images" % (side.label, recorded, count))
        n = len(side.roots)
        delta = [a - b for a, b in zip(after, before)]
        return took, sum(delta[:n]), delta[n], sum(delta[n + 1:]), len(refused)
    finally:
        side.stop()


def summary(name, runs, count):
    """Prints one side's storing figures; (best rate, median CPU ms per image)."""
    rates = [count / r[0] for r in runs]
    own = statistics.median(r[1] for r in runs) * 1000 / count
    db = statistics.median(r[2] for r in runs) * 1000 / count
    extra = statistics.median(r[3] for r in runs) * 1000 / count
    refused = sum(r[4] for r in runs)
    print("  %-28s best %6.0f images/s, median %6.0f; CPU per image %5.2f ms + PostgreSQL "
          "%5.2f ms = %5.2f ms%s%s" % (name, max(rates), statistics.median(rates), own, db,
                                       own + db, ", Ceph %.2f ms" % extra if extra else "",
                                       "; %d stores refused in all rounds, sent again" % refused
                                       if refused else ""))
    return max(rates), own + db


def store_bench(o, tmp, pg, ceph):
    files = slices(os.path.join(tmp, "slices"), o["count"])
    per = (len(files) + SENDERS - 1) // SENDERS
    batches = [files[k * per:(k + 1) * per] for k in range(SENDERS)]
    pgpid = postmaster_pid(pg)
    serial = [0]

    def orthanc():
        serial[0] += 1
        return OrthancSide(tmp, pg, o["connections"], serial[0])

    def cluster(ack):
        def make():
            serial[0] += 1
            return ClusterSide(tmp, pg, ceph, ack, serial[0])
        return make

    cases = [("Orthanc+PostgreSQL", orthanc, ()), ("ours (single host)",
                                                   lambda: OursSide(tmp), ())]
    if ceph is not None:
        cephroots = [p.pid for p in ceph.procs.values()]
        cases += [("ours (cluster, ack local)", cluster("local"), cephroots),
                  ("ours (cluster, ack shared)", cluster("shared"), cephroots)]
    runs = {name: [] for name, _, _ in cases}
    refused = None
    for r in range(o["rounds"]):
        for name, make, extra in (cases if r % 2 == 0 else cases[::-1]):
            if refused and name.startswith("ours (cluster"):
                continue
            try:
                runs[name].append(store_round(tmp, make, batches, o["count"], pgpid, extra))
            except ClusterRefused as e:
                refused = str(e)
    cases = [c for c in cases if runs[c[0]]]
    print("C-STORE, %d slices of %d kB in %d studies, %d concurrent senders, %d rounds "
          "(Orthanc's index plugin with %d connection(s)):"
          % (o["count"], SLICE * SLICE // 1000, (o["count"] + PER_STUDY - 1) // PER_STUDY,
             SENDERS, o["rounds"], o["connections"]))
    figures = {name: summary(name, runs[name], o["count"]) for name, _, _ in cases}
    rate0, cpu0 = figures["Orthanc+PostgreSQL"]
    for name, _, _ in cases[1:]:
        rate, cpu = figures[name]
        print("  %-28s rate ours / Orthanc's %.2f; CPU per image Orthanc's / ours %.2f"
              % (name, rate / rate0, cpu0 / cpu))
    return refused


def timed_load(side, dirs, n):
    """(images/s, what to say of the refusals)."""
    took, refused = send(side, [[d] for d in dirs])
    return n / took, refusals(refused)


def find_bench(o, tmp, pg):
    n = o["studies"]
    start = time.time()
    dirs = tiny_studies(os.path.join(tmp, "tiny"), n)
    print("C-FIND at %d one-image studies (files made in %.0f s):" % (n, time.time() - start))
    orth = ours = None
    try:
        orth = OrthancSide(tmp, pg, o["connections"], 1000)
        orth.tmp = tempfile.mkdtemp(dir=tmp)
        ours = OursSide(tmp)
        ours.tmp = tempfile.mkdtemp(dir=tmp)
        os.sync()
        rate_o, said_o = timed_load(orth, dirs, n)
        os.sync()
        rate_v, said_v = timed_load(ours, dirs, n)
        if orth.instances() != n:
            raise RuntimeError("Orthanc holds %d of the %d images" % (orth.instances(), n))
        print("  loaded through %d storescu each: Orthanc+PostgreSQL %.0f images/s%s; "
              "ours %.0f images/s%s; ours / Orthanc's %.2f" % (SENDERS, rate_o, said_o, rate_v,
                                                              said_v, rate_v / rate_o))
        sides = [orth, ours]
        ab = len(range(1, n, 676))
        picks = [(k * 7919 + 13) % n for k in range(o["queries"])]
        times = {(s, q): [] for s in sides for q in ("id", "ab", "id open", "ab open")}
        open_finders = {s: OpenFinder(s) for s in sides}

        def check(s, what, answers, want):
            if answers != want:
                raise RuntimeError("%s answered %s with %r, not %r"
                                   % (s.label, what, answers[:5], want[:5]))

        for r, i in enumerate(picks):
            pid = "ID%06d" % i
            for s in (sides if r % 2 == 0 else sides[::-1]):
                took, found = findscu(s, ["PatientID=" + pid], os.path.join(s.tmp, "f"))
                check(s, pid, [str(d.get("PatientID", "")) for d in found], [pid])
                times[(s, "id")].append(took)
                took, found = findscu(s, ["PatientName=AB*"], os.path.join(s.tmp, "f"))
                names = [str(d.get("PatientName", ""))[:2] for d in found]
                check(s, "AB*", names, ["AB"] * ab)
                times[(s, "ab")].append(took)
                took, found = open_finders[s].find(["PatientID=" + pid])
                check(s, pid, [x[0] for x in found], [pid])
                times[(s, "id open")].append(took)
                took, found = open_finders[s].find(["PatientName=AB*"])
                check(s, "AB*", [x[1][:2] for x in found], ["AB"] * ab)
                times[(s, "ab open")].append(took)
        for f in open_finders.values():
            f.close()

        def ms(v):
            return "best %6.2f ms, median %6.2f ms" % (min(v) * 1000,
                                                      statistics.median(v) * 1000)
        for q, what in (("id", "PatientID=ID... (1 match)"),
                        ("ab", "PatientName=AB* (%d matches)" % ab)):
            print("  %s, %d queries each:" % (what, o["queries"]))
            for kind, how in (("", "findscu (start, association, query)"),
                              (" open", "the query alone, on an open association")):
                print("    %s:" % how)
                for s in sides:
                    print("      %-22s %s" % (s.label, ms(times[(s, q + kind)])))
                print("      Orthanc's / ours: best %.2f, median %.2f"
                      % (min(times[(orth, q + kind)]) / min(times[(ours, q + kind)]),
                         statistics.median(times[(orth, q + kind)])
                         / statistics.median(times[(ours, q + kind)])))
    finally:
        for s in (orth, ours):
            if s is not None:
                s.stop()


def main():
    o = options()
    vt.require_private_netns()
    os.environ["VELTO_BUILD"] = o["build"]
    vt.STORESERVER = os.path.join(o["build"], "server", "storeserver")
    if not os.path.exists(vt.STORESERVER):
        sys.exit("no storeserver in %s: build first" % o["build"])
    tmp = tempfile.mkdtemp(prefix="bench-orthanc-pg-")
    pg = ceph = refused = None
    try:
        pg = PgServer(fsync=True)
        pg.start()
        if o["cluster"]:
            from cephcluster import CephCluster
            ceph = CephCluster(os.path.join(tmp, "ceph"))
            ceph.start()
        refused = store_bench(o, tmp, pg, ceph)
        if o["studies"] > 0:
            find_bench(o, tmp, pg)
    finally:
        if ceph is not None:
            ceph.stop()
        if pg is not None:
            pg.destroy()
        shutil.rmtree(tmp, ignore_errors=True)
    if refused:
        print("--cluster: " + refused, file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()

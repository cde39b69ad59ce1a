"""De-identification of a 1,000-image study: ours (storeindex deidentify
--to-archive, a copy into the archive as a new study) against Orthanc's
/studies/{id}/anonymize (Orthanc 1.10 from its Debian package, on the
same machine, its HTTP server on loopback).

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/deidentify_orthanc.py [BUILD_DIR] [--count N]
        [--rounds N]

BUILD_DIR defaults to ./build; --count the images (default 1000, CT-sized
slices of 39 kB with the usual identifying attributes); --rounds (default
3) how often each is timed, taking turns, the best and the median printed.
Both write a new study of the same size: ours through the archive's ingest
(index, checksums, each image's file flushed as the server's are), Orthanc
into its storage and SQLite index. Between our rounds the site's key is
removed, so that each round makes new UIDs and writes every image (with
the same key the copy exists already and is kept). The ratio printed is
Orthanc's best time over ours: above 1, ours is faster.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib"))
import veltotest as vt  # noqa: E402

ORTHANC = shutil.which("Orthanc") or "/usr/sbin/Orthanc"
STUDY = "1.2.826.0.1.3680043.10.544.77"


def images(top, n):
    paths = []
    for i in range(n):
        series = STUDY + ".%d" % (1 + i // 250)
        paths.append(vt.make_dataset(
            os.path.join(top, "%05d.dcm" % i), STUDY, series, "%s.%d" % (series, i),
            patient_name="DOE^JOHN^Q", patient_id="MRN0042", pixels=198,
            sop_class="1.2.840.10008.5.1.4.1.1.2",
            extra={"InstitutionName": "ST ELSEWHERE", "OperatorsName": "OPERATOR^ONE",
                   "StationName": "CT01", "FrameOfReferenceUID": STUDY + ".9",
                   "InstanceNumber": str(i + 1), "BurnedInAnnotation": "NO"}))
    return paths


def postgres_plugin():
    """The path of Orthanc's PostgreSQL index plugin, from the file list of
    Debian's orthanc-postgresql package (None when it is not installed)."""
    p = subprocess.run(["dpkg", "-L", "orthanc-postgresql"], capture_output=True, text=True)
    found = [line for line in p.stdout.split("\n")
             if line.startswith("/usr/share/orthanc/plugins/")
             and line.endswith("/libOrthancPostgreSQLIndex.so")]
    return found[0] if p.returncode == 0 and found else None


class Orthanc:
    """Orthanc 1.10 with its index in SQLite, or with postgres (a dict:
    host, port, database, username; optionally connections, the index
    plugin's connection pool) in a PostgreSQL database through Debian's
    plugin, the images in files either way. extra: more settings of its
    configuration file."""

    def __init__(self, tmp, postgres=None, extra=None):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        self.http = vt.free_port()
        config = os.path.join(self.dir, "orthanc.json")
        settings = {"Name": "bench", "StorageDirectory": os.path.join(self.dir, "storage"),
                    "IndexDirectory": os.path.join(self.dir, "index"),
                    "DicomAet": "ORTHANC", "DicomPort": self.port,
                    "DicomCheckCalledAet": False, "DicomAlwaysAllowStore": True,
                    "HttpServerEnabled": True, "HttpPort": self.http,
                    "RemoteAccessAllowed": False, "AuthenticationEnabled": False,
                    "StorageCompression": False, "Plugins": [], "SaveJobs": False,
                    "HttpTimeout": 3600}
        if postgres is not None:
            plugin = postgres_plugin()
            if plugin is None:
                raise RuntimeError("Orthanc's PostgreSQL index plugin is not installed "
                                   "(Debian package orthanc-postgresql: scripts/install-deps)")
            settings["Plugins"] = [plugin]
            settings["PostgreSQL"] = {
                "EnableIndex": True, "EnableStorage": False,
                "Host": postgres["host"], "Port": postgres["port"],
                "Database": postgres["database"], "Username": postgres["username"],
                "Password": postgres.get("password", ""),
                "IndexConnectionsCount": postgres.get("connections", 1)}
        settings.update(extra or {})
        with open(config, "w") as f:
            json.dump(settings, f)
        self.log = open(os.path.join(self.dir, "orthanc.log"), "w")
        # Without TCP_NODELAY=1 the toolkit Orthanc is built on leaves
        # Nagle's algorithm on, and each response may wait for the peer's
        # delayed acknowledgement.
        self.proc = subprocess.Popen([ORTHANC, config], stdout=self.log,
                                     stderr=subprocess.STDOUT,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: (vt.port_open(self.port) and vt.port_open(self.http))
                    or self.proc.poll() is not None, 60, what="Orthanc to listen")
        if self.proc.poll() is not None:
            raise RuntimeError("Orthanc ended with %s: %s" % (self.proc.returncode,
                                                              self.log_tail()))

    @property
    def pid(self):
        return self.proc.pid

    def log_tail(self, size=2000):
        with open(os.path.join(self.dir, "orthanc.log"), errors="replace") as f:
            return f.read()[-size:]

    def call(self, method, path, body=None):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.http, path), method=method,
                                     data=None if body is None else json.dumps(body).encode())
        with urllib.request.urlopen(req, timeout=3600) as r:
            return json.loads(r.read() or b"null")

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.log.close()


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args.pop(0)) if args and not args[0].startswith("--") else \
        os.path.abspath("build")
    count, rounds = 1000, 3
    while args:
        opt = args.pop(0)
        if opt == "--count":
            count = int(args.pop(0))
        elif opt == "--rounds":
            rounds = int(args.pop(0))
        else:
            sys.exit("unknown option %s" % opt)
    vt.require_private_netns()
    os.environ["VELTO_BUILD"] = build
    vt.STORESERVER = os.path.join(build, "server", "storeserver")
    storeindex = os.path.join(build, "storeindex", "storeindex")
    tmp = tempfile.mkdtemp(prefix="bench-deid-")
    srv = orth = None
    try:
        os.makedirs(os.path.join(tmp, "in"))
        files = images(os.path.join(tmp, "in"), count)
        srv = vt.Server(root=os.path.join(tmp, "velto"))
        p = srv.storescu(files, timeout=3600)
        if p.returncode != 0:
            sys.exit("storescu into storeserver failed: %s" % p.stderr[-500:])
        orth = Orthanc(tmp)
        p = subprocess.run(["storescu", "-aet", "BENCH", "-aec", "ORTHANC", "127.0.0.1",
                            str(orth.port)] + files, capture_output=True, text=True)
        if p.returncode != 0:
            sys.exit("storescu into Orthanc failed: %s" % p.stderr[-500:])
        studies = orth.call("GET", "/studies")
        if len(studies) != 1:
            sys.exit("Orthanc holds %d studies" % len(studies))
        study = studies[0]
        ours, theirs = [], []
        for r in range(rounds):
            # Taking turns, the first to go changing from round to round.
            order = ["ours", "orthanc"] if r % 2 == 0 else ["orthanc", "ours"]
            for who in order:
                subprocess.run(["sync"])
                if who == "ours":
                    key = os.path.join(srv.basedir, "DeidentifyKey")
                    if os.path.exists(key):
                        os.unlink(key)
                    start = time.time()
                    p = subprocess.run([storeindex, "deidentify", "--to-archive", STUDY,
                                        srv.basedir], capture_output=True, text=True,
                                       env=srv.env)
                    ours.append(time.time() - start)
                    words = p.stdout.split()
                    if p.returncode != 0 or words[:2] != ["copied", str(count)]:
                        sys.exit("storeindex deidentify: %s %s" % (p.stdout, p.stderr))
                else:
                    start = time.time()
                    answer = orth.call("POST", "/studies/%s/anonymize" % study, {})
                    theirs.append(time.time() - start)
                    if "ID" not in answer:
                        sys.exit("Orthanc's anonymize answered %r" % answer)
        print("%d images, %d rounds" % (count, rounds))
        print("ours (storeindex deidentify --to-archive): best %.2f s, median %.2f s "
              "(%.0f images/s)" % (min(ours), statistics.median(ours), count / min(ours)))
        print("Orthanc /studies/{id}/anonymize:          best %.2f s, median %.2f s "
              "(%.0f images/s)" % (min(theirs), statistics.median(theirs), count / min(theirs)))
        print("ratio Orthanc / ours (best): %.2f; (median): %.2f"
              % (min(theirs) / min(ours), statistics.median(theirs) / statistics.median(ours)))
    finally:
        if orth is not None:
            orth.stop()
        if srv is not None:
            srv.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

"""A JPEG 2000 study served beside Orthanc (Debian package, with Debian's
GDCM plugin orthanc-gdcm decoding JPEG 2000), in one run:

- rendered: each image's rendered answer (ours: storeweb's WADO-RS
  .../instances/{uid}/rendered; Orthanc's /instances/{id}/frames/0/rendered);
- frames: each image's first frame (ours: WADO-RS .../frames/1 with Accept
  application/octet-stream, decoded; Orthanc, without its DICOMweb plugin:
  /instances/{id}/frames/0/raw, which is the stored codestream undecoded,
  and /instances/{id}/frames/0/image-uint16, decoded and made a PNG);
- C-MOVE of the study to a storescp that takes only uncompressed syntaxes
  (ours and Orthanc's, each asked by movescu as a C-MOVE SCP).

Every request goes through curl (one process per request for both), so
both carry the same client cost. Prints the times and the ratios
(Orthanc / velto: above 1, velto is faster).

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/j2k_orthanc.py [BUILD_DIR] [--count N]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
import veltotest as vt  # noqa: E402
import compress_orthanc as co  # noqa: E402

GDCM_PLUGIN = "/usr/share/orthanc/plugins/libOrthancGdcm.so"
STUDY = "1.2.826.0.1.3680043.10.544.39"


def curl(url, accept=None):
    cmd = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", url]
    if accept:
        cmd += ["-H", "Accept: " + accept]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    if p.stdout != "200":
        raise RuntimeError("GET %s: %s" % (url, p.stdout))


def storescu(port, called, files):
    # -xv: JPEG 2000 lossless proposed, the files sent as they are.
    p = subprocess.run(["storescu", "-xv", "-aet", "BENCH", "-aec", called, "127.0.0.1",
                        str(port)] + files, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True, env=dict(os.environ, TCP_NODELAY="1"))
    if p.returncode != 0:
        raise RuntimeError("storescu: " + p.stderr[-500:])


def timed(urls, accept=None):
    start = time.time()
    for u in urls:
        curl(u, accept)
    return time.time() - start


class OrthancGdcm:
    def __init__(self, tmp, dest):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port, self.http = vt.free_port(), vt.free_port()
        config = os.path.join(self.dir, "orthanc.json")
        settings = {"Name": "bench", "StorageDirectory": os.path.join(self.dir, "storage"),
                    "IndexDirectory": os.path.join(self.dir, "index"),
                    "DicomAet": "ORTHANC", "DicomPort": self.port,
                    "DicomCheckCalledAet": False, "DicomAlwaysAllowStore": True,
                    "DicomAlwaysAllowMove": True, "DicomAlwaysAllowFind": True,
                    "DicomModalities": {"PLAIN": [dest.aetitle, "127.0.0.1", dest.port],
                                        "REQ": ["REQ", "127.0.0.1", dest.port]},
                    "HttpServerEnabled": True, "HttpPort": self.http,
                    "RemoteAccessAllowed": False, "AuthenticationEnabled": False,
                    "StorageCompression": False, "Plugins": [GDCM_PLUGIN],
                    "SaveJobs": False}
        with open(config, "w") as f:
            json.dump(settings, f)
        self.log = open(os.path.join(self.dir, "orthanc.log"), "w")
        self.proc = subprocess.Popen([co.ORTHANC, config], stdout=self.log,
                                     stderr=subprocess.STDOUT,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: (vt.port_open(self.port) and vt.port_open(self.http))
                    or self.proc.poll() is not None, 30, what="Orthanc to listen")
        if self.proc.poll() is not None:
            raise RuntimeError("Orthanc ended with %s" % self.proc.returncode)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.http, path)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def move(port, called, dest):
    start = time.time()
    p, responses = vt.movescu(port, ["StudyInstanceUID=" + STUDY], dest.aetitle, called=called)
    seconds = time.time() - start
    final = [r for r in responses if r["final"]]
    if not final or (final[0].get("failed") or 0) != 0:
        raise RuntimeError("C-MOVE to %s: %s" % (called, p.stdout[-1500:]))
    return seconds, final[0].get("completed")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--count", type=int, default=20)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["VELTO_BUILD"] = build
    vt.require_private_netns()
    import webharness
    tmp = tempfile.mkdtemp(prefix="velto-bench-j2k-")
    servers = []
    try:
        files = []
        for i in range(args.count):
            plain = co.slice_file(os.path.join(tmp, "ct%03d.dcm" % i), STUDY, i, seed=i)
            j2k = os.path.join(tmp, "j2k%03d.dcm" % i)
            subprocess.run(["gdcmconv", "--j2k", plain, j2k], check=True)
            os.unlink(plain)
            files.append(j2k)
        print("%d JPEG 2000 lossless images (512 x 512, 16 bits), %.1f MB"
              % (len(files), sum(os.path.getsize(f) for f in files) / 1e6))
        import pydicom
        uids = [(str(d.SeriesInstanceUID), str(d.SOPInstanceUID)) for d in
                (pydicom.dcmread(f, stop_before_pixels=True) for f in files)]

        # velto
        dest = vt.StoreSCP(tmp, aetitle="PLAIN")  # uncompressed syntaxes only
        servers.append(dest)
        srv = vt.Server(args=[], root=tempfile.mkdtemp(dir=tmp), aetmap=dest.map_line())
        servers.append(srv)
        # Stored as they are by the tests' client (not timed).
        client = os.path.join(build, "tests", "server", "velto_assoc_client")
        for f in files:
            p = vt.run([client, "127.0.0.1:%d" % srv.port, "BENCH", srv.aetitle, "storeraw", f])
            if "STORE 0x0000" not in p.stdout:
                raise RuntimeError("store: " + p.stdout + p.stderr)
        web = webharness.Web(srv)
        servers.append(web)
        base = "%s/dicom-web/studies/%s" % (web.url, STUDY)
        inst = ["%s/series/%s/instances/%s" % (base, se, sop) for se, sop in uids]
        ours = {"rendered": timed([u + "/rendered" for u in inst]),
                "frames": timed([u + "/frames/1" for u in inst], "application/octet-stream")}
        ours["move"], done = move(srv.port, srv.aetitle, dest)
        if done != len(files):
            raise RuntimeError("velto moved %s of %d" % (done, len(files)))

        # Orthanc with GDCM
        dest2 = vt.StoreSCP(tmp, aetitle="PLAIN")
        servers.append(dest2)
        o = OrthancGdcm(tmp, dest2)
        servers.append(o)
        storescu(o.port, "ORTHANC", files)
        p = subprocess.run(["curl", "-s", o.url("/instances")], capture_output=True, timeout=60)
        ids = json.loads(p.stdout)
        theirs = {"rendered": timed([o.url("/instances/%s/frames/0/rendered" % i) for i in ids]),
                  "raw": timed([o.url("/instances/%s/frames/0/raw" % i) for i in ids]),
                  "image-uint16": timed([o.url("/instances/%s/frames/0/image-uint16" % i)
                                         for i in ids])}
        theirs["move"], done = move(o.port, "ORTHANC", dest2)
        decoded = [f for f in dest2.files() if f.endswith("")]
        print("velto:   rendered %.3f s, frames (decoded) %.3f s, C-MOVE %.3f s"
              % (ours["rendered"], ours["frames"], ours["move"]))
        print("Orthanc: rendered %.3f s, frames/0/raw (undecoded) %.3f s, image-uint16 "
              "(decoded, PNG) %.3f s, C-MOVE %.3f s (%s images received)"
              % (theirs["rendered"], theirs["raw"], theirs["image-uint16"], theirs["move"],
                 len(decoded)))
        print("ratios Orthanc/velto: rendered %.2f, frames (decoded vs image-uint16) %.2f, "
              "frames (decoded vs raw) %.2f, C-MOVE %.2f"
              % (theirs["rendered"] / ours["rendered"], theirs["image-uint16"] / ours["frames"],
                 theirs["raw"] / ours["frames"], theirs["move"] / ours["move"]))
    finally:
        for s in reversed(servers):
            try:
                s.stop()
            except Exception:
                pass
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

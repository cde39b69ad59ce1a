"""Object tier throughput: 1,000 images in 10 studies moved into the tier
(a single-node Ceph cluster with a RADOS Gateway on loopback) by
`storeindex tier`, then retrieved by C-MOVE from the tier with an empty
cache, again with the copies cached, beside the same studies retrieved from
local files, in one run.

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/tier_throughput.py [BUILD_DIR] [IMAGES_PER_STUDY]

BUILD_DIR defaults to ./build, IMAGES_PER_STUDY to 100 (10 studies). Each
image is 256 KiB of 8-bit pixels (random, so nothing compresses). The
destination is dcmtk's storescp with --ignore (it receives every byte and
writes nothing), so the figures are the archive's and the tier's. Each
retrieval is one movescu run per study; the rate counts all 10. Printed:
images/s and MB/s for the move out, the local retrieval, the cold and the
warm retrieval from the tier. Then every one of the 1,000 images is
retrieved from the tier once more by C-MOVE (to a storescp that keeps the
files), C-GET and WADO-RS, and compared byte for byte (the data set after
the meta header) with what was sent; the run fails on any difference.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
PER_STUDY = int(sys.argv[2]) if len(sys.argv) > 2 else 100
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from cephcluster import ACCESS_KEY, REGION, SECRET_KEY, CephCluster  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
STOREINDEX = os.path.join(BUILD, "storeindex", "storeindex")
ROOT = "1.2.826.0.1.3680043.10.545.77"
STUDIES = ["%s.%d" % (ROOT, s + 1) for s in range(10)]
PIXELS = 512


def make_images(work):
    """Files of every study, one directory per study."""
    dirs = []
    for st in STUDIES:
        d = os.path.join(work, "in", st)
        os.makedirs(d)
        pixels = os.urandom(PIXELS * PIXELS)
        for n in range(PER_STUDY):
            sop = "%s.1.%d" % (st, n + 1)
            vt.make_dataset(os.path.join(d, sop + ".dcm"), st, st + ".1", sop, pixels=PIXELS,
                            extra={"PixelData": pixels})
        dirs.append(d)
    return dirs


def store_bytes(srv):
    return sum(os.path.getsize(p) for p in vt.files_below(os.path.join(srv.basedir, "uid"),
                                                           ".dcm"))


def move_all(srv, scp):
    """Seconds for one C-MOVE per study; asserts every image arrived."""
    start = time.monotonic()
    for st in STUDIES:
        p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + st], scp.aetitle,
                                  called=srv.aetitle)
        final = [r for r in responses if r["final"]][0]
        if final.get("status") != 0 or final.get("completed") != PER_STUDY:
            raise SystemExit("C-MOVE of %s: %s" % (st, final))
    return time.monotonic() - start


def dataset_bytes(path):
    """The bytes of a Part 10 file after its meta header."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[128:132] == b"DICM", path
    (glen,) = struct.unpack("<I", data[140:144])
    return data[144 + glen:]


def verify_all(srv, keep, work, sent):
    """Every image retrieved from the tier by C-MOVE (to keep, a storescp
    that keeps the files), C-GET and WADO-RS equals what was sent (sent:
    instance UID -> data set bytes)."""
    try:
        for st in STUDIES:
            p, responses = vt.movescu(srv.port, ["StudyInstanceUID=" + st], keep.aetitle,
                                      called=srv.aetitle)
            final = [r for r in responses if r["final"]][0]
            assert final.get("status") == 0 and final.get("completed") == PER_STUDY, final
        # storescp names each file by its modality and instance UID.
        moved = {os.path.basename(f).split(".", 1)[1]: dataset_bytes(f) for f in keep.files()}
    finally:
        keep.stop()
    assert moved == sent, "C-MOVE: %d of %d equal" % (
        sum(1 for uid, data in sent.items() if moved.get(uid) == data), len(sent))
    d = tempfile.mkdtemp(dir=work)
    for st in STUDIES:
        p = vt.run(["getscu", "-aet", "GETTER", "-aec", srv.aetitle, "-od", d, "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + st, "127.0.0.1",
                    str(srv.port)], timeout=600)
        assert p.returncode == 0, p.stderr
    got = [dataset_bytes(os.path.join(d, n)) for n in os.listdir(d)]
    assert sorted(got) == sorted(sent.values()), "C-GET: images differ"
    shutil.rmtree(d)
    web_port = vt.free_port()
    web = subprocess.Popen([os.path.join(BUILD, "web", "storeweb"), "-p", str(web_port), "-m",
                            str(srv.monitor_port)], env=srv.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        vt.wait_for(lambda: vt.port_open(web_port), 10, what="storeweb")
        parts = []
        for st in STUDIES:
            out = os.path.join(work, "wado")
            p = vt.run(["curl", "-s", "-o", out, "-D", "-", "-H",
                        'Accept: multipart/related; type="application/dicom"; transfer-syntax=*',
                        "http://127.0.0.1:%d/dicom-web/studies/%s" % (web_port, st)])
            boundary = [x.split("=", 1)[1].strip('"') for line in p.stdout.splitlines()
                        if line.lower().startswith("content-type:")
                        for x in line.split(";") if x.strip().startswith("boundary=")][0]
            with open(out, "rb") as f:
                body = f.read()
            for chunk in body.split(b"--" + boundary.encode())[1:-1]:
                data = chunk.split(b"\r\n\r\n", 1)[1][:-2]
                (glen,) = struct.unpack("<I", data[140:144])
                parts.append(data[144 + glen:])
        assert sorted(parts) == sorted(sent.values()), "WADO-RS: images differ"
    finally:
        vt.stop_process(web)
    print("all %d images equal by C-MOVE, C-GET and WADO-RS from the tier" % len(sent))


def rate(label, seconds, images, nbytes):
    print("%-34s %8.1f images/s %8.1f MB/s  (%d images, %.1f MB, %.2f s)"
          % (label, images / seconds, nbytes / seconds / 1e6, images, nbytes / 1e6, seconds))


def main():
    vt.require_private_netns()
    work = tempfile.mkdtemp(prefix="velto-tierbench-")
    ceph = CephCluster(os.path.join(work, "ceph"))
    srv = scp = keep = None
    try:
        t = time.monotonic()
        ceph.start()
        print("cluster up in %.1f s" % (time.monotonic() - t))
        code, body = ceph.curl("PUT", "/bench")
        assert code == 200, body
        scp = vt.StoreSCP(work, extra=["--ignore"])
        keep = vt.StoreSCP(work, aetitle="KEEPER")
        srv = vt.Server(aetmap=scp.map_line() + keep.map_line(), root=os.path.join(work, "srv"), start=False)
        key = os.path.join(srv.etc, "tier.key")
        with open(key, "w") as f:
            f.write("access-key %s\nsecret-key %s\n" % (ACCESS_KEY, SECRET_KEY))
        os.chmod(key, 0o600)
        with open(os.path.join(srv.etc, "ObjectTier"), "w") as f:
            f.write("endpoint %s\nbucket bench\nregion %s\ncredentials tier.key\nquiet 0s\n"
                    "min-quiet 0s\ncache-size 2G\n" % (ceph.endpoint, REGION))
        srv.start()
        sent = {}
        for d in make_images(work):
            for n in os.listdir(d):
                sent[n[:-4]] = dataset_bytes(os.path.join(d, n))
            p = srv.storescu([os.path.join(d, n) for n in sorted(os.listdir(d))])
            assert p.returncode == 0, p.stderr
        images = len(STUDIES) * PER_STUDY
        nbytes = store_bytes(srv)

        rate("C-MOVE from local files", move_all(srv, scp), images, nbytes)
        t = time.monotonic()
        p = vt.run([STOREINDEX, "tier", srv.basedir], env=srv.env, timeout=3600)
        seconds = time.monotonic() - t
        assert p.returncode == 0, p.stdout + p.stderr
        assert store_bytes(srv) == 0
        rate("move out (storeindex tier)", seconds, images, nbytes)
        rate("C-MOVE from the tier, cold cache", move_all(srv, scp), images, nbytes)
        rate("C-MOVE from the tier, warm cache", move_all(srv, scp), images, nbytes)
        verify_all(srv, keep, work, sent)
    finally:
        if srv is not None:
            srv.stop()
        if scp is not None:
            scp.stop()
        if keep is not None:
            keep.stop()
        ceph.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

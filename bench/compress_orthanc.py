"""Lossless compression to JPEG-LS: storeindex compress against Orthanc's
IngestTranscoding (1.2.840.10008.1.2.4.80) on the same images.

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/compress_orthanc.py [BUILD_DIR] [--count N]

It makes N CT-like slices (512 x 512, 16 bits allocated, 12 stored,
unsigned with an intercept, a body with the noise of a real acquisition) and adds pydicom's CT
and MR samples, then:

- storeserver: the images stored (storescu), then one `storeindex compress
  --quiet 0s` pass timed (wall clock): MB/s of original image bytes, and the
  image files' bytes before and after; once in JPEG-LS and once (a store of
  its own) in HTJ2K lossless (`syntax htj2k-lossless`);
- Orthanc (Debian package, no plugins): the same images stored into one
  Orthanc with IngestTranscoding to JPEG-LS lossless and into one without;
  the compression's cost is the difference of the two ingest times, its
  MB/s the original bytes over that difference; the bytes of its storage
  directory.

It prints both and the ratios (velto / Orthanc).
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import veltotest as vt  # noqa: E402

ORTHANC = shutil.which("Orthanc") or "/usr/sbin/Orthanc"
JLS = "1.2.840.10008.1.2.4.80"


def slice_file(path, study, n, rows=512, cols=512, seed=0):
    import pydicom
    from pydicom.dataset import Dataset, FileMetaDataset
    rnd = random.Random(seed)
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.1"
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study, study + ".1"
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = "%s.1.%d" % (study, n)
    ds.PatientName, ds.PatientID, ds.Modality = "BENCH^COMPRESS", "BC1", "CT"
    ds.Rows, ds.Columns, ds.SamplesPerPixel = rows, cols, 1
    # Unsigned with an intercept, as many scanners store CT: Orthanc 1.10's
    # IngestTranscoding aborts (an assertion of its JPEG-LS library) on
    # signed 12-bit samples below zero.
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.RescaleIntercept, ds.RescaleSlope = -1024, 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.InstanceNumber = n
    out = bytearray()
    gauss = rnd.gauss
    for y in range(rows):
        dy = (y - rows / 2) / rows
        for x in range(cols):
            dx = (x - cols / 2) / cols
            r = dx * dx + dy * dy
            base = -1000 if r > 0.18 else (40 if r > 0.02 else 400)
            v = int(base + 1024 + gauss(0, 12))
            v = max(0, min(4095, v))
            out += (v & 0xFFFF).to_bytes(2, "little")
    ds.PixelData = bytes(out)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    pydicom.dcmwrite(path, ds, write_like_original=False)
    return path


def relabel(src, path, study, n):
    import pydicom
    ds = pydicom.dcmread(src)
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study, "%s.%d" % (study, n)
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = "%s.%d.1" % (study, n)
    ds.save_as(path)
    return path


def storescu(port, called, files):
    p = subprocess.run(["storescu", "-aet", "BENCH", "-aec", called, "127.0.0.1", str(port)]
                       + files, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=dict(os.environ, TCP_NODELAY="1"))
    if p.returncode != 0:
        raise RuntimeError("storescu: " + p.stderr[-500:])


def bytes_below(top, suffix=""):
    total = 0
    for root, _, files in os.walk(top):
        for f in files:
            if f.endswith(suffix):
                total += os.path.getsize(os.path.join(root, f))
    return total


class Orthanc:
    def __init__(self, tmp, transcode):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        config = os.path.join(self.dir, "orthanc.json")
        settings = {"Name": "bench", "StorageDirectory": os.path.join(self.dir, "storage"),
                    "IndexDirectory": os.path.join(self.dir, "index"),
                    "DicomAet": "ORTHANC", "DicomPort": self.port,
                    "DicomCheckCalledAet": False, "DicomAlwaysAllowStore": True,
                    "HttpServerEnabled": False, "RemoteAccessAllowed": False,
                    "StorageCompression": False, "Plugins": [], "SaveJobs": False}
        if transcode:
            settings["IngestTranscoding"] = JLS
        with open(config, "w") as f:
            json.dump(settings, f)
        self.log = open(os.path.join(self.dir, "orthanc.log"), "w")
        self.proc = subprocess.Popen([ORTHANC, config], stdout=self.log,
                                     stderr=subprocess.STDOUT,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(self.port) or self.proc.poll() is not None, 30,
                    what="Orthanc to listen")
        if self.proc.poll() is not None:
            raise RuntimeError("Orthanc ended with %s" % self.proc.returncode)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--count", type=int, default=40)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["VELTO_BUILD"] = build
    storeindex = os.path.join(build, "storeindex", "storeindex")
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-compress-")
    try:
        files = [slice_file(os.path.join(tmp, "ct%03d.dcm" % i), "1.2.826.0.1.3680043.10.544.37",
                            i, seed=i) for i in range(args.count)]
        files.append(relabel(vt.pydicom_file("CT_small.dcm"), os.path.join(tmp, "cts.dcm"),
                             "1.2.826.0.1.3680043.10.544.38", 1))
        files.append(relabel(vt.pydicom_file("MR_small.dcm"), os.path.join(tmp, "mrs.dcm"),
                             "1.2.826.0.1.3680043.10.544.38", 2))
        original = sum(os.path.getsize(f) for f in files)
        print("%d images, %.1f MB uncompressed" % (len(files), original / 1e6))

        # velto, JPEG-LS then HTJ2K (each on a store of its own)
        results = {}
        for syntax in ("jpeg-ls-lossless", "htj2k-lossless"):
            srv = vt.Server(args=[], root=tempfile.mkdtemp(dir=tmp))
            with open(os.path.join(srv.etc, "Compression"), "w") as f:
                f.write("syntax %s\nquiet 0s\n" % syntax)
            storescu(srv.port, srv.aetitle, files)
            before = bytes_below(os.path.join(srv.basedir, "uid"), ".dcm")
            start = time.time()
            p = vt.run([storeindex, "compress", "--quiet", "0s", srv.basedir], env=srv.env,
                       timeout=3600)
            seconds = time.time() - start
            after = bytes_below(os.path.join(srv.basedir, "uid"), ".dcm")
            srv.stop()
            if p.returncode != 0:
                raise RuntimeError(p.stdout + p.stderr)
            results[syntax] = (before / 1e6 / seconds, after)
            print("velto %s: storeindex compress %.2f s, %.1f MB/s; %.1f MB -> %.1f MB "
                  "(%.1f%% saved)" % (syntax, seconds, before / 1e6 / seconds, before / 1e6,
                                      after / 1e6, 100 * (1 - after / before)))
            print("       " + p.stdout.strip().splitlines()[-1])
        velto_rate, after = results["jpeg-ls-lossless"]

        # Orthanc, with and without the transcoding, on the same images.
        times, sizes = {}, {}
        for transcode in (False, True):
            o = Orthanc(tmp, transcode)
            start = time.time()
            try:
                storescu(o.port, "ORTHANC", files)
            except RuntimeError:
                print(open(os.path.join(o.dir, "orthanc.log")).read()[-3000:])
                raise
            times[transcode] = time.time() - start
            o.stop()
            sizes[transcode] = bytes_below(os.path.join(o.dir, "storage"))
        cost = max(times[True] - times[False], 1e-3)
        orthanc_rate = original / 1e6 / cost
        print("Orthanc: ingest %.2f s plain, %.2f s with IngestTranscoding (%.2f s for it: "
              "%.1f MB/s); storage %.1f MB -> %.1f MB (%.1f%% saved)"
              % (times[False], times[True], cost, orthanc_rate, sizes[False] / 1e6,
                 sizes[True] / 1e6, 100 * (1 - sizes[True] / sizes[False])))
        print("ratios velto/Orthanc: compression MB/s %.2f, bytes after %.3f"
              % (velto_rate / orthanc_rate, after / sizes[True]))
        rate, size = results["htj2k-lossless"]
        print("ratios velto HTJ2K/Orthanc JPEG-LS: compression MB/s %.2f, bytes after %.3f"
              % (rate / orthanc_rate, size / sizes[True]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

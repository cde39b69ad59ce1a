"""Decode time per frame and peak memory of the archive's JPEG 2000 and
HTJ2K decoder (bench/bench_j2kdecode): a 512 x 512 16-bit CT-like frame
(body, noise) in JPEG 2000 lossless (gdcmconv --j2k) and HTJ2K lossless
(ojph_compress), and a multi-frame image of such frames decoded frame by
frame and whole.

Usage: python3 bench/j2k_decode.py [BUILD_DIR] [FRAMES]"""

import os
import subprocess
import sys
import tempfile

import numpy
import pydicom
from pydicom.dataset import FileMetaDataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib"))
from j2kref import HTJ2K_LOSSLESS, wrap  # noqa: E402


def ct_frame(rng, k):
    y, x = numpy.mgrid[-256:256, -256:256]
    body = ((x / 200.0) ** 2 + (y / 150.0) ** 2) < 1
    img = numpy.where(body, 40 + 30 * numpy.sin(x / (9.0 + k % 5)), -1000)
    return (img + rng.normal(0, 12, img.shape)).astype(numpy.int16)


def plain(path, frames):
    ds = pydicom.Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.1"
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = "1.2.826.0.1.3680043.9.7.371.1"
    ds.StudyInstanceUID, ds.SeriesInstanceUID = "1.2.826.0.1.3680043.9.7.371", "1.2.826.0.1.3680043.9.7.371.2"
    ds.Modality, ds.PatientID = "CT", "BENCH"
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.Rows = ds.Columns = 512
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    if len(frames) > 1:
        ds.NumberOfFrames = len(frames)
    ds.PixelData = b"".join(f.tobytes() for f in frames)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(path, write_like_original=False)
    return ds


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    tool = os.path.join(build, "bench", "bench_j2kdecode")
    tmp = tempfile.mkdtemp(prefix="j2kbench-")
    rng = numpy.random.default_rng(1)
    one = plain(os.path.join(tmp, "ct.dcm"), [ct_frame(rng, 0)])
    subprocess.run(["gdcmconv", "--j2k", os.path.join(tmp, "ct.dcm"),
                    os.path.join(tmp, "ct-j2k.dcm")], check=True)
    raw = os.path.join(tmp, "ct.raw")
    numpy.frombuffer(one.PixelData, dtype="<i2").tofile(raw)
    subprocess.run(["ojph_compress", "-i", raw, "-o", raw + ".j2c", "-dims", "{512,512}",
                    "-num_comps", "1", "-signed", "true", "-bit_depth", "16", "-downsamp",
                    "{1,1}", "-reversible", "true"], check=True, capture_output=True)
    with open(raw + ".j2c", "rb") as f:
        wrap(one, [f.read()], os.path.join(tmp, "ct-htj2k.dcm"), HTJ2K_LOSSLESS)
    frames = [ct_frame(rng, k) for k in range(count)]
    plain(os.path.join(tmp, "mf.dcm"), frames)
    subprocess.run(["gdcmconv", "--j2k", os.path.join(tmp, "mf.dcm"),
                    os.path.join(tmp, "mf-j2k.dcm")], check=True)
    for name in ("ct-j2k.dcm", "ct-htj2k.dcm"):
        subprocess.run([tool, "frames", "50", os.path.join(tmp, name)], check=True)
    print("multi-frame: %d frames, %.1f MB decoded, %.1f MB compressed" % (
        count, count * 512 * 512 * 2 / 1e6, os.path.getsize(os.path.join(tmp, "mf-j2k.dcm")) / 1e6))
    for mode in ("frames", "whole"):
        subprocess.run([tool, mode, "1", os.path.join(tmp, "mf-j2k.dcm")], check=True)


if __name__ == "__main__":
    main()

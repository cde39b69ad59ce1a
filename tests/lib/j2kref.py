"""Reference decodes of JPEG 2000 and HTJ2K images for the tests: each
frame's codestream decoded by OpenJPEG's opj_decompress, or the image by
GDCM's gdcmconv --raw, and the writing of files in the HTJ2K syntaxes,
which pydicom 2.3 does not know."""

import os
import struct
import subprocess

import numpy
import pydicom
from pydicom.encaps import encapsulate, generate_pixel_data_frame

J2K_LOSSLESS, J2K = "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91"
HTJ2K_LOSSLESS, HTJ2K_RPCL, HTJ2K = ("1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202",
                                     "1.2.840.10008.1.2.4.203")
JPEG2000_SYNTAXES = {J2K_LOSSLESS, J2K, HTJ2K_LOSSLESS, HTJ2K_RPCL, HTJ2K}


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, timeout=120)
    if p.returncode != 0:
        raise AssertionError("%s: %s %s" % (cmd, p.stdout[-500:], p.stderr[-500:]))
    return p


def retag(path, uid):
    """Sets the meta header's transfer syntax of path (written by pydicom
    with .90, which it knows) to uid, which pydicom 2.3 does not know."""
    with open(path, "rb") as f:
        b = f.read()
    old = b"\x02\x00\x10\x00UI\x16\x00" + J2K_LOSSLESS.encode()
    i = b.index(old)
    v = uid.encode()
    v += b"\0" * (len(v) % 2)
    new = b"\x02\x00\x10\x00UI" + struct.pack("<H", len(v)) + v
    b = b[:i] + new + b[i + len(old):]
    assert b[132:136] == b"\x02\x00\x00\x00"
    length = struct.unpack("<I", b[140:144])[0] + len(new) - len(old)
    with open(path, "wb") as f:
        f.write(b[:140] + struct.pack("<I", length) + b[144:])


def wrap(src_ds, codestreams, path, uid, photometric=None):
    """src_ds with its pixel data replaced by codestreams (one per frame,
    with an offset table), saved at path in transfer syntax uid."""
    ds = src_ds.copy()
    ds.file_meta = src_ds.file_meta.copy()
    ds.PixelData = encapsulate(codestreams, has_bot=True)
    ds["PixelData"].VR = "OB"
    if len(codestreams) > 1:
        ds.NumberOfFrames = len(codestreams)
    if photometric:
        ds.PhotometricInterpretation = photometric
    if "PlanarConfiguration" in ds:
        ds.PlanarConfiguration = 0
    ds.file_meta.TransferSyntaxUID = J2K_LOSSLESS
    ds.is_implicit_VR, ds.is_little_endian = False, True
    ds.save_as(path, write_like_original=False)
    if uid != J2K_LOSSLESS:
        retag(path, uid)
    return path


def frame_count(ds):
    return int(ds.get("NumberOfFrames", 1) or 1)


def opj_reference(path, tmp):
    """The pixels of path as opj_decompress decodes each frame's codestream
    (samples interleaved unless the image says planar), or None."""
    ds = pydicom.dcmread(path)
    out = []
    try:
        frames = list(generate_pixel_data_frame(ds.PixelData, frame_count(ds)))
    except Exception:
        return None
    if len(frames) != frame_count(ds):
        return None
    for i, cs in enumerate(frames):
        ext = ".jp2" if cs[4:8] == b"jP  " else ".j2k"
        src = os.path.join(tmp, "ref%d%s" % (i, ext))
        raw = os.path.join(tmp, "ref%d.rawl" % i)
        with open(src, "wb") as f:
            f.write(cs)
        p = subprocess.run(["opj_decompress", "-i", src, "-o", raw], capture_output=True,
                           timeout=120)
        if p.returncode != 0 or not os.path.exists(raw):
            return None
        a = numpy.fromfile(raw, dtype="<u2" if ds.BitsAllocated == 16 else "u1")
        spp, pixels = ds.SamplesPerPixel, ds.Rows * ds.Columns
        if a.size != spp * pixels:
            return None
        if spp > 1 and not ds.get("PlanarConfiguration", 0):
            a = a.reshape(spp, pixels).T.reshape(-1)
        out.append(a.astype("<u2" if ds.BitsAllocated == 16 else "u1").tobytes())
    return out


def gdcm_reference(path, tmp):
    """The frames of path as gdcmconv --raw decodes it, or None."""
    out = os.path.join(tmp, "gdcm-raw.dcm")
    p = subprocess.run(["gdcmconv", "--raw", path, out], capture_output=True, timeout=120)
    if p.returncode != 0:
        return None
    ds = pydicom.dcmread(out)
    n = frame_count(ds)
    data = ds.PixelData
    size = len(data) // n
    return [data[i * size:(i + 1) * size] for i in range(n)]


def frames_of(data, n):
    size = len(data) // n
    return [data[i * size:(i + 1) * size] for i in range(n)]


def reference_dataset(path, tmp):
    """The data set of path with its pixel data decoded by the references
    (Explicit VR Little Endian, a YBR_RCT or YBR_ICT image as RGB), or None
    when neither reads it."""
    frames = opj_reference(path, tmp) or gdcm_reference(path, tmp)
    if frames is None:
        return None
    ds = pydicom.dcmread(path)
    ds.PixelData = b"".join(frames)
    ds["PixelData"].VR = "OW" if ds.BitsAllocated == 16 else "OB"
    if ds.PhotometricInterpretation in ("YBR_RCT", "YBR_ICT"):
        ds.PhotometricInterpretation = "RGB"
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.1"
    ds.is_implicit_VR, ds.is_little_endian = False, True
    return ds

"""The streamed receive path: a data set in Explicit VR Little Endian (or a
compressed syntax) is written as it arrives and stored byte for byte as the
peer sent it, behind a meta header (its group lengths and sequences of
undefined length included), in bounded memory even for a 1 GB image; one
received in Implicit VR Little Endian or Explicit VR Big Endian is
converted as it arrives and stored in Explicit VR Little Endian, as the
toolkit writes it once parsed. The data sets go out
over raw sockets, so the test knows every byte sent."""

import hashlib
import io
import os
import re
import struct
import subprocess

import pydicom

import veltotest
from veltotest import ServerTestCase, files_below, live_records, IMAGE_RECORD_SIZE, uid_path
from srvlib import messages

import test_hostile as hostile
import test_network as raw

CT = hostile.CT
EXPLICIT = hostile.EXPLICIT
IMPLICIT = hostile.IMPLICIT
BIG = hostile.BIG
STUDY, SERIES = "1.2.826.60.1", "1.2.826.60.1.1"
PDV = 16000


def explicit(group, elem, vr, value):
    return hostile.explicit(group, elem, vr, value)


def undefined(group, elem, vr):
    """The header of an element of undefined length."""
    return struct.pack("<HH2sHI", group, elem, vr.encode(), 0, 0xFFFFFFFF)


def item(body, defined):
    if defined:
        return struct.pack("<HHI", 0xFFFE, 0xE000, len(body)) + body
    return (struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + body
            + struct.pack("<HHI", 0xFFFE, 0xE00D, 0))


def head(instance):
    """An image's elements before its pixel data, as an odd writer might
    send them: group lengths, a sequence of undefined length holding an
    item of undefined length, one of defined length."""
    g8 = (explicit(0x0008, 0x0005, "CS", b"ISO_IR 100")
          + explicit(0x0008, 0x0016, "UI", CT.encode())
          + explicit(0x0008, 0x0018, "UI", instance.encode())
          + explicit(0x0008, 0x0060, "CS", b"CT")
          + undefined(0x0008, 0x1140, "SQ")
          + item(explicit(0x0008, 0x1150, "UI", CT.encode())
                 + explicit(0x0008, 0x1155, "UI", b"1.2.826.60.9"), False)
          + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))
    defined_seq = item(explicit(0x0008, 0x0100, "SH", b"T-D1100"), True)
    g8 += struct.pack("<HH2sHI", 0x0008, 0x2218, b"SQ", 0, len(defined_seq)) + defined_seq
    g10 = explicit(0x0010, 0x0010, "PN", b"STREAM^PEER") + explicit(0x0010, 0x0020, "LO", b"S1")
    g20 = (explicit(0x0020, 0x000D, "UI", STUDY.encode())
           + explicit(0x0020, 0x000E, "UI", SERIES.encode())
           + explicit(0x0020, 0x0013, "IS", b"7"))
    return (explicit(0x0008, 0x0000, "UL", struct.pack("<I", len(g8))) + g8
            + explicit(0x0010, 0x0000, "UL", struct.pack("<I", len(g10))) + g10 + g20)


def pixel_header(length, rows=16, frames=1):
    """The image pixel module of an 8-bit image of rows rows (frames frames)
    whose pixel data take length bytes, up to the pixel data's header."""
    columns = length // rows // frames
    return (explicit(0x0028, 0x0002, "US", struct.pack("<H", 1))
            + explicit(0x0028, 0x0004, "CS", b"MONOCHROME2")
            + explicit(0x0028, 0x0008, "IS", str(frames).encode())
            + explicit(0x0028, 0x0010, "US", struct.pack("<H", rows))
            + explicit(0x0028, 0x0011, "US", struct.pack("<H", columns))
            + explicit(0x0028, 0x0100, "US", struct.pack("<H", 8))
            + explicit(0x0028, 0x0101, "US", struct.pack("<H", 8))
            + explicit(0x0028, 0x0102, "US", struct.pack("<H", 7))
            + explicit(0x0028, 0x0103, "US", struct.pack("<H", 0))
            + struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, length))


def pdus(chunks):
    """P-DATA-TF PDUs with one data set PDV of PDV bytes each (the last one
    shorter and flagged) from the data set given as byte strings."""
    pending = b""
    for chunk in chunks:
        data = pending + chunk if pending else chunk
        view = memoryview(data)
        whole = (len(data) - 1) // PDV * PDV
        for k in range(0, whole, PDV):
            yield hostile.data_pdu(1, bytes(view[k:k + PDV]), False)
        pending = bytes(view[whole:])
    yield hostile.data_pdu(1, pending, True)


def store(c, instance, chunks, message_id=1):
    c.sendall(raw.pdata(1, hostile.store_command(message_id, CT, instance)))
    for pdu in pdus(chunks):
        c.sendall(pdu)
    return raw.command_of(raw.read_pdu(c))[0x0900]


def release(c):
    c.sendall(struct.pack(">BBI", 0x05, 0, 4) + b"\0" * 4)
    kind, _ = raw.read_pdu(c)
    c.close()
    return kind


def temporaries(s):
    """Temporary files of stores left in the store's uid directory."""
    uid = os.path.join(s.basedir, "uid")
    return [n for n in os.listdir(uid) if n.startswith("STORING.")] if os.path.isdir(uid) else []


def after_meta(path):
    """The stored file's bytes after its meta header, and its transfer
    syntax."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[128:132] == b"DICM"
    meta_len = struct.unpack("<I", data[140:144])[0]
    meta = pydicom.dcmread(path, stop_before_pixels=True).file_meta
    return data[144 + meta_len:], str(meta.TransferSyntaxUID)


def imp(group, elem, value):
    """An element in Implicit VR Little Endian, as it is (odd lengths too)."""
    return struct.pack("<HHI", group, elem, len(value)) + value


def imp_seq(group, elem, items, defined):
    if defined:
        return struct.pack("<HHI", group, elem, len(items)) + items
    return (struct.pack("<HHI", group, elem, 0xFFFFFFFF) + items
            + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))


def implicit_image(instance):
    """A 16-bit signed image in Implicit VR Little Endian with what its VRs
    depend on: group lengths (not the right ones), odd values, sequences
    and items of both lengths, a private group whose creator the toolkit's
    dictionary knows and one it does not (a sequence of undefined length),
    pixel values of US or SS, lookup data, a value too long for its VR's
    length field."""
    us = lambda v: struct.pack("<H", v)
    code = imp(0x0008, 0x0100, b"T-D1100 ") + imp(0x0008, 0x0102, b"SRT")
    g8 = (imp(0x0008, 0x0005, b"ISO_IR 100") + imp(0x0008, 0x0016, CT.encode())
          + imp(0x0008, 0x0018, instance.encode()) + imp(0x0008, 0x0060, b"CT")
          + imp(0x0008, 0x0081, b"A" * 70001)
          + imp_seq(0x0008, 0x1140, item(imp(0x0008, 0x1150, CT.encode())
                                         + imp(0x0008, 0x1155, b"1.2.826.60.9"), True)
                    + item(b"", False), True)
          + imp_seq(0x0008, 0x2218, item(code, False) + item(code, True), False))
    g10 = imp(0x0010, 0x0010, b"IMPLICIT^PEER^X") + imp(0x0010, 0x0020, b"I1")
    g19 = (imp(0x0019, 0x0010, b"SIEMENS MR HEADER ") + imp(0x0019, 0x100C, b"1000")
           + imp(0x0019, 0x1028, struct.pack("<d", 2.5)))
    g20 = (imp(0x0020, 0x000D, STUDY.encode()) + imp(0x0020, 0x000E, SERIES.encode())
           + imp(0x0020, 0x0013, b"7"))
    g28 = (imp(0x0028, 0x0002, us(1)) + imp(0x0028, 0x0004, b"MONOCHROME2 ")
           + imp(0x0028, 0x0010, us(16)) + imp(0x0028, 0x0011, us(16))
           + imp(0x0028, 0x0100, us(16)) + imp(0x0028, 0x0101, us(12))
           + imp(0x0028, 0x0102, us(11)) + imp(0x0028, 0x0103, us(1))
           + imp(0x0028, 0x0106, us(0xFFFB)) + imp(0x0028, 0x0107, us(2000))
           + imp_seq(0x0028, 0x3010, item(imp(0x0028, 0x3002, us(4) + us(0) + us(16))
                                          + imp(0x0028, 0x3006, b"\1\0" * 4), True), True))
    g29 = (imp(0x0029, 0x0010, b"VELTO")
           + imp_seq(0x0029, 0x1010, b"".join(item(imp(0x0029, 0x1001, b"PRIVATE%d" % k), k % 2)
                                              for k in range(5)), False))
    g40 = imp_seq(0x0040, 0x0275, item(imp(0x0040, 0x0007, b"REQUESTED") + imp_seq(
        0x0040, 0x0008, item(code, True), True), False), False)

    def gl(group, body):
        return imp(group, 0x0000, struct.pack("<I", 1)) + body
    return (gl(0x0008, g8) + gl(0x0010, g10) + g19 + g20 + gl(0x0028, g28) + gl(0x0029, g29)
            + g40 + gl(0x7FE0, imp(0x7FE0, 0x0010, bytes(range(256)) * 2)))


def file_of(instance, syntax, data):
    """A file of the data set given in syntax, behind a meta header."""
    from pydicom.dataset import FileMetaDataset
    from pydicom.filebase import DicomBytesIO
    from pydicom.filewriter import write_file_meta_info
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CT
    meta.MediaStorageSOPInstanceUID = instance
    meta.TransferSyntaxUID = syntax
    fp = DicomBytesIO()
    fp.is_little_endian, fp.is_implicit_VR = True, False
    write_file_meta_info(fp, meta)
    return b"\0" * 128 + b"DICM" + fp.getvalue() + data


def flat(ds):
    """Every element of ds (in its items too) but group lengths: tag and
    value, a value's NUL or space padding aside."""
    out = []
    for e in ds:
        if e.tag.element == 0:
            continue
        if e.VR == "SQ" or (isinstance(e.value, pydicom.Sequence)):
            out.append((e.tag, [flat(i) for i in e.value]))
        else:
            # A value the toolkit writes as UN (too long for its VR) is
            # read back as bytes.
            v = e.value
            if isinstance(v, bytes):
                v = v.decode("latin-1")
            v = v.rstrip("\0 ") if isinstance(v, str) else str(v)
            out.append((e.tag, v))
    return out


class StreamedStore(ServerTestCase):

    def test_explicit_vr_is_stored_byte_for_byte_and_indexed(self):
        s = self.server()
        mon = veltotest.Monitor(s.monitor_port)
        instance = "1.2.826.60.1.1.1"
        # Between the head's indexed elements, ones the index does not read
        # (a private group, a request sequence): the head is parsed only for
        # the indexed ones, picked out from among the others.
        indexed = explicit(0x0020, 0x1041, "DS", b"12.5") + explicit(0x0020, 0x4000, "LT",
                                                                       b"PICKED")
        others = (explicit(0x0029, 0x0010, "LO", b"ACME")
                  + explicit(0x0029, 0x1001, "OB", bytes(range(200)) * 5)
                  + undefined(0x0040, 0x0275, "SQ")
                  + item(explicit(0x0040, 0x0007, "LO", b"REQUESTED"), False)
                  + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))
        pixels = pixel_header(4096)  # the image pixel module, then the pixel data's header
        data = head(instance) + indexed + pixels[:-12] + others + pixels[-12:] \
            + bytes(range(256)) * 16 + explicit(0xFFFC, 0xFFFC, "OB", b"\0" * 6)
        c = hostile.associate(s, [(CT, EXPLICIT)])
        self.assertEqual(store(c, instance, [data]), 0x0000)
        # A second image whose head spans PDVs: the head is kept across them.
        second = "1.2.826.60.1.1.2"
        long_head = head(second) + explicit(0x0020, 0x4000, "LT", b"X" * 40000)
        data2 = long_head + pixel_header(64) + b"\x01" * 64
        self.assertEqual(store(c, second, [data2]), 0x0000)
        self.assertEqual(release(c), 0x06)

        stored, syntax = after_meta(uid_path(s.basedir, STUDY, SERIES, instance))
        self.assertEqual(syntax, EXPLICIT)
        self.assertEqual(stored, data)
        stored2, _ = after_meta(uid_path(s.basedir, STUDY, SERIES, second))
        self.assertEqual(stored2, data2)
        meta = pydicom.dcmread(uid_path(s.basedir, STUDY, SERIES, instance)).file_meta
        self.assertEqual(meta.MediaStorageSOPClassUID, CT)
        self.assertEqual(meta.MediaStorageSOPInstanceUID, instance)
        # Indexed from the head, and announced.
        records = live_records(uid_path(s.basedir, STUDY, SERIES) + "/IMAGEINDEX.dat",
                               IMAGE_RECORD_SIZE)
        self.assertEqual(sorted(r[:len(instance)].decode() for r in records),
                         [instance, second])
        first = [r for r in records if r.startswith(instance.encode() + b"\0")][0]
        self.assertIn(b"PICKED\0", first)
        self.assertIn(b"12.5\0", first)
        p, found = s.findscu(["StudyInstanceUID=" + STUDY, "PatientName="])
        self.assertEqual([str(d.PatientName) for d in found], ["STREAM^PEER"])
        mon.wait_text(lambda t: t == "STORAGE STOREUID %s %s %s" % (STUDY, SERIES, instance))
        mon.close()
        self.assertEqual(temporaries(s), [])

    def test_next_file_is_made_ahead_locked_and_gone_after_a_pause(self):
        # After a store, while the peer prepares its next image, the worker
        # makes that image's temporary file: empty, and locked so that a
        # start beside it leaves it alone. The next image is written into
        # it. A peer that pauses (a few polls of the wait for commands pass)
        # has it removed, and the release leaves none.
        s = self.server()
        uid = os.path.join(s.basedir, "uid")

        def locked():
            # The temporary files, each with its size, once one has the
            # worker's flock on it (read from /proc/locks: a lock taken here
            # would be in its way); one look, as the file lives until a
            # pause of the peer.
            with open("/proc/locks") as f:
                held = {int(l.split()[5].split(":")[2]) for l in f if " FLOCK " in l}
            out = []
            for n in temporaries(s):
                try:
                    st = os.stat(os.path.join(uid, n))
                except FileNotFoundError:
                    return []
                if st.st_ino not in held:
                    return []
                out.append((n, st.st_size))
            return out

        c = hostile.associate(s, [(CT, EXPLICIT)])
        sent = {}
        for n in (1, 2):
            instance = "1.2.826.60.1.1.2%d" % n
            sent[instance] = head(instance) + pixel_header(256) + bytes([n]) * 256
            self.assertEqual(store(c, instance, [sent[instance]], message_id=n), 0x0000)
            made = veltotest.wait_for(locked, 10, what="a locked file made ahead")
            self.assertEqual(len(made), 1)
            self.assertEqual(made[0][1], 0)
            if n == 1:
                first = made[0][0]
        # The second image went into the file made after the first.
        self.assertNotEqual(made[0][0], first)
        self.assertFalse(os.path.exists(os.path.join(uid, first)))
        veltotest.wait_for(lambda: temporaries(s) == [], 10, what="the file made ahead removed")
        instance = "1.2.826.60.1.1.23"
        sent[instance] = head(instance) + pixel_header(256) + b"\3" * 256
        self.assertEqual(store(c, instance, [sent[instance]], message_id=3), 0x0000)
        self.assertEqual(release(c), 0x06)
        self.assertEqual(temporaries(s), [])
        for instance, data in sent.items():
            self.assertEqual(after_meta(uid_path(s.basedir, STUDY, SERIES, instance))[0], data)

    def test_implicit_vr_is_stored_in_explicit_vr(self):
        s = self.server()
        instance = "1.2.826.60.1.1.3"
        src = veltotest.make_dataset(os.path.join(s.tmp, "in.dcm"), STUDY, SERIES, instance)
        p = s.storescu([src], extra=["-xi"])
        self.assertEqual(p.returncode, 0, p.stderr)
        path = uid_path(s.basedir, STUDY, SERIES, instance)
        stored = pydicom.dcmread(path)
        self.assertEqual(str(stored.file_meta.TransferSyntaxUID), EXPLICIT)
        sent = pydicom.dcmread(src)
        self.assertEqual({e.tag: e.value for e in stored}, {e.tag: e.value for e in sent})

    def test_implicit_vr_is_converted_as_it_comes_as_the_toolkit_writes_it(self):
        """Every construct that Implicit VR leaves to a dictionary, sent
        over a raw socket: the stored file's data set is the one the
        toolkit's own converter writes for it (sequences and items of
        undefined length, group lengths recalculated), and holds every
        element of the sent one."""
        s = self.server()
        instance = "1.2.826.60.1.1.4"
        data = implicit_image(instance)
        c = hostile.associate(s, [(CT, IMPLICIT)])
        self.assertEqual(store(c, instance, [data[:1000], data[1000:]]), 0x0000)
        self.assertEqual(release(c), 0x06)
        path = uid_path(s.basedir, STUDY, SERIES, instance)
        stored, syntax = after_meta(path)
        self.assertEqual(syntax, EXPLICIT)
        # The toolkit's own conversion of the same data set, written as the
        # store writes an image.
        sent = os.path.join(s.tmp, "sent.dcm")
        with open(sent, "wb") as f:
            f.write(file_of(instance, IMPLICIT, data))
        ref = os.path.join(s.tmp, "ref.dcm")
        p = subprocess.run(["dcmconv", "+te", "-e", "+g=", "-p", sent, ref],
                           capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(stored, after_meta(ref)[0])
        # Element for element (group lengths aside: recalculated), the
        # pixel data included.
        self.assertEqual(flat(pydicom.dcmread(path)), flat(pydicom.dcmread(sent)))
        self.assertEqual(pydicom.dcmread(path).PixelData, bytes(range(256)) * 2)
        p, found = s.findscu(["StudyInstanceUID=" + STUDY, "PatientName="])
        self.assertEqual([str(d.PatientName) for d in found], ["IMPLICIT^PEER^X"])
        self.assertEqual(temporaries(s), [])

    def test_big_endian_is_converted_as_it_comes_as_the_toolkit_writes_it(self):
        """The same image in Explicit VR Big Endian (as the toolkit's own
        converter writes it): stored as the converter writes it in Explicit
        VR Little Endian, every number turned round."""
        s = self.server()
        instance = "1.2.826.60.1.1.5"
        implicit = os.path.join(s.tmp, "implicit.dcm")
        with open(implicit, "wb") as f:
            f.write(file_of(instance, IMPLICIT, implicit_image(instance)))
        big = os.path.join(s.tmp, "big.dcm")
        p = subprocess.run(["dcmconv", "+tb", implicit, big], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        data, syntax = after_meta(big)
        self.assertEqual(syntax, BIG)
        c = hostile.associate(s, [(CT, BIG)])
        self.assertEqual(store(c, instance, [data[:999], data[999:]]), 0x0000)
        self.assertEqual(release(c), 0x06)
        path = uid_path(s.basedir, STUDY, SERIES, instance)
        stored, syntax = after_meta(path)
        self.assertEqual(syntax, EXPLICIT)
        ref = os.path.join(s.tmp, "ref.dcm")
        p = subprocess.run(["dcmconv", "+te", "-e", "+g=", "-p", big, ref],
                           capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(stored, after_meta(ref)[0])
        # Element for element the image converted to big endian, its
        # pixel data included.
        self.assertEqual(flat(pydicom.dcmread(path)), flat(pydicom.dcmread(implicit)))
        self.assertEqual(temporaries(s), [])

    def test_damaged_data_set_leaves_no_file(self):
        s = self.server()
        instance = "1.2.826.60.1.1.4"
        # A sequence of undefined length that never ends.
        data = head(instance) + undefined(0x0040, 0x0275, "SQ") + pixel_header(64) + b"\0" * 64
        c = hostile.associate(s, [(CT, EXPLICIT)])
        status, ended, t = hostile.send_store(c, 1, CT, instance, [data])
        t.join(30)
        c.close()
        self.assertEqual(status, 0xC000)
        self.assertEqual(files_below(os.path.join(s.basedir, "uid"), ".dcm"), [])
        self.assertEqual(temporaries(s), [])

    def test_journal_record_is_the_files_bytes(self):
        s = self.server(["-S"])
        instance = "1.2.826.60.1.1.5"
        data = head(instance) + pixel_header(2048) + bytes(range(128)) * 16
        c = hostile.associate(s, [(CT, EXPLICIT)])
        self.assertEqual(store(c, instance, [data]), 0x0000)
        uid = os.path.join(s.basedir, "uid")
        journals = [n for n in os.listdir(uid) if n.startswith("JOURNAL.")]
        self.assertEqual(len(journals), 1)
        with open(os.path.join(uid, journals[0]), "rb") as f:
            journal = f.read()
        with open(uid_path(s.basedir, STUDY, SERIES, instance), "rb") as f:
            whole = f.read()
        self.assertIn(whole, journal)
        self.assertEqual(release(c), 0x06)

    def test_one_gb_image_in_bounded_memory_comes_out_equal(self):
        s = self.server(["-D", "-z", "2048"])
        instance = "1.2.826.60.1.1.6"
        size = 1000 * (1 << 20)
        block = bytearray(os.urandom(1 << 20))
        sent = hashlib.sha256()

        def chunks():
            lead = head(instance) + pixel_header(size, rows=1024, frames=1000)
            sent.update(lead)
            yield lead
            for k in range(size >> 20):
                block[0:8] = struct.pack("<Q", k)
                piece = bytes(block)
                sent.update(piece)
                yield piece
        c = hostile.associate(s, [(CT, EXPLICIT)])
        self.assertEqual(store(c, instance, chunks()), 0x0000)
        self.assertEqual(release(c), 0x06)
        veltotest.wait_for(lambda: len(hostile.peak_kb(s)) == 1, 30, what="worker's peak")
        self.assertLess(hostile.peak_kb(s)[0], 64 * 1024)

        path = uid_path(s.basedir, STUDY, SERIES, instance)
        got = hashlib.sha256()
        with open(path, "rb") as f:
            f.seek(132 + 8)
            meta_len = struct.unpack("<I", f.read(4))[0]
            f.seek(144 + meta_len)
            while True:
                piece = f.read(1 << 22)
                if not piece:
                    break
                got.update(piece)
        self.assertEqual(got.hexdigest(), sent.hexdigest())


if __name__ == "__main__":
    veltotest.main()

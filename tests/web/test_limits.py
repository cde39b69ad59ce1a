"""storeweb under hostile requests, over real sockets: each attack gets the
refusal (status and body) or the bounded answer it should, while another
client's searches go on being answered in normal time, the daemon's peak
resident memory (VmHWM, started afresh before each attack) stays below
MEMORY_BOUND, and nothing is left in its temporary directory.

Also the handlers' answers to malformed requests: QIDO-RS filters of
another level and malformed values, a UID list in a WADO-RS path, UIDs
that are no UIDs ("..") in uploads, paths and downloads, a STOW-RS
body cut short after a stored part, and the study page over an index that
cannot be read."""

import http.client
import json
import os
import re
import socket
import subprocess
import threading
import time
import unittest
import warnings

import veltotest as vt
from webharness import Web, multipart_parts, header, value, STOREWEB

# Peak resident memory allowed during any one attack (the daemon idles at
# about 15 MB; before the limits the attacks took it to 0.5 to 4 GB).
MEMORY_BOUND = 150 << 20
# Longest a search of another client may take while an attack runs.
OTHER_CLIENT_SECONDS = 5.0

STUDY = "1.2.826.0.1.3680043.9.7.60"
SOP_CT = "1.2.840.10008.5.1.4.1.1.2"
SOP_MR = "1.2.840.10008.5.1.4.1.1.4"
SOP_SC = "1.2.840.10008.5.1.4.1.1.7"
BOUNDARY = b"LiMiTs"


def meta_prefix(tmp, instance):
    """The bytes of a small image file without pixels, to which elements of
    higher tags may be appended."""
    p = os.path.join(tmp, "prefix-%s.dcm" % instance)
    vt.make_dataset(p, STUDY + ".9", STUDY + ".9.1", instance, pixels=0)
    with open(p, "rb") as f:
        return f.read()


# Explicit VR little endian pieces: Content Sequence (0040,A730) and items,
# all of undefined length.
SQ_OPEN = b"\x40\x00\x30\xa7SQ\x00\x00\xff\xff\xff\xff"
ITEM_OPEN = b"\xfe\xff\x00\xe0\xff\xff\xff\xff"
ITEM_CLOSE = b"\xfe\xff\x0d\xe0\x00\x00\x00\x00"
SQ_CLOSE = b"\xfe\xff\xdd\xe0\x00\x00\x00\x00"
EMPTY_ITEM = b"\xfe\xff\x00\xe0\x00\x00\x00\x00"


def meta_end(data):
    """Offset of the data set after a Part 10 file's meta header."""
    return 132 + 12 + int.from_bytes(data[140:144], "little")


def deflated(tmp, instance, tail):
    """A deflated image file whose data set, inflated, ends with tail."""
    import pydicom
    import zlib
    plain = meta_prefix(tmp, instance)
    p = os.path.join(tmp, "deflated-%s.dcm" % instance)
    ds = pydicom.dcmread(os.path.join(tmp, "prefix-%s.dcm" % instance))
    ds.file_meta.TransferSyntaxUID = pydicom.uid.DeflatedExplicitVRLittleEndian
    ds.save_as(p, write_like_original=False)
    with open(p, "rb") as f:
        head = f.read()
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    return (head[:meta_end(head)] + z.compress(plain[meta_end(plain):] + tail) + z.flush())


def part(data):
    return b"--" + BOUNDARY + b"\r\nContent-Type: application/dicom\r\n\r\n" + data + b"\r\n"


def body_of(*datas):
    return b"".join(part(d) for d in datas) + b"--" + BOUNDARY + b"--\r\n"


def stow_raw(port, pieces, headers=None, chunked=False, path="/dicom-web/studies"):
    """Posts the body pieces to path on a socket of its own,
    reading the answer while the body is still being sent (the daemon may
    answer before it has read it all): (status, headers, body)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=120)
    head = ["POST %s HTTP/1.1" % path, "Host: 127.0.0.1",
            'Content-Type: multipart/related; type="application/dicom"; boundary=%s'
            % BOUNDARY.decode()]
    if chunked:
        head.append("Transfer-Encoding: chunked")
    elif headers is None or "Content-Length" not in headers:
        head.append("Content-Length: %d" % sum(len(p) for p in pieces))
    for k, v in (headers or {}).items():
        head.append("%s: %s" % (k, v))
    head.append("Connection: close")

    def send():
        try:
            s.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
            for p in pieces:
                s.sendall(b"%x\r\n%s\r\n" % (len(p), p) if chunked else p)
            if chunked:
                s.sendall(b"0\r\n\r\n")
        except OSError:
            pass  # the daemon answered and closed before the end

    t = threading.Thread(target=send)
    t.start()
    r = http.client.HTTPResponse(s)
    r.begin()
    data = r.read()
    t.join()
    s.close()
    return r.status, r.getheaders(), data


class WebLimitsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        cls.server = vt.Server()
        cls.tmpdir = os.path.join(cls.server.tmp, "webtmp")
        os.makedirs(cls.tmpdir)
        cls.viewer = os.path.join(cls.server.tmp, "viewer")
        os.makedirs(cls.viewer)
        with open(os.path.join(cls.viewer, "index.html"), "w") as f:
            f.write('<html><script src="/app.js"></script></html>')
        # A large script that names the path the viewer was built for.
        cls.script = b'__webpack_require__.p = "/";\n' + b"//" + b"x" * (20 << 20) + b"\n"
        with open(os.path.join(cls.viewer, "app.js"), "wb") as f:
            f.write(cls.script)
        # The HL7 listener too, with a small message limit.
        cls.hl7port = vt.free_port()
        with open(os.path.join(cls.server.etc, "HL7Listener"), "w") as f:
            f.write("port %d\nallow 127.0.0.1\nmax-message 65536\n" % cls.hl7port)
        cls.web = Web(cls.server, args=["-V", cls.viewer], env={"TMPDIR": cls.tmpdir})
        # Only this storeweb listens for HL7: the others that cases start on
        # the same home would find the port taken.
        vt.wait_for(lambda: vt.port_open(cls.hl7port), 10, what="the HL7 listener")
        os.unlink(os.path.join(cls.server.etc, "HL7Listener"))
        # Two series of one study (CT, MR) and a secondary capture of another.
        cls.files = os.path.join(cls.server.tmp, "in")
        os.makedirs(cls.files)
        paths = []
        for n, (series, modality, sop, desc) in enumerate([
                (STUDY + ".1", "CT", SOP_CT, "AXIAL"), (STUDY + ".2", "MR", SOP_MR, "SAGITTAL")]):
            for i in range(2):
                p = os.path.join(cls.files, "%d.%d.dcm" % (n, i))
                vt.make_dataset(p, STUDY, series, "%s.%d" % (series, i + 1), modality=modality,
                                sop_class=sop, patient_name="LIMITS^A",
                                extra={"SeriesDescription": desc})
                paths.append(p)
        p = os.path.join(cls.files, "ot.dcm")
        vt.make_dataset(p, STUDY + "0", STUDY + "0.1", STUDY + "0.1.1", modality="OT",
                        sop_class=SOP_SC, patient_name="LIMITS^B", study_date="20230505")
        paths.append(p)
        r = cls.server.storescu(paths)
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.server.cleanup()

    # Harness ------------------------------------------------------------

    def search_ok(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.web.port, timeout=30)
        start = time.monotonic()
        conn.request("GET", "/dicom-web/studies?PatientName=LIMITS*")
        r = conn.getresponse()
        body = r.read()
        conn.close()
        took = time.monotonic() - start
        self.assertEqual(r.status, 200)
        self.assertEqual(len(json.loads(body)), 2)
        return took

    def attack(self, run):
        """Runs run() (which returns the attack's answer) while another
        client searches; checks the other client's times, the peak memory
        and the temporary directory. Returns run's result."""
        self.web.reset_peak()
        result = {}
        def attacker():
            try:
                result["answer"] = run()
            except Exception as e:  # reported below, in the test's thread
                result["error"] = e

        t = threading.Thread(target=attacker)
        t.start()
        times = []
        while True:
            times.append(self.search_ok())
            if not t.is_alive():
                break
            time.sleep(0.05)
        t.join()
        if "error" in result:
            raise result["error"]
        self.assertIsNone(self.web.proc.poll(), "storeweb ended: " + self.web.log()[-2000:])
        self.assertLess(max(times), OTHER_CLIENT_SECONDS, times)
        rss, hwm = self.web.memory()
        vt.assert_memory_below(self, hwm, MEMORY_BOUND, "peak %d MB" % (hwm >> 20))
        self.assertEqual(os.listdir(self.tmpdir), [])
        self.search_ok()
        return result["answer"]

    def failed_reasons(self, body):
        answer = json.loads(body)
        return [value(i, "00081197") for i in answer.get("00081198", {}).get("Value", [])]

    # Uploads ------------------------------------------------------------

    # HL7 ---------------------------------------------------------------

    def test_hl7_garbage_endless_frames_and_unread_acks(self):
        # Frames that never end (cut off at the limit), bytes that are no MLLP, a sender that
        # sends hundreds of messages without reading its ACKs, and one that
        # stops mid-frame: the daemon stays up in bounded memory, the other
        # clients are served, and a sound message is answered after.
        msg = (b"MSH|^~\\&|HIS|H|V|R|2026||ORM^O01|%d|P|2.5\rPID|1||X\r")

        def flood():
            socks = []
            try:
                # Fifteen, so that the sender below is within the listener's
                # limit of sixteen connections.
                for n in range(15):
                    c = socket.create_connection(("127.0.0.1", self.hl7port), timeout=10)
                    socks.append(c)
                    try:
                        if n % 3 == 0:
                            c.sendall(b"\x0b" + b"x" * (4 << 20))
                        elif n % 3 == 1:
                            c.sendall(b"\x00\xff" * 1000)
                        else:
                            c.sendall(b"\x0bMSH|^~\\&|HIS")
                    except (BrokenPipeError, ConnectionResetError):
                        pass
                # Pipelined without reading: the listener stops reading while
                # it owes ACKs; all are answered once they are read.
                c = socket.create_connection(("127.0.0.1", self.hl7port), timeout=30)
                socks.append(c)
                for n in range(300):
                    c.sendall(b"\x0b" + msg % n + b"\x1c\r")
                got = b""
                while got.count(b"\x1c\r") < 300:
                    piece = c.recv(65536)
                    if not piece:
                        break
                    got += piece
                return got
            finally:
                for c in socks:
                    c.close()
        got = self.attack(flood)
        self.assertEqual(got.count(b"MSA|AR|"), 300)
        c = socket.create_connection(("127.0.0.1", self.hl7port), timeout=10)
        c.sendall(b"\x0bMSH|^~\\&|HIS|H|V|R|2026||ADT^A08|Z1|P|2.5\rPID|1||NOBODY||DOE\r\x1c\r")
        self.assertIn(b"MSA|AA|Z1", c.recv(4096))
        c.close()

    def test_deeply_nested_part_is_refused_and_the_next_stored(self):
        # 200,000 nested sequences (7 MB) ended the daemon with a stack
        # overflow in the toolkit's parser; the part after it is stored.
        deep = (meta_prefix(self.server.tmp, STUDY + ".9.1.1") + (SQ_OPEN + ITEM_OPEN) * 200000
                + (ITEM_CLOSE + SQ_CLOSE) * 200000)
        good = os.path.join(self.server.tmp, "after-deep.dcm")
        vt.make_dataset(good, STUDY + ".8", STUDY + ".8.1", STUDY + ".8.1.1")
        with open(good, "rb") as f:
            body = body_of(deep, f.read())
        status, _, answer = self.attack(lambda: stow_raw(self.web.port, [body]))
        self.assertEqual(status, 202)
        self.assertEqual(self.failed_reasons(answer), [0xC000])
        stored = json.loads(answer)["00081199"]["Value"]
        self.assertEqual(value(stored[0], "00081155"), STUDY + ".8.1.1")
        self.assertTrue("sequences deeper or items more than allowed" in self.web.log())
        self.assertFalse(os.path.exists(vt.uid_path(self.server.basedir, STUDY + ".9", STUDY
                                                    + ".9.1", STUDY + ".9.1.1")))

    def test_parts_of_more_elements_than_a_c_store_may_hold_are_refused(self):
        # 150,000 items of eight empty elements each (1.2 million elements,
        # 12 MB) were parsed whole, at some 200 bytes an element: refused in
        # either encoding as a C-STORE is; no file is left.
        prefix = meta_prefix(self.server.tmp, STUDY + ".3.1.1")
        explicit_item = (ITEM_OPEN + b"".join(b"\x08\x00" + bytes([e, 0]) + b"LO\x00\x00"
                                              for e in range(1, 9)) + ITEM_CLOSE)
        explicit = prefix + SQ_OPEN + explicit_item * 150000 + SQ_CLOSE
        # The same in Implicit VR: a header of tag and 4-byte length, the
        # sequence known from the dictionary.
        plain = os.path.join(self.server.tmp, "few-elements.dcm")
        vt.make_dataset(plain, STUDY + ".3", STUDY + ".3.1", STUDY + ".3.1.2", pixels=0)
        small = os.path.join(self.server.tmp, "few-elements-implicit.dcm")
        subprocess.run(["dcmconv", "+ti", plain, small], check=True)
        with open(small, "rb") as f:
            implicit_prefix = f.read()
        implicit_item = (ITEM_OPEN + b"".join(b"\x08\x00" + bytes([e, 0]) + b"\x00\x00\x00\x00"
                                              for e in range(1, 9)) + ITEM_CLOSE)
        implicit = (implicit_prefix + b"\x40\x00\x30\xa7\xff\xff\xff\xff"
                    + implicit_item * 150000 + SQ_CLOSE)
        status, _, answer = self.attack(
            lambda: stow_raw(self.web.port, [body_of(explicit, implicit)]))
        self.assertEqual(status, 409, answer[:300])
        self.assertEqual(self.failed_reasons(answer), [0xC000, 0xC000])
        for study, instance in ((".9", ".3.1.1"), (".3", ".3.1.2")):
            self.assertFalse(os.path.exists(vt.uid_path(self.server.basedir, STUDY + study,
                                                        STUDY + study + ".1", STUDY + instance)),
                             instance)

    def test_deflated_parts_are_walked_inflated(self):
        # Deflated, the nesting is 40 KB: refused as the plain one is; a
        # deflated image within the limits is stored.
        bomb = deflated(self.server.tmp, STUDY + ".9.1.3",
                        (SQ_OPEN + ITEM_OPEN) * 200000 + (ITEM_CLOSE + SQ_CLOSE) * 200000)
        self.assertLess(len(bomb), 100000)
        fine = deflated(self.server.tmp, STUDY + ".9.1.4",
                        SQ_OPEN + EMPTY_ITEM * 3 + SQ_CLOSE)
        status, _, answer = self.attack(lambda: stow_raw(self.web.port, [body_of(bomb, fine)]))
        self.assertEqual(status, 202)
        self.assertEqual(self.failed_reasons(answer), [0xC000])
        stored = json.loads(answer)["00081199"]["Value"]
        self.assertEqual(value(stored[0], "00081155"), STUDY + ".9.1.4")

    def test_element_after_the_pixels_is_refused_where_only_the_head_is_read(self):
        # Explicit VR Little Endian is stored as it arrives and only its head
        # parsed: an element out of order past the pixel data would be in
        # the file and not in the index. An implicit VR part, converted to
        # Explicit VR Little Endian as it arrives, is stored; no file is
        # left.
        late = os.path.join(self.server.tmp, "late.dcm")
        vt.make_dataset(late, STUDY + ".7", STUDY + ".7.1", STUDY + ".7.1.1", pixels=300)
        plain = os.path.join(self.server.tmp, "plain.dcm")
        vt.make_dataset(plain, STUDY + ".7", STUDY + ".7.1", STUDY + ".7.1.2", pixels=300)
        implicit = os.path.join(self.server.tmp, "implicit.dcm")
        subprocess.run(["dcmconv", "+ti", plain, implicit], check=True)
        with open(late, "rb") as f:
            late_bytes = f.read() + b"\x08\x00\x18\x00UI\x08\x009.9.9.9\x00"
        with open(implicit, "rb") as f:
            implicit_bytes = f.read()
        status, _, answer = self.attack(
            lambda: stow_raw(self.web.port, [body_of(late_bytes, implicit_bytes)]))
        self.assertEqual(status, 202)
        self.assertEqual(self.failed_reasons(answer), [0xC000])
        stored = json.loads(answer)["00081199"]["Value"]
        self.assertEqual([value(i, "00081155") for i in stored], [STUDY + ".7.1.2"])
        self.assertFalse(os.path.exists(vt.uid_path(self.server.basedir, STUDY + ".7",
                                                    STUDY + ".7.1", STUDY + ".7.1.1")))
        import pydicom
        kept = pydicom.dcmread(vt.uid_path(self.server.basedir, STUDY + ".7", STUDY + ".7.1",
                                           STUDY + ".7.1.2"))
        self.assertEqual(kept.PixelData, pydicom.dcmread(implicit).PixelData)
        self.assertEqual([n for _, _, names in os.walk(self.server.basedir) for n in names
                          if n.endswith(".tmp")], [])

    def test_implicit_and_big_endian_parts_are_converted_as_they_come(self):
        # 199,000 items (within the limits) in an Implicit VR part and in a
        # big endian one, 1.6 MB each: parsed whole they cost the daemon
        # some 50 MB; converted to Explicit VR Little Endian as they arrive,
        # a few MB beyond their bytes. Each is stored as the sent data set,
        # element for element.
        import pydicom
        plain = os.path.join(self.server.tmp, "conv-plain.dcm")
        vt.make_dataset(plain, STUDY + ".12", STUDY + ".12.1", STUDY + ".12.1.1", pixels=0)
        implicit = os.path.join(self.server.tmp, "conv-implicit.dcm")
        subprocess.run(["dcmconv", "+ti", plain, implicit], check=True)
        with open(implicit, "rb") as f:
            prefix = f.read()
        many = os.path.join(self.server.tmp, "conv-many-implicit.dcm")
        with open(many, "wb") as f:
            f.write(prefix + b"\x40\x00\x30\xa7\xff\xff\xff\xff" + EMPTY_ITEM * 199000
                    + SQ_CLOSE)
        big = os.path.join(self.server.tmp, "conv-many-big.dcm")
        subprocess.run(["dcmconv", "+tb", many, big], check=True)
        # The big endian one is another instance.
        ds = pydicom.dcmread(big)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = STUDY + ".12.1.2"
        ds.save_as(big)
        parts = []
        for path in (many, big):
            with open(path, "rb") as f:
                parts.append(f.read())
        rss, _ = self.web.memory()
        status, _, answer = self.attack(lambda: stow_raw(self.web.port, [body_of(*parts)]))
        self.assertEqual(status, 200, answer[:300])
        _, hwm = self.web.memory()
        vt.assert_memory_below(self, hwm - rss, len(parts[0]) + (10 << 20),
                               "peak %d MB above %d MB" % ((hwm - rss) >> 20, rss >> 20))
        for sent, instance in ((many, ".12.1.1"), (big, ".12.1.2")):
            stored = pydicom.dcmread(vt.uid_path(self.server.basedir, STUDY + ".12",
                                                 STUDY + ".12.1", STUDY + instance))
            self.assertEqual(stored.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.1")
            original = pydicom.dcmread(sent)
            self.assertEqual(len(stored[0x0040A730].value), 199000)
            for elem in original:
                self.assertEqual(stored[elem.tag].value, elem.value, str(elem.tag))
            self.assertEqual(len(stored), len(original))

    def test_part_of_a_million_items_is_refused(self):
        many = (meta_prefix(self.server.tmp, STUDY + ".9.1.2") + SQ_OPEN + EMPTY_ITEM * 1000000
                + SQ_CLOSE)
        status, _, answer = self.attack(lambda: stow_raw(self.web.port, [body_of(many)]))
        self.assertEqual(status, 409)
        self.assertEqual(self.failed_reasons(answer), [0xC000])

    def test_a_million_empty_parts_end_at_the_part_limit(self):
        pieces = [(b"--" + BOUNDARY + b"\r\n\r\n\r\n") * 10000] * 100
        pieces.append(b"--" + BOUNDARY + b"--\r\n")
        status, headers, answer = self.attack(lambda: stow_raw(self.web.port, pieces))
        self.assertEqual(status, 413)
        self.assertIn(b"more than 10000 parts", answer)

    def test_upload_and_part_sizes_are_limited(self):
        web = Web(self.server, args=["-U", "1M,64k", "-N", "3"], env={"TMPDIR": self.tmpdir})
        try:
            small = os.path.join(self.server.tmp, "small.dcm")
            vt.make_dataset(small, STUDY + ".7", STUDY + ".7.1", STUDY + ".7.1.1")
            large = os.path.join(self.server.tmp, "large.dcm")
            vt.make_dataset(large, STUDY + ".7", STUDY + ".7.1", STUDY + ".7.1.2", pixels=300)
            with open(small, "rb") as f:
                small_bytes = f.read()
            with open(large, "rb") as f:
                large_bytes = f.read()
            # A part beyond 64 KiB fails alone; the small one is stored.
            status, _, answer = stow_raw(web.port, [body_of(large_bytes, small_bytes)])
            self.assertEqual(status, 202)
            self.assertEqual(self.failed_reasons(answer), [0xA700])
            self.assertTrue(os.path.exists(vt.uid_path(self.server.basedir, STUDY + ".7",
                                                       STUDY + ".7.1", STUDY + ".7.1.1")))
            # A body announced beyond 1 MiB is refused before it is read; one
            # sent in chunks when it passes the limit.
            big = body_of(*[large_bytes] * 12)
            for chunked in (False, True):
                status, _, answer = stow_raw(web.port, [big[i:i + 65536] for i in
                                                        range(0, len(big), 65536)],
                                             chunked=chunked)
                self.assertEqual(status, 413, chunked)
                self.assertIn(b"Upload larger than 1048576 bytes", answer)
            # More than three parts.
            status, _, answer = stow_raw(web.port, [body_of(*[small_bytes] * 4)])
            self.assertEqual(status, 413)
            self.assertEqual(os.listdir(self.tmpdir), [])
        finally:
            web.stop()

    def test_body_cut_after_a_stored_part_is_a_partial_success(self):
        good = os.path.join(self.server.tmp, "cut.dcm")
        vt.make_dataset(good, STUDY + ".6", STUDY + ".6.1", STUDY + ".6.1.1")
        with open(good, "rb") as f:
            data = f.read()
        # The first part whole, then the second cut in its middle.
        body = part(data) + part(data)[:200]
        status, _, answer = stow_raw(self.web.port, [body])
        self.assertEqual(status, 202)
        stored = json.loads(answer)["00081199"]["Value"]
        self.assertEqual(value(stored[0], "00081155"), STUDY + ".6.1.1")
        self.assertEqual(self.failed_reasons(answer), [0xC000])
        self.assertTrue("1 stored, 1 failed (body cut short)" in self.web.log())
        self.assertTrue(os.path.exists(vt.uid_path(self.server.basedir, STUDY + ".6", STUDY
                                                   + ".6.1", STUDY + ".6.1.1")))
        # Cut right after the first part's delimiter: stored, yet partial.
        status, _, answer = stow_raw(self.web.port, [part(data) + b"--" + BOUNDARY])
        self.assertEqual(status, 202)
        self.assertEqual(self.failed_reasons(answer), [])
        self.assertEqual(os.listdir(self.tmpdir), [])

    # Retrievals ---------------------------------------------------------

    def stow_file(self, path):
        with open(path, "rb") as f:
            status, _, answer = stow_raw(self.web.port, [body_of(f.read())])
        self.assertEqual(status, 200, answer)

    def test_repeated_frames_are_refused(self):
        # Each frame named is sent whole: 1,500 repeats of one 8 MB frame in
        # a 3 kB URL made a 12 GB answer. A repeated number is refused at
        # once; the frames named once each are sent.
        side = 2896  # one frame of 8 MB
        pixels = bytes((i * 7) % 251 for i in range(side)) * side
        path = os.path.join(self.server.tmp, "big.dcm")
        vt.make_dataset(path, STUDY + ".5", STUDY + ".5.1", STUDY + ".5.1.1", pixels=side,
                        extra={"PixelData": pixels})
        self.stow_file(path)
        base = ("/dicom-web/studies/%s.5/series/%s.5.1/instances/%s.5.1.1/frames/"
                % (STUDY, STUDY, STUDY))

        def first_bytes(path):
            # Only the answer's start: a repeated list used to stream for good.
            conn = http.client.HTTPConnection("127.0.0.1", self.web.port, timeout=30)
            conn.request("GET", path)
            r = conn.getresponse()
            answer = (r.status, r.read(65536) if r.status != 200 else b"")
            conn.close()
            return answer

        def fetch():
            return [first_bytes(base + f) for f in
                    (",".join(["1"] * 1500), "1,1", "01,1", "+1", "-1", "%201")]

        started = time.monotonic()
        answers = self.attack(fetch)
        self.assertLess(time.monotonic() - started, OTHER_CLIENT_SECONDS)
        for answer in answers:
            self.assertEqual(answer, (400, b"Bad frame list\n"))
        status, head, body = self.web.curl(base + "1")
        self.assertEqual(status, 200)
        self.assertIn("application/octet-stream", head + body[:200].decode("latin-1"))
        self.assertIn(pixels[:4096], body)
        self.assertLess(len(body), len(pixels) + 400)

    def test_image_claiming_more_pixels_than_its_bytes_is_refused(self):
        path = os.path.join(self.server.tmp, "claims.dcm")
        vt.make_dataset(path, STUDY + ".4", STUDY + ".4.1", STUDY + ".4.1.1", pixels=16,
                        extra={"Rows": 65535, "Columns": 65535})
        self.assertLess(os.path.getsize(path), 1100)
        self.stow_file(path)
        base = "/dicom-web/studies/%s.4/series/%s.4.1/instances/%s.4.1.1" % (STUDY, STUDY, STUDY)

        def fetch():
            return [self.web.curl(base + p)[::2] for p in ("/frames/1", "/rendered",
                                                           "/frames/1/rendered", "/thumbnail")]

        answers = self.attack(fetch)
        self.assertEqual(answers[0], (404, b"No such frame\n"))
        for status, body in answers[1:]:
            self.assertEqual((status, body), (406, b"Cannot render this instance\n"))

    def test_viewer_files_are_kept_once_whatever_the_spelling(self):
        def fetch():
            out = []
            for n in range(1, 41):
                status, _, body = self.web.curl("/viewer" + "/" * n + "app.js")
                out.append((status, len(body), body[:34]))
            return out

        answers = self.attack(fetch)
        adapted = len(self.script) + len("viewer/")
        self.assertEqual(set(answers), {(200, adapted, b'__webpack_require__.p = "/viewer/"')})
        # Nothing outside the directory, however spelt.
        for path in ("/viewer/../viewer/app.js", "/viewer//.hidden", "/viewer/./../etc/passwd"):
            self.assertEqual(self.web.curl(path, ["--path-as-is"])[0], 404, path)

    # Searches and paths ---------------------------------------------------

    def test_filters_of_other_levels_select_by_their_level(self):
        def uids(path, tag):
            return sorted(value(r, tag) for r in self.web.json(path))

        ct = [STUDY + ".1.1", STUDY + ".1.2"]
        self.assertEqual(uids("/dicom-web/instances?Modality=CT&PatientName=LIMITS*",
                              "00080018"), ct)
        self.assertEqual(uids("/dicom-web/studies/%s/instances?Modality=MR" % STUDY, "00080018"),
                         [STUDY + ".2.1", STUDY + ".2.2"])
        self.assertEqual(self.web.json("/dicom-web/studies/%s/series/%s.2/instances?Modality=CT"
                                       % (STUDY, STUDY)), [])
        self.assertEqual(uids("/dicom-web/studies/%s/series/%s.2/instances?Modality=MR"
                              % (STUDY, STUDY), "00080018"), [STUDY + ".2.1", STUDY + ".2.2"])
        self.assertEqual(self.web.json("/dicom-web/series?SOPClassUID=1.2.3"), [])
        self.assertEqual(uids("/dicom-web/series?SOPClassUID=%s" % SOP_MR, "0020000E"),
                         [STUDY + ".2"])
        self.assertEqual(self.web.json("/dicom-web/studies?SeriesDescription=nomatch"), [])
        self.assertEqual(uids("/dicom-web/studies?SeriesDescription=SAG*", "0020000D"), [STUDY])
        self.assertEqual(uids("/dicom-web/studies?SOPClassUID=%s&PatientName=LIMITS*" % SOP_SC, "0020000D"),
                         [STUDY + "0"])
        # SOP Classes in Study, answered and matched as C-FIND does.
        found = self.web.json("/dicom-web/studies?SOPClassesInStudy=%s" % SOP_CT)
        self.assertEqual([value(r, "0020000D") for r in found], [STUDY])
        self.assertEqual(sorted(found[0]["00080062"]["Value"]), [SOP_CT, SOP_MR])
        found = self.web.json("/dicom-web/studies?PatientName=LIMITS*&includefield=00080062")
        self.assertEqual(sorted(r["00080062"]["Value"][0] for r in found
                                if value(r, "0020000D") == STUDY + "0"), [SOP_SC])
        # Malformed values and what no search can match: 400 with the reason.
        for query, reason in [("StudyDate=garbage", b"Malformed value of StudyDate"),
                              ("StudyDate=20241301", b"Malformed value of StudyDate"),
                              ("StudyTime=2561", b"Malformed value of StudyTime"),
                              ("StudyInstanceUID=1.2%5Cx", b"Malformed value of StudyInstanceUID"),
                              ("ReferencedSeriesSequence=1", b"cannot be matched"),
                              ("00091001=x", b"cannot be matched")]:
            status, _, body = self.web.curl("/dicom-web/studies?" + query)
            self.assertEqual(status, 400, query)
            self.assertIn(reason, body)

    def raw_exchange(self, request):
        """Sends request on a connection of its own: (the answer's bytes
        until the server closed, whether it closed within 5 s)."""
        c = socket.create_connection(("127.0.0.1", self.web.port), timeout=5)
        c.sendall(request)
        data = b""
        try:
            while True:
                piece = c.recv(65536)
                if not piece:
                    c.close()
                    return data, True
                data += piece
        except socket.timeout:
            c.close()
            return data, False

    def test_ambiguous_framing_is_refused_and_the_connection_closed(self):
        # Two Content-Length values, or Content-Length beside chunked, were
        # taken and the connection kept (behind a proxy: request smuggling);
        # HTTP/1.1 without Host was answered 200.
        get = b"GET /dicom-web/studies HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        post = (b"POST /delete HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                b"Content-Type: application/x-www-form-urlencoded\r\n")
        smuggled = b"GET /dicom-web/studies HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        cases = [
            post + b"Content-Length: 6\r\nContent-Length: 50\r\n\r\nstudy=" + smuggled,
            post + b"Content-Length: 6\r\nContent-Length: 6\r\n\r\nstudy=" + smuggled,
            post + b"Content-Length: 6, 6\r\n\r\nstudy=" + smuggled,
            post + b"Content-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
            post + b"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n"
            b"0\r\n\r\n" + smuggled,
            post + b"Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled,
            b"GET /dicom-web/studies HTTP/1.1\r\n\r\n" + smuggled,
            get + b"Host: evil.example\r\n\r\n" + smuggled,
        ]

        def run():
            return [self.raw_exchange(c) for c in cases]

        for case, (answer, closed) in zip(cases, self.attack(run)):
            self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), (case, answer[:200]))
            # The request after it is never answered. (A malformed
            # Content-Length is refused by the HTTP library itself, whose
            # page repeats its header lines.)
            self.assertNotIn(b"HTTP/1.1 200 ", answer, case)
            self.assertNotIn(b"HTTP/1.1 403 ", answer, case)
            self.assertTrue(closed, case)
        # HTTP/1.0 needs no Host; a kept-alive HTTP/1.1 request is answered
        # and the next one on the connection too.
        answer, _ = self.raw_exchange(b"GET /dicom-web/studies HTTP/1.0\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.0 200 ") or answer.startswith(b"HTTP/1.1 200 "),
                        answer[:100])
        answer, closed = self.raw_exchange(get + b"\r\n" + get + b"Connection: close\r\n\r\n")
        self.assertEqual(answer.count(b"HTTP/1.1 200 "), 2, answer[:300])
        self.assertTrue(closed)

    def test_keys_on_binary_attributes_are_refused(self):
        # A key on pixel, overlay, LUT or document bytes matched every study
        # (its value read as "any"): refused as a private key is, at every
        # level, by keyword and by tag, in the repeating overlay groups too.
        for key in ("PixelData", "7FE00010", "OverlayData", "60003000", "60023000",
                    "EncapsulatedDocument", "00420011", "RedPaletteColorLookupTableData",
                    "00281201", "LUTData", "7FE00008", "00080000", "ReferencedImageSequence"):
            for level in ("studies", "series", "instances"):
                status, _, body = self.web.curl("/dicom-web/%s?%s=x" % (level, key))
                self.assertEqual((status, body), (400, b"Attribute cannot be matched: %s\n"
                                                  % key.encode()), (level, key))
        # Text and numbers are still matched.
        self.assertEqual(self.web.json("/dicom-web/studies?PatientName=nomatch"), [])
        self.assertEqual(len(self.web.json("/dicom-web/instances?Rows=64&PatientName=LIMITS*")),
                         5)

    def test_uid_list_in_a_retrieve_path_is_refused(self):
        for path in ("/dicom-web/studies/%s%%5C%s0/metadata" % (STUDY, STUDY),
                     "/dicom-web/studies/*/metadata",
                     "/dicom-web/studies/%s/series/%s.1%%5C%s.2" % (STUDY, STUDY, STUDY),
                     "/wado?requestType=WADO&studyUID=%s%%5C1&seriesUID=1&objectUID=1" % STUDY):
            status, _, body = self.web.curl(path)
            self.assertEqual(status, 400, path)
            self.assertIn(b"UID", body)
        self.assertEqual(self.web.curl("/dicom-web/studies/%s/metadata" % STUDY)[0], 200)

    def test_uids_that_are_no_uids_are_refused_at_every_way_in(self):
        # ".." was stored and came back as the ZIP entry "../UID/....dcm":
        # a UID of dots, letters or an empty component fails its part with
        # "Cannot understand" (C000H); a leading zero (some modalities make
        # them) is stored.
        bad = ["..", ".", "...", "1..2", "1.2.", "1.2.x"]
        ok = STUDY + ".7.01"
        uids = ([(u, ok + ".1", ok + ".1.%d" % n) for n, u in enumerate(bad)]
                + [(ok, u, ok + ".1.1%d" % n) for n, u in enumerate(bad)]
                + [(ok, ok + ".1", u) for u in bad] + [(ok, ok + ".1", ok + ".1.1")])
        datas = []
        for n, (study, series, instance) in enumerate(uids):
            p = os.path.join(self.server.tmp, "notuid-%d.dcm" % n)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the writer warns of each bad UID
                vt.make_dataset(p, study, series, instance, pixels=0)
            with open(p, "rb") as f:
                datas.append(f.read())
        status, _, answer = self.attack(lambda: stow_raw(self.web.port, [body_of(*datas)]))
        self.assertEqual(status, 202, answer)
        self.assertEqual(self.failed_reasons(answer), [0xC000] * (len(uids) - 1))
        stored = json.loads(answer)["00081199"]["Value"]
        self.assertEqual([value(i, "00081155") for i in stored], [ok + ".1.1"])
        named = [re.sub(r"^(study|series|image)_|\.dcm$", "", n)
                 for _, dirs, files in os.walk(self.server.basedir) for n in dirs + files
                 if n.startswith(("study_", "series_", "image_"))]
        self.assertTrue(named)
        self.assertFalse([u for u in named if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", u)], named)
        # A ZIP of the study stored names its entry by the UIDs.
        status, _, body = self.web.curl("/download?study=" + ok)
        self.assertEqual(status, 200)
        self.assertIn(("%s/%s.1/%s.1.1.dcm" % (ok, ok, ok)).encode(), body)
        # Requests naming no UID: 400, before any path or entry is made of it.
        for path in ["/download?study=..", "/download?study=%s&series=1..2" % ok,
                     "/dicom-web/studies/1..2/metadata", "/dicom-web/studies/.1",
                     "/dicom-web/studies/%s/series/%s.1/instances/1.2." % (ok, ok),
                     "/wado?requestType=WADO&studyUID=..&seriesUID=..&objectUID=..",
                     "/dicom-web/studies?StudyInstanceUID=.."]:
            conn = http.client.HTTPConnection("127.0.0.1", self.web.port, timeout=30)
            conn.request("GET", path)
            r = conn.getresponse()
            r.read()
            conn.close()
            self.assertEqual(r.status, 400, path)
        # STOW-RS to a study path that is no UID.
        status, _, _ = stow_raw(self.web.port, [body_of(datas[-1])], path="/dicom-web/studies/..")
        self.assertEqual(status, 400)

    def test_forwarding_and_duration_datagrams_keep_the_metrics_few(self):
        # Datagrams from this host naming 20,000 destinations and durations
        # of made-up operations: the destinations not in the AE title map
        # are one "(other)" label, the unknown operations none, and the
        # answer of /metrics stays small.
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)

        def flood():
            for i in range(20000):
                for text in (b"pacs 1 STORAGE FORWARD SENT 1 1 T%05d\"\\\n" % i,
                             b"pacs 1 STORAGE TIME X-%05d 1000\n" % i,
                             b"pacs 1 STORAGE TIME C-FIND 1000\n"):
                    sock.sendto(text, (vt.MCAST_GROUP, self.server.monitor_port))
                if i % 500 == 0:
                    time.sleep(0.01)  # a loss of the channel is no loss of the test
        try:
            self.attack(flood)
        finally:
            sock.close()

        def text():
            return self.web.curl("/metrics")[2].decode()
        vt.wait_for(lambda: 'velto_dimse_request_duration_seconds_count{operation="C-FIND"}'
                    in text(), 10, what="the durations counted")
        m = text()
        self.assertLess(len(m), 64 << 10)
        self.assertEqual(re.findall(r"^velto_images_forwarded_total\{[^}]*\}", m, re.M),
                         ['velto_images_forwarded_total{destination="(other)"}'])
        self.assertNotIn("T0", m)
        self.assertNotIn("X-", m)
        counted = int(re.search(r'^velto_forward_failures_total\{destination="\(other\)"\} (\d+)$',
                                m, re.M).group(1))
        self.assertTrue(0 < counted <= 20000, counted)

    def test_hostile_changes_are_refused_and_change_nothing(self):
        # POST /changes (a change of stored images): bodies beyond the page
        # bound, a flood of fields, names and values that are no attributes
        # or values, UIDs that are no UIDs: each refused whole.
        study = STUDY + ".35"
        p = os.path.join(self.server.tmp, "change.dcm")
        vt.make_dataset(p, study, study + ".1", study + ".1.1", patient_name="KEEP^ME",
                        patient_id="PKEEP", pixels=4)
        self.assertEqual(self.server.storescu([p]).returncode, 0)
        stored = vt.uid_path(self.server.basedir, study, study + ".1", study + ".1.1")
        with open(stored, "rb") as f:
            before = f.read()

        def post(body):
            conn = http.client.HTTPConnection("127.0.0.1", self.web.port, timeout=60)
            conn.request("POST", "/changes", body=body,
                         headers={"Content-Type": "application/json"})
            r = conn.getresponse()
            answer = r.read()
            conn.close()
            return r.status, answer
        flood = json.dumps(dict({"kind": "modify", "study": study},
                                **{"PatientName%d" % n: "x" for n in range(2000)}))
        cases = [
            (b"{" + b'"a": "b", ' * 200000 + b'"c": "d"}', 413),
            (flood.encode(), 400),
            (json.dumps({"kind": "modify", "study": study, "(7fe0,0010)": "AA"}).encode(), 400),
            (json.dumps({"kind": "modify", "study": study, "%n%s%s": "x"}).encode(), 400),
            (json.dumps({"kind": "modify", "study": study, "PatientName": "a\nb"}).encode(), 400),
            (json.dumps({"kind": "modify", "study": study,
                         "PatientName": "x" * 5000}).encode(), 400),
            (json.dumps({"kind": "modify", "study": "..", "PatientName": "x"}).encode(), 400),
            (json.dumps({"kind": "split", "study": study, "series": "../..,1.2"}).encode(), 400),
            (json.dumps({"kind": "merge", "from": "P*", "to": "PKEEP"}).encode(), 400),
            (b'{"kind": "modify", "study": ' + b"[" * 60000 + b"}", 400),
        ]
        for body, status in cases:
            got, answer = self.attack(lambda: post(body))
            self.assertEqual(got, status, (body[:80], answer[:200]))
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertFalse(os.path.exists(os.path.join(self.server.basedir, "CHANGES")))

    def test_study_page_over_an_unreadable_index_is_an_error(self):
        data = os.path.join(self.server.basedir, "uid", "STUDYINDEX.dat")
        os.rename(data, data + ".away")
        try:
            status, _, body = self.web.curl("/")
            self.assertEqual((status, body), (500, b"Index unreadable\n"))
            self.assertEqual(self.web.curl("/dicom-web/studies")[0], 500)
        finally:
            os.rename(data + ".away", data)
        status, _, body = self.web.curl("/")
        self.assertEqual(status, 200)
        self.assertIn(STUDY.encode(), body)


BIG = "1.2.826.0.1.3680043.9.7.61"
BIG_SERIES = BIG + ".1"
BIG_COUNT = 3000
# Longest a small search may take while big searches run (each of these
# took 1 to 9 s when searches ran one at a time).
SMALL_SEARCH_SECONDS = 3.0 if vt.SANITIZED else 1.0


def big_instance(i):
    return "%s.%d" % (BIG_SERIES, 10000 + i)


class WebBigStudyTest(unittest.TestCase):
    """A study of 3,000 instances with 12 kB of text each (36 MB of
    metadata), written into the store's tree directly and indexed by
    storeindex rebuild, before storeweb starts on it."""

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        cls.server = vt.Server(start=False)
        template = os.path.join(cls.server.tmp, "template.dcm")
        long_text = ("metadata " * 440)[:3990]
        vt.make_dataset(template, BIG, BIG_SERIES, big_instance(0), patient_name="BIG^STUDY",
                        patient_id="PBIG", pixels=4,
                        extra={"ImageComments": "I" + long_text, "PatientComments": "P" + long_text,
                               "AdditionalPatientHistory": "H" + long_text})
        with open(template, "rb") as f:
            data = f.read()
        placeholder = big_instance(0).encode()
        assert data.count(placeholder) == 2
        series_dir = vt.uid_path(cls.server.basedir, BIG, BIG_SERIES)
        os.makedirs(series_dir)
        for i in range(BIG_COUNT):
            with open(vt.uid_path(cls.server.basedir, BIG, BIG_SERIES, big_instance(i)),
                      "wb") as f:
                f.write(data.replace(placeholder, big_instance(i).encode()))
        storeindex = os.path.join(vt.BUILD, "storeindex", "storeindex")
        p = vt.run([storeindex, "rebuild", "-f", cls.server.basedir])
        assert p.returncode == 0, p.stdout + p.stderr
        cls.web = Web(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.server.cleanup()

    def get(self, path, method="GET", keep=None):
        """(status, headers, body, seconds) of one request; keep: how many
        bytes of the body to hold (the rest is read and counted)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.web.port, timeout=120)
        start = time.monotonic()
        conn.request(method, path)
        r = conn.getresponse()
        body, total = b"", 0
        while True:
            piece = r.read(1 << 20)
            if not piece:
                break
            total += len(piece)
            if keep is None or len(body) < keep:
                body += piece
        conn.close()
        return r.status, r.getheaders(), body, time.monotonic() - start, total

    def test_metadata_is_streamed(self):
        # The metadata of the study was made whole in memory per request:
        # 100 MB at its peak for each, 395 MB for 8 at once.
        path = "/dicom-web/studies/%s/metadata" % BIG
        status, headers, body, _, total = self.get(path)
        self.assertEqual(status, 200)
        self.assertEqual(dict(headers)["Content-Type"], "application/dicom+json")
        self.assertGreater(total, 36 << 20)
        found = json.loads(body)
        self.assertEqual(len(found), BIG_COUNT)
        self.assertEqual(sorted(value(m, "00080018") for m in found),
                         sorted(big_instance(i) for i in range(BIG_COUNT)))
        # As it was made whole: each instance's object as its own metadata
        # gives it, in the list's order, between "[" and "]" with commas.
        one = [self.get("/dicom-web/studies/%s/series/%s/instances/%s/metadata"
                        % (BIG, BIG_SERIES, value(m, "00080018")))[2] for m in found[:3]]
        for answer in one:
            self.assertTrue(answer.startswith(b"[{") and answer.endswith(b"}]"), answer[:80])
        self.assertTrue(body.startswith(b"[" + b",".join(a[1:-1] for a in one) + b","))
        self.assertTrue(body.endswith(b"}]"))
        self.assertEqual(value(found[0], "00204000")[:9], "Imetadata")
        self.assertIn("BulkDataURI", found[0]["7FE00010"])
        # Eight at once stay far below the bound, as does a HEAD, which
        # makes no body at all and answers at once.
        self.web.reset_peak()
        answers = [None] * 8

        def fetch(n):
            answers[n] = self.get(path, keep=0)
        threads = [threading.Thread(target=fetch, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        status, headers, head_body, took, _ = self.get(path, method="HEAD")
        for t in threads:
            t.join()
        self.assertEqual((status, head_body), (200, b""))
        self.assertLess(took, SMALL_SEARCH_SECONDS)
        for a in answers:
            self.assertEqual((a[0], a[4]), (200, total))
        rss, hwm = self.web.memory()
        vt.assert_memory_below(self, hwm, MEMORY_BOUND, "peak %d MB" % (hwm >> 20))

    def test_searches_run_side_by_side(self):
        # Eight searches of every instance with all their attributes ran
        # one after the other, and a small search waited for all of them.
        big = "/dicom-web/instances?PatientID=PBIG&includefield=all"
        small = "/dicom-web/studies?PatientName=BIG*"
        self.assertEqual(self.get(small)[0], 200)
        self.web.reset_peak()
        answers = [None] * 8

        def fetch(n):
            answers[n] = self.get(big)
        threads = [threading.Thread(target=fetch, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        time.sleep(0.2)
        status, _, body, took, _ = self.get(small)
        # The small search began and ended while big ones ran.
        busy = sum(1 for t in threads if t.is_alive())
        for t in threads:
            t.join()
        self.assertEqual(status, 200)
        self.assertEqual([value(m, "0020000D") for m in json.loads(body)], [BIG])
        self.assertLess(took, SMALL_SEARCH_SECONDS)
        self.assertGreater(busy, 0, "the big searches ended before the small one")
        # Without a limit an instance search answers the first 1,000 and
        # says that more can be asked for; the next page comes with offset.
        # (Each answer is written out as it is read: 8 at once peak near
        # 100 MB; made whole, 3,000 matches each took the daemon to 255 MB.)
        for status, headers, body, _, _ in answers:
            self.assertEqual(status, 200)
            found = json.loads(body)
            self.assertEqual(len(found), 1000)
            warnings = [v for k, v in headers if k == "Warning"]
            self.assertEqual(len(warnings), 1, headers)
            self.assertTrue(warnings[0].startswith("299 storeweb: "), warnings)
            self.assertIn("Additional results can be requested", warnings[0])
        first = json.loads(answers[0][2])
        rest = []
        for offset in (1000, 2000):
            status, headers, body, _, _ = self.get(big + "&offset=%d" % offset)
            rest += json.loads(body)
            self.assertEqual([k for k, v in headers if k == "Warning"],
                             ["Warning"] if offset == 1000 else [])
        self.assertEqual(sorted(value(m, "00080018") for m in first + rest),
                         sorted(big_instance(i) for i in range(BIG_COUNT)))
        # A smaller limit is kept as given, without a warning; a larger one
        # is cut to the 1,000 as well.
        status, headers, body, _, _ = self.get(big + "&limit=500&offset=10")
        self.assertEqual((status, len(json.loads(body))), (200, 500))
        self.assertNotIn("Warning", dict(headers))
        self.assertEqual([value(m, "00080018") for m in json.loads(body)],
                         [value(m, "00080018") for m in first[10:510]])
        status, headers, body, _, _ = self.get(big + "&limit=1500")
        self.assertEqual((status, len(json.loads(body))), (200, 1000))
        self.assertIn("Additional results", dict(headers)["Warning"])
        rss, hwm = self.web.memory()
        vt.assert_memory_below(self, hwm, MEMORY_BOUND, "peak %d MB" % (hwm >> 20))


if __name__ == "__main__":
    vt.main()

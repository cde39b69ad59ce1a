"""Query/retrieve from another archive in the browser's page: dcmtk's
dcmqrscp is the peer; storeweb searches it (C-FIND by patient, date range
and modality) and brings a chosen study into the archive (a C-MOVE at the
peer to the archive's own AE title), with the move's progress in JSON and
on the page. The page needs the find and the store rights; a peer that is
down fails the retrieve with its reason; the archive itself is no peer."""

import os
import re
import subprocess
import tempfile
import unittest

import veltotest as vt
from webharness import Web, STOREWEB

CONFIG = """NetworkTCPPort  = %(port)d
MaxPDUSize      = 16384
MaxAssociations = 16

HostTable BEGIN
archive = (ARCHIVE, 127.0.0.1, %(archive_port)d)
HostTable END

VendorTable BEGIN
VendorTable END

AETable BEGIN
QRSCP   %(db)s   RW (100, 64mb)   ANY
AETable END
"""

STUDY = "1.2.826.0.1.3680043.9.7301"
OTHER = "1.2.826.0.1.3680043.9.7302"


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


class Peer:
    """dcmqrscp as QRSCP, knowing the archive as its move destination."""

    def __init__(self, tmp, archive_port, port=None):
        self.port = port or vt.free_port()
        self.db = os.path.join(tmp, "qrdb")
        os.makedirs(self.db, exist_ok=True)
        self.config = os.path.join(tmp, "dcmqrscp.cfg")
        with open(self.config, "w") as f:
            f.write(CONFIG % dict(port=self.port, archive_port=archive_port, db=self.db))
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["dcmqrscp", "-c", self.config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        vt.wait_for(lambda: vt.port_open(self.port), 10, what="dcmqrscp to listen")
        return self

    def load(self, files):
        vt.run(["storescu", "-aet", "LOADER", "-aec", "QRSCP", "127.0.0.1", str(self.port)]
               + files, check=True)

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


class QueryRetrieveTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")

    def setUp(self):
        super().setUp()
        self.stop_later = []
        self.src = tempfile.mkdtemp(prefix="qr-src-")

    def tearDown(self):
        for p in self.stop_later:
            p.stop()
        super().tearDown()

    def setup_site(self, peer_up=True):
        """An archive (ARCHIVE), dcmqrscp holding two studies, storeweb with
        users of find rights alone and of find and store."""
        peer_port = vt.free_port()
        s = self.server(start=False,
                        aetmap="QR\tQRSCP\t127.0.0.1:%d\tFMS\n"
                               "Self\tARCHIVE\t127.0.0.1:1\tFMS\n" % peer_port)
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("QRSCP map store\nfinder any find\nqr any find store\n")
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("finder:%s\nqr:%s\n" % (crypt_hash("f"), crypt_hash("q")))
        s.start()
        peer = Peer(s.tmp, s.port, peer_port)
        self.stop_later.append(peer)
        files = []
        for i in range(3):
            files.append(vt.make_dataset(
                os.path.join(self.src, "a%d.dcm" % i), STUDY, STUDY + ".1", STUDY + ".1.%d" % i,
                patient_name="DOE^JANE", patient_id="P7301", modality="MR",
                study_date="20240305", sop_class="1.2.840.10008.5.1.4.1.1.4"))
        files.append(vt.make_dataset(
            os.path.join(self.src, "b.dcm"), OTHER, OTHER + ".1", OTHER + ".1.1",
            patient_name="ROE^RICHARD", patient_id="P7302", modality="CT",
            study_date="20231111", sop_class="1.2.840.10008.5.1.4.1.1.2"))
        if peer_up:
            peer.start()
            peer.load(files)
        # The archive's title as storeserver's -a gives it.
        w = Web(s, args=["-a", "ARCHIVE"])
        self.stop_later.append(w)
        return s, peer, w

    def test_search_and_retrieve_a_study_with_progress(self):
        s, peer, w = self.setup_site()
        qr = ["-u", "qr:q"]
        # Find rights alone do not reach the page.
        self.assertEqual(w.curl("/retrieve", ["-u", "finder:f"])[0], 403)
        status, _, page = w.curl("/retrieve", qr)
        self.assertEqual(status, 200)
        self.assertIn(b'<option value="QRSCP">QR (QRSCP)</option>', page)
        self.assertNotIn(b'value="ARCHIVE"', page)  # the archive itself is no peer
        self.assertIn(b'<a href="/retrieve" aria-current="page">', page)
        # By name (the start of it), date range and modality.
        found = w.json("/retrieve/find?peer=QRSCP&name=DOE", qr)["studies"]
        self.assertEqual([(x["study"], x["PatientName"], x["StudyDate"]) for x in found],
                         [(STUDY, "DOE^JANE", "20240305")])
        found = w.json("/retrieve/find?peer=QRSCP&from=2023-01-01&to=2023-12-31", qr)["studies"]
        self.assertEqual([x["study"] for x in found], [OTHER])
        both = w.json("/retrieve/find?peer=QRSCP", qr)["studies"]
        self.assertEqual(sorted(x["study"] for x in both), [STUDY, OTHER])
        status, _, page = w.curl("/retrieve?peer=QRSCP&name=DOE&search=1", qr)
        self.assertEqual(status, 200)
        self.assertIn(b'<tr data-study="%s">' % STUDY.encode(), page)
        self.assertIn(b'<p id="qr-count">1 found</p>', page)
        self.assertIn(b'name="name" value="DOE"', page)  # the search's fields kept
        # Not a search: 400; a peer that cannot be searched: 502.
        for bad in ("peer=NOPE", "peer=QRSCP&from=2024-99-1", "peer=QRSCP&name=A%5CB",
                    "peer=QRSCP&to=" + "9" * 5000):
            self.assertEqual(w.curl("/retrieve/find?" + bad, qr)[0], 400, bad)
        # Brought in: the archive holds the study's three images.
        status, _, answer = w.curl("/retrieve/move", qr + [
            "-X", "POST", "-H", "Content-Type: application/json", "--data",
            '{"peer":"QRSCP","study":"%s"}' % STUDY])
        self.assertEqual(status, 202, answer)

        def done():
            moves = w.json("/retrieve/moves", qr)["retrievals"]
            return moves[0] if moves and moves[0]["state"] != "running" else None
        move = vt.wait_for(done, 30, what="the retrieve to end")
        self.assertEqual((move["state"], move["completed"], move["failed"], move["remaining"]),
                         ("done", 3, 0, 0), move)
        images = w.json("/dicom-web/studies/%s/instances" % STUDY, qr)
        self.assertEqual(len(images), 3)
        page = w.curl("/retrieve", qr)[2]
        self.assertIn(b'<tr class="move done" data-id="%d">' % move["id"], page)
        self.assertIn(b"Retrieve %d of study %s from QRSCP: done, 3 image(s) stored"
                      % (move["id"], STUDY.encode()), w.log().encode())

    def test_peer_down_fails_the_retrieve_with_its_reason(self):
        s, peer, w = self.setup_site(peer_up=False)
        qr = ["-u", "qr:q"]
        status, _, page = w.curl("/retrieve?peer=QRSCP&search=1", qr)
        self.assertEqual(status, 200)
        self.assertIn(b'<p class="message" role="alert">cannot reach the peer</p>', page)
        self.assertEqual(w.curl("/retrieve/find?peer=QRSCP", qr)[0], 502)
        page = w.curl("/forward", qr)[2]  # the user's token, as any page has it
        token = re.search(rb'name="csrf" value="([0-9a-f]+)"', page).group(1).decode()
        status, head, _ = w.curl("/retrieve/move", qr + [
            "-X", "POST", "-H", "Content-Type: application/x-www-form-urlencoded", "--data",
            "csrf=%s&peer=QRSCP&study=%s" % (token, STUDY)])
        self.assertEqual(status, 303)
        move = vt.wait_for(lambda: next((m for m in w.json("/retrieve/moves", qr)["retrievals"]
                                         if m["state"] != "running"), None), 30,
                           what="the retrieve to fail")
        self.assertEqual((move["state"], move["error"]), ("failed", "cannot reach the peer"))
        # A form without the page's token is refused.
        self.assertEqual(w.curl("/retrieve/move", qr + [
            "-X", "POST", "-H", "Content-Type: application/x-www-form-urlencoded", "--data",
            "peer=QRSCP&study=%s" % STUDY])[0], 403)


if __name__ == "__main__":
    vt.main()

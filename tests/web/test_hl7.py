"""HL7 ADT over MLLP into storeweb's listener, sent by a real MLLP client
(python3-hl7: its MLLPClient and its mllp_send program): A08 changes a
patient's name, birth date and sex (Latin-1 and UTF-8 messages), A40 merges
one patient into another (as many studies as before), A47 changes a
patient's identifier; each answered AA and seen over C-FIND and in the
stored files. Malformed or unsupported messages are answered AE or AR with
the reason and change nothing (every stored file byte for byte as before);
a stream that is not MLLP is cut off; a sender not allowed by the site file
gets no answer; an ADT for a patient the archive does not hold is
acknowledged and changes nothing."""

import hashlib
import os
import socket
import subprocess
import time

import pydicom
from hl7.client import MLLPClient

import veltotest as vt
from webharness import Web

UID = "1.2.826.0.1.3680043.10.544.77"
AETMAP = "CLIENT CLIENT 127.0.0.1:11112\n"


def message(event, segments, charset="", structure=None, control="C1", sep="|", enc="^~\\&"):
    msh = [
        "MSH", enc, "HIS", "HOSP", "VELTO", "RAD", "20261210120000", "",
        "ADT^%s^%s" % (event, structure or "ADT_A01"), control, "P", "2.5",
    ]
    if charset:
        msh += [""] * 5 + [charset]
    text = sep.join(msh)
    return "\r".join([text] + segments) + "\r"


def ack_fields(raw):
    """MSA-1 and the rest of the ACK's segments, by name, from its bytes."""
    text = raw.strip(b"\x0b\x1c\r").decode("ascii")
    segs = {s.split("|")[0]: s.split("|") for s in text.split("\r") if s}
    return segs


class Hl7Test(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.srv = self.server(aetmap=AETMAP, start=False)
        self.hl7port = vt.free_port()
        with open(os.path.join(self.srv.etc, "HL7Listener"), "w") as f:
            f.write("port %d\nallow 127.0.0.1\n" % self.hl7port)
        self.srv.start()
        files = []
        # Patient P1: two studies (3 images); P2: one study; P3: one study.
        for n, (pid, name, study, count) in enumerate([
                ("P1", "MUELLER^ANNA", 1, 2), ("P1", "MUELLER^ANNA", 2, 1),
                ("P2", "SMITH^JOHN", 3, 1), ("P3", "DOE^JANE", 4, 1)]):
            for i in range(count):
                st = "%s.%d" % (UID, study)
                files.append(vt.make_dataset(
                    os.path.join(self.srv.tmp, "in-%d-%d.dcm" % (study, i)), st, st + ".1",
                    "%s.1.%d" % (st, i), patient_name=name, patient_id=pid,
                    extra={"PatientBirthDate": "19600101", "PatientSex": "F"}))
        p = self.srv.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.web = Web(self.srv)
        vt.wait_for(lambda: vt.port_open(self.hl7port), 10, what="the HL7 listener")

    def tearDown(self):
        self.web.stop()
        super().tearDown()

    def send(self, text, encoding="ascii"):
        with MLLPClient("127.0.0.1", self.hl7port) as client:
            return ack_fields(client.send_message(text.encode(encoding)))

    def patients(self):
        """{PatientID: (PatientName, birth date, sex, number of studies)} by C-FIND."""
        p, found = self.srv.findscu(["PatientID", "PatientName", "PatientBirthDate",
                                     "PatientSex", "NumberOfPatientRelatedStudies"],
                                    level="PATIENT", model="-P")
        self.assertEqual(p.returncode, 0, p.stderr)
        return {str(d.PatientID): (str(d.PatientName), str(d.PatientBirthDate),
                                   str(d.PatientSex), int(d.NumberOfPatientRelatedStudies))
                for d in found}

    def stored(self):
        """{path: sha256} of every stored image file."""
        out = {}
        for path in vt.files_below(os.path.join(self.srv.basedir, "uid"), ".dcm"):
            with open(path, "rb") as f:
                out[path] = hashlib.sha256(f.read()).hexdigest()
        return out

    def stored_names(self, pid):
        names = set()
        for path in vt.files_below(os.path.join(self.srv.basedir, "uid"), ".dcm"):
            ds = pydicom.dcmread(path)
            if ds.PatientID == pid:
                names.add(str(ds.PatientName))
        return names

    def test_a08_in_latin1_and_utf8(self):
        before = self.stored()
        ack = self.send(message("A08", ["EVN|A08|20261210", "PID|1||P1^^^^MR||M\xfcller^Anna^^^Dr||"
                                        "19600102|F"], charset="8859/1"), "latin-1")
        self.assertEqual(ack["MSA"][1], "AA", ack)
        self.assertEqual(ack["MSA"][2], "C1")
        self.assertEqual(self.patients()["P1"], ("M\xfcller^Anna^^Dr", "19600102", "F", 2))
        self.assertEqual(self.stored_names("P1"), {"M\xfcller^Anna^^Dr"})
        # The other patients' files are untouched.
        after = self.stored()
        changed = {p for p in before if before[p] != after.get(p)}
        self.assertEqual(len(changed), 3)
        # UTF-8, sent by the mllp_send program: a name in Japanese, the sex
        # cleared with HL7's null.
        msg = message("A08", ["PID|1||P1||\u5c71\u7530^\u592a\u90ce|||\"\""],
                      charset="UNICODE UTF-8", control="C2")
        path = os.path.join(self.srv.tmp, "a08.hl7")
        with open(path, "wb") as f:
            f.write(b"\x0b" + msg.encode("utf-8") + b"\x1c\r")
        p = vt.run(["mllp_send", "--port", str(self.hl7port), "--file", path, "127.0.0.1"])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("MSA|AA|C2", p.stdout)
        self.assertEqual(self.patients()["P1"], ("\u5c71\u7530^\u592a\u90ce", "19600102", "", 2))

    def test_a40_merges_and_a47_changes_the_identifier(self):
        ack = self.send(message("A40", ["EVN|A40", "PID|1||P2^^^^MR||SMITH^JOHN",
                                        "MRG|P1^^^^MR"], structure="ADT_A39"))
        self.assertEqual(ack["MSA"][1], "AA", ack)
        pats = self.patients()
        self.assertNotIn("P1", pats)
        # P1's two studies are P2's, beside its own: three, none duplicated.
        self.assertEqual(pats["P2"], ("SMITH^JOHN", "19600101", "F", 3))
        p, found = self.srv.findscu(["PatientID=P2", "StudyInstanceUID"])
        self.assertEqual(sorted(str(d.StudyInstanceUID) for d in found),
                         ["%s.%d" % (UID, n) for n in (1, 2, 3)])
        ack = self.send(message("A47", ["EVN|A47", "PID|1||NEW-3^^^HOSP^MR", "MRG|P3^^^^MR"],
                                structure="ADT_A30"))
        self.assertEqual(ack["MSA"][1], "AA", ack)
        pats = self.patients()
        self.assertNotIn("P3", pats)
        self.assertEqual(pats["NEW-3"], ("DOE^JANE", "19600101", "F", 1))

    def test_bad_messages_change_nothing(self):
        before = self.stored()
        pats = self.patients()
        cases = [
            # (message, encoding, ACK code, ERR-3 code)
            (message("A08", ["PID|1||^^^HOSP||DOE"]), "ascii", "AE", "101"),
            (message("A08", ["PID|1||P1||DOE||19601301"]), "ascii", "AE", "102"),
            (message("A08", ["PID|1||P1||M\xfcller"]), "latin-1", "AE", "102"),
            (message("A08", ["PID|1||P1||M\xfcller"], charset="UNICODE UTF-8"), "latin-1",
             "AE", "102"),
            (message("A08", ["PID|1||P1||DOE"], charset="ISO IR87"), "ascii", "AR", "100"),
            (message("A08", ["PID|1||P1||DOE"]).replace("2.5", "3.0", 1), "ascii", "AR", "203"),
            (message("O01", ["PID|1||P1||DOE"]).replace("ADT^", "ORM^", 1), "ascii", "AR", "200"),
            (message("A01", ["PID|1||P1||DOE"]), "ascii", "AR", "201"),
            (message("A40", ["PID|1||P2"]), "ascii", "AE", "101"),
            (message("A47", ["PID|1||P1", "MRG|P1"]), "ascii", "AE", "102"),
            # A new identifier that is another patient's: not a silent merge.
            (message("A47", ["PID|1||P2", "MRG|P3"]), "ascii", "AE", "205"),
            ("not HL7 at all\r", "ascii", "AR", "100"),
        ]
        for text, encoding, code, err in cases:
            ack = self.send(text, encoding)
            self.assertEqual(ack["MSA"][1], code, (text, ack))
            self.assertEqual(ack["ERR"][3].split("^")[0], err, (text, ack))
            self.assertTrue(ack["ERR"][8], ack)
        # A patient the archive does not hold: acknowledged, nothing to do.
        ack = self.send(message("A08", ["PID|1||NOBODY||DOE^X"]))
        self.assertEqual(ack["MSA"][1], "AA", ack)
        self.assertEqual(self.stored(), before)
        self.assertEqual(self.patients(), pats)
        # A stream that is not MLLP is cut off unanswered; the listener goes on.
        s = socket.create_connection(("127.0.0.1", self.hl7port), timeout=10)
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        self.assertEqual(s.recv(100), b"")
        s.close()
        # A message beyond the limit (1 MiB by default) ends its connection.
        s = socket.create_connection(("127.0.0.1", self.hl7port), timeout=10)
        try:
            s.sendall(b"\x0bMSH|^~\\&|" + b"x" * (1 << 20) + b"\x1c\r")
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:
            self.assertEqual(s.recv(100), b"")
        except ConnectionResetError:
            pass
        s.close()
        ack = self.send(message("A08", ["PID|1||NOBODY||DOE^X"], control="C9"))
        self.assertEqual(ack["MSA"][1:3], ["AA", "C9"], ack)
        self.assertEqual(self.stored(), before)

    def test_sender_not_allowed_gets_no_answer(self):
        self.web.stop()
        with open(os.path.join(self.srv.etc, "HL7Listener"), "w") as f:
            f.write("port %d\nallow 127.0.0.2/32\n" % self.hl7port)
        self.web = Web(self.srv)
        vt.wait_for(lambda: vt.port_open(self.hl7port), 10, what="the HL7 listener")
        before = self.stored()
        s = socket.create_connection(("127.0.0.1", self.hl7port), timeout=10)
        try:
            s.sendall(b"\x0b" + message("A08", ["PID|1||P1||X^Y"]).encode() + b"\x1c\r")
            self.assertEqual(s.recv(100), b"")
        except (BrokenPipeError, ConnectionResetError):
            pass
        s.close()
        self.assertEqual(self.stored(), before)
        self.assertIn("not allowed by HL7Listener", self.web.log())


if __name__ == "__main__":
    vt.main()

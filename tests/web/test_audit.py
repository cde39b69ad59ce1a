"""The audit trail: a scripted day on storeserver, storeweb and storeindex
(stores, queries, views, downloads, a send, a delete, a worklist change, a
failed login) with a real rsyslog as the collector (TCP, octet counting),
stopped for half of the day. Its file must then hold exactly the expected
DICOM audit messages in order, each valid against the audit message schema
(tests/lib/auditmessage.rng, checked with xmllint); the study's audit page
lists its events, for those who may search only."""

import base64
import json
import os
import re
import signal
import subprocess
import tempfile

import veltotest as vt
from webharness import Web

RNG = os.path.join(vt.SOURCE, "tests", "lib", "auditmessage.rng")
STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
STUDY = "1.2.826.0.1.3680043.9.7.361"
STUDY2 = "1.2.826.0.1.3680043.9.7.362"


def crypt_hash(password):
    # The same hash as the web tests' users files (SHA-512 crypt).
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "auditsalt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


def make_ca(top, name):
    """A certificate authority and a certificate it signed for 127.0.0.1:
    the paths of (ca.pem, server.pem, server.key)."""
    d = os.path.join(top, name)
    os.makedirs(d)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run = lambda *a: subprocess.run(a, cwd=d, check=True, capture_output=True)
    run("openssl", "req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=" + name)
    run("openssl", "req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj",
        "/CN=127.0.0.1")
    with open(os.path.join(d, "ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "ext")
    return [os.path.join(d, n) for n in ("ca.pem", "server.pem", "server.key")]


class Rsyslog:
    """rsyslogd in the foreground with a private configuration: imtcp on a
    free loopback port (over TLS with tls=(ca, certificate, key)), every
    message's text (the XML) appended to a file."""

    def __init__(self, tmp, tls=None):
        self.dir = tempfile.mkdtemp(prefix="rsyslog-", dir=tmp)
        self.port = vt.free_port()
        self.file = os.path.join(self.dir, "audit.log")
        self.conf = os.path.join(self.dir, "rsyslog.conf")
        driver = module = ""
        if tls:
            driver = (' DefaultNetstreamDriver="ossl" DefaultNetstreamDriverCAFile="%s"'
                      ' DefaultNetstreamDriverCertFile="%s" DefaultNetstreamDriverKeyFile="%s"'
                      % tuple(tls))
            module = ' StreamDriver.Name="ossl" StreamDriver.Mode="1" StreamDriver.AuthMode="anon"'
        with open(self.conf, "w") as f:
            f.write('global(workDirectory="%s" maxMessageSize="256k"%s)\n'
                    'module(load="imtcp"%s)\n'
                    'input(type="imtcp" port="%d" address="127.0.0.1")\n'
                    'template(name="xml" type="string" string="%%msg%%\\n")\n'
                    'action(type="omfile" file="%s" template="xml")\n'
                    % (self.dir, driver, module, self.port, self.file))
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["rsyslogd", "-n", "-f", self.conf, "-i",
                                      os.path.join(self.dir, "pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     start_new_session=True)
        vt.wait_for(lambda: vt.port_open(self.port) or self.proc.poll() is not None, 10,
                    what="rsyslogd to listen")
        if self.proc.poll() is not None:
            raise AssertionError("rsyslogd ended: %s" % self.proc.stderr.read())

    def stop(self):
        if self.proc is not None:
            vt.stop_process(self.proc)
            self.proc = None

    def messages(self):
        try:
            with open(self.file, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        # The byte order mark that starts each message's text.
        return [line.lstrip("\ufeff") for line in lines if line.strip()]


def summary(xml):
    """(event, action, outcome, requestor) of one message."""
    event = re.search(r'<EventID [^>]*originalText="([^"]*)"', xml).group(1)
    types = re.findall(r'<EventTypeCode [^>]*originalText="([^"]*)"', xml)
    action = re.search(r'EventActionCode="(.)"', xml).group(1)
    outcome = re.search(r'EventOutcomeIndicator="(\d+)"', xml).group(1)
    req = re.search(r'<ActiveParticipant UserID="([^"]*)"[^>]*UserIsRequestor="true"', xml)
    if event == "Application Activity":
        # Who: the application itself (its launcher is whoever ran it).
        req = re.search(r'<ActiveParticipant UserID="([^"]*)"[^>]*><RoleIDCode csd-code="110150"',
                        xml)
    return (event + ("/" + types[0] if types else ""), action, outcome,
            req.group(1) if req else None)


class AuditTest(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.syslog = None
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        if self.syslog is not None:
            self.syslog.stop()
        super().tearDown()

    def wait_count(self, n, what):
        try:
            vt.wait_for(lambda: len(self.syslog.messages()) >= n, 20,
                        what="%d audit messages (%s)" % (n, what))
        except AssertionError as e:
            raise AssertionError("%s; got %s" % (e, [summary(m) for m in self.syslog.messages()]))
        return self.syslog.messages()

    def test_a_day_arrives_whole_and_in_order_through_an_outage(self):
        # The collector and the move's destination live in the server's
        # directory, which the test's end removes.
        s = self.server(start=False)
        self.syslog = Rsyslog(s.tmp)
        self.syslog.start()
        dest = vt.StoreSCP(s.tmp)
        self.addCleanup(dest.stop)
        with open(os.path.join(s.etc, "AETitleMap"), "w") as f:
            f.write(dest.map_line())
        with open(os.path.join(s.etc, "AuditLog"), "w") as f:
            # Test-only short intervals: the sender looks every 50 ms and
            # tries a collector that is down again after 100 ms.
            f.write("# the collector\ntcp 127.0.0.1:%d\nretry 100ms\npoll 50ms\nsite TESTSITE\n"
                    % self.syslog.port)
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("alice:%s\n" % crypt_hash("s3cret"))
        s.start(answered=True)
        msgs = self.wait_count(1, "the server's start")
        w = Web(s)
        self.webs.append(w)
        self.wait_count(2, "storeweb's start")
        alice = ["-u", "alice:s3cret"]

        # The morning: two images of one study stored (one message), a
        # C-FIND, a failed login, a search, the study's rows and metadata
        # (one view), a ZIP download, a run of storeindex.
        files = []
        for i in (1, 2):
            p = os.path.join(s.tmp, "img%d.dcm" % i)
            vt.make_dataset(p, STUDY, STUDY + ".1", STUDY + ".1.%d" % i, patient_name="AUDIT^ANNA",
                            patient_id="PID-361")
            files.append(p)
        self.assertEqual(s.storescu(files).returncode, 0)
        self.assertEqual(s.findscu(["StudyInstanceUID"])[0].returncode, 0)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "alice:wrong"])[0], 401)
        self.assertEqual(w.curl("/dicom-web/studies?PatientID=PID-361", alice)[0], 200)
        self.assertEqual(w.curl("/series?study=" + STUDY, alice)[0], 200)
        self.assertEqual(w.curl("/dicom-web/studies/%s/metadata" % STUDY, alice)[0], 200)
        self.assertEqual(w.curl("/download?study=" + STUDY, alice)[0], 200)
        p = vt.run([STOREINDEX, "check", s.basedir], env=s.env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        morning = self.wait_count(11, "the morning")

        # The afternoon, with the collector down: a second study stored, a
        # C-MOVE to another node, a worklist entry made, the first study
        # deleted from the page. Nothing may be lost.
        self.syslog.stop()
        p3 = os.path.join(s.tmp, "img3.dcm")
        vt.make_dataset(p3, STUDY2, STUDY2 + ".1", STUDY2 + ".1.1", patient_name="AUDIT^BEN",
                        patient_id="PID-362")
        self.assertEqual(s.storescu([p3]).returncode, 0)
        proc, responses = vt.movescu(s.port, ["StudyInstanceUID=" + STUDY2], dest.aetitle)
        self.assertEqual(responses[-1]["status"], 0, proc.stdout)
        entry = {"PatientName": "AUDIT^CARL", "PatientID": "PID-363", "AccessionNumber": "ACC363",
                 "Modality": "CT", "ScheduledStationAETitle": "CT1",
                 "ScheduledProcedureStepStartDate": "20261210"}
        status, _, _ = w.curl("/worklist/entries", alice + [
            "-X", "POST", "-H", "Content-Type: application/json", "--data-binary",
            json.dumps(entry)])
        self.assertEqual(status, 201)
        status, _, body = w.curl("/delete", alice + ["-H", "Content-Type: application/json",
                                                     "--data", '{"study": "%s"}' % STUDY])
        self.assertEqual(status, 200, body)
        self.assertEqual(len(self.syslog.messages()), len(morning))
        self.syslog.start()
        day = self.wait_count(len(morning) + 5, "the afternoon, after the outage")

        # The evening: both daemons stop as a stop request asks.
        for proc in (w.proc, s.proc):
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(30), 0)
        day = self.wait_count(len(day) + 2, "the stops")
        got = [summary(m) for m in day]
        host_ae = "ARCHIVE"
        expected = [
            ("Application Activity/Application Start", "E", "0", "storeserver"),
            ("Application Activity/Application Start", "E", "0", "storeweb"),
            ("DICOM Instances Transferred", "C", "0", "CLIENT"),
            ("Query", "E", "0", "CLIENT"),
            ("User Authentication/Login", "E", "4", "alice"),
            ("User Authentication/Login", "E", "0", "alice"),
            ("Query", "E", "0", "alice"),
            ("DICOM Instances Accessed", "R", "0", "alice"),
            ("DICOM Instances Transferred", "R", "0", "alice"),
            ("Application Activity/Application Start", "E", "0", "storeindex"),
            ("Application Activity/Application Stop", "E", "0", "storeindex"),
            # the afternoon
            ("DICOM Instances Transferred", "C", "0", "CLIENT"),
            ("Begin Transferring DICOM Instances", "E", "0", "REQ"),
            ("DICOM Instances Transferred", "R", "0", "REQ"),
            ("Procedure Record", "C", "0", "alice"),
            ("DICOM Study Deleted", "D", "0", "alice"),
            ("Application Activity/Application Stop", "E", "0", "storeweb"),
            ("Application Activity/Application Stop", "E", "0", "storeserver"),
        ]
        # The metadata after the study's rows is the same view: not again.
        self.assertEqual(got[:11], expected[:11])
        self.assertEqual(len(morning), 11, [summary(m) for m in morning])
        self.assertEqual(got, expected)
        self.assertNotIn(host_ae, [g[3] for g in got])

        # Each message is valid against the schema.
        xmldir = tempfile.mkdtemp(prefix="auditxml-", dir=self.syslog.dir)
        paths = []
        for i, m in enumerate(day):
            paths.append(os.path.join(xmldir, "%02d.xml" % i))
            with open(paths[-1], "w", encoding="utf-8") as f:
                f.write(m)
        p = vt.run(["xmllint", "--noout", "--relaxng", RNG] + paths)
        self.assertEqual(p.returncode, 0, p.stderr)

        # What they say: the failed login's address, the stored study's
        # patient and classes, the query's identifier, the delete's study.
        self.assertIn('UserID="alice" UserIsRequestor="true" NetworkAccessPointID="127.0.0.1" '
                      'NetworkAccessPointTypeCode="2"', day[4])
        self.assertIn('ParticipantObjectID="%s"' % STUDY, day[2])
        self.assertIn('<SOPClass UID="1.2.840.10008.5.1.4.1.1.7" NumberOfInstances="2"/>', day[2])
        self.assertIn("<ParticipantObjectName>AUDIT^ANNA</ParticipantObjectName>", day[2])
        query = base64.b64decode(re.search(r"<ParticipantObjectQuery>([^<]*)<", day[3]).group(1))
        self.assertIn(b"STUDY", query)
        self.assertIn('ParticipantObjectID="%s"' % STUDY, day[15])
        self.assertIn('ParticipantObjectID="PID-361"', day[15])
        self.assertIn('<SOPClass UID="1.2.840.10008.5.1.4.1.1.7" NumberOfInstances="2"/>', day[15])
        self.assertIn('UserID="%s"' % dest.aetitle, day[13])
        self.assertIn("ACC363", day[14])

    def test_over_tls_only_to_a_collector_whose_certificate_is_trusted(self):
        s = self.server(start=False)
        right = make_ca(s.tmp, "right-ca")
        wrong = make_ca(s.tmp, "wrong-ca")
        self.syslog = Rsyslog(s.tmp, tls=right)
        self.syslog.start()

        def audit_log(ca):
            with open(os.path.join(s.etc, "AuditLog"), "w") as f:
                f.write("tls 127.0.0.1:%d\nca %s\nretry 100ms\npoll 50ms\n"
                        % (self.syslog.port, ca))

        # A collector whose certificate another authority signed gets
        # nothing; the events wait in the spool.
        audit_log(wrong[0])
        s.start()
        p = os.path.join(s.tmp, "img.dcm")
        vt.make_dataset(p, STUDY, STUDY + ".1", STUDY + ".1.1")
        self.assertEqual(s.storescu([p]).returncode, 0)
        s.wait_log("Audit collector 127.0.0.1:%d unreachable (certificate: " % self.syslog.port)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(30), 0)
        self.assertEqual(self.syslog.messages(), [])
        # Trusted: all of it, in order.
        audit_log(right[0])
        s.start()
        got = [summary(m) for m in self.wait_count(4, "over TLS")]
        self.assertEqual(got, [
            ("Application Activity/Application Start", "E", "0", "storeserver"),
            ("DICOM Instances Transferred", "C", "0", "CLIENT"),
            ("Application Activity/Application Stop", "E", "0", "storeserver"),
            ("Application Activity/Application Start", "E", "0", "storeserver")])

    def test_the_audit_page_of_a_study_and_of_a_user(self):
        s = self.server(start=False)
        with open(os.path.join(s.etc, "AuditLog"), "w") as f:
            # A collector that never answers: the page reads the local spool.
            f.write("udp 127.0.0.1:%d\n" % vt.free_port())
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("alice:%s\nbob:%s\n" % (crypt_hash("s3cret"), crypt_hash("pw2")))
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("alice any find get delete store\nbob any get\nCLIENT any store\n")
        s.start()
        w = Web(s)
        self.webs.append(w)
        p = os.path.join(s.tmp, "img.dcm")
        vt.make_dataset(p, STUDY, STUDY + ".1", STUDY + ".1.1", patient_name="PAGE^<B>")
        self.assertEqual(s.storescu([p]).returncode, 0)
        alice, bob = ["-u", "alice:s3cret"], ["-u", "bob:pw2"]
        # A second image of the study uploaded by alice (STOW-RS).
        p2 = os.path.join(s.tmp, "img2.dcm")
        vt.make_dataset(p2, STUDY, STUDY + ".1", STUDY + ".1.2", patient_name="PAGE^<B>",
                        patient_id="PID-UP")
        body = os.path.join(s.tmp, "stow.body")
        with open(body, "wb") as f, open(p2, "rb") as img:
            f.write(b"--XX\r\nContent-Type: application/dicom\r\n\r\n" + img.read()
                    + b"\r\n--XX--\r\n")
        status, _, answer = w.curl("/dicom-web/studies", alice + [
            "-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
            "boundary=XX", "--data-binary", "@" + body])
        self.assertEqual(status, 200, answer)
        status, _, page = w.curl("/", alice)
        self.assertEqual(status, 200)
        self.assertIn(('href="/audit?study=%s"' % STUDY).encode(), page)
        self.assertEqual(w.curl("/download?study=" + STUDY, bob)[0], 200)
        status, _, page = w.curl("/audit?study=" + STUDY, alice)
        self.assertEqual(status, 200)
        page = page.decode()
        self.assertIn("DICOM Instances Transferred", page)
        rows = re.findall(r'<tr class="event[^"]*">(.*?)</tr>', page)
        # Newest first: bob's download, alice's upload, then the store,
        # each upload with its patient.
        self.assertEqual(len(rows), 3, page)
        self.assertIn("<td>bob</td><td>127.0.0.1</td>", rows[0])
        self.assertIn("<td>alice</td><td>127.0.0.1</td>", rows[1])
        self.assertIn("%s; PID-UP</td>" % STUDY, rows[1])
        self.assertIn("<td>CLIENT</td>", rows[2])
        self.assertNotIn("<B>", page)
        # Who may not search may not read the study's trail; a user's own
        # trail is theirs, another's only for those who may delete.
        self.assertEqual(w.curl("/audit?study=" + STUDY, bob)[0], 403)
        status, _, page = w.curl("/audit?user=bob", alice)
        self.assertEqual(status, 200)
        self.assertIn(STUDY, page.decode())
        self.assertEqual(w.curl("/audit?user=alice", bob)[0], 403)
        # Reading the trail is on the trail.
        status, _, page = w.curl("/audit?user=alice", alice)
        self.assertEqual(status, 200)
        self.assertIn("<td>Audit Log Used</td>", page.decode())
        # Every message spooled (Audit Log Used too) is valid.
        with open(os.path.join(s.basedir, "audit", "spool"), "rb") as f:
            records = f.read().split(b"\x1eAUD ")[1:]
        paths = []
        for i, r in enumerate(records):
            paths.append(os.path.join(s.tmp, "spooled-%02d.xml" % i))
            with open(paths[-1], "wb") as f:
                f.write(r.split(b"\xef\xbb\xbf", 1)[1].rstrip(b"\n"))
        self.assertGreaterEqual(len(paths), 6)
        p = vt.run(["xmllint", "--noout", "--relaxng", RNG] + paths)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(w.curl("/audit?study=1.2.3&user=bob", alice)[0], 400)


if __name__ == "__main__":
    vt.main()

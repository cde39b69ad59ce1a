"""Two storeserver nodes and a storeweb behind one HAProxy (Debian's haproxy
2.6): DICOM in TCP mode with a PROXY protocol v2 header on each connection
(round robin, health checks every 200 ms), the web in HTTP mode with
X-Forwarded-For. The proxy's connections to the nodes leave from
127.0.0.2, the one address the Cluster file trusts; clients come from
127.0.0.1 and, through a relay bound to it, from 127.0.0.7.

Checked: the node that serves a client through the proxy logs and judges
the client's address (an access policy that admits 127.0.0.7 only under
one calling title refuses the other title through the proxy, as it admits
127.0.0.1 under any); health checks leave no log line above debug; a PROXY
header from an untrusted address is refused with one log line; a header
cut short, malformed or never finished by the proxy's address ends that
connection within the header's deadline while the next one is served; the
web judges the address the proxy forwards and ignores X-Forwarded-For
from anyone else."""

import os
import random
import socket
import struct
import subprocess
import sys
import time
import unittest

import veltotest as vt
from veltotest import ServerTestCase, make_dataset

from haproxylib import HAProxy, BoundRelay, http_frontend, tcp_frontend
import pgcluster
from pgcluster import PgServer
from srvlib import messages
import test_network as raw

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))
from webharness import Web  # noqa: E402

PROXY_ADDRESS = "127.0.0.2"
CLIENT_ADDRESS = "127.0.0.7"
SIG = b"\r\n\r\n\x00\r\nQUIT\n"
STOREWEB = os.path.join(vt.BUILD, "web", "storeweb")
# Clients from 127.0.0.7 are admitted under the title STORER only; any title
# from 127.0.0.1. The web's requests (no users) are judged as title "".
POLICY = "STORER %s all\n* 127.0.0.1 all\n" % CLIENT_ADDRESS


def proxy_header(source, dest="127.0.0.1", sport=40000, dport=104, command=0x21, family=0x11,
                 extra=b""):
    block = (socket.inet_aton(source) + socket.inet_aton(dest) + struct.pack(">HH", sport, dport)
             + extra)
    return SIG + bytes([command, family]) + struct.pack(">H", len(block)) + block


def connect_from(address, port):
    c = socket.socket()
    c.settimeout(10)
    c.bind((address, 0))
    c.connect(("127.0.0.1", port))
    return c


def closed_within(c, seconds):
    """Seconds until the node closed c (reading what it sent), or None."""
    start = time.monotonic()
    c.settimeout(seconds)
    try:
        while c.recv(4096):
            pass
    except socket.timeout:
        return None
    except ConnectionResetError:
        pass
    return time.monotonic() - start


class BehindProxy(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        cls.pg = PgServer().start()
        # The first node's audit trail, over syslog UDP.
        cls.audit = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.audit.bind(("127.0.0.1", 0))
        cls.nodes = []
        for i, flags in enumerate(([], ["-D"])):
            s = vt.Server(args=flags, start=False)
            with open(os.path.join(s.etc, "Cluster"), "w") as f:
                f.write("database %s\nnode n%d\npoll 200ms\nlease 2s\nproxy %s ::ffff:%s\n"
                        % (cls.pg.conninfo, i + 1, PROXY_ADDRESS, PROXY_ADDRESS))
                f.write(pgcluster.offline_tier(s.etc))
            with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
                f.write(POLICY)
            if i == 0:
                with open(os.path.join(s.etc, "AuditLog"), "w") as f:
                    f.write("udp 127.0.0.1:%d\npoll 50ms\n" % cls.audit.getsockname()[1])
            cls.nodes.append(s.start(answered=True))
        cls.web = Web(cls.nodes[0])
        cls.dicom_port, cls.web_port = vt.free_port(), vt.free_port()
        cls.haproxy = HAProxy(
            [tcp_frontend("dicom", cls.dicom_port, [s.port for s in cls.nodes], PROXY_ADDRESS),
             http_frontend("web", cls.web_port, [cls.web.port], PROXY_ADDRESS)],
            [cls.dicom_port, cls.web_port]).start()
        cls.relay = BoundRelay(cls.dicom_port, CLIENT_ADDRESS)
        cls.tmp = cls.nodes[0].tmp

    @classmethod
    def tearDownClass(cls):
        cls.relay.close()
        cls.haproxy.cleanup()
        cls.web.stop()
        for s in cls.nodes:
            s.cleanup()
        cls.pg.stop()
        cls.pg.destroy()
        cls.audit.close()

    def store_through(self, port, calling, name):
        path = os.path.join(self.tmp, name + ".dcm")
        study = "1.2.826.77.%d" % (abs(hash(name)) % 100000)
        make_dataset(path, study, study + ".1", study + ".1.1")
        return vt.run(["storescu", "-aet", calling, "-aec", "ARCHIVE", "127.0.0.1", str(port),
                       path], env={"TCP_NODELAY": "1"})

    def stored(self, node):
        return vt.files_below(os.path.join(node.basedir, "uid"), ".dcm")

    def test_clients_through_the_proxy_are_known_by_their_address(self):
        before = [len(self.stored(s)) for s in self.nodes]
        for i in range(4):
            p = self.store_through(self.relay.port, "STORER", "via7-%d" % i)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        # Round robin: each node took two of the four associations, and
        # each logged the client's address and the proxy's.
        after = [len(self.stored(s)) for s in self.nodes]
        self.assertEqual([a - b for a, b in zip(after, before)], [2, 2])
        for s in self.nodes:
            self.assertGreaterEqual(messages(s).count(
                "Connection from %s through proxy %s" % (CLIENT_ADDRESS, PROXY_ADDRESS)), 2)
        # The first node's audit trail names the client as where the images
        # came from.
        want = b'NetworkAccessPointID="%s"' % CLIENT_ADDRESS.encode()
        self.audit.settimeout(10)
        received = b""
        while want not in received:
            received += self.audit.recv(65536)
        self.assertNotIn(b'NetworkAccessPointID="%s"' % PROXY_ADDRESS.encode(), received)
        # The same client under another title: the policy admits 127.0.0.7
        # only as STORER, so both nodes refuse it through the proxy...
        for i in range(2):
            p = self.store_through(self.relay.port, "CLIENT", "refused-%d" % i)
            self.assertNotEqual(p.returncode, 0)
            self.assertIn("Calling AE Title Not Recognized", p.stdout + p.stderr)
        for s in self.nodes:
            self.assertIn("Access refused: CLIENT from %s may not associate." % CLIENT_ADDRESS,
                          messages(s))
        self.assertEqual([len(self.stored(s)) for s in self.nodes], after)
        # ... while from 127.0.0.1, through the proxy or straight, it may.
        p = self.store_through(self.dicom_port, "CLIENT", "via1")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.nodes[0].echoscu(calling="CLIENT").returncode, 0)

    def test_health_checks_are_silent(self):
        # The node at -D logs each check at debug; the other logs nothing
        # for them, over a second of checks every 200 ms.
        # (A check the proxy has closed before the node's worker looks at
        # it has no peer address any more: it is logged as such at debug.)
        debug, quiet = self.nodes[1], self.nodes[0]
        lines = len(messages(quiet))

        def checks():
            m = messages(debug)
            return (m.count("Health check from proxy %s" % PROXY_ADDRESS)
                    + m.count("Connection closed before it was read."))

        seen = checks()
        vt.wait_for(lambda: checks() >= seen + 5, 10, what="five more health checks")
        self.assertEqual(messages(quiet)[lines:], [])
        self.assertNotIn("Dropped", "\n".join(messages(debug)))

    def test_a_header_from_elsewhere_is_refused(self):
        s = self.nodes[0]
        # A peer that is no proxy claims to be 127.0.0.7 calling as STORER.
        c = connect_from("127.0.0.1", s.port)
        c.sendall(proxy_header(CLIENT_ADDRESS) + raw.association_request("ARCHIVE", "STORER"))
        self.assertIsNotNone(closed_within(c, 10))
        c.close()
        vt.wait_for(lambda: "Refused a PROXY protocol header from 127.0.0.1, which is no "
                    "trusted proxy." in messages(s), 10, what="the refusal's log line")
        self.assertNotIn("Inbound call from STORER to ARCHIVE", messages(s))
        # Plain peers from there are served as ever.
        self.assertEqual(s.echoscu(calling="CLIENT").returncode, 0)

    def test_the_proxys_header_names_the_peer(self):
        # Straight from the proxy's address, a header naming 127.0.0.7 (with
        # a TLV to skip): admitted as STORER, refused as CLIENT.
        s = self.nodes[0]
        tlv = bytes([0x04, 0x00, 0x02]) + b"xy"
        for calling, answer in (("STORER", 0x02), ("CLIENT", 0x03)):
            c = connect_from(PROXY_ADDRESS, s.port)
            c.sendall(proxy_header(CLIENT_ADDRESS, extra=tlv)
                      + raw.association_request("ARCHIVE", calling))
            self.assertEqual(raw.read_pdu(c)[0], answer, calling)
            c.close()

    def test_bad_headers_from_the_proxy_end_their_connection_only(self):
        s = self.nodes[0]
        full = proxy_header(CLIENT_ADDRESS)
        cases = [
            ("cut short", full[:20], True),
            ("plain DICOM", raw.association_request("ARCHIVE", "STORER"), True),
            ("version 1", b"PROXY TCP4 127.0.0.7 127.0.0.1 1 104\r\n", True),
            ("UDP", proxy_header(CLIENT_ADDRESS, family=0x12), True),
            ("too long", SIG + b"\x21\x11\x10\x00" + b"\x00" * 64, True),
            # Sent in part and then held open: the node gives up within the
            # header's deadline (2 s), not the association's.
            ("stalled", full[:10], False),
        ]
        before = len([m for m in messages(s) if m.startswith("Dropped a connection from proxy ")])
        for what, data, hang_up in cases:
            c = connect_from(PROXY_ADDRESS, s.port)
            c.sendall(data)
            if hang_up:
                try:
                    c.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # the node has closed already
            took = closed_within(c, 15)
            c.close()
            self.assertIsNotNone(took, what)
            # Within the header's deadline and a worker's start (slow under
            # the sanitizers and beside other tests), far short of the
            # association's own timeouts.
            self.assertLess(took, 8, what)
            # The next client through the proxy is served.
            p = self.store_through(self.dicom_port, "CLIENT", "after-" + what.replace(" ", ""))
            self.assertEqual(p.returncode, 0, (what, p.stdout, p.stderr))
        dropped = [m for m in messages(s) if m.startswith("Dropped a connection from proxy ")]
        self.assertEqual(len(dropped) - before, len(cases), dropped)

    def test_garbage_and_slow_headers(self):
        s = self.nodes[0]
        rnd = random.Random(7)
        # Forty connections of random bytes from the proxy's address, half
        # of them behind a part of the signature, and ten from elsewhere
        # behind a whole one: each ends, none brings the node down.
        conns = []
        for i in range(50):
            source = PROXY_ADDRESS if i < 40 else "127.0.0.1"
            data = SIG[:rnd.randrange(13)] if i % 2 else b""
            data = SIG if i >= 40 else data
            data += bytes(rnd.randrange(256) for _ in range(rnd.randrange(700)))
            c = connect_from(source, s.port)
            try:
                c.sendall(data)
                c.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # closed by the node already
            conns.append(c)
        for i, c in enumerate(conns):
            self.assertIsNotNone(closed_within(c, 10), i)
            c.close()
        # One proxy connection trickles a whole header a byte every 300 ms,
        # and eight more hold part of a header open: the deadline is for
        # the header, not for each byte, so the node ends the trickle
        # before its header is whole (8.4 s; about 2 s after its worker
        # started, which the eight's forks may delay), and a client through
        # the proxy is served meanwhile.
        trickle = connect_from(PROXY_ADDRESS, s.port)
        start = time.monotonic()
        stalled = [connect_from(PROXY_ADDRESS, s.port) for _ in range(8)]
        for c in stalled:
            c.sendall(SIG[:5])
        header = proxy_header(CLIENT_ADDRESS)
        sent = 0
        try:
            while sent < len(header) and time.monotonic() - start < 10:
                trickle.sendall(header[sent:sent + 1])
                sent += 1
                time.sleep(0.3)
        except OSError:
            pass
        took = closed_within(trickle, 10)
        trickle.close()
        self.assertLess(sent, len(header))
        self.assertIsNotNone(took)
        self.assertLess(time.monotonic() - start, 8)
        p = self.store_through(self.dicom_port, "CLIENT", "beside-stalled")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        for c in stalled:
            self.assertIsNotNone(closed_within(c, 5))
            c.close()
        self.assertEqual(s.echoscu(calling="CLIENT").returncode, 0)

    def test_the_header_comes_before_the_tls_handshake(self):
        # A node on a TLS port only, behind its own proxy in TCP mode (TLS
        # passes through): the header is read before the handshake, and
        # the client through the proxy is judged by its address.
        s = vt.Server(start=False)
        self.addCleanup(s.cleanup)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                        "-days", "2", "-subj", "/CN=node", "-keyout",
                        os.path.join(s.etc, "node.key"), "-out",
                        os.path.join(s.etc, "node.crt")], check=True, capture_output=True)
        tls_port = vt.free_port()
        with open(os.path.join(s.etc, "DicomTLS"), "w") as f:
            f.write("port %d\nplain off\ncertificate node.crt\nprivate-key node.key\n"
                    "client-certificates none\n" % tls_port)
        with open(os.path.join(s.etc, "Cluster"), "w") as f:
            f.write("database %s\nnode n3\nproxy %s\n" % (self.pg.conninfo, PROXY_ADDRESS))
            f.write(pgcluster.offline_tier(s.etc))
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write(POLICY)
        s.port = tls_port
        s.start()
        front = vt.free_port()
        h = HAProxy([tcp_frontend("tls", front, [tls_port], PROXY_ADDRESS)], [front]).start()
        self.addCleanup(h.cleanup)
        relay = BoundRelay(front, CLIENT_ADDRESS)
        self.addCleanup(relay.close)

        def echo(port, calling):
            return vt.run(["echoscu", "+tla", "-ic", "-aet", calling, "-aec", "ARCHIVE",
                           "127.0.0.1", str(port)])

        self.assertEqual(echo(relay.port, "STORER").returncode, 0)
        p = echo(relay.port, "CLIENT")
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Calling AE Title Not Recognized", p.stdout + p.stderr)
        self.assertEqual(echo(front, "CLIENT").returncode, 0)
        m = messages(s)
        self.assertEqual(m.count("Connection from %s through proxy %s"
                                 % (CLIENT_ADDRESS, PROXY_ADDRESS)), 2)
        self.assertEqual(m.count("Connection from 127.0.0.1 through proxy %s" % PROXY_ADDRESS), 1)
        self.assertIn("Access refused: CLIENT from %s may not associate." % CLIENT_ADDRESS, m)

    def test_the_web_judges_the_forwarded_address(self):
        proxied = "http://127.0.0.1:%d/dicom-web/studies" % self.web_port
        direct = self.web.url + "/dicom-web/studies"

        def status(url, *extra):
            p = vt.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}"] + list(extra)
                       + [url])
            return int(p.stdout)

        # Through the proxy: from 127.0.0.1 allowed, from 127.0.0.7 refused,
        # whatever X-Forwarded-For the client writes itself.
        self.assertEqual(status(proxied), 200)
        self.assertEqual(status(proxied, "--interface", CLIENT_ADDRESS), 403)
        self.assertEqual(status(proxied, "--interface", CLIENT_ADDRESS, "-H",
                                "X-Forwarded-For: 127.0.0.1"), 403)
        self.assertIn('Access refused: "" from %s may not find.' % CLIENT_ADDRESS, self.web.log())
        # Straight: X-Forwarded-For from anyone but the proxy is not believed.
        self.assertEqual(status(direct, "-H", "X-Forwarded-For: %s" % CLIENT_ADDRESS), 200)
        self.assertEqual(status(direct, "--interface", CLIENT_ADDRESS, "-H",
                                "X-Forwarded-For: 127.0.0.1"), 403)


if __name__ == "__main__":
    vt.main()

"""storeweb's connection layer under attack and its start-up checks: slow
clients that trickle bytes cannot hold every connection slot (a limit per
client address, and a deadline for a request's headers), HTTPS refuses TLS
below 1.2, a users file that lets no one in ends the daemon, a wrong
password takes as long for an unknown user as for a known one, and a
daemon run from the build tree serves the viewer of the source tree."""

import ctypes
import http.client
import base64
import os
import socket
import statistics
import subprocess
import threading
import time
import unittest

import veltotest as vt
from webharness import STOREWEB, VIEWER_DIR, Web


def slow_hash(password, rounds=100000):
    """A SHA-512 crypt(3) hash with many rounds: each check takes tens of ms."""
    libcrypt = ctypes.CDLL("libcrypt.so.1")
    libcrypt.crypt.restype = ctypes.c_char_p
    setting = ("$6$rounds=%d$velto.salt$" % rounds).encode()
    return libcrypt.crypt(password.encode(), setting).decode()


def slow_clients(port, count, source):
    """count connections from source that have sent one byte of a request."""
    socks = []
    for _ in range(count):
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.bind((source, 0))
        c.connect(("127.0.0.1", port))
        c.sendall(b"G")
        socks.append(c)
    return socks


def closed_by_server(sock):
    """True when the server has ended the connection (end of file or reset)."""
    sock.setblocking(False)
    try:
        return sock.recv(1) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def timed_get(port, path="/dicom-web/studies"):
    """(HTTP status, seconds) of one request from 127.0.0.1."""
    start = time.monotonic()
    p = subprocess.run(["curl", "-s", "-o", "/dev/null", "-m", "10", "-w", "%{http_code}",
                        "http://127.0.0.1:%d%s" % (port, path)], capture_output=True, text=True)
    return int(p.stdout or 0), time.monotonic() - start


class ConnectionTest(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        self.webs = []
        self.socks = []

    def tearDown(self):
        for c in self.socks:
            c.close()
        for w in self.webs:
            w.stop()
        super().tearDown()

    def web(self, server, *a, **kw):
        w = Web(server, *a, **kw)
        self.webs.append(w)
        return w

    def test_slow_clients_of_one_address_leave_the_others_served(self):
        s = self.server()
        w = self.web(s)  # 64 connections, 16 per address, 10 s for headers
        self.socks = slow_clients(w.port, 70, "127.0.0.2")
        # The requests of others are answered within normal time while the
        # slow clients trickle a byte every few seconds.
        for round_ in range(3):
            status, seconds = timed_get(w.port)
            self.assertEqual(status, 200)
            self.assertLess(seconds, 2.0)
            time.sleep(2.5)
            for c in self.socks:
                try:
                    c.sendall(b"E")
                except OSError:
                    pass
        # Beyond the 16 of one address every connection was turned away.
        refused = sum(1 for c in self.socks if closed_by_server(c))
        self.assertGreaterEqual(refused, 70 - 16)
        self.assertLessEqual(refused, 70 - 16 + 2)

    def test_headers_that_trickle_in_meet_a_deadline(self):
        s = self.server()
        # 70 slow clients from 70 addresses: the per-address limit does not
        # help, the deadline does.
        w = self.web(s, ["-H", "2", "-M", "64"])
        started = time.monotonic()
        for i in range(70):
            self.socks += slow_clients(w.port, 1, "127.0.1.%d" % (i + 1))
        open_ = list(self.socks)
        while open_ and time.monotonic() - started < 6:
            time.sleep(0.5)
            for c in open_:
                try:
                    c.sendall(b"E")
                except OSError:
                    pass
            open_ = [c for c in open_ if not closed_by_server(c)]
        self.assertEqual(open_, [], "connections still open after the deadline")
        self.assertGreaterEqual(time.monotonic() - started, 1.5)
        status, seconds = timed_get(w.port)
        self.assertEqual(status, 200)
        self.assertLess(seconds, 2.0)
        # A request that arrives in time is served on a connection that
        # outlives the deadline; it then waits for its next request's
        # headers and is ended once that wait passes the deadline.
        conn = http.client.HTTPConnection("127.0.0.1", w.port, timeout=10)
        time.sleep(1)
        conn.request("GET", "/dicom-web/studies")
        r = conn.getresponse()
        r.read()
        self.assertEqual(r.status, 200)
        time.sleep(3)
        raw = conn.sock
        self.assertTrue(closed_by_server(raw))
        conn.close()

    def test_tls_below_1_2_and_suites_without_forward_secrecy_or_aead_are_refused(self):
        s = self.server()
        cert, key = os.path.join(s.tmp, "cert.pem"), os.path.join(s.tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       capture_output=True, check=True)
        w = self.web(s, ["-C", cert, "-K", key])

        def handshake(*version):
            # SECLEVEL=0 lets this client offer the old versions at all, so
            # a refusal is the server's.
            return subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % w.port,
                                   "-cipher", "DEFAULT@SECLEVEL=0"] + list(version),
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=30)

        for old in ("-tls1_1", "-tls1"):
            p = handshake(old)
            out = p.stdout + p.stderr
            self.assertNotEqual(p.returncode, 0, out)
            self.assertNotIn("no protocols available", out)
            self.assertIn("Cipher is (NONE)", out)
        for good, name in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
            p = handshake(good)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            self.assertIn("New, %s, Cipher is" % name, p.stdout)
        # Under TLS 1.2 only ECDHE (forward secrecy) with an AEAD cipher:
        # no RSA key exchange, no CBC with SHA-1, no finite-field DHE.
        for suite, accepted in (("AES128-GCM-SHA256", False), ("AES128-SHA", False),
                                ("ECDHE-RSA-AES128-SHA", False),
                                ("DHE-RSA-AES128-GCM-SHA256", False),
                                ("ECDHE-RSA-AES128-GCM-SHA256", True),
                                ("ECDHE-RSA-CHACHA20-POLY1305", True)):
            p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % w.port,
                                "-cipher", suite + "@SECLEVEL=0", "-tls1_2"],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
            out = p.stdout + p.stderr
            self.assertNotIn("no ciphers available", out)
            if accepted:
                self.assertIn("New, TLSv1.2, Cipher is " + suite, out)
            else:
                self.assertNotEqual(p.returncode, 0, suite + ": " + out)
                self.assertIn("Cipher is (NONE)", out, suite)

    def test_users_file_that_lets_no_one_in_ends_the_daemon(self):
        s = self.server()
        users = os.path.join(s.etc, "WebUsers")
        other = os.path.join(s.tmp, "users")
        cases = [
            ("# only a comment\n\nnocolon\nbob:\nalice:not-a-hash\n:%s\n" % slow_hash("x", 1000),
             "No valid users in"),
            ("alice:%s\n" % ("x" * 2000), "is too long"),
        ]
        for text, why in cases:
            for path, args in ((users, []), (other, ["-w", other])):
                with open(path, "w") as f:
                    f.write(text)
                w = self.web(s, args, start=False)
                w.start(wait=False)
                self.assertEqual(w.proc.wait(timeout=10), 1, (text[:20], args))
                self.assertIn(why, w.log())
                os.unlink(path)
        # A users file that cannot be read (here a directory) is no different.
        os.mkdir(users)
        w = self.web(s, start=False)
        w.start(wait=False)
        self.assertEqual(w.proc.wait(timeout=10), 1)
        self.assertIn("Cannot read users file %s" % users, w.log())
        os.rmdir(users)
        # Bad lines beside a good one are logged and skipped.
        with open(users, "w") as f:
            f.write("alice:%s\nbroken line\n" % slow_hash("pw", 1000))
        w = self.web(s)
        self.assertIn("line 2 is no name:hash, skipped", w.log())
        self.assertIn("1 web users", w.log())
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "alice:pw"])[0], 200)
        self.assertEqual(w.curl("/dicom-web/studies")[0], 401)

    def test_users_file_that_is_no_regular_file_ends_the_daemon(self):
        # A symbolic link to nothing left the web open to everyone; a FIFO
        # hung the start.
        s = self.server()
        users = os.path.join(s.etc, "WebUsers")
        other = os.path.join(s.tmp, "users")
        for make, why in ((lambda p: os.symlink(os.path.join(s.tmp, "gone"), p),
                           "No such file or directory"),
                          (os.mkfifo, "not a regular file")):
            for path, args in ((users, []), (other, ["-w", other])):
                make(path)
                w = self.web(s, args, start=False)
                w.start(wait=False)
                self.assertEqual(w.proc.wait(timeout=10), 1, (why, args))
                self.assertIn("Cannot read users file %s: %s" % (path, why), w.log())
                self.assertNotIn("serving", w.log())
                os.unlink(path)

    def attack_while_timing_others(self, w, attacker, seconds):
        """Runs attacker(stop) in a thread for about seconds while another
        client's requests are timed; returns (times, peak memory)."""
        w.reset_peak()
        stop = threading.Event()
        t = threading.Thread(target=attacker, args=(stop,))
        t.start()
        time.sleep(1.5)  # the attack holds every slot it can
        times = []
        started = time.monotonic()
        try:
            while time.monotonic() - started < seconds:
                status, took = timed_get(w.port)
                times.append((status, round(took, 2)))
                time.sleep(0.3)
        finally:
            stop.set()
            t.join()
        self.assertIsNone(w.proc.poll(), w.log()[-2000:])
        return times, w.memory()[1]

    def slow_attack(self, port, sources, per_source, first, then, closed):
        """An attacker: per_source connections from each source address
        send first, then a byte of then every 0.5 s; a connection the
        server ends is opened again (and counted in closed)."""
        def attacker(stop):
            socks = {}
            while not stop.is_set():
                for src in sources:
                    for i in range(per_source):
                        c = socks.get((src, i))
                        if c is None:
                            try:
                                c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                                c.setblocking(False)
                                c.bind((src, 0))
                                c.connect_ex(("127.0.0.1", port))
                                socks[(src, i)] = [c, False]
                            except OSError:
                                c.close()
                            continue
                        sock, sent = c
                        try:
                            sock.send(then if sent else first)
                            c[1] = True
                        except BlockingIOError:
                            pass
                        except OSError:
                            closed.append(1)
                            sock.close()
                            del socks[(src, i)]
                stop.wait(0.5)
            for sock, _ in socks.values():
                sock.close()
        return attacker

    def test_slow_bodies_from_many_addresses_leave_room_for_others(self):
        # 128 connections from 8 addresses, each trickling a byte of an
        # upload's body every 0.5 s, held every slot for ever: others got
        # 0 of 3 answers.
        s = self.server()
        w = self.web(s)  # 64 connections, 16 per address, 1 KiB/s over 10 s
        sources = ["127.0.2.%d" % (i + 1) for i in range(8)]
        head = ("POST /dicom-web/studies HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                "multipart/related; type=\"application/dicom\"; boundary=B\r\n"
                "Content-Length: 1000000\r\n\r\n--B\r\n").encode()
        closed = []
        times, peak = self.attack_while_timing_others(
            w, self.slow_attack(w.port, sources, 16, head, b"x", closed), 5)
        self.assertTrue(times and all(st == 200 and took < 3.0 for st, took in times), times)
        vt.assert_memory_below(self, peak, 150 << 20, "peak %d MB" % (peak >> 20))
        self.assertGreater(len(closed), 64, "the slow bodies were not ended")

    def test_slow_headers_from_many_addresses_leave_room_for_others(self):
        # 8 x 16 connections trickling headers, opened again as they were
        # closed, kept the others waiting 7.5 to 10 s each.
        s = self.server()
        w = self.web(s)  # 64 connections, 10 s for headers
        sources = ["127.0.3.%d" % (i + 1) for i in range(8)]
        closed = []
        times, peak = self.attack_while_timing_others(
            w, self.slow_attack(w.port, sources, 16, b"G", b"E", closed), 5)
        self.assertTrue(times and all(st == 200 and took < 3.0 for st, took in times), times)
        vt.assert_memory_below(self, peak, 150 << 20, "peak %d MB" % (peak >> 20))

    def test_a_body_below_the_least_rate_ends_its_connection(self):
        # Few slow bodies (no shortage of slots): each ends once a period
        # of the least rate has passed; a body at the rate goes through.
        s = self.server()
        w = self.web(s, ["-R", "100,1", "-D"])
        head = ("POST /delete HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                "application/x-www-form-urlencoded\r\nContent-Length: 400\r\n\r\n").encode()
        slow = []
        for _ in range(4):
            c = socket.create_connection(("127.0.0.1", w.port))
            c.sendall(head)
            slow.append(c)
        self.socks += slow
        fast = socket.create_connection(("127.0.0.1", w.port), timeout=10)
        self.socks.append(fast)
        fast.sendall(head)
        started = time.monotonic()
        for i in range(10):  # 40 bytes every 0.3 s: above 100 per second
            fast.sendall(b"a" * 40)
            for c in slow:
                try:
                    c.sendall(b"x")
                except OSError:
                    pass
            time.sleep(0.3)
        self.assertGreaterEqual(time.monotonic() - started, 2.9)
        self.assertTrue(all(closed_by_server(c) for c in slow))
        fast.setblocking(True)
        answer = fast.recv(4096)
        self.assertTrue(answer.startswith(b"HTTP/1.1 403"), answer)  # no token: but read whole
        self.assertIn("Connection closed: request body too slow", w.log())

    def test_unknown_user_takes_as_long_as_a_wrong_password(self):
        s = self.server()
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("alice:%s\n" % slow_hash("s3cret"))
        w = self.web(s)

        def median_time(user, password):
            conn = http.client.HTTPConnection("127.0.0.1", w.port, timeout=30)
            auth = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
            times = []
            for _ in range(7):
                start = time.monotonic()
                conn.request("GET", "/dicom-web/studies", headers={"Authorization": "Basic " + auth})
                r = conn.getresponse()
                r.read()
                times.append(time.monotonic() - start)
                self.assertEqual(r.status, 401)
            conn.close()
            return statistics.median(times)

        known = median_time("alice", "wrong")
        unknown = median_time("mallory", "wrong")
        # Each check costs 100000 rounds of SHA-512 (tens of ms); an
        # unknown user that skipped it would answer in well under a tenth.
        self.assertGreater(known, 0.01)
        self.assertGreater(unknown, known * 0.5, (known, unknown))

    def test_build_tree_daemon_serves_the_viewer_of_the_source_tree(self):
        if not os.path.exists(os.path.join(VIEWER_DIR, "index.html")):
            raise unittest.SkipTest("no viewer in .deps/ohif")
        p = vt.run([STOREWEB, "-h"])
        self.assertIn(".deps/ohif of the source tree", p.stderr)
        s = self.server()
        w = self.web(s)
        status, _, body = w.curl("/viewer/")
        self.assertEqual(status, 200, body[:200])
        self.assertIn(b'window.PUBLIC_URL="/viewer/"', body)
        self.assertNotIn(b"The viewer is not installed", body)


if __name__ == "__main__":
    vt.main()

"""Who may use storeweb: HTTP basic authentication against the users file
(crypt(3) hashes), HTTPS with the configured certificate, the refusal to
listen beyond the loopback without users, and the site's access policy
(the same AccessPolicy file as the DICOM side)."""

import os
import subprocess
import unittest

import veltotest as vt
from webharness import Web, header, STOREWEB


def crypt_hash(password):
    return subprocess.run(["openssl", "passwd", "-6", "-salt", "velto.salt", password],
                          capture_output=True, text=True, check=True).stdout.strip()


class AccessTest(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        self.webs = []

    def tearDown(self):
        for w in self.webs:
            w.stop()
        super().tearDown()

    def web(self, server, *a, **kw):
        w = Web(server, *a, **kw)
        self.webs.append(w)
        return w

    def test_basic_authentication_against_users_file(self):
        s = self.server()
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("# site users\nalice:%s\nbob:%s\n" % (crypt_hash("s3cret"), crypt_hash("pw2")))
        w = self.web(s)
        self.assertIn("2 web users", w.log())
        status, head, _ = w.curl("/dicom-web/studies")
        self.assertEqual(status, 401)
        self.assertIn("Basic", header(head, "WWW-Authenticate"))
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "alice:wrong"])[0], 401)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "carol:s3cret"])[0], 401)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "alice:s3cret"])[0], 200)
        self.assertEqual(w.curl("/", ["-u", "bob:pw2"])[0], 200)
        self.assertIn("Web login refused for user alice from 127.0.0.1\n", w.log())
        self.assertIn("Web login refused for user carol from 127.0.0.1\n", w.log())

    def test_auth_failures_count_refused_logins_only(self):
        s = self.server()
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("alice:%s\n" % crypt_hash("s3cret"))
        w = self.web(s)

        def failures():
            status, _, body = w.curl("/metrics", ["-u", "alice:s3cret"])
            self.assertEqual(status, 200)
            for line in body.decode().splitlines():
                if line.startswith('velto_failures_total{kind="auth"} '):
                    return int(line.split()[1])
            self.fail("no auth failure counter")

        self.assertEqual(failures(), 0)
        # Requests without credentials (a browser's first, the viewer's
        # manifest) get the challenge and count nothing; they were counted.
        for path in ("/", "/dicom-web/studies", "/metrics"):
            self.assertEqual(w.curl(path)[0], 401)
        self.assertEqual(failures(), 0)
        self.assertNotIn("Web login refused", w.log())
        # Wrong ones count, one each.
        self.assertEqual(w.curl("/", ["-u", "alice:wrong"])[0], 401)
        self.assertEqual(w.curl("/", ["-u", "mallory:s3cret"])[0], 401)
        self.assertEqual(failures(), 2)

    def test_options_printed(self):
        p = vt.run([STOREWEB, "-h"])
        self.assertEqual(p.returncode, 0)
        for option in ("-p Port", "-b Address", "-w UsersFile", "-A", "-C, -K", "-V ViewerDir"):
            self.assertIn(option, p.stderr)
        self.assertEqual(vt.run([STOREWEB, "-C", "cert.pem"]).returncode, 1)  # -C without -K

    def test_no_listening_beyond_loopback_without_users(self):
        s = self.server()
        w = self.web(s, address="0.0.0.0", start=False)
        w.start(wait=False)
        self.assertEqual(w.proc.wait(timeout=10), 1)
        self.assertIn("Refusing to listen on 0.0.0.0 without users", w.log())
        # Told explicitly, or with users, it listens.
        w2 = self.web(s, ["-A"], address="0.0.0.0")
        self.assertEqual(w2.curl("/dicom-web/studies")[0], 200)
        users = os.path.join(s.tmp, "users")
        with open(users, "w") as f:
            f.write("alice:%s\n" % crypt_hash("s3cret"))
        w3 = self.web(s, ["-w", users], address="0.0.0.0")
        self.assertEqual(w3.curl("/dicom-web/studies", ["-u", "alice:s3cret"])[0], 200)

    def test_https_with_configured_certificate(self):
        s = self.server()
        cert, key = os.path.join(s.tmp, "cert.pem"), os.path.join(s.tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       capture_output=True, check=True)
        w = self.web(s, ["-C", cert, "-K", key])
        p = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", cert,
                            "https://localhost:%d/dicom-web/studies" % w.port],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(p.stdout, "200")
        self.assertEqual(w.curl("/dicom-web/studies")[0], 200)  # the harness speaks https
        p = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                            "http://127.0.0.1:%d/dicom-web/studies" % w.port],
                           capture_output=True, text=True, timeout=30)
        self.assertNotEqual(p.stdout, "200")
        # Without -C and -K: the certificate of the DICOM side's TLS settings.
        with open(os.path.join(s.etc, "DicomTLS"), "w") as f:
            f.write("port 2762\ncertificate %s\nprivate-key key.pem  # beside this file\n" % cert)
        os.rename(key, os.path.join(s.etc, "key.pem"))
        w2 = self.web(s)
        p = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", cert,
                            "https://localhost:%d/dicom-web/studies" % w2.port],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(p.stdout, "200")
        self.assertIn("storeweb serving https://", w2.log())
        # A settings file the server would refuse stops storeweb too, rather
        # than leaving it to serve without TLS.
        with open(os.path.join(s.etc, "DicomTLS"), "a") as f:
            f.write("client-certificates sometimes\n")
        w3 = self.web(s, start=False)
        w3.start(wait=False)
        self.assertEqual(w3.proc.wait(timeout=10), 1)
        self.assertIn("TLS settings %s: line 4: client-certificates is required, optional or none"
                      % os.path.join(s.etc, "DicomTLS"), w3.log())

    def test_store_lock_keeps_a_rebuild_away(self):
        s = self.server(start=False)
        self.web(s)
        p = vt.run([os.path.join(vt.BUILD, "storeindex", "storeindex"), "rebuild", s.basedir])
        self.assertEqual(p.returncode, 2)
        self.assertIn("using this store", p.stderr)

    def test_access_policy_of_the_dicom_side(self):
        s = self.server()
        with open(os.path.join(s.etc, "WebUsers"), "w") as f:
            f.write("reader:%s\nuploader:%s\n" % (crypt_hash("r"), crypt_hash("u")))
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("reader 127.0.0.1 find get\nuploader any store\n")
        w = self.web(s)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "reader:r"])[0], 200)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "uploader:u"])[0], 403)
        self.assertEqual(w.curl("/", ["-u", "uploader:u"])[0], 403)
        args = ["-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
                "boundary=B", "--data-binary", "--B--\r\n"]
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "reader:r"] + args)[0], 403)
        self.assertEqual(w.curl("/dicom-web/studies", ["-u", "uploader:u"] + args)[0], 400)
        self.assertIn("reader", w.log())

    def stored_study(self, s, study):
        p = os.path.join(s.tmp, "img-%s.dcm" % study)
        vt.make_dataset(p, study, study + ".1", study + ".1.1", patient_name="HOST^A")
        self.assertEqual(s.storescu([p]).returncode, 0)

    def test_only_the_names_of_this_server_are_answered(self):
        # A page of another site whose name was made to resolve to the
        # archive (DNS rebinding) sends its own name as Host and Origin:
        # without users the search, the page with its token and the delete
        # answered it.
        s = self.server()
        study = "1.2.826.0.1.3680043.9.7.80"
        self.stored_study(s, study)
        w = self.web(s)
        evil = ["-H", "Host: evil.example:%d" % w.port,
                "-H", "Origin: http://evil.example:%d" % w.port]
        for path, extra in (("/dicom-web/studies", []), ("/", []),
                            ("/delete", ["--data", "study=" + study])):
            status, head, body = w.curl(path, evil + extra)
            self.assertEqual(status, 421, (path, body))
            self.assertNotIn(b"csrf", body)
            self.assertEqual(header(head, "Connection"), "close")
        self.assertEqual(len(w.json("/dicom-web/studies")), 1)
        self.assertIn("for host evil.example:%d, which this server does not serve" % w.port,
                      w.log())
        # The names of this server, however spelt, and none else.
        for host, served in (("127.0.0.1:%d" % w.port, True), ("127.0.0.1", True),
                             ("localhost:%d" % w.port, True), ("LocalHost.:%d" % w.port, True),
                             ("[::1]:%d" % w.port, True), ("[::ffff:127.0.0.1]", True),
                             ("127.0.0.2:%d" % w.port, False), ("localhost.evil.example", False),
                             ("archive.example", False), ("10.9.8.7", False),
                             ("[::2]:%d" % w.port, False)):
            status = w.curl("/dicom-web/studies", ["-H", "Host: " + host])[0]
            self.assertEqual(status, 200 if served else 421, host)
        for bad in ("::1", "127.0.0.1:99999", "a b", "[::1", "127.0.0.1:80:80"):
            self.assertEqual(w.curl("/dicom-web/studies", ["-H", "Host: " + bad])[0], 400, bad)
        # Further names and addresses are given with -n.
        w2 = self.web(s, ["-n", "archive.example,10.9.8.7", "-n", "Other.Example."])
        for host in ("archive.example", "ARCHIVE.EXAMPLE.:8042", "10.9.8.7:80", "other.example",
                     "[::ffff:10.9.8.7]", "localhost"):
            self.assertEqual(w2.curl("/dicom-web/studies", ["-H", "Host: " + host])[0], 200, host)
        self.assertEqual(w2.curl("/dicom-web/studies", ["-H", "Host: evil.example"])[0], 421)
        self.assertEqual(vt.run([STOREWEB, "-n", "bad name"]).returncode, 1)
        self.assertIn("-n Names", vt.run([STOREWEB, "-h"]).stderr)

    def test_state_changes_need_the_token_unless_no_form_can_send_the_body(self):
        s = self.server()
        study = "1.2.826.0.1.3680043.9.7.81"
        self.stored_study(s, study)
        w = self.web(s)
        form = "study=" + study
        # Types a form (or a page's request without a preflight) can send,
        # however spelt, need the token; so does a body of no type at all.
        for ctype in ("text/plain;charset=x", "TEXT/Plain\t;charset=x", "text/plain ; a=b",
                      "Application/X-WWW-Form-Urlencoded\t", "multipart/form-data;boundary=x",
                      "text/plain", "", "text/plain;"):
            status, _, body = w.curl("/delete", ["-H", "Content-Type: " + ctype, "--data", form])
            self.assertEqual(status, 403, (ctype, body))
        # A body no form can send passes without a token, but only as what
        # its type says: a form body declared JSON is not read as a form.
        for ctype in ("application/json", "application/json; charset=utf-8",
                      "application/jsonx", "application/dicom"):
            status, _, body = w.curl("/delete", ["-H", "Content-Type: " + ctype, "--data", form])
            self.assertIn(status, (400, 415), (ctype, body))
        for ctype, data in (("application/json", form), ("application/x-www-form-urlencoded",
                                                        '{"study": "%s"}' % study)):
            status, _, body = w.curl("/forward/send", ["-H", "Content-Type: " + ctype,
                                                       "--data", data])
            self.assertIn(status, (400, 403), (ctype, body))
        self.assertEqual(len(w.json("/dicom-web/studies")), 1)
        status, _, body = w.curl("/delete", ["-H", "Content-Type: application/json", "--data",
                                             '{"study": "%s"}' % study])
        self.assertEqual(status, 200, body)
        self.assertEqual(w.json("/dicom-web/studies"), [])


if __name__ == "__main__":
    vt.main()

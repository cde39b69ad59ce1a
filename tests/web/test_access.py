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
        self.assertIn("Web login refused for user alice", w.log())

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


if __name__ == "__main__":
    vt.main()

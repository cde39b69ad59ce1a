"""DICOM over TLS: the server listens on a TLS port beside (or instead of)
its plain one, with a certificate, key and trusted CA from its DicomTLS
file; dcmtk's clients call it with +tls, and a C-MOVE sends to a storescp
+tls destination whose AE title map entry has the flag T. A throwaway CA
and certificates are made with openssl for the test."""

import os
import shutil
import subprocess
import tempfile

import veltotest as vt
from veltotest import ServerTestCase, StoreSCP, files_below, make_dataset, movescu

STUDY = "1.2.826.50.1"
SERIES = "1.2.826.50.1.1"


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class TLSTests(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pki = tempfile.mkdtemp(prefix="velto-pki-")
        p = cls.path
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                "-subj", "/CN=Velto Test CA", "-keyout", p("ca.key"), "-out", p("ca.crt"))
        for name in ("server", "client", "dest"):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=" + name,
                    "-keyout", p(name + ".key"), "-out", p(name + ".csr"))
            openssl("x509", "-req", "-sha256", "-days", "2", "-in", p(name + ".csr"),
                    "-CA", p("ca.crt"), "-CAkey", p("ca.key"), "-set_serial", "7",
                    "-out", p(name + ".crt"))
        # A certificate that no trusted CA signed.
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                "-subj", "/CN=client", "-keyout", p("rogue.key"), "-out", p("rogue.crt"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki, ignore_errors=True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.pki, name)

    def setUp(self):
        super().setUp()
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            p.stop()
        super().tearDown()

    def tls_server(self, settings, aetmap=None, wait=True):
        """A server whose DicomTLS file holds settings (relative file names
        are taken from the file's directory, so the keys are copied there)."""
        s = self.server(aetmap=aetmap, start=False)
        for name in ("server.crt", "server.key", "ca.crt", "ca.key"):
            shutil.copy(self.path(name), s.etc)
        s.tls_port = vt.free_port()
        with open(os.path.join(s.etc, "DicomTLS"), "w") as f:
            f.write("# DICOM over TLS\nport %d\n%s" % (s.tls_port, settings))
        return s.start(wait=wait)

    def tls_args(self, who="client"):
        return ["+tls", self.path(who + ".key"), self.path(who + ".crt"), "+cf", self.path("ca.crt")]

    def tls_run(self, s, cmd, who="client", extra=(), files=()):
        return vt.run([cmd] + self.tls_args(who) + list(extra)
                      + ["-aet", "CLIENT", "-aec", s.aetitle, "127.0.0.1", str(s.tls_port)]
                      + list(files))

    def image(self, s, i):
        return make_dataset(os.path.join(s.tmp, "t%d.dcm" % i), STUDY, SERIES,
                            "%s.%d" % (SERIES, i))

    def stored(self, s):
        return files_below(os.path.join(s.basedir, "uid"), ".dcm")

    def test_services_over_tls_with_required_client_certificates(self):
        dest = StoreSCP(self.pki, aetitle="TLSDEST",
                        extra=self.tls_args("dest"))
        self.peers.append(dest)
        s = self.tls_server("certificate server.crt\nprivate-key server.key\n"
                            "trusted-certificates ca.crt\nclient-certificates required\n",
                            aetmap="TLSDEST\tTLSDEST\t127.0.0.1:%d\tFMST\n" % dest.port)
        self.assertIn("]:DICOM over TLS on Port %d." % s.tls_port, s.log())

        p = self.tls_run(s, "echoscu")
        self.assertEqual(p.returncode, 0, p.stderr)
        p = self.tls_run(s, "storescu", files=[self.image(s, 1), self.image(s, 2)])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(len(self.stored(s)), 2)
        outdir = tempfile.mkdtemp(dir=s.tmp)
        p = self.tls_run(s, "findscu", extra=["-S", "-X", "-od", outdir, "-k",
                                              "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID"])
        self.assertEqual(p.returncode, 0, p.stderr)
        import pydicom
        found = [pydicom.dcmread(os.path.join(outdir, n)) for n in os.listdir(outdir)]
        self.assertEqual([str(d.StudyInstanceUID) for d in found], [STUDY])

        # The plain port is still open beside the TLS one.
        self.assertEqual(s.echoscu().returncode, 0)

        # A client whose certificate no trusted CA signed, and one without
        # a certificate, are refused; nothing they send is stored.
        for args in (self.tls_args("rogue"), ["+tla", "+cf", self.path("ca.crt")]):
            p = vt.run(["storescu"] + args + ["-aet", "CLIENT", "-aec", s.aetitle, "127.0.0.1",
                                              str(s.tls_port), self.image(s, 3)])
            self.assertNotEqual(p.returncode, 0, args)
            self.assertIn("Association Request Failed", p.stdout + p.stderr)
        self.assertEqual(len(self.stored(s)), 2)

        # A C-MOVE (asked for on the plain port: dcmtk's movescu has no TLS)
        # reaches the destination over TLS, because its map entry has T.
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], dest.aetitle,
                               called=s.aetitle)
        final = [r for r in responses if r["final"]]
        self.assertEqual([(r["status"], r["completed"], r["failed"]) for r in final],
                         [(0x0000, 2, 0)], p.stdout[-3000:])
        self.assertEqual(len(dest.files()), 2)
        self.assertIn("Transport connection: TLS over TCP/IP", dest.log())

        # The server goes on serving TLS clients after the refusals.
        self.assertEqual(self.tls_run(s, "echoscu").returncode, 0)

    def test_tls_only_without_client_certificates(self):
        s = self.tls_server("plain off\ncertificate server.crt\nprivate-key server.key\n"
                            "client-certificates none\n", wait=False)
        vt.wait_for(lambda: vt.port_open(s.tls_port) or s.proc.poll() is not None, 10,
                    what="TLS port")
        self.assertIsNone(s.proc.poll())
        self.assertFalse(vt.port_open(s.port))
        p = vt.run(["echoscu", "+tla", "+cf", self.path("ca.crt"), "-aet", "CLIENT", "-aec",
                    s.aetitle, "127.0.0.1", str(s.tls_port)])
        self.assertEqual(p.returncode, 0, p.stderr)
        # The BCP 195 profile: TLS 1.2 at least. SECLEVEL=0 lets the client
        # offer the old versions at all, so a refusal is the server's.
        for version, accepted in (("-tls1", False), ("-tls1_1", False), ("-tls1_2", True)):
            h = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % s.tls_port,
                                "-cipher", "DEFAULT@SECLEVEL=0", version],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
            out = h.stdout + h.stderr
            self.assertNotIn("no protocols available", out)
            if accepted:
                self.assertIn("New, TLSv1.2, Cipher is", out)
            else:
                self.assertNotEqual(h.returncode, 0, out)
                self.assertIn("Cipher is (NONE)", out)
        # Under TLS 1.2 only ECDHE (forward secrecy) with an AEAD cipher:
        # no RSA key exchange, no CBC with SHA-1, no finite-field DHE.
        for suite, accepted in (("AES128-GCM-SHA256", False), ("AES128-SHA", False),
                                ("ECDHE-RSA-AES128-SHA", False),
                                ("DHE-RSA-AES128-GCM-SHA256", False),
                                ("ECDHE-RSA-AES128-GCM-SHA256", True),
                                ("ECDHE-RSA-AES256-GCM-SHA384", True)):
            h = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % s.tls_port,
                                "-cipher", suite + "@SECLEVEL=0", "-tls1_2"],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
            out = h.stdout + h.stderr
            self.assertNotIn("no ciphers available", out)
            if accepted:
                self.assertIn("New, TLSv1.2, Cipher is " + suite, out)
            else:
                self.assertNotEqual(h.returncode, 0, suite + ": " + out)
                self.assertIn("Cipher is (NONE)", out, suite)
        h = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % s.tls_port,
                            "-tls1_3"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=30)
        self.assertIn("New, TLSv1.3, Cipher is", h.stdout, h.stdout + h.stderr)

    def test_tls_peer_is_never_called_in_the_clear(self):
        # A destination marked T, on a server without TLS: the C-MOVE fails
        # rather than send the images unencrypted.
        dest = StoreSCP(self.pki, aetitle="PLAINDEST")
        self.peers.append(dest)
        s = self.server(aetmap="PLAINDEST\tPLAINDEST\t127.0.0.1:%d\tFMST\n" % dest.port)
        self.assertEqual(s.storescu([self.image(s, 1)]).returncode, 0)
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], dest.aetitle,
                               called=s.aetitle)
        final = [r for r in responses if r["final"]]
        self.assertEqual([(r["completed"], r["failed"]) for r in final], [(0, 1)],
                         p.stdout[-3000:])
        self.assertEqual(dest.files(), [])
        self.assertIn("AET PLAINDEST is to be called over TLS, but TLS is not set up.", s.log())

    def test_unusable_settings_stop_the_start(self):
        cases = [
            ("certificate server.crt\nprivate-key ca.key\n", "does not match certificate"),
            ("certificate server.crt\nprivate-key server.key\nclient-certificates maybe\n",
             "line 5: client-certificates is required, optional or none"),
            ("certificate server.crt\n", "certificate and private-key are required"),
        ]
        for settings, why in cases:
            s = self.tls_server(settings, wait=False)
            self.assertEqual(s.proc.wait(10), 1, settings)
            err = s.proc.stderr.read().decode()
            self.assertIn("storeserver: TLS settings %s: " % os.path.join(s.etc, "DicomTLS"), err)
            self.assertIn(why, err)


if __name__ == "__main__":
    vt.main()

"""STOW-RS takes an upload in through the same ingest as C-STORE: with -s
(the archive's link tree setting, as storeserver -s) an uploaded image is
entered in the patient link tree beside the images stored over DICOM, and
without -s storeweb leaves the tree alone."""

import os
import unittest

import veltotest as vt
from webharness import Web, STOREWEB

STUDY = "1.2.826.0.1.3680043.9.7.51"
SERIES = STUDY + ".1"


def links_below(base):
    out = []
    for root, _, names in os.walk(os.path.join(base, "patient")):
        out.extend(os.path.join(root, n) for n in names)
    return sorted(out)


class StowLinkTreeTest(vt.ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")

    def image(self, srv, n):
        return vt.make_dataset(os.path.join(srv.tmp, "%d.dcm" % n), STUDY, SERIES,
                               "%s.%d" % (SERIES, n), patient_name="Doe^John",
                               patient_id="12345", extra={"InstanceNumber": str(n)})

    def stow(self, web, path):
        with open(path, "rb") as f:
            body = (b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + f.read() +
                    b"\r\n--XyZ--\r\n")
        upload = path + ".body"
        with open(upload, "wb") as out:
            out.write(body)
        status, _, answer = web.curl("/dicom-web/studies", [
            "-X", "POST", "-H",
            'Content-Type: multipart/related; type="application/dicom"; boundary=XyZ',
            "--data-binary", "@" + upload])
        return status, answer

    def test_stow_enters_the_patient_link_tree_with_s(self):
        srv = self.server(args=["-s"])
        p = srv.storescu([self.image(srv, 7)], extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"])
        [dicom_link] = links_below(srv.basedir)

        web = Web(srv, args=["-s"])
        try:
            status, answer = self.stow(web, self.image(srv, 8))
            self.assertEqual(status, 200, answer)
        finally:
            web.stop()
        links = links_below(srv.basedir)
        self.assertEqual(len(links), 2, links)
        [web_link] = [l for l in links if l != dicom_link]
        # Beside the C-STORE's link, named as storeserver names it, relative,
        # and leading to the stored file.
        self.assertEqual(os.path.dirname(web_link), os.path.dirname(dicom_link))
        self.assertTrue(web_link.endswith("/z_0008.dcm"), web_link)
        self.assertIn("/Doe^John_19700101_12345/", web_link)
        self.assertTrue(os.readlink(web_link).startswith("../../../../uid/"))
        self.assertEqual(os.path.realpath(web_link),
                         os.path.realpath(vt.uid_path(srv.basedir, STUDY, SERIES, SERIES + ".8")))

        # Without -s the upload is stored but not linked.
        web = Web(srv)
        try:
            status, answer = self.stow(web, self.image(srv, 9))
            self.assertEqual(status, 200, answer)
        finally:
            web.stop()
        self.assertTrue(os.path.exists(vt.uid_path(srv.basedir, STUDY, SERIES, SERIES + ".9")))
        self.assertEqual(links_below(srv.basedir), links)


if __name__ == "__main__":
    vt.main()

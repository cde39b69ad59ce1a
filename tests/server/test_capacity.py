"""The capacity policy (StoreCapacity): below its free-space threshold the
server refuses new images with 0xA700 (Out of Resources), says why in its
log and on the monitor channel, stores nothing and goes on answering
queries; with room left it stores as before; a policy it cannot read stops
it at start."""

import json
import os
import sys

import veltotest as vt

sys.path.insert(0, os.path.join(vt.SOURCE, "tests", "web"))

STUDY = "1.2.826.0.1.3680043.9.7777.42.1"


class CapacityTest(vt.ServerTestCase):

    def image(self, srv, n):
        path = os.path.join(srv.tmp, "%d.dcm" % n)
        vt.make_dataset(path, STUDY, STUDY + ".1", "%s.1.%d" % (STUDY, n))
        return path

    def test_refuses_below_the_threshold_and_stores_above(self):
        srv = self.server(start=False)
        # No real file system has 99.9999% of its space free.
        with open(os.path.join(srv.etc, "StoreCapacity"), "w") as f:
            f.write("# nearly everything must be free\nrefuse-below 99.9999%\n")
        srv.start()
        mon = vt.Monitor(srv.monitor_port)
        self.addCleanup(mon.close)
        p = srv.storescu([self.image(srv, 1), self.image(srv, 2)], extra=["-v", "-nh"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Refused: OutOfResources"] * 2,
                         p.stdout + p.stderr)
        self.assertEqual(vt.files_below(srv.basedir, ".dcm"), [])
        srv.wait_log("is nearly full")
        self.assertEqual(srv.log().count("new images are refused"), 1)
        full = mon.wait_text(lambda t: t.startswith("STORAGE FULL "))
        self.assertRegex(full, r"^STORAGE FULL \d+ bytes \(\d+\.\d%\) free$")
        self.assertEqual(srv.echoscu().returncode, 0)

        # STOW-RS goes through the same policy.
        import webharness
        web = webharness.Web(srv)
        self.addCleanup(web.stop)
        body = os.path.join(srv.tmp, "stow-body")
        with open(body, "wb") as f, open(self.image(srv, 3), "rb") as image:
            f.write(b"--XyZ\r\nContent-Type: application/dicom\r\n\r\n" + image.read() +
                    b"\r\n--XyZ--\r\n")
        status, head, answer = web.curl("/dicom-web/studies", [
            "-X", "POST", "-H", 'Content-Type: multipart/related; type="application/dicom"; '
            "boundary=XyZ", "--data-binary", "@" + body])
        self.assertEqual(status, 409)
        failed = json.loads(answer)["00081198"]["Value"]
        self.assertEqual(webharness.value(failed[0], "00081197"), 0xA700)
        self.assertIn("is nearly full", web.log())
        self.assertEqual(vt.files_below(srv.basedir, ".dcm"), [])
        web.stop()

        srv.stop()
        with open(os.path.join(srv.etc, "StoreCapacity"), "w") as f:
            f.write("refuse-below 1K\n")
        srv.start()
        p = srv.storescu([self.image(srv, 1)], extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"])
        self.assertEqual(len(vt.files_below(srv.basedir, ".dcm")), 1)

    def test_a_bad_policy_stops_the_start(self):
        srv = self.server(start=False)
        with open(os.path.join(srv.etc, "StoreCapacity"), "w") as f:
            f.write("refuse-below lots\n")
        p = vt.run(srv.command(), env=srv.env, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn('store capacity: ', p.stderr)
        self.assertIn('line 1: bad setting "refuse-below"', p.stderr)


if __name__ == "__main__":
    vt.main()

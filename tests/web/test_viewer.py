"""The browser view: headless Chromium opens storeweb's study list, sees
the stored studies, follows the CT study's link into the OHIF viewer, and
the viewer draws the CT image (a canvas with many lit pixels). The
screenshot is kept in the build tree (web-viewer.png) for a person to see."""

import json
import os
import shutil
import subprocess
import unittest

import veltotest as vt
from webharness import NODE_MODULES, STOREWEB, VIEWER_DIR, Web

BROWSE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browse.js")


class ViewerTest(vt.ServerTestCase):

    def test_study_list_and_viewer_draw_the_ct(self):
        if not os.path.exists(STOREWEB):
            raise unittest.SkipTest("storeweb not built")
        if not os.path.exists(os.path.join(VIEWER_DIR, "index.html")):
            raise AssertionError("OHIF viewer missing: run scripts/install-deps")
        import pydicom
        ct = vt.pydicom_file("CT_small.dcm")
        s = self.server()
        web = Web(s, ["-V", VIEWER_DIR])
        try:
            self.assertEqual(s.storescu([ct, vt.pydicom_file("MR_small.dcm")]).returncode, 0)
            study = str(pydicom.dcmread(ct).StudyInstanceUID)
            shot = os.path.join(vt.BUILD, "web-viewer.png")
            p = subprocess.run(["node", "--no-warnings", BROWSE, web.url, study, shot],
                               capture_output=True, timeout=180,
                               env=dict(os.environ, NODE_PATH=NODE_MODULES))
            self.assertEqual(p.returncode, 0, p.stderr.decode())
            r = json.loads(p.stdout)
            self.assertIn(study, r["studies"])
            self.assertEqual(len(r["studies"]), 2)
            self.assertEqual(r["href"], web.url + "/viewer/viewer?StudyInstanceUIDs=" + study)
            self.assertTrue(r["drawn"], "viewer canvas stayed blank (%d lit pixels), see %s"
                            % (r["pixels"], shot))
            self.assertTrue(os.path.getsize(shot) > 0)
        finally:
            web.stop()


if __name__ == "__main__":
    vt.main()

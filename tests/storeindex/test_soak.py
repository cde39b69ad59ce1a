"""Soak: one archive under 4 concurrent store loops, 2 find loops, a move
loop and a delete loop. Afterwards every image acknowledged with success
and not deleted is in the tree, in the index and returned by an image-level
query, no deleted image is, `storeindex check` finds nothing and the server
still answers C-ECHO.

The run lasts VELTO_SOAK_SECONDS (default 75) seconds of load."""

import os
import random
import subprocess
import sys
import tempfile
import threading
import time

import veltotest as vt
import archiveclients as ac

SECONDS = float(os.environ.get("VELTO_SOAK_SECONDS", "75"))


class SoakTest(vt.ServerTestCase):

    def test_soak(self):
        self.maxDiff = None
        dest_port = vt.free_port()
        dest_dir = tempfile.mkdtemp(prefix="soak-dest-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", dest_dir]))
        scp = subprocess.Popen(["storescp", "-aet", "DEST", "-od", dest_dir, str(dest_port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(scp.wait)
        self.addCleanup(scp.kill)
        srv = self.server(aetmap="DEST\tDEST\t127.0.0.1:%d\tFMS\n" % dest_port, aetitle="SOAK_ARCHIVE")
        vt.wait_for(lambda: vt.port_open(dest_port), 10, what="storescp")
        reg = ac.Registry()
        work = tempfile.mkdtemp(prefix="soak-", dir=srv.tmp)
        deadline = time.time() + SECONDS

        def study_of_loop(image, loops):
            return any(image[0].startswith("%s.%d.%d." % (ac.UID_ROOT, os.getpid(), l)) for l in loops)

        def find_loop(which):
            while time.time() < deadline:
                if which == 0:
                    # An image acknowledged before the query and not being
                    # deleted must be found.
                    image = reg.pick("live")
                    if image is None:
                        time.sleep(0.05)
                        continue
                    found = ac.find_uids(srv, ["StudyInstanceUID=%s" % image[0],
                                               "SeriesInstanceUID=%s" % image[1],
                                               "SOPInstanceUID=%s" % image[2]], "(0008,0018)", "IMAGE")
                    reg.count("find")
                    if reg.get(image) == "live" and found != [image[2]]:
                        reg.fail("image query for %s returned %r" % (image, found))
                else:
                    found = ac.find_uids(srv, ["StudyInstanceUID", "PatientName=SOAK*"], "(0020,000d)", "STUDY")
                    reg.count("find")
                    if found is None:
                        reg.fail("study-level query failed")

        def move_loop():
            # Studies of store loop 0 are never deleted, so every image of a
            # moved study that was acknowledged before the move must arrive.
            # An image whose store is still running may already be in the
            # index without its file, which the move counts as a failed
            # sub-operation: the final status may then be a warning.
            while time.time() < deadline:
                image = reg.pick("live", lambda i: study_of_loop(i, [0]))
                if image is None:
                    time.sleep(0.05)
                    continue
                study = image[0]
                before = {i[2] for i in reg.with_state("live") if i[0] == study}
                log = []
                ok = ac.move(srv, "DEST", ["StudyInstanceUID=%s" % study], "STUDY", log,
                             accept=("Success", "Warning"))
                reg.count("move")
                if not ok:
                    reg.fail("move of study %s failed: %s" % (study, log))
                    continue
                missing = [s for s in before if not os.path.exists(os.path.join(dest_dir, "SC." + s))]
                if missing:
                    reg.fail("move of %s did not deliver %s" % (study, missing))

        def delete_loop():
            while time.time() < deadline:
                image = reg.take_for_delete(lambda i: study_of_loop(i, [1, 2, 3]))
                if image is None:
                    time.sleep(0.05)
                    continue
                log = []
                ok = ac.delete_image(srv, *image, log=log)
                reg.count("delete")
                reg.set(image, "deleted" if ok else "uncertain")
                if not ok:
                    reg.fail("delete of %s failed: %s" % (image, log))
                time.sleep(random.uniform(0.05, 0.3))

        threads = [threading.Thread(target=ac.store_loop, args=(srv, reg, work, l, deadline))
                   for l in range(4)]
        threads += [threading.Thread(target=find_loop, args=(w,)) for w in range(2)]
        threads += [threading.Thread(target=move_loop), threading.Thread(target=delete_loop)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

        self.assertIsNone(srv.proc.poll(), "the server ended during the soak")
        self.assertEqual(reg.failures, [])
        self.assertEqual(reg.counts.get("store-failed", 0), 0, reg.counts)
        # The loops did real work.
        self.assertGreater(reg.counts.get("store-ok", 0), 40, reg.counts)
        for what in ("find", "move", "delete"):
            self.assertGreater(reg.counts.get(what, 0), 3, reg.counts)
        print("soak: %s" % reg.counts, file=sys.stderr)
        ac.verify_images(self, srv, reg)
        status, lines = ac.storeindex("check", srv.basedir)
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertTrue(ac.echo(srv))
        self.assertIsNone(srv.proc.poll())
        self.assertNotIn("due to signal", srv.log(), "a worker was killed")


if __name__ == "__main__":
    vt.main()

"""Access control: the server runs with the installed example access policy
(dist/etc/AccessPolicy) and an AE title map that lists some peers; dcmtk's
clients call it under listed and unlisted titles. The tests read the
association results, the DIMSE statuses, the store and the log."""

import os
import shutil
import subprocess
import tempfile

import veltotest as vt
from veltotest import ServerTestCase, StoreSCP, files_below, make_dataset, movescu

EXAMPLE_POLICY = os.path.join(vt.SOURCE, "dist", "etc", "AccessPolicy")
STUDY = "1.2.826.40.1"
SERIES = "1.2.826.40.1.1"
REJECTED = "Calling AE Title Not Recognized"


class AccessTests(ServerTestCase):

    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="velto-access-")
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            p.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        super().tearDown()

    def receiver(self, aetitle):
        scp = StoreSCP(self.tmp, aetitle=aetitle)
        self.peers.append(scp)
        return scp

    def policy_server(self, map_lines, policy_extra=""):
        """A server with the example policy (plus policy_extra lines)."""
        s = self.server(aetmap="".join(map_lines), start=False)
        with open(EXAMPLE_POLICY) as f:
            text = f.read()
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write(text + policy_extra)
        return s.start()

    def images(self, count=2):
        return [make_dataset(os.path.join(self.tmp, "a%d.dcm" % i), STUDY, SERIES,
                             "%s.%d" % (SERIES, i + 1)) for i in range(count)]

    def stored(self, s):
        return files_below(os.path.join(s.basedir, "uid"), ".dcm")

    def final(self, responses):
        f = [r for r in responses if r["final"]]
        self.assertEqual(len(f), 1, responses)
        return f[0]

    def test_example_policy(self):
        dest = self.receiver("DEST")
        noflag = self.receiver("NOFLAG")
        s = self.policy_server([
            "WS\tCLIENT\t127.0.0.1:11112\tFS\n",
            "ADMIN\tVeltoAdmin\tlocalhost:11113\tF\n",
            # Listed, but at another address than the one it calls from.
            "FAR\tFARAWAY\t127.0.0.2:11114\tFMS\n",
            dest.map_line(),
            "NOFLAG\tNOFLAG\t127.0.0.1:%d\tFS\n" % noflag.port,
        ])
        self.assertIn("]:Access policy %s in force." % os.path.join(s.etc, "AccessPolicy"),
                      s.log())
        files = self.images()

        # Unknown calling titles, and a listed one from the wrong address,
        # are rejected at association time: nothing is stored, found,
        # moved or deleted.
        for title in ("STRANGER", "FARAWAY"):
            p = s.echoscu(calling=title)
            self.assertNotEqual(p.returncode, 0, title)
            self.assertIn(REJECTED, p.stdout + p.stderr, title)
            p = s.storescu(files, calling=title)
            self.assertNotEqual(p.returncode, 0, title)
            self.assertEqual(self.stored(s), [], title)
            self.assertIn("Access refused: %s from 127.0.0.1 may not associate." % title, s.log())

        # A listed peer stores, queries and moves.
        p = s.storescu(files)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(len(self.stored(s)), 2)
        p, found = s.findscu(["StudyInstanceUID="])
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual([str(d.StudyInstanceUID) for d in found], [STUDY])
        for title in ("STRANGER", "FARAWAY"):
            p, found = s.findscu(["StudyInstanceUID="], calling=title)
            self.assertEqual(found, [])
            self.assertIn(REJECTED, p.stdout + p.stderr)
            p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], dest.aetitle,
                                   calling=title)
            self.assertEqual(responses, [], p.stdout[-2000:])
            self.assertIn(REJECTED, p.stdout)
            p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "VeltoDeleteAET",
                                   calling=title)
            self.assertEqual(responses, [], p.stdout[-2000:])
        self.assertEqual(dest.files(), [])

        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], dest.aetitle,
                               calling="CLIENT")
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"]), (0x0000, 2), p.stdout[-2000:])
        self.assertEqual(len(dest.files()), 2)

        # A destination in the map without the move flag is refused as
        # unknown, and receives nothing.
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], noflag.aetitle,
                               calling="CLIENT")
        self.assertEqual(self.final(responses)["status"], 0xA801, p.stdout[-2000:])
        self.assertEqual(noflag.files(), [])
        self.assertIn("Access refused: move destination NOFLAG has no move flag (M).", s.log())
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "NOT_IN_MAP",
                               calling="CLIENT")
        self.assertEqual(self.final(responses)["status"], 0xA801)

        # A listed peer without the delete right is refused "not
        # authorized"; the admin title deletes.
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "VeltoDeleteAET",
                               calling="CLIENT")
        self.assertEqual(self.final(responses)["status"], 0x0124, p.stdout[-2000:])
        self.assertEqual(len(self.stored(s)), 2)
        self.assertIn("Access refused: CLIENT from 127.0.0.1 may not delete.", s.log())
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "VeltoDeleteAET",
                               calling="VeltoAdmin")
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"]), (0x0000, 2), p.stdout[-2000:])
        self.assertEqual(self.stored(s), [])

    def test_learnt_titles_gain_no_rights(self):
        """Peers taught by monitor datagrams under the example policy: a
        forged CONFIG ADD_AET gives its title nothing, titles the policy
        names are never learnt, and a discovered sibling archive is still
        a C-MOVE destination (the example allows learnt destinations)."""
        evil = self.receiver("EVIL")
        sib = self.receiver("SIB")
        s = self.policy_server(["WS\tCLIENT\t127.0.0.1:11112\tFS\n"])
        files = self.images()
        self.assertEqual(s.storescu(files).returncode, 0)
        mon = vt.Monitor(s.monitor_port)
        try:
            mon.send(b"adminhost 1 CONFIG ADD_AET VeltoAdmin 127.0.0.1:11113 FMSD\n")
            mon.send(b"delhost 1 CONFIG ADD_AET VeltoDeleteAET 127.0.0.1:11113 FMSD\n")
            mon.send(("evilhost 1 CONFIG ADD_AET EVIL 127.0.0.1:%d FMSD\n" % evil.port).encode())
            mon.send(("sibhost 2 STORAGE DISCOVER_AET SIB %d\n" % sib.port).encode())
        finally:
            mon.close()
        vt.wait_for(lambda: "Discovered new Velto AET SIB at 127.0.0.1:%d." % sib.port in s.log()
                    and "Added new Velto AET EVIL" in s.log(), 15, what="the peers learnt")
        self.assertNotIn("Added new Velto AET VeltoAdmin", s.log())
        self.assertNotIn("Added new Velto AET VeltoDeleteAET", s.log())
        with open(os.path.join(s.etc, "AETitleMap")) as f:
            saved = f.read()
        self.assertIn("evilhost\tEVIL\t127.0.0.1:%d\tFMSD\tlearnt\n" % evil.port, saved)
        self.assertIn("sibhost\tSIB\t127.0.0.1:%d\tFMSD\tlearnt\n" % sib.port, saved)

        # The learnt title, calling from its learnt address, and the admin
        # title it tried to take, can neither echo, query, retrieve, store
        # nor delete.
        for title in ("EVIL", "VeltoAdmin"):
            p = s.echoscu(calling=title)
            self.assertIn(REJECTED, p.stdout + p.stderr, title)
            p, found = s.findscu(["StudyInstanceUID="], calling=title)
            self.assertEqual(found, [], title)
            p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], title, calling=title)
            self.assertEqual(responses, [], p.stdout[-2000:])
            p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "VeltoDeleteAET",
                                   calling=title)
            self.assertEqual(responses, [], p.stdout[-2000:])
            extra = [make_dataset(os.path.join(self.tmp, "x.dcm"), STUDY, SERIES, SERIES + ".9")]
            self.assertNotEqual(s.storescu(extra, calling=title).returncode, 0, title)
            self.assertIn("Access refused: %s from 127.0.0.1 may not associate." % title, s.log())
        self.assertEqual(evil.files(), [])
        self.assertEqual(len(self.stored(s)), 2)

        # The site's peer moves the study to the discovered sibling.
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "SIB", calling="CLIENT")
        f = self.final(responses)
        self.assertEqual((f["status"], f["completed"]), (0x0000, 2), p.stdout[-2000:])
        self.assertEqual(len(sib.files()), 2)

    def test_operations_not_granted_are_refused_one_by_one(self):
        # A title that may only verify is accepted, and refused the rest
        # with "Refused: Not Authorized" (0x0124).
        s = self.policy_server([], policy_extra="ECHOONLY\tany\techo\n")
        self.assertEqual(s.echoscu(calling="ECHOONLY").returncode, 0)
        p = s.storescu(self.images(1), calling="ECHOONLY", extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Unknown Status: 0x124"])
        self.assertEqual(self.stored(s), [])
        p, found = s.findscu(["StudyInstanceUID="], calling="ECHOONLY", extra=["-v"])
        self.assertEqual(found, [])
        self.assertIn("Received Final Find Response (Unknown Status: 0x124)", p.stdout + p.stderr)
        p, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], "ANY", calling="ECHOONLY")
        self.assertEqual(self.final(responses)["status"], 0x0124)
        status = self.commit_status(s, "ECHOONLY")
        if status is not None:
            self.assertEqual(status, 0x0124)
        log = s.log()
        for op in ("store", "find", "move") + (("commit",) if status is not None else ()):
            self.assertIn("Access refused: ECHOONLY from 127.0.0.1 may not %s." % op, log)

    def commit_status(self, s, calling):
        """The N-ACTION status of a storage commitment request that calling
        sends (with the test client of the commitment tests)."""
        modules = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")
        client = os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js")
        # It waits for a report that a refused request never gets: read its
        # status line, then stop it.
        proc = subprocess.Popen(["node", client, "127.0.0.1", str(s.port), s.aetitle, calling,
                                 "same", str(vt.free_port()), "1.2.826.40.9", "1.2.3", "1.2.3.4"],
                                stdout=subprocess.PIPE, text=True,
                                env=dict(os.environ, NODE_PATH=modules))
        try:
            for line in proc.stdout:
                if line.startswith("ACTION STATUS "):
                    return int(line.split()[2])
            raise AssertionError("no N-ACTION response")
        finally:
            proc.kill()
            proc.wait(10)
            proc.stdout.close()

    def test_broken_policy_stops_the_start(self):
        s = self.server(start=False)
        with open(os.path.join(s.etc, "AccessPolicy"), "w") as f:
            f.write("*\tmap\techo store\nCLIENT\tany\tstore,frobnicate\n")
        s.start(wait=False)
        self.assertEqual(s.proc.wait(10), 1)
        err = s.proc.stderr.read().decode()
        self.assertIn("access policy %s: line 2: unknown operation \"frobnicate\""
                      % os.path.join(s.etc, "AccessPolicy"), err)
        self.assertFalse(vt.port_open(s.port))


if __name__ == "__main__":
    vt.main()

"""Storage Commitment Push Model: the npm package dcmjs-dimse asks the
archive to commit instances (tests/server/commit_scu.js) and prints the
N-EVENT-REPORT it receives, on the same association (it waits for it) and
on a new one (it releases at once; the archive calls it back at its
address in the AE title map, asking for the SCP role of the class)."""

import json
import os
import subprocess

import veltotest as vt
from veltotest import ServerTestCase, make_dataset, store_statuses

COMMIT_SCU = os.path.join(vt.SOURCE, "tests", "server", "commit_scu.js")
NODE_MODULES = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")
CT = "1.2.840.10008.5.1.4.1.1.7"
STUDY, SERIES = "1.2.826.15.7", "1.2.826.15.7.1"


class CommitTests(ServerTestCase):

    def request(self, s, mode, instances, transaction="1.2.826.15.99.1", listen_port=None):
        listen_port = listen_port or vt.free_port()
        p = vt.run(["node", COMMIT_SCU, "127.0.0.1", str(s.port), s.aetitle, "MODALITY", mode,
                    str(listen_port), transaction, CT] + instances, timeout=90,
                   env={"NODE_PATH": NODE_MODULES})
        reports = [json.loads(l[len("REPORT "):]) for l in p.stdout.splitlines()
                   if l.startswith("REPORT ")]
        self.assertEqual(len(reports), 1, p.stdout + p.stderr)
        self.assertIn("ACTION STATUS 0", p.stdout)
        return reports[0], p.stdout

    def test_same_and_new_association(self):
        port = vt.free_port()
        s = self.server(aetmap="MOD\tMODALITY\t127.0.0.1:%d\tS\n" % port)
        # Two series of the study and one of another, stored before the
        # request, which finds them in the index.
        other = "1.2.826.15.8"
        places = [(STUDY, SERIES), (STUDY, SERIES + "2"), (other, other + ".1")]
        stored = ["%s.%d" % (series, i) for study, series in places for i in (1, 2)]
        files = [make_dataset(os.path.join(s.tmp, "%s.dcm" % u), study, series, u, sop_class=CT)
                 for study, series in places for u in stored if u.startswith(series + ".")]
        p = s.storescu(files, calling="MODALITY", extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * 6)
        never = "1.2.826.15.7.9.9"
        # A missing one between the others, and one named twice.
        named = stored[:3] + [never] + stored[3:] + stored[:1]
        for mode in ("same", "new"):
            with self.subTest(mode=mode):
                report, out = self.request(s, mode, named, listen_port=port)
                self.assertEqual(report["how"], mode)
                self.assertEqual(report["event"], 2)  # some failed
                self.assertEqual(report["transaction"], "1.2.826.15.99.1")
                self.assertEqual(report["committed"], stored + stored[:1])
                self.assertEqual(report["failed"], [[never, 0x0112]])
                if mode == "new":
                    self.assertIn("ASSOCIATION " + s.aetitle, out)
                    self.assertIn("ROLES scu=false scp=true", out)
        self.assertIn("Commitment report sent to MODALITY at 127.0.0.1:%d." % port, s.log())
        # All committed: event type 1.
        report, _ = self.request(s, "same", stored[:1])
        self.assertEqual((report["event"], report["committed"], report["failed"]),
                         (1, stored[:1], []))
        # A requester whose release crosses the report on its association
        # gets it again on a new one.
        report, out = self.request(s, "stray", stored[4:], listen_port=port)
        self.assertIn("STRAY REPORT", out)
        self.assertEqual((report["how"], report["event"], report["committed"]),
                         ("new", 1, stored[4:]))
        self.assertIn("Commitment report to MODALITY crossed its release: sending it anew.",
                      s.log())

    def test_a_file_cut_short_or_of_another_class_is_not_committed(self):
        s = self.server()
        uids = ["%s.%d" % (SERIES, i) for i in (1, 2, 3)]
        files = [make_dataset(os.path.join(s.tmp, "%s.dcm" % u), STUDY, SERIES, u, sop_class=CT)
                 for u in uids]
        p = s.storescu(files, extra=["-v"])
        self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * 3)
        # The first one loses its last byte, the second is of another class.
        path = vt.uid_path(s.basedir, STUDY, SERIES, uids[0])
        os.truncate(path, os.path.getsize(path) - 1)
        other = make_dataset(os.path.join(s.tmp, "other.dcm"), STUDY, SERIES, uids[1],
                             sop_class="1.2.840.10008.5.1.4.1.1.2")
        os.replace(other, vt.uid_path(s.basedir, STUDY, SERIES, uids[1]))
        report, _ = self.request(s, "same", uids)
        self.assertEqual(report["committed"], uids[2:])
        self.assertEqual(report["failed"], [[uids[0], 0x0112], [uids[1], 0x0119]])

    def test_instances_stored_while_the_request_waits_are_found(self):
        s = self.server()
        uids = ["%s.%d" % (SERIES, i) for i in (1, 2)]
        files = [make_dataset(os.path.join(s.tmp, "%s.dcm" % u), STUDY, SERIES, u, sop_class=CT)
                 for u in uids]
        go = os.path.join(s.tmp, "go")
        node = subprocess.Popen(["node", COMMIT_SCU, "127.0.0.1", str(s.port), s.aetitle,
                                 "MODALITY", "same", "0", "1.2.826.15.99.2", CT] + uids,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, NODE_PATH=NODE_MODULES, COMMIT_AFTER=go),
                                start_new_session=True)
        try:
            # The requester's association is open before the study exists.
            s.wait_log("Inbound call from MODALITY", 30)
            p = s.storescu(files, extra=["-v"])
            self.assertEqual(store_statuses(p.stdout + p.stderr), ["Success"] * 2)
            open(go, "w").close()
            out, _ = node.communicate(timeout=90)
        finally:
            vt.stop_process(node)
        reports = [json.loads(l[len("REPORT "):]) for l in out.splitlines()
                   if l.startswith("REPORT ")]
        self.assertEqual([(r["committed"], r["failed"]) for r in reports], [(uids, [])], out)

    def test_a_requester_not_in_the_map_gets_no_report_on_a_new_association(self):
        s = self.server()
        node = subprocess.Popen(["node", COMMIT_SCU, "127.0.0.1", str(s.port), s.aetitle,
                                 "MODALITY", "new", str(vt.free_port()), "1.2.3", CT, "1.2.3.4"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=dict(os.environ, NODE_PATH=NODE_MODULES),
                                start_new_session=True)
        try:
            s.wait_log("Commitment report for MODALITY not sent: not in the AE title map.", 60)
        finally:
            vt.stop_process(node)

if __name__ == "__main__":
    vt.main()

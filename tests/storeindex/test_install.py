"""Installation: "cmake --install" into a temporary prefix lays out the
programs, the example configuration, the systemd units and the manual
pages, and the installed storeserver, started as its unit starts it, finds
its configuration below that prefix."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import veltotest as vt


def map_listing(log):
    """The entry lines the server logged under "AE-Title map table:"."""
    lines = log.splitlines()
    start = next(i for i, l in enumerate(lines) if l.endswith("]:AE-Title map table:"))
    entries = []
    for l in lines[start + 1:]:
        if "PACS Server AET" in l or "]:Access policy " in l:
            break
        entries.append(l)
    return entries


def unit_settings(path):
    """The Environment= assignments and the ExecStart= words of a unit file."""
    env, execstart = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("Environment="):
                k, v = line[len("Environment="):].split("=", 1)
                env[k] = v
            elif line.startswith("ExecStart="):
                execstart = line[len("ExecStart="):].split()
    return env, execstart


class InstallTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        vt.require_private_netns()
        if not os.path.exists(vt.STORESERVER):
            raise unittest.SkipTest("storeserver not built")
        cls.tmp = tempfile.mkdtemp(prefix="velto-install-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        cls.install = vt.run(["cmake", "--install", vt.BUILD, "--prefix", cls.prefix], timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.install.returncode, 0, self.install.stdout + self.install.stderr)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait(10)
            for s in (p.stdout, p.stderr):
                s.close()

    def path(self, *rel):
        return os.path.join(self.prefix, *rel)

    def configure(self, store, aetitle, port):
        """Points the installed LocalStoreDir at store (keeping its comments)
        and adds a Local entry and the test client (which the example access
        policy then admits) to the installed AETitleMap; returns both
        files' previous contents."""
        etc = self.path("share", "velto", "etc")
        with open(os.path.join(etc, "LocalStoreDir")) as f:
            old_dir = f.read()
        with open(os.path.join(etc, "AETitleMap")) as f:
            old_map = f.read()
        with open(os.path.join(etc, "LocalStoreDir"), "w") as f:
            f.write(store + "\n" + old_dir.split("\n", 1)[1])
        with open(os.path.join(etc, "AETitleMap"), "w") as f:
            f.write(old_map + "Local\t%s\tlocalhost:%d\tFMS\t\"installed archive\"\n" % (aetitle, port)
                    + "WS\tCLIENT\t127.0.0.1:11112\tFMS\n")
        self.addCleanup(self.restore, etc, old_dir, old_map)

    def restore(self, etc, old_dir, old_map):
        with open(os.path.join(etc, "LocalStoreDir"), "w") as f:
            f.write(old_dir)
        with open(os.path.join(etc, "AETitleMap"), "w") as f:
            f.write(old_map)

    def start(self, argv, env, port, log):
        p = subprocess.Popen(argv + ["-p", str(port), "-l", log, "-D"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.procs.append(p)
        vt.wait_for(lambda: vt.port_open(port) or p.poll() is not None, 10, what="storeserver to listen")
        self.assertIsNone(p.poll(), "installed storeserver ended")
        return p

    def unit_env(self, unit):
        """The environment and command line the installed unit gives the
        server, with an empty home (so only the prefix holds configuration)."""
        env_assign, execstart = unit_settings(self.path("lib", "systemd", "system", unit))
        home = tempfile.mkdtemp(prefix="home-", dir=self.tmp)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        env.update(env_assign)
        env["HOME"] = home
        return env, execstart

    def test_layout(self):
        for rel in ("bin/storeserver", "bin/storeindex", "bin/velto-webuser"):
            self.assertTrue(os.access(self.path(rel), os.X_OK), rel)
        if os.path.exists(vt.STUDYWATCH):
            self.assertTrue(os.access(self.path("bin/studywatch"), os.X_OK))
        if os.path.exists(os.path.join(vt.BUILD, "web", "storeweb")):
            self.assertTrue(os.access(self.path("bin/storeweb"), os.X_OK))
        for rel in ("share/velto/etc/LocalStoreDir", "share/velto/etc/AETitleMap",
                    "share/velto/etc/AccessPolicy",
                    "lib/systemd/system/storeserver.service", "lib/systemd/system/studywatch.service",
                    "lib/systemd/system/storeweb.service",
                    "share/man/man8/storeserver.8", "share/man/man8/studywatch.8",
                    "share/man/man8/storeindex.8", "share/man/man8/storeweb.8"):
            self.assertTrue(os.path.isfile(self.path(rel)), rel)

    def test_units_name_the_installed_programs(self):
        env, execstart = unit_settings(self.path("lib/systemd/system/storeserver.service"))
        self.assertEqual(execstart[0], self.path("bin", "storeserver"))
        self.assertEqual(env["progpath"], self.prefix)
        env, execstart = unit_settings(self.path("lib/systemd/system/studywatch.service"))
        self.assertEqual(execstart[0], self.path("bin", "studywatch"))
        self.assertTrue(env["PATH"].startswith(self.path("bin") + ":"))
        env, execstart = unit_settings(self.path("lib/systemd/system/storeweb.service"))
        self.assertEqual(execstart[0], self.path("bin", "storeweb"))
        self.assertEqual(env["progpath"], self.prefix)

    def test_manual_pages_format_cleanly(self):
        for page in ("storeserver.8", "studywatch.8", "storeindex.8", "storeweb.8"):
            p = vt.run(["groff", "-man", "-Tutf8", "-ww", "-z", self.path("share/man/man8", page)])
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(p.stderr.strip(), "", page)

    def test_manual_pages_run_no_words_together(self):
        # A sentence after a ".BR X )." line's punctuation was glued to it:
        # "(see THE STUDY PAGE).Forscripts," in storeweb(8).
        for page in ("storeserver.8", "studywatch.8", "storeindex.8", "storeweb.8"):
            p = vt.run(["groff", "-man", "-Tutf8", "-P", "-cbou", self.path("share/man/man8", page)])
            self.assertEqual(p.returncode, 0, p.stderr)
            text = re.sub(r"\s+", " ", p.stdout)
            self.assertEqual(re.findall(r"\S*[a-z)][.,;:][A-Z][a-z]+\S*", text), [], page)

    def test_installed_server_finds_its_configuration_below_the_prefix(self):
        env, execstart = self.unit_env("storeserver.service")
        self.check_installed_server(env, execstart, "unit")

    def test_server_started_by_path_finds_the_installed_store(self):
        # Regression: the store read "LocalStoreDir" before the prefix was
        # known, so a server started by its path without progpath in the
        # environment fell back to /ct/dicom and refused every store.
        env, execstart = self.unit_env("storeserver.service")
        env.pop("progpath")
        self.check_installed_server(env, execstart, "bypath")

    def check_installed_server(self, env, execstart, tag):
        port = vt.free_port()
        store = os.path.join(self.tmp, "store-" + tag)
        os.makedirs(store)
        log = os.path.join(self.tmp, tag + ".log")
        self.configure(store, "INSTALLED_AE", port)
        self.start(execstart, env, port, log)
        with open(log) as f:
            text = f.read()
        self.assertIn("PACS Server AET INSTALLED_AE now listening on Port %d." % port, text)
        # The listed map holds the two added entries only: none of the
        # example's comment lines loaded as a peer.
        entries = map_listing(text)
        self.assertEqual(len(entries), 2, text)
        self.assertRegex(entries[0], r"\]:Local +INSTALLED_AE +localhost:%d +\(FMS\) installed archive" % port)
        # The example access policy is in force: a peer in the map is
        # served, one that is not is rejected.
        self.assertIn("]:Access policy %s in force." % self.path("share", "velto", "etc", "AccessPolicy"),
                      text)
        p = vt.run(["echoscu", "-aet", "CLIENT", "-aec", "INSTALLED_AE", "127.0.0.1", str(port)])
        self.assertEqual(p.returncode, 0, p.stderr)
        p = vt.run(["echoscu", "-aet", "STRANGER", "-aec", "INSTALLED_AE", "127.0.0.1", str(port)])
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Calling AE Title Not Recognized", p.stderr + p.stdout)
        # The image lands in the store that the installed LocalStoreDir names.
        img = vt.make_dataset(os.path.join(self.tmp, "img.dcm"), "1.2.826.0.1.3680043.9.7.1",
                              "1.2.826.0.1.3680043.9.7.1.1", "1.2.826.0.1.3680043.9.7.1.1.1")
        p = vt.run(["storescu", "-aet", "CLIENT", "-aec", "INSTALLED_AE", "127.0.0.1", str(port), img])
        self.assertEqual(p.returncode, 0, p.stderr)
        found = []
        for root, _, files in os.walk(os.path.join(store, "uid")):
            found += [f for f in files if f.endswith(".dcm")]
        self.assertEqual(found, ["image_1.2.826.0.1.3680043.9.7.1.1.1.dcm"])
        p = vt.run([self.path("bin", "storeindex"), "check", store])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_example_map_loads_no_entry(self):
        port = vt.free_port()
        log = os.path.join(self.tmp, "example.log")
        env, _ = self.unit_env("storeserver.service")
        # Started by its path: the prefix is worked out from it.
        env.pop("progpath")
        self.start([self.path("bin", "storeserver")], env, port, log)
        with open(log) as f:
            text = f.read()
        self.assertIn("PACS Server AET VeltoStorage now listening", text)
        self.assertEqual(map_listing(text), [], text)

    def test_reinstall_keeps_the_site_configuration(self):
        etc = self.path("share", "velto", "etc")
        self.configure("/srv/site-store", "SITE_AE", 104)
        with open(os.path.join(etc, "AETitleMap")) as f:
            site_map = f.read()
        p = vt.run(["cmake", "--install", vt.BUILD, "--prefix", self.prefix], timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        with open(os.path.join(etc, "LocalStoreDir")) as f:
            self.assertEqual(f.readline(), "/srv/site-store\n")
        with open(os.path.join(etc, "AETitleMap")) as f:
            self.assertEqual(f.read(), site_map)
        with open(os.path.join(etc, "LocalStoreDir.dist")) as f:
            self.assertEqual(f.readline(), "/var/lib/velto/dicom\n")
        os.unlink(os.path.join(etc, "LocalStoreDir.dist"))
        os.unlink(os.path.join(etc, "AETitleMap.dist"))

    def test_first_web_user_made_as_the_readme_says(self):
        # A fresh store (not made yet) and the installed policy: a valid
        # WebUsers alone gets 403 on every page; velto-webuser adds the
        # user with the policy line, and the pages and the worklist work.
        storeweb = self.path("bin", "storeweb")
        if not os.path.exists(storeweb):
            raise unittest.SkipTest("storeweb not built")
        etc = self.path("share", "velto", "etc")
        store = os.path.join(self.tmp, "store-web", "dicom")
        os.makedirs(os.path.dirname(store))
        self.configure(store, "INSTALLED_AE", vt.free_port())
        policy = os.path.join(etc, "AccessPolicy")
        with open(policy) as f:
            old_policy = f.read()

        def restore_policy():
            with open(policy, "w") as f:
                f.write(old_policy)
        self.addCleanup(restore_policy)
        self.addCleanup(lambda: os.path.exists(os.path.join(etc, "WebUsers"))
                        and os.unlink(os.path.join(etc, "WebUsers")))
        hashed = vt.run(["openssl", "passwd", "-6", "-salt", "first.run", "s3cret"]).stdout.strip()
        with open(os.path.join(etc, "WebUsers"), "w") as f:
            f.write("admin:%s\n" % hashed)
        env, _ = self.unit_env("storeweb.service")
        log = os.path.join(self.tmp, "web-first.log")

        def start_web():
            port = vt.free_port()
            p = subprocess.Popen([storeweb, "-p", str(port), "-l", log], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 start_new_session=True)
            self.procs.append(p)
            vt.wait_for(lambda: vt.port_open(port) or p.poll() is not None, 10,
                        what="storeweb to listen")
            self.assertIsNone(p.poll(), "installed storeweb ended")
            return p, "http://127.0.0.1:%d" % port

        def status(url, *extra):
            p = vt.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-u", "admin:s3cret"]
                       + list(extra) + [url])
            return int(p.stdout)

        p, url = start_web()
        self.assertEqual(status(url + "/"), 403)
        p.kill()
        p.wait(10)
        made = subprocess.run([self.path("bin", "velto-webuser"), "admin"], input="s3cret\n",
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(policy) as f:
            self.assertIn("\nadmin\tany\tfind get store move delete worklist modify\n", f.read())
        with open(os.path.join(etc, "WebUsers")) as f:
            self.assertRegex(f.read(), r"^admin:\$6\$[^\n]+\n$")
        p, url = start_web()
        self.assertEqual(status(url + "/"), 200)
        self.assertEqual(status(url + "/worklist"), 200)
        entry = json.dumps({"PatientName": "FIRST^RUN", "PatientID": "P1", "Modality": "CT",
                            "ScheduledStationAETitle": "CT1",
                            "ScheduledProcedureStepStartDate": "20250110"})
        self.assertEqual(status(url + "/worklist/entries", "-X", "POST", "-H",
                                "Content-Type: application/json", "--data-binary", entry), 201)
        self.assertEqual(status(url + "/", "-u", "admin:wrong"), 401)


    def test_first_run_from_install_to_a_forward_in_the_readme_order(self):
        # README "First run", in its order, with nothing outside it: the
        # installed files, a policy line and the first user by velto-webuser,
        # the modality and a destination in AETitleMap, both daemons as
        # their units start them; then a worklist entry, a stored study, the
        # page, the viewer and a forward from the page's send.
        storeweb = self.path("bin", "storeweb")
        if not os.path.exists(storeweb):
            raise unittest.SkipTest("storeweb not built")
        etc = self.path("share", "velto", "etc")
        store = os.path.join(self.tmp, "store-first", "dicom")
        os.makedirs(os.path.dirname(store))
        port = vt.free_port()
        self.configure(store, "FIRST_AE", port)
        dest = vt.StoreSCP(tempfile.mkdtemp(prefix="dest-", dir=self.tmp), "DEST_AE")
        self.addCleanup(dest.stop)
        with open(os.path.join(etc, "AETitleMap"), "a") as f:
            f.write("DEST\tDEST_AE\t127.0.0.1:%d\tFMS\t\"reading workstation\"\n" % dest.port)
        for name in ("AccessPolicy", "WebUsers"):
            path = os.path.join(etc, name)
            old = open(path).read() if os.path.exists(path) else None
            self.addCleanup(lambda path=path, old=old: (open(path, "w").write(old)
                                                        if old is not None else os.unlink(path)))
        # Steps 2 and 3: the first administrator, with its policy line.
        made = subprocess.run([self.path("bin", "velto-webuser"), "admin"], input="s3cret\n",
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(made.returncode, 0, made.stderr)
        # Step 5: both daemons, as their units start them.
        env, execstart = self.unit_env("storeserver.service")
        self.start(execstart, env, port, os.path.join(self.tmp, "first-server.log"))
        wenv, wexec = self.unit_env("storeweb.service")
        wport = vt.free_port()
        # No -a: the map's entry Local names the archive, as for the server.
        web = subprocess.Popen(wexec + ["-p", str(wport), "-l",
                                        os.path.join(self.tmp, "first-web.log")], env=wenv,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
        self.procs.append(web)
        vt.wait_for(lambda: vt.port_open(wport) or web.poll() is not None, 10,
                    what="storeweb to listen")
        self.assertIsNone(web.poll(), "installed storeweb ended")
        url = "http://127.0.0.1:%d" % wport

        def curl(path, *extra):
            p = vt.run(["curl", "-s", "-u", "admin:s3cret", "-w", "\n%{http_code}"]
                       + list(extra) + [url + path])
            body, _, code = p.stdout.rpartition("\n")
            return int(code), body
        json_post = ["-X", "POST", "-H", "Content-Type: application/json", "--data-binary"]
        # A worklist entry before the first image.
        code, _ = curl("/worklist/entries", *json_post,
                       json.dumps({"PatientName": "FIRST^RUN", "PatientID": "P1",
                                   "AccessionNumber": "ACC1", "Modality": "CT",
                                   "ScheduledStationAETitle": "CLIENT",
                                   "ScheduledProcedureStepStartDate": "20250110"}))
        self.assertEqual(code, 201)
        # Step 6: the first store, from the modality of the map.
        study = "1.2.826.0.1.3680043.9.7.9"
        img = vt.make_dataset(os.path.join(self.tmp, "first.dcm"), study, study + ".1",
                              study + ".1.1", patient_name="FIRST^RUN", patient_id="P1",
                              accession="ACC1")
        p = vt.run(["storescu", "-aet", "CLIENT", "-aec", "FIRST_AE", "127.0.0.1", str(port), img])
        self.assertEqual(p.returncode, 0, p.stderr)
        # Step 7: the page lists it, the viewer loads.
        code, page = curl("/?name=first")
        self.assertEqual(code, 200)
        self.assertIn(study, page)
        self.assertIn('<a href="/forward">Forwarding</a>', page)
        self.assertEqual(curl("/viewer/")[0], 200)
        self.assertEqual(curl("/dicom-web/studies/%s/metadata" % study)[0], 200)
        # Step 8: Send offers the destination, not the archive; the forward
        # arrives.
        self.assertIn('<option value="DEST_AE">', page)
        self.assertNotIn('<option value="FIRST_AE">', page)
        code, answer = curl("/forward/send", *json_post,
                            json.dumps({"study": study, "destination": "DEST_AE"}))
        self.assertEqual(code, 202, answer)
        job = json.loads(answer)["id"]
        vt.wait_for(lambda: json.loads(curl("/forward/jobs/" + job)[1])["state"] == "done", 30,
                    what="the forward to be done")
        self.assertEqual(len(dest.files()), 1)
        # The worklist entry was marked done by the arriving study.
        entries = json.loads(curl("/worklist/entries")[1])
        self.assertEqual([e["done"] for e in entries], [True])


if __name__ == "__main__":
    vt.main()

"""Retention (the site file Retention): below the delete-below share of free
space the least recently changed studies are deleted first, a protected
study or patient never, a study changed within the quiet time never;
`storeindex retention -n` lists what a run would delete and changes
nothing; keep deletes by Study Date (years, months, days); the server's
housekeeping runs the same pass at its interval; `storeindex check` is
clean after each run.

The space test's store is a small tmpfs in a mount namespace (as
test_fullstore.py) filled to a known level; a study's last change is set
by the modification time of its index files."""

import os
import shutil
import subprocess
import time

import veltotest as vt

STOREINDEX = os.path.join(vt.BUILD, "storeindex", "storeindex")
ROOT = "1.2.826.0.1.3680043.9.7433.36"


def study_uid(n):
    return "%s.%d" % (ROOT, n)


def ymd(days_ago):
    return time.strftime("%Y%m%d", time.localtime(time.time() - days_ago * 86400))


class RetentionTests(vt.ServerTestCase):

    def setUp(self):
        super().setUp()
        self.holder = None
        self.prefix = []

    def tearDown(self):
        if self.holder is not None:
            self.holder.kill()
            self.holder.wait()
        super().tearDown()

    def mount_store(self, s, size):
        self.holder = subprocess.Popen(
            ["unshare", "-m", "sh", "-c",
             'mount -t tmpfs -o size=%s velto "$0" && echo ready && exec sleep 600' % size,
             s.basedir], stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.holder.stdout.readline(), "ready\n")
        self.prefix = ["nsenter", "-t", str(self.holder.pid), "-m", "-r"]
        cmd = s.command()
        s.command = lambda: self.prefix + cmd

    def inside(self, s, path):
        if self.holder is None:
            return path
        return "/proc/%d/root%s" % (self.holder.pid, path)

    def storeindex(self, s, *args):
        return vt.run(self.prefix + [STOREINDEX] + list(args), env=s.env, timeout=120)

    def store_study(self, s, n, images=1, size=64, study_date="20240102", patient="PID1"):
        files = []
        for i in range(images):
            path = os.path.join(s.tmp, "s%d-%d.dcm" % (n, i))
            vt.make_dataset(path, study_uid(n), study_uid(n) + ".1", "%s.1.%d" % (study_uid(n), i),
                            pixels=size, study_date=study_date, patient_id=patient)
            files.append(path)
        p = s.storescu(files, extra=["-v"])
        self.assertEqual(vt.store_statuses(p.stdout + p.stderr), ["Success"] * images,
                         p.stdout + p.stderr)

    def age(self, s, n, seconds):
        """Makes study n look last changed `seconds` ago."""
        top = self.inside(s, vt.uid_path(s.basedir, study_uid(n)))
        when = time.time() - seconds
        for d, _, files in os.walk(top):
            for f in files:
                os.utime(os.path.join(d, f), (when, when))

    def stored(self, s):
        return sorted(n for n in range(20)
                      if os.path.isdir(self.inside(s, vt.uid_path(s.basedir, study_uid(n)))))

    def found(self, s):
        p, rows = s.findscu(["StudyInstanceUID="])
        self.assertEqual(p.returncode, 0, p.stderr)
        return sorted(int(str(r.StudyInstanceUID).rsplit(".", 1)[1]) for r in rows)

    def check_clean(self, s):
        p = self.storeindex(s, "check", s.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def settings(self, s, text):
        with open(os.path.join(s.etc, "Retention"), "w") as f:
            f.write(text)

    def test_space_oldest_first_protected_never(self):
        s = self.server(start=False)
        self.mount_store(s, "4m")
        s.start()
        # Six studies of about 250 KB; 0 the oldest, 5 changed just now.
        for n in range(6):
            self.store_study(s, n, size=500)
        for n in range(5):
            self.age(s, n, (10 - n) * 3600)
        # Study 0 protected by its own flag, study 1 by its patient's.
        self.assertEqual(self.storeindex(s, "protect", "study", study_uid(0), s.basedir).returncode, 0)
        p = self.storeindex(s, "protect", "patient", "PID1", s.basedir)
        self.assertEqual(p.returncode, 0, p.stderr)
        p = self.storeindex(s, "protect", "-r", "patient", "PID1", s.basedir)
        self.assertEqual(p.returncode, 0, p.stderr)
        # Fill to leave 25% free; delete-below 33% then needs two studies
        # of about 6% each: the two oldest that are not protected (1, 2).
        st = os.statvfs(self.inside(s, s.basedir))
        pages = st.f_bavail - st.f_blocks // 4
        with open(self.inside(s, os.path.join(s.basedir, "filler")), "wb") as f:
            f.write(bytes(pages * st.f_frsize))
        self.settings(s, "delete-below 33%\nquiet 10m\n")
        before = self.stored(s)
        self.assertEqual(before, [0, 1, 2, 3, 4, 5])

        p = self.storeindex(s, "retention", "-n", s.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        would = [line.split()[2] for line in p.stdout.splitlines()]
        self.assertEqual(would, [study_uid(1), study_uid(2)], p.stdout)
        self.assertTrue(all(line.endswith(" space") for line in p.stdout.splitlines()))
        self.assertEqual(self.stored(s), before)
        self.assertEqual(self.found(s), before)

        p = self.storeindex(s, "retention", s.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual([line.split()[1] for line in p.stdout.splitlines()],
                         [study_uid(1), study_uid(2)], p.stdout)
        self.assertIn("Retention: deleted study %s" % study_uid(1), p.stderr)
        self.assertEqual(self.stored(s), [0, 3, 4, 5])
        self.assertEqual(self.found(s), [0, 3, 4, 5])
        self.check_clean(s)

        # Still short of room: the next oldest go, never the protected study
        # 0, nor study 5 (changed within the quiet time).
        with open(self.inside(s, os.path.join(s.basedir, "filler")), "ab") as f:
            f.write(bytes(st.f_blocks // 4 * st.f_frsize))
        p = self.storeindex(s, "retention", s.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.stored(s), [0, 5])
        self.assertEqual(self.found(s), [0, 5])
        self.check_clean(s)

    def test_keep_by_study_date(self):
        s = self.server(start=False)
        # Audited (a collector that never answers: the events wait in the
        # spool, which the test reads).
        with open(os.path.join(s.etc, "AuditLog"), "w") as f:
            f.write("udp 127.0.0.1:%d\n" % vt.free_port())
        s.start()
        # 0: 20 years old, 1: 5 years, 2: 40 days, 3: 10 days, 4: 20 years
        # but changed just now (maybe still arriving).
        dates = {0: ymd(20 * 366), 1: ymd(5 * 365), 2: ymd(40), 3: ymd(10), 4: ymd(20 * 366)}
        for n, d in dates.items():
            self.store_study(s, n, study_date=d)
        for n in range(4):
            self.age(s, n, 3600)
        self.settings(s, "keep 10y\n")
        p = self.storeindex(s, "retention", "-n", s.basedir)
        self.assertEqual([line.split()[2] for line in p.stdout.splitlines()], [study_uid(0)],
                         p.stdout + p.stderr)
        self.assertEqual(self.stored(s), [0, 1, 2, 3, 4])
        p = self.storeindex(s, "retention", s.basedir)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.found(s), [1, 2, 3, 4])
        self.settings(s, "keep 12m\n")
        self.storeindex(s, "retention", s.basedir)
        self.assertEqual(self.found(s), [2, 3, 4])
        self.settings(s, "keep 30d\n")
        self.storeindex(s, "retention", s.basedir)
        self.assertEqual(self.found(s), [3, 4])
        self.assertEqual(self.stored(s), [3, 4])
        self.check_clean(s)
        # Every deletion audited (DICOM Study Deleted, 110105), naming its
        # study; the studies kept in none.
        with open(os.path.join(s.basedir, "audit", "spool"), "rb") as f:
            deleted = [r for r in f.read().split(b"\x1eAUD ")[1:] if b'csd-code="110105"' in r]
        for n in range(5):
            named = [r for r in deleted if study_uid(n).encode() + b'"' in r]
            self.assertEqual(len(named), 1 if n < 3 else 0, (n, deleted))

    def test_housekeeping_runs_the_pass(self):
        s = self.server(start=False)
        self.settings(s, "keep 1y\nquiet 1s\ninterval 1\n")
        s.start()
        self.store_study(s, 0, study_date=ymd(3 * 365))
        self.store_study(s, 1, study_date=ymd(3))
        s.wait_log("Retention: deleted study %s" % study_uid(0), timeout=30)
        self.assertEqual(self.found(s), [1])
        self.assertEqual(self.stored(s), [1])
        self.assertNotIn(study_uid(1), s.log())
        self.check_clean(s)

    def test_bad_settings_stop_the_start(self):
        s = self.server(start=False)
        self.settings(s, "keep ten years\n")
        p = vt.run(s.command(), env=s.env, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn('line 1: bad setting "keep"', p.stderr)


if __name__ == "__main__":
    vt.main()

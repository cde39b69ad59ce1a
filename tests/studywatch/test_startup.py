"""studywatch's command line and start-up: usage text, daemon and pid file,
umask, log file, privilege drop, and a monitor port that cannot be bound."""

import grp
import os
import re
import pwd
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import shutil
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import veltotest  # noqa: E402
from veltotest import STUDYWATCH, free_port, run, wait_for  # noqa: E402
from watchharness import Renderer, Sender, Watch, expected_argv  # noqa: E402

USAGE = ("Usage: %s [-m|-p MonitorPort] [-t study_timeout] [-M max_children]\n"
         "       [-a ArchiveAddress]... [-L log_interval]\n"
         "       [-u DropToUserName] [-g DropToGroupName] [-U umask]\n"
         "       [-l logfile] [-P pidfile] [-d] [-h]\n")


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


class StartupTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        veltotest.require_private_netns()
        if not os.path.exists(STUDYWATCH):
            raise unittest.SkipTest("studywatch not built")

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="studywatch-start-")
        self.renderer = Renderer()
        self.cleanups = []

    def tearDown(self):
        for f in reversed(self.cleanups):
            f()
        self.renderer.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def watch(self, args=(), **kw):
        w = Watch(self.renderer, args, **kw)
        self.cleanups.append(w.cleanup)
        return w

    def sender(self, port):
        s = Sender(port)
        self.cleanups.append(s.close)
        return s

    def test_h_prints_the_usage_alone(self):
        # It was "invalid option -- 'h'" before the usage text.
        p = run([STUDYWATCH, "-h"], timeout=10)
        self.assertEqual(1, p.returncode)
        self.assertEqual(USAGE % STUDYWATCH, p.stderr)
        self.assertEqual("", p.stdout)
        # Every option the program takes is in it.
        with open(os.path.join(os.environ["VELTO_SOURCE"], "studywatch", "main.cc")) as f:
            letters = re.search(r'getopt\(argc, argv, "([^"]+)"\)', f.read()).group(1)
        for letter in letters.replace(":", ""):
            self.assertRegex(p.stderr, r"[\[|]-%s\b" % letter, letter)

    def test_unknown_option_prints_usage_and_exits_1(self):
        for args in (["-x"], ["-h"], ["-t"], ["-t", "abc"], ["-M", "0"], ["-m", "70000"],
                     ["-U", "9"], ["-t", "5", "extra"]):
            p = run([STUDYWATCH] + args, timeout=10)
            self.assertEqual(1, p.returncode, args)
            self.assertTrue(p.stderr.endswith(USAGE % STUDYWATCH), "%s: %r" % (args, p.stderr))
            self.assertEqual("", p.stdout)

    def test_daemon_writes_its_own_pid_and_keeps_working(self):
        pidfile = os.path.join(self.tmp, "studywatch.pid")
        logfile = os.path.join(self.tmp, "studywatch.log")
        port = free_port()
        env = dict(os.environ, PATH=self.renderer.dir + ":" + os.environ["PATH"])
        p = subprocess.Popen([STUDYWATCH, "-d", "-P", pidfile, "-l", logfile, "-m", str(port), "-t", "2",
                              "-U", "077"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = p.communicate(timeout=10)
        self.assertEqual(0, p.returncode, err)
        text = wait_for(lambda: read(pidfile) if os.path.exists(pidfile) else None, 10,
                        what="pid file")
        self.assertRegex(text, r"^[0-9]+\n$")
        pid = int(text)
        self.cleanups.append(lambda: pid_alive(pid) and os.kill(pid, signal.SIGKILL))
        self.assertNotEqual(p.pid, pid)
        self.assertTrue(pid_alive(pid))
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            self.assertEqual(STUDYWATCH.encode(), f.read().split(b"\0")[0])
        # The daemon left the starter's session.
        self.assertEqual(pid, os.getsid(pid))
        # The umask applied before the pid file was made.
        self.assertEqual(0o600, stat.S_IMODE(os.stat(pidfile).st_mode))
        # The log was opened after the daemon step, so the daemon writes it; the pid file
        # comes first, so the log may not exist yet.
        wait_for(lambda: os.path.exists(logfile)
                 and "[%d]:Multicast channel subscribed. Server up.\n" % pid in read(logfile),
                 10, what="daemon's start-up line")
        study = "1.2.826.0.1.20.1"
        self.sender(port).announce(study)
        run_, = self.renderer.wait_runs(1)
        self.assertEqual(expected_argv(study), run_["argv"])
        os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not pid_alive(pid), 10, what="daemon to end")

    def test_pid_file_without_daemon(self):
        pidfile = os.path.join(self.tmp, "fg.pid")
        w = self.watch(["-P", pidfile])
        self.assertEqual("%d\n" % w.proc.pid, read(pidfile))

    def test_unwritable_pid_file_is_reported_and_start_goes_on(self):
        pidfile = os.path.join(self.tmp, "no-such-dir", "x.pid")
        w = self.watch(["-P", pidfile])
        self.assertIn("Cannot write pid file %s." % pidfile, w.log_messages())
        self.assertTrue(w.alive())

    def test_log_file_that_cannot_be_opened_falls_back_to_stderr(self):
        logfile = os.path.join(self.tmp, "no-such-dir", "log")
        port = free_port()
        p = subprocess.Popen([STUDYWATCH, "-m", str(port), "-l", logfile], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
        self.cleanups.append(lambda: (p.poll() is None and os.killpg(p.pid, signal.SIGKILL), p.wait(),
                                      p.stdout.close(), p.stderr.close()))
        os.set_blocking(p.stderr.fileno(), False)
        got = []

        def read():
            chunk = p.stderr.read()
            if chunk:
                got.append(chunk.decode())
            return "Server up." in "".join(got)
        wait_for(read, 10, what="start-up line on stderr")
        self.assertIn("]:Cannot open log file %s; logging to stderr.\n" % logfile, "".join(got))

    def test_monitor_port_that_cannot_be_bound_ends_with_status_1(self):
        # A socket without SO_REUSEADDR holds the port: every bind fails.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.cleanups.append(holder.close)
        holder.bind(("", 0))
        port = holder.getsockname()[1]
        logfile = os.path.join(self.tmp, "bind.log")
        t = time.time()
        p = run([STUDYWATCH, "-m", str(port), "-l", logfile], timeout=30)
        self.assertEqual(1, p.returncode)
        self.assertGreaterEqual(time.time() - t, 2.5, "gave up before retrying the bind")
        self.assertIn("]:Can't bind multicast socket.\n", read(logfile))
        self.assertNotIn("Server up", read(logfile))

    def test_privileges_dropped_to_user_and_group_with_the_users_groups(self):
        try:
            user = pwd.getpwnam("nobody")
            group = grp.getgrnam("nogroup")
        except KeyError:
            self.skipTest("no user nobody or group nogroup")
        if os.geteuid() != 0:
            self.skipTest("needs root to drop privileges")
        w = self.watch(["-u", "nobody", "-g", "nogroup"])
        study = "1.2.826.0.1.21.1"
        self.sender(w.port).announce(study)
        run_, = self.renderer.wait_runs(1)
        self.assertEqual(user.pw_uid, run_["uid"])
        self.assertEqual(group.gr_gid, run_["gid"])
        # Root's supplementary groups must not follow the renderer.
        self.assertNotIn(0, run_["groups"])
        self.assertEqual(["Multicast channel subscribed. Server up."], w.log_messages())
        with open("/proc/%d/status" % w.proc.pid) as f:
            ids = {l.split(":")[0]: l.split()[1:] for l in f if l.startswith(("Uid:", "Gid:", "Groups:"))}
        self.assertEqual([str(user.pw_uid)] * 4, ids["Uid"])
        self.assertEqual([str(group.gr_gid)] * 4, ids["Gid"])
        self.assertNotIn("0", ids["Groups"])

    def test_u_alone_takes_the_users_own_groups(self):
        user = pwd.getpwnam("nobody")
        w = self.watch(["-u", "nobody"])
        with open("/proc/%d/status" % w.proc.pid) as f:
            ids = {l.split(":")[0]: l.split()[1:] for l in f if l.startswith(("Uid:", "Gid:", "Groups:"))}
        self.assertEqual([str(user.pw_uid)] * 4, ids["Uid"])
        self.assertEqual([str(user.pw_gid)] * 4, ids["Gid"])
        self.assertNotIn("0", ids["Groups"])

    def test_failed_privilege_drop_ends_the_program(self):
        for args, text in ((["-u", "no_such_user_sw", "-g", "nogroup"],
                            "Failed to drop privs to user no_such_user_sw."),
                           (["-u", "nobody", "-g", "no_such_group_sw"],
                            "Failed to drop privs to group no_such_group_sw.")):
            w = Watch(self.renderer, args, start=False)
            self.cleanups.append(w.cleanup)
            p = run([STUDYWATCH] + w.args, timeout=30, env=w.env)
            self.assertEqual(1, p.returncode, args)
            self.assertEqual([text], w.log_messages())
            self.assertIn("studywatch: cannot switch to", p.stderr)

    def test_children_are_reaped_when_started_with_sigchld_ignored(self):
        # Regression: an inherited SIG_IGN for SIGCHLD made the kernel reap
        # the renderers, so with -M 1 the first study held the only slot.
        port = free_port()
        logfile = os.path.join(self.tmp, "sigchld.log")
        env = dict(os.environ, PATH=self.renderer.dir + ":" + os.environ["PATH"])
        p = subprocess.Popen([STUDYWATCH, "-m", str(port), "-t", "1", "-M", "1", "-l", logfile], env=env,
                             start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        self.cleanups.append(lambda: (p.poll() is None and os.killpg(p.pid, signal.SIGKILL), p.wait()))
        wait_for(lambda: os.path.exists(logfile) and "Server up." in read(logfile), 10, what="start-up")
        s = self.sender(port)
        s.announce("1.2.826.0.1.24.1")
        self.renderer.wait_runs(1)
        self.renderer.wait_ended()
        s.announce("1.2.826.0.1.24.2")
        self.renderer.wait_runs(2)

    def test_p_sets_the_monitor_port_too(self):
        port = free_port()
        w = self.watch(["-p", str(port)])
        self.sender(port).announce("1.2.826.0.1.23.1")
        self.renderer.wait_runs(1)


if __name__ == "__main__":
    veltotest.main()

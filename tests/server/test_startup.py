"""storeserver start-up: command line, usage text and exit statuses, daemon
and pid file, log file and line format, verbosity, umask, the AE title map
along the configuration search path and the server's own AE title."""

import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import warnings

import veltotest
from veltotest import STORESERVER, ServerTestCase, free_port, port_open, run, wait_for
from srvlib import (USAGE, NamespacedServer, alive, log_entries, messages, pid_of, proc_status,
                    wait_message)

MAP = ("Local\tARCHIVE_X\tlocalhost:1104\tFMS\n"
       "WS1\tWS1_AE\t10.0.0.7:104\tFMS\t\"first floor\"\n"
       "\"Two Words\"\tTW_AE\t10.0.0.8:11112\tFMSD\n")


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def listing(entries):
    """The expected level-64 listing of map entries (name, aet, address, flags, remark)."""
    out = ["AE-Title map table:"]
    for e in entries:
        out.append("%-10s %-10s %-20s (%s) %s" % e)
    return out


class CommandLine(ServerTestCase):
    """The usage text, exit statuses and option errors; no server keeps running."""

    def start_plain(self, args):
        tmp = tempfile.mkdtemp(prefix="velto-cl-")
        etc = os.path.join(tmp, ".velto", "etc")
        os.makedirs(etc)
        with open(os.path.join(etc, "LocalStoreDir"), "w") as f:
            f.write(tmp + "\n")
        return run([STORESERVER] + args, timeout=30, env={"HOME": tmp})

    def test_h_prints_usage_and_exits_1(self):
        p = self.start_plain(["-h"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, USAGE % STORESERVER)
        self.assertEqual(p.stdout, "")

    def test_usage_lists_every_option(self):
        # -M -E -S -I -z -L -W -Q were missing.
        p = self.start_plain(["-h"])
        with open(os.path.join(os.environ["VELTO_SOURCE"], "server", "main.cc")) as f:
            letters = re.search(r'getopt\(argc, argv, "([^"]+)"\)', f.read()).group(1)
        for letter in letters.replace(":", ""):
            self.assertRegex(p.stderr, r"\[-%s[] ]" % letter, letter)

    def test_data_set_limit_outside_1_to_4095_mib_is_refused(self):
        for bad in ("0", "4096", "12x"):
            p = self.start_plain(["-z", bad])
            self.assertEqual(p.returncode, 1, bad)
            self.assertEqual(p.stderr, "%s: invalid -z MiB: %s\n" % (STORESERVER, bad)
                             + USAGE % STORESERVER)

    def test_unknown_option_prints_diagnostic_and_usage(self):
        p = self.start_plain(["-x"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, "%s: invalid option -- 'x'\n" % STORESERVER + USAGE % STORESERVER)

    def test_missing_argument_prints_diagnostic_and_usage(self):
        p = self.start_plain(["-p"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, "%s: option requires an argument -- 'p'\n" % STORESERVER
                         + USAGE % STORESERVER)

    def test_usage_after_valid_options(self):
        p = self.start_plain(["-D", "-o", "-h", "-p", "1"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, USAGE % STORESERVER)

    def test_port_in_use_ends_with_status_1_and_says_why(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as busy:
            busy.bind(("0.0.0.0", 0))
            busy.listen(1)
            port = busy.getsockname()[1]
            s = self.server(port=port, start=False)
            s.start(wait=False)
            self.assertEqual(s.proc.wait(30), 1)
            why = "annot listen on port %d: Address already in use" % port
            self.assertIn("C" + why, messages(s))
            self.assertIn("storeserver: c" + why, s.proc.stderr.read().decode())
            self.assertNotIn("PACS Server AET ARCHIVE now listening on Port %d." % port, messages(s))


class Daemon(ServerTestCase):

    def test_pid_file_holds_daemon_pid(self):
        s = self.server(start=False)
        pidfile = os.path.join(s.tmp, "server.pid")
        s.args = ["-d", "-P", pidfile]
        s.start(wait=False)
        self.assertEqual(s.proc.wait(10), 0)
        wait_for(lambda: read_text(pidfile).endswith("\n"), 10, what="pid file")
        with open(pidfile) as f:
            text = f.read()
        self.assertRegex(text, r"^\d+\n$")
        pid = int(text)
        try:
            self.assertNotEqual(pid, s.proc.pid)
            self.assertTrue(alive(pid))
            self.assertEqual(os.getsid(pid), pid)  # a session of its own
            wait_for(lambda: port_open(s.port), 10, what="daemon to listen")
            self.assertEqual(s.echoscu().returncode, 0)
            self.assertEqual(pid_of(s, "PACS Server AET ARCHIVE now listening on Port %d." % s.port),
                             pid)
        finally:
            os.killpg(pid, signal.SIGKILL)
            wait_for(lambda: not alive(pid), 10, what="daemon to end")


class Verbosity(ServerTestCase):

    def test_two_D_pause_five_seconds_then_mask_511(self):
        s = self.server(aetmap=MAP, start=False)
        pidfile = os.path.join(s.tmp, "server.pid")
        s.args = ["-D", "-D", "-P", pidfile]
        started = time.time()
        s.start(wait=False)
        wait_for(lambda: os.path.exists(pidfile), 15, what="pid file")
        self.assertGreaterEqual(time.time() - started, 4.5)
        wait_for(lambda: port_open(s.port), 15, what="storeserver to listen")
        self.assertEqual(s.echoscu().returncode, 0)
        wait_message(s, "EOF CLIENT->ARCHIVE")
        msgs = messages(s)
        self.assertIn("AE-Title map table:", msgs)                        # level 64
        self.assertIn("good assoc from CLIENT to ARCHIVE", msgs)         # level 64
        self.assertIn("Command 0x0030 on presentation context 1", msgs)  # level 256

    def test_one_D_enables_up_to_128(self):
        s = self.server(aetmap=MAP, args=["-D"])
        self.assertEqual(s.echoscu().returncode, 0)
        wait_message(s, "EOF CLIENT->ARCHIVE")
        msgs = messages(s)
        self.assertIn("AE-Title map table:", msgs)
        self.assertIn("good assoc from CLIENT to ARCHIVE", msgs)
        self.assertNotIn("Command 0x0030 on presentation context 1", msgs)

    def test_default_mask_stops_at_32(self):
        s = self.server(aetmap=MAP)
        self.assertEqual(s.echoscu().returncode, 0)
        wait_message(s, "EOF CLIENT->ARCHIVE")
        msgs = messages(s)
        self.assertIn("Inbound call from CLIENT to ARCHIVE", msgs)        # level 32
        self.assertNotIn("AE-Title map table:", msgs)
        self.assertNotIn("good assoc from CLIENT to ARCHIVE", msgs)


class LogFile(ServerTestCase):

    def test_line_prefix_and_processes(self):
        s = self.server()
        self.assertEqual(s.echoscu(calling="A", called="B").returncode, 0)
        wait_message(s, "EOF A->B")
        entries = log_entries(s)  # every line has the prefix
        self.assertEqual(entries[0], (s.proc.pid, "PACS Server AET ARCHIVE now listening on Port %d."
                                      % s.port))
        worker = pid_of(s, "C-Echo A->B")
        self.assertNotEqual(worker, s.proc.pid)
        self.assertEqual(pid_of(s, "Inbound call from A to B"), worker)
        self.assertEqual(pid_of(s, "EOF A->B"), worker)

    def test_log_in_missing_directory_silences_everything(self):
        s = self.server(logfile=False, start=False)
        missing = os.path.join(s.tmp, "no-such-dir", "server.log")
        s.args = ["-l", missing]
        s.start()
        self.assertEqual(s.echoscu().returncode, 0)
        self.assertEqual(run(["echoscu", "-aet", "X", "-aec", "Y", "--repeat", "2",
                              "127.0.0.1", str(s.port)]).returncode, 0)
        time.sleep(1)
        os.killpg(s.proc.pid, signal.SIGKILL)
        s.proc.wait(10)
        self.assertEqual(s.proc.stderr.read(), b"")
        self.assertEqual(s.proc.stdout.read(), b"")
        self.assertFalse(os.path.exists(os.path.dirname(missing)))

    def test_without_l_logs_to_stderr(self):
        s = self.server(logfile=False)
        self.assertEqual(s.echoscu().returncode, 0)
        time.sleep(0.5)
        os.killpg(s.proc.pid, signal.SIGKILL)
        err = s.proc.stderr.read().decode()
        self.assertIn("]:PACS Server AET ARCHIVE now listening on Port %d.\n" % s.port, err)
        self.assertIn("]:Inbound call from CLIENT to ARCHIVE\n", err)


class Settings(ServerTestCase):

    def test_umask_is_set(self):
        s = self.server(args=["-U", "027"])
        self.assertEqual(proc_status(s.proc.pid)["Umask"], "0027")

    def test_umask_inherited_without_U(self):
        s = self.server()
        self.assertEqual(proc_status(s.proc.pid)["Umask"], "%04o" % self.current_umask())

    @staticmethod
    def current_umask():
        m = os.umask(0)
        os.umask(m)
        return m

    def test_E_keeps_63_characters(self):
        text = "".join(chr(ord("A") + i % 26) for i in range(70))
        s = self.server(args=["-E", text])
        image = veltotest.make_dataset(os.path.join(s.tmp, "one.dcm"), "1.2.826.78.1",
                                       "1.2.826.78.1.1", "1.2.826.78.1.1.1")
        self.assertEqual(s.storescu([image]).returncode, 0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pydicom does not know the "character set"
            p, found = s.findscu(["StudyInstanceUID=1.2.826.78.1"])
            self.assertEqual(len(found), 1, p.stderr)
            self.assertEqual(found[0][0x00080005].value, text[:63])

    def test_listener_ignores_sigalrm(self):
        s = self.server()
        os.kill(s.proc.pid, signal.SIGALRM)
        time.sleep(0.5)
        self.assertIsNone(s.proc.poll())
        self.assertEqual(s.echoscu().returncode, 0)

    def monitor_port_of(self, args):
        """Starts a server with exactly these options (plus -a/-l) and
        returns the port on which it announces IDLE."""
        ports = [free_port(), free_port()]
        monitors = [veltotest.Monitor(p) for p in ports]
        try:
            s = self.server(start=False, port=ports[1])
            s.command = lambda: [STORESERVER] + [a % {"a": ports[0], "b": ports[1]} for a in args] \
                + ["-a", "ARCHIVE", "-l", s.logpath]
            s.start()
            found = None
            deadline = time.time() + 15
            while found is None and time.time() < deadline:
                for port, m in zip(ports, monitors):
                    if "STORAGE IDLE 1" in m.texts():
                        found = port
                time.sleep(0.1)
            return ports, found
        finally:
            for m in monitors:
                m.close()

    def test_p_after_m_sets_monitor_port_too(self):
        ports, found = self.monitor_port_of(["-m", "%(a)d", "-p", "%(b)d"])
        self.assertEqual(found, ports[1])

    def test_m_after_p_gives_monitor_its_own_port(self):
        ports, found = self.monitor_port_of(["-p", "%(b)d", "-m", "%(a)d"])
        self.assertEqual(found, ports[0])


class AETitleMapSearch(ServerTestCase):

    def server(self, *a, **kw):
        # The port is open a moment before the listener logs the title it
        # listens with; these tests read that line.
        s = super().server(*a, **kw)
        if kw.get("start", True):
            s.wait_log("PACS Server AET ")
        return s

    def test_map_in_home_is_loaded_and_listed(self):
        s = self.server(aetmap=MAP, aetitle=None, args=["-D"])
        msgs = messages(s)
        start = msgs.index("AE-Title map table:")
        want = listing([("Local", "ARCHIVE_X", "localhost:1104", "FMS", ""),
                        ("WS1", "WS1_AE", "10.0.0.7:104", "FMS", "first floor"),
                        ("Two Words", "TW_AE", "10.0.0.8:11112", "FMSD", "")])
        self.assertEqual(msgs[start:start + 4], want)
        # The "Local" entry gives the server its AE title.
        self.assertIn("PACS Server AET ARCHIVE_X now listening on Port %d." % s.port, msgs)

    def test_empty_map_file_lists_only_header(self):
        s = self.server(aetmap="", args=["-D"])
        msgs = messages(s)
        i = msgs.index("AE-Title map table:")
        self.assertTrue(msgs[i + 1].startswith("PACS Server AET"))

    def test_default_title_without_local_entry(self):
        s = self.server(aetmap="WS1\tWS1_AE\t10.0.0.7:104\tFMS\n", aetitle=None)
        self.assertIn("PACS Server AET VeltoStorage now listening on Port %d." % s.port, messages(s))

    def test_default_title_without_map(self):
        s = self.server(aetitle=None, args=["-D"])
        msgs = messages(s)
        self.assertNotIn("AE-Title map table:", msgs)
        self.assertIn("PACS Server AET VeltoStorage now listening on Port %d." % s.port, msgs)

    def test_a_wins_over_local_entry(self):
        s = self.server(aetmap=MAP, aetitle="GIVEN")
        self.assertIn("PACS Server AET GIVEN now listening on Port %d." % s.port, messages(s))

    def prefix_server(self, files, overlay_etc=None):
        """A server whose installation prefix ($(progpath)) is a fresh
        directory; files maps directories relative to it, or "HOME", to
        the map text placed there. overlay_etc, if given, maps directories
        below /etc (seen only by this server, through an overlay in its
        own mount namespace) to map texts."""
        if overlay_etc:
            self.require_overlay()
            s = NamespacedServer(aetitle=None, start=False)
            self._servers.append(s)
        else:
            s = self.server(aetitle=None, start=False)
        prefix = os.path.join(s.tmp, "prefix")
        for d, text in files.items():
            path = s.etc if d == "HOME" else os.path.join(prefix, d)
            os.makedirs(path, exist_ok=True)
            with open(os.path.join(path, "AETitleMap"), "w") as f:
                f.write(text)
        s.env["progpath"] = prefix
        if overlay_etc:
            upper = os.path.join(s.tmp, "etc-upper")
            work = os.path.join(s.tmp, "etc-work")
            os.makedirs(upper)
            os.makedirs(work)
            lines = ["mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc"
                     % (upper, work)]
            for d, text in overlay_etc.items():
                src = os.path.join(s.tmp, "map-" + d.replace("/", "_"))
                with open(src, "w") as f:
                    f.write(text)
                lines.append("mkdir -p /etc/%s && cp %s /etc/%s/AETitleMap" % (d, src, d))
            s.prologue = "\n".join(lines)
        s.start()
        return s

    def require_overlay(self):
        """Skips the test where no overlay can be mounted over /etc."""
        tmp = tempfile.mkdtemp(prefix="velto-ovl-")
        try:
            os.makedirs(os.path.join(tmp, "u"))
            os.makedirs(os.path.join(tmp, "w"))
            p = run(["unshare", "-m", "sh", "-c",
                     "mount -t overlay overlay -o lowerdir=/etc,upperdir=%s/u,workdir=%s/w /etc"
                     % (tmp, tmp)])
            if p.returncode != 0:
                self.skipTest("cannot overlay /etc here: %s" % p.stderr.strip())
        finally:
            subprocess.run(["rm", "-rf", tmp])

    def own_title(self, s):
        # The port is open a moment before the line that names the title is
        # written.
        s.wait_log("PACS Server AET ")
        for m in messages(s):
            if m.startswith("PACS Server AET "):
                return m.split()[3]
        raise AssertionError(s.log())

    def local(self, aet):
        return "Local\t%s\tlocalhost:1104\tFMS\n" % aet

    def test_override_in_prefix_wins_over_home(self):
        s = self.prefix_server({"share/velto/override/etc": self.local("OVERRIDE"),
                                "HOME": self.local("HOME"),
                                "share/velto/etc": self.local("PREFIX")})
        self.assertEqual(self.own_title(s), "OVERRIDE")

    def test_home_wins_over_prefix(self):
        s = self.prefix_server({"HOME": self.local("HOME"), "share/velto/etc": self.local("PREFIX")})
        self.assertEqual(self.own_title(s), "HOME")

    def test_prefix_share_found_last_but_one(self):
        s = self.prefix_server({"share/velto/etc": self.local("PREFIX")})
        self.assertEqual(self.own_title(s), "PREFIX")

    def test_etc_override_wins_over_everything(self):
        s = self.prefix_server({"share/velto/override/etc": self.local("OVERRIDE"),
                                "HOME": self.local("HOME")},
                               overlay_etc={"velto/override": self.local("ETCOVR"),
                                            "velto": self.local("ETC")})
        self.assertEqual(self.own_title(s), "ETCOVR")

    def test_etc_velto_is_last(self):
        s = self.prefix_server({}, overlay_etc={"velto": self.local("ETC")})
        self.assertEqual(self.own_title(s), "ETC")
        s2 = self.prefix_server({"share/velto/etc": self.local("PREFIX")},
                                overlay_etc={"velto": self.local("ETC")})
        self.assertEqual(self.own_title(s2), "PREFIX")


if __name__ == "__main__":
    veltotest.main()

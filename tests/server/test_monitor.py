"""storeserver on the monitor channel: its IDLE, DISCOVER_AET, BUSY and DISK
announcements, peers learnt from DISCOVER_AET and CONFIG ADD_AET into the AE
title map file, and datagrams outside the vocabulary, which must change
nothing. A second host is simulated by the host name in the datagram text
(the server takes the peer's name from it)."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import veltotest
from veltotest import ServerTestCase, free_port, wait_for
from srvlib import ASSOC_CLIENT, NamespacedServer, TimedMonitor, alive, client, messages, wait_message

HOST = socket.gethostname()


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("latin-1")


class Announcements(ServerTestCase):

    def started_with_monitor(self, **kw):
        s = self.server(start=False, **kw)
        mon = TimedMonitor(s.monitor_port)
        self.addCleanup(mon.close)
        s.start()
        return s, mon

    def test_idle_then_discover_about_every_5s(self):
        s, mon = self.started_with_monitor()
        mon.poll(11.5)
        got = mon.from_pid(s.proc.pid)
        texts = [t for _, t in got]
        self.assertEqual(texts[0], "STORAGE IDLE 1")
        pairs = [i for i, t in enumerate(texts) if t == "STORAGE DISCOVER_AET ARCHIVE %d" % s.port]
        self.assertGreaterEqual(len(pairs), 2, texts)
        for i in pairs:
            self.assertEqual(texts[i - 1], "STORAGE IDLE 1")
        times = [got[i][0] for i in pairs]
        for a, b in zip(times, times[1:]):
            self.assertGreater(b - a, 4.0)
            self.assertLess(b - a, 7.0)
        # The frame: host, blank, pid, blank, text, newline.
        self.assertIn(("%s %d STORAGE IDLE 1\n" % (HOST, s.proc.pid)).encode(), mon.messages)

    def test_busy_carries_worker_count(self):
        s, mon = self.started_with_monitor()
        holders = [subprocess.Popen([ASSOC_CLIENT, "127.0.0.1:%d" % s.port, "H%d" % i, "ARCHIVE",
                                     "hold", "7"], stdout=subprocess.PIPE, text=True)
                   for i in range(2)]
        try:
            for h in holders:
                self.assertEqual(h.stdout.readline().strip(), "ASSOCIATED")
            mon.wait_text(lambda t: t == "STORAGE BUSY 2", timeout=10)
        finally:
            for h in holders:
                h.wait(30)
                h.stdout.close()
        busy = [t for _, t in mon.from_pid(s.proc.pid) if t.startswith("STORAGE BUSY")]
        self.assertEqual(busy[0], "STORAGE BUSY 1")  # right after the first fork
        # Once the workers are reaped the listener is idle again.
        n = len(mon.from_pid(s.proc.pid))
        wait_for(lambda: "STORAGE IDLE 1" in [t for _, t in mon.from_pid(s.proc.pid)[n:]], 12,
                 what="IDLE after the workers ended")

    def test_echo_brackets(self):
        s, mon = self.started_with_monitor()
        self.assertEqual(s.echoscu().returncode, 0)
        wait_message(s, "EOF CLIENT->ARCHIVE")
        mon.poll(0.5)
        echoes = [(p, text) for _, _, p, text in mon.timed if "ECHO" in text]
        self.assertEqual([t for _, t in echoes], ["STORAGE ECHO 1", "STORAGE ECHO 0"])
        self.assertNotEqual(echoes[0][0], str(s.proc.pid))  # sent by the worker

    def test_get_announced_as_a_retrieve(self):
        # The channel's seven activities have no word of their own for a
        # C-GET: it is the retrieve activity, MOVE, like a C-MOVE.
        s, mon = self.started_with_monitor()
        f = veltotest.make_dataset(os.path.join(s.tmp, "g.dcm"), "1.2.826.40.1", "1.2.826.40.1.1",
                                   "1.2.826.40.1.1.1")
        self.assertEqual(s.storescu([f]).returncode, 0)
        out = tempfile.mkdtemp(dir=s.tmp)
        p = veltotest.run(["getscu", "-S", "-aet", "GETTER", "-aec", s.aetitle, "-od", out,
                           "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=1.2.826.40.1",
                           "127.0.0.1", str(s.port)])
        self.assertEqual((p.returncode, len(os.listdir(out))), (0, 1), p.stdout + p.stderr)
        wait_message(s, "EOF GETTER->ARCHIVE")
        mon.poll(0.5)
        retrieves = [(p, text) for _, _, p, text in mon.timed if "MOVE" in text]
        self.assertEqual([t for _, t in retrieves], ["STORAGE MOVE 1", "STORAGE MOVE 0"])
        self.assertNotEqual(retrieves[0][0], str(s.proc.pid))  # sent by the worker

    def test_disk_announced_after_a_minute(self):
        # The free share of the store's file system: the server makes the
        # uid directory at its start (before, a store without one reported
        # a total of 0, announced as 100).
        s, mon = self.started_with_monitor()
        t = mon.wait_text(lambda t: t.startswith("STORAGE DISK "), timeout=75)
        st = os.statvfs(os.path.join(s.basedir, "uid"))
        free = st.f_bavail * st.f_bsize * 100 // (st.f_frsize * st.f_blocks)
        self.assertRegex(t, r"^STORAGE DISK \d+$")
        self.assertLessEqual(abs(int(t.split()[2]) - free), 1, t)


class LearningBase(ServerTestCase):
    """A server with a map file and a sender on its monitor channel."""

    def learning_server(self, aetmap="", **kw):
        s = self.server(aetmap=aetmap, **kw)
        self.mapfile = os.path.join(s.etc, "AETitleMap")
        self.sender = veltotest.Monitor(free_port())
        self.addCleanup(self.sender.close)
        return s

    def send(self, s, text):
        self.sender.send(text if isinstance(text, bytes) else text.encode(), port=s.monitor_port)

    def marker(self, s, name):
        """Sends a valid CONFIG ADD_AET and waits until it is handled, so
        that everything sent before it has been read."""
        self.send(s, "%s 1 CONFIG ADD_AET %s 127.0.0.1:9 F\n" % (name, name))
        wait_message(s, "Added new Velto AET %s at 127.0.0.1:9." % name, timeout=15)


class Learning(LearningBase):
    """Peers learnt from the channel (forged host names stand for other hosts)."""

    def test_discover_adds_peer_once(self):
        s = self.learning_server()
        for _ in range(3):
            self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        wait_message(s, "Discovered new Velto AET PEERX at 127.0.0.1:104.")
        self.assertEqual(read_text(self.mapfile), "otherhost\tPEERX\t127.0.0.1:104\tFMSD\tlearnt\n")
        for _ in range(2):
            self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        # A second title from the same host is not added either.
        self.send(s, "otherhost 1000 STORAGE DISCOVER_AET PEERY 104\n")
        self.marker(s, "MARK1")
        self.assertEqual(messages(s).count("Discovered new Velto AET PEERX at 127.0.0.1:104."), 1)
        self.assertFalse([m for m in messages(s) if "PEERY" in m])
        self.assertEqual(read_text(self.mapfile), "otherhost\tPEERX\t127.0.0.1:104\tFMSD\tlearnt\n"
                                                  "MARK1\tMARK1\t127.0.0.1:9\tF\tlearnt\n")

    def test_config_add_aet(self):
        s = self.learning_server(aetmap="WS0\tWS0_AE\t10.0.0.6:104\tFMS\n")
        self.send(s, "cfghost 5 CONFIG ADD_AET WS1 10.0.0.7:104 FMS\n")
        wait_message(s, "Added new Velto AET WS1 at 10.0.0.7:104.")
        want = "WS0\tWS0_AE\t10.0.0.6:104\tFMS\ncfghost\tWS1\t10.0.0.7:104\tFMS\tlearnt\n"
        self.assertEqual(read_text(self.mapfile), want)
        # A title already present changes nothing.
        self.send(s, "cfghost2 6 CONFIG ADD_AET WS1 10.0.0.9:11112 FMSD\n")
        self.send(s, "cfghost3 6 CONFIG ADD_AET WS0_AE 10.0.0.9:11112 FMSD\n")
        self.marker(s, "MARK2")
        self.assertEqual(read_text(self.mapfile), want + "MARK2\tMARK2\t127.0.0.1:9\tF\tlearnt\n")
        self.assertEqual(messages(s).count("Added new Velto AET WS1 at 10.0.0.7:104."), 1)

    def test_own_announcements_never_enter_the_map(self):
        s = self.learning_server()
        self.assertEqual(s.echoscu().returncode, 0)
        time.sleep(11)  # two passes that announce and read DISCOVER_AET
        self.assertEqual(read_text(self.mapfile), "")
        self.assertFalse([m for m in messages(s) if "new Velto AET" in m])

    def test_two_servers_discover_each_other(self):
        a = self.learning_server()
        mon_port = a.monitor_port
        b = self.server(aetmap="", aetitle="SECOND", monitor_port=mon_port)
        wait_message(a, "Discovered new Velto AET SECOND at 127.0.0.1:%d." % b.port, timeout=15)
        wait_message(b, "Discovered new Velto AET ARCHIVE at 127.0.0.1:%d." % a.port, timeout=15)
        self.assertEqual(read_text(self.mapfile), "%s\tSECOND\t127.0.0.1:%d\tFMSD\tlearnt\n" % (HOST, b.port))
        self.assertEqual(read_text(os.path.join(b.etc, "AETitleMap")),
                         "%s\tARCHIVE\t127.0.0.1:%d\tFMSD\tlearnt\n" % (HOST, a.port))

    def test_read_only_map_learns_without_saving(self):
        s = NamespacedServer(aetmap="WS0\tWS0_AE\t10.0.0.6:104\tFMS\n", start=False, args=["-D"])
        self._servers.append(s)
        s.prologue = "mount --bind %s %s\nmount -o remount,ro,bind %s" % (s.etc, s.etc, s.etc)
        s.start()
        self.mapfile = os.path.join(s.etc, "AETitleMap")
        self.sender = veltotest.Monitor(free_port())
        self.addCleanup(self.sender.close)
        self.assertIn("WS0        WS0_AE     10.0.0.6:104         (FMS) ", messages(s))
        self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        wait_message(s, "Discovered new Velto AET PEERX at 127.0.0.1:104.")
        self.marker(s, "MARK3")
        self.assertEqual(read_text(self.mapfile), "WS0\tWS0_AE\t10.0.0.6:104\tFMS\n")

    def test_learnt_peer_is_used_with_read_only_map(self):
        tmp = tempfile.mkdtemp(prefix="velto-dest-")
        self.addCleanup(shutil.rmtree, tmp, True)
        dest = veltotest.StoreSCP(tmp, aetitle="LEARNT")
        self.addCleanup(dest.stop)
        s = NamespacedServer(aetmap="", start=False)
        self._servers.append(s)
        s.prologue = "mount --bind %s %s\nmount -o remount,ro,bind %s" % (s.etc, s.etc, s.etc)
        s.start()
        self.mapfile = os.path.join(s.etc, "AETitleMap")
        self.sender = veltotest.Monitor(free_port())
        self.addCleanup(self.sender.close)
        image = veltotest.make_dataset(os.path.join(s.tmp, "one.dcm"), "1.2.826.77.1",
                                       "1.2.826.77.1.1", "1.2.826.77.1.1.1")
        self.assertEqual(s.storescu([image]).returncode, 0)
        self.send(s, "cfghost 5 CONFIG ADD_AET LEARNT 127.0.0.1:%d FMS\n" % dest.port)
        wait_message(s, "Added new Velto AET LEARNT at 127.0.0.1:%d." % dest.port)
        p, responses = veltotest.movescu(s.port, ["StudyInstanceUID=1.2.826.77.1"], "LEARNT")
        self.assertEqual(responses[-1].get("status"), 0, p.stdout)
        self.assertEqual(len(dest.files()), 1)
        self.assertEqual(read_text(self.mapfile), "")

    def test_without_map_file_nothing_is_created(self):
        s = self.learning_server(aetmap=None)
        self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        wait_message(s, "Discovered new Velto AET PEERX at 127.0.0.1:104.")
        self.assertFalse(os.path.exists(self.mapfile))


class Forged(LearningBase):
    """Datagrams that are not the channel's, or that would take over the
    server's own entry: they change nothing, while a sibling archive's
    multicast discovery is still learnt (Learning above)."""

    EVIL = b"evilhost 1 CONFIG ADD_AET EVIL 127.0.0.1:5555 F\n"
    SITE = "WS0\tWS0_AE\t10.0.0.6:104\tFMS\n"

    def unicast_from(self, s, source, data):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind((source, 0))
            u.sendto(data, ("127.0.0.1", s.monitor_port))
        finally:
            u.close()

    def test_unicast_to_the_monitor_port_changes_nothing(self):
        s = self.learning_server(aetmap=self.SITE)
        self.unicast_from(s, "127.0.0.2", self.EVIL)
        self.unicast_from(s, "127.0.0.2", b"evilhost 2 STORAGE DISCOVER_AET EVIL2 5555\n")
        self.unicast_from(s, "127.0.0.1", b"evilhost 3 STORAGE DISCOVER_AET EVIL3 5555\n")
        self.marker(s, "MARK5")
        self.assertEqual(read_text(self.mapfile), self.SITE + "MARK5\tMARK5\t127.0.0.1:9\tF\tlearnt\n")
        self.assertFalse([m for m in messages(s) if "EVIL" in m])

    def test_host_local_and_site_entries_are_never_learnt_or_changed(self):
        s = self.learning_server(aetmap=self.SITE)
        self.send(s, "Local 1 CONFIG ADD_AET EVILCFG 127.0.0.1:5555 F\n")
        self.send(s, "Local 2 STORAGE DISCOVER_AET EVILDISC 104\n")
        self.send(s, "WS0 3 CONFIG ADD_AET EVILWS 127.0.0.1:5555 FMSD\n")
        self.send(s, "evilhost 4 CONFIG ADD_AET WS0_AE 127.0.0.1:5555 FMSD\n")
        self.marker(s, "MARK6")
        self.assertEqual(read_text(self.mapfile), self.SITE + "MARK6\tMARK6\t127.0.0.1:9\tF\tlearnt\n")
        self.assertFalse([m for m in messages(s) if "EVIL" in m])
        # Started again without -a, the server still answers as itself.
        s.stop()
        again = self.server(aetmap=read_text(self.mapfile), aetitle=None, start=False)
        mon = TimedMonitor(again.monitor_port)
        self.addCleanup(mon.close)
        again.start()
        mon.wait_text(lambda t: t.startswith("STORAGE DISCOVER_AET "), timeout=15)
        self.assertIn("STORAGE DISCOVER_AET VeltoStorage %d" % again.port, mon.texts())

    def test_learnt_flags_setting(self):
        s = self.learning_server(args=["-L", "S"])
        self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        self.send(s, "cfghost 5 CONFIG ADD_AET WS1 10.0.0.7:104 FMSD\n")
        wait_message(s, "Added new Velto AET WS1 at 10.0.0.7:104.")
        wait_message(s, "Discovered new Velto AET PEERX at 127.0.0.1:104.")
        self.assertEqual(sorted(read_text(self.mapfile).splitlines()),
                         ["cfghost\tWS1\t10.0.0.7:104\tS\tlearnt",
                          "otherhost\tPEERX\t127.0.0.1:104\tS\tlearnt"])

    def test_learning_off(self):
        s = self.learning_server(aetmap=self.SITE, args=["-L", "off"])
        mon = TimedMonitor(s.monitor_port)
        self.addCleanup(mon.close)
        self.send(s, "otherhost 999 STORAGE DISCOVER_AET PEERX 104\n")
        self.send(s, "cfghost 5 CONFIG ADD_AET WS1 10.0.0.7:104 FMS\n")
        # The listener reads the channel after each of its announcements:
        # two more DISCOVER_AET from it mean the datagrams have been read.
        own = "STORAGE DISCOVER_AET ARCHIVE %d" % s.port
        wait_for(lambda: [t for _, t in mon.from_pid(s.proc.pid)].count(own) >= 2, 20,
                 what="two listener passes")
        self.assertEqual(read_text(self.mapfile), self.SITE)
        self.assertFalse([m for m in messages(s) if "new Velto AET" in m])

    def test_bad_learnt_flags_refused(self):
        s = self.server(args=["-L", "FX"], start=False)
        s.start(wait=False)
        self.assertEqual(s.proc.wait(30), 1)
        self.assertIn("invalid -L flags: FX", s.proc.stderr.read().decode())


class BadDatagrams(LearningBase):
    """Datagrams outside the vocabulary: skipped without harm."""

    GOOD = b"badhost 77 STORAGE DISCOVER_AET BADX 104\n"

    def bad_datagrams(self):
        g = self.GOOD
        return [
            b"", b"\n", b"nospaces", b"badhost 77", b"badhost 77\n", b"badhost 77 STORAGE\n",
            b"badhost 77 CONFIG\n", b"badhost 77 CONFIG ADD_AET\n",
            b"badhost 77 CONFIG ADD_AET BAD1 1.2.3.4:5\n",
            b"badhost 77 STORAGE DISCOVER_AET\n", b"badhost 77 STORAGE DISCOVER_AET BAD2\n",
            b"badhost 77 STORAGE DISCOVER_AET BAD3 abc\n",
            b"badhost 77 STORAGE DISCOVER_AET BAD4 104x\n",
            b"badhost 77 STORAGE DISCOVER_AET BAD5 99999999999\n",
            b"badhost  77 STORAGE DISCOVER_AET BAD6 104\n",
            g.replace(b"BADX", b"B\xe9X"), g.replace(b"badhost", b"b\xffhost"),
            g.replace(b"BADX", b"BA\x00X"), g[:-1] + b"\x00\n", g + b"\x00trailing",
            g.replace(b"BADX", b"BADX_WITH_17CHARS"),
            g[:-1] + b" " * (1024 - len(g)) + b"\n",
            b"x" * 1024, b"\xff" * 1024, os.urandom(1023), b"y" * 60000,
            bytes(range(256)),
        ]

    def test_none_changes_the_map(self):
        s = self.learning_server(aetmap="WS0\tWS0_AE\t10.0.0.6:104\tFMS\n")
        for d in self.bad_datagrams():
            self.send(s, d)
        self.marker(s, "MARK4")
        self.assertEqual(read_text(self.mapfile),
                         "WS0\tWS0_AE\t10.0.0.6:104\tFMS\nMARK4\tMARK4\t127.0.0.1:9\tF\tlearnt\n")
        self.assertFalse([m for m in messages(s) if "Discovered new" in m])
        self.assertTrue(alive(s.proc.pid))
        self.assertEqual(client(s, "echo", 1), ["ASSOCIATED", "ECHO OK", "RELEASED"])
        # The well-formed announcement is still learnt afterwards.
        self.send(s, self.GOOD)
        wait_message(s, "Discovered new Velto AET BADX at 127.0.0.1:104.")


if __name__ == "__main__":
    veltotest.main()

"""storeserver on the network: C-ECHO with several clients, the command
loop's log, the worker limit, association negotiation, unsupported
commands, the command alarm, reaping of workers, privilege drop, and
peers that send garbage or break off."""

import os
import pwd
import re
import socket
import struct
import subprocess
import time

import veltotest
from veltotest import ServerTestCase, port_open, run, wait_for
from srvlib import (SlowProxy, TimedMonitor, alive, client, free_low_port, log_entries, messages, pid_of,
                    proc_status, wait_message, worker_lines)

PRIVATE_SOP = "1.2.826.0.1.3680043.2.1143.5.5"


class Echo(ServerTestCase):

    def test_echoscu(self):
        s = self.server()
        p = s.echoscu()
        self.assertEqual(p.returncode, 0, p.stderr)
        wait_message(s, "EOF CLIENT->ARCHIVE")

    def test_odil_echo(self):
        s = self.server()
        p = run(["odil", "echo", "127.0.0.1", str(s.port), "ODILCL", "ARCHIVE"])
        self.assertEqual(p.returncode, 0, p.stderr)
        wait_message(s, "C-Echo ODILCL->ARCHIVE")

    def test_ctn_dicom_echo(self):
        s = self.server()
        p = run(["dicom_echo", "-a", "CTNCL", "-c", "ARCHIVE", "127.0.0.1", str(s.port)])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        wait_message(s, "C-Echo CTNCL->ARCHIVE")

    def test_own_requesting_operations(self):
        s = self.server()
        self.assertEqual(client(s, "echo", 3), ["ASSOCIATED", "ECHO OK", "ECHO OK", "ECHO OK",
                                                "RELEASED"])

    def test_any_called_title_is_accepted(self):
        s = self.server()
        self.assertEqual(s.echoscu(calling="WHOEVER", called="NOT_MY_TITLE").returncode, 0)
        wait_message(s, "EOF WHOEVER->NOT_MY_TITLE")

    def test_two_echoes_log_and_announcements(self):
        s = self.server()
        mon = TimedMonitor(s.monitor_port)
        try:
            p = s.echoscu(calling="A", called="B", extra=["--repeat", "2"])
            self.assertEqual(p.returncode, 0, p.stderr)
            wait_message(s, "EOF A->B")
            worker = pid_of(s, "C-Echo A->B")
            self.assertNotEqual(worker, s.proc.pid)
            # The worker reads the association request, so it logs the call.
            self.assertEqual(worker_lines(s, worker), ["Inbound call from A to B", "C-Echo A->B",
                                                       "C-Echo A->B (2x)", "EOF A->B"])
            mon.poll(1.0)
            self.assertEqual([t for _, t in mon.from_pid(worker)],
                             ["STORAGE ECHO 1", "STORAGE ECHO 0", "STORAGE ECHO 1", "STORAGE ECHO 0"])
        finally:
            mon.close()


class WorkerLimit(ServerTestCase):

    def test_M0_refuses_second_until_first_reaped(self):
        s = self.server(args=["-M", "0"])
        holder = subprocess.Popen([os.path.join(veltotest.BUILD, "tests", "server",
                                                "velto_assoc_client"),
                                   "127.0.0.1:%d" % s.port, "HOLDER", "ARCHIVE", "hold", "4"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(holder.stdout.readline().strip(), "ASSOCIATED", s.log())
            self.assertEqual(client(s, "echo", 1, calling="SECOND"), ["REJECTED 2 3 0x0302"])
            wait_message(s, "Refusing Association due to too many ongoing associations.")
            self.assertEqual(holder.stdout.read().split(), ["ECHO", "OK", "RELEASED"])
        finally:
            holder.wait(30)
            holder.stdout.close()
        wait_message(s, "EOF HOLDER->ARCHIVE")
        time.sleep(5.5)
        self.assertEqual(client(s, "echo", 1, calling="THIRD"),
                         ["ASSOCIATED", "ECHO OK", "RELEASED"])

    def test_flood_beyond_the_limit_is_refused_by_the_listener(self):
        # Refusals are read by workers, but no more than 20 of them run
        # beyond the limit; past that the listener refuses at once.
        s = self.server(args=["-M", "0"])
        holder = subprocess.Popen([os.path.join(veltotest.BUILD, "tests", "server",
                                                "velto_assoc_client"),
                                   "127.0.0.1:%d" % s.port, "HOLDER", "ARCHIVE", "hold", "6"],
                                  stdout=subprocess.PIPE, text=True)
        silent = []
        try:
            self.assertEqual(holder.stdout.readline().strip(), "ASSOCIATED", s.log())
            for _ in range(25):
                silent.append(socket.create_connection(("127.0.0.1", s.port), timeout=30))
            self.assertEqual(client(s, "echo", 1, calling="FLOOD"), ["REJECTED 2 3 0x0302"])
            with open("/proc/%d/task/%d/children" % (s.proc.pid, s.proc.pid)) as f:
                self.assertLessEqual(len(f.read().split()), 21)
            self.assertEqual(holder.stdout.read().split(), ["ECHO", "OK", "RELEASED"])
        finally:
            for c in silent:
                c.close()
            holder.wait(30)
            holder.stdout.close()

    def test_M0_ended_worker_does_not_refuse_next(self):
        # Regression: a worker that has ended but was not yet reaped (the
        # listener reaps while idle, every 5 s) must not count against the
        # limit; the next request right after it is served.
        s = self.server(args=["-M", "0"])
        for i in range(3):
            self.assertEqual(client(s, "echo", 1, calling="SEQ%d" % i),
                             ["ASSOCIATED", "ECHO OK", "RELEASED"])
            wait_message(s, "EOF SEQ%d->ARCHIVE" % i)
            worker = pid_of(s, "EOF SEQ%d->ARCHIVE" % i)
            wait_for(lambda: not alive(worker), 10, what="worker to end")
        self.assertNotIn("Refusing Association due to too many ongoing associations.", messages(s))

    def test_default_limit_allows_parallel_associations(self):
        s = self.server()
        holders = [subprocess.Popen([os.path.join(veltotest.BUILD, "tests", "server",
                                                  "velto_assoc_client"),
                                     "127.0.0.1:%d" % s.port, "H%d" % i, "ARCHIVE", "hold", "3"],
                                    stdout=subprocess.PIPE, text=True) for i in range(3)]
        try:
            for h in holders:
                self.assertEqual(h.stdout.readline().strip(), "ASSOCIATED")
        finally:
            for h in holders:
                h.wait(30)
                h.stdout.close()
        self.assertNotIn("Refusing Association due to too many ongoing associations.", messages(s))


class Negotiation(ServerTestCase):

    def test_other_application_context_rejected(self):
        s = self.server()
        self.assertEqual(client(s, "appctx", "1.2.3.4.5"), ["REJECTED 1 1 0x0102"])
        wait_message(s, "Can't find StandardApplicationContext - have 1.2.3.4.5")
        # The listener goes on serving.
        self.assertEqual(s.echoscu().returncode, 0)

    def test_private_sop_class_accepted_without_N(self):
        s = self.server()
        self.assertEqual(client(s, "private", PRIVATE_SOP),
                         ["ASSOCIATED", "CONTEXT ACCEPTED 0", "RELEASED"])

    def test_private_sop_class_refused_with_N(self):
        s = self.server(args=["-N"])
        out = client(s, "private", PRIVATE_SOP)
        self.assertEqual(out[0], "ASSOCIATED")
        self.assertTrue(out[1].startswith("CONTEXT REFUSED"), out)

    def test_known_storage_class_accepted_with_N(self):
        s = self.server(args=["-N"])
        self.assertEqual(client(s, "private", "1.2.840.10008.5.1.4.1.1.7"),
                         ["ASSOCIATED", "CONTEXT ACCEPTED 0", "RELEASED"])


class Commands(ServerTestCase):

    def test_cget_aborts_association(self):
        s = self.server()
        self.assertEqual(client(s, "cget"), ["ASSOCIATED", "SENT", "ABORTED"])
        wait_message(s, "EOF CLIENT->ARCHIVE")
        worker = pid_of(s, "Not handling unsupported request")
        self.assertEqual(worker_lines(s, worker), ["Inbound call from CLIENT to ARCHIVE",
                                                   "Not handling unsupported request",
                                                   "Not handling unsupported request (1x)",
                                                   "EOF CLIENT->ARCHIVE"])

    def test_nget_aborts_association(self):
        s = self.server()
        self.assertEqual(client(s, "nget"), ["ASSOCIATED", "SENT", "ABORTED"])
        wait_message(s, "Not handling unsupported request")

    def test_cancel_between_operations_ignored(self):
        s = self.server()
        self.assertEqual(client(s, "cancel"),
                         ["ASSOCIATED", "ECHO OK", "CANCEL SENT", "ECHO OK", "RELEASED"])
        wait_message(s, "EOF CLIENT->ARCHIVE")
        worker = pid_of(s, "C-Echo CLIENT->ARCHIVE")
        self.assertEqual(worker_lines(s, worker), ["Inbound call from CLIENT to ARCHIVE",
                                                   "C-Echo CLIENT->ARCHIVE",
                                                   "C-Echo CLIENT->ARCHIVE (2x)",
                                                   "EOF CLIENT->ARCHIVE"])

    def test_peer_abort_is_noted(self):
        s = self.server()
        # echoscu --abort aborts instead of releasing.
        self.assertEqual(s.echoscu(extra=["--abort"]).returncode, 0)
        wait_message(s, "Association aborted")
        wait_message(s, "EOF CLIENT->ARCHIVE")


class Workers(ServerTestCase):

    def test_workers_that_exit_0_are_reaped_silently(self):
        s = self.server()
        for _ in range(3):
            self.assertEqual(s.echoscu().returncode, 0)
        wait_message(s, "EOF CLIENT->ARCHIVE")
        workers = {pid for pid, msg in log_entries(s) if msg == "EOF CLIENT->ARCHIVE"}
        time.sleep(6)  # one housekeeping pass without requests
        for w in workers:
            self.assertFalse(alive(w), "worker %d not reaped" % w)
        self.assertFalse([m for m in messages(s) if m.startswith("Child ")])

    def test_silent_peer_loses_association_after_the_inactivity_budget(self):
        s = self.server(args=["-I", "3"])
        out = client(s, "silent", timeout=120)
        self.assertEqual(out[0], "ASSOCIATED")
        # The worker is ended by its alarm: the peer sees the connection
        # close (which the toolkit reports as an abort), not a release.
        self.assertTrue(out[1] == "ABORTED" or out[1].startswith("CLOSED"), out)
        self.assertGreaterEqual(int(out[2].split()[1]), 2)
        wait_for(lambda: [m for m in messages(s) if m.startswith("Child ")], 10,
                 what="worker end line")
        lines = [m for m in messages(s) if m.startswith("Child ")]
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^Child \d+ terminated due to signal 14\.$")
        # The listener serves on.
        self.assertEqual(s.echoscu().returncode, 0)


class Inactivity(ServerTestCase):
    """The watchdog bounds the time without progress, not the time a
    transfer takes (a 2 s budget here; 60 s by default)."""

    def big_image(self, s, name, uid):
        # 1500 x 1500 bytes of pixels: about 2.2 MB.
        return veltotest.make_dataset(os.path.join(s.tmp, name), uid, uid + ".1", uid + ".1.1",
                                      pixels=1500)

    def test_slow_transfer_longer_than_the_budget_is_stored(self):
        s = self.server(args=["-I", "2"])
        image = self.big_image(s, "big.dcm", "1.2.826.0.1.3680043.9.16.1")
        # ~400 kB/s: the image takes over five seconds, more than twice the budget.
        proxy = SlowProxy(s.port, 400000)
        self.addCleanup(proxy.close)
        started = time.time()
        p = run(["storescu", "-aet", "SLOW", "-aec", "ARCHIVE", "127.0.0.1", str(proxy.port), image],
                timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertGreater(time.time() - started, 4)
        stored = veltotest.files_below(veltotest.uid_path(s.basedir, "1.2.826.0.1.3680043.9.16.1"),
                                       ".dcm")
        self.assertEqual(len(stored), 1)
        self.assertGreater(os.path.getsize(stored[0]), 2000000)
        self.assertFalse([m for m in messages(s) if m.startswith("Child ")])

    def test_peer_that_stops_sending_is_cut(self):
        s = self.server(args=["-I", "2"])
        image = self.big_image(s, "big.dcm", "1.2.826.0.1.3680043.9.16.2")
        # Association request, command and the first 100 kB of the data set,
        # then nothing more.
        proxy = SlowProxy(s.port, 10000000, stop_after=100000)
        self.addCleanup(proxy.close)
        p = subprocess.Popen(["storescu", "-aet", "STOPS", "-aec", "ARCHIVE", "127.0.0.1",
                              str(proxy.port), image], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.addCleanup(p.wait)
        self.addCleanup(p.kill)
        self.assertTrue(proxy.closed_by_server.wait(60), "the server kept the connection")
        self.assertEqual(proxy.passed, 100000)
        wait_for(lambda: [m for m in messages(s) if m.startswith("Child ")], 10,
                 what="worker end line")
        self.assertRegex([m for m in messages(s) if m.startswith("Child ")][0],
                         r"^Child \d+ terminated due to signal 14\.$")
        self.assertEqual(veltotest.files_below(s.basedir, ".dcm"), [])


class SilentConnections(ServerTestCase):
    """Connections that send nothing (or only part of a request) hold up
    only themselves: the listener never reads a peer's request."""

    def test_echo_answers_with_ten_silent_connections_open(self):
        s = self.server()
        silent = []
        for i in range(10):
            c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
            if i % 2:
                c.sendall(b"\x01\x00\x00\x00\x01\x00")  # a request's first bytes only
            silent.append(c)
        try:
            for _ in range(3):
                started = time.time()
                p = s.echoscu(extra=["-to", "30"])
                self.assertEqual(p.returncode, 0, p.stderr)
                # Generous: a listener that waited on the silent peers would
                # take 20 s for each of them.
                self.assertLess(time.time() - started, 10)
            wait_message(s, "EOF CLIENT->ARCHIVE")
        finally:
            for c in silent:
                c.close()

class Privileges(ServerTestCase):

    def test_u_g_drop_after_binding_low_port(self):
        port = free_low_port()
        s = self.server(port=port, args=["-u", "nobody", "-g", "nogroup"])
        # The port opens before the drop (a low port needs root): an
        # answered echo shows that the listener has passed it.
        self.assertEqual(s.echoscu().returncode, 0)
        st = proc_status(s.proc.pid)
        self.assertEqual(st["Uid"].split(), ["65534"] * 4)
        self.assertEqual(st["Gid"].split(), ["65534"] * 4)
        self.assertNotIn("0", st["Groups"].split())  # no supplementary group of root is kept
        wait_message(s, "EOF CLIENT->ARCHIVE")
        self.assertNotIn("Failed to drop privs to group nogroup.", messages(s))

    def test_u_alone_takes_the_users_own_groups(self):
        user = pwd.getpwnam("nobody")
        s = self.server(args=["-u", "nobody"])
        self.assertEqual(s.echoscu().returncode, 0)  # past the drop, as above
        st = proc_status(s.proc.pid)
        self.assertEqual(st["Uid"].split(), [str(user.pw_uid)] * 4)
        self.assertEqual(st["Gid"].split(), [str(user.pw_gid)] * 4)
        self.assertNotIn("0", st["Groups"].split())

    def test_impossible_user_or_group_ends_the_server(self):
        for args, text in ((["-u", "no-such-user-x", "-g", "nogroup"],
                            "Failed to drop privs to user no-such-user-x."),
                           (["-u", "nobody", "-g", "no-such-group-x"],
                            "Failed to drop privs to group no-such-group-x.")):
            s = self.server(args=args, start=False)
            s.start(wait=False)
            self.assertEqual(s.proc.wait(30), 1)
            self.assertIn(text, messages(s))
            self.assertIn(b"storeserver: cannot switch to", s.proc.stderr.read())
            self.assertFalse(port_open(s.port))


class BadInput(ServerTestCase):
    """Peers that do not speak DICOM: each loses its connection and the
    listener goes on serving."""

    def raw(self, s, data, close_after=True):
        c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
        try:
            c.sendall(data)
            if not close_after:
                got = b""
                try:
                    # The server may already have dropped the connection.
                    c.shutdown(socket.SHUT_WR)
                    while True:
                        chunk = c.recv(4096)
                        if not chunk:
                            break
                        got += chunk
                except (ConnectionResetError, OSError):
                    pass
                return got
        finally:
            c.close()

    def assert_serving(self, s):
        self.assertIsNone(s.proc.poll())
        self.assertEqual(client(s, "echo", 1), ["ASSOCIATED", "ECHO OK", "RELEASED"])

    def test_garbage_bytes(self):
        s = self.server()
        got = self.raw(s, bytes(range(0x80, 0x100)) * 4, close_after=False)
        self.assertNotIn(b"\x02\x00", got[:2])  # never an A-ASSOCIATE-AC
        self.assert_serving(s)

    def test_close_mid_pdu(self):
        s = self.server()
        # An A-ASSOCIATE-RQ header announcing 1000 bytes, then only six.
        self.raw(s, b"\x01\x00" + struct.pack(">I", 1000) + b"\x00\x01\x00\x00AR")
        self.assert_serving(s)

    def test_huge_pdu_length(self):
        s = self.server()
        got = self.raw(s, b"\x01\x00" + struct.pack(">I", 0xFFFFFFF0) + b"\x00\x01" + b"\x00" * 64,
                       close_after=False)
        self.assertNotIn(b"\x02\x00", got[:2])
        self.assert_serving(s)

    def test_connect_and_close(self):
        s = self.server()
        for _ in range(5):
            self.raw(s, b"")
        self.assert_serving(s)

    def associated_socket(self, s):
        """A raw connection on which a hand-made A-ASSOCIATE-RQ for
        Verification has been accepted."""
        c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
        c.sendall(association_request("ARCHIVE", "RAWPEER"))
        header = recv_exact(c, 6)
        self.assertEqual(header[0], 0x02, "expected A-ASSOCIATE-AC")
        recv_exact(c, struct.unpack(">I", header[2:6])[0])
        return c

    def drain(self, c):
        got = b""
        try:
            while True:
                chunk = c.recv(4096)
                if not chunk:
                    break
                got += chunk
        except (ConnectionResetError, socket.timeout):
            pass
        c.close()
        return got

    def test_garbage_after_association(self):
        s = self.server()
        c = self.associated_socket(s)
        c.sendall(bytes(range(0x80, 0x100)))
        self.drain(c)
        wait_message(s, "EOF RAWPEER->ARCHIVE")
        self.assert_serving(s)

    def test_huge_pdu_after_association(self):
        s = self.server()
        c = self.associated_socket(s)
        c.sendall(b"\x04\x00" + struct.pack(">I", 0xFFFFFFF0) + b"\x00" * 64)
        self.drain(c)
        wait_message(s, "EOF RAWPEER->ARCHIVE")
        self.assert_serving(s)

    def test_close_mid_pdu_after_association(self):
        s = self.server()
        c = self.associated_socket(s)
        c.sendall(b"\x04\x00" + struct.pack(">I", 500) + b"\x00" * 10)
        c.close()
        wait_message(s, "EOF RAWPEER->ARCHIVE")
        self.assert_serving(s)


class Pipelined(ServerTestCase):
    """Peers that send several messages in one segment. The server reads
    ahead into a buffer of its own, so whatever a read brought in beyond the
    message at hand must be served from there, and seen by every check for
    waiting data (a C-CANCEL during a C-FIND), before the socket is asked."""

    def test_three_echoes_and_release_in_one_segment(self):
        s = self.server()
        c = associate(s, [VERIFICATION])
        c.sendall(b"".join(pdata(1, echo_command(i)) for i in (1, 2, 3)) + RELEASE_RQ)
        replies = [read_pdu(c) for _ in range(4)]
        self.assertEqual([command_of(r)[0x0120] for r in replies[:3]], [1, 2, 3])
        self.assertEqual([command_of(r)[0x0900] for r in replies[:3]], [0, 0, 0])
        self.assertEqual(replies[3][0], 0x06, "expected A-RELEASE-RP")
        c.close()
        wait_message(s, "C-Echo RAWPEER->ARCHIVE (3x)")

    def test_cancel_sent_with_the_find_request_is_honoured(self):
        s = self.server()
        for i in range(3):
            path = veltotest.make_dataset(os.path.join(s.tmp, "%d.dcm" % i), "1.2.826.7.%d" % i,
                                          "1.2.826.7.%d.1" % i, "1.2.826.7.%d.1.1" % i)
            self.assertEqual(s.storescu([path]).returncode, 0)
        c = associate(s, [STUDY_ROOT_FIND])
        identifier = (element(0x0008, 0x0052, b"STUDY ") + element(0x0020, 0x000D, b""))
        c.sendall(pdata(1, find_command(7)) + pdata(1, identifier, command=False)
                  + pdata(1, cancel_command(7)))
        statuses = []
        while True:
            reply = command_of(read_pdu(c))
            if reply[0x0800] != 0x0101:
                read_pdu(c)  # the match's identifier
            statuses.append(reply[0x0900])
            if reply[0x0900] != 0xFF00:
                break
        self.assertEqual(statuses[-1], 0xFE00, statuses)
        self.assertLess(len(statuses), 4, statuses)
        c.sendall(RELEASE_RQ)
        self.assertEqual(read_pdu(c)[0], 0x06)
        c.close()

    def combined_query(self, s, negotiate):
        """Study UIDs that a query for 22:00 on 2020-01-01 to 06:00 on
        2020-01-02 finds, on an association that asks for combined date and
        time matching (negotiate) or not; and whether it was granted."""
        extneg = (struct.pack(">BBHH", 0x56, 0, 2 + len(STUDY_ROOT_FIND) + 2, len(STUDY_ROOT_FIND))
                  + STUDY_ROOT_FIND.encode() + bytes([0, 1]))
        rq = association_request("ARCHIVE", "RAWPEER", [STUDY_ROOT_FIND],
                                 extra_user=extneg if negotiate else b"")
        c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
        c.sendall(rq)
        kind, ac = read_pdu(c)
        self.assertEqual(kind, 0x02)
        granted = STUDY_ROOT_FIND.encode() + bytes([0, 1]) in ac
        identifier = (element(0x0008, 0x0020, b"20200101-20200102")
                      + element(0x0008, 0x0030, b"2200-0600")
                      + element(0x0008, 0x0052, b"STUDY ") + element(0x0020, 0x000D, b""))
        c.sendall(pdata(1, find_command(7)) + pdata(1, identifier, command=False))
        found = []
        while True:
            reply = command_of(read_pdu(c))
            if reply[0x0900] != 0xFF00:
                break
            found += re.findall(rb"1\.2\.826\.8\.\d", read_pdu(c)[1])
        c.sendall(RELEASE_RQ)
        read_pdu(c)
        c.close()
        return sorted(u.decode() for u in found), granted

    def test_combined_date_time_matching_when_negotiated(self):
        s = self.server()
        for n, (date, time_) in enumerate([("20200101", "230000"), ("20200102", "070000"),
                                           ("20200101", "100000"), ("20200102", "050000")]):
            path = veltotest.make_dataset(os.path.join(s.tmp, "%d.dcm" % n), "1.2.826.8.%d" % n,
                                          "1.2.826.8.%d.1" % n, "1.2.826.8.%d.1.1" % n,
                                          study_date=date, study_time=time_)
            self.assertEqual(s.storescu([path]).returncode, 0)
        # Granted: one range from the evening of the first day to the
        # morning of the second.
        self.assertEqual(self.combined_query(s, True), (["1.2.826.8.0", "1.2.826.8.3"], True))
        # Not asked for: date and time are matched apart, and a time range
        # from 22:00 to 06:00 holds no time at all.
        self.assertEqual(self.combined_query(s, False), ([], False))


VERIFICATION = "1.2.840.10008.1.1"
STUDY_ROOT_FIND = "1.2.840.10008.5.1.4.1.2.2.1"
RELEASE_RQ = b"\x05\x00" + struct.pack(">I", 4) + b"\x00" * 4


def element(group, elem, value):
    """One element in Implicit VR Little Endian, padded to even length."""
    if len(value) % 2:
        value += b"\x00" if value[-1:].isdigit() or not value else b" "
    return struct.pack("<HHI", group, elem, len(value)) + value


def command(fields):
    body = b"".join(element(0x0000, e, v) for e, v in fields)
    return element(0x0000, 0x0000, struct.pack("<I", len(body))) + body


def echo_command(message_id):
    return command([(0x0002, VERIFICATION.encode()), (0x0100, struct.pack("<H", 0x0030)),
                    (0x0110, struct.pack("<H", message_id)), (0x0800, struct.pack("<H", 0x0101))])


def find_command(message_id):
    return command([(0x0002, STUDY_ROOT_FIND.encode()), (0x0100, struct.pack("<H", 0x0020)),
                    (0x0110, struct.pack("<H", message_id)), (0x0700, struct.pack("<H", 0)),
                    (0x0800, struct.pack("<H", 0x0000))])


def cancel_command(message_id):
    return command([(0x0100, struct.pack("<H", 0x0FFF)), (0x0120, struct.pack("<H", message_id)),
                    (0x0800, struct.pack("<H", 0x0101))])


def pdata(pc_id, value, command=True):
    pdv = struct.pack(">IBB", len(value) + 2, pc_id, 0x03 if command else 0x02) + value
    return struct.pack(">BBI", 0x04, 0, len(pdv)) + pdv


def read_pdu(c):
    header = recv_exact(c, 6)
    return header[0], recv_exact(c, struct.unpack(">I", header[2:6])[0])


def command_of(pdu):
    """The US elements of the command in a P-DATA-TF PDU, as {element: value}."""
    kind, body = pdu
    if kind != 0x04:
        raise AssertionError("expected P-DATA-TF, got PDU type 0x%02x" % kind)
    value = body[6:]
    fields, pos = {}, 0
    while pos + 8 <= len(value):
        _, elem, length = struct.unpack("<HHI", value[pos:pos + 8])
        if length == 2:
            fields[elem] = struct.unpack("<H", value[pos + 8:pos + 10])[0]
        pos += 8 + length
    return fields


def associate(s, abstract_syntaxes):
    """A raw connection with an accepted association (Implicit VR LE)."""
    c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
    c.sendall(association_request("ARCHIVE", "RAWPEER", abstract_syntaxes))
    kind, _ = read_pdu(c)
    if kind != 0x02:
        raise AssertionError("expected A-ASSOCIATE-AC, got PDU type 0x%02x" % kind)
    return c


def recv_exact(c, n):
    data = b""
    while len(data) < n:
        chunk = c.recv(n - len(data))
        if not chunk:
            raise AssertionError("connection closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def association_request(called, calling, abstract_syntaxes=(VERIFICATION,), extra_user=b"",
                        transfer_syntax="1.2.840.10008.1.2"):
    """An A-ASSOCIATE-RQ proposing each abstract syntax (context ids 1, 3,
    ...) in transfer_syntax (Implicit VR Little Endian); extra_user: more
    user information sub-items."""
    def item(kind, body):
        return struct.pack(">BBH", kind, 0, len(body)) + body
    app = item(0x10, b"1.2.840.10008.3.1.1.1")
    pc = b"".join(item(0x20, bytes([1 + 2 * i, 0, 0, 0]) + item(0x30, a.encode())
                       + item(0x40, transfer_syntax.encode()))
                  for i, a in enumerate(abstract_syntaxes))
    user = item(0x50, item(0x51, struct.pack(">I", 16384)) + extra_user)
    body = (struct.pack(">HH", 1, 0) + called.encode().ljust(16) + calling.encode().ljust(16)
            + b"\x00" * 32 + app + pc + user)
    return struct.pack(">BBI", 0x01, 0, len(body)) + body


if __name__ == "__main__":
    veltotest.main()

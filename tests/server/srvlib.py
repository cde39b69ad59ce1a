"""Helpers of the storeserver process tests (start-up, network, monitor).

The shared ones live in tests/lib/veltotest.py; these add the requesting
test peer velto_assoc_client, log parsing with the line prefix, a timed
monitor listener and servers started inside a private mount namespace.
"""

import os
import re
import socket
import time

import veltotest
from veltotest import BUILD, Server, run, wait_for

ASSOC_CLIENT = os.path.join(BUILD, "tests", "server", "velto_assoc_client")

# "YYYY-MM-DD HH:MM:SS [pid]:message"
LOG_LINE = re.compile(r"^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) \[(\d+)\]:(.*)$")

USAGE = ("Usage: %s [-a AETitle] [-p ServerPort] [-m MonitorPort]\n"
         "       [-u DropToUserName] [-g DropToGroupName] [-U umask]\n"
         "       [-l logfile] [-P pidfile] [-d] [-D] [-o] [-s] [-N]\n"
         "       [-M maxassocs] [-E charset] [-Q seconds] [-S]\n"
         "       [-I seconds] [-z MiB] [-L flags|off]\n"
         "       [-W accession|study|both|off] [-h]\n")


def client(server, mode, arg=None, calling="CLIENT", called=None, timeout=120):
    """Runs velto_assoc_client against server; returns its output lines."""
    cmd = [ASSOC_CLIENT, "127.0.0.1:%d" % server.port, calling, called or server.aetitle or "ANY",
           mode]
    if arg is not None:
        cmd.append(str(arg))
    p = run(cmd, timeout=timeout)
    if p.returncode != 0:
        raise AssertionError("%s failed with %d: %s" % (cmd, p.returncode, p.stderr))
    return p.stdout.splitlines()


def log_entries(server):
    """The log as (pid, message) pairs; a line without the prefix fails."""
    out = []
    for line in server.log().splitlines():
        m = LOG_LINE.match(line)
        if not m:
            raise AssertionError("log line without prefix: %r" % line)
        out.append((int(m.group(7)), m.group(8)))
    return out


def messages(server):
    return [msg for _, msg in log_entries(server)]


def worker_lines(server, pid):
    return [msg for p, msg in log_entries(server) if p == pid]


def pid_of(server, message):
    """Process id of the first log line with exactly this message."""
    for pid, msg in log_entries(server):
        if msg == message:
            return pid
    raise AssertionError("no log line %r in\n%s" % (message, server.log()))


def wait_message(server, message, timeout=15.0):
    return wait_for(lambda: message in messages(server), timeout, what="log message %r" % message)


def proc_status(pid):
    """Fields of /proc/PID/status as a dict of strings."""
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            out[k] = v.strip()
    return out


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def free_low_port():
    """A TCP and UDP port below 1024 that nothing in this namespace uses."""
    import random
    for _ in range(200):
        port = random.randint(600, 1000)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.bind(("127.0.0.1", port))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("", port))
            return port
        except OSError:
            continue
    raise AssertionError("no free port below 1024")


class TimedMonitor(veltotest.Monitor):
    """A monitor listener that keeps the arrival time of every datagram."""

    def __init__(self, port):
        super().__init__(port)
        self.timed = []  # (time, host, pid, text)

    def poll(self, seconds=0.0):
        end = time.time() + seconds
        while True:
            try:
                data, _ = self.sock.recvfrom(65536)
                self.messages.append(data)
                parts = data.decode("latin-1").split(" ", 2)
                if len(parts) == 3:
                    self.timed.append((time.time(), parts[0], parts[1], parts[2].rstrip("\n")))
                continue
            except BlockingIOError:
                pass
            if time.time() >= end:
                return
            time.sleep(0.02)

    def from_pid(self, pid):
        self.poll()
        return [(t, text) for t, _, p, text in self.timed if p == str(pid)]


class NamespacedServer(Server):
    """A server started through a shell prologue that runs in a private
    mount namespace first (to give it a read-only or overlaid directory);
    the prologue ends by executing the server in the same process."""

    def __init__(self, *a, prologue="", **kw):
        self.prologue = prologue
        super().__init__(*a, **kw)

    def command(self):
        return ["unshare", "-m", "sh", "-c", "set -e\n" + self.prologue + '\nexec "$@"', "sh"] \
            + super().command()


class SlowProxy:
    """A TCP relay on the loopback between one client and the server that
    passes the client's bytes on at about `rate` bytes per second (the
    answers go back at once), as a slow link would; with `stop_after` it
    passes on only that many bytes and then holds the connection open
    without sending more, like a peer that stopped."""

    def __init__(self, server_port, rate, stop_after=None):
        import threading
        self.server_port = server_port
        self.rate = rate
        self.stop_after = stop_after
        self.passed = 0  # client bytes passed on
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.closed_by_server = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        import threading
        client_sock, _ = self.listener.accept()
        upstream = socket.create_connection(("127.0.0.1", self.server_port))

        def answers():
            try:
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    client_sock.sendall(data)
            except OSError:
                pass
            self.closed_by_server.set()
            try:
                client_sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

        threading.Thread(target=answers, daemon=True).start()
        chunk = max(1, self.rate // 20)
        try:
            while not self.closed_by_server.is_set():
                data = client_sock.recv(chunk)
                if not data:
                    upstream.shutdown(socket.SHUT_WR)
                    break
                if self.stop_after is not None and self.passed + len(data) > self.stop_after:
                    data = data[:self.stop_after - self.passed]
                    upstream.sendall(data)
                    self.passed += len(data)
                    self.closed_by_server.wait(600)  # hold, send nothing more
                    break
                upstream.sendall(data)
                self.passed += len(data)
                time.sleep(len(data) / self.rate)
        except OSError:
            pass
        self.closed_by_server.wait(600)
        client_sock.close()
        upstream.close()

    def close(self):
        self.listener.close()

"""C-STORE images/s of storeserver with the audit trail on, against off.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/audit_rate.py [BUILD_DIR] [--count N]
        [--assocs N] [--rounds N]

BUILD_DIR defaults to ./build. --count slices (default 600: CT-sized, 39 kB,
Explicit VR Little Endian, in one study per association) are sent by
storescu with TCP_NODELAY=1 over --assocs associations (default 12, one
after another, so that every association's audit message is part of the
figure) into a storeserver without an AuditLog file and into one with
("tcp" to a real rsyslogd on a loopback port when rsyslogd is there, else
"udp" to a socket this script reads). The two take turns for --rounds
rounds (default 3); each run goes into an empty store after a flush of the
file system, and one image is stored first (not timed), in both alike.
Printed: the best images/s of each, every round's pair, the
ratio on/off of the best figures, and whether it is at least 0.95 (the
goal), and that every message arrived (one per association and one
Application Start).

An audited store costs one message per association and study (appended
to the spool and flushed there, after the association's last image is
answered): the images themselves never wait on it.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import oldbuild  # noqa: E402

ARGV = sys.argv[1:]
COUNT = int(oldbuild.take(ARGV, "--count", "600"))
ASSOCS = int(oldbuild.take(ARGV, "--assocs", "12"))
ROUNDS = int(oldbuild.take(ARGV, "--rounds", "3"))
if "--help" in ARGV or "-h" in ARGV:
    print(__doc__)
    sys.exit(0)
BUILD = os.path.abspath(ARGV[0] if ARGV else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
SLICE = 198


class UdpCollector:
    """A collector that counts the datagrams it receives."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.count = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                self.sock.recv(1 << 16)
            except OSError:
                return
            self.count += 1

    def line(self):
        return "udp 127.0.0.1:%d" % self.port

    def received(self):
        return self.count

    def stop(self):
        self.sock.close()


class RsyslogCollector:
    def __init__(self, tmp):
        self.dir = tempfile.mkdtemp(dir=tmp)
        self.port = vt.free_port()
        self.file = os.path.join(self.dir, "audit.log")
        conf = os.path.join(self.dir, "rsyslog.conf")
        with open(conf, "w") as f:
            f.write('global(workDirectory="%s" maxMessageSize="256k")\nmodule(load="imtcp")\n'
                    'input(type="imtcp" port="%d" address="127.0.0.1")\n'
                    'template(name="m" type="string" string="%%msg%%\\n")\n'
                    'action(type="omfile" file="%s" template="m")\n'
                    % (self.dir, self.port, self.file))
        self.proc = subprocess.Popen(["rsyslogd", "-n", "-f", conf, "-i",
                                      os.path.join(self.dir, "pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        vt.wait_for(lambda: vt.port_open(self.port), 10, what="rsyslogd")

    def line(self):
        return "tcp 127.0.0.1:%d" % self.port

    def received(self):
        try:
            with open(self.file, errors="replace") as f:
                return sum(1 for line in f if line.strip())
        except FileNotFoundError:
            return 0

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def make_images(top):
    per = COUNT // ASSOCS
    batches = []
    for a in range(ASSOCS):
        study = "1.2.826.0.1.3680043.10.545.%d" % a
        series = study + ".1"
        d = os.path.join(top, "a%02d" % a)
        os.makedirs(d)
        batches.append([vt.make_dataset(os.path.join(d, "%05d.dcm" % i), study, series,
                                        "%s.%d" % (series, i), pixels=SLICE)
                        for i in range(per)])
    return batches


def run_once(tmp, batches, collector, warmup):
    os.sync()
    srv = vt.Server(root=tempfile.mkdtemp(dir=tmp), start=False)
    if collector is not None:
        with open(os.path.join(srv.etc, "AuditLog"), "w") as f:
            f.write(collector.line() + "\n")
    before = collector.received() if collector is not None else 0
    srv.start(answered=True)
    env = dict(os.environ, TCP_NODELAY="1")
    # One image first, in both runs alike: what the server does once after
    # its start (the study table, the first worker) is not timed.
    p = subprocess.run(["storescu", "-aet", "BENCH", "-aec", srv.aetitle, "127.0.0.1",
                        str(srv.port), warmup], stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True, env=env)
    if p.returncode != 0:
        raise RuntimeError("storescu failed: %s" % p.stderr[-500:])
    if collector is not None:
        # Its Application Start and the warm-up's message first, so that
        # the count below is the run's.
        before += 2
        vt.wait_for(lambda: collector.received() >= before, 30, what="the start's messages")
    start = time.time()
    for files in batches:
        p = subprocess.run(["storescu", "-aet", "BENCH", "-aec", srv.aetitle, "127.0.0.1",
                            str(srv.port)] + files, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, env=env)
        if p.returncode != 0:
            raise RuntimeError("storescu failed: %s" % p.stderr[-500:])
    seconds = time.time() - start
    arrived = None
    if collector is not None:
        want = before + len(batches)
        try:
            vt.wait_for(lambda: collector.received() >= want, 30, what="the audit messages")
        except AssertionError:
            pass
        arrived = collector.received() - before
    srv.stop()
    return sum(len(b) for b in batches) / seconds, arrived


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="auditrate-")
    try:
        batches = make_images(os.path.join(tmp, "images"))
        warmup = vt.make_dataset(os.path.join(tmp, "warmup.dcm"), "1.2.826.0.1.3680043.10.546",
                                 "1.2.826.0.1.3680043.10.546.1", "1.2.826.0.1.3680043.10.546.1.1",
                                 pixels=SLICE)
        collector = (RsyslogCollector(tmp) if shutil.which("rsyslogd") else UdpCollector())
        off, on, arrived = [], [], []
        for r in range(ROUNDS):
            order = [None, collector] if r % 2 == 0 else [collector, None]
            for c in order:
                rate, got = run_once(tmp, batches, c, warmup)
                (off if c is None else on).append(rate)
                if c is not None:
                    arrived.append(got)
        print("C-STORE of %d slices over %d associations, %d rounds (%s collector)" % (
            sum(len(b) for b in batches), len(batches), ROUNDS, type(collector).__name__))
        for r in range(ROUNDS):
            print("  round %d: off %.1f images/s, on %.1f images/s" % (r + 1, off[r], on[r]))
        ratio = max(on) / max(off)
        print("best: off %.1f images/s, on %.1f images/s" % (max(off), max(on)))
        print("ratio on/off: %.3f (goal at least 0.95: %s)" % (ratio, "met" if ratio >= 0.95
                                                               else "NOT met"))
        # One per association (the Application Start counted apart).
        print("audit messages of the stores per audited run: %s (expected %d each)" % (
            arrived, len(batches)))
        collector.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

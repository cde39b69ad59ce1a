"""A PostgreSQL 15 server for the cluster's integration tests and benches,
started from Debian's package in a private directory and listening on
127.0.0.1 (a port of veltotest.free_port) and on a unix socket there.

initdb refuses to run as root: as root the server runs as the postgres
user, its folder owned by it. fsync stays on unless fsync=False (a bench
measures commits as a site runs them)."""

import os
import pwd
import shutil
import subprocess
import tempfile

import veltotest as vt

BIN = "/usr/lib/postgresql/15/bin"


class PgServer:
    def __init__(self, root=None, port=None, fsync=False):
        self.root = root or tempfile.mkdtemp(prefix="velto-pg-")
        self.port = port or vt.free_port()
        self.fsync = fsync
        self.data = os.path.join(self.root, "data")
        self._as = []

    @property
    def conninfo(self):
        """A libpq connection string over TCP on loopback."""
        return "host=127.0.0.1 port=%d dbname=velto user=velto connect_timeout=5" % self.port

    def _run(self, *args, check=True):
        return subprocess.run(self._as + list(args), check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def start(self):
        if not os.path.exists(self.data):
            os.chmod(self.root, 0o755)
            if os.geteuid() == 0:
                pw = pwd.getpwnam("postgres")
                os.chown(self.root, pw.pw_uid, pw.pw_gid)
                self._as = ["runuser", "-u", "postgres", "--"]
            self._run(BIN + "/initdb", "-D", self.data, "-A", "trust", "-U", "velto",
                      "--no-sync", "-E", "UTF8", "--locale=C.UTF-8")
            self._run(BIN + "/pg_ctl", "-D", self.data, "-l", self.root + "/log", "-w",
                      "-o", self._options(), "start")
            self.psql("CREATE DATABASE velto", db="postgres")
            return self
        self._run(BIN + "/pg_ctl", "-D", self.data, "-l", self.root + "/log", "-w",
                  "-o", self._options(), "start")
        return self

    def _options(self):
        opts = "-k %s -p %d -c listen_addresses=127.0.0.1 -c max_connections=200" % (
            self.root, self.port)
        if not self.fsync:
            opts += " -c fsync=off -c synchronous_commit=off"
        return opts

    def stop(self, mode="fast"):
        """Stops the server (mode: smart, fast or immediate); start() again
        brings the same data back."""
        self._run(BIN + "/pg_ctl", "-D", self.data, "-m", mode, "-w", "stop", check=False)

    def restart(self, mode="fast"):
        self.stop(mode)
        self.start()

    def psql(self, sql, db="velto"):
        """Runs sql with psql over the unix socket: its output, unaligned,
        tuples only, fields split by '|'."""
        r = subprocess.run(["psql", "-h", self.root, "-p", str(self.port), "-U", "velto",
                            "-d", db, "-At", "-v", "ON_ERROR_STOP=1", "-c", sql],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            raise RuntimeError("psql: %s" % r.stderr.strip())
        return r.stdout

    def rows(self, sql):
        return [line.split("|") for line in self.psql(sql).splitlines() if line]

    def destroy(self):
        self.stop("immediate")
        shutil.rmtree(self.root, ignore_errors=True)


def offline_tier(etc):
    """For the tests of a cluster's nodes that are about something else than
    the bucket: an ObjectTier file (a node refuses to start without one)
    naming a gateway that is not there, and the Cluster line that such a
    node needs, "ack local" (images acknowledged on the node's disk, their
    uploads queued and retried). Only the node that stored an image serves
    it then."""
    os.makedirs(etc, exist_ok=True)
    key = os.path.join(etc, "tier.key")
    with open(key, "w") as f:
        f.write("access-key test\nsecret-key test\n")
    os.chmod(key, 0o600)
    with open(os.path.join(etc, "ObjectTier"), "w") as f:
        f.write("endpoint http://127.0.0.1:9\nbucket none\ncredentials tier.key\ntimeout 1\n")
    return "ack local\n"

"""A single-node Ceph cluster with a RADOS Gateway on loopback, for the
tests and benchmarks of the object tier: one monitor, one OSD on a
file-backed store and one gateway, all below a folder of the caller's, with
authentication off (test only) and a gateway user with fixed keys.

Runs only inside a private network namespace (the monitor must use port
6789 there: with another port the OSD stays down)."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import uuid

import veltotest as vt

ACCESS_KEY = "VELTOTESTACCESSKEY01"
SECRET_KEY = "veltotestsecretkey0123456789abcdefghijkl"
REGION = "default"


class CephCluster:
    """start() brings the cluster up (about 15 s); stop_gateway() and
    start_gateway() take the gateway down and up again; stop() ends it all."""

    def __init__(self, root=None, rgw_port=None):
        self.root = root or tempfile.mkdtemp(prefix="ceph-")
        self.rgw_port = rgw_port or vt.free_port()
        self.conf = os.path.join(self.root, "ceph.conf")
        self.procs = {}
        self.fsid = str(uuid.uuid4())

    @property
    def endpoint(self):
        return "http://127.0.0.1:%d" % self.rgw_port

    def _write_conf(self):
        r = self.root
        with open(self.conf, "w") as f:
            f.write("""[global]
fsid = %(fsid)s
mon_host = 127.0.0.1:6789
mon_initial_members = a
public_network = 127.0.0.0/8
ms_bind_msgr2 = false
auth_cluster_required = none
auth_service_required = none
auth_client_required = none
osd_pool_default_size = 1
osd_pool_default_min_size = 1
osd_pool_default_pg_num = 8
osd_pool_default_pgp_num = 8
mon_allow_pool_size_one = true
mon_warn_on_pool_no_redundancy = false
osd_crush_chooseleaf_type = 0
run_dir = %(r)s/run
admin_socket = %(r)s/run/$cluster-$name.asok
log_file = %(r)s/log/$cluster-$name.log
pid_file = %(r)s/run/$name.pid
mon_data = %(r)s/mon/$cluster-$id
osd_data = %(r)s/osd/$cluster-$id
osd_objectstore = bluestore
bluestore_block_path = %(r)s/osd/block
bluestore_block_create = true
bluestore_block_size = 4294967296
osd_memory_target = 536870912
mon_osd_full_ratio = 0.99
# The OSD is placed in the CRUSH map by start() itself. Left on, its own
# updates at init may go to the monitor before it has the monitor map
# (under load), are refused ("wrong fsid") and leave it down for good.
osd_crush_update_on_start = false
osd_class_update_on_start = false
mon_osd_nearfull_ratio = 0.98
[client.rgw.a]
rgw_data = %(r)s/rgw
rgw_frontends = beast endpoint=127.0.0.1:%(port)d
rgw_dns_name = 127.0.0.1
""" % {"fsid": self.fsid, "r": r, "port": self.rgw_port})

    def _run(self, cmd, timeout=60):
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout)
        if p.returncode != 0:
            raise AssertionError("%s failed: %s" % (cmd, p.stdout[-2000:]))
        return p.stdout

    def _tail(self, name):
        """The lines of a log that say what a daemon did (boot, state, errors)."""
        try:
            with open(os.path.join(self.root, "log", name), errors="replace") as f:
                lines = [l for l in f if any(w in l for w in ("boot", "state", "rror", "fail"))]
            return "".join(lines[-15:])
        except OSError:
            return "(none)"

    def _try(self, cmd, timeout=60):
        """The output of cmd, or "" when it fails."""
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout)
        return p.stdout if p.returncode == 0 else ""

    def _daemon(self, name, cmd):
        log = open(os.path.join(self.root, "log", name + ".out"), "w")
        self.procs[name] = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        log.close()

    def start(self):
        vt.require_private_netns()
        for d in ("run", "log", "mon/ceph-a", "osd/ceph-0", "rgw"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self._write_conf()
        c = ["--conf", self.conf]
        monmap = os.path.join(self.root, "monmap")
        self._run(["monmaptool", "--create", "--fsid", self.fsid, "--add", "a",
                   "127.0.0.1:6789", monmap])
        self._run(["ceph-mon"] + c + ["--mkfs", "-i", "a", "--monmap", monmap])
        self._daemon("mon", ["ceph-mon"] + c + ["-f", "-i", "a"])
        vt.wait_for(lambda: vt.port_open(6789), 20, what="ceph-mon")
        # The monitor answers commands once it has formed its quorum of one.
        # With the OSD's own UUID the create is idempotent: a command that
        # the client sends again (after a monitor session reset, under load)
        # gives the same id instead of a second OSD whose UUID the one
        # started does not have ("wrong fsid" at its boot, never up).
        osd_uuid = str(uuid.uuid4())
        osd_id = vt.wait_for(lambda: self._try(["ceph"] + c + ["osd", "create", osd_uuid]).strip(),
                             30, interval=0.2, what="the monitor to take commands")
        self._run(["ceph-osd"] + c + ["-i", osd_id, "--mkfs", "--osd-uuid", osd_uuid], timeout=120)
        self._run(["ceph"] + c + ["osd", "crush", "add", "osd." + osd_id, "1.0", "host=localhost",
                                  "root=default"])
        self._daemon("osd", ["ceph-osd"] + c + ["-f", "-i", osd_id])
        # The monitor may refuse commands for a moment after the OSD joins
        # (EPERM while it settles): that counts as not up yet.
        try:
            vt.wait_for(lambda: '"num_up_osds":1' in self._try(
                ["ceph"] + c + ["osd", "stat", "--format", "json"]).replace(" ", ""), 120,
                interval=0.5, what="the OSD to come up")
        except AssertionError as e:
            kept = self.root.rstrip("/") + "-logs"
            shutil.copytree(os.path.join(self.root, "log"), kept, dirs_exist_ok=True)
            raise AssertionError("%s (logs kept in %s): %s" % (e, kept,
                                                              self._tail("ceph-osd.%s.log" % osd_id)))
        self.start_gateway()
        self._run(["radosgw-admin"] + c + ["user", "create", "--uid", "velto",
                                           "--display-name", "velto", "--access-key", ACCESS_KEY,
                                           "--secret", SECRET_KEY], timeout=120)
        return self

    def start_gateway(self):
        self._daemon("rgw", ["radosgw"] + ["--conf", self.conf] + ["-f", "-n", "client.rgw.a"])
        vt.wait_for(lambda: vt.port_open(self.rgw_port), 60, interval=0.2,
                    what="the RADOS Gateway")

    def stop_gateway(self):
        vt.stop_process(self.procs.pop("rgw"))

    def stop(self):
        for name in ("rgw", "osd", "mon"):
            p = self.procs.pop(name, None)
            if p is not None:
                vt.stop_process(p)
        shutil.rmtree(self.root, ignore_errors=True)

    def curl(self, method, path, extra=(), data_file=None):
        """(HTTP status, body) of one signed S3 request with curl."""
        cmd = ["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "-X", method,
               "--aws-sigv4", "aws:amz:%s:s3" % REGION, "--user", ACCESS_KEY + ":" + SECRET_KEY,
               "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"] + list(extra)
        if data_file:
            cmd += ["--data-binary", "@" + data_file]
        p = subprocess.run(cmd + [self.endpoint + path], capture_output=True, timeout=60)
        body, _, code = p.stdout.rpartition(b"\n")
        return int(code or 0), body

"""Harness of the web tests: one storeweb beside a storeserver on the same
store (the same home, so the same LocalStoreDir), HTTP requests with curl,
and DICOMweb requests with the independent client dicomweb-client (run by
node through dwclient.js)."""

import json
import os
import subprocess

import veltotest as vt

STOREWEB = os.path.join(vt.BUILD, "web", "storeweb")
NODE_MODULES = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")
VIEWER_DIR = os.path.join(vt.SOURCE, ".deps", "ohif")
DWCLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dwclient.js")


class Web:
    """storeweb on a free loopback port, sharing the server's home."""

    def __init__(self, server, args=(), port=None, address="127.0.0.1", start=True, env=None):
        self.server = server
        self.env = dict(server.env, **(env or {}))
        self.port = port or vt.free_port()
        self.address = address
        self.logpath = os.path.join(server.tmp, "web-%d.log" % self.port)
        self.args = list(args)
        self.proc = None
        self.scheme = "https" if "-C" in self.args else "http"
        if start:
            self.start()

    def command(self):
        return [STOREWEB, "-p", str(self.port), "-b", self.address, "-m",
                str(self.server.monitor_port), "-l", self.logpath] + self.args

    def start(self, wait=True):
        self.proc = subprocess.Popen(self.command(), env=self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        if wait:
            vt.wait_for(lambda: vt.port_open(self.port) or self.proc.poll() is not None, 10,
                        what="storeweb to listen")
            if self.proc.poll() is not None:
                raise AssertionError("storeweb ended with %s: %s" % (self.proc.returncode,
                                                                     self.log()))
        return self

    def log(self):
        try:
            with open(self.logpath, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        vt.stop_process(self.proc)

    def memory(self):
        """(VmRSS, VmHWM) of the daemon in bytes."""
        values = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    values[key] = int(rest.split()[0]) * 1024
        return values["VmRSS"], values["VmHWM"]

    def reset_peak(self):
        """Starts VmHWM afresh from the resident size now."""
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % (self.scheme, self.port)

    @property
    def root(self):
        return self.url + "/dicom-web"

    def curl(self, path, extra=(), out=None):
        """(HTTP status, headers text, body bytes) of one request."""
        cmd = ["curl", "-s", "-k", "-D", "-", "-o", out or "/dev/stdout"] + list(extra)
        p = subprocess.run(cmd + [self.url + path], capture_output=True, timeout=60)
        data = p.stdout
        head, _, body = data.partition(b"\r\n\r\n")
        # A "100 Continue" comes before the real answer's headers.
        while head.startswith(b"HTTP/1.1 100"):
            head, _, body = body.partition(b"\r\n\r\n")
        status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
        return status, head.decode("latin-1"), body

    def json(self, path, extra=()):
        status, _, body = self.curl(path, extra)
        if status != 200:
            raise AssertionError("GET %s: %d %r" % (path, status, body[:200]))
        return json.loads(body)

    def dwclient(self, action, *args):
        """Runs dicomweb-client; returns its JSON result."""
        env = dict(os.environ, NODE_PATH=NODE_MODULES)
        p = subprocess.run(["node", DWCLIENT, self.root, action] + [str(a) for a in args],
                           capture_output=True, timeout=120, env=env)
        if p.returncode != 0:
            raise AssertionError("dicomweb-client %s failed: %s" % (action, p.stderr.decode()))
        return json.loads(p.stdout or b"null")


def value(item, tag):
    """The first value of a DICOM JSON attribute (PN as its Alphabetic text), or None."""
    v = item.get(tag, {}).get("Value")
    if not v:
        return None
    v = v[0]
    return v.get("Alphabetic") if isinstance(v, dict) else v


def multipart_parts(body, content_type):
    """The bodies of a multipart answer, split at its boundary."""
    boundary = None
    for p in content_type.split(";"):
        p = p.strip()
        if p.lower().startswith("boundary="):
            boundary = p[9:].strip('"')
    delim = b"--" + boundary.encode()
    parts = []
    for chunk in body.split(delim)[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        parts.append((head.decode("latin-1"), data[:-2] if data.endswith(b"\r\n") else data))
    return parts


def header(head, name):
    for line in head.split("\r\n"):
        if line.lower().startswith(name.lower() + ":"):
            return line.split(":", 1)[1].strip()
    return None

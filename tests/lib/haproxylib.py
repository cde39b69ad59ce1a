"""HAProxy (Debian's haproxy 2.6) for the tests of nodes behind a load
balancer: started in the foreground from a private configuration in a
temporary directory (checked with `haproxy -c -f` first), waited for until
its frontends listen, and stopped. Also a relay that makes a client's
connections leave from another loopback address (dcmtk's clients cannot
bind their source), so the proxy sees that address as its client."""

import os
import shutil
import socket
import subprocess
import tempfile
import threading

import veltotest as vt

HAPROXY = "/usr/sbin/haproxy"


def tcp_frontend(name, port, servers, source, check_ms=200):
    """A TCP-mode frontend on 127.0.0.1:port balancing round robin over
    servers (ports on 127.0.0.1), each sent a PROXY protocol v2 header and
    health-checked every check_ms milliseconds by plain connections; the
    proxy's connections to them leave from the address source."""
    lines = ["frontend %s" % name, "    mode tcp", "    bind 127.0.0.1:%d" % port,
             "    default_backend %s_nodes" % name, "",
             "backend %s_nodes" % name, "    mode tcp", "    balance roundrobin",
             "    source %s" % source]
    for i, p in enumerate(servers):
        lines.append("    server n%d 127.0.0.1:%d send-proxy-v2 check inter %dms rise 1 fall 3"
                     % (i + 1, p, check_ms))
    return "\n".join(lines) + "\n\n"


def http_frontend(name, port, servers, source, check_ms=200):
    """An HTTP-mode frontend on 127.0.0.1:port that names each request's
    client in X-Forwarded-For (option forwardfor), round robin over servers,
    its connections to them from source, checked by plain TCP connections."""
    lines = ["frontend %s" % name, "    mode http", "    option forwardfor",
             "    bind 127.0.0.1:%d" % port, "    default_backend %s_nodes" % name, "",
             "backend %s_nodes" % name, "    mode http", "    balance roundrobin",
             "    source %s" % source]
    for i, p in enumerate(servers):
        lines.append("    server w%d 127.0.0.1:%d check inter %dms rise 1 fall 3"
                     % (i + 1, p, check_ms))
    return "\n".join(lines) + "\n\n"


class HAProxy:
    """One haproxy process on a configuration made of sections (from
    tcp_frontend and http_frontend), listening on ports."""

    def __init__(self, sections, ports):
        self.tmp = tempfile.mkdtemp(prefix="velto-haproxy-")
        self.cfg = os.path.join(self.tmp, "haproxy.cfg")
        self.ports = list(ports)
        self.proc = None
        self.output = os.path.join(self.tmp, "haproxy.out")
        with open(self.cfg, "w") as f:
            f.write("global\n    maxconn 200\n\n"
                    "defaults\n    timeout connect 5s\n    timeout client 60s\n"
                    "    timeout server 60s\n\n")
            f.write("".join(sections))

    def start(self):
        p = vt.run([HAPROXY, "-c", "-f", self.cfg], timeout=30)
        if p.returncode != 0:
            raise AssertionError("haproxy -c refused %s: %s%s" % (self.cfg, p.stdout, p.stderr))
        out = open(self.output, "w")
        self.proc = subprocess.Popen([HAPROXY, "-db", "-f", self.cfg], stdout=out,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        vt.wait_for(lambda: all(vt.port_open(p) for p in self.ports) or
                    self.proc.poll() is not None, 10, what="haproxy to listen")
        if self.proc.poll() is not None:
            raise AssertionError("haproxy ended with %s: %s" % (self.proc.returncode, self.log()))
        return self

    def log(self):
        try:
            with open(self.output, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        if self.proc is not None:
            vt.stop_process(self.proc)
            self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)


class BoundRelay:
    """Listens on 127.0.0.1 (self.port) and relays each connection to
    127.0.0.1:target from the address source, both ways, until either end
    closes."""

    def __init__(self, target, source):
        self.target = target
        self.source = source
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.closed = False
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            out = socket.socket()
            try:
                out.bind((self.source, 0))
                out.connect(("127.0.0.1", self.target))
            except OSError:
                c.close()
                out.close()
                continue
            pair = [c, out, 2]
            for a, b in ((c, out), (out, c)):
                threading.Thread(target=self._pump, args=(a, b, pair), daemon=True).start()

    def _pump(self, a, b, pair):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        try:
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        with self.lock:
            pair[2] -= 1
            if pair[2] == 0:
                pair[0].close()
                pair[1].close()

    def close(self):
        self.closed = True
        self.sock.close()

"""Echo latency while peers hold silent connections open, storeserver
against dcmtk's storescp --fork.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/silent_peers.py [BUILD_DIR]

For each program it times echoscu (median of 5) with no other connection,
then with 10 TCP connections open that send nothing (half of them the first
six bytes of an association request), and prints both times and their
ratio, and the added time in milliseconds.

Goal: storeserver answers within 100 ms of its normal time with the silent
connections open. A listener that reads each association request itself
(as storescp does, forking only afterwards) waits for every silent peer in
turn until its timeout, and the echo may fail outright.
"""

import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
REPEATS = 5
SILENT = 10
ECHO_TIMEOUT = 60


def echo_seconds(port):
    """Median time of REPEATS echoscu runs, or None if one failed."""
    times = []
    for _ in range(REPEATS):
        started = time.monotonic()
        p = subprocess.run(["echoscu", "-to", str(ECHO_TIMEOUT), "-aec", "ANY", "127.0.0.1",
                            str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=ECHO_TIMEOUT * 3)
        if p.returncode != 0:
            return None
        times.append(time.monotonic() - started)
    return statistics.median(times)


def with_silent(port):
    conns = []
    for i in range(SILENT):
        c = socket.create_connection(("127.0.0.1", port))
        if i % 2:
            c.sendall(b"\x01\x00\x00\x00\x01\x00")
        conns.append(c)
    try:
        time.sleep(0.2)
        return echo_seconds(port)
    finally:
        for c in conns:
            c.close()


def show(name, quiet, loaded):
    if quiet is None or loaded is None:
        print("%-12s quiet %s  with %d silent: %s" % (
            name, "failed" if quiet is None else "%.1f ms" % (quiet * 1000), SILENT,
            "FAILED" if loaded is None else "%.1f ms" % (loaded * 1000)))
        return
    print("%-12s quiet %7.1f ms  with %d silent %9.1f ms  ratio %6.2f  added %8.1f ms" % (
        name, quiet * 1000, SILENT, loaded * 1000, loaded / quiet, (loaded - quiet) * 1000))


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-silent-")
    server = vt.Server(root=os.path.join(tmp, "server"), aetitle="ANY")
    try:
        show("storeserver", echo_seconds(server.port), with_silent(server.port))
    finally:
        server.cleanup()
    port = vt.free_port()
    outdir = os.path.join(tmp, "storescp")
    os.makedirs(outdir)
    scp = subprocess.Popen(["storescp", "--fork", "-od", outdir, str(port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           start_new_session=True)
    try:
        vt.wait_for(lambda: vt.port_open(port), 10, what="storescp to listen")
        show("storescp", echo_seconds(port), with_silent(port))
    finally:
        vt.stop_process(scp)


if __name__ == "__main__":
    main()

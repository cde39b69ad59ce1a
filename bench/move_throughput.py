"""C-MOVE and C-GET throughput: storeserver sends a 1,000-image study to
dcmtk's storescp (C-MOVE) and back to dcmtk's getscu (C-GET), against dcmtk's
dcmqrscp doing the same with the same study, in the same run.

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/move_throughput.py [BUILD_DIR]

BUILD_DIR defaults to ./build. Each archive is loaded with the study by
storescu; each move is one movescu run at study level into an empty
storescp directory, each get one getscu run at study level into an empty
directory; best of 5, reported in images/s.

Goals: storeserver moves at least 1.2 times as many images per second as
dcmqrscp, and gets at least as many.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
sys.path.insert(0, HERE)
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402
from dcmqrscp_peer import Dcmqrscp  # noqa: E402

vt.STORESERVER = os.path.join(BUILD, "server", "storeserver")
STUDY = "1.2.826.0.1.3680043.10.545.1"
COUNT = 1000
REPEATS = 5


def move(port, called, dest):
    """Seconds for one study-level C-MOVE of STUDY to dest (a StoreSCP). The
    client runs quiet: dumping every response would cost more than a move."""
    for f in dest.files():
        os.unlink(f)
    cmd = ["movescu", "-S", "-aet", "BENCH", "-aec", called, "-aem", dest.aetitle,
           "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + STUDY,
           "127.0.0.1", str(port)]
    start = time.time()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=1800)
    elapsed = time.time() - start
    if p.returncode != 0 or len(dest.files()) != COUNT:
        raise RuntimeError("move failed (%d files): %s" % (len(dest.files()), p.stdout[-1000:]))
    return elapsed


def get(port, called, tmp):
    """Seconds for one study-level C-GET of STUDY by getscu (quiet), which
    writes the images into a fresh directory."""
    out = tempfile.mkdtemp(dir=tmp)
    cmd = ["getscu", "-S", "-aet", "BENCH", "-aec", called, "-od", out,
           "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + STUDY,
           "127.0.0.1", str(port)]
    start = time.time()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=1800, env=dict(os.environ, TCP_NODELAY="1"))
    elapsed = time.time() - start
    n = len(os.listdir(out))
    shutil.rmtree(out, ignore_errors=True)
    if p.returncode != 0 or n != COUNT:
        raise RuntimeError("get failed (%d files): %s" % (n, p.stdout[-1000:]))
    return elapsed


def main():
    vt.require_private_netns()
    tmp = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        gen = os.path.join(tmp, "gen")
        os.makedirs(gen)
        files = [vt.make_dataset(os.path.join(gen, "%d.dcm" % i), STUDY, STUDY + ".1",
                                 "%s.1.%d" % (STUDY, i), pixels=64) for i in range(COUNT)]
        # storescp without its -d dump, which would cost more than the move.
        dest = vt.StoreSCP(tmp)
        dest.proc.kill()
        dest.proc.wait()
        dest.proc = subprocess.Popen(["storescp", "-aet", dest.aetitle, "-od", dest.dir,
                                      str(dest.port)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(dest.port), 10)
        rates = {}
        gets = {}
        srv = vt.Server(aetmap=dest.map_line())
        try:
            vt.run(["storescu", "-aet", "LOADER", "-aec", srv.aetitle, "127.0.0.1", str(srv.port)]
                   + files, check=True, timeout=1800)
            rates["storeserver"] = COUNT / min(move(srv.port, srv.aetitle, dest)
                                               for _ in range(REPEATS))
            gets["storeserver"] = COUNT / min(get(srv.port, srv.aetitle, tmp)
                                              for _ in range(REPEATS))
        finally:
            srv.cleanup()
        print("storeserver move %8.0f images/s, get %8.0f images/s"
              % (rates["storeserver"], gets["storeserver"]), flush=True)
        os.makedirs(os.path.join(tmp, "qr"))
        qr = Dcmqrscp(os.path.join(tmp, "qr"), dest_aet=dest.aetitle, dest_port=dest.port)
        try:
            qr.store(files)
            rates["dcmqrscp"] = COUNT / min(move(qr.port, qr.aetitle, dest) for _ in range(REPEATS))
            gets["dcmqrscp"] = COUNT / min(get(qr.port, qr.aetitle, tmp) for _ in range(REPEATS))
        finally:
            qr.stop()
        print("dcmqrscp    move %8.0f images/s, get %8.0f images/s"
              % (rates["dcmqrscp"], gets["dcmqrscp"]))
        print("storeserver/dcmqrscp move %.2f (goal >= 1.2), get %.2f (goal >= 1)"
              % (rates["storeserver"] / rates["dcmqrscp"], gets["storeserver"] / gets["dcmqrscp"]))
        dest.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

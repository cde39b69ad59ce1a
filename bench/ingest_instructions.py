"""The instructions ingest costs per image, this build against an older one,
counted by valgrind's callgrind: a figure that does not move with the
machine, where the timings of store_throughput.py and web_throughput.py
swing by a quarter from run to run on a shared virtual machine (most of a
small image's time is the file system's, in the kernel).

Run by hand from the checkout, after a build, inside the private network
namespace (storeserver opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/ingest_instructions.py [BUILD_DIR] --old-build DIR
        [--count N]

For each build, storeserver (its association worker and flusher, the
toolkit included) receives N and then 3N CT-sized slices (39 kB, Explicit
VR Little Endian) from storescu over one association, and storeweb N and
3N of them as STOW-RS requests of N; each daemon runs under callgrind,
children followed. The user-space instructions per image are the
difference of the two runs divided by 2N, so that what a start costs (the
dictionary, the libraries) drops out. Printed: instructions per image for
both builds and new/old, and whether every ratio is within 5 %. The
kernel's work is not counted: strace shows which system calls an image
costs (the same for both builds when nothing changed there).

--count N (default 100) sets N. A run takes a minute or two.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import oldbuild  # noqa: E402

ARGS = sys.argv[1:]
OLD = oldbuild.take(ARGS, "--old-build")
COUNT = int(oldbuild.take(ARGS, "--count", "100"))
if "--help" in ARGS or "-h" in ARGS:
    print(__doc__)
    sys.exit(0)
BUILD = os.path.abspath(ARGS[0] if ARGS else os.path.join(HERE, "..", "build"))
if not OLD:
    raise SystemExit("usage: ingest_instructions.py [BUILD_DIR] --old-build DIR [--count N]")
os.environ["VELTO_BUILD"] = BUILD
import veltotest as vt  # noqa: E402

SLICE = 198
PORT = 11600


def make_images(folder, n):
    os.makedirs(folder)
    study = "1.2.826.0.1.3680043.9.7.77.1"
    series = study + ".1"
    for i in range(n):
        vt.make_dataset(os.path.join(folder, "%05d.dcm" % i), study, series,
                        "%s.%d" % (series, i + 1), patient_name="BENCH^INSTR",
                        patient_id="INSTR", pixels=SLICE,
                        extra={"PixelData": bytes(x % 251 for x in range(SLICE * SLICE))})


def stow_body(paths):
    body = bytearray()
    for p in paths:
        with open(p, "rb") as f:
            body += b"--BENCH\r\nContent-Type: application/dicom\r\n\r\n" + f.read() + b"\r\n"
    return bytes(body + b"--BENCH--\r\n")


def store_home(tmp, tag):
    """A HOME whose configuration names an empty store of its own."""
    home = tempfile.mkdtemp(prefix="home-%s-" % tag, dir=tmp)
    store = os.path.join(home, "store")
    os.makedirs(os.path.join(home, ".velto", "etc"))
    os.makedirs(store)
    with open(os.path.join(home, ".velto", "etc", "LocalStoreDir"), "w") as f:
        f.write(store + "\n")
    env = dict(os.environ, HOME=home)
    return home, env


def total_instructions(outdir):
    """The instructions of every process callgrind wrote a file for."""
    total = 0
    for name in os.listdir(outdir):
        with open(os.path.join(outdir, name)) as f:
            for line in f:
                m = re.match(r"(summary|totals): (\d+)", line)
                if m:
                    total += int(m.group(2))
                    break
    return total


def under_callgrind(cmd, env, outdir):
    os.makedirs(outdir)
    return subprocess.Popen(["valgrind", "--tool=callgrind", "--trace-children=yes",
                             "--callgrind-out-file=" + os.path.join(outdir, "cg.%p")] + cmd,
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def stop(proc):
    os.killpg(proc.pid, signal.SIGINT)
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def wait_port(port, proc):
    deadline = time.time() + 60  # valgrind starts slowly
    while time.time() < deadline and proc.poll() is None:
        if vt.port_open(port):
            return
        time.sleep(0.2)
    raise SystemExit("the daemon did not listen on %d" % port)


def cstore_run(build, tmp, tag, files):
    home, env = store_home(tmp, tag)
    out = os.path.join(home, "cg")
    log = os.path.join(home, "server.log")
    proc = under_callgrind([os.path.join(build, "server", "storeserver"), "-p", str(PORT), "-a",
                            "ARCHIVE", "-l", log], env, out)
    try:
        wait_port(PORT, proc)
        r = subprocess.run(["storescu", "-aec", "ARCHIVE", "127.0.0.1", str(PORT)] + files,
                           capture_output=True)
        if r.returncode != 0:
            raise SystemExit("storescu failed: %s" % r.stderr.decode(errors="replace"))
    finally:
        stop(proc)
    return total_instructions(out)


def stow_run(build, tmp, tag, bodies):
    import http.client
    home, env = store_home(tmp, tag)
    out = os.path.join(home, "cg")
    proc = under_callgrind([os.path.join(build, "web", "storeweb"), "-p", str(PORT + 1), "-b",
                            "127.0.0.1", "-m", str(PORT + 2), "-l",
                            os.path.join(home, "web.log")], env, out)
    try:
        wait_port(PORT + 1, proc)
        for body in bodies:
            c = http.client.HTTPConnection("127.0.0.1", PORT + 1, timeout=600)
            c.request("POST", "/dicom-web/studies", body=body, headers={
                "Content-Type": 'multipart/related; type="application/dicom"; boundary=BENCH'})
            r = c.getresponse()
            r.read()
            if r.status != 200:
                raise SystemExit("STOW-RS answered %d" % r.status)
            c.close()
    finally:
        stop(proc)
    return total_instructions(out)


def main():
    vt.require_private_netns()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is needed (apt-get install valgrind)")
    tmp = tempfile.mkdtemp(prefix="velto-instr-")
    try:
        folder = os.path.join(tmp, "slices")
        make_images(folder, 3 * COUNT)
        files = sorted(os.path.join(folder, f) for f in os.listdir(folder))
        bodies = [stow_body(files[i * COUNT:(i + 1) * COUNT]) for i in range(3)]
        builds = {"new": BUILD, "old": os.path.abspath(OLD)}
        per = {}
        for tag, build in builds.items():
            small = cstore_run(build, tmp, tag + "-c1", files[:COUNT])
            large = cstore_run(build, tmp, tag + "-c3", files)
            per[tag, "C-STORE"] = (large - small) / (2 * COUNT)
            small = stow_run(build, tmp, tag + "-w1", bodies[:1])
            large = stow_run(build, tmp, tag + "-w3", bodies)
            per[tag, "STOW-RS"] = (large - small) / (2 * COUNT)
        ratios = oldbuild.Ratios()
        print("User-space instructions per image (%d and %d slices of 39 kB):" % (COUNT, 3 * COUNT))
        for what in ("C-STORE", "STOW-RS"):
            print("  %-8s new %9.0f  old %9.0f" % (what, per["new", what], per["old", what]))
            ratios.add(what + " instructions/image", per["new", what], per["old", what], "")
        ratios.report("new/old against %s" % OLD)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

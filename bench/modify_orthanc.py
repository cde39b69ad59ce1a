"""Renaming a patient with 1,000 images: ours (storeindex modify beside a
running storeserver: every image file rewritten under the change's intent,
the index and checksums following) against Orthanc's
/patients/{id}/modify (Orthanc 1.10 from its Debian package, on the same
machine, its HTTP server on loopback, the originals replaced: KeepSource
false).

Run by hand from the checkout, after a build, inside the private network
namespace:

    scripts/netns-exec /usr/bin/python3 bench/modify_orthanc.py [BUILD_DIR] [--count N]
        [--rounds N]

BUILD_DIR defaults to ./build; --count the images (default 1000, CT-sized
slices of 39 kB, one patient); --rounds (default 3) how often each renames
the patient (a new name each round), taking turns, the best and the median
printed. The ratio printed is Orthanc's best time over ours: above 1, ours
is faster. Each side's answer is checked: ours by C-FIND of the new name,
Orthanc's by its patient's main tags.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib"))
import veltotest as vt  # noqa: E402
from deidentify_orthanc import Orthanc, images  # noqa: E402

PATIENT = "MRN0042"


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args.pop(0)) if args and not args[0].startswith("--") else \
        os.path.abspath("build")
    count, rounds = 1000, 3
    while args:
        opt = args.pop(0)
        if opt == "--count":
            count = int(args.pop(0))
        elif opt == "--rounds":
            rounds = int(args.pop(0))
        else:
            sys.exit("unknown option %s" % opt)
    vt.require_private_netns()
    os.environ["VELTO_BUILD"] = build
    vt.STORESERVER = os.path.join(build, "server", "storeserver")
    storeindex = os.path.join(build, "storeindex", "storeindex")
    tmp = tempfile.mkdtemp(prefix="bench-modify-")
    srv = orth = None
    try:
        os.makedirs(os.path.join(tmp, "in"))
        files = images(os.path.join(tmp, "in"), count)
        srv = vt.Server(root=os.path.join(tmp, "velto"), aetmap="CLIENT CLIENT 127.0.0.1:11112\n")
        p = srv.storescu(files, timeout=3600)
        if p.returncode != 0:
            sys.exit("storescu into storeserver failed: %s" % p.stderr[-500:])
        orth = Orthanc(tmp)
        p = subprocess.run(["storescu", "-aet", "BENCH", "-aec", "ORTHANC", "127.0.0.1",
                            str(orth.port)] + files, capture_output=True, text=True)
        if p.returncode != 0:
            sys.exit("storescu into Orthanc failed: %s" % p.stderr[-500:])
        ours, theirs = [], []
        for r in range(rounds):
            name = "RENAMED^ROUND%d" % r
            order = ["ours", "orthanc"] if r % 2 == 0 else ["orthanc", "ours"]
            for who in order:
                subprocess.run(["sync"])
                if who == "ours":
                    start = time.time()
                    p = subprocess.run([storeindex, "modify", "-m", "0", "--patient", PATIENT,
                                        "PatientName=" + name, srv.basedir],
                                       capture_output=True, text=True, env=srv.env)
                    ours.append(time.time() - start)
                    if p.returncode != 0:
                        sys.exit("storeindex modify: %s %s" % (p.stdout, p.stderr))
                    _, found = srv.findscu(["PatientID=" + PATIENT, "PatientName"],
                                           level="PATIENT", model="-P")
                    if [str(d.PatientName) for d in found] != [name]:
                        sys.exit("C-FIND after our modify: %r" % [str(d.PatientName)
                                                                   for d in found])
                else:
                    patients = orth.call("GET", "/patients")
                    if len(patients) != 1:
                        sys.exit("Orthanc holds %d patients" % len(patients))
                    start = time.time()
                    answer = orth.call("POST", "/patients/%s/modify" % patients[0],
                                       {"Replace": {"PatientName": name, "PatientID": PATIENT},
                                        "KeepSource": False, "Force": True})
                    theirs.append(time.time() - start)
                    if "ID" not in answer:
                        sys.exit("Orthanc's modify answered %r" % answer)
                    # The images themselves (Orthanc keeps a patient's main
                    # tags as they were when the patient was first made).
                    inst = orth.call("GET", "/patients/%s/instances" % answer["ID"])
                    tags = orth.call("GET", "/instances/%s/simplified-tags" % inst[0]["ID"])
                    if len(inst) != count or tags.get("PatientName") != name:
                        sys.exit("Orthanc after modify: %d instances, %r"
                                 % (len(inst), tags.get("PatientName")))
        print("%d images of one patient, %d rounds" % (count, rounds))
        print("ours (storeindex modify --patient):  best %.2f s, median %.2f s (%.0f images/s)"
              % (min(ours), statistics.median(ours), count / min(ours)))
        print("Orthanc /patients/{id}/modify:      best %.2f s, median %.2f s (%.0f images/s)"
              % (min(theirs), statistics.median(theirs), count / min(theirs)))
        print("ratio Orthanc / ours (best): %.2f; (median): %.2f"
              % (min(theirs) / min(ours), statistics.median(theirs) / statistics.median(ours)))
    finally:
        if orth is not None:
            orth.stop()
        if srv is not None:
            srv.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

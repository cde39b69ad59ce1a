"""Modality worklist query time of storeserver beside dcmtk's wlmscpfs, both
serving the same 10,000 worklist files (the store's worklist directory).

Run by hand from the checkout, after a build, inside the private network
namespace (the server opens the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/worklist_query.py [BUILD_DIR]

BUILD_DIR defaults to ./build. The entries are written with pydicom: 100
scheduled days, four modalities each with its station. wlmscpfs reads the
same directory (its data path the store's base directory, called under the
title "worklist"). Each query is one findscu -W run (association, query,
release): a selective one (one day, one modality: 25 matches) and a day
range (10 days, all modalities: 1,000 matches), two rounds, the two
programs taking turns, best time kept. Both read every file of the
directory per query (that is how DCMTK's file-system data source works), so
the goal is parity: storeserver/wlmscpfs at most 1.2.

Then what looking for a study's worklist entries costs a C-STORE: one
storescu run of a new study (matching no entry) against storeserver with
-W both and against a second storeserver with -W off on the same store,
three rounds taking turns, best kept.
"""

import os
import re
import shutil
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
ENTRIES = 10000
MODALITIES = (("CT", "CT1"), ("MR", "MR1"), ("US", "US1"), ("DX", "DX1"))
STEP = "(0040,0100)[0]."
QUERIES = (
    ("selective", [STEP + "ScheduledProcedureStepStartDate=20250105", STEP + "Modality=CT"]),
    ("day range", [STEP + "ScheduledProcedureStepStartDate=20250111-20250120"]),
)
RETURN_KEYS = ["PatientName", "PatientID", "AccessionNumber", "StudyInstanceUID",
               STEP + "ScheduledStationAETitle", STEP + "ScheduledProcedureStepStartTime",
               STEP + "ScheduledProcedureStepID"]


def write_entries(directory):
    import pydicom
    from pydicom.dataset import Dataset, FileMetaDataset
    os.makedirs(directory, exist_ok=True)
    open(os.path.join(directory, "lockfile"), "w").close()
    for n in range(ENTRIES):
        modality, station = MODALITIES[n % 4]
        day = (n // 4) % 100
        ds = Dataset()
        ds.PatientName = "PAT^N%06d" % n
        ds.PatientID = "ID%d" % n
        ds.AccessionNumber = "ACC%d" % n
        ds.StudyInstanceUID = "1.2.826.0.1.3680043.10.544.%d" % n
        ds.RequestedProcedureID = "RP%d" % n
        ds.RequestedProcedureDescription = modality + " exam"
        sps = Dataset()
        sps.Modality = modality
        sps.ScheduledStationAETitle = station
        sps.ScheduledProcedureStepStartDate = "2025%02d%02d" % (1 + day // 28, 1 + day % 28)
        sps.ScheduledProcedureStepStartTime = "%02d0000" % (8 + n % 10)
        sps.ScheduledProcedureStepDescription = modality + " exam"
        sps.ScheduledProcedureStepID = "SPS%d" % n
        sps.ScheduledPerformingPhysicianName = ""
        ds.ScheduledProcedureStepSequence = [sps]
        ds.file_meta = FileMetaDataset()
        ds.file_meta.TransferSyntaxUID = pydicom.uid.ExplicitVRLittleEndian
        ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.31"
        ds.file_meta.MediaStorageSOPInstanceUID = ds.StudyInstanceUID
        pydicom.dcmwrite(os.path.join(directory, "e%05d.wl" % n), ds, write_like_original=False)


def findscu(port, called, keys):
    """Seconds for one findscu -W run and its number of answers."""
    cmd = ["findscu", "-W", "-v", "-aet", "BENCH", "-aec", called]
    for k in keys + RETURN_KEYS:
        cmd += ["-k", k]
    start = time.time()
    p = subprocess.run(cmd + ["127.0.0.1", str(port)], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, errors="replace")
    elapsed = time.time() - start
    if p.returncode != 0:
        raise RuntimeError("findscu failed: %s" % p.stdout[-500:])
    return elapsed, len(re.findall(r"Find Response: \d+", p.stdout))


def store_once(srv, n, tmp):
    study = "1.2.826.0.1.3680043.10.545.%d" % n
    f = vt.make_dataset(os.path.join(tmp, "s%d.dcm" % n), study, study + ".1", study + ".1.1",
                        accession="NOENTRY%d" % n)
    start = time.time()
    p = srv.storescu([f])
    elapsed = time.time() - start
    if p.returncode != 0:
        raise RuntimeError("storescu failed: %s" % (p.stdout + p.stderr)[-500:])
    return elapsed


def store_cost(srv, tmp):
    """Best storescu time of a new study with and without the look-up."""
    off = vt.Server(args=["-W", "off"], basedir=srv.basedir)
    try:
        best = {}
        for r in range(3):
            for name, s in (("-W both", srv), ("-W off", off)):
                t = store_once(s, r * 2 + (name == "-W off"), tmp)
                best[name] = min(t, best.get(name, t))
    finally:
        off.stop()
        shutil.rmtree(off.tmp, ignore_errors=True)
    for name in ("-W both", "-W off"):
        print("storescu, one image of a new study, %-7s %8.1f ms" % (name, best[name] * 1000))
    print("look-up of the study's entries among %d: %.1f ms" % (
        ENTRIES, (best["-W both"] - best["-W off"]) * 1000))


def main():
    vt.require_private_netns()
    srv = vt.Server(start=False)
    wlm = None
    try:
        t0 = time.time()
        write_entries(os.path.join(srv.basedir, "worklist"))
        print("%d entries written in %.1f s" % (ENTRIES, time.time() - t0), flush=True)
        srv.start()
        wport = vt.free_port()
        wlm = subprocess.Popen(["wlmscpfs", "-dfp", srv.basedir, str(wport)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        vt.wait_for(lambda: vt.port_open(wport), 10, what="wlmscpfs to listen")
        peers = (("storeserver", srv.port, srv.aetitle), ("wlmscpfs", wport, "worklist"))
        best = {}
        for _ in range(2):
            for qname, keys in QUERIES:
                for name, port, called in peers:
                    t, n = findscu(port, called, keys)
                    key = (name, qname)
                    if key in best and best[key][1] != n:
                        raise RuntimeError("%s %s: %d then %d answers" % (name, qname,
                                                                          best[key][1], n))
                    best[key] = (min(t, best.get(key, (t, n))[0]), n)
        for qname, _ in QUERIES:
            for name, _, _ in peers:
                t, n = best[name, qname]
                print("%-11s %-9s %8.1f ms (%d answers)" % (name, qname, t * 1000, n))
            if best["storeserver", qname][1] != best["wlmscpfs", qname][1]:
                print("  answers differ!")
            print("%-9s storeserver/wlmscpfs: %.2f (goal <= 1.2)" % (
                qname, best["storeserver", qname][0] / best["wlmscpfs", qname][0]))
        store_cost(srv, srv.tmp)
    finally:
        if wlm is not None:
            vt.stop_process(wlm)
        srv.stop()
        shutil.rmtree(srv.tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

"""The archive's demo, run by scripts/demo inside a private network namespace.

Usage: demo.py RUNDIR. Everything lives below RUNDIR (made afresh): the
server's home with its configuration files, the store, the log files, the
move destination and a stand-in for the renderer that studywatch starts.
"""

import os
import shutil
import subprocess
import sys
import time

import veltotest as vt

SAMPLES = ["CT_small.dcm", "MR_small.dcm", "chrH31.dcm", "chrX1.dcm", "chrFren.dcm", "chrRuss.dcm"]
# A compressed image, offered only in its own transfer syntax so that it is
# stored as it arrives.
COMPRESSED = ("JPEG2000.dcm", "-xw")


def banner(text):
    print("\n=== %s ===" % text, flush=True)


def show(cmd, p):
    print("$ " + " ".join(cmd))
    out = (p.stdout + p.stderr).strip()
    if out:
        print(out)
    print("(exit status %d)" % p.returncode, flush=True)


def main():
    vt.require_private_netns()
    run = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "demo-run")
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(run)
    store = os.path.join(run, "store")
    dest = os.path.join(run, "destination")
    os.makedirs(dest)
    port, dest_port = 11104, 11105
    aetmap = "DEST\tDEST_SCP\t127.0.0.1:%d\tFMS\tdemo move destination\n" % dest_port
    started = []

    banner("Starting storeserver on port %d, store %s" % (port, store))
    srv = vt.Server(args=["-s"], aetmap=aetmap, port=port, basedir=store, aetitle="DEMO_ARCHIVE",
                    start=False, root=run)
    mon = vt.Monitor(port)
    srv.start()
    started.append(srv)
    print(" ".join(srv.command()))

    watch = None
    if os.path.exists(vt.STUDYWATCH):
        bindir = os.path.join(run, "bin")
        os.makedirs(bindir)
        tabrin = os.path.join(bindir, "tabrin")
        with open(tabrin, "w") as f:
            f.write("#!/bin/sh\necho \"$(date +%%T) tabrin $*\" >> %s/tabrin.log\n" % run)
        os.chmod(tabrin, 0o755)
        wlog = os.path.join(run, "studywatch.log")
        cmd = [vt.STUDYWATCH, "-p", str(port), "-t", "3", "-l", wlog]
        banner("Starting studywatch: " + " ".join(cmd))
        watch = subprocess.Popen(cmd, env=dict(os.environ, PATH=bindir + ":" + os.environ["PATH"]),
                                 start_new_session=True)

    web = None
    storeweb = os.path.join(vt.BUILD, "web", "storeweb")
    if os.path.exists(storeweb):
        web_port = 8042
        cmd = [storeweb, "-p", str(web_port), "-m", str(port), "-l", os.path.join(run, "storeweb.log"),
               "-V", os.path.join(vt.SOURCE, ".deps", "ohif")]
        banner("Starting storeweb: " + " ".join(cmd))
        web = subprocess.Popen(cmd, env=srv.env, start_new_session=True)
        vt.wait_for(lambda: vt.port_open(web_port), 10, what="storeweb")
        web_url = "http://127.0.0.1:%d/" % web_port
        print("Study list and viewer: %s   DICOMweb: %sdicom-web" % (web_url, web_url))

    dcmdest = subprocess.Popen(["storescp", "+xa", "-aet", "DEST_SCP", "-od", dest, str(dest_port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    vt.wait_for(lambda: vt.port_open(dest_port), 10, what="storescp")

    try:
        banner("C-ECHO")
        p = srv.echoscu(calling="DEMO_CLIENT", called="DEMO_ARCHIVE")
        show(["echoscu", "127.0.0.1", str(port)], p)

        banner("C-STORE of the sample files with storescu")
        files = [vt.pydicom_file(n) for n in SAMPLES]
        p = srv.storescu(files, calling="DEMO_CLIENT", called="DEMO_ARCHIVE")
        show(["storescu", "..."] + SAMPLES, p)
        name, flag = COMPRESSED
        p = srv.storescu([vt.pydicom_file(name)], calling="DEMO_CLIENT", called="DEMO_ARCHIVE",
                         extra=[flag])
        show(["storescu", flag, name], p)

        banner("C-FIND at study level with findscu")
        p, found = srv.findscu(["PatientName=*", "StudyInstanceUID", "StudyDate", "ModalitiesInStudy",
                                "SpecificCharacterSet"], level="STUDY")
        print("$ findscu -S -k QueryRetrieveLevel=STUDY -k PatientName=* ...  (exit status %d)"
              % p.returncode)
        for ds in found:
            print("  %-40s %-10s %-8s %s" % (str(ds.get("PatientName", "")), ds.get("StudyDate", ""),
                                             ds.get("ModalitiesInStudy", ""),
                                             ds.get("StudyInstanceUID", "")))
        print("%d studies found" % len(found))

        if found:
            ct = [ds for ds in found if "CT" in str(ds.get("ModalitiesInStudy", ""))]
            study = (ct or found)[0].StudyInstanceUID
            banner("C-MOVE of study %s to DEST_SCP (storescp) with movescu" % study)
            cmd = ["movescu", "-S", "-aet", "DEMO_CLIENT", "-aec", "DEMO_ARCHIVE", "-aem", "DEST_SCP",
                   "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=%s" % study,
                   "127.0.0.1", str(port)]
            p = vt.run(cmd)
            show(cmd, p)
            print("destination now holds: %s" % sorted(os.listdir(dest)))

        if web:
            banner("The same studies over DICOMweb (QIDO-RS) at %s" % web_url)
            cmd = ["curl", "-s", web_url + "dicom-web/studies?ModalitiesInStudy=CT"
                   "&includefield=00081030"]
            p = vt.run(cmd)
            show(cmd, p)
            banner("STOW-RS of one more image with curl")
            body = os.path.join(run, "stow-body")
            with open(body, "wb") as f, open(vt.pydicom_file("rtdose.dcm"), "rb") as img:
                f.write(b"--DEMO\r\nContent-Type: application/dicom\r\n\r\n" + img.read()
                        + b"\r\n--DEMO--\r\n")
            cmd = ["curl", "-s", "-X", "POST", "-H", "Content-Type: multipart/related; "
                   "type=\"application/dicom\"; boundary=DEMO", "--data-binary", "@" + body,
                   web_url + "dicom-web/studies"]
            p = vt.run(cmd)
            show(cmd, p)
            print("Open %s in a browser inside this namespace for the study list and viewer."
                  % web_url)

        if watch:
            banner("Waiting for studywatch to start the renderer on the quiet studies")
            path = os.path.join(run, "tabrin.log")

            def runs():
                return open(path).read().count("\n") if os.path.exists(path) else 0
            try:
                vt.wait_for(lambda: runs() >= len(found), 30, interval=0.5, what="renderer runs")
            except AssertionError:
                pass
            print(open(path).read() if os.path.exists(path) else "(no renderer runs yet)")

        mon.poll(6)
        banner("Monitor channel messages seen (host pid text)")
        for m in mon.messages:
            print("  " + m.decode("latin-1").rstrip("\n"))

        banner("Server log %s" % srv.logpath)
        print(srv.log())

        banner("Store tree below %s" % store)
        for root, dirs, names in os.walk(store):
            dirs.sort()
            for n in sorted(names):
                print("  " + os.path.relpath(os.path.join(root, n), store))
            for d in dirs:
                full = os.path.join(root, d)
                if os.path.islink(full):
                    print("  %s -> %s" % (os.path.relpath(full, store), os.readlink(full)))
    finally:
        for p in (watch, dcmdest, web):
            if p and p.poll() is None:
                os.killpg(p.pid, 9)
                p.wait()
        srv.stop()
        mon.close()
        banner("Stopped everything the demo started; files stay below %s" % run)


if __name__ == "__main__":
    main()

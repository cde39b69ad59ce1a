"""Shared helpers of the integration tests.

The tests start the real storeserver and studywatch programs on loopback
ports, drive them with real DICOM clients (dcmtk, odil, ctn) and read what
the programs did: files on disk, index bytes, log lines and monitor
datagrams. Every test must run inside the private network namespace that
scripts/netns-exec makes; require_private_netns() refuses to go on anywhere
else, so a test can never put a multicast datagram on a real network.
"""

import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ.get("VELTO_SOURCE", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("VELTO_BUILD", os.path.join(SOURCE, "build"))
STORESERVER = os.path.join(BUILD, "server", "storeserver")
STUDYWATCH = os.path.join(BUILD, "studywatch", "studywatch")
PYDICOM_FILES = "/usr/lib/python3/dist-packages/pydicom/data/test_files"
PYDICOM_CHARSETS = "/usr/lib/python3/dist-packages/pydicom/data/charset_files"
MCAST_GROUP = "224.0.0.1"
# Set when the programs under test are the sanitizer build's.
SANITIZED = os.environ.get("VELTO_SANITIZED") == "1"


def assert_memory_below(case, value, bound, message):
    """case.assertLess(value, bound) for a memory figure of a program under
    test. The sanitizer build's allocator keeps freed memory aside for a
    while (its quarantine) and shadows what is in use, so its figures say
    nothing of the program's own bounds: there the normal build's run of the
    same test is the check, and this one looks only for the sanitizers'
    reports."""
    if not SANITIZED:
        case.assertLess(value, bound, message)


def require_private_netns():
    """Exits the test unless this process is in a namespace with only lo."""
    # The interfaces of this process's own namespace: /sys/class/net shows
    # those of the namespace that mounted sysfs, which netns-exec does not remount.
    ifaces = sorted(name for _, name in socket.if_nameindex())
    if ifaces != ["lo"] or os.environ.get("VELTO_NETNS") != "1":
        sys.stderr.write("refusing to run: not inside the private test network namespace "
                         "(use scripts/netns-exec or scripts/run-tests); interfaces: %s\n" % ifaces)
        sys.exit(2)


_next_port = [0]


_ports = random.SystemRandom()
# Ports this test process has handed out, each held by a lock on a file of
# its own for as long as the process lives: a test that stops a server and
# starts it again on the same port leaves the port free for a moment, and a
# test running beside it must not take it then.
_PORT_LOCKS = os.path.join(tempfile.gettempdir(), "velto-test-ports")
_held_ports = []


def free_port():
    """A TCP and UDP port that nothing in this namespace uses right now,
    below the namespace's ephemeral ports (scripts/netns-exec): a port the
    kernel handed out for a bind to port 0 could be taken by an outgoing
    connection of a test running beside this one before the server that is
    to listen on it has bound it. The port stays this process's: no other
    test process is handed it while this one runs."""
    import fcntl
    os.makedirs(_PORT_LOCKS, exist_ok=True)
    while True:
        port = _ports.randrange(20000, 50000)
        fd = os.open(os.path.join(_PORT_LOCKS, str(port)), os.O_CREAT | os.O_RDWR, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.bind(("127.0.0.1", port))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("", port))
        except OSError:
            os.close(fd)
            continue
        _held_ports.append(fd)
        return port


def wait_for(pred, timeout=10.0, interval=0.05, what="condition"):
    """Polls pred() until it returns a true value, which is returned."""
    deadline = time.time() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.time() > deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(interval)


def port_open(port, host="127.0.0.1"):
    """True when some socket of this namespace listens on the TCP port.

    Read from /proc instead of connecting: a probe connection would reach the
    server as an (empty) association request and occupy a worker slot."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def group_alive(pgid):
    """Whether a process of group pgid is still running (not a zombie)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # After the command name: state, ppid, pgrp.
        if int(fields[2]) == pgid and fields[0] not in ("Z", "X"):
            return True
    return False


def stop_process(proc):
    """Kills a program started in a session of its own, with everything it
    started, and closes its pipes."""
    if proc is None:
        return
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(10)
        # The program's children (workers) die of the same signal, but not
        # at the same instant: until each has exited it still holds its
        # descriptors, locks included, and the next step of a test (a
        # rebuild that takes the store lock, a restart on the same port)
        # would race it. A zombie has closed everything.
        deadline = time.time() + 10
        while group_alive(proc.pid) and time.time() < deadline:
            time.sleep(0.01)
    for s in (proc.stdout, proc.stderr):
        if s:
            s.close()


def run(cmd, timeout=120, check=False, env=None, **kw):
    """Runs a client program; returns the CompletedProcess (text output)."""
    e = dict(os.environ)
    if env:
        e.update(env)
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                       errors="replace", timeout=timeout, env=e, **kw)
    if check and p.returncode != 0:
        raise AssertionError("%s failed with %d:\n%s\n%s" % (cmd, p.returncode, p.stdout, p.stderr))
    return p


class Monitor:
    """A plain UDP listener on the monitor channel that keeps every datagram."""

    def __init__(self, port, group=MCAST_GROUP):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("", port))
        mreq = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0"))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        self.sock.setblocking(False)
        self.port = port
        self.messages = []      # raw datagrams (bytes)

    def poll(self, seconds=0.0):
        end = time.time() + seconds
        while True:
            try:
                data, _ = self.sock.recvfrom(65536)
                self.messages.append(data)
                continue
            except BlockingIOError:
                pass
            if time.time() >= end:
                return
            time.sleep(0.02)

    def texts(self):
        """Message texts: the datagrams without host, pid and newline."""
        self.poll()
        out = []
        for m in self.messages:
            parts = m.decode("latin-1").split(" ", 2)
            if len(parts) == 3:
                out.append(parts[2].rstrip("\n"))
        return out

    def wait_text(self, pred, timeout=15.0):
        def f():
            self.poll()
            for t in self.texts():
                if pred(t):
                    return t
            return None
        return wait_for(f, timeout, what="monitor message")

    def send(self, data, port=None, source=None):
        """Sends data to the channel, from the source address if given."""
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if source is not None:
            s.bind((source, 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        s.sendto(data, (MCAST_GROUP, port or self.port))
        s.close()

    def close(self):
        self.sock.close()


class Server:
    """One storeserver with its own home directory, store and log.

    The configuration files are placed in $HOME/.velto/etc of a fresh home, so
    the server finds them along its configuration search path."""

    def __init__(self, args=(), aetmap=None, port=None, monitor_port=None, basedir=None,
                 aetitle="ARCHIVE", env=None, logfile=True, start=True, root=None):
        self.tmp = root or tempfile.mkdtemp(prefix="velto-")
        self.home = os.path.join(self.tmp, "home")
        self.etc = os.path.join(self.home, ".velto", "etc")
        os.makedirs(self.etc, exist_ok=True)
        self.basedir = basedir or os.path.join(self.tmp, "store")
        os.makedirs(self.basedir, exist_ok=True)
        with open(os.path.join(self.etc, "LocalStoreDir"), "w") as f:
            f.write(self.basedir + "\n")
        if aetmap is not None:
            with open(os.path.join(self.etc, "AETitleMap"), "w") as f:
                f.write(aetmap)
        self.port = port or free_port()
        self.monitor_port = monitor_port or self.port
        self.logpath = os.path.join(self.tmp, "server.log") if logfile else None
        self.aetitle = aetitle
        self.args = list(args)
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("progpath", None)
        if env:
            self.env.update(env)
        self.proc = None
        if start:
            self.start()

    def command(self):
        cmd = [STORESERVER, "-p", str(self.port)]
        if self.monitor_port != self.port:
            cmd += ["-m", str(self.monitor_port)]
        if self.aetitle:
            cmd += ["-a", self.aetitle]
        if self.logpath:
            cmd += ["-l", self.logpath]
        return cmd + self.args

    def start(self, wait=True, answered=False):
        """Starts the server; with wait, returns once its port is open. The
        port opens before the start's repairs (the store lock, the recovery
        of what a crash left, the study table brought up to date): the
        listener binds it first, as root, and repairs as the files' owner,
        after dropping its privileges; a connection made meanwhile waits in
        the backlog. With answered (after a restart on a store a test has
        damaged or filled), it also waits until the listener answers a
        C-ECHO, that is until the repairs are done: only then may a test
        read the store or time its first request."""
        self.proc = subprocess.Popen(self.command(), env=self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        if wait:
            wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10,
                     what="storeserver to listen")
            if self.proc.poll() is not None:
                raise AssertionError("storeserver ended with %s: %s" % (self.proc.returncode,
                                                                        self.proc.stderr.read()))
            if answered:
                self.wait_answered()
        return self

    def wait_answered(self, seconds=120):
        """Waits until the listener answers a C-ECHO: one association whose
        connection and association timeouts (echoscu's are 30 seconds)
        leave the start's repairs all the time they take."""
        p = run(["echoscu", "-to", str(seconds), "-ta", str(seconds), "-aet", "READY", "-aec",
                 self.aetitle, "127.0.0.1", str(self.port)], timeout=seconds + 30)
        if p.returncode != 0:
            raise AssertionError("storeserver did not answer after its start (%s): %s%s" % (
                "running" if self.proc.poll() is None else "ended with %s" % self.proc.returncode,
                p.stdout, p.stderr))

    def log(self):
        if not self.logpath or not os.path.exists(self.logpath):
            return ""
        with open(self.logpath, "r", errors="replace") as f:
            return f.read()

    def wait_log(self, text, timeout=15.0):
        return wait_for(lambda: text in self.log(), timeout, what="log line %r" % text)

    def stop(self):
        stop_process(self.proc)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # Clients -------------------------------------------------------------

    def echoscu(self, calling="CLIENT", called=None, extra=()):
        return run(["echoscu", "-aet", calling, "-aec", called or self.aetitle] + list(extra)
                   + ["127.0.0.1", str(self.port)])

    def storescu(self, files, calling="CLIENT", called=None, extra=(), timeout=300):
        return run(["storescu", "-aet", calling, "-aec", called or self.aetitle] + list(extra)
                   + ["127.0.0.1", str(self.port)] + list(files), timeout=timeout,
                   env={"TCP_NODELAY": "1"})

    def findscu(self, keys, level="STUDY", model="-S", calling="CLIENT", called=None, extra=()):
        """Runs findscu and returns (CompletedProcess, list of response files as pydicom data sets)."""
        outdir = tempfile.mkdtemp(prefix="find-", dir=self.tmp)
        cmd = ["findscu", model, "-aet", calling, "-aec", called or self.aetitle, "-X", "-od", outdir,
               "-k", "QueryRetrieveLevel=%s" % level]
        for k in keys:
            cmd += ["-k", k]
        p = run(cmd + list(extra) + ["127.0.0.1", str(self.port)])
        import pydicom
        found = []
        for name in sorted(os.listdir(outdir)):
            found.append(pydicom.dcmread(os.path.join(outdir, name), force=True))
        shutil.rmtree(outdir, ignore_errors=True)
        return p, found


def pydicom_file(name):
    for d in (PYDICOM_FILES, PYDICOM_CHARSETS):
        p = os.path.join(d, name)
        if os.path.exists(p):
            return p
    raise FileNotFoundError(name)


def cut_j2k(path, study, series, instance, keep=0.5):
    """pydicom's lossless JPEG 2000 MR sample with its codestream cut short
    (keep of it), under the UIDs given, written to path: an image that no
    decoder can decode."""
    import pydicom
    from pydicom.encaps import encapsulate, generate_pixel_data_frame
    ds = pydicom.dcmread(pydicom_file("MR_small_jp2klossless.dcm"))
    cs = next(generate_pixel_data_frame(ds.PixelData, 1))
    ds.PixelData = encapsulate([cs[:int(len(cs) * keep) & ~1]])
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study, series
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = instance
    ds.save_as(path)
    return path


def make_dataset(path, study, series, instance, patient_name="DOE^JOHN", patient_id="PID1",
                 modality="CT", study_date="20240102", study_time="101010", accession="ACC1",
                 sop_class="1.2.840.10008.5.1.4.1.1.7", extra=None, pixels=64):
    """Writes a small image file with the given UIDs and identifying texts.

    extra maps pydicom keywords to values; a value of None removes that element."""
    import pydicom
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = instance or "1.2.3.4"
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = sop_class
    if instance is not None:
        ds.SOPInstanceUID = instance
    if study is not None:
        ds.StudyInstanceUID = study
    if series is not None:
        ds.SeriesInstanceUID = series
    ds.PatientName = patient_name
    ds.PatientID = patient_id
    ds.PatientBirthDate = "19700101"
    ds.PatientSex = "M"
    ds.Modality = modality
    ds.StudyDate = study_date
    ds.StudyTime = study_time
    ds.AccessionNumber = accession
    ds.StudyID = "1"
    ds.SeriesNumber = "1"
    ds.InstanceNumber = "1"
    ds.StudyDescription = "TEST STUDY"
    ds.SeriesDescription = "TEST SERIES"
    ds.ReferringPhysicianName = "REF^DOC"
    if pixels:
        ds.Rows = pixels
        ds.Columns = pixels
        ds.BitsAllocated = 8
        ds.BitsStored = 8
        ds.HighBit = 7
        ds.PixelRepresentation = 0
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = "MONOCHROME2"
        ds.PixelData = bytes(pixels * pixels)
    for k, v in (extra or {}).items():
        if v is None:
            if k in ds:
                delattr(ds, k)
        else:
            setattr(ds, k, v)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    pydicom.dcmwrite(path, ds, write_like_original=False)
    return path


class ServerTestCase(unittest.TestCase):
    """Base class: starts in the private namespace, cleans up servers."""

    @classmethod
    def setUpClass(cls):
        require_private_netns()
        if not os.path.exists(STORESERVER):
            raise unittest.SkipTest("storeserver not built")

    def setUp(self):
        self._servers = []

    def tearDown(self):
        for s in self._servers:
            s.stop()
            if not getattr(self, "_keep", False):
                shutil.rmtree(s.tmp, ignore_errors=True)

    def server(self, *a, **kw):
        s = Server(*a, **kw)
        self._servers.append(s)
        return s


def main():
    require_private_netns()
    unittest.main(verbosity=2)


# ---------------------------------------------------------------------------
# The store's tree and index files, and DICOM peers of the server tests.

STUDYHASH_SIZE = 28
STUDYDATA_SIZE = 512
SERIES_RECORD_SIZE = 320
IMAGE_RECORD_SIZE = 768


def uid_path(basedir, study=None, series=None, image=None):
    """Path of a study or series directory or image file below basedir, as
    the store lays it out (bucket directories from the study UID's CRC-32)."""
    import zlib
    p = os.path.join(basedir, "uid")
    if study is not None:
        crc = zlib.crc32(study.encode())
        p = os.path.join(p, "%02X" % (crc & 0xFF), "%02X" % ((crc >> 8) & 0xFF), "study_" + study)
    if series is not None:
        p = os.path.join(p, "series_" + series)
    if image is not None:
        p = os.path.join(p, "image_" + image + ".dcm")
    return p


def read_records(path, size):
    """The fixed-size records of an index file (a trailing partial record
    fails the assertion: index files hold whole records only)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % size:
        raise AssertionError("%s: %d bytes is not a multiple of %d" % (path, len(data), size))
    return [data[i:i + size] for i in range(0, len(data), size)]


def text_field(record, offset, width):
    """A NUL-padded text field of an index record, as bytes."""
    return record[offset:offset + width].split(b"\0", 1)[0]


def live_records(path, size):
    return [r for r in read_records(path, size) if r[0] != 0]


def files_below(top, suffix=""):
    """Every file below top whose name ends with suffix."""
    out = []
    for root, _, names in os.walk(top):
        out.extend(os.path.join(root, n) for n in names if n.endswith(suffix))
    return sorted(out)


def store_statuses(output):
    """The statuses of storescu -v output: 'Success', 'Warning: ...' and so on."""
    import re
    return re.findall(r"Received Store Response \(([^)]*)\)", output)


def odil_store_raw(port, dataset_path, calling="CLIENT", called="ARCHIVE", instance=None,
                   remove=()):
    """Sends one C-STORE with odil's message API and returns its status.

    Unlike the command-line clients this can send a data set that lacks the
    elements the clients insist on: remove lists the tags (odil.registry
    names) taken out of the data set after the request's SOP class and
    instance UIDs have been read from it (or instance given here)."""
    import odil
    with odil.open(dataset_path) as f:
        _, ds = odil.Reader.read_file(f)
    sop_class = ds.as_string(odil.registry.SOPClassUID)[0].decode()
    if instance is None:
        instance = ds.as_string(odil.registry.SOPInstanceUID)[0].decode()
    for name in remove:
        ds.remove(getattr(odil.registry, name))
    assoc = odil.Association()
    assoc.set_peer_host("127.0.0.1")
    assoc.set_peer_port(port)
    params = odil.AssociationParameters()
    params.set_calling_ae_title(calling)
    params.set_called_ae_title(called)
    pc = odil.AssociationParameters.PresentationContext(
        1, sop_class, [odil.registry.ExplicitVRLittleEndian],
        odil.AssociationParameters.PresentationContext.Role.SCU)
    params.set_presentation_contexts([pc])
    assoc.set_parameters(params)
    assoc.associate()
    try:
        req = odil.messages.CStoreRequest(assoc.next_message_id(), sop_class, instance, 0, ds)
        assoc.send_message(req, sop_class)
        return odil.messages.CStoreResponse(assoc.receive_message()).get_status()
    finally:
        assoc.release()


class StoreSCP:
    """dcmtk's storescp as a move destination: listens on a free loopback
    port, writes what it receives to its own directory and logs every
    message in full (-d), so tests can read the C-STORE requests."""

    def __init__(self, tmpdir, aetitle="DEST", extra=()):
        self.aetitle = aetitle
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="scp-", dir=tmpdir)
        self.logpath = self.dir + ".log"
        self.logf = open(self.logpath, "w")
        self.proc = subprocess.Popen(["storescp", "-d", "-aet", aetitle, "-od", self.dir]
                                     + list(extra) + [str(self.port)],
                                     stdout=self.logf, stderr=subprocess.STDOUT)
        wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10,
                 what="storescp to listen")

    def map_line(self, name=None):
        """Its AE title map line."""
        return "%s\t%s\t127.0.0.1:%d\tFMS\n" % (name or self.aetitle, self.aetitle, self.port)

    def files(self):
        return sorted(os.path.join(self.dir, n) for n in os.listdir(self.dir))

    def log(self):
        self.logf.flush()
        with open(self.logpath, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        self.logf.close()


def movescu(port, keys, dest, model="-S", level="STUDY", calling="REQ", called="ARCHIVE",
            extra=(), timeout=300):
    """Runs movescu -d and returns (CompletedProcess, responses): one dict per
    C-MOVE response with status, remaining, completed, failed, warning (ints,
    None where the response left a count out) and final (bool)."""
    import re
    cmd = ["movescu", "-d", model, "-aet", calling, "-aec", called, "-aem", dest,
           "-k", "QueryRetrieveLevel=%s" % level]
    for k in keys:
        cmd += ["-k", k]
    # One stream, so the response lines stay in their order.
    p = subprocess.run(cmd + list(extra) + ["127.0.0.1", str(port)], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, errors="replace", timeout=timeout)
    responses = []
    cur = None
    for line in p.stdout.splitlines():
        m = re.search(r"Received (Final )?Move Response", line)
        if m:
            cur = {"final": bool(m.group(1))}
            responses.append(cur)
            continue
        if cur is None:
            continue
        m = re.search(r"(Remaining|Completed|Failed|Warning) Suboperations\s*:\s*(\S+)", line)
        if m:
            cur[m.group(1).lower()] = int(m.group(2)) if m.group(2).isdigit() else None
            continue
        m = re.search(r"DIMSE Status\s*:\s*0x([0-9a-fA-F]{4})", line)
        if m:
            cur["status"] = int(m.group(1), 16)
    return p, responses

"""What a C-MOVE delivers: studies of many SOP classes (the sub-association's
contexts come from the images sent), compressed images decoded for a
destination that takes only uncompressed syntaxes, and UID lists in the
identifier. Destinations are dcmtk's storescp and a storage SCP written with
the npm package dcmjs-dimse."""

import io
import os
import re
import shutil
import subprocess
import tempfile

import pydicom

import veltotest as vt
from veltotest import ServerTestCase, StoreSCP, make_dataset, movescu, pydicom_file

NODE_SCP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dimse_scp.js")
NODE_MODULES = os.path.join(vt.SOURCE, ".deps", "npm", "node_modules")

STUDY = "1.2.826.30.1"
SERIES = "1.2.826.30.1.1"

# Storage classes from the end of the toolkit's list, beyond its first 128.
LATE_CLASSES = {
    "US": "1.2.840.10008.5.1.4.1.1.6.1",
    "USMF": "1.2.840.10008.5.1.4.1.1.3.1",
    "XA": "1.2.840.10008.5.1.4.1.1.12.1",
    "RF": "1.2.840.10008.5.1.4.1.1.12.2",
    "ES": "1.2.840.10008.5.1.4.1.1.77.1.1",
    "XC": "1.2.840.10008.5.1.4.1.1.77.1.4",
}
ECG_CLASS = "1.2.840.10008.5.1.4.1.1.9.1.1"
DOSE_SR_CLASS = "1.2.840.10008.5.1.4.1.1.88.67"
PLAIN = ("1.2.840.10008.1.2.1", "1.2.840.10008.1.2")


def comparable(ds):
    """A data set's elements without group lengths and padding."""
    return {e.tag: e.value for e in ds if e.tag.element != 0 and e.tag != 0xFFFCFFFC}


def rewrite(src, path, study, series, instance, sop_class=None):
    """Copies a sample file into the study under new UIDs (and class)."""
    ds = pydicom.dcmread(src)
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = series
    ds.SOPInstanceUID = instance
    ds.file_meta.MediaStorageSOPInstanceUID = instance
    if sop_class:
        ds.SOPClassUID = sop_class
        ds.file_meta.MediaStorageSOPClassUID = sop_class
    ds.PatientID = "PID1"
    ds.save_as(path)
    return path


class NodeSCP:
    """The dcmjs-dimse storage SCP (tests/server/dimse_scp.js)."""

    def __init__(self, tmpdir, aetitle="NODEDEST"):
        self.aetitle = aetitle
        self.port = vt.free_port()
        self.dir = tempfile.mkdtemp(prefix="node-", dir=tmpdir)
        self.log = open(self.dir + ".log", "w")
        self.proc = subprocess.Popen(["node", NODE_SCP, str(self.port), self.dir],
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     env=dict(os.environ, NODE_PATH=NODE_MODULES),
                                     start_new_session=True)
        vt.wait_for(lambda: vt.port_open(self.port) or self.proc.poll() is not None, 10,
                    what="the node SCP to listen")

    def map_line(self):
        return "%s\t%s\t127.0.0.1:%d\tFMS\n" % (self.aetitle, self.aetitle, self.port)

    def datasets(self):
        """The received data sets, read from the bytes that came."""
        out = []
        for name in sorted(os.listdir(self.dir)):
            ts = name[:-len(".raw")].split("_")[1]
            with open(os.path.join(self.dir, name), "rb") as f:
                out.append(pydicom.filereader.read_dataset(io.BytesIO(f.read()),
                                                           ts == "1.2.840.10008.1.2", True))
        return out

    def stop(self):
        vt.stop_process(self.proc)
        self.log.close()


class RetrieveTests(ServerTestCase):

    def setUp(self):
        super().setUp()
        self._peers = []
        self._tmp = tempfile.mkdtemp(prefix="velto-retrieve-")

    def tearDown(self):
        for p in self._peers:
            p.stop()
        shutil.rmtree(self._tmp, ignore_errors=True)
        super().tearDown()

    def peer(self, p):
        self._peers.append(p)
        return p

    def finals(self, responses):
        f = [r for r in responses if r["final"]]
        self.assertEqual(len(f), 1, responses)
        return f[0]["status"], f[0]["completed"], f[0]["failed"], f[0]["warning"]

    def late_class_study(self, s):
        """Stores one object of each late class; returns their files."""
        files = []
        for i, (modality, cls) in enumerate(sorted(LATE_CLASSES.items())):
            extra = {"InstanceNumber": str(i + 1)}
            if modality == "USMF":
                extra.update(NumberOfFrames="2", PixelData=bytes(2 * 32 * 32))
            files.append(make_dataset(os.path.join(s.tmp, "late%d.dcm" % i), STUDY, SERIES,
                                      "%s.%d" % (SERIES, i + 1), modality=modality[:2],
                                      sop_class=cls, extra=extra, pixels=32))
        files.append(rewrite(pydicom_file("waveform_ecg.dcm"), os.path.join(s.tmp, "ecg.dcm"),
                             STUDY, SERIES + ".2", SERIES + ".2.1"))
        files.append(rewrite(pydicom_file("test-SR.dcm"), os.path.join(s.tmp, "dose.dcm"),
                             STUDY, SERIES + ".3", SERIES + ".3.1", sop_class=DOSE_SR_CLASS))
        p = s.storescu(files, extra=["-R"])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return files

    def assert_received(self, files, received):
        """received (data sets) holds exactly the files' data sets, every
        element value unchanged."""
        want = {str(pydicom.dcmread(f).SOPInstanceUID): pydicom.dcmread(f) for f in files}
        got = {str(ds.SOPInstanceUID): ds for ds in received}
        self.assertEqual(sorted(got), sorted(want))
        for uid, ds in got.items():
            self.assertEqual(comparable(ds), comparable(want[uid]), uid)

    def test_late_storage_classes_reach_both_destinations(self):
        # Regression: the sub-association proposed only the toolkit's first
        # 128 storage classes, so none of these was ever sent.
        scp = self.peer(StoreSCP(self._tmp))
        node = self.peer(NodeSCP(self._tmp))
        s = self.server(aetmap=scp.map_line() + node.map_line())
        files = self.late_class_study(s)
        for dest, received in ((scp, lambda: [pydicom.dcmread(f) for f in scp.files()]),
                               (node, node.datasets)):
            _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], dest.aetitle)
            self.assertEqual(self.finals(responses), (0x0000, len(files), 0, 0))
            self.assert_received(files, received())

    def test_stored_syntax_accepted_sends_the_stored_bytes(self):
        # An image whose stored syntax the destination accepts goes out as
        # the data set bytes of its file, unchanged.
        node = self.peer(NodeSCP(self._tmp))
        s = self.server(aetmap=node.map_line())
        files = [make_dataset(os.path.join(s.tmp, "b%d.dcm" % i), STUDY, SERIES,
                              "%s.%d" % (SERIES, i + 1), pixels=16 * (i + 1)) for i in range(3)]
        self.assertEqual(s.storescu(files).returncode, 0)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], node.aetitle)
        self.assertEqual(self.finals(responses), (0x0000, 3, 0, 0))
        received = sorted(os.listdir(node.dir))
        self.assertEqual(received, ["%s.%d_%s.raw" % (SERIES, i, PLAIN[0]) for i in (1, 2, 3)])
        for i in (1, 2, 3):
            with open(vt.uid_path(s.basedir, STUDY, SERIES, "%s.%d" % (SERIES, i)), "rb") as f:
                stored = f.read()
            # The meta header ends where its group length (0002,0000) says.
            self.assertEqual(stored[132:136], b"\x02\x00\x00\x00")
            start = 144 + int.from_bytes(stored[140:144], "little")
            with open(os.path.join(node.dir, received[i - 1]), "rb") as f:
                self.assertEqual(f.read(), stored[start:])

    def test_more_than_128_contexts_go_over_a_second_association(self):
        # Every storage class dcmtk knows; the server takes those of the
        # toolkit's storage list (storescu goes on past the others).
        with open("/usr/include/dcmtk/dcmdata/dcuid.h") as f:
            known = re.findall(r'#define UID_\w+Storage\s+"([0-9.]+)"', f.read())
        classes = sorted(set(known) - {"1.2.840.10008.1.3.10"})
        scp = self.peer(StoreSCP(self._tmp, extra=["--promiscuous"]))
        s = self.server(aetmap=scp.map_line())
        files = [make_dataset(os.path.join(s.tmp, "c%d.dcm" % i), STUDY, SERIES,
                              "%s.%d" % (SERIES, i + 1), sop_class=cls, pixels=0)
                 for i, cls in enumerate(classes)]
        # storescu, too, has at most 128 contexts to an association.
        for i in range(0, len(files), 50):
            s.storescu(files[i:i + 50], extra=["-R", "-nh"])
        stored = len(vt.files_below(vt.uid_path(s.basedir, STUDY), ".dcm"))
        self.assertGreater(stored, 128)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        self.assertEqual(self.finals(responses), (0x0000, stored, 0, 0))
        self.assertEqual(len(scp.files()), stored)
        vt.wait_for(lambda: scp.log().count("Association Release") == 2, timeout=10,
                    what="two released associations")
        self.assertEqual(scp.log().count("BEGIN A-ASSOCIATE-RQ"), 2)

    def test_compressed_images_decoded_for_an_uncompressed_destination(self):
        # Regression: of plain, JPEG, plain, plain only the first arrived at
        # a storescp without compression options (completed 1, failed 3).
        scp = self.peer(StoreSCP(self._tmp))
        s = self.server(aetmap=scp.map_line())
        series = [make_dataset(os.path.join(s.tmp, "p%d.dcm" % i), STUDY, SERIES,
                               "%s.%d" % (SERIES, i + 1)) for i in (0, 2, 3)]
        jpeg = rewrite(pydicom_file("SC_rgb_jpeg_dcmtk.dcm"), os.path.join(s.tmp, "j.dcm"), STUDY,
                       SERIES, SERIES + ".2")
        for f in (series[0], jpeg, series[1], series[2]):
            self.assertEqual(s.storescu([f], extra=["-xy"] if f == jpeg else []).returncode, 0)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        self.assertEqual(self.finals(responses), (0x0000, 4, 0, 0))
        got = {str(pydicom.dcmread(f).SOPInstanceUID): pydicom.dcmread(f) for f in scp.files()}
        self.assertEqual(len(got), 4)
        decoded = got[SERIES + ".2"]
        orig = pydicom.dcmread(jpeg)
        self.assertIn(decoded.file_meta.TransferSyntaxUID, PLAIN)
        self.assertEqual(len(decoded.PixelData),
                         orig.Rows * orig.Columns * orig.SamplesPerPixel)
        # A JPEG 2000 image cut short, which no decoder decodes, is the one
        # failure (a whole one is decoded: tests/web/test_j2k.py).
        j2k = vt.cut_j2k(os.path.join(s.tmp, "k.dcm"), STUDY, SERIES, SERIES + ".9")
        self.assertEqual(s.storescu([j2k], extra=["-xv"]).returncode, 0)
        for f in scp.files():
            os.unlink(f)
        _, responses = movescu(s.port, ["StudyInstanceUID=" + STUDY], scp.aetitle)
        self.assertEqual(self.finals(responses), (0xB000, 4, 1, 0))
        self.assertEqual(len(scp.files()), 4)
        s.wait_log("MOVE/STORE:Cannot decode")

    def test_uid_lists_move_exactly_the_listed_objects(self):
        scp = self.peer(StoreSCP(self._tmp))
        s = self.server(aetmap=scp.map_line())
        long_uid = "1." + "2" * 62
        layout = {("1.2.826.31.1", "1.2.826.31.1.1"): 2, ("1.2.826.31.1", "1.2.826.31.1.2"): 2,
                  ("1.2.826.31.2", "1.2.826.31.2.1"): 1, ("1.2.826.31.3", long_uid): 2}
        files = []
        for (study, series), n in layout.items():
            for i in range(n):
                uid = long_uid[:-1] + str(i) if series == long_uid else "%s.%d" % (series, i)
                files.append(make_dataset(os.path.join(s.tmp, "u%d.dcm" % len(files)), study,
                                          series, uid))
        self.assertEqual(s.storescu(files).returncode, 0)

        def move(level, keys):
            for f in scp.files():
                os.unlink(f)
            _, responses = movescu(s.port, keys, scp.aetitle, level=level)
            return self.finals(responses), sorted(str(pydicom.dcmread(f).SOPInstanceUID)
                                                  for f in scp.files())

        # Regression: a list was compared as one UID, and answered success
        # having sent nothing.
        self.assertEqual(move("STUDY", ["StudyInstanceUID=1.2.826.31.2\\1.2.826.31.3\\9.9"]),
                         ((0, 3, 0, 0), ["1.2.826.31.2.1.0", long_uid[:-1] + "0",
                                         long_uid[:-1] + "1"]))
        self.assertEqual(move("SERIES", ["StudyInstanceUID=1.2.826.31.1",
                                         "SeriesInstanceUID=1.2.826.31.1.2\\1.2.826.31.1.7"]),
                         ((0, 2, 0, 0), ["1.2.826.31.1.2.0", "1.2.826.31.1.2.1"]))
        self.assertEqual(move("IMAGE", ["StudyInstanceUID=1.2.826.31.1",
                                        "SeriesInstanceUID=1.2.826.31.1.1",
                                        "SOPInstanceUID=1.2.826.31.1.1.1\\1.2.826.31.1.1.5"]),
                         ((0, 1, 0, 0), ["1.2.826.31.1.1.1"]))
        # Regression: keys were compared on their first 64 characters, so a
        # list starting with a 64-character UID sent that image, and any
        # longer value whose start equals a stored UID matched it.
        first = long_uid[:-1] + "0"
        self.assertEqual(move("IMAGE", ["StudyInstanceUID=1.2.826.31.3",
                                        "SeriesInstanceUID=" + long_uid,
                                        "SOPInstanceUID=%s\\%s" % (first, long_uid[:-1] + "1")]),
                         ((0, 2, 0, 0), [first, long_uid[:-1] + "1"]))
        self.assertEqual(move("STUDY", ["StudyInstanceUID=1.2.826.31.2.5"]), ((0, 0, 0, 0), []))
        # 65 characters are no UID: the identifier is refused (A900), as
        # every identifier naming something that is not a UID.
        self.assertEqual(move("SERIES", ["StudyInstanceUID=1.2.826.31.3",
                                         "SeriesInstanceUID=" + long_uid + "1"]),
                         ((0xA900, 0, 0, 0), []))


if __name__ == "__main__":
    vt.main()

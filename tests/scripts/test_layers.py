"""The subsystems stay layered: runtime < dicomnet, aetitlemap, objstore, hl7 < access,
index, codec < store < core < server, web < storeindex, studywatch. A source file
includes headers of its own directory and of lower layers only, and a
library links only libraries of lower layers (so the index library works
without the store, the store without the server). A header of a layer
that nobody includes from above would be just as wrong the other way round,
so the check covers every #include and every target_link_libraries of the
tree's subsystems. The protocol front ends (server/, web/) reach the store
and the index only through the archive core (core/archive.h): none of
their files includes a header of store/ or index/, and none flushes a file
itself: putting images on disk is the core's (archive_flushImage for
storage commitment, archive_flush for the index). Both ways an image comes
in (C-STORE, STOW-RS) go through one receive in the core. storeindex is a
front end as well: it reaches the store through core/maintenance.h alone.
Nor does a front end make a store, take the store lock or run the
recovery: each opens the one archive object of its process (archive_open).
The core itself reaches the index only through its interface
(index/indexbackend.h) and the key matcher above every backend."""

import os
import re
import unittest

import veltotest as vt

TOP = vt.SOURCE

# Layer of each subsystem directory; one directory may use another only when
# the other's layer is lower. Directories of one layer know nothing of each
# other.
RANK = {
    "runtime": 0,
    "dicomnet": 1,
    "aetitlemap": 1,
    "objstore": 1,
    "hl7": 1,
    "access": 2,
    "index": 2,
    "codec": 2,
    "store": 3,
    "core": 4,
    "server": 5,
    "web": 5,
    "storeindex": 6,
    "studywatch": 6,
}

FRONT_ENDS = ("server", "web")
INCLUDE_PATH = re.compile(r'^\s*#\s*include\s+"([a-z]+/[^"]+)"', re.M)

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)
FLUSH_CALL = re.compile(r"\b(fsync|fdatasync|syncfs|sync_file_range)\s*\(")
OPEN_CALL = re.compile(r"\b(open|openat|fopen|creat)\s*\(")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
LOCAL_STORE = re.compile(r"\bLocalStore\b")
# What only the archive object does: make the store, lock it, recover it.
STORE_OWNER = re.compile(r"\b(LocalStore|LockStore|archive_lock|archive_recover|flock)\b")
LINK = re.compile(r"target_link_libraries\(\s*(\w+)([^)]*)\)", re.S)

# What core/ may include of index/: the index's interface and the key
# matcher, which stays above every backend.
CORE_INDEX_HEADERS = {"index/indexbackend.h", "index/keymatch.h", "index/querymatch.h",
                      "index/uidtree.h"}
# The index's own functions (its file formats, table and walks) and the
# store's entry points to them: the core calls none of them, it asks the
# backend (LocalStore::index()).
INDEX_CALL = re.compile(
    r"\b(finddataset_\w+|retrievelist_\w+|studytable_\w+|studyindex_\w+|studykeys_\w+|"
    r"FindDataset|EndFind|getIndex|LocateImages|refreshStudyTable|studyTableStale|"
    r"compactStudyHash|updateStudyHash|getStudyTable|markStudyDeleted|studyDataMake)\b")


def sources(directory):
    for root, _, files in os.walk(os.path.join(TOP, directory)):
        for name in files:
            if name.endswith((".cc", ".h")):
                yield os.path.join(root, name)


def strip_comments(code):
    """code without its comments (a comment may name a call it does not make)."""
    return COMMENT.sub("", code)


def library_dir(target):
    """Subsystem of a library target velto_<dir>, else None."""
    if target.startswith("velto_") and target[6:] in RANK:
        return target[6:]
    return None


class LayersTest(unittest.TestCase):
    def test_includes_point_down(self):
        wrong, seen = [], 0
        for d in RANK:
            for path in sources(d):
                with open(path, errors="replace") as f:
                    text = f.read()
                for used in INCLUDE.findall(text):
                    if used not in RANK:
                        continue
                    seen += 1
                    if used != d and RANK[used] >= RANK[d]:
                        wrong.append("%s includes %s/" % (os.path.relpath(path, TOP), used))
        self.assertGreater(seen, 100)
        self.assertEqual(wrong, [])

    def test_front_ends_use_the_core(self):
        direct = []
        for d in FRONT_ENDS:
            for path in sources(d):
                with open(path, errors="replace") as f:
                    for used in INCLUDE_PATH.findall(f.read()):
                        if used.split("/")[0] in ("store", "index"):
                            direct.append("%s includes %s" % (os.path.relpath(path, TOP), used))
        self.assertEqual(direct, [], "front-end files that bypass core/archive.h")

    def test_storeindex_uses_the_core(self):
        """storeindex is a front end too: it opens the store, checks,
        rebuilds and moves through core/maintenance.h, and none of its files
        includes a header of store/ or index/ or constructs a LocalStore."""
        direct, seen = [], 0
        for path in sources("storeindex"):
            seen += 1
            rel = os.path.relpath(path, TOP)
            with open(path, errors="replace") as f:
                text = f.read()
            for used in INCLUDE_PATH.findall(text):
                if used.split("/")[0] in ("store", "index"):
                    direct.append("%s includes %s" % (rel, used))
            if LOCAL_STORE.search(strip_comments(text)):
                direct.append("%s constructs a LocalStore" % rel)
        self.assertGreater(seen, 0)
        self.assertEqual(direct, [], "storeindex files that bypass core/maintenance.h")

    def test_front_ends_open_the_archive(self):
        """No front-end file names the store's class, takes the store lock or
        runs the recovery (comments aside: "LocalStoreDir", the site file,
        is no use of the class); each opens the archive with archive_open."""
        wrong, opened = [], set()
        for d in FRONT_ENDS:
            for path in sources(d):
                with open(path, errors="replace") as f:
                    code = strip_comments(f.read())
                rel = os.path.relpath(path, TOP)
                wrong += ["%s uses %s" % (rel, m) for m in STORE_OWNER.findall(code)]
                if re.search(r"\barchive_open\s*\(", code):
                    opened.add(d)
        self.assertEqual(wrong, [], "front-end files that reach the store past archive_open")
        self.assertEqual(opened, set(FRONT_ENDS))

    def test_core_reaches_the_index_through_its_interface(self):
        """core/ includes of index/ only the interface (index/indexbackend.h)
        and the key matcher, and calls none of the index's functions nor the
        store's index entry points: a second backend plugs in below it."""
        wrong = []
        for path in sources("core"):
            with open(path, errors="replace") as f:
                text = f.read()
            rel = os.path.relpath(path, TOP)
            wrong += ["%s includes %s" % (rel, used) for used in INCLUDE_PATH.findall(text)
                      if used.startswith("index/") and used not in CORE_INDEX_HEADERS]
            wrong += ["%s calls %s" % (rel, m)
                      for m in sorted(set(INDEX_CALL.findall(strip_comments(text))))]
        self.assertEqual(wrong, [], "core files that reach past the index interface")

    def test_front_ends_flush_nothing(self):
        """No front-end file calls fsync, fdatasync, syncfs or sync_file_range,
        and the commitment handler opens no file: it checks and flushes each
        image through archive_flushImage."""
        flushes = []
        for d in FRONT_ENDS:
            for path in sources(d):
                with open(path, errors="replace") as f:
                    code = strip_comments(f.read())
                rel = os.path.relpath(path, TOP)
                flushes += ["%s calls %s" % (rel, m) for m in FLUSH_CALL.findall(code)]
                if rel == os.path.join("server", "commithandler.cc"):
                    flushes += ["%s calls %s" % (rel, m) for m in OPEN_CALL.findall(code)]
        self.assertEqual(flushes, [], "front-end files that flush or open image files themselves")

    def test_one_receive_path(self):
        """C-STORE and STOW-RS receive an image through one core type,
        archive_receive (core/receive.h): neither front end walks the bytes,
        sets limits on the walk, chooses between storing as they come and
        parsing, or feeds the store's incoming image itself; and the network
        layer hands a C-STORE's bytes to a sink rather than calling up into
        the server once per piece."""
        own = re.compile(r"\b(elementwalk_\w+|archive_(?:begin|feed|end)Incoming|"
                         r"archive_incomingHead|archive_uploadCheck|archive_checkUpload|"
                         r"ELEMENTWALK_MAX_\w+|DcmXfer|dicomnet_store_guard)\b")
        users = {}
        for rel in (os.path.join("server", "storehandler.cc"), os.path.join("web", "stow.cc")):
            with open(os.path.join(TOP, rel), errors="replace") as f:
                text = f.read()
            code = strip_comments(text)
            self.assertNotIn("dicomnet/elementwalk.h", INCLUDE_PATH.findall(text), rel)
            self.assertEqual(sorted(set(own.findall(code))), [], rel)
            self.assertIn("core/receive.h", INCLUDE_PATH.findall(text), rel)
            users[rel] = re.findall(r"\barchive_receive\b", code)
        self.assertTrue(all(users.values()), users)
        with open(os.path.join(TOP, "core", "receive.h")) as f:
            self.assertRegex(f.read(), r"class archive_receive\s*:\s*public dicomnet_store_sink")
        with open(os.path.join(TOP, "dicomnet", "dicomnet.h")) as f:
            self.assertRegex(f.read(), r"class dicomnet_store_sink\b")
        with open(os.path.join(TOP, "dicomnet", "provider.cc")) as f:
            provider = strip_comments(f.read())
        self.assertNotIn("dicomnet_store_guard", provider)
        self.assertNotIn("->inspect(", provider)

    def test_libraries_link_down(self):
        links = {}
        for root, _, files in os.walk(TOP):
            if "CMakeLists.txt" not in files or "/build" in root or "/.deps" in root:
                continue
            if os.path.relpath(root, TOP).split(os.sep)[0] in ("tests", "bench"):
                continue
            with open(os.path.join(root, "CMakeLists.txt")) as f:
                for target, args in LINK.findall(f.read()):
                    d = library_dir(target)
                    if d:
                        links.setdefault(d, set()).update(
                            filter(None, map(library_dir, args.split())))
        # The index library exists on its own and links no store.
        self.assertIn("index", links)
        self.assertIn("index", links["store"])
        wrong = ["velto_%s links velto_%s" % (d, used)
                 for d, used_set in sorted(links.items()) for used in sorted(used_set)
                 if used != d and RANK[used] >= RANK[d]]
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    unittest.main()

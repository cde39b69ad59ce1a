// The archive core: ingest (statuses, patient links, its listeners, the
// announcement on a socket), the query walk, and the selection of a
// retrieve.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcfilefo.h"

#include "core/archive.h"
#include "core/forward.h"
#include "core/listener.h"
#include "core/receive.h"
#include "dicomnet/elementwalk.h"
#include "store/capacity.h"
#include "tests/store/storetest.h"

namespace
{

// A listener of ingest that notes what it is told: each image stored
// ("study series instance"), and whether its file was in place then. With
// veto it refuses every image before it is placed; with failKeep its hold
// cannot be kept.
struct Recorder : archive_listener {
    std::vector<std::string> told;
    std::vector<bool> fileThere;
    bool hold = false, veto = false, failKeep = false;
    int held = 0, kept = 0, takenBack = 0, left = 0;
    std::function<void(const archive_event &)> onStored;

    struct recorderHold : archive_hold {
        Recorder *r;
        explicit recorderHold(Recorder *r) : r(r) {}
        int keep() override
        {
            r->kept++;
            return r->failKeep ? -1 : 0;
        }
        void takenBack() override { r->takenBack++; }
        void leave() override { r->left++; }
    };
    bool holds(const archive_event &) override { return hold || veto; }
    int beforePlace(const archive_event &, std::unique_ptr<archive_hold> *h) override
    {
        if (veto)
            return -1;
        held++;
        h->reset(new recorderHold(this));
        return 0;
    }
    void stored(const archive_event &e) override
    {
        told.push_back(e.uids->study + " " + e.uids->series + " " + e.uids->sopInstance);
        fileThere.push_back(exists(archive_imagePath(
            e.ctx, e.uids->study.c_str(), e.uids->series.c_str(), e.uids->sopInstance.c_str())));
        if (onStored)
            onStored(e);
    }
};

struct Archive {
    TempDir dir;
    LocalStore store{dir.c_str()};
    archive_context ctx;
    Recorder recorder;
    std::vector<std::string> &stored = recorder.told;
    int listenSock = -1, sendSock = -1;

    Archive()
    {
        ctx.store = &store;
        archive_addListener(&ctx, &recorder);
        // A UDP socket on the loopback stands in for the monitor channel.
        listenSock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listenSock, (sockaddr *)&a, len);
        getsockname(listenSock, (sockaddr *)&a, &len);
        sendSock = socket(AF_INET, SOCK_DGRAM, 0);
        connect(sendSock, (sockaddr *)&a, len);
        ctx.monitorSock = &sendSock;
    }
    ~Archive()
    {
        close(listenSock);
        close(sendSock);
    }
    unsigned ingest(const char *study, const char *series, const char *sop, int overwrite = 0)
    {
        std::unique_ptr<DcmDataset> ds(makeImage(study, series, sop));
        return archive_ingest(&ctx, ds.get(), overwrite, nullptr);
    }
    // The datagrams sent so far, without their "host pid " framing.
    std::vector<std::string> announced()
    {
        std::vector<std::string> out;
        char buf[2048];
        ssize_t n;
        while ((n = recv(listenSock, buf, sizeof buf, 0)) > 0) {
            std::string text(buf, (size_t)n);
            size_t at = text.find("STORAGE");
            out.push_back(at == std::string::npos ? text : text.substr(at));
        }
        return out;
    }
};

} // namespace

// Two archives in one process (a second node, a test harness) refuse by
// their own capacity policies, and each tells of its own refusals: one
// store's full disk neither refuses nor silences the other's images.
TEST(ArchiveIngest, CapacityPolicyPerArchive)
{
    Archive full, roomy;
    capacity_policy all;
    all.percent = 100; // no store has that much free
    full.store.getCapacity()->policy = all;
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, full.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_EQ((unsigned)ARCHIVE_STORED, roomy.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_FALSE(exists(archive_imagePath(&full.ctx, "1.2.3", "4.5", "6.7")));
    EXPECT_TRUE(exists(archive_imagePath(&roomy.ctx, "1.2.3", "4.5", "6.7")));
    // The refusal is announced once; the other archive's rate limit is its own.
    std::vector<std::string> said = full.announced();
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ(0u, said[0].find("STORAGE FULL ")) << said[0];
    roomy.store.getCapacity()->policy = all;
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, roomy.ingest("1.2.3", "4.5", "6.8"));
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, full.ingest("1.2.3", "4.5", "6.8"));
    said = roomy.announced(); // its store, then its refusal
    ASSERT_EQ(2u, said.size());
    EXPECT_EQ(0u, said[1].find("STORAGE FULL ")) << said[1];
    EXPECT_TRUE(full.announced().empty()); // told less than a minute ago
}

TEST(ArchiveIngest, StatusesHookAndAnnouncement)
{
    Archive a;
    EXPECT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_EQ((unsigned)ARCHIVE_EXISTS, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7", 1));
    EXPECT_EQ((unsigned)ARCHIVE_CANNOT_UNDERSTAND, a.ingest("1.2.3", "4/5", "6.8"));
    EXPECT_EQ((unsigned)ARCHIVE_CANNOT_UNDERSTAND, a.ingest("1.2.3", nullptr, "6.9"));
    // Only what was stored is noted and announced.
    EXPECT_EQ(std::vector<std::string>({"1.2.3 4.5 6.7", "1.2.3 4.5 6.7"}), a.stored);
    EXPECT_EQ(std::vector<std::string>(
                  {"STORAGE STOREUID 1.2.3 4.5 6.7\n", "STORAGE STOREUID 1.2.3 4.5 6.7\n"}),
              a.announced());
    EXPECT_EQ(0, archive_flush(&a.ctx));
    EXPECT_FALSE(exists(a.dir / "patient"));
}

TEST(ArchiveIngest, PatientLinksWhenTheSiteKeepsThem)
{
    Archive a;
    a.ctx.patientLinks = true;
    a.ctx.monitorSock = nullptr;
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7"));
    std::vector<std::string> links;
    std::function<void(const std::string &)> walk = [&](const std::string &d) {
        DIR *dir = opendir(d.c_str());
        for (dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
            std::string name = e->d_name, path = d + "/" + name;
            struct stat st;
            if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                walk(path);
            else if (S_ISLNK(st.st_mode))
                links.push_back(path);
        }
        if (dir != nullptr)
            closedir(dir);
    };
    walk(a.dir / "patient");
    ASSERT_EQ(1u, links.size());
    char target[PATH_MAX], image[PATH_MAX];
    ASSERT_NE(nullptr, realpath(links[0].c_str(), target));
    ASSERT_NE(nullptr, realpath(archive_imagePath(&a.ctx, "1.2.3", "4.5", "6.7").c_str(), image));
    EXPECT_STREQ(image, target);
    EXPECT_TRUE(a.announced().empty());
}

TEST(ArchiveQuery, WalksEndsEarlyAndSelects)
{
    Archive a;
    for (const char *sop : {"6.1", "6.2", "6.3"})
        ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", sop));
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.9", "4.9", "6.9"));
    archive_refresh(&a.ctx);

    DcmDataset q;
    q.putAndInsertString(DCM_QueryRetrieveLevel, "IMAGE");
    q.putAndInsertString(DCM_StudyInstanceUID, "1.2.3");
    q.insertEmptyElement(DCM_SOPInstanceUID);
    std::vector<std::string> found;
    {
        archive_query walk(&a.ctx, &q);
        DcmDataset *m = nullptr;
        while (walk.next(&m) == 0) {
            OFString sop;
            m->findAndGetOFString(DCM_SOPInstanceUID, sop);
            found.push_back(sop.c_str());
            delete m;
            m = nullptr;
        }
        delete m;
        // Once ended, a walk stays ended.
        EXPECT_EQ(1, walk.next(&m));
    }
    EXPECT_EQ(std::vector<std::string>({"6.1", "6.2", "6.3"}), found);
    {
        // Ended after the first match: the rest is never read.
        archive_query walk(&a.ctx, &q);
        DcmDataset *m = nullptr;
        ASSERT_EQ(0, walk.next(&m));
        delete m;
        walk.end();
        m = nullptr;
        EXPECT_EQ(1, walk.next(&m));
        EXPECT_EQ(nullptr, m);
    }

    DcmDataset r;
    r.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    r.putAndInsertString(DCM_StudyInstanceUID, "1.2.9\\1.2.3");
    std::vector<archive_image> images;
    ASSERT_EQ(ARCHIVE_SELECTED, archive_select(&a.ctx, &r, &images));
    ASSERT_EQ(4u, images.size());
    for (const archive_image &im : images) {
        EXPECT_EQ(
            archive_imagePath(&a.ctx, im.study.c_str(), im.series.c_str(), im.instance.c_str()),
            im.path);
        EXPECT_EQ(UID_SecondaryCaptureImageStorage, im.sopClass);
    }
    DcmDataset bad;
    bad.putAndInsertString(DCM_QueryRetrieveLevel, "SERIES");
    EXPECT_EQ(ARCHIVE_BAD_IDENTIFIER, archive_select(&a.ctx, &bad, &images));
}

// The check of an upload as it arrives answers as the check of its file
// does, however the bytes are cut: for sample files of several syntaxes (a
// deflated one, and one without a meta header, are left to the file's
// check) whole and cut short. (A part nested too deep: web_test_limits.)
TEST(ArchiveUpload, CheckAsItArrivesAgreesWithTheFile)
{
    const char *dir = "/usr/lib/python3/dist-packages/pydicom/data/test_files";
    std::vector<std::string> files;
    for (const char *name : {"CT_small.dcm", "MR_small.dcm", "JPEG2000.dcm", "SC_rgb_rle.dcm",
                             "rtplan.dcm", "image_dfl.dcm", "no_meta.dcm", "MR_truncated.dcm"})
        files.push_back(std::string(dir) + "/" + name);
    TempDir tmp;
    int compared = 0;
    for (const std::string &path : files) {
        std::string bytes = readFile(path);
        ASSERT_FALSE(bytes.empty()) << path;
        for (size_t cut : {bytes.size(), bytes.size() / 2}) {
            std::string part = bytes.substr(0, cut);
            std::string copy = tmp / "copy.dcm";
            FILE *f = fopen(copy.c_str(), "wb");
            fwrite(part.data(), 1, part.size(), f);
            fclose(f);
            int fd = open(copy.c_str(), O_RDONLY);
            int fromFile = archive_checkUpload(fd, 1 << 30, tmp.c_str());
            close(fd);
            if (path.find("CT_small") != std::string::npos && cut == bytes.size()) {
                EXPECT_EQ(fromFile, ARCHIVE_UPLOAD_WHOLE);
            }
            for (size_t piece : {(size_t)1, (size_t)7, (size_t)4096, part.size() + 1}) {
                archive_uploadCheck check;
                for (size_t at = 0; at < part.size(); at += piece)
                    check.feed((const unsigned char *)part.data() + at,
                               std::min(piece, part.size() - at));
                int streamed = check.finish();
                if (streamed == ARCHIVE_UPLOAD_FOREIGN)
                    continue; // the caller asks the file's check (deflated, no meta header)
                EXPECT_EQ(streamed, fromFile) << path << " cut at " << cut << " in " << piece;
                compared++;
            }
        }
    }
    EXPECT_GE(compared, 40);
}

// The temporary files the store's streamed path left under dir.
static int tmpFiles;
static int leftOver(const std::string &dir)
{
    tmpFiles = 0;
    nftw(
        dir.c_str(),
        [](const char *path, const struct stat *, int type, struct FTW *) {
            size_t n = strlen(path);
            if (type == FTW_F && n > 4 && strcmp(path + n - 4, ".tmp") == 0)
                tmpFiles++;
            return 0;
        },
        16, FTW_PHYS);
    return tmpFiles;
}

// Fed with an archive, an upload in Explicit VR Little Endian or a
// compressed syntax is written by the store as it arrives, one in Implicit
// VR or big endian converted as it arrives, and what is stored is the data
// set sent; a deflated one is left to the caller, with every byte held
// until its route was known. On the store's route an element out
// of order past the head is refused (only the head is parsed), as is a cut
// upload, and neither leaves a file behind.
TEST(ArchiveUpload, StoredAsItArrives)
{
    Archive a;
    TempDir tmp;
    const char *dir = "/usr/lib/python3/dist-packages/pydicom/data/test_files";
    struct sample {
        std::string path;
        int route;
    };
    std::vector<sample> samples;
    // Implicit VR (rtplan.dcm) and big endian are converted as they arrive;
    // a deflated file is kept by the caller.
    for (const char *name :
         {"CT_small.dcm", "JPEG2000.dcm", "SC_rgb_rle.dcm", "rtplan.dcm", "MR_small_bigendian.dcm"})
        samples.push_back({std::string(dir) + "/" + name, archive_uploadCheck::ROUTE_STORE});
    samples.push_back({std::string(dir) + "/image_dfl.dcm", archive_uploadCheck::ROUTE_CALLER});
    // Larger than the window the meta header is looked for in: the route
    // is known in the middle of the bytes.
    for (E_TransferSyntax xfer : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
        std::string sop = xfer == EXS_LittleEndianExplicit ? "7.1.1.1" : "7.1.1.2";
        std::unique_ptr<DcmDataset> image(makeImage("7.1", "7.1.1", sop.c_str(), {}, 300000));
        DcmFileFormat ff(image.get()); // a copy
        std::string path = tmp / (sop + ".dcm");
        ASSERT_TRUE(ff.saveFile(path.c_str(), xfer).good());
        samples.push_back({path, archive_uploadCheck::ROUTE_STORE});
    }
    for (const sample &s : samples) {
        std::string bytes = readFile(s.path);
        ASSERT_FALSE(bytes.empty()) << s.path;
        archive_uploadCheck check(&a.ctx);
        std::string kept; // what the caller keeps on its route
        for (size_t at = 0; at < bytes.size(); at += 4093) {
            size_t n = std::min((size_t)4093, bytes.size() - at);
            bool known = check.route() == archive_uploadCheck::ROUTE_CALLER;
            check.feed((const unsigned char *)bytes.data() + at, n);
            if (known)
                kept.append(bytes, at, n);
            else if (check.route() == archive_uploadCheck::ROUTE_CALLER)
                kept = check.takeHeld();
        }
        int walked = check.finish();
        ASSERT_EQ(s.route, check.route()) << s.path;
        if (s.route == archive_uploadCheck::ROUTE_CALLER) {
            if (kept.empty())
                kept = check.takeHeld();
            EXPECT_EQ(bytes, kept) << s.path;
            EXPECT_EQ(nullptr, check.head());
            continue;
        }
        ASSERT_EQ(ARCHIVE_UPLOAD_WHOLE, walked) << s.path;
        DcmDataset *head = check.head();
        ASSERT_NE(nullptr, head) << s.path;
        archive_ingested uids;
        ASSERT_EQ((unsigned)ARCHIVE_STORED,
                  archive_ingest(&a.ctx, head, 0, &uids, check.incoming()))
            << s.path;
        DcmFileFormat sent, stored;
        ASSERT_TRUE(sent.loadFile(s.path.c_str()).good());
        std::string at = archive_imagePath(&a.ctx, uids.study.c_str(), uids.series.c_str(),
                                           uids.sopInstance.c_str());
        ASSERT_TRUE(stored.loadFile(at.c_str()).good()) << at;
        EXPECT_EQ(0, sent.getDataset()->compare(*stored.getDataset())) << s.path;
        E_TransferSyntax xfer = sent.getDataset()->getOriginalXfer();
        if (xfer == EXS_LittleEndianImplicit || xfer == EXS_BigEndianExplicit)
            xfer = EXS_LittleEndianExplicit; // converted as it arrived
        EXPECT_EQ(xfer, stored.getDataset()->getOriginalXfer()) << s.path;
    }
    EXPECT_EQ(7u, a.stored.size());

    // An element after the pixel data, of a tag before it; then the same
    // file cut short.
    std::unique_ptr<DcmDataset> image(makeImage("8.1", "8.1.1", "8.1.1.1", {}, 300000));
    DcmFileFormat ff(image.get()); // a copy
    std::string path = tmp / "late.dcm";
    ASSERT_TRUE(ff.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
    std::string late = readFile(path);
    late += std::string("\x08\x00\x18\x00UI\x08\x00"
                        "9.9.9.9\0",
                        16);
    for (const std::string &bytes : {late, late.substr(0, late.size() / 2)}) {
        {
            archive_uploadCheck check(&a.ctx);
            for (size_t at = 0; at < bytes.size(); at += 65536)
                check.feed((const unsigned char *)bytes.data() + at,
                           std::min((size_t)65536, bytes.size() - at));
            EXPECT_EQ(archive_uploadCheck::ROUTE_STORE, check.route());
            EXPECT_EQ(ARCHIVE_UPLOAD_DAMAGED, check.finish());
            EXPECT_EQ(nullptr, check.head());
        }
        EXPECT_EQ(0, leftOver(a.dir.c_str()));
    }
    // Without the streamed route the file's check takes the late element.
    archive_uploadCheck check;
    check.feed((const unsigned char *)late.data(), late.size());
    EXPECT_EQ(ARCHIVE_UPLOAD_WHOLE, check.finish());
    EXPECT_EQ(7u, a.stored.size());
}

// Whether the index knows of instance (brought up to date first).
static bool indexed(Archive &a, const char *instance)
{
    archive_refresh(&a.ctx);
    std::vector<archive_image> places;
    return archive_locate(&a.ctx, {instance}, &places) == 1;
}

// A registered listener is told once of each image stored, with its UIDs,
// once its file is in place and before the image is announced; never of an
// image refused, of UIDs the archive cannot take, or already stored and
// kept.
TEST(ArchiveListeners, ToldOnceOfEachImageStored)
{
    Archive a;
    std::vector<size_t> announcedBefore;
    a.recorder.onStored = [&](const archive_event &) {
        announcedBefore.push_back(a.announced().size());
    };
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_EQ(std::vector<std::string>({"1.2.3 4.5 6.7"}), a.stored);
    EXPECT_EQ(std::vector<bool>({true}), a.recorder.fileThere);
    EXPECT_EQ(std::vector<size_t>({0}), announcedBefore);
    EXPECT_EQ(1u, a.announced().size());
    EXPECT_TRUE(indexed(a, "6.7"));

    EXPECT_EQ((unsigned)ARCHIVE_EXISTS, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_EQ((unsigned)ARCHIVE_CANNOT_UNDERSTAND, a.ingest("1.2.3", "4/5", "6.8"));
    capacity_policy full;
    full.percent = 100; // no store has that much free
    a.store.getCapacity()->policy = full;
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, a.ingest("1.2.3", "4.5", "6.9"));
    a.store.getCapacity()->policy = capacity_policy();
    EXPECT_FALSE(exists(archive_imagePath(&a.ctx, "1.2.3", "4.5", "6.9")));
    EXPECT_EQ(1u, a.stored.size());
    // Replaced: stored again, told again.
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7", 1));
    EXPECT_EQ(std::vector<std::string>({"1.2.3 4.5 6.7", "1.2.3 4.5 6.7"}), a.stored);
    EXPECT_EQ(std::vector<bool>({true, true}), a.recorder.fileThere);
    // Held before the image is placed, kept once it is stored; nothing held
    // for a duplicate.
    a.recorder.hold = true;
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.10"));
    EXPECT_EQ((unsigned)ARCHIVE_EXISTS, a.ingest("1.2.3", "4.5", "6.10"));
    EXPECT_EQ(1, a.recorder.held);
    EXPECT_EQ(1, a.recorder.kept);
    EXPECT_EQ(0, a.recorder.takenBack + a.recorder.left);
    EXPECT_EQ(3u, a.stored.size());
}

// A listener that refuses an image before it is placed leaves nothing of
// it: no file, nothing in the index, no listener told that it was stored,
// and what listeners before it held (a forwarding job among them) taken
// back. The image sent again once the listener lets it is stored afresh.
TEST(ArchiveListeners, RefusalBeforePlacingLeavesNothing)
{
    Archive a;
    forward_rules rules;
    char error[256];
    ASSERT_EQ(0, forward_parseRules("PACS2 when=store\n", &rules, error, sizeof error)) << error;
    a.ctx.forwardRules = &rules;
    Recorder earlier, refusing;
    earlier.hold = true;
    refusing.veto = true;
    // Registered after the fixture's recorder: earlier holds, refusing
    // refuses.
    a.ctx.listeners.insert(a.ctx.listeners.begin(), &earlier);
    archive_addListener(&a.ctx, &refusing);
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_FALSE(exists(archive_imagePath(&a.ctx, "1.2.3", "4.5", "6.7")));
    EXPECT_FALSE(indexed(a, "6.7"));
    EXPECT_TRUE(a.stored.empty());
    EXPECT_TRUE(earlier.told.empty());
    EXPECT_EQ(1, earlier.held);
    EXPECT_EQ(1, earlier.takenBack);
    EXPECT_EQ(0, earlier.kept);
    std::vector<forward_job> jobs;
    ASSERT_EQ(0, forward_list(a.dir.c_str(), &jobs));
    EXPECT_TRUE(jobs.empty());
    EXPECT_TRUE(a.announced().empty());

    refusing.veto = false;
    ASSERT_EQ((unsigned)ARCHIVE_STORED, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_TRUE(indexed(a, "6.7"));
    EXPECT_EQ(std::vector<std::string>({"1.2.3 4.5 6.7"}), a.stored);
    ASSERT_EQ(0, forward_list(a.dir.c_str(), &jobs));
    EXPECT_EQ(1u, jobs.size());
}

// A hold that cannot be kept takes the new image back: refused, its file
// and index records gone, nobody told that it was stored; the forwarding
// job kept before it is taken back too.
TEST(ArchiveListeners, HoldNotKeptTakesTheImageBack)
{
    Archive a;
    forward_rules rules;
    char error[256];
    ASSERT_EQ(0, forward_parseRules("PACS2 when=store\n", &rules, error, sizeof error)) << error;
    a.ctx.forwardRules = &rules;
    a.recorder.hold = true;
    a.recorder.failKeep = true;
    EXPECT_EQ((unsigned)ARCHIVE_REFUSED_NOSPACE, a.ingest("1.2.3", "4.5", "6.7"));
    EXPECT_FALSE(exists(archive_imagePath(&a.ctx, "1.2.3", "4.5", "6.7")));
    EXPECT_FALSE(indexed(a, "6.7"));
    EXPECT_TRUE(a.stored.empty());
    EXPECT_EQ(1, a.recorder.takenBack);
    std::vector<forward_job> jobs;
    ASSERT_EQ(0, forward_list(a.dir.c_str(), &jobs));
    EXPECT_TRUE(jobs.empty());
    DIR *d = opendir(forward_dir(a.dir.c_str()).c_str());
    int files = 0;
    for (dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
        files += e->d_name[0] != '.';
    if (d != nullptr)
        closedir(d);
    EXPECT_EQ(0, files);
}

// The bytes of ds's data set in xfer, as a C-STORE carries them.
static std::string datasetBytes(DcmDataset *ds, E_TransferSyntax xfer, const std::string &dir)
{
    std::string path = dir + "/dataset.bin";
    EXPECT_TRUE(ds->saveFile(path.c_str(), xfer).good());
    std::string bytes = readFile(path);
    unlink(path.c_str());
    return bytes;
}

// Hands bytes to the receive as the network layer does, in pieces of 4093
// bytes, the last marked: the first refusal, or 0.
static Uint16 handDown(archive_receive *rx, const std::string &bytes)
{
    for (size_t at = 0; at < bytes.size(); at += 4093) {
        size_t n = std::min((size_t)4093, bytes.size() - at);
        Uint16 r = rx->take((const unsigned char *)bytes.data() + at, n, at + n == bytes.size());
        if (r != 0)
            return r;
    }
    return 0;
}

// A C-STORE's data set through the core's receive: in Explicit VR Little
// Endian stored as it comes (the stored data set is the one sent, in its
// syntax), in Implicit VR or big endian converted as it comes and stored in
// Explicit VR Little Endian (equal to the sent data set); a deflated one, handed down inflated,
// stored as it comes. The one decision says which.
TEST(ArchiveReceive, CStoreStoredAsItComesOrParsed)
{
    Archive a;
    TempDir tmp;
    EXPECT_TRUE(archive_receive::storedAsItComes(UID_LittleEndianExplicitTransferSyntax));
    EXPECT_TRUE(archive_receive::storedAsItComes(UID_JPEG2000TransferSyntax));
    EXPECT_FALSE(archive_receive::storedAsItComes(UID_LittleEndianImplicitTransferSyntax));
    EXPECT_FALSE(archive_receive::storedAsItComes(UID_BigEndianExplicitTransferSyntax));
    EXPECT_FALSE(
        archive_receive::storedAsItComes(UID_DeflatedExplicitVRLittleEndianTransferSyntax));
    {
        archive_receive deflated(&a.ctx, UID_DeflatedExplicitVRLittleEndianTransferSyntax, 0, true);
        EXPECT_TRUE(deflated.streamed());
    }
    struct sample {
        E_TransferSyntax xfer;
        const char *uid;
        bool streamed;
    };
    int n = 0;
    for (const sample &s :
         {sample{EXS_LittleEndianExplicit, UID_LittleEndianExplicitTransferSyntax, true},
          sample{EXS_LittleEndianImplicit, UID_LittleEndianImplicitTransferSyntax, true},
          sample{EXS_BigEndianExplicit, UID_BigEndianExplicitTransferSyntax, true}}) {
        std::string sop = "9.1.1." + std::to_string(++n);
        std::unique_ptr<DcmDataset> image(makeImage("9.1", "9.1.1", sop.c_str(), {}, 300000));
        std::string bytes = datasetBytes(image.get(), s.xfer, tmp.c_str());
        archive_ingested uids;
        {
            archive_receive rx(&a.ctx, s.uid, 1 << 30, true);
            EXPECT_EQ(s.streamed, rx.streamed()) << s.uid;
            ASSERT_EQ(0, handDown(&rx, bytes)) << s.uid;
            dicomnet_refusal why;
            dicomnet_dataset_limits limits;
            EXPECT_FALSE(rx.refusal(&why, &limits));
            ASSERT_NE(nullptr, rx.dataset()) << s.uid;
            ASSERT_EQ((unsigned)ARCHIVE_STORED, rx.ingest(0, "PEER", &uids)) << s.uid;
        }
        DcmFileFormat stored;
        std::string at = archive_imagePath(&a.ctx, uids.study.c_str(), uids.series.c_str(),
                                           uids.sopInstance.c_str());
        ASSERT_TRUE(stored.loadFile(at.c_str()).good()) << at;
        EXPECT_EQ(0, image->compare(*stored.getDataset())) << s.uid;
        EXPECT_EQ(EXS_LittleEndianExplicit, stored.getDataset()->getOriginalXfer()) << s.uid;
    }
    EXPECT_EQ(3u, a.stored.size());
    EXPECT_EQ(0, leftOver(a.dir.c_str()));
}

// A receive that ends without its ingest (cut short, refused, the peer not
// allowed to store) leaves nothing; a hostile data set is refused by the
// receive's walk with the limit it passed, before the toolkit reads it.
TEST(ArchiveReceive, CStoreRefusedOrCutLeavesNoTrace)
{
    Archive a;
    TempDir tmp;
    std::unique_ptr<DcmDataset> image(makeImage("9.2", "9.2.1", "9.2.1.1", {}, 300000));
    std::string bytes = datasetBytes(image.get(), EXS_LittleEndianExplicit, tmp.c_str());
    {
        archive_receive rx(&a.ctx, UID_LittleEndianExplicitTransferSyntax, 0, true);
        for (size_t at = 0; at < bytes.size() / 2; at += 4093)
            ASSERT_EQ(0, rx.take((const unsigned char *)bytes.data() + at, 4093, false));
    }
    {
        archive_receive rx(&a.ctx, UID_LittleEndianExplicitTransferSyntax, 0, false);
        EXPECT_EQ(0, handDown(&rx, bytes));
    }
    {
        // Beyond the bytes allowed: refused as too long.
        archive_receive rx(&a.ctx, UID_LittleEndianImplicitTransferSyntax, 100000, true);
        EXPECT_EQ(DICOMNET_STATUS_OUT_OF_RESOURCES, handDown(&rx, bytes));
        dicomnet_refusal why;
        dicomnet_dataset_limits limits;
        ASSERT_TRUE(rx.refusal(&why, &limits));
        EXPECT_EQ(100000u, limits.maxBytes);
    }
    // Sequences nested far deeper than the toolkit's parser recurses.
    for (bool streamed : {true, false}) {
        std::string deep;
        for (int i = 0; i < 100; i++)
            deep += std::string(streamed ? "\x08\x00\x40\x11SQ\0\0\xff\xff\xff\xff"
                                         : "\x08\x00\x40\x11\xff\xff\xff\xff",
                                streamed ? 12 : 8) +
                    std::string("\xfe\xff\x00\xe0\xff\xff\xff\xff", 8);
        archive_receive rx(&a.ctx,
                           streamed ? UID_LittleEndianExplicitTransferSyntax
                                    : UID_LittleEndianImplicitTransferSyntax,
                           0, true);
        EXPECT_EQ(DICOMNET_STATUS_OUT_OF_RESOURCES, handDown(&rx, deep));
        dicomnet_refusal why;
        dicomnet_dataset_limits limits;
        ASSERT_TRUE(rx.refusal(&why, &limits));
        EXPECT_EQ(ELEMENTWALK_MAX_DEPTH, limits.maxDepth);
    }
    EXPECT_TRUE(a.stored.empty());
    EXPECT_EQ(0, leftOver(a.dir.c_str()));
}

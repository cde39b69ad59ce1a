// The object tier's local parts: its settings file and the credentials
// rule, stubs, keys, reading an image back (its own file, a cached copy, a
// tier that cannot be reached) and the cache's eviction around copies in
// use; and the capacity policy's settings. The S3 side runs against a real
// gateway in tests/tier/test_tier.py.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/time.h>

#include "store/capacity.h"
#include "store/checksums.h"
#include "store/tier.h"
#include "storetest.h"

static void writeSetting(const std::string &path, const std::string &text, mode_t mode = 0600)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
    chmod(path.c_str(), mode);
}

static void setAge(const std::string &path, time_t secondsAgo)
{
    struct timeval tv[2];
    tv[0].tv_sec = tv[1].tv_sec = time(nullptr) - secondsAgo;
    tv[0].tv_usec = tv[1].tv_usec = 0;
    utimes(path.c_str(), tv);
}

static const char KEYS[] = "access-key AK\nsecret-key SK\n";

TEST(TierSettings, ReadsEverySettingAndDefaults)
{
    TempDir d;
    writeSetting(d / "keys", KEYS);
    writeSetting(d / "ObjectTier", "# the site's tier\n"
                                   "endpoint https://s3.example.org:8443//\n"
                                   "bucket archive   # the bucket\n"
                                   "credentials keys\n"
                                   "verify-tls off\n"
                                   "ca-file ca.pem\n"
                                   "prefix site1/\n"
                                   "quiet 30d\n"
                                   "min-quiet 2h\n"
                                   "free-below 12.5%\n"
                                   "cache-size 512M\n"
                                   "timeout 45\n"
                                   "movers 8\n");
    tier_config cfg;
    char why[512] = "";
    ASSERT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/data/dicom", &cfg, why, sizeof why), 0)
        << why;
    EXPECT_EQ(cfg.s3.endpoint, "https://s3.example.org:8443");
    EXPECT_EQ(cfg.s3.bucket, "archive");
    EXPECT_EQ(cfg.s3.region, "us-east-1");
    EXPECT_EQ(cfg.s3.accessKey, "AK");
    EXPECT_EQ(cfg.s3.secretKey, "SK");
    EXPECT_FALSE(cfg.s3.verifyTls);
    EXPECT_EQ(cfg.s3.caFile, d / "ca.pem");
    EXPECT_EQ(cfg.s3.stallTimeout, 45);
    EXPECT_EQ(cfg.prefix, "site1/");
    EXPECT_EQ(cfg.quietSeconds, 30 * 86400);
    EXPECT_EQ(cfg.minQuietSeconds, 2 * 3600);
    EXPECT_DOUBLE_EQ(cfg.freeBelowPercent, 12.5);
    EXPECT_EQ(cfg.cacheBytes, 512ull << 20);
    EXPECT_EQ(cfg.cacheDir, "/data/dicom/tiercache");
    EXPECT_EQ(cfg.movers, 8);
    EXPECT_EQ(tier_key(cfg, "/data/dicom/", "/data/dicom/uid/AB/CD/study_1/series_2/image_3.dcm"),
              "site1/uid/AB/CD/study_1/series_2/image_3.dcm");

    // The defaults: TLS verified, no move by age or space, an hour's quiet.
    writeSetting(d / "ObjectTier",
                 "endpoint http://127.0.0.1:7480\nbucket b\ncredentials " + (d / "keys") + "\n");
    ASSERT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), 0) << why;
    EXPECT_TRUE(cfg.s3.verifyTls);
    EXPECT_EQ(cfg.quietSeconds, -1);
    EXPECT_LT(cfg.freeBelowPercent, 0);
    EXPECT_EQ(cfg.minQuietSeconds, 3600);
}

TEST(TierSettings, RefusesWhatCannotBeUsed)
{
    TempDir d;
    writeSetting(d / "keys", KEYS);
    const std::string base = "endpoint http://127.0.0.1:7480\nbucket b\ncredentials keys\n";
    struct {
        std::string text;
        const char *reason;
    } cases[] = {
        {base + "colour blue\n", "line 4: bad setting \"colour\""},
        {base + "quiet 3 weeks\n", "bad setting \"quiet\""},
        {base + "quiet 3w\n", "bad setting \"quiet\""},
        {base + "free-below 100%\n", "bad setting \"free-below\""},
        {base + "verify-tls maybe\n", "bad setting \"verify-tls\""},
        {base + "cache-size lots\n", "bad setting \"cache-size\""},
        {base + "movers 0\n", "bad setting \"movers\""},
        {"endpoint http://127.0.0.1:7480\ncredentials keys\n", "are required"},
        {"endpoint 127.0.0.1:7480\nbucket b\ncredentials keys\n", "http:// or https://"},
        {"endpoint http://h\nbucket b\ncredentials nokeys\n", "cannot read the credentials"},
    };
    for (const auto &c : cases) {
        writeSetting(d / "ObjectTier", c.text);
        tier_config cfg;
        char why[512] = "";
        EXPECT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), -1)
            << c.text;
        EXPECT_NE(strstr(why, c.reason), nullptr) << why;
    }
    // Credentials the group or others may read stop the start; the owner's
    // own modes pass.
    writeSetting(d / "ObjectTier", base);
    for (mode_t mode : {0640, 0604, 0644}) {
        chmod((d / "keys").c_str(), mode);
        tier_config cfg;
        char why[512] = "";
        EXPECT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), -1);
        EXPECT_NE(strstr(why, "may be read by its group or others"), nullptr) << why;
    }
    chmod((d / "keys").c_str(), 0400);
    tier_config cfg;
    char why[512] = "";
    EXPECT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), 0) << why;
    writeSetting(d / "keys", "access-key AK\n");
    EXPECT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), -1);
    EXPECT_NE(strstr(why, "lack access-key or secret-key"), nullptr) << why;
}

// A settings file that is a FIFO is refused at once: opening one for
// reading would wait for a writer and hang the daemon's start.
TEST(SiteFiles, FifoIsRefusedAtOnce)
{
    TempDir d;
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    char why[512] = "";
    capacity_policy p;
    EXPECT_EQ(capacity_loadFile((d / "fifo").c_str(), &p, why, sizeof why), -1);
    EXPECT_NE(strstr(why, "not a regular file"), nullptr) << why;
    tier_config cfg;
    EXPECT_EQ(tier_loadFile((d / "fifo").c_str(), "/s", &cfg, why, sizeof why), -1);
    EXPECT_NE(strstr(why, "not a regular file"), nullptr) << why;
    writeSetting(d / "ObjectTier", "endpoint http://127.0.0.1:7480\nbucket b\ncredentials fifo\n");
    EXPECT_EQ(tier_loadFile((d / "ObjectTier").c_str(), "/s", &cfg, why, sizeof why), -1);
    EXPECT_NE(strstr(why, "cannot read the credentials"), nullptr) << why;
    EXPECT_NE(strstr(why, "not a regular file"), nullptr) << why;
}

static tier_stub sampleStub(const std::string &sha, uint64_t size)
{
    tier_stub s;
    s.key = "uid/00/00/study_1/series_1/image_1.dcm";
    s.size = size;
    s.sha256 = sha;
    s.sopClass = "1.2.840.10008.5.1.4.1.1.7";
    s.xfer = "1.2.840.10008.1.2.1";
    return s;
}

static const std::string SHA_A(64, 'a'), SHA_B(64, 'b'), SHA_C(64, 'c');

TEST(TierStub, RoundTripAndDamage)
{
    TempDir d;
    std::string image = d / "image_1.dcm";
    tier_stub got;
    EXPECT_EQ(tier_readStub(image.c_str(), &got), 1);
    ASSERT_EQ(tier_writeStub(image.c_str(), sampleStub(SHA_A, 1234)), 0);
    EXPECT_NE(access((image + ".tier.tmp").c_str(), F_OK), 0);
    ASSERT_EQ(tier_readStub(image.c_str(), &got), 0);
    EXPECT_EQ(got.key, "uid/00/00/study_1/series_1/image_1.dcm");
    EXPECT_EQ(got.size, 1234u);
    EXPECT_EQ(got.sha256, SHA_A);
    std::string cls, xfer;
    ASSERT_EQ(tier_stubClass(image.c_str(), &cls, &xfer), 0);
    EXPECT_EQ(cls, "1.2.840.10008.5.1.4.1.1.7");
    EXPECT_EQ(xfer, "1.2.840.10008.1.2.1");
    // A stub cut short (no whole checksum) is damage, not an image.
    writeSetting(image + ".tier", "key uid/x\nsize 12\nsha256 abc\n", 0644);
    EXPECT_EQ(tier_readStub(image.c_str(), &got), -1);
}

// A tier whose gateway cannot be reached (nothing listens on port 1), with
// its cache below d.
static tier_config unreachable(const TempDir &d, uint64_t cacheBytes)
{
    tier_config cfg;
    cfg.s3.endpoint = "http://127.0.0.1:1";
    cfg.s3.bucket = "b";
    cfg.s3.region = "r";
    cfg.s3.accessKey = "a";
    cfg.s3.secretKey = "s";
    cfg.s3.connectTimeout = 2;
    cfg.cacheDir = d / "cache";
    cfg.cacheBytes = cacheBytes;
    mkdir(cfg.cacheDir.c_str(), 0700);
    return cfg;
}

// The SHA-256 of text (what a stub records of a copy holding it).
static std::string shaOf(const std::string &text)
{
    checksums_hasher h;
    h.add(text.data(), text.size());
    return h.finish().sha256;
}

TEST(TierRead, LocalFileCachedCopyAndUnreachableTier)
{
    const std::string SHA_A = shaOf("12345");
    TempDir d;
    std::string image = d / "image_1.dcm";
    tier_file f;
    const tier_config *tier = nullptr; // the store's tier: off
    EXPECT_EQ(tier_openImage(tier, image.c_str(), &f), TIER_MISSING);
    writeSetting(image, "local bytes");
    EXPECT_EQ(tier_openImage(tier, image.c_str(), &f), TIER_OK);
    EXPECT_EQ(f.path, image);
    EXPECT_EQ(f.lockFd, -1);

    // Moved out, with the tier off: recorded but not reachable.
    ASSERT_EQ(tier_writeStub(image.c_str(), sampleStub(SHA_A, 5)), 0);
    unlink(image.c_str());
    EXPECT_EQ(tier_openImage(tier, image.c_str(), &f), TIER_UNAVAILABLE);

    // With the tier on, a whole copy in the cache is read without the
    // gateway; a copy of another size is not taken for it.
    tier_config cfg = unreachable(d, 1 << 20);
    tier = &cfg;
    writeSetting(cfg.cacheDir + "/" + SHA_A + ".dcm", "12345");
    setAge(cfg.cacheDir + "/" + SHA_A + ".dcm", 100);
    ASSERT_EQ(tier_openImage(tier, image.c_str(), &f), TIER_OK);
    EXPECT_EQ(f.path, cfg.cacheDir + "/" + SHA_A + ".dcm");
    EXPECT_GE(f.lockFd, 0);
    struct stat st;
    ASSERT_EQ(stat(f.path.c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, time(nullptr) - 10) << "a used copy becomes the newest";
    // A copy of the same size with other bytes is damaged: never read, at
    // any open (not only when it was fetched).
    writeSetting(cfg.cacheDir + "/" + SHA_A + ".dcm", "12340");
    tier_file damaged;
    EXPECT_EQ(tier_openImage(tier, image.c_str(), &damaged), TIER_DAMAGED);
    EXPECT_EQ(damaged.lockFd, -1);
    writeSetting(cfg.cacheDir + "/" + SHA_A + ".dcm", "1234");
    tier_file g;
    EXPECT_EQ(tier_openImage(tier, image.c_str(), &g), TIER_UNAVAILABLE);
    // A failed fetch leaves no temporary file behind.
    std::vector<std::string> names;
    DIR *dir = opendir(cfg.cacheDir.c_str());
    while (struct dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(dir);
    EXPECT_EQ(names, std::vector<std::string>{SHA_A + ".dcm"});
}

TEST(TierArchive, KeyOfPathIdFileAndUnreachableGateway)
{
    TempDir d;
    tier_config cfg = unreachable(d, 1 << 20);
    cfg.prefix = "site1/";
    cfg.baseDir = d.str();
    EXPECT_EQ(tier_keyOfPath(cfg, (d / "uid/0A/1B/study_1/series_2/image_3.dcm").c_str()),
              "site1/uid/0A/1B/study_1/series_2/image_3.dcm");
    // The store's id: none yet, then a malformed one, then a good one.
    std::string id;
    EXPECT_EQ(tier_readArchiveId(cfg.baseDir.c_str(), &id), 1);
    writeSetting(d / "ARCHIVEID", "not an id\n");
    EXPECT_EQ(tier_readArchiveId(cfg.baseDir.c_str(), &id), -1);
    writeSetting(d / "ARCHIVEID", "0123456789abcdef0123456789abcdef\n");
    ASSERT_EQ(tier_readArchiveId(cfg.baseDir.c_str(), &id), 0);
    EXPECT_EQ(id, "0123456789abcdef0123456789abcdef");
    // A gateway that does not answer cannot say who owns the prefix: no
    // claim is made and nothing local changes.
    char why[512] = "";
    EXPECT_EQ(tier_claim(&cfg, TIER_CLAIM, why, sizeof why), TIER_UNREACHABLE);
    EXPECT_NE(why[0], 0);
    EXPECT_EQ(cfg.archiveId, "");
    // A lost stub cannot come back from it either: the image stays missing.
    std::string image = d / "image_1.dcm";
    writeSetting(image + ".head", "head");
    tier_file f;
    EXPECT_EQ(tier_openImage(&cfg, image.c_str(), &f), TIER_MISSING);
    EXPECT_NE(access((image + ".tier").c_str(), F_OK), 0);
}

TEST(TierRead, EvictionSparesCopiesInUse)
{
    const std::string SHA_A = shaOf(std::string(400, 'A')), SHA_B = shaOf(std::string(400, 'B'));
    TempDir d;
    tier_config cfg = unreachable(d, 1000);
    const tier_config *tier = &cfg;
    // Two images with copies in the cache: A in use (held), B not; both
    // older than the fetch of C that needs room.
    std::string a = d / "image_a.dcm", b = d / "image_b.dcm", c = d / "image_c.dcm";
    ASSERT_EQ(tier_writeStub(a.c_str(), sampleStub(SHA_A, 400)), 0);
    ASSERT_EQ(tier_writeStub(b.c_str(), sampleStub(SHA_B, 400)), 0);
    ASSERT_EQ(tier_writeStub(c.c_str(), sampleStub(SHA_C, 500)), 0);
    writeSetting(cfg.cacheDir + "/" + SHA_A + ".dcm", std::string(400, 'A'));
    writeSetting(cfg.cacheDir + "/" + SHA_B + ".dcm", std::string(400, 'B'));
    writeSetting(cfg.cacheDir + "/stale.dcm.1.2.tmp", "left by a fetch that died");
    tier_file heldA;
    ASSERT_EQ(tier_openImage(tier, a.c_str(), &heldA), TIER_OK);
    setAge(cfg.cacheDir + "/" + SHA_A + ".dcm", 300);
    setAge(cfg.cacheDir + "/" + SHA_B + ".dcm", 200);
    setAge(cfg.cacheDir + "/stale.dcm.1.2.tmp", 7200);
    tier_file fc;
    EXPECT_EQ(tier_openImage(tier, c.c_str(), &fc), TIER_UNAVAILABLE);
    EXPECT_EQ(access((cfg.cacheDir + "/" + SHA_A + ".dcm").c_str(), F_OK), 0) << "in use";
    EXPECT_NE(access((cfg.cacheDir + "/" + SHA_B + ".dcm").c_str(), F_OK), 0);
    EXPECT_NE(access((cfg.cacheDir + "/stale.dcm.1.2.tmp").c_str(), F_OK), 0);
}

TEST(Capacity, Settings)
{
    TempDir d;
    capacity_policy p;
    char why[256] = "";
    writeSetting(d / "StoreCapacity", "refuse-below 5%   # of the file system\n");
    ASSERT_EQ(capacity_loadFile((d / "StoreCapacity").c_str(), &p, why, sizeof why), 0) << why;
    EXPECT_DOUBLE_EQ(p.percent, 5);
    EXPECT_EQ(p.bytes, 0u);
    writeSetting(d / "StoreCapacity", "refuse-below 20G\n");
    ASSERT_EQ(capacity_loadFile((d / "StoreCapacity").c_str(), &p, why, sizeof why), 0) << why;
    EXPECT_EQ(p.bytes, 20ull << 30);
    for (const char *bad :
         {"refuse-below 100%\n", "refuse-below 20X\n", "refuse-above 5%\n", "refuse-below\n"}) {
        writeSetting(d / "StoreCapacity", bad);
        EXPECT_EQ(capacity_loadFile((d / "StoreCapacity").c_str(), &p, why, sizeof why), -1) << bad;
    }
    // No policy refuses nothing; an impossible share of free space refuses.
    char text[128] = "";
    EXPECT_EQ(capacity_refuses(capacity_policy(), d.c_str(), text, sizeof text), 0);
    capacity_policy all;
    all.percent = 99.99999;
    EXPECT_EQ(capacity_refuses(all, d.c_str(), text, sizeof text), 1);
    EXPECT_NE(strstr(text, "bytes ("), nullptr) << text;
}

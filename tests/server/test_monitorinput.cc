// Monitor channel datagrams: peers learnt through STORAGE DISCOVER_AET and
// CONFIG ADD_AET, and every kind of datagram outside that vocabulary, which
// must change neither the map nor its file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "aetitlemap/aetitlemap.h"
#include "server/monitorinput.h"

static const long kOwnPid = 4711;
static const char kOwnHost[] = "alpha";

static std::string readFile(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = pread(fd, buf, sizeof(buf), off)) > 0) {
        out.append(buf, (size_t)n);
        off += n;
    }
    return out;
}

class MonitorInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/velto-aetmap-XXXXXX";
        fd = mkstemp(name);
        ASSERT_NE(fd, -1);
        path = name;
        log = tmpfile();
        ASSERT_NE(log, nullptr);
        AETitleMap_Create(&map);
        ctx.map = &map;
        ctx.map_fd = fd;
        ctx.logfp = log;
        ctx.own_pid = kOwnPid;
        ctx.own_host = kOwnHost;
        ctx.learn = 1;
        ctx.learn_flags = AETITLEMAP_FLAGS_DISCOVERED;
        ctx.own_aet = "VeltoStorage";
        ctx.policy = nullptr;
        memset(&src, 0, sizeof(src));
        src.sin_family = AF_INET;
        src.sin_port = htons(1104);
        src.sin_addr.s_addr = inet_addr("192.168.1.20");
    }
    void TearDown() override
    {
        AETitleMap_Destroy(&map);
        fclose(log);
        close(fd);
        unlink(path.c_str());
    }
    // The map file as saved: a save replaces the file, so it is read by name.
    std::string mapText()
    {
        int now = open(path.c_str(), O_RDONLY);
        std::string text = now >= 0 ? readFile(now) : "";
        if (now >= 0)
            close(now);
        return text;
    }
    int handle(const std::string &text)
    {
        return monitorinput_handle(&ctx, text.data(), text.size(), (struct sockaddr *)&src,
                                   sizeof(src));
    }
    int entries()
    {
        int n = 0;
        while (AETitleMap_FindByNum(&map, n) != nullptr)
            n++;
        return n;
    }
    std::string logText()
    {
        fflush(log);
        return readFile(fileno(log));
    }

    int fd = -1;
    std::string path;
    FILE *log = nullptr;
    AETitleMap map = nullptr;
    monitorinput_context ctx{};
    struct sockaddr_in src;
};

TEST_F(MonitorInput, DiscoverAddsPeerAtSourceAddressOnce)
{
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_DISCOVERED);
    AETitleMapEntry *e = AETitleMap_FindByAET(&map, "X");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "beta");
    EXPECT_STREQ(e->address, "192.168.1.20:104");
    EXPECT_EQ(e->flags, 0x107);
    EXPECT_STREQ(e->remark, "learnt");
    EXPECT_EQ(mapText(), "beta\tX\t192.168.1.20:104\tFMSD\tlearnt\n");
    EXPECT_NE(logText().find("]:Discovered new Velto AET X at 192.168.1.20:104.\n"),
              std::string::npos);

    // Repeated announcements change nothing and log nothing more.
    std::string before = logText();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(logText(), before);
    EXPECT_EQ(mapText(), "beta\tX\t192.168.1.20:104\tFMSD\tlearnt\n");
}

TEST_F(MonitorInput, SecondTitleFromSameHostIsNotAdded)
{
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_DISCOVERED);
    std::string before = logText();
    EXPECT_EQ(handle("beta 200 STORAGE DISCOVER_AET Y 105\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(AETitleMap_FindByAET(&map, "Y"), nullptr);
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(logText(), before);
}

TEST_F(MonitorInput, OwnEchoSkippedOtherProcessOfOwnHostSeen)
{
    EXPECT_EQ(handle("alpha 4711 STORAGE DISCOVER_AET SELF 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 0);
    EXPECT_EQ(handle("alpha 4712 STORAGE DISCOVER_AET OTHER 104\n"), MONITORINPUT_DISCOVERED);
    EXPECT_EQ(entries(), 1);
}

TEST_F(MonitorInput, ConfigAddAetUsesGivenAddressAndFlags)
{
    EXPECT_EQ(handle("gamma 1 CONFIG ADD_AET WS1 10.0.0.7:104 FMS\n"), MONITORINPUT_ADDED);
    AETitleMapEntry *e = AETitleMap_FindByAET(&map, "WS1");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "gamma");
    EXPECT_STREQ(e->address, "10.0.0.7:104");
    EXPECT_EQ(e->flags, 0x007);
    EXPECT_EQ(mapText(), "gamma\tWS1\t10.0.0.7:104\tFMS\tlearnt\n");
    EXPECT_NE(logText().find("]:Added new Velto AET WS1 at 10.0.0.7:104.\n"), std::string::npos);

    // A title already present is left as it is, whoever sends it.
    std::string before = logText();
    EXPECT_EQ(handle("delta 2 CONFIG ADD_AET WS1 10.0.0.8:11112 FMSGUEDP\n"), MONITORINPUT_IGNORED);
    EXPECT_STREQ(AETitleMap_FindByAET(&map, "WS1")->address, "10.0.0.7:104");
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(logText(), before);
}

TEST_F(MonitorInput, ConfigFlagsAreTheRestOfTheText)
{
    EXPECT_EQ(handle("gamma 1 CONFIG ADD_AET WS2 h:5 f m-s\n"), MONITORINPUT_ADDED);
    EXPECT_EQ(AETitleMap_FindByAET(&map, "WS2")->flags, 0x007);
}

TEST_F(MonitorInput, WithoutMapFileEntryIsKeptInMemoryOnly)
{
    ctx.map_fd = -1;
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_DISCOVERED);
    EXPECT_NE(AETitleMap_FindByAET(&map, "X"), nullptr);
    EXPECT_EQ(mapText(), "");
}

TEST_F(MonitorInput, FrameWithoutNewlineIsAccepted)
{
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104"), MONITORINPUT_DISCOVERED);
}

TEST_F(MonitorInput, LongestFrameIsHandledOneMoreByteIsNot)
{
    // 1023 bytes is the longest frame a sender can produce.
    std::string head = "gamma 1 CONFIG ADD_AET WS3 h:1 ";
    std::string frame = head + std::string(1023 - head.size() - 1, 'F') + "\n";
    ASSERT_EQ(frame.size(), 1023u);
    EXPECT_EQ(handle(frame), MONITORINPUT_ADDED);

    std::string longer =
        "gamma 1 CONFIG ADD_AET WS4 h:1 " + std::string(1023 - head.size(), 'F') + "\n";
    ASSERT_EQ(longer.size(), 1024u);
    EXPECT_EQ(handle(longer), MONITORINPUT_IGNORED);
    EXPECT_EQ(AETitleMap_FindByAET(&map, "WS4"), nullptr);
}

TEST_F(MonitorInput, FieldLimitsOfTheMapFile)
{
    // A host name is the entry's name: it must fit a field of the file.
    std::string host127(127, 'h'), host128(128, 'h');
    EXPECT_EQ(handle(host128 + " 1 STORAGE DISCOVER_AET LONG1 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle(host127 + " 1 STORAGE DISCOVER_AET LONG2 104\n"), MONITORINPUT_DISCOVERED);
    EXPECT_EQ(handle("gamma 1 CONFIG ADD_AET LONG3 " + std::string(128, 'a') + " F\n"),
              MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("beta 1 STORAGE DISCOVER_AET SIXTEEN_CHARS_AE 104\n"),
              MONITORINPUT_DISCOVERED);
    EXPECT_EQ(handle("eps 1 STORAGE DISCOVER_AET SEVENTEEN_CHARS_A 104\n"), MONITORINPUT_IGNORED);

    // The file written so far loads back as the same two entries.
    AETitleMap reread;
    AETitleMap_Create(&reread);
    ASSERT_EQ(AETitleMap_Load(&reread, path.c_str()), 0);
    ASSERT_NE(AETitleMap_FindByAET(&reread, "LONG2"), nullptr);
    EXPECT_STREQ(AETitleMap_FindByAET(&reread, "LONG2")->name, host127.c_str());
    EXPECT_NE(AETitleMap_FindByAET(&reread, "SIXTEEN_CHARS_AE"), nullptr);
    EXPECT_EQ(AETitleMap_FindByNum(&reread, 2), nullptr);
    AETitleMap_Destroy(&reread);
}

TEST_F(MonitorInput, MapStopsLearningWhenFull)
{
    ctx.map_fd = -1;
    char text[128];
    for (int i = 0; i < MONITORINPUT_MAX_ENTRIES; i++) {
        snprintf(text, sizeof(text), "host%d 1 STORAGE DISCOVER_AET AE%d 104\n", i, i);
        ASSERT_EQ(handle(text), MONITORINPUT_DISCOVERED) << text;
    }
    EXPECT_EQ(handle("onemore 1 STORAGE DISCOVER_AET LAST 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), MONITORINPUT_MAX_ENTRIES);
}

// Every datagram of this table lies outside the vocabulary (or repeats a
// known form without its required parts): none may add an entry, write
// the file or log a line.
struct BadDatagram {
    const char *what;
    std::string data;
};

static std::string withByte(std::string s, size_t pos, char c)
{
    s[pos] = c;
    return s;
}

static const std::string kGood = "beta 100 STORAGE DISCOVER_AET X 104\n";

static const BadDatagram kBadDatagrams[] = {
    {"empty", ""},
    {"only a newline", "\n"},
    {"no blanks", "nospacesatall"},
    {"host and pid", "beta 100"},
    {"host and pid with newline", "beta 100\n"},
    {"keyword without arguments", "beta 100 STORAGE\n"},
    {"CONFIG without arguments", "beta 100 CONFIG\n"},
    {"CONFIG without sub-keyword parameters", "beta 100 CONFIG ADD_AET\n"},
    {"ADD_AET without address", "beta 100 CONFIG ADD_AET WS1\n"},
    {"ADD_AET without flags", "beta 100 CONFIG ADD_AET WS1 10.0.0.7:104\n"},
    {"ADD_AET with empty flags", "beta 100 CONFIG ADD_AET WS1 10.0.0.7:104 \n"},
    {"unknown CONFIG request", "beta 100 CONFIG DEL_AET WS1 10.0.0.7:104 F\n"},
    {"lower-case keyword", "beta 100 storage DISCOVER_AET X 104\n"},
    {"unknown keyword", "beta 100 STUDYWATCH DISCOVER_AET X 104\n"},
    {"DISCOVER_AET without title", "beta 100 STORAGE DISCOVER_AET\n"},
    {"DISCOVER_AET without port", "beta 100 STORAGE DISCOVER_AET X\n"},
    {"DISCOVER_AET with empty port", "beta 100 STORAGE DISCOVER_AET X \n"},
    {"non-numeric port", "beta 100 STORAGE DISCOVER_AET X abc\n"},
    {"port with suffix", "beta 100 STORAGE DISCOVER_AET X 104x\n"},
    {"negative port", "beta 100 STORAGE DISCOVER_AET X -104\n"},
    {"port 0", "beta 100 STORAGE DISCOVER_AET X 0\n"},
    {"port too large", "beta 100 STORAGE DISCOVER_AET X 65536\n"},
    {"port overflowing", "beta 100 STORAGE DISCOVER_AET X 99999999999999999999\n"},
    {"words after the port", "beta 100 STORAGE DISCOVER_AET X 104 more\n"},
    {"status word", "beta 100 STORAGE IDLE 1\n"},
    {"STOREUID", "beta 100 STORAGE STOREUID 1.2 1.2.3 1.2.3.4\n"},
    {"non-numeric pid", "beta x100 STORAGE DISCOVER_AET X 104\n"},
    {"pid too long", "beta 12345678901 STORAGE DISCOVER_AET X 104\n"},
    {"double blank", "beta  100 STORAGE DISCOVER_AET X 104\n"},
    {"leading blank", " beta 100 STORAGE DISCOVER_AET X 104\n"},
    {"trailing blank", "beta 100 STORAGE DISCOVER_AET X 104 \n"},
    {"two newlines", "beta 100 STORAGE DISCOVER_AET X 104\n\n"},
    {"carriage return", "beta 100 STORAGE DISCOVER_AET X 104\r\n"},
    {"tab separator", "beta 100 STORAGE\tDISCOVER_AET X 104\n"},
    {"newline inside", "beta 100 STORAGE\nDISCOVER_AET X 104\n"},
    {"AE title with backslash", "beta 100 STORAGE DISCOVER_AET A\\B 104\n"},
    {"AE title of 17 characters", "beta 100 STORAGE DISCOVER_AET ABCDEFGHIJKLMNOPQ 104\n"},
    {"byte above 127 in title", withByte(kGood, 30, '\xe9')},
    {"byte above 127 in host", withByte(kGood, 1, '\xff')},
    {"byte 127", withByte(kGood, 30, '\x7f')},
    {"NUL inside the title", withByte(kGood, 30, '\0')},
    {"NUL before the newline", withByte(kGood, kGood.size() - 1, '\0')},
    {"NUL after the frame", kGood + std::string(1, '\0') + "junk"},
    {"1024 bytes", std::string(1024, 'a')},
    {"1024 bytes valid start", kGood + std::string(1024 - kGood.size(), ' ')},
    {"65535 bytes", std::string(65535, ' ')},
};

class BadDatagrams : public MonitorInput, public ::testing::WithParamInterface<BadDatagram>
{
};

TEST_P(BadDatagrams, ChangeNothing)
{
    const BadDatagram &d = GetParam();
    EXPECT_EQ(handle(d.data), MONITORINPUT_IGNORED) << d.what;
    EXPECT_EQ(entries(), 0) << d.what;
    EXPECT_EQ(mapText(), "") << d.what;
    EXPECT_EQ(logText(), "") << d.what;
}

INSTANTIATE_TEST_SUITE_P(Table, BadDatagrams, ::testing::ValuesIn(kBadDatagrams),
                         [](const ::testing::TestParamInfo<BadDatagram> &info) {
                             std::string name;
                             for (char c : std::string(info.param.what))
                                 name += isalnum((unsigned char)c) ? c : '_';
                             return name;
                         });

TEST_F(MonitorInput, SourceMustBeIPv4)
{
    const std::string text = kGood;
    struct sockaddr_in6 six;
    memset(&six, 0, sizeof(six));
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(1104);
    inet_pton(AF_INET6, "fe80::1", &six.sin6_addr);
    EXPECT_EQ(
        monitorinput_handle(&ctx, text.data(), text.size(), (struct sockaddr *)&six, sizeof(six)),
        MONITORINPUT_IGNORED);

    struct sockaddr_un un;
    memset(&un, 0, sizeof(un));
    un.sun_family = AF_UNIX;
    EXPECT_EQ(
        monitorinput_handle(&ctx, text.data(), text.size(), (struct sockaddr *)&un, sizeof(un)),
        MONITORINPUT_IGNORED);

    // An IPv4 family with a length too short to hold the address.
    EXPECT_EQ(monitorinput_handle(&ctx, text.data(), text.size(), (struct sockaddr *)&src, 8),
              MONITORINPUT_IGNORED);
    EXPECT_EQ(monitorinput_handle(&ctx, text.data(), text.size(), nullptr, 0),
              MONITORINPUT_IGNORED);
    const std::string config = "gamma 1 CONFIG ADD_AET WS1 10.0.0.7:104 FMS\n";
    EXPECT_EQ(monitorinput_handle(&ctx, config.data(), config.size(), (struct sockaddr *)&six,
                                  sizeof(six)),
              MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 0);
    EXPECT_EQ(mapText(), "");

    // A null data pointer is an empty datagram.
    EXPECT_EQ(monitorinput_handle(&ctx, nullptr, 0, (struct sockaddr *)&src, sizeof(src)),
              MONITORINPUT_IGNORED);
}

TEST_F(MonitorInput, NullLogStreamStillAdds)
{
    ctx.logfp = nullptr;
    EXPECT_EQ(handle(kGood), MONITORINPUT_DISCOVERED);
}

// The entry named "Local" gives the server its own AE title at its next
// start: no datagram may add it, in any spelling.
TEST_F(MonitorInput, HostLocalIsNeverLearnt)
{
    EXPECT_EQ(handle("Local 1 CONFIG ADD_AET EVILCFG 127.0.0.1:5555 F\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("Local 2 STORAGE DISCOVER_AET EVILDISC 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("LOCAL 3 STORAGE DISCOVER_AET EVILDISC 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 0);
    EXPECT_EQ(mapText(), "");
}

// Entries the site wrote keep their name, title, address and flags.
TEST_F(MonitorInput, SiteEntriesAreNeverChanged)
{
    ASSERT_EQ(AETitleMap_Add(&map, "WS0", "WS0_AE", "10.0.0.6:104", 0x007, "site"), 0);
    EXPECT_EQ(handle("WS0 1 CONFIG ADD_AET OTHER 127.0.0.1:5555 FMSD\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("evil 1 CONFIG ADD_AET WS0_AE 127.0.0.1:5555 FMSD\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("WS0 2 STORAGE DISCOVER_AET OTHER 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 1);
    AETitleMapEntry *e = AETitleMap_FindByName(&map, "WS0");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->aetitle, "WS0_AE");
    EXPECT_STREQ(e->address, "10.0.0.6:104");
    EXPECT_EQ(e->flags, 0x007);
}

// With learning off nothing is added; otherwise learnt peers get the
// configured flags, and a configuration request no more than those.
TEST_F(MonitorInput, LearningOffAndLearntFlags)
{
    ctx.learn = 0;
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(handle("gamma 1 CONFIG ADD_AET WS1 10.0.0.7:104 FMS\n"), MONITORINPUT_IGNORED);
    EXPECT_EQ(entries(), 0);

    ctx.learn = 1;
    ctx.learn_flags = AETITLEMAP_FLAG_S;
    EXPECT_EQ(handle("beta 100 STORAGE DISCOVER_AET X 104\n"), MONITORINPUT_DISCOVERED);
    EXPECT_EQ(handle("gamma 1 CONFIG ADD_AET WS1 10.0.0.7:104 FMSD\n"), MONITORINPUT_ADDED);
    EXPECT_EQ(AETitleMap_FindByAET(&map, "X")->flags, AETITLEMAP_FLAG_S);
    EXPECT_EQ(AETitleMap_FindByAET(&map, "WS1")->flags, AETITLEMAP_FLAG_S);
    EXPECT_EQ(mapText(),
              "beta\tX\t192.168.1.20:104\tS\tlearnt\ngamma\tWS1\t10.0.0.7:104\tS\tlearnt\n");
}

// Learning never takes a title or name that the server reserves, in any
// case: "Local", its own title, the store-mode and deleting titles, and
// titles the access policy names; a title that the site wrote stays as it
// is. What is learnt carries the learnt remark.
TEST_F(MonitorInput, ReservedTitlesAndNamesAreNeverLearnt)
{
    char policyPath[] = "/tmp/velto-policy-XXXXXX";
    int pfd = mkstemp(policyPath);
    ASSERT_NE(pfd, -1);
    const char rules[] = "*\tmap\techo\nVeltoAdmin\tmap\tdelete\n";
    ASSERT_EQ((ssize_t)strlen(rules), write(pfd, rules, strlen(rules)));
    close(pfd);
    AccessPolicy policy;
    AccessPolicy_Init(&policy);
    ASSERT_EQ(0, AccessPolicy_Load(&policy, policyPath, nullptr, 0));
    unlink(policyPath);
    ctx.policy = &policy;
    ASSERT_EQ(0, AETitleMap_Add(&map, "ws1", "SITE_AE", "10.0.0.7:104", 0x7, "site"));

    const char *refused[] = {
        "h1 1 CONFIG ADD_AET VeltoAdmin 127.0.0.1:11300 FMSD\n",
        "h2 1 CONFIG ADD_AET veltoadmin 127.0.0.1:11300 FMSD\n",
        "h3 1 CONFIG ADD_AET VeltoDeleteAET 127.0.0.1:11300 FMSD\n",
        "h4 1 CONFIG ADD_AET VELTOPRESERVE 127.0.0.1:11300 FMSD\n",
        "h5 1 CONFIG ADD_AET VeltoOverwrite 127.0.0.1:11300 FMSD\n",
        "h6 1 CONFIG ADD_AET VeltoStorage 127.0.0.1:11300 FMSD\n",
        "h7 1 CONFIG ADD_AET LOCAL 127.0.0.1:11300 FMSD\n",
        "h8 1 CONFIG ADD_AET SITE_AE 127.0.0.1:11300 FMSD\n",
        "ws1 1 CONFIG ADD_AET OTHER 127.0.0.1:11300 FMSD\n",
        "local 1 STORAGE DISCOVER_AET EVIL2 104\n",
        "VeltoDeleteAET 1 STORAGE DISCOVER_AET EVIL3 104\n",
        "VeltoAdmin 1 STORAGE DISCOVER_AET EVIL4 104\n",
        "h9 1 STORAGE DISCOVER_AET veltostorage 104\n",
    };
    for (const char *d : refused)
        EXPECT_EQ(MONITORINPUT_IGNORED, handle(d)) << d;
    EXPECT_EQ(1, entries());
    AETitleMapEntry *site = AETitleMap_FindByAET(&map, "SITE_AE");
    EXPECT_STREQ("10.0.0.7:104", site->address);
    EXPECT_EQ(0, AETitleMap_IsLearnt(site));
    EXPECT_EQ("", mapText());

    EXPECT_EQ(MONITORINPUT_ADDED, handle("h1 1 CONFIG ADD_AET EVIL 127.0.0.1:11300 FMSD\n"));
    AETitleMapEntry *e = AETitleMap_FindByAET(&map, "EVIL");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(1, AETitleMap_IsLearnt(e));
    EXPECT_EQ(nullptr, AETitleMap_FindSiteByAET(&map, "EVIL"));
    EXPECT_EQ(mapText(),
              "ws1\tSITE_AE\t10.0.0.7:104\tFMS\tsite\nh1\tEVIL\t127.0.0.1:11300\tFMSD\tlearnt\n");
    AccessPolicy_Destroy(&policy);
}

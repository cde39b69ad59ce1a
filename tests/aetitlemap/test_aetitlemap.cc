// Tests of the AE title map: the list operations, the file format read and
// written, the search for the file, and its whole-file locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "aetitlemap/aetitlemap.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/test_tempdir.h"

// One entry as the tests compare it.
struct Peer {
    std::string name, aetitle, address;
    int flags;
    std::string remark; // "" for none
    bool operator==(const Peer &o) const
    {
        return name == o.name && aetitle == o.aetitle && address == o.address && flags == o.flags &&
               remark == o.remark;
    }
};

static std::ostream &operator<<(std::ostream &os, const Peer &p)
{
    return os << "{" << p.name << "|" << p.aetitle << "|" << p.address << "|" << p.flags << "|"
              << p.remark << "}";
}

static std::vector<Peer> Entries(AETitleMap *map)
{
    std::vector<Peer> v;
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next) {
        EXPECT_TRUE(e->remark == nullptr || e->remark[0] != '\0') << "empty remark not null";
        v.push_back({e->name, e->aetitle, e->address, e->flags, e->remark ? e->remark : ""});
    }
    return v;
}

// A map that frees itself.
class MapTest : public ::testing::Test
{
protected:
    void SetUp() override { AETitleMap_Create(&map_); }
    void TearDown() override { AETitleMap_Destroy(&map_); }

    std::vector<Peer> LoadText(const std::string &text)
    {
        std::string path = dir_.sub("AETitleMap");
        EXPECT_TRUE(WriteFile(path, text));
        AETitleMap_Destroy(&map_);
        EXPECT_EQ(AETitleMap_Load(&map_, path.c_str()), 0);
        return Entries(&map_);
    }

    std::string SaveText()
    {
        std::string path = dir_.sub("saved");
        unlink(path.c_str());
        EXPECT_EQ(AETitleMap_Save(&map_, path.c_str()), 0);
        return ReadFile(path);
    }

    AETitleMap map_;
    TempDir dir_;
};

TEST_F(MapTest, LoadEdgeCases)
{
    std::string long_line = "N1\tAE1\th1:1\tF" + std::string(1023 - 13, ' ') + "N2\tAE2\th2:2\tm\n";
    struct Case {
        const char *what;
        std::string text;
        std::vector<Peer> expect;
    };
    const Case cases[] = {
        {"plain line",
         "WS1\tWS1_AE\t10.0.0.7:104\tFMS\n",
         {{"WS1", "WS1_AE", "10.0.0.7:104", 7, ""}}},
        {"remark", "A\tAE\th:1\tD\tthe remark\n", {{"A", "AE", "h:1", 0x100, "the"}}},
        {"quoted remark",
         "A\tAE\th:1\tD\t\"the remark\"\n",
         {{"A", "AE", "h:1", 0x100, "the remark"}}},
        {"duplicate names: the first wins",
         "A\tAE1\th:1\tF\nA\tAE2\th:2\tM\n",
         {{"A", "AE1", "h:1", 1, ""}}},
        {"same AE title, two names",
         "A\tSAME\th:1\tF\nB\tSAME\th:2\tM\n",
         {{"A", "SAME", "h:1", 1, ""}, {"B", "SAME", "h:2", 2, ""}}},
        {"lower-case flags", "A\tAE\th:1\tfms\n", {{"A", "AE", "h:1", 7, ""}}},
        {"flags X only", "A\tAE\th:1\tX\n", {{"A", "AE", "h:1", 0, ""}}},
        {"flags minus only", "A\tAE\th:1\t-\n", {{"A", "AE", "h:1", 0, ""}}},
        {"repeated and mixed letters", "A\tAE\th:1\tf-F,pQd\n", {{"A", "AE", "h:1", 0x301, ""}}},
        {"quoted name with blanks",
         "\"My Work Station\"\tAE\th:1\tF\n",
         {{"My Work Station", "AE", "h:1", 1, ""}}},
        {"CR LF lines",
         "A\tAE1\th:1\tF\r\nB\tAE2\th:2\tM\r\n",
         {{"A", "AE1", "h:1", 1, ""}, {"B", "AE2", "h:2", 2, ""}}},
        {"CR only lines",
         "A\tAE1\th:1\tF\rB\tAE2\th:2\tM\r",
         {{"A", "AE1", "h:1", 1, ""}, {"B", "AE2", "h:2", 2, ""}}},
        {"blank separators", "A  AE1 h:1   F   rem\n", {{"A", "AE1", "h:1", 1, "rem"}}},
        {"empty lines and no final newline",
         "\n\n\nA\tAE\th:1\tF\n\n\nB\tAE\th:2\tS",
         {{"A", "AE", "h:1", 1, ""}, {"B", "AE", "h:2", 4, ""}}},
        {"fewer than four fields", "A\tAE\th:1\nB\tAE\th:2\tF\n", {{"B", "AE", "h:2", 1, ""}}},
        {"field of 128 characters skips the line",
         std::string(128, 'n') + "\tAE\th:1\tF\nB\tAE\th:2\tF\n",
         {{"B", "AE", "h:2", 1, ""}}},
        {"field of 127 characters is read",
         std::string(127, 'n') + "\tAE\th:1\tF\n",
         {{std::string(127, 'n'), "AE", "h:1", 1, ""}}},
        {"remark too long is dropped",
         "A\tAE\th:1\tF\t" + std::string(200, 'r') + "\n",
         {{"A", "AE", "h:1", 1, ""}}},
        {"line over 1023 characters is read as two lines",
         long_line,
         {{"N1", "AE1", "h1:1", 1, ""}, {"N2", "AE2", "h2:2", 2, ""}}},
        {"over-long line cut inside a field", std::string(1100, 'x') + "\n", {}},
        {"unterminated quote runs to the end of the line",
         "A\tAE\th:1\tF\t\"open remark\nB\tAE\th:2\tF\n",
         {{"A", "AE", "h:1", 1, "open remark"}, {"B", "AE", "h:2", 1, ""}}},
        {"empty quoted flags", "A\tAE\th:1\t\"\"\tnote\n", {{"A", "AE", "h:1", 0, "note"}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(LoadText(c.text), c.expect) << c.what;
}

TEST_F(MapTest, LoadAddsToTheEntriesAlreadyThere)
{
    ASSERT_EQ(AETitleMap_Add(&map_, "A", "OLD", "h:1", 0, nullptr), 0);
    std::string path = dir_.sub("m");
    ASSERT_TRUE(WriteFile(path, "A\tNEW\th:1\tF\nB\tAE\th:2\tF\n"));
    EXPECT_EQ(AETitleMap_Load(&map_, path.c_str()), 0);
    std::vector<Peer> expect = {{"A", "OLD", "h:1", 0, ""}, {"B", "AE", "h:2", 1, ""}};
    EXPECT_EQ(Entries(&map_), expect);
}

TEST_F(MapTest, LoadFailures)
{
    EXPECT_EQ(AETitleMap_Load_fd(&map_, -1), 1);
    EXPECT_EQ(AETitleMap_Load(&map_, dir_.sub("missing").c_str()), 1);
    EXPECT_EQ(map_, nullptr);
}

TEST_F(MapTest, SaveFormat)
{
    struct Case {
        const char *what;
        Peer peer;
        std::string line;
    };
    const Case cases[] = {
        {"plain", {"WS1", "WS1_AE", "10.0.0.7:104", 7, ""}, "WS1\tWS1_AE\t10.0.0.7:104\tFMS\n"},
        {"remark",
         {"A", "AE", "h:1", 0x107, "found by discovery"},
         "A\tAE\th:1\tFMSD\t\"found by discovery\"\n"},
        {"blank in name", {"My WS", "AE", "h:1", 1, ""}, "\"My WS\"\tAE\th:1\tF\n"},
        {"all letters in order", {"A", "AE", "h:1", 0x7FF, ""}, "A\tAE\th:1\tFMSGUEDPT\n"},
        // Without letters the flags field is an empty pair of quotes, so the
        // remark is not read back as the flags.
        {"no flags", {"A", "AE", "h:1", 0, "note"}, "A\tAE\th:1\t\"\"\tnote\n"},
        {"only letterless bits", {"A", "AE", "h:1", 0x8C0, ""}, "A\tAE\th:1\t\"\"\n"},
        {"empty fields", {"", "", "", 1, ""}, "\"\"\t\"\"\t\"\"\tF\n"},
        {"control bytes",
         {"A\x01", "AE", "h:1", 1, "tab\there"},
         "A\x01\tAE\th:1\tF\t\"tab\\there\"\n"},
    };
    for (const Case &c : cases) {
        AETitleMap_Destroy(&map_);
        ASSERT_EQ(AETitleMap_Add(&map_, c.peer.name.c_str(), c.peer.aetitle.c_str(),
                                 c.peer.address.c_str(), c.peer.flags,
                                 c.peer.remark.empty() ? nullptr : c.peer.remark.c_str()),
                  0)
            << c.what;
        std::string saved = SaveText();
        EXPECT_EQ(saved, c.line) << c.what;
        // And it reads back, letterless bits apart.
        Peer expect = c.peer;
        expect.flags &= 0x73F;
        std::vector<Peer> one = {expect};
        EXPECT_EQ(LoadText(saved), one) << c.what;
    }
}

TEST_F(MapTest, SaveAndLoadRoundTrip)
{
    const std::vector<Peer> peers = {
        {"Local", "VELTO", "localhost:1104", 0x107, ""},
        {"name with \"quotes\" and 'apostrophes'", "AE 2", "10.0.0.2:104", 0x20, "r\\emark"},
        {std::string(127, 'n'), std::string(127, 'a'), std::string(127, 'h'), 0x33F,
         std::string(127, 'r')},
        {"caf\xe9", "\xe9t\xe9", "h\x7f:1", 0x200, "\x01\x02\x1f"},
    };
    for (const Peer &p : peers)
        ASSERT_EQ(AETitleMap_Add(&map_, p.name.c_str(), p.aetitle.c_str(), p.address.c_str(),
                                 p.flags, p.remark.empty() ? nullptr : p.remark.c_str()),
                  0)
            << p;
    EXPECT_EQ(LoadText(SaveText()), peers);
}

// Left open by the format: an entry that could not be written as one
// loadable line is refused when it is added.
TEST_F(MapTest, AddRefusesEntriesTheFileCannotHold)
{
    std::string f127(127, 'x'), f128(128, 'x');
    EXPECT_EQ(AETitleMap_Add(&map_, f128.c_str(), "AE", "h:1", 1, nullptr), -3);
    EXPECT_EQ(AETitleMap_Add(&map_, "A", "AE", "h:1", 1, f128.c_str()), -3);
    // The blank forces quotes, and then every control byte takes four
    // characters: each field is 507 characters.
    std::string ctl = std::string(126, '\x01') + " ";
    EXPECT_EQ(AETitleMap_Add(&map_, ctl.c_str(), ctl.c_str(), "h:1", 1, "xyz"), -3);
    EXPECT_EQ(map_, nullptr);
    EXPECT_EQ(AETitleMap_Add(&map_, f127.c_str(), "AE", "h:1", 1, f127.c_str()), 0);
    EXPECT_EQ(AETitleMap_Add(&map_, ctl.c_str(), "AE", "h:1", 1, nullptr), 0);
    EXPECT_EQ(Entries(&map_).size(), 2u);
}

// The longest line written, line feed included, is 1023 characters.
TEST_F(MapTest, LineLengthBoundary)
{
    std::string name = std::string(126, '\x01') + " "; // 507 characters
    std::string aet = std::string(100, '\x01') + " ";  // 403 characters
    std::string addr(108, 'h');
    ASSERT_EQ(AETitleMap_Add(&map_, name.c_str(), aet.c_str(), addr.c_str(), 1, nullptr), 0);
    std::string saved = SaveText();
    EXPECT_EQ(saved.size(), 1023u);
    std::vector<Peer> one = {{name, aet, addr, 1, ""}};
    EXPECT_EQ(LoadText(saved), one);
    addr += 'h';
    EXPECT_EQ(AETitleMap_Add(&map_, "other", aet.c_str(), addr.c_str(), 1, nullptr), 0);
    EXPECT_EQ(AETitleMap_Add(&map_, name.c_str(), aet.c_str(), addr.c_str(), 1, nullptr), -2);
    AETitleMap_Destroy(&map_);
    EXPECT_EQ(AETitleMap_Add(&map_, name.c_str(), aet.c_str(), addr.c_str(), 1, nullptr), -3);
}

TEST_F(MapTest, AddAndFind)
{
    EXPECT_EQ(AETitleMap_Add(&map_, "A", "AE1", "h:1", 1, ""), 0);
    EXPECT_EQ(AETitleMap_Add(&map_, "B", "SAME", "h:2", 2, "r"), 0);
    EXPECT_EQ(AETitleMap_Add(&map_, "C", "SAME", "h:3", 4, nullptr), 0);
    EXPECT_EQ(AETitleMap_Add(&map_, "A", "OTHER", "h:9", 8, nullptr), -2);
    EXPECT_EQ(AETitleMap_FindByName(&map_, "A")->aetitle, std::string("AE1"));
    EXPECT_EQ(AETitleMap_FindByName(&map_, "A")->remark, nullptr); // "" is no remark
    EXPECT_EQ(AETitleMap_FindByName(&map_, "a"), nullptr);         // case-sensitive
    EXPECT_EQ(AETitleMap_FindByAET(&map_, "SAME")->name, std::string("B"));
    EXPECT_EQ(AETitleMap_FindByAET(&map_, "same"), nullptr);
    EXPECT_EQ(AETitleMap_FindByNum(&map_, 0)->name, std::string("A"));
    EXPECT_EQ(AETitleMap_FindByNum(&map_, 2)->name, std::string("C"));
    EXPECT_EQ(AETitleMap_FindByNum(&map_, 3), nullptr);
    EXPECT_EQ(AETitleMap_FindByNum(&map_, -1), nullptr);

    // The strings are copies.
    char name[] = "D";
    ASSERT_EQ(AETitleMap_Add(&map_, name, "AE4", "h:4", 0, nullptr), 0);
    name[0] = 'X';
    EXPECT_NE(AETitleMap_FindByName(&map_, "D"), nullptr);
}

TEST_F(MapTest, Delete)
{
    for (const char *n : {"A", "B", "C"})
        ASSERT_EQ(AETitleMap_Add(&map_, n, n, "h:1", 1, nullptr), 0);
    AETitleMapEntry *b = AETitleMap_FindByName(&map_, "B");
    EXPECT_EQ(AETitleMap_Del(&map_, b), 0);
    AETitleMapEntry stranger = {};
    EXPECT_EQ(AETitleMap_Del(&map_, &stranger), -1);
    EXPECT_EQ(AETitleMap_Del(&map_, AETitleMap_FindByNum(&map_, 0)), 0);
    std::vector<Peer> expect = {{"C", "C", "h:1", 1, ""}};
    EXPECT_EQ(Entries(&map_), expect);
    // A deleted name may be added again.
    EXPECT_EQ(AETitleMap_Add(&map_, "A", "A2", "h:1", 1, nullptr), 0);
}

TEST(FlagLetters, Table)
{
    struct Case {
        int flags;
        const char *letters;
    };
    const Case cases[] = {
        {0, ""},     {0x001, "F"}, {0x007, "FMS"}, {0x107, "FMSD"}, {0x3FF, "FMSGUEDP"},
        {0x0C0, ""}, {0x400, "T"}, {0x800, ""},    {0x220, "EP"},   {0x405, "FST"},
    };
    char letters[AETITLEMAP_FLAGLETTERS];
    for (const Case &c : cases) {
        EXPECT_STREQ(AETitleMap_flagstochars(c.flags, letters), c.letters) << c.flags;
        EXPECT_EQ(AETitleMap_charstoflags(c.letters), c.flags & 0x73F) << c.letters;
    }
    EXPECT_EQ(AETitleMap_charstoflags("fms"), 7);
    EXPECT_EQ(AETitleMap_charstoflags("pdeugsmf"), 0x33F);
    EXPECT_EQ(AETitleMap_charstoflags("FFF"), 1);
    EXPECT_EQ(AETitleMap_charstoflags("-X?"), 0);
}

TEST_F(MapTest, SaveAfterDeleteLeavesNoStaleBytes)
{
    std::string path = dir_.sub("AETitleMap");
    ASSERT_TRUE(WriteFile(path, "First\tAE1\thost-one.example:104\tFMS\tremark one\n"
                                "Second\tAE2\thost-two.example:104\tFMS\n"
                                "Third\tAE3\thost-three.example:104\tFMSD\n"
                                "Fourth\tAE4\thost-four.example:104\tE\n"));
    int fd = AETitleMap_Open(path.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(AETitleMap_Load_fd(&map_, fd), 0);
    ASSERT_EQ(AETitleMap_Del(&map_, AETitleMap_FindByName(&map_, "First")), 0);
    ASSERT_EQ(AETitleMap_Del(&map_, AETitleMap_FindByName(&map_, "Third")), 0);
    ASSERT_EQ(AETitleMap_Save_fd(&map_, fd), 0);
    EXPECT_EQ(ReadFile(path),
              "Second\tAE2\thost-two.example:104\tFMS\nFourth\tAE4\thost-four.example:104\tE\n");

    // Emptied: the file is empty.
    AETitleMap_Destroy(&map_);
    ASSERT_EQ(AETitleMap_Save_fd(&map_, fd), 0);
    EXPECT_EQ(ReadFile(path), "");
    close(fd);
    EXPECT_EQ(AETitleMap_Save_fd(&map_, -1), -1);
}

// A write failing part-way (file size limit): the save reports the
// failure and the old file stays whole, with no temporary file beside it.
TEST_F(MapTest, FailedWriteLeavesTheOldFileWhole)
{
    std::string path = dir_.sub("AETitleMap");
    std::string old_text;
    for (int i = 0; i < 20; i++)
        old_text += "OldPeer" + std::to_string(i) + "\tOLD_AE\told-host.example:104\tFMS\n";
    ASSERT_TRUE(WriteFile(path, old_text));
    for (int i = 0; i < 20; i++) {
        std::string name = "NewPeer" + std::to_string(i);
        ASSERT_EQ(AETitleMap_Add(&map_, name.c_str(), "NEW_AE", "new-host.example:11112",
                                 AETITLEMAP_FLAGS_DISCOVERED, "added"),
                  0);
    }
    const size_t limit = 300; // somewhere inside the fifth new line
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Writes past the limit fail with EFBIG instead of raising SIGXFSZ.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            _exit(10);
        int fd = AETitleMap_Open(path.c_str(), O_RDWR, 0);
        if (fd < 0)
            _exit(11);
        _exit(AETitleMap_Save_fd(&map_, fd) == -1 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), old_text);
    std::string tmp = path + "." + std::to_string((long)child) + ".tmp";
    EXPECT_NE(access(tmp.c_str(), F_OK), 0) << tmp << " left behind";

    // The next save, with room, writes the whole table.
    ASSERT_EQ(AETitleMap_Save(&map_, path.c_str()), 0);
    EXPECT_EQ(LoadText(ReadFile(path)).size(), 20u);
}

// Points $(progpath) and $(HOME) into a temporary tree for the search.
class SearchTest : public MapTest
{
protected:
    void SetUp() override
    {
        MapTest::SetUp();
        if (access("/etc/velto/override/AETitleMap", F_OK) == 0 ||
            access("/etc/velto/AETitleMap", F_OK) == 0)
            GTEST_SKIP() << "this host has an AETitleMap in /etc/velto";
        override_ = dir_.mkdirs("prefix/share/velto/override/etc");
        user_ = dir_.mkdirs("home/.velto/etc");
        install_ = dir_.mkdirs("prefix/share/velto/etc");
        detect_installpath((dir_.sub("prefix") + "/bin/storeserver").c_str());
    }
    void TearDown() override
    {
        detect_installpath(nullptr);
        MapTest::TearDown();
    }
    ScopedEnv progpath_{"progpath", nullptr};
    ScopedEnv home_{"HOME", dir_.sub("home").c_str()};
    std::string override_, user_, install_;
};

TEST_F(SearchTest, FoundInAnyDirectoryOverridesFirst)
{
    int fd = AETitleMap_Open(nullptr, O_RDONLY, 0);
    EXPECT_EQ(fd, -1);
    struct Step {
        std::string *dir;
        const char *aetitle;
    };
    // Each copy placed in a directory earlier on the path wins.
    const Step steps[] = {{&install_, "INSTALL"}, {&user_, "USER"}, {&override_, "OVERRIDE"}};
    for (const Step &s : steps) {
        ASSERT_TRUE(
            WriteFile(*s.dir + "/AETitleMap", std::string("Local\t") + s.aetitle + "\th:1\tF\n"));
        AETitleMap_Destroy(&map_);
        EXPECT_EQ(AETitleMap_Load(&map_, nullptr), 0);
        ASSERT_NE(AETitleMap_FindByName(&map_, "Local"), nullptr);
        EXPECT_STREQ(AETitleMap_FindByName(&map_, "Local")->aetitle, s.aetitle);
    }

    FILE *log = tmpfile();
    logprintf_setmaxlevel(64);
    AETitleMap_LogTable(&map_, 64, log);
    logprintf_setmaxlevel(32);
    std::string text = ReadStream(log);
    fclose(log);
    EXPECT_NE(text.find("]:AE-Title map table:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("]:Local      OVERRIDE   h:1                  (F) \n"), std::string::npos)
        << text;
}

TEST_F(SearchTest, SearchNeverCreatesTheFile)
{
    EXPECT_EQ(AETitleMap_Open(nullptr, O_RDWR | O_CREAT, 0666), -1);
    EXPECT_EQ(AETitleMap_Save(&map_, nullptr), -1);
    for (const std::string *d : {&override_, &user_, &install_})
        EXPECT_NE(access((*d + "/AETitleMap").c_str(), F_OK), 0);
    // An explicit path is created.
    int fd = AETitleMap_Open(dir_.sub("explicit").c_str(), O_RDWR | O_CREAT, 0666);
    EXPECT_GE(fd, 0);
    close(fd);
}

TEST_F(SearchTest, SaveWithoutPathWritesTheFileALoadReads)
{
    ASSERT_TRUE(WriteFile(user_ + "/AETitleMap", "Old\tOLD\th:1\tF\n"));
    ASSERT_TRUE(WriteFile(install_ + "/AETitleMap", "Inst\tINST\th:1\tF\n"));
    ASSERT_EQ(AETitleMap_Add(&map_, "New", "NEW", "h:2", 2, nullptr), 0);
    EXPECT_EQ(AETitleMap_Save(&map_, nullptr), 0);
    EXPECT_EQ(ReadFile(user_ + "/AETitleMap"), "New\tNEW\th:2\tM\n");
    EXPECT_EQ(ReadFile(install_ + "/AETitleMap"), "Inst\tINST\th:1\tF\n");
}

// Every program loads the site's map through one call: the server keeps a
// writable file open for the peers it learns, the others read and close it.
TEST_F(SearchTest, LoadSiteKeepsAWritableFileOpenOnlyWhenAsked)
{
    int kept = 7;
    EXPECT_EQ(AETitleMap_LoadSite(&map_, &kept), 1);
    EXPECT_EQ(kept, -1);
    EXPECT_EQ(map_, nullptr);
    EXPECT_NE(access((user_ + "/AETitleMap").c_str(), F_OK), 0) << "created by a search";

    ASSERT_TRUE(WriteFile(user_ + "/AETitleMap", "Old\tOLD\th:1\tF\n"));
    EXPECT_EQ(AETitleMap_LoadSite(&map_, &kept), 0);
    ASSERT_GE(kept, 0);
    ASSERT_NE(AETitleMap_FindByName(&map_, "Old"), nullptr);
    ASSERT_EQ(AETitleMap_Add(&map_, "New", "NEW", "h:2", 2, nullptr), 0);
    EXPECT_EQ(AETitleMap_Save_fd(&map_, kept), 0);
    close(kept);
    EXPECT_EQ(ReadFile(user_ + "/AETitleMap"), "Old\tOLD\th:1\tF\nNew\tNEW\th:2\tM\n");

    AETitleMap_Destroy(&map_);
    EXPECT_EQ(AETitleMap_LoadSite(&map_, nullptr), 0);
    EXPECT_NE(AETitleMap_FindByName(&map_, "New"), nullptr);

    // A copy that cannot be written is still read, and nothing is kept.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod((user_ + "/AETitleMap").c_str(), 0444), 0);
        AETitleMap_Destroy(&map_);
        kept = 7;
        EXPECT_EQ(AETitleMap_LoadSite(&map_, &kept), 0);
        EXPECT_EQ(kept, -1);
        EXPECT_NE(AETitleMap_FindByName(&map_, "Old"), nullptr);
    }
}

// The server's processes share the file: a save waits for a reader's lock.
TEST_F(MapTest, SaveWaitsForAnotherProcessReadLock)
{
    std::string path = dir_.sub("AETitleMap");
    ASSERT_TRUE(WriteFile(path, "A\tAE\th:1\tF\n"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(path.c_str(), O_RDONLY);
        struct flock fl = {};
        fl.l_type = F_RDLCK;
        if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0)
            _exit(1);
        if (write(ready[1], "r", 1) != 1)
            _exit(2);
        usleep(400000);
        _exit(0); // the lock goes with the process
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    // A shared lock of ours does not wait for theirs.
    int fd = AETitleMap_Open(path.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(AETitleMap_Load_fd(&map_, fd), 0);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "reader ended before the load finished";

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    ASSERT_EQ(AETitleMap_Add(&map_, "B", "AE2", "h:2", 2, nullptr), 0);
    ASSERT_EQ(AETitleMap_Save_fd(&map_, fd), 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    close(fd);
    // The exclusive lock was granted only when the reader ended.
    EXPECT_EQ(waitpid(child, &status, 0), child);
    double waited = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_GE(waited, 0.2);
    EXPECT_EQ(ReadFile(path), "A\tAE\th:1\tF\nB\tAE2\th:2\tM\n");
}

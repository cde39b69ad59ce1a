// Tests of the access policy: its file (search, rules, malformed lines),
// the operations it grants by title and address, the move destination
// check, and the refusals it logs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "access/accesspolicy.h"
#include "runtime/test_tempdir.h"

class Policy : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AccessPolicy_Init(&policy_);
        AETitleMap_Create(&map_);
        ASSERT_EQ(
            AETitleMap_Add(&map_, "WS1", "WS1_AE", "10.0.0.7:104", AETITLEMAP_FLAG_F, nullptr), 0);
        ASSERT_EQ(AETitleMap_Add(&map_, "LOOP", "LOOP_AE", "localhost:104", 0, nullptr), 0);
        ASSERT_EQ(
            AETitleMap_Add(&map_, "DEST", "DEST_AE", "10.0.0.9:104", AETITLEMAP_FLAG_M, nullptr),
            0);
        ASSERT_EQ(AETitleMap_Add(&map_, "V6", "V6_AE", "[::1]:104", 0, nullptr), 0);
    }
    void TearDown() override
    {
        AccessPolicy_Destroy(&policy_);
        AETitleMap_Destroy(&map_);
    }

    // Loads text as the policy file; returns the result of the load.
    int Load(const std::string &text)
    {
        std::string path = dir_.sub("AccessPolicy");
        EXPECT_TRUE(WriteFile(path, text));
        error_[0] = '\0';
        return AccessPolicy_Load(&policy_, path.c_str(), error_, sizeof(error_));
    }
    unsigned Ops(const char *title, const char *address)
    {
        return AccessPolicy_Operations(&policy_, &map_, title, address);
    }

    TempDir dir_;
    AccessPolicy policy_;
    AETitleMap map_;
    char error_[256];
};

TEST_F(Policy, WithoutFileEverythingIsAllowed)
{
    ScopedEnv home("HOME", dir_.path().c_str());
    ScopedEnv progpath("progpath", dir_.sub("prefix").c_str());
    // The search finds nothing below this home; the fixed /etc directories
    // are not expected to hold a policy on a test machine.
    if (access("/etc/velto/AccessPolicy", F_OK) == 0 ||
        access("/etc/velto/override/AccessPolicy", F_OK) == 0)
        GTEST_SKIP() << "this machine has a site policy";
    EXPECT_EQ(AccessPolicy_Load(&policy_, nullptr, error_, sizeof(error_)), 1);
    EXPECT_EQ(policy_.active, 0);
    EXPECT_EQ(Ops("ANYONE", "192.0.2.1"), (unsigned)ACCESS_ALL);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "NOWHERE", nullptr), 1);

    // The same search finds the file in the user's configuration directory.
    dir_.mkdirs(".velto/etc");
    ASSERT_TRUE(WriteFile(dir_.sub(".velto/etc/AccessPolicy"), "* any echo\n"));
    EXPECT_EQ(AccessPolicy_Load(&policy_, nullptr, error_, sizeof(error_)), 0);
    EXPECT_EQ(policy_.path, dir_.sub(".velto/etc/AccessPolicy"));
    EXPECT_EQ(Ops("ANYONE", "192.0.2.1"), (unsigned)ACCESS_ECHO);
}

TEST_F(Policy, RulesGrantByTitleAndAddress)
{
    ASSERT_EQ(Load("# comment line\n"
                   "\n"
                   "WS1_AE   map          echo,find move  # trailing comment\n"
                   "WS1_AE   any          get\n"
                   "LOOP_AE  map          store\n"
                   "V6_AE    map          delete\n"
                   "*        192.0.2.0/24 echo\n"
                   "NET_AE   10.1.0.0/16  store,find\n"
                   "RIS_AE   10.1.0.0/16  worklist\n"
                   "HOST_AE  localhost    commit\n"
                   "ADMIN    10.0.0.5     ALL\n"),
              0)
        << error_;
    EXPECT_EQ(policy_.active, 1);
    // The map's address of the title, and only that, satisfies "map".
    EXPECT_EQ(Ops("WS1_AE", "10.0.0.7"),
              (unsigned)(ACCESS_ECHO | ACCESS_FIND | ACCESS_MOVE | ACCESS_GET));
    EXPECT_EQ(Ops("WS1_AE", "10.0.0.8"), (unsigned)ACCESS_GET);
    EXPECT_EQ(Ops("WS1_AE", "::ffff:10.0.0.7"), Ops("WS1_AE", "10.0.0.7"));
    // A host name in the map is resolved; an IPv6 address in brackets too.
    EXPECT_EQ(Ops("LOOP_AE", "127.0.0.1"), (unsigned)ACCESS_STORE);
    EXPECT_EQ(Ops("V6_AE", "::1"), (unsigned)ACCESS_DELETE);
    EXPECT_EQ(Ops("V6_AE", "127.0.0.1"), 0u);
    // "map" never matches a title that the map does not hold.
    EXPECT_EQ(Ops("STRANGER", "10.0.0.7"), 0u);
    // Networks: the prefix decides, and the wildcard title adds to others.
    EXPECT_EQ(Ops("STRANGER", "192.0.2.200"), (unsigned)ACCESS_ECHO);
    EXPECT_EQ(Ops("STRANGER", "192.0.3.1"), 0u);
    EXPECT_EQ(Ops("NET_AE", "10.1.255.3"), (unsigned)(ACCESS_STORE | ACCESS_FIND));
    EXPECT_EQ(Ops("NET_AE", "10.2.0.1"), 0u);
    // The worklist is an operation of its own, which "find" does not give.
    EXPECT_EQ(Ops("RIS_AE", "10.1.0.1"), (unsigned)ACCESS_WORKLIST);
    EXPECT_EQ(AccessPolicy_OperationName(ACCESS_WORKLIST), std::string("worklist"));
    EXPECT_EQ(Ops("HOST_AE", "127.0.0.1"), (unsigned)ACCESS_COMMIT);
    EXPECT_EQ(Ops("ADMIN", "10.0.0.5"), (unsigned)ACCESS_ALL);
    EXPECT_EQ(Ops("ADMIN", "10.0.0.6"), 0u);
    // Titles are compared exactly; an unparsable peer address matches no
    // address rule.
    EXPECT_EQ(Ops("ws1_ae", "10.0.0.7"), 0u);
    EXPECT_EQ(Ops("WS1_AE", ""), (unsigned)ACCESS_GET);
    EXPECT_EQ(Ops("ADMIN", "not-an-address"), 0u);
}

TEST_F(Policy, MalformedFileRefusesEverything)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"A any echo\nB any fly\n", "line 2: unknown operation \"fly\""},
        {"A any\n", "line 1: a rule needs a title, an address and operations"},
        {"A 10.0.0.0/33 echo\n", "line 1: bad prefix length in \"10.0.0.0/33\""},
        {"A 10.0.0.0/ echo\n", "line 1: bad prefix length in \"10.0.0.0/\""},
        {"A bad_host! echo\n", "line 1: \"bad_host!\" is no address, network or host name"},
        {"THIS_TITLE_IS_TOO_LONG any echo\n", "line 1: AE title longer than 16 characters"},
        {"A any echo,,bogus\n", "line 1: unknown operation \"bogus\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Load(c.text), -1) << c.text;
        EXPECT_STREQ(error_, c.error) << c.text;
        EXPECT_EQ(policy_.active, 1) << c.text;
        EXPECT_EQ(Ops("A", "127.0.0.1"), 0u) << c.text;
    }
    std::string line(2000, 'x');
    EXPECT_EQ(Load("A any echo\n" + line + "\n"), -1);
    EXPECT_STREQ(error_, "line 2: longer than 1022 characters");

    // A file that cannot be read (here: a directory) is no policy to run with.
    std::string sub = dir_.mkdirs("policydir");
    EXPECT_EQ(AccessPolicy_Load(&policy_, sub.c_str(), error_, sizeof(error_)), -1);
    EXPECT_EQ(policy_.active, 1);
    EXPECT_EQ(Ops("A", "127.0.0.1"), 0u);

    // Nor is a FIFO, which is refused at once rather than waited on.
    std::string fifo = dir_.sub("policyfifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(AccessPolicy_Load(&policy_, fifo.c_str(), error_, sizeof(error_)), -1);
    EXPECT_STREQ(error_, "cannot read: not a regular file");
    EXPECT_EQ(Ops("A", "127.0.0.1"), 0u);

    // A good load afterwards replaces the refusing policy.
    EXPECT_EQ(Load("A any echo\n"), 0);
    EXPECT_EQ(Ops("A", "127.0.0.1"), (unsigned)ACCESS_ECHO);
}

TEST_F(Policy, ChecksLogRefusalsWithThePeerTextEscaped)
{
    ASSERT_EQ(Load("WS1_AE map echo find\n"), 0) << error_;
    FILE *log = tmpfile();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(AccessPolicy_Check(&policy_, &map_, "WS1_AE", "10.0.0.7", ACCESS_FIND, log), 1);
    EXPECT_EQ(AccessPolicy_Check(&policy_, &map_, "WS1_AE", "10.0.0.7", ACCESS_STORE, log), 0);
    EXPECT_EQ(AccessPolicy_CheckAssociation(&policy_, &map_, "WS1_AE", "10.0.0.7", log), 1);
    EXPECT_EQ(AccessPolicy_CheckAssociation(&policy_, &map_, "EV\nIL x", "10.0.0.7", log), 0);
    std::string text = ReadStream(log);
    fclose(log);
    EXPECT_NE(text.find("]:Access refused: WS1_AE from 10.0.0.7 may not store.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("]:Access refused: \"EV\\nIL x\" from 10.0.0.7 may not associate.\n"),
              std::string::npos)
        << text;
    // Two refusals, two lines: the peer's line feed did not make a third.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
}

TEST_F(Policy, MoveDestinationNeedsMapEntryWithMoveFlag)
{
    ASSERT_EQ(Load("* any all\n"), 0) << error_;
    FILE *log = tmpfile();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "DEST_AE", log), 1);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "WS1_AE", log), 0);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "NOWHERE", log), 0);
    std::string text = ReadStream(log);
    fclose(log);
    EXPECT_NE(text.find("Access refused: move destination WS1_AE has no move flag (M).\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Access refused: move destination NOWHERE is not in the AE title map.\n"),
              std::string::npos)
        << text;
}

// An entry learnt from the monitor channel (remark "learnt") gains nothing
// from "map" rules, even when it calls from its learnt address; it is a
// move destination only with "learnt-destinations yes". A site entry with
// the same title later in the map still counts.
TEST_F(Policy, LearntEntriesGainNoRights)
{
    ASSERT_EQ(AETitleMap_Add(&map_, "h1", "EVIL", "127.0.0.1:11300", 0x107, "learnt"), 0);
    ASSERT_EQ(AETitleMap_Add(&map_, "h2", "VeltoAdmin", "127.0.0.1:11301", 0x107, "learnt"), 0);
    ASSERT_EQ(AETitleMap_Add(&map_, "h3", "SIB", "127.0.0.1:11302", AETITLEMAP_FLAG_M, "learnt"),
              0);
    ASSERT_EQ(Load("*\tmap\techo store find move get commit\nVeltoAdmin\tmap\tdelete\n"), 0);
    EXPECT_EQ(policy_.learntDestinations, 0);
    EXPECT_EQ(Ops("EVIL", "127.0.0.1"), 0u);
    EXPECT_EQ(Ops("VeltoAdmin", "127.0.0.1"), 0u);
    EXPECT_EQ(Ops("WS1_AE", "10.0.0.7"), 0x5Fu);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "SIB", nullptr), 0);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "DEST_AE", nullptr), 1);

    ASSERT_EQ(Load("learnt-destinations yes\n*\tmap\techo\n"), 0);
    EXPECT_EQ(policy_.learntDestinations, 1);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "SIB", nullptr), 1);
    EXPECT_EQ(Ops("SIB", "127.0.0.1"), 0u);
    ASSERT_EQ(Load("learnt-destinations no\n"), 0);
    EXPECT_EQ(AccessPolicy_CheckDestination(&policy_, &map_, "SIB", nullptr), 0);

    // The site adopts a peer by writing its own entry.
    ASSERT_EQ(AETitleMap_Add(&map_, "evilhost", "EVIL", "127.0.0.1:11300", 0x7, nullptr), 0);
    ASSERT_EQ(Load("*\tmap\techo\n"), 0);
    EXPECT_EQ(Ops("EVIL", "127.0.0.1"), (unsigned)ACCESS_ECHO);

    for (const char *bad : {"learnt-destinations\n", "learnt-destinations maybe\n",
                            "learnt-destinations yes echo\n"}) {
        EXPECT_EQ(Load(bad), -1) << bad;
        EXPECT_EQ(policy_.learntDestinations, 0) << bad;
    }
}

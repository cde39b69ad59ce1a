// Unit tests of the stored-image announcement parser.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "studywatch/storeuid.h"
#include "studywatch/studyqueue.h"

struct Case {
    const char *name;
    std::string datagram;
    int result;
    const char *uid; // expected on STOREUID_OK
};

static std::string Announce(const std::string &study)
{
    return "alpha 4711 STORAGE STOREUID " + study + " 1.2.3.1 1.2.3.1.1\n";
}

TEST(StoreUidParse, Table)
{
    const Case cases[] = {
        {"server announcement", Announce("1.2.840.113619.2.55"), STOREUID_OK,
         "1.2.840.113619.2.55"},
        {"only the blank after the study UID is needed", "h 1 STORAGE STOREUID 1.2.3 ", STOREUID_OK,
         "1.2.3"},
        {"letters, dash and underscore are usable", Announce("A1.b-2_c"), STOREUID_OK, "A1.b-2_c"},
        {"empty host and pid words are skipped", "  STORAGE STOREUID 9.8 x y\n", STOREUID_OK,
         "9.8"},
        {"empty", "", STOREUID_OTHER, nullptr},
        {"no blank", "garbage", STOREUID_OTHER, nullptr},
        {"host and pid only", "alpha 4711 ", STOREUID_OTHER, nullptr},
        {"status announcement", "alpha 4711 STORAGE IDLE 1\n", STOREUID_OTHER, nullptr},
        {"fourth word not STOREUID", "alpha 4711 STORAGE STOREUIDX 1.2.3 4 5\n", STOREUID_OTHER,
         nullptr},
        {"fourth word a prefix of STOREUID", "alpha 4711 STORAGE STORE 1.2.3 4 5\n", STOREUID_OTHER,
         nullptr},
        {"third word not STORAGE", "alpha 4711 CONFIG STOREUID 1.2.3 4 5\n", STOREUID_OTHER,
         nullptr},
        {"keywords are case-sensitive", "alpha 4711 storage storeuid 1.2.3 4 5\n", STOREUID_OTHER,
         nullptr},
        {"study UID is the last word", "alpha 4711 STORAGE STOREUID 1.2.3\n", STOREUID_OTHER,
         nullptr},
        {"study UID is the last word, no newline", "alpha 4711 STORAGE STOREUID 1.2.3",
         STOREUID_OTHER, nullptr},
        {"no study UID", "alpha 4711 STORAGE STOREUID\n", STOREUID_OTHER, nullptr},
        {"tab instead of blank", "alpha 4711 STORAGE STOREUID 1.2.3\t4 5\n", STOREUID_BADUID,
         nullptr},
        {"doubled blank before the UID", "alpha 4711 STORAGE STOREUID  1.2.3 4\n", STOREUID_BADUID,
         nullptr},
        {"shell characters", Announce("1.2;rm${IFS}-rf"), STOREUID_BADUID, nullptr},
        {"quote", Announce("1.2'3"), STOREUID_BADUID, nullptr},
        {"leading dash", Announce("-rf"), STOREUID_BADUID, nullptr},
        {"leading dot", Announce(".1.2"), STOREUID_BADUID, nullptr},
        {"newline inside", "h 1 STORAGE STOREUID 1.2\n3 4 5\n", STOREUID_BADUID, nullptr},
        {"NUL inside the UID", std::string("h 1 STORAGE STOREUID 1.2\0.3 4 5\n", 32),
         STOREUID_BADUID, nullptr},
        {"high bytes", Announce("1.2\xc3\xa9"), STOREUID_BADUID, nullptr},
    };
    for (const Case &c : cases) {
        char uid[SQ_UIDSIZE] = "unchanged";
        EXPECT_EQ(c.result, storeuid_parse(c.datagram.data(), c.datagram.size(), uid, sizeof uid))
            << c.name;
        if (c.result == STOREUID_OK)
            EXPECT_STREQ(c.uid, uid) << c.name;
        else
            EXPECT_STREQ("unchanged", uid) << c.name;
    }
}

TEST(StoreUidParse, NulBeforeTheKeywordsIsNotAnAnnouncement)
{
    const std::string d("h 1 STOR\0GE STOREUID 1.2 3 4\n", 29);
    char uid[SQ_UIDSIZE];
    EXPECT_EQ(STOREUID_OTHER, storeuid_parse(d.data(), d.size(), uid, sizeof uid));
}

// A UID that does not fit is refused rather than cut: a cut UID would merge
// different studies and hand the renderer a study that does not exist.
TEST(StoreUidParse, UidLengthLimit)
{
    char uid[SQ_UIDSIZE];
    std::string longest(SQ_UIDSIZE - 1, '1');
    EXPECT_EQ(STOREUID_OK,
              storeuid_parse(Announce(longest).data(), Announce(longest).size(), uid, sizeof uid));
    EXPECT_EQ(longest, std::string(uid));
    std::string overlong(SQ_UIDSIZE, '1');
    EXPECT_EQ(STOREUID_BADUID, storeuid_parse(Announce(overlong).data(), Announce(overlong).size(),
                                              uid, sizeof uid));
}

TEST(StoreUidParse, WholeFrameOf1024BytesOfGarbage)
{
    std::string d(1024, 'A');
    char uid[SQ_UIDSIZE];
    EXPECT_EQ(STOREUID_OTHER, storeuid_parse(d.data(), d.size(), uid, sizeof uid));
    d.assign(1024, ' ');
    EXPECT_EQ(STOREUID_OTHER, storeuid_parse(d.data(), d.size(), uid, sizeof uid));
}

// Regression: the bytes after the received length (left there by an earlier,
// longer datagram) must never complete a shorter one.
TEST(StoreUidParse, ParsesOnlyTheGivenLength)
{
    char buf[1024];
    const char *longer = "h 1 STORAGE STOREUIX 1.2.3.4 5.6 7.8\n";
    const char *shorter = "h 1 STORAGE STOREUID 1.2.3.4";
    memset(buf, 0, sizeof buf);
    memcpy(buf, longer, strlen(longer));
    memcpy(buf, shorter, strlen(shorter));
    char uid[SQ_UIDSIZE];
    EXPECT_EQ(STOREUID_OTHER, storeuid_parse(buf, strlen(shorter), uid, sizeof uid));
    EXPECT_EQ(STOREUID_OK, storeuid_parse(buf, strlen(longer), uid, sizeof uid));
    EXPECT_STREQ("1.2.3.4", uid);
}

TEST(StoreUidParse, NullDataIsIgnored)
{
    char uid[SQ_UIDSIZE];
    EXPECT_EQ(STOREUID_OTHER, storeuid_parse(nullptr, 0, uid, sizeof uid));
}

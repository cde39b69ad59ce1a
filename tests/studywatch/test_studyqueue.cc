// Unit tests of the study queue: entries, states, counts, promotion order.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "studywatch/studyqueue.h"

class StudyQueue : public ::testing::Test
{
protected:
    void SetUp() override { SQ_init(&q); }
    void TearDown() override { SQ_clear(&q); }

    // The counts must always match the states of the listed entries.
    void ExpectCounts(unsigned waiting, unsigned ready, unsigned running)
    {
        unsigned seen[SQ_NSTATES] = {0, 0, 0, 0};
        for (SQ_entry *e = q.head; e; e = e->next)
            seen[e->state]++;
        for (int s = 0; s < SQ_NSTATES; s++)
            EXPECT_EQ(seen[s], SQ_count(&q, static_cast<SQ_state>(s)));
        EXPECT_EQ(waiting, SQ_count(&q, SQ_WAITING));
        EXPECT_EQ(ready, SQ_count(&q, SQ_READY));
        EXPECT_EQ(running, SQ_count(&q, SQ_RUNNING));
        EXPECT_EQ(0u, SQ_count(&q, SQ_DONE));
    }

    SQ_queue q;
};

TEST_F(StudyQueue, FirstAnnouncementMakesWaitingEntryAtHead)
{
    EXPECT_EQ(1, SQ_announce(&q, "1.2.3", 1000));
    EXPECT_EQ(1, SQ_announce(&q, "1.2.4", 1100));
    ASSERT_NE(nullptr, q.head);
    EXPECT_STREQ("1.2.4", q.head->studyuid);
    EXPECT_STREQ("1.2.3", q.head->next->studyuid);
    SQ_entry *e = SQ_find(&q, "1.2.3");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(SQ_WAITING, e->state);
    EXPECT_EQ(-1, e->child);
    EXPECT_EQ(1000, e->lastseen);
    ExpectCounts(2, 0, 0);
}

TEST_F(StudyQueue, RepeatedAnnouncementOnlyRefreshes)
{
    SQ_announce(&q, "1.2.3", 1000);
    EXPECT_EQ(0, SQ_announce(&q, "1.2.3", 5000));
    EXPECT_EQ(5000, SQ_find(&q, "1.2.3")->lastseen);
    EXPECT_EQ(nullptr, q.head->next);
    ExpectCounts(1, 0, 0);
}

TEST_F(StudyQueue, FindNeedsTheExactUid)
{
    SQ_announce(&q, "1.2.30", 0);
    EXPECT_EQ(nullptr, SQ_find(&q, "1.2.3"));
    EXPECT_EQ(nullptr, SQ_find(&q, "1.2.300"));
    EXPECT_NE(nullptr, SQ_find(&q, "1.2.30"));
}

TEST_F(StudyQueue, LongestUidIsKeptWhole)
{
    std::string uid(SQ_UIDSIZE - 1, '7');
    EXPECT_EQ(1, SQ_announce(&q, uid.c_str(), 0));
    EXPECT_EQ(uid, std::string(q.head->studyuid));
}

// The study is quiet only once more than the timeout has passed.
TEST_F(StudyQueue, PromotionNeedsMoreThanTheTimeout)
{
    SQ_announce(&q, "1.2.3", 10000);
    EXPECT_EQ(nullptr, SQ_promote(&q, 11999, 2000));
    EXPECT_EQ(nullptr, SQ_promote(&q, 12000, 2000));
    SQ_entry *e = SQ_promote(&q, 12001, 2000);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(SQ_READY, e->state);
    ExpectCounts(0, 1, 0);
}

TEST_F(StudyQueue, RefreshPushesPromotionBack)
{
    SQ_announce(&q, "1.2.3", 0);
    SQ_announce(&q, "1.2.3", 10000);
    EXPECT_EQ(nullptr, SQ_promote(&q, 30000, 30000));
    EXPECT_EQ(nullptr, SQ_promote(&q, 40000, 30000));
    EXPECT_NE(nullptr, SQ_promote(&q, 40001, 30000));
}

TEST_F(StudyQueue, AtMostOnePromotionPerCallOldestFirst)
{
    SQ_announce(&q, "old", 0);
    SQ_announce(&q, "mid", 10);
    SQ_announce(&q, "new", 20);
    SQ_entry *first = SQ_promote(&q, 100000, 1000);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("old", first->studyuid);
    ExpectCounts(2, 1, 0);
    EXPECT_STREQ("mid", SQ_promote(&q, 100000, 1000)->studyuid);
    EXPECT_STREQ("new", SQ_promote(&q, 100000, 1000)->studyuid);
    EXPECT_EQ(nullptr, SQ_promote(&q, 100000, 1000));
    ExpectCounts(0, 3, 0);
}

TEST_F(StudyQueue, PromotionSkipsStudiesStillReceiving)
{
    SQ_announce(&q, "busy", 0);
    SQ_announce(&q, "quiet", 0);
    SQ_announce(&q, "busy", 9000);
    EXPECT_STREQ("quiet", SQ_promote(&q, 10000, 2000)->studyuid);
    EXPECT_EQ(nullptr, SQ_promote(&q, 10000, 2000));
}

TEST_F(StudyQueue, PromotionLeavesReadyAndRunningAlone)
{
    SQ_announce(&q, "a", 0);
    SQ_entry *a = SQ_promote(&q, 5000, 0);
    a->child = 42;
    SQ_update_state(&q, a, SQ_RUNNING);
    EXPECT_EQ(nullptr, SQ_promote(&q, 50000, 0));
    ExpectCounts(0, 0, 1);
}

// A stream of newer studies must not keep an older ready one from its turn.
TEST_F(StudyQueue, NextReadyIsTheOldestReady)
{
    EXPECT_EQ(nullptr, SQ_next_ready(&q));
    SQ_announce(&q, "first", 0);
    SQ_announce(&q, "second", 0);
    SQ_announce(&q, "third", 0);
    SQ_promote(&q, 10, 0);
    SQ_promote(&q, 10, 0);
    EXPECT_STREQ("first", SQ_next_ready(&q)->studyuid);
    SQ_update_state(&q, SQ_next_ready(&q), SQ_RUNNING);
    EXPECT_STREQ("second", SQ_next_ready(&q)->studyuid);
}

TEST_F(StudyQueue, AnnouncementsOfReadyOrRunningStudyOnlyRefresh)
{
    SQ_announce(&q, "r", 0);
    SQ_entry *e = SQ_promote(&q, 10, 0);
    EXPECT_EQ(0, SQ_announce(&q, "r", 20));
    EXPECT_EQ(SQ_READY, e->state);
    SQ_update_state(&q, e, SQ_RUNNING);
    EXPECT_EQ(0, SQ_announce(&q, "r", 30));
    EXPECT_EQ(SQ_RUNNING, e->state);
    EXPECT_EQ(30, e->lastseen);
    ExpectCounts(0, 0, 1);
}

TEST_F(StudyQueue, FinishUnlinksFromAnyPosition)
{
    SQ_announce(&q, "a", 0);
    SQ_announce(&q, "b", 0);
    SQ_announce(&q, "c", 0);
    SQ_finish(&q, SQ_find(&q, "b"));
    EXPECT_STREQ("c", q.head->studyuid);
    EXPECT_STREQ("a", q.head->next->studyuid);
    EXPECT_EQ(nullptr, q.head->next->next);
    SQ_finish(&q, SQ_find(&q, "c"));
    SQ_finish(&q, SQ_find(&q, "a"));
    EXPECT_EQ(nullptr, q.head);
    ExpectCounts(0, 0, 0);
}

TEST_F(StudyQueue, FinishedStudyAnnouncedAgainStartsOver)
{
    SQ_announce(&q, "s", 0);
    SQ_entry *e = SQ_promote(&q, 10, 0);
    e->child = 77;
    SQ_update_state(&q, e, SQ_RUNNING);
    EXPECT_EQ(e, SQ_find_child(&q, 77));
    SQ_finish(&q, e);
    EXPECT_EQ(nullptr, SQ_find_child(&q, 77));
    EXPECT_EQ(1, SQ_announce(&q, "s", 100));
    EXPECT_EQ(SQ_WAITING, SQ_find(&q, "s")->state);
    EXPECT_EQ(-1, SQ_find(&q, "s")->child);
    ExpectCounts(1, 0, 0);
}

// Entries without a child (-1) must never match a real process id.
TEST_F(StudyQueue, FindChildIgnoresEntriesWithoutChild)
{
    SQ_announce(&q, "s", 0);
    EXPECT_EQ(nullptr, SQ_find_child(&q, 1234));
}

TEST(StudyQueueDeath, OverlongUidIsAProgrammingError)
{
    SQ_queue q;
    SQ_init(&q);
    std::string uid(SQ_UIDSIZE, '1');
    EXPECT_DEATH(SQ_announce(&q, uid.c_str(), 0), "");
}

// A full queue: the archive's new study takes the place of the newest
// unknown sender's entry that has not started; an unknown sender's new study
// is refused; running entries are never dropped.
TEST_F(StudyQueue, ArchiveStudyMakesRoomInAFullQueue)
{
    q.limit = 3;
    EXPECT_EQ(1, SQ_announce(&q, "forged1", 0, SQ_UNKNOWN));
    EXPECT_EQ(1, SQ_announce(&q, "forged2", 1, SQ_UNKNOWN));
    EXPECT_EQ(1, SQ_announce(&q, "real1", 2, SQ_ARCHIVE));
    EXPECT_EQ(-2, SQ_announce(&q, "forged3", 3, SQ_UNKNOWN));
    EXPECT_EQ(2, SQ_announce(&q, "real2", 4, SQ_ARCHIVE));
    EXPECT_EQ(nullptr, SQ_find(&q, "forged2"));
    ASSERT_NE(nullptr, SQ_find(&q, "real2"));
    EXPECT_EQ(SQ_ARCHIVE, SQ_find(&q, "real2")->origin);
    SQ_entry *f1 = SQ_find(&q, "forged1");
    SQ_update_state(&q, f1, SQ_RUNNING);
    EXPECT_EQ(-2, SQ_announce(&q, "real3", 5, SQ_ARCHIVE));
    EXPECT_EQ(f1, SQ_find(&q, "forged1"));
    ExpectCounts(2, 0, 1);
}

// An unknown sender cannot hold back the archive's study by announcing it
// again; the archive's announcement adopts an unknown sender's entry.
TEST_F(StudyQueue, OnlyTheArchiveRefreshesItsStudies)
{
    SQ_announce(&q, "real", 100, SQ_ARCHIVE);
    EXPECT_EQ(0, SQ_announce(&q, "real", 900, SQ_UNKNOWN));
    EXPECT_EQ(100, SQ_find(&q, "real")->lastseen);
    SQ_announce(&q, "seen", 100, SQ_UNKNOWN);
    EXPECT_EQ(0, SQ_announce(&q, "seen", 200, SQ_ARCHIVE));
    EXPECT_EQ(SQ_ARCHIVE, SQ_find(&q, "seen")->origin);
    EXPECT_EQ(200, SQ_find(&q, "seen")->lastseen);
}

// Every quiet study becomes ready in one pass; the next quiet time is the
// earliest waiting one's; the archive's ready studies start first.
TEST_F(StudyQueue, PromoteAllAndArchiveFirst)
{
    SQ_announce(&q, "u1", 0, SQ_UNKNOWN);
    SQ_announce(&q, "u2", 10, SQ_UNKNOWN);
    SQ_announce(&q, "a1", 20, SQ_ARCHIVE);
    SQ_announce(&q, "late", 500, SQ_ARCHIVE);
    EXPECT_EQ(101, SQ_next_quiet(&q, 100));
    EXPECT_EQ(3u, SQ_promote_all(&q, 121, 100));
    ExpectCounts(1, 3, 0);
    EXPECT_EQ(601, SQ_next_quiet(&q, 100));
    SQ_entry *e = SQ_next_ready(&q);
    ASSERT_NE(nullptr, e);
    EXPECT_STREQ("a1", e->studyuid);
    SQ_update_state(&q, e, SQ_RUNNING);
    EXPECT_STREQ("u1", SQ_next_ready(&q)->studyuid);
    SQ_promote_all(&q, 601, 100);
    EXPECT_EQ(-1, SQ_next_quiet(&q, 100));
    EXPECT_STREQ("late", SQ_next_ready(&q)->studyuid);
}

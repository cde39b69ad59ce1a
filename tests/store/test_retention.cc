// Retention's settings and protection flags (store/retention.h) and the
// rejection files (store/rejections.h): the settings' units and refusals,
// the keep period's cut-off date by calendar, flags set and cleared
// through whole replacements, a torn rejection line not believed and the
// next append on a line of its own, the last line of an image winning.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "store/rejections.h"
#include "store/retention.h"
#include "tests/runtime/test_tempdir.h"

namespace
{

int load(const TempDir &dir, const std::string &text, retention_policy *p)
{
    std::string path = dir.path() + "/Retention";
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    char why[512] = "";
    return retention_loadFile(path.c_str(), p, why, sizeof why);
}

TEST(Retention, SettingsAndUnits)
{
    TempDir dir;
    retention_policy p;
    ASSERT_EQ(0, load(dir, "# a site\ndelete-below 10%\nkeep 10y\nquiet 5m\ninterval 30\n", &p));
    EXPECT_EQ(10, p.percent);
    EXPECT_EQ(10, p.keepAmount);
    EXPECT_EQ('y', p.keepUnit);
    EXPECT_EQ(300, p.quietSeconds);
    EXPECT_EQ(30, p.intervalSeconds);
    EXPECT_TRUE(p.active());
    ASSERT_EQ(0, load(dir, "delete-below 20G\n", &p));
    EXPECT_EQ(20ull << 30, p.bytes);
    EXPECT_EQ(600, p.quietSeconds);
    ASSERT_EQ(0, load(dir, "quiet 1s\n", &p));
    EXPECT_FALSE(p.active());
    for (const char *bad :
         {"keep 10\n", "keep ten years\n", "keep 0d\n", "keep 10w\n", "delete-below 100%\n",
          "delete-below lots\n", "interval 0\n", "quiet 5\n", "delete-above 10%\n", "keep 2000y\n"})
        EXPECT_EQ(-1, load(dir, bad, &p)) << bad;
}

TEST(Retention, CutoffByCalendar)
{
    retention_policy p;
    EXPECT_EQ(0, retention_cutoffDate(p, time(nullptr)));
    struct tm t = {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2; // the 31st of March 2024, noon
    t.tm_mday = 31;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    time_t now = mktime(&t);
    p.keepAmount = 10;
    p.keepUnit = 'y';
    EXPECT_EQ(20140331, retention_cutoffDate(p, now));
    p.keepAmount = 1;
    p.keepUnit = 'm'; // the 31st of February is the 2nd of March
    EXPECT_EQ(20240302, retention_cutoffDate(p, now));
    p.keepAmount = 15;
    EXPECT_EQ(20221231, retention_cutoffDate(p, now));
    p.keepAmount = 31;
    p.keepUnit = 'd';
    EXPECT_EQ(20240229, retention_cutoffDate(p, now));
}

TEST(Retention, ProtectionFlags)
{
    TempDir dir;
    const char *base = dir.path().c_str();
    retention_protection p;
    ASSERT_EQ(0, retention_readProtection(base, &p));
    EXPECT_TRUE(p.studies.empty() && p.patients.empty());
    EXPECT_EQ(0, retention_setProtection(base, "study", "1.2.3", true, nullptr));
    EXPECT_EQ(0, retention_setProtection(base, "patient", "PID 7", true, nullptr));
    EXPECT_EQ(0, retention_setProtection(base, "study", "1.2.4", true, nullptr));
    EXPECT_EQ(0, retention_setProtection(base, "study", "1.2.3", false, nullptr));
    EXPECT_EQ(1, retention_setProtection(base, "patient", "a\nb", true, nullptr));
    EXPECT_EQ(1, retention_setProtection(base, "series", "1.2", true, nullptr));
    EXPECT_EQ(1, retention_setProtection(base, "patient", "", true, nullptr));
    EXPECT_EQ(1, retention_setProtection(base, "study", "1.2 3", true, nullptr));
    ASSERT_EQ(0, retention_readProtection(base, &p));
    EXPECT_EQ(std::set<std::string>({"1.2.4"}), p.studies);
    EXPECT_EQ(std::set<std::string>({"PID 7"}), p.patients);
}

TEST(Rejections, TornLineAndLastLineWins)
{
    TempDir dir;
    const char *base = dir.path().c_str();
    rejections_study s;
    ASSERT_EQ(0, rejections_read(base, "1.2.3", &s));
    EXPECT_TRUE(s.empty());
    ASSERT_EQ(0, rejections_append(base, "1.2.3", "R 1.2.3.1 1.2.3.1.1 9.9 113001\n", nullptr));
    // A crash in the middle of an append leaves a torn line.
    std::string path = dir.path() + "/" REJECTIONS_DIR "/1.2.3";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(10, write(fd, "R 1.2.3.1 ", 10));
    close(fd);
    ASSERT_EQ(0, rejections_read(base, "1.2.3", &s));
    EXPECT_EQ(1u, s.size());
    ASSERT_EQ(0, rejections_append(base, "1.2.3", "R 1.2.3.1 1.2.3.1.2 9.9 113037\n", nullptr));
    ASSERT_EQ(0, rejections_append(base, "1.2.3", "P 1.2.3.1 1.2.3.1.1\n", nullptr));
    ASSERT_EQ(0, rejections_append(base, "1.2.3", "A 1.2.3.1 1.2.3.1.2\n", nullptr));
    ASSERT_EQ(0, rejections_read(base, "1.2.3", &s));
    ASSERT_EQ(2u, s.size());
    const rejections_entry &purged =
        s[std::make_pair(std::string("1.2.3.1"), std::string("1.2.3.1.1"))];
    EXPECT_EQ('P', purged.state);
    EXPECT_EQ("9.9", purged.note);
    EXPECT_TRUE(rejections_hides(purged));
    const rejections_entry &again =
        s[std::make_pair(std::string("1.2.3.1"), std::string("1.2.3.1.2"))];
    EXPECT_EQ('A', again.state);
    EXPECT_FALSE(rejections_hides(again));
    std::vector<std::string> studies;
    ASSERT_EQ(0, rejections_studies(base, &studies));
    EXPECT_EQ(std::vector<std::string>({"1.2.3"}), studies);
    // A name that is no UID is never a path.
    EXPECT_EQ(0, rejections_read(base, "../x", &s));
    EXPECT_TRUE(s.empty());
}

} // namespace

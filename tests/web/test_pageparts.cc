// Parts of the study page's services that need no connection: the form
// body parser, the users' form tokens, and the counting of the monitor
// channel's announcements for /metrics.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "web/csrf.h"
#include "web/metrics.h"
#include "web/monitorfeed.h"
#include "web/webserver.h"

TEST(FormBody, DecodesFieldsInOrderWithRepeatsAndEmptyValues)
{
    std::vector<std::pair<std::string, std::string>> f;
    web_parseForm("study=1.2.3&series=&name=DOE%5EJOHN+X&flag&name=second&bad=%zz%4", &f);
    std::vector<std::pair<std::string, std::string>> want = {
        {"study", "1.2.3"}, {"series", ""},     {"name", "DOE^JOHN X"},
        {"flag", ""},       {"name", "second"}, {"bad", "%zz%4"}};
    EXPECT_EQ(f, want);
    EXPECT_EQ(web_formField("a=1&csrf=ab%63&csrf=x", "csrf"), "abc");
    EXPECT_EQ(web_formField("a=1", "csrf"), "");
    EXPECT_EQ(web_formField("", "csrf"), "");
    // A field whose name merely ends or starts like the one asked for.
    EXPECT_EQ(web_formField("xcsrf=1&csrfx=2", "csrf"), "");
}

TEST(FormToken, BoundToTheUserAndToTheDaemonsSecret)
{
    ASSERT_EQ(csrf_init(), 0);
    std::string alice = csrf_token("alice"), bob = csrf_token("bob"), none = csrf_token("");
    EXPECT_EQ(alice.size(), 64u);
    EXPECT_EQ(alice.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(alice, csrf_token("alice"));
    EXPECT_NE(alice, bob);
    EXPECT_NE(alice, none);
    // A restart (a new secret) makes every old token useless.
    ASSERT_EQ(csrf_init(), 0);
    EXPECT_NE(alice, csrf_token("alice"));
}

TEST(MonitorCounts, StoreserversAnnouncementsCountedOwnSkipped)
{
    uint64_t stored = metrics_get(METRICS_MONITOR_STORED);
    uint64_t queries = metrics_get(METRICS_MONITOR_QUERIES);
    uint64_t retrieves = metrics_get(METRICS_MONITOR_RETRIEVES);
    uint64_t full = metrics_get(METRICS_MONITOR_FULL);
    uint64_t datagrams = metrics_get(METRICS_MONITOR_DATAGRAMS);
    monitorfeed_count("pacs 100 STORAGE STOREUID 1.2 1.2.3 1.2.3.4", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FIND 1", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FIND 0", "web", 7, true); // an end, not a query
    monitorfeed_count("pacs 100 STORAGE MOVE 1", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FULL 10 bytes (1%) free", "web", 7, true);
    // This daemon's own announcement comes back through the loop-back.
    monitorfeed_count("web 7 STORAGE STOREUID 1.2 1.2.3 1.2.3.5", "web", 7, true);
    // The same pid on another host is another process.
    monitorfeed_count("other 7 STORAGE STOREUID 1.2 1.2.3 1.2.3.6", "web", 7, true);
    // Not announcements of an archive.
    monitorfeed_count("pacs 100 WEB START http://x/", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGESTOREUID 1.2", "web", 7, true);
    monitorfeed_count("garbage", "web", 7, true);
    monitorfeed_count("", "web", 7, true);
    // From another host's address: no event of this archive, whatever it says.
    monitorfeed_count("pacs 100 STORAGE FULL 10 bytes (1%) free", "web", 7, false);
    monitorfeed_count("pacs 100 STORAGE STOREUID 1.2 1.2.3 1.2.3.7", "web", 7, false);
    EXPECT_EQ(metrics_get(METRICS_MONITOR_STORED) - stored, 2u);
    EXPECT_EQ(metrics_get(METRICS_MONITOR_QUERIES) - queries, 1u);
    EXPECT_EQ(metrics_get(METRICS_MONITOR_RETRIEVES) - retrieves, 1u);
    EXPECT_EQ(metrics_get(METRICS_MONITOR_FULL) - full, 1u);
    EXPECT_EQ(metrics_get(METRICS_MONITOR_DATAGRAMS) - datagrams, 13u);
}

// Parts of the study page's services that need no connection: the form
// body parser, the users' form tokens, and the counting of the monitor
// channel's announcements for /metrics, and the front door's checks of a
// request's Host, framing and body type.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "web/csrf.h"
#include "web/frontdoor.h"
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

TEST(FrontDoor, HostHeadersParsedToTheirCanonicalHost)
{
    std::string h;
    const std::pair<const char *, const char *> good[] = {{"localhost", "localhost"},
                                                          {"LocalHost.:8042", "localhost"},
                                                          {"127.0.0.1", "127.0.0.1"},
                                                          {"127.0.0.1:80", "127.0.0.1"},
                                                          {"[::1]:8042", "::1"},
                                                          {"[0:0::1]", "::1"},
                                                          {"[::ffff:10.1.2.3]", "10.1.2.3"},
                                                          {"Archive.Example.", "archive.example"},
                                                          {"a-b_c.example:", "a-b_c.example"}};
    for (const auto &g : good) {
        EXPECT_TRUE(frontdoor_parseHost(g.first, &h)) << g.first;
        EXPECT_EQ(h, g.second) << g.first;
    }
    for (const char *bad : {"", ":80", "::1", "[::1", "[::1]80", "[x]", "a b", "a..b", ".a",
                            "h:99999", "h:8o", "h:1:2", "h/x", "h\\x", "h@x", "127.0.0.1:123456"})
        EXPECT_FALSE(frontdoor_parseHost(bad, &h)) << bad;
    EXPECT_FALSE(frontdoor_parseHost(nullptr, &h));
}

TEST(FrontDoor, OnlyTheServersOwnNamesAreServed)
{
    std::vector<std::string> names = {"archive.example", "10.9.8.7"};
    EXPECT_TRUE(frontdoor_hostServed("localhost", "127.0.0.1", {}));
    EXPECT_TRUE(frontdoor_hostServed("127.0.0.1", "127.0.0.1", {}));
    EXPECT_TRUE(frontdoor_hostServed("::1", "127.0.0.1", {}));
    EXPECT_FALSE(frontdoor_hostServed("::1", "192.168.1.5", {}));
    EXPECT_TRUE(frontdoor_hostServed("192.168.1.5", "192.168.1.5", {}));
    EXPECT_FALSE(frontdoor_hostServed("127.0.0.2", "127.0.0.1", {}));
    EXPECT_FALSE(frontdoor_hostServed("evil.example", "127.0.0.1", {}));
    EXPECT_FALSE(frontdoor_hostServed("localhost.evil.example", "127.0.0.1", names));
    EXPECT_FALSE(frontdoor_hostServed("", "", {}));
    EXPECT_TRUE(frontdoor_hostServed("archive.example", "127.0.0.1", names));
    EXPECT_TRUE(frontdoor_hostServed("10.9.8.7", "127.0.0.1", names));
    std::string c;
    EXPECT_TRUE(frontdoor_canonicalName("[::FFFF:10.9.8.7]", &c));
    EXPECT_EQ(c, "10.9.8.7");
    EXPECT_TRUE(frontdoor_canonicalName("2001:DB8::1", &c));
    EXPECT_EQ(c, "2001:db8::1");
    EXPECT_FALSE(frontdoor_canonicalName("bad name", &c));
}

TEST(FrontDoor, AmbiguousFramingIsAnError)
{
    frontdoor_framing f;
    f.version = "HTTP/1.1";
    f.hosts = {"h"};
    EXPECT_EQ(frontdoor_framingError(f), nullptr);
    f.contentLengths = {"5"};
    EXPECT_EQ(frontdoor_framingError(f), nullptr);
    f.contentLengths = {"5", "5"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.contentLengths = {"5, 6"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.contentLengths = {"5"};
    f.transferEncodings = {"chunked"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.contentLengths.clear();
    EXPECT_EQ(frontdoor_framingError(f), nullptr);
    f.transferEncodings = {"Chunked"};
    EXPECT_EQ(frontdoor_framingError(f), nullptr);
    f.transferEncodings = {"gzip, chunked"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.transferEncodings = {"chunked", "chunked"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.transferEncodings.clear();
    f.hosts.clear();
    EXPECT_NE(frontdoor_framingError(f), nullptr);
    f.version = "HTTP/1.0";
    EXPECT_EQ(frontdoor_framingError(f), nullptr);
    f.hosts = {"a", "b"};
    EXPECT_NE(frontdoor_framingError(f), nullptr);
}

TEST(FrontDoor, FormTypesJudgedByTheMediaTypeAlone)
{
    for (const char *form :
         {"text/plain;charset=x", "TEXT/Plain\t;charset=x", " text/plain ",
          "application/x-www-form-urlencoded;charset=UTF-8", "Multipart/Form-Data; boundary=x", "",
          "text", "text/", "/plain", "text/pl ain", "a/b/c"})
        EXPECT_TRUE(frontdoor_formContentType(form)) << form;
    EXPECT_TRUE(frontdoor_formContentType(nullptr));
    for (const char *other : {"application/json", "application/json; charset=utf-8",
                              "multipart/related; type=\"application/dicom\"; boundary=B",
                              "text/plainx", "application/dicom"})
        EXPECT_FALSE(frontdoor_formContentType(other)) << other;
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

TEST(MonitorCounts, ForwardedPerDestinationAndDurationsBoundedAndEscaped)
{
    // No AE title map here: every destination is "(other)", however many
    // titles the datagrams name, with its label value escaped.
    monitorfeed_count("pacs 100 STORAGE FORWARD SENT 3 1 EVIL\"TITLE", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FORWARD SENT 2 0 ANOTHER ONE", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FORWARD SENT 2 x BAD", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FORWARD SENT 5 5 ", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE FORWARD SENT 9 9 FAR", "web", 7, false);
    monitorfeed_count("pacs 100 STORAGE TIME C-STORE 2000", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE TIME C-STORE 40000000", "web", 7, true);
    monitorfeed_count("pacs 100 STORAGE TIME N-ACTION 2000", "web", 7, true); // not timed
    monitorfeed_count("pacs 100 STORAGE TIME C-FIND x", "web", 7, true);
    metrics_observe(METRICS_HTTP_DURATION, metrics_routeOf("GET", "/dicom-web/studies"), 0.02);
    std::string text;
    metrics_familiesText(&text);
    EXPECT_NE(text.find("velto_images_forwarded_total{destination=\"(other)\"} 5\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("velto_forward_failures_total{destination=\"(other)\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("EVIL"), std::string::npos) << text;
    EXPECT_NE(text.find("velto_dimse_request_duration_seconds_bucket{operation=\"C-STORE\","
                        "le=\"0.005\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("velto_dimse_request_duration_seconds_bucket{operation=\"C-STORE\","
                        "le=\"30\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("velto_dimse_request_duration_seconds_bucket{operation=\"C-STORE\","
                        "le=\"+Inf\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("velto_dimse_request_duration_seconds_sum{operation=\"C-STORE\"} "
                        "40.002000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("velto_dimse_request_duration_seconds_count{operation=\"C-STORE\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("N-ACTION"), std::string::npos) << text;
    EXPECT_EQ(text.find("C-FIND"), std::string::npos) << text;
    EXPECT_NE(text.find("velto_http_request_duration_seconds_count{route=\"dicomweb_search\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_STREQ(metrics_routeOf("POST", "/dicom-web/studies"), "dicomweb_store");
    EXPECT_STREQ(metrics_routeOf("GET", "/dicom-web/studies/1.2/series/3/instances/4"),
                 "dicomweb_retrieve");
    EXPECT_STREQ(metrics_routeOf("GET", "/forwardx"), "other");
    EXPECT_STREQ(metrics_routeOf("GET", "/retrieve/moves"), "retrieve_page");
}

TEST(FrontDoor, TheProxysLastForwardedForEntryNamesTheClient)
{
    std::string a;
    EXPECT_TRUE(frontdoor_forwardedFor({"127.0.0.7"}, &a));
    EXPECT_EQ(a, "127.0.0.7");
    // What the client wrote itself comes first; the proxy's word is last,
    // in a field of its own or appended to the client's.
    EXPECT_TRUE(frontdoor_forwardedFor({"10.9.9.9", "127.0.0.7"}, &a));
    EXPECT_EQ(a, "127.0.0.7");
    EXPECT_TRUE(frontdoor_forwardedFor({"10.9.9.9, 127.0.0.8 "}, &a));
    EXPECT_EQ(a, "127.0.0.8");
    EXPECT_TRUE(frontdoor_forwardedFor({"2001:DB8::7"}, &a));
    EXPECT_EQ(a, "2001:db8::7");
    EXPECT_TRUE(frontdoor_forwardedFor({"::ffff:10.1.2.3"}, &a));
    EXPECT_EQ(a, "10.1.2.3");
    for (const std::vector<std::string> &bad :
         std::vector<std::vector<std::string>>{{},
                                               {""},
                                               {"127.0.0.7,"},
                                               {"127.0.0.7", "unknown"},
                                               {"host.example"},
                                               {"127.0.0.7:80"},
                                               {"[::1]"},
                                               {"127.0.0.7\n"}})
        EXPECT_FALSE(frontdoor_forwardedFor(bad, &a)) << (bad.empty() ? "(none)" : bad.back());
}

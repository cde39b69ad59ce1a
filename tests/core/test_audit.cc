// The audit trail's core (core/audit.h): the site file's settings and its
// refusals, the message's XML with hostile text from peers made harmless,
// the spool read past a torn record, a full spool that drops and counts,
// and a pass of the sender that sends each message once, in order, to a
// collector on the loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/audit.h"
#include "tests/runtime/test_tempdir.h"

static std::string writeFile(const TempDir &t, const std::string &text)
{
    std::string path = t.sub("AuditLog");
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    return path;
}

static audit_sink *openSink(const TempDir &t, const std::string &text)
{
    audit_sink *s = nullptr;
    std::string why;
    EXPECT_EQ(0,
              audit_open(writeFile(t, text).c_str(), t.path().c_str(), "tester", nullptr, &s, &why))
        << why;
    return s;
}

static audit_event stored(const std::string &study, const std::string &who)
{
    audit_studies set;
    set.add(study, "1.2.840.10008.5.1.4.1.1.7", "PID1", "DOE^JOHN");
    audit_event ev;
    ev.kind = AUDIT_TRANSFERRED;
    ev.action = 'C';
    audit_participant p;
    p.userId = who;
    p.address = "127.0.0.1";
    p.requestor = true;
    ev.participants.push_back(p);
    audit_object o;
    o.kind = audit_object::STUDY;
    o.id = study;
    o.classes = set.studies[study].classes;
    ev.objects.push_back(o);
    return ev;
}

TEST(Audit, SiteFileSettingsAndRefusals)
{
    TempDir t;
    audit_sink *s = nullptr;
    std::string why;
    // A file named that is not there is an error (none along the search
    // path is auditing off: a null sink, on which every call does nothing).
    EXPECT_EQ(-1, audit_open(t.sub("none").c_str(), t.path().c_str(), "x", nullptr, &s, &why));
    EXPECT_EQ(nullptr, s);
    audit_emit(nullptr, stored("1.2", "A"));
    audit_application(nullptr, true);
    EXPECT_EQ(0, audit_sendPending(nullptr, 10));
    struct {
        const char *text, *reason;
    } bad[] = {
        {"# nothing\n", "no collector"},
        {"tcp 127.0.0.1\n", "not HOST:PORT"},
        {"udp 127.0.0.1:99999\n", "not HOST:PORT"},
        {"tls 127.0.0.1:6514\n", "tls needs ca FILE"},
        {"tls 127.0.0.1:6514\nca /etc/ssl/ca.pem\ncert /etc/ssl/mine.pem\n", "go together"},
        {"tls 127.0.0.1:6514\nca ca.pem\n", "absolute file name"},
        {"tcp 127.0.0.1:514\nspool relative/dir\n", "absolute"},
        {"tcp 127.0.0.1:514\nretry soon\n", "duration"},
        {"tcp 127.0.0.1:514\nspool-max 10\n", "size"},
        {"tcp 127.0.0.1:514\ncolour blue\n", "unknown setting"},
    };
    for (const auto &b : bad) {
        why.clear();
        EXPECT_EQ(
            -1, audit_open(writeFile(t, b.text).c_str(), t.path().c_str(), "x", nullptr, &s, &why))
            << b.text;
        EXPECT_NE(std::string::npos, why.find(b.reason)) << b.text << ": " << why;
        EXPECT_EQ(nullptr, s);
    }
}

TEST(Audit, HostileTextIsEscapedIntoWellFormedUtf8)
{
    TempDir t;
    audit_sink *s = openSink(t, "udp 127.0.0.1:9\n");
    ASSERT_NE(nullptr, s);
    audit_event ev = stored("1.2.3", "<EVIL\" a='1'>&\x01\x1b[2J");
    audit_object p;
    p.kind = audit_object::PATIENT;
    p.id = "P\xff\xfe";                      // no UTF-8
    p.name = "M\xc3\xbcller\xed\xa0\x80<x>"; // good, then a surrogate
    ev.objects.push_back(p);
    ev.outcomeText = "</EventOutcomeDescription><Injected/>";
    std::string xml = audit_xml(s, ev);
    EXPECT_NE(std::string::npos,
              xml.find("UserID=\"&lt;EVIL&quot; a=&apos;1&apos;&gt;&amp;??[2J\""));
    EXPECT_NE(std::string::npos, xml.find("ParticipantObjectID=\"P??\""));
    EXPECT_NE(std::string::npos,
              xml.find("<ParticipantObjectName>M\xc3\xbcller???&lt;x&gt;</ParticipantObjectName>"));
    EXPECT_EQ(std::string::npos, xml.find("<Injected/>"));
    for (unsigned char c : xml)
        EXPECT_TRUE(c >= 0x20 && c != 0x7f) << (int)c;
    // A value of a hostile size (a request's field, a query of a megabyte)
    // is cut: every message fits a datagram.
    audit_event big;
    big.kind = AUDIT_QUERY;
    audit_participant who;
    who.userId = std::string(1 << 20, 'U');
    big.participants.push_back(who);
    audit_object q;
    q.kind = audit_object::QUERY;
    q.id = "1.2.840.10008.5.1.4.1.2.2.1";
    q.query = std::string(1 << 20, 'Q');
    big.objects.push_back(q);
    EXPECT_LT(audit_xml(s, big).size(), 50000u);
    audit_close(s);
}

TEST(Audit, SpoolIsReadPastATornRecordAndFilteredForThePages)
{
    TempDir t;
    audit_sink *s = openSink(t, "udp 127.0.0.1:9\nspool " + t.sub("sp") + "\n");
    ASSERT_NE(nullptr, s);
    audit_emit(s, stored("1.1", "ALPHA"));
    // A writer that died in the middle of its record.
    int fd = open(t.sub("sp/spool").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const char torn[] = "\x1e"
                        "AUD 00000400 <85>1 cut";
    ASSERT_EQ((ssize_t)sizeof torn - 1, write(fd, torn, sizeof torn - 1));
    close(fd);
    audit_emit(s, stored("2.2", "BETA"));
    audit_emit(s, stored("1.1", "GAMMA"));
    std::vector<audit_record> all = audit_read(s, "", "", 100);
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("GAMMA", all[0].who); // newest first
    EXPECT_EQ("BETA", all[1].who);
    EXPECT_EQ("ALPHA", all[2].who);
    EXPECT_EQ("127.0.0.1", all[0].where);
    EXPECT_EQ("DICOM Instances Transferred", all[0].event);
    EXPECT_EQ("C", all[0].action);
    std::vector<audit_record> one = audit_read(s, "1.1", "", 100);
    ASSERT_EQ(2u, one.size());
    EXPECT_EQ(1u, audit_read(s, "1.1", "ALPHA", 100).size());
    EXPECT_EQ(0u, audit_read(s, "1.1.9", "", 100).size()); // whole UIDs only
    audit_close(s);
}

TEST(Audit, AFullSpoolKeepsWhatItHoldsAndCountsWhatItDrops)
{
    TempDir t;
    audit_sink *s = openSink(t, "udp 127.0.0.1:9\nspool-max 4K\n");
    ASSERT_NE(nullptr, s);
    for (int i = 0; i < 20; i++)
        audit_emit(s, stored("1.2." + std::to_string(i), "A"));
    std::vector<audit_record> kept = audit_read(s, "", "", 100);
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), 20u);
    EXPECT_EQ(20u, kept.size() + audit_dropped(s));
    // The oldest are the ones kept.
    EXPECT_NE(std::string::npos, kept.back().objects.find("1.2.0"));
    struct stat st;
    ASSERT_EQ(0, stat(t.sub("audit/spool").c_str(), &st));
    EXPECT_LE(st.st_size, 4096);
    audit_close(s);
}

TEST(Audit, TheSenderSendsEachMessageOnceInOrder)
{
    TempDir t;
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(sock, (struct sockaddr *)&a, sizeof a));
    socklen_t len = sizeof a;
    ASSERT_EQ(0, getsockname(sock, (struct sockaddr *)&a, &len));
    audit_sink *s = openSink(t, "udp 127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "\n");
    ASSERT_NE(nullptr, s);
    audit_emit(s, stored("1.1", "FIRST"));
    audit_emit(s, stored("1.2", "SECOND"));
    EXPECT_EQ(0, audit_sendPending(s, 2000));
    EXPECT_EQ(0, audit_sendPending(s, 2000)); // nothing new: nothing again
    audit_emit(s, stored("1.3", "THIRD"));
    EXPECT_EQ(0, audit_sendPending(s, 2000));
    std::vector<std::string> got;
    char buf[65536];
    struct pollfd p = {sock, POLLIN, 0};
    while (poll(&p, 1, 200) == 1) {
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.emplace_back(buf, n);
    }
    close(sock);
    ASSERT_EQ(3u, got.size());
    const char *who[] = {"FIRST", "SECOND", "THIRD"};
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(0u, got[i].find("<85>1 ")) << got[i];
        EXPECT_NE(std::string::npos, got[i].find(" tester ")) << got[i];
        EXPECT_NE(std::string::npos, got[i].find(" DICOM+RFC3881 - \xEF\xBB\xBF<AuditMessage>"));
        EXPECT_NE(std::string::npos, got[i].find(std::string("UserID=\"") + who[i] + "\""));
    }
    audit_close(s);
}

TEST(Audit, AChangeOfAPatientOrAStudyNamesBothAndWhoAsked)
{
    TempDir t;
    audit_sink *s = openSink(t, "udp 127.0.0.1:9\n");
    ASSERT_NE(nullptr, s);
    audit_participant by;
    by.userId = "editor";
    by.address = "10.1.2.3";
    audit_change(s, true, 'U', by, "1.2.3", "PID9", "NEW^NAME");
    audit_change(s, false, 'U', by, "1.2.3", "PID9", "", AUDIT_MINOR_FAILURE, "disk full");
    std::vector<audit_record> r = audit_read(s, "1.2.3", "editor", 10);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("DICOM Instances Accessed", r[0].event);
    EXPECT_EQ("4", r[0].outcome);
    EXPECT_NE(std::string::npos, r[0].xml.find("<EventOutcomeDescription>disk full<"));
    EXPECT_EQ("Patient Record", r[1].event);
    EXPECT_EQ("U", r[1].action);
    EXPECT_EQ("10.1.2.3", r[1].where);
    EXPECT_EQ("1.2.3; PID9", r[1].objects);
    EXPECT_NE(std::string::npos, r[1].xml.find("<ParticipantObjectName>NEW^NAME<"));
    audit_change(nullptr, true, 'U', by, "1.2.3", "PID9", ""); // off: nothing
    audit_close(s);
}

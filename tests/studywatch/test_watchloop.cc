// Unit tests of the watch loop's steps: launching the renderer within the
// child limit, reaping children with their log lines, and reading datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "runtime/logprintf.h"
#include "runtime/multicast.h"
#include "studywatch/watchloop.h"

class WatchLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SQ_init(&q);
        char tmpl[] = "/tmp/studywatch-unit-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        const char *path = getenv("PATH");
        oldpath = path ? path : "";
        setenv("PATH", dir.c_str(), 1);
        log = tmpfile();
        ASSERT_NE(nullptr, log);
    }

    void TearDown() override
    {
        setenv("PATH", oldpath.c_str(), 1);
        logprintf_setmaxlevel(32);
        SQ_clear(&q);
        fclose(log);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }

    // Puts an executable tabrin with this shell body into the test's PATH.
    void Renderer(const std::string &body, mode_t mode = 0755)
    {
        std::string p = dir + "/tabrin";
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        ASSERT_EQ(0, chmod(p.c_str(), mode));
    }

    static size_t Count(const std::string &text, const std::string &what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }

    std::string Log()
    {
        fflush(log);
        rewind(log);
        std::string out;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, log)) > 0)
            out.append(buf, n);
        return out;
    }

    // Makes study uid ready, as the loop's promotion does.
    SQ_entry *Ready(const char *uid)
    {
        SQ_announce(&q, uid, 0);
        return SQ_promote(&q, 1000000, 0);
    }

    // Reaps until count children were collected (or ten seconds passed).
    int ReapAll(int count)
    {
        int got = 0;
        for (int i = 0; i < 1000 && got < count; i++) {
            got += watchloop_reap(&q, log);
            if (got < count)
                usleep(10000);
        }
        return got;
    }

    // Launches uid's child and collects it; returns the child's pid.
    pid_t RunOnce(const char *uid)
    {
        SQ_entry *e = Ready(uid);
        EXPECT_NE(nullptr, e);
        pid_t pid = watchloop_launch(&q, 1, log);
        EXPECT_GT(pid, 0);
        EXPECT_EQ(SQ_RUNNING, e->state);
        EXPECT_EQ(pid, e->child);
        EXPECT_EQ(1, ReapAll(1));
        EXPECT_EQ(nullptr, q.head);
        return pid;
    }

    SQ_queue q;
    std::string dir, oldpath;
    FILE *log = nullptr;
};

TEST_F(WatchLoop, CommandText)
{
    char out[WATCHLOOP_COMMAND_SIZE];
    EXPECT_EQ(0, watchloop_command("1.2.3", out, sizeof out));
    EXPECT_STREQ("! preprocessing/autostudy 1.2.3", out);
    char small[10];
    EXPECT_EQ(-1, watchloop_command("1.2.3", small, sizeof small));
}

TEST_F(WatchLoop, RendererGetsTheFixedArgumentVector)
{
    Renderer("for a in \"$@\"; do printf '%s|' \"$a\"; done > \"${0%/*}/args\"");
    RunOnce("1.2.840.5");
    std::ifstream in(dir + "/args");
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ("-q|-p|batch|-b|! preprocessing/autostudy 1.2.840.5|", ss.str());
}

TEST_F(WatchLoop, NothingReadyNothingLaunched)
{
    EXPECT_EQ(0, watchloop_launch(&q, 1, log));
    SQ_announce(&q, "1.2", 0);
    EXPECT_EQ(0, watchloop_launch(&q, 1, log));
    EXPECT_EQ(SQ_WAITING, q.head->state);
}

TEST_F(WatchLoop, ChildLimitHoldsReadyStudies)
{
    Renderer("exit 0");
    SQ_entry *busy = Ready("busy");
    busy->child = 999999;
    SQ_update_state(&q, busy, SQ_RUNNING);
    SQ_entry *next = Ready("next");
    EXPECT_EQ(0, watchloop_launch(&q, 1, log));
    EXPECT_EQ(SQ_READY, next->state);
    pid_t pid = watchloop_launch(&q, 2, log);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(SQ_RUNNING, next->state);
    EXPECT_EQ(2u, SQ_count(&q, SQ_RUNNING));
    EXPECT_EQ(1, ReapAll(1));
    EXPECT_EQ(busy, q.head);
    EXPECT_EQ(nullptr, q.head->next);
}

// The chosen status of a child whose renderer cannot be started.
TEST_F(WatchLoop, RendererMissingFromPathExits127)
{
    logprintf_setmaxlevel(128);
    pid_t pid = RunOnce("1.2.3");
    EXPECT_NE(std::string::npos,
              Log().find("]:Child " + std::to_string(pid) + " terminated with exit code 127.\n"))
        << Log();
}

// A renderer that cannot be started is said once, with the PATH it was
// looked for in, at error level (not only the child's status at debug
// level, as before), until a child runs it again.
TEST_F(WatchLoop, MissingRendererIsLoggedOnceWithThePath)
{
    Renderer("exit 0");
    RunOnce("1.2.0"); // a renderer that runs: earlier tests' failures forgotten
    ASSERT_EQ(0, unlink((dir + "/tabrin").c_str()));
    std::string line = "Renderer tabrin not found in PATH " + dir +
                       ": quiet studies are not rendered until it is installed there.\n";
    for (const char *uid : {"1.2.1", "1.2.2", "1.2.3"})
        RunOnce(uid);
    EXPECT_EQ(1u, Count(Log(), line)) << Log();
    EXPECT_NE(std::string::npos, Log().find("]:" + line)) << Log();
    // Installed, then missing again: said again.
    Renderer("exit 0");
    RunOnce("1.2.4");
    ASSERT_EQ(0, unlink((dir + "/tabrin").c_str()));
    RunOnce("1.2.5");
    EXPECT_EQ(2u, Count(Log(), line)) << Log();
    // Found but not executable: said once too.
    Renderer("exit 0", 0644);
    RunOnce("1.2.6");
    RunOnce("1.2.7");
    EXPECT_EQ(1u, Count(Log(), "Renderer tabrin found but cannot be executed in PATH " + dir))
        << Log();
}

TEST_F(WatchLoop, RendererNotExecutableExits126)
{
    Renderer("exit 0", 0644);
    logprintf_setmaxlevel(128);
    pid_t pid = RunOnce("1.2.3");
    EXPECT_NE(std::string::npos,
              Log().find("]:Child " + std::to_string(pid) + " terminated with exit code 126.\n"))
        << Log();
}

TEST_F(WatchLoop, ChildEndsAreLoggedAtDebugLevel)
{
    struct {
        const char *body;
        const char *middle; // null: no line at all
    } cases[] = {
        {"exit 3", " with exit code 3."},
        {"kill -9 $$", " due to signal 9."},
        {"exit 0", nullptr},
    };
    logprintf_setmaxlevel(128);
    for (auto &c : cases) {
        Renderer(c.body);
        pid_t pid = RunOnce("1.2.3");
        std::string line = "]:Child " + std::to_string(pid) + " terminated";
        if (c.middle)
            EXPECT_NE(std::string::npos, Log().find(line + c.middle + "\n")) << c.body << "\n"
                                                                             << Log();
        else
            EXPECT_EQ(std::string::npos, Log().find(line)) << c.body << "\n" << Log();
    }
}

// With the program's fixed mask the end of a failing renderer is not written,
// but its entry is finished all the same.
TEST_F(WatchLoop, DefaultMaskHidesChildEnds)
{
    Renderer("exit 3");
    RunOnce("1.2.3");
    EXPECT_EQ("", Log());
}

TEST_F(WatchLoop, UnknownChildIsLoggedAndQueueKept)
{
    SQ_entry *e = Ready("keep");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(0);
    EXPECT_EQ(1, ReapAll(1));
    EXPECT_NE(std::string::npos, Log().find("]:Child " + std::to_string(pid) + " unknown!\n"))
        << Log();
    EXPECT_EQ(e, q.head);
    EXPECT_EQ(SQ_READY, e->state);
}

TEST_F(WatchLoop, StateMismatchIsLoggedAndEntryFinished)
{
    SQ_entry *e = Ready("odd");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(0);
    e->child = pid;
    EXPECT_EQ(1, ReapAll(1));
    EXPECT_NE(std::string::npos,
              Log().find("]:Huh? State mismatch for child " + std::to_string(pid) + ".\n"))
        << Log();
    EXPECT_EQ(nullptr, q.head);
    EXPECT_EQ(0u, SQ_count(&q, SQ_READY));
}

// Datagrams go through the monitor channel itself (multicast on the
// loopback of the private namespace); sockets are opened only there.
class Receive : public WatchLoop
{
protected:
    void SetUp() override
    {
        WatchLoop::SetUp();
        // One log line per second and reason, and nothing held back from an
        // earlier test.
        watchloop_set_log_interval(1000);
        watchloop_set_archive(nullptr, 0);
        const char *netns = getenv("VELTO_NETNS");
        if (netns == nullptr || strcmp(netns, "1") != 0)
            GTEST_SKIP() << "multicast sockets only inside scripts/netns-exec";
        multicast_init();
        // A port free at the moment: the kernel's choice for a fresh socket.
        int probe = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        socklen_t len = sizeof addr;
        ASSERT_EQ(0, bind(probe, (struct sockaddr *)&addr, sizeof addr));
        ASSERT_EQ(0, getsockname(probe, (struct sockaddr *)&addr, &len));
        port = ntohs(addr.sin_port);
        close(probe);
        listenSock = multicast_listen_udp(port, "224.0.0.1");
        ASSERT_GE(listenSock, 0);
        sendSock = multicast_sendsocket(port, "224.0.0.1");
        ASSERT_GE(sendSock, 0);
    }
    void TearDown() override
    {
        if (sendSock >= 0)
            close(sendSock);
        if (listenSock >= 0)
            close(listenSock);
        WatchLoop::TearDown();
    }
    void Send(const std::string &d)
    {
        ASSERT_EQ(static_cast<ssize_t>(d.size()), send(sendSock, d.data(), d.size(), 0));
        Arrived();
    }
    // Waits until a datagram is waiting on the listening socket.
    void Arrived()
    {
        struct pollfd p = {listenSock, POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 5000));
    }
    int Recv(int64_t now = 0) { return watchloop_receive(listenSock, &q, now, log); }

    unsigned short port = 0;
    int listenSock = -1, sendSock = -1;
};

TEST_F(Receive, AnnouncementCreatesThenRefreshes)
{
    Send("alpha 12 STORAGE STOREUID 1.2.3 1.2.3.4 1.2.3.4.5\n");
    EXPECT_EQ(1, Recv(500));
    ASSERT_NE(nullptr, SQ_find(&q, "1.2.3"));
    Send("alpha 12 STORAGE STOREUID 1.2.3 1.2.3.4 1.2.3.4.6\n");
    EXPECT_EQ(1, Recv(900));
    EXPECT_EQ(900, SQ_find(&q, "1.2.3")->lastseen);
    EXPECT_EQ(nullptr, q.head->next);
}

TEST_F(Receive, NothingWaiting)
{
    EXPECT_EQ(0, Recv());
    EXPECT_EQ("", Log());
}

TEST_F(Receive, EmptyDatagramIgnored)
{
    ASSERT_EQ(0, send(sendSock, "", 0, 0));
    Arrived();
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(nullptr, q.head);
}

// Regression: a shorter datagram must be read from its own bytes only, never
// completed by what a longer one left in the receive buffer.
TEST_F(Receive, ShorterAfterLongerIsParsedAlone)
{
    Send("h 1 STORAGE STOREUIX 1.2.3.4 5.6 7.8\n");
    Send("h 1 STORAGE STOREUID 1.2.3.4");
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(nullptr, q.head);
}

TEST_F(Receive, FullFrameIsAccepted)
{
    std::string d = "h 1 STORAGE STOREUID 1.2.3 4.5 ";
    d += std::string(1024 - d.size() - 1, '6') + "\n";
    ASSERT_EQ(1024u, d.size());
    Send(d);
    EXPECT_EQ(1, Recv());
    EXPECT_NE(nullptr, SQ_find(&q, "1.2.3"));
}

// A datagram longer than a frame arrives cut; it is dropped, not read as if
// it were whole.
TEST_F(Receive, OverlongDatagramIgnored)
{
    std::string d = "h 1 STORAGE STOREUID 1.2.3 4.5 ";
    d += std::string(1100, '6') + "\n";
    Send(d);
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(nullptr, q.head);
}

TEST_F(Receive, UnusableUidIgnoredWithWarning)
{
    Send("h 1 STORAGE STOREUID 1.2;reboot 4 5\n");
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(nullptr, q.head);
    EXPECT_NE(std::string::npos,
              Log().find("]:Ignored an announcement with an unusable study UID.\n"));
}

// A flood of unusable UIDs costs one line per interval, and the count of
// those held back is written once the interval is over.
TEST_F(Receive, UnusableUidsAreLoggedAtABoundedRate)
{
    for (int i = 0; i < 5; i++) {
        Send("h 1 STORAGE STOREUID 1.2;x" + std::to_string(i) + " 4 5\n");
        EXPECT_EQ(0, Recv(100 + i));
    }
    EXPECT_EQ(1100, watchloop_flush_log(500, log));
    EXPECT_EQ(1100, watchloop_flush_log(1099, log));
    EXPECT_EQ(1u, Count(Log(), "unusable study UID"));
    EXPECT_EQ(-1, watchloop_flush_log(1100, log));
    EXPECT_NE(std::string::npos,
              Log().find("]:Ignored 4 more announcements with an unusable study UID since the "
                         "last line.\n"));
    // The next one within the interval after that line is held back again.
    Send("h 1 STORAGE STOREUID 1.2;y 4 5\n");
    EXPECT_EQ(0, Recv(1200));
    EXPECT_EQ(2u, Count(Log(), "unusable study UID"));
    Send("h 1 STORAGE STOREUID 1.2;z 4 5\n");
    EXPECT_EQ(0, Recv(2200));
    EXPECT_NE(std::string::npos, Log().find("]:Ignored an announcement with an unusable study "
                                            "UID (and 1 more since the last line).\n"));
}

// The archive is told by the datagram's source address: by default this
// host's own addresses (127.0.0.1 here, not 127.0.0.2), else those given.
TEST_F(Receive, SourceAddressTellsTheArchive)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.2");
    ASSERT_EQ(0, bind(s, (struct sockaddr *)&from, sizeof from));
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr("224.0.0.1");
    const std::string d = "h 1 STORAGE STOREUID 1.9 4.5 6.7\n";
    ASSERT_EQ((ssize_t)d.size(),
              sendto(s, d.data(), d.size(), 0, (struct sockaddr *)&to, sizeof to));
    Arrived();
    EXPECT_EQ(1, Recv());
    ASSERT_NE(nullptr, SQ_find(&q, "1.9"));
    EXPECT_EQ(SQ_UNKNOWN, SQ_find(&q, "1.9")->origin);
    Send("h 1 STORAGE STOREUID 1.8 4.5 6.7\n");
    EXPECT_EQ(1, Recv());
    EXPECT_EQ(SQ_ARCHIVE, SQ_find(&q, "1.8")->origin);

    uint32_t other = inet_addr("127.0.0.2");
    watchloop_set_archive(&other, 1);
    EXPECT_EQ(1, watchloop_is_archive(other));
    EXPECT_EQ(0, watchloop_is_archive(inet_addr("127.0.0.1")));
    const std::string d2 = "h 1 STORAGE STOREUID 1.7 4.5 6.7\n";
    ASSERT_EQ((ssize_t)d2.size(),
              sendto(s, d2.data(), d2.size(), 0, (struct sockaddr *)&to, sizeof to));
    close(s);
    Arrived();
    EXPECT_EQ(1, Recv());
    watchloop_set_archive(nullptr, 0);
    EXPECT_EQ(SQ_ARCHIVE, SQ_find(&q, "1.7")->origin);
    EXPECT_EQ(1, watchloop_is_archive(inet_addr("127.0.0.1")));
}

TEST_F(Receive, ReceiveErrorIsLogged)
{
    EXPECT_EQ(-1, watchloop_receive(-1, &q, 0, log));
    EXPECT_NE(std::string::npos, Log().find("]:Error receiving message.\n"));
}

// A forged announcement sent straight to the port (unicast, here from
// another loopback address) is not the channel's and queues nothing; the
// same text on the group does.
TEST_F(Receive, UnicastToThePortIgnored)
{
    const std::string d = "h 1 STORAGE STOREUID 1.2.3 4.5 6.7\n";
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.2");
    ASSERT_EQ(0, bind(s, (struct sockaddr *)&from, sizeof from));
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ((ssize_t)d.size(),
              sendto(s, d.data(), d.size(), 0, (struct sockaddr *)&to, sizeof to));
    close(s);
    Arrived();
    EXPECT_EQ(0, Recv());
    EXPECT_EQ(nullptr, q.head);
    Send(d);
    EXPECT_EQ(1, Recv());
    EXPECT_NE(nullptr, SQ_find(&q, "1.2.3"));
}

// At its limit the queue refuses new studies (logged), while a study it
// holds is still refreshed.
TEST_F(Receive, FullQueueRefusesNewStudies)
{
    q.limit = 2;
    Send("h 1 STORAGE STOREUID 1.1 4.5 6.7\n");
    Send("h 1 STORAGE STOREUID 1.2 4.5 6.7\n");
    EXPECT_EQ(1, Recv(10));
    EXPECT_EQ(1, Recv(10));
    Send("h 1 STORAGE STOREUID 1.3 4.5 6.7\n");
    EXPECT_EQ(0, Recv(20));
    EXPECT_EQ(nullptr, SQ_find(&q, "1.3"));
    EXPECT_NE(std::string::npos,
              Log().find("]:Study queue full (2 studies): announcement of 1.3 refused.\n"));
    Send("h 1 STORAGE STOREUID 1.1 4.5 6.8\n");
    EXPECT_EQ(1, Recv(30));
    EXPECT_EQ(30, SQ_find(&q, "1.1")->lastseen);
    EXPECT_EQ(2u, SQ_size(&q));
    // A flood is logged once a second, with the count of the refusals between.
    for (int i = 4; i <= 6; i++) {
        Send("h 1 STORAGE STOREUID 1." + std::to_string(i) + " 4.5 6.7\n");
        EXPECT_EQ(0, Recv(500));
    }
    Send("h 1 STORAGE STOREUID 1.7 4.5 6.7\n");
    EXPECT_EQ(0, Recv(1020));
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("announcement of 1.4"));
    EXPECT_NE(std::string::npos, log.find("]:Study queue full (2 studies): announcement of 1.7 "
                                          "refused (and 3 more since the last line).\n"));
    EXPECT_EQ(2u, SQ_size(&q));
}

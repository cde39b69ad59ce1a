// Tests of the multicast transport. Sockets are opened only inside the
// private network namespace of scripts/netns-exec (VELTO_NETNS=1).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "runtime/multicast.h"

static const char kGroup[] = "224.0.0.1";

class MulticastTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char *netns = getenv("VELTO_NETNS");
        if (netns == nullptr || strcmp(netns, "1") != 0)
            GTEST_SKIP() << "multicast sockets only inside scripts/netns-exec";
        multicast_init();
    }

    // A UDP port that is free at the moment.
    static unsigned short FreePort()
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        socklen_t len = sizeof addr;
        unsigned short port = 0;
        if (s >= 0 && bind(s, (struct sockaddr *)&addr, sizeof addr) == 0 &&
            getsockname(s, (struct sockaddr *)&addr, &len) == 0)
            port = ntohs(addr.sin_port);
        close(s);
        return port;
    }

    // One datagram from sock within two seconds, or "<timeout>".
    static std::string Receive(int sock)
    {
        struct pollfd pfd = {sock, POLLIN, 0};
        if (poll(&pfd, 1, 2000) != 1)
            return "<timeout>";
        char buf[2048];
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        return n < 0 ? "<error>" : std::string(buf, (size_t)n);
    }

    std::string Prefix() const
    {
        return std::string(multicast_get_hostname()) + " " + std::to_string(getpid()) + " ";
    }
};

TEST_F(MulticastTest, NamesAreFilled)
{
    EXPECT_NE(multicast_get_hostname()[0], '\0');
    // Linux reports an unset domain as "(none)"; that is made empty.
    EXPECT_NE(multicast_get_domainname()[0], '(');
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_STREQ(multicast_get_hostname(), host);
}

TEST_F(MulticastTest, FramingHostPidTextNewline)
{
    unsigned short port = FreePort();
    int listen_sock = multicast_listen_udp(port, kGroup);
    ASSERT_GE(listen_sock, 0);
    int send_sock = multicast_sendsocket(port, kGroup);
    ASSERT_GE(send_sock, 0);

    EXPECT_EQ(multicast_send(send_sock, "STORAGE IDLE 0"), (ssize_t)(Prefix().size() + 15));
    EXPECT_EQ(Receive(listen_sock), Prefix() + "STORAGE IDLE 0\n");
    EXPECT_EQ(multicast_send(send_sock, ""), (ssize_t)(Prefix().size() + 1));
    EXPECT_EQ(Receive(listen_sock), Prefix() + "\n");
    close(send_sock);
    close(listen_sock);
}

TEST_F(MulticastTest, LongTextIsCutTo1023Bytes)
{
    unsigned short port = FreePort();
    int listen_sock = multicast_listen_udp(port, kGroup);
    ASSERT_GE(listen_sock, 0);
    int send_sock = multicast_sendsocket(port, kGroup);
    ASSERT_GE(send_sock, 0);

    std::string text(1100, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = (char)('a' + i % 26);
    EXPECT_EQ(multicast_send(send_sock, text.c_str()), 1023);
    std::string got = Receive(listen_sock);
    ASSERT_EQ(got.size(), 1023u);
    // Cut without its newline.
    EXPECT_EQ(got, (Prefix() + text).substr(0, 1023));

    // A frame of exactly 1023 bytes keeps its newline.
    std::string fits(1023 - Prefix().size() - 1, 'y');
    EXPECT_EQ(multicast_send(send_sock, fits.c_str()), 1023);
    EXPECT_EQ(Receive(listen_sock), Prefix() + fits + "\n");
    close(send_sock);
    close(listen_sock);
}

TEST_F(MulticastTest, TwoListenersShareThePort)
{
    unsigned short port = FreePort();
    int a = multicast_listen_udp(port, kGroup);
    int b = multicast_listen_udp(port, kGroup);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    int send_sock = multicast_sendsocket(port, kGroup);
    ASSERT_GE(send_sock, 0);
    ASSERT_GT(multicast_send(send_sock, "DISCOVER_AET"), 0);
    EXPECT_EQ(Receive(a), Prefix() + "DISCOVER_AET\n");
    EXPECT_EQ(Receive(b), Prefix() + "DISCOVER_AET\n");
    close(send_sock);
    close(a);
    close(b);
}

TEST_F(MulticastTest, BusyPortIsGivenUpAfterThreeAttempts)
{
    // The other program did not set SO_REUSEADDR.
    int other = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    ASSERT_EQ(bind(other, (struct sockaddr *)&addr, sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(other, (struct sockaddr *)&addr, &len), 0);

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(multicast_listen_udp(ntohs(addr.sin_port), kGroup), -1);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double elapsed = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    // Three attempts, each failure followed by a one-second pause.
    EXPECT_GE(elapsed, 2.9);
    close(other);
}

TEST_F(MulticastTest, InvalidGroupFails)
{
    unsigned short port = FreePort();
    int before = dup(0);
    close(before);
    EXPECT_EQ(multicast_listen_udp(port, "not-an-address"), -1);
    EXPECT_EQ(multicast_listen_udp(port, "10.0.0.1"), -1); // not a multicast group
    EXPECT_EQ(multicast_sendsocket(port, "not-an-address"), -1);
    EXPECT_EQ(multicast_listen_udp(port, nullptr), -1);
    // The sockets were closed: the lowest free descriptor is unchanged.
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, before);
}

TEST_F(MulticastTest, SendOnNoSocket)
{
    EXPECT_EQ(multicast_send(-1, "x"), -1);
}

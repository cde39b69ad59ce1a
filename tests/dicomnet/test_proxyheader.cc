// The PROXY protocol v2 header: HAProxy's headers for IPv4 and IPv6 with
// TLVs, LOCAL, a header in every cut (more bytes asked for, exactly its
// length), malformed ones (each refused with its reason), and the reader on
// a socket pair: exactly the header's bytes taken, end of file, a header
// cut short, silence past the deadline.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "dicomnet/proxyheader.h"

namespace
{

const std::string SIG("\r\n\r\n\0\r\nQUIT\n", 12);

// A header: version/command byte, family byte, then the block.
std::string Header(unsigned char vc, unsigned char fam, const std::string &block)
{
    std::string h = SIG;
    h += (char)vc;
    h += (char)fam;
    h += (char)(block.size() >> 8);
    h += (char)(block.size() & 0xff);
    return h + block;
}

std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s += (char)c;
    return s;
}

// 127.0.0.7:40000 -> 127.0.0.1:11112, as HAProxy writes it.
std::string Inet4Block()
{
    return Bytes({127, 0, 0, 7, 127, 0, 0, 1, 0x9c, 0x40, 0x2b, 0x68});
}

proxyheader_result Parse(const std::string &s, proxyheader *h, size_t *need, const char **why)
{
    return proxyheader_parse((const unsigned char *)s.data(), s.size(), h, need, why);
}

TEST(ProxyHeader, ReadsTcpOverIPv4AndIPv6)
{
    proxyheader h;
    size_t need = 0;
    const char *why = nullptr;
    std::string v4 = Header(0x21, 0x11, Inet4Block());
    // The client's first bytes after the header are not looked at.
    ASSERT_EQ(Parse(v4 + "\x01\x00rest", &h, &need, &why), PROXYHEADER_PROXY) << why;
    EXPECT_STREQ(h.source, "127.0.0.7");
    EXPECT_EQ(h.sourcePort, 40000u);
    EXPECT_STREQ(h.destination, "127.0.0.1");
    EXPECT_EQ(h.destinationPort, 11112u);
    EXPECT_EQ(h.length, 28u);

    std::string a6(16, '\0'), b6(16, '\0');
    a6[0] = 0x20, a6[1] = 0x01, a6[2] = 0x0d, a6[3] = (char)0xb8, a6[15] = 7;
    b6[15] = 1;
    // A TLV (type 0x04, NOOP, 3 bytes) after the addresses is skipped.
    std::string tlv = Bytes({0x04, 0x00, 0x03, 'a', 'b', 'c'});
    std::string v6 = Header(0x21, 0x21, a6 + b6 + Bytes({0, 1, 0, 2}) + tlv);
    ASSERT_EQ(Parse(v6, &h, &need, &why), PROXYHEADER_PROXY) << why;
    EXPECT_STREQ(h.source, "2001:db8::7");
    EXPECT_STREQ(h.destination, "::1");
    EXPECT_EQ(h.sourcePort, 1u);
    EXPECT_EQ(h.length, 16u + 36 + 6);

    // An IPv4 client mapped into IPv6 reads as IPv4.
    std::string m6(16, '\0');
    m6[10] = m6[11] = (char)0xff, m6[12] = 10, m6[15] = 9;
    ASSERT_EQ(Parse(Header(0x21, 0x21, m6 + b6 + Bytes({0, 1, 0, 2})), &h, &need, &why),
              PROXYHEADER_PROXY);
    EXPECT_STREQ(h.source, "10.0.0.9");
}

TEST(ProxyHeader, LocalNamesNoOne)
{
    proxyheader h;
    size_t need = 0;
    const char *why = nullptr;
    EXPECT_EQ(Parse(Header(0x20, 0x00, ""), &h, &need, &why), PROXYHEADER_LOCAL);
    EXPECT_STREQ(h.source, "");
    EXPECT_EQ(h.length, 16u);
    // A LOCAL command with any family and block: the block is skipped.
    EXPECT_EQ(Parse(Header(0x20, 0x11, Inet4Block()), &h, &need, &why), PROXYHEADER_LOCAL);
    EXPECT_STREQ(h.source, "");
    EXPECT_EQ(h.length, 28u);
}

TEST(ProxyHeader, EveryCutAsksForTheRest)
{
    std::string v4 = Header(0x21, 0x11, Inet4Block());
    for (size_t n = 0; n < v4.size(); n++) {
        proxyheader h;
        size_t need = 0;
        const char *why = nullptr;
        ASSERT_EQ(Parse(v4.substr(0, n), &h, &need, &why), PROXYHEADER_MORE) << n;
        EXPECT_EQ(need, n < 16 ? 16u : v4.size()) << n;
    }
}

TEST(ProxyHeader, RefusesMalformedHeaders)
{
    std::string big(PROXYHEADER_MAX_BODY + 1, '\0');
    const std::pair<std::string, const char *> bad[] = {
        // A DICOM A-ASSOCIATE-RQ, a TLS ClientHello, the text version 1.
        {Bytes({0x01, 0x00, 0x00, 0x00, 0x00, 0xcd}), "signature"},
        {Bytes({0x16, 0x03, 0x01}), "signature"},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 1 2\r\n", "signature"},
        // A signature wrong in its last byte.
        {SIG.substr(0, 11) + "X", "signature"},
        {Header(0x11, 0x11, Inet4Block()), "version"},
        {Header(0x31, 0x11, Inet4Block()), "version"},
        {Header(0x22, 0x11, Inet4Block()), "command"},
        {Header(0x2f, 0x11, Inet4Block()), "command"},
        // UDP, UNIX sockets and an unspecified family in a PROXY command.
        {Header(0x21, 0x12, Inet4Block()), "TCP"},
        {Header(0x21, 0x31, std::string(216, 'x')), "TCP"},
        {Header(0x21, 0x00, ""), "TCP"},
        // Blocks too short for their addresses, and one beyond the bound.
        {Header(0x21, 0x11, Inet4Block().substr(0, 11)), "block"},
        {Header(0x21, 0x21, Inet4Block()), "block"},
        {Header(0x21, 0x11, big), "longer"},
        {Header(0x20, 0x00, big), "longer"},
    };
    for (const auto &b : bad) {
        proxyheader h;
        size_t need = 0;
        const char *why = nullptr;
        EXPECT_EQ(Parse(b.first, &h, &need, &why), PROXYHEADER_BAD) << b.second;
        ASSERT_NE(why, nullptr);
        EXPECT_NE(std::string(why).find(b.second), std::string::npos) << why;
    }
}

// A connected socket pair: the reader on [0], the test's peer on [1].
struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair()
    {
        close(fd[0]);
        if (fd[1] != -1)
            close(fd[1]);
    }
    void send(const std::string &s)
    {
        ASSERT_EQ(write(fd[1], s.data(), s.size()), (ssize_t)s.size());
    }
    void hangUp()
    {
        close(fd[1]);
        fd[1] = -1;
    }
};

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

TEST(ProxyHeader, ReaderTakesExactlyTheHeader)
{
    proxyheader h;
    const char *why = nullptr;
    {
        Pair p;
        p.send(Header(0x21, 0x11, Inet4Block()) + "DICOM");
        ASSERT_EQ(proxyheader_read(p.fd[0], 1000, &h, &why), PROXYHEADER_READ_PROXY) << why;
        EXPECT_STREQ(h.source, "127.0.0.7");
        char rest[16];
        ASSERT_EQ(read(p.fd[0], rest, sizeof rest), 5);
        EXPECT_EQ(std::string(rest, 5), "DICOM");
    }
    {
        Pair p;
        p.send(Header(0x20, 0x00, ""));
        EXPECT_EQ(proxyheader_read(p.fd[0], 1000, &h, &why), PROXYHEADER_READ_LOCAL);
    }
    {
        // A health check: connected, closed.
        Pair p;
        p.hangUp();
        EXPECT_EQ(proxyheader_read(p.fd[0], 1000, &h, &why), PROXYHEADER_READ_CLOSED);
    }
    {
        Pair p;
        p.send(Header(0x21, 0x11, Inet4Block()).substr(0, 20));
        p.hangUp();
        EXPECT_EQ(proxyheader_read(p.fd[0], 1000, &h, &why), PROXYHEADER_READ_TRUNCATED);
    }
    {
        Pair p;
        p.send(Bytes({0x01, 0x00, 0x00, 0x00}));
        EXPECT_EQ(proxyheader_read(p.fd[0], 1000, &h, &why), PROXYHEADER_READ_BAD);
    }
}

TEST(ProxyHeader, ReaderKeepsItsDeadline)
{
    proxyheader h;
    const char *why = nullptr;
    Pair silent;
    long start = NowMs();
    EXPECT_EQ(proxyheader_read(silent.fd[0], 200, &h, &why), PROXYHEADER_READ_SILENT);
    Pair partial;
    partial.send(SIG.substr(0, 5));
    EXPECT_EQ(proxyheader_read(partial.fd[0], 200, &h, &why), PROXYHEADER_READ_TRUNCATED);
    long took = NowMs() - start;
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 2000);
}

} // namespace

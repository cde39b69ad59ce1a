// The layer's TCP transport corked: what is written while corked leaves in
// one piece, in order, when the cork ends or before the connection reads,
// and not before; a connection that is not corked sends at once. One end
// of a socket pair carries the connection, the test reads the other.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "dicomnet/transport.h"

namespace
{

class Corked : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        conn = dicomnet_transport_connection(fds[0]);
    }
    void TearDown() override
    {
        conn->close();
        delete conn;
        close(fds[1]);
    }

    // Everything the peer can read now, without waiting.
    std::string waiting()
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.append(buf, (size_t)n);
        return out;
    }

    void write(const std::string &bytes)
    {
        ASSERT_EQ((ssize_t)bytes.size(), conn->write((void *)bytes.data(), bytes.size()));
    }

    int fds[2] = {-1, -1};
    DcmTransportConnection *conn = nullptr;
};

// A P-DATA-TF PDU header with its PDV header (12 bytes), for value bytes.
std::string pduHead(size_t value)
{
    std::string h = {0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x03};
    size_t pdv = value + 2, pdu = pdv + 4;
    for (int i = 0; i < 4; i++) {
        h[2 + i] = (char)(pdu >> (24 - 8 * i));
        h[6 + i] = (char)(pdv >> (24 - 8 * i));
    }
    return h;
}

} // namespace

TEST_F(Corked, GatheredBytesLeaveTogetherAtTheEndOfTheCork)
{
    std::string command(140, 'c'), data(5000, 'd');
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 1));
    write(pduHead(command.size()));
    write(command);
    write(pduHead(data.size()));
    write(data);
    EXPECT_EQ("", waiting());
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 0));
    EXPECT_EQ(pduHead(command.size()) + command + pduHead(data.size()) + data, waiting());
    // Uncorked again: a value goes out as soon as it is written.
    write(pduHead(4));
    write("more");
    EXPECT_EQ(pduHead(4) + "more", waiting());
}

TEST_F(Corked, ReadingSendsWhatWasGatheredFirst)
{
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 1));
    write(pduHead(6));
    write("abcdef");
    // The peer answers only what it has received: the connection must not
    // wait for the answer with its request still gathered.
    EXPECT_FALSE(conn->networkDataAvailable(0));
    EXPECT_EQ(pduHead(6) + "abcdef", waiting());
    ASSERT_EQ(2, send(fds[1], "ok", 2, 0));
    char buf[2];
    EXPECT_EQ(2, conn->read(buf, 2));
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 0));
    EXPECT_EQ("", waiting());
}

TEST_F(Corked, LargeDataSetStartsToLeaveBeforeTheCorkEnds)
{
    std::string data(200000, 'x');
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 1));
    write(pduHead(data.size()));
    // The peer drains while the writer writes in pieces (the socket buffer
    // holds less than the whole).
    std::string got;
    for (size_t at = 0; at < data.size(); at += 16384) {
        write(data.substr(at, 16384));
        got += waiting();
    }
    EXPECT_FALSE(got.empty());
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 0));
    got += waiting();
    EXPECT_EQ(pduHead(data.size()) + data, got);
}

TEST_F(Corked, ClosingSendsWhatWasGathered)
{
    ASSERT_EQ(0, dicomnet_transport_connection_cork(conn, 1));
    write(pduHead(2));
    write("zz");
    conn->close();
    EXPECT_EQ(pduHead(2) + "zz", waiting());
}

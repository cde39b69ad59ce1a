// libFuzzer target of the layer's TCP transport: its read buffering and its
// framing of P-DATA PDUs on the way out. A connection of the transport runs
// on one end of a socket pair; the test drives the other end.
//
// Input: byte 0 picks the mode, bytes 1..8 a cycle of piece sizes, the rest
// is the byte stream.
// - Reading: the stream arrives from the peer (then end of file); it is
//   read in pieces of the cycled sizes, or as the toolkit frames PDUs (a
//   6-byte header, then the body its length field gives, in pieces), with
//   data-available probes in between. What is read must be the stream,
//   byte for byte, followed by end of file.
// - Writing: the stream is written in pieces of the cycled sizes, each
//   optionally after a 12-byte P-DATA-TF header written on its own (which
//   the transport holds back and sends with the piece). The peer must
//   receive every header and piece in order, nothing lost, doubled or
//   reordered, also when the connection closes with a header held.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "dicomnet/transport.h"

// Longest stream used: the peer's socket buffer always holds it whole.
enum { MAX_STREAM = 16384, CYCLE = 8, MAX_PIECE = 70000 };

struct cycle {
    const uint8_t *sizes;
    size_t next = 0;
    size_t piece()
    {
        uint8_t b = sizes[next++ % CYCLE];
        // Mostly small pieces, now and then one larger than the buffer.
        return b < 0xf0 ? (size_t)b + 1 : (size_t)(b - 0xef) * (MAX_PIECE / 16);
    }
};

// Everything waiting on fd without blocking, appended to out.
static void drain(int fd, std::string &out)
{
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return;
        out.append(buf, (size_t)n);
    }
}

// Reads exactly want bytes (fewer only at end of file) in pieces.
static std::string readPieces(DcmTransportConnection *conn, size_t want, cycle &c)
{
    std::string got;
    static char buf[MAX_PIECE];
    while (got.size() < want) {
        size_t ask = c.piece();
        if (ask > want - got.size())
            ask = want - got.size();
        ssize_t n = conn->read(buf, ask);
        if (n < 0)
            abort();
        if (n == 0)
            break;
        if ((size_t)n > ask)
            abort(); // more than asked for
        got.append(buf, (size_t)n);
    }
    return got;
}

static void fuzzRead(int mine, int peer, uint8_t mode, cycle &c, const std::string &stream)
{
    if (send(peer, stream.data(), stream.size(), 0) != (ssize_t)stream.size())
        abort();
    shutdown(peer, SHUT_WR);
    DcmTransportConnection *conn = dicomnet_transport_connection(mine);
    std::string got;
    if (mode & 2) {
        // As the toolkit reads PDUs: header, then the body it announces.
        for (;;) {
            if ((mode & 4) && !conn->networkDataAvailable(1))
                abort(); // data or end of file is always there
            std::string head = readPieces(conn, 6, c);
            got += head;
            if (head.size() < 6)
                break;
            uint32_t length = ((uint32_t)(uint8_t)head[2] << 24) |
                              ((uint32_t)(uint8_t)head[3] << 16) |
                              ((uint32_t)(uint8_t)head[4] << 8) | (uint8_t)head[5];
            std::string body = readPieces(conn, length, c);
            got += body;
            if (body.size() < length)
                break;
        }
    } else {
        got = readPieces(conn, (size_t)-1 / 2, c);
    }
    if (got != stream)
        abort();
    char one;
    if (conn->read(&one, 1) != 0)
        abort(); // end of file stays end of file
    conn->close();
    delete conn;
}

static void fuzzWrite(int mine, int peer, uint8_t mode, cycle &c, const std::string &stream)
{
    DcmTransportConnection *conn = dicomnet_transport_connection(mine);
    std::string expected, received;
    size_t pos = 0;
    while (pos < stream.size()) {
        size_t n = c.piece();
        if (n > stream.size() - pos)
            n = stream.size() - pos;
        if (mode & 2) {
            unsigned char head[12] = {0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x02};
            uint32_t pdv = (uint32_t)n + 2, pdu = pdv + 4;
            for (int i = 0; i < 4; i++) {
                head[2 + i] = (unsigned char)(pdu >> (24 - 8 * i));
                head[6 + i] = (unsigned char)(pdv >> (24 - 8 * i));
            }
            if (conn->write(head, sizeof head) != (ssize_t)sizeof head)
                abort();
            expected.append((const char *)head, sizeof head);
        }
        if (conn->write((void *)(stream.data() + pos), n) != (ssize_t)n)
            abort();
        expected.append(stream, pos, n);
        pos += n;
        drain(peer, received);
    }
    if (mode & 4) {
        // A header left held when the connection closes still goes out.
        unsigned char head[12] = {0x04, 0, 0, 0, 0, 6, 0, 0, 0, 2, 1, 0x03};
        if (conn->write(head, sizeof head) != (ssize_t)sizeof head)
            abort();
        expected.append((const char *)head, sizeof head);
    }
    conn->close();
    delete conn;
    for (;;) {
        char buf[65536];
        ssize_t n = recv(peer, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buf, (size_t)n);
    }
    if (received != expected)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 + CYCLE)
        return 0;
    uint8_t mode = data[0];
    cycle c;
    c.sizes = data + 1;
    size_t len = size - 1 - CYCLE;
    if (len > MAX_STREAM)
        len = MAX_STREAM;
    std::string stream((const char *)data + 1 + CYCLE, len);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (mode & 1)
        fuzzWrite(fds[0], fds[1], mode, c, stream);
    else
        fuzzRead(fds[0], fds[1], mode, c, stream);
    close(fds[1]);
    return 0;
}

// The layer's TCP transport. The toolkit leaves Nagle's algorithm on unless
// the TCP_NODELAY environment variable says otherwise; a DICOM exchange is a
// series of small writes (command PDU, then data set PDU) each waiting for
// the peer's answer, so Nagle plus the peer's delayed ACK costs ~40 ms per
// message. Our connections turn Nagle off for what we send, and ask for an
// immediate ACK after every read, so a peer that keeps Nagle on gets its
// next segment out at once instead of waiting for our delayed ACK. Reads
// are buffered and a P-DATA PDU leaves as one segment, which saves system
// calls here and wake-ups at the peer.
#include "dicomnet/transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "dcmtk/dcmnet/dcmlayer.h"
#include "dcmtk/dcmnet/dcmtrans.h"
#include "runtime/watchdog.h"

static void set_tcp_option(int fd, int option)
{
    int on = 1;
    // Best effort: a socket that refuses the option still works, only slower.
    (void)setsockopt(fd, IPPROTO_TCP, option, &on, sizeof(on));
}

class DCMTK_FastTCPConnection : public DcmTCPConnection
{
public:
    explicit DCMTK_FastTCPConnection(DcmNativeSocketType fd) : DcmTCPConnection(fd)
    {
        set_tcp_option(fd, TCP_NODELAY);
        set_tcp_option(fd, TCP_QUICKACK);
    }

    // The toolkit reads a PDU as its 6-byte header and then its body, and
    // often a body in pieces; every read is a system call, and each is
    // followed by our TCP_QUICKACK. Reads are therefore served from a
    // buffer that one system call fills with whatever has arrived; reads as
    // large as the buffer go straight to the caller.
    ssize_t read(void *buf, size_t nbyte) override
    {
        if (flushHeld() != 0)
            return -1;
        if (readPos == readEnd && nbyte >= sizeof readBuf)
            return socketRead(buf, nbyte);
        if (readPos == readEnd) {
            ssize_t n = socketRead(readBuf, sizeof readBuf);
            if (n <= 0)
                return n;
            readPos = 0;
            readEnd = (size_t)n;
        }
        size_t n = readEnd - readPos < nbyte ? readEnd - readPos : nbyte;
        memcpy(buf, readBuf + readPos, n);
        readPos += n;
        return (ssize_t)n;
    }

    // The toolkit writes a P-DATA-TF PDU as two writes, its 12 header bytes
    // (PDU and PDV headers) and then the PDV's value. With Nagle off each
    // would leave as a segment of its own, and the peer would wake up for
    // each; the header is therefore held and sent with the value that
    // always follows it (or before any read, at the latest).
    ssize_t write(void *buf, size_t nbyte) override
    {
        const unsigned char *bytes = (const unsigned char *)buf;
        if (heldLen == 0 && nbyte == PDATA_HEAD && bytes[0] == PDATA_TF) {
            memcpy(held, bytes, nbyte);
            heldLen = nbyte;
            return (ssize_t)nbyte;
        }
        if (heldLen == 0) {
            ssize_t n = DcmTCPConnection::write(buf, nbyte);
            if (n > 0)
                watchdog_progress();
            return n;
        }
        struct iovec iov[2] = {{held, heldLen}, {buf, nbyte}};
        if (sendAll(iov, 2) != 0)
            return -1;
        heldLen = 0;
        watchdog_progress();
        return (ssize_t)nbyte;
    }

    OFBool networkDataAvailable(int timeout) override
    {
        if (flushHeld() != 0)
            return OFFalse;
        if (readPos < readEnd)
            return OFTrue;
        return DcmTCPConnection::networkDataAvailable(timeout);
    }

    // Data buffered here cannot be seen by a select on the socket.
    OFBool isTransparentConnection() override { return OFFalse; }

    void close() override
    {
        flushHeld();
        DcmTCPConnection::close();
    }

    // The connected socket (the toolkit keeps its accessor protected).
    int socket() { return getSocket(); }

    // 1 when data can be read within ms milliseconds, else 0.
    int waitReadable(int ms)
    {
        if (flushHeld() != 0)
            return 0;
        if (readPos < readEnd)
            return 1;
        struct pollfd pfd = {getSocket(), POLLIN, 0};
        return poll(&pfd, 1, ms) > 0 ? 1 : 0;
    }

private:
    enum { PDATA_TF = 0x04, PDATA_HEAD = 12 };

    ssize_t socketRead(void *buf, size_t nbyte)
    {
        ssize_t n = DcmTCPConnection::read(buf, nbyte);
        // The kernel falls back to delayed ACKs by itself; re-arm after
        // every read, which is when the peer may be waiting for our ACK.
        // Data arriving is progress: the inactivity watchdog starts over.
        if (n > 0) {
            set_tcp_option(getSocket(), TCP_QUICKACK);
            watchdog_progress();
        }
        return n;
    }

    // Sends the iovecs completely (short sends and EINTR repeated; no
    // SIGPIPE): 0, or -1 with errno set.
    int sendAll(struct iovec *iov, int count)
    {
        while (count > 0) {
            struct msghdr msg = {};
            msg.msg_iov = iov;
            msg.msg_iovlen = (size_t)count;
            ssize_t n = sendmsg(getSocket(), &msg, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            size_t left = (size_t)n;
            while (count > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                iov++;
                count--;
            }
            if (count > 0) {
                iov->iov_base = (char *)iov->iov_base + left;
                iov->iov_len -= left;
            }
        }
        return 0;
    }

    int flushHeld()
    {
        if (heldLen == 0)
            return 0;
        struct iovec iov = {held, heldLen};
        heldLen = 0;
        return sendAll(&iov, 1);
    }

    unsigned char held[PDATA_HEAD];
    size_t heldLen = 0;
    unsigned char readBuf[65536];
    size_t readPos = 0, readEnd = 0;
};

// Descriptor closed when the next connection is made (-1: none); see
// DCMTK_transport_close_on_connection.
static int closeOnConnection = -1;

class DCMTK_FastTransportLayer : public DcmTransportLayer
{
public:
    // The toolkit calls this right after accept() (or connect()), before it
    // reads or writes anything on the connection.
    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override
    {
        if (closeOnConnection != -1) {
            close(closeOnConnection);
            closeOnConnection = -1;
        }
        if (useSecureLayer)
            return nullptr;
        return new DCMTK_FastTCPConnection(openSocket);
    }
};

DcmTransportConnection *DCMTK_transport_connection(int fd)
{
    return new DCMTK_FastTCPConnection(fd);
}

void DCMTK_transport_close_on_connection(int fd)
{
    if (closeOnConnection != -1 && closeOnConnection != fd)
        close(closeOnConnection);
    closeOnConnection = fd;
}

OFCondition DCMTK_transport_install(T_ASC_Network *network)
{
    DCMTK_FastTransportLayer *layer = new DCMTK_FastTransportLayer;
    OFCondition cond = ASC_setTransportLayer(network, layer, 1);
    if (cond.bad())
        delete layer;
    return cond;
}

// The association's connection when it is one of this layer's, else null.
static DCMTK_FastTCPConnection *layer_connection(T_ASC_Association *assoc)
{
    if (assoc == nullptr || assoc->DULassociation == nullptr)
        return nullptr;
    DcmTransportConnection *conn = DUL_getTransportConnection(assoc->DULassociation);
    return dynamic_cast<DCMTK_FastTCPConnection *>(conn);
}

int DCMTK_transport_waitReadable(T_ASC_Association *assoc, int ms)
{
    DCMTK_FastTCPConnection *conn = layer_connection(assoc);
    return conn != nullptr ? conn->waitReadable(ms) : -1;
}

int DCMTK_peer_address(T_ASC_Association *assoc, char *out, size_t size)
{
    DCMTK_FastTCPConnection *conn = layer_connection(assoc);
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    char host[NI_MAXHOST];

    if (size == 0)
        return -1;
    out[0] = '\0';
    if (conn == nullptr || getpeername(conn->socket(), (struct sockaddr *)&ss, &len) != 0 ||
        getnameinfo((struct sockaddr *)&ss, len, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) !=
            0)
        return -1;
    // An IPv4 peer on an IPv6 socket reads as IPv4.
    const char *text = host;
    if (strncmp(text, "::ffff:", 7) == 0 && strchr(text + 7, ':') == nullptr)
        text += 7;
    if (strlen(text) >= size)
        return -1;
    strcpy(out, text);
    return 0;
}

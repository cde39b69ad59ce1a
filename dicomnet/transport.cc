// The layer's TCP transport. The toolkit leaves Nagle's algorithm on unless
// the TCP_NODELAY environment variable says otherwise; a DICOM exchange is a
// series of small writes (command PDU, then data set PDU) each waiting for
// the peer's answer, so Nagle plus the peer's delayed ACK costs ~40 ms per
// message. Our connections turn Nagle off for what we send, and ask for an
// immediate ACK after every read, so a peer that keeps Nagle on gets its
// next segment out at once instead of waiting for our delayed ACK.
#include "dicomnet/transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "dcmtk/dcmnet/dcmlayer.h"
#include "dcmtk/dcmnet/dcmtrans.h"

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

    ssize_t read(void *buf, size_t nbyte) override
    {
        ssize_t n = DcmTCPConnection::read(buf, nbyte);
        // The kernel falls back to delayed ACKs by itself; re-arm after
        // every read, which is when the peer may be waiting for our ACK.
        if (n > 0)
            set_tcp_option(getSocket(), TCP_QUICKACK);
        return n;
    }
};

class DCMTK_FastTransportLayer : public DcmTransportLayer
{
public:
    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override
    {
        if (useSecureLayer)
            return nullptr;
        return new DCMTK_FastTCPConnection(openSocket);
    }
};

OFCondition DCMTK_transport_install(T_ASC_Network *network)
{
    DCMTK_FastTransportLayer *layer = new DCMTK_FastTransportLayer;
    OFCondition cond = ASC_setTransportLayer(network, layer, 1);
    if (cond.bad())
        delete layer;
    return cond;
}

// The layer's TCP transport. The toolkit leaves Nagle's algorithm on unless
// the TCP_NODELAY environment variable says otherwise; a DICOM exchange is a
// series of small writes (command PDU, then data set PDU) each waiting for
// the peer's answer, so Nagle plus the peer's delayed ACK costs ~40 ms per
// message. Our connections turn Nagle off for what we send, and ask for an
// immediate ACK after every read, so a peer that keeps Nagle on gets its
// next segment out at once instead of waiting for our delayed ACK. Reads
// are buffered and a P-DATA PDU leaves as one segment, which saves system
// calls here and wake-ups at the peer.
//
// With TLS set up (dicomnet_tls_init) every network gets one process-wide
// layer that makes the same plain connections and, for secure ones, TLS
// connections (DCMTK's dcmtls over OpenSSL) with Nagle off and a P-DATA
// PDU's header sent in the same TLS record as its value.
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

#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "dcmtk/dcmnet/dcmlayer.h"
#include "dcmtk/dcmnet/dcmtrans.h"
#include "dcmtk/dcmnet/dulstruc.h"
#include "dcmtk/dcmtls/tlslayer.h"
#include "dcmtk/dcmtls/tlstrans.h"
#include "runtime/watchdog.h"

enum { PDATA_TF = 0x04, PDATA_HEAD = 12 }; // P-DATA-TF PDU type; PDU + PDV header bytes

// The TLS 1.2 suites offered and taken (an OpenSSL cipher list): ECDHE key
// exchange (forward secrecy) with AES-GCM or ChaCha20-Poly1305 (AEAD).
static const char DICOMNET_TLS12_CIPHERS[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

// What this layer's connections offer beyond the toolkit's interface.
class dicomnet_LayerConnection
{
public:
    virtual ~dicomnet_LayerConnection() = default;
    // The connected socket (the toolkit keeps its accessor protected).
    virtual int socketOf() = 0;
    // 1 when data can be read within ms milliseconds, else 0.
    virtual int waitReadable(int ms) = 0;
    // Gathers (on) or sends what was gathered (off): 0, or -1 when the
    // gathered bytes could not be sent.
    virtual int cork(bool on) = 0;
    // The peer's address the accept check named ("": the socket's peer).
    std::string namedPeer;
};

static void set_tcp_option(int fd, int option)
{
    int on = 1;
    // Best effort: a socket that refuses the option still works, only slower.
    (void)setsockopt(fd, IPPROTO_TCP, option, &on, sizeof(on));
}

class dicomnet_FastTCPConnection : public DcmTCPConnection, public dicomnet_LayerConnection
{
public:
    explicit dicomnet_FastTCPConnection(DcmNativeSocketType fd) : DcmTCPConnection(fd)
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
        if (corked) {
            gathered.insert(gathered.end(), bytes, bytes + nbyte);
            if (gathered.size() >= CORK_LIMIT && flushHeld() != 0)
                return -1;
            return (ssize_t)nbyte;
        }
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

    int socketOf() override { return getSocket(); }

    int waitReadable(int ms) override
    {
        if (flushHeld() != 0)
            return 0;
        if (readPos < readEnd)
            return 1;
        struct pollfd pfd = {getSocket(), POLLIN, 0};
        return poll(&pfd, 1, ms) > 0 ? 1 : 0;
    }

    int cork(bool on) override
    {
        if (on && heldLen != 0) {
            gathered.insert(gathered.end(), held, held + heldLen);
            heldLen = 0;
        }
        corked = on;
        return on ? 0 : flushHeld();
    }

private:
    // Gathered bytes leave once this many are waiting, so a large data set
    // is not copied whole before it starts to go out.
    enum { CORK_LIMIT = 65536 };

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

    // Sends the held PDU header, or what was gathered while corked.
    int flushHeld()
    {
        struct iovec iov;
        if (heldLen != 0) {
            iov = {held, heldLen};
            heldLen = 0;
        } else if (!gathered.empty()) {
            iov = {gathered.data(), gathered.size()};
        } else {
            return 0;
        }
        int r = sendAll(&iov, 1);
        gathered.clear();
        return r;
    }

    unsigned char held[PDATA_HEAD];
    size_t heldLen = 0;
    bool corked = false;
    std::vector<unsigned char> gathered; // while corked: what is to be sent
    unsigned char readBuf[65536];
    size_t readPos = 0, readEnd = 0;
};

class dicomnet_TLSTransportLayer;

// The process's transport state. The daemon's start sets the TLS layer,
// the peer policy and the stop check before workers fork or threads start
// (read-only afterwards); the descriptor to close is the association
// worker's own (each forked worker has its copy).
static struct {
    // Descriptor closed when the next connection is made (-1: none); see
    // dicomnet_transport_close_on_connection.
    int closeOnConnection = -1;
    // Check of the next connection made (null: none); see
    // dicomnet_transport_check_next_accept.
    dicomnet_accept_check acceptCheck = nullptr;
    // The TLS layer (null: no TLS) and the peer policy.
    dicomnet_TLSTransportLayer *tlsLayer = nullptr;
    dicomnet_tls_peer_fn tlsPeerPolicy = nullptr;
    // Asked whether the daemon is stopping (null: never).
    int (*stopCheck)(void) = nullptr;
} transport;

// Called by every layer right after accept() (or connect()), on the new
// socket: false when the accept check drops the connection; else the peer
// it names is in peer ("" for the socket's).
static bool connectionMade(int fd, std::string *peer)
{
    if (transport.closeOnConnection != -1) {
        close(transport.closeOnConnection);
        transport.closeOnConnection = -1;
    }
    peer->clear();
    dicomnet_accept_check check = transport.acceptCheck;
    transport.acceptCheck = nullptr;
    if (check == nullptr)
        return true;
    char named[64] = "";
    if (check(fd, named, sizeof named) != 0)
        return false;
    *peer = named;
    return true;
}

void dicomnet_transport_check_next_accept(dicomnet_accept_check check)
{
    transport.acceptCheck = check;
}

// A connection of either kind, with the peer the accept check named.
template <class C> static C *named(C *conn, const std::string &peer)
{
    if (conn != nullptr)
        conn->namedPeer = peer;
    return conn;
}

class dicomnet_FastTransportLayer : public DcmTransportLayer
{
public:
    // The toolkit calls this right after accept() (or connect()), before it
    // reads or writes anything on the connection.
    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override
    {
        // A dropped connection: the toolkit closes the socket and fails
        // the receive.
        std::string peer;
        if (!connectionMade((int)openSocket, &peer) || useSecureLayer)
            return nullptr;
        return named(new dicomnet_FastTCPConnection(openSocket), peer);
    }
};

DcmTransportConnection *dicomnet_transport_connection(int fd)
{
    return new dicomnet_FastTCPConnection(fd);
}

void dicomnet_transport_close_on_connection(int fd)
{
    if (transport.closeOnConnection != -1 && transport.closeOnConnection != fd)
        close(transport.closeOnConnection);
    transport.closeOnConnection = fd;
}

// A TLS connection. The toolkit writes a P-DATA PDU's header and value
// separately; each would become a TLS record and a segment of its own, so
// the header is held and sent in one record with the value. Every
// association this program requests verifies the peer's certificate,
// whatever the layer asks of the peers that call in.
class dicomnet_TLSConnection : public DcmTLSConnection, public dicomnet_LayerConnection
{
public:
    dicomnet_TLSConnection(DcmNativeSocketType fd, SSL *ssl) : DcmTLSConnection(fd, ssl), ssl(ssl)
    {
        set_tcp_option(fd, TCP_NODELAY);
    }

    // A peer that connects and then says nothing must not hold the caller
    // for ever: the handshake has a bounded time for each read and write.
    // The toolkit's own socket timeouts are put back afterwards.
    OFCondition serverSideHandshake() override
    {
        struct timeval rcv = {0, 0}, snd = {0, 0}, bound = {HANDSHAKE_SECONDS, 0};
        socklen_t len = sizeof(rcv);
        (void)getsockopt(getSocket(), SOL_SOCKET, SO_RCVTIMEO, &rcv, &len);
        len = sizeof(snd);
        (void)getsockopt(getSocket(), SOL_SOCKET, SO_SNDTIMEO, &snd, &len);
        setTimeouts(bound, bound);
        OFCondition cond = DcmTLSConnection::serverSideHandshake();
        setTimeouts(rcv, snd);
        return cond;
    }

    OFCondition clientSideHandshake() override
    {
        SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        return DcmTLSConnection::clientSideHandshake();
    }

    ssize_t read(void *buf, size_t nbyte) override
    {
        if (flushHeld() != 0)
            return -1;
        ssize_t n = DcmTLSConnection::read(buf, nbyte);
        if (n > 0)
            watchdog_progress();
        return n;
    }

    ssize_t write(void *buf, size_t nbyte) override
    {
        const unsigned char *bytes = (const unsigned char *)buf;
        if (corked || (held.empty() && nbyte == PDATA_HEAD && bytes[0] == PDATA_TF)) {
            held.insert(held.end(), bytes, bytes + nbyte);
            if (corked && held.size() >= CORK_LIMIT && flushHeld() != 0)
                return -1;
            return (ssize_t)nbyte;
        }
        ssize_t n;
        if (held.empty()) {
            n = DcmTLSConnection::write(buf, nbyte);
        } else {
            held.insert(held.end(), bytes, bytes + nbyte);
            n = DcmTLSConnection::write(held.data(), held.size()) == (ssize_t)held.size()
                    ? (ssize_t)nbyte
                    : -1;
            held.clear();
        }
        if (n > 0)
            watchdog_progress();
        return n;
    }

    OFBool networkDataAvailable(int timeout) override
    {
        if (flushHeld() != 0)
            return OFFalse;
        return DcmTLSConnection::networkDataAvailable(timeout);
    }

    void close() override
    {
        flushHeld();
        DcmTLSConnection::close();
    }

    int socketOf() override { return getSocket(); }

    int waitReadable(int ms) override
    {
        if (flushHeld() != 0)
            return 0;
        // Decrypted bytes that OpenSSL holds cannot be seen by a poll.
        if (SSL_pending(ssl) > 0)
            return 1;
        struct pollfd pfd = {getSocket(), POLLIN, 0};
        return poll(&pfd, 1, ms) > 0 ? 1 : 0;
    }

    int cork(bool on) override
    {
        corked = on;
        return on ? 0 : flushHeld();
    }

private:
    enum { HANDSHAKE_SECONDS = 10, CORK_LIMIT = 65536 };

    // Sets the socket's read and write timeouts (best effort: without them
    // the worker's own alarm still bounds the handshake).
    void setTimeouts(const struct timeval &rcv, const struct timeval &snd)
    {
        (void)setsockopt(getSocket(), SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof(rcv));
        (void)setsockopt(getSocket(), SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof(snd));
    }

    int flushHeld()
    {
        if (held.empty())
            return 0;
        ssize_t n = DcmTLSConnection::write(held.data(), held.size());
        bool whole = n == (ssize_t)held.size();
        held.clear();
        return whole ? 0 : -1;
    }

    SSL *ssl; // owned by the toolkit's connection
    bool corked = false;
    std::vector<unsigned char> held; // a PDU header, or all that is gathered while corked
};

// The transport layer once TLS is set up: plain connections as above, and
// TLS connections from one OpenSSL context for both roles.
class dicomnet_TLSTransportLayer : public DcmTLSTransportLayer
{
public:
    dicomnet_TLSTransportLayer() : DcmTLSTransportLayer(NET_ACCEPTORREQUESTOR, nullptr, OFTrue) {}

    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override
    {
        // The check reads what precedes the TLS handshake (a PROXY
        // header), which happens only after this returns.
        std::string peer;
        if (!connectionMade((int)openSocket, &peer))
            return nullptr;
        if (!useSecureLayer)
            return named(new dicomnet_FastTCPConnection(openSocket), peer);
        SSL *ssl = SSL_new(getNativeHandle());
        if (ssl == nullptr)
            return nullptr;
        SSL_set_fd(ssl, (int)openSocket);
        return named(new dicomnet_TLSConnection(openSocket, ssl), peer);
    }
};

OFCondition dicomnet_transport_install(T_ASC_Network *network)
{
    if (transport.tlsLayer != nullptr)
        return ASC_setTransportLayer(network, transport.tlsLayer, 0);
    dicomnet_FastTransportLayer *layer = new dicomnet_FastTransportLayer;
    OFCondition cond = ASC_setTransportLayer(network, layer, 1);
    if (cond.bad())
        delete layer;
    return cond;
}

// Fills error with what and the toolkit's condition text; returns -1.
static int tls_failed(char *error, size_t size, const std::string &what, OFCondition cond)
{
    if (error != nullptr && size > 0)
        snprintf(error, size, "%s: %s", what.c_str(), cond.text());
    return -1;
}

int dicomnet_tls_init(const dicomnet_tls_settings *settings, char *error, size_t errorSize)
{
    dicomnet_tls_exit();
    dicomnet_TLSTransportLayer *layer = new dicomnet_TLSTransportLayer;
    OFCondition cond = EC_Normal;
    int result = 0;

    if (!*layer) {
        result = tls_failed(error, errorSize, "TLS", EC_IllegalCall);
    } else if ((cond = layer->setTLSProfile(TSP_Profile_BCP195)).bad() ||
               (cond = layer->activateCipherSuites()).bad()) {
        result = tls_failed(error, errorSize, "TLS cipher suites", cond);
    } else if (SSL_CTX_set_min_proto_version(layer->getNativeHandle(), TLS1_2_VERSION) != 1) {
        // The toolkit's BCP 195 profile picks the cipher suites but leaves
        // TLS 1.0 and 1.1 open (a handshake with AES128-SHA over TLS 1.0
        // succeeds); BCP 195 itself asks for TLS 1.2 at least.
        result = tls_failed(error, errorSize, "TLS 1.2 as the least version", EC_IllegalCall);
    } else if (SSL_CTX_set_cipher_list(layer->getNativeHandle(), DICOMNET_TLS12_CIPHERS) != 1) {
        // The profile's TLS 1.2 suites include ones without forward secrecy
        // (AES128-GCM-SHA256, AES128-SHA) and CBC with SHA-1
        // (ECDHE-RSA-AES128-SHA): only ECDHE with an AEAD cipher stays.
        // TLS 1.3's suites (set apart by OpenSSL) are all such.
        result = tls_failed(error, errorSize, "TLS 1.2 cipher suites", EC_IllegalCall);
    } else if ((cond = layer->setPrivateKeyFile(settings->privateKey, DCF_Filetype_PEM)).bad()) {
        result =
            tls_failed(error, errorSize, std::string("private key ") + settings->privateKey, cond);
    } else if ((cond = layer->setCertificateFile(settings->certificate, DCF_Filetype_PEM)).bad()) {
        result =
            tls_failed(error, errorSize, std::string("certificate ") + settings->certificate, cond);
    } else if (!layer->checkPrivateKeyMatchesCertificate()) {
        result = tls_failed(error, errorSize,
                            std::string("private key ") + settings->privateKey +
                                " does not match certificate " + settings->certificate,
                            EC_IllegalParameter);
    }
    for (int i = 0; result == 0 && i < settings->trustedFileCount; i++) {
        cond = layer->addTrustedCertificateFile(settings->trustedFiles[i], DCF_Filetype_PEM);
        if (cond.bad())
            result =
                tls_failed(error, errorSize,
                           std::string("trusted certificates ") + settings->trustedFiles[i], cond);
    }
    if (result == 0 && settings->trustedDir != nullptr) {
        cond = layer->addTrustedCertificateDir(settings->trustedDir, DCF_Filetype_PEM);
        if (cond.bad())
            result = tls_failed(error, errorSize,
                                std::string("trusted directory ") + settings->trustedDir, cond);
    }
    if (result != 0) {
        delete layer;
        return result;
    }
    // Diffie-Hellman parameters for the DHE suites of the profile.
    layer->setBuiltInDHParameters();
    switch (settings->clientCertificates) {
    case DICOMNET_TLS_CLIENT_REQUIRE:
        layer->setCertificateVerification(DCV_requireCertificate);
        break;
    case DICOMNET_TLS_CLIENT_VERIFY:
        layer->setCertificateVerification(DCV_checkCertificate);
        break;
    default:
        layer->setCertificateVerification(DCV_ignoreCertificate);
        break;
    }
    transport.tlsLayer = layer;
    return 0;
}

void dicomnet_tls_exit(void)
{
    delete transport.tlsLayer;
    transport.tlsLayer = nullptr;
}

int dicomnet_tls_enabled(void)
{
    return transport.tlsLayer != nullptr;
}

void dicomnet_tls_set_peer_policy(dicomnet_tls_peer_fn policy)
{
    transport.tlsPeerPolicy = policy;
}

int dicomnet_tls_peer_wanted(const char *calledAET, const char *peerAddress)
{
    return transport.tlsPeerPolicy != nullptr &&
           transport.tlsPeerPolicy(calledAET, peerAddress) != 0;
}

// The association's connection when it is one of this layer's, else null.
static dicomnet_LayerConnection *layer_connection(T_ASC_Association *assoc)
{
    if (assoc == nullptr || assoc->DULassociation == nullptr)
        return nullptr;
    DcmTransportConnection *conn = DUL_getTransportConnection(assoc->DULassociation);
    return dynamic_cast<dicomnet_LayerConnection *>(conn);
}

int dicomnet_transport_waitReadable(T_ASC_Association *assoc, int ms)
{
    dicomnet_LayerConnection *conn = layer_connection(assoc);
    return conn != nullptr ? conn->waitReadable(ms) : -1;
}

// Whether PDVs of the last PDU read are still to be taken: the toolkit
// keeps them in its association record, where no poll of the connection
// sees them.
static bool pdvsLeft(T_ASC_Association *assoc)
{
    const PRIVATE_ASSOCIATIONKEY *key = (const PRIVATE_ASSOCIATIONKEY *)assoc->DULassociation;
    return key->pdvIndex != -1 && key->pdvIndex + 1 < key->pdvCount;
}

int dicomnet_assoc_waitMessage(T_ASC_Association *assoc, int ms)
{
    dicomnet_LayerConnection *conn = layer_connection(assoc);
    if (conn == nullptr)
        return -1;
    if (pdvsLeft(assoc))
        return 1;
    return conn->waitReadable(ms);
}

int dicomnet_transport_stop_reading(T_ASC_Association *assoc)
{
    dicomnet_LayerConnection *conn = layer_connection(assoc);
    if (conn == nullptr)
        return -1;
    return shutdown(conn->socketOf(), SHUT_RD) == 0 ? 0 : -1;
}

void dicomnet_set_stop_check(int (*stopping)(void))
{
    transport.stopCheck = stopping;
}

int dicomnet_stopping(void)
{
    return transport.stopCheck != nullptr && transport.stopCheck() != 0;
}

int dicomnet_transport_connection_cork(DcmTransportConnection *conn, int on)
{
    dicomnet_LayerConnection *layer = dynamic_cast<dicomnet_LayerConnection *>(conn);
    return layer != nullptr ? layer->cork(on != 0) : -1;
}

int dicomnet_transport_cork(T_ASC_Association *assoc, int on)
{
    dicomnet_LayerConnection *conn = layer_connection(assoc);
    return conn != nullptr ? conn->cork(on != 0) : -1;
}

int dicomnet_transport_secure(T_ASC_Association *assoc)
{
    if (assoc == nullptr || assoc->DULassociation == nullptr)
        return 0;
    return dynamic_cast<DcmTLSConnection *>(DUL_getTransportConnection(assoc->DULassociation)) !=
           nullptr;
}

int dicomnet_peer_address(T_ASC_Association *assoc, char *out, size_t size)
{
    dicomnet_LayerConnection *conn = layer_connection(assoc);
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    char host[NI_MAXHOST];

    if (size == 0)
        return -1;
    out[0] = '\0';
    if (conn != nullptr && !conn->namedPeer.empty()) {
        if (conn->namedPeer.size() >= size)
            return -1;
        strcpy(out, conn->namedPeer.c_str());
        return 0;
    }
    if (conn == nullptr || getpeername(conn->socketOf(), (struct sockaddr *)&ss, &len) != 0 ||
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

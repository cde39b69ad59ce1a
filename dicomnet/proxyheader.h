// The PROXY protocol, version 2: the binary header a load balancer (HAProxy
// with send-proxy-v2) writes on each connection it makes to a node before
// the client's own bytes, naming the client's address. The parser is a pure
// function over bytes; the reader takes one header off a socket with a
// deadline, and reads nothing beyond it (a TLS handshake or a DICOM PDU
// follows, read by whoever takes the socket next).
#ifndef VELTO_DICOMNET_PROXYHEADER_H
#define VELTO_DICOMNET_PROXYHEADER_H

#include <stddef.h>

enum {
    PROXYHEADER_FIXED = 16,     // signature, version/command, family, length
    PROXYHEADER_MAX_BODY = 512, // most address and TLV bytes taken (TLVs skipped)
    PROXYHEADER_ADDRESS_SIZE = 46,
};

// What a parse found.
enum proxyheader_result {
    PROXYHEADER_MORE = 0,  // a correct start: *need bytes are needed in all
    PROXYHEADER_PROXY = 1, // a PROXY command over TCP: the client's address is in out
    PROXYHEADER_LOCAL = 2, // a LOCAL command: the proxy's own connection (a health check)
    PROXYHEADER_BAD = -1,  // not such a header (the reason in *why, static text)
};

struct proxyheader {
    char source[PROXYHEADER_ADDRESS_SIZE]; // the client's numeric address ("" for LOCAL)
    unsigned sourcePort;
    char destination[PROXYHEADER_ADDRESS_SIZE]; // the address the client called
    unsigned destinationPort;
    size_t length; // bytes of the whole header, TLVs included
};

// Parses the len bytes at buf, the start of a connection. PROXYHEADER_MORE
// when they are a correct beginning of a header that needs *need bytes in
// all (more than len); else the header's command, its addresses in *out
// and its size in out->length (bytes beyond it are not looked at), or
// PROXYHEADER_BAD with the reason in *why: another signature, a version
// other than 2, a command other than LOCAL and PROXY, a PROXY command for
// anything but TCP over IPv4 or IPv6, addresses longer than their block,
// or a block longer than PROXYHEADER_MAX_BODY.
proxyheader_result proxyheader_parse(const unsigned char *buf, size_t len, proxyheader *out,
                                     size_t *need, const char **why);

// What reading a header off a socket found.
enum proxyheader_read_result {
    PROXYHEADER_READ_PROXY = 1,      // a PROXY header: the client in *out
    PROXYHEADER_READ_LOCAL = 2,      // a LOCAL header (a health check through the proxy)
    PROXYHEADER_READ_CLOSED = 0,     // closed (or reset) before its first byte: a plain check
    PROXYHEADER_READ_BAD = -1,       // not a header (*why says why)
    PROXYHEADER_READ_TRUNCATED = -2, // closed, failed or out of time inside the header
    PROXYHEADER_READ_SILENT = -3,    // nothing arrived within the time
};

// Reads one header from the connected socket fd, exactly its bytes, within
// ms milliseconds in all (a peer that sends part of one and stops holds the
// caller no longer). Restarts reads cut by signals.
proxyheader_read_result proxyheader_read(int fd, int ms, proxyheader *out, const char **why);

#endif

// The PROXY protocol v2 header (dicomnet/proxyheader.h): its parser over
// bytes and its reader off a socket.
#include "dicomnet/proxyheader.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static const unsigned char signature[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                                            0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};

enum {
    CMD_LOCAL = 0x0,
    CMD_PROXY = 0x1,
    FAM_TCP4 = 0x11, // AF_INET, STREAM
    FAM_TCP6 = 0x21, // AF_INET6, STREAM
    ADDR4 = 12,      // two IPv4 addresses, two ports
    ADDR6 = 36,      // two IPv6 addresses, two ports
};

static void clear(proxyheader *out)
{
    memset(out, 0, sizeof *out);
}

proxyheader_result proxyheader_parse(const unsigned char *buf, size_t len, proxyheader *out,
                                     size_t *need, const char **why)
{
    clear(out);
    *why = "";
    size_t sig = len < sizeof signature ? len : sizeof signature;
    if (memcmp(buf, signature, sig) != 0) {
        *why = "no PROXY protocol v2 signature";
        return PROXYHEADER_BAD;
    }
    if (len > sizeof signature && (buf[12] >> 4) != 2) {
        *why = "PROXY protocol version other than 2";
        return PROXYHEADER_BAD;
    }
    if (len > sizeof signature && (buf[12] & 0x0f) > CMD_PROXY) {
        *why = "PROXY protocol command other than LOCAL and PROXY";
        return PROXYHEADER_BAD;
    }
    if (len < PROXYHEADER_FIXED) {
        *need = PROXYHEADER_FIXED;
        return PROXYHEADER_MORE;
    }
    size_t body = ((size_t)buf[14] << 8) | buf[15];
    if (body > PROXYHEADER_MAX_BODY) {
        *why = "PROXY protocol header longer than taken";
        return PROXYHEADER_BAD;
    }
    int command = buf[12] & 0x0f;
    unsigned char family = buf[13];
    if (command == CMD_PROXY && family != FAM_TCP4 && family != FAM_TCP6) {
        *why = "PROXY protocol command for other than TCP over IPv4 or IPv6";
        return PROXYHEADER_BAD;
    }
    size_t addresses = family == FAM_TCP4 ? ADDR4 : ADDR6;
    if (command == CMD_PROXY && body < addresses) {
        *why = "PROXY protocol addresses longer than their block";
        return PROXYHEADER_BAD;
    }
    if (len < PROXYHEADER_FIXED + body) {
        *need = PROXYHEADER_FIXED + body;
        return PROXYHEADER_MORE;
    }
    out->length = PROXYHEADER_FIXED + body;
    // LOCAL: whatever block it has (none from HAProxy) is skipped.
    if (command == CMD_LOCAL)
        return PROXYHEADER_LOCAL;
    const unsigned char *a = buf + PROXYHEADER_FIXED;
    int af = family == FAM_TCP4 ? AF_INET : AF_INET6;
    size_t one = family == FAM_TCP4 ? 4 : 16;
    // Numeric text of a binary address never fails for these families.
    if (inet_ntop(af, a, out->source, sizeof out->source) == nullptr ||
        inet_ntop(af, a + one, out->destination, sizeof out->destination) == nullptr)
        abort();
    out->sourcePort = ((unsigned)a[2 * one] << 8) | a[2 * one + 1];
    out->destinationPort = ((unsigned)a[2 * one + 2] << 8) | a[2 * one + 3];
    // An IPv4 client mapped into IPv6 reads as IPv4, as the socket's peer does.
    if (af == AF_INET6 && strncmp(out->source, "::ffff:", 7) == 0 &&
        strchr(out->source + 7, ':') == nullptr)
        memmove(out->source, out->source + 7, strlen(out->source + 7) + 1);
    return PROXYHEADER_PROXY;
}

static long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

proxyheader_read_result proxyheader_read(int fd, int ms, proxyheader *out, const char **why)
{
    unsigned char buf[PROXYHEADER_FIXED + PROXYHEADER_MAX_BODY];
    size_t have = 0, need = PROXYHEADER_FIXED;
    long deadline = nowMs() + ms;
    clear(out);
    *why = "";
    for (;;) {
        // Exactly the bytes still missing: what follows the header is not
        // ours to read.
        long left = deadline - nowMs();
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = left > 0 ? poll(&pfd, 1, (int)left) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            *why = have == 0 ? "nothing sent" : "PROXY protocol header not sent whole in time";
            return have == 0 ? PROXYHEADER_READ_SILENT : PROXYHEADER_READ_TRUNCATED;
        }
        ssize_t n = recv(fd, buf + have, need - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (have == 0 && (n == 0 || errno == ECONNRESET))
                return PROXYHEADER_READ_CLOSED;
            *why = "connection closed inside the PROXY protocol header";
            return PROXYHEADER_READ_TRUNCATED;
        }
        have += (size_t)n;
        switch (proxyheader_parse(buf, have, out, &need, why)) {
        case PROXYHEADER_MORE:
            continue;
        case PROXYHEADER_PROXY:
            return PROXYHEADER_READ_PROXY;
        case PROXYHEADER_LOCAL:
            return PROXYHEADER_READ_LOCAL;
        case PROXYHEADER_BAD:
            return PROXYHEADER_READ_BAD;
        }
    }
}

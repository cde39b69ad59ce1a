// UDP multicast transport of the monitor channel: the send and listen
// sockets and the "host pid text\n" framing of every datagram.
#ifndef VELTO_RUNTIME_MULTICAST_H
#define VELTO_RUNTIME_MULTICAST_H

#include <sys/types.h>

// Size of a framed datagram buffer; a frame holds at most 1023 bytes.
#define MULTICAST_MSGSIZE 1024
// Size of the host and domain name buffers.
#define MULTICAST_NAMESIZE 256

// Fills the host name ("VELTO_UNKNOWN" if it cannot be had) and the domain
// name (empty if unset). Returns 0. Call once at start-up.
int multicast_init(void);

// The process-wide name buffers filled by multicast_init (never null).
const char *multicast_get_hostname(void);
const char *multicast_get_domainname(void);

// Returns a UDP socket connected to group:port (caller closes it), or -1.
int multicast_sendsocket(unsigned short port, const char *group);

// Returns a UDP socket with SO_REUSEADDR bound to port on every local
// address, with multicast loop-back on and joined to group (caller closes
// it), or -1. A busy port is retried three times, one second apart.
int multicast_listen_udp(unsigned short port, const char *group);

// Sends "hostname pid text\n", cut to 1023 bytes, as one datagram on the
// connected socket. Returns the result of send, or -1 if sock is -1.
ssize_t multicast_send(int sock, const char *text);

#endif

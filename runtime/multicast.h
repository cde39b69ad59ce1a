// UDP multicast transport of the monitor channel: the send and listen
// sockets and the "host pid text\n" framing of every datagram.
#ifndef VELTO_RUNTIME_MULTICAST_H
#define VELTO_RUNTIME_MULTICAST_H

#include <netinet/in.h>
#include <stdint.h>
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
// address, with multicast loop-back on, joined to group and reporting each
// datagram's destination address (caller closes it), or -1. A busy port is
// retried three times, one second apart.
int multicast_listen_udp(unsigned short port, const char *group);

// Receives one waiting datagram from a socket of multicast_listen_udp
// without blocking. Returns its real length (more than size when it was cut
// to size bytes), or -1 with errno set (EAGAIN: none waiting). *src gets
// its IPv4 source. *from_channel is 1 when the datagram was addressed to
// the group the socket joined and sent from an address of a network this
// host is directly attached to, else 0: anyone who can route a datagram to
// the port can send unicast or forge a far-away source, and such a
// datagram must not be acted on.
ssize_t multicast_receive(int sock, void *buf, size_t size, struct sockaddr_in *src,
                          int *from_channel);

// 1 when addr (network byte order) lies on a network of one of this
// host's IPv4 interfaces (or is the peer of a point-to-point one), else 0.
// The interface list is read again at most every few seconds.
int multicast_on_attached_network(uint32_t addr);

// 1 when addr (network byte order) is an address of one of this host's
// IPv4 interfaces that are up, else 0: a datagram from such a source was
// sent on this host (the kernel drops one that claims a local source from
// outside). Read again as multicast_on_attached_network reads.
int multicast_own_address(uint32_t addr);

// Sends "hostname pid text\n", cut to 1023 bytes, as one datagram on the
// connected socket. Returns the result of send, or -1 if sock is -1.
ssize_t multicast_send(int sock, const char *text);

#endif

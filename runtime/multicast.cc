// UDP multicast transport of the monitor channel.
#include "runtime/multicast.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "runtime/process.h"
#include "runtime/vrstring.h"

// Written once by multicast_init (and the membership by the listen socket's
// creation), read without locking afterwards.
static char multicast_hostname[MULTICAST_NAMESIZE] = "VELTO_UNKNOWN";
static char multicast_domainname[MULTICAST_NAMESIZE] = "";
static struct ip_mreq multicast_membership;

// Number of bind attempts of the listen socket and the pause after each.
static const int kBindAttempts = 3;
static const unsigned kBindPauseSeconds = 1;

int multicast_init(void)
{
    char buf[MULTICAST_NAMESIZE];

    // gethostname does not promise a NUL when the name is cut.
    if (gethostname(buf, sizeof buf) == 0) {
        buf[sizeof buf - 1] = '\0';
        vr_strncpy(multicast_hostname, buf, sizeof multicast_hostname);
    } else {
        vr_strncpy(multicast_hostname, "VELTO_UNKNOWN", sizeof multicast_hostname);
    }

    // Linux reports an unset domain as "(none)".
    if (getdomainname(buf, sizeof buf) == 0 && buf[0] != '(') {
        buf[sizeof buf - 1] = '\0';
        vr_strncpy(multicast_domainname, buf, sizeof multicast_domainname);
    } else {
        multicast_domainname[0] = '\0';
    }
    return 0;
}

const char *multicast_get_hostname(void)
{
    return multicast_hostname;
}

const char *multicast_get_domainname(void)
{
    return multicast_domainname;
}

int multicast_sendsocket(unsigned short port, const char *group)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // An invalid group text would otherwise become the broadcast address.
    if (group == nullptr || inet_aton(group, &addr.sin_addr) == 0)
        return -1;

    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0)
        return -1;
    if (connect(sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int multicast_listen_udp(unsigned short port, const char *group)
{
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0)
        return -1;

    int one = 1;
    struct sockaddr_in addr;
    int bound = 0;
    struct in_addr group_addr;
    unsigned char loop = 1;

    // Several programs on one host listen on the same monitor port.
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        goto fail;

    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    for (int attempt = 0; attempt < kBindAttempts && !bound; attempt++) {
        if (bind(sock, (struct sockaddr *)&addr, sizeof addr) == 0)
            bound = 1;
        else
            sleep(kBindPauseSeconds);
    }
    if (!bound)
        goto fail;

    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        goto fail;
    // The destination address of each datagram tells the group's traffic
    // from unicast sent straight to the port.
    if (setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0)
        goto fail;

    if (group == nullptr || inet_aton(group, &group_addr) == 0)
        goto fail;
    multicast_membership.imr_multiaddr = group_addr;
    multicast_membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &multicast_membership,
                   sizeof multicast_membership) != 0)
        goto fail;
    return sock;

fail:
    close(sock);
    return -1;
}

ssize_t multicast_send(int sock, const char *text)
{
    if (sock == -1)
        return -1;
    char frame[MULTICAST_MSGSIZE];
    int n = snprintf(frame, sizeof frame, "%s %d %s\n", multicast_hostname, process_pid(),
                     text != nullptr ? text : "");
    if (n < 0)
        return -1;
    // A longer frame is cut to the 1023 bytes the buffer held; its newline
    // is cut off with the rest.
    size_t len = (size_t)n < sizeof frame ? (size_t)n : sizeof frame - 1;
    return send(sock, frame, len, 0);
}

// The IPv4 networks of this host's interfaces, as last read.
enum { MAX_NETWORKS = 64, NETWORKS_REFRESH_SECONDS = 5 };
struct attached_network {
    uint32_t addr, mask; // network byte order; mask all ones: a point-to-point peer
};
static attached_network attached[MAX_NETWORKS];
static int attached_count = 0;
static uint32_t own[MAX_NETWORKS]; // the interfaces' own addresses, network byte order
static int own_count = 0;
static time_t attached_read = 0; // monotonic seconds of the last read; 0: never

static void read_attached_networks(void)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        // Keeps the last list; with none read yet nothing is attached.
        return;
    }
    int n = 0, mine = 0;
    for (struct ifaddrs *i = list; i != nullptr && n < MAX_NETWORKS; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0)
            continue;
        uint32_t addr = ((const struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr;
        own[mine++] = addr;
        uint32_t mask = i->ifa_netmask != nullptr
                            ? ((const struct sockaddr_in *)i->ifa_netmask)->sin_addr.s_addr
                            : 0xffffffffu;
        attached[n].addr = addr & mask;
        attached[n].mask = mask;
        n++;
        if ((i->ifa_flags & IFF_POINTOPOINT) != 0 && i->ifa_dstaddr != nullptr &&
            i->ifa_dstaddr->sa_family == AF_INET && n < MAX_NETWORKS) {
            attached[n].addr = ((const struct sockaddr_in *)i->ifa_dstaddr)->sin_addr.s_addr;
            attached[n].mask = 0xffffffffu;
            n++;
        }
    }
    freeifaddrs(list);
    attached_count = n;
    own_count = mine;
}

// Reads the interfaces again when the last read is a few seconds old.
static void refresh_networks(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (attached_read == 0 || now.tv_sec - attached_read >= NETWORKS_REFRESH_SECONDS) {
        read_attached_networks();
        attached_read = now.tv_sec > 0 ? now.tv_sec : 1;
    }
}

int multicast_on_attached_network(uint32_t addr)
{
    refresh_networks();
    for (int i = 0; i < attached_count; i++)
        if ((addr & attached[i].mask) == attached[i].addr)
            return 1;
    return 0;
}

int multicast_own_address(uint32_t addr)
{
    refresh_networks();
    for (int i = 0; i < own_count; i++)
        if (own[i] == addr)
            return 1;
    return 0;
}

ssize_t multicast_receive(int sock, void *buf, size_t size, struct sockaddr_in *src,
                          int *from_channel)
{
    *from_channel = 0;
    memset(src, 0, sizeof *src);
    struct iovec iov = {buf, size};
    union {
        struct cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(struct in_pktinfo))];
    } control;
    struct msghdr msg = {};
    msg.msg_name = src;
    msg.msg_namelen = sizeof *src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    // MSG_TRUNC: the result is the datagram's real length, so a cut one is
    // recognised by the caller.
    ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0)
        return -1;
    if (msg.msg_namelen < sizeof *src || src->sin_family != AF_INET)
        return n;
    int to_group = 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO)
            continue;
        struct in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        // ipi_addr is the destination address of the IP header.
        to_group = multicast_membership.imr_multiaddr.s_addr != 0 &&
                   info.ipi_addr.s_addr == multicast_membership.imr_multiaddr.s_addr;
    }
    if (to_group && multicast_on_attached_network(src->sin_addr.s_addr))
        *from_channel = 1;
    return n;
}

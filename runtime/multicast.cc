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

#include <mutex>

#include "runtime/process.h"
#include "runtime/vrstring.h"

// The IPv4 networks of this host's interfaces, as last read.
enum { MAX_NETWORKS = 64, NETWORKS_REFRESH_SECONDS = 5 };
struct attached_network {
    uint32_t addr, mask; // network byte order; mask all ones: a point-to-point peer
};

// The process's multicast state.
struct multicast_state {
    // Written once by multicast_init (and the membership by the listen
    // socket's creation), read without locking afterwards.
    char hostname[MULTICAST_NAMESIZE] = "VELTO_UNKNOWN";
    char domainname[MULTICAST_NAMESIZE] = "";
    struct ip_mreq membership = {};

    // The interfaces as last read. networksLock guards them: they are read
    // again while a check runs, and any thread may check a source.
    std::mutex networksLock;
    attached_network attached[MAX_NETWORKS] = {};
    int attached_count = 0;
    uint32_t own[MAX_NETWORKS] = {}; // the interfaces' own addresses, network byte order
    int own_count = 0;
    time_t attached_read = 0; // monotonic seconds of the last read; 0: never
};
static multicast_state mc;

// Number of bind attempts of the listen socket and the pause after each.
static const int kBindAttempts = 3;
static const unsigned kBindPauseSeconds = 1;

int multicast_init(void)
{
    char buf[MULTICAST_NAMESIZE];

    // gethostname does not promise a NUL when the name is cut.
    if (gethostname(buf, sizeof buf) == 0) {
        buf[sizeof buf - 1] = '\0';
        vr_strncpy(mc.hostname, buf, sizeof mc.hostname);
    } else {
        vr_strncpy(mc.hostname, "VELTO_UNKNOWN", sizeof mc.hostname);
    }

    // Linux reports an unset domain as "(none)".
    if (getdomainname(buf, sizeof buf) == 0 && buf[0] != '(') {
        buf[sizeof buf - 1] = '\0';
        vr_strncpy(mc.domainname, buf, sizeof mc.domainname);
    } else {
        mc.domainname[0] = '\0';
    }
    return 0;
}

const char *multicast_get_hostname(void)
{
    return mc.hostname;
}

const char *multicast_get_domainname(void)
{
    return mc.domainname;
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
    mc.membership.imr_multiaddr = group_addr;
    mc.membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mc.membership, sizeof mc.membership) != 0)
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
    int n = snprintf(frame, sizeof frame, "%s %d %s\n", mc.hostname, process_pid(),
                     text != nullptr ? text : "");
    if (n < 0)
        return -1;
    // A longer frame is cut to the 1023 bytes the buffer held; its newline
    // is cut off with the rest.
    size_t len = (size_t)n < sizeof frame ? (size_t)n : sizeof frame - 1;
    return send(sock, frame, len, 0);
}

// Caller holds mc.networksLock.
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
        mc.own[mine++] = addr;
        uint32_t mask = i->ifa_netmask != nullptr
                            ? ((const struct sockaddr_in *)i->ifa_netmask)->sin_addr.s_addr
                            : 0xffffffffu;
        mc.attached[n].addr = addr & mask;
        mc.attached[n].mask = mask;
        n++;
        if ((i->ifa_flags & IFF_POINTOPOINT) != 0 && i->ifa_dstaddr != nullptr &&
            i->ifa_dstaddr->sa_family == AF_INET && n < MAX_NETWORKS) {
            mc.attached[n].addr = ((const struct sockaddr_in *)i->ifa_dstaddr)->sin_addr.s_addr;
            mc.attached[n].mask = 0xffffffffu;
            n++;
        }
    }
    freeifaddrs(list);
    mc.attached_count = n;
    mc.own_count = mine;
}

// Reads the interfaces again when the last read is a few seconds old.
// Caller holds mc.networksLock.
static void refresh_networks(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (mc.attached_read == 0 || now.tv_sec - mc.attached_read >= NETWORKS_REFRESH_SECONDS) {
        read_attached_networks();
        mc.attached_read = now.tv_sec > 0 ? now.tv_sec : 1;
    }
}

int multicast_on_attached_network(uint32_t addr)
{
    std::lock_guard<std::mutex> l(mc.networksLock);
    refresh_networks();
    for (int i = 0; i < mc.attached_count; i++)
        if ((addr & mc.attached[i].mask) == mc.attached[i].addr)
            return 1;
    return 0;
}

int multicast_own_address(uint32_t addr)
{
    std::lock_guard<std::mutex> l(mc.networksLock);
    refresh_networks();
    for (int i = 0; i < mc.own_count; i++)
        if (mc.own[i] == addr)
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
        to_group = mc.membership.imr_multiaddr.s_addr != 0 &&
                   info.ipi_addr.s_addr == mc.membership.imr_multiaddr.s_addr;
    }
    if (to_group && multicast_on_attached_network(src->sin_addr.s_addr))
        *from_channel = 1;
    return n;
}

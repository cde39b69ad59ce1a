// UDP multicast transport of the monitor channel.
#include "runtime/multicast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
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

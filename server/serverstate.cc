// The server's monitor endpoint: status announcements on the monitor
// channel and the reading of the channel (see server/monitorinput.cc for
// what a datagram may change).
#include "server/serverstate.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/multicast.h"
#include "server/monitorinput.h"
#include "server/serveroptions.h"

const char *const serverstate_message[SS_COUNT] = {"IDLE",  "BUSY", "DISK", "ECHO",
                                                   "STORE", "FIND", "MOVE"};

// Datagrams read in one checklisten call at most: a flood on the channel
// must not keep the listener from accepting associations.
enum { MAX_DATAGRAMS_PER_CHECK = 1000 };

serverstate::serverstate() : sendsock(-1), listensock(-1) {}

void serverstate::init()
{
    multicast_init();
    check_connect();
}

void serverstate::check_connect()
{
    unsigned short port = (unsigned short)server_options.monitor_port;
    if (sendsock == -1)
        sendsock = multicast_sendsocket(port, server_options.mcast_group);
    if (listensock == -1)
        listensock = multicast_listen_udp(port, server_options.mcast_group);
}

void serverstate::change(serverstate_currop op, int count)
{
    if (op < 0 || op >= SS_COUNT)
        abort();
    char inner[256];
    snprintf(inner, sizeof(inner), "%s %d", serverstate_message[op], count);
    change_verbose(inner);
}

void serverstate::change_verbose(const char *text)
{
    if (sendsock == -1)
        return;
    char msg[MULTICAST_MSGSIZE];
    snprintf(msg, sizeof(msg), SERVERSTATE_KEYWORD " %s", text);
    multicast_send(sendsock, msg);
}

void serverstate::checklisten()
{
    if (listensock == -1) {
        check_connect();
        if (listensock == -1)
            return;
    }
    monitorinput_context ctx;
    ctx.map = &server_aetmap;
    ctx.map_fd = server_options.aetmap_fd;
    ctx.logfp = server_options.logfp;
    ctx.own_pid = (long)getpid();
    ctx.own_host = multicast_get_hostname();
    ctx.learn = server_options.learn_flags >= 0;
    ctx.learn_flags = server_options.learn_flags >= 0 ? server_options.learn_flags : 0;
    ctx.own_aet = server_options.aetitle;
    ctx.policy = &server_access;

    for (int i = 0; i < MAX_DATAGRAMS_PER_CHECK; i++) {
        // One byte more than a frame may hold, so that an over-long
        // datagram is seen as such and skipped rather than cut.
        char buf[MONITORINPUT_MAX_FRAME + 2];
        struct sockaddr_in src;
        int from_channel = 0;
        ssize_t n = multicast_receive(listensock, buf, sizeof(buf), &src, &from_channel);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Unicast sent straight to the port, and datagrams from beyond the
        // networks this host is attached to, are not the channel's.
        if (!from_channel)
            continue;
        // n is the datagram's real length, which may exceed the buffer;
        // such a datagram is too long to be a frame.
        if ((size_t)n > sizeof(buf))
            n = sizeof(buf);
        monitorinput_handle(&ctx, buf, (size_t)n, (struct sockaddr *)&src, sizeof(src));
    }
}

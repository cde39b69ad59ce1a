// The monitor channel's listener of storeweb: one thread, a bounded ring of
// recent datagrams under a mutex, and the counting of storeserver's
// announcements.
#include "web/monitorfeed.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "web/metrics.h"
#include "web/webserver.h"

// The process's listener: the socket and the thread are started and
// stopped by the main thread; the ring is shared with the request threads.
static struct {
    int listenSock = -1;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::mutex ringLock; // guards ring
    std::deque<monitorfeed_entry> ring;
} feed;

void monitorfeed_count(const char *frame, const char *ownHost, long ownPid, bool fromThisHost)
{
    metrics_add(METRICS_MONITOR_DATAGRAMS);
    // The counts are the archive's, which runs on this host beside the
    // store storeweb reads: anyone on the network can send a datagram
    // saying "STORAGE FULL".
    if (!fromThisHost)
        return;
    // "host pid word word ...": the words after the frame.
    char host[MULTICAST_NAMESIZE] = "";
    long pid = 0;
    int used = 0;
    if (sscanf(frame, "%255s %ld %n", host, &pid, &used) < 2 || used == 0)
        return;
    if (pid == ownPid && strcmp(host, ownHost) == 0)
        return;
    const char *text = frame + used;
    size_t k = strlen(MONITORMSG_KEYWORD);
    if (strncmp(text, MONITORMSG_KEYWORD, k) != 0 || text[k] != ' ')
        return;
    text += k + 1;
    // The command loop announces each operation as "WORD 1" when it starts
    // and "WORD 0" when it ends: the starts are counted.
    if (strncmp(text, MONITORMSG_STOREUID " ", strlen(MONITORMSG_STOREUID) + 1) == 0)
        metrics_add(METRICS_MONITOR_STORED);
    else if (strcmp(text, "FIND 1") == 0)
        metrics_add(METRICS_MONITOR_QUERIES);
    else if (strcmp(text, "MOVE 1") == 0)
        metrics_add(METRICS_MONITOR_RETRIEVES);
    else if (strncmp(text, "FULL ", 5) == 0)
        metrics_add(METRICS_MONITOR_FULL);
    else if (strncmp(text, MONITORMSG_DAMAGED " ", strlen(MONITORMSG_DAMAGED) + 1) == 0)
        metrics_add(METRICS_MONITOR_DAMAGED);
    else if (strncmp(text, "FORWARD SENT ", 13) == 0) {
        // "FORWARD SENT DELIVERED FAILED DESTINATION": the title last, as
        // it may hold blanks.
        unsigned long delivered = 0, failed = 0;
        int at = 0;
        if (sscanf(text + 13, "%lu %lu %n", &delivered, &failed, &at) == 2 && at > 0 &&
            text[13 + at] != '\0' && strlen(text + 13 + at) <= 64)
            metrics_noteForwarded(text + 13 + at, delivered, failed);
    } else if (strncmp(text, "TIME ", 5) == 0) {
        // "TIME OPERATION MICROSECONDS" after each timed operation.
        char op[16] = "";
        unsigned long long us = 0;
        const char *label;
        if (sscanf(text + 5, "%15s %llu", op, &us) == 2 &&
            (label = metrics_dimseLabel(op)) != nullptr)
            metrics_observe(METRICS_DIMSE_DURATION, label, (double)us / 1e6);
    }
}

static void readChannel()
{
    const char *ownHost = multicast_get_hostname();
    long ownPid = (long)getpid();
    while (!feed.stopping.load()) {
        // A short poll, so that monitorfeed_stop is seen soon.
        struct pollfd p = {feed.listenSock, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[MULTICAST_MSGSIZE];
        struct sockaddr_in src;
        int fromChannel = 0;
        ssize_t n = multicast_receive(feed.listenSock, buf, sizeof buf - 1, &src, &fromChannel);
        // Unicast to the port, or from beyond the attached networks, is no
        // archive's announcement; a cut datagram is no whole one.
        if (n <= 0 || (size_t)n > sizeof buf - 1 || !fromChannel)
            continue;
        buf[n] = '\0';
        size_t len = strcspn(buf, "\r\n");
        buf[len] = '\0';
        monitorfeed_count(buf, ownHost, ownPid, multicast_own_address(src.sin_addr.s_addr) != 0);
        char addr[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &src.sin_addr, addr, sizeof addr);
        monitorfeed_entry e{time(nullptr), addr, std::string(buf, len)};
        std::lock_guard<std::mutex> hold(feed.ringLock);
        feed.ring.push_back(std::move(e));
        if (feed.ring.size() > MONITORFEED_KEEP)
            feed.ring.pop_front();
    }
}

int monitorfeed_start(unsigned short port, const char *group)
{
    feed.listenSock = multicast_listen_udp(port, group);
    if (feed.listenSock < 0) {
        logprintf(LOGLEVEL_ERROR, web_options.logfp,
                  "Cannot join the monitor channel %s port %u: no announcements on /status\n",
                  group, (unsigned)port);
        return -1;
    }
    feed.stopping = false;
    feed.reader = std::thread(readChannel);
    return 0;
}

void monitorfeed_stop()
{
    feed.stopping = true;
    if (feed.reader.joinable())
        feed.reader.join();
    if (feed.listenSock >= 0)
        close(feed.listenSock);
    feed.listenSock = -1;
}

std::vector<monitorfeed_entry> monitorfeed_recent()
{
    std::lock_guard<std::mutex> hold(feed.ringLock);
    return std::vector<monitorfeed_entry>(feed.ring.begin(), feed.ring.end());
}

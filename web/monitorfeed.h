// storeweb on the monitor channel as a listener: a thread reads every
// datagram, keeps the most recent ones for the status page and counts
// storeserver's announcements for /metrics.
#ifndef VELTO_WEB_MONITORFEED_H
#define VELTO_WEB_MONITORFEED_H

#include <time.h>

#include <string>
#include <vector>

// Datagrams kept for the status page.
enum { MONITORFEED_KEEP = 100 };

// One datagram as received: when, from which address, its text (the
// sender's "host pid text" frame, as it came, without its newline).
struct monitorfeed_entry {
    time_t when;
    std::string from;
    std::string text;
};

// Joins the channel (port, group) and starts the reading thread: 0, or -1
// after a log when the channel cannot be joined (the daemon serves on
// without it).
int monitorfeed_start(unsigned short port, const char *group);
// Ends the thread (waiting for it) and closes the socket.
void monitorfeed_stop();
// The kept datagrams, oldest first.
std::vector<monitorfeed_entry> monitorfeed_recent();

// Counts one datagram's text (the frame "host pid text") into the metrics;
// ownHost/ownPid: this process, whose own announcements come back through
// the loop-back and are counted where they are made instead. fromThisHost:
// the datagram's source is one of this host's addresses; others are
// counted as datagrams only, never as the archive's events. Used by the
// thread; public for the unit test.
void monitorfeed_count(const char *frame, const char *ownHost, long ownPid, bool fromThisHost);

#endif

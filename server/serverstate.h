// The server's monitor endpoint: its status words and announcements on the
// monitor channel, and the reading of the channel's messages (peers learnt
// through DISCOVER_AET and CONFIG ADD_AET).
#ifndef VELTO_SERVER_SERVERSTATE_H
#define VELTO_SERVER_SERVERSTATE_H

#include "runtime/monitormsg.h"

// The server's activities; each value indexes serverstate_message.
enum serverstate_currop {
    SS_IDLE = 0,  // count always 1
    SS_BUSY = 1,  // count: workers forked and not yet reaped
    SS_DISK = 2,  // count: free disk space in percent
    SS_ECHO = 3,  // 1 when a C-ECHO starts, 0 when it ends
    SS_STORE = 4, // 1 when a C-STORE starts, 0 when it ends
    SS_FIND = 5,  // 1 when a C-FIND starts, 0 when it ends
    SS_MOVE = 6,  // 1 when a C-MOVE starts, 0 when it ends
    SS_COUNT = 7
};

// Status words, indexed by serverstate_currop.
extern const char *const serverstate_message[SS_COUNT];

// Channel keyword of everything the server announces.
#define SERVERSTATE_KEYWORD MONITORMSG_KEYWORD

// One per process (server_state); a worker inherits both sockets. The
// sockets are never closed by the server.
class serverstate
{
public:
    int sendsock;   // connected to group:monitor_port, or -1
    int listensock; // bound to monitor_port and joined to the group, or -1

    // Both sockets -1.
    serverstate();
    // multicast_init, then check_connect.
    void init();
    // Opens whichever socket is -1 with server_options' port and group; a
    // socket that cannot be opened stays -1.
    void check_connect();
    // Sends "STORAGE <word> <count>" if the send socket is open; nothing is
    // reported otherwise.
    void change(serverstate_currop op, int count);
    // Sends "STORAGE <text>" if the send socket is open.
    void change_verbose(const char *text);
    // Reads and handles every datagram waiting on the listen socket (opening
    // the sockets first if it is not open); returns when none is left.
    void checklisten();
};

#endif

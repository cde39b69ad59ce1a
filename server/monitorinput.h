// Handling of one datagram read from the monitor channel: the requests that
// add peers to the AE title map ("CONFIG ADD_AET" and "STORAGE
// DISCOVER_AET"). Everything else that arrives on the channel, including
// every datagram that is not a well-formed frame, is skipped.
#ifndef VELTO_SERVER_MONITORINPUT_H
#define VELTO_SERVER_MONITORINPUT_H

#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "access/accesspolicy.h"
#include "aetitlemap/aetitlemap.h"

// Longest datagram that is a frame of the channel (the sender's buffer
// holds 1024 bytes with its terminator); longer ones are skipped.
enum { MONITORINPUT_MAX_FRAME = 1023 };
// Longest AE title (DICOM AE value).
enum { MONITORINPUT_MAX_AET = 16 };
// The map stops learning peers from the channel at this many entries, so
// that a flood of forged senders cannot grow it and its file without bound.
enum { MONITORINPUT_MAX_ENTRIES = 1024 };

// Name of the map entry that holds the server's own AE title; never learnt.
#define MONITORINPUT_LOCAL_NAME "Local"

// What a datagram is handled with. Pointers are borrowed.
struct monitorinput_context {
    AETitleMap *map;            // the map that learns peers
    int map_fd;                 // the map file, rewritten after each addition; -1: not saved
    FILE *logfp;                // log stream (null: nothing logged)
    long own_pid;               // this process's id: its own echoes are skipped
    const char *own_host;       // this host's name (multicast_get_hostname)
    int learn;                  // 0: no datagram changes the map
    int learn_flags;            // flags of a discovered peer; CONFIG ADD_AET gets at most these
    const char *own_aet;        // the server's own AE title (null: none); never learnt
    const AccessPolicy *policy; // titles its rules name are never learnt (null: none)
};

// Results of monitorinput_handle.
enum {
    MONITORINPUT_IGNORED = 0,    // nothing changed
    MONITORINPUT_ADDED = 1,      // CONFIG ADD_AET added an entry
    MONITORINPUT_DISCOVERED = 2, // STORAGE DISCOVER_AET added an entry
};

// Handles the len bytes of one datagram (need not be terminated) received
// from src (srclen bytes; null or not IPv4: only ever skipped). A frame is
// "host pid KEYWORD args...", printable ASCII separated by single blanks,
// optionally ending in one newline; a datagram with any other byte is
// skipped whole. Adds the peer it announces if learning is on and neither
// its AE title nor its name (the sending host) is in the map yet, marked
// with the remark AETITLEMAP_REMARK_LEARNT, saves the map through map_fd and
// logs the addition at level 32. An entry already in the map is never
// changed. Never learnt, as title or as name (case-insensitively): "Local"
// (the name of the server's own entry), the server's own AE title, the
// special titles VeltoDeleteAET, VeltoPreserve and VeltoOverwrite, and any
// title that a rule of the access policy names.
int monitorinput_handle(const monitorinput_context *ctx, const char *data, size_t len,
                        const struct sockaddr *src, socklen_t srclen);

#endif

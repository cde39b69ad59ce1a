// storeweb's HL7 listener: ADT messages over MLLP on a port of their own
// (off unless the site file "HL7Listener" names one), each read, acted on
// by the caller's function and acknowledged, on one thread of its own.
//
// The site file, along the configuration search path:
//   port 2575            the port (required: the file without it is an error)
//   bind 127.0.0.1       the address listened on (default 127.0.0.1)
//   allow 10.0.0.0/24    senders allowed, by address or network (may repeat;
//                        default: the loopback addresses only)
//   max-message 1048576  the longest message taken, in bytes
// A connection from an address not allowed is closed unanswered; a
// message is acted on only once it is read whole and found sound, and
// every message gets an ACK (AA, or AE/AR with the reason).
#ifndef VELTO_WEB_HL7LISTENER_H
#define VELTO_WEB_HL7LISTENER_H

#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "hl7/hl7adt.h"

#define HL7LISTENER_FILENAME "HL7Listener"

struct hl7listener_settings {
    int port = 0; // 0: off
    std::string bind = "127.0.0.1";
    struct network {
        int family;             // AF_INET or AF_INET6
        unsigned char addr[16]; // IPv4 in the first 4 bytes
        int prefix;             // leading bits that must match
    };
    std::vector<network> allow; // empty: loopback only
    size_t maxMessage = 1 << 20;
    int maxConnections = 16;
    int idleSeconds = 300; // a connection silent this long is closed
};

// Reads the site file along the configuration search path (path null) or
// path: 1 read (settings filled), 0 no such file (off), -1 an error
// (*error says which line and why).
int hl7listener_load(const char *path, hl7listener_settings *settings, std::string *error);

// What the caller does with one sound ADT event, on the listener's thread:
// 0 done (the ACK is AA), -1 refused with *why (nothing changed). peer: the
// sender's address and MSH-3, escaped, for logs and records.
using hl7listener_apply =
    std::function<int(const hl7_adt &adt, const std::string &peer, hl7_refusal *why)>;

struct hl7listener;

// Opens the port and starts the thread: the listener, or null (logged, with
// *error) when the port cannot be opened.
hl7listener *hl7listener_start(const hl7listener_settings &settings, hl7listener_apply apply,
                               FILE *log, std::string *error);
// Ends the thread and closes every connection; null is allowed.
void hl7listener_stop(hl7listener *listener);

// storeweb's action on an ADT event (web/hl7changes.cc), an
// hl7listener_apply: the archive's change, made with the archive held
// alone (archive_exclusive on web_archive).
int web_applyAdt(const hl7_adt &adt, const std::string &peer, hl7_refusal *why);

#endif

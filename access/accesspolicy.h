// The site's access policy: which calling AE titles, from which network
// addresses, may use which DICOM services, read from the file
// "AccessPolicy" found along the configuration search path. Without that
// file the policy is off and every peer may do everything.
#ifndef VELTO_ACCESS_ACCESSPOLICY_H
#define VELTO_ACCESS_ACCESSPOLICY_H

#include <stdio.h>

#include "aetitlemap/aetitlemap.h"

// Name of the policy file along the configuration search path.
#define ACCESSPOLICY_FILENAME "AccessPolicy"

// The operations a rule grants, one bit each.
enum {
    ACCESS_ECHO = 0x01,   // C-ECHO
    ACCESS_STORE = 0x02,  // C-STORE
    ACCESS_FIND = 0x04,   // C-FIND
    ACCESS_MOVE = 0x08,   // C-MOVE to a destination
    ACCESS_GET = 0x10,    // C-GET
    ACCESS_DELETE = 0x20, // C-MOVE to the deleting destination
    ACCESS_COMMIT = 0x40, // storage commitment
    // Modality worklist: C-FIND on its model, and its entries on the web.
    ACCESS_WORKLIST = 0x80,
    // Changing stored images (modify, merge, split: core/change.h), from
    // the web. A bit beyond the first byte: "all" (and a policy that is
    // off) grants it too, as it grants delete.
    ACCESS_MODIFY = 0x100,
    ACCESS_ALL = 0x1FF,
};

// Where a rule's peer must call from.
enum accessFrom {
    ACCESS_FROM_ANY = 0, // any address ("any")
    ACCESS_FROM_MAP = 1, // the host of the calling title's AE title map entry ("map")
    ACCESS_FROM_NET = 2, // an address or network ("10.0.0.7", "10.0.0.0/24", "::1")
    ACCESS_FROM_HOST = 3 // the addresses a host name resolves to
};

// One line of the policy file. Strings are heap copies owned by the rule.
struct AccessRule {
    AccessRule *next;
    char *aetitle;         // calling AE title, or "*" for every title
    accessFrom from;       // kind of address test
    char *host;            // ACCESS_FROM_HOST: the host name; else null
    unsigned char net[16]; // ACCESS_FROM_NET: the address (IPv4 in the first 4 bytes)
    int family;            // ACCESS_FROM_NET: AF_INET or AF_INET6
    int prefix;            // ACCESS_FROM_NET: leading bits that must match
    unsigned operations;   // ACCESS_* bits granted
    int line;              // line number in the file
};

// Keyword of the line "learnt-destinations yes|no" (longer than any AE
// title, so never read as a rule).
#define ACCESSPOLICY_LEARNT_DESTINATIONS "learnt-destinations"

// The policy: off (active 0, no rules) or on with its rules in file order.
struct AccessPolicy {
    int active;
    AccessRule *rules;
    char path[1024];        // the file read, "" when off
    int learntDestinations; // 1: an M entry learnt from the monitor channel may be a destination
};

// Sets the policy off (frees nothing). Learnt destinations are refused
// until the file says otherwise.
void AccessPolicy_Init(AccessPolicy *policy);

// Frees the rules and sets the policy off.
void AccessPolicy_Destroy(AccessPolicy *policy);

// Reads path, or the file found along the configuration search path when
// path is null, replacing the policy's rules. Returns 0 with the policy on,
// 1 when there is no such file (the policy stays off), -1 when the file
// cannot be read or a line is malformed: the policy is then on with no
// rules, so that it refuses everything, and error (if given) receives a
// one-line description ("line N: ...").
int AccessPolicy_Load(AccessPolicy *policy, const char *path, char *error, size_t errorSize);

// The operations the policy grants to a peer that calls with the title
// callingAET from the numeric address peerAddress ("10.0.0.7", "::1"; an
// IPv4-mapped IPv6 address counts as IPv4): the union over every rule whose
// title and address match. ACCESS_ALL when the policy is off. A "map" rule
// matches when the title's entry in map names a host (by address or by a
// name that resolves to it) equal to peerAddress; an entry learnt from the
// monitor channel (AETitleMap_IsLearnt) never counts, so a datagram cannot
// give a title the rights of the site's "map" rules.
unsigned AccessPolicy_Operations(const AccessPolicy *policy, AETitleMap *map,
                                 const char *callingAET, const char *peerAddress);

// 1 when the policy permits the operation (one ACCESS_* bit) to the peer, 0
// when not; a refusal is logged at LOGLEVEL_WARNING to log (null: not
// logged) with the peer's title escaped.
int AccessPolicy_Check(const AccessPolicy *policy, AETitleMap *map, const char *callingAET,
                       const char *peerAddress, unsigned operation, FILE *log);

// 1 when the policy grants the peer any operation at all, so that its
// association may be accepted; 0 when not (logged as above).
int AccessPolicy_CheckAssociation(const AccessPolicy *policy, AETitleMap *map,
                                  const char *callingAET, const char *peerAddress, FILE *log);

// 1 when the policy lets images be sent to moveDestination: always when it
// is off; when on, only to a title in map that has the move flag (M), and,
// if the entry was learnt from the monitor channel, only with the line
// "learnt-destinations yes". A refusal is logged as above.
int AccessPolicy_CheckDestination(const AccessPolicy *policy, AETitleMap *map,
                                  const char *moveDestination, FILE *log);

// The name of one ACCESS_* bit ("echo", "store", ...), "?" for others.
const char *AccessPolicy_OperationName(unsigned operation);

#endif

// The storeserver's settings record and the process-wide objects that every
// part of the server reads. All of them are defined in server/main.cc, built
// during static initialisation, and inherited by every worker at the fork.
#ifndef VELTO_SERVER_SERVEROPTIONS_H
#define VELTO_SERVER_SERVEROPTIONS_H

#include <stdio.h>

#include "access/accesspolicy.h"
#include "aetitlemap/aetitlemap.h"

struct archive_context;
class serverstate;

// Size of the -E text buffer (at most 63 characters are kept).
enum { SERVEROPTIONS_CHARSET_SIZE = 64 };

// Defaults of the settings.
#define SERVEROPTIONS_DEFAULT_PORT 1104
#define SERVEROPTIONS_DEFAULT_MCAST_GROUP "224.0.0.1"
#define SERVEROPTIONS_DEFAULT_MAX_ASSOCS 100
// The most a received data set may take (inflated), in MiB (-z): each worker
// holds the data set it receives in memory, so this bounds a worker's
// memory, and a peer that claims more is refused at the element that says so.
#define SERVEROPTIONS_DEFAULT_MAX_DATASET_MIB 1024
#define SERVEROPTIONS_DEFAULT_MAX_DATASET (SERVEROPTIONS_DEFAULT_MAX_DATASET_MIB * 1048576ULL)
// AE title used when neither -a nor a map entry named "Local" gives one.
#define SERVEROPTIONS_DEFAULT_AETITLE "VeltoStorage"
// Name of the map entry that holds the server's own AE title.
#define SERVEROPTIONS_LOCAL_ENTRY "Local"

// The server's settings: defaults at static initialisation, then the
// command line (written only by the entry routine, except aetmap_fd).
// Strings point into argv or into the AE title map; they are never freed.
struct serveroptions {
    const char *aetitle;     // own AE title (-a, else map entry "Local", else default)
    int port;                // DICOM TCP port (-p)
    const char *mcast_group; // monitor channel group
    int monitor_port;        // monitor channel UDP port (-m; -p sets it too)
    int max_assocs;          // workers beyond which requests are refused (-M)
    const char *drop_user;   // user to become after the port is open (-u), or null
    const char *drop_group;  // group to become after the port is open (-g), or null
    int file_umask;          // file-creation mask (-U, octal); -1 leaves it alone
    FILE *logfp;             // log stream: stderr, the -l file, or null (logging off)
    const char *logfile;     // -l file name, or null
    const char *pidfile;     // -P file name, or null
    int daemon;              // -d: become a daemon
    int overwrite;           // -o: default store mode replaces stored images
    int symlinks;            // -s: also enter images in the patient link tree
    int debug;               // count of -D options
    int no_unknown_pcs;      // -N: refuse contexts of unknown SOP classes
    int aetmap_fd;           // AE title map file held open for saving, or -1
    char charset[SERVEROPTIONS_CHARSET_SIZE]; // -E: Specific Character Set of C-FIND responses
    int sync_each_image;                      // -S: each image on disk before its response, not
                                              // only all of them before the release is confirmed
    int learn_flags; // -L: flags of peers learnt from the monitor channel; -1: learn none
    unsigned long long max_dataset; // -z: most bytes a received data set may take (inflated)
    unsigned forward_wait;          // -Q: seconds before a failed forward's first retry
};

// The process-wide objects (defined in server/main.cc).
extern serveroptions server_options;   // the settings
extern archive_context server_archive; // the store and its settings (core/archive.h)
extern serverstate server_state;       // the monitor endpoint (server/serverstate.h)
extern AETitleMap server_aetmap;       // the known peers
extern AccessPolicy server_access;     // who may do what (off without a policy file)
extern struct tlsconfig server_tls;    // the TLS port (server/tlsconfig.h)

#endif

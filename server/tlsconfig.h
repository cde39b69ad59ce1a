// The server's DICOM over TLS settings: the file "DicomTLS" along the
// configuration search path names the TLS port, whether the plain port
// stays open, the certificate and key, the trusted certificates and what
// calling peers must show. Loading it sets up TLS in the network layer.
#ifndef VELTO_SERVER_TLSCONFIG_H
#define VELTO_SERVER_TLSCONFIG_H

#include <stddef.h>

struct tlsconfig {
    int port;        // TLS port; 0 when TLS is off
    int plain;       // 1: the plain port (-p) is open as well; 0: TLS only
    char path[1024]; // the file read, "" when none
};

// Reads path (or the file found along the search path when null; the
// file and its reading are dicomnet/tlsfile.h's) and sets
// up TLS for every network opened afterwards. Relative file names in it
// are taken from the file's directory. Returns 0 with TLS on, 1 when there
// is no file (cfg: port 0, plain 1), -1 with a one-line reason in error
// when the file cannot be read, has a bad line, or names files that do not
// make a usable TLS set-up.
int tlsconfig_load(tlsconfig *cfg, const char *path, char *error, size_t errorSize);

#endif

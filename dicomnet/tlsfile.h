// The DICOM over TLS settings file ("DicomTLS" along the configuration
// search path): one "keyword value" setting per line, "#" starts a comment,
// relative file names taken from the file's directory. Read here for the
// server (which sets up TLS with it) and the web server (which serves
// HTTPS with its certificate and key).
#ifndef VELTO_DICOMNET_TLSFILE_H
#define VELTO_DICOMNET_TLSFILE_H

#include <string>
#include <vector>

#include "dicomnet/dicomnet.h"

// Name of the settings file along the configuration search path.
#define TLSFILE_NAME "DicomTLS"

// The settings as read, file names made absolute.
struct tlsfile_settings {
    std::string path;                         // the file read
    int port = 0;                             // "port": the TLS port
    int plain = 1;                            // "plain on|off": the plain port stays open
    std::string certificate, key;             // "certificate", "private-key"
    std::vector<std::string> trusted;         // "trusted-certificates" (may repeat)
    std::string trustedDir;                   // "trusted-directory", or ""
    int clients = DICOMNET_TLS_CLIENT_VERIFY; // "client-certificates"
};

// Reads path (or the file found along the search path when null) into *s.
// Returns 0 read, 1 no file (nothing found along the search path), -1 with
// a one-line reason in *why when the file cannot be read or has a bad line,
// or lacks the port, the certificate or the key. s->path is set whenever a
// file was found.
int tlsfile_read(const char *path, tlsfile_settings *s, std::string *why);

#endif

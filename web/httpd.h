// The HTTP face of storeweb: starting the HTTP library's daemon on the
// configured address (HTTP or HTTPS), checking each request's user against
// the users file, and routing requests to the services.
#ifndef VELTO_WEB_HTTPD_H
#define VELTO_WEB_HTTPD_H

struct MHD_Daemon;

// Loads the users file ("name:crypt(3) hash" lines; "#" comments and empty
// lines are skipped, any other line is logged and skipped): the number of
// valid users, or -1 after a log when the file cannot be read whole. The
// caller treats 0 as fatal too: a users file that lets no one in would
// otherwise mean a daemon that asks no one for a password.
int httpd_loadUsers(const char *path);

// Loads the site's access policy ("AccessPolicy" along the configuration
// search path), which the requests are then checked against: 0 (loaded, or
// no such file: everything allowed), -1 after a log when the file is bad.
int httpd_loadPolicy();

// 1 when the access policy lets images be sent to the AE title dest
// (AccessPolicy_CheckDestination on the map read at start; always with the
// policy off), 0 when not (logged).
int httpd_checkDestination(const char *dest);

// The ACCESS_* operations the access policy grants the request's user from
// its address (all with the policy off), for the links a page shows.
unsigned httpd_operationsOf(const struct webrequest &rq);

// What HTTPS offers (a GnuTLS priority string): TLS 1.2 and 1.3 only, and
// under TLS 1.2 only suites with forward secrecy (ECDHE) and an AEAD cipher
// (AES-GCM, ChaCha20-Poly1305): no RSA key exchange, whose past sessions a
// stolen key opens, and no CBC with SHA-1. TLS 1.3's suites are all such.
#define HTTPD_TLS_PRIORITIES                                                                       \
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA:-CIPHER-ALL:"      \
    "+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD"

// Starts serving on web_options' address and port, with at most
// threads_max connections, per_address_max of them from one client
// address, header_timeout seconds for each request's headers (counted
// from the connection's start or the end of its previous request, however
// slowly the bytes trickle in), min_body_rate bytes per second over each
// body_window seconds of a request's body, and both shortened when few
// connections are left (see the connection watch in web/httpd.cc). Every
// request is first checked by the front door (web/frontdoor.h): framing
// that could be read in two ways is answered 400, a Host that is not this
// server's 421, both closing the connection. The daemon, or null after a
// level-1 log (port taken, bad address, unreadable certificate).
MHD_Daemon *httpd_start();

// Stops the daemon: waits for the requests in progress.
void httpd_stop(MHD_Daemon *d);

#endif

// The HTTP face of storeweb: starting the HTTP library's daemon on the
// configured address (HTTP or HTTPS), checking each request's user against
// the users file, and routing requests to the services.
#ifndef VELTO_WEB_HTTPD_H
#define VELTO_WEB_HTTPD_H

struct MHD_Daemon;

// Loads the users file: the number of users (0: none, every request is let
// in), or -1 after a log when the file exists but cannot be read.
int httpd_loadUsers(const char *path);

// Loads the site's access policy ("AccessPolicy" along the configuration
// search path), which the requests are then checked against: 0 (loaded, or
// no such file: everything allowed), -1 after a log when the file is bad.
int httpd_loadPolicy();

// Starts serving on web_options' address and port. The daemon, or null
// after a level-1 log (port taken, bad address, unreadable certificate).
MHD_Daemon *httpd_start();

// Stops the daemon: waits for the requests in progress.
void httpd_stop(MHD_Daemon *d);

#endif

// The status page (GET /status): the store's free space and contents, what
// the archive's programs announced lately on the monitor channel, the
// forwarding queue, and this daemon's counters.
#ifndef VELTO_WEB_STATUSPAGE_H
#define VELTO_WEB_STATUSPAGE_H

struct webrequest;

int statuspage_serve(const webrequest &rq);

#endif

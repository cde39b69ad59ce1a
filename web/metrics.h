// The counters of storeweb and their answer in the Prometheus text format
// (GET /metrics). Each counter says where it comes from: what this daemon
// did itself (web_*), or what storeserver announced on the monitor channel
// (monitor_*, fed by web/monitorfeed.cc). Counters live in memory and start
// at 0 when storeweb starts; Prometheus' rate() and increase() take such
// resets in their stride.
#ifndef VELTO_WEB_METRICS_H
#define VELTO_WEB_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

struct webrequest;

enum metrics_counter {
    METRICS_WEB_STORED,        // images stored through STOW-RS (pages' uploads too): counted
                               // by metrics_listener as ingest stores them
    METRICS_WEB_SENT,          // images sent: WADO-RS instances, WADO-URI files, ZIP entries
    METRICS_WEB_QUERIES,       // QIDO-RS searches and searches of the study page
    METRICS_WEB_DELETED,       // images deleted from the study page
    METRICS_FAIL_STORE,        // STOW-RS instances refused or failed
    METRICS_FAIL_QUERY,        // searches answered with an error (index unreadable)
    METRICS_FAIL_DELETE,       // images the page's delete could not delete
    METRICS_FAIL_FORBIDDEN,    // requests the access policy refused
    METRICS_FAIL_AUTH,         // requests with wrong credentials (none: not counted)
    METRICS_FAIL_CSRF,         // state-changing requests refused as forged
    METRICS_MONITOR_STORED,    // storeserver's "image stored" announcements
    METRICS_MONITOR_QUERIES,   // storeserver's C-FIND operations (FIND 1)
    METRICS_MONITOR_RETRIEVES, // storeserver's C-MOVE/C-GET operations (MOVE 1)
    METRICS_MONITOR_FULL,      // storeserver's "store nearly full" announcements
    METRICS_MONITOR_DATAGRAMS, // datagrams read from the monitor channel
    METRICS_WEB_DAMAGED,       // images this storeweb found damaged as it read them (not sent)
    METRICS_MONITOR_DAMAGED,   // damaged images announced by storeserver and storeindex scrub
    METRICS_COUNT
};

// Adds n to a counter (any thread).
void metrics_add(metrics_counter c, uint64_t n = 1);
// The counter's value now.
uint64_t metrics_get(metrics_counter c);
// Counts each image that ingest stores (METRICS_WEB_STORED), as a listener
// of the archive (core/listener.h, for archive_addListener): it cannot
// fail an image.
class archive_listener *metrics_listener();

// The forwarding queue's jobs for /metrics and /status: those waiting to
// be sent (or retried) and those failed past their limit.
void metrics_forwardQueue(size_t *pending, size_t *failed);

// The numbers of studies, series and images in the store, from the index
// through the archive core's query. Counting reads every study's series
// index, so the figures are kept for METRICS_COUNTS_SECONDS: 0, or -1
// when the index cannot be read.
enum { METRICS_COUNTS_SECONDS = 10 };
int metrics_storeCounts(long *studies, long *series, long *images);

// Images the forwarder (storeserver) announced sent and failed to one
// destination ("FORWARD SENT" on the monitor channel). A destination not in
// the AE title map is counted as "(other)", so the labels stay as few as
// the map's peers whatever datagrams arrive.
void metrics_noteForwarded(const char *destination, uint64_t delivered, uint64_t failed);

// The request duration histograms.
enum metrics_histogram {
    METRICS_DIMSE_DURATION, // storeserver's operations, label operation=C-STORE|C-FIND|C-MOVE|C-GET
    METRICS_HTTP_DURATION,  // this storeweb's requests, label route=(metrics_routeOf)
    METRICS_HISTOGRAM_COUNT
};
// Notes one request of seconds under label (one of the few fixed values of
// its histogram: anything else is a programming error).
void metrics_observe(metrics_histogram h, const char *label, double seconds);
// The route label of a request (a fixed set of names).
const char *metrics_routeOf(const std::string &method, const std::string &path);
// The label of a DIMSE operation named in an announcement, or null when it
// is not one of those timed.
const char *metrics_dimseLabel(const char *operation);

// Appends the families of metrics_noteForwarded and metrics_observe in the
// text format (part of the /metrics answer).
void metrics_familiesText(std::string *out);

// Answers GET /metrics.
int metrics_serve(const webrequest &rq);

#endif

// storeweb's counters and the /metrics answer (Prometheus text format
// 0.0.4): what the daemon did, what storeserver announced, the store's
// space and contents, and the forwarding queue.
#include "web/metrics.h"

#include <microhttpd.h>
#include <stdlib.h>
#include <time.h>

#include <string.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/forward.h"
#include "core/forwarddb.h"
#include "core/listener.h"
#include "core/maintenance.h"
#include "dicomnet/dicomnet.h"
#include "web/webserver.h"

// The process's metrics: the counters (any thread adds, without a lock) and
// the store's counts, kept for METRICS_COUNTS_SECONDS.
static struct {
    std::atomic<uint64_t> counters[METRICS_COUNT] = {};
    // Guards the counts below. Lock order: cacheLock, then the archive's serialisation
    // (nothing takes them the other way round).
    std::mutex cacheLock;
    time_t countedAt = 0;
    long studies = 0, series = 0, images = 0;
    // Guards forwarded and histograms below (nothing else is taken under it).
    std::mutex familiesLock;
    std::map<std::string, std::pair<uint64_t, uint64_t>> forwarded; // delivered, failed
    std::map<std::string, std::vector<uint64_t>> histograms[METRICS_HISTOGRAM_COUNT];
    std::map<std::string, double> sums[METRICS_HISTOGRAM_COUNT];
} metricsState;

// The histograms' upper bounds, seconds (then +Inf).
static const double bucketBounds[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
enum { BUCKETS = sizeof bucketBounds / sizeof bucketBounds[0] };

// The operations timed.
static const char *const dimseNames[] = {"C-STORE", "C-FIND", "C-MOVE", "C-GET"};

const char *metrics_routeOf(const std::string &method, const std::string &path)
{
    auto under = [&path](const char *root) {
        size_t n = strlen(root);
        return path.compare(0, n, root) == 0 && (path.size() == n || path[n] == '/');
    };
    if (under(WEB_DICOMWEB_ROOT)) {
        if (method == "POST")
            return "dicomweb_store";
        size_t slash = path.rfind('/');
        std::string last = path.substr(slash + 1);
        return last == "studies" || last == "series" || last == "instances" ? "dicomweb_search"
                                                                            : "dicomweb_retrieve";
    }
    if (path == "/" || path == "/index.html")
        return "study_page";
    static const struct {
        const char *root, *route;
    } roots[] = {
        {"/series", "series_rows"},     {"/delete", "delete"},     {"/download", "download"},
        {"/wado", "wado_uri"},          {"/status", "status"},     {"/metrics", "metrics"},
        {"/viewer", "viewer"},          {"/worklist", "worklist"}, {"/forward", "forward"},
        {"/retrieve", "retrieve_page"}, {"/style.css", "style"}};
    for (const auto &r : roots)
        if (under(r.root))
            return r.route;
    return "other";
}

const char *metrics_dimseLabel(const char *operation)
{
    for (const char *n : dimseNames)
        if (strcmp(operation, n) == 0)
            return n;
    return nullptr;
}

void metrics_observe(metrics_histogram h, const char *label, double seconds)
{
    std::lock_guard<std::mutex> hold(metricsState.familiesLock);
    std::vector<uint64_t> &b = metricsState.histograms[h][label];
    if (b.empty())
        b.assign(BUCKETS + 1, 0);
    for (size_t i = 0; i < BUCKETS; i++)
        if (seconds <= bucketBounds[i])
            b[i]++;
    b[BUCKETS]++; // +Inf: the count
    metricsState.sums[h][label] += seconds;
}

void metrics_noteForwarded(const char *destination, uint64_t delivered, uint64_t failed)
{
    AETitleMap map;
    AETitleMap_LoadSite(&map, nullptr);
    bool known = AETitleMap_FindByAET(&map, destination) != nullptr;
    AETitleMap_Destroy(&map);
    std::lock_guard<std::mutex> hold(metricsState.familiesLock);
    auto &c = metricsState.forwarded[known ? destination : "(other)"];
    c.first += delivered;
    c.second += failed;
}

// A label value in the text format: backslash, double quote and line feed
// escaped.
static std::string labelValue(const std::string &v)
{
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void metrics_add(metrics_counter c, uint64_t n)
{
    metricsState.counters[c].fetch_add(n, std::memory_order_relaxed);
}

namespace
{

class storedCounter : public archive_listener
{
public:
    void stored(const archive_event &) override { metrics_add(METRICS_WEB_STORED); }
};

} // namespace

archive_listener *metrics_listener()
{
    // Stateless (the counters are the ones above).
    static storedCounter listener;
    return &listener;
}

uint64_t metrics_get(metrics_counter c)
{
    return metricsState.counters[c].load(std::memory_order_relaxed);
}

void metrics_forwardQueue(size_t *pending, size_t *failed)
{
    // A node of a cluster counts the cluster's queue (core/forwarddb.h).
    if (clusterdb *db = archive_clusterDb(&web_archive))
        forwarddb(db, archive_clusterConfig(&web_archive), web_options.logfp)
            .counts(pending, failed);
    else
        forward_counts(archive_baseDir(&web_archive), pending, failed);
}

int metrics_storeCounts(long *studies, long *series, long *images)
{
    std::lock_guard<std::mutex> cache(metricsState.cacheLock);
    time_t now = time(nullptr);
    int r = 1;
    if (metricsState.countedAt == 0 || now - metricsState.countedAt >= METRICS_COUNTS_SECONDS ||
        now < metricsState.countedAt) {
        DcmDataset q;
        dicomnet_Key_Add(&q, 0x0008, 0x0052, "STUDY");
        q.insertEmptyElement(DcmTag(DCM_StudyInstanceUID));
        q.insertEmptyElement(DcmTag(DCM_NumberOfStudyRelatedSeries));
        q.insertEmptyElement(DcmTag(DCM_NumberOfStudyRelatedInstances));
        long st = 0, se = 0, im = 0;
        {
            web_refreshStudies();
            archive_shared hold(&web_archive);
            archive_query walk(&web_archive, &q);
            DcmDataset *m = nullptr;
            while ((r = walk.next(&m)) == 0) {
                const char *v;
                st++;
                if ((v = dicomnet_getTagString(m, DCM_NumberOfStudyRelatedSeries)) != nullptr)
                    se += atol(v);
                if ((v = dicomnet_getTagString(m, DCM_NumberOfStudyRelatedInstances)) != nullptr)
                    im += atol(v);
                delete m;
                m = nullptr;
            }
            delete m;
        }
        if (r < 0)
            return -1;
        metricsState.studies = st;
        metricsState.series = se;
        metricsState.images = im;
        metricsState.countedAt = now;
    }
    *studies = metricsState.studies;
    *series = metricsState.series;
    *images = metricsState.images;
    return 0;
}

static void family(std::string *out, const char *name, const char *type, const char *help)
{
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

static void sample(std::string *out, const char *name, const char *labels, uint64_t value)
{
    *out += name;
    if (labels != nullptr)
        *out += std::string("{") + labels + "}";
    *out += " " + std::to_string(value) + "\n";
}

static std::string seconds(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.6f", v);
    return text;
}

void metrics_familiesText(std::string *m)
{
    std::lock_guard<std::mutex> hold(metricsState.familiesLock);
    family(m, "velto_images_forwarded_total", "counter",
           "Images the forwarder delivered, per destination (announced by storeserver).");
    for (const auto &f : metricsState.forwarded)
        sample(m, "velto_images_forwarded_total",
               ("destination=\"" + labelValue(f.first) + "\"").c_str(), f.second.first);
    family(m, "velto_forward_failures_total", "counter",
           "Images whose forwarding failed at a try, per destination.");
    for (const auto &f : metricsState.forwarded)
        sample(m, "velto_forward_failures_total",
               ("destination=\"" + labelValue(f.first) + "\"").c_str(), f.second.second);
    static const struct {
        const char *name, *label, *help;
    } hist[METRICS_HISTOGRAM_COUNT] = {
        {"velto_dimse_request_duration_seconds", "operation",
         "Durations of storeserver's DIMSE operations (announced on the monitor channel)."},
        {"velto_http_request_duration_seconds", "route",
         "Durations of this storeweb's requests, from the headers to the answer's end."},
    };
    for (int h = 0; h < METRICS_HISTOGRAM_COUNT; h++) {
        family(m, hist[h].name, "histogram", hist[h].help);
        for (const auto &e : metricsState.histograms[h]) {
            std::string base = std::string(hist[h].label) + "=\"" + labelValue(e.first) + "\"";
            std::string bucket = std::string(hist[h].name) + "_bucket";
            for (size_t i = 0; i < BUCKETS; i++) {
                char le[32];
                snprintf(le, sizeof le, "%g", bucketBounds[i]);
                sample(m, bucket.c_str(), (base + ",le=\"" + le + "\"").c_str(), e.second[i]);
            }
            sample(m, bucket.c_str(), (base + ",le=\"+Inf\"").c_str(), e.second[BUCKETS]);
            *m += std::string(hist[h].name) + "_sum{" + base + "} " +
                  seconds(metricsState.sums[h][e.first]) + "\n";
            sample(m, (std::string(hist[h].name) + "_count").c_str(), base.c_str(),
                   e.second[BUCKETS]);
        }
    }
}

int metrics_serve(const webrequest &rq)
{
    std::string m;
    family(&m, "velto_images_stored_total", "counter",
           "Images stored: source=\"web\" through STOW-RS by this storeweb, "
           "source=\"storeserver\" as announced on the monitor channel.");
    sample(&m, "velto_images_stored_total", "source=\"web\"", metrics_get(METRICS_WEB_STORED));
    sample(&m, "velto_images_stored_total", "source=\"storeserver\"",
           metrics_get(METRICS_MONITOR_STORED));
    family(&m, "velto_images_sent_total", "counter",
           "Images sent by this storeweb (WADO-RS instances, WADO-URI files, ZIP entries).");
    sample(&m, "velto_images_sent_total", nullptr, metrics_get(METRICS_WEB_SENT));
    family(&m, "velto_images_deleted_total", "counter", "Images deleted from the study page.");
    sample(&m, "velto_images_deleted_total", nullptr, metrics_get(METRICS_WEB_DELETED));
    family(&m, "velto_queries_total", "counter",
           "Queries: source=\"web\" QIDO-RS and study page searches of this storeweb, "
           "source=\"storeserver\" C-FIND operations announced on the monitor channel.");
    sample(&m, "velto_queries_total", "source=\"web\"", metrics_get(METRICS_WEB_QUERIES));
    sample(&m, "velto_queries_total", "source=\"storeserver\"",
           metrics_get(METRICS_MONITOR_QUERIES));
    family(&m, "velto_retrieves_total", "counter",
           "C-MOVE and C-GET operations announced by storeserver on the monitor channel.");
    sample(&m, "velto_retrieves_total", nullptr, metrics_get(METRICS_MONITOR_RETRIEVES));
    family(&m, "velto_failures_total", "counter", "Failures and refusals, by kind.");
    static const struct {
        metrics_counter c;
        const char *kind;
    } failures[] = {
        {METRICS_FAIL_STORE, "kind=\"store\""},
        {METRICS_FAIL_QUERY, "kind=\"query\""},
        {METRICS_FAIL_DELETE, "kind=\"delete\""},
        {METRICS_FAIL_FORBIDDEN, "kind=\"forbidden\""},
        {METRICS_FAIL_AUTH, "kind=\"auth\""},
        {METRICS_FAIL_CSRF, "kind=\"csrf\""},
        {METRICS_MONITOR_FULL, "kind=\"storage_full\""},
    };
    for (const auto &f : failures)
        sample(&m, "velto_failures_total", f.kind, metrics_get(f.c));
    family(&m, "velto_images_damaged_total", "counter",
           "Images whose bytes were not those stored, never sent: source=\"web\" found by a "
           "read of this storeweb, source=\"monitor\" announced on the monitor channel "
           "(storeserver's reads, storeindex scrub).");
    sample(&m, "velto_images_damaged_total", "source=\"web\"", metrics_get(METRICS_WEB_DAMAGED));
    sample(&m, "velto_images_damaged_total", "source=\"monitor\"",
           metrics_get(METRICS_MONITOR_DAMAGED));
    family(&m, "velto_monitor_datagrams_total", "counter",
           "Datagrams this storeweb read from the monitor channel.");
    sample(&m, "velto_monitor_datagrams_total", nullptr, metrics_get(METRICS_MONITOR_DATAGRAMS));
    uint64_t total = 0, avail = 0;
    archive_diskSpace(&web_archive, &total, &avail);
    family(&m, "velto_store_free_bytes", "gauge",
           "Bytes free to the archive on the store's file system.");
    sample(&m, "velto_store_free_bytes", nullptr, avail);
    family(&m, "velto_store_size_bytes", "gauge", "Bytes of the store's file system.");
    sample(&m, "velto_store_size_bytes", nullptr, total);
    long st = 0, se = 0, im = 0;
    if (metrics_storeCounts(&st, &se, &im) == 0) {
        family(&m, "velto_studies", "gauge", "Studies in the store.");
        sample(&m, "velto_studies", nullptr, (uint64_t)st);
        family(&m, "velto_series", "gauge", "Series in the store.");
        sample(&m, "velto_series", nullptr, (uint64_t)se);
        family(&m, "velto_images", "gauge", "Images in the store.");
        sample(&m, "velto_images", nullptr, (uint64_t)im);
    }
    storescrub_status scrub;
    if (maintenance_scrubStatus(&web_archive, &scrub) == 0) {
        family(&m, "velto_scrub_running", "gauge", "1 while storeindex scrub runs.");
        sample(&m, "velto_scrub_running", nullptr, scrub.running ? 1 : 0);
        family(&m, "velto_scrub_started_seconds", "gauge",
               "When the last (or running) scrub started, seconds since the epoch.");
        sample(&m, "velto_scrub_started_seconds", nullptr, (uint64_t)scrub.started);
        family(&m, "velto_scrub_copies", "gauge",
               "Copies of images of the last (or running) scrub: to verify, verified, and what "
               "it found.");
        static const struct {
            const char *label;
            uint64_t storescrub_status::*field;
        } copies[] = {
            {"state=\"total\"", &storescrub_status::total},
            {"state=\"checked\"", &storescrub_status::checked},
            {"state=\"damaged\"", &storescrub_status::damaged},
            {"state=\"repaired\"", &storescrub_status::repaired},
            {"state=\"unrepairable\"", &storescrub_status::unrepairable},
            {"state=\"unreadable\"", &storescrub_status::unreadable},
            {"state=\"unverified\"", &storescrub_status::unverified},
        };
        for (const auto &c : copies)
            sample(&m, "velto_scrub_copies", c.label, scrub.*c.field);
        family(&m, "velto_scrub_bytes", "gauge", "Bytes the last (or running) scrub read.");
        sample(&m, "velto_scrub_bytes", nullptr, scrub.bytes);
    }
    size_t pending = 0, failed = 0;
    metrics_forwardQueue(&pending, &failed);
    family(&m, "velto_forward_queue_length", "gauge",
           "Forwarding jobs waiting to be sent or retried.");
    sample(&m, "velto_forward_queue_length", nullptr, (uint64_t)pending);
    family(&m, "velto_forward_failed_jobs", "gauge",
           "Forwarding jobs failed past their limit, waiting for a retry from /forward.");
    sample(&m, "velto_forward_failed_jobs", nullptr, (uint64_t)failed);
    metrics_familiesText(&m);
    return web_reply(rq, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", m);
}

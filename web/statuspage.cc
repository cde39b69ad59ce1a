// The status page: one HTML page built from the archive core (space,
// counts), the monitor channel's recent datagrams (web/monitorfeed.h) and
// the counters (web/metrics.h).
#include "web/statuspage.h"

#include <microhttpd.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "cluster/clusterconfig.h"
#include "core/archive.h"
#include "core/maintenance.h"
#include "web/layout.h"
#include "web/metrics.h"
#include "web/monitorfeed.h"
#include "web/webserver.h"

// Bytes as a person reads them.
static std::string bytes(uint64_t n)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = (double)n;
    size_t u = 0;
    while (v >= 1024 && u + 1 < sizeof units / sizeof units[0]) {
        v /= 1024;
        u++;
    }
    char buf[64];
    snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return buf;
}

static std::string row(const char *id, const char *label, const std::string &value)
{
    return std::string("<tr><th>") + label + "</th><td id=\"" + id + "\">" + value + "</td></tr>\n";
}

// A time as "YYYY-MM-DD HH:MM:SS" (UTC).
static std::string when(time_t t)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

int statuspage_serve(const webrequest &rq)
{
    uint64_t total = 0, avail = 0;
    archive_diskSpace(&web_archive, &total, &avail);
    long studies = 0, series = 0, images = 0;
    bool counted = metrics_storeCounts(&studies, &series, &images) == 0;
    size_t pending = 0, failed = 0;
    metrics_forwardQueue(&pending, &failed);
    std::string page = layout_start(rq, "Archive status", "/status") +
                       "<main>\n<h1>Archive status</h1>\n<h2>Store</h2>\n<table id=\"store\">\n";
    page += row("store-dir", "Directory", web_escapeHtml(archive_baseDir(&web_archive)));
    char share[32] = "";
    if (total > 0)
        snprintf(share, sizeof share, " (%.1f%%)", 100.0 * (double)avail / (double)total);
    page += row("free", "Free", bytes(avail) + share);
    page += row("free-bytes", "Free bytes", std::to_string(avail));
    page += row("size", "Size", bytes(total));
    page += row("studies", "Studies", counted ? std::to_string(studies) : "index unreadable");
    page += row("series", "Series", counted ? std::to_string(series) : "");
    page += row("images", "Images", counted ? std::to_string(images) : "");
    page += "</table>\n<p>Counts are at most " + std::to_string(METRICS_COUNTS_SECONDS) +
            " s old.</p>\n<h2>Scrub</h2>\n<table id=\"scrub\">\n";
    storescrub_status scrub;
    int scrubbed = maintenance_scrubStatus(&web_archive, &scrub);
    if (scrubbed != 0) {
        page += row("scrub-state", "State",
                    scrubbed > 0 ? "never run (storeindex scrub)" : "status unreadable");
    } else {
        page += row("scrub-state", "State", scrub.running ? "running" : "finished");
        page += row("scrub-started", "Started", when(scrub.started));
        if (scrub.running)
            page += row("scrub-progress", "Progress",
                        std::to_string(scrub.checked) + " of " + std::to_string(scrub.total) +
                            " copies, " + bytes(scrub.bytes));
        else
            page += row("scrub-finished", "Finished", when(scrub.finished));
        page += row("scrub-checked", "Copies verified", std::to_string(scrub.checked));
        page += row("scrub-damaged", "Damaged", std::to_string(scrub.damaged));
        page += row("scrub-repaired", "Repaired", std::to_string(scrub.repaired));
        page += row("scrub-unrepairable", "Unrepairable", std::to_string(scrub.unrepairable));
        page += row("scrub-unreadable", "Unreadable", std::to_string(scrub.unreadable));
        page += row("scrub-unverified", "Without a checksum", std::to_string(scrub.unverified));
    }
    page += "</table>\n<h2>Forwarding</h2>\n<table id=\"forwarding\">\n";
    page += row("forward-queue", "Waiting", std::to_string(pending));
    page +=
        row("forward-failed", "Failed", "<a href=\"/forward\">" + std::to_string(failed) + "</a>");
    if (archive_clusterConfig(&web_archive) != nullptr) {
        long backlog = archive_clusterUploadBacklog(&web_archive);
        page += "</table>\n<h2>Cluster</h2>\n<table id=\"cluster\">\n";
        page += row("cluster-node", "Node",
                    web_escapeHtml(archive_clusterConfig(&web_archive)->node.c_str()));
        page += row("upload-backlog", "Waiting for the bucket",
                    backlog >= 0 ? std::to_string(backlog) : "database unreachable");
    }
    page += "</table>\n<h2>This web server since its start</h2>\n<table id=\"counters\">\n";
    page += row("web-stored", "Images stored (STOW-RS)",
                std::to_string(metrics_get(METRICS_WEB_STORED)));
    page += row("web-sent", "Images sent", std::to_string(metrics_get(METRICS_WEB_SENT)));
    page += row("web-queries", "Searches", std::to_string(metrics_get(METRICS_WEB_QUERIES)));
    page += row("web-deleted", "Images deleted", std::to_string(metrics_get(METRICS_WEB_DELETED)));
    page += row("server-stored", "Images stored by storeserver (announced)",
                std::to_string(metrics_get(METRICS_MONITOR_STORED)));
    page += row("web-damaged", "Damaged images found by reads (not sent)",
                std::to_string(metrics_get(METRICS_WEB_DAMAGED)));
    page += row("monitor-damaged", "Damaged images announced",
                std::to_string(metrics_get(METRICS_MONITOR_DAMAGED)));
    page += "</table>\n<h2>Monitor channel</h2>\n<p>The last " + std::to_string(MONITORFEED_KEEP) +
            " announcements heard, newest first.</p>\n<table id=\"monitor\">\n"
            "<tr><th>Time (UTC)</th><th>From</th><th>Announcement</th></tr>\n";
    std::vector<monitorfeed_entry> recent = monitorfeed_recent();
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
        struct tm t;
        gmtime_r(&it->when, &t);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &t);
        page += std::string("<tr class=\"announcement\"><td>") + when + "</td><td>" +
                web_escapeHtml(it->from) + "</td><td><code>" +
                web_escapeHtml(web_escapeForLog(it->text)) + "</code></td></tr>\n";
    }
    page += "</table>\n</main>\n</body></html>\n";
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

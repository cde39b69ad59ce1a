// The study page's actions: the ZIP download of a study or series, the
// delete through the archive core, and the send destinations of the AE
// title map.
#include "web/studyactions.h"

#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/archivetier.h"
#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "web/metrics.h"
#include "web/webaudit.h"
#include "web/webserver.h"
#include "web/webtier.h"

// --- ZIP ---

static void put16(std::string *out, unsigned v)
{
    out->push_back((char)(v & 0xFF));
    out->push_back((char)((v >> 8) & 0xFF));
}

static void put32(std::string *out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

static void put64(std::string *out, uint64_t v)
{
    put32(out, (uint32_t)(v & 0xFFFFFFFFu));
    put32(out, (uint32_t)(v >> 32));
}

// A file's entry as the central directory lists it.
struct zipentry {
    std::string name;
    uint32_t crc;
    uint32_t size;   // stored, so compressed and uncompressed alike
    uint64_t offset; // of its local header
};

// A ZIP being produced: the instances still to add, the file being read,
// and the bytes of a header, descriptor or the directory waiting to go out.
struct zipstream {
    std::vector<webinstance> list;
    size_t next = 0;
    int fd = -1;
    std::unique_ptr<tier_file> held; // keeps a tier copy from eviction while it is read
    zipentry current;
    uint64_t remaining = 0; // bytes of the current file still to send
    std::vector<zipentry> entries;
    uint64_t written = 0; // bytes of the ZIP so far
    std::string pending;
    size_t pendingPos = 0;
    bool finished = false;
    unsigned dosTime = 0, dosDate = 0;
};

// Entries are written with flag 3 (sizes and CRC in a descriptor after the
// data: known only once the file is read) and flag 11 (UTF-8 names).
enum { ZIP_FLAGS = 0x0008 | 0x0800, ZIP_VERSION = 45 };

// Opens the next instance's file and queues its local header: false when
// none is left.
static bool startEntry(zipstream *z)
{
    while (z->next < z->list.size()) {
        const webinstance &i = z->list[z->next++];
        // The UIDs become the entry's name: one an older version stored
        // that is no UID ("..") would name a place outside the download.
        if (archive_uidProblem(i.study.c_str()) != nullptr ||
            archive_uidProblem(i.series.c_str()) != nullptr ||
            archive_uidProblem(i.instance.c_str()) != nullptr) {
            logprintf(LOGLEVEL_WARNING, web_options.logfp,
                      "ZIP: an instance whose UIDs are no UIDs left out\n");
            continue;
        }
        z->held.reset(new tier_file);
        if (archivetier_open(&web_archive, web_instancePath(i).c_str(), z->held.get()) !=
            ARCHIVETIER_READABLE)
            continue;
        int fd = open(z->held->path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0)
            continue; // deleted since the list was made
        // An entry's sizes are 32-bit fields here: a file of 4 GiB or more
        // (no image is) is left out rather than written damaged.
        if (fstat(fd, &st) != 0 || (uint64_t)st.st_size >= 0xFFFFFFFFu) {
            logprintf(LOGLEVEL_WARNING, web_options.logfp, "ZIP: %s left out\n",
                      z->held->path.c_str());
            close(fd);
            continue;
        }
        z->fd = fd;
        z->remaining = (uint64_t)st.st_size;
        z->current = zipentry{i.study + "/" + i.series + "/" + i.instance + ".dcm",
                              (uint32_t)crc32(0L, Z_NULL, 0), (uint32_t)st.st_size, z->written};
        std::string &h = z->pending;
        h.clear();
        put32(&h, 0x04034b50);
        put16(&h, 20);
        put16(&h, ZIP_FLAGS);
        put16(&h, 0); // stored
        put16(&h, z->dosTime);
        put16(&h, z->dosDate);
        put32(&h, 0); // CRC and sizes: in the descriptor
        put32(&h, 0);
        put32(&h, 0);
        put16(&h, (unsigned)z->current.name.size());
        put16(&h, 0);
        h += z->current.name;
        z->pendingPos = 0;
        metrics_add(METRICS_WEB_SENT);
        return true;
    }
    return false;
}

// The current file has been sent: its descriptor.
static void endEntry(zipstream *z)
{
    close(z->fd);
    z->fd = -1;
    z->held.reset();
    std::string &d = z->pending;
    d.clear();
    put32(&d, 0x08074b50);
    put32(&d, z->current.crc);
    put32(&d, z->current.size);
    put32(&d, z->current.size);
    z->pendingPos = 0;
    z->entries.push_back(z->current);
}

// The central directory and its end records (ZIP64 ones when an offset or
// the count does not fit the classic fields).
static void directory(zipstream *z)
{
    std::string &c = z->pending;
    c.clear();
    uint64_t start = z->written;
    for (const zipentry &e : z->entries) {
        bool far = e.offset >= 0xFFFFFFFFu;
        put32(&c, 0x02014b50);
        put16(&c, ZIP_VERSION | (3 << 8)); // made by: Unix
        put16(&c, far ? 45 : 20);
        put16(&c, ZIP_FLAGS);
        put16(&c, 0);
        put16(&c, z->dosTime);
        put16(&c, z->dosDate);
        put32(&c, e.crc);
        put32(&c, e.size);
        put32(&c, e.size);
        put16(&c, (unsigned)e.name.size());
        put16(&c, far ? 12 : 0);
        put16(&c, 0); // comment
        put16(&c, 0); // disk
        put16(&c, 0); // internal attributes
        put32(&c, 0100644u << 16);
        put32(&c, far ? 0xFFFFFFFFu : (uint32_t)e.offset);
        c += e.name;
        if (far) {
            put16(&c, 0x0001);
            put16(&c, 8);
            put64(&c, e.offset);
        }
    }
    uint64_t size = c.size();
    uint64_t n = z->entries.size();
    bool zip64 = n >= 0xFFFF || start >= 0xFFFFFFFFu || size >= 0xFFFFFFFFu;
    if (zip64) {
        uint64_t at = start + size;
        put32(&c, 0x06064b50);
        put64(&c, 44);
        put16(&c, ZIP_VERSION);
        put16(&c, 45);
        put32(&c, 0);
        put32(&c, 0);
        put64(&c, n);
        put64(&c, n);
        put64(&c, size);
        put64(&c, start);
        put32(&c, 0x07064b50);
        put32(&c, 0);
        put64(&c, at);
        put32(&c, 1);
    }
    put32(&c, 0x06054b50);
    put16(&c, 0);
    put16(&c, 0);
    put16(&c, zip64 ? 0xFFFF : (unsigned)n);
    put16(&c, zip64 ? 0xFFFF : (unsigned)n);
    put32(&c, zip64 ? 0xFFFFFFFFu : (uint32_t)size);
    put32(&c, zip64 ? 0xFFFFFFFFu : (uint32_t)start);
    put16(&c, 0);
    z->pendingPos = 0;
}

static ssize_t readZip(void *cls, uint64_t, char *buf, size_t max)
{
    zipstream *z = static_cast<zipstream *>(cls);
    size_t filled = 0;
    while (filled < max) {
        if (z->pendingPos < z->pending.size()) {
            size_t n = std::min(max - filled, z->pending.size() - z->pendingPos);
            memcpy(buf + filled, z->pending.data() + z->pendingPos, n);
            z->pendingPos += n;
            filled += n;
            z->written += n;
            continue;
        }
        if (z->fd >= 0) {
            if (z->remaining == 0) {
                endEntry(z);
                continue;
            }
            size_t want = (size_t)std::min<uint64_t>(max - filled, z->remaining);
            ssize_t n = read(z->fd, buf + filled, want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // The file shrank or cannot be read: the ZIP cannot be
                // finished right, so it ends here, visibly cut short.
                logprintf(LOGLEVEL_ERROR, web_options.logfp, "ZIP: cannot read %s\n",
                          z->held->path.c_str());
                return MHD_CONTENT_READER_END_WITH_ERROR;
            }
            z->current.crc = (uint32_t)crc32(z->current.crc, (const Bytef *)buf + filled, (uInt)n);
            z->remaining -= (uint64_t)n;
            filled += (size_t)n;
            z->written += (uint64_t)n;
            continue;
        }
        if (startEntry(z))
            continue;
        if (!z->finished) {
            z->finished = true;
            directory(z);
            continue;
        }
        break;
    }
    if (filled == 0)
        return MHD_CONTENT_READER_END_OF_STREAM;
    return (ssize_t)filled;
}

static void freeZip(void *cls)
{
    zipstream *z = static_cast<zipstream *>(cls);
    if (z->fd >= 0)
        close(z->fd);
    delete z;
}

// True for one UID the store could hold (no list, no path characters, no
// name of dots): the store's own test.
static bool plainUid(const char *uid)
{
    return uid != nullptr && archive_uidProblem(uid) == nullptr;
}

int studyactions_download(const webrequest &rq)
{
    const char *study = rq.arg("study");
    const char *series = rq.arg("series");
    if (!plainUid(study) || (series != nullptr && !plainUid(series)))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study (and series) must be UIDs");
    std::unique_ptr<zipstream> z(new zipstream);
    if (web_listInstances(study, series, nullptr, &z->list) != 0 || z->list.empty())
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    // Images in the object tier are fetched before the answer starts, so
    // that a tier that is down fails the request instead of leaving files out.
    int ready = webtier_ready(z->list);
    if (ready != 0)
        return web_replyError(rq, ready, webtier_reason(ready));
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    z->dosTime = (unsigned)((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    z->dosDate = (unsigned)(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    MHD_Response *r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 256 * 1024, readZip, z.get(), freeZip);
    if (r == nullptr)
        return MHD_NO;
    // The response owns the stream now: freeZip ends it.
    z.release();
    std::string name = std::string(series != nullptr ? series : study) + ".zip";
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/zip");
    MHD_add_response_header(r, "Content-Disposition",
                            ("attachment; filename=\"" + name + "\"").c_str());
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}

// --- delete ---

// The server's command loop announces a C-MOVE (a delete is a C-MOVE to
// VeltoDeleteAET) by its status word with 1 at the start and 0 at the end;
// the page's delete says the same, so listeners see every delete alike.
#define DELETE_START MONITORMSG_KEYWORD " MOVE 1"
#define DELETE_END MONITORMSG_KEYWORD " MOVE 0"

static void announce(const char *text)
{
    multicast_send(web_monitorSock, text);
}

int studyactions_delete(const webrequest &rq, const std::string &body)
{
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return web_replyError(
            rq, refused,
            refused == MHD_HTTP_BAD_REQUEST
                ? "The body is no flat JSON object"
                : "Expected application/x-www-form-urlencoded or application/json");
    std::string study, series;
    for (const auto &f : fields) {
        if (f.first == "study" && study.empty())
            study = f.second;
        else if (f.first == "series" && series.empty())
            series = f.second;
    }
    if (!plainUid(study.c_str()) || (!series.empty() && !plainUid(series.c_str())))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study (and series) must be UIDs");
    DcmDataset id;
    dicomnet_Key_Add(&id, 0x0008, 0x0052, series.empty() ? "STUDY" : "SERIES");
    dicomnet_Key_Add(&id, 0x0020, 0x000D, study.c_str());
    if (!series.empty())
        dicomnet_Key_Add(&id, 0x0020, 0x000E, series.c_str());
    std::vector<archive_image> images;
    size_t deleted = 0, failed = 0;
    int r;
    announce(DELETE_START);
    audit_participant by = webaudit_user(rq);
    {
        // A delete changes the store: the lock alone, the study table
        // refreshed under it (not web_refreshStudies, which takes the lock).
        archive_exclusive hold(&web_archive);
        archive_refresh(&web_archive);
        r = archive_select(&web_archive, &id, &images);
        for (size_t i = 0; r == ARCHIVE_SELECTED && i < images.size(); i++) {
            const archive_image &im = images[i];
            if (archive_delete(&web_archive, im.study.c_str(), im.series.c_str(),
                               im.instance.c_str(), &by, im.sopClass.c_str()) == 0)
                deleted++;
            else
                failed++;
        }
        archive_auditDeletes(&web_archive);
    }
    announce(DELETE_END);
    if (r != ARCHIVE_SELECTED) {
        metrics_add(METRICS_FAIL_DELETE);
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
    }
    metrics_add(METRICS_WEB_DELETED, deleted);
    metrics_add(METRICS_FAIL_DELETE, failed);
    if (deleted == 0 && failed == 0)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    char text[MULTICAST_MSGSIZE];
    snprintf(text, sizeof text, "WEB DELETED %zu %s%s%s", deleted, study.c_str(),
             series.empty() ? "" : " ", series.c_str());
    announce(text);
    logprintf(failed != 0 ? LOGLEVEL_WARNING : LOGLEVEL_NOTICE, web_options.logfp,
              "Deleted %zu images (%zu failed) of study %s%s%s for user %s\n", deleted, failed,
              study.c_str(), series.empty() ? "" : " series ", series.c_str(),
              web_escapeForLog(rq.user).c_str());
    std::string answer = "{\"deleted\": " + std::to_string(deleted) +
                         ", \"failed\": " + std::to_string(failed) + "}";
    return web_reply(rq, failed == 0 ? MHD_HTTP_OK : MHD_HTTP_INTERNAL_SERVER_ERROR,
                     "application/json", answer);
}

// --- destinations ---

std::vector<studyactions_destination> studyactions_destinations()
{
    std::vector<studyactions_destination> out;
    AETitleMap map;
    AETitleMap_LoadSite(&map, nullptr);
    for (AETitleMapEntry *e = map; e != nullptr; e = e->next)
        // The archive itself is none: what it sends there comes back.
        if ((e->flags & AETITLEMAP_FLAG_M) != 0 && !AETitleMap_IsLearnt(e) &&
            strcmp(e->name, "Local") != 0 && strcmp(e->aetitle, web_archiveTitle()) != 0)
            out.push_back({e->name, e->aetitle});
    AETitleMap_Destroy(&map);
    return out;
}

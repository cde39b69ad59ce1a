// The ways out of de-identified images (core/deidexport.h): the read of one
// stored image, the copy of a study into the archive through ingest, and
// the ZIP written an entry at a time.
#include "core/deidexport.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "core/archivetier.h"
#include "dicomnet/dicomnet.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"

int deidexport_readImage(const archive_context *ctx, const std::string &path,
                         const deidentify_key &key, const deidentify_options &options,
                         DcmFileFormat *ff, deidentify_result *result, FILE *log)
{
    tier_file held;
    if (archivetier_open(ctx, path.c_str(), &held) != ARCHIVETIER_READABLE)
        return -1;
    // The stored files were checked at ingest; the toolkit reads them whole
    // (one image in memory at a time).
    OFCondition c = ff->loadFile(held.path.c_str());
    if (c.bad()) {
        if (log != nullptr)
            logprintf(LOGLEVEL_ERROR, log, "De-identify: cannot read %s: %s\n", held.path.c_str(),
                      c.text());
        return -1;
    }
    ff->loadAllDataIntoMemory();
    return deidentify_file(key, options, ff, result);
}

// The images of study (series) as a retrieve selects them.
static int select(const archive_context *ctx, const std::string &study, const std::string &series,
                  std::vector<archive_image> *images)
{
    DcmDataset id;
    dicomnet_Key_Add(&id, 0x0008, 0x0052, series.empty() ? "STUDY" : "SERIES");
    dicomnet_Key_Add(&id, 0x0020, 0x000D, study.c_str());
    if (!series.empty())
        dicomnet_Key_Add(&id, 0x0020, 0x000E, series.c_str());
    archive_refresh(ctx);
    if (archive_select(ctx, &id, images) != ARCHIVE_SELECTED || images->empty())
        return -1;
    return 0;
}

static void note(deidexport_summary *s, const deidentify_result &r)
{
    s->images++;
    s->burnedIn += r.burnedIn ? 1 : 0;
    s->pseudonymName = r.pseudonymName;
    s->pseudonymId = r.pseudonymId;
    s->study = r.study;
}

int deidexport_toArchive(const archive_context *ctx, const deidentify_key &key,
                         const deidentify_options &options, const std::string &study,
                         const std::string &series, deidexport_summary *summary, FILE *log)
{
    *summary = deidexport_summary();
    std::vector<archive_image> images;
    if (select(ctx, study, series, &images) != 0)
        return -1;
    for (const archive_image &im : images) {
        DcmFileFormat ff;
        deidentify_result r;
        int d = deidexport_readImage(ctx, im.path, key, options, &ff, &r, log);
        if (d == DEIDENTIFY_REFUSED) {
            summary->refused++;
            continue;
        }
        if (d != DEIDENTIFY_DONE) {
            summary->failed++;
            continue;
        }
        // A copy made before under the same key has the same UIDs: kept
        // (ARCHIVE_EXISTS), as the same image sent twice is.
        unsigned status = archive_ingest(ctx, ff.getDataset(), 0, nullptr);
        if (status == ARCHIVE_STORED || status == ARCHIVE_EXISTS)
            note(summary, r);
        else
            summary->failed++;
    }
    if (archive_flush(ctx) != 0)
        return -1;
    return 0;
}

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

// Flag 11: UTF-8 names.
enum { ZIP_FLAGS = 0x0800, ZIP_VERSION = 45 };

deidexport_zip::deidexport_zip()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    dosTime_ = (unsigned)((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    dosDate_ = (unsigned)(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}

std::string deidexport_zip::entry(const std::string &name, const std::string &data)
{
    // An entry's sizes are 32-bit fields here: no single image reaches 4 GiB
    // in memory (the toolkit's reader refuses such an element first).
    if (data.size() >= 0xFFFFFFFFu)
        abort();
    item it{name,
            (uint32_t)crc32(crc32(0L, Z_NULL, 0), (const Bytef *)data.data(), (uInt)data.size()),
            (uint32_t)data.size(), written_};
    std::string h;
    put32(&h, 0x04034b50);
    put16(&h, 20);
    put16(&h, ZIP_FLAGS);
    put16(&h, 0); // stored
    put16(&h, dosTime_);
    put16(&h, dosDate_);
    put32(&h, it.crc);
    put32(&h, it.size);
    put32(&h, it.size);
    put16(&h, (unsigned)name.size());
    put16(&h, 0);
    h += name;
    written_ += h.size() + data.size();
    items_.push_back(it);
    return h;
}

std::string deidexport_zip::finish()
{
    std::string c;
    uint64_t start = written_;
    for (const item &e : items_) {
        bool far = e.offset >= 0xFFFFFFFFu;
        put32(&c, 0x02014b50);
        put16(&c, ZIP_VERSION | (3 << 8)); // made by: Unix
        put16(&c, far ? 45 : 20);
        put16(&c, ZIP_FLAGS);
        put16(&c, 0);
        put16(&c, dosTime_);
        put16(&c, dosDate_);
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
    uint64_t n = items_.size();
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
    written_ += c.size();
    return c;
}

std::string deidexport_entryName(const deidentify_result &r)
{
    return r.study + "/" + r.series + "/" + r.instance + ".dcm";
}

int deidexport_toZip(const archive_context *ctx, const deidentify_key &key,
                     const deidentify_options &options, const std::string &study,
                     const std::string &series, const char *path, deidexport_summary *summary,
                     FILE *log)
{
    *summary = deidexport_summary();
    std::vector<archive_image> images;
    if (select(ctx, study, series, &images) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "De-identify: no images of study %s\n", study.c_str());
        return -1;
    }
    durable_file out;
    if (out.create(path, 0600) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "De-identify: cannot write %s: %s\n", path, strerror(errno));
        return -1;
    }
    deidexport_zip zip;
    for (const archive_image &im : images) {
        DcmFileFormat ff;
        deidentify_result r;
        int d = deidexport_readImage(ctx, im.path, key, options, &ff, &r, log);
        if (d == DEIDENTIFY_REFUSED) {
            summary->refused++;
            continue;
        }
        std::string bytes;
        if (d != DEIDENTIFY_DONE || deidentify_encode(&ff, &bytes) != 0) {
            summary->failed++;
            continue;
        }
        std::string head = zip.entry(deidexport_entryName(r), bytes);
        if (out.write(head.data(), head.size()) != 0 ||
            out.write(bytes.data(), bytes.size()) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "De-identify: cannot write %s: %s\n", path,
                      strerror(errno));
            return -1; // the temporary file goes with out
        }
        note(summary, r);
    }
    std::string dir = zip.finish();
    if (out.write(dir.data(), dir.size()) != 0 || out.commit() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "De-identify: cannot write %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

deidexport_tempfile::~deidexport_tempfile()
{
    if (fd_ >= 0) {
        unlink(path_.c_str());
        close(fd_);
    }
}

int deidexport_tempfile::write(const std::string &dir, const std::string &bytes)
{
    if (fd_ >= 0)
        abort(); // one image per temporary file
    path_ = dir + "/deid-" + std::to_string(getpid()) + ".tmp";
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return -1;
    // Not flushed: it lives only while it is sent, and a crash leaves it to
    // the sweep.
    if (flock(fd_, LOCK_SH) != 0 ||
        fullio_write(fd_, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
        return -1;
    return 0;
}

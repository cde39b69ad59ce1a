// Retention: which studies the site's policy deletes and their deletion
// through archive_delete (core/retention.h).
#include "core/retention.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "index/indexbackend.h"
#include "runtime/logprintf.h"
#include "store/localstore.h"

// One study the pass looks at.
struct retentionStudy {
    std::string uid, patient;
    long date = 0;      // Study Date as YYYYMMDD, 0 when it has none
    time_t changed = 0; // newest modification time of its index files
    uint64_t bytes = 0; // bytes its files take on the disk
    size_t images = 0;  // its image files (and tier stubs)
    const char *reason = nullptr;
};

// Text from a peer (a Patient ID) made safe for a log line.
static std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

static void statInto(const std::string &path, retentionStudy *s, bool changes)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (changes)
        s->changed = std::max(s->changed, st.st_mtime);
    s->bytes += (uint64_t)st.st_blocks * 512;
}

// The study's last change and its size, from its directory: its series
// index, and in each series directory the image index (rewritten by each
// stored image) and the files.
static void assess(const archive_context *ctx, retentionStudy *s)
{
    std::string dir = ctx->store->GetUidPath(s->uid.c_str(), nullptr, nullptr, 1).c_str();
    statInto(dir + "/SERIESINDEX.dat", s, true);
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    for (struct dirent *e; (e = readdir(d)) != nullptr;) {
        if (strncmp(e->d_name, "series_", 7) != 0)
            continue;
        std::string series = dir + "/" + e->d_name;
        DIR *sd = opendir(series.c_str());
        if (sd == nullptr)
            continue;
        for (struct dirent *f; (f = readdir(sd)) != nullptr;) {
            if (f->d_name[0] == '.')
                continue;
            statInto(series + "/" + f->d_name, s, strcmp(f->d_name, "IMAGEINDEX.dat") == 0);
            size_t n = strlen(f->d_name);
            if (strncmp(f->d_name, "image_", 6) == 0 &&
                ((n > 10 && strcmp(f->d_name + n - 4, ".dcm") == 0) ||
                 (n > 15 && strcmp(f->d_name + n - 9, ".dcm.tier") == 0)))
                s->images++;
        }
        closedir(sd);
    }
    closedir(d);
}

// Every study of the index with its Patient ID and Study Date: 0, or -1
// when the index cannot be read.
static int listStudies(const archive_context *ctx, std::vector<retentionStudy> *out)
{
    DcmDataset id;
    dicomnet_Key_Add(&id, 0x0008, 0x0052, "STUDY");
    dicomnet_Key_Add(&id, 0x0020, 0x000D, "");
    dicomnet_Key_Add(&id, 0x0010, 0x0020, "");
    dicomnet_Key_Add(&id, 0x0008, 0x0020, "");
    archive_query q(ctx, &id);
    for (;;) {
        DcmDataset *m = nullptr;
        int r = q.next(&m);
        if (r != 0)
            return r < 0 ? -1 : 0;
        std::unique_ptr<DcmDataset> match(m);
        const char *uid = dicomnet_getTagString(m, DCM_StudyInstanceUID);
        if (uid == nullptr || *uid == '\0')
            continue;
        retentionStudy s;
        s.uid = uid;
        const char *patient = dicomnet_getTagString(m, DCM_PatientID);
        s.patient = patient != nullptr ? patient : "";
        const char *date = dicomnet_getTagString(m, DCM_StudyDate);
        if (date != nullptr && strlen(date) == 8 && strspn(date, "0123456789") == 8)
            s.date = strtol(date, nullptr, 10);
        out->push_back(s);
    }
}

// Deletes every image of the study through archive_delete: the number
// deleted, *failed those that could not be.
static size_t deleteStudy(const archive_context *ctx, const std::string &study, size_t *failed)
{
    std::vector<index_image> images;
    *failed = 0;
    if (ctx->store->index().studyImages(study.c_str(), &images) != INDEX_OK) {
        *failed = 1;
        return 0;
    }
    size_t deleted = 0;
    for (const index_image &im : images) {
        if (archive_delete(ctx, im.study.c_str(), im.series.c_str(), im.instance.c_str()) == 0)
            deleted++;
        else
            (*failed)++;
    }
    return deleted;
}

int archive_retention(const archive_context *ctx, const retention_policy &policy, bool dryRun,
                      FILE *out, FILE *log)
{
    if (!policy.active())
        return 0;
    retention_protection protection;
    // Unknown flags protect nothing we could trust: the pass deletes nothing.
    if (archive_protection(ctx, &protection) != 0) {
        logprintf(LOGLEVEL_ERROR, log,
                  "Retention: the protection flags cannot be read; nothing deleted\n");
        return -1;
    }
    archive_refresh(ctx);
    std::vector<retentionStudy> studies;
    if (listStudies(ctx, &studies) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Retention: the index cannot be read; nothing deleted\n");
        return -1;
    }
    time_t now = time(nullptr);
    std::vector<retentionStudy> candidates;
    for (retentionStudy &s : studies) {
        if (protection.studies.count(s.uid) != 0 ||
            (!s.patient.empty() && protection.patients.count(s.patient) != 0))
            continue;
        assess(ctx, &s);
        // A study still changing may be one being received.
        if (s.changed == 0 || now - s.changed < policy.quietSeconds)
            continue;
        candidates.push_back(s);
    }
    // The keep rule first, the oldest Study Date first; then the least
    // recently changed, as long as the space rule holds.
    std::vector<retentionStudy> chosen;
    long cutoff = retention_cutoffDate(policy, now);
    std::vector<retentionStudy> rest;
    for (const retentionStudy &s : candidates) {
        if (cutoff > 0 && s.date > 0 && s.date < cutoff) {
            chosen.push_back(s);
            chosen.back().reason = "keep";
        } else {
            rest.push_back(s);
        }
    }
    std::stable_sort(
        chosen.begin(), chosen.end(),
        [](const retentionStudy &a, const retentionStudy &b) { return a.date < b.date; });
    std::stable_sort(
        rest.begin(), rest.end(),
        [](const retentionStudy &a, const retentionStudy &b) { return a.changed < b.changed; });
    struct statvfs vfs;
    double freeBytes = 0, totalBytes = 0;
    if (statvfs(archive_baseDir(ctx), &vfs) == 0 && vfs.f_blocks != 0) {
        freeBytes = (double)vfs.f_bavail * (double)vfs.f_frsize;
        totalBytes = (double)vfs.f_blocks * (double)vfs.f_frsize;
    }
    // What the keep rule deletes counts as freed (the run and the dry run
    // choose alike: neither reads the disk again between studies).
    for (const retentionStudy &s : chosen)
        freeBytes += (double)s.bytes;
    auto low = [&] {
        return totalBytes > 0 &&
               ((policy.percent >= 0 && 100.0 * freeBytes / totalBytes < policy.percent) ||
                (policy.bytes > 0 && freeBytes < (double)policy.bytes));
    };
    for (const retentionStudy &s : rest) {
        if (!low())
            break;
        chosen.push_back(s);
        chosen.back().reason = "space";
        freeBytes += (double)s.bytes;
    }
    int count = 0;
    for (const retentionStudy &s : chosen) {
        if (dryRun) {
            if (out != nullptr)
                fprintf(out, "would delete %s %zu %llu %s\n", s.uid.c_str(), s.images,
                        (unsigned long long)s.bytes, s.reason);
            count++;
            continue;
        }
        // Looked at again just before: an image that arrived since the
        // list was made keeps the study.
        retentionStudy again;
        again.uid = s.uid;
        assess(ctx, &again);
        if (again.changed == 0 || time(nullptr) - again.changed < policy.quietSeconds)
            continue;
        size_t failed = 0;
        size_t deleted = deleteStudy(ctx, s.uid, &failed);
        logprintf(failed != 0 ? LOGLEVEL_WARNING : LOGLEVEL_NOTICE, log,
                  "Retention: deleted study %s of patient \"%s\" (%s): %zu images, %zu failed\n",
                  s.uid.c_str(), printable(s.patient).c_str(),
                  strcmp(s.reason, "keep") == 0 ? "older than the keep period"
                                                : "free space below the setting",
                  deleted, failed);
        if (out != nullptr) {
            fprintf(out, "deleted %s %zu %llu %s\n", s.uid.c_str(), deleted,
                    (unsigned long long)s.bytes, s.reason);
            fflush(out);
        }
        if (deleted > 0)
            count++;
    }
    if (!dryRun && count > 0)
        archive_flush(ctx);
    return count;
}

int archive_protection(const archive_context *ctx, retention_protection *out)
{
    return retention_readProtection(archive_baseDir(ctx), out);
}

int archive_setProtection(const archive_context *ctx, const char *kind, const std::string &value,
                          bool on, FILE *log)
{
    return retention_setProtection(archive_baseDir(ctx), kind, value, on, log);
}

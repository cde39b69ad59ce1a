// Key digests of the study index: the digests of IDs and names as queries
// compare them, and STUDYINDEX.keys: loading, rebuilding, stamping after a
// writer's update, writing whole, change detection and checking.
#include "index/studykeys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"

static const char keysMagic[8] = {'V', 'S', 'T', 'K', 'E', 'Y', 'S', '1'};

// Study data records read per step of a rebuild or check (64 KiB).
enum { KEYS_CHUNK = 128 };

// FNV-1a, 32 bits; 0 is kept free to mean "no digest".
static uint32_t digestBytes(const char *p, size_t n, bool noCase)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)p[i];
        if (noCase && c >= 'A' && c <= 'Z')
            c = (unsigned char)(c - 'A' + 'a');
        h = (h ^ c) * 16777619u;
    }
    return h == 0 ? 1 : h;
}

// The stored value as keymatch_matches sees it: leading spaces and
// trailing spaces and NULs dropped.
static size_t trimmedValue(const char *field, size_t width, const char **start)
{
    size_t len = strnlen(field, width);
    while (len > 0 && *field == ' ') {
        field++;
        len--;
    }
    while (len > 0 && (field[len - 1] == ' ' || field[len - 1] == '\0'))
        len--;
    *start = field;
    return len;
}

uint32_t studykeys_idDigest(const char *field, size_t width)
{
    const char *v;
    size_t len = trimmedValue(field, width, &v);
    // A multi-valued ID matches a key by any one of its values.
    if (memchr(v, '\\', len) != nullptr)
        return 0;
    return digestBytes(v, len, false);
}

// The name as compared: trimmed, without empty trailing components; false
// for a name with component groups, which matches a key by any one group.
static bool comparedName(const char *field, size_t width, const char **v, size_t *len)
{
    *len = trimmedValue(field, width, v);
    if (memchr(*v, '=', *len) != nullptr)
        return false;
    while (*len > 0 && (*v)[*len - 1] == '^')
        (*len)--;
    return true;
}

static char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

uint32_t studykeys_nameDigest(const char *field, size_t width)
{
    const char *v;
    size_t len;
    return comparedName(field, width, &v, &len) ? digestBytes(v, len, true) : 0;
}

studykeys_record studykeys_make(const studydata *record)
{
    studykeys_record r = {};
    r.patientId = studykeys_idDigest(record->patientId, sizeof(record->patientId));
    const char *v;
    size_t len;
    if (comparedName(record->patientName, sizeof(record->patientName), &v, &len)) {
        r.patientName = digestBytes(v, len, true);
        for (size_t i = 0; i < len && i < sizeof(r.namePrefix); i++)
            r.namePrefix[i] = lowerAscii(v[i]);
    }
    return r;
}

studykeys_query studykeys_compile(const keymatch_key *id, const keymatch_key *name)
{
    studykeys_query q;
    // The compiled keys are trimmed already, a name's empty trailing
    // components dropped.
    if (id && id->kind == KEYMATCH_TEXT && !id->universal && !id->emptyOnly &&
        id->pattern.find_first_of("*?\\") == std::string::npos)
        q.id = digestBytes(id->pattern.data(), id->pattern.size(), false);
    if (name && name->kind == KEYMATCH_PN && !name->universal && !name->emptyOnly) {
        const std::string &p = name->pattern;
        size_t plain = p.find_first_of("*?");
        // The digests fold ASCII letters only; a name matches without case
        // in every script (index/keymatch.h), and a non-ASCII character
        // folds to a non-ASCII one only (index/casefold.h): so a key of
        // ASCII and caseless characters (ideographs, kana) has the digest
        // and prefix of every name it matches; of another only the start
        // before its first other letter ("m" of "müller") is a condition.
        size_t span = keymatch_asciiFoldSpan(p.data(), p.size());
        if (plain == std::string::npos && span == p.size() && p.find('=') == std::string::npos)
            q.name = digestBytes(p.data(), p.size(), true);
        if (plain == std::string::npos || span < plain)
            plain = std::min(span, p.size());
        // A key with "=" is compared with the whole stored value (and a
        // stored name with groups has no prefix), so its start holds too.
        for (q.prefixLen = 0; q.prefixLen < plain && q.prefixLen < sizeof(q.prefix); q.prefixLen++)
            q.prefix[q.prefixLen] = lowerAscii(p[q.prefixLen]);
    }
    return q;
}

std::string studykeys_path(const char *stem)
{
    return std::string(stem) + ".keys";
}

static bool stampOf(const std::string &path, studykeys_stamp *s)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    s->inode = (uint64_t)st.st_ino;
    s->size = (uint64_t)st.st_size;
    s->mtimeNs = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

static bool sameStamp(const studykeys_stamp &a, const studykeys_stamp &b)
{
    return a.inode == b.inode && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

// The header for the study files as they are now: false when one of them
// cannot be looked at.
static bool currentHeader(const char *stem, studykeys_header *h)
{
    memset(h, 0, sizeof(*h));
    memcpy(h->magic, keysMagic, sizeof(keysMagic));
    h->recordSize = sizeof(studykeys_record);
    return stampOf(std::string(stem) + ".dat", &h->data) &&
           stampOf(std::string(stem) + ".hash", &h->hash);
}

// Reads and validates the header of fd against the study files and count
// records: 1 valid, 0 not, -1 read error.
static int validHeader(int fd, const char *stem, long count, studykeys_header *out = nullptr)
{
    studykeys_header h, now;
    struct stat st;
    ssize_t n = fullio_pread(fd, &h, sizeof(h), 0);
    if (n < 0 || fstat(fd, &st) != 0)
        return -1;
    if (n != (ssize_t)sizeof(h) || !currentHeader(stem, &now))
        return 0;
    if (memcmp(h.magic, keysMagic, sizeof(keysMagic)) != 0 ||
        h.recordSize != sizeof(studykeys_record) || !sameStamp(h.data, now.data) ||
        !sameStamp(h.hash, now.hash))
        return 0;
    if (out)
        *out = h;
    return st.st_size == (off_t)(sizeof(h) + (size_t)count * sizeof(studykeys_record)) ? 1 : 0;
}

int studykeys_load(const char *stem, long count, studykeys_table *t)
{
    *t = studykeys_table();
    std::string path = studykeys_path(stem);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    int result = validHeader(fd, stem, count, &t->loaded);
    if (result == 1) {
        size_t bytes = (size_t)count * sizeof(studykeys_record);
        t->records.resize((size_t)count);
        if (fullio_pread(fd, t->records.data(), bytes, sizeof(studykeys_header)) !=
                (ssize_t)bytes ||
            !stampOf(path, &t->stamp)) {
            result = -1;
            *t = studykeys_table();
        }
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

// Writes header and records to a temporary file beside the keys file,
// flushes it and renames it into place, then flushes the directory
// (durable_file); then removes what writers killed before their rename
// left. 0, or -1 after a log.
static int replaceKeys(const char *stem, const studykeys_header &h,
                       const std::vector<studykeys_record> &records, FILE *log)
{
    std::string path = studykeys_path(stem);
    durable_file f;
    if (f.create(path, 0664) != 0 || f.write(&h, sizeof(h)) != 0 ||
        f.write(records.data(), records.size() * sizeof(studykeys_record)) != 0 ||
        f.commit() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    durable_removeDeadTemps(path);
    return 0;
}

int studykeys_rebuild(const char *stem, long count, studykeys_table *t, FILE *log)
{
    if (t)
        *t = studykeys_table();
    std::string dataPath = std::string(stem) + ".dat";
    studykeys_header h = {};
    std::vector<studykeys_record> records((size_t)count, studykeys_record{});
    studydata *chunk = (studydata *)malloc(KEYS_CHUNK * sizeof(studydata));
    int fd = open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
    int result = -1;
    if (chunk == nullptr || fd < 0 || !currentHeader(stem, &h)) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot read %s: %s\n", dataPath.c_str(), strerror(errno));
        goto out;
    }
    for (long at = 0; at < count; at += KEYS_CHUNK) {
        long want = count - at < (long)KEYS_CHUNK ? count - at : (long)KEYS_CHUNK;
        ssize_t got = fullio_pread(fd, chunk, (size_t)want * sizeof(studydata),
                                   studyindex_offset(at, sizeof(studydata)));
        if (got < 0) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot read %s: %s\n", dataPath.c_str(),
                      strerror(errno));
            goto out;
        }
        long whole = (long)((size_t)got / sizeof(studydata));
        for (long i = 0; i < whole; i++)
            records[(size_t)(at + i)] = studykeys_make(&chunk[i]);
        // A data file shorter than the summaries (a compaction cut short)
        // leaves the rest without digests.
        if (whole < want)
            break;
    }
    if (replaceKeys(stem, h, records, log) != 0)
        goto out;
    result = 0;
    // The digests just written are the table: no second copy read back.
    if (t && stampOf(studykeys_path(stem), &t->stamp)) {
        t->records.swap(records);
        t->loaded = h;
    }
out:
    if (result != 0 && t && h.magic[0] != 0) {
        t->loaded = h;
        t->failed = true;
    }
    free(chunk);
    if (fd >= 0)
        close(fd);
    return result;
}

int studykeys_begin(const char *stem, long count)
{
    int fd = open(studykeys_path(stem).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (validHeader(fd, stem, count) != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

int studykeys_commit(int fd, const char *stem, long index, const studykeys_record *record)
{
    if (fd < 0)
        return 0;
    studykeys_header h;
    off_t at = (off_t)sizeof(h) + studyindex_offset(index, sizeof(studykeys_record));
    // Record first, stamps last: a crash between leaves old stamps (stale).
    bool ok = (record == nullptr ||
               fullio_pwrite(fd, record, sizeof(*record), at) == (ssize_t)sizeof(*record)) &&
              currentHeader(stem, &h) && fullio_pwrite(fd, &h, sizeof(h), 0) == (ssize_t)sizeof(h);
    close(fd);
    return ok ? 0 : -1;
}

void studykeys_removeStale(const char *stem)
{
    durable_removeDeadTemps(studykeys_path(stem));
}

int studykeys_write(const char *stem, const studydata *records, long count, FILE *log)
{
    studykeys_header h;
    if (!currentHeader(stem, &h)) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot look at the study index %s: %s\n", stem,
                  strerror(errno));
        return -1;
    }
    std::vector<studykeys_record> out((size_t)count);
    for (long i = 0; i < count; i++)
        out[(size_t)i] = studykeys_make(&records[i]);
    return replaceKeys(stem, h, out, log);
}

bool studykeys_changed(const char *stem, const studykeys_table &t)
{
    studykeys_stamp keys;
    studykeys_header now;
    if (t.failed)
        return !currentHeader(stem, &now) || !sameStamp(now.data, t.loaded.data) ||
               !sameStamp(now.hash, t.loaded.hash);
    if (t.stamp.inode == 0)
        return true;
    if (!stampOf(studykeys_path(stem), &keys) || !currentHeader(stem, &now))
        return true;
    return !sameStamp(keys, t.stamp) || !sameStamp(now.data, t.loaded.data) ||
           !sameStamp(now.hash, t.loaded.hash);
}

int studykeys_check(const char *stem, long count, long *badIndex)
{
    int fd = open(studykeys_path(stem).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    studykeys_header h, now;
    int result = 0;
    if (fullio_pread(fd, &h, sizeof(h), 0) != (ssize_t)sizeof(h) ||
        memcmp(h.magic, keysMagic, sizeof(keysMagic)) != 0 ||
        h.recordSize != sizeof(studykeys_record))
        result = 2;
    else if (!currentHeader(stem, &now) || !sameStamp(h.data, now.data) ||
             !sameStamp(h.hash, now.hash))
        result = 3;
    else if (validHeader(fd, stem, count) != 1)
        result = 2; // stamped for these study files, but cut short or too long
    std::vector<studykeys_record> stored;
    if (result == 0) {
        stored.resize((size_t)count);
        size_t bytes = stored.size() * sizeof(studykeys_record);
        if (fullio_pread(fd, stored.data(), bytes, sizeof(h)) != (ssize_t)bytes)
            result = 2;
    }
    close(fd);
    fd = result == 0 ? open((std::string(stem) + ".dat").c_str(), O_RDONLY | O_CLOEXEC) : -1;
    studydata *chunk = result == 0 ? (studydata *)malloc(KEYS_CHUNK * sizeof(studydata)) : nullptr;
    for (long at = 0; fd >= 0 && chunk && result == 0 && at < count; at += KEYS_CHUNK) {
        long want = count - at < (long)KEYS_CHUNK ? count - at : (long)KEYS_CHUNK;
        ssize_t got = fullio_pread(fd, chunk, (size_t)want * sizeof(studydata),
                                   studyindex_offset(at, sizeof(studydata)));
        long whole = got < 0 ? 0 : (long)((size_t)got / sizeof(studydata));
        for (long i = 0; i < whole && result == 0; i++) {
            // A deleted study's cleared record keeps the digests it had.
            if (!studyindex_isLive(&chunk[i]))
                continue;
            studykeys_record made = studykeys_make(&chunk[i]);
            if (memcmp(&stored[(size_t)(at + i)], &made, sizeof(made)) != 0) {
                *badIndex = at + i;
                result = 4;
            }
        }
        if (whole < want)
            break;
    }
    free(chunk);
    if (fd >= 0)
        close(fd);
    return result;
}

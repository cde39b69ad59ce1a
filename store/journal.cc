// The image journal: taking a journal file, writing and flushing image
// records, emptying, and replaying what a dead process left.
#include "store/journal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <vector>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"

static const char MAGIC[8] = {'V', 'L', 'J', 'R', 'N', 'L', '1', '\n'};

// Records start on this boundary.
enum { ALIGN = 4096 };

// Journals tried by journal_take before it gives up.
enum { SLOTS = 64 };

// The file grows by at least this much at a time, in written zeros.
enum { GROWTH = 1 << 20 };

// Longest "S\tR\tI": three UIDs of at most 64 bytes and two tabs.
enum { UIDS_MAX = 3 * 64 + 2 };

static_assert(sizeof(journal_header) == 64, "journal header layout");

int journal_isJournal(const char *name)
{
    return strncmp(name, JOURNAL_PREFIX, strlen(JOURNAL_PREFIX)) == 0;
}

static off_t aligned(off_t offset)
{
    return (offset + ALIGN - 1) / ALIGN * ALIGN;
}

static uint64_t newRun()
{
    uint64_t run = 0;
    if (getrandom(&run, sizeof run, 0) != (ssize_t)sizeof run || run == 0) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        run = ((uint64_t)now.tv_sec << 32) ^ (uint64_t)now.tv_nsec ^
              ((uint64_t)process_pid() << 16) ^ 1;
    }
    return run;
}

static uint32_t crcOf(uint32_t crc, const void *bytes, size_t length)
{
    // zlib takes lengths as uInt: large pieces go in parts.
    const unsigned char *p = (const unsigned char *)bytes;
    while (length > 0) {
        uInt part = length > (1u << 30) ? (1u << 30) : (uInt)length;
        crc = (uint32_t)crc32(crc, p, part);
        p += part;
        length -= part;
    }
    return crc;
}

static void fail(journal *j, FILE *log, const char *what)
{
    logprintf(LOGLEVEL_ERROR, log, "Cannot %s %s: %s\n", what, j->path.c_str(), strerror(errno));
    j->broken = 1;
}

// Makes the file at least `want` bytes long, in written zeros (never a hole
// or unwritten space, whose first write would change the block map): 0, or
// -1 with errno set.
static int grow(journal *j, off_t want)
{
    static const char zeros[65536] = {0};
    if (want <= j->size)
        return 0;
    off_t target = want + GROWTH - want % GROWTH;
    while (j->size < target) {
        size_t piece =
            (size_t)(target - j->size) < sizeof zeros ? (size_t)(target - j->size) : sizeof zeros;
        if (fullio_pwrite(j->fd, zeros, piece, j->size) != (ssize_t)piece)
            return -1;
        j->size += (off_t)piece;
    }
    return 0;
}

// Writes bytes at *at (growing the file first) and moves *at on.
static int put(journal *j, const void *bytes, size_t length, off_t *at)
{
    if (grow(j, *at + (off_t)length) != 0 ||
        fullio_pwrite(j->fd, bytes, length, *at) != (ssize_t)length)
        return -1;
    *at += (off_t)length;
    return 0;
}

// A record that cannot grow the file (a full file system, a size limit) is
// refused like one too large, and the journal stays usable: nothing it
// holds is changed, and the image is flushed in the tree instead.
static int outOfRoom(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

int journal_begin(journal *j, const char *study, const char *series, const char *image, FILE *log)
{
    std::string uids = std::string(study) + "\t" + series + "\t" + image;
    if (j->fd < 0 || j->broken || uids.size() > UIDS_MAX)
        return -1;
    j->start = j->end;
    j->fill = j->start + (off_t)sizeof(journal_header);
    j->uidsLength = (uint32_t)uids.size();
    j->imageLength = 0;
    j->tooLarge = 0;
    j->crc = crcOf(0, uids.data(), uids.size());
    if (put(j, uids.data(), uids.size(), &j->fill) != 0) {
        if (!outOfRoom(errno))
            fail(j, log, "write");
        j->start = -1;
        return -1;
    }
    return 0;
}

int journal_add(journal *j, const void *piece, size_t length, FILE *log)
{
    if (j->start < 0 || j->tooLarge)
        return 0;
    if (j->imageLength + length > JOURNAL_IMAGE_MAX) {
        j->tooLarge = 1;
        return 0;
    }
    j->crc = crcOf(j->crc, piece, length);
    j->imageLength += length;
    if (put(j, piece, length, &j->fill) != 0) {
        if (outOfRoom(errno)) {
            j->tooLarge = 1;
            return 0;
        }
        fail(j, log, "write");
        j->start = -1;
        return -1;
    }
    return 0;
}

static journal_header makeHeader(uint32_t type, uint64_t run, uint64_t seq, uint32_t uidsLength,
                                 uint64_t imageLength)
{
    journal_header h;
    memset(&h, 0, sizeof h);
    memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.type = type;
    h.run = run;
    h.seq = seq;
    h.uidsLength = uidsLength;
    h.imageLength = imageLength;
    return h;
}

// The CRC of a header (its crc field taken as 0) and of the bytes after it,
// whose CRC is rest.
static uint32_t headerCrc(journal_header h, uint32_t rest, size_t restLength)
{
    h.crc = 0;
    uint32_t head = crcOf(0, &h, sizeof h);
    return (uint32_t)crc32_combine(head, rest, (z_off_t)restLength);
}

int journal_commit(journal *j, FILE *log)
{
    if (j->start < 0)
        return -1;
    if (j->tooLarge) {
        journal_abandon(j);
        return 1;
    }
    journal_header h = makeHeader(JOURNAL_IMAGE, j->run, j->seq, j->uidsLength, j->imageLength);
    h.crc = headerCrc(h, j->crc, j->uidsLength + j->imageLength);
    // The header goes last, so that until the flush below has ended, a crash
    // leaves either the whole record or one that fails its CRC (and ends the
    // journal there: it was not answered).
    off_t at = j->start;
    if (put(j, &h, sizeof h, &at) != 0) {
        fail(j, log, "write");
        j->start = -1;
        return -1;
    }
    if (fdatasync(j->fd) != 0) {
        // A failed flush is not tried again through this descriptor: the
        // kernel may have dropped the pages and would report success.
        logprintf(LOGLEVEL_ERROR, log, "Cannot flush %s to disk: %s\n", j->path.c_str(),
                  strerror(errno));
        j->broken = 1;
        j->start = -1;
        return -1;
    }
    j->last = j->start;
    j->end = aligned(j->fill);
    j->seq++;
    j->start = -1;
    return 0;
}

// Writes header h at offset at and flushes the journal: 0, or -1 (logged;
// j broken).
static int putFlushed(journal *j, const journal_header *h, off_t at, FILE *log)
{
    if (put(j, h, sizeof *h, &at) != 0) {
        fail(j, log, "write");
        return -1;
    }
    if (fdatasync(j->fd) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot flush %s to disk: %s\n", j->path.c_str(),
                  strerror(errno));
        j->broken = 1;
        return -1;
    }
    return 0;
}

int journal_retract(journal *j, FILE *log)
{
    if (j->last < 0 || j->fd < 0 || j->broken)
        return -1;
    // A cleared header fails its magic: the journal ends at this record,
    // whatever follows it (nothing yet: it was the last one).
    journal_header h;
    memset(&h, 0, sizeof h);
    if (putFlushed(j, &h, j->last, log) != 0)
        return -1;
    j->end = j->last;
    j->seq--;
    j->last = -1;
    return 0;
}

void journal_abandon(journal *j)
{
    j->start = -1;
    j->tooLarge = 0;
}

int journal_empty(journal *j, FILE *log)
{
    if (j->fd < 0 || j->broken)
        return -1;
    uint64_t run = newRun();
    journal_header h = makeHeader(JOURNAL_END, run, 0, 0, 0);
    h.crc = headerCrc(h, 0, 0);
    if (putFlushed(j, &h, 0, log) != 0)
        return -1;
    j->run = run;
    j->seq = 0;
    j->end = 0;
    j->last = -1;
    return 0;
}

// Reads the records of the journal open on fd from its start, calling
// replay for each (null: only counts them). The number of records; -1 a
// read failed (errno set); -2 replay refused one (logged).
static long readRecords(int fd, const journal_replayer *replay)
{
    std::vector<unsigned char> body;
    off_t at = 0;
    uint64_t run = 0;
    long count = 0;
    for (;;) {
        journal_header h;
        ssize_t got = fullio_pread(fd, &h, sizeof h, at);
        if (got < 0)
            return -1;
        // A short header is the end of the file.
        if (got != (ssize_t)sizeof h || memcmp(h.magic, MAGIC, sizeof MAGIC) != 0 ||
            h.type != JOURNAL_IMAGE || h.uidsLength > UIDS_MAX ||
            h.imageLength > JOURNAL_IMAGE_MAX || (count > 0 && h.run != run) ||
            h.seq != (uint64_t)count)
            break;
        size_t length = h.uidsLength + (size_t)h.imageLength;
        body.resize(length);
        got = fullio_pread(fd, body.data(), length, at + (off_t)sizeof h);
        if (got < 0)
            return -1;
        if (got != (ssize_t)length || headerCrc(h, crcOf(0, body.data(), length), length) != h.crc)
            break;
        run = h.run;
        if (replay != nullptr) {
            std::string uids((const char *)body.data(), h.uidsLength);
            size_t tab1 = uids.find('\t');
            size_t tab2 = tab1 == std::string::npos ? tab1 : uids.find('\t', tab1 + 1);
            if (tab2 == std::string::npos)
                break; // a record this code never writes
            uids[tab1] = uids[tab2] = '\0';
            if (replay->image(replay->arg, uids.c_str(), uids.c_str() + tab1 + 1,
                              uids.c_str() + tab2 + 1, body.data() + h.uidsLength,
                              (size_t)h.imageLength) != 0)
                return -2;
        }
        count++;
        at = aligned(at + (off_t)sizeof h + (off_t)length);
    }
    return count;
}

// Opens and locks the journal at path without waiting: its descriptor, -2
// held by another process, -1 failed (errno set).
static int openLocked(const std::string &path, int create)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0664);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return saved == EWOULDBLOCK ? -2 : -1;
    }
    return fd;
}

// Replays the records of j (open and locked) and empties it: the number
// replayed, -1 failed (logged).
static long replayHeld(journal *j, const journal_replayer *replay, FILE *log)
{
    long count = readRecords(j->fd, nullptr);
    if (count > 0) {
        logprintf(LOGLEVEL_NOTICE, log, "Writing the %ld image(s) of %s into the store.\n", count,
                  j->path.c_str());
        count = readRecords(j->fd, replay);
        if (count > 0 && replay->flush(replay->arg) != 0)
            count = -2;
    }
    if (count == -1)
        logprintf(LOGLEVEL_ERROR, log, "Cannot read %s: %s\n", j->path.c_str(), strerror(errno));
    if (count < 0) {
        logprintf(LOGLEVEL_ERROR, log, "%s is kept: its images are not all in the store.\n",
                  j->path.c_str());
        return -1;
    }
    if (count > 0 && journal_empty(j, log) != 0)
        return -1;
    return count;
}

int journal_take(const char *uidDir, journal *j, const journal_replayer *replay, FILE *log)
{
    journal_close(j);
    for (int n = 0; n < SLOTS; n++) {
        j->path = std::string(uidDir) + "/" JOURNAL_PREFIX + std::to_string(n);
        j->fd = openLocked(j->path, 1);
        if (j->fd == -2)
            continue;
        struct stat st;
        if (j->fd < 0 || fstat(j->fd, &st) != 0) {
            int saved = errno;
            if (saved != ENOENT)
                logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", j->path.c_str(),
                          strerror(saved));
            journal_close(j);
            errno = saved;
            return -1;
        }
        j->size = st.st_size;
        j->run = newRun();
        // A new journal is named on disk before it is relied on: its
        // directory is flushed, and the base directory that names that.
        if (st.st_size == 0 && (durable_flushDir(uidDir) != 0 ||
                                durable_flushDir(durable_parent(uidDir).c_str()) != 0)) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot flush %s to disk: %s\n", uidDir,
                      strerror(errno));
            break;
        }
        if (replayHeld(j, replay, log) >= 0)
            return 0;
        journal_close(j);
    }
    journal_close(j);
    logprintf(LOGLEVEL_ERROR, log, "No image journal of %s can be used.\n", uidDir);
    errno = EBUSY;
    return -1;
}

void journal_close(journal *j)
{
    if (j->fd >= 0)
        close(j->fd);
    *j = journal();
}

int journal_replayAll(const char *uidDir, const journal_replayer *replay, FILE *log)
{
    DIR *dir = opendir(uidDir);
    if (dir == nullptr)
        return errno == ENOENT ? 0 : -1;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir))
        if (journal_isJournal(e->d_name))
            names.push_back(e->d_name);
    closedir(dir);
    long total = 0;
    int failed = 0;
    for (const std::string &name : names) {
        journal j;
        j.path = std::string(uidDir) + "/" + name;
        j.fd = openLocked(j.path, 0);
        struct stat st;
        if (j.fd >= 0 && fstat(j.fd, &st) == 0) {
            j.size = st.st_size;
            long n = replayHeld(&j, replay, log);
            if (n < 0)
                failed = 1;
            else
                total += n;
        } else if (j.fd == -1 && errno != ENOENT) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", j.path.c_str(), strerror(errno));
            failed = 1;
        }
        if (j.fd >= 0)
            close(j.fd);
    }
    return failed ? -1 : (int)total;
}

long journal_pending(const char *path)
{
    int fd = openLocked(path, 0);
    if (fd == -2)
        return 0;
    if (fd < 0)
        return -1;
    long count = readRecords(fd, nullptr);
    int saved = errno;
    close(fd);
    errno = saved;
    return count;
}

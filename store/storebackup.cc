// Backup and restore of a store (store/storebackup.h): the snapshot under
// every study's lock, its copy to the backup's place, and the copy of a
// backup into an empty base directory.
#include "store/storebackup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "index/studyindex.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "store/journal.h"
#include "store/localstore.h"
#include "store/storetree.h"
#include "store/studylock.h"
#include "store/tier.h"

static double monotonicSeconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static bool endsWith(const std::string &s, const char *tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

static bool startsWith(const std::string &s, const char *head)
{
    return s.compare(0, strlen(head), head) == 0;
}

// What a file or directory looked like when it was taken.
struct signature {
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtim = {0, 0}, ctim = {0, 0};
};

// What a copy has done so far, and the first failure.
struct copyState {
    std::string failed;     // the first failure ("" none)
    uint64_t bytes = 0;     // bytes copied
    long files = 0;         // files linked or copied
    long images = 0;        // image files and stubs
    bool asRoot = false;    // the owner of each file is kept
    bool followUid = false; // a symbolic link below uid/ is copied as its file
    std::string skipTop;    // a name at the top that is not copied ("": none)
    // With followUid: the tree copied (root) is a snapshot of the store at
    // origin, where relative symbolic links are resolved.
    std::string root, origin;
    // Files with several names: the first copy of each, so that the others
    // become links again (a placed image and the temporary file it was
    // placed from, which a restore's start recognises by it).
    std::map<std::pair<dev_t, ino_t>, std::string> linked;
    // The snapshot's passes: the signature of each directory and copied
    // file as it was taken (by its path in the store), and the time from
    // which a change counts as recent.
    std::map<std::string, signature> taken;
    struct timespec since = {0, 0};
};

static int fail(copyState *c, const std::string &path, int error)
{
    if (c->failed.empty())
        c->failed = path + ": " + strerror(error);
    errno = error;
    return -1;
}

// Gives a new file the owner and times of the original (st).
static void keepAttributes(copyState *c, int fd, const struct stat &st)
{
    if (c->asRoot && fchown(fd, st.st_uid, st.st_gid) != 0) {
        /* an owner that cannot be set leaves root's: the copy is whole */
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(fd, times);
}

// Copies the bytes of in (open, st its stat) into a new file at to, with
// st's permissions, owner and times. 0, or -1 (c->failed set).
static int copyFrom(copyState *c, int in, const struct stat &st, const std::string &to)
{
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0)
        return fail(c, to, errno);
    static const size_t BLOCK = 256 * 1024;
    std::vector<char> block(BLOCK);
    off_t at = 0;
    for (;;) {
        ssize_t n = fullio_pread(in, block.data(), BLOCK, at);
        if (n < 0) {
            int saved = errno;
            close(out);
            return fail(c, "reading for " + to, saved);
        }
        if (n == 0)
            break;
        if (fullio_write(out, block.data(), (size_t)n) != n) {
            int saved = errno;
            close(out);
            return fail(c, to, saved);
        }
        at += n;
        c->bytes += (uint64_t)n;
        if ((size_t)n < BLOCK)
            break;
    }
    keepAttributes(c, out, st);
    // close reports a write-back error that the writes did not.
    if (close(out) != 0)
        return fail(c, to, errno);
    c->files++;
    return 0;
}

// Copies the file at from (followed when it is a symbolic link) to to.
static int copyFile(copyState *c, const std::string &from, const std::string &to)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) {
        int saved = errno;
        if (in >= 0)
            close(in);
        return fail(c, from, saved);
    }
    int r = copyFrom(c, in, st, to);
    close(in);
    return r;
}

// Makes the directory to like from (st): 0, or -1 (c->failed set).
static int makeDir(copyState *c, const std::string &to, const struct stat &st)
{
    if (mkdir(to.c_str(), st.st_mode & 07777) != 0 && errno != EEXIST)
        return fail(c, to, errno);
    if (c->asRoot && chown(to.c_str(), st.st_uid, st.st_gid) != 0) {
        /* as for files */
    }
    return 0;
}

// Makes the symbolic link to as the one at from.
static int copyLink(copyState *c, const std::string &from, const std::string &to)
{
    char target[PATH_MAX];
    ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
    if (n < 0)
        return fail(c, from, errno);
    target[n] = 0;
    if (symlink(target, to.c_str()) != 0)
        return fail(c, to, errno);
    c->files++;
    return 0;
}

// The entries of dir (without "." and ".."), or -1 (errno set).
static int listDir(const std::string &dir, std::vector<std::string> *names)
{
    names->clear();
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names->push_back(e->d_name);
    }
    closedir(d);
    return 0;
}

// Removes path and everything below it: 0, or -1 (errno set; as much as
// could be is gone).
static int removeTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
    std::vector<std::string> names;
    int r = listDir(path, &names);
    for (const std::string &name : names)
        if (removeTree(path + "/" + name) != 0)
            r = -1;
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        r = -1;
    return r;
}

// What the symbolic link at path (in the directory dir of the tree copied)
// points to: a relative link is taken from where it lies in the store
// (c->origin), not in the snapshot (c->root) it was linked into.
static std::string followed(const copyState *c, const std::string &dir, const std::string &path)
{
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0 || c->origin.empty() || dir.compare(0, c->root.size(), c->root) != 0)
        return path;
    target[n] = 0;
    if (target[0] == '/')
        return target;
    return c->origin + dir.substr(c->root.size()) + "/" + target;
}

// Copies the tree at from into the directory to (made already): regular
// files copied (several names of one file become links again), symbolic
// links made again (below uid/ with c->followUid: copied as their files),
// directories made; at depth 0, c->skipTop is passed over.
static int copyTree(copyState *c, const std::string &from, const std::string &to, int depth,
                    bool inUid)
{
    std::vector<std::string> names;
    if (listDir(from, &names) != 0)
        return fail(c, from, errno);
    for (const std::string &name : names) {
        if (depth == 0 && name == c->skipTop)
            continue;
        std::string src = from + "/" + name, dst = to + "/" + name;
        bool uid = inUid || (depth == 0 && name == "uid");
        struct stat st;
        if (lstat(src.c_str(), &st) != 0)
            return fail(c, src, errno);
        if (S_ISDIR(st.st_mode)) {
            if (makeDir(c, dst, st) != 0 || copyTree(c, src, dst, depth + 1, uid) != 0)
                return -1;
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            if ((c->followUid && uid ? copyFile(c, followed(c, from, src), dst)
                                     : copyLink(c, src, dst)) != 0)
                return -1;
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        if (st.st_nlink > 1) {
            auto key = std::make_pair(st.st_dev, st.st_ino);
            auto seen = c->linked.find(key);
            if (seen != c->linked.end()) {
                if (link(seen->second.c_str(), dst.c_str()) != 0)
                    return fail(c, dst, errno);
                continue;
            }
            c->linked[key] = dst;
        }
        if (copyFile(c, src, dst) != 0)
            return -1;
        if (uid && startsWith(name, "image_") &&
            (endsWith(name, ".dcm") || endsWith(name, ".dcm" TIER_STUB_SUFFIX)))
            c->images++;
    }
    return 0;
}

// --- the snapshot ---
//
// Taken in two passes, so that writers wait only for the second: first,
// without the lock, every directory of B/uid is made in the snapshot,
// every image file linked and every other file copied, each noted with
// what it looked like (its signature); then, under every study's lock, the
// tree is walked again and only what changed since is taken again. A
// directory whose entries did not change keeps its links; a copied file
// whose signature did not change keeps its copy. A write changes a file's
// modification time, but in ticks of the file system's clock: what changed
// in the seconds before the first pass began counts as changed.

static signature signatureOf(const struct stat &st)
{
    signature sig;
    sig.ino = st.st_ino;
    sig.size = st.st_size;
    sig.mtim = st.st_mtim;
    sig.ctim = st.st_ctim;
    return sig;
}

static bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

static bool notBefore(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// Whether path (st: its lstat now) is as it was taken, and was not changed
// so shortly before that a later change could keep its time.
static bool unchanged(const copyState *c, const std::string &path, const struct stat &st)
{
    auto it = c->taken.find(path);
    if (it == c->taken.end())
        return false;
    const signature &was = it->second;
    return was.ino == st.st_ino && was.size == st.st_size && sameTime(was.mtim, st.st_mtim) &&
           sameTime(was.ctim, st.st_ctim) && !notBefore(st.st_mtim, c->since) &&
           !notBefore(st.st_ctim, c->since);
}

// Links the file at from to to (the snapshot): 0 linked, 1 from is gone,
// -1 failed (c->failed set). Another file system (B/uid a mount of its
// own) or a file system without links: copied instead.
static int linkInto(copyState *c, const std::string &from, const std::string &to)
{
    if (link(from.c_str(), to.c_str()) == 0) {
        c->files++;
        return 0;
    }
    if (errno == ENOENT)
        return 1;
    if (errno == EEXIST)
        return 0;
    if (errno == EXDEV || errno == EPERM || errno == EMLINK || errno == EOPNOTSUPP) {
        int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return errno == ENOENT ? 1 : fail(c, from, errno);
        struct stat st;
        int r = fstat(in, &st) == 0 ? copyFrom(c, in, st, to) : fail(c, from, errno);
        close(in);
        return r;
    }
    return fail(c, to, errno);
}

// Copies the file at from to to, noting its signature as it was before the
// copy; one that is gone is passed over.
static int copyIfThere(copyState *c, const std::string &from, const std::string &to)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno == ENOENT ? 0 : fail(c, from, errno);
    struct stat st;
    int r = fstat(in, &st) == 0 ? copyFrom(c, in, st, to) : fail(c, from, errno);
    if (r == 0)
        c->taken[from] = signatureOf(st);
    close(in);
    return r;
}

// An image's own files, never changed once placed: the image file, its stub
// and its head (the object tier's), each replaced only by rename.
static bool isImageFile(const std::string &name)
{
    return startsWith(name, "image_") &&
           (endsWith(name, ".dcm") || endsWith(name, ".dcm" TIER_STUB_SUFFIX) ||
            endsWith(name, ".dcm" TIER_HEAD_SUFFIX));
}

// Links one of an image's files into the snapshot.
static int linkImage(copyState *c, const std::string &src, const std::string &dst,
                     const std::string &name)
{
    int r = linkInto(c, src, dst);
    // The tier's mover takes no study lock: an image file gone since the
    // listing was moved, and its stub and head are in place before the file
    // goes (store/tier.h).
    if (r == 1 && endsWith(name, ".dcm")) {
        if (linkInto(c, src + TIER_STUB_SUFFIX, dst + TIER_STUB_SUFFIX) < 0 ||
            linkInto(c, src + TIER_HEAD_SUFFIX, dst + TIER_HEAD_SUFFIX) < 0)
            return -1;
    }
    return r < 0 ? -1 : 0;
}

static int takeTree(copyState *c, const std::string &from, const std::string &to);

// Takes one entry of a directory below B/uid (st: its lstat): a directory
// made and taken whole, an image's file linked, another file copied;
// temporary files of writes under way (a stub's, a head's, an index file's
// before its rename) are no part of the store yet.
static int takeEntry(copyState *c, const std::string &src, const std::string &dst,
                     const std::string &name, const struct stat &st)
{
    if (S_ISDIR(st.st_mode))
        return makeDir(c, dst, st) != 0 ? -1 : takeTree(c, src, dst);
    if (storetree_isTmp(name.c_str()))
        return 0;
    if (isImageFile(name))
        return linkImage(c, src, dst, name);
    if (S_ISREG(st.st_mode))
        return copyIfThere(c, src, dst);
    return 0;
}

// The first pass over a directory below B/uid (made in the snapshot at to).
static int takeTree(copyState *c, const std::string &from, const std::string &to)
{
    struct stat dir;
    if (stat(from.c_str(), &dir) != 0)
        return errno == ENOENT ? 0 : fail(c, from, errno);
    // Noted before the listing: an entry made after it changes the time.
    c->taken[from] = signatureOf(dir);
    std::vector<std::string> names;
    if (listDir(from, &names) != 0)
        return errno == ENOENT ? 0 : fail(c, from, errno);
    for (const std::string &name : names) {
        std::string src = from + "/" + name;
        struct stat st;
        if (lstat(src.c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(c, src, errno);
        }
        if (takeEntry(c, src, to + "/" + name, name, st) != 0)
            return -1;
    }
    return 0;
}

// Removes from the snapshot directory to each entry of had that the
// store's directory no longer holds (names, sorted here): 0, or -1 (c->failed
// set).
static int dropGone(copyState *c, std::vector<std::string> *names,
                    const std::vector<std::string> &had, const std::string &to)
{
    std::sort(names->begin(), names->end());
    for (const std::string &name : had)
        if (!std::binary_search(names->begin(), names->end(), name) &&
            removeTree(to + "/" + name) != 0)
            return fail(c, to + "/" + name, errno);
    return 0;
}

// The second pass, under every study's lock: the directory at from made
// like the store's in the snapshot at to, taking again only what changed.
static int refreshTree(copyState *c, const std::string &from, const std::string &to)
{
    struct stat dir;
    if (stat(from.c_str(), &dir) != 0) {
        if (errno != ENOENT)
            return fail(c, from, errno);
        // Removed since the first pass (a study deleted).
        return removeTree(to) == 0 ? 0 : fail(c, to, errno);
    }
    bool sameEntries = unchanged(c, from, dir);
    std::vector<std::string> names;
    if (listDir(from, &names) != 0)
        return fail(c, from, errno);
    if (!sameEntries) {
        // What is gone from the store goes from the snapshot.
        std::vector<std::string> had;
        listDir(to, &had);
        if (dropGone(c, &names, had, to) != 0)
            return -1;
    }
    for (const std::string &name : names) {
        // The same entries: the same image files (one replaced is renamed
        // over, which changes the directory).
        if (sameEntries && isImageFile(name))
            continue;
        if (storetree_isTmp(name.c_str()))
            continue;
        std::string src = from + "/" + name, dst = to + "/" + name;
        struct stat st, had;
        if (lstat(src.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return fail(c, src, errno);
            if (removeTree(dst) != 0)
                return fail(c, dst, errno);
            continue;
        }
        bool there = lstat(dst.c_str(), &had) == 0;
        if (S_ISDIR(st.st_mode)) {
            if (there ? refreshTree(c, src, dst) != 0 : takeEntry(c, src, dst, name, st) != 0)
                return -1;
            continue;
        }
        if (there && isImageFile(name) && had.st_ino == st.st_ino && had.st_dev == st.st_dev)
            continue;
        if (there && !isImageFile(name) && unchanged(c, src, st))
            continue;
        if (there && unlink(dst.c_str()) != 0)
            return fail(c, dst, errno);
        if (takeEntry(c, src, dst, name, st) != 0)
            return -1;
    }
    return 0;
}

// The study index files, copied under the hash file's lock (shared):
// their compaction replaces both by rename under that lock, without a
// study lock.
static int snapshotStudyIndex(copyState *c, const std::string &uidDir, const std::string &to)
{
    std::string stem = uidDir + "/STUDYINDEX";
    int fd = studyindex_openLocked((stem + ".hash").c_str(), O_RDONLY, 0, F_RDLCK);
    if (fd < 0)
        return errno == ENOENT ? 0 : fail(c, stem + ".hash", errno);
    struct stat st;
    // The hash file is copied through the descriptor that holds the lock: a
    // process lock ends with the close of any descriptor of the file.
    int r = fstat(fd, &st) == 0 ? copyFrom(c, fd, st, to + "/STUDYINDEX.hash")
                                : fail(c, stem + ".hash", errno);
    if (r == 0)
        r = copyIfThere(c, stem + ".dat", to + "/STUDYINDEX.dat");
    if (r == 0)
        r = copyIfThere(c, stem + ".keys", to + "/STUDYINDEX.keys");
    close(fd);
    return r;
}

// The second pass over B/uid itself: its own files (what dead processes
// left, which only this moment tells from what live ones hold), then the
// buckets and studies below, and the study index.
static int snapshotUid(copyState *c, const std::string &uidDir, const std::string &to)
{
    std::vector<std::string> names, had;
    if (listDir(uidDir, &names) != 0 || listDir(to, &had) != 0)
        return fail(c, uidDir, errno);
    // A bucket removed since the first pass goes with all it held.
    if (dropGone(c, &names, had, to) != 0)
        return -1;
    for (const std::string &name : names) {
        std::string src = uidDir + "/" + name, dst = to + "/" + name;
        struct stat st;
        if (lstat(src.c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(c, src, errno);
        }
        if (S_ISDIR(st.st_mode)) {
            struct stat had;
            if (lstat(dst.c_str(), &had) == 0 ? refreshTree(c, src, dst) != 0
                                              : takeEntry(c, src, dst, name, st) != 0)
                return -1;
            continue;
        }
        if (!S_ISREG(st.st_mode) || name == STUDYLOCK_FILE || startsWith(name, "STUDYINDEX."))
            continue;
        if (startsWith(name, LS_INCOMING_PREFIX)) {
            // An image being received (one name) is not stored yet. One with
            // a second name was placed by a process that died before it
            // entered it in the index (placing and indexing are one step
            // under the study's lock, held here): the restore's start enters
            // it, as a start here would.
            if (storetree_isTmp(name.c_str()) && st.st_nlink > 1 && linkInto(c, src, dst) < 0)
                return -1;
            continue;
        }
        if (journal_isJournal(name.c_str())) {
            // A live process's journal holds images that are in the tree
            // already (placed before they were answered) or not answered yet:
            // left out. A dead one's may hold answered images that only its
            // replay writes into the tree (after a crash of the machine):
            // copied, and replayed by the restore's start.
            if (journal_pending(src.c_str()) > 0 && copyIfThere(c, src, dst) != 0)
                return -1;
            continue;
        }
        if (storetree_isTmp(name.c_str()))
            continue;
        // The intents of deletes that dead processes left (a live delete
        // holds its study's lock, and so is not under way now), the marker
        // of an interrupted rebuild, and anything else: copied.
        if (copyIfThere(c, src, dst) != 0)
            return -1;
    }
    return snapshotStudyIndex(c, uidDir, to);
}

// Everything below from but skip (of B: all but uid/, the snapshot and a
// restore's marker; the patient link tree, the worklist, the forwarding
// queue): files written whole and renamed into place, copied one by one;
// temporary files passed over.
static int snapshotOther(copyState *c, const std::string &from, const std::string &to,
                         const std::vector<std::string> &skip)
{
    std::vector<std::string> names;
    if (listDir(from, &names) != 0)
        return fail(c, from, errno);
    for (const std::string &name : names) {
        std::string src = from + "/" + name, dst = to + "/" + name;
        if (std::find(skip.begin(), skip.end(), src) != skip.end() || storetree_isTmp(name.c_str()))
            continue;
        struct stat st;
        if (lstat(src.c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(c, src, errno);
        }
        int r = 0;
        if (S_ISDIR(st.st_mode))
            r = makeDir(c, dst, st) == 0 ? snapshotOther(c, src, dst, skip) : -1;
        else if (S_ISLNK(st.st_mode))
            r = copyLink(c, src, dst);
        else if (S_ISREG(st.st_mode))
            r = copyIfThere(c, src, dst);
        if (r != 0)
            return -1;
    }
    return 0;
}

static void say(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void say(FILE *stream, const char *format, ...)
{
    if (stream == nullptr)
        return;
    va_list ap;
    va_start(ap, format);
    vfprintf(stream, format, ap);
    va_end(ap);
    fflush(stream);
}

// The absolute, resolved form of path (its last part need not exist).
static std::string resolved(const std::string &path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) != nullptr)
        return buf;
    std::string parent = durable_parent(path);
    size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (realpath(parent.c_str(), buf) != nullptr)
        return std::string(buf) + "/" + last;
    return path;
}

// Whether dir does not exist (0), is an empty directory (1), or neither
// (-1, errno set: ENOTEMPTY, ENOTDIR or why it cannot be read).
static int emptyOrMissing(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    std::vector<std::string> names;
    if (listDir(dir, &names) != 0)
        return -1;
    if (!names.empty()) {
        errno = ENOTEMPTY;
        return -1;
    }
    return 1;
}

// A descriptor of dir, opened before a copy into it, whose syncfs then
// flushes all that the copy wrote on that file system in one call (not a
// flush per file for ten thousand files) and reports (Linux 5.8 on) any
// write-back error of the file system since it was opened.
static int openForFlush(const std::string &dir)
{
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Flushes through a descriptor of openForFlush and closes it: 0, or -1.
static int flushAndClose(int fd)
{
    if (fd < 0)
        return -1;
    int r = syncfs(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

static std::string utcNow()
{
    char text[64];
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int storebackup_removeLeft(const char *base, studylock_file *locks, FILE *log)
{
    std::string snapshot = std::string(base) + "/" STOREBACKUP_SNAPSHOT;
    struct stat st;
    if (lstat(snapshot.c_str(), &st) != 0)
        return 0;
    studylock mine;
    std::string uidDir = std::string(base) + "/uid";
    // A backup that runs holds its byte: its snapshot stays.
    if (studylock_tryBackup(locks, &mine, uidDir.c_str(), log) != 0)
        return 0;
    if (removeTree(snapshot) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot remove %s (a backup cut short): %s\n",
                  snapshot.c_str(), strerror(errno));
        return -1;
    }
    durable_flushDir(base);
    logprintf(LOGLEVEL_NOTICE, log, "Removed %s (a backup cut short).\n", snapshot.c_str());
    return 1;
}

int storebackup_run(const char *base, const char *dest, studylock_file *locks,
                    const std::vector<std::string> &skip,
                    const std::vector<std::string> &withImages, FILE *out, FILE *err,
                    const storebackup_test *test)
{
    storebackup_test defaults;
    if (test == nullptr)
        test = &defaults;
    std::string baseDir = base, uidDir = baseDir + "/uid";
    std::string snapshot = baseDir + "/" STOREBACKUP_SNAPSHOT;
    std::string destDir = dest;
    while (destDir.size() > 1 && destDir.back() == '/')
        destDir.pop_back();
    struct stat st;
    if (stat(uidDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        say(err, "error: %s: no store here (no uid directory)\n", base);
        return STOREBACKUP_REFUSED;
    }
    std::string realBase = resolved(baseDir), realDest = resolved(destDir);
    if (realDest == realBase || startsWith(realDest, (realBase + "/").c_str())) {
        say(err, "error: %s: the backup must be outside the store\n", dest);
        return STOREBACKUP_REFUSED;
    }
    int destState = emptyOrMissing(destDir);
    if (destState < 0) {
        say(err, "error: %s: %s (the backup goes into a new or empty directory)\n", dest,
            strerror(errno));
        return STOREBACKUP_REFUSED;
    }

    // One backup at a time: its byte is held to the end, and tells a start
    // that the snapshot is in use.
    studylock mine;
    int r = studylock_tryBackup(locks, &mine, uidDir.c_str(), nullptr);
    if (r != 0) {
        say(err, "error: %s: %s\n", base,
            r > 0 ? "another backup is running" : "cannot open the study lock file");
        return STOREBACKUP_REFUSED;
    }
    if (removeTree(snapshot) != 0) {
        say(err, "error: cannot remove %s (a backup cut short): %s\n", snapshot.c_str(),
            strerror(errno));
        return STOREBACKUP_FAILED;
    }
    if (destState == 0 && mkdir(destDir.c_str(), 0700) != 0) {
        say(err, "error: cannot make %s: %s\n", dest, strerror(errno));
        return STOREBACKUP_REFUSED;
    }

    std::vector<std::string> others = skip;
    others.insert(others.end(), withImages.begin(), withImages.end());
    others.push_back(uidDir);
    others.push_back(snapshot);
    others.push_back(baseDir + "/" STOREBACKUP_RESTORING);
    copyState snap;
    snap.asRoot = geteuid() == 0;
    std::string began = utcNow();
    // File times are the file system's clock, which ticks (some ms) and
    // lags the real one by up to a tick: a change made up to a tick before
    // the first pass and again after it may keep its time. Such changes
    // count as recent.
    clock_gettime(CLOCK_REALTIME, &snap.since);
    long long margin = (long long)(test->recentSeconds * 1e9);
    long long sinceNs = (long long)snap.since.tv_sec * 1000000000LL + snap.since.tv_nsec - margin;
    snap.since.tv_sec = (time_t)(sinceNs / 1000000000LL);
    snap.since.tv_nsec = (long)(sinceNs % 1000000000LL);
    double firstFrom = monotonicSeconds(), waitFrom = 0, heldFrom = 0, heldUntil = 0;
    long firstFiles = 0;
    int failed = 0;
    struct stat baseSt, uidSt;
    std::vector<std::string> buckets;
    if (stat(base, &baseSt) != 0 || stat(uidDir.c_str(), &uidSt) != 0 ||
        makeDir(&snap, snapshot, baseSt) != 0 || makeDir(&snap, snapshot + "/uid", uidSt) != 0 ||
        listDir(uidDir, &buckets) != 0) {
        failed = 1;
    } else {
        // The first pass, beside the writers: the buckets and all below.
        for (const std::string &name : buckets) {
            std::string src = uidDir + "/" + name;
            struct stat st;
            if (lstat(src.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                takeEntry(&snap, src, snapshot + "/uid/" + name, name, st) != 0) {
                failed = 1;
                break;
            }
        }
        firstFiles = snap.files;
    }
    if (!failed && test->betweenPasses != nullptr)
        test->betweenPasses(test->arg);
    if (!failed) {
        studylock all;
        waitFrom = monotonicSeconds();
        if (studylock_acquireAll(locks, &all, uidDir.c_str(), nullptr, test->lockWaitSeconds) !=
            0) {
            fail(&snap,
                 errno == ETIMEDOUT ? std::string("a writer held its study's lock for longer than "
                                                  "the backup waits for it")
                                    : uidDir + "/" STUDYLOCK_FILE,
                 errno);
            failed = 1;
        } else {
            heldFrom = monotonicSeconds();
            failed = snapshotUid(&snap, uidDir, snapshot + "/uid") != 0;
            // The directories that go with the images (the forwarding
            // queue: a job for every image stored, and none for an image
            // not in the backup).
            for (const std::string &dir : withImages) {
                struct stat st;
                if (failed || lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                    continue;
                std::string to = snapshot + dir.substr(baseDir.size());
                failed = makeDir(&snap, to, st) != 0 || snapshotOther(&snap, dir, to, others) != 0;
            }
            studylock_release(&all);
            heldUntil = monotonicSeconds();
        }
    }
    // The link tree and the worklist: file by file, after the lock (each
    // file is written whole and renamed into place).
    if (!failed)
        failed = snapshotOther(&snap, baseDir, snapshot, others) != 0;
    if (failed) {
        say(err, "error: snapshot: %s\n", snap.failed.c_str());
        removeTree(snapshot);
        if (destState == 0)
            rmdir(destDir.c_str());
        return STOREBACKUP_FAILED;
    }
    say(out,
        "snapshot: %ld files taken in %.3f s beside the writers; the lock of every study "
        "had in %.3f s and held %.3f s (what writers waited), %ld files taken again under it\n",
        firstFiles, waitFrom - firstFrom, heldFrom - waitFrom, heldUntil - heldFrom,
        snap.files - firstFiles);

    copyState copy;
    copy.asRoot = snap.asRoot;
    copy.followUid = true;
    copy.root = snapshot;
    copy.origin = baseDir;
    int flushFd = openForFlush(destDir);
    int copied =
        flushFd < 0 ? fail(&copy, destDir, errno) : copyTree(&copy, snapshot, destDir, 0, false);
    if (flushFd >= 0 && flushAndClose(flushFd) != 0 && copied == 0)
        copied = fail(&copy, destDir, errno);
    if (copied == 0) {
        char text[1024];
        snprintf(text, sizeof text,
                 "velto backup\nsource %s\nbegan %s\nimages %ld\nfiles %ld\nbytes %llu\n",
                 realBase.c_str(), began.c_str(), copy.images, copy.files,
                 (unsigned long long)copy.bytes);
        durable_file marker;
        if (marker.create(destDir + "/" STOREBACKUP_MARKER, 0600,
                          destDir + "/" STOREBACKUP_MARKER ".tmp") != 0 ||
            marker.write(text, strlen(text)) != 0 || marker.commit() != 0)
            copied = fail(&copy, destDir + "/" STOREBACKUP_MARKER, errno);
    }
    // The snapshot goes in every case: the store is as it was.
    if (removeTree(snapshot) != 0)
        say(err, "warning: cannot remove %s: %s\n", snapshot.c_str(), strerror(errno));
    durable_flushDir(base);
    if (copied != 0) {
        say(err, "error: %s\n", copy.failed.c_str());
        // What was written goes again (a full target gets its room back);
        // without the marker it would be refused by a restore anyway.
        std::vector<std::string> names;
        if (listDir(destDir, &names) == 0)
            for (const std::string &name : names)
                removeTree(destDir + "/" + name);
        if (destState == 0)
            rmdir(destDir.c_str());
        say(err, "error: no backup in %s; the store is unchanged\n", dest);
        return STOREBACKUP_FAILED;
    }
    say(out, "copied: %ld images, %ld files, %llu bytes\n", copy.images, copy.files,
        (unsigned long long)copy.bytes);
    say(out, "backup: %s: complete (every image stored before %s)\n", dest, began.c_str());
    return STOREBACKUP_OK;
}

bool storebackup_restoring(const char *base)
{
    return access((std::string(base) + "/" STOREBACKUP_RESTORING).c_str(), F_OK) == 0;
}

int storebackup_restoreFiles(const char *backup, const char *base, FILE *out, FILE *err)
{
    std::string from = backup, to = base;
    while (to.size() > 1 && to.back() == '/')
        to.pop_back();
    if (access((from + "/" STOREBACKUP_MARKER).c_str(), R_OK) != 0) {
        say(err, "error: %s: no complete backup (no %s)\n", backup, STOREBACKUP_MARKER);
        return STOREBACKUP_REFUSED;
    }
    int state = emptyOrMissing(to);
    if (state < 0 && errno == ENOTEMPTY && storebackup_restoring(base)) {
        // A restore cut short: started over.
        std::vector<std::string> names;
        listDir(to, &names);
        for (const std::string &name : names)
            if (name != STOREBACKUP_RESTORING && removeTree(to + "/" + name) != 0) {
                say(err, "error: cannot remove %s/%s: %s\n", base, name.c_str(), strerror(errno));
                return STOREBACKUP_FAILED;
            }
        state = 1;
    } else if (state < 0) {
        say(err, "error: %s: %s (a restore goes into a new or empty directory)\n", base,
            strerror(errno));
        return STOREBACKUP_REFUSED;
    }
    if (state == 0 && mkdir(to.c_str(), 0755) != 0) {
        say(err, "error: cannot make %s: %s\n", base, strerror(errno));
        return STOREBACKUP_REFUSED;
    }
    // The marker first, flushed: a restore killed after it is known as one.
    durable_file marker;
    if (marker.create(to + "/" STOREBACKUP_RESTORING, 0644,
                      to + "/" STOREBACKUP_RESTORING ".tmp") != 0 ||
        marker.write(backup, strlen(backup)) != 0 || marker.write("\n", 1) != 0 ||
        marker.commit() != 0) {
        say(err, "error: cannot write %s/%s: %s\n", base, STOREBACKUP_RESTORING, strerror(errno));
        return STOREBACKUP_FAILED;
    }
    copyState copy;
    copy.asRoot = geteuid() == 0;
    copy.skipTop = STOREBACKUP_MARKER;
    struct stat st;
    // The base directory gets the owner of the backup's uid/ (the store's
    // own: the backup's top is whoever made DEST).
    if (copy.asRoot && stat((from + "/uid").c_str(), &st) == 0 &&
        chown(to.c_str(), st.st_uid, st.st_gid) != 0) {
        /* root's then */
    }
    int flushFd = openForFlush(to);
    int copied = flushFd < 0 ? -1 : copyTree(&copy, from, to, 0, false);
    if (flushFd >= 0 && flushAndClose(flushFd) != 0)
        copied = -1;
    if (copied != 0) {
        if (copy.failed.empty())
            fail(&copy, to, errno);
        say(err, "error: %s\nerror: the restore is not complete; run it again\n",
            copy.failed.c_str());
        return STOREBACKUP_FAILED;
    }
    say(out, "restored: %ld files, %llu bytes into %s\n", copy.files,
        (unsigned long long)copy.bytes, base);
    return STOREBACKUP_OK;
}

int storebackup_restored(const char *base)
{
    std::string marker = std::string(base) + "/" STOREBACKUP_RESTORING;
    if (unlink(marker.c_str()) != 0)
        return -1;
    return durable_flushDir(base);
}

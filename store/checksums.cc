// The per-series checksum records of the stored images (store/checksums.h).
#include "store/checksums.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/fullio.h"
#include "runtime/logprintf.h"

// Files are read in pieces of this size.
enum { READ_PIECE = 256 * 1024 };
// Bytes asked of the disk ahead of the piece being hashed.
enum { READ_AHEAD = 4 << 20 };

checksums_hasher::checksums_hasher() : ctx(EVP_MD_CTX_new())
{
    // Without a context no digest can be made: a programming error or an
    // exhausted process, neither of which a store can go on from.
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
        abort();
}

checksums_hasher::~checksums_hasher()
{
    EVP_MD_CTX_free(ctx);
}

void checksums_hasher::add(const void *bytes, size_t n)
{
    if (n == 0)
        return;
    EVP_DigestUpdate(ctx, bytes, n);
    count += n;
}

struct checksums_pipe::state {
    checksums_hasher *sum;
    size_t depth;
    std::mutex lock;
    std::condition_variable changed; // a buffer given or hashed, or the end
    std::deque<std::string> waiting; // given, not yet hashed, in order
    std::vector<std::string> spare;  // hashed: their room given back
    bool hashing = false;            // the thread holds a buffer
    bool ending = false;
    std::thread thread;
};

// The thread: hashes the waiting buffers in the order given. The hasher is
// touched outside the lock (the writer waits in drain before it uses it).
void checksums_pipe::run(state *s)
{
    std::unique_lock<std::mutex> g(s->lock);
    for (;;) {
        s->changed.wait(g, [s] { return !s->waiting.empty() || s->ending; });
        if (s->waiting.empty())
            return;
        std::string buf = std::move(s->waiting.front());
        s->waiting.pop_front();
        s->hashing = true;
        g.unlock();
        s->sum->add(buf.data(), buf.size());
        buf.clear();
        g.lock();
        s->hashing = false;
        if (s->spare.size() < s->depth)
            s->spare.push_back(std::move(buf));
        s->changed.notify_all();
    }
}

checksums_record checksums_hasher::finish()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_DigestFinal_ex(ctx, md, &mdLen) != 1 ||
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
        abort();
    static const char digits[] = "0123456789abcdef";
    checksums_record rec;
    rec.size = count;
    rec.sha256.reserve(2 * mdLen);
    for (unsigned i = 0; i < mdLen; i++) {
        rec.sha256 += digits[md[i] >> 4];
        rec.sha256 += digits[md[i] & 15];
    }
    count = 0;
    return rec;
}

void checksums_prepare()
{
    checksums_hasher h;
    h.add("", 1);
    h.finish();
}

std::string checksums_path(const std::string &seriesDir)
{
    return seriesDir + "/" CHECKSUMS_FILENAME;
}

bool checksums_splitImagePath(const std::string &imagePath, std::string *seriesDir,
                              std::string *instance)
{
    size_t slash = imagePath.rfind('/');
    std::string name = slash == std::string::npos ? imagePath : imagePath.substr(slash + 1);
    if (name.size() <= 10 || name.compare(0, 6, "image_") != 0 ||
        name.compare(name.size() - 4, 4, ".dcm") != 0)
        return false;
    *seriesDir = slash == std::string::npos ? "." : imagePath.substr(0, slash);
    *instance = name.substr(6, name.size() - 10);
    return true;
}

static bool isHex64(const char *s, size_t n)
{
    if (n != 64)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f')))
            return false;
    return true;
}

// One line (without its newline) into instance and rec: false when it is
// not three well-formed words.
static bool parseLine(const char *line, size_t n, std::string *instance, checksums_record *rec)
{
    const char *end = line + n;
    const char *sp1 = (const char *)memchr(line, ' ', n);
    if (sp1 == nullptr || sp1 == line)
        return false;
    const char *sp2 = (const char *)memchr(sp1 + 1, ' ', (size_t)(end - sp1 - 1));
    if (sp2 == nullptr || sp2 == sp1 + 1)
        return false;
    uint64_t size = 0;
    for (const char *p = sp1 + 1; p < sp2; p++) {
        if (*p < '0' || *p > '9' || size > UINT64_MAX / 10 - 1)
            return false;
        size = size * 10 + (uint64_t)(*p - '0');
    }
    if (!isHex64(sp2 + 1, (size_t)(end - sp2 - 1)))
        return false;
    instance->assign(line, (size_t)(sp1 - line));
    rec->size = size;
    rec->sha256.assign(sp2 + 1, 64);
    return true;
}

// The whole file at path into *text: 0 (a missing file is empty), or -1.
static int readWhole(const std::string &path, std::string *text)
{
    text->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0)
            break;
        text->append(buf, (size_t)n);
    }
    close(fd);
    return 0;
}

int checksums_read(const std::string &seriesDir, std::map<std::string, checksums_record> *out,
                   size_t *torn)
{
    out->clear();
    if (torn != nullptr)
        *torn = 0;
    std::string text;
    if (readWhole(checksums_path(seriesDir), &text) != 0)
        return -1;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        // A last line without its newline is what a crash in an append
        // leaves: not whole, so not believed.
        if (nl == std::string::npos) {
            if (torn != nullptr)
                (*torn)++;
            break;
        }
        std::string instance;
        checksums_record rec;
        const char *line = text.data() + at;
        size_t n = nl - at;
        if (n > 4 && memcmp(line + n - 4, " 0 -", 4) == 0 && memchr(line, ' ', n - 4) == nullptr)
            out->erase(std::string(line, n - 4)); // deleted
        else if (parseLine(line, n, &instance, &rec))
            (*out)[instance] = rec;
        else if (torn != nullptr && nl > at)
            (*torn)++;
        at = nl + 1;
    }
    return 0;
}

int checksums_lookup(const std::string &seriesDir, const std::string &instance,
                     checksums_record *rec)
{
    std::map<std::string, checksums_record> all;
    if (checksums_read(seriesDir, &all) != 0)
        return -1;
    auto it = all.find(instance);
    if (it == all.end())
        return 1;
    *rec = it->second;
    return 0;
}

int checksums_lookupImage(const std::string &imagePath, checksums_record *rec)
{
    std::string dir, instance;
    if (!checksums_splitImagePath(imagePath, &dir, &instance))
        return 1;
    return checksums_lookup(dir, instance, rec);
}

// Appends text (whole lines) to the file open at fd (O_APPEND): a torn last
// line (a crash in an earlier append) is ended first, so that text is read
// as lines of their own. 0, or -1 (errno set).
static int appendLine(int fd, std::string text)
{
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        text.insert(text.begin(), '\n');
    return fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size() ? 0 : -1;
}

int checksums_append(const std::string &seriesDir, const std::string &instance,
                     const checksums_record &rec, FILE *log, bool flushNow)
{
    std::string path = checksums_path(seriesDir);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    if (fd < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    char line[256];
    int len = snprintf(line, sizeof line, "%s %llu %s\n", instance.c_str(),
                       (unsigned long long)rec.size, rec.sha256.c_str());
    // A UID is at most 64 bytes: a longer line is the caller's error.
    if (len <= 0 || len >= (int)sizeof line)
        abort();
    int r = appendLine(fd, std::string(line, (size_t)len));
    if (r == 0 && flushNow)
        r = fdatasync(fd);
    int saved = errno;
    if (r != 0)
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", path.c_str(), strerror(saved));
    close(fd);
    errno = saved;
    return r;
}

int checksums_forget(const std::string &seriesDir, const std::string &instance)
{
    int fd = open(checksums_path(seriesDir).c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    int r = appendLine(fd, instance + " 0 -\n");
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

int checksums_computeFd(int fd, checksums_record *out)
{
    checksums_hasher h;
    std::vector<unsigned char> buf(READ_PIECE);
    off_t asked = 0;
    for (off_t off = 0;;) {
        // The disk reads the next pieces while this one is hashed: a file
        // not in the page cache is then read at the disk's rate, not at
        // the disk's and the hashing's one after the other.
        if (off + READ_AHEAD / 2 >= asked) {
            posix_fadvise(fd, asked, READ_AHEAD, POSIX_FADV_WILLNEED);
            asked += READ_AHEAD;
        }
        ssize_t n = fullio_pread(fd, buf.data(), buf.size(), off);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        h.add(buf.data(), (size_t)n);
        off += n;
    }
    *out = h.finish();
    return 0;
}

int checksums_computePath(const std::string &path, checksums_record *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r = checksums_computeFd(fd, out);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

int checksums_verifyFd(int fd, const checksums_record &rec, checksums_record *found)
{
    checksums_record got;
    // A file of the wrong size is damaged without reading it.
    struct stat st;
    if (fstat(fd, &st) != 0)
        return CHECKSUMS_UNREAD;
    if ((uint64_t)st.st_size != rec.size) {
        if (found != nullptr) {
            found->size = (uint64_t)st.st_size;
            found->sha256.clear();
        }
        return CHECKSUMS_DAMAGED;
    }
    if (checksums_computeFd(fd, &got) != 0)
        return CHECKSUMS_UNREAD;
    if (found != nullptr)
        *found = got;
    return got.size == rec.size && got.sha256 == rec.sha256 ? CHECKSUMS_GOOD : CHECKSUMS_DAMAGED;
}

int checksums_verifyPath(const std::string &path, const checksums_record &rec,
                         checksums_record *found)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return CHECKSUMS_UNREAD;
    int r = checksums_verifyFd(fd, rec, found);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

// fsync of the directory dir: 0 or -1.
static int syncDir(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r = fsync(fd);
    close(fd);
    return r;
}

int checksums_compact(const std::string &seriesDir, const std::set<std::string> &keep, FILE *log,
                      size_t *dropped)
{
    std::map<std::string, checksums_record> all;
    size_t torn = 0;
    if (dropped != nullptr)
        *dropped = 0;
    std::string path = checksums_path(seriesDir);
    if (checksums_read(seriesDir, &all, &torn) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot read %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    std::string text, current;
    size_t gone = 0;
    for (const auto &e : all) {
        if (keep.count(e.first) == 0) {
            gone++;
            continue;
        }
        char line[256];
        snprintf(line, sizeof line, "%s %llu %s\n", e.first.c_str(),
                 (unsigned long long)e.second.size, e.second.sha256.c_str());
        text += line;
    }
    // Rewritten also when lines are repeated or torn: the file then holds
    // one line per image.
    if (readWhole(path, &current) != 0)
        return -1;
    if (gone == 0 && torn == 0 && current.size() == text.size())
        return 0;
    if (dropped != nullptr)
        *dropped = gone;
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    int r = fd >= 0 && fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size() &&
                    fdatasync(fd) == 0
                ? 0
                : -1;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    // A crash before the rename leaves the old file and a temporary one
    // (the next compaction replaces it); after it, the new file whole.
    if (r == 0 && (rename(tmp.c_str(), path.c_str()) != 0 || syncDir(seriesDir) != 0)) {
        saved = errno;
        r = -1;
    }
    if (r != 0) {
        unlink(tmp.c_str());
        logprintf(LOGLEVEL_ERROR, log, "Cannot rewrite %s: %s\n", path.c_str(), strerror(saved));
        return -1;
    }
    return 1;
}

checksums_pipe::checksums_pipe(checksums_hasher *sum, size_t depth) : s(new state)
{
    s->sum = sum;
    s->depth = depth > 0 ? depth : 1;
    s->thread = std::thread(run, s);
}

checksums_pipe::~checksums_pipe()
{
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->ending = true;
    }
    s->changed.notify_all();
    // The thread hashes what waits before it ends (run).
    s->thread.join();
    delete s;
}

void checksums_pipe::give(std::string *buf)
{
    std::unique_lock<std::mutex> g(s->lock);
    s->changed.wait(g, [this] { return s->waiting.size() < s->depth; });
    s->waiting.push_back(std::move(*buf));
    buf->clear();
    if (!s->spare.empty()) {
        buf->swap(s->spare.back());
        s->spare.pop_back();
    }
    s->changed.notify_all();
}

void checksums_pipe::drain()
{
    std::unique_lock<std::mutex> g(s->lock);
    s->changed.wait(g, [this] { return s->waiting.empty() && !s->hashing; });
}

// Intent files of deletes: written and locked before a delete's first step,
// removed after its last, finished by the next process to start on the
// store when their writer died in between.
#include "store/deleteintent.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"

// Longest intent line: three UIDs of at most 64 bytes, two tabs, a newline.
enum { INTENT_MAX = 3 * 64 + 3 };

// Attempts at a name of our own before giving up.
enum { INTENT_ATTEMPTS = 16 };

int deleteintent_isIntent(const char *name)
{
    return strncmp(name, DELETEINTENT_PREFIX, strlen(DELETEINTENT_PREFIX)) == 0;
}

// One attempt at the intent file path: its descriptor, written and
// locked; -1 failed (errno set, logged unless ENOENT); -2 try another name.
static int writeIntent(const std::string &path, const std::string &line, FILE *log)
{
    struct stat st;
    // O_EXCL: a name left by a dead process of the same pid is not ours to
    // reuse (its delete is still to be finished).
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    if (fd < 0) {
        if (errno == EEXIST)
            return -2;
        if (errno != ENOENT)
            logprintf(LOGLEVEL_ERROR, log, "Cannot create %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    // A process starting on the store may open the new, still empty file
    // before the lock is taken; it then removes it as torn, which the link
    // count shows after our write: the intent is written anew. A crash in
    // the write leaves a torn line, which is dropped: the delete had not
    // begun.
    if (flock(fd, LOCK_EX) != 0 ||
        fullio_write(fd, line.data(), line.size()) != (ssize_t)line.size() || fstat(fd, &st) != 0) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", path.c_str(), strerror(saved));
        unlink(path.c_str());
        close(fd);
        errno = saved;
        fd = -1;
    } else if (st.st_nlink == 0) {
        close(fd);
        fd = -2;
    }
    return fd;
}

int deleteintent_begin(const char *uidDir, const char *study, const char *series, const char *image,
                       deleteintent *intent, FILE *log)
{
    std::string line =
        std::string(study) + "\t" + (series ? series : "") + "\t" + (image ? image : "") + "\n";
    int fd = -2;
    for (int n = 0; n < INTENT_ATTEMPTS && fd == -2; n++) {
        intent->path = std::string(uidDir) + "/" DELETEINTENT_PREFIX +
                       std::to_string(process_pid()) + "." + std::to_string(n);
        fd = writeIntent(intent->path, line, log);
    }
    if (fd == -2) {
        logprintf(LOGLEVEL_ERROR, log, "No free intent file name in %s.\n", uidDir);
        errno = EEXIST;
    }
    intent->fd = fd < 0 ? -1 : fd;
    if (fd < 0)
        intent->path.clear();
    return fd < 0 ? -1 : 0;
}

void deleteintent_end(deleteintent *intent, FILE *log)
{
    if (intent->fd < 0)
        return;
    // Removed while still locked: a process that gets the lock afterwards
    // sees a link count of 0 and leaves the finished delete alone.
    if (unlink(intent->path.c_str()) != 0)
        logprintf(LOGLEVEL_ERROR, log, "Cannot remove %s: %s\n", intent->path.c_str(),
                  strerror(errno));
    close(intent->fd);
    intent->fd = -1;
    intent->path.clear();
}

// Splits a complete intent line into its three fields: 1 complete, 0 torn
// or malformed.
static int parseIntent(char *text, size_t len, char *field[3])
{
    if (len == 0 || text[len - 1] != '\n')
        return 0;
    text[len - 1] = '\0';
    field[0] = text;
    for (int k = 1; k < 3; k++) {
        char *tab = strchr(field[k - 1], '\t');
        if (tab == nullptr)
            return 0;
        *tab = '\0';
        field[k] = tab + 1;
    }
    return strchr(field[2], '\t') == nullptr && field[0][0] != '\0';
}

// Finishes the delete of one intent file, unless a live process holds it
// or has finished it: 1 finished, 0 not.
static int finishOne(const std::string &path, deleteintent_finisher finish, void *arg, FILE *log)
{
    int done = 0;
    struct stat st;
    char text[INTENT_MAX + 2];
    char *field[3];
    ssize_t len;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0 || st.st_nlink == 0)
        goto out;
    len = fullio_read(fd, text, sizeof text - 1);
    if (len >= 0 && (size_t)len < sizeof text - 1 && parseIntent(text, (size_t)len, field)) {
        logprintf(LOGLEVEL_NOTICE, log, "Finishing an interrupted delete (%s).\n", path.c_str());
        finish(arg, field[0], field[1][0] ? field[1] : nullptr, field[2][0] ? field[2] : nullptr);
        done = 1;
    } else {
        logprintf(LOGLEVEL_NOTICE, log, "Dropping %s: its delete had not begun.\n", path.c_str());
    }
    // Only now: a crash during the finish leaves the intent for the next start.
    if (unlink(path.c_str()) != 0)
        logprintf(LOGLEVEL_ERROR, log, "Cannot remove %s: %s\n", path.c_str(), strerror(errno));
out:
    close(fd);
    return done;
}

int deleteintent_finishAll(const char *uidDir, deleteintent_finisher finish, void *arg, FILE *log)
{
    std::vector<std::string> paths;
    DIR *d = opendir(uidDir);
    if (d == nullptr) {
        if (errno == ENOENT)
            return 0;
        logprintf(LOGLEVEL_ERROR, log, "Cannot list %s: %s\n", uidDir, strerror(errno));
        return -1;
    }
    while (struct dirent *de = readdir(d))
        if (deleteintent_isIntent(de->d_name))
            paths.push_back(std::string(uidDir) + "/" + de->d_name);
    closedir(d);
    int count = 0;
    for (const std::string &path : paths)
        count += finishOne(path, finish, arg, log);
    return count;
}

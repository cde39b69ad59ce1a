// The AE title map: a singly linked list of known peers, and its file of
// tab-separated lines read and rewritten under whole-file fcntl locks.
#include "aetitlemap/aetitlemap.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"
#include "runtime/vlcompat.h"

// Flag bits in the order their letters are written.
static const struct {
    int bit;
    char letter;
} kFlagLetters[] = {
    {AETITLEMAP_FLAG_F, 'F'}, {AETITLEMAP_FLAG_M, 'M'}, {AETITLEMAP_FLAG_S, 'S'},
    {AETITLEMAP_FLAG_G, 'G'}, {AETITLEMAP_FLAG_U, 'U'}, {AETITLEMAP_FLAG_E, 'E'},
    {AETITLEMAP_FLAG_D, 'D'}, {AETITLEMAP_FLAG_P, 'P'}, {AETITLEMAP_FLAG_T, 'T'},
};

// Chunk in which the file is read when loading.
static const size_t kReadChunk = 4096;

static void aetitlemap_free_entry(AETitleMapEntry *e)
{
    free(e->name);
    free(e->aetitle);
    free(e->address);
    free(e->remark);
    free(e);
}

// Waits for a whole-file lock; a signal caught while waiting does not give
// up the lock request.
static int aetitlemap_lock(int fd, int type)
{
    int r;
    do {
        r = VLCompat_LockWholeFile(fd, type);
    } while (r != 0 && errno == EINTR);
    return r;
}

// Builds the file line of one peer (line feed included) into buf. Returns
// its length, -1 if it would not read back (a field longer than a reader's
// field buffer, or the line longer than a line), -2 if memory ran out.
static int aetitlemap_format_line(const char *name, const char *aetitle, const char *address,
                                  int flags, const char *remark, char *buf, size_t size)
{
    const char *fields[4] = {name, aetitle, address, remark};
    char *escaped[4] = {nullptr, nullptr, nullptr, nullptr};
    int result = -2;
    int n;
    char letterBuf[AETITLEMAP_FLAGLETTERS];
    const char *letters;

    for (int i = 0; i < 4; i++) {
        if (fields[i] == nullptr)
            continue;
        if (strlen(fields[i]) >= AETITLEMAP_FIELDSIZE) {
            result = -1;
            goto out;
        }
        if (parse_string_makeescaped(fields[i], &escaped[i], 0) != 0)
            goto out;
    }

    // A peer without flag letters gets an empty quoted field, so that the
    // remark behind it is not read as its flags.
    letters = AETitleMap_flagstochars(flags, letterBuf);
    if (letters[0] == '\0')
        letters = "\"\"";
    n = snprintf(buf, size, "%s\t%s\t%s\t%s%s%s\n", escaped[0], escaped[1], escaped[2], letters,
                 escaped[3] != nullptr ? "\t" : "", escaped[3] != nullptr ? escaped[3] : "");
    // A line of AETITLEMAP_LINESIZE - 1 characters and more is split in two
    // by the reader.
    if (n < 0 || (size_t)n >= size || n > AETITLEMAP_LINESIZE - 1) {
        result = -1;
        goto out;
    }
    result = n;

out:
    for (int i = 3; i >= 0; i--)
        free(escaped[i]);
    return result;
}

void AETitleMap_Create(AETitleMap *map)
{
    *map = nullptr;
}

void AETitleMap_Destroy(AETitleMap *map)
{
    while (*map != nullptr) {
        AETitleMapEntry *e = *map;
        *map = e->next;
        aetitlemap_free_entry(e);
    }
}

int AETitleMap_Add(AETitleMap *map, const char *name, const char *aetitle, const char *address,
                   int flags, const char *remark)
{
    if (name == nullptr || aetitle == nullptr || address == nullptr)
        abort();
    if (remark != nullptr && remark[0] == '\0')
        remark = nullptr;

    AETitleMapEntry **tail = map;
    for (; *tail != nullptr; tail = &(*tail)->next)
        if (strcmp((*tail)->name, name) == 0)
            return -2;

    // Only peers that the file can hold enter the map, so every entry saved
    // loads back as it was.
    char line[AETITLEMAP_LINESIZE + 1];
    int n = aetitlemap_format_line(name, aetitle, address, flags, remark, line, sizeof line);
    if (n == -2)
        return -1;
    if (n < 0)
        return -3;

    AETitleMapEntry *e = (AETitleMapEntry *)calloc(1, sizeof *e);
    if (e == nullptr)
        return -1;
    e->name = strdup(name);
    e->aetitle = strdup(aetitle);
    e->address = strdup(address);
    e->remark = remark != nullptr ? strdup(remark) : nullptr;
    e->flags = flags;
    if (e->name == nullptr || e->aetitle == nullptr || e->address == nullptr ||
        (remark != nullptr && e->remark == nullptr)) {
        aetitlemap_free_entry(e);
        return -1;
    }
    *tail = e;
    return 0;
}

int AETitleMap_Del(AETitleMap *map, AETitleMapEntry *entry)
{
    for (AETitleMapEntry **link = map; *link != nullptr; link = &(*link)->next) {
        if (*link == entry) {
            *link = entry->next;
            aetitlemap_free_entry(entry);
            return 0;
        }
    }
    return -1;
}

AETitleMapEntry *AETitleMap_FindByAET(AETitleMap *map, const char *aetitle)
{
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next)
        if (strcmp(e->aetitle, aetitle) == 0)
            return e;
    return nullptr;
}

int AETitleMap_IsLearnt(const AETitleMapEntry *entry)
{
    return entry->remark != nullptr && strcmp(entry->remark, AETITLEMAP_REMARK_LEARNT) == 0;
}

AETitleMapEntry *AETitleMap_FindSiteByAET(AETitleMap *map, const char *aetitle)
{
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next)
        if (strcmp(e->aetitle, aetitle) == 0 && !AETitleMap_IsLearnt(e))
            return e;
    return nullptr;
}

AETitleMapEntry *AETitleMap_FindByName(AETitleMap *map, const char *name)
{
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next)
        if (strcmp(e->name, name) == 0)
            return e;
    return nullptr;
}

AETitleMapEntry *AETitleMap_FindByNum(AETitleMap *map, int n)
{
    if (n < 0)
        return nullptr;
    AETitleMapEntry *e = *map;
    for (; e != nullptr && n > 0; n--)
        e = e->next;
    return e;
}

static_assert(sizeof kFlagLetters / sizeof kFlagLetters[0] < AETITLEMAP_FLAGLETTERS,
              "every letter and the terminator fit");

const char *AETitleMap_flagstochars(int flags, char letters[AETITLEMAP_FLAGLETTERS])
{
    size_t n = 0;
    for (const auto &f : kFlagLetters)
        if (flags & f.bit)
            letters[n++] = f.letter;
    letters[n] = '\0';
    return letters;
}

int AETitleMap_charstoflags(const char *letters)
{
    int flags = 0;
    for (const unsigned char *p = (const unsigned char *)letters; *p; p++) {
        int c = toupper(*p);
        for (const auto &f : kFlagLetters)
            if (c == f.letter)
                flags |= f.bit;
    }
    return flags;
}

int AETitleMap_Open(const char *path, int flags, mode_t mode)
{
    if (path != nullptr)
        return open(path, flags, mode);

    int amode = F_OK;
    switch (flags & O_ACCMODE) {
    case O_RDONLY:
        amode = R_OK;
        break;
    case O_WRONLY:
        amode = W_OK;
        break;
    case O_RDWR:
        amode = R_OK | W_OK;
        break;
    }
    char found[1024];
    if (getfilepath(CONFIG_SEARCHPATH, AETITLEMAP_FILENAME, amode, found, sizeof found) == nullptr)
        return -1;
    // A search never creates the file, even if it vanishes after the test.
    return open(found, flags & ~(O_CREAT | O_EXCL), mode);
}

// Parses one line and adds its peer; malformed lines are dropped silently.
static void aetitlemap_load_line(AETitleMap *map, const char *line)
{
    char name[AETITLEMAP_FIELDSIZE], aetitle[AETITLEMAP_FIELDSIZE];
    char address[AETITLEMAP_FIELDSIZE], letters[AETITLEMAP_FIELDSIZE];
    char remark[AETITLEMAP_FIELDSIZE];
    const char *cursor = line;
    if (parse_getstring(&cursor, name, sizeof name, 0) != 0 ||
        parse_getstring(&cursor, aetitle, sizeof aetitle, 0) != 0 ||
        parse_getstring(&cursor, address, sizeof address, 0) != 0 ||
        parse_getstring(&cursor, letters, sizeof letters, 0) != 0)
        return;
    if (parse_getstring(&cursor, remark, sizeof remark, 0) != 0)
        remark[0] = '\0';
    // A second line with a name already present is dropped: the first wins.
    AETitleMap_Add(map, name, aetitle, address, AETitleMap_charstoflags(letters), remark);
}

int AETitleMap_Load_fd(AETitleMap *map, int fd)
{
    if (fd == -1)
        return 1;
    // Reading without the lock could see a half-written table.
    if (aetitlemap_lock(fd, F_RDLCK) != 0)
        return 1;

    char chunk[kReadChunk];
    char line[AETITLEMAP_LINESIZE];
    size_t len = 0;
    off_t off = 0;
    for (;;) {
        ssize_t got = fullio_pread(fd, chunk, sizeof chunk, off);
        if (got <= 0)
            break;
        off += got;
        for (ssize_t i = 0; i < got; i++) {
            char c = chunk[i];
            if (c != '\r' && c != '\n')
                line[len++] = c;
            // A line ends at CR or LF, or when the buffer is full; the bytes after
            // a full buffer form the next line.
            if (c == '\r' || c == '\n' || len == sizeof line - 1) {
                line[len] = '\0';
                if (len > 0)
                    aetitlemap_load_line(map, line);
                len = 0;
            }
        }
        if ((size_t)got < sizeof chunk)
            break;
    }
    if (len > 0) {
        line[len] = '\0';
        aetitlemap_load_line(map, line);
    }

    aetitlemap_lock(fd, F_UNLCK);
    return 0;
}

// Writes one line per entry to fd from offset 0: 0, or -1 (the entries not
// written stay in memory for the next save).
static int aetitlemap_write_lines(AETitleMap *map, int fd)
{
    off_t written = 0;
    char line[AETITLEMAP_LINESIZE + 1];
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next) {
        int n = aetitlemap_format_line(e->name, e->aetitle, e->address, e->flags, e->remark, line,
                                       sizeof line);
        // Entries are checked on adding, so only memory can run out here.
        if (n < 0 || fullio_pwrite(fd, line, (size_t)n, written) != n)
            return -1;
        written += n;
    }
    return 0;
}

// Replaces the map file at path by a new one: written completely under a
// temporary name beside it, flushed, renamed over the old name, and the
// directory flushed. A crash at any step leaves the old file or the new one
// whole (and perhaps the temporary file). The exclusive lock on the old file
// keeps two savers apart; readers hold a shared lock while they read, so a
// save waits for them, and a reader that opened the old file reads it whole.
static int aetitlemap_replace(AETitleMap *map, const char *path)
{
    int result = -1;
    struct stat st;
    // Closing the descriptor ends the lock: fd goes last, after the rename
    // or the removal of the temporary file.
    durable_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    durable_file tmp;

    if (!fd.valid() || aetitlemap_lock(fd.get(), F_WRLCK) != 0 || fstat(fd.get(), &st) != 0)
        return -1;
    // The new file keeps the old one's permissions.
    if (tmp.create(path, 0600) == 0 && fchmod(tmp.fd(), st.st_mode & 07777) == 0 &&
        aetitlemap_write_lines(map, tmp.fd()) == 0 && tmp.commit() == 0)
        result = 0;
    return result;
}

int AETitleMap_Save_fd(AETitleMap *map, int fd)
{
    if (fd == -1)
        return -1;
    // The file is replaced, not rewritten: the descriptor only names it.
    // After an earlier save the descriptor's file is the replaced one, whose
    // link reads "NAME (deleted)"; NAME is still the map's name.
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0 || path[0] != '/')
        return -1;
    path[n] = '\0';
    static const char deleted[] = " (deleted)";
    size_t len = (size_t)n, dl = sizeof deleted - 1;
    if (len > dl && strcmp(path + len - dl, deleted) == 0)
        path[len - dl] = '\0';
    return aetitlemap_replace(map, path);
}

int AETitleMap_Load(AETitleMap *map, const char *path)
{
    int fd = AETitleMap_Open(path, O_RDONLY, 0);
    if (fd == -1)
        return 1;
    int result = AETitleMap_Load_fd(map, fd);
    close(fd);
    return result;
}

int AETitleMap_LoadSite(AETitleMap *map, int *keptFd)
{
    AETitleMap_Create(map);
    if (keptFd != nullptr) {
        *keptFd = AETitleMap_Open(nullptr, O_RDWR | O_CREAT, 0666);
        if (*keptFd != -1)
            return AETitleMap_Load_fd(map, *keptFd);
    }
    return AETitleMap_Load(map, nullptr);
}

int AETitleMap_Save(AETitleMap *map, const char *path)
{
    if (path != nullptr)
        return aetitlemap_replace(map, path);
    // Save to the file that a load would read, not to some later writable
    // copy that the first one would shadow.
    char found[1024];
    if (getfilepath(CONFIG_SEARCHPATH, AETITLEMAP_FILENAME, R_OK, found, sizeof found) == nullptr)
        return -1;
    return aetitlemap_replace(map, found);
}

void AETitleMap_LogTable(AETitleMap *map, unsigned level, FILE *stream)
{
    char letters[AETITLEMAP_FLAGLETTERS];
    logprintf(level, stream, "AE-Title map table:\n");
    for (AETitleMapEntry *e = *map; e != nullptr; e = e->next)
        logprintf(level, stream, "%-10s %-10s %-20s (%s) %s\n", e->name, e->aetitle, e->address,
                  AETitleMap_flagstochars(e->flags, letters),
                  e->remark != nullptr ? e->remark : "");
}

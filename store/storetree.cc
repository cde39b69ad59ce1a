// Scan of the store's UID tree and whole reads of index files.
#include "store/storetree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "runtime/fullio.h"
#include "store/deleteintent.h"
#include "store/journal.h"

std::string storetree_field(const char *field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

int storetree_allZero(const void *p, size_t len)
{
    const unsigned char *b = (const unsigned char *)p;
    for (size_t i = 0; i < len; i++)
        if (b[i] != 0)
            return 0;
    return 1;
}

int storetree_isTmp(const char *name)
{
    size_t n = strlen(name);
    return n >= 4 && strcmp(name + n - 4, ".tmp") == 0;
}

static int startsWith(const char *name, const char *prefix)
{
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

static int isHexByte(const char *name)
{
    return strlen(name) == 2 && strchr("0123456789ABCDEF", name[0]) != nullptr &&
           strchr("0123456789ABCDEF", name[1]) != nullptr;
}

// One entry of a directory: its name and whether it is a directory (links
// are followed, as the store's paths are).
struct entry {
    std::string name;
    bool isDir;
};

// Lists dir sorted by name, without "." and "..". Returns 0, or -1 if the
// directory cannot be opened.
static int listDir(const std::string &dir, std::vector<entry> *out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    out->clear();
    struct dirent *de;
    while ((de = readdir(d)) != nullptr) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        struct stat st;
        std::string path = dir + "/" + de->d_name;
        bool isDir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out->push_back(entry{de->d_name, isDir});
    }
    closedir(d);
    std::sort(out->begin(), out->end(),
              [](const entry &a, const entry &b) { return a.name < b.name; });
    return 0;
}

static void scanSeries(storetree *tree, storetree_series *series)
{
    std::vector<entry> entries;
    if (listDir(series->dir, &entries) != 0) {
        tree->unreadable.push_back(series->dir);
        return;
    }
    for (const entry &e : entries) {
        const char *name = e.name.c_str();
        if (e.isDir)
            continue;
        if (storetree_isTmp(name))
            series->stale.push_back(series->dir + "/" + e.name);
        else if (e.name == "IMAGEINDEX.dat")
            series->hasIndex = true;
        else if (startsWith(name, "image_") && e.name.size() > 10 &&
                 e.name.compare(e.name.size() - 4, 4, ".dcm") == 0)
            series->images.push_back(e.name.substr(6, e.name.size() - 10));
        else if (startsWith(name, "image_") && e.name.size() > 15 &&
                 e.name.compare(e.name.size() - 9, 9, ".dcm.tier") == 0)
            series->tiered.push_back(e.name.substr(6, e.name.size() - 15));
        else if (startsWith(name, "image_") && e.name.size() > 15 &&
                 e.name.compare(e.name.size() - 9, 9, ".dcm.head") == 0)
            series->headed.push_back(e.name.substr(6, e.name.size() - 15));
        else if (startsWith(name, "image_") && e.name.size() > 22 &&
                 e.name.compare(e.name.size() - 16, 16, ".dcm.compressing") == 0)
            series->compressing.push_back(series->dir + "/" + e.name);
    }
}

static void scanStudy(storetree *tree, storetree_study *study)
{
    std::vector<entry> entries;
    if (listDir(study->dir, &entries) != 0) {
        tree->unreadable.push_back(study->dir);
        return;
    }
    for (const entry &e : entries) {
        const char *name = e.name.c_str();
        if (e.isDir && startsWith(name, "series_")) {
            storetree_series series;
            series.uid = e.name.substr(7);
            series.dir = study->dir + "/" + e.name;
            scanSeries(tree, &series);
            study->series.push_back(std::move(series));
        } else if (!e.isDir && storetree_isTmp(name)) {
            study->stale.push_back(study->dir + "/" + e.name);
        } else if (!e.isDir && e.name == "SERIESINDEX.dat") {
            study->hasIndex = true;
        }
    }
}

static void scanBucket(storetree *tree, const std::string &bucketDir, const std::string &bucket)
{
    std::vector<entry> entries;
    if (listDir(bucketDir, &entries) != 0) {
        tree->unreadable.push_back(bucketDir);
        return;
    }
    for (const entry &e : entries) {
        const char *name = e.name.c_str();
        std::string path = bucketDir + "/" + e.name;
        if (e.isDir && startsWith(name, "study_")) {
            storetree_study study;
            study.uid = e.name.substr(6);
            study.dir = path;
            study.bucket = bucket;
            scanStudy(tree, &study);
            tree->studies.push_back(std::move(study));
        } else if (!e.isDir && e.name == "DELETEME") {
            tree->deleteme.push_back(path);
        } else if (!e.isDir && storetree_isTmp(name)) {
            tree->stale.push_back(path);
        }
    }
}

int storetree_scan(const char *base, storetree *tree)
{
    tree->base = base;
    tree->uidDir = std::string(base) + "/uid";
    tree->exists = false;
    tree->rebuildMarker = false;
    tree->studies.clear();
    tree->stale.clear();
    tree->deleteme.clear();
    tree->intents.clear();
    tree->journals.clear();
    tree->unreadable.clear();

    struct stat st;
    if (stat(base, &st) != 0 || !S_ISDIR(st.st_mode) || access(base, R_OK | X_OK) != 0)
        return -1;
    std::vector<entry> top;
    if (listDir(tree->uidDir, &top) != 0) {
        if (errno == ENOENT)
            return 0;
        tree->exists = true;
        tree->unreadable.push_back(tree->uidDir);
        return 0;
    }
    tree->exists = true;
    for (const entry &first : top) {
        std::string path = tree->uidDir + "/" + first.name;
        if (!first.isDir) {
            if (first.name == STORETREE_REBUILD_MARKER)
                tree->rebuildMarker = true;
            else if (deleteintent_isIntent(first.name.c_str()))
                tree->intents.push_back(path);
            else if (journal_isJournal(first.name.c_str()))
                tree->journals.push_back(path);
            else if (storetree_isTmp(first.name.c_str()))
                tree->stale.push_back(path);
            continue;
        }
        if (!isHexByte(first.name.c_str()))
            continue;
        std::vector<entry> second;
        if (listDir(path, &second) != 0) {
            tree->unreadable.push_back(path);
            continue;
        }
        for (const entry &e : second) {
            std::string bucketDir = path + "/" + e.name;
            if (e.isDir && isHexByte(e.name.c_str()))
                scanBucket(tree, bucketDir, first.name + "/" + e.name);
            else if (!e.isDir && storetree_isTmp(e.name.c_str()))
                tree->stale.push_back(bucketDir);
        }
    }
    return 0;
}

int storetree_readFile(const std::string &path, std::vector<unsigned char> *bytes)
{
    int result = -1;
    int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    ssize_t n;
    bytes->clear();
    if (fd < 0) {
        result = errno == ENOENT ? 0 : -1;
        goto out;
    }
    if (fstat(fd, &st) != 0)
        goto out;
    bytes->resize((size_t)st.st_size);
    n = fullio_read(fd, bytes->data(), bytes->size());
    if (n < 0)
        goto out;
    // The file may have shrunk since fstat; what was read is what it holds.
    bytes->resize((size_t)n);
    result = 1;
out:
    if (fd >= 0)
        close(fd);
    return result;
}

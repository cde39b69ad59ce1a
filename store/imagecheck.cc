// The walk of a stored image file's elements (store/imagecheck.h): the
// meta header by the index layer's reader, then the data set by the
// element walk (dicomnet/elementwalk.h), fed a window of the file at a time;
// values it has no use for are passed over unread.
#include "store/imagecheck.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "dicomnet/elementwalk.h"

#include "index/retrievelist.h"
#include "runtime/fullio.h"

enum { WINDOW = 65536 }; // bytes read at a time

// Walks the data set that starts at offset start of the file (size bytes)
// to its end, in the encoding of xfer, within limits (null: the walk's
// own).
static int walkFrom(int fd, off_t size, off_t start, const std::string &xfer,
                    const imagecheck_limits *limits, std::vector<unsigned char> &buf,
                    std::string *sopClass, std::string *instance)
{
    elementwalk w;
    elementwalk_init(&w, xfer == "1.2.840.10008.1.2", xfer == "1.2.840.10008.1.2.2",
                     (uint64_t)(size - start));
    if (limits != nullptr) {
        w.maxDepth = limits->maxDepth;
        w.maxItems = limits->maxItems;
        w.maxElements = limits->maxElements;
    }
    off_t off = start;
    int r = ELEMENTWALK_MORE;
    while (r == ELEMENTWALK_MORE && off < size) {
        uint64_t skip = elementwalk_skippable(&w);
        if (skip > WINDOW) {
            // A value of no use: passed over unread (beyond the file's end
            // it is found cut at the end).
            uint64_t left = (uint64_t)(size - off);
            skip = skip < left ? skip : left;
            elementwalk_pass(&w, skip);
            off += (off_t)skip;
            continue;
        }
        ssize_t got = fullio_pread(fd, buf.data(), buf.size(), off);
        if (got < 0)
            return IMAGECHECK_UNREAD;
        if (got == 0)
            break; // the file was cut meanwhile
        r = elementwalk_feed(&w, buf.data(), (size_t)got);
        off += got;
    }
    r = elementwalk_finish(&w);
    if (r == ELEMENTWALK_FOREIGN)
        return IMAGECHECK_FOREIGN;
    if (r != ELEMENTWALK_MORE)
        return IMAGECHECK_DAMAGED;
    *sopClass = w.sopClass;
    *instance = w.instance;
    return IMAGECHECK_WHOLE;
}

// imagecheck_walk within limits (null: the walk's own).
static int walkFile(int fd, const imagecheck_limits *limits, std::string *sopClass,
                    std::string *instance)
{
    sopClass->clear();
    instance->clear();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IMAGECHECK_UNREAD;
    std::vector<unsigned char> buf(WINDOW);
    ssize_t got = fullio_pread(fd, buf.data(), buf.size(), 0);
    if (got < 0)
        return IMAGECHECK_UNREAD;
    if (got == 0)
        return IMAGECHECK_DAMAGED;
    std::string metaClass, xfer;
    size_t datasetStart = 0;
    if (retrievelist_parseMeta(buf.data(), (size_t)got, &metaClass, &xfer, &datasetStart) != 1)
        return IMAGECHECK_FOREIGN;
    if (datasetStart == 0)
        // Nothing after the header, or a header longer than the window.
        return got == st.st_size ? IMAGECHECK_DAMAGED : IMAGECHECK_FOREIGN;
    if (xfer == "1.2.840.10008.1.2.1.99")
        return IMAGECHECK_FOREIGN;
    return walkFrom(fd, st.st_size, (off_t)datasetStart, xfer, limits, buf, sopClass, instance);
}

int imagecheck_walk(int fd, std::string *sopClass, std::string *instance)
{
    return walkFile(fd, nullptr, sopClass, instance);
}

int imagecheck_walkWithin(int fd, const imagecheck_limits &limits, std::string *sopClass,
                          std::string *instance)
{
    return walkFile(fd, &limits, sopClass, instance);
}

int imagecheck_walkDataset(int fd, off_t start, const std::string &xfer,
                           const imagecheck_limits &limits, std::string *sopClass,
                           std::string *instance)
{
    sopClass->clear();
    instance->clear();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IMAGECHECK_UNREAD;
    if (xfer == "1.2.840.10008.1.2.1.99")
        return IMAGECHECK_FOREIGN;
    std::vector<unsigned char> buf(WINDOW);
    return walkFrom(fd, st.st_size, start, xfer, &limits, buf, sopClass, instance);
}

int imagecheck_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass,
                         std::string *xfer, size_t *datasetStart)
{
    return retrievelist_parseMeta(buf, n, sopClass, xfer, datasetStart);
}

int imagecheck_fileClass(const char *path, std::string *sopClass, std::string *xfer)
{
    return retrievelist_fileClass(path, sopClass, xfer);
}

// The UID tree's names: image, directory and index paths below a base
// directory, and the test of a UID that is to name a file.
#include "index/uidtree.h"

#include <string.h>

#include "index/studyindex.h"
#include "runtime/logprintf.h"

// "/XX/YY": the two bucket levels chosen by the UID's CRC-32.
static void appendBucket(OFString &path, const char *study)
{
    char bucket[32];
    uint32_t crc = studyindex_uidCrc(study);
    snprintf(bucket, sizeof bucket, "/%02X/%02X", (unsigned)(crc & 0xff),
             (unsigned)((crc >> 8) & 0xff));
    path += bucket;
}

OFString uidtree_path(const char *base, const char *study, const char *series, const char *image,
                      FILE *log)
{
    OFString path;
    if (base != nullptr)
        path = base;
    path += "/uid";
    if (study != nullptr) {
        appendBucket(path, study);
        path += "/study_";
        path += study;
    }
    if (series != nullptr) {
        path += "/series_";
        path += series;
    }
    if (image != nullptr) {
        path += "/image_";
        path += image;
        path += ".dcm";
    }
    logprintf(LOGLEVEL_TRACE2, log, "GetUidPath() returning %s\n", path.c_str());
    return path;
}

OFString uidtree_indexStem(const char *base, const char *study, const char *series, FILE *log)
{
    if (series != nullptr)
        return uidtree_path(base, study, series, nullptr, log) + "/IMAGEINDEX";
    if (study != nullptr)
        return uidtree_path(base, study, nullptr, nullptr, log) + "/SERIESINDEX";
    return uidtree_path(base, nullptr, nullptr, nullptr, log) + "/STUDYINDEX";
}

OFString uidtree_bucketPath(const char *base, const char *study, FILE *log)
{
    OFString path = uidtree_path(base, study, nullptr, nullptr, log);
    size_t slash = path.rfind('/');
    if (slash != OFString_npos)
        path.erase(slash);
    return path;
}

const char *uidtree_uidProblem(const char *uid)
{
    size_t len = uid == nullptr ? 0 : strlen(uid);
    if (len == 0)
        return "empty";
    // Index keys hold 64 bytes: two longer UIDs could be taken for one.
    if (len > STUDYINDEX_KEY_WIDTH)
        return "longer than 64 characters";
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)uid[i];
        // A "/" would reach the file system as a directory separator.
        if (c == '/')
            return "holds \"/\"";
        if (c < 0x20 || c == 0x7f)
            return "holds a control character";
    }
    return nullptr;
}

int uidtree_checkUid(const char *uid, const char *what, FILE *log)
{
    const char *why = uidtree_uidProblem(uid);
    if (why == nullptr)
        return 0;
    logprintf(LOGLEVEL_WARNING, log, "Refusing %s (%s): %.80s\n", what, why,
              uid == nullptr ? "" : uid);
    return -1;
}

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
    // Only digits and dots: a UID becomes a bare name in a ZIP download and
    // part of file names, where "/", "\\" or a name of dots ("..") would
    // lead elsewhere, and a list ("\\") or wildcard would match others.
    if (strspn(uid, "0123456789.") != len)
        return "holds a character other than a digit or a dot";
    // An empty component: "..", ".", "1..2", a dot first or last.
    if (uid[0] == '.' || uid[len - 1] == '.' || strstr(uid, "..") != nullptr)
        return "has an empty component";
    // A component with a leading zero ("1.02") is not a well-formed UID,
    // but some modalities make such UIDs and images stored with one must
    // stay retrievable by it: it names a file as safely as any, so it is
    // accepted here, on the way in as on the way out.
    return nullptr;
}

int uidtree_checkUid(const char *uid, const char *what, FILE *log)
{
    const char *why = uidtree_uidProblem(uid);
    if (why == nullptr)
        return 0;
    // The UID comes from a peer: printable ASCII only reaches the log.
    char shown[81];
    size_t n = 0;
    for (; uid != nullptr && uid[n] != '\0' && n + 1 < sizeof shown; n++) {
        unsigned char c = (unsigned char)uid[n];
        shown[n] = c >= 0x20 && c < 0x7f ? (char)c : '?';
    }
    shown[n] = '\0';
    logprintf(LOGLEVEL_WARNING, log, "Refusing %s (%s): %s\n", what, why, shown);
    return -1;
}

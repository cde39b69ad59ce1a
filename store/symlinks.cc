// LocalStore::WriteSymlinks: the patient link tree B/patient, in which every
// stored image is reachable under readable names (patient, study, series,
// instance number) through a relative symbolic link into the UID tree.
#include "store/localstore.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"
#include "runtime/runtime.h"

// Name parts are made in a working buffer of this size.
enum { NAMEPART_SIZE = 2048 };

// Appends the name part of an element to path: its text (or dflt), with
// every byte other than ASCII letters, digits, "^" and "." replaced by "_";
// for a time, the fraction from the first "." on is dropped. A text of
// more than 2047 characters gives "TooLong".
static void appendPart(OFString &path, DcmDataset *ds, const DcmTagKey &tag, const char *dflt,
                       int isTime)
{
    char part[NAMEPART_SIZE];
    const char *value = dicomnet_getTagString(ds, tag);
    if (value == nullptr)
        value = dflt;
    if (strlen(value) > NAMEPART_SIZE - 1) {
        path += "TooLong";
        return;
    }
    strcpy(part, value);
    for (char *p = part; *p != 0; p++) {
        unsigned char c = (unsigned char)*p;
        if (isTime && c == '.') {
            *p = 0;
            break;
        }
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '^' || c == '.'))
            *p = '_';
    }
    path += part;
}

// Bytes of a shortened name part kept before its digest.
enum { NAME_KEPT = 200 };

// A directory name longer than the file system takes (NAME_MAX) is cut
// after NAME_KEPT bytes and ends in "~" and a digest of the whole name, so
// that two long names that differ only past the cut stay apart. 1 when the
// last part of path was shortened.
static int shortenLastPart(OFString &path)
{
    size_t slash = path.rfind('/');
    size_t start = slash == OFString_npos ? 0 : slash + 1;
    if (path.size() - start <= NAME_MAX)
        return 0;
    // FNV-1a, 64 bits.
    unsigned long long h = 14695981039346656037ull;
    for (size_t i = start; i < path.size(); i++)
        h = (h ^ (unsigned char)path[i]) * 1099511628211ull;
    char digest[24];
    snprintf(digest, sizeof digest, "~%016llx", h);
    path = path.substr(0, start + NAME_KEPT) + digest;
    return 1;
}

void LocalStore::linkTreeTags(std::vector<DcmTagKey> *out)
{
    // What WriteSymlinks reads, in its order (the UIDs name the target).
    static const DcmTagKey tags[] = {
        DCM_PatientName,      DCM_PatientBirthDate,  DCM_PatientID,      DCM_StudyDate,
        DCM_StudyTime,        DCM_StudyDescription,  DCM_SeriesDate,     DCM_SeriesTime,
        DCM_BodyPartExamined, DCM_SeriesDescription, DCM_InstanceNumber,
    };
    out->insert(out->end(), tags, tags + sizeof tags / sizeof tags[0]);
}

int LocalStore::WriteSymlinks(DcmDataset *ds)
{
    auto makeLinkDir = [this](OFString &path, const char *message) {
        // The name parts are texts of the peer's choosing, and three of
        // them (64 characters of name each) may pass the file system's limit.
        if (shortenLastPart(path))
            logprintf(LOGLEVEL_WARNING, logStream, "Link tree name shortened to %s\n",
                      path.c_str());
        if (makeDirectory(path) == 0)
            return 0;
        logprintf(LOGLEVEL_WARNING, logStream, "%s (%s: %s)\n", message, path.c_str(),
                  strerror(errno));
        return -1;
    };
    OFString link = baseDir;
    link += "/patient";
    if (makeLinkDir(link, "Cannot create patient link base directory.") != 0)
        return LS_DIR_ERROR;

    link += "/";
    appendPart(link, ds, DCM_PatientName, "NoName", 0);
    link += "_";
    appendPart(link, ds, DCM_PatientBirthDate, "19000101", 0);
    link += "_";
    appendPart(link, ds, DCM_PatientID, "NoID", 0);
    if (makeLinkDir(link, "Cannot create patient link directory.") != 0)
        return LS_DIR_ERROR;

    link += "/";
    appendPart(link, ds, DCM_StudyDate, "19000101", 0);
    link += "_";
    appendPart(link, ds, DCM_StudyTime, "000000", 1);
    link += "_";
    appendPart(link, ds, DCM_StudyDescription, "NoDesc", 0);
    if (makeLinkDir(link, "Cannot create study link directory.") != 0)
        return LS_DIR_ERROR;

    link += "/";
    appendPart(link, ds, DCM_SeriesDate, "19000101", 0);
    link += "_";
    appendPart(link, ds, DCM_SeriesTime, "000000", 1);
    link += "_";
    appendPart(link, ds, DCM_BodyPartExamined, "NoBPE", 0);
    link += "_";
    appendPart(link, ds, DCM_SeriesDescription, "NoDesc", 0);
    if (makeLinkDir(link, "Cannot create series link directory.") != 0)
        return LS_DIR_ERROR;

    const char *number = dicomnet_getTagString(ds, DCM_InstanceNumber);
    char name[32];
    snprintf(name, sizeof name, "/z_%04d.dcm",
             (int)strtol(number != nullptr ? number : "0000", nullptr, 10));
    link += name;

    // Four steps up from the series directory lead back to the base directory.
    OFString target = "../../../..";
    target += GetUidPath(ds, 0);
    logprintf(LOGLEVEL_DEBUG, logStream, "will link #%s# to #%s#\n", target.c_str(), link.c_str());
    // An existing link (same image again, or a repeated instance number)
    // stays; a link that cannot be made is not reported.
    if (symlink(target.c_str(), link.c_str()) != 0) {
        /* deliberately ignored */
    }
    return LS_OK;
}

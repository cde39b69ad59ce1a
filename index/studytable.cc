// The in-memory study table: LocalStore's copy of STUDYINDEX.hash, its
// reloads when another process changed the file, and compaction, which
// drops deleted studies from both study files.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/runtime.h"
#include "store/localstore.h"

int LocalStore::reallocStudyHash(int n)
{
    if (n < 0)
        abort();
    if (n == 0) {
        free(studyTable);
        studyTable = nullptr;
        studyCount = 0;
        return 0;
    }
    studyhash *grown = (studyhash *)realloc(studyTable, (size_t)n * sizeof(studyhash));
    if (grown == nullptr) {
        free(studyTable);
        studyTable = nullptr;
        studyCount = 0;
        return 1;
    }
    studyTable = grown;
    studyCount = n;
    return 0;
}

bool LocalStore::mustUpdateStudyHash()
{
    OFString path = GetUidIndexPath(nullptr, nullptr) + ".hash";
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (st.st_size % (off_t)sizeof(studyhash) != 0)
        return false;
    if (st.st_size / (off_t)sizeof(studyhash) != studyCount)
        return true;
    return (uint32_t)st.st_mtime != studyTableTime;
}

int LocalStore::loadStudyHash(int fd, int force)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size % (off_t)sizeof(studyhash) != 0)
        return -1;
    off_t n = st.st_size / (off_t)sizeof(studyhash);
    if (n > INT32_MAX / (off_t)sizeof(studyhash))
        return -1;
    if (!force && n == studyCount && (uint32_t)st.st_mtime == studyTableTime)
        return 0;
    if (reallocStudyHash((int)n) != 0)
        return -1;
    size_t bytes = (size_t)n * sizeof(studyhash);
    if (fullio_pread(fd, studyTable, bytes, 0) != (ssize_t)bytes) {
        // The file shrank under us or cannot be read: keep no half table.
        reallocStudyHash(0);
        return -1;
    }
    studyTableTime = (uint32_t)st.st_mtime;
    return 1;
}

int LocalStore::updateStudyHash(int fd)
{
    return loadStudyHash(fd, 0);
}

int LocalStore::updateStudyHash()
{
    OFString path = GetUidIndexPath(nullptr, nullptr) + ".hash";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int result = -1;
    if (fd < 0)
        return -1;
    if (VLCompat_LockWholeFile(fd, F_RDLCK) != 0)
        goto out;
    result = updateStudyHash(fd);
    if (VLCompat_LockWholeFile(fd, F_UNLCK) != 0)
        result = -1;
out:
    close(fd);
    return result;
}

int LocalStore::compactStudyHash(int fd)
{
    OFString dataPath = GetUidIndexPath(nullptr, nullptr) + ".dat";
    int dataFd = -1;
    int result = -1;
    int j = 0;
    studydata record;

    // Reload whatever the mtime says: a record merged by another process in
    // the second of our last load is not visible from the mtime, and the
    // table is about to be written over the whole file. A malformed file is
    // left alone.
    if (loadStudyHash(fd, 1) < 0) {
        logprintf(LOGLEVEL_ERROR, logStream, "Study index malformed, not compacted.\n");
        return -1;
    }
    dataFd = open(dataPath.c_str(), O_RDWR | O_CLOEXEC);
    if (dataFd < 0)
        return -1;

    for (int i = 0; i < studyCount; i++) {
        if (studyTable[i].patientNameBits & STUDYHASH_DELETED)
            continue;
        if (i != j) {
            if (studyindex_readRecord(dataFd, i, &record, sizeof record) != 1)
                memset(&record, 0, sizeof record);
            static const studydata zero = {};
            if (studyindex_writeRecord(dataFd, j, &record, sizeof record) != 0 ||
                studyindex_writeRecord(dataFd, i, &zero, sizeof zero) != 0) {
                logprintf(LOGLEVEL_ERROR, logStream, "Cannot move study record %d to %d.\n", i, j);
                goto out;
            }
            studyTable[j] = studyTable[i];
            studyTable[i].patientNameBits |= STUDYHASH_DELETED;
        }
        j++;
    }
    if (j == studyCount) {
        result = 0;
        goto out;
    }
    if (reallocStudyHash(j) != 0) {
        studyCount = 0;
        goto out;
    }
    if (ftruncate(dataFd, studyindex_offset(j, sizeof(studydata))) != 0 ||
        fullio_pwrite(fd, studyTable, (size_t)j * sizeof(studyhash), 0) !=
            (ssize_t)((size_t)j * sizeof(studyhash)) ||
        ftruncate(fd, studyindex_offset(j, sizeof(studyhash))) != 0) {
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot rewrite the study index.\n");
        goto out;
    }
    result = 1;
out:
    close(dataFd);
    return result;
}

int LocalStore::compactStudyHash()
{
    OFString path = GetUidIndexPath(nullptr, nullptr) + ".hash";
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    int result = -1;
    if (fd < 0)
        return -1;
    if (VLCompat_LockWholeFile(fd, F_WRLCK) != 0)
        goto out;
    result = compactStudyHash(fd);
    if (VLCompat_LockWholeFile(fd, F_UNLCK) != 0)
        result = -1;
out:
    close(fd);
    return result;
}

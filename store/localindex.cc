// LocalStore's entry points to its index: the study records, the study
// table's upkeep, the study step of a delete and queries, each handing the
// store's base directory, table and log stream to the index code (index/).
#include "store/localstore.h"

#include <fcntl.h>
#include <unistd.h>

#include "index/uidtree.h"
#include "runtime/logprintf.h"

void LocalStore::studyDataMake(const DcmDataset *ds, studyhash *hash, studydata *data)
{
    studyindex_makeRecords(ds, hash, data, logStream);
}

int LocalStore::reallocStudyHash(int n)
{
    return studytable_resize(&table, n);
}

bool LocalStore::mustUpdateStudyHash()
{
    return studytable_mustUpdate(&table, (GetUidIndexPath(nullptr, nullptr) + ".hash").c_str());
}

int LocalStore::updateStudyHash(int fd)
{
    return studytable_load(&table, fd, 0);
}

int LocalStore::updateStudyHash()
{
    return studytable_update(&table, (GetUidIndexPath(nullptr, nullptr) + ".hash").c_str());
}

int LocalStore::compactStudyHash(int fd)
{
    return studytable_compact(&table, GetUidIndexPath(nullptr, nullptr).c_str(), fd, logStream);
}

int LocalStore::compactStudyHash()
{
    return studytable_compactFile(&table, GetUidIndexPath(nullptr, nullptr).c_str(), logStream);
}

int LocalStore::markStudyDeleted(int fd, const char *study)
{
    OFString dataPath = GetUidIndexPath(nullptr, nullptr) + ".dat";
    if (updateStudyHash(fd) < 0)
        logprintf(LOGLEVEL_DEBUG, logStream, "AIEEE: Can't update study hash in delete().\n");
    int dataFd = open(dataPath.c_str(), O_RDWR | O_CLOEXEC);
    if (dataFd < 0)
        return -1;
    int result = 0;
    if (studytable_markDeleted(&table, fd, dataFd, study) < 0) {
        logprintf(LOGLEVEL_DEBUG, logStream, "Del STUDY - not found!\n");
        result = 1;
    }
    close(dataFd);
    return result;
}

int LocalStore::FindDataset(void **handle, DcmDataset *query, DcmDataset **result,
                            const char *level, int flags)
{
    if (!handle) {
        logprintf(LOGLEVEL_WARNING, logStream, "LocalStore::FindDataset: No handle pointer.\n");
        return 1;
    }
    finddataset_index ix = getIndex();
    int ixflags = (flags & LS_FIND_COMBINED_DATETIME) ? FINDDATASET_COMBINED_DATETIME : 0;
    return finddataset_next(&ix, handle, query, result, level, ixflags);
}

void LocalStore::dateRangeHash(const char *range, unsigned int *from, unsigned int *to)
{
    querymatch_dateRange(range, from, to, logStream);
}

int LocalStore::studyHashCompare(studyhash *record, studyhash_template *t)
{
    return querymatch_summaryTest(record, t, logStream);
}

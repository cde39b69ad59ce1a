// LocalStore's entry points to its index: the study records, the study
// table's upkeep, the study step of a delete and queries, each handing the
// store's base directory, table and log stream to the index code (index/).
#include "store/localstore.h"

#include <fcntl.h>
#include <unistd.h>

#include "index/retrievelist.h"
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

int LocalStore::refreshStudyTable()
{
    return studytable_refresh(&table, GetUidIndexPath(nullptr, nullptr).c_str(), logStream);
}

bool LocalStore::studyTableStale()
{
    return studytable_stale(&table, GetUidIndexPath(nullptr, nullptr).c_str());
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
    // The digests stay (a deleted study is passed over by its flag); the
    // stamps follow the study files, or stay stale after a crash.
    OFString stem = GetUidIndexPath(nullptr, nullptr);
    int keysFd = studykeys_begin(stem.c_str(), table.studyCount);
    if (studytable_markDeleted(&table, fd, dataFd, study) < 0) {
        logprintf(LOGLEVEL_DEBUG, logStream, "Del STUDY - not found!\n");
        result = 1;
    }
    noteChanged(OFString(studykeys_path(stem.c_str()).c_str()), 0);
    studykeys_commit(keysFd, stem.c_str(), 0, nullptr);
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

void LocalStore::EndFind(void **handle)
{
    finddataset_end(handle);
}

int LocalStore::LocateImages(const std::vector<std::string> &instances,
                             std::vector<retrievelist_image> *places)
{
    // Studies entered since the table was loaded (by other associations
    // while the caller's ran) are searched too.
    refreshStudyTable();
    finddataset_index ix = getIndex();
    return retrievelist_locateAll(&ix, instances, places);
}

void LocalStore::dateRangeHash(const char *range, unsigned int *from, unsigned int *to)
{
    querymatch_dateRange(range, from, to, logStream);
}

int LocalStore::studyHashCompare(studyhash *record, studyhash_template *t)
{
    return querymatch_summaryTest(record, t, logStream);
}

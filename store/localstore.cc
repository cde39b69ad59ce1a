// LocalStore's configuration and layout: construction from "LocalStoreDir",
// the base directory check, UID checks, the UID tree's paths and
// directories, the "Have" queries and the disk-space figures.
#include "store/localstore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"
#include "index/pgindex.h"
#include "index/uidtree.h"
#include "runtime/runtime.h"
#include "store/checksums.h"
#include "store/fileindex.h"
#include "store/journal.h"

// Set once the first store of the process has filled crc32_table.
static int crcTableFilled = 0;

static void fillCrcTable()
{
    if (!crcTableFilled) {
        crcTableFilled = 1;
        crc32_init(CRC32_POLYNOMIAL);
    }
}

LocalStore::LocalStore()
{
    char path[1024];
    fillCrcTable();
    if (getfilepath(CONFIG_SEARCHPATH, "LocalStoreDir", R_OK, path, sizeof path) != nullptr)
        ReadBaseDirConfig(path);
    if (baseDir == nullptr)
        baseDir = LS_DEFAULT_BASEDIR;
    finishInit();
}

LocalStore::LocalStore(const char *dir) : baseDir(dir)
{
    fillCrcTable();
    finishInit();
}

void LocalStore::finishInit()
{
    // Made here, not at the first use: threads that query share the store.
    fileIndex = new fileindex(this);
    check_and_complain_dir(baseDir);
    updateStudyHash();
    // The digest of the checksums readied in the process that opens the
    // store, before it forks its workers (store/checksums.h).
    checksums_prepare();
}

LocalStore::~LocalStore()
{
    EndIdle();
    // The threads flush what they were handed before they end.
    stopFlusher();
    dropIndexCaches();
    dropPendingSync();
    // Closed, not emptied: what it holds may not be in the tree on disk.
    if (imageJournal != nullptr)
        journal_close(imageJournal);
    delete imageJournal;
    if (baseDirOwned)
        free(const_cast<char *>(baseDir));
    studytable_closeFiles(&table);
    studytable_free(&table);
    delete fileIndex;
}

index_backend &LocalStore::index()
{
    if (sharedIx)
        return *sharedIx;
    return *fileIndex;
}

int LocalStore::openSharedIndex(const std::string &conninfo, const std::string &archive,
                                const std::string &node)
{
    std::unique_ptr<pgindex> ix(new pgindex(conninfo, archive, logStream));
    ix->setSessionName(node);
    if (ix->open() != 0)
        return -1;
    sharedConninfo = conninfo;
    sharedArchive = archive;
    sharedNode = node;
    sharedIx = std::move(ix);
    return 0;
}

void LocalStore::forkedIndex()
{
    if (!sharedIx)
        return;
    // The parent's backend holds the parent's session: its destructor would
    // end that session for both. forked points the child's copy of the
    // socket elsewhere first.
    sharedIx->forked();
    std::unique_ptr<pgindex> ix(new pgindex(sharedConninfo, sharedArchive, logStream));
    ix->setSessionName(sharedNode);
    sharedIx = std::move(ix);
}

void LocalStore::setLogfile(FILE *stream)
{
    logStream = stream;
}

void LocalStore::ReadBaseDirConfig(const char *file)
{
    char line[1024];
    if (file == nullptr)
        return;
    std::ifstream in(file);
    if (!in.is_open())
        return;
    line[0] = 0;
    // At most 1023 characters of the first line; the rest stays unread.
    in.getline(line, sizeof line);
    line[strcspn(line, "\r\n")] = 0;
    char *copy = strdup(line);
    if (copy == nullptr)
        return;
    if (baseDirOwned)
        free(const_cast<char *>(baseDir));
    baseDir = copy;
    baseDirOwned = 1;
}

int LocalStore::ReloadBaseDirConfig()
{
    char path[1024];
    char *before = nullptr;
    int changed = 0;
    if (getfilepath(CONFIG_SEARCHPATH, "LocalStoreDir", R_OK, path, sizeof path) == nullptr)
        goto out;
    before = strdup(baseDir);
    if (before == nullptr)
        goto out;
    ReadBaseDirConfig(path);
    if (strcmp(before, baseDir) == 0)
        goto out;
    // Another store: the table loaded at construction belongs to the old one.
    reallocStudyHash(0);
    table.studyTableTime = 0;
    finishInit();
    changed = 1;
out:
    free(before);
    return changed;
}

int LocalStore::check_and_complain_dir(const char *dir)
{
    if (access(dir, R_OK) != 0) {
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot read Storage base directory %s.\n", dir);
        return LS_BASEDIR;
    }
    if (access(dir, X_OK) != 0) {
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot traverse Storage base directory %s.\n", dir);
        return LS_BASEDIR;
    }
    if (access(dir, W_OK) != 0) {
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot write Storage base directory %s.\n", dir);
        return LS_BASEDIR;
    }
    return LS_OK;
}

int LocalStore::CheckUid(const char *uid, const char *what)
{
    return uidtree_checkUid(uid, what, logStream) == 0 ? LS_OK : LS_BAD_UID;
}

OFString LocalStore::GetUidPath(const char *study, const char *series, const char *image,
                                int withBase)
{
    return uidtree_path(withBase ? baseDir : nullptr, study, series, image, logStream);
}

OFString LocalStore::GetUidPath(DcmDataset *ds, int withBase)
{
    return GetUidPath(dicomnet_getTagString(ds, DCM_StudyInstanceUID),
                      dicomnet_getTagString(ds, DCM_SeriesInstanceUID),
                      dicomnet_getTagString(ds, DCM_SOPInstanceUID), withBase);
}

OFString LocalStore::GetUidIndexPath(const char *study, const char *series)
{
    return uidtree_indexStem(baseDir, study, series, logStream);
}

OFString LocalStore::GetUidBasePath(const char *study)
{
    return uidtree_bucketPath(baseDir, study, logStream);
}

int LocalStore::makeDirectory(const OFString &path)
{
    struct stat st;
    if (VLCompat_mkdir(path.c_str(), 0777) == 0) {
        // The new entry is on disk once its parent directory is.
        noteParentChanged(path);
        return 0;
    }
    if (errno != EEXIST)
        return -1;
    // mkdir reports EEXIST for a plain file too; only a directory will do.
    if (stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int LocalStore::CreateUidPath(const char *study, const char *series)
{
    OFString path;
    const char *failed = nullptr;
    struct stat st;

    // Nearly every call finds the whole path made by an earlier image of the
    // series: one stat instead of a mkdir and a stat per level.
    if (stat(GetUidPath(study, series, nullptr, 1).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return LS_OK;
    path = baseDir;
    if (makeDirectory(path) != 0) {
        failed = "Cannot create storage base directory.\n";
        goto out;
    }
    path += "/uid";
    if (makeDirectory(path) != 0) {
        failed = "Cannot create storage uid base directory.\n";
        goto out;
    }
    if (study != nullptr) {
        // B/uid/XX/YY, the two bucket levels.
        path = uidtree_bucketPath(baseDir, study, nullptr);
        if (makeDirectory(path.substr(0, path.rfind('/'))) != 0) {
            failed = "Cannot create storage study C1 directory.\n";
            goto out;
        }
        if (makeDirectory(path) != 0) {
            failed = "Cannot create storage study C2 directory.\n";
            goto out;
        }
        path += "/study_";
        path += study;
        if (makeDirectory(path) != 0) {
            failed = "Cannot create storage study directory.\n";
            goto out;
        }
    }
    if (series != nullptr) {
        path += "/series_";
        path += series;
        if (makeDirectory(path) != 0) {
            failed = "Cannot create storage series directory.\n";
            goto out;
        }
    }
out:
    if (failed == nullptr)
        return LS_OK;
    logprintf(LOGLEVEL_WARNING, logStream, "%s", failed);
    return LS_DIR_ERROR;
}

int LocalStore::HaveDataset(DcmDataset *ds)
{
    return access(GetUidPath(ds, 1).c_str(), R_OK) == 0 ? LS_OK : LS_MISSING;
}

int LocalStore::HaveFile(const char *study, const char *series, const char *image)
{
    return access(GetUidPath(study, series, image, 1).c_str(), R_OK) == 0 ? LS_OK : LS_MISSING;
}

uint32_t LocalStore::HaveFileTime(const char *study, const char *series, const char *image)
{
    OFString path = image != nullptr ? GetUidPath(study, series, image, 1)
                                     : GetUidIndexPath(study, series) + ".dat";
    struct stat st;
    if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &st) != 0)
        return 0;
    return (uint32_t)st.st_mtime;
}

uint32_t LocalStore::HaveFileSize(const char *study, const char *series, const char *image)
{
    OFString path = GetUidPath(study, series, image, 1);
    struct stat st;
    if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &st) != 0)
        return 0xFFFFFFFFu;
    return (uint32_t)st.st_size;
}

uint64_t LocalStore::LS_GetTotalSpace()
{
    struct statvfs vfs;
    if (statvfs(GetUidPath(nullptr, nullptr, nullptr, 1).c_str(), &vfs) != 0)
        return 0;
    return (uint64_t)vfs.f_frsize * (uint64_t)vfs.f_blocks;
}

uint64_t LocalStore::LS_GetFreeSpace()
{
    struct statvfs vfs;
    if (statvfs(GetUidPath(nullptr, nullptr, nullptr, 1).c_str(), &vfs) != 0)
        return 0;
    return (uint64_t)vfs.f_bsize * (uint64_t)vfs.f_bavail;
}

int LocalStore::LockStore(int exclusive)
{
    // flock on the base directory itself: no file of its own in the store,
    // and the lock belongs to the open directory, which forked workers
    // share, so it lasts as long as any process of the server runs.
    int fd = open(baseDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        int saved = errno;
        close(fd);
        errno = saved == EWOULDBLOCK ? EAGAIN : saved;
        return -1;
    }
    return fd;
}

// The file backend of the index interface (store/fileindex.h): each
// operation hands the store's base directory, study table and log stream
// to the index code, or runs the store's own steps, unchanged: the formats
// on disk and the order of every write (what a crash leaves) are those of
// the write path and the delete.
#include "store/fileindex.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"
#include "index/finddataset.h"
#include "index/retrievelist.h"
#include "index/studyindex.h"
#include "runtime/logprintf.h"
#include "store/deleteintent.h"
#include "store/localstore.h"
#include "store/studylock.h"

// The study lock held, the images added new (taken back by abort) and the
// intents that take the INDEX_ADD_NEW ones out after a kill.
struct fileindexTransaction : index_transaction {
    std::string study;
    studylock lock;
    // beginStudies: every study of the transaction (study is then empty)
    // and the locks of their bytes, each byte once, taken in ascending
    // order.
    std::vector<std::string> studies;
    std::vector<std::unique_ptr<studylock>> more;
    bool holds(const char *uid) const
    {
        if (studies.empty())
            return study == uid;
        for (const std::string &s : studies)
            if (s == uid)
                return true;
        return false;
    }
    std::vector<index_image> added;
    std::vector<deleteintent> intents;
    ~fileindexTransaction()
    {
        for (deleteintent &intent : intents)
            deleteintent_end(&intent, nullptr);
    }
};

static fileindexTransaction *transactionOf(index_transaction *t)
{
    fileindexTransaction *f = dynamic_cast<fileindexTransaction *>(t);
    // A transaction of another backend, or none: a programming error.
    if (f == nullptr)
        ::abort();
    return f;
}

index_transaction *fileindex::begin(const char *study)
{
    fileindexTransaction *t = new fileindexTransaction;
    t->study = study;
    OFString uidDir = store_->GetUidPath(nullptr, nullptr, nullptr, 1);
    // The lock file is in B/uid, which the first store of the tree makes.
    if (studylock_acquire(store_->getStudyLocks(), &t->lock, uidDir.c_str(), study,
                          store_->getLogfile()) != 0 &&
        (errno != ENOENT || store_->CreateUidPath(nullptr, nullptr) != LS_OK ||
         studylock_acquire(store_->getStudyLocks(), &t->lock, uidDir.c_str(), study,
                           store_->getLogfile()) != 0)) {
        delete t;
        return nullptr;
    }
    return t;
}

index_transaction *fileindex::beginStudies(const std::vector<std::string> &studies)
{
    std::unique_ptr<fileindexTransaction> t(new fileindexTransaction);
    t->studies = studies;
    std::vector<std::pair<off_t, std::string>> order;
    for (const std::string &s : studies)
        order.emplace_back(studylock_slot(s.c_str()), s);
    std::sort(order.begin(), order.end());
    OFString uidDir = store_->GetUidPath(nullptr, nullptr, nullptr, 1);
    if (store_->CreateUidPath(nullptr, nullptr) != LS_OK)
        return nullptr;
    for (size_t i = 0; i < order.size(); i++) {
        // A byte that two studies share is taken once: taken again through
        // the same descriptor, its first release would end both.
        if (i > 0 && order[i].first == order[i - 1].first)
            continue;
        t->more.emplace_back(new studylock);
        if (studylock_acquire(store_->getStudyLocks(), t->more.back().get(), uidDir.c_str(),
                              order[i].second.c_str(), store_->getLogfile()) != 0)
            return nullptr;
    }
    return t.release();
}

int fileindex::removeIn(index_transaction *t, const char *study, const char *series,
                        const char *instance)
{
    fileindexTransaction *f = transactionOf(t);
    if (study == nullptr || series == nullptr || instance == nullptr || !f->holds(study))
        ::abort();
    switch (store_->DeleteHeld(study, series, instance)) {
    case 0:
        return INDEX_OK;
    case 1:
        return INDEX_MISSING;
    default:
        return INDEX_FAILED;
    }
}

int fileindex::commit(index_transaction *t)
{
    // Every record is in its file as it is written, and noted for the
    // store's next flush: the intents withdrawn and the end of the lock are
    // all that is left.
    fileindexTransaction *f = transactionOf(t);
    int result = INDEX_OK;
    for (deleteintent &intent : f->intents) {
        // Removed while still locked, as deleteintent_end does. An intent
        // that stays takes its image out at the next start: the commit has
        // then failed.
        if (unlink(intent.path.c_str()) != 0) {
            logprintf(LOGLEVEL_ERROR, store_->getLogfile(), "Cannot remove %s: %s\n",
                      intent.path.c_str(), strerror(errno));
            result = INDEX_FAILED;
        }
        close(intent.fd);
        intent.fd = -1;
        intent.path.clear();
    }
    delete f;
    return result;
}

void fileindex::abort(index_transaction *t)
{
    fileindexTransaction *f = transactionOf(t);
    // Under the study lock, as the write path always took a new image back.
    for (const index_image &im : f->added)
        store_->takeBack(im.study.c_str(), im.series.c_str(), im.instance.c_str());
    delete f;
}

// The three UIDs of ds (null when one is missing).
static bool uidsOf(DcmDataset *ds, const char *uid[3])
{
    uid[0] = dicomnet_getTagString(ds, DCM_StudyInstanceUID);
    uid[1] = dicomnet_getTagString(ds, DCM_SeriesInstanceUID);
    uid[2] = dicomnet_getTagString(ds, DCM_SOPInstanceUID);
    return uid[0] != nullptr && uid[1] != nullptr && uid[2] != nullptr;
}

int fileindex::add(index_transaction *t, DcmDataset *ds, int how)
{
    fileindexTransaction *f = transactionOf(t);
    const char *uid[3];
    // The caller checked the UIDs and locked their study: anything else is
    // its error.
    if (!uidsOf(ds, uid) || !f->holds(uid[0]))
        ::abort();
    if (how == INDEX_ADD_NEW) {
        // The records of the index files are written one after the other:
        // a process killed among them would leave some. The image's delete
        // is announced first (store/deleteintent.h), so that the start after
        // such a kill takes out what there is; the commit withdraws it.
        OFString uidDir = store_->GetUidPath(nullptr, nullptr, nullptr, 1);
        f->intents.emplace_back();
        if (deleteintent_begin(uidDir.c_str(), uid[0], uid[1], uid[2], &f->intents.back(),
                               store_->getLogfile()) != 0) {
            f->intents.pop_back();
            return INDEX_FAILED;
        }
    }
    if (how == INDEX_ADD_NEW || how == INDEX_ADD_PLACED)
        f->added.push_back(index_image{uid[0], uid[1], uid[2]});
    // The index files live in the image tree: a caller that placed no file
    // there may find no directory for them (the store's write path has
    // made them with the file).
    if (how != INDEX_ADD_PLACED && store_->CreateUidPath(uid[0], uid[1]) != LS_OK)
        return INDEX_FAILED;
    return store_->indexImage(ds, uid[0], uid[1]) == LS_OK ? INDEX_OK : INDEX_FAILED;
}

int fileindex::change(index_transaction *t, DcmDataset *ds)
{
    fileindexTransaction *f = transactionOf(t);
    const char *uid[3];
    if (!uidsOf(ds, uid) || !f->holds(uid[0]))
        ::abort();
    if (store_->CheckUid(uid[1], "Series Instance UID") != LS_OK ||
        store_->CheckUid(uid[2], "SOP Instance UID") != LS_OK)
        return INDEX_MISSING;
    // Only an indexed image is changed (the study lock keeps it so until
    // the records are rewritten).
    OFString path = store_->GetUidIndexPath(uid[0], uid[1]) + ".dat";
    int fd = studyindex_openLocked(path.c_str(), O_RDONLY, 0, F_RDLCK);
    if (fd < 0)
        return errno == ENOENT ? INDEX_MISSING : INDEX_FAILED;
    imagerecord rec;
    studyindex_search s = studyindex_searchKey(fd, uid[2], &rec, sizeof rec);
    close(fd);
    if (s.found < 0)
        return INDEX_MISSING;
    // A changed image's empty attribute is a value: it clears the study's.
    return store_->indexImage(ds, uid[0], uid[1], true) == LS_OK ? INDEX_OK : INDEX_FAILED;
}

int fileindex::remove(const char *study, const char *series, const char *instance)
{
    if (study == nullptr || series == nullptr || instance == nullptr)
        ::abort();
    switch (store_->DeleteFile(study, series, instance)) {
    case 0:
        return INDEX_OK;
    case 1:
        return INDEX_MISSING;
    default:
        return INDEX_FAILED;
    }
}

namespace
{
// A walk of finddataset_next over the store's index as it stands at each
// call (the table may be reloaded between two).
class fileindexCursor : public index_cursor
{
public:
    fileindexCursor(const LocalStore *store, DcmDataset *query, const char *level, int flags)
        : store_(store), query_(query), level_(level),
          flags_((flags & INDEX_FIND_COMBINED_DATETIME) ? FINDDATASET_COMBINED_DATETIME : 0)
    {
    }
    ~fileindexCursor() override { finddataset_end(&handle_); }
    int next(DcmDataset **result) override
    {
        if (ended_)
            return 1;
        finddataset_index ix = store_->getIndex();
        int r = finddataset_next(&ix, &handle_, query_, result, level_, flags_);
        // The index frees its state at the end of a walk.
        if (r != 0)
            ended_ = true;
        return r;
    }

private:
    const LocalStore *store_;
    DcmDataset *query_;
    const char *level_;
    int flags_;
    void *handle_ = nullptr;
    bool ended_ = false;
};
} // namespace

index_cursor *fileindex::find(DcmDataset *query, const char *level, int flags)
{
    return new fileindexCursor(store_, query, level, flags);
}

static void imagesOf(std::vector<retrievelist_image> *from, std::vector<index_image> *out)
{
    out->resize(from->size());
    for (size_t i = 0; i < from->size(); i++) {
        (*out)[i].study.swap((*from)[i].study);
        (*out)[i].series.swap((*from)[i].series);
        (*out)[i].instance.swap((*from)[i].instance);
    }
}

int fileindex::select(DcmDataset *identifier, std::vector<index_image> *out)
{
    out->clear();
    std::vector<retrievelist_image> images;
    finddataset_index ix = store_->getIndex();
    int r = retrievelist_build(&ix, identifier, &images);
    if (r != RL_OK)
        return r == RL_BAD_IDENTIFIER ? INDEX_BAD_IDENTIFIER : INDEX_FAILED;
    imagesOf(&images, out);
    return INDEX_OK;
}

int fileindex::studyImages(const char *study, std::vector<index_image> *out)
{
    out->clear();
    std::vector<retrievelist_image> images;
    finddataset_index ix = store_->getIndex();
    if (retrievelist_study(&ix, study, &images) != RL_OK)
        return INDEX_FAILED;
    imagesOf(&images, out);
    return INDEX_OK;
}

int fileindex::locate(const std::vector<std::string> &instances, std::vector<index_image> *out)
{
    std::vector<retrievelist_image> found;
    int n = store_->LocateImages(instances, &found);
    imagesOf(&found, out);
    out->resize(instances.size());
    for (size_t i = 0; i < instances.size(); i++)
        if (!(*out)[i].study.empty())
            (*out)[i].instance = instances[i];
    return n;
}

int fileindex::refresh()
{
    // A few stats when nothing changed; a reload when a study was added.
    return store_->refreshStudyTable();
}

bool fileindex::stale()
{
    return store_->studyTableStale();
}

int fileindex::compact()
{
    return store_->compactStudyHash();
}

int fileindex::recover()
{
    return store_->FinishDeletes();
}

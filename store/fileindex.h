// The file backend of the index interface (index/indexbackend.h): the
// index files below the store's base directory (B/uid/STUDYINDEX.*, each
// study's SERIESINDEX.dat and each series' IMAGEINDEX.dat; formats in
// index/studyindex.h), kept as they always were. It wraps the store's own
// index code: the record writes of the write path (store/writedataset.cc),
// the study lock as its transaction (store/studylock.h), the delete with its
// intent (store/deletefile.cc), the study table and queries
// (store/localindex.cc, index/finddataset.h, index/retrievelist.h).
//
// One per LocalStore, which owns it and hands it out (LocalStore::index).
#ifndef VELTO_STORE_FILEINDEX_H
#define VELTO_STORE_FILEINDEX_H

#include "index/indexbackend.h"

class LocalStore;

class fileindex : public index_backend
{
public:
    // store is borrowed and outlives the backend.
    explicit fileindex(LocalStore *store) : store_(store) {}
    fileindex(const fileindex &) = delete;
    fileindex &operator=(const fileindex &) = delete;

    index_transaction *begin(const char *study) override;
    index_transaction *beginStudies(const std::vector<std::string> &studies) override;
    int removeIn(index_transaction *t, const char *study, const char *series,
                 const char *instance) override;
    int commit(index_transaction *t) override;
    void abort(index_transaction *t) override;
    int add(index_transaction *t, DcmDataset *ds, int how) override;
    int change(index_transaction *t, DcmDataset *ds) override;
    int remove(const char *study, const char *series, const char *instance) override;
    index_cursor *find(DcmDataset *query, const char *level, int flags) override;
    int select(DcmDataset *identifier, std::vector<index_image> *out) override;
    int studyImages(const char *study, std::vector<index_image> *out) override;
    int locate(const std::vector<std::string> &instances, std::vector<index_image> *out) override;
    int refresh() override;
    bool stale() override;
    int compact() override;
    int recover() override;

private:
    LocalStore *store_;
};

#endif

// bench_indexfind file BASEDIR | pg CONNINFO ARCHIVE [--open-only | --adds N]: times
// study-level finds through the index interface (index/indexbackend.h)
// against the file backend of a store at BASEDIR or the PostgreSQL backend
// (index/pgindex.h), on the studies that bench_populate makes (Patient's
// Name PAT^N<6 digits>, Patient ID ID<n>): a selective find by Patient ID,
// one by whole Patient's Name, and a prefix find (PAT^N00012*, ten
// matches from 130 studies up). Each is run 7 times; the best and the
// median are printed in ms with the match count. --open-only makes or
// migrates the PostgreSQL schema and ends (bench/index_pg.py loads the rows
// with COPY then). --adds N then adds N images, each in a transaction of
// its own in a new study, and prints the rate. Run by bench/index_pg.py,
// never by the tests.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "index/pgindex.h"
#include "store/localstore.h"

static double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// One find to its end: the number of matches.
static long findAll(index_backend &ix, const DcmTagKey &key, const char *value)
{
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    query.putAndInsertString(DCM_StudyInstanceUID, "");
    query.putAndInsertString(DCM_PatientName, "");
    query.putAndInsertString(DCM_PatientID, "");
    query.putAndInsertString(DCM_StudyDate, "");
    query.putAndInsertString(key, value);
    std::unique_ptr<index_cursor> walk(ix.find(&query, nullptr, 0));
    long n = 0;
    DcmDataset *match = nullptr;
    int r;
    while ((r = walk->next(&match)) == 0) {
        n++;
        delete match;
        match = nullptr;
    }
    delete match;
    return r < 0 ? -1 : n;
}

static void timeFind(const char *what, index_backend &ix, const DcmTagKey &key, const char *value)
{
    std::vector<double> ms;
    long matches = 0;
    for (int i = 0; i < 7; i++) {
        double t = now();
        matches = findAll(ix, key, value);
        ms.push_back((now() - t) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    printf("  %-30s %-16s best %8.2f ms  median %8.2f ms  %ld matches\n", what, value, ms[0], ms[3],
           matches);
}

// Adds n one-image studies, one transaction each: images per second.
static void timeAdds(index_backend &ix, long n)
{
    double t = now();
    long failed = 0;
    for (long i = 0; i < n; i++) {
        std::string study = "1.2.826.0.1.3680043.10.544." + std::to_string(i + 1);
        DcmDataset ds;
        ds.putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
        ds.putAndInsertString(DCM_StudyInstanceUID, study.c_str());
        ds.putAndInsertString(DCM_SeriesInstanceUID, (study + ".1").c_str());
        ds.putAndInsertString(DCM_SOPInstanceUID, (study + ".1.1").c_str());
        ds.putAndInsertString(DCM_PatientName, "ADD^BENCH");
        ds.putAndInsertString(DCM_PatientID, ("ADD" + std::to_string(i % 100)).c_str());
        ds.putAndInsertString(DCM_Modality, "CT");
        index_transaction *tr = ix.begin(study.c_str());
        if (tr == nullptr || ix.add(tr, &ds, INDEX_ADD_NEW) != INDEX_OK) {
            failed++;
            if (tr)
                ix.abort(tr);
            continue;
        }
        failed += ix.commit(tr) != INDEX_OK;
    }
    double s = now() - t;
    printf("  %-30s %ld images in %.2f s: %.0f images/s (%.2f ms each), %ld failed\n",
           "adds, one per transaction", n, s, (double)n / s, s * 1000 / (double)n, failed);
}

int main(int argc, char **argv)
{
    if (argc < 3 || (strcmp(argv[1], "file") != 0 && strcmp(argv[1], "pg") != 0) ||
        (strcmp(argv[1], "pg") == 0 && argc < 4)) {
        fprintf(stderr, "usage: %s file BASEDIR | pg CONNINFO ARCHIVE [--open-only]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<LocalStore> store;
    std::unique_ptr<pgindex> pg;
    index_backend *ix;
    if (strcmp(argv[1], "file") == 0) {
        store.reset(new LocalStore(argv[2]));
        ix = &store->index();
    } else {
        pg.reset(new pgindex(argv[2], argv[3], stderr));
        if (pg->open() != 0)
            return 1;
        if (argc > 4 && strcmp(argv[4], "--open-only") == 0)
            return 0;
        ix = pg.get();
    }
    ix->refresh();
    printf("%s backend:\n", argv[1]);
    timeFind("selective, Patient ID", *ix, DCM_PatientID, "ID50001");
    timeFind("selective, Patient's Name", *ix, DCM_PatientName, "PAT^N050001");
    timeFind("prefix, Patient's Name", *ix, DCM_PatientName, "PAT^N00012*");
    timeFind("prefix, Patient ID", *ix, DCM_PatientID, "ID5000*");
    for (int i = 3; i + 1 < argc; i++)
        if (strcmp(argv[i], "--adds") == 0)
            timeAdds(*ix, strtol(argv[i + 1], nullptr, 10));
    return 0;
}

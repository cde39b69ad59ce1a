// bench_populate [--index-only] BASEDIR COUNT [FIRST]: fills a store with
// COUNT studies of one image each (studies FIRST .. FIRST+COUNT-1), for the
// query and store benchmarks that need a large index. With --index-only
// only the two study index files are written (records made by
// LocalStore::studyDataMake, as the write path makes them), appended to
// what is there: enough for study-level queries over a million studies
// without a million directories. Each image goes through the store's
// own write path (LocalStore::WriteDataset), so the index files are exactly
// what the server writes; the image file itself is a symbolic link to one
// shared sample, which keeps 100,000 studies quick to make.
//
// Study n has the UID 1.2.826.0.1.3680043.10.543.<n>, Patient's Name
// PAT^N<n, 6 digits>, Patient ID ID<n>, modality CT and Study Date
// 2020MMDD with MM, DD from n. Run by hand, by the benchmark scripts of
// bench/ (find_latency.py, store_throughput.py, page_search.py) and by the
// browser test (tests/web/test_browser.py), whose search needs 10,000
// studies made in a second or two.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dicomnet/dicomnet.h"
#include "store/localstore.h"

#define UID_ROOT "1.2.826.0.1.3680043.10.543"

// A small image file that every study's image links to.
static int writeSample(const char *path)
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
    ds->putAndInsertString(DCM_SOPInstanceUID, UID_ROOT ".0.0.0");
    ds->putAndInsertString(DCM_StudyInstanceUID, UID_ROOT ".0");
    ds->putAndInsertString(DCM_SeriesInstanceUID, UID_ROOT ".0.0");
    ds->putAndInsertString(DCM_Modality, "CT");
    return file.saveFile(path, EXS_LittleEndianExplicit).good() ? 0 : 1;
}

// The study of number n, as both modes make it.
static void fillStudy(DcmDataset *ds, long n)
{
    char study[64], series[96], image[96], name[32], id[32], date[16];
    snprintf(study, sizeof(study), UID_ROOT ".%ld", n);
    snprintf(series, sizeof(series), "%s.1", study);
    snprintf(image, sizeof(image), "%s.1.1", study);
    snprintf(name, sizeof(name), "PAT^N%06ld", n);
    snprintf(id, sizeof(id), "ID%ld", n);
    snprintf(date, sizeof(date), "2020%02ld%02ld", n % 12 + 1, n % 28 + 1);
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
    ds->putAndInsertString(DCM_StudyInstanceUID, study);
    ds->putAndInsertString(DCM_SeriesInstanceUID, series);
    ds->putAndInsertString(DCM_SOPInstanceUID, image);
    ds->putAndInsertString(DCM_PatientName, name);
    ds->putAndInsertString(DCM_PatientID, id);
    ds->putAndInsertString(DCM_StudyDate, date);
    ds->putAndInsertString(DCM_StudyDescription, "BENCH STUDY");
    ds->putAndInsertString(DCM_Modality, "CT");
}

// Appends the study records of studies first .. first+count-1 to the study
// index files of base (no lock: the store is not in use).
static int populateIndex(const char *base, long count, long first)
{
    LocalStore store(base);
    if (store.CreateUidPath(NULL, NULL) != 0)
        return 1;
    OFString stem = store.GetUidIndexPath(NULL, NULL);
    FILE *hf = fopen((stem + ".hash").c_str(), "ab");
    FILE *df = fopen((stem + ".dat").c_str(), "ab");
    int rc = hf && df ? 0 : 1;
    for (long n = first; rc == 0 && n < first + count; n++) {
        DcmDataset ds;
        fillStudy(&ds, n);
        studyhash h = {};
        studydata d = {};
        store.studyDataMake(&ds, &h, &d);
        if (fwrite(&h, sizeof(h), 1, hf) != 1 || fwrite(&d, sizeof(d), 1, df) != 1)
            rc = 1;
    }
    if (hf && fclose(hf) != 0)
        rc = 1;
    if (df && fclose(df) != 0)
        rc = 1;
    if (rc != 0)
        fprintf(stderr, "cannot write the study index below %s\n", base);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--index-only") == 0) {
        if (argc < 4) {
            fprintf(stderr, "usage: %s --index-only BASEDIR COUNT [FIRST]\n", argv[0]);
            return 2;
        }
        return populateIndex(argv[2], strtol(argv[3], NULL, 10),
                             argc > 4 ? strtol(argv[4], NULL, 10) : 0);
    }
    if (argc < 3) {
        fprintf(stderr, "usage: %s [--index-only] BASEDIR COUNT [FIRST]\n", argv[0]);
        return 2;
    }
    const char *base = argv[1];
    long count = strtol(argv[2], NULL, 10);
    long first = argc > 3 ? strtol(argv[3], NULL, 10) : 0;
    char sample[1024];
    snprintf(sample, sizeof(sample), "%s/populate-sample.dcm", base);
    if (writeSample(sample) != 0) {
        fprintf(stderr, "cannot write %s\n", sample);
        return 1;
    }

    LocalStore store(base);
    store.setLogfile(stderr);
    for (long n = first; n < first + count; n++) {
        DcmDataset ds;
        fillStudy(&ds, n);
        int result = store.WriteDataset(&ds, 0, sample, 1);
        if (result != 0) {
            fprintf(stderr, "study %ld: WriteDataset returned %d\n", n, result);
            return 1;
        }
    }
    return 0;
}

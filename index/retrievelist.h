// The images a retrieve (C-MOVE, C-GET) asks for: retrievelist_build reads
// the unique keys of a retrieve identifier (Patient ID, or lists of study,
// series and SOP instance UIDs) and lists the stored images they select,
// from the series and image index files; retrievelist_locateAll finds the
// study and series of instances; retrievelist_fileClass reads the
// SOP class and transfer syntax of a stored image from its file's meta
// header (retrievelist_parseMeta reads that header from bytes in memory). A
// key selects a record only when the whole value is equal. The
// index is the one a query reads (index/finddataset.h): the base directory,
// its study table and the log stream.
#ifndef VELTO_INDEX_RETRIEVELIST_H
#define VELTO_INDEX_RETRIEVELIST_H

#include <string>
#include <vector>

#include "index/finddataset.h"

// One selected image: its three UIDs, in index order (study, series, image).
struct retrievelist_image {
    std::string study;
    std::string series;
    std::string instance;
};

// Results of retrievelist_build.
enum {
    RL_OK = 0,              // *out holds every selected image (possibly none)
    RL_BAD_IDENTIFIER = -1, // level missing or unknown, its unique key missing, or a UID no UID
    RL_FAILED = -2,         // an index file could not be read
};

// Lists into *out (cleared first) the images that identifier selects at
// its Query/Retrieve Level (PATIENT, STUDY, SERIES or IMAGE):
//  - PATIENT: every study whose Patient ID is the identifier's (a single
//    value, no wildcard);
//  - STUDY: the studies of the StudyInstanceUID list;
//  - SERIES, IMAGE: the series and images of the UID lists within the
//    studies of the StudyInstanceUID list (all series of a study when the
//    identifier has no SeriesInstanceUID at IMAGE level).
// A key of a lower level that is present restricts the selection as well.
// UIDs that name nothing stored select nothing. RL_* above.
int retrievelist_build(const finddataset_index *ix, DcmDataset *identifier,
                       std::vector<retrievelist_image> *out);

// Lists into *out (cleared first) the images of one study, all of them.
// RL_OK (a study not stored has none) or RL_FAILED.
int retrievelist_study(const finddataset_index *ix, const char *study,
                       std::vector<retrievelist_image> *out);

// Finds the study and series of stored instances by their SOP instance
// UIDs, in one walk of the index (studies newest first, deleted ones passed
// over) that reads each series' image index once, whole, and ends when
// every UID is found: (*out)[i] (resized to instances) is the place of
// instances[i], its study and series empty when it is not indexed. The
// number of entries of instances found (0 when the index cannot be read).
int retrievelist_locateAll(const finddataset_index *ix, const std::vector<std::string> &instances,
                           std::vector<retrievelist_image> *out);

// The SOP class and transfer syntax UIDs of the image file at path, from
// its meta header (the data set is not read): 0, or -1 when the file
// cannot be read or names no SOP class.
int retrievelist_fileClass(const char *path, std::string *sopClass, std::string *xfer);

// Reads the meta header of a Part 10 file from its first n bytes at buf:
// the SOP class (0002,0002) and transfer syntax (0002,0010) UIDs, and in
// *datasetStart the offset of the data set that follows the header (0 when
// the header does not end within the n bytes, or nothing follows it). 1
// when class and syntax were found, else 0 (not a Part 10 file, or a header
// longer than n bytes).
int retrievelist_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass,
                           std::string *xfer, size_t *datasetStart);

// Splits a UID list (values separated by "\") into *out; spaces around a
// value and empty values are dropped.
void retrievelist_splitUids(const char *list, std::vector<std::string> *out);

#endif

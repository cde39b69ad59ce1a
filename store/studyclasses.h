// SOP Classes in Study (0008,0062): the distinct SOP classes of a study's
// stored images, read from their files' meta headers. A study-level query
// that names it is answered and matched here, after the index has matched
// the study on its other keys (the index records no SOP class), by the
// DICOM side's C-FIND and by the web's study searches alike.
#ifndef VELTO_STORE_STUDYCLASSES_H
#define VELTO_STORE_STUDYCLASSES_H

#include <string>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmdata/dcdatset.h"

class LocalStore;

// The SOP classes of the study's stored images, distinct, in index order,
// as one backslash-separated value (empty: none readable).
std::string studyclasses_list(LocalStore *store, const char *study);

// When query is a study-level one that asks for SOP Classes in Study, sets
// it in response (a study match with its Study Instance UID) to the
// study's classes. False when the query's value of it (one class or a
// list) names none of them: the study is no match.
bool studyclasses_add(LocalStore *store, DcmDataset *query, DcmDataset *response);

#endif

// De-identification of stored images by the DICOM basic confidentiality
// profile: the table of attributes and what is done to each (core/
// deidentify.cc holds it as data), the options that retain more, the
// site's key (BASE/DeidentifyKey) from which stable pseudonyms come, and
// the one call that de-identifies a data set in place. The ways out (a copy
// into the archive, a ZIP, a forward) are the front ends'; they all call
// deidentify_dataset (or deidentify_file) and report its burned-in finding.
//
// What it promises: every attribute of the table has its identifying value
// removed, emptied or replaced, in every sequence item at every depth;
// every private attribute is removed; the same patient (Patient ID with its
// issuer, or the name when there is no ID) gets the same pseudonym name and
// ID, and every UID the same replacement, at every run under the same key.
// What it does not: pixel data is never changed, so text burned into the
// image stays; such an image is reported (deidentify_result::burnedIn) and
// can be refused, never called clean.
#ifndef VELTO_CORE_DEIDENTIFY_H
#define VELTO_CORE_DEIDENTIFY_H

#include "dcmtk/config/osconfig.h"

#include <string>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcfilefo.h"

// The key file's name in the store's base directory, and its length.
#define DEIDENTIFY_KEY_FILE "DeidentifyKey"
enum { DEIDENTIFY_KEY_BYTES = 32 };

// The site's key: 32 random bytes.
struct deidentify_key {
    unsigned char bytes[DEIDENTIFY_KEY_BYTES];
};

// Reads BASE/DeidentifyKey, making it on first use (32 bytes from
// getrandom, mode 0600, written under a temporary name and linked into
// place, so that two first users agree on one key). 0, or -1 with *error
// saying why (a key file of another length is an error, never replaced).
int deidentify_loadKey(const char *baseDir, deidentify_key *key, std::string *error);

// What is retained besides the basic profile.
struct deidentify_options {
    // Retain Longitudinal Temporal Information with Modified Dates: dates
    // and date-times shifted back by a number of days (1..3650) that the key
    // and the patient fix; times kept.
    bool shiftDates = false;
    // Retain Device Identity: station name, serial numbers, device UIDs.
    bool retainDevice = false;
    // Retain Patient Characteristics: age, sex, size, weight and the like.
    bool retainPatient = false;
    // Refuse an image whose pixel data may hold burned-in text.
    bool refuseBurnedIn = false;
};

// Parses "dates", "device", "patient", "refuse-burned-in" from one word
// into *options: false for a word that is none of them.
bool deidentify_option(const std::string &word, deidentify_options *options);
// Parses "yes" (the basic profile alone) or a comma-separated list of
// option words into *options (may be null: only checked). False when a word
// is none of them.
bool deidentify_parseOptions(const std::string &list, deidentify_options *options);
// The options as words, comma separated ("" for none): for logs and
// answers.
std::string deidentify_optionWords(const deidentify_options &options);

// What one de-identification found.
struct deidentify_result {
    // The pixel data may hold identifying text: Burned In Annotation
    // (0028,0301) is YES, or absent in an image of a modality that often
    // burns text in (US, XA, RF, ES, XC, OT, SC, DOC, SM), or a secondary
    // capture or an encapsulated document (deidentify.cc, mayBurnIn).
    bool burnedIn = false;
    std::string pseudonymName, pseudonymId; // the patient's new name and ID
    std::string study;                      // the new Study Instance UID
    std::string series, instance;           // the new Series / SOP Instance UID
};

enum {
    DEIDENTIFY_DONE = 0,
    DEIDENTIFY_REFUSED = 1, // burned in and refuseBurnedIn: ds unchanged
};

// The replacement of uid under key: "2.25." and the first 128 bits of
// HMAC-SHA256(key, uid) as a decimal number.
std::string deidentify_uid(const deidentify_key &key, const std::string &uid);

// De-identifies ds in place as the table and options say (the pixel data
// untouched). DEIDENTIFY_DONE, or DEIDENTIFY_REFUSED; *result filled.
int deidentify_dataset(const deidentify_key &key, const deidentify_options &options, DcmDataset *ds,
                       deidentify_result *result);

// deidentify_dataset on the data set of a file read whole, and its meta
// header made to match (the new SOP Instance UID, no source AE titles).
int deidentify_file(const deidentify_key &key, const deidentify_options &options, DcmFileFormat *ff,
                    deidentify_result *result);

// Encodes ff as a Part 10 file into *out (replaced), in the transfer
// syntax its data set was read in: 0, or -1 when the toolkit cannot.
int deidentify_encode(DcmFileFormat *ff, std::string *out);

#endif

// Rejection of stored images (Imaging Object Change Management): a Key
// Object Selection document whose Concept Name Code (its title) is one of
// the rejection titles
//     (113001, DCM, "Rejected for Quality Reasons")
//     (113037, DCM, "Rejected for Patient Safety Reasons")
//     (113038, DCM, "Incorrect Modality Worklist Entry")
//     (113039, DCM, "Data Retention Policy Expired")
// is a rejection note: once it is stored (archive_ingest), the images its
// Current Requested Procedure Evidence Sequence names are hidden from every
// query and retrieve, as the store's per-study rejection files record them
// (store/rejections.h). The note itself stays an ordinary, visible image.
//
// The hiding is done here, beneath every front end, by the archive's own
// walks: archive_query drops a rejected image's match, and a series or
// study match whose images are all rejected (a series' and a study's
// counts of related instances and series are those of the images left);
// archive_select leaves rejected images out of a retrieve; archive_locate
// finds none; a front end that reaches a file by its three UIDs asks
// archive_rejected first. A purge (archive_purgeRejected, storeindex
// purge-rejected) removes the rejected images through archive_delete.
//
// An image rejected once and sent again is refused (ARCHIVE_REFUSED_REJECTED,
// 0xC124, with a log line)
// unless the site file "Rejection" says "resend accept": then it is stored
// and visible again.
#ifndef VELTO_CORE_REJECTION_H
#define VELTO_CORE_REJECTION_H

#include "dcmtk/config/osconfig.h"

#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

#include "store/rejections.h"

struct archive_context;

#define REJECTION_CONFIG_FILENAME "Rejection"
#define REJECTION_KOS_CLASS "1.2.840.10008.5.1.4.1.1.88.59"

// The rejection title of a note: its code value ("113001" ..), or null
// when ds is no rejection note (another class, or another title).
const char *rejection_title(DcmDataset *ds);
// The code meaning of a rejection title's code value, or null.
const char *rejection_meaning(const char *code);

// Reads the site file "Rejection" ("resend refuse|accept"): 1 accept, 0
// refuse (the default, also without the file), -1 unusable (logged).
int rejection_siteResend(FILE *log);

// One walk's view of the rejections (a query's, a retrieve's): the files
// of the studies it meets, read once each.
class rejection_view
{
public:
    explicit rejection_view(const archive_context *ctx) : ctx_(ctx) {}
    // Whether the image is hidden (study may be empty: then every study's
    // rejections are read, once).
    bool hidden(const std::string &study, const std::string &instance);
    // Whether the study has any hidden image.
    bool anyIn(const std::string &study);
    // For a query match at level ("STUDY", "SERIES", "IMAGE", ...): false
    // when it is to be dropped; else true, with the counts of related
    // instances and series in it set to the images left.
    bool keep(DcmDataset *match, const std::string &level);

private:
    // keep of a PATIENT match: dropped when every image of the patient's
    // studies is hidden, its counts made those of the images left.
    bool keepPatient(DcmDataset *match);
    const std::set<std::string> &studyHidden(const std::string &study);
    const archive_context *ctx_;
    // The studies that have a file, listed at the view's first look (one
    // directory read per walk instead of one failed open per study).
    std::set<std::string> files_;
    bool listed_ = false;
    std::map<std::string, std::set<std::string>> hidden_; // study -> hidden instances
    std::set<std::string> all_;                           // every study's, when read
    bool allRead_ = false;
};

// The hook of archive_ingest before an image is stored: ARCHIVE_REFUSED_REJECTED
// when the image was rejected and the site refuses it again, else 0 (an
// image accepted again has its rejection ended: -1 when that cannot be
// written, which refuses the image for now).
int rejection_beforeStore(const archive_context *ctx, const std::string &study,
                          const std::string &series, const std::string &instance);

// The hook of archive_ingest once a note is stored (or found stored
// already: its repeat records what a crash may have left unrecorded):
// appends the rejection of every image the note names. 0, or -1 after a
// log line (the note is then taken out again and refused).
int rejection_record(const archive_context *ctx, DcmDataset *note, const char *code);

// Makes a rejection note titled code (one of the four) for the images of
// study (of series only, when not empty) that are not hidden yet, rejection
// notes left out, and stores it through archive_ingest as a peer's note
// would be (the caller serialises as for an ingest): a valid Key Object
// Selection document that peers read, its patient and study attributes
// taken from one of the study's images. 0 stored (*noteUid and *count set),
// 1 nothing to reject, -1 failed (logged).
int archive_rejectImages(const archive_context *ctx, const std::string &study,
                         const std::string &series, const char *code, std::string *noteUid,
                         size_t *count);

// Removes every rejected image still stored through archive_delete (the
// caller serialises with other users of the store), one line per image to
// out ("purged STUDY SERIES INSTANCE" / with dryRun "would purge ..."),
// and records it purged. The number purged, or -1 when the rejection files
// cannot be read.
int archive_purgeRejected(const archive_context *ctx, bool dryRun, FILE *out, FILE *log);

#endif

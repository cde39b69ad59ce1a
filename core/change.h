// Changes of what is stored: the correction of patient, study and series
// attributes of stored images (modify), the merge of one patient into
// another, and the split of a study's series into a new study or into
// another study. One function per change, each taking a plain request, so
// that every front end (storeindex, storeweb, an HL7 adapter) makes the
// same change the same way.
//
// A change rewrites every image file of its scope (a new file each, under a
// temporary name, placed by rename; the same SOP Instance UIDs unless new
// UIDs are asked for), appends its checksum line (store/checksums.h) and
// rewrites its index records (index/indexbackend.h). It is atomic for its
// whole scope: one intent file B/uid/CHANGE.ID.intent (temporary name,
// flush, rename) lists every image and its new UIDs before any image
// changes; the new files are written beside it and flushed; the intent is
// then renamed CHANGE.ID.commit, the moment from which the change is
// made; the images are placed, indexed and the old ones of moved images
// removed; all is flushed and the intent removed last. A crash leaves
// (archive_finishChanges, run by the store's start):
// - an intent (not committed): the new files are removed, the store is
//   wholly as before;
// - a commit: every step is done again (each is done or redone, none
//   matters twice), the store is wholly as after.
// The studies of a change are locked (the study locks, store/studylock.h,
// in their fixed order) from the listing of its images until the intent is
// gone: two changes of one patient run one after the other, and a store
// into one of the studies lands before the change (and is changed) or
// after it (and is stored as sent).
//
// Each change that is made is recorded in the store's change log
// (B/CHANGES, one line per change), announced on the monitor channel
// ("STORAGE CHANGED ID KIND STUDY..."), and, when the site's ChangeSettings
// say "forward-changed yes", its images queued again for the forwarding
// rules.
#ifndef VELTO_CORE_CHANGE_H
#define VELTO_CORE_CHANGE_H

#include <string>
#include <vector>

struct archive_context;

// Results of a change (change_result::status).
enum {
    CHANGE_DONE = 0,       // made, recorded
    CHANGE_REFUSED = 1,    // the request is refused (message says why); nothing changed
    CHANGE_NOT_FOUND = 2,  // its scope names nothing stored; nothing changed
    CHANGE_FAILED = 3,     // the store failed before the change was made; nothing changed
    CHANGE_UNFINISHED = 4, // made, but a step after it failed: the next start finishes it
};

// Who asks and from where, for the change log.
struct change_origin {
    std::string user; // "" : the operating system's user of the process
    std::string from; // "cli", "web 127.0.0.1", "hl7 HOST", ...
};

// One attribute's new value: keyword ("PatientName") or "gggg,eeee", and
// the value in UTF-8 ("" : empty).
struct change_value {
    std::string attribute;
    std::string value;
};

// Modify: the scope is a patient (patientId, with issuer when given), a
// study (study), or a series (study and series). values are checked
// against the attributes the site allows; newUids gives every image (and
// its series and study) new UIDs, which moves their files in the tree.
struct change_modify {
    std::string patientId, issuer;
    std::string study, series;
    std::vector<change_value> values;
    bool newUids = false;
    change_origin origin;
};

// Merge: every study of patient from (ID, issuer) becomes patient to's:
// to's patient attributes (name, ID, issuer, birth date, sex) are written
// into from's images. The studies keep their UIDs: as many studies as
// before.
struct change_merge {
    std::string fromId, fromIssuer;
    std::string toId, toIssuer;
    change_origin origin;
};

// Split: the series of study become a new study (toStudy "": a new Study
// Instance UID, the study attributes as they are) or move into study
// toStudy (its patient and study attributes written into them).
struct change_split {
    std::string study;
    std::vector<std::string> series;
    std::string toStudy;
    change_origin origin;
};

struct change_result {
    int status = CHANGE_FAILED;
    std::string id;                   // the change's id (made changes only)
    std::string message;              // why it was refused or failed, or what was done
    size_t images = 0;                // images changed
    std::vector<std::string> studies; // the studies the images are in afterwards
};

// The changes. The caller serialises them with every other use of the
// archive's store (archive_exclusive in a threaded front end).
int archive_modify(const archive_context *ctx, const change_modify &request, change_result *result);
int archive_merge(const archive_context *ctx, const change_merge &request, change_result *result);
int archive_split(const archive_context *ctx, const change_split &request, change_result *result);

// What dead changes left (their intents in B/uid), finished or rolled back
// as above; a change of a live process is left to it. The number settled,
// or -1 when B/uid cannot be listed (logged).
int archive_finishChanges(const archive_context *ctx);

// The change log's entries that concern patient (a Patient ID, before or
// after the change) or study (a Study Instance UID, before or after), both
// "" : every entry; oldest first. Each entry is a list of "key=value"
// fields (id, time, user, from, kind, scope, images, studies, patients,
// then one "change=ATTRIBUTE OLD NEW" each, escaped as written). 0, or -1
// when the log cannot be read (none yet: 0 and no entry).
int archive_changeLog(const archive_context *ctx, const std::string &patient,
                      const std::string &study,
                      std::vector<std::vector<std::pair<std::string, std::string>>> *entries);

#endif

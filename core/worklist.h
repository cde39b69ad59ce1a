// The modality worklist's entries: one DICOM worklist file (NAME.wl) per
// scheduled procedure step in the directory "worklist" below the store's
// base directory, the layout that DCMTK's worklist file-system data source
// reads (its data path is the base directory, "worklist" its called-AE
// directory, with the "lockfile" it takes a read lock on). Entries are made
// (from a flat list of DICOM keywords and values), listed, removed, and
// marked done when a study with their accession number or Study Instance
// UID arrives: a done entry is renamed into "worklist/done", which the data
// source does not read.
#ifndef VELTO_CORE_WORKLIST_H
#define VELTO_CORE_WORKLIST_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

// Below the base directory: the entries, the done ones, and the data
// source's lock file (empty).
#define WORKLIST_DIRNAME "worklist"
#define WORKLIST_DONE_DIRNAME "done"
#define WORKLIST_LOCKFILE "lockfile"
// File name extension of an entry (the data source reads only these).
#define WORKLIST_EXTENSION ".wl"

// What makes an entry done when a study arrives (storeserver -W).
enum {
    WORKLIST_DONE_OFF = 0,
    WORKLIST_DONE_ACCESSION = 1, // the study's Accession Number equals the entry's
    WORKLIST_DONE_STUDY = 2,     // the study's Study Instance UID equals the entry's
    WORKLIST_DONE_BOTH = 3,      // either of the two
};

// One entry as keyword/value pairs (DICOM keywords; the scheduled
// procedure step's attributes among them, flat), in a fixed order.
typedef std::vector<std::pair<std::string, std::string>> worklistfields;

struct worklistentry {
    std::string id; // the file name without ".wl"
    worklistfields fields;
    // Whether the worklist serves it: DCMTK's data source leaves out files
    // that lack an attribute a worklist answer must hold (type 1); a
    // dropped file may be such a one.
    bool complete;
    // Marked done (in the done directory): no longer served, still listed
    // with withDone.
    bool done;
};

// The entry directory of the store below baseDir: "baseDir/worklist".
std::string Worklist_Dir(const char *baseDir);

// Makes the entry directory, its done directory and the lock file where
// they are missing. 0, or -1 with errno set.
int Worklist_Prepare(const char *baseDir);

// The keywords an entry may be made of, in the order of a listing
// (null-terminated).
extern const char *const worklist_keywords[];

// Makes an entry from fields (keywords of worklist_keywords; a value is
// checked against its VR). Patient Name, Patient ID, Modality, Scheduled
// Station AE Title and Scheduled Procedure Step Start Date are required;
// Study Instance UID, the procedure's IDs, the step's start time and the
// descriptions get defaults. The file is written under a temporary name,
// flushed and renamed into place, and the directory flushed: a crash
// leaves no entry or the whole entry (and at worst a hidden temporary
// file). 0 with *id set; 1 the fields are refused (*error says why); -1 the
// file could not be written (*error says why, also logged to log).
int Worklist_Create(const char *baseDir, const worklistfields &fields, std::string *id,
                    std::string *error, FILE *log);

// Only regular files are entries: a name ending in ".wl" that is a FIFO, a
// device, a directory or a symbolic link is skipped without being opened
// (a FIFO's open blocks until someone writes to it; a link may lead to any
// of those, or out of the store). Sites that keep entries elsewhere copy
// them in rather than link them.

// The base directory DCMTK's worklist data source is to read for a query
// (its "worklist" directory holding exactly the entries): baseDir itself
// when every "*.wl" name in the entry directory is a regular file; else a
// view made for this process, baseDir/worklist/.view-PID, whose "worklist"
// directory links to each regular entry and to the lock file, so that the
// data source (which opens every "*.wl" name it finds) never opens one of
// the others. *skipped gets the names left out. 0, or -1 with errno set
// (the view cannot be made). Worklist_EndView removes the view.
int Worklist_QueryBase(const char *baseDir, std::string *queryBase,
                       std::vector<std::string> *skipped);
// Removes a view that Worklist_QueryBase made (queryBase not baseDir).
void Worklist_EndView(const char *baseDir, const std::string &queryBase);

// Every entry in the directory, sorted by id, with the values it holds
// for worklist_keywords; withDone: then the done ones, sorted by id too.
// Files that cannot be read are left out (and logged). 0, or -1 when a
// directory cannot be read (a missing directory is an empty worklist).
int Worklist_List(const char *baseDir, std::vector<worklistentry> *out, FILE *log,
                  bool withDone = false);

// Removes the entry id, open or done. 0 removed, 1 no such entry (or a
// name that is not an entry's), -1 error (logged).
int Worklist_Remove(const char *baseDir, const std::string &id, FILE *log);

// A study with accession (may be empty) and studyUID has arrived: every
// entry that matches under mode (WORKLIST_DONE_*) is renamed into the done
// directory. Returns how many; logged at notice level.
int Worklist_MarkDone(const char *baseDir, const char *accession, const char *studyUID, int mode,
                      FILE *log);

// The mode named by text ("accession", "study", "both", "off"), or -1.
int Worklist_ParseDoneMode(const char *text);

// 1 when id can name an entry file (no path separators, not hidden, not
// empty, at most 128 characters of letters, digits and "-_.").
int Worklist_ValidId(const std::string &id);

#endif

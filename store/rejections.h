// The rejected images of each study (rejection notes: Key Object Selection
// documents whose title rejects the images they name), as the store keeps
// them: one append-only file per study, "B/REJECTED/S" (S the Study
// Instance UID), one line per event:
//     R SERIES INSTANCE NOTE CODE\n   rejected by the note NOTE (its SOP
//                                     Instance UID) with the title CODE
//     P SERIES INSTANCE\n             purged: its file and records removed
//     A SERIES INSTANCE\n             accepted again (a site that takes a
//                                     rejected image when it is sent again)
// The last line of an image wins. Each event is one write of whole lines
// flushed to disk before the operation that made it is answered; a line
// that is not whole (a torn last line of a crash) is ignored, and the next
// append starts on a line of its own. The file is never rewritten: it
// stays when the study goes, so that an image rejected once is known as
// such when it comes again.
//
// Kept apart from the UID tree (not in the study's directory), so that the
// store's delete, check and rebuild, which know every file there, need not
// know it; and per study, so that a query looks only at the rejections of
// the studies it matches (one failed open for a study without any).
#ifndef VELTO_STORE_REJECTIONS_H
#define VELTO_STORE_REJECTIONS_H

#include <stdio.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#define REJECTIONS_DIR "REJECTED"

// The state of one rejected image.
struct rejections_entry {
    char state = 'R'; // 'R' rejected, 'P' purged, 'A' accepted again (not hidden)
    std::string note; // the rejection note's SOP Instance UID
    std::string code; // its title's code value (e.g. 113001)
};

// The images of one study that have a line, by (series, instance).
typedef std::map<std::pair<std::string, std::string>, rejections_entry> rejections_study;

// Reads the file of study into *out (cleared first): 0 (a missing file:
// none), or -1 (errno set) when it cannot be read.
int rejections_read(const char *base, const std::string &study, rejections_study *out);

// Appends lines (whole lines, each ending in '\n') to the file of study in
// one write and flushes it (the directory too when the file is new): 0, or
// -1 after a log line. Each append is one write to a file opened for
// appending: two writers' lines never interleave.
int rejections_append(const char *base, const std::string &study, const std::string &lines,
                      FILE *log);

// The studies that have a file: 0, or -1 when the directory cannot be read
// (a missing one: none).
int rejections_studies(const char *base, std::vector<std::string> *out);

// True when the entry hides its image (rejected or purged).
inline bool rejections_hides(const rejections_entry &e)
{
    return e.state == 'R' || e.state == 'P';
}

#endif

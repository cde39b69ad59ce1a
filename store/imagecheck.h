// The check that a stored image file is whole: its elements are walked
// from the meta header to the last byte through a descriptor the caller
// holds (values skipped, never loaded), which is far cheaper than parsing
// the file with the toolkit, and proves as much of it: every length lies
// within the file and within the element that holds it, every sequence and
// item ends where it says, and the data set ends at the file's end. A file
// cut short, or with bytes that are no element, fails (a file whose
// encoding the walk does not follow is left to the toolkit).
#ifndef VELTO_STORE_IMAGECHECK_H
#define VELTO_STORE_IMAGECHECK_H

#include <sys/types.h>

#include <string>

// Results of imagecheck_walk.
enum {
    IMAGECHECK_WHOLE = 1,    // whole: *sopClass and *instance are its data set's
    IMAGECHECK_DAMAGED = 0,  // cut short or damaged
    IMAGECHECK_UNREAD = -1,  // a read failed (errno set)
    IMAGECHECK_FOREIGN = -2, // not walked here (deflated data set, no meta header or
                             // one of more than 64 KiB, an explicit VR that is not two
                             // capital letters): ask the toolkit
};

// Walks the Part 10 file open at fd (read with pread, from offset 0 to its
// size at the start) and reads the SOP Class UID (0008,0016) and SOP
// Instance UID (0008,0018) of its data set (empty when absent; trailing
// spaces and NULs cut). IMAGECHECK_* above.
int imagecheck_walk(int fd, std::string *sopClass, std::string *instance);

// What a walk accepts: sequences nested at most maxDepth deep (a sequence
// in the data set is depth 1, a sequence in one of its items depth 2), and
// at most maxItems sequence items in the whole data set (0: any number). A
// file beyond either is IMAGECHECK_DAMAGED. imagecheck_walk takes
// IMAGECHECK_DEFAULT_DEPTH and any number of items.
struct imagecheck_limits {
    int maxDepth;
    long maxItems;
    long maxElements; // 0: no limit
};
enum { IMAGECHECK_DEFAULT_DEPTH = 64 }; // the element walk's own (dicomnet/elementwalk.h)

// imagecheck_walk within limits: for a file about to be parsed by the
// toolkit, whose reader recurses once per level and keeps every item in
// memory.
int imagecheck_walkWithin(int fd, const imagecheck_limits &limits, std::string *sopClass,
                          std::string *instance);

// Walks a bare data set (no meta header) from offset start of the file
// open at fd to its end, in transfer syntax xfer (not a deflated one),
// within limits: for a data set that the caller has inflated itself.
// IMAGECHECK_WHOLE, _DAMAGED, _UNREAD or _FOREIGN as above.
int imagecheck_walkDataset(int fd, off_t start, const std::string &xfer,
                           const imagecheck_limits &limits, std::string *sopClass,
                           std::string *instance);

// The meta header of a Part 10 file, for the core (which reaches the index
// layer only through its interface): the SOP class and transfer syntax of
// the first n bytes at buf and the offset of the data set, as
// retrievelist_parseMeta reads them (1 read, 0 not a whole meta header);
// and of the image file at path (0, or -1 unreadable or no SOP class), as
// retrievelist_fileClass.
int imagecheck_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass,
                         std::string *xfer, size_t *datasetStart);
int imagecheck_fileClass(const char *path, std::string *sopClass, std::string *xfer);

#endif

// The walk of a data set's element encoding, fed its bytes in pieces as
// they come (from a file or from the network): every length is checked
// against the element, item or sequence that holds it, every sequence and
// item must end where it says, and values are passed over without being
// kept. It keeps no recursion and no more than its stack of open sequences
// and items, so a hostile data set costs it nothing: one nested deeper
// than a limit, or with a length beyond a limit, is reported as soon as
// the header that says so has been fed, before anything else reads it.
#ifndef VELTO_DICOMNET_ELEMENTWALK_H
#define VELTO_DICOMNET_ELEMENTWALK_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Sequences within sequences that a data set may hold (real ones hold a
// handful; the toolkit's parser recurses for each, and thousands overflow
// its stack).
enum { ELEMENTWALK_MAX_DEPTH = 64 };

// Sequence items (fragments not counted) that an image may hold: real
// multi-frame images hold some tens of thousands in their per-frame
// functional groups; a reader that parses a data set keeps some hundred
// bytes for each item however small, so millions of empty ones would cost
// it ten times their bytes.
enum { ELEMENTWALK_MAX_ITEMS = 200000 };
// Elements (at every level) that an image may hold, for the same reason:
// such an image holds some hundred thousand in its items.
enum { ELEMENTWALK_MAX_IMAGE_ELEMENTS = 1000000 };

// Results of elementwalk_feed and elementwalk_finish.
enum {
    ELEMENTWALK_MORE = 0,              // fine so far (feed); whole (finish)
    ELEMENTWALK_DAMAGED = 1,           // a length or delimitation that does not fit, or cut short
    ELEMENTWALK_TOO_DEEP = 2,          // sequences nested deeper than the limit
    ELEMENTWALK_TOO_LONG = 3,          // a length, or the data set, beyond maxLength
    ELEMENTWALK_FOREIGN = 4,           // an explicit VR that is not two capital letters (or, when
                                       // strict, not a VR at all): not followed here
    ELEMENTWALK_DISORDERED = 5,        // strict: an element not after the one before it
    ELEMENTWALK_TOO_MANY = 6,          // more sequence items than maxItems
    ELEMENTWALK_TOO_MANY_ELEMENTS = 7, // more elements than maxElements
};

// An element of the data set's top level: its tag, where its header begins
// (it ends where the next one begins) and the sequence items begun before
// it (so the next one's count less this one's is the items it holds).
struct elementwalk_element {
    uint32_t tag;
    uint64_t start;
    long itemsBefore;
};

// Top-level elements recorded at most (a hostile head of millions of empty
// elements is walked, but no longer recorded).
enum { ELEMENTWALK_MAX_ELEMENTS = 1 << 16 };

struct elementwalk_frame {
    uint64_t limit;  // offset this frame must end by (UINT64_MAX: none known)
    bool defined;    // ends exactly at limit (else at its delimitation item, or the end)
    bool sequence;   // a sequence's items (else a data set's elements)
    bool fragments;  // the items are encapsulated pixel data fragments
    bool implicitVr; // how the elements within are encoded
    bool bigEndian;
    uint32_t lastTag; // of the last element of a data set (0 before its first)
};

// The walk's settings and state. Set the settings after elementwalk_init;
// everything else belongs to the walk.
struct elementwalk {
    uint64_t maxLength; // the most the data set and each length may take (0: no limit)
    int maxDepth;       // sequences within sequences allowed
    long maxItems;      // sequence items (not fragments) in all allowed (0: no limit)
    long maxElements;   // elements at every level in all allowed (0: no limit)
    // An explicit VR unknown to DICOM is foreign too, and elements must come
    // in ascending order without repeats: the toolkit's parser, fed in
    // pieces, loses its place at an element out of order, and would read
    // the rest of its value as elements that this walk never saw.
    bool strictVr;
    // Implicit VR: whether an element of defined length is a sequence (the
    // toolkit reads such elements as sequences by its dictionary); null:
    // such values are passed over.
    bool (*isSequence)(unsigned group, unsigned element);

    uint64_t pos; // bytes walked from the data set's start
    std::vector<elementwalk_frame> stack;
    int depth;         // sequences open
    long items;        // sequence items begun
    long elementCount; // elements begun, at every level
    unsigned char head[12];
    size_t headLen;
    uint64_t skip;        // value bytes still to pass over
    std::string *capture; // where skipped value bytes are kept, or null
    int result;
    std::string sopClass, instance; // (0008,0016), (0008,0018) of the data set, as read
    // Where the data set's bulk begins: the offset of its first element of
    // group 7FE0 or above (pixel data and what follows it), UINT64_MAX
    // until one is met. What lies before is the head that a reader of the
    // data set's attributes needs.
    uint64_t bulkStart;
    // Set (a setting): each element of the head's top level is recorded in
    // elements as its header is walked, up to ELEMENTWALK_MAX_ELEMENTS
    // (beyond, elementsCut is set), so that a reader may pick the elements
    // it needs out of the bytes without parsing the rest.
    bool recordElements;
    std::vector<elementwalk_element> elements;
    bool elementsCut;
};

// True when vr (two characters) is one of the count VRs of list.
bool elementwalk_vrIn(const char *vr, const char *const list[], size_t count);
// True when an explicit element of vr has a 4-byte length (after 2
// reserved bytes): OB, OD, OF, OL, OV, OW, SQ, SV, UC, UN, UR, UT, UV.
bool elementwalk_longVr(const char *vr);

// Starts a walk of a data set in the given encoding that ends at offset
// end (a file's data set) or wherever elementwalk_finish says (end
// UINT64_MAX: a data set as it comes). Limits: ELEMENTWALK_MAX_DEPTH, no
// maxLength, no maxItems, no maxElements, strictVr off, recordElements off.
void elementwalk_init(elementwalk *w, bool implicitVr, bool bigEndian, uint64_t end = UINT64_MAX);

// Walks the next n bytes. ELEMENTWALK_MORE, or the first fault found (then
// sticky: later calls return it unchanged).
int elementwalk_feed(elementwalk *w, const unsigned char *bytes, size_t n);

// How many of the next bytes are value bytes the walk has no use for: a
// reader may pass over them with elementwalk_pass instead of feeding them.
uint64_t elementwalk_skippable(const elementwalk *w);
// Passes over n bytes (at most elementwalk_skippable).
void elementwalk_pass(elementwalk *w, uint64_t n);

// The data ended: ELEMENTWALK_MORE when the data set is whole (every
// sequence and item closed, no element cut), else the fault.
int elementwalk_finish(elementwalk *w);

#endif

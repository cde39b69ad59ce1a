// The conversion of a data set in Implicit VR Little Endian or Explicit VR
// Big Endian into Explicit VR Little Endian as its bytes come, in bounded
// memory: the bytes the toolkit would write for the same data set once
// parsed whole (read as a received data set is, written as the store writes
// an image: sequences and items of undefined length, group lengths
// recalculated, an odd value followed by a NUL but in OW), without parsing
// it. In Implicit VR each element's VR is the one the toolkit gives it: its
// dictionary's (a private element's by its creator, read from the same
// item), US or SS as the same item's Pixel Representation says where the
// dictionary allows both, OB or OW for waveform data as its item's bits
// say, OW for other data of either, UN where the dictionary does not know
// the tag (and for a value too long for its VR's 2-byte length); an element
// of undefined length is a sequence. In big endian each number is turned
// round by its VR; an UN of undefined length holds a sequence in Implicit
// VR Little Endian.
//
// It keeps the stack of open sequences and items, the private creators of
// the open items, and, while a group that begins with a group length is
// open, that group's converted bytes (the length is known only at its end):
// never more than the data set's own size.
//
// What the conversion does not follow (TRANSCODE_FOREIGN): an element of
// undefined length the dictionary knows as no sequence (the toolkit refuses
// it too), pixel data of undefined length (encapsulated, which these
// syntaxes do not allow and the store kept as it came), numbers cut short in
// big endian.
//
// The bytes fed must have been walked first (dicomnet/elementwalk.h, with
// the dictionary's sequences): the conversion trusts their delimitation.
#ifndef VELTO_DICOMNET_TRANSCODE_H
#define VELTO_DICOMNET_TRANSCODE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "dicomnet/elementwalk.h"

// Results of transcode_feed.
enum {
    TRANSCODE_MORE = 0,   // fine so far (or, with last, done)
    TRANSCODE_FOREIGN = 1 // a construct the conversion cannot write as the toolkit does
};

// Where converted bytes go, in order, last set with the end.
typedef void (*transcode_sink)(void *data, const unsigned char *bytes, size_t n, bool last);

struct transcode_frame {
    bool sequence;  // a sequence's items (else an item's or the data set's elements)
    bool defined;   // ends at end (else at its delimitation item)
    uint64_t end;   // input offset
    bool pixelRep1; // Pixel Representation read here, and 1
    bool pixelRepSeen;
    int waveBits;    // Waveform Bits Allocated read here (-1: none)
    bool implicitVr; // how the elements within are encoded
    bool bigEndian;
    // Private creators read in this item: (group << 8 | block, name).
    std::vector<std::pair<uint32_t, std::string>> creators;
};

// A group length written and waiting for its group's end.
struct transcode_patch {
    uint64_t at;   // offset of its value in the held bytes
    uint64_t from; // offset in the held bytes where the group's elements begin
    size_t frame;  // the item it belongs to (index into the stack)
    unsigned group;
};

struct transcode {
    transcode_sink sink;
    void *sinkData;
    // The walk of the converted bytes (Explicit VR Little Endian): where a
    // reader of the result finds its head's elements and its bulk.
    elementwalk out;

    uint64_t pos; // input bytes taken
    std::vector<transcode_frame> stack;
    unsigned char head[12];
    size_t headLen;
    uint64_t copy;         // value bytes still to copy through
    bool padOdd;           // after them, a pad byte
    unsigned char pad;     // the pad byte
    size_t swap;           // bytes of each number reversed (big endian), or 1
    unsigned char unit[8]; // a number's bytes so far
    size_t unitLen;
    bool text; // the value is a text, kept until whole
    std::string textValue;
    unsigned textGroup, textElement;
    char textVr[3];
    std::string captured;         // a private creator's or Pixel Representation's value
    int captureKind;              // what captured is (0: none; -1: the value is dropped)
    uint32_t captureKey;          // the creator's group and block
    std::string buffer;           // converted bytes not yet handed on
    std::deque<std::string> held; // converted bytes held for a group length
    uint64_t heldSize;
    std::vector<transcode_patch> patches;
    int result;
};

// Starts a conversion of a data set in Implicit VR Little Endian (or, with
// bigEndian, Explicit VR Big Endian); its
// converted bytes go to sink (and are walked first, in t->out, which the
// caller may set up further: recordElements).
void transcode_init(transcode *t, bool bigEndian, transcode_sink sink, void *sinkData);

// Converts the next n bytes (last: the data set's end, after which the rest
// is handed on). TRANSCODE_MORE, or the fault (then sticky).
int transcode_feed(transcode *t, const unsigned char *bytes, size_t n, bool last);

#endif

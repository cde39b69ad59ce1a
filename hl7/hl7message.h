// HL7 version 2 messages as a hospital's ADT feed sends them: the parse of
// one message into segments and fields, the text of a value (escapes
// resolved, converted to UTF-8 from the message's character set), and the
// acknowledgement (ACK) the receiver answers with. Knows nothing of DICOM
// or the archive; the ADT events the archive acts on are read by
// hl7/hl7adt.h, and the framing on the wire is hl7/mllp.h's.
#ifndef VELTO_HL7_HL7MESSAGE_H
#define VELTO_HL7_HL7MESSAGE_H

#include <stddef.h>

#include <string>
#include <vector>

// Limits of a message: a longer one, or one with more segments or fields, is
// refused whole (never read in part).
enum {
    HL7_MAX_SEGMENTS = 1000,
    HL7_MAX_FIELDS = 500, // per segment
};

// One parsed message. Each segment is its list of fields as sent (escapes
// and the character set untouched), fields[0] being the segment's name. As
// HL7 counts MSH's fields, MSH's fields[1] is the field separator itself and
// fields[2] the encoding characters, so that fields[n] is MSH-n for every
// segment alike.
struct hl7_message {
    struct segment {
        std::vector<std::string> fields;
    };
    std::vector<segment> segments;
    char field = '|';
    char component = '^';
    char repetition = '~';
    char escape = '\\';
    char subcomponent = '&';
    // MSH-18 as sent ("" when absent), and the character set it names:
    // HL7_CHARSET_*.
    std::string charsetName;
    int charset = 0;
};

enum {
    HL7_CHARSET_ASCII = 0,  // absent or "ASCII": every byte below 0x80
    HL7_CHARSET_UTF8 = 1,   // "UNICODE UTF-8"
    HL7_CHARSET_LATIN1 = 2, // "8859/1"
    HL7_CHARSET_OTHER = 3,  // another ISO 8859 part, converted with iconv
};

// Parses the n bytes of one message (without its MLLP framing). Segments
// end at CR (a LF after it, or alone, is taken as well). Returns 0, or -1
// with *error saying why (no MSH first, bad encoding characters, a
// character set the archive does not read, limits passed).
int hl7_parse(const char *bytes, size_t n, hl7_message *out, std::string *error);

// The nth (from 0) segment named name, or null.
const hl7_message::segment *hl7_findSegment(const hl7_message &m, const char *name, int nth = 0);
// The number of segments named name.
int hl7_countSegments(const hl7_message &m, const char *name);

// The raw text of one component of one repetition of a field of seg
// (field, component and subcomponent counted from 1 as HL7 does; repetition
// from 0), "" when absent. component or subcomponent 0: the whole
// repetition or component.
std::string hl7_raw(const hl7_message &m, const hl7_message::segment *seg, int field,
                    int repetition, int component, int subcomponent = 0);
// The number of repetitions of a field (0 when the field is empty).
int hl7_repetitions(const hl7_message &m, const hl7_message::segment *seg, int field);

// The text of a raw value: escape sequences resolved (the separators'
// \F\ \S\ \T\ \R\ \E\ and hexadecimal \Xhh..\ ones; formatting escapes dropped) and the message's
// character set converted to UTF-8. Returns 0, or -1 with *error set (a bad escape, bytes not of
// the declared character set).
int hl7_text(const hl7_message &m, const std::string &raw, std::string *utf8, std::string *error);

// Whether raw is HL7's explicit null, "" (two double quotes): the receiver
// is to delete the value it holds.
bool hl7_isNull(const std::string &raw);

// Acknowledgement codes (MSA-1) and the error codes of HL7 table 0357 the
// archive answers with (ERR-3).
#define HL7_ACK_ACCEPT "AA"
#define HL7_ACK_ERROR "AE"
#define HL7_ACK_REJECT "AR"
enum {
    HL7_ERR_SEGMENT_SEQUENCE = 100,
    HL7_ERR_REQUIRED_MISSING = 101,
    HL7_ERR_DATA_TYPE = 102,
    HL7_ERR_TABLE_VALUE = 103,
    HL7_ERR_MESSAGE_TYPE = 200,
    HL7_ERR_EVENT = 201,
    HL7_ERR_VERSION = 203,
    HL7_ERR_UNKNOWN_KEY = 204,
    HL7_ERR_DUPLICATE_KEY = 205,
    HL7_ERR_RECORD_LOCKED = 206,
    HL7_ERR_INTERNAL = 207,
};

// The ACK of m (null: a message that could not be parsed at all, answered
// with what is known), with code (HL7_ACK_*), and for a code other than AA
// an ERR segment with errorCode (HL7_ERR_*) and text. The sending and
// receiving application and facility are m's swapped; the control ID
// answered (MSA-2) is m's MSH-10; controlId is the ACK's own MSH-10. Peer
// text in text is escaped; characters outside ASCII are written as
// hexadecimal escapes (\Xhh\), so the ACK reads right in any character set.
std::string hl7_ack(const hl7_message *m, const char *code, int errorCode, const std::string &text,
                    const std::string &controlId, const std::string &timestamp);

// text escaped for a field of a message with m's separators (standard
// ones when m is null), bytes outside printable ASCII as \Xhh\.
std::string hl7_escape(const hl7_message *m, const std::string &text);

#endif

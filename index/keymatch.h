// Attribute matching of a query key against a stored value, as DICOM
// queries define it: universal (empty key or "*"), empty-value ("" only
// matches an empty value), single value with "*" and "?" anywhere, list of
// UIDs, and date, time and date-time ranges. Knows nothing of the store:
// callers hand in the stored value as counted bytes.
//
// Texts are compared whole, whatever their length; person names may be
// compared without case (in every script: index/casefold.h), every other
// text with case.
// A "?" stands for one character: one UTF-8 sequence, or one byte that is
// not part of one.
#ifndef VELTO_INDEX_KEYMATCH_H
#define VELTO_INDEX_KEYMATCH_H

#include <stddef.h>

#include <string>
#include <vector>

// How a key is compared.
enum keymatch_kind {
    KEYMATCH_TEXT,     // single value, wildcards, case-sensitive
    KEYMATCH_PN,       // person name: wildcards, case-insensitive; a key
                       // without "=" also matches one component group
    KEYMATCH_UID,      // one UID or a backslash list, whole-value equality
    KEYMATCH_CODES,    // multi-valued code strings: a key value (of a
                       // backslash list) matches any one stored value
    KEYMATCH_DATE,     // DA: YYYYMMDD or a range A-B, -B, A-
    KEYMATCH_TIME,     // TM: HH[MM[SS[.F...]]] or a range
    KEYMATCH_DATETIME, // DT: YYYY[MM[DD[HH[MM[SS[.F...]]]]]] or a range
};

// A compiled key. Ranges are held as digit strings of fixed length: the
// lower bound padded with 0, the upper with 9; empty is open.
struct keymatch_key {
    int kind = KEYMATCH_TEXT;
    bool universal = true;         // matches everything, even an absent value
    bool emptyOnly = false;        // the key "": matches empty values only
    std::string pattern;           // TEXT, PN: the key as given
    std::vector<std::string> list; // UID, CODES: the values of the key
    std::string lo, hi;            // DATE, TIME, DATETIME
};

// Compiles value (null or empty: universal) as a key of kind into *k.
// Returns k->universal.
bool keymatch_compile(keymatch_key *k, int kind, const char *value);

// Compiles a combined date-time range from a date key and a time key (as
// StudyDate with StudyTime when combined matching is negotiated): the lower
// bound is the lower date with the lower time, the upper the upper date with
// the upper time. Returns k->universal.
bool keymatch_compileDateTime(keymatch_key *k, const char *date, const char *time);

// True when value is a key of kind that a query may carry: universal, the
// empty-value key, or for DATE, TIME and DATETIME one value or range of
// well-formed values (digits in the standard's layout, month and day in
// range; old separators allowed), for UID one UID or a backslash list of
// them (each one uidtree_uidProblem takes). Every other kind is
// well-formed. keymatch_compile takes a malformed key as universal: a
// caller that must refuse one asks here first.
bool keymatch_wellFormed(int kind, const char *value);

// True when the stored value (len bytes, trailing spaces ignored; len 0: an
// empty or absent value) matches key k.
bool keymatch_matches(const keymatch_key &k, const char *value, size_t len);

// The wildcard match alone: value against pattern ("*" any run, "?" one
// character, anything else itself; noCase: without case, as casefold_char
// folds the characters of UTF-8 text).
bool keymatch_wildcard(const char *value, size_t vlen, const char *pattern, size_t plen,
                       bool noCase);

// The length of the start of a name key (UTF-8, len bytes) before its
// first non-ASCII character that has case: a start that matches a stored
// name without case exactly when it does with ASCII letters folded alone
// (the index's digests of names fold those only, index/studykeys.h).
size_t keymatch_asciiFoldSpan(const char *key, size_t len);

// The normalised digits of one date, time or date-time value (separators
// "." ":" "-" of older encodings and a time zone suffix dropped), padded to
// the kind's length with pad ('0' for a lower bound, '9' for an upper).
// Empty when value holds no digit.
std::string keymatch_digits(int kind, const char *value, size_t len, char pad);

#endif

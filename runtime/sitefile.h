// The one reader of the site's "key value # comment" settings files: opens
// a file safely, splits each line into its key and value, and hands every
// setting with its line number to the caller, who judges and logs it.
#ifndef VELTO_RUNTIME_SITEFILE_H
#define VELTO_RUNTIME_SITEFILE_H

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>

#include <functional>
#include <string>

// One setting: its line number (from 1), its first word, and the rest of
// the line with the white space around it taken off ("" when there is none;
// it may hold white space inside: each caller decides whether it may).
struct sitefile_line {
    int number = 0;
    std::string key;
    std::string value;
};

struct sitefile_options {
    // The longest line accepted, in characters without its newline (a CR
    // counts). A longer line is an error, never read in pieces.
    size_t maxLength = 1022;
    // With true, '#' starts a comment anywhere in a line; with false, only a
    // line whose first word starts with '#' is a comment (for values that
    // may hold '#', such as secrets).
    bool hashAnywhere = true;
};

enum sitefile_status {
    SITEFILE_OK = 0,
    SITEFILE_CANNOT_OPEN, // reason: strerror of the open or fstat
    SITEFILE_NOT_REGULAR, // reason: "not a regular file"
    SITEFILE_TOO_LONG,    // reason: "longer than N characters"; line set
    SITEFILE_READ_ERROR,  // reason: "read error"
};

struct sitefile_error {
    sitefile_status status = SITEFILE_OK;
    int line = 0;       // the line at fault, for SITEFILE_TOO_LONG
    std::string reason; // the cause alone, without the path or line
};

// Opens path for reading without waiting for a writer (a FIFO would hang
// the start) and only when it is a regular file. Returns the stream with
// *st filled (st may be null), or null with *err set.
FILE *sitefile_open(const char *path, struct stat *st, sitefile_error *err);

// Reads f to its end, calling each for every line that holds a setting
// (blank lines and comments are passed over). each returns false to stop
// the reading (the caller keeps its own reason). Returns 0 when the file
// was read through or each stopped it, else -1 with *err set. Does not
// close f.
int sitefile_readStream(FILE *f, const sitefile_options &options,
                        const std::function<bool(const sitefile_line &)> &each,
                        sitefile_error *err);

// Whether value is one word: not empty, no white space inside (the rule of
// files whose settings are one keyword and one value).
bool sitefile_isOneWord(const std::string &value);

// The first word of value ("" when it is empty).
std::string sitefile_firstWord(const std::string &value);

// sitefile_open and sitefile_readStream together.
int sitefile_read(const char *path, const sitefile_options &options,
                  const std::function<bool(const sitefile_line &)> &each, sitefile_error *err);

#endif

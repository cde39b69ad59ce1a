// Quoting of text fields so that they read back unchanged, and reading one
// field from a line.
#ifndef VELTO_RUNTIME_TEXTFIELD_H
#define VELTO_RUNTIME_TEXTFIELD_H

#include <stddef.h>

#include <string>
#include <vector>

// Stores through result a heap copy of text (caller frees it), in double
// quotes with escapes when it holds white space, quotes, backslashes or
// control characters, when it is empty, or when force is set. Returns 0, or
// 1 if memory ran out (*result is then null).
int parse_string_makeescaped(const char *text, char **result, int force);

// Reads one field at *cursor into out (at most outsize - 1 characters and a
// NUL), undoing the quoting, and advances *cursor past what it consumed.
// Returns 0 for a field read, 1 if the cursor is null or only white space is
// left, -1 if the field did not fit (out holds it cut). With translate, a
// field starting with "\i inside double quotes is looked up in the message
// catalogue.
int parse_getstring(const char **cursor, char *out, size_t outsize, int translate);

// The values as an SQL array literal of texts ({"a","b"}): each value
// quoted, its quotes and backslashes escaped. For a parameter such as
// "= ANY($1::text[])".
std::string textfield_sqlArray(const std::vector<std::string> &values);

#endif

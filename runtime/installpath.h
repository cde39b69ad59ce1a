// Installation prefix detection and the configuration file search along a
// "|"-separated list of directories with $(NAME) references.
#ifndef VELTO_RUNTIME_INSTALLPATH_H
#define VELTO_RUNTIME_INSTALLPATH_H

#include <stddef.h>

#define INSTALLPATH_SIZE 1024

// The search path of every configuration file ("LocalStoreDir",
// "AETitleMap"); the override directories come first.
#define CONFIG_SEARCHPATH                                                                          \
    "/etc/velto/override|$(progpath)/share/velto/override/etc|$(HOME)/.velto/"                     \
    "etc|$(progpath)/share/velto/etc|/etc/velto"

// The program's base name and installation prefix (empty if unknown), as
// detect_installpath found them (never null).
const char *installpath_progName(void);
const char *installpath_progPath(void);

// Fills the program's name and prefix from the program's first argument word
// (through PATH when it holds no "/"; a trailing "/bin" is cut off).
// Returns 0.
int detect_installpath(const char *argv0);

// Expands every $(NAME) in text, in place within size bytes, from the
// environment ("progpath" falls back to the installation prefix). Returns 0, or 1 if a
// name is unset, a ")" is missing (reported on stderr) or the result would
// not fit; text may then be partly expanded.
int VLPathExpandEnvironment(char *text, size_t size);

// Returns out holding "dir/name" (or just "dir" for an empty name) for the
// first directory of searchpath where access(out, mode) succeeds, or null.
// Elements that cannot be expanded or would not fit in out are skipped.
// With mode GETFILEPATH_ENTRY: the first where an entry of that name is,
// of any kind, a symbolic link to nothing too (for a file whose presence
// alone matters: a users file that is there but broken must not count as
// none).
#define GETFILEPATH_ENTRY 0x1000
char *getfilepath(const char *searchpath, const char *name, int mode, char *out, size_t outsize);

#endif

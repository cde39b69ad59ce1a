// Recognising the server's announcement of a stored image on the monitor
// channel: "host pid STORAGE STOREUID study series instance\n".
#ifndef VELTO_STUDYWATCH_STOREUID_H
#define VELTO_STUDYWATCH_STOREUID_H

#include <stddef.h>

// Results of storeuid_parse.
enum {
    STOREUID_OK = 0,    // uid holds the study UID
    STOREUID_OTHER = 1, // not a stored-image announcement: ignore it
    STOREUID_BADUID = 2 // an announcement whose study UID is unusable
};

// Reads the study UID from the len bytes of a datagram (no terminator
// needed; bytes past len are never read). The words are separated by single
// blanks: host, process id, "STORAGE", "STOREUID", the study UID, and the
// study UID must be followed by a blank. A study UID is usable when it has
// 1 to uidsize - 1 characters, starts with a letter or digit, and holds only
// letters, digits, ".", "-" and "_", so that it can go into the renderer's
// command text unquoted. On STOREUID_OK uid holds it, NUL-terminated; on
// any other result uid is left unchanged.
int storeuid_parse(const char *data, size_t len, char *uid, size_t uidsize);

#endif

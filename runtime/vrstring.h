// Bounded string copies that tell the caller whether the text fitted.
#ifndef VELTO_RUNTIME_VRSTRING_H
#define VELTO_RUNTIME_VRSTRING_H

#include <stddef.h>

// Copies src into the size bytes of dst, always NUL-terminated. Returns dst
// if all of src fitted, null if it was cut (or size is 0: nothing written).
char *vr_strncpy(char *dst, const char *src, size_t size);

// Appends src to the string in the size bytes of dst, always terminated
// within them. Returns dst if all of src was appended, null if it was cut,
// if dst was already full, or if size is 0.
char *vr_strncat(char *dst, const char *src, size_t size);

#endif

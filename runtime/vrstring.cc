// Bounded string copies that report whether the text fitted.
#include "runtime/vrstring.h"

#include <string.h>

char *vr_strncpy(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return nullptr;
    size_t len = strlen(src);
    size_t n = len < size ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    dst[size - 1] = '\0';
    return len < size ? dst : nullptr;
}

char *vr_strncat(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return nullptr;
    size_t used = strnlen(dst, size);
    // No terminator within size, or only room for the terminator.
    if (used + 1 >= size) {
        dst[size - 1] = '\0';
        return nullptr;
    }
    return vr_strncpy(dst + used, src, size - used) != nullptr ? dst : nullptr;
}

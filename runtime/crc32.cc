// The standard reflected CRC-32 table and computation.
#include "runtime/crc32.h"

#include <string.h>

uint32_t crc32_table[256];

void crc32_init(uint32_t polynomial)
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
        crc32_table[n] = c;
    }
}

uint32_t crc32_compute(const void *buf, size_t len)
{
    if (len == 0)
        return 0;
    // Entry 128 equals the polynomial, so it is 0 only in a table never
    // filled; computing with that would give every UID the same bucket.
    if (crc32_table[128] == 0)
        crc32_init(CRC32_POLYNOMIAL);
    const unsigned char *p = (const unsigned char *)buf;
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++)
        reg = (reg >> 8) ^ crc32_table[(reg ^ p[i]) & 0xFF];
    return ~reg;
}

uint32_t crc32_string(const char *text)
{
    if (text == nullptr)
        return 0;
    return crc32_compute(text, strlen(text));
}

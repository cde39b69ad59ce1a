// The standard reflected CRC-32 (IEEE 802.3, zlib) and its table.
#ifndef VELTO_RUNTIME_CRC32_H
#define VELTO_RUNTIME_CRC32_H

#include <stddef.h>
#include <stdint.h>

// The standard reflected generator polynomial.
#define CRC32_POLYNOMIAL 0xEDB88320u

// The table of CRC32_POLYNOMIAL, computed at compile time (read-only).
extern const uint32_t crc32_table[256];

// Nothing to do (the table is always there); kept for the callers that
// filled it at run time. Any other polynomial is a programming error and
// aborts.
void crc32_init(uint32_t polynomial);

// CRC-32 of len bytes (register preset to 0xFFFFFFFF, complemented at the
// end); 0 for no bytes.
uint32_t crc32_compute(const void *buf, size_t len);

// CRC-32 of the characters of text without its NUL; 0 for "" or null. Its
// low byte and the next one name a study's bucket directories.
uint32_t crc32_string(const char *text);

#endif

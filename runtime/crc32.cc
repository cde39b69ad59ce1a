// The standard reflected CRC-32 table and computation.
#include "runtime/crc32.h"

#include <stdlib.h>
#include <string.h>

namespace
{
struct crc32_tablebuilder {
    uint32_t entry[256];
    constexpr crc32_tablebuilder() : entry()
    {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int bit = 0; bit < 8; bit++)
                c = (c & 1) ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
            entry[n] = c;
        }
    }
};
constexpr crc32_tablebuilder kTable;
static_assert(kTable.entry[128] == CRC32_POLYNOMIAL, "entry 128 is the polynomial");
static_assert(kTable.entry[1] == 0x77073096u && kTable.entry[255] == 0x2D02EF8Du,
              "the standard table");

} // namespace

// Computed by the compiler: read-only, so any thread and any forked child
// may use it without a first-use fill racing another.
#define CRC32_ROW(n)                                                                               \
    kTable.entry[n], kTable.entry[n + 1], kTable.entry[n + 2], kTable.entry[n + 3],                \
        kTable.entry[n + 4], kTable.entry[n + 5], kTable.entry[n + 6], kTable.entry[n + 7]
#define CRC32_ROWS(n) CRC32_ROW(n), CRC32_ROW(n + 8), CRC32_ROW(n + 16), CRC32_ROW(n + 24)
extern const uint32_t crc32_table[256] = {
    CRC32_ROWS(0),   CRC32_ROWS(32),  CRC32_ROWS(64),  CRC32_ROWS(96),
    CRC32_ROWS(128), CRC32_ROWS(160), CRC32_ROWS(192), CRC32_ROWS(224),
};

void crc32_init(uint32_t polynomial)
{
    // Bucket directories are named by this polynomial's CRC: another one
    // would file studies where no reader looks.
    if (polynomial != CRC32_POLYNOMIAL)
        abort();
}

uint32_t crc32_compute(const void *buf, size_t len)
{
    if (len == 0)
        return 0;
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

// Tests of the CRC-32 table and computation, the bounded string copies and
// the full-transfer I/O helpers.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/crc32.h"
#include "runtime/fullio.h"
#include "runtime/test_tempdir.h"
#include "runtime/vrstring.h"

TEST(Crc32, TableOfStandardPolynomial)
{
    crc32_init(CRC32_POLYNOMIAL);
    EXPECT_EQ(crc32_table[0], 0u);
    EXPECT_EQ(crc32_table[128], 0xEDB88320u);
    EXPECT_EQ(crc32_table[1], 0x77073096u);
    EXPECT_EQ(crc32_table[255], 0x2D02EF8Du);
}

// The table is fixed: another polynomial would name other bucket
// directories than every reader of the store looks in.
TEST(Crc32DeathTest, InitWithAnotherPolynomialAborts)
{
    EXPECT_DEATH(crc32_init(0x82F63B78u), ""); // Castagnoli
    crc32_init(CRC32_POLYNOMIAL);
    EXPECT_EQ(crc32_table[128], 0xEDB88320u);
}

TEST(Crc32, StringsAndTheirBuckets)
{
    crc32_init(CRC32_POLYNOMIAL);
    struct Case {
        const char *text;
        uint32_t crc;
        const char *bucket; // "XX/YY" from the low two bytes
    };
    const Case cases[] = {
        {"", 0, "00/00"},
        {"123456789", 0xCBF43926u, "26/39"},
        {"1.2.3", 0x89B6E7E2u, "E2/E7"},
    };
    for (const Case &c : cases) {
        uint32_t crc = crc32_string(c.text);
        EXPECT_EQ(crc, c.crc) << c.text;
        char bucket[8];
        snprintf(bucket, sizeof bucket, "%02X/%02X", crc & 0xFF, (crc >> 8) & 0xFF);
        EXPECT_STREQ(bucket, c.bucket) << c.text;
    }
    EXPECT_EQ(crc32_string(nullptr), 0u);
    EXPECT_EQ(crc32_compute("1.2.3", 5), 0x89B6E7E2u);
}

// Regression: a table never filled gave every UID the CRC of zeros, and so
// one bucket for all studies. The table is there before any call.
TEST(Crc32, TableIsThereBeforeAnyCall)
{
    EXPECT_EQ(crc32_table[128], 0xEDB88320u);
    EXPECT_EQ(crc32_string("1.2.3"), 0x89B6E7E2u);
}

TEST(VrString, StrncpyBounds)
{
    struct Case {
        const char *src;
        size_t size;
        const char *expect;
        bool fits;
    };
    const Case cases[] = {
        {"0123456789", 10, "012345678", false},
        {"0123456789", 11, "0123456789", true},
        {"0123456789", 12, "0123456789", true},
        {"", 1, "", true},
        {"a", 1, "", false},
    };
    for (const Case &c : cases) {
        char buf[16];
        memset(buf, 'Z', sizeof buf);
        char *r = vr_strncpy(buf, c.src, c.size);
        EXPECT_EQ(r, c.fits ? buf : nullptr) << c.src << " " << c.size;
        EXPECT_STREQ(buf, c.expect);
        EXPECT_EQ(buf[c.size], 'Z') << "wrote past size";
    }
}

// Regression: size 0 wrote a NUL in front of the destination.
TEST(VrString, StrncpySizeZeroWritesNothing)
{
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(vr_strncpy(buf + 1, "x", 0), nullptr);
    EXPECT_EQ(memcmp(buf, "abcd", 4), 0);
}

TEST(VrString, StrncatBounds)
{
    struct Case {
        const char *dst;
        const char *src;
        size_t size;
        const char *expect;
        bool fits;
    };
    const Case cases[] = {
        {"abc", "de", 6, "abcde", true},
        {"abc", "def", 6, "abcde", false},
        {"abcde", "x", 6, "abcde", false}, // all but the last byte used
        {"abcde", "", 6, "abcde", false},
        {"", "abc", 4, "abc", true},
        {"", "", 1, "", false},
        {"ab", "", 6, "ab", true},
    };
    for (const Case &c : cases) {
        char buf[16];
        memset(buf, 'Z', sizeof buf);
        strcpy(buf, c.dst);
        char *r = vr_strncat(buf, c.src, c.size);
        EXPECT_EQ(r, c.fits ? buf : nullptr) << c.dst << "+" << c.src << " " << c.size;
        EXPECT_STREQ(buf, c.expect);
        EXPECT_EQ(buf[c.size], 'Z') << "wrote past size";
    }
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(vr_strncat(buf, "x", 0), nullptr);
    // A destination without a terminator within size is full: it gets one.
    EXPECT_EQ(vr_strncat(buf, "x", 3), nullptr);
    EXPECT_STREQ(buf, "ab");
}

static volatile sig_atomic_t alarms;
static void CountAlarm(int)
{
    alarms++;
}

// A reader that is interrupted by signals and fed in small pieces still
// gets the whole record.
TEST(FullIo, ReadRetriesShortReadsAndEintr)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string record(3000, '\0');
    for (size_t i = 0; i < record.size(); i++)
        record[i] = (char)('a' + i % 26);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        for (size_t off = 0; off < record.size(); off += 500) {
            usleep(30000);
            if (write(fds[1], record.data() + off, 500) != 500)
                _exit(1);
        }
        _exit(0);
    }
    close(fds[1]);

    // No SA_RESTART: every alarm interrupts the blocked read with EINTR.
    struct sigaction sa = {}, old = {};
    sa.sa_handler = CountAlarm;
    sigaction(SIGALRM, &sa, &old);
    struct itimerval every = {{0, 5000}, {0, 5000}}, off = {};
    alarms = 0;
    setitimer(ITIMER_REAL, &every, nullptr);

    std::string got(record.size() + 10, '\0');
    ssize_t n = fullio_read(fds[0], &got[0], record.size());

    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    int status = 0;
    waitpid(child, &status, 0);

    EXPECT_EQ(n, (ssize_t)record.size());
    EXPECT_EQ(got.substr(0, record.size()), record);
    EXPECT_GT(alarms, 0);
    // At end of file the count is short, and then 0.
    EXPECT_EQ(fullio_read(fds[0], &got[0], 10), 0);
    close(fds[0]);
}

TEST(FullIo, ShortCountOnlyAtEndOfFile)
{
    TempDir dir;
    std::string path = dir.sub("f");
    ASSERT_TRUE(WriteFile(path, "0123456789"));
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[32];
    EXPECT_EQ(fullio_read(fd, buf, 4), 4);
    EXPECT_EQ(fullio_read(fd, buf, 32), 6);
    EXPECT_EQ(fullio_pread(fd, buf, 4, 8), 2);
    EXPECT_EQ(fullio_pread(fd, buf, 4, 20), 0);
    close(fd);
    EXPECT_EQ(fullio_read(-1, buf, 4), -1);
    EXPECT_EQ(fullio_write(-1, buf, 4), -1);
}

TEST(FullIo, PositionedTransfersLeaveTheOffset)
{
    TempDir dir;
    std::string path = dir.sub("f");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fullio_write(fd, "abc", 3), 3);
    EXPECT_EQ(fullio_pwrite(fd, "XY", 2, 6), 2);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    char buf[8] = {};
    EXPECT_EQ(fullio_pread(fd, buf, 8, 0), 8);
    EXPECT_EQ(std::string(buf, 8), std::string("abc\0\0\0XY", 8));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    close(fd);
}

TEST(FullIo, WriteToFullDeviceFails)
{
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0)
        GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_EQ(fullio_write(fd, "abc", 3), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
}

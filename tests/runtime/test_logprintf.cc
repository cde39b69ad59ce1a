// Tests of the levelled logger: line prefix, mask and null stream.
#include <gtest/gtest.h>
#include <regex.h>
#include <time.h>
#include <unistd.h>

#include "runtime/logprintf.h"
#include "runtime/test_tempdir.h"

// Restores the initial mask after each test.
class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stream_ = tmpfile();
        ASSERT_NE(stream_, nullptr);
        logprintf_setmaxlevel(32);
    }
    void TearDown() override
    {
        logprintf_setmaxlevel(32);
        fclose(stream_);
    }
    FILE *stream_ = nullptr;
};

static bool Matches(const std::string &text, const char *pattern)
{
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool ok = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return ok;
}

TEST_F(LogTest, LineHasDateTimePidPrefixAndNoAddedNewline)
{
    time_t before = time(nullptr);
    int n = logprintf(32, stream_, "Inbound call from %s to %s\n", "A", "B");
    std::string line = ReadStream(stream_);
    EXPECT_EQ(n, (int)line.size());
    std::string pattern = "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[" +
                          std::to_string(getpid()) + "\\]:Inbound call from A to B\n$";
    EXPECT_TRUE(Matches(line, pattern.c_str())) << line;

    // The stamp is the local time of the call.
    struct tm tm_line = {};
    ASSERT_NE(strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &tm_line), nullptr);
    tm_line.tm_isdst = -1;
    time_t stamp = mktime(&tm_line);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, time(nullptr));
}

TEST_F(LogTest, MessageWithoutNewlineRunsIntoNextPrefix)
{
    logprintf(1, stream_, "abc");
    logprintf(1, stream_, "def\n");
    std::string text = ReadStream(stream_);
    std::string pattern =
        "^[-0-9]{10} [:0-9]{8} \\[[0-9]+\\]:abc[-0-9]{10} [:0-9]{8} \\[[0-9]+\\]:def\n$";
    EXPECT_TRUE(Matches(text, pattern.c_str())) << text;
}

TEST_F(LogTest, NullStreamWritesNothingWhateverTheLevel)
{
    logprintf_setmaxlevel(0x80000000u);
    for (unsigned level = 1; level != 0; level <<= 1)
        EXPECT_EQ(logprintf(level, nullptr, "x\n"), 0) << level;
}

TEST_F(LogTest, MaskSelectsLevels)
{
    struct Case {
        unsigned maxlevel; // 0: the initial mask
        unsigned mask;
        unsigned written_up_to; // highest level written
    };
    const Case cases[] = {
        {32, 63, 32},
        {128, 255, 128}, // one -D
        {256, 511, 256}, // -D -D: 512 still not written
        {512, 1023, 512},
    };
    for (const Case &c : cases) {
        logprintf_setmaxlevel(c.maxlevel);
        EXPECT_EQ(logprintf_getmask(), c.mask) << c.maxlevel;
        for (unsigned level = 1; level <= 1024; level <<= 1) {
            int n = logprintf(level, stream_, "level %u\n", level);
            if (level <= c.written_up_to)
                EXPECT_GT(n, 0) << "max " << c.maxlevel << " level " << level;
            else
                EXPECT_EQ(n, 0) << "max " << c.maxlevel << " level " << level;
        }
    }
}

TEST_F(LogTest, InitialMaskDropsLevel64)
{
    EXPECT_EQ(logprintf_getmask(), LOGPRINTF_DEFAULT_MASK);
    EXPECT_EQ(logprintf(64, stream_, "AE-Title map table:\n"), 0);
    EXPECT_GT(logprintf(32, stream_, "up\n"), 0);
    std::string text = ReadStream(stream_);
    EXPECT_EQ(text.find("AE-Title"), std::string::npos);
    EXPECT_NE(text.find("]:up\n"), std::string::npos);
}

// Regression: 2 * 0 - 1 wrapped round to a mask with every bit set.
TEST_F(LogTest, MaxLevelZeroDisablesLogging)
{
    logprintf_setmaxlevel(0);
    EXPECT_EQ(logprintf_getmask(), 0u);
    EXPECT_EQ(logprintf(1, stream_, "x\n"), 0);
}

// Regression: 2 * level - 1 overflowed for the top bit.
TEST_F(LogTest, MaxLevelTopBitEnablesEveryBit)
{
    logprintf_setmaxlevel(0x80000000u);
    EXPECT_EQ(logprintf_getmask(), 0xFFFFFFFFu);
}

// A peer's text with a newline, a carriage return and a terminal escape
// cannot forge a second line or rewrite the screen: every control
// character but the final newline comes out as \xNN.
TEST_F(LogTest, ControlCharactersOfTheMessageAreEscaped)
{
    logprintf(32, stream_, "Refused UID %s\n", "1.2\n2026-01-01 00:00:00 [1]:forged\r\x1b[2J\x7f");
    std::string line = ReadStream(stream_);
    std::string tail = "]:Refused UID 1.2\\x0a2026-01-01 00:00:00 [1]:forged\\x0d\\x1b[2J\\x7f\n";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

// A message longer than the formatting buffer is written whole.
TEST_F(LogTest, LongMessageIsWrittenWhole)
{
    std::string text(5000, 'u');
    int n = logprintf(32, stream_, "%s\t%s\n", text.c_str(), text.c_str());
    std::string line = ReadStream(stream_);
    EXPECT_EQ(n, (int)line.size());
    EXPECT_NE(line.find("]:" + text + "\\x09" + text + "\n"), std::string::npos);
}

// The site-file reader: comments, blank lines, white space, CR LF, a key
// without a value, an over-long line, and files that are missing or no
// regular file (a FIFO must not hang it).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "runtime/sitefile.h"
#include "test_tempdir.h"

namespace
{

struct Result {
    int rc = 0;
    std::vector<sitefile_line> lines;
    sitefile_error err;
};

Result ReadText(const TempDir &dir, const std::string &text,
                const sitefile_options &options = sitefile_options())
{
    std::string path = dir.sub("settings");
    EXPECT_TRUE(WriteFile(path, text));
    Result r;
    r.rc = sitefile_read(
        path.c_str(), options,
        [&](const sitefile_line &line) {
            r.lines.push_back(line);
            return true;
        },
        &r.err);
    return r;
}

void ExpectLine(const sitefile_line &line, int number, const char *key, const char *value)
{
    EXPECT_EQ(line.number, number);
    EXPECT_EQ(line.key, key);
    EXPECT_EQ(line.value, value);
}

TEST(SiteFile, SkipsCommentsAndBlankLinesAndTrims)
{
    TempDir dir;
    Result r = ReadText(dir, "# a comment\n\n   \n\tport   104  # the port\nplain on#x\n"
                             "  # indented comment\nname two words  \nlast no-newline");
    ASSERT_EQ(r.rc, 0) << r.err.reason;
    ASSERT_EQ(r.lines.size(), 4u);
    ExpectLine(r.lines[0], 4, "port", "104");
    ExpectLine(r.lines[1], 5, "plain", "on");
    ExpectLine(r.lines[2], 7, "name", "two words");
    ExpectLine(r.lines[3], 8, "last", "no-newline");
}

TEST(SiteFile, CrLfAndMissingValue)
{
    TempDir dir;
    Result r = ReadText(dir, "port 104\r\nalone\r\nkey\t \r\n");
    ASSERT_EQ(r.rc, 0) << r.err.reason;
    ASSERT_EQ(r.lines.size(), 3u);
    ExpectLine(r.lines[0], 1, "port", "104");
    ExpectLine(r.lines[1], 2, "alone", "");
    ExpectLine(r.lines[2], 3, "key", "");
}

TEST(SiteFile, HashOnlyAtTheStartWhenAsked)
{
    TempDir dir;
    sitefile_options options;
    options.hashAnywhere = false;
    Result r = ReadText(dir, "#access-key x\n  #c\nsecret-key a#b\n", options);
    ASSERT_EQ(r.rc, 0) << r.err.reason;
    ASSERT_EQ(r.lines.size(), 1u);
    ExpectLine(r.lines[0], 3, "secret-key", "a#b");
}

TEST(SiteFile, CallbackStopsTheReading)
{
    TempDir dir;
    std::string path = dir.sub("settings");
    ASSERT_TRUE(WriteFile(path, "a 1\nb 2\nc 3\n"));
    std::vector<std::string> keys;
    sitefile_error err;
    EXPECT_EQ(sitefile_read(
                  path.c_str(), sitefile_options(),
                  [&](const sitefile_line &line) {
                      keys.push_back(line.key);
                      return line.key != "b";
                  },
                  &err),
              0);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
}

TEST(SiteFile, OverLongLineIsRefusedNotSplit)
{
    TempDir dir;
    sitefile_options options;
    options.maxLength = 20;
    // Exactly the limit is accepted (a CR counts).
    Result ok = ReadText(dir, "k " + std::string(17, 'v') + "\r\n", options);
    EXPECT_EQ(ok.rc, 0);
    ASSERT_EQ(ok.lines.size(), 1u);
    Result r = ReadText(dir, "a 1\nk " + std::string(19, 'v') + "\nb 2\n", options);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err.status, SITEFILE_TOO_LONG);
    EXPECT_EQ(r.err.line, 2);
    EXPECT_EQ(r.err.reason, "longer than 20 characters");
    ASSERT_EQ(r.lines.size(), 1u);
    // A long comment is still a long line.
    Result c = ReadText(dir, "# " + std::string(30, 'c') + "\n", options);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err.status, SITEFILE_TOO_LONG);
}

TEST(SiteFile, MissingFile)
{
    TempDir dir;
    sitefile_error err;
    int calls = 0;
    EXPECT_EQ(sitefile_read(
                  dir.sub("absent").c_str(), sitefile_options(),
                  [&](const sitefile_line &) { return ++calls > 0; }, &err),
              -1);
    EXPECT_EQ(err.status, SITEFILE_CANNOT_OPEN);
    EXPECT_EQ(err.reason, strerror(ENOENT));
    EXPECT_EQ(calls, 0);
}

TEST(SiteFile, FifoAndDirectoryAreRefusedAtOnce)
{
    TempDir dir;
    std::string fifo = dir.sub("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, dir.path()}) {
        sitefile_error err;
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        // With no writer, a blocking open of the FIFO would never return.
        EXPECT_EQ(
            sitefile_read(
                path.c_str(), sitefile_options(), [](const sitefile_line &) { return true; }, &err),
            -1)
            << path;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        EXPECT_EQ(err.status, SITEFILE_NOT_REGULAR) << path;
        EXPECT_EQ(err.reason, "not a regular file");
        EXPECT_LT(t1.tv_sec - t0.tv_sec, 2);
    }
}

TEST(SiteFile, OpenGivesTheFileStatus)
{
    TempDir dir;
    std::string path = dir.sub("secret");
    ASSERT_TRUE(WriteFile(path, "k v\n", 0640));
    struct stat st;
    sitefile_error err;
    FILE *f = sitefile_open(path.c_str(), &st, &err);
    ASSERT_NE(f, nullptr) << err.reason;
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::vector<sitefile_line> lines;
    EXPECT_EQ(sitefile_readStream(
                  f, sitefile_options(),
                  [&](const sitefile_line &l) {
                      lines.push_back(l);
                      return true;
                  },
                  &err),
              0);
    fclose(f);
    ASSERT_EQ(lines.size(), 1u);
    ExpectLine(lines[0], 1, "k", "v");
}

TEST(SiteFile, OneWordAndFirstWord)
{
    EXPECT_TRUE(sitefile_isOneWord("104"));
    EXPECT_FALSE(sitefile_isOneWord(""));
    EXPECT_FALSE(sitefile_isOneWord("two words"));
    EXPECT_FALSE(sitefile_isOneWord("tab\tinside"));
    EXPECT_EQ(sitefile_firstWord("two words"), "two");
    EXPECT_EQ(sitefile_firstWord("one"), "one");
    EXPECT_EQ(sitefile_firstWord(""), "");
}

} // namespace

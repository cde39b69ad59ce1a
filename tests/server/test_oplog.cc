// The command loop's short log: a run of like operations is logged once at
// its start and once with its count when another text follows.
#include <regex.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/logprintf.h"
#include "server/oplog.h"

// The message parts of the lines written to f, each checked for the
// "YYYY-MM-DD HH:MM:SS [pid]:" prefix.
static std::vector<std::string> messages(FILE *f)
{
    std::vector<std::string> out;
    fflush(f);
    rewind(f);
    regex_t re;
    EXPECT_EQ(regcomp(&re, "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[[0-9]+\\]:",
                      REG_EXTENDED),
              0);
    char line[512];
    while (fgets(line, sizeof(line), f) != nullptr) {
        regmatch_t m;
        std::string s(line);
        if (regexec(&re, line, 1, &m, 0) == 0)
            out.push_back(s.substr((size_t)m.rm_eo));
        else
            out.push_back("UNPREFIXED:" + s);
    }
    regfree(&re);
    return out;
}

TEST(OpLog, RunsAreSummarised)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    oplog ops;
    oplog_init(&ops);
    oplog_note(&ops, "C-Echo A->B", f);
    oplog_note(&ops, "C-Echo A->B", f);
    oplog_note(&ops, "C-Store A->B", f);
    oplog_note(&ops, "C-Find A->B", f);
    for (int i = 0; i < 50; i++)
        oplog_note(&ops, "C-Store A->B", f);
    oplog_note(&ops, "EOF A->B", f);
    std::vector<std::string> want = {
        "C-Echo A->B\n",       "C-Echo A->B (2x)\n",   "C-Store A->B\n",
        "C-Store A->B (1x)\n", "C-Find A->B\n",        "C-Find A->B (1x)\n",
        "C-Store A->B\n",      "C-Store A->B (50x)\n", "EOF A->B\n",
    };
    EXPECT_EQ(messages(f), want);
    fclose(f);
}

TEST(OpLog, FirstTextHasNoSummaryAndLongTextsAreCut)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    oplog ops;
    oplog_init(&ops);
    std::string longText(300, 'x');
    oplog_note(&ops, longText.c_str(), f);
    std::vector<std::string> got = messages(f);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string(OPLOG_TEXT_SIZE - 1, 'x') + "\n");
    fclose(f);
}

TEST(OpLog, NullStreamCountsWithoutWriting)
{
    oplog ops;
    oplog_init(&ops);
    oplog_note(&ops, "C-Echo A->B", nullptr);
    oplog_note(&ops, "C-Echo A->B", nullptr);
    EXPECT_STREQ(ops.last_op, "C-Echo A->B");
    EXPECT_EQ(ops.op_count, 2);
}

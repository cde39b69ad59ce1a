// Tests of text field quoting and reading.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "runtime/textfield.h"

static std::string Escaped(const std::string &text, int force)
{
    char *result = nullptr;
    EXPECT_EQ(parse_string_makeescaped(text.c_str(), &result, force), 0);
    std::string s = result != nullptr ? result : "<null>";
    free(result);
    return s;
}

TEST(MakeEscaped, Table)
{
    struct Case {
        std::string text;
        int force;
        std::string expect;
    };
    const Case cases[] = {
        {"abc", 0, "abc"},
        {"abc", 1, "\"abc\""},
        {"a b", 0, "\"a b\""},
        {"", 0, "\"\""},
        {"", 1, "\"\""},
        {"a\tb\rc\nd", 0, "\"a\\tb\\rc\\nd\""},
        {"say \"hi\"", 0, "\"say \\\"hi\\\"\""},
        {"C:\\dir", 0, "\"C:\\\\dir\""},
        {"v\vf\f", 0, "\"v\\x0bf\\x0c\""},
        // High bytes and control bytes alone do not make quoting necessary.
        {"caf\xe9", 0, "caf\xe9"},
        {"\x01x", 0, "\x01x"},
        {"caf\xe9 au lait", 0, "\"caf\\xe9 au lait\""},
        {"\x7f", 1, "\"\x7f\""},
        // Regression: an unquoted single quote read back as the start of a
        // single-quoted piece and was lost.
        {"it's", 0, "\"it\\'s\""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Escaped(c.text, c.force), c.expect) << c.text;
}

struct GetCase {
    std::string line;
    size_t outsize;
    int result;
    std::string field;
    std::string rest; // what is left at the cursor
};

static void CheckGet(const GetCase &c, int translate)
{
    char out[256];
    memset(out, 'Z', sizeof out);
    const char *cursor = c.line.c_str();
    int r = parse_getstring(&cursor, out, c.outsize, translate);
    EXPECT_EQ(r, c.result) << "[" << c.line << "]";
    if (r != 1) {
        EXPECT_EQ(std::string(out), c.field) << "[" << c.line << "]";
        EXPECT_EQ(out[c.outsize], 'Z') << "wrote past outsize";
    }
    EXPECT_EQ(std::string(cursor), c.rest) << "[" << c.line << "]";
}

TEST(GetString, Table)
{
    const GetCase cases[] = {
        {"", 16, 1, "", ""},
        {"   \t ", 16, 1, "", ""},
        {"abc def", 16, 0, "abc", " def"},
        {"  abc\tdef", 16, 0, "abc", "\tdef"},
        {"\"\"", 16, 0, "", ""},
        {"\"\" next", 16, 0, "", " next"},
        {"ab\"c d\"e", 16, 0, "abc de", ""},
        {"'a\\tb' x", 16, 0, "a\\tb", " x"},
        {"\"a\\tb\\rc\\nd\"", 16, 0, "a\tb\rc\nd", ""},
        {"\"\\\"\\'\\\\\"", 16, 0, "\"'\\", ""},
        {"\"\\x41\\x4g\"", 16, 0, "A\x04g", ""},
        {"\"\\xE9\\xe9\"", 16, 0, "\xe9\xe9", ""},
        {"\"a\\xb\"", 16, 0, "a\x0b", ""},
        {"\"a\\x\"", 16, 0, "a", ""},
        {"\"\\qz\"", 16, 0, "qz", ""},
        {"\"\\101\\7\"", 16, 0, "A\x07", ""},
        {"\"abc def", 16, 0, "abc def", ""}, // unterminated quote
        {"back\\slash", 16, 0, "back\\slash", ""},
        {"12345678901234567890", 16, -1, "123456789012345", "67890"},
        // The field fits exactly; its closing quote is not a cut.
        {"\"abc\" x", 4, 0, "abc", " x"},
        {"abcd", 4, -1, "abc", "d"},
        {"abc", 4, 0, "abc", ""},
        {"a", 1, -1, "", "a"},
    };
    for (const GetCase &c : cases)
        CheckGet(c, 0);
}

TEST(GetString, NullCursor)
{
    char out[8];
    EXPECT_EQ(parse_getstring(nullptr, out, sizeof out, 0), 1);
    const char *cursor = nullptr;
    EXPECT_EQ(parse_getstring(&cursor, out, sizeof out, 0), 1);
}

TEST(GetString, FieldsOfALineOneAfterAnother)
{
    const char *cursor = "WS1\tWS1_AE\t10.0.0.7:104\tFMS\t\"a remark\"\r\n";
    const char *expect[] = {"WS1", "WS1_AE", "10.0.0.7:104", "FMS", "a remark"};
    char out[128];
    for (const char *e : expect) {
        ASSERT_EQ(parse_getstring(&cursor, out, sizeof out, 0), 0);
        EXPECT_STREQ(out, e);
    }
    EXPECT_EQ(parse_getstring(&cursor, out, sizeof out, 0), 1);
}

TEST(GetString, TranslationMarker)
{
    // No message catalogue is bound, so the text stays as it is; the marker
    // itself is dropped only when translating.
    CheckGet({"\"\\iHello world\" x", 32, 0, "Hello world", " x"}, 1);
    CheckGet({"\"\\iHello world\" x", 32, 0, "iHello world", " x"}, 0);
    CheckGet({"x\"\\iHello\"", 32, 0, "xiHello", ""}, 1);
}

// Every text written by the writer reads back unchanged, forced or not.
TEST(TextField, RoundTrip)
{
    std::string all_bytes;
    for (int b = 1; b < 256; b++)
        all_bytes += (char)b;
    const std::string texts[] = {
        "",         "abc",        "a b",     " lead",   "trail ", "\"",     "'",
        "''",       "it's \"x\"", "\\",      "\\x41",   "\\i",    "\t\r\n", "caf\xe9",
        "\x01\x02", "x\x7f",      all_bytes, "$(HOME)", "a\\",    "\"\\ix",
    };
    for (const std::string &t : texts) {
        for (int force = 0; force <= 1; force++) {
            std::string esc = Escaped(t, force);
            std::string line = esc + "\tnext";
            const char *cursor = line.c_str();
            char out[1024];
            ASSERT_EQ(parse_getstring(&cursor, out, sizeof out, 0), 0) << esc;
            EXPECT_EQ(std::string(out), t) << esc;
            EXPECT_STREQ(cursor, "\tnext") << esc;
            // The translating reader sees the same text: a leading \i is escaped.
            cursor = line.c_str();
            ASSERT_EQ(parse_getstring(&cursor, out, sizeof out, 1), 0) << esc;
            EXPECT_EQ(std::string(out), t) << esc;
        }
    }
}

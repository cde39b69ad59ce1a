// Tests of dicomnet_convertSCS: the three term tables, escape sequences, the
// fixed results, the result buffer, and pydicom's character-set sample files.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <thread>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dicomnet/dicomnet.h"

static std::string conv(const char *text, const char *scs, int pn = 0)
{
    const char *r = dicomnet_convertSCS(text, scs, pn, "UTF-8");
    return r ? std::string(r) : std::string("(null)");
}

// Every single-valued defined term and the encoding it must select, with a
// byte whose meaning differs between the encodings.
struct SingleCase {
    const char *scs;
    const char *text;
    const char *utf8;
};

TEST(ConvertSCS, SingleValuedTermTable)
{
    static const SingleCase cases[] = {
        {"", "Smith", "Smith"},
        {"ISO_IR 6", "Smith", "Smith"},
        {"ISO_IR 100", "\xe9", "\xc3\xa9"},     // e acute
        {"ISO_IR 101", "\xb1", "\xc4\x85"},     // a ogonek
        {"ISO_IR 109", "\xa1", "\xc4\xa6"},     // H stroke
        {"ISO_IR 110", "\xa1", "\xc4\x84"},     // A ogonek
        {"ISO_IR 144", "\xbb", "\xd0\x9b"},     // Cyrillic El
        {"ISO_IR 127", "\xc7", "\xd8\xa7"},     // Arabic alef
        {"ISO_IR 126", "\xc4", "\xce\x94"},     // Greek Delta
        {"ISO_IR 138", "\xf9", "\xd7\xa9"},     // Hebrew shin
        {"ISO_IR 148", "\xfd", "\xc4\xb1"},     // dotless i
        {"ISO_IR 13", "\xb1", "\xef\xbd\xb1"},  // half-width katakana A
        {"ISO_IR 166", "\xa1", "\xe0\xb8\x81"}, // Thai ko kai
        {"ISO_IR 203", "\xa4", "\xe2\x82\xac"}, // euro sign
        {"ISO_IR 192", "\xe7\x8e\x8b", "\xe7\x8e\x8b"},
        {"GB18030", "\xcd\xf5", "\xe7\x8e\x8b"}, // Wang
        {"GBK", "\xcd\xf5", "\xe7\x8e\x8b"},
        {"GBK", "\x81\x5c", "\xe4\xb9\x97"}, // a trailing byte "\" is no delimiter
        // Not a defined term: the bytes as ISO-8859-1, nothing lost.
        {"ISO_IR 999", "\xe9", "\xc3\xa9"},
        // A code extension term alone: ISO 2022 text with its G1 set.
        {"ISO 2022 IR 100", "\xe9", "\xc3\xa9"},
        {"ISO 2022 IR 144", "\xbb", "\xd0\x9b"},
    };
    for (const SingleCase &c : cases)
        EXPECT_EQ(conv(c.text, c.scs), c.utf8) << "scs '" << c.scs << "'";
}

TEST(ConvertSCS, SingleValuedIsCaseSensitiveAndIgnoresPadding)
{
    // Lower case is not a defined term: ISO-8859-1, so 0xC4 is A umlaut.
    EXPECT_EQ(conv("\xc4", "iso_ir 126"), "\xc3\x84");
    // A CS value's padding is not part of the term (regression: a padded
    // "ISO_IR 192 " fell back to ISO-8859-1 and garbled UTF-8 names).
    EXPECT_EQ(conv("\xe7\x8e\x8b", "ISO_IR 192 "), "\xe7\x8e\x8b");
}

TEST(ConvertSCS, UndecodableBytesAreKeptAndTold)
{
    // Invalid UTF-8 between "ab" and "cd": the byte as ISO-8859-1, the rest
    // decoded, the loss told.
    EXPECT_EQ(conv("ab\xff"
                   "cd",
                   "ISO_IR 192"),
              "ab\xc3\xbf"
              "cd");
    EXPECT_TRUE(dicomnet_convertSCS_lossy());
    EXPECT_EQ(conv("abcd", "ISO_IR 192"), "abcd");
    EXPECT_FALSE(dicomnet_convertSCS_lossy());
    EXPECT_EQ(conv("\xe9", "ISO_IR 999"), "\xc3\xa9");
    EXPECT_TRUE(dicomnet_convertSCS_lossy());
    // Escape sequences get no special treatment in the single-valued case.
    EXPECT_EQ(conv("a\x1b(Bb", "ISO_IR 100"), "a\x1b(Bb");
}

TEST(ConvertSCS, SingleValuedOutputIsCutAt2047Bytes)
{
    std::string in(1500, '\xe9'); // 3000 bytes of UTF-8
    std::string out = conv(in.c_str(), "ISO_IR 100");
    EXPECT_EQ(out.size(), 2046u); // whole two-byte characters only
}

TEST(ConvertSCS, UnknownEncodingName)
{
    // The target is what the platform cannot open here.
    EXPECT_EQ(dicomnet_convertSCS("x", "ISO_IR 100", 0, "NO-SUCH-CHARSET"), nullptr);
    EXPECT_EQ(dicomnet_convertSCS("x", "\\ISO 2022 IR 87", 0, "NO-SUCH-CHARSET"), nullptr);
    // Another target than UTF-8.
    EXPECT_STREQ(dicomnet_convertSCS("\xc4", "ISO_IR 126", 0, "ISO-8859-7"), "\xc4");
}

TEST(ConvertSCS, CodeExtensionTableForFirstValue)
{
    static const SingleCase cases[] = {
        {"ISO 2022 IR 6\\ISO 2022 IR 87", "Smith", "Smith"},
        {"ISO 2022 IR 100\\ISO 2022 IR 87", "\xe9", "\xc3\xa9"},
        {"ISO 2022 IR 101\\ISO 2022 IR 87", "\xb1", "\xc4\x85"},
        {"ISO 2022 IR 109\\ISO 2022 IR 87", "\xa1", "\xc4\xa6"},
        {"ISO 2022 IR 110\\ISO 2022 IR 87", "\xa1", "\xc4\x84"},
        {"ISO 2022 IR 144\\ISO 2022 IR 87", "\xbb", "\xd0\x9b"},
        {"ISO 2022 IR 127\\ISO 2022 IR 87", "\xc7", "\xd8\xa7"},
        {"ISO 2022 IR 126\\ISO 2022 IR 87", "\xc4", "\xce\x94"},
        {"ISO 2022 IR 138\\ISO 2022 IR 87", "\xf9", "\xd7\xa9"},
        {"ISO 2022 IR 148\\ISO 2022 IR 87", "\xfd", "\xc4\xb1"},
        {"ISO 2022 IR 13\\ISO 2022 IR 87", "\xb1", "\xef\xbd\xb1"},
        {"ISO 2022 IR 166\\ISO 2022 IR 87", "\xa1", "\xe0\xb8\x81"},
        // A two-byte set as the first value is designated from the start.
        {"ISO 2022 IR 87\\ISO 2022 IR 13", "$\"", "\xe3\x81\x82"}, // JIS hiragana a
        {"ISO 2022 IR 159\\ISO 2022 IR 87", "\x30\x21", "\xe4\xb8\x82"},
        {"ISO 2022 IR 149\\ISO 2022 IR 87", "\xb1\xe8", "\xea\xb9\x80"}, // Hangul gim
        {"ISO 2022 IR 58\\ISO 2022 IR 87", "\xcd\xf5", "\xe7\x8e\x8b"},  // Wang
        // The single table is consulted first, also for a multi-valued set.
        {"ISO_IR 126\\ISO 2022 IR 87", "\xc4", "\xce\x94"},
        {"ISO_IR 192\\ISO 2022 IR 87", "\xe7\x8e\x8b", "\xe7\x8e\x8b"},
        {"", "", ""},
        // Empty first value: ASCII; unknown first value: ISO-8859-1 above it.
        {"\\ISO 2022 IR 100", "Smith", "Smith"},
        {"ISO 2022 IR 999\\ISO 2022 IR 87", "\xe9", "\xc3\xa9"},
    };
    for (const SingleCase &c : cases)
        EXPECT_EQ(conv(c.text, c.scs), c.utf8) << "scs '" << c.scs << "'";
}

TEST(ConvertSCS, HighBytesWithoutG1AreKept)
{
    // Empty first value: nothing in G1 until an escape designates it.
    EXPECT_EQ(conv("\xe9", "\\ISO 2022 IR 100"), "\xc3\xa9");
    EXPECT_TRUE(dicomnet_convertSCS_lossy());
}

TEST(ConvertSCS, EscapeSequenceTable)
{
    // Each sequence selects its encoding for the text after it.
    static const SingleCase cases[] = {
        {"\\ISO 2022 IR 100", "\x1b(Babc", "abc"},
        {"\\ISO 2022 IR 100", "\x1b-A\xe9", "\xc3\xa9"},
        {"\\ISO 2022 IR 101", "\x1b-B\xb1", "\xc4\x85"},
        {"\\ISO 2022 IR 109", "\x1b-C\xa1", "\xc4\xa6"},
        {"\\ISO 2022 IR 110", "\x1b-D\xa1", "\xc4\x84"},
        {"\\ISO 2022 IR 144", "\x1b-L\xbb", "\xd0\x9b"},
        {"\\ISO 2022 IR 127", "\x1b-G\xc7", "\xd8\xa7"},
        {"\\ISO 2022 IR 126", "\x1b-F\xc4", "\xce\x94"},
        {"\\ISO 2022 IR 138", "\x1b-H\xf9", "\xd7\xa9"},
        {"\\ISO 2022 IR 148", "\x1b-M\xfd", "\xc4\xb1"},
        {"\\ISO 2022 IR 13", "\x1b)I\xb1", "\xef\xbd\xb1"},
        {"\\ISO 2022 IR 13", "\x1b(Jabc", "abc"},
        {"\\ISO 2022 IR 166", "\x1b-T\xa1", "\xe0\xb8\x81"},
        {"\\ISO 2022 IR 87", "\x1b$B$\"", "\xe3\x81\x82"}, // JIS X 0208 hiragana a
        // JIS X 0212 row 16 cell 1 (regression: glibc knows the table's
        // "ISO-2022-JP2" only as "ISO-2022-JP-2"; such names became ">>SCS fail").
        {"\\ISO 2022 IR 159", "\x1b$(D\x30\x21", "\xe4\xb8\x82"},
        {"\\ISO 2022 IR 149", "\x1b$)C\xb1\xe8", "\xea\xb9\x80"},
        {"\\ISO 2022 IR 58", "\x1b$)A\xcd\xf5", "\xe7\x8e\x8b"},
        {"\\ISO 2022 IR 203", "\x1b-b\xa4", "\xe2\x82\xac"},
    };
    for (const SingleCase &c : cases)
        EXPECT_EQ(conv(c.text, c.scs), c.utf8) << "scs '" << c.scs << "'";
}

TEST(ConvertSCS, UnknownEscapeSequenceIsKept)
{
    EXPECT_EQ(conv("ab\x1b(Qcd", "\\ISO 2022 IR 87"), "ab\x1b(Qcd");
    EXPECT_TRUE(dicomnet_convertSCS_lossy());
    // A sequence cut by the end of the text is kept as it is.
    EXPECT_EQ(conv("ab\x1b$", "\\ISO 2022 IR 87"), "ab\x1b$");
}

TEST(ConvertSCS, ChineseWithCodeExtensions)
{
    // GB 2312 through its escape sequence, as modalities write it.
    const char *name = "Wang^XiaoDong=\x1b$)A\xcd\xf5^\x1b$)A\xd0\xa1\xb6\xab";
    EXPECT_EQ(conv(name, "\\ISO 2022 IR 58", 1),
              "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe4\xb8\x9c");
    EXPECT_FALSE(dicomnet_convertSCS_lossy());
}

TEST(ConvertSCS, JapanesePersonNameSegments)
{
    // Alphabetic group, "=", then JIS X 0208 through ISO-2022-JP with the
    // escape sequence included; "^" inside the JIS part is a byte of a
    // two-byte character, not a delimiter.
    const char *name = "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B";
    EXPECT_EQ(conv(name, "\\ISO 2022 IR 87", 1),
              "Yamada^Tarou=\xe5\xb1\xb1\xe7\x94\xb0^\xe5\xa4\xaa\xe9\x83\x8e");
    // "%^" is one JIS character (katakana MA, as Python's iso2022_jp codec
    // decodes it); it must not be split at "^".
    EXPECT_EQ(conv("\x1b$B%^\x1b(B", "\\ISO 2022 IR 87", 1), "\xe3\x83\x9e");
}

TEST(ConvertSCS, PersonNameDelimitersResetToInitialEncoding)
{
    // Initial ISO-8859-1 (first value), switch to Greek, then "^" resets.
    const char *scs = "ISO 2022 IR 100\\ISO 2022 IR 126";
    EXPECT_EQ(conv("\x1b-F\xc4^\xc4", scs, 1), "\xce\x94^\xc3\x84");
    EXPECT_EQ(conv("\x1b-F\xc4=\xc4", scs, 1), "\xce\x94=\xc3\x84");
    // Without the flag "^" and "=" are ordinary characters of the segment.
    EXPECT_EQ(conv("\x1b-F\xc4^\xc4", scs, 0), "\xce\x94^\xce\x94");
    // "\", CR, LF and FF end segments and reset whatever the flag.
    EXPECT_EQ(conv("\x1b-F\xc4\\\xc4", scs, 0), "\xce\x94\\\xc3\x84");
    EXPECT_EQ(conv("\x1b-F\xc4\r\n\xc4", scs, 0), "\xce\x94\r\n\xc3\x84");
    EXPECT_EQ(conv("\x1b-F\xc4\f\xc4", scs, 0), "\xce\x94\f\xc3\x84");
}

TEST(ConvertSCS, TrailingDelimiterIsKept)
{
    EXPECT_EQ(conv("abc\\", "\\ISO 2022 IR 100"), "abc\\");
    EXPECT_EQ(conv("abc^", "\\ISO 2022 IR 100", 1), "abc^");
}

TEST(ConvertSCS, MultiValuedOutputIsCutAtAWholeCharacter)
{
    std::string in(1500, '\xe9');
    EXPECT_EQ(conv(in.c_str(), "ISO 2022 IR 100\\ISO 2022 IR 87").size(), 2046u);
    std::string many(2100, '\\');
    EXPECT_EQ(conv(many.c_str(), "\\ISO 2022 IR 87"), std::string(2047, '\\'));
    std::string fits(2047, '\\');
    EXPECT_EQ(conv(fits.c_str(), "\\ISO 2022 IR 87"), fits);
}

TEST(ConvertSCS, LongFirstValueIsCutNotOverrun)
{
    std::string scs(200, 'X');
    scs += "\\ISO 2022 IR 87";
    EXPECT_EQ(conv("\xe9", scs.c_str()), "\xc3\xa9");
}

TEST(ConvertSCS, SharedResultBufferIsOverwritten)
{
    const char *first = dicomnet_convertSCS("one", "ISO_IR 100", 0, "UTF-8");
    std::string copy = first;
    const char *second = dicomnet_convertSCS("two", "ISO_IR 100", 0, "UTF-8");
    EXPECT_EQ(first, second);
    EXPECT_EQ(copy, "one");
    EXPECT_STREQ(first, "two");
}

// The web server's searches convert values in several threads at once:
// each thread's result stays its own (one process-wide buffer let a search
// answer with another's names).
TEST(ConvertSCS, ThreadsConvertingAtOnceKeepTheirOwnResults)
{
    const int kRounds = 20000;
    int wrong[2] = {0, 0};
    auto convertMany = [&](int t) {
        std::string mine = t == 0 ? std::string(600, 'a') : std::string(600, 'b');
        for (int i = 0; i < kRounds; i++) {
            const char *r = dicomnet_convertSCS(mine.c_str(), "ISO_IR 100", 0, "UTF-8");
            if (r == nullptr || mine != r)
                wrong[t]++;
        }
    };
    std::thread other(convertMany, 1);
    convertMany(0);
    other.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

TEST(ConvertSCS, NullInputs)
{
    EXPECT_EQ(dicomnet_convertSCS(nullptr, "ISO_IR 100", 0, "UTF-8"), nullptr);
    EXPECT_EQ(conv("abc", nullptr), "abc");
}

// Expected texts of the sample files as pydicom 2.3 decodes them, made by
// gen_charset_expectations.py beside this file (pydicom's decode_bytes on
// each value; person names per "=" group, so a trailing empty group stays):
// top-level, non-private PN/LO/SH/LT/ST elements.
struct SampleCase {
    const char *file;
    unsigned group, element;
    int personName;
    const char *utf8;
};

static const SampleCase samples[] = {
    {"chrArab.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrArab.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrArab.dcm", 0x0010, 0x0010, 1,
     "\xd9\x82\xd8\xa8\xd8\xa7\xd9\x86\xd9\x8a^\xd9\x84\xd9\x86\xd8\xb2\xd8\xa7\xd8\xb1"},
    {"chrArab.dcm", 0x0010, 0x0020, 0, "SCSARAB"},
    {"chrArab.dcm", 0x0020, 0x0010, 0, "SCSARAB"},
    {"chrFren.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrFren.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrFren.dcm", 0x0010, 0x0010, 1, "Buc^J\xc3\xa9r\xc3\xb4me"},
    {"chrFren.dcm", 0x0010, 0x0020, 0, "SCSFREN"},
    {"chrFren.dcm", 0x0020, 0x0010, 0, "SCSFREN"},
    {"chrFrenMulti.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrFrenMulti.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrFrenMulti.dcm", 0x0010, 0x0010, 1, "Buc^J\xc3\xa9r\xc3\xb4me"},
    {"chrFrenMulti.dcm", 0x0010, 0x0020, 0, "SCSFREN"},
    {"chrFrenMulti.dcm", 0x0010, 0x1000, 0, "eggs\\spam"},
    {"chrFrenMulti.dcm", 0x0010, 0x1001, 1, "Buc^J\xc3\xa9r\xc3\xb4me\\Buc^J\xc3\xa9r\xc3\xb4me"},
    {"chrFrenMulti.dcm", 0x0020, 0x0010, 0, "SCSFREN"},
    {"chrGerm.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrGerm.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrGerm.dcm", 0x0010, 0x0010, 1,
     "\xc3\x84neas^R\xc3\xbc"
     "diger"},
    {"chrGerm.dcm", 0x0010, 0x0020, 0, "SCSGERM"},
    {"chrGerm.dcm", 0x0020, 0x0010, 0, "SCSGERM"},
    {"chrGreek.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrGreek.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrGreek.dcm", 0x0010, 0x0010, 1,
     "\xce\x94\xce\xb9\xce\xbf\xce\xbd\xcf\x85\xcf\x83\xce\xb9\xce\xbf\xcf\x82"},
    {"chrGreek.dcm", 0x0010, 0x0020, 0, "SCSGREEK"},
    {"chrGreek.dcm", 0x0020, 0x0010, 0, "SCSGREEK"},
    {"chrH31.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrH31.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrH31.dcm", 0x0010, 0x0010, 1,
     "Yamada^Tarou=\xe5\xb1\xb1\xe7\x94\xb0^\xe5\xa4\xaa\xe9\x83\x8e="
     "\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrH31.dcm", 0x0010, 0x0020, 0, "H31EXAMPLE"},
    {"chrH31.dcm", 0x0020, 0x0010, 0, "H31EXAMPLE"},
    {"chrH32.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrH32.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrH32.dcm", 0x0010, 0x0010, 1,
     "\xef\xbe\x94\xef\xbe\x8f\xef\xbe\x80\xef\xbe\x9e^\xef\xbe\x80\xef\xbe\x9b\xef\xbd\xb3="
     "\xe5\xb1\xb1\xe7\x94\xb0^\xe5\xa4\xaa\xe9\x83\x8e=\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^"
     "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrH32.dcm", 0x0010, 0x0020, 0, "H32EXAMPLE"},
    {"chrH32.dcm", 0x0020, 0x0010, 0, "H32EXAMPLE"},
    {"chrHbrw.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrHbrw.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrHbrw.dcm", 0x0010, 0x0010, 1,
     "\xd7\xa9\xd7\xa8\xd7\x95\xd7\x9f^\xd7\x93\xd7\x91\xd7\x95\xd7\xa8\xd7\x94"},
    {"chrHbrw.dcm", 0x0010, 0x0020, 0, "SCSHBRW"},
    {"chrHbrw.dcm", 0x0020, 0x0010, 0, "SCSHBRW"},
    {"chrI2.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrI2.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrI2.dcm", 0x0010, 0x0010, 1,
     "Hong^Gildong=\xe6\xb4\xaa^\xe5\x90\x89\xe6\xb4\x9e=\xed\x99\x8d^\xea\xb8\xb8\xeb\x8f\x99"},
    {"chrI2.dcm", 0x0010, 0x0020, 0, "I2EXAMPLE"},
    {"chrI2.dcm", 0x0020, 0x0010, 0, "I2EXAMPLE"},
    {"chrJapMulti.dcm", 0x0008, 0x0050, 0, "2008050417172310"},
    {"chrJapMulti.dcm", 0x0008, 0x0070, 0, "Agfa-Gevaert AG"},
    {"chrJapMulti.dcm", 0x0008, 0x1010, 0, "CR250"},
    {"chrJapMulti.dcm", 0x0008, 0x1030, 0, "Chest"},
    {"chrJapMulti.dcm", 0x0008, 0x103e, 0, "Chest PA PA"},
    {"chrJapMulti.dcm", 0x0008, 0x1090, 0, "ADC_5156"},
    {"chrJapMulti.dcm", 0x0010, 0x0010, 1,
     "\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMulti.dcm", 0x0010, 0x0020, 0, "2008-4"},
    {"chrJapMulti.dcm", 0x0010, 0x1001, 1,
     "\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^"
     "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86\\\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^"
     "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMulti.dcm", 0x0010, 0x21b0, 0, "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMulti.dcm", 0x0018, 0x1000, 0, "1871"},
    {"chrJapMulti.dcm", 0x0018, 0x1004, 0, "ID0VAZ"},
    {"chrJapMulti.dcm", 0x0018, 0x1020, 0, "c25_1008"},
    {"chrJapMulti.dcm", 0x0018, 0x1260, 0, "code37"},
    {"chrJapMulti.dcm", 0x0018, 0x1401, 0, "60059"},
    {"chrJapMulti.dcm", 0x0028, 0x1054, 0, "OD REL"},
    {"chrJapMulti.dcm", 0x0028, 0x3003, 0, "E25"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x0050, 0, "2008050417172310"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x0070, 0, "Agfa-Gevaert AG"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x1010, 0, "CR250"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x1030, 0, "Chest"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x103e, 0, "Chest PA PA"},
    {"chrJapMultiExplicitIR6.dcm", 0x0008, 0x1090, 0, "ADC_5156"},
    {"chrJapMultiExplicitIR6.dcm", 0x0010, 0x0010, 1,
     "\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMultiExplicitIR6.dcm", 0x0010, 0x0020, 0, "2008-4"},
    {"chrJapMultiExplicitIR6.dcm", 0x0010, 0x1001, 1,
     "\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^"
     "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86\\\xe3\x82\x84\xe3\x81\xbe\xe3\x81\xa0^"
     "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMultiExplicitIR6.dcm", 0x0010, 0x21b0, 0, "\xe3\x81\x9f\xe3\x82\x8d\xe3\x81\x86"},
    {"chrJapMultiExplicitIR6.dcm", 0x0018, 0x1000, 0, "1871"},
    {"chrJapMultiExplicitIR6.dcm", 0x0018, 0x1004, 0, "ID0VAZ"},
    {"chrJapMultiExplicitIR6.dcm", 0x0018, 0x1020, 0, "c25_1008"},
    {"chrJapMultiExplicitIR6.dcm", 0x0018, 0x1260, 0, "code37"},
    {"chrJapMultiExplicitIR6.dcm", 0x0018, 0x1401, 0, "60059"},
    {"chrJapMultiExplicitIR6.dcm", 0x0028, 0x1054, 0, "OD REL"},
    {"chrJapMultiExplicitIR6.dcm", 0x0028, 0x3003, 0, "E25"},
    {"chrKoreanMulti.dcm", 0x0008, 0x0050, 0, "2008050417172310"},
    {"chrKoreanMulti.dcm", 0x0008, 0x0070, 0, "Agfa-Gevaert AG"},
    {"chrKoreanMulti.dcm", 0x0008, 0x1010, 0, "CR250"},
    {"chrKoreanMulti.dcm", 0x0008, 0x1030, 0, "Chest"},
    {"chrKoreanMulti.dcm", 0x0008, 0x103e, 0, "Chest PA PA"},
    {"chrKoreanMulti.dcm", 0x0008, 0x1070, 1, "\xea\xb9\x80\xed\x9d\xac\xec\xa4\x91"},
    {"chrKoreanMulti.dcm", 0x0008, 0x1090, 0, "ADC_5156"},
    {"chrKoreanMulti.dcm", 0x0010, 0x0010, 1, "\xea\xb9\x80\xed\x9d\xac\xec\xa4\x91"},
    {"chrKoreanMulti.dcm", 0x0010, 0x0020, 0, "2008-3"},
    {"chrKoreanMulti.dcm", 0x0010, 0x1001, 1,
     "\xea\xb9\x80\xed\x9d\xac\xec\xa4\x91\\\xea\xb9\x80\xed\x9d\xac\xec\xa4\x91"},
    {"chrKoreanMulti.dcm", 0x0010, 0x21b0, 0, "\xea\xb9\x80\xed\x9d\xac\xec\xa4\x91"},
    {"chrKoreanMulti.dcm", 0x0018, 0x1000, 0, "1871"},
    {"chrKoreanMulti.dcm", 0x0018, 0x1004, 0, "ID0VAZ"},
    {"chrKoreanMulti.dcm", 0x0018, 0x1020, 0, "c25_1008"},
    {"chrKoreanMulti.dcm", 0x0018, 0x1260, 0, "code37"},
    {"chrKoreanMulti.dcm", 0x0018, 0x1401, 0, "60059"},
    {"chrKoreanMulti.dcm", 0x0028, 0x1054, 0, "OD REL"},
    {"chrKoreanMulti.dcm", 0x0028, 0x3003, 0, "E25"},
    {"chrRuss.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrRuss.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrRuss.dcm", 0x0010, 0x0010, 1,
     "\xd0\x9b\xd1\x8e\xd0\xba"
     "ce\xd0\xbc\xd0\xb1yp\xd0\xb3"},
    {"chrRuss.dcm", 0x0010, 0x0020, 0, "SCSRUSS"},
    {"chrRuss.dcm", 0x0020, 0x0010, 0, "SCSRUSS"},
    {"chrSQEncoding.dcm", 0x0008, 0x0100, 0, "Code Value"},
    {"chrSQEncoding.dcm", 0x0032, 0x1032, 1, "Doctor^Who^^MD"},
    {"chrSQEncoding1.dcm", 0x0008, 0x0100, 0, "Code Value"},
    {"chrSQEncoding1.dcm", 0x0032, 0x1032, 1, "Doctor^Who^^MD"},
    {"chrX1.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrX1.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrX1.dcm", 0x0010, 0x0010, 1, "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe6\x9d\xb1="},
    {"chrX1.dcm", 0x0010, 0x0020, 0, "X1EXAMPLE"},
    {"chrX1.dcm", 0x0020, 0x0010, 0, "X1EXAMPLE"},
    {"chrX2.dcm", 0x0008, 0x0090, 1, "^^^^"},
    {"chrX2.dcm", 0x0008, 0x0201, 0, "-0400"},
    {"chrX2.dcm", 0x0010, 0x0010, 1, "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe4\xb8\x9c="},
    {"chrX2.dcm", 0x0010, 0x0020, 0, "X2EXAMPLE"},
    {"chrX2.dcm", 0x0020, 0x0010, 0, "X2EXAMPLE"},
};

TEST(ConvertSCS, PydicomCharsetSamples)
{
    const std::string dir = "/usr/lib/python3/dist-packages/pydicom/data/charset_files/";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        GTEST_SKIP() << "pydicom sample files not installed";
    for (const SampleCase &c : samples) {
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile((dir + c.file).c_str()).good()) << c.file;
        DcmDataset *ds = file.getDataset();
        const char *scs = dicomnet_getTagString(ds, DCM_SpecificCharacterSet);
        const char *raw = dicomnet_getTagString(ds, DcmTagKey(c.group, c.element));
        ASSERT_NE(raw, nullptr) << c.file;
        EXPECT_EQ(conv(raw, scs ? scs : "", c.personName), c.utf8)
            << c.file << " (" << std::hex << c.group << "," << c.element << ")";
    }
}

// The conversion of Implicit VR Little Endian data sets as they come
// (dicomnet/transcode.h): for each construct, the bytes are those the
// toolkit writes for the same data set parsed whole (read as a received
// data set is, written as the store writes an image), whatever the pieces
// the bytes come in.
#include <gtest/gtest.h>

#include <string>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcistrmb.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dctag.h"
#include "dcmtk/dcmdata/dcwcache.h"
#include "dicomnet/transcode.h"

namespace
{

std::string le16(unsigned v)
{
    return std::string{(char)(v & 0xff), (char)(v >> 8 & 0xff)};
}

std::string le32(uint32_t v)
{
    return le16(v & 0xffff) + le16(v >> 16);
}

const uint32_t UNDEF = 0xFFFFFFFFu;

std::string el(unsigned g, unsigned e, const std::string &value)
{
    return le16(g) + le16(e) + le32((uint32_t)value.size()) + value;
}

std::string open(unsigned g, unsigned e, uint32_t length = UNDEF)
{
    return le16(g) + le16(e) + le32(length);
}

std::string item(const std::string &body, bool defined)
{
    if (defined)
        return le16(0xFFFE) + le16(0xE000) + le32((uint32_t)body.size()) + body;
    return le16(0xFFFE) + le16(0xE000) + le32(UNDEF) + body + le16(0xFFFE) + le16(0xE00D) + le32(0);
}

std::string seq(unsigned g, unsigned e, const std::string &items, bool defined)
{
    if (defined)
        return open(g, e, (uint32_t)items.size()) + items;
    return open(g, e) + items + le16(0xFFFE) + le16(0xE0DD) + le32(0);
}

std::string gl(unsigned g, uint32_t claimed = 0)
{
    return el(g, 0x0000, le32(claimed));
}

// The SOP class and instance (the file's meta header needs them).
std::string uids()
{
    return el(0x0008, 0x0016, std::string("1.2.840.10008.5.1.4.1.1.2") + '\0') +
           el(0x0008, 0x0018, "1.2.826.77.1.2.3");
}

// What the store writes today for data read as a received data set:
// the data set's part of the file.
std::string reference(const std::string &implicit, E_TransferSyntax xfer = EXS_LittleEndianImplicit)
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    DcmInputBufferStream in;
    in.setBuffer(implicit.data(), (offile_off_t)implicit.size());
    in.setEos();
    ds->transferInit();
    OFCondition cond = ds->read(in, xfer, EGL_noChange);
    ds->transferEnd();
    in.releaseBuffer();
    EXPECT_TRUE(cond.good()) << cond.text();
    std::string out;
    static char buf[1 << 16];
    DcmOutputBufferStream os(buf, sizeof buf);
    DcmWriteCache cache;
    file.transferInit();
    do {
        cond = file.write(os, EXS_LittleEndianExplicit, EET_UndefinedLength, &cache, EGL_recalcGL,
                          EPD_withoutPadding, 0, 0, 0, EWM_fileformat);
        if (cond.good())
            os.flush();
        void *piece = nullptr;
        offile_off_t length = 0;
        os.flushBuffer(piece, length);
        out.append((const char *)piece, (size_t)length);
    } while (cond == EC_StreamNotifyClient);
    file.transferEnd();
    EXPECT_TRUE(cond.good()) << cond.text();
    // The preamble, "DICM", the meta header's group length and the rest of it.
    size_t meta = 132 + 12 + (uint8_t)out[140] + ((size_t)(uint8_t)out[141] << 8);
    return out.substr(meta);
}

bool parses(const std::string &implicit, E_TransferSyntax xfer = EXS_LittleEndianImplicit)
{
    DcmDataset ds;
    DcmInputBufferStream in;
    in.setBuffer(implicit.data(), (offile_off_t)implicit.size());
    in.setEos();
    ds.transferInit();
    OFCondition cond = ds.read(in, xfer, EGL_noChange);
    ds.transferEnd();
    in.releaseBuffer();
    return cond.good();
}

void collect(void *data, const unsigned char *bytes, size_t n, bool)
{
    static_cast<std::string *>(data)->append((const char *)bytes, n);
}

std::string converted(const std::string &implicit, size_t piece, int *result, bool big = false)
{
    std::string out;
    transcode t;
    transcode_init(&t, big, collect, &out);
    *result = TRANSCODE_MORE;
    for (size_t at = 0; at < implicit.size() && *result == TRANSCODE_MORE; at += piece) {
        size_t n = std::min(piece, implicit.size() - at);
        *result = transcode_feed(&t, (const unsigned char *)implicit.data() + at, n,
                                 at + n == implicit.size());
    }
    return out;
}

std::string hex(const std::string &s)
{
    std::string h;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02x", c);
        h += b;
    }
    return h;
}

void expectAsToolkit(const std::string &implicit, bool big = false)
{
    std::string want = reference(implicit, big ? EXS_BigEndianExplicit : EXS_LittleEndianImplicit);
    for (size_t piece : {(size_t)1, (size_t)7, (size_t)4096, implicit.size()}) {
        int result;
        std::string got = converted(implicit, piece, &result, big);
        EXPECT_EQ(result, TRANSCODE_MORE) << "piece " << piece;
        if (got != want) {
            size_t at = 0;
            while (at < got.size() && at < want.size() && got[at] == want[at])
                at++;
            ADD_FAILURE() << "piece " << piece << ": differs at " << at << " of " << want.size()
                          << "\nwant " << hex(want.substr(at >= 16 ? at - 16 : 0, 48)) << "\ngot  "
                          << hex(got.substr(at >= 16 ? at - 16 : 0, 48));
            return;
        }
    }
}

std::string us(unsigned v)
{
    return le16(v);
}

} // namespace

TEST(Transcode, PlainImageWithOddValuesAndPixels16)
{
    std::string pixels(512, '\x5a');
    expectAsToolkit(uids() + el(0x0010, 0x0010, "DOE^JOHN^X") + el(0x0010, 0x0020, "ODD") +
                    el(0x0028, 0x0010, us(16)) + el(0x0028, 0x0011, us(16)) +
                    el(0x0028, 0x0100, us(16)) + el(0x0028, 0x0103, us(1)) +
                    el(0x0028, 0x0106, us(3)) + el(0x0028, 0x0107, us(4000)) +
                    el(0x0028, 0x0120, us(0)) + el(0x7FE0, 0x0010, pixels));
}

TEST(Transcode, UnsignedPixelValuesAndPixels8)
{
    expectAsToolkit(uids() + el(0x0028, 0x0100, us(8)) + el(0x0028, 0x0103, us(0)) +
                    el(0x0028, 0x0106, us(3)) + el(0x7FE0, 0x0010, std::string(256, 'p')));
}

TEST(Transcode, PixelValuesWithoutPixelRepresentation)
{
    expectAsToolkit(uids() + el(0x0028, 0x0106, us(3)) + el(0x7FE0, 0x0010, std::string(6, 'p')));
}

TEST(Transcode, OverlayAndLutData)
{
    expectAsToolkit(uids() + el(0x0028, 0x0103, us(1)) +
                    seq(0x0028, 0x3000,
                        item(el(0x0028, 0x3002, us(256) + us(0) + us(16)) +
                                 el(0x0028, 0x3006, std::string(512, 'l')),
                             true),
                        true) +
                    el(0x6000, 0x0010, us(8)) + el(0x6000, 0x3000, std::string(8, 'o')));
}

TEST(Transcode, PrivateElementsKnownAndUnknown)
{
    expectAsToolkit(uids() + el(0x0019, 0x0010, "SIEMENS MR HEADER ") + el(0x0019, 0x100C, "1234") +
                    el(0x0019, 0x1028, std::string(8, 'd')) +
                    el(0x0029, 0x0010, "SIEMENS CSA HEADER") + el(0x0029, 0x0011, "VELTO ") +
                    el(0x0029, 0x1008, "IMAGE NUM 4 ") + el(0x0029, 0x1010, std::string(20, 'c')) +
                    el(0x0029, 0x1101, "VELTO") + el(0x0031, 0x1001, "ABCDE"));
}

TEST(Transcode, SequencesOfEveryLength)
{
    std::string inner = el(0x0008, 0x0100, "T-D1100 ") + el(0x0008, 0x0102, "SRT");
    std::string nested = seq(0x0008, 0x1115,
                             item(seq(0x0008, 0x114A, item(inner, false) + item("", true), false) +
                                      el(0x0008, 0x1150, "1.2.3"),
                                  true) +
                                 item("", false),
                             true);
    expectAsToolkit(uids() + seq(0x0008, 0x1032, "", true) + seq(0x0008, 0x1084, "", false) +
                    nested + seq(0x0040, 0x0260, item(inner, true) + item(inner, false), false));
}

TEST(Transcode, UnknownOfUndefinedLengthIsASequence)
{
    std::string body = el(0x0029, 0x1001, "ITEMTEXT");
    expectAsToolkit(
        uids() + el(0x0029, 0x0010, "VELTO") +
        seq(0x0029, 0x1010, item(body, true) + item(body, false) + item("", true), false) +
        seq(0x0031, 0x1010, item(body, true), false));
}

TEST(Transcode, GroupLengthsRecalculated)
{
    std::string inner = gl(0x0008, 99) + el(0x0008, 0x0100, "T-D1100 ");
    expectAsToolkit(gl(0x0008, 7) + uids() + el(0x0008, 0x0060, "CT") +
                    seq(0x0008, 0x1115, item(inner, true) + item(inner, false), true) +
                    gl(0x0010, 1) + el(0x0010, 0x0010, "A^B") + gl(0x0029) +
                    el(0x0029, 0x0010, "VELTO") +
                    seq(0x0029, 0x1010, item(el(0x0029, 0x1001, "X"), true), false) + gl(0x7FE0) +
                    el(0x7FE0, 0x0010, std::string(64, 'p')));
}

TEST(Transcode, ValueTooLongForItsLength)
{
    expectAsToolkit(uids() + el(0x0008, 0x0081, std::string(70000, 'a')) +
                    el(0x0010, 0x4000, std::string(70000, 'b')));
}

// Of undefined length the toolkit reads only sequences and elements its
// dictionary does not know, and refuses the data set otherwise: so does
// the conversion.
TEST(Transcode, KnownElementsOfUndefinedLengthAreRefusedAsByTheToolkit)
{
    std::string body = el(0x0008, 0x0100, "T-D1100 ");
    for (const std::string &data : {uids() + seq(0x0010, 0x0010, item(body, true), false),
                                    uids() + el(0x0029, 0x0010, "SIEMENS CSA HEADER") +
                                        seq(0x0029, 0x1010, item(body, true), false)}) {
        EXPECT_FALSE(parses(data));
        int result;
        converted(data, 5, &result);
        EXPECT_EQ(result, TRANSCODE_FOREIGN);
    }
}

TEST(Transcode, OddValuesOfEveryKind)
{
    expectAsToolkit(uids() + el(0x0018, 0x9087, "1234567") + el(0x0028, 0x0010, "abc") +
                    el(0x0028, 0x1201, "xyz") + el(0x0028, 0x1221, "xyz") +
                    el(0x0029, 0x1001, "uvw") + el(0x0042, 0x0011, "rst") +
                    el(0x0066, 0x0016, "opqrs") + el(0x6000, 0x3000, "ovl"));
}

// Pixel data of undefined length, which Implicit VR does not allow: the
// toolkit reads it as encapsulated and the store keeps it in Implicit VR.
// The conversion does not follow it: the data set is refused.
TEST(Transcode, PixelDataOfUndefinedLengthIsRefused)
{
    int result;
    converted(uids() + seq(0x7FE0, 0x0010, item("", true), false), 5, &result);
    EXPECT_EQ(result, TRANSCODE_FOREIGN);
}

TEST(Transcode, WaveformsAndNestedPixelValues)
{
    std::string wave8 = el(0x003A, 0x0005, us(1)) + el(0x003A, 0x0010, le32(4)) +
                        el(0x5400, 0x1004, us(8)) + el(0x5400, 0x1006, "SB") +
                        el(0x5400, 0x100A, us(1)) + el(0x5400, 0x1010, "wave");
    std::string wave16 = el(0x003A, 0x0005, us(1)) + el(0x003A, 0x0010, le32(2)) +
                         el(0x5400, 0x1004, us(16)) + el(0x5400, 0x1006, "SS") +
                         el(0x5400, 0x100A, us(1)) + el(0x5400, 0x1010, "wave");
    std::string mapping = el(0x0040, 0x9211, us(100)) + el(0x0040, 0x9216, us(0)) +
                          el(0x0040, 0x9224, "0 ") + el(0x0040, 0x9225, "1 ");
    expectAsToolkit(uids() + el(0x0028, 0x0103, us(1)) +
                    seq(0x0040, 0x9096,
                        item(mapping, true) + item(el(0x0028, 0x0103, us(1)) + mapping, false),
                        false) +
                    seq(0x5400, 0x0100, item(wave8, false) + item(wave16, true), true));
}

// Within an element the walk passes over (a private sequence of defined
// length, known as one only by its creator), a length beyond it or a
// nesting beyond the walk's limit is not followed (shown here without the
// walk).
TEST(Transcode, PrivateSequenceOfDefinedLengthThatLies)
{
    std::string deep;
    for (int i = 0; i < 200; i++)
        deep = seq(0x0008, 0x1115, item(deep, true), true);
    int result;
    converted(uids() + deep, 5, &result);
    EXPECT_EQ(result, TRANSCODE_FOREIGN);
    std::string lying =
        open(0x0008, 0x1115, 16) + le16(0xFFFE) + le16(0xE000) + le32(64) + std::string(8, '\0');
    converted(uids() + lying, 5, &result);
    EXPECT_EQ(result, TRANSCODE_FOREIGN);
}

// A private sequence of defined length, known as one by its creator only.
TEST(Transcode, PrivateSequenceKnownByItsCreator)
{
    std::string body = el(0x0008, 0x0100, "T-D1100 ");
    expectAsToolkit(uids() + el(0x0009, 0x0010, "DCMTK_ANONYMIZER") +
                    seq(0x0009, 0x1000, item(body, true) + item(body, false), true));
}

namespace
{

std::string be16(unsigned v)
{
    return std::string{(char)(v >> 8 & 0xff), (char)(v & 0xff)};
}

std::string be32(uint32_t v)
{
    return be16(v >> 16) + be16(v & 0xffff);
}

// Explicit VR big endian.
std::string bel(unsigned g, unsigned e, const char *vr, const std::string &value)
{
    bool longVr = std::string("OBODOFOLOVOWSQSVUCUNURUTUV").find(vr) % 2 == 0;
    return be16(g) + be16(e) + std::string(vr, 2) +
           (longVr ? be16(0) + be32((uint32_t)value.size()) : be16((unsigned)value.size())) + value;
}

std::string beItem(const std::string &body, bool defined)
{
    if (defined)
        return be16(0xFFFE) + be16(0xE000) + be32((uint32_t)body.size()) + body;
    return be16(0xFFFE) + be16(0xE000) + be32(UNDEF) + body + be16(0xFFFE) + be16(0xE00D) + be32(0);
}

std::string beSeq(unsigned g, unsigned e, const std::string &items, bool defined)
{
    if (defined)
        return bel(g, e, "SQ", items);
    return be16(g) + be16(e) + "SQ" + be16(0) + be32(UNDEF) + items + be16(0xFFFE) + be16(0xE0DD) +
           be32(0);
}

std::string beUids()
{
    return bel(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.2") + '\0') +
           bel(0x0008, 0x0018, "UI", "1.2.826.77.1.2.3");
}

} // namespace

// Big endian: every number turned round by its VR, bytes and texts not.
TEST(Transcode, BigEndianNumbersSwappedByTheirVr)
{
    std::string pixels;
    for (int i = 0; i < 256; i++)
        pixels += be16((unsigned)i * 251);
    std::string inner = bel(0x0008, 0x0100, "SH", "T-D1100 ") + bel(0x0028, 0x0010, "US", be16(7));
    expectAsToolkit(
        bel(0x0008, 0x0000, "UL", be32(3)) + beUids() + bel(0x0008, 0x0060, "CS", "CT") +
            beSeq(0x0008, 0x1115, beItem(inner, true) + beItem(inner, false), true) +
            beSeq(0x0008, 0x2218, beItem(inner, false), false) +
            bel(0x0010, 0x0010, "PN", "ODD^NAME") + bel(0x0010, 0x0020, "LO", "ODD") +
            bel(0x0018, 0x0050, "DS", "1.5 ") + bel(0x0018, 0x9087, "FD", "12345678") +
            bel(0x0020, 0x9057, "UL", be32(123456)) +
            bel(0x0020, 0x9165, "AT", be16(0x0010) + be16(0x0020)) +
            bel(0x0028, 0x0100, "US", be16(16)) + bel(0x0028, 0x0103, "US", be16(1)) +
            bel(0x0028, 0x0106, "SS", be16(0xFFFB)) + bel(0x0029, 0x0010, "LO", "VELTO ") +
            bel(0x0029, 0x1001, "UN", "abcd") + bel(0x0029, 0x1002, "SL", be32(0xFFFFFFF0)) +
            bel(0x0029, 0x1003, "OB", "bytes!") + bel(0x0066, 0x0016, "OF", be32(0x3F800000)) +
            bel(0x7FE0, 0x0010, "OW", pixels),
        true);
}

// An UN of undefined length holds a sequence in Implicit VR Little Endian.
TEST(Transcode, BigEndianUnknownSequence)
{
    std::string body = el(0x0029, 0x1001, "ITEMTEXT") + el(0x0029, 0x1002, "odd");
    expectAsToolkit(beUids() + bel(0x0029, 0x0010, "LO", "VELTO ") + be16(0x0029) + be16(0x1010) +
                        "UN" + be16(0) + be32(UNDEF) + item(body, true) + item(body, false) +
                        le16(0xFFFE) + le16(0xE0DD) + le32(0) + bel(0x0029, 0x1020, "US", be16(9)),
                    true);
}

// Elements of groups that belong to no data set, in the data set, and
// trailing padding (which the toolkit drops).
TEST(Transcode, MetaAndIllegalGroupsInTheDataSet)
{
    expectAsToolkit(el(0x0002, 0x0010, std::string("1.2.840.10008.1.2") + '\0') +
                    el(0x0003, 0x0010, "ODD") + uids() +
                    seq(0x0008, 0x1115,
                        item(el(0x0008, 0x1150, "1.2") + el(0xFFFC, 0xFFFC, "pad"), true) +
                            item(el(0xFFFC, 0xFFFC, ""), false),
                        true) +
                    el(0xFFFC, 0xFFFC, std::string(6, '\0')));
}

// Every element the dictionary gives US or SS, after Pixel Representation 1
// and 0, and without it.
TEST(Transcode, EveryPixelValueElement)
{
    static const uint32_t xs[] = {0x00189810, 0x00221452, 0x00280071, 0x00280104, 0x00280105,
                                  0x00280106, 0x00280107, 0x00280108, 0x00280109, 0x00280110,
                                  0x00280111, 0x00280120, 0x00280121, 0x00281100, 0x00281101,
                                  0x00281102, 0x00281103, 0x00281111, 0x00281112, 0x00281113,
                                  0x00283002, 0x00409211, 0x00409216, 0x00603004, 0x00603006};
    for (uint32_t tag : xs) {
        SCOPED_TRACE(tag);
        std::string value = el(tag >> 16, tag & 0xFFFF, us(3));
        std::string rep1 = el(0x0028, 0x0103, us(1)), rep0 = el(0x0028, 0x0103, us(0));
        bool before = tag < 0x00280103;
        expectAsToolkit(uids() + (before ? value + rep1 : rep1 + value));
        expectAsToolkit(uids() + (before ? value + rep0 : rep0 + value));
        expectAsToolkit(uids() + value);
    }
}

// Damaged data sets (bytes changed at random) that the walk lets through:
// the conversion ends, with the bytes it wrote walkable or a refusal, and
// never reads or writes outside what it holds (the sanitizer build runs it).
TEST(Transcode, DamagedDataSetsWalkedFirst)
{
    std::string body = el(0x0029, 0x1001, "ITEMTEXT");
    std::string sample =
        gl(0x0008) + uids() + seq(0x0008, 0x1115, item(el(0x0008, 0x1150, "1.2"), true), true) +
        el(0x0009, 0x0010, "DCMTK_ANONYMIZER") +
        seq(0x0009, 0x1000, item(body, true) + item(body, false), true) +
        el(0x0028, 0x0103, us(1)) + el(0x0028, 0x0106, us(3)) + el(0x0029, 0x0010, "VELTO") +
        seq(0x0029, 0x1010, item(body, true) + item(body, false), false) +
        el(0x7FE0, 0x0010, std::string(16, 'p'));
    std::string text =
        el(0x0008, 0x0005, "ISO_IR 100") + uids() + el(0x0008, 0x0070, "AB  ") +
        el(0x0008, 0x0090, "A^B ") + el(0x0008, 0x1030, " DESC ") +
        seq(0x0008, 0x1115,
            item(gl(0x0008) + el(0x0008, 0x1150, " 1.2.5") + el(0x0008, 0x1155, "1.2\t3 "), false),
            true) +
        el(0x0018, 0x0050, "1.5\\2.5 ") + el(0x0020, 0x4000, "TEXT  \r\n  ") +
        el(0x0028, 0x0103, us(0)) + el(0x0028, 0x0120, us(5)) + el(0x0029, 0x0010, "ACME  ") +
        el(0x0029, 0x1001, "VALUE ");
    std::string inner = bel(0x0008, 0x0100, "SH", "T-D1100 ") + bel(0x0028, 0x0010, "US", be16(7));
    std::string bigSample =
        beUids() + bel(0x0008, 0x0070, "LO", "AB  ") +
        beSeq(0x0008, 0x1115, beItem(inner, true) + beItem(inner, false), true) +
        bel(0x0018, 0x9087, "FD", "12345678") +
        bel(0x0020, 0x9165, "AT", be16(0x0010) + be16(0x0020)) +
        bel(0x0028, 0x0106, "SS", be16(0xFFFB)) + bel(0x0029, 0x0010, "LO", "VELTO ") +
        be16(0x0029) + be16(0x1010) + "UN" + be16(0) + be32(UNDEF) +
        item(el(0x0029, 0x1001, "ITEMTEXT"), true) + le16(0xFFFE) + le16(0xE0DD) + le32(0) +
        bel(0x0066, 0x0016, "OF", be32(0x3F800000)) + bel(0x7FE0, 0x0010, "OW", be16(1) + be16(2));
    const std::string samples[] = {sample, text, bigSample};
    unsigned seed = 12345;
    int whole = 0, compared = 0;
    for (int round = 0; round < 6000; round++) {
        std::string data = samples[round % 3];
        for (int k = 0; k < 1 + round % 4; k++) {
            seed = seed * 1103515245u + 12345u;
            data[(seed >> 8) % data.size()] = (char)(seed >> 20);
        }
        for (bool big : {false, true}) {
            elementwalk w;
            elementwalk_init(&w, !big, big);
            w.strictVr = true;
            w.isSequence = [](unsigned g, unsigned e) {
                return DcmTag((Uint16)g, (Uint16)e).getEVR() == EVR_SQ;
            };
            w.maxLength = 1 << 20;
            if (elementwalk_feed(&w, (const unsigned char *)data.data(), data.size()) !=
                    ELEMENTWALK_MORE ||
                elementwalk_finish(&w) != ELEMENTWALK_MORE)
                continue;
            int result;
            std::string out = converted(data, 3, &result, big);
            if (result != TRANSCODE_MORE)
                continue;
            whole++;
            // What the toolkit reads too it writes as the conversion did.
            E_TransferSyntax xfer = big ? EXS_BigEndianExplicit : EXS_LittleEndianImplicit;
            if (parses(data, xfer)) {
                compared++;
                EXPECT_EQ(hex(out), hex(reference(data, xfer))) << "round " << round;
            }
        }
    }
    EXPECT_GT(whole, 100);
    EXPECT_GT(compared, 100);
}

// Texts as the toolkit writes them: UIDs without white space or trailing
// NULs, other texts without trailing spaces, each padded to even length.
TEST(Transcode, TextsCorrectedAsTheToolkitWritesThem)
{
    std::string values = el(0x0008, 0x0070, "AB  ") + el(0x0008, 0x0080, "AB ") +
                         el(0x0008, 0x0090, "A^B ") + el(0x0008, 0x1030, " DESC ") +
                         el(0x0018, 0x0050, "1.5\\2.5 ") + el(0x0020, 0x000D, " 1.2.5") +
                         el(0x0020, 0x000E, "1 2\t3\r\n") +
                         el(0x0020, 0x0052, std::string("1.2\0.3\0\0", 8)) +
                         el(0x0020, 0x0200,
                            std::string("\0"
                                        "1.2.3",
                                        6)) +
                         el(0x0020, 0x4000, "TEXT  \r\n  ") + el(0x0040, 0xA160, "T  ");
    expectAsToolkit(uids() + values);
}

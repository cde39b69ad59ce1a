// Reading a Part 10 meta header from bytes in memory (retrievelist_parseMeta):
// the SOP class, the transfer syntax and where the data set begins, which a
// retrieve uses to send a stored file's data set as it is.
#include <gtest/gtest.h>

#include <string>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "index/retrievelist.h"

// An explicit VR little endian element with a short (2-byte) length.
static std::string element(unsigned group, unsigned elem, const char *vr, const std::string &value)
{
    std::string e;
    e += (char)(group & 0xff);
    e += (char)(group >> 8);
    e += (char)(elem & 0xff);
    e += (char)(elem >> 8);
    e += vr;
    e += (char)(value.size() & 0xff);
    e += (char)(value.size() >> 8);
    return e + value;
}

// UI values padded with a NUL to an even length.
static const std::string CLASS("1.2.3\0", 6);
static const std::string TS_EXPLICIT("1.2.840.10008.1.2.1\0", 20);

static std::string ul(unsigned v)
{
    return std::string{(char)(v & 0xff), (char)((v >> 8) & 0xff), (char)((v >> 16) & 0xff),
                       (char)(v >> 24)};
}

// Preamble, "DICM", an optional group length, class, syntax and more meta
// elements.
static std::string header(bool groupLength, const std::string &ts = TS_EXPLICIT,
                          const std::string &more = "")
{
    std::string elems =
        element(2, 1, "OB", "") + element(2, 2, "UI", CLASS) + element(2, 0x10, "UI", ts) + more;
    // OB has a long form: reserved bytes and a 4-byte length.
    elems.replace(4, 4, std::string("OB\0\0", 4) + ul(0));
    std::string head = std::string(128, '\0') + "DICM";
    if (groupLength)
        head += element(2, 0, "UL", ul((unsigned)elems.size()));
    return head + elems;
}

static int parse(const std::string &bytes, std::string *cls, std::string *ts, size_t *start)
{
    return retrievelist_parseMeta((const unsigned char *)bytes.data(), bytes.size(), cls, ts,
                                  start);
}

TEST(ParseMeta, DataSetStartsAfterTheHeader)
{
    std::string data = element(8, 0x16, "UI", CLASS);
    for (bool groupLength : {true, false}) {
        std::string head = header(groupLength);
        std::string cls, ts;
        size_t start = 99;
        EXPECT_EQ(1, parse(head + data, &cls, &ts, &start)) << groupLength;
        EXPECT_EQ("1.2.3", cls);
        EXPECT_EQ("1.2.840.10008.1.2.1", ts);
        EXPECT_EQ(head.size(), start);
        // Nothing after the header: no data set.
        EXPECT_EQ(1, parse(head, &cls, &ts, &start));
        EXPECT_EQ(0u, start);
    }
}

TEST(ParseMeta, DataThatReadsAsMetaIsNotTakenForTheDataSet)
{
    // Deflated bytes that happen to read as a group 0002 element: where the
    // header ends is then not certain, and the file is not sent as it is.
    std::string deflated = std::string("\x02\x00\x20\x00", 4) + "UI" + std::string("\x02\x00xy", 4);
    for (bool groupLength : {true, false}) {
        std::string head = header(groupLength, "1.2.840.10008.1.2.1.99");
        std::string cls, ts;
        size_t start = 99;
        EXPECT_EQ(1, parse(head + deflated, &cls, &ts, &start));
        EXPECT_EQ("1.2.840.10008.1.2.1.99", ts);
        EXPECT_EQ(0u, start) << groupLength;
    }
}

TEST(ParseMeta, UnknownEndOrNoHeaderGivesNoDataSet)
{
    std::string cls, ts;
    size_t start = 99;
    std::string data = element(8, 0x16, "UI", CLASS);
    // Cut inside a later meta element: class and syntax are read, the end
    // of the header is not known.
    std::string head = header(true, TS_EXPLICIT, element(2, 0x13, "SH", "VELTO "));
    EXPECT_EQ(1, parse((head + data).substr(0, head.size() - 2), &cls, &ts, &start));
    EXPECT_EQ("1.2.3", cls);
    EXPECT_EQ(0u, start);
    // A group length that ends before the last meta element.
    std::string shortLength = header(true);
    shortLength.replace(140, 4, ul(16));
    EXPECT_EQ(0, parse(shortLength + data, &cls, &ts, &start));
    EXPECT_EQ(0u, start);
    // Not a Part 10 file, and a header without a transfer syntax.
    EXPECT_EQ(0, parse(std::string(200, '\0'), &cls, &ts, &start));
    EXPECT_EQ(0u, start);
    std::string noSyntax = std::string(128, '\0') + "DICM" + element(2, 2, "UI", CLASS) + data;
    EXPECT_EQ(0, parse(noSyntax, &cls, &ts, &start));
}

TEST(ParseMeta, FileWrittenByTheToolkit)
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.545.9");
    ds->putAndInsertString(DCM_PatientName, "DOE^JOHN");
    // The file as saveFile would write it, into memory.
    std::string bytes(4096, '\0');
    DcmOutputBufferStream out(&bytes[0], (offile_off_t)bytes.size());
    file.transferInit();
    ASSERT_TRUE(file.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr).good());
    file.transferEnd();
    void *written = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(written, length);
    bytes.resize((size_t)length);
    std::string cls, ts;
    size_t start = 0;
    ASSERT_EQ(1, parse(bytes, &cls, &ts, &start));
    EXPECT_EQ(UID_SecondaryCaptureImageStorage, cls);
    EXPECT_EQ(UID_LittleEndianExplicitTransferSyntax, ts);
    // The first data set element, (0008,0016).
    ASSERT_LT(start + 4, bytes.size());
    EXPECT_EQ(std::string("\x08\x00\x16\x00", 4), bytes.substr(start, 4));
}

// The walk of a stored image file (imagecheck_walk): files written by the
// toolkit in each encoding are whole and give their UIDs; cut short at any
// byte, one is never whole where the toolkit finds an error; with bytes
// added or a length changed it is damaged.
#include <gtest/gtest.h>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "store/imagecheck.h"
#include "storetest.h"

// A data set with the two UIDs, texts, a sequence holding a sequence, and
// 64 bytes of pixels: native, or as one encapsulated fragment.
static DcmDataset *makeDataset(bool encapsulated)
{
    DcmDataset *ds = new DcmDataset;
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.15.3.1");
    ds->putAndInsertString(DCM_PatientName, "DOE^JOHN");
    DcmItem *outer = nullptr, *inner = nullptr;
    ds->findOrCreateSequenceItem(DCM_ReferencedStudySequence, outer, -2);
    outer->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
    outer->findOrCreateSequenceItem(DCM_ReferencedSeriesSequence, inner, -2);
    inner->putAndInsertString(DCM_SeriesInstanceUID, "1.2.3.4");
    ds->putAndInsertUint16(DCM_Rows, 8);
    ds->putAndInsertUint16(DCM_Columns, 8);
    ds->putAndInsertUint16(DCM_BitsAllocated, 8);
    Uint8 pixels[64] = {1, 2, 3};
    if (!encapsulated) {
        ds->putAndInsertUint8Array(DCM_PixelData, pixels, sizeof pixels);
        return ds;
    }
    DcmPixelSequence *fragments = new DcmPixelSequence(DCM_PixelSequenceTag);
    fragments->insert(new DcmPixelItem(DCM_PixelItemTag));
    DcmPixelItem *frame = new DcmPixelItem(DCM_PixelItemTag);
    frame->putUint8Array(pixels, sizeof pixels);
    fragments->insert(frame);
    DcmPixelData *pd = new DcmPixelData(DCM_PixelData);
    pd->putOriginalRepresentation(EXS_JPEGProcess1, nullptr, fragments);
    ds->insert(pd);
    return ds;
}

// The bytes of the data set saved as a Part 10 file in xfer.
static std::string fileBytes(const TempDir &dir, E_TransferSyntax xfer, E_EncodingType sequences,
                             bool encapsulated = false)
{
    DcmFileFormat file(makeDataset(encapsulated), false);
    std::string path = dir / "image.dcm";
    EXPECT_TRUE(file.saveFile(path.c_str(), xfer, sequences).good());
    return readFile(path);
}

// The walk of bytes written to a new file.
static int walkBytes(const TempDir &dir, const std::string &bytes, std::string *cls,
                     std::string *uid)
{
    std::string path = dir / "walked.dcm";
    writeFile(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    int r = imagecheck_walk(fd, cls, uid);
    close(fd);
    return r;
}

// Whole by the walk, or by the toolkit where the walk leaves the file to it.
static bool checked(const TempDir &dir, const std::string &bytes)
{
    std::string cls, uid;
    int r = walkBytes(dir, bytes, &cls, &uid);
    DcmFileFormat toolkit;
    return r == IMAGECHECK_FOREIGN ? toolkit.loadFile((dir / "walked.dcm").c_str()).good()
                                   : r == IMAGECHECK_WHOLE;
}

TEST(ImageCheck, WholeFilesOfEveryEncodingPassAndCutOnesAsTheToolkitSays)
{
    TempDir dir;
    struct {
        const char *what;
        E_TransferSyntax xfer;
        E_EncodingType sequences;
        bool encapsulated;
    } cases[] = {
        {"explicit, sequences of undefined length", EXS_LittleEndianExplicit, EET_UndefinedLength,
         false},
        {"explicit, sequences of defined length", EXS_LittleEndianExplicit, EET_ExplicitLength,
         false},
        {"implicit", EXS_LittleEndianImplicit, EET_UndefinedLength, false},
        {"big endian", EXS_BigEndianExplicit, EET_ExplicitLength, false},
        {"encapsulated pixel data", EXS_JPEGProcess1, EET_UndefinedLength, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = fileBytes(dir, c.xfer, c.sequences, c.encapsulated);
        std::string cls, uid;
        ASSERT_EQ(IMAGECHECK_WHOLE, walkBytes(dir, bytes, &cls, &uid));
        EXPECT_EQ(UID_SecondaryCaptureImageStorage, cls);
        EXPECT_EQ("1.2.826.15.3.1", uid);
        // Cut at every byte: never whole where the toolkit finds an error
        // (between two elements of the data set it finds none, and within
        // a sequence of undefined length neither; the walk does).
        for (size_t n = 0; n < bytes.size(); n++) {
            int r = walkBytes(dir, bytes.substr(0, n), &cls, &uid);
            DcmFileFormat toolkit;
            bool read = toolkit.loadFile((dir / "walked.dcm").c_str()).good();
            ASSERT_TRUE(r == IMAGECHECK_WHOLE ? read : r != IMAGECHECK_UNREAD) << n << ": " << r;
        }
        EXPECT_EQ(IMAGECHECK_DAMAGED, walkBytes(dir, bytes + std::string(2, '\0'), &cls, &uid));
        // An element whose value is missing.
        std::string header = c.xfer == EXS_BigEndianExplicit
                                 ? std::string("\0\x08\0\x50SH\0\x20", 8)
                                 : std::string("\x08\0\x50\0SH\x20\0", 8);
        EXPECT_EQ(IMAGECHECK_DAMAGED, walkBytes(dir, bytes + header, &cls, &uid));
    }
}

TEST(ImageCheck, ALengthThatLiesFailsAndBytesThatAreNoVrGoToTheToolkit)
{
    TempDir dir;
    std::string bytes = fileBytes(dir, EXS_LittleEndianExplicit, EET_ExplicitLength);
    std::string cls, uid;
    // The patient name's 2-byte length, one more than it is.
    size_t at = bytes.find("DOE^JOHN");
    ASSERT_NE(std::string::npos, at);
    std::string longer = bytes;
    longer[at - 2] = (char)(longer[at - 2] + 1);
    EXPECT_FALSE(checked(dir, longer));
    // Its VR overwritten: left to the toolkit (which reads a VR it does
    // not know with a 2-byte length, as other writers may have used one).
    std::string noVr = bytes;
    noVr[at - 4] = '\xff';
    EXPECT_EQ(IMAGECHECK_FOREIGN, walkBytes(dir, noVr, &cls, &uid));
}

TEST(ImageCheck, ADeflatedFileIsLeftToTheToolkitAndAReadFailureSaysSo)
{
    TempDir dir;
    std::string cls, uid;
    EXPECT_EQ(IMAGECHECK_FOREIGN,
              walkBytes(dir, fileBytes(dir, EXS_DeflatedLittleEndianExplicit, EET_ExplicitLength),
                        &cls, &uid));
    // A descriptor that cannot read.
    std::string path = dir / "image.dcm";
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(IMAGECHECK_UNREAD, imagecheck_walk(fd, &cls, &uid));
    close(fd);
}

// A file of sequences nested depth deep, the innermost holding items items,
// with its sequences of undefined or explicit length.
static std::string nestedBytes(const TempDir &dir, int depth, int items, E_EncodingType sequences)
{
    DcmDataset *ds = new DcmDataset;
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.15.3.2");
    DcmItem *at = ds;
    for (int d = 1; d < depth; d++) {
        DcmItem *next = nullptr;
        at->findOrCreateSequenceItem(DCM_ReferencedStudySequence, next, -2);
        at = next;
    }
    for (int i = 0; i < items; i++) {
        DcmItem *item = nullptr;
        at->findOrCreateSequenceItem(DCM_ReferencedSeriesSequence, item, -2);
        item->putAndInsertString(DCM_SeriesInstanceUID, "1.2.3");
    }
    DcmFileFormat file(ds, false);
    std::string path = dir / "nested.dcm";
    EXPECT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit, sequences).good());
    return readFile(path);
}

static int walkWithin(const TempDir &dir, const std::string &bytes, int depth, long items)
{
    std::string path = dir / "walked.dcm";
    writeFile(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    std::string cls, uid;
    int r = imagecheck_walkWithin(fd, imagecheck_limits{depth, items, 0}, &cls, &uid);
    close(fd);
    return r;
}

TEST(ImageCheck, SequencesDeeperOrItemsMoreThanTheLimitsAreRefused)
{
    TempDir dir;
    for (E_EncodingType enc : {EET_UndefinedLength, EET_ExplicitLength}) {
        // Eight levels: the innermost sequence holds three items.
        std::string deep = nestedBytes(dir, 8, 3, enc);
        EXPECT_EQ(walkWithin(dir, deep, 8, 0), IMAGECHECK_WHOLE) << enc;
        EXPECT_EQ(walkWithin(dir, deep, 7, 0), IMAGECHECK_DAMAGED) << enc;
        // Ten items in all: one per outer level and the three.
        EXPECT_EQ(walkWithin(dir, deep, 8, 10), IMAGECHECK_WHOLE) << enc;
        EXPECT_EQ(walkWithin(dir, deep, 8, 9), IMAGECHECK_DAMAGED) << enc;
        std::string wide = nestedBytes(dir, 1, 500, enc);
        EXPECT_EQ(walkWithin(dir, wide, 1, 500), IMAGECHECK_WHOLE) << enc;
        EXPECT_EQ(walkWithin(dir, wide, 1, 499), IMAGECHECK_DAMAGED) << enc;
    }
    // The plain walk keeps its depth and takes any number of items.
    std::string cls, uid;
    EXPECT_EQ(walkBytes(dir, nestedBytes(dir, IMAGECHECK_DEFAULT_DEPTH, 2, EET_UndefinedLength),
                        &cls, &uid),
              IMAGECHECK_WHOLE);
    EXPECT_EQ(walkBytes(dir, nestedBytes(dir, IMAGECHECK_DEFAULT_DEPTH + 1, 2, EET_UndefinedLength),
                        &cls, &uid),
              IMAGECHECK_DAMAGED);
}

// Tests of the dataset element helpers.
#include <gtest/gtest.h>

#include <memory>
#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcvrus.h"
#include "dicomnet/dicomnet.h"

TEST(Elements, GetTagStringPresentAbsentEmpty)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(ds->card(), 0u);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0010, 0x0020, "PID1"), 0);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0010, 0x0010, ""), 0);
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_PatientID), "PID1");
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_PatientName), nullptr);      // present, empty
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_StudyInstanceUID), nullptr); // absent
    EXPECT_EQ(dicomnet_getTagString(nullptr, DCM_PatientID), nullptr);
}

TEST(Elements, GetTagStringTracesOnlyRealFailures)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0010, 0x0010, ""), 0);
    char *buf = nullptr;
    size_t len = 0;
    FILE *sink = open_memstream(&buf, &len);
    ASSERT_NE(sink, nullptr);
    dicomnet_trace_open(sink, DICOMNET_TRACE_DEBUG | DICOMNET_TRACE_JUNK);
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_PatientName), nullptr);
    fflush(sink);
    EXPECT_EQ(len, 0u) << "present but empty: no trace line";
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_PatientID), nullptr);
    dicomnet_trace_close();
    fclose(sink);
    std::string text(buf, len);
    free(buf);
    EXPECT_NE(text.find("DICOM(11) Junk"), std::string::npos) << text;
    EXPECT_NE(text.find("dicomnet_getTagString: failure"), std::string::npos) << text;
}

TEST(Elements, GetTagStringDoesNotSearchSequences)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    DcmItem *item = nullptr;
    ASSERT_TRUE(ds->findOrCreateSequenceItem(DCM_ReferencedStudySequence, item).good());
    item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_ReferencedSOPInstanceUID), nullptr);
    // A sequence is not a string element.
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_ReferencedStudySequence), nullptr);
}

TEST(Elements, KeyAddUsesDictionaryVRAndReplaces)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0052, ""), 0);
    DcmElement *elem = nullptr;
    ASSERT_TRUE(ds->findAndGetElement(DCM_QueryRetrieveLevel, elem).good());
    EXPECT_EQ(elem->ident(), EVR_CS);
    EXPECT_EQ(elem->getLength(), 0u);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0052, "STUDY"), 0);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0052, "PATIENT"), 0);
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_QueryRetrieveLevel), "PATIENT");
    EXPECT_EQ(ds->card(), 1u);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0052, nullptr), 0);
    EXPECT_EQ(dicomnet_getTagString(ds.get(), DCM_QueryRetrieveLevel), nullptr);
}

TEST(Elements, KeyAddVRForPrivateTag)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    EXPECT_EQ(dicomnet_Key_Add(ds.get(), 0x0009, 0x1099, "x"), -2);
    EXPECT_EQ(ds->card(), 0u);
    ASSERT_EQ(dicomnet_Key_AddVR(ds.get(), 0x0009, 0x1099, "private text", "LO"), 0);
    DcmElement *elem = nullptr;
    ASSERT_TRUE(ds->findAndGetElement(DcmTagKey(0x0009, 0x1099), elem).good());
    EXPECT_EQ(elem->ident(), EVR_LO);
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DcmTagKey(0x0009, 0x1099)), "private text");
}

TEST(Elements, KeyAddFailures)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    EXPECT_EQ(dicomnet_Key_Add(nullptr, 0x0010, 0x0010, "x"), -1);
    EXPECT_EQ(dicomnet_Key_AddVR(ds.get(), 0x0009, 0x1099, "x", "ZZ"), -2);
    // A value the element refuses is not inserted (and not leaked: ASan).
    EXPECT_EQ(dicomnet_Key_AddVR(ds.get(), 0x0009, 0x1010, "abc", "SQ"), -4);
    EXPECT_EQ(ds->card(), 0u);
}

TEST(Elements, Uint16AndUint8Fields)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    const Uint16 words[3] = {1, 2, 0xBEEF};
    ASSERT_TRUE(ds->putAndInsertUint16Array(DCM_RedPaletteColorLookupTableData, words, 3).good());
    int length = -1;
    Uint16 *got = dicomnet_getUnit16Field(ds.get(), DCM_RedPaletteColorLookupTableData, &length);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(length, 6); // bytes, not values
    EXPECT_EQ(got[2], 0xBEEF);
    EXPECT_NE(dicomnet_getUnit16Field(ds.get(), DCM_RedPaletteColorLookupTableData, nullptr),
              nullptr);

    const Uint8 bytes[5] = {9, 8, 7, 6, 5};
    ASSERT_TRUE(ds->putAndInsertUint8Array(DCM_EncapsulatedDocument, bytes, 5).good());
    Uint8 *b = dicomnet_getUnit8Field(ds.get(), DCM_EncapsulatedDocument, &length);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(length, 6); // padded to even length by the toolkit
    EXPECT_EQ(b[4], 5);

    length = -1;
    EXPECT_EQ(dicomnet_getUnit16Field(ds.get(), DCM_PixelData, &length), nullptr);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(dicomnet_getUnit8Field(ds.get(), DCM_PixelData, &length), nullptr);
    EXPECT_EQ(dicomnet_getUnit8Field(nullptr, DCM_PixelData, &length), nullptr);
    // A text element has no word array.
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0010, 0x0010, "A^B"), 0);
    EXPECT_EQ(dicomnet_getUnit16Field(ds.get(), DCM_PatientName, &length), nullptr);
}

// The store response encoded by hand must be the toolkit's encoding of the
// same command, byte for byte: peers parse it, and some compare the group
// length. Odd and even UID lengths (the NUL pad), a failure status.
TEST(Elements, StoreResponseEncodedAsTheToolkitDoes)
{
    const struct {
        const char *cls, *inst;
        Uint16 id, status;
    } cases[] = {
        {"1.2.840.10008.5.1.4.1.1.2", "1.2.3.4", 1, 0x0000},
        {"1.2.840.10008.5.1.4.1.1.7", "1.2.826.0.1.3680043.2.1545.7.123", 65535, 0xA700},
        {"1.2", "1.23", 0x1234, 0xB007},
    };
    for (const auto &c : cases) {
        T_DIMSE_C_StoreRSP rsp;
        memset(&rsp, 0, sizeof rsp);
        strcpy(rsp.AffectedSOPClassUID, c.cls);
        strcpy(rsp.AffectedSOPInstanceUID, c.inst);
        rsp.MessageIDBeingRespondedTo = c.id;
        rsp.DimseStatus = c.status;
        rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
        unsigned char mine[256];
        size_t n = dicomnet_encode_store_response(&rsp, mine, sizeof mine);
        ASSERT_GT(n, 0u) << c.inst;

        DcmDataset cmd;
        cmd.putAndInsertString(DCM_AffectedSOPClassUID, c.cls);
        cmd.putAndInsertUint16(DCM_CommandField, DIMSE_C_STORE_RSP);
        cmd.putAndInsertUint16(DCM_MessageIDBeingRespondedTo, c.id);
        cmd.putAndInsertUint16(DCM_CommandDataSetType, DIMSE_DATASET_NULL);
        cmd.putAndInsertUint16(DCM_Status, c.status);
        cmd.putAndInsertString(DCM_AffectedSOPInstanceUID, c.inst);
        unsigned char theirs[256];
        DcmOutputBufferStream out(theirs, sizeof theirs);
        cmd.transferInit();
        ASSERT_TRUE(cmd.write(out, EXS_LittleEndianImplicit, EET_ExplicitLength, nullptr,
                              EGL_withGL, EPD_withoutPadding)
                        .good());
        cmd.transferEnd();
        out.flush();
        void *bytes = nullptr;
        offile_off_t length = 0;
        out.flushBuffer(bytes, length);
        ASSERT_EQ(n, (size_t)length) << c.inst;
        EXPECT_EQ(memcmp(mine, theirs, n), 0) << c.inst;
        // Too small a buffer, or anything more in the response: not encoded.
        EXPECT_EQ(dicomnet_encode_store_response(&rsp, mine, n - 1), 0u);
        rsp.opts |= O_STORE_RSP_BLANK_PADDING;
        EXPECT_EQ(dicomnet_encode_store_response(&rsp, mine, sizeof mine), 0u);
    }
}

// The walk that finds an element stops at the first larger tag: elements
// put in any order are still found, the first, the last and one absent
// between two present ones alike.
TEST(Elements, FindElementInAnyInsertOrder)
{
    std::unique_ptr<DcmDataset> ds(dicomnet_Dataset_Create());
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0020, 0x000d, "1.2.3"), 0);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0018, "1.2.3.4"), 0);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0010, 0x0020, "PID"), 0);
    ASSERT_EQ(dicomnet_Key_Add(ds.get(), 0x0008, 0x0005, "ISO_IR 100"), 0);
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_SpecificCharacterSet), "ISO_IR 100");
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_StudyInstanceUID), "1.2.3");
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_PatientID), "PID");
    EXPECT_STREQ(dicomnet_getTagString(ds.get(), DCM_SOPInstanceUID), "1.2.3.4");
    EXPECT_EQ(dicomnet_findElement(ds.get(), DCM_PatientName), nullptr);
    EXPECT_EQ(dicomnet_findElement(ds.get(), DCM_PixelData), nullptr);
    EXPECT_EQ(dicomnet_findElement(ds.get(), DcmTagKey(0x0000, 0x0000)), nullptr);
    DcmElement *e = dicomnet_findElement(ds.get(), DCM_PatientID);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->getTag(), DCM_PatientID);
    EXPECT_EQ(dicomnet_findElement(nullptr, DCM_PatientID), nullptr);
}

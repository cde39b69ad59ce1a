// Unit tests of the HTJ2K lossless encoder (codec/htj2kenc.h): frames
// encoded by OpenJPH and decoded back by the archive's decoder
// (codec/j2kcodec.h, OpenJPEG) to the same stored words, for 8 and 16 bits,
// signed and unsigned, Bits Stored below Bits Allocated, RGB with the
// reversible colour transform, sizes down to one pixel; and the refusals
// (a sample beyond Bits Stored, attributes it does not take).
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/htj2kenc.h"
#include "codec/j2kcodec.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"

// A frame of n samples in [lo, hi], as the toolkit hands it over.
static std::vector<unsigned char> frameOf(size_t n, int lo, int hi, unsigned bits, unsigned seed)
{
    std::vector<unsigned char> out(n * (bits / 8));
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        int v = lo + (int)((seed >> 8) % (unsigned)(hi - lo + 1));
        if (bits == 8) {
            out[i] = (unsigned char)v;
        } else {
            Uint16 w = (Uint16)v;
            memcpy(&out[2 * i], &w, 2);
        }
    }
    return out;
}

// The codestream decoded by the archive's decoder as one frame of an image
// with these attributes.
static std::vector<unsigned char> decode(const std::vector<unsigned char> &cs,
                                         const codec_frameinfo &f)
{
    codec_registerJ2k();
    DcmFileFormat ff;
    DcmDataset *ds = ff.getDataset();
    ds->putAndInsertUint16(DCM_Rows, (Uint16)f.rows);
    ds->putAndInsertUint16(DCM_Columns, (Uint16)f.columns);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, (Uint16)f.samples);
    ds->putAndInsertUint16(DCM_BitsAllocated, (Uint16)f.bitsAllocated);
    ds->putAndInsertUint16(DCM_BitsStored, (Uint16)f.bitsStored);
    ds->putAndInsertUint16(DCM_HighBit, (Uint16)(f.bitsStored - 1));
    ds->putAndInsertUint16(DCM_PixelRepresentation, f.isSigned ? 1 : 0);
    ds->putAndInsertString(DCM_PhotometricInterpretation,
                           f.colourTransform ? "YBR_RCT"
                                             : (f.samples == 3 ? "YBR_FULL" : "MONOCHROME2"));
    if (f.samples == 3)
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    DcmPixelSequence *seq = new DcmPixelSequence(DCM_PixelSequenceTag);
    seq->insert(new DcmPixelItem(DCM_PixelItemTag));
    std::vector<unsigned char> even = cs;
    if (even.size() % 2)
        even.push_back(0);
    DcmPixelItem *item = new DcmPixelItem(DCM_PixelItemTag);
    item->putUint8Array(even.data(), (Uint32)even.size());
    seq->insert(item);
    DcmPixelData *pixel = new DcmPixelData(DCM_PixelData);
    pixel->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq);
    ds->insert(pixel, true);
    ds->updateOriginalXfer();
    size_t size = (size_t)f.rows * f.columns * f.samples * (f.bitsAllocated / 8);
    std::vector<unsigned char> out(size + (size & 1));
    Uint32 start = 0;
    OFString model;
    OFCondition c =
        pixel->getUncompressedFrame(ds, 0, start, out.data(), (Uint32)out.size(), model);
    EXPECT_TRUE(c.good()) << c.text();
    out.resize(size);
    return out;
}

static codec_frameinfo info(unsigned rows, unsigned cols, unsigned spp, unsigned bits,
                            unsigned stored, bool sgnd, bool rct = false)
{
    codec_frameinfo f;
    f.rows = rows;
    f.columns = cols;
    f.samples = spp;
    f.bitsAllocated = bits;
    f.bitsStored = stored;
    f.isSigned = sgnd;
    f.colourTransform = rct;
    return f;
}

TEST(Htj2kEncoder, LosslessRoundTrips)
{
    const struct {
        codec_frameinfo f;
        int lo, hi;
    } cases[] = {
        {info(64, 48, 1, 16, 16, true), -32768, 32767},
        {info(64, 48, 1, 16, 16, false), 0, 65535},
        {info(33, 70, 1, 16, 12, true), -2048, 2047},
        {info(33, 70, 1, 16, 10, false), 0, 1023},
        {info(20, 31, 1, 8, 8, false), 0, 255},
        {info(20, 31, 1, 8, 8, true), -128, 127},
        {info(17, 9, 3, 8, 8, false, true), 0, 255},
        {info(16, 16, 3, 16, 16, false, true), 0, 65535},
        {info(16, 16, 3, 8, 8, false, false), 0, 255},
        {info(1, 1, 1, 16, 12, false), 0, 4095},
        {info(1, 7, 1, 8, 8, false), 0, 255},
        {info(3, 3, 3, 8, 8, false, true), 0, 255},
        {info(300, 2, 1, 16, 16, true), -32768, 32767},
    };
    unsigned seed = 1;
    for (const auto &c : cases) {
        const codec_frameinfo &f = c.f;
        std::string what = std::to_string(f.rows) + "x" + std::to_string(f.columns) + "x" +
                           std::to_string(f.samples) + " " + std::to_string(f.bitsStored) +
                           (f.isSigned ? " signed" : "") + (f.colourTransform ? " RCT" : "");
        std::vector<unsigned char> frame =
            frameOf((size_t)f.rows * f.columns * f.samples, c.lo, c.hi, f.bitsAllocated, seed++);
        std::vector<unsigned char> cs;
        std::string why;
        ASSERT_EQ(codec_encodeHtj2k(frame.data(), frame.size(), f, &cs, &why), 0)
            << what << ": " << why;
        // SOC, SIZ with Rsiz's HTJ2K bit, and a CAP marker.
        ASSERT_GT(cs.size(), 8u) << what;
        EXPECT_EQ(cs[0], 0xff);
        EXPECT_EQ(cs[1], 0x4f);
        EXPECT_TRUE(cs[6] & 0x40) << what;
        EXPECT_EQ(decode(cs, f), frame) << what;
    }
}

TEST(Htj2kEncoder, Refusals)
{
    std::vector<unsigned char> cs;
    std::string why;
    // A word with a bit above Bits Stored (an overlay's, say).
    codec_frameinfo f = info(8, 8, 1, 16, 12, false);
    std::vector<unsigned char> frame = frameOf(64, 0, 4095, 16, 3);
    frame[21] |= 0x80;
    EXPECT_EQ(codec_encodeHtj2k(frame.data(), frame.size(), f, &cs, &why), -1);
    EXPECT_EQ(why, "a sample is beyond Bits Stored");
    // A negative 12-bit value not sign-extended reads as a large one.
    f = info(8, 8, 1, 16, 12, true);
    frame = frameOf(64, 0, 2047, 16, 4);
    frame[0] = 0xff;
    frame[1] = 0x0f;
    EXPECT_EQ(codec_encodeHtj2k(frame.data(), frame.size(), f, &cs, &why), -1);
    EXPECT_EQ(why, "a sample is beyond Bits Stored");
    // Attributes it does not take, and a frame of the wrong size.
    const codec_frameinfo bad[] = {info(8, 8, 1, 32, 32, false), info(8, 8, 2, 8, 8, false),
                                   info(8, 8, 1, 16, 17, false), info(0, 8, 1, 8, 8, false),
                                   info(8, 8, 1, 8, 8, false, true)};
    for (const auto &b : bad)
        EXPECT_EQ(codec_encodeHtj2k(frame.data(), frame.size(), b, &cs, &why), -1) << why;
    f = info(8, 8, 1, 16, 12, false);
    EXPECT_EQ(codec_encodeHtj2k(frame.data(), frame.size() - 2, f, &cs, &why), -1);
}

// Unit tests of the JPEG 2000 / HTJ2K decoder (codec/j2kcodec.h): the
// syntaxes it takes, its bounds, and decodes of codestreams made here with
// OpenJPEG's encoder: 16-bit signed, 8-bit RGB with the reversible colour
// transform, multi-frame without an offset table, frame by frame and whole,
// and codestreams that claim more than the attributes or are cut short.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include <openjpeg.h>

#include "codec/j2kcodec.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"

// OpenJPEG writes the codestream here.
struct sink {
    std::vector<unsigned char> bytes;
    size_t pos = 0;
};

static OPJ_SIZE_T sinkWrite(void *buf, OPJ_SIZE_T n, void *user)
{
    sink *s = static_cast<sink *>(user);
    if (s->pos + n > s->bytes.size())
        s->bytes.resize(s->pos + n);
    memcpy(s->bytes.data() + s->pos, buf, n);
    s->pos += n;
    return n;
}

static OPJ_OFF_T sinkSkip(OPJ_OFF_T n, void *user)
{
    sink *s = static_cast<sink *>(user);
    s->pos += (size_t)n;
    if (s->pos > s->bytes.size())
        s->bytes.resize(s->pos);
    return n;
}

static OPJ_BOOL sinkSeek(OPJ_OFF_T to, void *user)
{
    static_cast<sink *>(user)->pos = (size_t)to;
    return OPJ_TRUE;
}

// A lossless codestream of samples (components interleaved).
static std::vector<unsigned char> encode(const std::vector<int> &samples, unsigned w, unsigned h,
                                         unsigned comps, unsigned prec, bool sgnd)
{
    std::vector<opj_image_cmptparm_t> parms(comps);
    for (auto &p : parms) {
        memset(&p, 0, sizeof p);
        p.dx = p.dy = 1;
        p.w = w;
        p.h = h;
        p.prec = prec;
        p.sgnd = sgnd;
    }
    opj_image_t *image =
        opj_image_create(comps, parms.data(), comps == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    image->x1 = w;
    image->y1 = h;
    for (unsigned c = 0; c < comps; c++)
        for (size_t i = 0; i < (size_t)w * h; i++)
            image->comps[c].data[i] = samples[i * comps + c];
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.numresolution = 3; // small images
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0;
    params.cp_disto_alloc = 1;
    params.tcp_mct = comps == 3 ? 1 : 0;
    opj_codec_t *codec = opj_create_compress(OPJ_CODEC_J2K);
    EXPECT_TRUE(opj_setup_encoder(codec, &params, image));
    sink out;
    opj_stream_t *stream = opj_stream_create(1 << 16, OPJ_FALSE);
    opj_stream_set_user_data(stream, &out, nullptr);
    opj_stream_set_write_function(stream, sinkWrite);
    opj_stream_set_skip_function(stream, sinkSkip);
    opj_stream_set_seek_function(stream, sinkSeek);
    EXPECT_TRUE(opj_start_compress(codec, image, stream));
    EXPECT_TRUE(opj_encode(codec, stream));
    EXPECT_TRUE(opj_end_compress(codec, stream));
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    return out.bytes;
}

// A file format holding frames as JPEG 2000 lossless pixel data (one
// fragment per frame, or each frame in two fragments and no offset table).
static void makeImage(DcmFileFormat *ff, const std::vector<std::vector<unsigned char>> &frames,
                      Uint16 rows, Uint16 cols, Uint16 spp, Uint16 bits, bool sgnd,
                      const char *photometric, bool split)
{
    DcmDataset *ds = ff->getDataset();
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, cols);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, spp);
    ds->putAndInsertUint16(DCM_BitsAllocated, bits);
    ds->putAndInsertUint16(DCM_BitsStored, bits);
    ds->putAndInsertUint16(DCM_HighBit, bits - 1);
    ds->putAndInsertUint16(DCM_PixelRepresentation, sgnd ? 1 : 0);
    ds->putAndInsertString(DCM_PhotometricInterpretation, photometric);
    if (spp == 3)
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    if (frames.size() > 1)
        ds->putAndInsertString(DCM_NumberOfFrames, std::to_string(frames.size()).c_str());
    DcmPixelSequence *seq = new DcmPixelSequence(DCM_PixelSequenceTag);
    seq->insert(new DcmPixelItem(DCM_PixelItemTag)); // empty offset table
    for (const auto &f : frames) {
        std::vector<unsigned char> cs = f;
        if (cs.size() % 2)
            cs.push_back(0);
        size_t cut = split ? (cs.size() / 4) * 2 : cs.size();
        for (size_t at = 0; at < cs.size(); at = cut, cut = cs.size()) {
            DcmPixelItem *item = new DcmPixelItem(DCM_PixelItemTag);
            item->putUint8Array(cs.data() + at, (Uint32)(cut - at));
            seq->insert(item);
        }
    }
    DcmPixelData *pixel = new DcmPixelData(DCM_PixelData);
    pixel->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq);
    ds->insert(pixel, true);
    ds->updateOriginalXfer();
}

static std::vector<int> pattern(size_t n, int lo, int hi, unsigned seed)
{
    std::vector<int> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = lo + (int)((seed >> 8) % (unsigned)(hi - lo + 1));
    }
    return v;
}

TEST(J2kCodec, SyntaxesAndBounds)
{
    EXPECT_TRUE(codec_isHtj2k("1.2.840.10008.1.2.4.201"));
    EXPECT_TRUE(codec_isHtj2k("1.2.840.10008.1.2.4.203"));
    EXPECT_FALSE(codec_isHtj2k("1.2.840.10008.1.2.4.90"));
    EXPECT_FALSE(codec_isHtj2k(nullptr));
    EXPECT_EQ(codec_htj2kKey("1.2.840.10008.1.2.4.202"), EXS_JPEG2000MulticomponentLosslessOnly);
    EXPECT_EQ(codec_htj2kKey("1.2.840.10008.1.2.4.203"), EXS_JPEG2000Multicomponent);
    EXPECT_EQ(codec_frameBound(512, 512, 1, 16, 100), 512u * 512 * 2);
    EXPECT_EQ(codec_frameBound(60000, 60000, 1, 16, 1 << 30), 0u); // beyond 1 GiB
    EXPECT_EQ(codec_frameBound(16384, 16384, 1, 16, 4000), 0u);    // 512 MiB from 4 kB
    EXPECT_NE(codec_frameBound(16384, 16384, 1, 16, 1 << 20), 0u); // from 1 MiB
    EXPECT_EQ(codec_frameBound(64, 64, 1, 12, 100), 0u);           // bits not 8 or 16
}

TEST(J2kCodec, SignedSixteenBitMultiFrameFrameByFrameAndWhole)
{
    codec_registerJ2k();
    const unsigned w = 40, h = 24;
    std::vector<std::vector<int>> frames;
    std::vector<std::vector<unsigned char>> streams;
    for (unsigned f = 0; f < 3; f++) {
        frames.push_back(pattern((size_t)w * h, -32768, 32767, f + 1));
        streams.push_back(encode(frames.back(), w, h, 1, 16, true));
    }
    // Two fragments per frame and no offset table: frames found by their
    // codestreams' start markers.
    DcmFileFormat ff;
    makeImage(&ff, streams, h, w, 1, 16, true, "MONOCHROME2", true);
    DcmDataset *ds = ff.getDataset();
    DcmElement *e = nullptr;
    ASSERT_TRUE(ds->findAndGetElement(DCM_PixelData, e).good());
    DcmPixelData *pixel = static_cast<DcmPixelData *>(e);
    std::vector<Sint16> buffer(w * h);
    for (Uint32 f : {2u, 0u, 1u}) {
        Uint32 start = 0;
        OFString model;
        ASSERT_TRUE(pixel
                        ->getUncompressedFrame(ds, f, start, buffer.data(),
                                               (Uint32)(buffer.size() * 2), model)
                        .good());
        EXPECT_EQ(model, "MONOCHROME2");
        for (size_t i = 0; i < buffer.size(); i++)
            ASSERT_EQ(buffer[i], frames[f][i]) << "frame " << f << " sample " << i;
    }
    ASSERT_TRUE(ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
    const Uint16 *words = nullptr;
    ASSERT_TRUE(ds->findAndGetUint16Array(DCM_PixelData, words).good());
    for (unsigned f = 0; f < 3; f++)
        for (size_t i = 0; i < (size_t)w * h; i++)
            ASSERT_EQ((Sint16)words[f * w * h + i], frames[f][i]);
}

TEST(J2kCodec, RgbWithColourTransformComesOutRgb)
{
    codec_registerJ2k();
    const unsigned w = 17, h = 9; // odd: the decoded length is padded
    std::vector<int> samples = pattern((size_t)w * h * 3, 0, 255, 7);
    DcmFileFormat ff;
    makeImage(&ff, {encode(samples, w, h, 3, 8, false)}, h, w, 3, 8, false, "YBR_RCT", false);
    DcmDataset *ds = ff.getDataset();
    ASSERT_TRUE(ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
    OFString model;
    ds->findAndGetOFString(DCM_PhotometricInterpretation, model);
    EXPECT_EQ(model, "RGB");
    const Uint8 *bytes = nullptr;
    unsigned long n = 0;
    ASSERT_TRUE(ds->findAndGetUint8Array(DCM_PixelData, bytes, &n).good());
    ASSERT_GE(n, samples.size());
    for (size_t i = 0; i < samples.size(); i++)
        ASSERT_EQ(bytes[i], samples[i]) << i;
}

TEST(J2kCodec, HostileCodestreamsFailWithAReason)
{
    codec_registerJ2k();
    std::vector<int> samples = pattern(32 * 32, 0, 4095, 3);
    std::vector<unsigned char> cs = encode(samples, 32, 32, 1, 12, false);
    struct hostile {
        const char *name;
        Uint16 rows;
        size_t keep;
        const char *reason;
    } cases[] = {
        {"more than the attributes", 16, cs.size(), "is not the image's (32x16, 1)"},
        {"cut short", 32, cs.size() / 2, "JPEG 2000: cannot decode"},
        {"no codestream", 32, 2, "JPEG 2000:"},
    };
    for (const hostile &c : cases) {
        std::vector<unsigned char> bytes(cs.begin(), cs.begin() + (long)c.keep);
        DcmFileFormat ff;
        makeImage(&ff, {bytes}, c.rows, 32, 1, 16, false, "MONOCHROME2", false);
        OFCondition cond = ff.getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
        EXPECT_TRUE(cond.bad()) << c.name;
        EXPECT_NE(std::string(cond.text()).find(c.reason), std::string::npos)
            << c.name << ": " << cond.text();
    }
    // Attributes that claim 60000 x 60000 from a few hundred bytes: refused
    // before anything is allocated for them.
    DcmFileFormat ff;
    makeImage(&ff, {cs}, 60000, 60000, 1, 16, false, "MONOCHROME2", false);
    OFCondition cond = ff.getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    EXPECT_NE(std::string(cond.text()).find("beyond the decoder's bounds"), std::string::npos)
        << cond.text();
}

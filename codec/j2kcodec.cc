// The JPEG 2000 and HTJ2K decoder on OpenJPEG (see j2kcodec.h): the codec
// class the toolkit calls, the frame's codestream gathered from its
// fragments, the checks of its header against the image's attributes, and
// the copy of the decoded samples into the toolkit's pixel buffer.
#include "codec/j2kcodec.h"

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <openjpeg.h>

#include "dcmtk/dcmdata/dccodec.h"
#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcerror.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcmetinf.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"
#include "dcmtk/dcmdata/dcstack.h"
#include "dcmtk/dcmdata/dcswap.h"
#include "dcmtk/dcmdata/dcvrobow.h"
#include "dcmtk/dcmdata/dcvrpobw.h"

// Error codes of this module in the toolkit's conditions (module numbers
// above 1023 are free for applications).
static const unsigned short CODEC_MODULE = 1037;

static OFCondition codecError(const std::string &text)
{
    return makeOFCondition(CODEC_MODULE, 1, OF_error, text.c_str());
}

bool codec_isHtj2k(const char *uid)
{
    return codec_htj2kKey(uid) != EXS_Unknown;
}

E_TransferSyntax codec_htj2kKey(const char *uid)
{
    if (uid == nullptr)
        return EXS_Unknown;
    if (strcmp(uid, CODEC_HTJ2K_LOSSLESS) == 0 || strcmp(uid, CODEC_HTJ2K_RPCL_LOSSLESS) == 0)
        return EXS_JPEG2000MulticomponentLosslessOnly;
    if (strcmp(uid, CODEC_HTJ2K) == 0)
        return EXS_JPEG2000Multicomponent;
    return EXS_Unknown;
}

uint64_t codec_frameBound(unsigned rows, unsigned columns, unsigned samples, unsigned bitsAllocated,
                          uint64_t codestreamBytes)
{
    if (bitsAllocated != 8 && bitsAllocated != 16)
        return 0;
    uint64_t size = (uint64_t)rows * columns * samples * (bitsAllocated / 8);
    if (size == 0 || size > CODEC_MAX_FRAME)
        return 0;
    if (size > CODEC_FREE_FRAME && size / CODEC_MAX_RATIO > codestreamBytes)
        return 0;
    return size;
}

uint64_t codec_imageBound(unsigned rows, unsigned columns, unsigned samples, unsigned bitsAllocated,
                          uint64_t frames, uint64_t codestreamBytes)
{
    if ((bitsAllocated != 8 && bitsAllocated != 16) || frames == 0)
        return 0;
    uint64_t frame = (uint64_t)rows * columns * samples * (bitsAllocated / 8);
    if (frame == 0 || frame > CODEC_MAX_FRAME || frames > 0xfffffffeULL / frame)
        return 0;
    uint64_t total = frame * frames;
    if (total + 1 > 0xfffffffeULL ||
        (total > CODEC_FREE_FRAME && total / CODEC_MAX_RATIO > codestreamBytes))
        return 0;
    return total;
}

bool codec_adopt(DcmFileFormat *ff)
{
    OFString uid;
    if (ff->getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid).bad())
        return false;
    E_TransferSyntax key = codec_htj2kKey(uid.c_str());
    if (key == EXS_Unknown)
        return false;
    DcmDataset *ds = ff->getDataset();
    DcmElement *e = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, e).bad() || e == nullptr ||
        e->ident() != EVR_PixelData)
        return false;
    DcmPixelData *pixel = static_cast<DcmPixelData *>(e);
    E_TransferSyntax original = EXS_Unknown;
    const DcmRepresentationParameter *param = nullptr;
    pixel->getOriginalRepresentationKey(original, param);
    if (original == key)
        return true;
    DcmPixelSequence *seq = nullptr;
    if (pixel->getEncapsulatedRepresentation(original, param, seq).bad() || seq == nullptr)
        return false;
    // putOriginalRepresentation deletes every representation it replaces,
    // the sequence read among them: it takes a copy (whose items still
    // load their values from the file when read).
    pixel->putOriginalRepresentation(key, nullptr, new DcmPixelSequence(*seq));
    ds->updateOriginalXfer();
    return true;
}

// The image attributes a frame is decoded by.
struct imageattrs {
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, planar = 0;
    Sint32 frames = 1;
    OFString photometric;
};

static OFCondition readAttrs(DcmItem *ds, imageattrs *a)
{
    if (ds->findAndGetUint16(DCM_Rows, a->rows).bad() ||
        ds->findAndGetUint16(DCM_Columns, a->columns).bad() ||
        ds->findAndGetUint16(DCM_SamplesPerPixel, a->samples).bad() ||
        ds->findAndGetUint16(DCM_BitsAllocated, a->bitsAllocated).bad())
        return codecError("JPEG 2000: the image lacks rows, columns, samples or bits");
    if (ds->findAndGetUint16(DCM_PlanarConfiguration, a->planar).bad())
        a->planar = 0;
    if (ds->findAndGetSint32(DCM_NumberOfFrames, a->frames).bad() || a->frames < 1)
        a->frames = 1;
    if (ds->findAndGetOFString(DCM_PhotometricInterpretation, a->photometric).bad())
        a->photometric.clear();
    if (a->samples != 1 && a->samples != 3)
        return codecError("JPEG 2000: samples per pixel not 1 or 3");
    return EC_Normal;
}

// The colour model of the decoded pixels: the codestream's own component
// transform (reversible or irreversible) is undone by the decoder, which
// leaves RGB.
static OFString decodedModel(const imageattrs &a)
{
    if (a.photometric == "YBR_RCT" || a.photometric == "YBR_ICT")
        return "RGB";
    return a.photometric;
}

// The bytes of a fragment, or null (with *n 0) when it has none.
static const unsigned char *fragmentBytes(DcmPixelSequence *seq, unsigned long i, size_t *n)
{
    DcmPixelItem *item = nullptr;
    Uint8 *bytes = nullptr;
    *n = 0;
    if (seq->getItem(item, i).bad() || item == nullptr || item->getLength() == 0 ||
        item->getUint8Array(bytes).bad() || bytes == nullptr)
        return nullptr;
    *n = item->getLength();
    return bytes;
}

// The fragments [*first, *end) of frame (from 0) of frames in seq, whose
// item 0 is the offset table: one frame per fragment when the counts agree,
// else by the offset table, else by the codestreams' start markers.
static bool frameFragments(DcmPixelSequence *seq, Sint32 frames, Uint32 frame, unsigned long *first,
                           unsigned long *end)
{
    unsigned long items = seq->card();
    if (items < 2 || frame >= (Uint32)frames)
        return false;
    if (frames == 1) {
        *first = 1;
        *end = items;
        return true;
    }
    if (items - 1 == (unsigned long)frames) {
        *first = frame + 1;
        *end = frame + 2;
        return true;
    }
    Uint32 start = 0, next = 0;
    if (DcmCodec::determineStartFragment(frame, frames, seq, start).good() &&
        (frame + 1 == (Uint32)frames
             ? (next = (Uint32)items, true)
             : DcmCodec::determineStartFragment(frame + 1, frames, seq, next).good()) &&
        start >= 1 && next > start && next <= items) {
        *first = start;
        *end = next;
        return true;
    }
    // No usable offset table: a frame begins with each fragment that opens
    // with a codestream's SOC and SIZ markers.
    Uint32 seen = 0;
    *first = 0;
    for (unsigned long i = 1; i < items; i++) {
        size_t n = 0;
        const unsigned char *b = fragmentBytes(seq, i, &n);
        bool starts =
            b != nullptr && n >= 4 && b[0] == 0xff && b[1] == 0x4f && b[2] == 0xff && b[3] == 0x51;
        if (!starts)
            continue;
        if (seen == frame)
            *first = i;
        else if (seen == frame + 1) {
            *end = i;
            return *first != 0;
        }
        seen++;
    }
    *end = items;
    return *first != 0 && seen == frame + 1;
}

// A codestream held in memory, read by OpenJPEG through these callbacks.
struct memsource {
    const unsigned char *data;
    size_t size;
    size_t pos;
};

static OPJ_SIZE_T memRead(void *buffer, OPJ_SIZE_T n, void *user)
{
    memsource *m = static_cast<memsource *>(user);
    if (m->pos >= m->size)
        return (OPJ_SIZE_T)-1;
    size_t k = m->size - m->pos < n ? m->size - m->pos : n;
    memcpy(buffer, m->data + m->pos, k);
    m->pos += k;
    return k;
}

static OPJ_OFF_T memSkip(OPJ_OFF_T n, void *user)
{
    memsource *m = static_cast<memsource *>(user);
    if (n < 0) {
        if ((size_t)-n > m->pos)
            return -1;
        m->pos -= (size_t)-n;
        return n;
    }
    size_t k = m->size - m->pos < (size_t)n ? m->size - m->pos : (size_t)n;
    m->pos += k;
    return (OPJ_OFF_T)k;
}

static OPJ_BOOL memSeek(OPJ_OFF_T to, void *user)
{
    memsource *m = static_cast<memsource *>(user);
    if (to < 0 || (uint64_t)to > m->size)
        return OPJ_FALSE;
    m->pos = (size_t)to;
    return OPJ_TRUE;
}

// OpenJPEG's first error message of a decode, kept for the log.
static void keepError(const char *msg, void *user)
{
    std::string *text = static_cast<std::string *>(user);
    if (text->empty()) {
        text->assign(msg);
        while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
            text->pop_back();
    }
}

static void ignoreMessage(const char *, void *) {}

// What the decode of one codestream holds; freed on every way out.
struct j2kdecode {
    opj_codec_t *codec = nullptr;
    opj_stream_t *stream = nullptr;
    opj_image_t *image = nullptr;
    ~j2kdecode()
    {
        if (image != nullptr)
            opj_image_destroy(image);
        if (stream != nullptr)
            opj_stream_destroy(stream);
        if (codec != nullptr)
            opj_destroy_codec(codec);
    }
};

// Decodes the codestream of bytes into out (a frame of a's size, samples
// interleaved unless a.planar, 16-bit samples in the host's byte order).
static OFCondition decodeCodestream(const unsigned char *bytes, size_t n, const imageattrs &a,
                                    unsigned char *out, uint64_t frameSize)
{
    // A codestream with a JP2 file's header in front is taken too.
    OPJ_CODEC_FORMAT format = OPJ_CODEC_J2K;
    if (n >= 12 && memcmp(bytes, "\0\0\0\x0cjP  \r\n\x87\n", 12) == 0)
        format = OPJ_CODEC_JP2;
    j2kdecode d;
    std::string error;
    memsource src = {bytes, n, 0};
    d.codec = opj_create_decompress(format);
    d.stream = opj_stream_create(1 << 16, OPJ_TRUE);
    if (d.codec == nullptr || d.stream == nullptr)
        return codecError("JPEG 2000: cannot make a decoder");
    opj_stream_set_user_data(d.stream, &src, nullptr);
    opj_stream_set_user_data_length(d.stream, n);
    opj_stream_set_read_function(d.stream, memRead);
    opj_stream_set_skip_function(d.stream, memSkip);
    opj_stream_set_seek_function(d.stream, memSeek);
    opj_set_error_handler(d.codec, keepError, &error);
    opj_set_warning_handler(d.codec, ignoreMessage, nullptr);
    opj_set_info_handler(d.codec, ignoreMessage, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(d.codec, &params))
        return codecError("JPEG 2000: cannot set up the decoder");
    // The code blocks decoded on up to 4 threads (one per processor): a
    // 512 x 512 frame in half the time on two. Memory grows by a code
    // block's buffers per thread, not by frames. A library built without
    // threads refuses, and decodes on this one.
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus > 1)
        opj_codec_set_threads(d.codec, cpus < 4 ? (int)cpus : 4);
    // A codestream cut short is an error, not a partly decoded image.
    opj_decoder_set_strict_mode(d.codec, OPJ_TRUE);
    if (!opj_read_header(d.stream, d.codec, &d.image) || d.image == nullptr)
        return codecError("JPEG 2000: unreadable codestream header: " + error);
    // The header's image must be the one the attributes describe before the
    // decoder allocates anything for it.
    const opj_image_t *im = d.image;
    if (im->x1 <= im->x0 || im->y1 <= im->y0 || im->x1 - im->x0 != a.columns ||
        im->y1 - im->y0 != a.rows || im->numcomps != a.samples)
        return codecError("JPEG 2000: the codestream's image (" + std::to_string(im->x1 - im->x0) +
                          "x" + std::to_string(im->y1 - im->y0) + ", " +
                          std::to_string(im->numcomps) + " components) is not the image's (" +
                          std::to_string(a.columns) + "x" + std::to_string(a.rows) + ", " +
                          std::to_string(a.samples) + ")");
    for (OPJ_UINT32 c = 0; c < im->numcomps; c++) {
        if (im->comps[c].dx != 1 || im->comps[c].dy != 1 || im->comps[c].prec == 0 ||
            im->comps[c].prec > a.bitsAllocated || im->comps[c].prec > 16)
            return codecError("JPEG 2000: component " + std::to_string(c) +
                              " is subsampled or deeper than the image's bits");
    }
    if (!opj_decode(d.codec, d.stream, d.image) || !opj_end_decompress(d.codec, d.stream))
        return codecError("JPEG 2000: cannot decode: " + (error.empty() ? "error" : error));
    size_t pixels = (size_t)a.rows * a.columns;
    size_t bytesPer = a.bitsAllocated / 8;
    if ((uint64_t)pixels * a.samples * bytesPer != frameSize)
        return codecError("JPEG 2000: frame size mismatch");
    for (OPJ_UINT32 c = 0; c < im->numcomps; c++) {
        const OPJ_INT32 *src32 = im->comps[c].data;
        if (src32 == nullptr || im->comps[c].w != a.columns || im->comps[c].h != a.rows)
            return codecError("JPEG 2000: a component was not decoded whole");
        // Sample i of component c: interleaved (i * samples + c) or one
        // plane per component (c * pixels + i).
        size_t step = a.planar ? 1 : a.samples;
        size_t at = a.planar ? c * pixels : c;
        if (bytesPer == 1) {
            unsigned char *o = out + at;
            for (size_t i = 0; i < pixels; i++, o += step)
                *o = (unsigned char)src32[i];
        } else {
            Uint16 *o = reinterpret_cast<Uint16 *>(out) + at;
            for (size_t i = 0; i < pixels; i++, o += step)
                *o = (Uint16)src32[i];
        }
    }
    return EC_Normal;
}

// Decodes frame (from 0) of seq into out, which holds frameSize bytes.
static OFCondition decodeOneFrame(DcmPixelSequence *seq, const imageattrs &a, Uint32 frame,
                                  unsigned char *out, uint64_t frameSize,
                                  unsigned long *nextFragment)
{
    unsigned long first = 0, end = 0;
    if (!frameFragments(seq, a.frames, frame, &first, &end))
        return codecError("JPEG 2000: frame " + std::to_string(frame + 1) + " not found");
    *nextFragment = end;
    std::vector<unsigned char> joined;
    const unsigned char *bytes = nullptr;
    size_t n = 0;
    if (end == first + 1) {
        bytes = fragmentBytes(seq, first, &n);
    } else {
        for (unsigned long i = first; i < end; i++) {
            size_t k = 0;
            const unsigned char *b = fragmentBytes(seq, i, &k);
            if (b != nullptr)
                joined.insert(joined.end(), b, b + k);
        }
        bytes = joined.data();
        n = joined.size();
    }
    if (bytes == nullptr || n == 0)
        return codecError("JPEG 2000: frame " + std::to_string(frame + 1) + " is empty");
    if (codec_frameBound(a.rows, a.columns, a.samples, a.bitsAllocated, n) != frameSize)
        return codecError("JPEG 2000: frame " + std::to_string(frame + 1) + " of " +
                          std::to_string(frameSize) + " bytes from a codestream of " +
                          std::to_string(n) + " is beyond the decoder's bounds");
    OFCondition cond = decodeCodestream(bytes, n, a, out, frameSize);
    // A fragment's value, once read, would stay in memory as long as the
    // data set: dropped again (it is read from the file when needed), so a
    // multi-frame image decoded frame by frame holds one frame's
    // codestream at a time.
    for (unsigned long i = first; i < end; i++) {
        DcmPixelItem *item = nullptr;
        if (seq->getItem(item, i).good() && item != nullptr)
            item->compact();
    }
    return cond;
}

// The codec the toolkit calls for the JPEG 2000 syntaxes.
class J2kDecoder : public DcmCodec
{
public:
    OFCondition decode(const DcmRepresentationParameter *, DcmPixelSequence *seq,
                       DcmPolymorphOBOW &uncompressed, const DcmCodecParameter *,
                       const DcmStack &objStack, OFBool &removeOldRep) const override
    {
        // The stack's top is the pixel data, below it the item holding it.
        DcmStack stack(objStack);
        (void)stack.pop();
        DcmObject *top = stack.pop();
        if (seq == nullptr || top == nullptr ||
            (top->ident() != EVR_dataset && top->ident() != EVR_item))
            return EC_IllegalCall;
        DcmItem *ds = static_cast<DcmItem *>(top);
        imageattrs a;
        OFCondition cond = readAttrs(ds, &a);
        if (cond.bad())
            return cond;
        uint64_t frameSize = (uint64_t)a.rows * a.columns * a.samples * (a.bitsAllocated / 8);
        uint64_t total = frameSize * (uint64_t)a.frames;
        // The toolkit holds a decoded image whole: its size is bounded as a
        // frame's is (against all the codestreams' bytes), and by the length
        // field's 32 bits, before anything is allocated for it.
        uint64_t compressed = 0;
        for (unsigned long i = 1; i < seq->card(); i++) {
            DcmPixelItem *item = nullptr;
            if (seq->getItem(item, i).good() && item != nullptr)
                compressed += item->getLength();
        }
        if (codec_imageBound(a.rows, a.columns, a.samples, a.bitsAllocated, (uint64_t)a.frames,
                             compressed) != total)
            return codecError("JPEG 2000: the image's size (" + std::to_string(total) +
                              " bytes from " + std::to_string(compressed) +
                              ") is beyond the decoder's bounds");
        Uint16 *words = nullptr;
        cond = uncompressed.createUint16Array((Uint32)((total + 1) / 2), words);
        if (cond.bad() || words == nullptr)
            return cond.bad() ? cond : EC_MemoryExhausted;
        unsigned char *out = reinterpret_cast<unsigned char *>(words);
        if (total % 2 != 0)
            out[total] = 0;
        for (Sint32 f = 0; f < a.frames; f++) {
            unsigned long next = 0;
            cond =
                decodeOneFrame(seq, a, (Uint32)f, out + frameSize * (uint64_t)f, frameSize, &next);
            if (cond.bad())
                return cond;
        }
        // 8-bit samples were written as bytes into an array of words.
        if (a.bitsAllocated == 8)
            swapIfNecessary(gLocalByteOrder, EBO_LittleEndian, words, (Uint32)(total + 1) / 2 * 2,
                            sizeof(Uint16));
        OFString model = decodedModel(a);
        if (model != a.photometric) {
            cond = ds->putAndInsertString(DCM_PhotometricInterpretation, model.c_str());
            if (cond.bad())
                return cond;
            // The compressed form no longer matches the attributes.
            removeOldRep = OFTrue;
        }
        return EC_Normal;
    }

    OFCondition decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *seq,
                            const DcmCodecParameter *, DcmItem *ds, Uint32 frameNo,
                            Uint32 &startFragment, void *buffer, Uint32 bufSize,
                            OFString &decompressedColorModel) const override
    {
        if (seq == nullptr || ds == nullptr || buffer == nullptr)
            return EC_IllegalCall;
        imageattrs a;
        OFCondition cond = readAttrs(ds, &a);
        if (cond.bad())
            return cond;
        uint64_t frameSize = (uint64_t)a.rows * a.columns * a.samples * (a.bitsAllocated / 8);
        if (a.bitsAllocated % 8 != 0 || frameSize == 0 || frameSize > bufSize)
            return EC_IllegalCall;
        unsigned long next = 0;
        cond =
            decodeOneFrame(seq, a, frameNo, static_cast<unsigned char *>(buffer), frameSize, &next);
        if (cond.bad())
            return cond;
        startFragment = (Uint32)next;
        decompressedColorModel = decodedModel(a);
        return EC_Normal;
    }

    OFCondition encode(const Uint16 *, const Uint32, const DcmRepresentationParameter *,
                       DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &,
                       OFBool &) const override
    {
        return EC_IllegalCall; // decoding only
    }

    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter *,
                       DcmPixelSequence *, const DcmRepresentationParameter *, DcmPixelSequence *&,
                       const DcmCodecParameter *, DcmStack &, OFBool &) const override
    {
        return EC_IllegalCall;
    }

    OFBool canChangeCoding(const E_TransferSyntax oldRepType,
                           const E_TransferSyntax newRepType) const override
    {
        bool j2k = oldRepType == EXS_JPEG2000LosslessOnly || oldRepType == EXS_JPEG2000 ||
                   oldRepType == EXS_JPEG2000MulticomponentLosslessOnly ||
                   oldRepType == EXS_JPEG2000Multicomponent;
        return j2k && DcmXfer(newRepType).isNotEncapsulated();
    }

    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter *,
                                                DcmPixelSequence *, const DcmCodecParameter *,
                                                DcmItem *ds, OFString &model) const override
    {
        imageattrs a;
        if (ds == nullptr ||
            ds->findAndGetOFString(DCM_PhotometricInterpretation, a.photometric).bad())
            return EC_IllegalCall;
        model = decodedModel(a);
        return EC_Normal;
    }
};

// The codec list wants a codec parameter; this decoder has no settings.
class J2kCodecParam : public DcmCodecParameter
{
public:
    DcmCodecParameter *clone() const override { return new J2kCodecParam(); }
    const char *className() const override { return "J2kCodecParam"; }
};

void codec_registerJ2k()
{
    // Immutable objects that live as long as the process: the codec list
    // keeps pointers to them. The list refuses a codec registered before
    // (under its own lock), so a second call changes nothing.
    static const J2kDecoder decoder;
    static const J2kCodecParam codecParam;
    DcmCodecList::registerCodec(&decoder, nullptr, &codecParam);
}

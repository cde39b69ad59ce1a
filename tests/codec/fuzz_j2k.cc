// libFuzzer target of the JPEG 2000 / HTJ2K decoder (codec/j2kcodec.h):
// the input's first four bytes give the image's attributes (rows, columns,
// components and bits, frames and whether a frame is split in two
// fragments), the rest is the codestream of every frame. Each frame is
// decoded alone and then the image whole; a codestream the decoder cannot
// take must fail with a condition, never crash or read out of bounds.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "codec/j2kcodec.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    codec_registerJ2k();
    Uint16 rows = (Uint16)(data[0] % 64 + 1), cols = (Uint16)(data[1] % 64 + 1);
    Uint16 spp = (data[2] & 1) ? 3 : 1, bits = (data[2] & 2) ? 16 : 8;
    int frames = data[3] % 3 + 1;
    bool split = (data[3] & 0x80) != 0;
    std::vector<unsigned char> cs(data + 4, data + size);
    if (cs.size() % 2)
        cs.push_back(0);

    DcmFileFormat ff;
    DcmDataset *ds = ff.getDataset();
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, cols);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, spp);
    ds->putAndInsertUint16(DCM_BitsAllocated, bits);
    ds->putAndInsertUint16(DCM_BitsStored, bits);
    ds->putAndInsertUint16(DCM_HighBit, bits - 1);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds->putAndInsertString(DCM_PhotometricInterpretation, spp == 3 ? "YBR_RCT" : "MONOCHROME2");
    if (spp == 3)
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    if (frames > 1)
        ds->putAndInsertString(DCM_NumberOfFrames, frames == 2 ? "2" : "3");
    DcmPixelSequence *seq = new DcmPixelSequence(DCM_PixelSequenceTag);
    seq->insert(new DcmPixelItem(DCM_PixelItemTag));
    for (int f = 0; f < frames; f++) {
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

    std::vector<unsigned char> buffer((size_t)rows * cols * spp * (bits / 8) + 1);
    for (int f = 0; f < frames; f++) {
        Uint32 start = 0;
        OFString model;
        (void)pixel->getUncompressedFrame(ds, (Uint32)f, start, buffer.data(),
                                          (Uint32)buffer.size(), model);
    }
    (void)ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    return 0;
}

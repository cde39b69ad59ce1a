// The HTJ2K lossless encoder on OpenJPH (see htj2kenc.h): the codestream's
// parameters, the frame's samples handed over a line of a component at a
// time, and the library's errors (thrown as exceptions) made a result.
#include "codec/htj2kenc.h"

#include <stdint.h>
#include <string.h>

#include <exception>

// ojph_arch.h first: the other headers use its macros without including it.
#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

// Sample (row y, column x, component c) of the frame, sign-extended from
// 16 bits when signed: the stored word as the decoder gives it back.
static int32_t sampleAt(const unsigned char *frame, const codec_frameinfo &f, size_t index)
{
    if (f.bitsAllocated == 8)
        return f.isSigned ? (int32_t)(int8_t)frame[index] : (int32_t)frame[index];
    uint16_t w;
    memcpy(&w, frame + 2 * index, 2);
    return f.isSigned ? (int32_t)(int16_t)w : (int32_t)w;
}

int codec_encodeHtj2k(const unsigned char *frame, size_t size, const codec_frameinfo &f,
                      std::vector<unsigned char> *out, std::string *why)
{
    if ((f.bitsAllocated != 8 && f.bitsAllocated != 16) || f.bitsStored == 0 ||
        f.bitsStored > f.bitsAllocated || (f.samples != 1 && f.samples != 3) || f.rows == 0 ||
        f.columns == 0 || (f.colourTransform && f.samples != 3)) {
        *why = "the HTJ2K encoder does not take these attributes";
        return -1;
    }
    size_t pixels = (size_t)f.rows * f.columns;
    if (size != pixels * f.samples * (f.bitsAllocated / 8)) {
        *why = "the frame's size is not its attributes'";
        return -1;
    }
    // The codestream's precision is Bits Stored: a stored word beyond it
    // (overlay bits in the high bits, a negative value not sign-extended)
    // would not come back as it was, so such an image is refused here
    // rather than found out by the comparison.
    int32_t lo = f.isSigned ? -(int32_t)(1u << (f.bitsStored - 1)) : 0;
    int32_t hi =
        f.isSigned ? (int32_t)(1u << (f.bitsStored - 1)) - 1 : (int32_t)((1u << f.bitsStored) - 1);
    try {
        ojph::codestream cs;
        ojph::param_siz siz = cs.access_siz();
        siz.set_image_extent(ojph::point(f.columns, f.rows));
        siz.set_image_offset(ojph::point(0, 0));
        siz.set_tile_size(ojph::size(f.columns, f.rows));
        siz.set_tile_offset(ojph::point(0, 0));
        siz.set_num_components(f.samples);
        for (unsigned c = 0; c < f.samples; c++)
            siz.set_component(c, ojph::point(1, 1), f.bitsStored, f.isSigned);
        ojph::param_cod cod = cs.access_cod();
        // Five levels of the 5/3 wavelet (fewer for a small image: a level
        // halves the smaller side), 64x64 code blocks, the order that lets a
        // viewer take one resolution first (RPCL).
        unsigned levels = 0;
        for (unsigned side = f.rows < f.columns ? f.rows : f.columns; levels < 5 && side > 1;
             side = (side + 1) / 2)
            levels++;
        cod.set_num_decomposition(levels);
        cod.set_block_dims(64, 64);
        cod.set_progression_order("RPCL");
        cod.set_reversible(true);
        cod.set_color_transform(f.colourTransform);
        // Components interleaved line by line (the colour transform wants
        // it so).
        cs.set_planar(false);
        ojph::mem_outfile file;
        file.open(size / 2 + 4096);
        cs.write_headers(&file);
        ojph::ui32 next = 0;
        ojph::line_buf *line = cs.exchange(nullptr, next);
        for (unsigned y = 0; y < f.rows; y++) {
            for (unsigned k = 0; k < f.samples; k++) {
                if (line == nullptr || next >= f.samples) {
                    *why = "the HTJ2K encoder asked for no line";
                    return -1;
                }
                size_t at = ((size_t)y * f.columns) * f.samples + next;
                ojph::si32 *dst = line->i32;
                for (unsigned x = 0; x < f.columns; x++, at += f.samples) {
                    int32_t v = sampleAt(frame, f, at);
                    if (v < lo || v > hi) {
                        *why = "a sample is beyond Bits Stored";
                        return -1;
                    }
                    dst[x] = v;
                }
                line = cs.exchange(line, next);
            }
        }
        cs.flush();
        out->assign(file.get_data(), file.get_data() + file.tell());
        cs.close();
    } catch (const std::exception &e) {
        // OpenJPH reports its errors by throwing (and prints them).
        *why = std::string("the HTJ2K encoder failed: ") + e.what();
        return -1;
    }
    return 0;
}

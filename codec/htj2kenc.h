// The HTJ2K lossless encoder on OpenJPH: one uncompressed frame made into
// one codestream of the High-Throughput JPEG 2000 block coder with the
// reversible 5/3 wavelet (and, for RGB, the reversible colour transform),
// as the compression pass (store/storecompress.h) wraps it under
// 1.2.840.10008.1.2.4.201. Decoding is j2kcodec's (OpenJPEG), so that an
// encoder's error never hides behind the same library's decoder.
#ifndef VELTO_CODEC_HTJ2KENC_H
#define VELTO_CODEC_HTJ2KENC_H

#include <stddef.h>

#include <string>
#include <vector>

// The frame as the toolkit hands it over: samples interleaved (i * samples
// + c), 16-bit samples in the host's byte order.
struct codec_frameinfo {
    unsigned rows = 0, columns = 0, samples = 0;
    unsigned bitsAllocated = 0, bitsStored = 0;
    bool isSigned = false;
    bool colourTransform = false; // 3 samples of RGB: the reversible colour transform
};

// Encodes the frame of size bytes into *out: 0, or -1 with the reason in
// why (attributes the encoder does not take, a sample beyond Bits Stored,
// the library's error). Holds the frame's codestream and the library's
// line buffers, never more than one frame.
int codec_encodeHtj2k(const unsigned char *frame, size_t size, const codec_frameinfo &f,
                      std::vector<unsigned char> *out, std::string *why);

#endif

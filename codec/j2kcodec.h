// The JPEG 2000 and High-Throughput JPEG 2000 (HTJ2K) decoder: a codec of
// the toolkit's codec list, on OpenJPEG, that turns the encapsulated pixel
// data of 1.2.840.10008.1.2.4.90 to .93 and of the HTJ2K syntaxes
// 1.2.840.10008.1.2.4.201 to .203 into uncompressed pixels, frame by frame.
// Decoding only: nothing here compresses.
//
// The toolkit does not know the HTJ2K syntaxes: it reads such a file as
// Explicit VR Little Endian with an encapsulated pixel sequence, which it
// could neither decode nor write truthfully. codec_adopt re-keys that pixel
// data under a JPEG 2000 syntax the decoder takes, for a caller that is
// about to decode it; a caller must never write an adopted data set in a
// compressed syntax (its codestream is HTJ2K whatever the key says).
#ifndef VELTO_CODEC_J2KCODEC_H
#define VELTO_CODEC_J2KCODEC_H

#include <stddef.h>
#include <stdint.h>

#include "dcmtk/dcmdata/dcxfer.h"

class DcmFileFormat;

// The HTJ2K transfer syntaxes, which the toolkit does not know.
#define CODEC_HTJ2K_LOSSLESS "1.2.840.10008.1.2.4.201"
#define CODEC_HTJ2K_RPCL_LOSSLESS "1.2.840.10008.1.2.4.202"
#define CODEC_HTJ2K "1.2.840.10008.1.2.4.203"

// A decoded frame is never larger than this (bytes), and never more than
// CODEC_MAX_RATIO times its codestream beyond CODEC_FREE_FRAME: a small
// codestream that claims a huge image is refused before anything is
// allocated for it.
static const uint64_t CODEC_MAX_FRAME = 1ULL << 30;
static const uint64_t CODEC_FREE_FRAME = 16ULL << 20;
enum { CODEC_MAX_RATIO = 2048 };

// The size in bytes of a whole image of frames such frames decoded from
// codestreams of codestreamBytes in all, when within the bounds of a frame
// (the ratio against all the codestreams) and below 4 GiB (a length field's
// 32 bits); 0 when not.
uint64_t codec_imageBound(unsigned rows, unsigned columns, unsigned samples, unsigned bitsAllocated,
                          uint64_t frames, uint64_t codestreamBytes);

// Registers the decoder with the toolkit's codec list, once per process
// (later calls do nothing). Thread-safe.
void codec_registerJ2k();

// True when uid names one of the HTJ2K syntaxes.
bool codec_isHtj2k(const char *uid);

// The key under which an HTJ2K syntax's pixel data is decoded
// (EXS_JPEG2000MulticomponentLosslessOnly for the lossless ones,
// EXS_JPEG2000Multicomponent for .203), or EXS_Unknown for any other uid.
E_TransferSyntax codec_htj2kKey(const char *uid);

// When ff was loaded from a file in an HTJ2K syntax, re-keys its pixel data
// under codec_htj2kKey so that the toolkit decodes it through this codec,
// and returns true (also when done before). False, and ff unchanged, for
// any other file. Call it only on the way to an uncompressed syntax.
bool codec_adopt(DcmFileFormat *ff);

// The size in bytes of a frame of rows x columns x samples of bitsAllocated
// bits when the decoder would make it: the bounds above hold for a
// codestream of codestreamBytes. 0 when they do not.
uint64_t codec_frameBound(unsigned rows, unsigned columns, unsigned samples, unsigned bitsAllocated,
                          uint64_t codestreamBytes);

#endif

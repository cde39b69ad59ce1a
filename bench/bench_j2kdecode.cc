// Decodes the frames of JPEG 2000 or HTJ2K files with the archive's decoder
// and reports the time per frame and the process's peak memory: frame by
// frame (as WADO-RS frames and rendered images decode) or the whole image
// at once (as a C-MOVE to an uncompressed-only peer decodes).
//
// Usage: bench_j2kdecode frames|whole REPEATS FILE...
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "codec/j2kcodec.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcpixel.h"

static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The process's peak resident size in kB (VmHWM).
static long peakKb()
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0)
            kb = atol(line + 6);
    }
    if (f != nullptr)
        fclose(f);
    return kb;
}

int main(int argc, char **argv)
{
    if (argc < 4 || (strcmp(argv[1], "frames") != 0 && strcmp(argv[1], "whole") != 0)) {
        fprintf(stderr, "usage: bench_j2kdecode frames|whole REPEATS FILE...\n");
        return 2;
    }
    bool whole = strcmp(argv[1], "whole") == 0;
    int repeats = atoi(argv[2]);
    codec_registerJ2k();
    for (int i = 3; i < argc; i++) {
        double spent = 0;
        long frames = 0;
        for (int r = 0; r < repeats; r++) {
            DcmFileFormat ff;
            if (ff.loadFile(argv[i], EXS_Unknown, EGL_noChange, 4096).bad()) {
                fprintf(stderr, "%s: cannot load\n", argv[i]);
                return 1;
            }
            codec_adopt(&ff);
            DcmDataset *ds = ff.getDataset();
            long count = 1;
            if (ds->findAndGetLongInt(DCM_NumberOfFrames, count).bad() || count < 1)
                count = 1;
            double t0 = now();
            if (whole) {
                OFCondition c = ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
                if (c.bad()) {
                    fprintf(stderr, "%s: %s\n", argv[i], c.text());
                    return 1;
                }
            } else {
                DcmElement *e = nullptr;
                Uint32 size = 0, start = 0;
                ds->findAndGetElement(DCM_PixelData, e);
                DcmPixelData *pixel = static_cast<DcmPixelData *>(e);
                if (pixel == nullptr || pixel->getUncompressedFrameSize(ds, size).bad())
                    return 1;
                std::vector<char> buffer(size + 1);
                for (long f = 0; f < count; f++) {
                    OFString model;
                    OFCondition c = pixel->getUncompressedFrame(ds, (Uint32)f, start, buffer.data(),
                                                                (Uint32)buffer.size(), model);
                    if (c.bad()) {
                        fprintf(stderr, "%s: frame %ld: %s\n", argv[i], f + 1, c.text());
                        return 1;
                    }
                }
            }
            spent += now() - t0;
            frames += count;
        }
        printf("%s %s: %ld frames, %.2f ms per frame, peak %ld kB\n", argv[i], argv[1], frames,
               spent * 1000 / (double)frames, peakKb());
    }
    return 0;
}

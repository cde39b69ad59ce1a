// Replaces one stored file the way its writer does, for the crash test of
// durable replacements (tests/storeindex/test_durable_crash.py), which kills
// this program at each of its file-changing system calls:
//   durable_writer aetitlemap PATH NAME AET ADDRESS   adds a peer and saves
//   durable_writer keys STEM COUNT                   rebuilds STEM.keys
//   durable_writer compact STEM                      compacts the study index
// Exit status 0 when the writer reported success.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aetitlemap/aetitlemap.h"
#include "index/studykeys.h"
#include "index/studytable.h"

int main(int argc, char **argv)
{
    if (argc == 6 && strcmp(argv[1], "aetitlemap") == 0) {
        // A peer already in the file (a run killed after its rename) is
        // saved again as it is.
        AETitleMap map = nullptr;
        if (AETitleMap_Load(&map, argv[2]) != 0)
            return 1;
        int added = AETitleMap_Add(&map, argv[3], argv[4], argv[5], AETitleMap_charstoflags("FMSD"),
                                   nullptr);
        if (added != 0 && added != -2)
            return 1;
        return AETitleMap_Save(&map, argv[2]) == 0 ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "keys") == 0)
        return studykeys_rebuild(argv[2], atol(argv[3]), nullptr, stderr) == 0 ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "compact") == 0) {
        studytable t;
        int result = studytable_compactFile(&t, argv[2], stderr);
        studytable_free(&t);
        return result >= 0 ? 0 : 1;
    }
    fprintf(stderr, "usage: durable_writer aetitlemap PATH NAME AET ADDRESS | keys STEM COUNT | "
                    "compact STEM\n");
    return 2;
}

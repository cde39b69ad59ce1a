// The query arguments of a QIDO-RS search, parsed apart from the search so
// that they can be tested (and fuzzed) on their own.
#ifndef VELTO_WEB_QIDO_H
#define VELTO_WEB_QIDO_H

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmdata/dcdatset.h"

enum { QIDO_STUDY = 0, QIDO_SERIES = 1, QIDO_IMAGE = 2 };

// Instances answered by one instance search at most, and by one that gives
// no limit: a study of thousands of images would otherwise be answered
// whole (all its matches held, then written out) for every such request.
// When this cut the answer (not a smaller limit of the client's), the
// answer says so in a Warning header (299) and the client asks for the
// next page with offset.
enum { QIDO_MAX_INSTANCES = 1000 };

// A search's arguments sorted by the level whose query matches them.
// keys[l]: the filters of level l (with the level's (0008,0052)); a filter
// of a level below the one searched selects the matches that have a
// series or instance matching it. studyClasses: a study must hold a SOP
// class of SOP Classes in Study (0008,0062) (matched against the study's
// files, not the index). included: the includefield attributes.
struct qidoargs {
    DcmDataset keys[3];
    bool studyClasses = false;
    size_t limit = 0, offset = 0;
    bool includeAll = false, fuzzy = false;
    std::vector<DcmTagKey> included;
};

// Parses the arguments of a search at level (QIDO_*) into *out: true, or
// false with the reason a 400 gives in *error (an unknown attribute, one
// no query can match, such as a sequence or a private attribute, a
// malformed date, time or UID list, a bad limit or offset).
bool qido_parseArgs(const std::vector<std::pair<std::string, std::string>> &args, int level,
                    qidoargs *out, std::string *error);

#endif

// libFuzzer target of the parsing of QIDO-RS query arguments.
//
// Input: byte 0 picks the level searched, the rest is a query string:
// arguments separated by "&", names from values by the first "=" (as the
// HTTP library hands them on, already decoded). Parsing must accept or
// refuse with a reason, and what it accepts must only hold filters whose
// values the index's matching takes as written (no malformed date, time or
// UID list), each at one level.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcelem.h"

#include "index/keymatch.h"
#include "index/querymatch.h"
#include "web/qido.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int level = data[0] % 3;
    std::string query((const char *)data + 1, size - 1);
    std::vector<std::pair<std::string, std::string>> args;
    size_t i = 0;
    while (i <= query.size()) {
        size_t j = query.find('&', i);
        if (j == std::string::npos)
            j = query.size();
        std::string a = query.substr(i, j - i);
        size_t eq = a.find('=');
        args.emplace_back(a.substr(0, eq), eq == std::string::npos ? "" : a.substr(eq + 1));
        i = j + 1;
    }
    qidoargs out;
    std::string error;
    bool ok = qido_parseArgs(args, level, &out, &error);
    if (ok == !error.empty())
        abort();
    if (!ok)
        return 0;
    for (int l = 0; l < 3; l++) {
        DcmDataset &d = out.keys[l];
        for (unsigned long e = 0; e < d.card(); e++) {
            DcmElement *el = d.getElement(e);
            if (el->getTag() == DCM_QueryRetrieveLevel)
                continue;
            OFString v;
            el->getOFStringArray(v);
            DcmTag tag(el->getTag());
            if (!keymatch_wellFormed(querymatch_kindOfVr(tag.getVRName()), v.c_str()))
                abort();
            // One level holds each attribute.
            for (int o = 0; o < 3; o++)
                if (o != l && out.keys[o].tagExists(el->getTag()))
                    abort();
        }
    }
    return 0;
}

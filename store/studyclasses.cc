// SOP Classes in Study of a study match (store/studyclasses.h): the study's
// images from the index, each file's class from its meta header.
#include "store/studyclasses.h"

#include <algorithm>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "dicomnet/dicomnet.h"
#include "index/keymatch.h"
#include "index/retrievelist.h"
#include "store/localstore.h"

std::string studyclasses_list(LocalStore *store, const char *study)
{
    std::vector<retrievelist_image> images;
    std::vector<std::string> classes;
    std::string list;
    finddataset_index ix = store->getIndex();
    if (retrievelist_study(&ix, study, &images) != RL_OK)
        return list;
    for (const retrievelist_image &im : images) {
        std::string cls, xfer;
        OFString path =
            store->GetUidPath(im.study.c_str(), im.series.c_str(), im.instance.c_str(), 1);
        if (retrievelist_fileClass(path.c_str(), &cls, &xfer) != 0 ||
            std::find(classes.begin(), classes.end(), cls) != classes.end())
            continue;
        classes.push_back(cls);
        if (!list.empty())
            list += '\\';
        list += cls;
    }
    return list;
}

bool studyclasses_add(LocalStore *store, DcmDataset *query, DcmDataset *response)
{
    OFString level;
    const char *study = DCMTK_getTagString(response, DCM_StudyInstanceUID);
    if (!query->tagExists(DCM_SOPClassesInStudy) ||
        query->findAndGetOFString(DCM_QueryRetrieveLevel, level).bad() || level != "STUDY" ||
        study == nullptr)
        return true;
    std::string list = studyclasses_list(store, study);
    response->putAndInsertString(DCM_SOPClassesInStudy, list.c_str());
    // Any one of the study's classes among the key's values matches.
    keymatch_key key;
    keymatch_compile(&key, KEYMATCH_CODES, DCMTK_getTagString(query, DCM_SOPClassesInStudy));
    return keymatch_matches(key, list.data(), list.size());
}

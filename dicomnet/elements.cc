// Dataset element helpers: read an element as text or as a byte/word
// array, add a text element to an identifier, create an empty dataset.
#include "dicomnet/dicomnet.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcelem.h"
#include "dcmtk/dcmdata/dcvr.h"

DcmElement *dicomnet_findElement(DcmItem *item, const DcmTagKey &tag)
{
    if (item == nullptr)
        return nullptr;
    // An item keeps its elements in ascending tag order (DcmItem::insert),
    // so the walk ends at the first larger tag. Walked with nextInContainer
    // from the list's current position, each step is one link.
    for (DcmObject *obj = item->nextInContainer(nullptr); obj != nullptr;
         obj = item->nextInContainer(obj)) {
        const DcmTag &key = obj->getTag();
        if (key == tag)
            return static_cast<DcmElement *>(obj);
        if (key > tag)
            break;
    }
    return nullptr;
}

const char *dicomnet_getTagString(DcmItem *item, const DcmTagKey &tag)
{
    DcmElement *element = dicomnet_findElement(item, tag);
    char *value = nullptr;
    if (element == nullptr || element->getString(value).bad()) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_getTagString: failure\n");
        return nullptr;
    }
    return value;
}

int dicomnet_Key_AddVR(DcmDataset *dataset, int group, int element, const char *value,
                       const char *vr)
{
    if (dataset == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_Key_AddVR: Set is NULL.\n");
        return -1;
    }
    DcmTag tag((Uint16)group, (Uint16)element);
    if (vr != nullptr) {
        DcmVR dvr(vr);
        // An unknown VR name would silently become UNKNOWN; refuse it as
        // an invalid tag instead of creating an element nobody can read.
        if (dvr.getEVR() == EVR_UNKNOWN || dvr.getEVR() == EVR_UNKNOWN2B)
            return -2;
        tag = DcmTag((Uint16)group, (Uint16)element, dvr);
    }
    if (tag.error() != EC_Normal)
        return -2;
    // WithVR: the plain variant would look the VR up in the dictionary
    // again and lose an explicitly given one.
    DcmElement *elem = nullptr;
    if (DcmItem::newDicomElementWithVR(elem, tag).bad() || elem == nullptr) {
        delete elem;
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_Key_AddVR: Can't Create Element.\n");
        return -3;
    }
    if (value != nullptr && value[0] != '\0' && elem->putString(value) != EC_Normal) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_Key_AddVR: Can't Put Value in Set.\n");
        delete elem;
        return -4;
    }
    if (dataset->insert(elem, OFTrue, OFFalse) != EC_Normal) {
        // Not inserted, so still ours to release.
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_Key_AddVR: Can't Insert Value in Set.\n");
        delete elem;
        return -5;
    }
    return 0;
}

int dicomnet_Key_Add(DcmDataset *dataset, int group, int element, const char *value)
{
    return dicomnet_Key_AddVR(dataset, group, element, value, nullptr);
}

Uint16 *dicomnet_getUnit16Field(DcmItem *item, const DcmTagKey &tag, int *length)
{
    DcmElement *elem = nullptr;
    if (item == nullptr || item->findAndGetElement(tag, elem, OFFalse).bad() || elem == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_getUnit16Field: find failure\n");
        return nullptr;
    }
    Uint32 bytes = elem->getLength();
    Uint16 *words = nullptr;
    if (elem->getUint16Array(words).bad() || words == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_getUnit16Field: getUint16Array failure\n");
        return nullptr;
    }
    if (length != nullptr)
        *length = (int)bytes;
    return words;
}

Uint8 *dicomnet_getUnit8Field(DcmItem *item, const DcmTagKey &tag, int *length)
{
    DcmElement *elem = nullptr;
    if (item == nullptr || item->findAndGetElement(tag, elem, OFFalse).bad() || elem == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_getUnit8Field: find failure\n");
        return nullptr;
    }
    Uint32 bytes = elem->getLength();
    Uint8 *data = nullptr;
    if (elem->getUint8Array(data).bad() || data == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_getUnit8Field: getUint8Array failure\n");
        return nullptr;
    }
    if (length != nullptr)
        *length = (int)bytes;
    return data;
}

DcmDataset *dicomnet_Dataset_Create(void)
{
    return new DcmDataset;
}

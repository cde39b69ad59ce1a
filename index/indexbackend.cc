// The index interface's own parts (index/indexbackend.h): the destructors
// of its abstract classes and the record keys every backend answers from.
#include "index/indexbackend.h"

#include "index/studyindex.h"

index_transaction::~index_transaction() = default;
index_cursor::~index_cursor() = default;
index_backend::~index_backend() = default;

template <size_t N> static std::vector<DcmTagKey> keysOf(const studyindex_field (&fields)[N])
{
    std::vector<DcmTagKey> keys;
    for (const studyindex_field &f : fields)
        keys.push_back(f.tag);
    return keys;
}

// The file backend's record fields are the set: a new backend keeps at
// least these, so that a query answered from the index today stays one.
const std::vector<DcmTagKey> &index_seriesRecordKeys()
{
    static const std::vector<DcmTagKey> keys = keysOf(studyindex_seriesFields);
    return keys;
}

const std::vector<DcmTagKey> &index_imageRecordKeys()
{
    static const std::vector<DcmTagKey> keys = keysOf(studyindex_imageFields);
    return keys;
}

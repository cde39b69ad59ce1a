// Study queries: compiling a query identifier into the summary template and
// the record keys, the record test, the date range of a template and the
// summary test.
#include "index/querymatch.h"

#include <stdlib.h>
#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "dcmtk/dcmdata/dcvr.h"

#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"

void querymatch_initTemplate(studyhash_template *th)
{
    memset(th, 0, sizeof(*th));
    th->birthDateTo = QUERYMATCH_DATE_MAX;
    th->studyDateTo = QUERYMATCH_DATE_MAX;
}

// ---------------------------------------------------------------------------
// Templates.

// Reads a date number as strtol would from text (leading blanks skipped),
// digits only; no digits give 0; too large a number gives 0xFFFFFFFF.
static uint32_t leadingNumber(const char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    uint64_t n = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        n = n * 10 + (uint64_t)(*text - '0');
        if (n > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    }
    return (uint32_t)n;
}

void querymatch_dateRange(const char *range, unsigned int *from, unsigned int *to, FILE *log)
{
    if (!range)
        range = "";
    logprintf(LOGLEVEL_DEBUG, log, "converting daterange %s.\n", range);
    *from = 0;
    *to = QUERYMATCH_DATE_MAX;
    if (range[0] == '\0' || strcmp(range, "*") == 0)
        return;
    const char *hyphen = strchr(range, '-');
    if (hyphen) {
        if (hyphen[1] != '\0')
            *to = leadingNumber(hyphen + 1);
        if (hyphen != range)
            *from = leadingNumber(range);
    } else {
        *from = *to = leadingNumber(range);
    }
}

// Study-level keys that are tested against a field of the studydata record:
// the attribute, how it is matched, its field, and whether its text is
// converted to UTF-8 (and as a person name) as the record's is.
struct studyKeyDef {
    DcmTagKey tag;
    int kind;
    size_t offset;
    size_t width;
    int convert; // 0 as given, 1 converted, 2 converted as a person name
};
#define STUDY_KEY(tag, kind, member, convert)                                                      \
    {                                                                                              \
        tag, kind, offsetof(studydata, member), sizeof(((studydata *)nullptr)->member), convert    \
    }
// Cheapest and most selective keys first.
static const studyKeyDef studyKeyDefs[] = {
    STUDY_KEY(DCM_StudyInstanceUID, KEYMATCH_UID, studyInstanceUid, 0),
    STUDY_KEY(DCM_PatientID, KEYMATCH_TEXT, patientId, 1),
    STUDY_KEY(DCM_PatientName, KEYMATCH_PN, patientName, 2),
    STUDY_KEY(DCM_AccessionNumber, KEYMATCH_TEXT, accessionNumber, 1),
    STUDY_KEY(DCM_StudyID, KEYMATCH_TEXT, studyId, 1),
    STUDY_KEY(DCM_StudyDate, KEYMATCH_DATE, studyDate, 0),
    STUDY_KEY(DCM_StudyTime, KEYMATCH_TIME, studyTime, 0),
    STUDY_KEY(DCM_PatientBirthDate, KEYMATCH_DATE, birthDate, 0),
    STUDY_KEY(DCM_PatientSex, KEYMATCH_TEXT, patientSex, 0),
    STUDY_KEY(DCM_StudyDescription, KEYMATCH_TEXT, studyDescription, 1),
    STUDY_KEY(DCM_ReferringPhysicianName, KEYMATCH_PN, referringPhysician, 2),
    STUDY_KEY(DCM_ReferringPhysicianAddress, KEYMATCH_TEXT, referringPhysicianAddress, 1),
    STUDY_KEY(DCM_ClinicalTrialSponsorName, KEYMATCH_TEXT, clinicalTrialSponsorName, 1),
    STUDY_KEY(DCM_ClinicalTrialProtocolName, KEYMATCH_TEXT, clinicalTrialProtocolName, 1),
    STUDY_KEY(DCM_ClinicalTrialSiteName, KEYMATCH_TEXT, clinicalTrialSiteName, 1),
};

int querymatch_kindOfVr(const char *vr)
{
    static const struct {
        const char *vr;
        int kind;
    } kinds[] = {
        {"PN", KEYMATCH_PN},   {"UI", KEYMATCH_UID},      {"DA", KEYMATCH_DATE},
        {"TM", KEYMATCH_TIME}, {"DT", KEYMATCH_DATETIME}, {"CS", KEYMATCH_CODES},
    };
    for (const auto &k : kinds) {
        if (strcmp(k.vr, vr) == 0)
            return k.kind;
    }
    return KEYMATCH_TEXT;
}

// A date key as bounds of the summary's date numbers. Only a key that can
// be put in numbers is: an empty-value key ("") stays a text test.
static void dateBounds(const keymatch_key &k, uint32_t *from, uint32_t *to)
{
    if (k.universal || k.emptyOnly)
        return;
    *from = k.lo.empty() ? 0 : (uint32_t)strtoul(k.lo.c_str(), NULL, 10);
    *to = k.hi.empty() ? (uint32_t)QUERYMATCH_DATE_MAX : (uint32_t)strtoul(k.hi.c_str(), NULL, 10);
    if (*from == 0 && *to == QUERYMATCH_DATE_MAX)
        *to = QUERYMATCH_DATE_MAX - 1; // still a condition: undated fails
}

// The summary bits of a code list: the union of the codes' modality bits,
// or 0 (no condition) when one code has none (a wildcard, a code outside
// the summary's table) and so could match a study without any bit.
static uint32_t codeBits(const keymatch_key &k)
{
    if (k.universal || k.emptyOnly)
        return 0;
    uint32_t bits = 0;
    for (const std::string &code : k.list) {
        uint32_t bit = studyindex_modalityBit(code.c_str());
        if (bit == 0)
            return 0;
        bits |= bit;
    }
    return bits;
}

void querymatch_compileStudy(const DcmDataset *cquery, querymatch_study *q, int flags, FILE *log)
{
    querymatch_initTemplate(&q->th);
    q->keys.clear();
    q->combined = false;
    if (!cquery)
        return;
    // The toolkit's element lookups are not const; the query is only read.
    DcmItem *query = const_cast<DcmDataset *>(cquery);
    const char *scs = dicomnet_getTagString(query, DCM_SpecificCharacterSet);
    std::string text;
    for (const studyKeyDef &d : studyKeyDefs) {
        const char *value = dicomnet_getTagString(query, d.tag);
        if (!value)
            continue;
        logprintf(LOGLEVEL_TRACE2, log, "Template-in : %s\n", value);
        if (d.convert && scs) {
            const char *out = dicomnet_convertSCS(value, scs, d.convert == 2, "UTF-8");
            if (!out)
                continue;
            logprintf(LOGLEVEL_TRACE2, log, "Template-out: %s\n", out);
            text = out;
            value = text.c_str();
        }
        querymatch_studyKey k;
        if (keymatch_compile(&k.key, d.kind, value))
            continue;
        k.offset = d.offset;
        k.width = d.width;
        // Summary words: each only where it can reject without reading.
        if (d.tag == DCM_StudyInstanceUID && k.key.list.size() == 1)
            q->th.studyUidCrc = studyindex_uidCrc(k.key.list[0].c_str());
        else if (d.tag == DCM_PatientName)
            q->th.patientNameBits = studyindex_textBits(k.key.pattern.c_str());
        else if (d.tag == DCM_StudyDescription)
            q->th.studyDescriptionBits = studyindex_textBits(k.key.pattern.c_str());
        else if (d.tag == DCM_ReferringPhysicianName)
            q->th.referringPhysicianBits = studyindex_textBits(k.key.pattern.c_str());
        else if (d.tag == DCM_PatientBirthDate)
            dateBounds(k.key, &q->th.birthDateFrom, &q->th.birthDateTo);
        else if (d.tag == DCM_StudyDate)
            dateBounds(k.key, &q->th.studyDateFrom, &q->th.studyDateTo);
        q->keys.push_back(k);
    }

    // Combined matching takes StudyDate and StudyTime as one date-time
    // range: 20200101-20200102 with 2200-0600 is from 22:00 on the first
    // day to 06:00 on the second.
    const char *date = dicomnet_getTagString(query, DCM_StudyDate);
    const char *time = dicomnet_getTagString(query, DCM_StudyTime);
    if ((flags & QUERYMATCH_COMBINED_DATETIME) && date && time) {
        keymatch_key dk, tk;
        if (!keymatch_compile(&dk, KEYMATCH_DATE, date) &&
            !keymatch_compile(&tk, KEYMATCH_TIME, time) && !dk.emptyOnly && !tk.emptyOnly) {
            keymatch_compileDateTime(&q->dateTime, date, time);
            q->combined = true;
            std::vector<querymatch_studyKey> rest;
            for (const querymatch_studyKey &k : q->keys) {
                if (k.offset != offsetof(studydata, studyDate) &&
                    k.offset != offsetof(studydata, studyTime))
                    rest.push_back(k);
            }
            q->keys.swap(rest);
        }
    }

    // ModalitiesInStudy is an ordinary study key (every web search of the
    // study list sends it): matched, not warned of.
    keymatch_compile(&q->modalities, KEYMATCH_CODES,
                     dicomnet_getTagString(query, DCM_ModalitiesInStudy));
    keymatch_compile(&q->modality, KEYMATCH_CODES, dicomnet_getTagString(query, DCM_Modality));
    q->th.modalityBits = codeBits(q->modalities);
    if (q->th.modalityBits == 0)
        q->th.modalityBits = codeBits(q->modality);
}

bool querymatch_isStudyKey(const DcmTagKey &key)
{
    for (const studyKeyDef &d : studyKeyDefs)
        if (d.tag == key)
            return true;
    return key == DCM_ModalitiesInStudy || key == DCM_Modality;
}

bool querymatch_studyRecord(const studydata *r, const querymatch_study *q)
{
    const char *rec = (const char *)r;
    for (const querymatch_studyKey &k : q->keys) {
        if (!keymatch_matches(k.key, rec + k.offset, strnlen(rec + k.offset, k.width)))
            return false;
    }
    if (q->combined) {
        // The record's date and time as one date-time value; a study
        // without a date has none, one without a time is taken at 00:00.
        size_t dlen = strnlen(r->studyDate, sizeof(r->studyDate));
        if (dlen == 0)
            return false;
        std::string dt(r->studyDate, dlen);
        std::string d = keymatch_digits(KEYMATCH_DATE, dt.data(), dt.size(), '0');
        std::string t = keymatch_digits(KEYMATCH_TIME, r->studyTime,
                                        strnlen(r->studyTime, sizeof(r->studyTime)), '0');
        if (t.empty())
            t.assign(12, '0');
        std::string value = d + t;
        if (!keymatch_matches(q->dateTime, value.data(), value.size()))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Summary test.

// A record lies outside [from, to] unless the range is the whole calendar;
// a study without a date (0) lies outside every real range.
static int dateOutside(uint32_t date, uint32_t from, uint32_t to)
{
    if (from == 0 && to == QUERYMATCH_DATE_MAX)
        return 0;
    return date == 0 || date < from || date > to;
}

int querymatch_summaryPasses(const studyhash *r, const studyhash_template *t)
{
    return !(r->patientNameBits & STUDYHASH_DELETED) &&
           (t->studyUidCrc == 0 || t->studyUidCrc == r->studyUidCrc) &&
           (t->patientNameBits & ~r->patientNameBits) == 0 &&
           (t->studyDescriptionBits & ~r->studyDescriptionBits) == 0 &&
           (t->referringPhysicianBits & ~r->referringPhysicianBits) == 0 &&
           (t->modalityBits == 0 || (t->modalityBits & r->modalityBits) != 0) &&
           !dateOutside(r->birthDate, t->birthDateFrom, t->birthDateTo) &&
           !dateOutside(r->studyDate, t->studyDateFrom, t->studyDateTo);
}

int querymatch_summaryTest(const studyhash *r, const studyhash_template *t, FILE *log)
{
    // Called for every study of the table on every study query: the trace
    // lines are formatted only when they can be written.
    unsigned mask = logprintf_getmask();
    if (!log || !(mask & (LOGLEVEL_DEBUG | LOGLEVEL_TRACE2)))
        return querymatch_summaryPasses(r, t) ? 0 : 1;
    FILE *trace = (mask & LOGLEVEL_TRACE2) ? log : NULL;

    logprintf(LOGLEVEL_DEBUG, log, "Check Del\n");
    if (r->patientNameBits & STUDYHASH_DELETED)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check UID\n");
    if (t->studyUidCrc != 0 && t->studyUidCrc != r->studyUidCrc)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check PN\n");
    if ((t->patientNameBits & ~r->patientNameBits) != 0)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check Desc\n");
    if ((t->studyDescriptionBits & ~r->studyDescriptionBits) != 0)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check Rphy\n");
    if ((t->referringPhysicianBits & ~r->referringPhysicianBits) != 0)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check Mod\n");
    if (t->modalityBits != 0 && (t->modalityBits & r->modalityBits) == 0)
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check BDay day: %d from: %d to: %d\n", (int)r->birthDate,
                  (int)t->birthDateFrom, (int)t->birthDateTo);
    if (dateOutside(r->birthDate, t->birthDateFrom, t->birthDateTo))
        return 1;
    if (trace)
        logprintf(LOGLEVEL_TRACE2, trace, "Check StudyDate\n");
    if (dateOutside(r->studyDate, t->studyDateFrom, t->studyDateTo))
        return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Key lengths.

// How long one value of a key of vr may be, in bytes: see
// querymatch_keysFit.
static size_t longestKeyValue(const DcmVR &vr)
{
    size_t most = vr.getMaxValueLength();
    switch (vr.getEVR()) {
    case EVR_PN:
        // Three component groups and their two "=".
        return 4 * (3 * most + 2) + 1;
    case EVR_SH:
    case EVR_LO:
    case EVR_ST:
    case EVR_LT:
    case EVR_UC:
    case EVR_UT:
        return most > ((size_t)-1) / 8 ? most : 4 * most + 1;
    default:
        return most > ((size_t)-1) / 8 ? most : 2 * most + 1;
    }
}

// Whether each backslash-separated value of text (len bytes) is at most
// most bytes long without its padding.
static bool valuesFit(const char *text, size_t len, size_t most, bool multiValued)
{
    const char *end = text + len;
    for (const char *s = text; s <= end;) {
        const char *e =
            multiValued ? (const char *)memchr(s, '\\', (size_t)(end - s)) : (const char *)nullptr;
        if (e == nullptr)
            e = end;
        const char *b = s;
        while (b < e && *b == ' ')
            b++;
        const char *t = e;
        while (t > b && (t[-1] == ' ' || t[-1] == '\0'))
            t--;
        if ((size_t)(t - b) > most)
            return false;
        s = e + 1;
    }
    return true;
}

static bool itemKeysFit(DcmItem *item, DcmTagKey *offending, int depth)
{
    // Deeper than any query's sequences go (a worklist query nests two):
    // what lies below is not a key, and is not walked.
    if (depth > 8)
        return true;
    for (unsigned long i = 0; i < item->card(); i++) {
        DcmElement *el = item->getElement(i);
        DcmVR vr(el->ident());
        if (el->ident() == EVR_SQ) {
            DcmSequenceOfItems *seq = static_cast<DcmSequenceOfItems *>(el);
            for (unsigned long k = 0; k < seq->card(); k++) {
                if (!itemKeysFit(seq->getItem(k), offending, depth + 1))
                    return false;
            }
            continue;
        }
        if (!vr.isaString())
            continue;
        size_t most = longestKeyValue(vr);
        size_t len = el->getLength();
        // Within the bound as a whole: no need to look at the values.
        if (len <= most)
            continue;
        char *text = nullptr;
        Uint32 textLen = 0;
        if (el->getString(text, textLen).bad() || text == nullptr)
            continue;
        // Texts of one value hold backslashes as characters.
        bool multi = el->ident() != EVR_LT && el->ident() != EVR_ST && el->ident() != EVR_UT &&
                     el->ident() != EVR_UR;
        if (!valuesFit(text, textLen, most, multi)) {
            if (offending != nullptr)
                *offending = el->getTag().getXTag();
            return false;
        }
    }
    return true;
}

bool querymatch_keysFit(DcmItem *identifier, DcmTagKey *offending)
{
    return identifier == nullptr || itemKeysFit(identifier, offending, 0);
}

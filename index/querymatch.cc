// Study query templates and matching: LocalStore::studyDataMakeTemplate,
// LocalStore::dateRangeHash and LocalStore::studyHashCompare, the pattern
// match wildcardMatch and the study text test.
#include "index/querymatch.h"

#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "store/localstore.h"

void querymatch_initTemplate(studyhash_template *th)
{
    memset(th, 0, sizeof(*th));
    th->birthDateTo = QUERYMATCH_DATE_MAX;
    th->studyDateTo = QUERYMATCH_DATE_MAX;
}

// ---------------------------------------------------------------------------
// Pattern match.

static int lowerAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// Non-zero when the n bytes at a and b are equal but for the case of ASCII
// letters (as strncasecmp in the C locale, on texts without NUL).
static int sameNoCase(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (lowerAscii((unsigned char)a[i]) != lowerAscii((unsigned char)b[i]))
            return 0;
    }
    return 1;
}

// wildcardMatch on counted texts, so that record fields without a NUL can be
// matched in place.
static int matchCounted(const char *value, size_t vlen, const char *pattern, size_t plen)
{
    if (plen == 0 || (plen == 1 && pattern[0] == '*'))
        return 0;
    int lead = pattern[0] == '*';
    int trail = pattern[plen - 1] == '*';
    if (lead && trail) {
        const char *inner = pattern + 1;
        size_t ilen = plen - 2;
        if (ilen > vlen)
            return 1;
        for (size_t at = 0; at + ilen <= vlen; at++) {
            if (sameNoCase(value + at, inner, ilen))
                return 0;
        }
        return 1;
    }
    if (lead) {
        size_t rlen = plen - 1;
        if (vlen < rlen)
            return 1;
        return sameNoCase(value + vlen - rlen, pattern + 1, rlen) ? 0 : 1;
    }
    if (trail) {
        size_t rlen = plen - 1;
        if (vlen < rlen)
            return 1;
        return sameNoCase(value, pattern, rlen) ? 0 : 1;
    }
    if (vlen != plen)
        return 1;
    return sameNoCase(value, pattern, plen) ? 0 : 1;
}

int wildcardMatch(const char *value, const char *pattern)
{
    if (!value)
        value = "";
    if (!pattern)
        pattern = "";
    return matchCounted(value, strlen(value), pattern, strlen(pattern));
}

// One pair of the text test: record field against template field, each
// taken as a string of at most its width.
static int fieldMatch(const char *field, size_t fwidth, const char *pattern, size_t pwidth)
{
    // Most keys of a query are empty: they match without a look at the record.
    if (pattern[0] == '\0')
        return 0;
    return matchCounted(field, strnlen(field, fwidth), pattern, strnlen(pattern, pwidth));
}

#define FIELD_MATCH(rec, recField, t, tField)                                                      \
    fieldMatch((rec)->recField, sizeof((rec)->recField), (t)->tField, sizeof((t)->tField))

int querymatch_studyText(const studydata *r, const studydata_template *t)
{
    // Cheapest and most selective keys first, in the order the index has
    // always tested them.
    if (FIELD_MATCH(r, studyInstanceUid, t, studyInstanceUid) ||
        FIELD_MATCH(r, patientName, t, patientName) || FIELD_MATCH(r, patientId, t, patientId) ||
        FIELD_MATCH(r, studyDescription, t, studyDescription) ||
        FIELD_MATCH(r, referringPhysician, t, referringPhysician) ||
        FIELD_MATCH(r, referringPhysicianAddress, t, referringPhysicianAddress) ||
        FIELD_MATCH(r, studyId, t, studyId) ||
        FIELD_MATCH(r, accessionNumber, t, accessionNumber) ||
        FIELD_MATCH(r, patientSex, t, patientSex) ||
        FIELD_MATCH(r, clinicalTrialSponsorName, t, clinicalTrialSponsorName) ||
        FIELD_MATCH(r, clinicalTrialProtocolName, t, clinicalTrialProtocolName) ||
        FIELD_MATCH(r, clinicalTrialSiteName, t, clinicalTrialSiteName))
        return 1;
    return 0;
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

void LocalStore::dateRangeHash(const char *range, unsigned int *from, unsigned int *to)
{
    if (!range)
        range = "";
    logprintf(LOGLEVEL_DEBUG, logStream, "converting daterange %s.\n", range);
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

// The reading side of one template step: the value (null when absent or
// empty), logged as read when the text template is being filled.
static const char *templateValue(LocalStore *store, DcmItem *query, const DcmTagKey &tag, int logIt)
{
    const char *value = DCMTK_getTagString(query, tag);
    if (value && logIt)
        logprintf(LOGLEVEL_TRACE2, store->logStream, "Template-in : %s\n", value);
    return value;
}

// Converts value to UTF-8 when the query names a character set (scs not
// null). Null when the conversion fails. The result is the converter's
// buffer, valid until the next conversion: callers copy it at once.
static const char *templateConvert(LocalStore *store, const char *value, const char *scs,
                                   int personName, int logIt)
{
    if (!scs)
        return value;
    const char *out = DCMTK_convertSCS(value, scs, personName, "UTF-8");
    if (out && logIt)
        logprintf(LOGLEVEL_TRACE2, store->logStream, "Template-out: %s\n", out);
    return out;
}

// One converted text key: into field (if td) and its summary word (if bits).
static void templateText(LocalStore *store, DcmItem *query, const DcmTagKey &tag, const char *scs,
                         int personName, char *field, size_t width, uint32_t *bits)
{
    int logIt = field != NULL;
    const char *value = templateValue(store, query, tag, logIt);
    if (!value)
        return;
    // The summary is made from the converted text whether or not the text
    // template is filled: the stored summaries are of UTF-8 texts, and a raw
    // ISO 2022 text holds ASCII letters inside its two-byte characters.
    const char *text = templateConvert(store, value, scs, personName, logIt);
    if (!text)
        return;
    if (field)
        studyindex_setField(field, width, text);
    if (bits)
        *bits = studyindex_textBits(text);
}

// One key copied as given.
static const char *templatePlain(LocalStore *store, DcmItem *query, const DcmTagKey &tag,
                                 char *field, size_t width)
{
    const char *value = templateValue(store, query, tag, field != NULL);
    if (value && field)
        studyindex_setField(field, width, value);
    return value;
}

#define TD_FIELD(td, name) ((td) ? (td)->name : NULL), sizeof(((studydata_template *)0)->name)
#define TH_WORD(th, name) ((th) ? &(th)->name : NULL)

void LocalStore::studyDataMakeTemplate(const DcmDataset *cquery, studyhash_template *th,
                                       studydata_template *td)
{
    if (!cquery)
        return;
    // The toolkit's element lookups are not const; the query is only read.
    DcmItem *query = const_cast<DcmDataset *>(cquery);
    const char *scs = DCMTK_getTagString(query, DCM_SpecificCharacterSet);

    const char *uid =
        templatePlain(this, query, DCM_StudyInstanceUID, TD_FIELD(td, studyInstanceUid));
    if (uid && th)
        th->studyUidCrc = studyindex_uidCrc(uid);

    templateText(this, query, DCM_PatientName, scs, 1, TD_FIELD(td, patientName),
                 TH_WORD(th, patientNameBits));
    templateText(this, query, DCM_PatientID, scs, 0, TD_FIELD(td, patientId), NULL);

    const char *date = templatePlain(this, query, DCM_PatientBirthDate, TD_FIELD(td, birthDate));
    if (date && th)
        dateRangeHash(date, &th->birthDateFrom, &th->birthDateTo);
    templatePlain(this, query, DCM_PatientSex, TD_FIELD(td, patientSex));
    date = templatePlain(this, query, DCM_StudyDate, TD_FIELD(td, studyDate));
    if (date && th)
        dateRangeHash(date, &th->studyDateFrom, &th->studyDateTo);
    templatePlain(this, query, DCM_StudyTime, TD_FIELD(td, studyTime));

    templateText(this, query, DCM_StudyDescription, scs, 0, TD_FIELD(td, studyDescription),
                 TH_WORD(th, studyDescriptionBits));
    templateText(this, query, DCM_StudyID, scs, 0, TD_FIELD(td, studyId), NULL);
    templateText(this, query, DCM_AccessionNumber, scs, 0, TD_FIELD(td, accessionNumber), NULL);
    templateText(this, query, DCM_ReferringPhysicianName, scs, 1, TD_FIELD(td, referringPhysician),
                 TH_WORD(th, referringPhysicianBits));
    templateText(this, query, DCM_ReferringPhysicianAddress, scs, 0,
                 TD_FIELD(td, referringPhysicianAddress), NULL);
    templateText(this, query, DCM_ClinicalTrialSponsorName, scs, 0,
                 TD_FIELD(td, clinicalTrialSponsorName), NULL);
    templateText(this, query, DCM_ClinicalTrialProtocolName, scs, 0,
                 TD_FIELD(td, clinicalTrialProtocolName), NULL);
    templateText(this, query, DCM_ClinicalTrialSiteName, scs, 0,
                 TD_FIELD(td, clinicalTrialSiteName), NULL);

    // Modalities in Study names what a study holds, not what to match on:
    // only the Modality key filters.
    if (query->tagExists(DCM_ModalitiesInStudy))
        logprintf(LOGLEVEL_WARNING, logStream, "Huh? ModalitiesInStudy entry present?\n");

    const char *modality = templateValue(this, query, DCM_Modality, td != NULL);
    if (!modality)
        return;
    if (td) {
        for (int slot = 0; slot < 8; slot++) {
            if (td->modalities[slot][0] == '\0') {
                studyindex_setField(td->modalities[slot], 2, modality);
                break;
            }
        }
    }
    if (th)
        th->modalityBits |= studyindex_modalityBit(modality);
}

// ---------------------------------------------------------------------------
// Summary test.

// A record lies outside [from, to] only when it has a date at all.
static int dateOutside(uint32_t date, uint32_t from, uint32_t to)
{
    return date != 0 && (date < from || date > to);
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

int LocalStore::studyHashCompare(studyhash *r, studyhash_template *t)
{
    // Called for every study of the table on every study query: the trace
    // lines are formatted only when they can be written.
    unsigned mask = logprintf_getmask();
    if (!logStream || !(mask & (LOGLEVEL_DEBUG | LOGLEVEL_TRACE2)))
        return querymatch_summaryPasses(r, t) ? 0 : 1;
    FILE *trace = (mask & LOGLEVEL_TRACE2) ? logStream : NULL;

    logprintf(LOGLEVEL_DEBUG, logStream, "Check Del\n");
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

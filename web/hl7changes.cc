// What storeweb's HL7 listener does with an ADT event (web/hl7listener.h):
// the archive's changes (core/change.h), one per message. A08 modifies the
// patient's name, birth date and sex; A40 merges the prior patient into
// the patient (when the archive holds no images of the patient, the prior
// patient's images take its identifier, as A47); A47 gives the prior
// patient's images the new identifier. An event about a patient the
// archive holds no images of is acknowledged: a hospital's feed sends
// every patient's events, and nothing here is wrong.
#include "web/hl7listener.h"

#include "core/archive.h"
#include "core/change.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "web/webserver.h"

// Whether the archive holds a study of the patient id (and issuer, when
// given): 1 yes, 0 no, -1 the index cannot be read.
static int holdsPatient(const archive_context *ctx, const std::string &id,
                        const std::string &issuer)
{
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    query.putAndInsertString(DCM_PatientID, id.c_str());
    if (!issuer.empty())
        query.putAndInsertString(DCM_IssuerOfPatientID, issuer.c_str());
    query.putAndInsertString(DCM_StudyInstanceUID, "");
    archive_query walk(ctx, &query);
    DcmDataset *match = nullptr;
    int r = walk.next(&match);
    delete match;
    return r == 0 ? 1 : r == 1 ? 0 : -1;
}

// Answers a change's result as the listener's refusal: 0 done (or nothing
// of the patient stored), -1 with *why.
static int answer(const change_result &r, hl7_refusal *why)
{
    switch (r.status) {
    case CHANGE_DONE:
    case CHANGE_NOT_FOUND:
        return 0;
    case CHANGE_REFUSED:
        why->ack = HL7_ACK_ERROR;
        why->code = HL7_ERR_DATA_TYPE;
        break;
    case CHANGE_UNFINISHED:
        // Made: the next start finishes what is left. The sender need not
        // send it again.
        return 0;
    default:
        why->ack = HL7_ACK_ERROR;
        why->code = HL7_ERR_INTERNAL;
        break;
    }
    why->text = r.message;
    return -1;
}

int web_applyAdt(const hl7_adt &adt, const std::string &peer, hl7_refusal *why)
{
    const archive_context *ctx = &web_archive;
    change_origin origin;
    origin.user = "hl7";
    origin.from = "hl7 " + peer;
    change_result r;
    archive_exclusive lock(ctx);
    archive_refresh(ctx);
    switch (adt.kind) {
    case HL7_ADT_UPDATE: {
        change_modify m;
        m.patientId = adt.patientId;
        m.issuer = adt.issuer;
        if (adt.setName)
            m.values.push_back({"PatientName", adt.name});
        if (adt.setBirthDate)
            m.values.push_back({"PatientBirthDate", adt.birthDate});
        if (adt.setSex)
            m.values.push_back({"PatientSex", adt.sex});
        m.origin = origin;
        archive_modify(ctx, m, &r);
        return answer(r, why);
    }
    case HL7_ADT_MERGE: {
        change_merge m;
        m.fromId = adt.priorId;
        m.fromIssuer = adt.priorIssuer;
        m.toId = adt.patientId;
        m.toIssuer = adt.issuer;
        m.origin = origin;
        archive_merge(ctx, m, &r);
        if (r.status != CHANGE_NOT_FOUND)
            return answer(r, why);
        // Nothing of the prior patient stored: nothing to merge.
        if (holdsPatient(ctx, adt.patientId, adt.issuer) != 0)
            return holdsPatient(ctx, adt.priorId, adt.priorIssuer) == 0 ? 0 : answer(r, why);
        // The patient to merge into has no images here: the prior
        // patient's images take the identifier.
        break;
    }
    case HL7_ADT_CHANGE_ID:
        break;
    }
    // The new identifier must not be another patient's: that would merge
    // two patients without saying so (A40 says so).
    int held = holdsPatient(ctx, adt.patientId, adt.issuer);
    if (held != 0) {
        why->ack = HL7_ACK_ERROR;
        why->code = held > 0 ? HL7_ERR_DUPLICATE_KEY : HL7_ERR_INTERNAL;
        why->text = held > 0 ? "the new identifier is another patient's (merge it with A40)"
                             : "the index cannot be read";
        return -1;
    }
    change_modify m;
    m.patientId = adt.priorId;
    m.issuer = adt.priorIssuer;
    m.values.push_back({"PatientID", adt.patientId});
    m.values.push_back({"IssuerOfPatientID", adt.issuer});
    m.origin = origin;
    r = change_result();
    archive_modify(ctx, m, &r);
    return answer(r, why);
}

// The ADT events A08, A40 and A47 read from a parsed message
// (hl7/hl7adt.h).
#include "hl7/hl7adt.h"

#include <string.h>

static int refuse(hl7_refusal *why, const char *ack, int code, const std::string &text)
{
    why->ack = ack;
    why->code = code;
    why->text = text;
    return -1;
}

// Whether text may stand in a DICOM LO or in a component of a PN: no
// control characters, no backslash (the value separator), and for a name
// none of its own separators.
static bool fitsDicom(const std::string &text, bool name)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '\\')
            return false;
        if (name && (c == '^' || c == '='))
            return false;
    }
    return true;
}

// Characters (not bytes) of UTF-8 text.
static size_t characters(const std::string &text)
{
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            n++;
    return n;
}

// An identifier of a CX field (PID-3, MRG-1): of its repetitions the one of
// type MR (medical record number) when there is one, else the first. 0, or
// -1 with *why.
static int readId(const hl7_message &m, const hl7_message::segment *seg, int field,
                  const char *what, std::string *id, std::string *issuer, hl7_refusal *why)
{
    int reps = hl7_repetitions(m, seg, field);
    int chosen = 0;
    for (int r = 0; r < reps; r++)
        if (hl7_raw(m, seg, field, r, 5) == "MR") {
            chosen = r;
            break;
        }
    std::string error;
    if (reps == 0 || hl7_raw(m, seg, field, chosen, 1).empty())
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_REQUIRED_MISSING,
                      std::string(what) + " holds no identifier");
    if (hl7_text(m, hl7_raw(m, seg, field, chosen, 1), id, &error) != 0 ||
        hl7_text(m, hl7_raw(m, seg, field, chosen, 4, 1), issuer, &error) != 0)
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE, std::string(what) + ": " + error);
    if (!fitsDicom(*id, false) || characters(*id) > 64 || !fitsDicom(*issuer, false) ||
        characters(*issuer) > 64)
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE,
                      std::string(what) + " is not an identifier DICOM can hold (64 characters, "
                                          "no control characters or backslash)");
    return 0;
}

// PID-5's first repetition (XPN: family^given^further given^suffix^prefix)
// as a DICOM PN (family^given^middle^prefix^suffix).
static int readName(const hl7_message &m, const hl7_message::segment *pid, hl7_adt *adt,
                    hl7_refusal *why)
{
    std::string raw = hl7_raw(m, pid, 5, 0, 0);
    if (raw.empty())
        return 0;
    adt->setName = true;
    if (hl7_isNull(raw))
        return 0;
    static const int order[5] = {1, 2, 3, 5, 4};
    std::string parts[5];
    for (int k = 0; k < 5; k++) {
        std::string error;
        // The family name's first subcomponent: the surname itself.
        std::string piece = hl7_raw(m, pid, 5, 0, order[k], order[k] == 1 ? 1 : 0);
        if (hl7_text(m, piece, &parts[k], &error) != 0)
            return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE, "PID-5: " + error);
        if (!fitsDicom(parts[k], true))
            return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE,
                          "PID-5 holds a character a DICOM name cannot (^ = \\ or a control "
                          "character)");
    }
    std::string name = parts[0];
    for (int k = 1; k < 5; k++)
        name += "^" + parts[k];
    while (!name.empty() && name.back() == '^')
        name.pop_back();
    if (characters(name) > 64)
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE,
                      "PID-5 is longer than a DICOM name holds (64 characters)");
    adt->name = name;
    return 0;
}

static bool digits(const std::string &s, size_t from, size_t n)
{
    if (s.size() < from + n)
        return false;
    for (size_t i = from; i < from + n; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// PID-7 (a time stamp, YYYYMMDD[HHMM[SS...]][+ZZZZ]) as a DICOM date.
static int readBirthDate(const hl7_message &m, const hl7_message::segment *pid, hl7_adt *adt,
                         hl7_refusal *why)
{
    std::string raw = hl7_raw(m, pid, 7, 0, 1);
    if (raw.empty())
        return 0;
    adt->setBirthDate = true;
    if (hl7_isNull(raw))
        return 0;
    size_t end = raw.find_first_of("+-.");
    std::string stamp = raw.substr(0, end);
    bool ok = digits(stamp, 0, stamp.size()) && stamp.size() >= 8 && stamp.size() <= 14;
    if (ok) {
        int month = std::stoi(stamp.substr(4, 2)), day = std::stoi(stamp.substr(6, 2));
        ok = month >= 1 && month <= 12 && day >= 1 && day <= 31 && stamp.compare(0, 4, "0000") != 0;
    }
    if (!ok)
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE,
                      "PID-7 is not a date with its day (YYYYMMDD...)");
    adt->birthDate = stamp.substr(0, 8);
    return 0;
}

// PID-8 (HL7 table 0001) as DICOM's M, F or O; U (unknown) as empty.
static int readSex(const hl7_message &m, const hl7_message::segment *pid, hl7_adt *adt,
                   hl7_refusal *why)
{
    std::string raw = hl7_raw(m, pid, 8, 0, 1);
    if (raw.empty())
        return 0;
    adt->setSex = true;
    if (hl7_isNull(raw) || raw == "U")
        return 0;
    if (raw == "M" || raw == "F" || raw == "O")
        adt->sex = raw;
    else if (raw == "A" || raw == "N")
        adt->sex = "O";
    else
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_TABLE_VALUE,
                      "PID-8 is not a value of HL7 table 0001 (F M O U A N)");
    return 0;
}

int hl7_readAdt(const hl7_message &m, hl7_adt *adt, hl7_refusal *why)
{
    *adt = hl7_adt();
    const hl7_message::segment *msh = &m.segments[0];
    if (hl7_raw(m, msh, 9, 0, 1) != "ADT")
        return refuse(why, HL7_ACK_REJECT, HL7_ERR_MESSAGE_TYPE,
                      "only ADT messages are taken (A08, A40, A47)");
    std::string version = hl7_raw(m, msh, 12, 0, 1);
    if (version.compare(0, 2, "2.") != 0)
        return refuse(why, HL7_ACK_REJECT, HL7_ERR_VERSION, "only HL7 version 2 is taken");
    std::string event = hl7_raw(m, msh, 9, 0, 2);
    if (event.empty())
        event = hl7_raw(m, hl7_findSegment(m, "EVN"), 1, 0, 1);
    if (event == "A08")
        adt->kind = HL7_ADT_UPDATE;
    else if (event == "A40")
        adt->kind = HL7_ADT_MERGE;
    else if (event == "A47")
        adt->kind = HL7_ADT_CHANGE_ID;
    else
        return refuse(why, HL7_ACK_REJECT, HL7_ERR_EVENT,
                      "the event is not one the archive acts on (A08, A40, A47)");
    adt->event = event;
    if (hl7_countSegments(m, "PID") != 1)
        return refuse(why, HL7_ACK_ERROR,
                      hl7_countSegments(m, "PID") == 0 ? HL7_ERR_REQUIRED_MISSING
                                                       : HL7_ERR_SEGMENT_SEQUENCE,
                      "one PID segment is taken, no more and no fewer");
    const hl7_message::segment *pid = hl7_findSegment(m, "PID");
    if (readId(m, pid, 3, "PID-3", &adt->patientId, &adt->issuer, why) != 0)
        return -1;
    if (adt->kind == HL7_ADT_UPDATE) {
        if (readName(m, pid, adt, why) != 0 || readBirthDate(m, pid, adt, why) != 0 ||
            readSex(m, pid, adt, why) != 0)
            return -1;
        if (!adt->setName && !adt->setBirthDate && !adt->setSex)
            return refuse(why, HL7_ACK_ERROR, HL7_ERR_REQUIRED_MISSING,
                          "A08 without a name, birth date or sex to change");
        return 0;
    }
    if (hl7_countSegments(m, "MRG") != 1)
        return refuse(why, HL7_ACK_ERROR,
                      hl7_countSegments(m, "MRG") == 0 ? HL7_ERR_REQUIRED_MISSING
                                                       : HL7_ERR_SEGMENT_SEQUENCE,
                      "one MRG segment is taken, no more and no fewer");
    if (readId(m, hl7_findSegment(m, "MRG"), 1, "MRG-1", &adt->priorId, &adt->priorIssuer, why) !=
        0)
        return -1;
    if (adt->priorId == adt->patientId && adt->priorIssuer == adt->issuer)
        return refuse(why, HL7_ACK_ERROR, HL7_ERR_DATA_TYPE,
                      "MRG-1 names the same patient as PID-3");
    return 0;
}

// The ADT events the archive acts on, read from a parsed HL7 message
// (hl7/hl7message.h): A08 (update patient information), A40 (merge
// patient) and A47 (change patient identifier list), as a plain request
// the archive's change engine carries out, or the refusal to answer with.
// Values come out as DICOM wants them: a person name as a DICOM PN in
// UTF-8, a date as YYYYMMDD, a sex as M, F, O or empty.
#ifndef VELTO_HL7_HL7ADT_H
#define VELTO_HL7_HL7ADT_H

#include <string>

#include "hl7/hl7message.h"

enum hl7_adtKind {
    HL7_ADT_UPDATE = 0,    // A08: the patient's attributes as given
    HL7_ADT_MERGE = 1,     // A40: the prior patient's studies become the patient's
    HL7_ADT_CHANGE_ID = 2, // A47: the prior identifier becomes the patient's
};

struct hl7_adt {
    hl7_adtKind kind = HL7_ADT_UPDATE;
    std::string event; // "A08", "A40", "A47"
    // The patient the message is about (PID-3): for A40 the one that stays,
    // for A47 the new identifier.
    std::string patientId;
    std::string issuer; // its assigning authority (CX.4), "" when none
    // MRG-1 of A40 and A47: the patient merged away, or the identifier
    // replaced.
    std::string priorId;
    std::string priorIssuer;
    // A08's new values. set*: the field was sent; an empty value with it set
    // is HL7's "" (delete the value). A field not sent keeps what is stored.
    bool setName = false, setBirthDate = false, setSex = false;
    std::string name;      // DICOM PN, UTF-8
    std::string birthDate; // YYYYMMDD
    std::string sex;       // M, F, O or ""
};

// Why a message is not acted on: the ACK code (HL7_ACK_ERROR or _REJECT),
// the error code of table 0357 and the text for the sender.
struct hl7_refusal {
    const char *ack = HL7_ACK_REJECT;
    int code = HL7_ERR_INTERNAL;
    std::string text;
};

// Reads the event of m into *adt: 0, or -1 with *why set (a message type
// or event the archive does not act on, a required segment or field
// missing, a value DICOM cannot hold).
int hl7_readAdt(const hl7_message &m, hl7_adt *adt, hl7_refusal *why);

#endif

// De-identification by the basic confidentiality profile (core/deidentify.h):
// the table of attributes with their actions, the walk that applies it to
// a data set and every sequence item in it, the stable pseudonyms and UID
// replacements drawn from the site's key, the date shift, and the key
// file's one-time making.
#include "core/deidentify.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcmetinf.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "dcmtk/dcmdata/dcvrcs.h"
#include "dcmtk/dcmdata/dcwcache.h"

#include "runtime/durablefile.h"
#include "runtime/fullio.h"

// --- the table ---

// What is done to an attribute (several letters: the profile lets the
// implementation choose by what the object needs; see apply()).
enum action {
    ACT_D,   // a dummy value of its VR (a sequence: each item cleaned)
    ACT_Z,   // empty (a sequence: no items)
    ACT_X,   // removed
    ACT_U,   // each UID replaced by its stable replacement
    ACT_XZ,  // emptied (kept present for objects that require it)
    ACT_XD,  // a dummy value (a sequence: each item cleaned)
    ACT_ZD,  // emptied
    ACT_XZD, // emptied (a sequence: each item cleaned)
    ACT_XZU, // a sequence of references: each item cleaned, its UIDs replaced
};

// An option under which the attribute is kept as it is (dates: shifted).
enum {
    KEEP_NONE = 0,
    KEEP_DEVICE = 1,  // Retain Device Identity
    KEEP_PATIENT = 2, // Retain Patient Characteristics
    KEEP_DATES = 4,   // Retain Longitudinal Temporal Information, Modified Dates
};

struct profile_row {
    uint16_t group, element;
    action act;
    int keep;
};

// The basic profile's attributes, by tag: the standard's table of the
// confidentiality profile (the command group's two UIDs left out: they are
// never in a stored data set). A DA, DT or TM attribute marked KEEP_DATES
// is shifted (a time kept) under the dates option; one marked KEEP_DEVICE
// or KEEP_PATIENT is kept under its option. Where this table is stricter
// than the standard's, on purpose:
// - Content Sequence is removed (the standard: items cleaned): an SR's
//   text values are free text that no row names;
// - Verifying Organization is removed and Digital Signature UID removed
//   (the standard: a dummy; a replacement UID);
// - the rows marked "beyond the table" (instance creation, secondary
//   capture and calibration dates; verification and participation
//   date-times; the issuer qualifiers) are dates and issuers the table does
//   not name;
// - what the standard's options would only clean (allergies, patient
//   state, pre-medication, special needs) stays removed under the patient
//   option.
static const profile_row PROFILE[] = {
    {0x0002, 0x0003, ACT_U, KEEP_NONE},     // Media Storage SOP Instance UID
    {0x0004, 0x1511, ACT_U, KEEP_NONE},     // Referenced SOP Instance UID in File
    {0x0008, 0x0012, ACT_XD, KEEP_DATES},   // Instance Creation Date (beyond the table)
    {0x0008, 0x0013, ACT_XD, KEEP_DATES},   // Instance Creation Time (beyond the table)
    {0x0008, 0x0014, ACT_U, KEEP_NONE},     // Instance Creator UID
    {0x0008, 0x0015, ACT_X, KEEP_DATES},    // Instance Coercion DateTime
    {0x0008, 0x0018, ACT_U, KEEP_NONE},     // SOP Instance UID
    {0x0008, 0x0020, ACT_Z, KEEP_DATES},    // Study Date
    {0x0008, 0x0021, ACT_XD, KEEP_DATES},   // Series Date
    {0x0008, 0x0022, ACT_XZ, KEEP_DATES},   // Acquisition Date
    {0x0008, 0x0023, ACT_ZD, KEEP_DATES},   // Content Date
    {0x0008, 0x0024, ACT_X, KEEP_DATES},    // Overlay Date
    {0x0008, 0x0025, ACT_X, KEEP_DATES},    // Curve Date
    {0x0008, 0x002A, ACT_XZD, KEEP_DATES},  // Acquisition DateTime
    {0x0008, 0x0030, ACT_Z, KEEP_DATES},    // Study Time
    {0x0008, 0x0031, ACT_XD, KEEP_DATES},   // Series Time
    {0x0008, 0x0032, ACT_XZ, KEEP_DATES},   // Acquisition Time
    {0x0008, 0x0033, ACT_ZD, KEEP_DATES},   // Content Time
    {0x0008, 0x0034, ACT_X, KEEP_DATES},    // Overlay Time
    {0x0008, 0x0035, ACT_X, KEEP_DATES},    // Curve Time
    {0x0008, 0x0050, ACT_Z, KEEP_NONE},     // Accession Number
    {0x0008, 0x0058, ACT_U, KEEP_NONE},     // Failed SOP Instance UID List
    {0x0008, 0x0080, ACT_XZD, KEEP_NONE},   // Institution Name
    {0x0008, 0x0081, ACT_X, KEEP_NONE},     // Institution Address
    {0x0008, 0x0082, ACT_XZD, KEEP_NONE},   // Institution Code Sequence
    {0x0008, 0x0090, ACT_Z, KEEP_NONE},     // Referring Physician's Name
    {0x0008, 0x0092, ACT_X, KEEP_NONE},     // Referring Physician's Address
    {0x0008, 0x0094, ACT_X, KEEP_NONE},     // Referring Physician's Telephone Numbers
    {0x0008, 0x0096, ACT_X, KEEP_NONE},     // Referring Physician Identification Sequence
    {0x0008, 0x009C, ACT_Z, KEEP_NONE},     // Consulting Physician's Name
    {0x0008, 0x009D, ACT_X, KEEP_NONE},     // Consulting Physician Identification Sequence
    {0x0008, 0x0201, ACT_X, KEEP_DATES},    // Timezone Offset From UTC
    {0x0008, 0x1010, ACT_XZD, KEEP_DEVICE}, // Station Name
    {0x0008, 0x1030, ACT_X, KEEP_NONE},     // Study Description
    {0x0008, 0x103E, ACT_X, KEEP_NONE},     // Series Description
    {0x0008, 0x1040, ACT_X, KEEP_NONE},     // Institutional Department Name
    {0x0008, 0x1041, ACT_X, KEEP_NONE},     // Institutional Department Type Code Sequence
    {0x0008, 0x1048, ACT_X, KEEP_NONE},     // Physician(s) of Record
    {0x0008, 0x1049, ACT_X, KEEP_NONE},     // Physician(s) of Record Identification Sequence
    {0x0008, 0x1050, ACT_X, KEEP_NONE},     // Performing Physician's Name
    {0x0008, 0x1052, ACT_X, KEEP_NONE},     // Performing Physician Identification Sequence
    {0x0008, 0x1060, ACT_X, KEEP_NONE},     // Name of Physician(s) Reading Study
    {0x0008, 0x1062, ACT_X, KEEP_NONE},     // Physician(s) Reading Study Identification Sequence
    {0x0008, 0x1070, ACT_XZD, KEEP_NONE},   // Operators' Name
    {0x0008, 0x1072, ACT_XD, KEEP_NONE},    // Operator Identification Sequence
    {0x0008, 0x1080, ACT_X, KEEP_NONE},     // Admitting Diagnoses Description
    {0x0008, 0x1084, ACT_X, KEEP_NONE},     // Admitting Diagnoses Code Sequence
    {0x0008, 0x1110, ACT_XZU, KEEP_NONE},   // Referenced Study Sequence
    {0x0008, 0x1111, ACT_XZU, KEEP_NONE},   // Referenced Performed Procedure Step Sequence
    {0x0008, 0x1120, ACT_X, KEEP_NONE},     // Referenced Patient Sequence
    {0x0008, 0x1140, ACT_XZU, KEEP_NONE},   // Referenced Image Sequence
    {0x0008, 0x1155, ACT_U, KEEP_NONE},     // Referenced SOP Instance UID
    {0x0008, 0x1195, ACT_U, KEEP_NONE},     // Transaction UID
    {0x0008, 0x2111, ACT_X, KEEP_NONE},     // Derivation Description
    {0x0008, 0x2112, ACT_XZU, KEEP_NONE},   // Source Image Sequence
    {0x0008, 0x3010, ACT_U, KEEP_NONE},     // Irradiation Event UID
    {0x0008, 0x4000, ACT_X, KEEP_NONE},     // Identifying Comments
    {0x0008, 0x9123, ACT_U, KEEP_NONE},     // Creator-Version UID
    {0x0010, 0x0010, ACT_Z, KEEP_NONE},     // Patient's Name (a pseudonym)
    {0x0010, 0x0020, ACT_Z, KEEP_NONE},     // Patient ID (a pseudonym)
    {0x0010, 0x0021, ACT_X, KEEP_NONE},     // Issuer of Patient ID
    {0x0010, 0x0024, ACT_X,
     KEEP_NONE}, // Issuer of Patient ID Qualifiers Sequence (beyond the table)
    {0x0010, 0x0030, ACT_Z, KEEP_NONE},     // Patient's Birth Date
    {0x0010, 0x0032, ACT_X, KEEP_NONE},     // Patient's Birth Time
    {0x0010, 0x0040, ACT_Z, KEEP_PATIENT},  // Patient's Sex
    {0x0010, 0x0050, ACT_X, KEEP_NONE},     // Patient's Insurance Plan Code Sequence
    {0x0010, 0x0101, ACT_X, KEEP_NONE},     // Patient's Primary Language Code Sequence
    {0x0010, 0x0102, ACT_X, KEEP_NONE},     // Patient's Primary Language Modifier Code Seq.
    {0x0010, 0x1000, ACT_X, KEEP_NONE},     // Other Patient IDs
    {0x0010, 0x1001, ACT_X, KEEP_NONE},     // Other Patient Names
    {0x0010, 0x1002, ACT_X, KEEP_NONE},     // Other Patient IDs Sequence
    {0x0010, 0x1005, ACT_X, KEEP_NONE},     // Patient's Birth Name
    {0x0010, 0x1010, ACT_X, KEEP_PATIENT},  // Patient's Age
    {0x0010, 0x1020, ACT_X, KEEP_PATIENT},  // Patient's Size
    {0x0010, 0x1030, ACT_X, KEEP_PATIENT},  // Patient's Weight
    {0x0010, 0x1040, ACT_X, KEEP_NONE},     // Patient's Address
    {0x0010, 0x1050, ACT_X, KEEP_NONE},     // Insurance Plan Identification
    {0x0010, 0x1060, ACT_X, KEEP_NONE},     // Patient's Mother's Birth Name
    {0x0010, 0x1080, ACT_X, KEEP_NONE},     // Military Rank
    {0x0010, 0x1081, ACT_X, KEEP_NONE},     // Branch of Service
    {0x0010, 0x1090, ACT_X, KEEP_NONE},     // Medical Record Locator
    {0x0010, 0x1100, ACT_X, KEEP_NONE},     // Referenced Patient Photo Sequence
    {0x0010, 0x2000, ACT_X, KEEP_NONE},     // Medical Alerts
    {0x0010, 0x2110, ACT_X, KEEP_NONE},     // Allergies
    {0x0010, 0x2150, ACT_X, KEEP_NONE},     // Country of Residence
    {0x0010, 0x2152, ACT_X, KEEP_NONE},     // Region of Residence
    {0x0010, 0x2154, ACT_X, KEEP_NONE},     // Patient's Telephone Numbers
    {0x0010, 0x2155, ACT_X, KEEP_NONE},     // Patient's Telecom Information
    {0x0010, 0x2160, ACT_X, KEEP_PATIENT},  // Ethnic Group
    {0x0010, 0x2180, ACT_X, KEEP_NONE},     // Occupation
    {0x0010, 0x21A0, ACT_X, KEEP_PATIENT},  // Smoking Status
    {0x0010, 0x21B0, ACT_X, KEEP_NONE},     // Additional Patient History
    {0x0010, 0x21C0, ACT_X, KEEP_PATIENT},  // Pregnancy Status
    {0x0010, 0x21D0, ACT_X, KEEP_NONE},     // Last Menstrual Date
    {0x0010, 0x21F0, ACT_X, KEEP_NONE},     // Patient's Religious Preference
    {0x0010, 0x2203, ACT_XZ, KEEP_PATIENT}, // Patient's Sex Neutered
    {0x0010, 0x2297, ACT_X, KEEP_NONE},     // Responsible Person
    {0x0010, 0x2299, ACT_X, KEEP_NONE},     // Responsible Organization
    {0x0010, 0x4000, ACT_X, KEEP_NONE},     // Patient Comments
    {0x0012, 0x0010, ACT_D, KEEP_NONE},     // Clinical Trial Sponsor Name
    {0x0012, 0x0020, ACT_D, KEEP_NONE},     // Clinical Trial Protocol ID
    {0x0012, 0x0021, ACT_Z, KEEP_NONE},     // Clinical Trial Protocol Name
    {0x0012, 0x0030, ACT_Z, KEEP_NONE},     // Clinical Trial Site ID
    {0x0012, 0x0031, ACT_Z, KEEP_NONE},     // Clinical Trial Site Name
    {0x0012, 0x0040, ACT_D, KEEP_NONE},     // Clinical Trial Subject ID
    {0x0012, 0x0042, ACT_D, KEEP_NONE},     // Clinical Trial Subject Reading ID
    {0x0012, 0x0050, ACT_Z, KEEP_NONE},     // Clinical Trial Time Point ID
    {0x0012, 0x0051, ACT_X, KEEP_NONE},     // Clinical Trial Time Point Description
    {0x0012, 0x0060, ACT_Z, KEEP_NONE},     // Clinical Trial Coordinating Center Name
    {0x0012, 0x0071, ACT_X, KEEP_NONE},     // Clinical Trial Series ID
    {0x0012, 0x0072, ACT_X, KEEP_NONE},     // Clinical Trial Series Description
    {0x0012, 0x0081, ACT_D, KEEP_NONE},     // Clinical Trial Protocol Ethics Committee Name
    {0x0012, 0x0082, ACT_X, KEEP_NONE}, // Clinical Trial Protocol Ethics Committee Approval Number
    {0x0016, 0x002B, ACT_X, KEEP_NONE}, // Maker Note
    {0x0016, 0x004B, ACT_X, KEEP_NONE}, // Device Setting Description
    {0x0016, 0x004D, ACT_X, KEEP_NONE}, // Camera Owner Name
    {0x0016, 0x004E, ACT_X, KEEP_DEVICE},   // Lens Specification
    {0x0016, 0x004F, ACT_X, KEEP_DEVICE},   // Lens Make
    {0x0016, 0x0050, ACT_X, KEEP_DEVICE},   // Lens Model
    {0x0016, 0x0051, ACT_X, KEEP_DEVICE},   // Lens Serial Number
    {0x0016, 0x0070, ACT_X, KEEP_NONE},     // GPS Version ID
    {0x0016, 0x0071, ACT_X, KEEP_NONE},     // GPS Latitude Ref
    {0x0016, 0x0072, ACT_X, KEEP_NONE},     // GPS Latitude
    {0x0016, 0x0073, ACT_X, KEEP_NONE},     // GPS Longitude Ref
    {0x0016, 0x0074, ACT_X, KEEP_NONE},     // GPS Longitude
    {0x0016, 0x0075, ACT_X, KEEP_NONE},     // GPS Altitude Ref
    {0x0016, 0x0076, ACT_X, KEEP_NONE},     // GPS Altitude
    {0x0016, 0x0077, ACT_X, KEEP_NONE},     // GPS Time Stamp
    {0x0016, 0x0078, ACT_X, KEEP_NONE},     // GPS Satellites
    {0x0016, 0x0079, ACT_X, KEEP_NONE},     // GPS Status
    {0x0016, 0x007A, ACT_X, KEEP_NONE},     // GPS Measure Mode
    {0x0016, 0x007B, ACT_X, KEEP_NONE},     // GPS DOP
    {0x0016, 0x007C, ACT_X, KEEP_NONE},     // GPS Speed Ref
    {0x0016, 0x007D, ACT_X, KEEP_NONE},     // GPS Speed
    {0x0016, 0x007E, ACT_X, KEEP_NONE},     // GPS Track Ref
    {0x0016, 0x007F, ACT_X, KEEP_NONE},     // GPS Track
    {0x0016, 0x0080, ACT_X, KEEP_NONE},     // GPS Img Direction Ref
    {0x0016, 0x0081, ACT_X, KEEP_NONE},     // GPS Img Direction
    {0x0016, 0x0082, ACT_X, KEEP_NONE},     // GPS Map Datum
    {0x0016, 0x0083, ACT_X, KEEP_NONE},     // GPS Dest Latitude Ref
    {0x0016, 0x0084, ACT_X, KEEP_NONE},     // GPS Dest Latitude
    {0x0016, 0x0085, ACT_X, KEEP_NONE},     // GPS Dest Longitude Ref
    {0x0016, 0x0086, ACT_X, KEEP_NONE},     // GPS Dest Longitude
    {0x0016, 0x0087, ACT_X, KEEP_NONE},     // GPS Dest Bearing Ref
    {0x0016, 0x0088, ACT_X, KEEP_NONE},     // GPS Dest Bearing
    {0x0016, 0x0089, ACT_X, KEEP_NONE},     // GPS Dest Distance Ref
    {0x0016, 0x008A, ACT_X, KEEP_NONE},     // GPS Dest Distance
    {0x0016, 0x008B, ACT_X, KEEP_NONE},     // GPS Processing Method
    {0x0016, 0x008C, ACT_X, KEEP_NONE},     // GPS Area Information
    {0x0016, 0x008D, ACT_X, KEEP_DATES},    // GPS Date Stamp
    {0x0016, 0x008E, ACT_X, KEEP_NONE},     // GPS Differential
    {0x0018, 0x0010, ACT_ZD, KEEP_NONE},    // Contrast/Bolus Agent
    {0x0018, 0x1000, ACT_XZD, KEEP_DEVICE}, // Device Serial Number
    {0x0018, 0x1002, ACT_U, KEEP_DEVICE},   // Device UID
    {0x0018, 0x1004, ACT_X, KEEP_DEVICE},   // Plate ID
    {0x0018, 0x1005, ACT_X, KEEP_DEVICE},   // Generator ID
    {0x0018, 0x1007, ACT_X, KEEP_DEVICE},   // Cassette ID
    {0x0018, 0x1008, ACT_X, KEEP_DEVICE},   // Gantry ID
    {0x0018, 0x1009, ACT_X, KEEP_DEVICE},   // Unique Device Identifier
    {0x0018, 0x100A, ACT_X, KEEP_DEVICE},   // UDI Sequence
    {0x0018, 0x100B, ACT_U, KEEP_DEVICE},   // Manufacturer's Device Class UID
    {0x0018, 0x1012, ACT_X, KEEP_DATES},    // Date of Secondary Capture (beyond the table)
    {0x0018, 0x1014, ACT_X, KEEP_DATES},    // Time of Secondary Capture (beyond the table)
    {0x0018, 0x1030, ACT_XD, KEEP_NONE},    // Protocol Name
    {0x0018, 0x11BB, ACT_D, KEEP_NONE},     // Acquisition Field Of View Label
    {0x0018, 0x1200, ACT_X, KEEP_DATES},    // Date of Last Calibration (beyond the table)
    {0x0018, 0x1201, ACT_X, KEEP_DATES},    // Time of Last Calibration (beyond the table)
    {0x0018, 0x1400, ACT_XD, KEEP_NONE},    // Acquisition Device Processing Description
    {0x0018, 0x2042, ACT_U, KEEP_NONE},     // Target UID
    {0x0018, 0x4000, ACT_X, KEEP_NONE},     // Acquisition Comments
    {0x0018, 0x5011, ACT_X, KEEP_DEVICE},   // Transducer Identification Sequence
    {0x0018, 0x700A, ACT_XD, KEEP_DEVICE},  // Detector ID
    {0x0018, 0x9185, ACT_X, KEEP_NONE},     // Respiratory Motion Compensation Technique Description
    {0x0018, 0x9367, ACT_D, KEEP_DEVICE},   // X-Ray Source ID
    {0x0018, 0x9369, ACT_D, KEEP_DATES},    // Source Start DateTime
    {0x0018, 0x936A, ACT_D, KEEP_DATES},    // Source End DateTime
    {0x0018, 0x9371, ACT_D, KEEP_DEVICE},   // X-Ray Detector ID
    {0x0018, 0x9373, ACT_X, KEEP_DEVICE},   // X-Ray Detector Label
    {0x0018, 0x937B, ACT_X, KEEP_NONE},     // Multi-energy Acquisition Description
    {0x0018, 0x937F, ACT_X, KEEP_NONE},     // Decomposition Description
    {0x0018, 0x9424, ACT_X, KEEP_NONE},     // Acquisition Protocol Description
    {0x0018, 0x9516, ACT_XD, KEEP_DATES},   // Start Acquisition DateTime
    {0x0018, 0x9517, ACT_XD, KEEP_DATES},   // End Acquisition DateTime
    {0x0018, 0x9937, ACT_X, KEEP_NONE},     // Requested Series Description
    {0x0018, 0xA003, ACT_X, KEEP_NONE},     // Contribution Description
    {0x0020, 0x000D, ACT_U, KEEP_NONE},     // Study Instance UID
    {0x0020, 0x000E, ACT_U, KEEP_NONE},     // Series Instance UID
    {0x0020, 0x0010, ACT_Z, KEEP_NONE},     // Study ID
    {0x0020, 0x0052, ACT_U, KEEP_NONE},     // Frame of Reference UID
    {0x0020, 0x0200, ACT_U, KEEP_NONE},     // Synchronization Frame of Reference UID
    {0x0020, 0x3401, ACT_X, KEEP_NONE},     // Modifying Device ID
    {0x0020, 0x3406, ACT_X, KEEP_NONE},     // Modified Image Description
    {0x0020, 0x4000, ACT_X, KEEP_NONE},     // Image Comments
    {0x0020, 0x9158, ACT_X, KEEP_NONE},     // Frame Comments
    {0x0020, 0x9161, ACT_U, KEEP_NONE},     // Concatenation UID
    {0x0020, 0x9164, ACT_U, KEEP_NONE},     // Dimension Organization UID
    {0x0028, 0x1199, ACT_U, KEEP_NONE},     // Palette Color Lookup Table UID
    {0x0028, 0x1214, ACT_U, KEEP_NONE},     // Large Palette Color Lookup Table UID
    {0x0028, 0x4000, ACT_X, KEEP_NONE},     // Image Presentation Comments
    {0x0032, 0x0012, ACT_X, KEEP_NONE},     // Study ID Issuer
    {0x0032, 0x1020, ACT_X, KEEP_DEVICE},   // Scheduled Study Location
    {0x0032, 0x1021, ACT_X, KEEP_DEVICE},   // Scheduled Study Location AE Title
    {0x0032, 0x1030, ACT_X, KEEP_NONE},     // Reason for Study
    {0x0032, 0x1032, ACT_X, KEEP_NONE},     // Requesting Physician
    {0x0032, 0x1033, ACT_X, KEEP_NONE},     // Requesting Service
    {0x0032, 0x1060, ACT_XZ, KEEP_NONE},    // Requested Procedure Description
    {0x0032, 0x1066, ACT_X, KEEP_NONE},     // Reason for Visit
    {0x0032, 0x1067, ACT_X, KEEP_NONE},     // Reason for Visit Code Sequence
    {0x0032, 0x1070, ACT_X, KEEP_NONE},     // Requested Contrast Agent
    {0x0032, 0x4000, ACT_X, KEEP_NONE},     // Study Comments
    {0x0034, 0x0001, ACT_D, KEEP_NONE},     // Flow Identifier Sequence
    {0x0034, 0x0002, ACT_D, KEEP_NONE},     // Flow Identifier
    {0x0034, 0x0005, ACT_D, KEEP_NONE},     // Source Identifier
    {0x0034, 0x0007, ACT_D, KEEP_DATES},    // Frame Origin Timestamp
    {0x0038, 0x0004, ACT_X, KEEP_NONE},     // Referenced Patient Alias Sequence
    {0x0038, 0x0010, ACT_X, KEEP_NONE},     // Admission ID
    {0x0038, 0x0011, ACT_X, KEEP_NONE},     // Issuer of Admission ID
    {0x0038, 0x0014, ACT_X, KEEP_NONE},     // Issuer of Admission ID Sequence
    {0x0038, 0x001E, ACT_X, KEEP_NONE},     // Scheduled Patient Institution Residence
    {0x0038, 0x0020, ACT_X, KEEP_DATES},    // Admitting Date
    {0x0038, 0x0021, ACT_X, KEEP_DATES},    // Admitting Time
    {0x0038, 0x0040, ACT_X, KEEP_NONE},     // Discharge Diagnosis Description
    {0x0038, 0x0050, ACT_X, KEEP_NONE},     // Special Needs
    {0x0038, 0x0060, ACT_X, KEEP_NONE},     // Service Episode ID
    {0x0038, 0x0061, ACT_X, KEEP_NONE},     // Issuer of Service Episode ID
    {0x0038, 0x0062, ACT_X, KEEP_NONE},     // Service Episode Description
    {0x0038, 0x0064, ACT_X, KEEP_NONE},     // Issuer of Service Episode ID Sequence
    {0x0038, 0x0300, ACT_X, KEEP_NONE},     // Current Patient Location
    {0x0038, 0x0400, ACT_X, KEEP_NONE},     // Patient's Institution Residence
    {0x0038, 0x0500, ACT_X, KEEP_NONE},     // Patient State
    {0x0038, 0x4000, ACT_X, KEEP_NONE},     // Visit Comments
    {0x003A, 0x0310, ACT_U, KEEP_NONE},     // Multiplex Group UID
    {0x003A, 0x0314, ACT_D, KEEP_DATES},    // Impedance Measurement DateTime
    {0x0040, 0x0001, ACT_X, KEEP_DEVICE},   // Scheduled Station AE Title
    {0x0040, 0x0002, ACT_X, KEEP_DATES},    // Scheduled Procedure Step Start Date
    {0x0040, 0x0003, ACT_X, KEEP_DATES},    // Scheduled Procedure Step Start Time
    {0x0040, 0x0004, ACT_X, KEEP_DATES},    // Scheduled Procedure Step End Date
    {0x0040, 0x0005, ACT_X, KEEP_DATES},    // Scheduled Procedure Step End Time
    {0x0040, 0x0006, ACT_X, KEEP_NONE},     // Scheduled Performing Physician's Name
    {0x0040, 0x0007, ACT_X, KEEP_NONE},     // Scheduled Procedure Step Description
    {0x0040, 0x0009, ACT_X, KEEP_NONE},     // Scheduled Procedure Step ID
    {0x0040, 0x000B, ACT_X, KEEP_NONE},     // Scheduled Performing Physician Identification Seq.
    {0x0040, 0x0010, ACT_X, KEEP_DEVICE},   // Scheduled Station Name
    {0x0040, 0x0011, ACT_X, KEEP_DEVICE},   // Scheduled Procedure Step Location
    {0x0040, 0x0012, ACT_X, KEEP_NONE},     // Pre-Medication
    {0x0040, 0x0241, ACT_X, KEEP_DEVICE},   // Performed Station AE Title
    {0x0040, 0x0242, ACT_X, KEEP_DEVICE},   // Performed Station Name
    {0x0040, 0x0243, ACT_X, KEEP_NONE},     // Performed Location
    {0x0040, 0x0244, ACT_X, KEEP_DATES},    // Performed Procedure Step Start Date
    {0x0040, 0x0245, ACT_X, KEEP_DATES},    // Performed Procedure Step Start Time
    {0x0040, 0x0250, ACT_X, KEEP_DATES},    // Performed Procedure Step End Date
    {0x0040, 0x0251, ACT_X, KEEP_DATES},    // Performed Procedure Step End Time
    {0x0040, 0x0253, ACT_X, KEEP_NONE},     // Performed Procedure Step ID
    {0x0040, 0x0254, ACT_X, KEEP_NONE},     // Performed Procedure Step Description
    {0x0040, 0x0275, ACT_X, KEEP_NONE},     // Request Attributes Sequence
    {0x0040, 0x0280, ACT_X, KEEP_NONE},     // Comments on the Performed Procedure Step
    {0x0040, 0x0310, ACT_X, KEEP_NONE},     // Comments on Radiation Dose
    {0x0040, 0x050A, ACT_X, KEEP_NONE},     // Specimen Accession Number
    {0x0040, 0x0512, ACT_D, KEEP_NONE},     // Container Identifier
    {0x0040, 0x0513, ACT_Z, KEEP_NONE},     // Issuer of the Container Identifier Sequence
    {0x0040, 0x051A, ACT_X, KEEP_NONE},     // Container Description
    {0x0040, 0x0551, ACT_D, KEEP_NONE},     // Specimen Identifier
    {0x0040, 0x0554, ACT_U, KEEP_NONE},     // Specimen UID
    {0x0040, 0x0555, ACT_X, KEEP_NONE},     // Acquisition Context Sequence
    {0x0040, 0x0562, ACT_Z, KEEP_NONE},     // Issuer of the Specimen Identifier Sequence
    {0x0040, 0x0600, ACT_X, KEEP_NONE},     // Specimen Short Description
    {0x0040, 0x0602, ACT_X, KEEP_NONE},     // Specimen Detailed Description
    {0x0040, 0x0610, ACT_Z, KEEP_NONE},     // Specimen Preparation Sequence
    {0x0040, 0x06FA, ACT_X, KEEP_NONE},     // Slide Identifier
    {0x0040, 0x1001, ACT_X, KEEP_NONE},     // Requested Procedure ID
    {0x0040, 0x1002, ACT_X, KEEP_NONE},     // Reason for the Requested Procedure
    {0x0040, 0x1004, ACT_X, KEEP_NONE},     // Patient Transport Arrangements
    {0x0040, 0x1005, ACT_X, KEEP_NONE},     // Requested Procedure Location
    {0x0040, 0x100A, ACT_X, KEEP_NONE},     // Reason for Requested Procedure Code Sequence
    {0x0040, 0x1010, ACT_X, KEEP_NONE},     // Names of Intended Recipients of Results
    {0x0040, 0x1011, ACT_X, KEEP_NONE},     // Intended Recipients of Results Identification Seq.
    {0x0040, 0x1101, ACT_D, KEEP_NONE},     // Person Identification Code Sequence
    {0x0040, 0x1102, ACT_X, KEEP_NONE},     // Person's Address
    {0x0040, 0x1103, ACT_X, KEEP_NONE},     // Person's Telephone Numbers
    {0x0040, 0x1104, ACT_X, KEEP_NONE},     // Person's Telecom Information
    {0x0040, 0x1400, ACT_X, KEEP_NONE},     // Requested Procedure Comments
    {0x0040, 0x2001, ACT_X, KEEP_NONE},     // Reason for the Imaging Service Request
    {0x0040, 0x2008, ACT_X, KEEP_NONE},     // Order Entered By
    {0x0040, 0x2009, ACT_X, KEEP_NONE},     // Order Enterer's Location
    {0x0040, 0x2010, ACT_X, KEEP_NONE},     // Order Callback Phone Number
    {0x0040, 0x2011, ACT_X, KEEP_NONE},     // Order Callback Telecom Information
    {0x0040, 0x2016, ACT_Z, KEEP_NONE},     // Placer Order Number / Imaging Service Request
    {0x0040, 0x2017, ACT_Z, KEEP_NONE},     // Filler Order Number / Imaging Service Request
    {0x0040, 0x2400, ACT_X, KEEP_NONE},     // Imaging Service Request Comments
    {0x0040, 0x3001, ACT_X, KEEP_NONE},     // Confidentiality Constraint on Patient Data
    {0x0040, 0x4005, ACT_X, KEEP_DATES},    // Scheduled Procedure Step Start DateTime
    {0x0040, 0x4008, ACT_X, KEEP_DATES},    // Scheduled Procedure Step Expiration DateTime
    {0x0040, 0x4010, ACT_X, KEEP_DATES},    // Scheduled Procedure Step Modification DateTime
    {0x0040, 0x4011, ACT_X, KEEP_DATES},    // Expected Completion DateTime
    {0x0040, 0x4023, ACT_U, KEEP_NONE},     // Referenced General Purpose SPS Transaction UID
    {0x0040, 0x4025, ACT_X, KEEP_DEVICE},   // Scheduled Station Name Code Sequence
    {0x0040, 0x4027, ACT_X, KEEP_DEVICE},   // Scheduled Station Geographic Location Code Seq.
    {0x0040, 0x4028, ACT_X, KEEP_DEVICE},   // Performed Station Name Code Sequence
    {0x0040, 0x4030, ACT_X, KEEP_DEVICE},   // Performed Station Geographic Location Code Seq.
    {0x0040, 0x4034, ACT_X, KEEP_NONE},     // Scheduled Human Performers Sequence
    {0x0040, 0x4035, ACT_X, KEEP_NONE},     // Actual Human Performers Sequence
    {0x0040, 0x4036, ACT_X, KEEP_NONE},     // Human Performer's Organization
    {0x0040, 0x4037, ACT_X, KEEP_NONE},     // Human Performer's Name
    {0x0040, 0x4050, ACT_X, KEEP_DATES},    // Performed Procedure Step Start DateTime
    {0x0040, 0x4051, ACT_X, KEEP_DATES},    // Performed Procedure Step End DateTime
    {0x0040, 0x4052, ACT_X, KEEP_DATES},    // Procedure Step Cancellation DateTime
    {0x0040, 0xA027, ACT_X, KEEP_NONE},     // Verifying Organization
    {0x0040, 0xA030, ACT_D, KEEP_DATES},    // Verification DateTime (beyond the table)
    {0x0040, 0xA073, ACT_D, KEEP_NONE},     // Verifying Observer Sequence
    {0x0040, 0xA075, ACT_D, KEEP_NONE},     // Verifying Observer Name
    {0x0040, 0xA078, ACT_X, KEEP_NONE},     // Author Observer Sequence
    {0x0040, 0xA07A, ACT_X, KEEP_NONE},     // Participant Sequence
    {0x0040, 0xA07C, ACT_X, KEEP_NONE},     // Custodial Organization Sequence
    {0x0040, 0xA082, ACT_X, KEEP_DATES},    // Participation DateTime (beyond the table)
    {0x0040, 0xA088, ACT_Z, KEEP_NONE},     // Verifying Observer Identification Code Sequence
    {0x0040, 0xA123, ACT_D, KEEP_NONE},     // Person Name
    {0x0040, 0xA124, ACT_U, KEEP_NONE},     // UID
    {0x0040, 0xA171, ACT_U, KEEP_NONE},     // Observation UID
    {0x0040, 0xA172, ACT_U, KEEP_NONE},     // Referenced Observation UID (Trial)
    {0x0040, 0xA192, ACT_X, KEEP_DATES},    // Observation Date (Trial)
    {0x0040, 0xA193, ACT_X, KEEP_DATES},    // Observation Time (Trial)
    {0x0040, 0xA307, ACT_X, KEEP_NONE},     // Current Observer (Trial)
    {0x0040, 0xA352, ACT_X, KEEP_NONE},     // Verbal Source (Trial)
    {0x0040, 0xA353, ACT_X, KEEP_NONE},     // Address (Trial)
    {0x0040, 0xA354, ACT_X, KEEP_NONE},     // Telephone Number (Trial)
    {0x0040, 0xA358, ACT_X, KEEP_NONE},     // Verbal Source Identifier Code Sequence (Trial)
    {0x0040, 0xA402, ACT_U, KEEP_NONE},     // Observation Subject UID (Trial)
    {0x0040, 0xA730, ACT_X, KEEP_NONE},     // Content Sequence
    {0x0040, 0xDB0C, ACT_U, KEEP_NONE},     // Template Extension Organization UID
    {0x0040, 0xDB0D, ACT_U, KEEP_NONE},     // Template Extension Creator UID
    {0x0050, 0x001B, ACT_X, KEEP_NONE},     // Container Component ID
    {0x0050, 0x0020, ACT_X, KEEP_DEVICE},   // Device Description
    {0x0050, 0x0021, ACT_X, KEEP_NONE},     // Long Device Description
    {0x0062, 0x0021, ACT_U, KEEP_NONE},     // Tracking UID
    {0x0070, 0x0001, ACT_D, KEEP_NONE},     // Graphic Annotation Sequence
    {0x0070, 0x0084, ACT_Z, KEEP_NONE},     // Content Creator's Name
    {0x0070, 0x0086, ACT_X, KEEP_NONE},     // Content Creator's Identification Code Sequence
    {0x0070, 0x031A, ACT_U, KEEP_NONE},     // Fiducial UID
    {0x0070, 0x1101, ACT_U, KEEP_NONE},     // Presentation Display Collection UID
    {0x0070, 0x1102, ACT_U, KEEP_NONE},     // Presentation Sequence Collection UID
    {0x0088, 0x0140, ACT_U, KEEP_NONE},     // Storage Media File-set UID
    {0x0088, 0x0200, ACT_X, KEEP_NONE},     // Icon Image Sequence
    {0x0088, 0x0904, ACT_X, KEEP_NONE},     // Topic Title
    {0x0088, 0x0906, ACT_X, KEEP_NONE},     // Topic Subject
    {0x0088, 0x0910, ACT_X, KEEP_NONE},     // Topic Author
    {0x0088, 0x0912, ACT_X, KEEP_NONE},     // Topic Keywords
    {0x0400, 0x0100, ACT_X, KEEP_NONE},     // Digital Signature UID
    {0x0400, 0x0402, ACT_X, KEEP_NONE},     // Referenced Digital Signature Sequence
    {0x0400, 0x0403, ACT_X, KEEP_NONE},     // Referenced SOP Instance MAC Sequence
    {0x0400, 0x0404, ACT_X, KEEP_NONE},     // MAC
    {0x0400, 0x0550, ACT_X, KEEP_NONE},     // Modified Attributes Sequence
    {0x0400, 0x0551, ACT_X, KEEP_NONE},     // Nonconforming Modified Attributes Sequence
    {0x0400, 0x0552, ACT_X, KEEP_NONE},     // Nonconforming Data Element Value
    {0x0400, 0x0561, ACT_X, KEEP_NONE},     // Original Attributes Sequence
    {0x0400, 0x0600, ACT_X, KEEP_NONE},     // Instance Origin Status
    {0x2030, 0x0020, ACT_X, KEEP_NONE},     // Text String
    {0x2200, 0x0002, ACT_XZ, KEEP_NONE},    // Label Text
    {0x2200, 0x0005, ACT_XZ, KEEP_NONE},    // Barcode Value
    {0x3006, 0x0002, ACT_D, KEEP_NONE},     // Structure Set Label
    {0x3006, 0x0004, ACT_X, KEEP_NONE},     // Structure Set Name
    {0x3006, 0x0006, ACT_X, KEEP_NONE},     // Structure Set Description
    {0x3006, 0x0008, ACT_Z, KEEP_DATES},    // Structure Set Date
    {0x3006, 0x0009, ACT_XD, KEEP_DATES},   // Structure Set Time
    {0x3006, 0x0024, ACT_U, KEEP_NONE},     // Referenced Frame of Reference UID
    {0x3006, 0x0026, ACT_Z, KEEP_NONE},     // ROI Name
    {0x3006, 0x0028, ACT_X, KEEP_NONE},     // ROI Description
    {0x3006, 0x0038, ACT_X, KEEP_NONE},     // ROI Generation Description
    {0x3006, 0x0085, ACT_X, KEEP_NONE},     // ROI Observation Label
    {0x3006, 0x0088, ACT_X, KEEP_NONE},     // ROI Observation Description
    {0x3006, 0x00A6, ACT_Z, KEEP_NONE},     // ROI Interpreter
    {0x3006, 0x00C2, ACT_U, KEEP_NONE},     // Related Frame of Reference UID
    {0x3008, 0x0054, ACT_XD, KEEP_DATES},   // First Treatment Date
    {0x3008, 0x0056, ACT_XD, KEEP_DATES},   // Most Recent Treatment Date
    {0x3008, 0x0105, ACT_XZ, KEEP_DEVICE},  // Source Serial Number
    {0x3008, 0x0250, ACT_XD, KEEP_DATES},   // Treatment Date
    {0x3008, 0x0251, ACT_XD, KEEP_DATES},   // Treatment Time
    {0x300A, 0x0002, ACT_D, KEEP_NONE},     // RT Plan Label
    {0x300A, 0x0003, ACT_X, KEEP_NONE},     // RT Plan Name
    {0x300A, 0x0004, ACT_X, KEEP_NONE},     // RT Plan Description
    {0x300A, 0x0006, ACT_XD, KEEP_DATES},   // RT Plan Date
    {0x300A, 0x0007, ACT_XD, KEEP_DATES},   // RT Plan Time
    {0x300A, 0x000E, ACT_X, KEEP_NONE},     // Prescription Description
    {0x300A, 0x0013, ACT_U, KEEP_NONE},     // Dose Reference UID
    {0x300A, 0x0072, ACT_X, KEEP_NONE},     // Fraction Group Description
    {0x300A, 0x0083, ACT_U, KEEP_NONE},     // Referenced Dose Reference UID
    {0x300A, 0x00B2, ACT_X, KEEP_DEVICE},   // Treatment Machine Name
    {0x300A, 0x00C3, ACT_X, KEEP_NONE},     // Beam Description
    {0x300A, 0x00DD, ACT_X, KEEP_NONE},     // Bolus Description
    {0x300A, 0x0196, ACT_X, KEEP_NONE},     // Fixation Device Description
    {0x300A, 0x01A6, ACT_X, KEEP_NONE},     // Shielding Device Description
    {0x300A, 0x01B2, ACT_X, KEEP_NONE},     // Setup Technique Description
    {0x300A, 0x0216, ACT_X, KEEP_DEVICE},   // Source Manufacturer
    {0x300A, 0x02EB, ACT_X, KEEP_NONE},     // Compensator Description
    {0x300A, 0x0608, ACT_D, KEEP_NONE},     // Treatment Position Group Label
    {0x300A, 0x0609, ACT_U, KEEP_NONE},     // Treatment Position Group UID
    {0x300A, 0x0611, ACT_Z, KEEP_NONE},     // RT Accessory Holder Slot ID
    {0x300A, 0x0615, ACT_Z, KEEP_NONE},     // RT Accessory Device Slot ID
    {0x300A, 0x0619, ACT_D, KEEP_NONE},     // Radiation Dose Identification Label
    {0x300A, 0x0623, ACT_D, KEEP_NONE},     // Radiation Dose In-Vivo Measurement Label
    {0x300A, 0x062A, ACT_D, KEEP_NONE},     // RT Tolerance Set Label
    {0x300A, 0x0650, ACT_U, KEEP_NONE},     // Patient Setup UID
    {0x300A, 0x0676, ACT_X, KEEP_NONE},     // Equipment Frame of Reference Description
    {0x300A, 0x067C, ACT_D, KEEP_NONE},     // Radiation Generation Mode Label
    {0x300A, 0x067D, ACT_Z, KEEP_NONE},     // Radiation Generation Mode Description
    {0x300A, 0x0700, ACT_U, KEEP_NONE},     // Treatment Session UID
    {0x300A, 0x0734, ACT_D, KEEP_NONE},     // Treatment Tolerance Violation Description
    {0x300A, 0x0736, ACT_D, KEEP_DATES},    // Treatment Tolerance Violation DateTime
    {0x300A, 0x073A, ACT_D, KEEP_DATES},    // Recorded RT Control Point DateTime
    {0x300A, 0x0741, ACT_D, KEEP_DATES},    // Interlock DateTime
    {0x300A, 0x0742, ACT_D, KEEP_NONE},     // Interlock Description
    {0x300A, 0x0760, ACT_D, KEEP_DATES},    // Override DateTime
    {0x300A, 0x0783, ACT_D, KEEP_NONE},     // Interlock Origin Description
    {0x300C, 0x0113, ACT_X, KEEP_NONE},     // Reason for Omission Description
    {0x300E, 0x0008, ACT_XZ, KEEP_NONE},    // Reviewer Name
    {0x3010, 0x0006, ACT_U, KEEP_NONE},     // Conceptual Volume UID
    {0x3010, 0x000B, ACT_U, KEEP_NONE},     // Referenced Conceptual Volume UID
    {0x3010, 0x000F, ACT_Z, KEEP_NONE},     // Conceptual Volume Combination Description
    {0x3010, 0x0013, ACT_U, KEEP_NONE},     // Constituent Conceptual Volume UID
    {0x3010, 0x0015, ACT_U, KEEP_NONE},     // Source Conceptual Volume UID
    {0x3010, 0x0017, ACT_Z, KEEP_NONE},     // Conceptual Volume Description
    {0x3010, 0x001B, ACT_Z, KEEP_NONE},     // Device Alternate Identifier
    {0x3010, 0x002D, ACT_D, KEEP_DEVICE},   // Device Label
    {0x3010, 0x0031, ACT_U, KEEP_NONE},     // Referenced Fiducials UID
    {0x3010, 0x0033, ACT_D, KEEP_NONE},     // User Content Label
    {0x3010, 0x0034, ACT_D, KEEP_NONE},     // User Content Long Label
    {0x3010, 0x0035, ACT_D, KEEP_NONE},     // Entity Label
    {0x3010, 0x0036, ACT_X, KEEP_NONE},     // Entity Name
    {0x3010, 0x0037, ACT_X, KEEP_NONE},     // Entity Description
    {0x3010, 0x0038, ACT_D, KEEP_NONE},     // Entity Long Label
    {0x3010, 0x003B, ACT_U, KEEP_NONE},     // RT Treatment Phase UID
    {0x3010, 0x0043, ACT_Z, KEEP_DEVICE},   // Manufacturer's Device Identifier
    {0x3010, 0x004C, ACT_XD, KEEP_DATES},   // Intended Phase Start Date
    {0x3010, 0x004D, ACT_XD, KEEP_DATES},   // Intended Phase End Date
    {0x3010, 0x0054, ACT_D, KEEP_NONE},     // RT Prescription Label
    {0x3010, 0x0056, ACT_XD, KEEP_NONE},    // RT Treatment Approach Label
    {0x3010, 0x005A, ACT_Z, KEEP_NONE},     // RT Physician Intent Narrative
    {0x3010, 0x005C, ACT_Z, KEEP_NONE},     // Reason for Superseding
    {0x3010, 0x0061, ACT_X, KEEP_NONE},     // Prior Treatment Dose Description
    {0x3010, 0x006E, ACT_U, KEEP_NONE},     // Dosimetric Objective UID
    {0x3010, 0x006F, ACT_U, KEEP_NONE},     // Referenced Dosimetric Objective UID
    {0x3010, 0x0077, ACT_D, KEEP_NONE},     // Treatment Site
    {0x3010, 0x007A, ACT_Z, KEEP_NONE},     // Treatment Technique Notes
    {0x3010, 0x007B, ACT_Z, KEEP_NONE},     // Prescription Notes
    {0x3010, 0x007F, ACT_Z, KEEP_NONE},     // Fractionation Notes
    {0x3010, 0x0081, ACT_Z, KEEP_NONE},     // Prescription Notes Sequence
    {0x4000, 0x0010, ACT_X, KEEP_NONE},     // Arbitrary
    {0x4000, 0x4000, ACT_X, KEEP_NONE},     // Text Comments
    {0x4008, 0x0042, ACT_X, KEEP_NONE},     // Results ID Issuer
    {0x4008, 0x0102, ACT_X, KEEP_NONE},     // Interpretation Recorder
    {0x4008, 0x010A, ACT_X, KEEP_NONE},     // Interpretation Transcriber
    {0x4008, 0x010B, ACT_X, KEEP_NONE},     // Interpretation Text
    {0x4008, 0x010C, ACT_X, KEEP_NONE},     // Interpretation Author
    {0x4008, 0x0111, ACT_X, KEEP_NONE},     // Interpretation Approver Sequence
    {0x4008, 0x0114, ACT_X, KEEP_NONE},     // Physician Approving Interpretation
    {0x4008, 0x0115, ACT_X, KEEP_NONE},     // Interpretation Diagnosis Description
    {0x4008, 0x0118, ACT_X, KEEP_NONE},     // Results Distribution List Sequence
    {0x4008, 0x0119, ACT_X, KEEP_NONE},     // Distribution Name
    {0x4008, 0x011A, ACT_X, KEEP_NONE},     // Distribution Address
    {0x4008, 0x0202, ACT_X, KEEP_NONE},     // Interpretation ID Issuer
    {0x4008, 0x0300, ACT_X, KEEP_NONE},     // Impressions
    {0x4008, 0x4000, ACT_X, KEEP_NONE},     // Results Comments
    {0xFFFA, 0xFFFA, ACT_X, KEEP_NONE},     // Digital Signatures Sequence
    {0xFFFC, 0xFFFC, ACT_X, KEEP_NONE},     // Data Set Trailing Padding
};

// The row of tag, or null: the table, and the repeating groups (curves,
// 50xx; overlay data and comments, 60xx,3000 and 60xx,4000).
static const profile_row *rowOf(const DcmTagKey &tag)
{
    static const profile_row curve = {0x5000, 0x0000, ACT_X, KEEP_NONE};
    static const profile_row overlay = {0x6000, 0x3000, ACT_X, KEEP_NONE};
    uint16_t g = tag.getGroup(), e = tag.getElement();
    if ((g & 0xFF00) == 0x5000)
        return &curve;
    if ((g & 0xFF00) == 0x6000 && (e == 0x3000 || e == 0x4000))
        return &overlay;
    static const std::map<uint32_t, const profile_row *> byTag = [] {
        std::map<uint32_t, const profile_row *> m;
        for (const profile_row &r : PROFILE)
            m[((uint32_t)r.group << 16) | r.element] = &r;
        return m;
    }();
    auto it = byTag.find(((uint32_t)g << 16) | e);
    return it == byTag.end() ? nullptr : it->second;
}

// --- the key and what is drawn from it ---

static void hmac(const deidentify_key &key, const std::string &text, unsigned char out[32])
{
    unsigned int len = 0;
    unsigned char mac[EVP_MAX_MD_SIZE];
    // HMAC with a valid digest and key cannot fail but for memory: a
    // failure here would give every UID the same replacement.
    if (HMAC(EVP_sha256(), key.bytes, DEIDENTIFY_KEY_BYTES, (const unsigned char *)text.data(),
             text.size(), mac, &len) == nullptr ||
        len < 32)
        abort();
    memcpy(out, mac, 32);
}

std::string deidentify_uid(const deidentify_key &key, const std::string &uid)
{
    unsigned char mac[32];
    hmac(key, "uid\n" + uid, mac);
    // The first 16 bytes as one big-endian 128-bit number, in decimal
    // (at most 39 digits: the UID stays within 64 characters).
    unsigned char n[16];
    memcpy(n, mac, 16);
    std::string digits;
    for (;;) {
        bool zero = true;
        unsigned rem = 0;
        for (unsigned char &b : n) {
            unsigned cur = (rem << 8) | b;
            b = (unsigned char)(cur / 10);
            rem = cur % 10;
            zero = zero && b == 0;
        }
        digits.push_back((char)('0' + rem));
        if (zero)
            break;
    }
    std::reverse(digits.begin(), digits.end());
    return "2.25." + digits;
}

static std::string hex(const unsigned char *b, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s.push_back(digits[b[i] >> 4]);
        s.push_back(digits[b[i] & 15]);
    }
    return s;
}

int deidentify_loadKey(const char *baseDir, deidentify_key *key, std::string *error)
{
    std::string path = std::string(baseDir) + "/" DEIDENTIFY_KEY_FILE;
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            unsigned char extra;
            ssize_t n = fullio_read(fd, key->bytes, DEIDENTIFY_KEY_BYTES);
            ssize_t more = n == DEIDENTIFY_KEY_BYTES ? fullio_read(fd, &extra, 1) : 0;
            close(fd);
            if (n != DEIDENTIFY_KEY_BYTES || more != 0) {
                // Never replaced: every pseudonym made so far comes from it.
                *error = path + ": not a key of " + std::to_string(DEIDENTIFY_KEY_BYTES) + " bytes";
                return -1;
            }
            return 0;
        }
        if (errno != ENOENT) {
            *error = path + ": " + strerror(errno);
            return -1;
        }
        // First use: a new key under a temporary name, flushed, then linked
        // into place. link (not rename) never replaces a key that another
        // process made meanwhile and may have used already: the loser reads
        // the winner's.
        unsigned char fresh[DEIDENTIFY_KEY_BYTES];
        size_t got = 0;
        while (got < sizeof fresh) {
            ssize_t n = getrandom(fresh + got, sizeof fresh - got, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *error = std::string("getrandom: ") + strerror(errno);
                return -1;
            }
            got += (size_t)n;
        }
        std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
        int t = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (t < 0) {
            *error = tmp + ": " + strerror(errno);
            return -1;
        }
        // Made by root (storeindex run so), it is given to the base
        // directory's owner: the daemons, which run as that owner, read it.
        struct stat base;
        if (geteuid() == 0 && stat(baseDir, &base) == 0 &&
            fchown(t, base.st_uid, base.st_gid) != 0) {
            int failed = errno;
            close(t);
            unlink(tmp.c_str());
            *error = tmp + ": " + strerror(failed);
            return -1;
        }
        bool ok = fchmod(t, 0600) == 0 &&
                  fullio_write(t, fresh, sizeof fresh) == (ssize_t)sizeof fresh && fsync(t) == 0;
        int saved = errno;
        close(t);
        if (!ok || (link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST)) {
            if (ok)
                saved = errno;
            unlink(tmp.c_str());
            *error = path + ": " + strerror(saved);
            return -1;
        }
        unlink(tmp.c_str());
        durable_flushParent(path.c_str());
    }
    *error = path + ": cannot be read after it was made";
    return -1;
}

bool deidentify_option(const std::string &word, deidentify_options *options)
{
    if (word == "dates")
        options->shiftDates = true;
    else if (word == "device")
        options->retainDevice = true;
    else if (word == "patient")
        options->retainPatient = true;
    else if (word == "refuse-burned-in")
        options->refuseBurnedIn = true;
    else
        return false;
    return true;
}

bool deidentify_parseOptions(const std::string &list, deidentify_options *options)
{
    deidentify_options parsed;
    if (list != "yes") {
        size_t start = 0;
        for (;;) {
            size_t end = list.find(',', start);
            std::string word = list.substr(start, end == std::string::npos ? end : end - start);
            if (!deidentify_option(word, &parsed))
                return false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    if (options != nullptr)
        *options = parsed;
    return true;
}

std::string deidentify_optionWords(const deidentify_options &o)
{
    std::string s;
    auto add = [&s](bool on, const char *w) {
        if (on)
            s += (s.empty() ? "" : ",") + std::string(w);
    };
    add(o.shiftDates, "dates");
    add(o.retainDevice, "device");
    add(o.retainPatient, "patient");
    add(o.refuseBurnedIn, "refuse-burned-in");
    return s;
}

// --- the walk ---

namespace
{
struct walker {
    const deidentify_key &key;
    const deidentify_options &options;
    std::string pseudonymName, pseudonymId;
    int shiftDays = 0;
    bool shifted = false; // a date was shifted
};
} // namespace

// value shifted back by days, as YYYYMMDD; false when it is no date.
static bool shiftDate(const std::string &value, int days, std::string *out)
{
    if (value.size() < 8)
        return false;
    for (int i = 0; i < 8; i++)
        if (value[(size_t)i] < '0' || value[(size_t)i] > '9')
            return false;
    struct tm t = {};
    t.tm_year = atoi(value.substr(0, 4).c_str()) - 1900;
    t.tm_mon = atoi(value.substr(4, 2).c_str()) - 1;
    t.tm_mday = atoi(value.substr(6, 2).c_str()) - days;
    t.tm_hour = 12;
    time_t when = timegm(&t);
    struct tm back;
    if (gmtime_r(&when, &back) == nullptr || back.tm_year < 0 || back.tm_year > 8099)
        return false;
    char text[40];
    snprintf(text, sizeof text, "%04d%02d%02d", back.tm_year + 1900, back.tm_mon + 1, back.tm_mday);
    *out = text + value.substr(8);
    return true;
}

// A DA or DT element shifted value by value (ranges too): a value that is
// no date is emptied, so nothing unshifted stays.
static void shiftElement(walker *w, DcmElement *e)
{
    OFString all;
    if (e->getOFStringArray(all).bad() || all.empty())
        return;
    std::string text(all.c_str()), result;
    size_t start = 0;
    bool ok = true;
    while (ok) {
        size_t end = text.find_first_of("\\-", start);
        // A date-time's time zone ("...-0500" after a whole date) is no
        // range's dash: it stays with its value.
        while (end != std::string::npos && text[end] == '-' && end - start >= 8 &&
               end + 5 <= text.size() && text.find_first_not_of("0123456789", end + 1) >= end + 5 &&
               (end + 5 == text.size() || text[end + 5] == '\\' || text[end + 5] == '-'))
            end = text.find_first_of("\\-", end + 5);
        std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        std::string moved;
        if (!part.empty()) {
            ok = shiftDate(part, w->shiftDays, &moved);
            result += moved;
        }
        if (end == std::string::npos)
            break;
        result.push_back(text[end]);
        start = end + 1;
    }
    e->putString(ok ? result.c_str() : "");
    w->shifted = w->shifted || ok;
}

// A dummy value of e's VR, or "" where an empty one must do.
static const char *dummyOf(DcmEVR vr)
{
    switch (vr) {
    case EVR_PN:
        return "ANONYMOUS";
    case EVR_LO:
    case EVR_SH:
    case EVR_LT:
    case EVR_ST:
    case EVR_UT:
    case EVR_UC:
    case EVR_CS:
    case EVR_AE:
        return "ANONYMIZED";
    case EVR_DA:
        return "19000101";
    case EVR_TM:
        return "000000";
    case EVR_DT:
        return "19000101000000";
    case EVR_AS:
        return "000D";
    case EVR_IS:
    case EVR_DS:
        return "0";
    default:
        return "";
    }
}

static void walkItem(walker *w, DcmItem *item);

// Each UID of e replaced (a list value by value).
static void replaceUids(walker *w, DcmElement *e)
{
    OFString all;
    if (e->getOFStringArray(all).bad() || all.empty())
        return;
    std::string text(all.c_str()), result;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\\', start);
        std::string uid = text.substr(start, end == std::string::npos ? end : end - start);
        result += uid.empty() ? std::string() : deidentify_uid(w->key, uid);
        if (end == std::string::npos)
            break;
        result.push_back('\\');
        start = end + 1;
    }
    e->putString(result.c_str());
}

static void cleanItems(walker *w, DcmSequenceOfItems *sq)
{
    for (unsigned long i = 0; i < sq->card(); i++)
        walkItem(w, sq->getItem(i));
}

// Applies the table to one element; true when it is to be removed.
static bool apply(walker *w, DcmElement *e)
{
    const DcmTag &tag = e->getTag();
    DcmEVR vr = e->ident();
    bool sequence = vr == EVR_SQ;
    // Private attributes (odd groups), their creators included, go.
    if ((tag.getGroup() & 1) != 0)
        return true;
    const profile_row *row = rowOf(tag);
    if (row == nullptr) {
        // Not in the table: kept. Under the dates option every date that
        // stays is shifted, so that no true date sits beside shifted ones.
        if (sequence)
            cleanItems(w, static_cast<DcmSequenceOfItems *>(e));
        else if (w->options.shiftDates && (vr == EVR_DA || vr == EVR_DT))
            shiftElement(w, e);
        return false;
    }
    if (((row->keep & KEEP_DEVICE) != 0 && w->options.retainDevice) ||
        ((row->keep & KEEP_PATIENT) != 0 && w->options.retainPatient))
        return false;
    // Under the dates option a date is shifted and a time kept; anything
    // else of the row (a time zone, which tells where) goes by its action.
    if ((row->keep & KEEP_DATES) != 0 && w->options.shiftDates &&
        (vr == EVR_DA || vr == EVR_DT || vr == EVR_TM)) {
        if (vr != EVR_TM)
            shiftElement(w, e);
        return false;
    }
    if (tag == DCM_PatientName || tag == DCM_PatientID) {
        // Z allows a dummy: the stable pseudonym.
        e->putString(tag == DCM_PatientName ? w->pseudonymName.c_str() : w->pseudonymId.c_str());
        return false;
    }
    switch (row->act) {
    case ACT_X:
        return true;
    case ACT_U:
        if (vr == EVR_UI)
            replaceUids(w, e);
        else
            return true;
        return false;
    case ACT_XZU:
    case ACT_D:
    case ACT_XD:
        if (sequence) {
            cleanItems(w, static_cast<DcmSequenceOfItems *>(e));
        } else if (vr == EVR_UI) {
            replaceUids(w, e);
        } else if (row->act == ACT_XZU) {
            e->putString("");
        } else {
            // A date keeps the dummy only where a value is needed at all.
            e->putString(dummyOf(vr));
        }
        return false;
    case ACT_XZD:
        if (sequence)
            cleanItems(w, static_cast<DcmSequenceOfItems *>(e));
        else
            e->putString("");
        return false;
    case ACT_Z:
    case ACT_XZ:
    case ACT_ZD:
        if (sequence) {
            DcmSequenceOfItems *sq = static_cast<DcmSequenceOfItems *>(e);
            while (sq->card() > 0)
                delete sq->remove((unsigned long)0);
        } else {
            e->putString("");
        }
        return false;
    }
    return false;
}

static void walkItem(walker *w, DcmItem *item)
{
    std::vector<DcmTagKey> drop;
    for (unsigned long i = 0; i < item->card(); i++) {
        DcmElement *e = item->getElement(i);
        if (e != nullptr && apply(w, e))
            drop.push_back(e->getTag());
    }
    for (const DcmTagKey &t : drop)
        item->findAndDeleteElement(t);
}

static std::string stringOf(DcmItem *item, const DcmTagKey &tag)
{
    OFString v;
    if (item->findAndGetOFStringArray(tag, v).bad())
        return "";
    return v.c_str();
}

// Modalities whose images often carry text burned into the pixels (the
// patient's name on an ultrasound or a screen capture), and classes
// (secondary capture, encapsulated documents) that are pictures of text.
static bool mayBurnIn(DcmDataset *ds)
{
    static const char *const modalities[] = {"US", "XA", "RF", "ES", "XC", "OT", "SC", "DOC", "SM"};
    std::string cls = stringOf(ds, DCM_SOPClassUID);
    // Secondary capture (...1.1.7 and its multi-frame kin ...1.1.7.N) and the
    // encapsulated documents (...1.1.104.N).
    static const std::string sc = "1.2.840.10008.5.1.4.1.1.7", doc = "1.2.840.10008.5.1.4.1.1.104.";
    if (cls == sc || cls.compare(0, sc.size() + 1, sc + ".") == 0 ||
        cls.compare(0, doc.size(), doc) == 0)
        return true;
    std::string modality = stringOf(ds, DCM_Modality);
    for (const char *m : modalities)
        if (modality == m)
            return true;
    return false;
}

static void addCode(DcmItem *ds, const char *value, const char *meaning)
{
    DcmItem *item = nullptr;
    if (ds->findOrCreateSequenceItem(DCM_DeidentificationMethodCodeSequence, item, -2).bad())
        return;
    item->putAndInsertString(DCM_CodeValue, value);
    item->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
    item->putAndInsertString(DCM_CodeMeaning, meaning);
}

int deidentify_dataset(const deidentify_key &key, const deidentify_options &options, DcmDataset *ds,
                       deidentify_result *result)
{
    *result = deidentify_result();
    std::string burned = stringOf(ds, DCM_BurnedInAnnotation);
    bool hasImage = ds->tagExists(DCM_PixelData) || ds->tagExists(DCM_EncapsulatedDocument) ||
                    ds->tagExists(DCM_FloatPixelData) || ds->tagExists(DCM_DoubleFloatPixelData);
    result->burnedIn = ds->tagExists(DCM_EncapsulatedDocument) || burned == "YES" ||
                       (hasImage && burned.empty() && mayBurnIn(ds));
    if (result->burnedIn && options.refuseBurnedIn)
        return DEIDENTIFY_REFUSED;

    // The patient: by ID and issuer, or by name when there is no ID.
    std::string id = stringOf(ds, DCM_PatientID);
    std::string patient = id.empty() ? "name\n" + stringOf(ds, DCM_PatientName)
                                     : "id\n" + stringOf(ds, DCM_IssuerOfPatientID) + "\n" + id;
    unsigned char mac[32];
    hmac(key, "patient\n" + patient, mac);
    walker w{key, options, "ANONYMOUS^" + hex(mac, 6), "ANON" + hex(mac, 6), 0, false};
    // 1..3650 days back.
    uint32_t r =
        ((uint32_t)mac[28] << 24) | ((uint32_t)mac[29] << 16) | ((uint32_t)mac[30] << 8) | mac[31];
    w.shiftDays = 1 + (int)(r % 3650);

    walkItem(&w, ds);

    ds->putAndInsertString(DCM_PatientName, w.pseudonymName.c_str());
    ds->putAndInsertString(DCM_PatientID, w.pseudonymId.c_str());
    ds->putAndInsertString(DCM_PatientIdentityRemoved, "YES");
    std::string method = "Basic profile";
    if (options.shiftDates)
        method += ", modified dates";
    if (options.retainDevice)
        method += ", device identity";
    if (options.retainPatient)
        method += ", patient characteristics";
    ds->putAndInsertString(DCM_DeidentificationMethod, method.c_str());
    ds->findAndDeleteElement(DCM_DeidentificationMethodCodeSequence);
    addCode(ds, "113100", "Basic Application Confidentiality Profile");
    if (options.shiftDates)
        addCode(ds, "113107", "Retain Longitudinal Temporal Information Modified Dates Option");
    if (options.retainDevice)
        addCode(ds, "113109", "Retain Device Identity Option");
    if (options.retainPatient)
        addCode(ds, "113108", "Retain Patient Characteristics Option");
    if (options.shiftDates)
        ds->putAndInsertString(DCM_LongitudinalTemporalInformationModified, "MODIFIED");
    else
        ds->findAndDeleteElement(DCM_LongitudinalTemporalInformationModified);

    result->pseudonymName = w.pseudonymName;
    result->pseudonymId = w.pseudonymId;
    result->study = stringOf(ds, DCM_StudyInstanceUID);
    result->series = stringOf(ds, DCM_SeriesInstanceUID);
    result->instance = stringOf(ds, DCM_SOPInstanceUID);
    return DEIDENTIFY_DONE;
}

int deidentify_file(const deidentify_key &key, const deidentify_options &options, DcmFileFormat *ff,
                    deidentify_result *result)
{
    int r = deidentify_dataset(key, options, ff->getDataset(), result);
    if (r != DEIDENTIFY_DONE)
        return r;
    DcmMetaInfo *meta = ff->getMetaInfo();
    // The sending and receiving titles name the sites: gone; the file's
    // instance follows the data set's.
    meta->findAndDeleteElement(DCM_SourceApplicationEntityTitle);
    meta->findAndDeleteElement(DcmTagKey(0x0002, 0x0017));
    meta->findAndDeleteElement(DcmTagKey(0x0002, 0x0018));
    meta->findAndDeleteElement(DCM_PrivateInformationCreatorUID);
    meta->findAndDeleteElement(DCM_PrivateInformation);
    meta->putAndInsertString(DCM_MediaStorageSOPInstanceUID, result->instance.c_str());
    return r;
}

int deidentify_encode(DcmFileFormat *ff, std::string *out)
{
    out->clear();
    E_TransferSyntax xfer = ff->getDataset()->getOriginalXfer();
    if (xfer == EXS_Unknown)
        xfer = EXS_LittleEndianExplicit;
    // The encoding's length known ahead: the string is allocated once, not
    // grown by doubling (which would hold up to twice the image at once).
    out->reserve((size_t)ff->calcElementLength(xfer, EET_ExplicitLength) + 1024);
    std::vector<char> buffer(256 * 1024);
    DcmOutputBufferStream stream(buffer.data(), buffer.size());
    DcmWriteCache cache;
    OFCondition cond;
    ff->transferInit();
    do {
        // EC_StreamNotifyClient: the buffer is full; empty it and go on.
        cond = ff->write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_withoutPadding,
                         0, 0, 0, EWM_updateMeta);
        if (cond.bad() && cond != EC_StreamNotifyClient)
            break;
        if (cond.good())
            stream.flush();
        void *piece = nullptr;
        offile_off_t length = 0;
        stream.flushBuffer(piece, length);
        out->append(static_cast<const char *>(piece), (size_t)length);
    } while (cond == EC_StreamNotifyClient);
    ff->transferEnd();
    return cond.good() ? 0 : -1;
}

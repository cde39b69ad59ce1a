// Unit tests of hl7/: the ADT events A08, A40 and A47 read from messages
// in ASCII, Latin-1 and UTF-8 with escapes and other separators; the
// refusals of what the archive must not act on (with the ACK's codes);
// the ACK's fields; MLLP framing split across reads and its limits.
#include <gtest/gtest.h>

#include <string>

#include "hl7/hl7adt.h"
#include "hl7/mllp.h"

static int read(const std::string &text, hl7_adt *adt, hl7_refusal *why)
{
    hl7_message m;
    std::string error;
    if (hl7_parse(text.data(), text.size(), &m, &error) != 0) {
        why->text = error;
        why->code = -1;
        return -2;
    }
    return hl7_readAdt(m, adt, why);
}

static const char *MSH_A08 =
    "MSH|^~\\&|HIS|HOSP|VELTO|RAD|20261210120000||ADT^A08^ADT_A01|MSG1|P|2.5";

TEST(Hl7Adt, UpdateInLatin1WithEscapesAndNull)
{
    // O'Brien-Müller in Latin-1, a component separator escaped in the given
    // name, the birth date cleared with "", sex U (unknown: empty).
    std::string msg =
        std::string(MSH_A08) + "||||||8859/1\rEVN|A08|20261210\r" +
        "PID|1||12345^^^HOSP^MR~999^^^OTHER^PI||O'Brien-M\xFCller^Anna\\S\\Marie^B^Jr^Dr||\"\"|U\r";
    hl7_adt adt;
    hl7_refusal why;
    // An escaped ^ is a character of the given name, which DICOM cannot hold.
    ASSERT_EQ(read(msg, &adt, &why), -1);
    msg.replace(msg.find("\\S\\"), 3, " ");
    ASSERT_EQ(read(msg, &adt, &why), 0) << why.text;
    EXPECT_EQ(adt.kind, HL7_ADT_UPDATE);
    EXPECT_EQ(adt.patientId, "12345");
    EXPECT_EQ(adt.issuer, "HOSP");
    EXPECT_TRUE(adt.setName);
    EXPECT_EQ(adt.name, "O'Brien-M\xC3\xBCller^Anna Marie^B^Dr^Jr");
    EXPECT_TRUE(adt.setBirthDate);
    EXPECT_EQ(adt.birthDate, "");
    EXPECT_TRUE(adt.setSex);
    EXPECT_EQ(adt.sex, "");
}

TEST(Hl7Adt, NameSeparatorInAValueIsRefused)
{
    std::string msg = std::string(MSH_A08) + "\rPID|1||12345||Smith^Anna\\S\\Marie\r";
    hl7_adt adt;
    hl7_refusal why;
    ASSERT_EQ(read(msg, &adt, &why), -1);
    EXPECT_STREQ(why.ack, HL7_ACK_ERROR);
    EXPECT_EQ(why.code, HL7_ERR_DATA_TYPE);
}

TEST(Hl7Adt, Utf8AndOtherSeparators)
{
    std::string msg =
        "MSH#@*$%#HIS#HOSP#VELTO#RAD#20261210##ADT@A08#M2#P#2.5.1######UNICODE UTF-8\r"
        "PID#1##A1@@@$X41$UTH##\xE5\xB1\xB1\xE7\x94\xB0@\xE5\xA4\xAA\xE9\x83\x8E##19700230\r";
    hl7_adt adt;
    hl7_refusal why;
    // 30 February passes the day check (31 at most); a month 13 does not.
    ASSERT_EQ(read(msg, &adt, &why), 0) << why.text;
    EXPECT_EQ(adt.patientId, "A1");
    EXPECT_EQ(adt.issuer, "AUTH");
    EXPECT_EQ(adt.name, "\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E");
    EXPECT_EQ(adt.birthDate, "19700230");
    EXPECT_FALSE(adt.setSex);
    std::string bad = msg;
    bad.replace(bad.find("19700230"), 8, "19701330");
    EXPECT_EQ(read(bad, &adt, &why), -1);
    // Bytes that are not UTF-8 in a message that says UTF-8.
    bad = msg;
    bad.replace(bad.find("\xE5\xB1\xB1"), 3, "\xFF\xFE");
    EXPECT_EQ(read(bad, &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_DATA_TYPE);
}

TEST(Hl7Adt, NonAsciiWithoutCharacterSetIsRefused)
{
    std::string msg = std::string(MSH_A08) + "\rPID|1||12345||M\xFCller^Anna\r";
    hl7_adt adt;
    hl7_refusal why;
    EXPECT_EQ(read(msg, &adt, &why), -1);
    msg = std::string(MSH_A08) + "||||||ISO IR87\rPID|1||12345||Name\r";
    EXPECT_EQ(read(msg, &adt, &why), -2); // not parsed: the set is not read here
}

TEST(Hl7Adt, MergeAndChangeId)
{
    std::string a40 = "MSH|^~\\&|HIS|HOSP|VELTO|RAD|20261210||ADT^A40^ADT_A39|M3|P|2.5\rEVN|A40\r"
                      "PID|1||B-2^^^HOSP^MR||Doe^Jane\rMRG|A-1^^^HOSP^MR\r";
    hl7_adt adt;
    hl7_refusal why;
    ASSERT_EQ(read(a40, &adt, &why), 0) << why.text;
    EXPECT_EQ(adt.kind, HL7_ADT_MERGE);
    EXPECT_EQ(adt.patientId, "B-2");
    EXPECT_EQ(adt.priorId, "A-1");
    EXPECT_EQ(adt.priorIssuer, "HOSP");
    std::string a47 = a40;
    a47.replace(a47.find("A40^ADT_A39"), 11, "A47^ADT_A30");
    ASSERT_EQ(read(a47, &adt, &why), 0) << why.text;
    EXPECT_EQ(adt.kind, HL7_ADT_CHANGE_ID);
    // No MRG, two MRGs, MRG naming PID's own patient.
    std::string bad = a40.substr(0, a40.find("MRG"));
    EXPECT_EQ(read(bad, &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_REQUIRED_MISSING);
    EXPECT_EQ(read(a40 + "MRG|C-3\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_SEGMENT_SEQUENCE);
    bad = a40;
    bad.replace(bad.find("A-1"), 3, "B-2");
    EXPECT_EQ(read(bad, &adt, &why), -1);
}

TEST(Hl7Adt, WhatIsNotActedOn)
{
    hl7_adt adt;
    hl7_refusal why;
    EXPECT_EQ(read("MSH|^~\\&|A|B|C|D|2026||ORM^O01|1|P|2.5\rPID|1||1\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_MESSAGE_TYPE);
    EXPECT_STREQ(why.ack, HL7_ACK_REJECT);
    EXPECT_EQ(read("MSH|^~\\&|A|B|C|D|2026||ADT^A01|1|P|2.5\rPID|1||1\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_EVENT);
    EXPECT_EQ(read("MSH|^~\\&|A|B|C|D|2026||ADT^A08|1|P|3.0\rPID|1||1||N\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_VERSION);
    // No identifier; an A08 that changes nothing; a bad sex.
    EXPECT_EQ(read(std::string(MSH_A08) + "\rPID|1||^^^HOSP||Doe\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_REQUIRED_MISSING);
    EXPECT_EQ(read(std::string(MSH_A08) + "\rPID|1||7\r", &adt, &why), -1);
    EXPECT_EQ(read(std::string(MSH_A08) + "\rPID|1||7|||||X\r", &adt, &why), -1);
    EXPECT_EQ(why.code, HL7_ERR_TABLE_VALUE);
    // An identifier with a backslash, and one longer than DICOM holds.
    EXPECT_EQ(read(std::string(MSH_A08) + "\rPID|1||a\\E\\b||Doe\r", &adt, &why), -1);
    EXPECT_EQ(
        read(std::string(MSH_A08) + "\rPID|1||" + std::string(65, '7') + "||Doe\r", &adt, &why),
        -1);
    // Not HL7: no MSH, equal separators, a second MSH, a NUL byte.
    EXPECT_EQ(read("PID|1||7\r", &adt, &why), -2);
    EXPECT_EQ(read("MSH|^^\\&|A\r", &adt, &why), -2);
    EXPECT_EQ(read(std::string(MSH_A08) + "\r" + MSH_A08 + "\r", &adt, &why), -2);
    EXPECT_EQ(read(std::string(MSH_A08) + std::string("\rPID|1||7||D\0e\r", 15), &adt, &why), -2);
}

TEST(Hl7Ack, FieldsAndEscapes)
{
    std::string text =
        "MSH|^~\\&|HIS^1.2.3^ISO|HOSP|VELTO|RAD|20261210||ADT^A40|C\\F\\7|P|2.4||||||8859/1\r"
        "PID|1||7\r";
    hl7_message m;
    std::string error;
    ASSERT_EQ(hl7_parse(text.data(), text.size(), &m, &error), 0) << error;
    std::string ack = hl7_ack(&m, HL7_ACK_ERROR, HL7_ERR_UNKNOWN_KEY, "no patient M\xC3\xBC|ller",
                              "ACK1", "20261210120001");
    hl7_message a;
    ASSERT_EQ(hl7_parse(ack.data(), ack.size(), &a, &error), 0) << error << ack;
    const hl7_message::segment *msh = hl7_findSegment(a, "MSH");
    EXPECT_EQ(hl7_raw(a, msh, 3, 0, 1), "VELTO");
    EXPECT_EQ(hl7_raw(a, msh, 5, 0, 0), "HIS^1.2.3^ISO");
    EXPECT_EQ(hl7_raw(a, msh, 9, 0, 0), "ACK^A40^ACK");
    EXPECT_EQ(hl7_raw(a, msh, 12, 0, 0), "2.4");
    EXPECT_EQ(a.charsetName, "8859/1");
    const hl7_message::segment *msa = hl7_findSegment(a, "MSA");
    EXPECT_EQ(hl7_raw(a, msa, 1, 0, 0), "AE");
    std::string id;
    ASSERT_EQ(hl7_text(a, hl7_raw(a, msa, 2, 0, 0), &id, &error), 0);
    EXPECT_EQ(id, "C|7");
    // The text's bytes outside ASCII are \X escapes: the ACK is ASCII.
    for (unsigned char c : ack)
        EXPECT_LT(c, 0x80);
    const hl7_message::segment *err = hl7_findSegment(a, "ERR");
    EXPECT_EQ(hl7_raw(a, err, 3, 0, 1), "204");
    EXPECT_EQ(hl7_raw(a, err, 4, 0, 1), "E");
    // A message not parsed at all is still answered.
    std::string bare =
        hl7_ack(nullptr, HL7_ACK_REJECT, HL7_ERR_SEGMENT_SEQUENCE, "not HL7", "A2", "2026");
    ASSERT_EQ(hl7_parse(bare.data(), bare.size(), &a, &error), 0) << error;
    EXPECT_EQ(hl7_raw(a, hl7_findSegment(a, "MSA"), 1, 0, 0), "AR");
}

TEST(Mllp, FramesSplitAcrossReadsAndLimits)
{
    std::string stream = mllp_frame("MSH|one") + "\r\n" + mllp_frame("MSH|two");
    std::string buffer, message;
    std::vector<std::string> got;
    // One byte at a time, as a slow sender's reads may come.
    for (char c : stream) {
        buffer += c;
        int r;
        while ((r = mllp_take(&buffer, &message, 100)) == 1)
            got.push_back(message);
        ASSERT_EQ(r, 0);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "MSH|one");
    EXPECT_EQ(got[1], "MSH|two");
    EXPECT_TRUE(buffer.empty());
    // Bytes before a start, a frame beyond the limit (ended or not), FS
    // without CR.
    buffer = "GET / HTTP/1.0\r\n";
    EXPECT_EQ(mllp_take(&buffer, &message, 100), -1);
    buffer = mllp_frame(std::string(101, 'x'));
    EXPECT_EQ(mllp_take(&buffer, &message, 100), -1);
    buffer = "\x0b" + std::string(102, 'x');
    EXPECT_EQ(mllp_take(&buffer, &message, 100), -1);
    buffer = "\x0bMSH\x1cX";
    EXPECT_EQ(mllp_take(&buffer, &message, 100), -1);
    buffer = mllp_frame(std::string(100, 'x'));
    EXPECT_EQ(mllp_take(&buffer, &message, 100), 1);
}

// libFuzzer target: any bytes through the MLLP framing, the parse, the ADT
// reading and the ACK, which must never crash or read out of bounds.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "hl7/hl7adt.h"
#include "hl7/mllp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string buffer((const char *)data, size), frame;
    if (mllp_take(&buffer, &frame, 1 << 16) != 1)
        frame.assign((const char *)data, size);
    hl7_message m;
    std::string error;
    if (hl7_parse(frame.data(), frame.size(), &m, &error) != 0) {
        hl7_ack(nullptr, HL7_ACK_REJECT, HL7_ERR_SEGMENT_SEQUENCE, error, "1", "20260101");
        return 0;
    }
    hl7_adt adt;
    hl7_refusal why;
    if (hl7_readAdt(m, &adt, &why) != 0)
        hl7_ack(&m, why.ack, why.code, why.text, "1", "20260101");
    else
        hl7_ack(&m, HL7_ACK_ACCEPT, 0, "", "1", "20260101");
    return 0;
}

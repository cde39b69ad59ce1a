// The Minimal Lower Layer Protocol that carries HL7 messages over TCP: each
// message framed as <VT> message <FS><CR>. A stream's bytes are gathered by
// the caller and handed here to take whole frames out.
#ifndef VELTO_HL7_MLLP_H
#define VELTO_HL7_MLLP_H

#include <stddef.h>

#include <string>

enum {
    MLLP_START = 0x0B, // VT
    MLLP_END = 0x1C,   // FS, followed by CR
};

// Takes the first whole frame out of *buffer (the bytes of a connection so
// far) into *message, without its framing. Returns 1 when a frame was
// taken, 0 when the buffer holds no whole frame yet (and nothing wrong so
// far), -1 when the stream is not MLLP (bytes other than white space
// before a frame's start) or a frame grows beyond max bytes: the caller
// ends the connection. Memory stays within max plus what one read adds.
int mllp_take(std::string *buffer, std::string *message, size_t max);

// message framed for the wire.
std::string mllp_frame(const std::string &message);

#endif

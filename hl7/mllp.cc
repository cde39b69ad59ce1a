// MLLP framing (hl7/mllp.h).
#include "hl7/mllp.h"

int mllp_take(std::string *buffer, std::string *message, size_t max)
{
    size_t start = 0;
    // White space between frames (a CR or LF some senders add) is passed over.
    while (start < buffer->size() && (*buffer)[start] != MLLP_START) {
        char c = (*buffer)[start];
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t')
            return -1;
        start++;
    }
    if (start > 0)
        buffer->erase(0, start);
    if (buffer->empty())
        return 0;
    size_t end = buffer->find((char)MLLP_END, 1);
    if (end == std::string::npos)
        return buffer->size() > max + 1 ? -1 : 0;
    if (end - 1 > max)
        return -1;
    if (end + 1 >= buffer->size())
        return 0; // the CR after FS not here yet
    if ((*buffer)[end + 1] != '\r')
        return -1;
    message->assign(*buffer, 1, end - 1);
    buffer->erase(0, end + 2);
    return 1;
}

std::string mllp_frame(const std::string &message)
{
    std::string out;
    out.reserve(message.size() + 3);
    out += (char)MLLP_START;
    out += message;
    out += (char)MLLP_END;
    out += '\r';
    return out;
}

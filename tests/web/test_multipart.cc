// The streaming multipart reader: the parts come out the same however the
// body is cut into pieces (down to one byte at a time, a boundary split
// across pieces), bytes that look almost like a boundary stay data, and a
// body without its closing delimiter is seen as incomplete. Also the
// parsing of Content-Type values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/multipart.h"

namespace
{

struct collected {
    std::vector<std::string> headers, bodies;
    int ended = 0;
    bool stopAtData = false;
};

int onBegin(void *cls, const std::string &headers)
{
    collected *c = static_cast<collected *>(cls);
    c->headers.push_back(headers);
    c->bodies.emplace_back();
    return 0;
}

int onData(void *cls, const char *data, size_t len)
{
    collected *c = static_cast<collected *>(cls);
    c->bodies.back().append(data, len);
    return c->stopAtData ? 1 : 0;
}

int onEnd(void *cls)
{
    static_cast<collected *>(cls)->ended++;
    return 0;
}

// Feeds body in pieces of size step; returns the reader's completeness.
int readAll(const std::string &body, size_t step, collected *c, int *fed = nullptr)
{
    multipart_reader r;
    multipart_init(&r, "b0und", multipart_sink{onBegin, onData, onEnd, c});
    int result = 0;
    for (size_t i = 0; i < body.size() && result == 0; i += step)
        result = multipart_feed(&r, body.data() + i, std::min(step, body.size() - i));
    if (fed)
        *fed = result;
    return multipart_complete(&r);
}

const std::string kBody = "preamble text\r\n"
                          "--b0und\r\n"
                          "Content-Type: application/dicom\r\n"
                          "X-Other: 1\r\n\r\n"
                          "first\r\n--b0un not a boundary\r\n\r\n"
                          "\r\n--b0und   \r\n"
                          "Content-Type: application/dicom\r\n\r\n"
                          "\r\n--b0und\r\n"
                          "\r\n" +
                          std::string("third\0with nul", 14) +
                          "\r\n--b0und--\r\n"
                          "epilogue --b0und";

} // namespace

TEST(Multipart, SamePartsForEveryPieceSize)
{
    for (size_t step : {1u, 2u, 3u, 7u, 9u, 64u, 100000u}) {
        collected c;
        EXPECT_EQ(readAll(kBody, step, &c), 1) << step;
        ASSERT_EQ(c.bodies.size(), 3u) << step;
        EXPECT_EQ(c.ended, 3);
        EXPECT_EQ(c.headers[0], "Content-Type: application/dicom\r\nX-Other: 1");
        EXPECT_EQ(c.bodies[0], "first\r\n--b0un not a boundary\r\n\r\n");
        EXPECT_EQ(c.headers[1], "Content-Type: application/dicom");
        EXPECT_EQ(c.bodies[1], "");
        EXPECT_EQ(c.headers[2], "");
        EXPECT_EQ(c.bodies[2], std::string("third\0with nul", 14)) << step;
    }
}

TEST(Multipart, BodyWithoutClosingDelimiterIsIncomplete)
{
    std::string body = "--b0und\r\n\r\npartial data";
    collected c;
    EXPECT_EQ(readAll(body, 4, &c), 0);
    EXPECT_EQ(c.ended, 0);
    // What is held back is never more than a delimiter's length.
    ASSERT_EQ(c.bodies.size(), 1u);
    EXPECT_GE(c.bodies[0].size(), std::string("partial data").size() - 8);
}

TEST(Multipart, SinkCanStopTheReader)
{
    collected c;
    c.stopAtData = true;
    int fed = 0;
    EXPECT_EQ(readAll(kBody, 1000, &c, &fed), 0);
    EXPECT_EQ(fed, -1);
}

TEST(Multipart, ContentTypeParameters)
{
    const char *v = "Multipart/Related ; type=\"application/dicom\"; boundary=XYZ ;"
                    " start=\"<a;b>\"";
    EXPECT_EQ(multipart_mediaType(v), "multipart/related");
    EXPECT_EQ(multipart_parameter(v, "type"), "application/dicom");
    EXPECT_EQ(multipart_parameter(v, "BOUNDARY"), "XYZ");
    EXPECT_EQ(multipart_parameter(v, "start"), "<a;b>");
    EXPECT_EQ(multipart_parameter(v, "charset"), "");
    EXPECT_EQ(multipart_parameter(nullptr, "type"), "");
    EXPECT_EQ(multipart_mediaType("image/png"), "image/png");
}

TEST(Multipart, HostileBodiesEndTheReaderWithoutHoldingThem)
{
    // Part headers that never end, and a line after a boundary that never
    // ends: refused once past their limits, never held whole.
    for (const std::string &head : {std::string("--b0und\r\nX: ") + std::string(70000, 'a'),
                                    std::string("--b0und") + std::string(2000, ' ')}) {
        collected c;
        int fed = 0;
        EXPECT_EQ(readAll(head, 512, &c, &fed), 0);
        EXPECT_EQ(fed, -1);
        EXPECT_TRUE(c.headers.empty());
    }
    // A hundred thousand empty parts: each comes out, none is kept.
    std::string many;
    for (int i = 0; i < 100000; i++)
        many += "--b0und\r\n\r\n\r\n";
    many += "--b0und--";
    collected c;
    EXPECT_EQ(readAll(many, 4096, &c), 1);
    EXPECT_EQ(c.ended, 100000);
    // A body that is all almost-boundaries stays data of its one part.
    std::string near = "--b0und\r\n\r\n";
    for (int i = 0; i < 10000; i++)
        near += "\r\n--b0un";
    near += "\r\n--b0und--";
    collected d;
    EXPECT_EQ(readAll(near, 7, &d), 1);
    ASSERT_EQ(d.bodies.size(), 1u);
    EXPECT_EQ(d.bodies[0].size(), 10000u * 8);
}

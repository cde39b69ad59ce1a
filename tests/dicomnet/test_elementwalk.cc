// The streaming element walk (dicomnet/elementwalk.h) on hostile data sets:
// nesting far beyond the limit in every encoding that nests, lengths that
// claim more than the limit (found at their header, with no value fed),
// lengths that lie, elements out of order, and the same verdict whatever
// the pieces the bytes come in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "dicomnet/elementwalk.h"

namespace
{

std::string le16(unsigned v)
{
    return std::string{(char)(v & 0xff), (char)(v >> 8 & 0xff)};
}

std::string le32(uint32_t v)
{
    return le16(v & 0xffff) + le16(v >> 16);
}

// Explicit VR little endian element with a short or long length field.
std::string explicitElement(unsigned g, unsigned e, const char *vr, const std::string &value)
{
    std::string v = std::string(vr, 2);
    bool longVr = std::string("OBOWSQUNUTUC").find(vr) != std::string::npos;
    return le16(g) + le16(e) + v +
           (longVr ? le16(0) + le32((uint32_t)value.size()) : le16((unsigned)value.size())) + value;
}

std::string implicitElement(unsigned g, unsigned e, uint32_t length, const std::string &value)
{
    return le16(g) + le16(e) + le32(length) + value;
}

const uint32_t UNDEF = 0xFFFFFFFFu;

// depth sequences (0008,1115) nested through one item each, undefined
// lengths, implicit VR.
std::string nestedUndefined(int depth)
{
    std::string open, close;
    for (int i = 0; i < depth; i++) {
        open +=
            implicitElement(0x0008, 0x1115, UNDEF, "") + le16(0xFFFE) + le16(0xE000) + le32(UNDEF);
        close += le16(0xFFFE) + le16(0xE00D) + le32(0) + le16(0xFFFE) + le16(0xE0DD) + le32(0);
    }
    return open + close;
}

// The same with defined lengths, explicit VR (SQ) or implicit VR (known
// only to a dictionary).
std::string nestedDefined(int depth, bool explicitVr)
{
    std::string inner = explicitVr ? explicitElement(0x0010, 0x0010, "PN", "DOE^JOHN")
                                   : implicitElement(0x0010, 0x0010, 8, "DOE^JOHN");
    for (int i = 0; i < depth; i++) {
        std::string item = le16(0xFFFE) + le16(0xE000) + le32((uint32_t)inner.size()) + inner;
        inner = explicitVr ? explicitElement(0x0008, 0x1115, "SQ", item)
                           : implicitElement(0x0008, 0x1115, (uint32_t)item.size(), item);
    }
    return inner;
}

bool dictionarySequence(unsigned group, unsigned element)
{
    return group == 0x0008 && element == 0x1115;
}

// Walks bytes fed in pieces of step (0: at once) and finishes.
int walk(const std::string &bytes, bool implicitVr, size_t step = 0, uint64_t maxLength = 0,
         elementwalk *out = nullptr)
{
    elementwalk local;
    elementwalk *w = out != nullptr ? out : &local;
    elementwalk_init(w, implicitVr, false);
    w->maxLength = maxLength;
    w->strictVr = true;
    w->isSequence = dictionarySequence;
    size_t piece = step == 0 ? bytes.size() : step;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
        int r = elementwalk_feed(w, (const unsigned char *)bytes.data() + at, n);
        if (r != ELEMENTWALK_MORE)
            return r;
    }
    return elementwalk_finish(w);
}

TEST(ElementWalk, NestingBeyondTheLimitIsRefusedInEveryEncodingThatNests)
{
    // 10,000 levels crash the toolkit's recursive parser; the walk keeps a
    // stack of its own and stops at the limit.
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedUndefined(10000), true));
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedDefined(10000, true), false));
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedDefined(10000, false), true));
    // The limit itself is allowed, one more is not.
    EXPECT_EQ(ELEMENTWALK_MORE, walk(nestedUndefined(ELEMENTWALK_MAX_DEPTH), true));
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedUndefined(ELEMENTWALK_MAX_DEPTH + 1), true));
    EXPECT_EQ(ELEMENTWALK_MORE, walk(nestedDefined(ELEMENTWALK_MAX_DEPTH, true), false));
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedDefined(ELEMENTWALK_MAX_DEPTH + 1, false), true));
    // Byte by byte: the same verdicts.
    EXPECT_EQ(ELEMENTWALK_TOO_DEEP, walk(nestedUndefined(1000), true, 1));
    EXPECT_EQ(ELEMENTWALK_MORE, walk(nestedDefined(ELEMENTWALK_MAX_DEPTH, true), false, 1));
}

TEST(ElementWalk, AClaimBeyondTheLimitIsRefusedAtItsHeader)
{
    std::string head = explicitElement(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2") +
                       explicitElement(0x0008, 0x0018, "UI", "1.2.3.4") + le16(0x7FE0) +
                       le16(0x0010) + "OB" + le16(0) + le32(0xFFFFFFF0u);
    elementwalk w;
    elementwalk_init(&w, false, false);
    w.maxLength = 1u << 20;
    // Only the header is fed: the 4 GB are never waited for.
    EXPECT_EQ(ELEMENTWALK_TOO_LONG,
              elementwalk_feed(&w, (const unsigned char *)head.data(), head.size()));
    // A data set that grows past the limit element by element.
    std::string many;
    for (int i = 0; i < 20; i++)
        many += explicitElement(0x0011, 0x1000 + i, "OB", std::string(60000, '\0'));
    EXPECT_EQ(ELEMENTWALK_TOO_LONG, walk(many, false, 4096, 1u << 20));
    EXPECT_EQ(ELEMENTWALK_MORE, walk(many, false, 4096, 2u << 20));
}

TEST(ElementWalk, LengthsThatLieAndUnknownVrsAreFoundAndUidsRead)
{
    // An item longer than its sequence.
    std::string item = le16(0xFFFE) + le16(0xE000) + le32(100) + std::string(8, '\0');
    EXPECT_EQ(ELEMENTWALK_DAMAGED, walk(explicitElement(0x0008, 0x1115, "SQ", item), false));
    // A sequence never closed, and a data set cut inside a value.
    EXPECT_EQ(ELEMENTWALK_DAMAGED, walk(nestedUndefined(3).substr(0, 48), true));
    std::string cut = explicitElement(0x0010, 0x0010, "PN", "DOE^JOHN");
    EXPECT_EQ(ELEMENTWALK_DAMAGED, walk(cut.substr(0, cut.size() - 2), false));
    // An item delimitation in the data set itself.
    EXPECT_EQ(ELEMENTWALK_DAMAGED, walk(le16(0xFFFE) + le16(0xE00D) + le32(0), true));
    // Not a VR; and, strictly, two letters that are none.
    EXPECT_EQ(ELEMENTWALK_FOREIGN,
              walk(le16(0x0010) + le16(0x0010) + "p\x01" + le16(2) + "AB", false));
    EXPECT_EQ(ELEMENTWALK_FOREIGN, walk(explicitElement(0x0010, 0x0010, "QQ", "AB"), false));
    // Out of order and repeated elements (the toolkit, fed in pieces, would
    // read the rest of such a value as elements); each item has an order of
    // its own.
    std::string a = explicitElement(0x0010, 0x0010, "PN", "AB");
    std::string b = explicitElement(0x0020, 0x000D, "UI", "1.2.3.4");
    EXPECT_EQ(ELEMENTWALK_DISORDERED, walk(b + a, false));
    EXPECT_EQ(ELEMENTWALK_DISORDERED, walk(a + a, false));
    std::string inItem = le16(0xFFFE) + le16(0xE000) + le32((uint32_t)a.size()) + a;
    EXPECT_EQ(ELEMENTWALK_MORE,
              walk(b + explicitElement(0x0040, 0xA730, "SQ", inItem + inItem), false));

    std::string ds =
        explicitElement(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7") + '\0') +
        explicitElement(0x0008, 0x0018, "UI", "1.2.3.4 ") +
        explicitElement(0x0008, 0x1115, "SQ",
                        le16(0xFFFE) + le16(0xE000) + le32(16) +
                            explicitElement(0x0008, 0x0018, "UI", "9.9.9.99"));
    for (size_t step : {0, 1, 3}) {
        elementwalk w;
        EXPECT_EQ(ELEMENTWALK_MORE, walk(ds, false, step, 0, &w));
        EXPECT_EQ("1.2.840.10008.5.1.4.1.1.7", w.sopClass);
        EXPECT_EQ("1.2.3.4", w.instance); // not the nested one
    }
}

} // namespace

// The head's top-level elements are recorded where each begins, up to
// ELEMENTWALK_MAX_ELEMENTS: a head of more is walked whole, no longer
// recorded, and said to be cut (its reader then parses all of it).
TEST(ElementWalk, RecordedElementsAreBounded)
{
    std::string bytes;
    const unsigned count = ELEMENTWALK_MAX_ELEMENTS + 100;
    for (unsigned i = 0; i < count; i++) {
        // Private elements (0009,xxxx), (000B,xxxx), ... in ascending order,
        // each an empty LO: 8 bytes.
        unsigned group = 0x0009 + 2 * (i / 0xFFF0), element = 0x0010 + i % 0xFFF0;
        unsigned char h[8] = {(unsigned char)(group & 0xFF),
                              (unsigned char)(group >> 8),
                              (unsigned char)(element & 0xFF),
                              (unsigned char)(element >> 8),
                              'L',
                              'O',
                              0,
                              0};
        bytes.append((const char *)h, sizeof h);
    }
    elementwalk w;
    elementwalk_init(&w, false, false);
    w.strictVr = true;
    w.recordElements = true;
    ASSERT_EQ(elementwalk_feed(&w, (const unsigned char *)bytes.data(), bytes.size()),
              ELEMENTWALK_MORE);
    ASSERT_EQ(elementwalk_finish(&w), ELEMENTWALK_MORE);
    EXPECT_EQ(w.elements.size(), (size_t)ELEMENTWALK_MAX_ELEMENTS);
    EXPECT_TRUE(w.elementsCut);
    EXPECT_EQ(w.elements[0].tag, 0x00090010u);
    EXPECT_EQ(w.elements[0].start, 0u);
    EXPECT_EQ(w.elements[1].start, 8u);
    EXPECT_EQ(w.elements.back().start, (uint64_t)(ELEMENTWALK_MAX_ELEMENTS - 1) * 8);

    // A head within the bound is recorded whole, up to the bulk only.
    std::string small = bytes.substr(0, 3 * 8);
    const unsigned char pixels[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 2, 0, 0, 0, 1, 2};
    small.append((const char *)pixels, sizeof pixels);
    elementwalk_init(&w, false, false);
    w.recordElements = true;
    ASSERT_EQ(elementwalk_feed(&w, (const unsigned char *)small.data(), small.size()),
              ELEMENTWALK_MORE);
    ASSERT_EQ(elementwalk_finish(&w), ELEMENTWALK_MORE);
    EXPECT_EQ(w.elements.size(), 3u);
    EXPECT_FALSE(w.elementsCut);
    EXPECT_EQ(w.bulkStart, 24u);
}

TEST(ElementWalk, ItemsAndElementsBeyondTheirLimitsAreRefusedAndCounted)
{
    // A sequence (0008,1115) of 10 items of one element each, after one
    // element: 11 elements at the top and within, 10 items.
    std::string items;
    for (int i = 0; i < 10; i++) {
        std::string body = implicitElement(0x0010, 0x0010, 4, "X^Y ");
        items += le16(0xFFFE) + le16(0xE000) + le32((uint32_t)body.size()) + body;
    }
    std::string bytes = implicitElement(0x0008, 0x0005, 10, "ISO_IR 100") +
                        implicitElement(0x0008, 0x1115, UNDEF, "") + items + le16(0xFFFE) +
                        le16(0xE0DD) + le32(0) + implicitElement(0x0010, 0x0020, 2, "P1");
    for (size_t step : {(size_t)0, (size_t)1, (size_t)7}) {
        elementwalk w;
        elementwalk_init(&w, true, false);
        w.isSequence = dictionarySequence;
        w.recordElements = true;
        ASSERT_EQ(elementwalk_feed(&w, (const unsigned char *)bytes.data(), bytes.size()),
                  ELEMENTWALK_MORE);
        ASSERT_EQ(elementwalk_finish(&w), ELEMENTWALK_MORE);
        EXPECT_EQ(w.items, 10);
        EXPECT_EQ(w.elementCount, 13);
        // The items each top-level element holds: the next one's count less
        // its own.
        ASSERT_EQ(w.elements.size(), 3u);
        EXPECT_EQ(w.elements[1].itemsBefore - w.elements[0].itemsBefore, 0);
        EXPECT_EQ(w.elements[2].itemsBefore - w.elements[1].itemsBefore, 10);

        elementwalk_init(&w, true, false);
        w.isSequence = dictionarySequence;
        w.maxItems = 9;
        size_t piece = step == 0 ? bytes.size() : step;
        int r = ELEMENTWALK_MORE;
        for (size_t at = 0; at < bytes.size() && r == ELEMENTWALK_MORE; at += piece)
            r = elementwalk_feed(&w, (const unsigned char *)bytes.data() + at,
                                 std::min(piece, bytes.size() - at));
        EXPECT_EQ(r, ELEMENTWALK_TOO_MANY) << step;

        elementwalk_init(&w, true, false);
        w.isSequence = dictionarySequence;
        w.maxElements = 12;
        r = ELEMENTWALK_MORE;
        for (size_t at = 0; at < bytes.size() && r == ELEMENTWALK_MORE; at += piece)
            r = elementwalk_feed(&w, (const unsigned char *)bytes.data() + at,
                                 std::min(piece, bytes.size() - at));
        EXPECT_EQ(r, ELEMENTWALK_TOO_MANY_ELEMENTS) << step;
    }
    // At the limits, the same bytes are whole.
    elementwalk w;
    elementwalk_init(&w, true, false);
    w.isSequence = dictionarySequence;
    w.maxItems = 10;
    w.maxElements = 13;
    ASSERT_EQ(elementwalk_feed(&w, (const unsigned char *)bytes.data(), bytes.size()),
              ELEMENTWALK_MORE);
    EXPECT_EQ(elementwalk_finish(&w), ELEMENTWALK_MORE);
}

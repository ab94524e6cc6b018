#include "mesh/protobuf_scan.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/test_support.h"
#include "tools/gateway-sim/proto_writer.h"

namespace vchat {
namespace {

using testing::fromHex;
using sim::ProtoWriter;

constexpr std::uint64_t kSentinel = 0xDEADBEEFCAFEF00Dull;

TEST(ProtoWriterTest, WritesTheWireFormatByHand) {
    // Field 1 varint 300, field 2 bytes "hi", field 3 fixed32 1.
    EXPECT_EQ(ProtoWriter{}.varint(1, 300).lengthDelimited(2, "hi").fixed32(3, 1).bytes,
              fromHex("08ac02") + fromHex("1202") + "hi" + fromHex("1d01000000"));
}

struct VarintCase {
    const char* hex;
    bool ok;
    std::uint64_t value;
    std::size_t length;
};

TEST(ParseVarintTest, EncodingBoundariesTruncationAndOverlength) {
    const VarintCase cases[] = {
        {"00", true, 0, 1},
        {"7f", true, 127, 1},
        {"8001", true, 128, 2},
        {"ff7f", true, 16383, 2},
        {"808001", true, 16384, 3},
        {"8000", true, 0, 2},                              // overlong zero is still a varint
        {"ffffffff0f", true, 0xFFFFFFFFull, 5},
        {"ffffffffffffffff7f", true, 0x7FFFFFFFFFFFFFFFull, 9},
        {"ffffffffffffffffff01", true, ~0ull, 10},         // 10 bytes, last below 0x80
        {"ffffffffffffffffff7f", true, ~0ull, 10},         // bits above 63 are dropped
        {"80808080808080808000", true, 0, 10},
        {"ffffffffffffffffff8001", false, 0, 0},           // 11 bytes: the tenth still continues
        {"8080808080808080808000", false, 0, 0},
        {"", false, 0, 0},
        {"80", false, 0, 0},                               // ends while continuing
        {"ffffffffffffffffff", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        // An exactly sized heap buffer, so a read past the end shows up under the address sanitizer.
        const std::string bytes = fromHex(c.hex);
        auto buffer = std::make_unique<char[]>(bytes.size() + (bytes.empty() ? 1 : 0));
        std::copy(bytes.begin(), bytes.end(), buffer.get());
        const char* const begin = buffer.get();
        std::uint64_t value = kSentinel;
        const char* next = nullptr;
        EXPECT_EQ(parseVarint(begin, begin + bytes.size(), value, next), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(next, begin + c.length);
        } else {
            EXPECT_EQ(value, kSentinel);
            EXPECT_EQ(next, nullptr);
        }
    }
}

TEST(ParseVarintTest, StopsAtTheGivenEndNotAtTheBufferEnd) {
    const std::string bytes = fromHex("8001");
    std::uint64_t value = kSentinel;
    const char* next = nullptr;
    EXPECT_FALSE(parseVarint(bytes.data(), bytes.data() + 1, value, next));
    EXPECT_EQ(value, kSentinel);
    EXPECT_TRUE(parseVarint(bytes.data() + 1, bytes.data() + 2, value, next));
    EXPECT_EQ(value, 1u);
}

// Records preset to junk prove that a scan resets what it returns.
Envelope junkEnvelope() { return Envelope{"junk label", "junk packet"}; }
MeshPacket junkPacket() { return MeshPacket{11, 22, "junk"}; }

TEST(ScanEnvelopeTest, EmptyInputFailsWithEmptyFields) {
    Envelope envelope = junkEnvelope();
    EXPECT_FALSE(scanEnvelope("", envelope));
    EXPECT_EQ(envelope.label, "");
    EXPECT_EQ(envelope.packet, "");
}

TEST(ScanEnvelopeTest, TypicalEnvelopeTakesLastPrintableLabelAndLastPacket) {
    const std::string packet = ProtoWriter{}.varint(1, 7).lengthDelimited(2, fromHex("00ff10")).bytes;
    const std::string input =
        ProtoWriter{}.lengthDelimited(2, "LongFast").lengthDelimited(3, "!433d7d0c").varint(4, 99).lengthDelimited(1, packet).bytes;
    Envelope envelope;
    EXPECT_TRUE(scanEnvelope(input, envelope));
    EXPECT_EQ(envelope.label, "!433d7d0c");
    EXPECT_EQ(envelope.packet, packet);
}

TEST(ScanEnvelopeTest, TrailingPrintableFieldBecomesBothLabelAndPacket) {
    const std::string input =
        ProtoWriter{}.lengthDelimited(1, std::string(30, '\x01')).lengthDelimited(2, "!abcdef12").bytes;
    Envelope envelope;
    EXPECT_TRUE(scanEnvelope(input, envelope));
    EXPECT_EQ(envelope.label, "!abcdef12");
    EXPECT_EQ(envelope.packet, "!abcdef12");
}

TEST(ScanEnvelopeTest, LabelRules) {
    struct Case {
        const char* name;
        std::string field;
        bool isLabel;
    };
    const Case cases[] = {
        {"one printable byte", "x", true},
        {"space and tilde edges", " ~", true},
        {"64 bytes", std::string(64, 'a'), true},
        {"65 bytes", std::string(65, 'a'), false},
        {"DEL", "ab\x7f", false},
        {"unit separator", "ab\x1f", false},
        {"high byte", "ab\x80", false},
        {"zero byte", std::string("a\0b", 3), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Envelope envelope;
        scanEnvelope(ProtoWriter{}.lengthDelimited(1, c.field).bytes, envelope);
        EXPECT_EQ(envelope.label, c.isLabel ? c.field : "");
        // Fields of two or more bytes are packets whether printable or not.
        EXPECT_EQ(envelope.packet, c.field.size() >= 2 ? c.field : "");
    }
}

TEST(ScanEnvelopeTest, SinglePrintableByteSetsLabelButFails) {
    Envelope envelope;
    EXPECT_FALSE(scanEnvelope(ProtoWriter{}.lengthDelimited(1, "A").varint(2, 5).bytes, envelope));
    EXPECT_EQ(envelope.label, "A");
    EXPECT_EQ(envelope.packet, "");
}

TEST(ScanEnvelopeTest, EmptyFieldChangesNothing) {
    Envelope envelope;
    EXPECT_TRUE(scanEnvelope(ProtoWriter{}.lengthDelimited(1, "ok").lengthDelimited(2, "").bytes, envelope));
    EXPECT_EQ(envelope.label, "ok");
    EXPECT_EQ(envelope.packet, "ok");
}

TEST(ScanEnvelopeTest, LengthPastTheEndKeepsWhatCameBefore) {
    const std::string good(20, '\x05');
    // Declares 50 bytes, holds 3.
    const std::string input = ProtoWriter{}.lengthDelimited(1, good).bytes + fromHex("1232") + "abc";
    Envelope envelope;
    EXPECT_TRUE(scanEnvelope(input, envelope));
    EXPECT_EQ(envelope.packet, good);
    // The same cut inside the first field: nothing is gathered.
    Envelope truncated = junkEnvelope();
    const std::string whole = ProtoWriter{}.lengthDelimited(1, good).bytes;
    EXPECT_FALSE(scanEnvelope(std::string_view(whole).substr(0, whole.size() - 1), truncated));
    EXPECT_EQ(truncated.packet, "");
}

TEST(ScanEnvelopeTest, LengthIsTakenFromTheLowThirtyTwoBits) {
    // Length varint 2^32 + 3: read as 3.
    const std::string input = fromHex("0a") + sim::varintBytes((1ull << 32) + 3) + "xyz";
    Envelope envelope;
    EXPECT_TRUE(scanEnvelope(input, envelope));
    EXPECT_EQ(envelope.packet, "xyz");
}

TEST(ScanEnvelopeTest, UnknownWireTypesEndTheWalk) {
    for (int wireType : {1, 3, 4, 5, 6, 7}) {
        SCOPED_TRACE(wireType);
        const std::string input = ProtoWriter{}.lengthDelimited(1, "first").bytes +
                                  static_cast<char>(2 << 3 | wireType) + std::string(8, '\0') +
                                  ProtoWriter{}.lengthDelimited(3, "after").bytes;
        Envelope envelope;
        EXPECT_TRUE(scanEnvelope(input, envelope));
        EXPECT_EQ(envelope.packet, "first");
    }
}

TEST(ScanMeshPacketTest, EmptyInputFailsWithZeroFields) {
    MeshPacket packet = junkPacket();
    EXPECT_FALSE(scanMeshPacket("", packet));
    EXPECT_EQ(packet.first, 0u);
    EXPECT_EQ(packet.second, 0u);
    EXPECT_EQ(packet.ciphertext, "");
}

TEST(ScanMeshPacketTest, FirstTagOfWireTypeFiveEndsTheWalkAtOnce) {
    MeshPacket packet;
    const std::string input = fromHex("0d01020304") + ProtoWriter{}.varint(1, 7).lengthDelimited(2, "ct").bytes;
    EXPECT_FALSE(scanMeshPacket(input, packet));
    EXPECT_EQ(packet.first, 0u);
    EXPECT_EQ(packet.ciphertext, "");
}

TEST(ScanMeshPacketTest, TakesFirstTwoNonZeroVarints) {
    MeshPacket packet;
    const std::string input = ProtoWriter{}
                                  .varint(1, 0)
                                  .varint(2, 7)
                                  .varint(3, 0)
                                  .varint(4, 9)
                                  .varint(5, 12)
                                  .lengthDelimited(6, "cipher")
                                  .bytes;
    EXPECT_TRUE(scanMeshPacket(input, packet));
    EXPECT_EQ(packet.first, 7u);
    EXPECT_EQ(packet.second, 9u);
    EXPECT_EQ(packet.ciphertext, "cipher");
}

TEST(ScanMeshPacketTest, NumbersKeepTheLowThirtyTwoBits) {
    MeshPacket packet;
    // 2^32 has zero low bits and so counts as zero; 2^32 + 5 counts as 5.
    const std::string input = ProtoWriter{}
                                  .varint(1, 1ull << 32)
                                  .varint(2, (1ull << 32) + 5)
                                  .varint(3, 4000000000u)
                                  .lengthDelimited(4, "c")
                                  .bytes;
    EXPECT_TRUE(scanMeshPacket(input, packet));
    EXPECT_EQ(packet.first, 5u);
    EXPECT_EQ(packet.second, 4000000000u);
}

TEST(ScanMeshPacketTest, LastNonEmptyFieldIsTheCiphertext) {
    MeshPacket packet;
    EXPECT_TRUE(scanMeshPacket(
        ProtoWriter{}.lengthDelimited(1, "old").varint(2, 1).lengthDelimited(3, "new").lengthDelimited(4, "").bytes, packet));
    EXPECT_EQ(packet.ciphertext, "new");
    // A one-byte field counts (unlike for the envelope packet).
    EXPECT_TRUE(scanMeshPacket(ProtoWriter{}.varint(2, 1).lengthDelimited(3, "x").bytes, packet));
    EXPECT_EQ(packet.ciphertext, "x");
}

TEST(ScanMeshPacketTest, FailsWithoutNumbersOrWithoutCiphertextButReturnsWhatItFound) {
    MeshPacket packet;
    EXPECT_FALSE(scanMeshPacket(ProtoWriter{}.varint(1, 3).varint(2, 4).bytes, packet));
    EXPECT_EQ(packet.first, 3u);
    EXPECT_EQ(packet.second, 4u);
    EXPECT_EQ(packet.ciphertext, "");

    EXPECT_FALSE(scanMeshPacket(ProtoWriter{}.varint(1, 0).lengthDelimited(2, "abc").bytes, packet));
    EXPECT_EQ(packet.first, 0u);
    EXPECT_EQ(packet.ciphertext, "abc");
}

TEST(ScanMeshPacketTest, BadVarintStopsTheWalkKeepingEarlierFields) {
    const std::string before = ProtoWriter{}.varint(1, 8).lengthDelimited(2, "ct").bytes;
    const std::string cases[] = {
        before + fromHex("80"),                                   // tag cut short
        before + fromHex("08ffff"),                               // value cut short
        before + fromHex("08ffffffffffffffffff8001"),             // value of 11 bytes
        before + fromHex("12"),                                   // length missing
    };
    for (const auto& input : cases) {
        MeshPacket packet;
        EXPECT_TRUE(scanMeshPacket(input, packet));
        EXPECT_EQ(packet.first, 8u);
        EXPECT_EQ(packet.second, 0u);
        EXPECT_EQ(packet.ciphertext, "ct");
    }
}

}  // namespace
}  // namespace vchat

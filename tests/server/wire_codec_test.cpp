#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "server/core/frame_decoder.h"
#include "server/core/request_packet.h"

using qn::FrameDecoder;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(qn::EncodeFrame(payload.data(), payload.size(), out));
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

class FrameDecoderTest : public ::testing::Test {
 protected:
  std::vector<Bytes> Drain() {
    std::vector<Bytes> frames;
    Bytes payload;
    while (decoder.Next(payload) == FrameDecoder::Status::kFrame) frames.push_back(payload);
    return frames;
  }
  FrameDecoder decoder;
};

TEST_F(FrameDecoderTest, TwoFramesInOneReadComeOutInOrder) {
  Bytes stream = Frame(Text("abc"));
  Bytes second = Frame(Text("de"));
  stream.insert(stream.end(), second.begin(), second.end());
  decoder.Append(stream.data(), stream.size());
  auto frames = Drain();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], Text("abc"));
  EXPECT_EQ(frames[1], Text("de"));
  EXPECT_EQ(decoder.Held(), 0u);
}

TEST_F(FrameDecoderTest, FrameFedOneByteAtATimeIsDeliveredOnceComplete) {
  Bytes payload(1000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Bytes stream = Frame(payload);
  Bytes out;
  for (size_t i = 0; i + 1 < stream.size(); ++i) {
    decoder.Append(&stream[i], 1);
    ASSERT_EQ(decoder.Next(out), FrameDecoder::Status::kNeedMore) << "at byte " << i;
  }
  decoder.Append(&stream.back(), 1);
  ASSERT_EQ(decoder.Next(out), FrameDecoder::Status::kFrame);
  EXPECT_EQ(out, payload);
}

TEST_F(FrameDecoderTest, LimitIs32767) {
  Bytes payload(qn::kMaxFrame, 0x5A);
  Bytes stream = Frame(payload);
  decoder.Append(stream.data(), stream.size());
  Bytes out;
  ASSERT_EQ(decoder.Next(out), FrameDecoder::Status::kFrame);
  EXPECT_EQ(out.size(), qn::kMaxFrame);

  const uint8_t tooLong[] = {0x00, 0x80};  // 32768, before any payload arrives
  decoder.Append(tooLong, sizeof tooLong);
  EXPECT_EQ(decoder.Next(out), FrameDecoder::Status::kTooLong);
  Bytes encoded;
  EXPECT_FALSE(qn::EncodeFrame(payload.data(), qn::kMaxFrame + 1, encoded));
}

TEST_F(FrameDecoderTest, ZeroLengthFrameIsAnEmptyPayload) {
  const uint8_t stream[] = {0, 0, 1, 0, 'x'};
  decoder.Append(stream, sizeof stream);
  auto frames = Drain();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].empty());
  EXPECT_EQ(frames[1], Text("x"));
}

TEST_F(FrameDecoderTest, IdleDecoderGivesItsBufferBack) {
  Bytes stream = Frame(Bytes(20000, 1));
  decoder.Append(stream.data(), stream.size() - 1);
  Bytes out;
  EXPECT_EQ(decoder.Next(out), FrameDecoder::Status::kNeedMore);
  EXPECT_GE(decoder.Capacity(), 20000u);
  decoder.Append(&stream.back(), 1);
  EXPECT_EQ(decoder.Next(out), FrameDecoder::Status::kFrame);
  EXPECT_EQ(decoder.Capacity(), 0u);
}

TEST_F(FrameDecoderTest, AHalfSentFrameIsHeldInItsDeclaredLengthWhateverTheReads) {
  const Bytes frame = Frame(Bytes(30000, 7));
  // In small pieces, and at the end of a read full of whole frames.
  for (size_t at = 0; at + 1000 < frame.size(); at += 1000) decoder.Append(frame.data() + at, 1000);
  Bytes out;
  EXPECT_EQ(decoder.Next(out), FrameDecoder::Status::kNeedMore);
  EXPECT_LE(decoder.Capacity(), frame.size());

  FrameDecoder other;
  Bytes read;
  while (read.size() < 60000) {
    const Bytes small = Frame(Bytes(50, 1));
    read.insert(read.end(), small.begin(), small.end());
  }
  read.insert(read.end(), frame.begin(), frame.begin() + 100);
  other.Append(read.data(), read.size());
  while (other.Next(out) == FrameDecoder::Status::kFrame) {
  }
  EXPECT_EQ(other.Held(), 100u);
  EXPECT_LE(other.Capacity(), frame.size());
  other.Append(frame.data() + 100, frame.size() - 100);
  ASSERT_EQ(other.Next(out), FrameDecoder::Status::kFrame);
  EXPECT_EQ(out, Bytes(30000, 7));
}

// Lent bytes live in a buffer the caller reuses for its next read: every
// frame must come out whole however the stream is cut, whether the caller
// takes frames until more are needed or stops early and asks the decoder to
// keep the rest (a connection whose replies back up).
TEST(FrameDecoderLend, SameFramesAsAppendedOnesWhateverTheCutsAndTheReuse) {
  const std::vector<Bytes> payloads{Text("first"), Bytes(), Bytes(300, 3), Text("x"), Bytes(70, 9)};
  Bytes stream;
  for (const Bytes& p : payloads) {
    const Bytes f = Frame(p);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  for (int stopAfter = 0; stopAfter <= 2; ++stopAfter) {
    for (size_t a = 0; a <= stream.size(); a += 7) {
      for (size_t b = a; b <= stream.size(); b += 11) {
        FrameDecoder decoder;
        std::vector<Bytes> frames;
        Bytes buffer;
        const size_t cuts[] = {0, a, b, stream.size()};
        for (int read = 0; read < 3; ++read) {
          buffer.assign(stream.begin() + static_cast<long>(cuts[read]),
                        stream.begin() + static_cast<long>(cuts[read + 1]));
          decoder.Lend(buffer.data(), buffer.size());
          const uint8_t* payload = nullptr;
          size_t length = 0;
          // stopAfter 0: take every frame; else stop after that many and keep.
          int taken = 0;
          while ((stopAfter == 0 || taken < stopAfter) &&
                 decoder.Next(payload, length) == FrameDecoder::Status::kFrame) {
            frames.emplace_back(payload, payload + length);
            ++taken;
          }
          if (stopAfter != 0) decoder.Keep();
          std::fill(buffer.begin(), buffer.end(), 0xEE);
        }
        Bytes out;
        while (decoder.Next(out) == FrameDecoder::Status::kFrame) frames.push_back(out);
        ASSERT_EQ(frames, payloads) << "cuts " << a << ", " << b << ", stop after " << stopAfter;
        EXPECT_EQ(decoder.Held(), 0u);
      }
    }
  }
}

TEST(FrameDecoderLend, AnOversizedLengthInLentBytesStopsTheStream) {
  FrameDecoder decoder;
  const Bytes read{0x00, 0x80, 1, 2, 3};
  decoder.Lend(read.data(), read.size());
  const uint8_t* payload = nullptr;
  size_t length = 0;
  EXPECT_EQ(decoder.Next(payload, length), FrameDecoder::Status::kTooLong);
}

class RequestPacketTest : public ::testing::Test {
 protected:
  static Bytes Packet(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }
};

TEST_F(RequestPacketTest, EmptyParametersAreValidButTheFinalZeroIsRequired) {
  Bytes packet = Packet({{1, 7, 0}, Text("Logon"), {0}, Text("Logon"), {0}, {0}});
  auto request = qn::ParseRequestPacket(packet.data(), packet.size());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->requestId, 7);
  EXPECT_EQ(request->service, "Logon");
  EXPECT_EQ(request->item, "Logon");
  EXPECT_EQ(request->params, "");

  packet.pop_back();
  EXPECT_FALSE(qn::ParseRequestPacket(packet.data(), packet.size()));
}

TEST_F(RequestPacketTest, EveryTruncationAndWrongTypeIsRejected) {
  qn::RequestPacket request{0x1234, "Chat", "Say", "a\x01" "b"};
  Bytes packet = qn::EncodeRequestPacket(request);
  auto back = qn::ParseRequestPacket(packet.data(), packet.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->requestId, 0x1234);
  EXPECT_EQ(back->params, "a\x01" "b");
  for (size_t n = 0; n < packet.size(); ++n)
    EXPECT_FALSE(qn::ParseRequestPacket(packet.data(), n)) << "length " << n;
  packet[0] = 4;
  EXPECT_FALSE(qn::ParseRequestPacket(packet.data(), packet.size()));
}

TEST_F(RequestPacketTest, RequestIdOnlyForCancelAndFollowUp) {
  const uint8_t cancel[] = {2, 0x34, 0x12, 9};
  const uint8_t data[] = {4, 1, 0};
  const uint8_t request[] = {1, 5, 0};
  const uint8_t reply[] = {3, 5, 0};
  EXPECT_EQ(qn::GetPacketRequestId(cancel, sizeof cancel), 0x1234);
  EXPECT_EQ(qn::GetPacketRequestId(data, sizeof data), 1);
  EXPECT_EQ(qn::GetPacketRequestId(request, sizeof request), 0);
  EXPECT_EQ(qn::GetPacketRequestId(reply, sizeof reply), 0);
  EXPECT_EQ(qn::GetPacketRequestId(cancel, 2), 0);
}

TEST_F(RequestPacketTest, ReplyLayouts) {
  EXPECT_EQ(qn::EncodeEndPacket(0x0102), (Bytes{5, 2, 1}));
  EXPECT_EQ(qn::EncodeResultPacket(7, 0x1302), (Bytes{6, 7, 0, 0x02, 0x13}));
  const uint8_t body[] = {9, 8};
  EXPECT_EQ(qn::EncodeIdPacket(3, 1, body, 2), (Bytes{3, 1, 0, 9, 8}));
}

TEST_F(RequestPacketTest, HelloIsExactlySixBytes) {
  Bytes hello = qn::EncodeHello({1, 2, 2.1f});
  ASSERT_EQ(hello.size(), 6u);
  auto parsed = qn::ParseHello(hello.data(), hello.size());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->flags, 2);
  EXPECT_EQ(parsed->version, 2.1f);
  EXPECT_FALSE(qn::ParseHello(hello.data(), 5));
  hello.push_back(0);
  EXPECT_FALSE(qn::ParseHello(hello.data(), 7));
}

// Splits a connection's byte stream into frames: a 16-bit little-endian
// length, then that many payload bytes, at most kMaxFrame. Between reads it
// holds only the bytes of an unfinished frame, in room for that frame's
// declared length and no more, so an idle connection keeps no buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn {

inline constexpr size_t kMaxFrame = 32767;

class FrameDecoder {
 public:
  enum class Status { kNeedMore, kFrame, kTooLong };

  // Adds received bytes behind those already held.
  void Append(const uint8_t* data, size_t length);
  // Lends received bytes behind those held: frames that lie whole in them
  // are handed out where they stand, without a copy. Once Next answers
  // kNeedMore what was left of them is held; a caller that stops taking
  // frames before that calls Keep. The bytes must stay put until then.
  void Lend(const uint8_t* data, size_t length);
  // Copies what is left of the lent bytes behind the held ones.
  void Keep();

  // Takes the next complete frame's payload. kTooLong leaves the decoder
  // unusable: the stream cannot be resynchronised.
  Status Next(std::vector<uint8_t>& payload);
  // The same without a copy: the payload stays valid until the decoder is
  // next given bytes or asked for a frame.
  Status Next(const uint8_t*& payload, size_t& length);

  size_t Held() const { return m_buffer.size() - m_start; }
  // Memory reserved for held bytes (what an idle connection costs).
  size_t Capacity() const { return m_buffer.capacity(); }

 private:
  // Adds bytes behind the held ones (lent ones left aside).
  void Hold(const uint8_t* data, size_t length);
  // Drops the consumed bytes; what is left gets room for its frame only.
  void Compact();
  // The room the bytes at `p` need: through the end of the frame they begin
  // when its length is known and allowed, else just themselves.
  static size_t FrameRoom(const uint8_t* p, size_t held);

  std::vector<uint8_t> m_buffer;
  size_t m_start = 0;  // bytes before this are consumed
  // Lent bytes not yet handed out; they follow the held ones.
  const uint8_t* m_lent = nullptr;
  size_t m_nLent = 0;
};

// The 2-byte length prefix followed by the payload; false for a payload
// longer than kMaxFrame.
bool EncodeFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>& out);

}  // namespace qn

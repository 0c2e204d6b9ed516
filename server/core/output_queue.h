// A connection's output waiting for the socket: framed packets stored back to
// back in chunks, so that many small replies cost about their own bytes, and
// written from the head in gathered runs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qn {

class OutputQueue {
 public:
  static constexpr size_t kMinChunk = 512;
  static constexpr size_t kMaxChunk = 64 * 1024;
  static constexpr size_t kFirstFrames = 8;

  // Appends the frame: the 16-bit length, then the payload (at most 0xFFFF).
  void PushFrame(const uint8_t* payload, size_t length) { PushFrame(payload, length, nullptr, 0); }
  // The same for a payload in two parts (a packet header and its body), which
  // are copied here and nowhere else.
  void PushFrame(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength);
  size_t Bytes() const { return m_nBytes; }
  size_t Packets() const { return m_frames.size() - m_nHeadFrame; }
  bool Empty() const { return m_nBytes == 0; }
  // Bytes allocated for chunks still holding output.
  size_t HeldBytes() const;

  struct Run {
    const uint8_t* data;
    size_t length;
  };
  // Up to `max` runs from the head, in order.
  void Gather(std::vector<Run>& out, size_t max) const;
  // Drops `count` written bytes from the head; `done` (may be null) hears the
  // length of each frame written whole.
  void Consume(size_t count, void (*done)(void* context, uint32_t frameBytes), void* context);
  void Clear();

 private:
  struct Chunk {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
    size_t begin = 0;
    size_t end = 0;
  };
  // Vectors with a head index: an empty queue holds no allocation at all.
  std::vector<Chunk> m_chunks;
  size_t m_nHeadChunk = 0;
  // Frame lengths, for counting whole frames written.
  std::vector<uint32_t> m_frames;
  size_t m_nHeadFrame = 0;
  size_t m_nHeadWritten = 0;
  size_t m_nBytes = 0;
};

}  // namespace qn

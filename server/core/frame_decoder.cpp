#include "server/core/frame_decoder.h"

namespace qn {

size_t FrameDecoder::FrameRoom(const uint8_t* p, size_t held) {
  if (held < 2) return held;
  const size_t length = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
  if (length > kMaxFrame) return held;
  return held > 2 + length ? held : 2 + length;
}

void FrameDecoder::Append(const uint8_t* data, size_t length) {
  if (length == 0) return;
  Compact();
  const size_t total = m_buffer.size() + length;
  if (total > m_buffer.capacity()) {
    // Exact room rather than the vector's doubling: a frame that arrives in
    // pieces is held in its own length.
    const size_t held = m_buffer.size();
    const auto byte = [&](size_t i) { return i < held ? m_buffer[i] : data[i - held]; };
    size_t room = total;
    if (total >= 2) {
      const uint8_t head[2] = {byte(0), byte(1)};
      room = FrameRoom(head, total);
    }
    m_buffer.reserve(room);
  }
  m_buffer.insert(m_buffer.end(), data, data + length);
}

FrameDecoder::Status FrameDecoder::Next(std::vector<uint8_t>& payload) {
  const size_t held = Held();
  if (held < 2) {
    Compact();
    return Status::kNeedMore;
  }
  const uint8_t* p = m_buffer.data() + m_start;
  const size_t length = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
  if (length > kMaxFrame) return Status::kTooLong;
  if (held - 2 < length) {
    Compact();
    return Status::kNeedMore;
  }
  payload.assign(p + 2, p + 2 + length);
  m_start += 2 + length;
  if (m_start == m_buffer.size()) Compact();
  return Status::kFrame;
}

void FrameDecoder::Compact() {
  if (m_start == 0) return;
  const size_t held = m_buffer.size() - m_start;
  if (held == 0) {
    // Give the memory back: most connections sit idle between frames.
    std::vector<uint8_t>().swap(m_buffer);
  } else {
    const uint8_t* rest = m_buffer.data() + m_start;
    std::vector<uint8_t> kept;
    kept.reserve(FrameRoom(rest, held));
    kept.assign(rest, rest + held);
    m_buffer.swap(kept);
  }
  m_start = 0;
}

bool EncodeFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>& out) {
  if (length > kMaxFrame) return false;
  out.reserve(out.size() + 2 + length);
  out.push_back(static_cast<uint8_t>(length & 0xFF));
  out.push_back(static_cast<uint8_t>(length >> 8));
  out.insert(out.end(), payload, payload + length);
  return true;
}

}  // namespace qn

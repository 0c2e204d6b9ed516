#include "server/core/frame_decoder.h"

namespace qn {

void FrameDecoder::Append(const uint8_t* data, size_t length) {
  if (length == 0) return;
  Compact();
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
  if (m_start == m_buffer.size()) {
    // Give the memory back: most connections sit idle between frames.
    std::vector<uint8_t>().swap(m_buffer);
  } else {
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
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

#include "server/core/frame_decoder.h"

namespace qn {

size_t FrameDecoder::FrameRoom(const uint8_t* p, size_t held) {
  if (held < 2) return held;
  const size_t length = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
  if (length > kMaxFrame) return held;
  return held > 2 + length ? held : 2 + length;
}

void FrameDecoder::Append(const uint8_t* data, size_t length) {
  Keep();
  Hold(data, length);
}

void FrameDecoder::Hold(const uint8_t* data, size_t length) {
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

void FrameDecoder::Lend(const uint8_t* data, size_t length) {
  Keep();
  m_lent = data;
  m_nLent = length;
}

void FrameDecoder::Keep() {
  const uint8_t* lent = m_lent;
  const size_t length = m_nLent;
  m_lent = nullptr;
  m_nLent = 0;
  Hold(lent, length);
}

FrameDecoder::Status FrameDecoder::Next(std::vector<uint8_t>& payload) {
  const uint8_t* data = nullptr;
  size_t length = 0;
  const Status status = Next(data, length);
  if (status != Status::kFrame) return status;
  payload.assign(data, data + length);
  // The copy is taken: a frame that emptied the held bytes frees them now.
  if (m_start == m_buffer.size()) Compact();
  return status;
}

FrameDecoder::Status FrameDecoder::Next(const uint8_t*& payload, size_t& length) {
  // A frame handed out of the held bytes last time is done with now.
  if (m_start > 0 && m_start == m_buffer.size()) Compact();
  if (Held() == 0) {
    if (m_nLent >= 2) {
      const size_t declared = static_cast<size_t>(m_lent[0]) | static_cast<size_t>(m_lent[1]) << 8;
      if (declared > kMaxFrame) return Status::kTooLong;
      if (m_nLent - 2 >= declared) {
        payload = m_lent + 2;
        length = declared;
        m_lent += 2 + declared;
        m_nLent -= 2 + declared;
        return Status::kFrame;
      }
    }
    // An unfinished frame: held until the rest comes.
    Keep();
    Compact();
    return Status::kNeedMore;
  }
  // The frame begun in the held bytes takes from the lent ones what it lacks
  // and no more, so the frames after it can still go out in place.
  const auto take = [&](size_t wanted) {
    const size_t n = wanted < m_nLent ? wanted : m_nLent;
    const uint8_t* from = m_lent;
    m_lent += n;
    m_nLent -= n;
    Hold(from, n);
  };
  if (Held() < 2) take(2 - Held());
  if (Held() < 2) {
    Compact();
    return Status::kNeedMore;
  }
  const uint8_t* p = m_buffer.data() + m_start;
  const size_t declared = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
  if (declared > kMaxFrame) return Status::kTooLong;
  if (Held() - 2 < declared) take(2 + declared - Held());
  if (Held() - 2 < declared) {
    Compact();
    return Status::kNeedMore;
  }
  p = m_buffer.data() + m_start;
  payload = p + 2;
  length = declared;
  m_start += 2 + declared;
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

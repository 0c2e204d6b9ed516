#include "server/core/output_queue.h"

#include <algorithm>
#include <cstring>

namespace qn {

void OutputQueue::PushFrame(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength) {
  const size_t length = headLength + bodyLength;
  const size_t need = length + 2;
  if (m_nHeadChunk == m_chunks.size() || m_chunks.back().capacity - m_chunks.back().end < need) {
    // Chunks grow with the queue: a short reply costs a small chunk, a long
    // backlog few large ones.
    Chunk chunk;
    chunk.capacity = std::max(need, std::clamp(m_nBytes, kMinChunk, kMaxChunk));
    chunk.data.reset(new uint8_t[chunk.capacity]);
    m_chunks.push_back(std::move(chunk));
  }
  Chunk& tail = m_chunks.back();
  tail.data[tail.end] = static_cast<uint8_t>(length & 0xFF);
  tail.data[tail.end + 1] = static_cast<uint8_t>(length >> 8);
  uint8_t* at = tail.data.get() + tail.end + 2;
  if (headLength > 0) std::memcpy(at, head, headLength);
  if (bodyLength > 0) std::memcpy(at + headLength, body, bodyLength);
  tail.end += need;
  m_nBytes += need;
  // A request's reply is a few frames: one allocation holds them.
  if (m_frames.capacity() == 0) m_frames.reserve(kFirstFrames);
  m_frames.push_back(static_cast<uint32_t>(need));
}

size_t OutputQueue::HeldBytes() const {
  size_t held = 0;
  for (size_t i = m_nHeadChunk; i < m_chunks.size(); ++i) held += m_chunks[i].capacity;
  return held;
}

void OutputQueue::Gather(std::vector<Run>& out, size_t max) const {
  for (size_t i = m_nHeadChunk; i < m_chunks.size() && out.size() < max; ++i) {
    const Chunk& chunk = m_chunks[i];
    if (chunk.end > chunk.begin) out.push_back({chunk.data.get() + chunk.begin, chunk.end - chunk.begin});
  }
}

void OutputQueue::Consume(size_t count, void (*done)(void*, uint32_t), void* context) {
  count = std::min(count, m_nBytes);
  m_nBytes -= count;
  size_t frames = count;
  while (frames > 0 && m_nHeadFrame < m_frames.size()) {
    const size_t left = m_frames[m_nHeadFrame] - m_nHeadWritten;
    if (frames < left) {
      m_nHeadWritten += frames;
      break;
    }
    frames -= left;
    m_nHeadWritten = 0;
    if (done != nullptr) done(context, m_frames[m_nHeadFrame]);
    ++m_nHeadFrame;
  }
  while (count > 0 && m_nHeadChunk < m_chunks.size()) {
    Chunk& head = m_chunks[m_nHeadChunk];
    const size_t take = std::min(count, head.end - head.begin);
    head.begin += take;
    count -= take;
    if (head.begin == head.end) {
      head.data.reset();
      ++m_nHeadChunk;
    }
  }
  if (m_nBytes == 0) {
    Clear();
    return;
  }
  // Written entries go once they are half of what is held.
  if (m_nHeadChunk > 16 && m_nHeadChunk * 2 > m_chunks.size()) {
    m_chunks.erase(m_chunks.begin(), m_chunks.begin() + static_cast<std::ptrdiff_t>(m_nHeadChunk));
    m_nHeadChunk = 0;
  }
  if (m_nHeadFrame > 1024 && m_nHeadFrame * 2 > m_frames.size()) {
    m_frames.erase(m_frames.begin(), m_frames.begin() + static_cast<std::ptrdiff_t>(m_nHeadFrame));
    m_nHeadFrame = 0;
  }
}

void OutputQueue::Clear() {
  // An idle connection keeps no chunk and no long list.
  if (m_chunks.capacity() > 16) std::vector<Chunk>().swap(m_chunks);
  else m_chunks.clear();
  if (m_frames.capacity() > 1024) std::vector<uint32_t>().swap(m_frames);
  else m_frames.clear();
  m_nHeadChunk = 0;
  m_nHeadFrame = 0;
  m_nHeadWritten = 0;
  m_nBytes = 0;
}

}  // namespace qn

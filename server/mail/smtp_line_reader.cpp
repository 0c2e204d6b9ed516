#include "server/mail/smtp_line_reader.h"

#include <cstring>

namespace qn::smtp {

size_t LineReader::Take(const char* data, size_t size) {
  if (m_bComplete) return 0;
  size_t at = 0;
  while (at < size) {
    const void* found = std::memchr(data + at, '\n', size - at);
    if (found == nullptr) {
      Keep(data + at, size - at);
      m_bLastCr = data[size - 1] == '\r';
      return size;
    }
    const size_t lf = static_cast<size_t>(static_cast<const char*>(found) - data);
    const bool crBefore = lf > at ? data[lf - 1] == '\r' : m_bLastCr;
    Keep(data + at, lf + 1 - at);
    at = lf + 1;
    m_bLastCr = false;
    if (crBefore) {
      m_bComplete = true;
      if (m_bTooLong) m_line.clear();
      return at;
    }
  }
  return at;
}

void LineReader::Keep(const char* data, size_t size) {
  m_nLength += size;
  if (m_nLength > m_nMaxLine) {
    // Nothing of a line past the limit is needed: it is refused whole.
    if (!m_bTooLong) {
      m_bTooLong = true;
      m_line.clear();
      m_line.shrink_to_fit();
    }
    return;
  }
  m_line.append(data, size);
}

void LineReader::Next() {
  m_line.clear();
  if (m_line.capacity() > 4096) m_line.shrink_to_fit();
  m_nLength = 0;
  m_bComplete = false;
  m_bTooLong = false;
  m_bLastCr = false;
}

}  // namespace qn::smtp

// Splits an SMTP byte stream into lines. A line ends at CR immediately
// followed by LF, wherever reads cut the stream (a CR at the end of one read
// and the LF at the start of the next end a line); a lone CR or LF is an
// ordinary byte. A line longer than the limit is not kept, only marked, and
// its end is still found, so the stream stays in step.
#pragma once
#include <cstddef>
#include <string>

namespace qn::smtp {

class LineReader {
 public:
  // `maxLine` counts the CR LF.
  explicit LineReader(size_t maxLine) : m_nMaxLine(maxLine) {}

  // Takes bytes up to and including the next line end; how many it took.
  // Afterwards HasLine() tells whether a line is complete.
  size_t Take(const char* data, size_t size);
  bool HasLine() const { return m_bComplete; }
  // The complete line with its CR LF; empty when it was too long.
  const std::string& Line() const { return m_line; }
  bool TooLong() const { return m_bTooLong; }
  // Forgets the complete line; the next one starts empty.
  void Next();
  // Bytes held of the unfinished line.
  size_t Held() const { return m_line.size(); }

 private:
  void Keep(const char* data, size_t size);

  size_t m_nMaxLine;
  std::string m_line;
  size_t m_nLength = 0;  // bytes of the line so far, kept or not
  bool m_bLastCr = false;
  bool m_bComplete = false;
  bool m_bTooLong = false;
};

}  // namespace qn::smtp

// One attachment file copied to another message's name in 16384-byte
// blocks, a share at a time so that a large file never holds the loop. The
// copy is written under a temporary name beside its target and takes the
// target's name, with the source's modification time, only when whole: a
// copy that fails or is given up leaves nothing.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <string>

class CAttachmentCopy {
 public:
  static constexpr size_t kBlock = 16384;

  CAttachmentCopy() = default;
  // Gives up a copy not yet done.
  ~CAttachmentCopy();
  CAttachmentCopy(const CAttachmentCopy&) = delete;
  CAttachmentCopy& operator=(const CAttachmentCopy&) = delete;

  // False (and nothing left behind) when the source cannot be read or the
  // temporary file not made.
  bool Start(const std::string& source, const std::string& target);

  enum class Progress { kMore, kDone, kFailed };
  // Copies up to `blocks` blocks; at the end of the source, names the copy.
  Progress Step(int blocks);

  // The whole copy at once.
  static bool CopyFile(const std::string& source, const std::string& target);

 private:
  void Abandon();

  int m_nSource = -1;
  int m_nTarget = -1;
  struct timespec m_sourceTime {};
  std::string m_strTemp;
  std::string m_strTarget;
};

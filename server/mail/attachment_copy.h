// Copies of an uploaded attachment for the other messages that share it, in
// 16384-byte blocks, a share at a time so that a large file never holds the
// loop. Each copy is written under a temporary name beside its target and
// takes the target's name, with the source's modification time, only when
// whole: a copy that fails or is given up leaves nothing.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

class CPulse;

class CAttachmentCopy {
 public:
  static constexpr size_t kBlock = 16384;

  CAttachmentCopy() = default;
  // Gives up a copy not yet done.
  ~CAttachmentCopy();
  CAttachmentCopy(const CAttachmentCopy&) = delete;
  CAttachmentCopy& operator=(const CAttachmentCopy&) = delete;

  // Copies from `sourceFd`, which the caller keeps open until the copy is
  // done, read from its start whatever its offset. False (and nothing left
  // behind) when the source is no regular file or the temporary file cannot
  // be made.
  bool Start(int sourceFd, const std::string& target);

  enum class Progress { kMore, kDone, kFailed };
  // Copies up to `blocks` blocks; at the end of the source, names the copy.
  Progress Step(int blocks);

 private:
  void Abandon();

  int m_nSource = -1;  // borrowed
  off_t m_nOffset = 0;
  int m_nTarget = -1;
  struct timespec m_sourceTime {};
  std::string m_strTemp;
  std::string m_strTarget;
};

// The copies of one upload, made one after the other from the source opened
// once: the first message's file may be downloaded or deleted meanwhile and
// the others still get theirs. Each recipient is told once its copy is made
// (or was passed over: its message is there all the same).
class CAttachmentCopies {
 public:
  // `notice`: the global message every recipient gets.
  explicit CAttachmentCopies(std::string notice);
  ~CAttachmentCopies();
  CAttachmentCopies(const CAttachmentCopies&) = delete;
  CAttachmentCopies& operator=(const CAttachmentCopies&) = delete;

  // False when the source cannot be opened; the copies are then all passed
  // over.
  bool Open(const std::string& source);
  void Add(const std::string& target, const std::string& recipient);
  bool Done() const { return m_pending.empty(); }
  // Up to `blocks` blocks; true once every copy is made or passed over.
  bool Step(int blocks);

  // Lets copies outlive the request that started them (a cancel, a lost
  // connection): they go on on the main loop, a share per step, and the
  // batch deletes itself when done.
  static void FinishDetached(std::unique_ptr<CAttachmentCopies> copies);
  // Makes every detached batch's copies at once (at module stop).
  static void FinishAllDetached();

 private:
  static void DetachedStep(void* argument);

  std::string m_strNotice;
  int m_nSource = -1;
  std::deque<std::pair<std::string, std::string>> m_pending;  // target, recipient
  std::unique_ptr<CAttachmentCopy> m_pCurrent;
  CPulse* m_pPulse = nullptr;  // while detached
};

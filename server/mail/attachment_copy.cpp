#include "server/mail/attachment_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/pulse.h"
#include "server/core/upload_journal.h"
#include "server/services/service_utility.h"

namespace {

// Blocks of a detached batch per loop step (1 MiB).
constexpr int kDetachedBlocksPerStep = 64;

std::vector<CAttachmentCopies*>& Detached() {
  static std::vector<CAttachmentCopies*> batches;
  return batches;
}

}  // namespace

CAttachmentCopy::~CAttachmentCopy() { Abandon(); }

void CAttachmentCopy::Abandon() {
  m_nSource = -1;
  if (m_nTarget >= 0) ::close(m_nTarget);
  m_nTarget = -1;
  if (!m_strTemp.empty()) {
    ::unlink(m_strTemp.c_str());
    ForgetUploadFile(m_strTemp);
  }
  m_strTemp.clear();
}

bool CAttachmentCopy::Start(int sourceFd, const std::string& target) {
  Abandon();
  struct stat st;
  if (sourceFd < 0 || ::fstat(sourceFd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  m_nSource = sourceFd;
  m_nOffset = 0;
  m_sourceTime = st.st_mtim;
  const size_t slash = target.rfind('/');
  std::string temp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                     "QNSXXXXXX.TMP";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  m_nTarget = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (m_nTarget < 0) {
    Abandon();
    return false;
  }
  m_strTemp = name.data();
  m_strTarget = target;
  JournalUploadFile(m_strTemp);
  return true;
}

CAttachmentCopy::Progress CAttachmentCopy::Step(int blocks) {
  if (m_nSource < 0 || m_nTarget < 0) return Progress::kFailed;
  char buffer[kBlock];
  for (int i = 0; i < blocks; ++i) {
    const ssize_t got = ::pread(m_nSource, buffer, sizeof buffer, m_nOffset);
    if (got < 0) {
      if (errno == EINTR) continue;
      Abandon();
      return Progress::kFailed;
    }
    if (got == 0) {
      struct timespec times[2] = {m_sourceTime, m_sourceTime};
      const bool timed = ::futimens(m_nTarget, times) == 0;
      const bool closed = ::close(m_nTarget) == 0;
      m_nTarget = -1;
      if (!timed || !closed || ::rename(m_strTemp.c_str(), m_strTarget.c_str()) != 0) {
        Abandon();
        return Progress::kFailed;
      }
      ForgetUploadFile(m_strTemp);
      m_strTemp.clear();
      Abandon();
      return Progress::kDone;
    }
    m_nOffset += got;
    for (ssize_t written = 0; written < got;) {
      const ssize_t n = ::write(m_nTarget, buffer + written, static_cast<size_t>(got - written));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Abandon();
        return Progress::kFailed;
      }
      written += n;
    }
  }
  return Progress::kMore;
}

CAttachmentCopies::CAttachmentCopies(std::string notice) : m_strNotice(std::move(notice)) {}

CAttachmentCopies::~CAttachmentCopies() {
  m_pCurrent.reset();
  if (m_nSource >= 0) ::close(m_nSource);
  CPulse::Stop(m_pPulse);
  std::erase(Detached(), this);
}

bool CAttachmentCopies::Open(const std::string& source) {
  if (m_nSource >= 0) ::close(m_nSource);
  m_nSource = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  return m_nSource >= 0;
}

void CAttachmentCopies::Add(const std::string& target, const std::string& recipient) {
  m_pending.emplace_back(target, recipient);
}

bool CAttachmentCopies::Step(int blocks) {
  if (m_pending.empty()) return true;
  if (m_pCurrent == nullptr) {
    m_pCurrent = std::make_unique<CAttachmentCopy>();
    if (!m_pCurrent->Start(m_nSource, m_pending.front().first)) m_pCurrent.reset();
  }
  if (m_pCurrent != nullptr && m_pCurrent->Step(blocks) == CAttachmentCopy::Progress::kMore) return false;
  m_pCurrent.reset();
  PostGlobalMsgToUserID(m_pending.front().second, m_strNotice, 0);
  m_pending.pop_front();
  return m_pending.empty();
}

void CAttachmentCopies::FinishDetached(std::unique_ptr<CAttachmentCopies> copies) {
  if (copies == nullptr || copies->m_pending.empty()) return;
  CAttachmentCopies* batch = copies.release();
  Detached().push_back(batch);
  batch->m_pPulse = new CPulse(&CAttachmentCopies::DetachedStep, batch);
}

void CAttachmentCopies::DetachedStep(void* argument) {
  auto* batch = static_cast<CAttachmentCopies*>(argument);
  if (batch->Step(kDetachedBlocksPerStep)) delete batch;
}

void CAttachmentCopies::FinishAllDetached() {
  while (!Detached().empty()) {
    CAttachmentCopies* batch = Detached().back();
    while (!batch->Step(kDetachedBlocksPerStep)) {
    }
    delete batch;
  }
}

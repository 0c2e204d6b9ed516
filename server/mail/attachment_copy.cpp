#include "server/mail/attachment_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

CAttachmentCopy::~CAttachmentCopy() { Abandon(); }

void CAttachmentCopy::Abandon() {
  if (m_nSource >= 0) ::close(m_nSource);
  m_nSource = -1;
  if (m_nTarget >= 0) ::close(m_nTarget);
  m_nTarget = -1;
  if (!m_strTemp.empty()) ::unlink(m_strTemp.c_str());
  m_strTemp.clear();
}

bool CAttachmentCopy::Start(const std::string& source, const std::string& target) {
  Abandon();
  m_nSource = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_nSource < 0) return false;
  struct stat st;
  if (::fstat(m_nSource, &st) != 0 || !S_ISREG(st.st_mode)) {
    Abandon();
    return false;
  }
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
  return true;
}

CAttachmentCopy::Progress CAttachmentCopy::Step(int blocks) {
  if (m_nSource < 0 || m_nTarget < 0) return Progress::kFailed;
  char buffer[kBlock];
  for (int i = 0; i < blocks; ++i) {
    const ssize_t got = ::read(m_nSource, buffer, sizeof buffer);
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
      m_strTemp.clear();
      Abandon();
      return Progress::kDone;
    }
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

bool CAttachmentCopy::CopyFile(const std::string& source, const std::string& target) {
  CAttachmentCopy copy;
  if (!copy.Start(source, target)) return false;
  for (;;) {
    const Progress progress = copy.Step(64);
    if (progress != Progress::kMore) return progress == Progress::kDone;
  }
}

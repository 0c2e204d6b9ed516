#include "server/core/api_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "common/helpers.h"

namespace {
std::atomic<bool> g_apiLogOn{false};
}

bool IsApiLogOn() { return g_apiLogOn.load(std::memory_order_relaxed); }

void SetApiLogOn(bool on) { g_apiLogOn.store(on, std::memory_order_relaxed); }

void WriteApiLog(const std::string& text) {
  if (!IsApiLogOn()) return;
  const std::string path = GetProgramDirectory() + "QNAPILOG.TXT";
  // The log holds what members send: readable by the server's account only.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  static std::atomic<bool> s_checked{false};
  if (!s_checked.exchange(true)) {
    // A log left by an earlier version may be open to others.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
  }
  // Other writers (a second program reading the setting) wait for the line.
  ::flock(fd, LOCK_EX);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void WriteApiLogF(const char* format, ...) {
  if (!IsApiLogOn()) return;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  WriteApiLog(std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n)
                                                                         : sizeof buffer - 1));
}

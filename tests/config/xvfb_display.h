// A private X display for tests that drive a real window: Xvfb on the first
// free display number (Xvfb picks it), stopped with the object; xdotool and
// ImageMagick's import run against it.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace qn::test {

class XvfbDisplay {
 public:
  XvfbDisplay() = default;
  ~XvfbDisplay();
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // False when Xvfb cannot be started or names no display in time.
  bool Start(int timeoutMs = 30000);
  // ":N".
  const std::string& name() const { return name_; }

  // Runs a shell command with DISPLAY set (each command ends after at most
  // 30 seconds); its exit code and, with `out`, its standard output.
  int Run(const std::string& command, std::string* out = nullptr) const;
  // The visible top-level windows whose title is exactly `title`.
  std::vector<std::string> Windows(const std::string& title) const;
  // Polls until exactly `count` such windows show; their ids.
  std::vector<std::string> WaitWindows(const std::string& title, size_t count, int timeoutMs = 20000) const;
  // The whole screen as a PNG.
  bool Screenshot(const std::string& path) const;

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace qn::test
